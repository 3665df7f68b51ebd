#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly the capture
# exports.
set -euo pipefail
library="$1"
expected="CreateIPCapture
CreateIPCaptureEx
CreateIPCaptureEx2
CreateIPCaptureEx3
DeleteIPCapture
DeleteIPCaptureEx
DeleteIPCaptureEx2
DeleteIPCaptureEx3"
actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the capture exports:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "exports ok: $(echo "$actual" | wc -l) symbols"
