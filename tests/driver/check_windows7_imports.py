#!/usr/bin/env python3
"""Fails when a Windows program or DLL imports a function that Windows 7 SP1
does not have: such a DLL does not load there at all.

    check_windows7_imports.py TRIPLE FILE...

TRIPLE is the mingw-w64 target (x86_64-w64-mingw32, i686-w64-mingw32); its
gcc and objdump are used. The functions newer than Windows 7 are taken from
the mingw-w64 headers themselves: those declared when the headers target
Windows 10 (_WIN32_WINNT 0x0A00) but not when they target Windows 7 (0x0601).
The headers leave a few Windows 8 functions unguarded; those are added by
name below. A run first checks that the list holds what it must.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# Every system header the project and the libraries it links may import from.
PROBE = """
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mswsock.h>
#include <psapi.h>
#include <process.h>
#include <iphlpapi.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <shlobj.h>
#include <winternl.h>
"""

# Windows 8 functions that mingw-w64 10 declares for every target (Microsoft
# documents each as "Windows 8" or later; the loader-search pair needs an
# update that a Windows 7 SP1 machine may lack).
UNGUARDED_NEWER = {
    "GetSystemTimePreciseAsFileTime",
    "WaitOnAddress",
    "WakeByAddressSingle",
    "WakeByAddressAll",
    "GetOverlappedResultEx",
    "CreateFileMappingFromApp",
    "MapViewOfFileFromApp",
    "InitializeSynchronizationBarrier",
    "EnterSynchronizationBarrier",
    "DeleteSynchronizationBarrier",
    "SetThreadpoolTimerEx",
    "SetThreadpoolWaitEx",
    "SetDefaultDllDirectories",
    "AddDllDirectory",
    "RemoveDllDirectory",
}

# The list must catch the two that once kept the DLL from loading, and must
# not hold what every Windows has.
MUST_HOLD = {"GetSystemTimePreciseAsFileTime", "GetCurrentThreadStackLimits", "CreateFile2"}
MUST_NOT_HOLD = {"GetSystemTimeAsFileTime", "CreateEventW", "WSAEventSelect", "GetTickCount64", "VirtualQuery"}

DECLARATION = re.compile(r"^/\* \S+:\d+:N[CF] \*/ .*?[ *]([A-Za-z_]\w*) \(")


def declared(triple, version, work):
    probe = work / "probe.c"
    probe.write_text(PROBE)
    info = work / f"aux-{version}.txt"
    subprocess.run(
        [f"{triple}-gcc", "-x", "c", "-fsyntax-only", f"-D_WIN32_WINNT={version}", f"-DWINVER={version}",
         f"-DNTDDI_VERSION={version}0000", "-aux-info", str(info), str(probe)],
        check=True)
    names = set()
    for line in info.read_text(errors="replace").splitlines():
        match = DECLARATION.match(line)
        if match:
            names.add(match.group(1))
    return names


def imports(triple, path):
    """(dll, function) pairs of the file's import tables."""
    text = subprocess.run([f"{triple}-objdump", "-p", str(path)], check=True, capture_output=True,
                          text=True).stdout
    pairs = []
    dll = None
    for line in text.splitlines():
        name = re.match(r"\s*DLL Name: (\S+)", line)
        if name:
            dll = name.group(1)
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)
        if dll is not None and entry and not line.strip().startswith("vma:"):
            pairs.append((dll, entry.group(1)))
        if line.strip() == "" and dll is not None and pairs and pairs[-1][0] == dll:
            dll = None
    return pairs


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    triple, files = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        newer = (declared(triple, "0x0A00", work) - declared(triple, "0x0601", work)) | UNGUARDED_NEWER
    missing = MUST_HOLD - newer
    wrong = MUST_NOT_HOLD & newer
    if missing or wrong:
        print(f"the list of functions newer than Windows 7 is wrong: missing {sorted(missing)}, "
              f"holds {sorted(wrong)}", file=sys.stderr)
        return 1
    failures = 0
    for path in files:
        pairs = imports(triple, path)
        if not pairs:
            print(f"{path}: no imports read", file=sys.stderr)
            failures += 1
            continue
        wrong = []
        for dll, function in pairs:
            # API-set names are resolved by the loader of Windows 8 and later.
            if dll.lower().startswith(("api-ms-win-", "ext-ms-")):
                wrong.append(f"imports {dll}, which Windows 7 does not have")
            if function in newer:
                wrong.append(f"imports {function} from {dll}, which Windows 7 does not have")
        for line in sorted(set(wrong)):
            print(f"{path}: {line}", file=sys.stderr)
        if wrong:
            failures += 1
        else:
            print(f"{path}: {len(pairs)} imports, all on Windows 7 SP1 ({len(newer)} newer functions checked)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
