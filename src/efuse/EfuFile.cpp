#include "efuse/EfuFile.h"

#include <cstdio>

#include "common/Text.h"
#include "definitions/DefinitionReader.h"

namespace tessaro {

namespace {

__extension__ typedef unsigned __int128 Uint128;

EfuNumber ToWords(Uint128 value) {
  EfuNumber words{};
  for (auto& word : words) {
    word = static_cast<uint16_t>(value & 0xFFFF);
    value >>= 16;
  }
  return words;
}

// Blanks of an EFU line are spaces and tabs only (narrower than the definition files' blanks):
// any other byte next to a value makes it an invalid number rather than vanishing.
bool IsEfuBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipEfuBlanks(std::string_view text) {
  while (!text.empty() && IsEfuBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimEfuBlanks(std::string_view text) {
  while (!text.empty() && IsEfuBlank(text.back())) text.remove_suffix(1);
  return text;
}

// What an identifier sets. Legend: name as written in the file (any case), the flag it adds,
// whether the flag needs a value other than 0, the field it fills.
enum class EfuField { Mc, SerialNumber, Watchdog, Aes, Secured, MidiOut, SssBoot };
struct EfuKeyword {
  const char* name;
  uint32_t flag;
  bool flagOnlyWhenSet;
  EfuField field;
};
constexpr EfuKeyword kKeywords[] = {
    {"MC", EFU_MC, false, EfuField::Mc},
    {"SerialNumber", EFU_SERIAL_NUMBER, false, EfuField::SerialNumber},
    {"WatchDog", EFU_WATCHDOG, true, EfuField::Watchdog},
    {"AES", EFU_AES, false, EfuField::Aes},
    {"Secured", EFU_SECURED, true, EfuField::Secured},
    {"MidiOutEnable", EFU_MIDI_OUT, true, EfuField::MidiOut},
    {"SSSBootEnable", EFU_SSS_BOOT, true, EfuField::SssBoot},
};

void Apply(const EfuKeyword& keyword, const EfuNumber& value, EfuData& data) {
  const bool set = !IsZeroKey(value);
  const uint32_t low32 = value[0] | (static_cast<uint32_t>(value[1]) << 16);
  switch (keyword.field) {
    case EfuField::Mc: data.mc = value[0]; break;
    case EfuField::SerialNumber: data.serialNumber = low32; break;
    case EfuField::Watchdog: data.watchdog = set; break;
    case EfuField::Aes: data.aes = value; break;
    case EfuField::Secured: data.secured = set; break;
    case EfuField::MidiOut: data.midiOutEnable = set; break;
    case EfuField::SssBoot: data.sssBootEnable = set; break;
  }
  if (set || !keyword.flagOnlyWhenSet) data.flags |= keyword.flag;
}

// One line; false with its message appended when the line is bad.
bool ParseLine(std::string_view line, EfuData& data, std::string& errorText) {
  if (line.size() > kEfuMaxLineLength) line = line.substr(0, kEfuMaxLineLength);
  if (size_t comment = line.find(';'); comment != std::string_view::npos) line = line.substr(0, comment);
  line = SkipEfuBlanks(line);
  if (line.empty()) return true;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    errorText += "Invalid line: ";
    errorText += line;
    return false;
  }
  const std::string_view identifier = TrimEfuBlanks(line.substr(0, equals));
  if (identifier.empty()) {
    errorText += "Missing Identifier: ";
    errorText += line;
    return false;
  }
  const std::string_view value = TrimEfuBlanks(SkipEfuBlanks(line.substr(equals + 1)));
  if (value.empty()) {
    errorText += "Missing Assignment: ";
    errorText += identifier;
    return false;
  }
  EfuNumber number{};
  if (!ParseEfuNumber(value, number)) {
    errorText += "Invalid Number: ";
    errorText += value;
    return false;
  }
  for (const auto& keyword : kKeywords) {
    if (EqualsNoCase(identifier, keyword.name)) {
      Apply(keyword, number, data);
      return true;
    }
  }
  errorText += "Invalid Keyword: ";
  errorText += identifier;
  errorText += " = ";
  errorText += value;
  return false;
}

bool ParseLines(LineFile& lines, EfuData& data, std::string& errorText) {
  data = EfuData{};
  while (auto line = lines.NextLine()) {
    if (!ParseLine(*line, data, errorText)) {
      data = EfuData{};
      return false;
    }
  }
  data.valid = true;
  return true;
}

}  // namespace

bool ParseEfuNumber(std::string_view text, EfuNumber& value) {
  Uint128 result = 0;
  size_t digits = 0;
  size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    i = 2;
    while (i < text.size()) {
      const int digit = HexDigitValue(text[i]);
      if (digit < 0) break;
      result = (result << 4) | static_cast<unsigned>(digit);
      ++digits;
      ++i;
      if (digits % 4 == 0 && i < text.size() && (text[i] == ' ' || text[i] == '-' || text[i] == '.')) ++i;
    }
  } else {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      result = result * 10 + static_cast<unsigned>(text[i] - '0');
      ++digits;
      ++i;
    }
  }
  value = ToWords(result);
  return digits > 0 && i == text.size();
}

bool ParseEfuText(std::string_view bytes, EfuData& data, std::string& errorText) {
  LineFile lines;
  lines.LoadBytes(bytes);
  return ParseLines(lines, data, errorText);
}

bool ParseEfuFile(const std::string& path, EfuData& data, std::string& errorText) {
  data = EfuData{};
  LineFile lines;
  if (!lines.Load(path)) {
    errorText += "File not found!";
    return false;
  }
  return ParseLines(lines, data, errorText);
}

std::string EfuKeyText(const EfuNumber& key) {
  char text[48];
  std::snprintf(text, sizeof text, "%04X-%04X-%04X-%04X-%04X-%04X-%04X-%04X", key[7], key[6], key[5], key[4], key[3],
                key[2], key[1], key[0]);
  return text;
}

std::string EfuKeyHex(const EfuNumber& key) {
  std::string text;
  for (size_t i = key.size(); i-- > 0;) text += HexFixed(key[i], 4);
  return text;
}

bool IsZeroKey(const EfuNumber& key) {
  for (uint16_t word : key)
    if (word != 0) return false;
  return true;
}

}  // namespace tessaro
