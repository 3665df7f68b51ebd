#!/usr/bin/env bash
# Starts one wine session in $WINEPREFIX for the programs that follow, until
# "wineserver -k": a server that stays (-p) keeps the session's own programs
# (services, devices, desktop) running from one program to the next instead
# of starting them for each, which under an emulated processor took 15 of
# the 17 s a program needed to start.
#   start-wine-session.sh   (WINEPREFIX set, the prefix made)
# The session's programs keep the output of the program that started them
# open, so a caller reading that output to its end (a command substitution,
# ctest, a pipe to tee) would wait for them for ever: they, and the server,
# are started here with none.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$server" -k 2>/dev/null || true
# The server holds a descriptor for each socket and thread of every program
# in the session: started by a wine program it has the hard limit that
# program raised its own to, and must have it here too (a simulator of a
# hundred cameras could not start its threads under 1024).
ulimit -n "$(ulimit -Hn)"
"$server" -p </dev/null >/dev/null 2>&1 ||
  { echo "start-wine-session.sh: the wine server would not start in $WINEPREFIX" >&2; exit 1; }
WINEDEBUG=-all "$wine" cmd /c exit </dev/null >/dev/null 2>&1 ||
  { echo "start-wine-session.sh: wine could not start a session in $WINEPREFIX" >&2; exit 1; }
