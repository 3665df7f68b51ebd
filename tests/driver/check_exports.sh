#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly the capture
# and capability exports.
set -euo pipefail
library="$1"
expected=$(LC_ALL=C sort "$(dirname "$0")/expected_exports.txt")
actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the driver's exports:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "exports ok: $(echo "$actual" | wc -l) symbols"
