#include "common/Text.h"

namespace tessaro {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string Hex(uint64_t value) {
  char buffer[17];
  int n = 0;
  do {
    buffer[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string text;
  text.reserve(n);
  while (n > 0) text.push_back(buffer[--n]);
  return text;
}

std::string HexFixed(uint64_t value, int digits) {
  if (digits < 1) digits = 1;
  if (digits > 16) digits = 16;
  if (value == VALUE_INVALID) return "????????";
  std::string text(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<size_t>(i)] = kHexDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

uint32_t ReadHex(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty()) return VALUE_INVALID;
  uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigitValue(c);
    if (digit < 0 || value > 0x0FFFFFFFu) return VALUE_INVALID;  // the digit would push bits out
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(AsciiLower(a[i]));
    unsigned char y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareNoCase(a, b) == 0; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && IsAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsAsciiSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string ShownLabelText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    shown += text[i];
    if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '&') ++i;
  }
  return shown;
}

}  // namespace tessaro
