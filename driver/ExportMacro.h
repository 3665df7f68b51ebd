// How an entry point of the library is exported: by the version script on
// ELF systems (with default visibility), by exports.def on Windows, where the
// names must stay undecorated and visibility attributes mean nothing.
#pragma once

#if defined(_WIN32)
#define KESTRUM_EXPORT extern "C"
#else
#define KESTRUM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
