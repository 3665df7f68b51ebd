// Marks printf-style functions for the compiler's format checks. MinGW builds
// format with the C99-conforming printf family (__USE_MINGW_ANSI_STDIO), so
// their checks follow GNU's rules (%zu, %llu) rather than the system's.
#pragma once

#if defined(__MINGW32__)
#define KESTRUM_PRINTF_FORMAT(formatIndex, firstValue) __attribute__((format(gnu_printf, formatIndex, firstValue)))
#else
#define KESTRUM_PRINTF_FORMAT(formatIndex, firstValue) __attribute__((format(printf, formatIndex, firstValue)))
#endif
