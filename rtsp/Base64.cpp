#include "rtsp/Base64.h"

namespace kestrum {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(const uint8_t* data, size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t group = (static_cast<uint32_t>(data[i]) << 16) |
                           (i + 1 < size ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                           (i + 2 < size ? static_cast<uint32_t>(data[i + 2]) : 0);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
    text += i + 2 < size ? kAlphabet[group & 63] : '=';
  }
  return text;
}

bool Base64Decode(const std::string& text, std::vector<uint8_t>& out, size_t maxBytes) {
  out.clear();
  uint32_t group = 0;
  int bits = 0;
  for (char ch : text) {
    const int value = Value(ch);
    if (value < 0) continue;
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      if (out.size() >= maxBytes) {
        out.clear();
        return false;
      }
      out.push_back(static_cast<uint8_t>((group >> bits) & 0xFF));
    }
  }
  return true;
}

}  // namespace kestrum
