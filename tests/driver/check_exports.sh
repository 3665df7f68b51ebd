#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly the capture
# and capability exports.
set -euo pipefail
library="$1"
expected="CreateCapabilityQueryModule
CreateIPCapture
CreateIPCaptureEx
CreateIPCaptureEx2
CreateIPCaptureEx3
DeleteCapabilityQueryModule
DeleteIPCapture
DeleteIPCaptureEx
DeleteIPCaptureEx2
DeleteIPCaptureEx3
InitCapabilityQuery
StartCapabilityQuery
TerminateCapabilityQuery
UninitCapabilityQuery"
actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the driver's exports:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "exports ok: $(echo "$actual" | wc -l) symbols"
