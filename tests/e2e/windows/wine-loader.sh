# Sourced: wine_loader_for PROGRAM_EXE prints the wine loader that runs it.
# The PE header's machine field (after "PE\0\0" at the offset in 0x3C): 014c
# is i686, which needs the 32-bit loader (wine64 "runs" one by exiting 0
# unseen); anything else goes to wine64.
wine_loader_for() {
  local exe=$1 pe_offset machine
  pe_offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
  machine=$(od -An -tx2 -j $((pe_offset + 4)) -N2 "$exe" | tr -d ' ')
  if [ "$machine" = 014c ]; then
    echo /usr/lib/wine/wine
  else
    command -v wine64 || echo /usr/lib/wine/wine64
  fi
}
