#include "foundation/TextUtils.h"

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Network.h"

namespace kestrum {

std::string GetLineValue(const std::string& text, const std::string& key, const std::string& separator,
                         const std::string& terminators) {
  if (key.empty() || separator.empty() || terminators.empty()) return std::string();
  size_t p = text.find(key, 0);
  while (p != std::string::npos) {
    size_t lastTerminator = text.find_last_of(terminators, p);
    size_t lineStart = lastTerminator == std::string::npos ? 0 : lastTerminator + 1;
    size_t lineEnd = text.find_first_of(terminators, p);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    size_t sep = text.find(separator, p);
    if (sep == std::string::npos) return std::string();

    size_t next;
    if (sep < lineEnd) {
      if (TrimBlanks(text.substr(lineStart, sep - lineStart)) == key) {
        size_t valueStart = sep + separator.size();
        if (valueStart < text.size()) {
          size_t valueEnd = text.find_first_of(terminators, valueStart);
          if (valueEnd == std::string::npos) valueEnd = text.size();
          if (valueEnd > valueStart) return text.substr(valueStart, valueEnd - valueStart);
        }
      }
      next = lineEnd;
    } else {
      // Key occurrences between here and the separator are not examined.
      next = sep;
    }
    if (next <= p) next = p + 1;  // keys that begin with a terminator must still advance
    p = text.find(key, next);
  }
  return std::string();
}

int32_t ReadNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

std::vector<std::string> SplitString(const std::string& text, char delimiter) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(delimiter, start);
    if (end == std::string::npos) {
      tokens.push_back(text.substr(start));
      break;
    }
    tokens.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

std::string TrimBlanks(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string ToLowerCopy(const std::string& text) {
  std::string lowered(text);
  for (char& ch : lowered) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return lowered;
}

std::string FormatString(const char* format, ...) {
  if (format == nullptr) return std::string();
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string result;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.assign(buffer.data());  // up to the first zero byte
  }
  va_end(args);
  return result;
}

uint32_t ResolveIPv4(const std::string& name) { return platform::LookupIPv4(name.c_str()); }

bool IsAddressLiteral(const std::string& address) {
  if (address.find(':') != std::string::npos) {
    for (char ch : address) {
      if (!std::isxdigit(static_cast<unsigned char>(ch)) && ch != ':' && ch != '.') return false;
    }
    return true;
  }
  int parts = 0;
  size_t i = 0;
  while (i < address.size() && parts < 4) {
    size_t digits = 0;
    uint32_t value = 0;
    for (; i < address.size() && digits < 4 && address[i] >= '0' && address[i] <= '9'; ++i, ++digits) {
      value = value * 10 + static_cast<uint32_t>(address[i] - '0');
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == address.size()) break;
    if (address[i] != '.' || parts == 4) return false;
    ++i;
  }
  return parts == 4 && i == address.size();
}

uint32_t RateToInterval(uint32_t value) {
  if (value == 0) return 1;
  const double rate = static_cast<double>(static_cast<float>(value));
  return static_cast<uint32_t>(std::trunc(1000.0 / rate + 0.5));
}

}  // namespace kestrum
