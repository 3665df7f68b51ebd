// Version and commit in the binary, readable with `strings` on the library.
#include "BuildVersion.h"

extern "C" __attribute__((used)) const char kQuellonBuildInfo[] =
    "QuellonIPCapture " KESTRUM_VERSION_TEXT " (commit " KESTRUM_COMMIT_TEXT ")";
