#!/usr/bin/env bash
# Fails unless the DLL's export table names exactly the capture and
# capability exports, undecorated, and the DLL imports system DLLs only.
set -euo pipefail
library="$1"
expected=$(LC_ALL=C sort "$(dirname "$0")/expected_exports.txt")
headers=$(objdump -p "$library")
actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+(.*)$/\1/p' |
  LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "exported names differ from the driver's exports:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
# The runtime is linked in: anything but the system's own DLLs would have to
# be shipped beside the driver.
imports=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers" | tr 'A-Z' 'a-z' | LC_ALL=C sort -u)
allowed="advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll version.dll ws2_32.dll"
for dll in $imports; do
  case " $allowed " in
    *" $dll "*) ;;
    *) echo "the DLL imports $dll, which is not a system DLL" >&2; exit 1 ;;
  esac
done
echo "exports ok: $(echo "$actual" | wc -l) names; imports: $(echo $imports)"
