#include "definitions/PinList.h"

#include "common/Text.h"

namespace tessaro {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads one or two decimal digits at `pos`; -1 when there is no digit.
int ReadSmallNumber(std::string_view text, size_t& pos) {
  if (pos >= text.size() || !IsDigit(text[pos])) return -1;
  int value = text[pos++] - '0';
  if (pos < text.size() && IsDigit(text[pos])) value = value * 10 + (text[pos++] - '0');
  return value;
}

bool MatchWord(std::string_view text, size_t pos, std::string_view word) {
  return text.size() - pos >= word.size() && EqualsNoCase(text.substr(pos, word.size()), word);
}

// The pin code of the item at `pos` (level not included), moving `pos` behind it; -1 when no
// item starts there.
int ReadPin(std::string_view text, size_t& pos) {
  const auto digitAt = [&](size_t at) { return at < text.size() && IsDigit(text[at]) ? text[at] - '0' : -1; };
  if (MatchWord(text, pos, "P")) {
    const int first = digitAt(pos + 1);
    const bool dot = pos + 2 < text.size() && text[pos + 2] == '.';
    if (first >= 0 && first <= 7 && dot) {
      size_t at = pos + 3;
      const int bit = ReadSmallNumber(text, at);
      if (bit < 0 || bit > 15) return -1;
      pos = at;
      return 0x80 + first * 16 + bit;
    }
    if (first >= 0 && first <= 3 && !dot) {
      pos += 2;
      return 0x60 + first;
    }
    return -1;
  }
  if (MatchWord(text, pos, "DFCS")) {
    pos += 4;
    return 0x10;
  }
  if (MatchWord(text, pos, "SPICS")) {
    const int n = digitAt(pos + 5);
    if (n < 0 || n > 2) return -1;
    pos += 6;
    return 0x70 + n;
  }
  struct Numbered {
    std::string_view word;
    int base;
  };
  static constexpr Numbered kNumbered[] = {{"MK", 0x40}, {"BR", 0x50}, {"SEL", 0x20}, {"ROW", 0x30}};
  for (const auto& entry : kNumbered) {
    if (!MatchWord(text, pos, entry.word)) continue;
    size_t at = pos + entry.word.size();
    const int n = ReadSmallNumber(text, at);
    if (n < 0 || n >= 15) return -1;
    pos = at;
    return entry.base + n;
  }
  return -1;
}

}  // namespace

bool ParsePinList(std::string_view text, PinList& list) {
  list.count = 0;
  size_t pos = 0;
  for (;;) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == ',')) ++pos;
    if (pos >= text.size()) return true;
    int code = ReadPin(text, pos);
    if (code < 0) return false;
    if (pos < text.size() && (text[pos] == ':' || text[pos] == '=')) {
      ++pos;
      if (pos < text.size() && (text[pos] == '0' || text[pos] == '1')) {
        if (text[pos] == '1') code |= kPinLevelHigh;
        ++pos;
      }
    }
    if (list.count < kMaxPinSettings) list.pins[list.count++] = static_cast<PinSetting>(code);
  }
}

std::string FormatPinList(const PinList& list) {
  std::string text;
  const size_t count = list.count < kMaxPinSettings ? list.count : kMaxPinSettings;
  for (size_t i = 0; i < count; ++i) {
    const PinSetting code = list.pins[i];
    if (i > 0) text += ", ";
    if (code & 0x80) {
      text += "P" + std::to_string(code >> 4 & 7) + "." + std::to_string(code & 15);
    } else {
      switch (code >> 4 & 0xF) {
        case 1: text += "DFCS"; break;
        case 2: text += "SEL" + std::to_string(code & 15); break;
        case 3: text += "ROW" + std::to_string(code & 15); break;
        case 4: text += "MK" + std::to_string(code & 15); break;
        case 5: text += "BR" + std::to_string(code & 15); break;
        case 6: text += "P" + std::to_string(code & 3); break;
        case 7: text += "SPICS" + std::to_string(code & 3); break;
        default: text += "??" + std::to_string(code & 15); break;
      }
    }
    text += (code & kPinLevelHigh) ? "=1" : "=0";
  }
  return text;
}

}  // namespace tessaro
