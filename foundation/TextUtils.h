// Text routines used to read camera replies, RTSP responses and settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/PrintfFormat.h"

namespace kestrum {

// Value of the line whose name (the text before separator, trimmed) equals
// key exactly; lines end at any of the terminator characters. The value is
// returned untrimmed; empty when absent or empty.
std::string GetLineValue(const std::string& text, const std::string& key, const std::string& separator,
                         const std::string& terminators);

// Leading white space, one sign, digits up to the first other character; 0
// without digits. Overflow wraps.
int32_t ReadNumber(const std::string& text);

// Tokens between delimiters; no token for an empty text or after a trailing
// delimiter.
std::vector<std::string> SplitString(const std::string& text, char delimiter);

// Without leading and trailing blanks and tabs.
std::string TrimBlanks(const std::string& text);

// A-Z lowered, every other byte unchanged.
std::string ToLowerCopy(const std::string& text);

std::string FormatString(const char* format, ...) KESTRUM_PRINTF_FORMAT(1, 2);

// IPv4 address in network order, or 0. Safe from many threads at once.
uint32_t ResolveIPv4(const std::string& name);

// Whether an address is written as an IPv4 dotted quad or an IPv6 literal
// (nothing to look up), rather than a name.
bool IsAddressLiteral(const std::string& address);

// Frames per second to a frame interval in ms and back: 0 gives 1, otherwise
// trunc(1000.0 / v + 0.5) with v taken as a single-precision value.
uint32_t RateToInterval(uint32_t value);

}  // namespace kestrum
