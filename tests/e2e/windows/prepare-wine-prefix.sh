#!/usr/bin/env bash
# Creates the wine prefix in $WINEPREFIX once, before anything runs in it in
# parallel. Debian's wine records its server's directory in the prefix when
# it creates it; two programs starting together in a fresh prefix each
# record their own, and the loser fails at once ("chdir to /tmp/wine-...").
#   prepare-wine-prefix.sh   (WINEPREFIX must be set)
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
server=$(command -v wineserver || true)
[ -n "$server" ] || server=/usr/lib/wine/wineserver

[ -f "$WINEPREFIX/system.reg" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
# wineboot complains about the absent 32-bit half (syswow64) and succeeds;
# its words are shown only when it fails.
if ! output=$(WINEDEBUG=-all "$wine" wineboot --init 2>&1); then
  printf '%s\n' "$output" >&2
  echo "prepare-wine-prefix.sh: wineboot failed in $WINEPREFIX" >&2
  exit 1
fi
# Until the server has written the registry, the prefix is not complete.
"$server" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "prepare-wine-prefix.sh: wineboot left no registry in $WINEPREFIX" >&2; exit 1; }
