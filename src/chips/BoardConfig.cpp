#include "chips/BoardConfig.h"

#include <vector>

#include "common/Text.h"

namespace tessaro {

namespace {

// Longest token read. Longer ones are refused, never cut short. Older readers held 39
// characters, but the formatter's own output reaches past that (a 9xxx mode list with every
// option, a memory with 32-bit wait values), and a saved configuration must read back.
constexpr size_t kMaxTokenLength = 127;
// Numbers saturate here so that no digit run can overflow.
constexpr uint64_t kNumberCap = 0xFFFFFFFFu;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of decimal digits at `pos`; false when there is none.
bool ReadNumber(std::string_view text, size_t& pos, uint64_t& value) {
  if (pos >= text.size() || !IsDigit(text[pos])) return false;
  value = 0;
  while (pos < text.size() && IsDigit(text[pos])) {
    value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
    if (value > kNumberCap) value = kNumberCap;
    ++pos;
  }
  return true;
}

int BitLength(uint64_t value) {
  int bits = 0;
  while (value != 0) {
    ++bits;
    value >>= 1;
  }
  return bits;
}

struct Token {
  std::string_view text;
  size_t offset = 0;
};

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  void Skip(size_t count) { pos_ = count < text_.size() ? count : text_.size(); }

  // False when the text is used up.
  bool Next(Token& token) {
    if (pos_ >= text_.size()) return false;
    size_t start = pos_;
    size_t end = start;
    while (end < text_.size() && text_[end] != ' ' && text_[end] != '+') ++end;
    token.text = text_.substr(start, end - start);
    token.offset = start;
    pos_ = end;
    if (pos_ < text_.size()) ++pos_;  // the separator
    while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) >= 0x01 &&
           static_cast<unsigned char>(text_[pos_]) <= 0x20)
      ++pos_;
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// A token with its bracketed parameter list split off.
struct Word {
  std::string word;
  bool hasList = false;
  std::string list;
  bool closedByAlternate = false;  // the list ended in 0xCA
};

Word SplitList(std::string token) {
  for (char& c : token)
    if (static_cast<unsigned char>(c) == 0xCD) c = ',';
  Word result;
  size_t open = token.find('(');
  if (open == std::string::npos) open = token.find('\xC9');
  if (open != std::string::npos && !token.empty() && (token.back() == ')' || token.back() == '\xCA') &&
      open + 1 < token.size()) {
    result.hasList = true;
    result.closedByAlternate = token.back() == '\xCA';
    result.list = token.substr(open + 1, token.size() - open - 2);
    result.word = token.substr(0, open);
  } else {
    result.word = std::move(token);
  }
  return result;
}

std::vector<std::string> ListItems(const std::string& list) {
  std::vector<std::string> items;
  if (list.empty()) return items;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) {
      items.push_back(list.substr(start));
      return items;
    }
    items.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
}

bool IsSmallInternalChip(const ChipInfo* chip) {
  return chip && (EqualsNoCase(chip->name, "LYR9162") || EqualsNoCase(chip->name, "LYR9362"));
}

// The mode token's list of the 9xxx family. False on an item it refuses.
bool ParseModeList(BoardConfig& config, const std::string& list) {
  config.timing = 0;
  int numbers = 0;
  for (const std::string& item : ListItems(list)) {
    if (!item.empty() && IsDigit(item[0])) {
      size_t pos = 0;
      uint64_t number = 0;
      ReadNumber(item, pos, number);
      if (pos >= item.size() || (item[pos] != 'k' && item[pos] != 'K')) return false;
      ++numbers;
      if (numbers == 1) {
        const bool small = IsSmallInternalChip(config.chip);
        const uint64_t sizes[3] = {small ? 4u : 8u, small ? 16u : 32u, small ? 40u : 56u};
        int split = -1;
        for (int i = 0; i < 3; ++i)
          if (number == sizes[i]) split = i;
        if (split < 0) return false;
        config.internalSplit = static_cast<uint32_t>(split);
      } else if (numbers == 2) {
        config.internalExtra = static_cast<uint32_t>(number * 1024u);
      }
      continue;
    }
    if (StartsWithNoCase(item, "OSC2:") && item.size() > 5 && item[5] >= '0' && item[5] <= '3') {
      config.osc2 = static_cast<uint32_t>(item[5] - '0') + 1;
    } else if (EqualsNoCase(item, "Mem200")) {
      config.mem200 = true;
    } else if (EqualsNoCase(item, "Sync")) {
      config.sync = true;
    } else if (EqualsNoCase(item, "NoSdrInit")) {
      config.noSdrInit = true;
    } else if (EqualsNoCase(item, "Host")) {
      config.host = true;
      config.nandOrHost = 2;
    } else if (EqualsNoCase(item, "Nand")) {
      config.host = false;
      config.nandOrHost = 1;
    } else if (EqualsNoCase(item, "Class2")) {
      config.timing |= 1;
    } else if (EqualsNoCase(item, "Slow")) {
      config.timing |= 2;
    }
  }
  return true;
}

// Reads "text" at pos ignoring case.
bool Expect(std::string_view item, size_t& pos, std::string_view text) {
  if (!StartsWithNoCase(item.substr(pos < item.size() ? pos : item.size()), text)) return false;
  pos += text.size();
  return true;
}

// One device item of the 8x47 family ("2x8Mib" .. "4x512Mib"): sets the XCSDEC code.
bool ParseDeviceItem(BoardConfig& config, std::string_view item, size_t pos, uint64_t count, bool upperUnits) {
  uint32_t countCode = 0;
  int offset = 0;
  if (count == 2) {
    countCode = 2;
    offset = 3;
  } else if (count == 4) {
    countCode = 3;
    offset = 2;
  } else {
    return false;
  }
  config.nandOrHost = countCode;
  uint64_t megabits = 0;
  if (!ReadNumber(item, pos, megabits)) megabits = 0;
  std::string_view unit = item.substr(pos);
  if (!unit.empty() && unit[0] == 'G') {
    megabits *= 1024;
  } else if (!unit.empty() && unit[0] == 'M') {
    std::string_view rest = unit.substr(1);
    const char* b = upperUnits ? "B" : "b";
    const char* ib = upperUnits ? "IB" : "ib";
    if (!(rest.starts_with(b) || rest.starts_with(ib))) return false;
    if (megabits == 0) return false;
  } else {
    return false;
  }
  if (megabits == 0 || (megabits & (megabits - 1)) != 0) return false;
  int exponent = BitLength(megabits) - 1 - offset;
  if (exponent < 0 || exponent > 7) return false;
  config.nandOrHost += static_cast<uint32_t>(exponent) << 2;
  return true;
}

// Items of an 8x47 list at area `index`.
bool ParseAreaItems(BoardConfig& config, const std::vector<std::string>& items, int index, bool upperUnits) {
  for (const std::string& item : items) {
    size_t pos = 0;
    uint64_t number = 0;
    if (!ReadNumber(item, pos, number)) return false;
    std::string_view rest = std::string_view(item).substr(pos);
    if (StartsWithNoCase(rest, "WS")) {
      (index == 0 ? config.ext2Kind : config.ext2Size) = static_cast<uint32_t>(number);
    } else if (!rest.empty() && (rest[0] == 'X' || rest[0] == 'x')) {
      if (index != 0) return false;
      if (!ParseDeviceItem(config, item, pos + 1, number, upperUnits)) return false;
    }
    // A number followed by anything else is ignored.
  }
  return true;
}

bool ParseMemory8x47(BoardConfig& config, const Word& word, int& counter, bool upperUnits) {
  uint32_t kind = 0;
  if (EqualsNoCase(word.word, "EXTSDR"))
    kind = 2;
  else if (EqualsNoCase(word.word, "EXTDDR"))
    kind = 3;
  else if (EqualsNoCase(word.word, "EXTMEM"))
    kind = 1;
  std::vector<std::string> items;
  if (kind != 0) {
    if (config.mode == MEM_FLASH) config.mode = MEM_FLASH_EXT;
    ++counter;
    if (counter == 0)
      config.ext1Kind = kind;
    else if (counter == 1)
      config.ext1Size = kind;
    else
      return false;
    if (word.hasList) items = ListItems(word.list);
  } else {
    if (word.hasList) return false;
    if (!(StartsWithNoCase(word.word, "2x") || StartsWithNoCase(word.word, "4x"))) return false;
    items.push_back(word.word);
  }
  if (counter < 0) counter = 0;
  return ParseAreaItems(config, items, counter, upperUnits);
}

bool ParseMemory9xxx(BoardConfig& config, Word word, int& counter) {
  bool xio = false;
  int64_t waitA = -1;
  int64_t waitB = -1;
  int64_t size = -1;
  std::vector<std::string> items = ListItems(word.list);
  for (size_t i = 0; i < items.size(); ++i) {
    std::string item = items[i];
    for (;;) {
      if (EqualsNoCase(item, "XIO")) {
        xio = true;
        break;
      }
      if (StartsWithNoCase(item, "CL")) {
        size_t pos = 2;
        uint64_t cl = 0, rows = 0, cols = 0;
        if (!ReadNumber(item, pos, cl) || (cl != 2 && cl != 3)) return false;
        if (!Expect(item, pos, "/Row") || !ReadNumber(item, pos, rows) || rows < 11 || rows > 14) return false;
        if (!Expect(item, pos, "/Col") || !ReadNumber(item, pos, cols) || cols < 8 || cols > 11) return false;
        config.sdram = (config.sdram & SDRAM_DDR) | static_cast<uint32_t>(cols - 8) |
                       (static_cast<uint32_t>(rows - 11) << 2) | (cl == 3 ? SDRAM_CL3 : 0);
        break;
      }
      size_t pos = 0;
      uint64_t number = 0;
      if (!ReadNumber(item, pos, number)) return false;
      std::string_view rest = std::string_view(item).substr(pos);
      if (!rest.empty() && rest[0] == '/') {
        waitA = static_cast<int64_t>(number);
        item = std::string(rest.substr(1));  // the rest is read as the next item
        continue;
      }
      if (StartsWithNoCase(rest, "WS"))
        waitB = static_cast<int64_t>(number);
      else if (!rest.empty() && (rest[0] == 'G' || rest[0] == 'g'))
        size = static_cast<int64_t>(number * 1048576u);
      else if (!rest.empty() && (rest[0] == 'M' || rest[0] == 'm'))
        size = static_cast<int64_t>(number * 1024u);
      else if (!rest.empty() && rest[0] == 'k')
        size = static_cast<int64_t>(number);
      break;
    }
  }
  const uint32_t exponent = size < 16 ? 19u : static_cast<uint32_t>(BitLength(static_cast<uint64_t>(size)) + 9);
  const uint32_t a = waitA < 0 ? 8u : static_cast<uint32_t>(waitA);
  const uint32_t b = waitB < 0 ? 8u : static_cast<uint32_t>(waitB);

  uint32_t firstKind = 0;
  bool ddr = false;
  if (EqualsNoCase(word.word, "EXTDDR")) {
    firstKind = EXT_SDRAM;
    ddr = true;
  } else if (EqualsNoCase(word.word, "EXTSDR")) {
    firstKind = EXT_SDRAM;
  } else if (EqualsNoCase(word.word, "EXTNOR") && config.ext1Kind == EXT_NONE) {
    firstKind = EXT_NOR;
  } else if (EqualsNoCase(word.word, "EXTQSRAM")) {
    firstKind = EXT_QSRAM;
  } else if (EqualsNoCase(word.word, "EXTMEM")) {
    firstKind = EXT_MEM;
  }
  if (firstKind != 0) {
    ++counter;
    if (counter > 0) {
      config.ext2First = true;
      if (!config.ext2OnCs1 && config.ext1Kind == EXT_NOR) {
        config.ext2Kind = EXT_NOR;
        config.ext2Size = config.ext1Size;
        config.ext2Xio = config.ext1Xio;
        config.ext2WaitA = config.ext1WaitA;
        config.ext2WaitB = config.ext1WaitB;
      }
    }
    if (ddr) config.sdram |= SDRAM_DDR;
    config.ext1Xio = xio;
    config.ext1WaitA = a;
    config.ext1Kind = firstKind;
    config.ext1Size = exponent;
    config.ext1WaitB = b;
    return true;
  }

  std::string_view name = word.word;
  const bool onCs1 = name.starts_with("1:");
  if (onCs1) name.remove_prefix(2);
  uint32_t kind = 0;
  if (EqualsNoCase(name, "EXTNONE"))
    kind = EXT_NONE;
  else if (EqualsNoCase(name, "EXTNOR"))
    kind = EXT_NOR;
  else if (EqualsNoCase(name, "EXTNAND"))
    kind = EXT_NAND;
  else if (EqualsNoCase(name, "EXTQNOR"))
    kind = EXT_QNOR;
  else
    return false;
  // Only a token that is taken moves the second memory to chip select 1; a refused one
  // leaves no half-set state behind that no text could express.
  if (onCs1) config.ext2OnCs1 = true;
  ++counter;
  config.ext2Xio = xio;
  config.ext2WaitA = a;
  config.ext2Kind = kind;
  config.ext2Size = exponent;
  config.ext2WaitB = b;
  if (counter == 0) config.ext2First = true;
  return true;
}

ConfigParseResult Stop(size_t offset) { return ConfigParseResult{false, offset}; }

}  // namespace

bool ApplyDefaults(BoardConfig& config, uint32_t requestedMode) {
  const ChipInfo* chip = config.chip;
  config = BoardConfig{};
  config.chip = chip;
  config.mode = requestedMode;
  if (!chip) return false;
  switch (chip->familyCode) {
    case FAMILY_73XX: config.mode = MEM_COM; return true;
    case FAMILY_74XX:
    case FAMILY_8X2X:
      if (requestedMode != MEM_INTRAM && requestedMode != MEM_COM) config.mode = MEM_COM;
      return true;
    case FAMILY_8721:
      if (requestedMode != MEM_INTRAM && requestedMode != MEM_FLASH) config.mode = MEM_FLASH;
      return true;
    case FAMILY_8X47:
      config.ext1Kind = 1;
      config.ext1Size = 1;
      config.ext2Kind = 8;
      config.ext2Size = 8;
      config.nandOrHost = 0;
      config.mode = requestedMode == MEM_COM ? MEM_FLASH : requestedMode;
      return true;
    case FAMILY_9XXX:
      config.mode = MEM_INTRAM;
      config.ext1Size = 19;
      config.ext2Size = 19;
      config.internalSplit = 1;
      config.sdram = 9;
      config.ext1WaitA = 7;
      config.ext1WaitB = 7;
      config.ext2WaitA = 12;
      config.ext2WaitB = 4;
      return true;
    default: return false;
  }
}

void InitBoardConfig(BoardConfig& config) {
  config.chip = DefaultChip();
  (void)ApplyDefaults(config, MEM_INTRAM);
}

BoardConfig InitBoardConfig() {
  BoardConfig config;
  InitBoardConfig(config);
  return config;
}

ConfigParseResult ParseBoardConfig(BoardConfig& config, std::string_view text) {
  // The configuration string is a C string: a NUL ends it.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  Tokenizer tokens(text);
  if (StartsWithNoCase(text, "LYR")) tokens.Skip(3);

  Token token;
  if (!tokens.Next(token) || token.text.size() > kMaxTokenLength) return Stop(0);
  const ChipInfo* chip = FindChipByName(token.text);
  if (!chip) return Stop(0);
  config.chip = chip;
  (void)ApplyDefaults(config, MEM_COM);
  const bool family9xxx = chip->familyCode == FAMILY_9XXX;

  // The mode and its list.
  if (!tokens.Next(token)) return {};
  if (token.text.size() > kMaxTokenLength) return Stop(token.offset);
  Word mode = SplitList(std::string(token.text));
  if (EqualsNoCase(mode.word, "FLASH"))
    config.mode = MEM_FLASH;
  else if (EqualsNoCase(mode.word, "INTRAM"))
    config.mode = MEM_INTRAM;
  else if (EqualsNoCase(mode.word, "CACHE"))
    config.mode = MEM_CACHE;
  else if (EqualsNoCase(mode.word, "COM")) {
    config.mode = MEM_COM;
    return {};
  } else {
    return Stop(token.offset);
  }
  if (mode.hasList && (!family9xxx || !ParseModeList(config, mode.list))) return Stop(token.offset);

  if (!tokens.Next(token)) return {};
  if (token.text.size() > kMaxTokenLength) return Stop(token.offset);
  {
    // "FLASH+INTRAM": the formatter writes the mode's list after INTRAM, so it is read there too.
    Word intram = SplitList(std::string(token.text));
    if (EqualsNoCase(intram.word, "INTRAM") && (!intram.hasList || family9xxx)) {
      if (config.mode == MEM_FLASH) config.mode = MEM_FLASH_INTRAM;
      if (intram.hasList && !ParseModeList(config, intram.list)) return Stop(token.offset);
      if (!tokens.Next(token)) return {};
      if (token.text.size() > kMaxTokenLength) return Stop(token.offset);
    }
  }
  if (EqualsNoCase(token.text, "COM")) return {};

  int counter = -1;
  bool upperUnits = false;
  for (;;) {
    if (token.text.size() > kMaxTokenLength) return Stop(token.offset);
    std::string rewritten(token.text);
    if (EqualsNoCase(rewritten, "EXT"))
      rewritten = "EXTMEM";
    else if (StartsWithNoCase(rewritten, "EXTRAM"))
      rewritten.replace(0, 6, "EXTMEM");
    Word word = SplitList(std::move(rewritten));
    if (word.closedByAlternate) upperUnits = true;
    if (chip->familyCode == FAMILY_8X47) {
      if (!ParseMemory8x47(config, word, counter, upperUnits)) return Stop(token.offset);
    } else if (family9xxx) {
      if (!ParseMemory9xxx(config, std::move(word), counter)) return Stop(token.offset);
    }
    if (!tokens.Next(token)) return {};
  }
}

namespace {

std::string SizeText(uint32_t exponent) {
  auto power = [](uint32_t e) { return std::to_string(e < 64 ? (uint64_t{1} << e) : 0); };
  if (exponent >= 30) return power(exponent - 30) + "G";
  if (exponent >= 20) return power(exponent - 20) + "M";
  if (exponent >= 10) return power(exponent - 10) + "k";
  return power(exponent);
}

std::string Waits(uint32_t a, uint32_t b) { return std::to_string(a) + "/" + std::to_string(b) + "WS"; }

std::string XcsdecText(const BoardConfig& config) {
  const uint32_t code = config.nandOrHost & 3;
  const uint32_t exponent = config.nandOrHost >> 2;
  if (code == 0) return "";
  if (code == 1) return "??";
  uint64_t count = 0, value = 0;
  if (code == 2) {
    count = 2;
    value = exponent < 32 ? uint64_t{8} << exponent : 0;
  } else {
    if (exponent >= 7 && config.ext1Kind == 1) return "Invalid XCSDEC=7";
    count = 4;
    value = exponent < 32 ? uint64_t{4} << exponent : 0;
  }
  if (value >= 1024) return std::to_string(count) + "x" + std::to_string(value / 1024) + "Gib";
  if (value != 0) return std::to_string(count) + "x" + std::to_string(value) + "Mib";
  return "??";
}

void Format8x47(const BoardConfig& c, std::string& out) {
  auto areaWord = [](uint32_t kind) { return kind == 2 ? "+EXTSDR" : kind == 3 ? "+EXTDDR" : "+EXTMEM"; };
  bool written = false;
  const uint32_t code = c.nandOrHost & 3;
  if (c.ext2Kind == 8 && c.ext1Kind <= 1 && code == 0 && c.ext1Size <= 1) {
    if (c.ext2Size != 8) {
      out += "+EXTMEM";
      written = true;
    }
  } else if (c.mode == MEM_FLASH && c.ext1Kind <= 1 && c.ext2Kind == 8 && code != 0) {
    // Only a bare device token leaves the mode at FLASH; writing it inside +EXTMEM(...) would
    // read back as FLASH with external memory.
    out += "+" + XcsdecText(c);
    written = true;
  } else {
    out += areaWord(c.ext1Kind);
    if (code != 0) {
      out += "(" + XcsdecText(c);
      if (c.ext2Kind != 8) out += "," + std::to_string(c.ext2Kind) + "WS";
      out += ")";
    } else if (c.ext2Kind != 8) {
      out += "(" + std::to_string(c.ext2Kind) + "WS)";
    }
    written = true;
  }
  if (c.ext1Size == 2 || c.ext1Size == 3 || c.ext2Size != 8) out += areaWord(c.ext1Size);
  if (c.ext2Size != 8) out += "(" + std::to_string(c.ext2Size) + "WS)";
  if (!written && c.mode == MEM_FLASH_EXT) out += "+EXTMEM";
}

// The CL/Row/Col item of the SDRAM geometry.
std::string SdramItem(uint32_t sdram) {
  return ",CL" + std::to_string((sdram & SDRAM_CL3) ? 3 : 2) + "/Row" + std::to_string(((sdram >> 2) & 3) + 11) +
         "/Col" + std::to_string((sdram & 3) + 8);
}

void Format9xxx(const BoardConfig& c, std::string& out) {
  const bool small = IsSmallInternalChip(c.chip);
  uint32_t internal = small ? (c.internalSplit == 1   ? 17
                               : c.internalSplit == 2 ? 41
                                                      : 5)
                            : (c.internalSplit == 1   ? 33
                               : c.internalSplit == 2 ? 57
                                                      : 9);
  out += "(" + std::to_string(internal - 1) + "k";
  if (c.internalExtra != 0) out += "," + std::to_string(c.internalExtra / 1024) + "k";
  if (c.mem200) out += ",Mem200";
  if (c.nandOrHost == 1)
    out += ",Nand";
  else if (c.host || c.nandOrHost == 2)
    out += ",Host";
  if (c.sync) out += ",Sync";
  if (c.noSdrInit) out += ",NoSdrInit";
  if (c.timing & 1) out += ",Class2";
  if (c.timing & 2) out += ",Slow";
  if (c.osc2 != 0) out += ",OSC2:" + std::to_string(c.osc2 - 1);
  out += ")";

  std::string first;
  if (c.ext1Kind != EXT_NONE) {
    if (c.ext1Kind == EXT_SDRAM)
      first = (c.sdram & SDRAM_DDR) ? "+EXTDDR" : "+EXTSDR";
    else if (c.ext1Kind == EXT_NOR)
      first = "+EXTNOR";
    else if (c.ext1Kind == EXT_QSRAM)
      first = "+EXTQSRAM";
    else
      first = "+EXTMEM";
    first += "(" + SizeText(c.ext1Size);
    if (c.ext1Xio) first += ",XIO";
    if (c.ext1Kind == EXT_SDRAM || c.ext1Kind == EXT_QSRAM) {
      // Their wait values still reach the timing registers; write them when a list set them.
      if (c.ext1WaitA != 8 || c.ext1WaitB != 8) first += "," + Waits(c.ext1WaitA, c.ext1WaitB);
    } else {
      first += "," + Waits(c.ext1WaitA, c.ext1WaitB);
    }
    if (c.ext1Kind == EXT_SDRAM) first += SdramItem(c.sdram);
    first += ")";
  }

  auto secondToken = [&c](const char* word, bool withList) {
    std::string text = "+";
    if (c.ext2OnCs1) text += "1:";
    text += word;
    if (withList) {
      text += "(" + SizeText(c.ext2Size);
      if (c.ext2Xio) text += ",XIO";
      text += "," + Waits(c.ext2WaitA, c.ext2WaitB) + ")";
    }
    return text;
  };

  if (c.ext2Kind != EXT_NONE) {
    const char* word = c.ext2Kind == EXT_NOR    ? "EXTNOR"
                       : c.ext2Kind == EXT_NAND ? "EXTNAND"
                       : c.ext2Kind == EXT_QNOR ? "EXTQNOR"
                                                : "EXTMEM";
    std::string second = secondToken(word, true);
    if (c.ext2First && c.ext2Kind == EXT_NOR && !c.ext2OnCs1 && c.ext1Kind == EXT_NOR) {
      // A plain EXTNOR written first would read back as the first memory; an EXTNONE ahead
      // keeps the order without moving anything.
      out += secondToken("EXTNONE", false) + first + second;
    } else {
      out += c.ext2First ? second + first : first + second;
    }
    return;
  }
  // No second memory. An EXTNONE token that was read still set the second memory's size,
  // waits and chip select, which reach the boot registers: write it back whenever the record
  // differs from the untouched defaults.
  const bool untouched =
      !c.ext2First && !c.ext2OnCs1 && !c.ext2Xio && c.ext2Size == 19 && c.ext2WaitA == 12 && c.ext2WaitB == 4;
  if (untouched) {
    out += first;
    return;
  }
  const bool plainNone = !c.ext2Xio && c.ext2Size == 19 && c.ext2WaitA == 8 && c.ext2WaitB == 8;
  std::string none = secondToken("EXTNONE", !plainNone);
  out += c.ext2First ? none + first : first + none;
}

}  // namespace

std::string FormatBoardConfig(const BoardConfig& config) {
  if (!config.chip) return "";
  std::string out = config.chip->name;
  const uint32_t family = config.chip->familyCode;
  switch (config.mode) {
    case MEM_INTRAM: out += " INTRAM"; break;
    case MEM_COM: {
      // Families whose defaults turn COM into another mode need the word to read back as COM.
      BoardConfig probe;
      probe.chip = config.chip;
      if (ApplyDefaults(probe, MEM_COM) && probe.mode != MEM_COM) out += " COM";
      break;
    }
    case MEM_FLASH:
    case MEM_FLASH_EXT: out += " FLASH"; break;
    case MEM_FLASH_INTRAM: out += " FLASH+INTRAM"; break;
    case MEM_CACHE: out += " CACHE"; break;
    default: break;
  }
  if (family == FAMILY_8X47) {
    Format8x47(config, out);
  } else if (family == FAMILY_9XXX) {
    Format9xxx(config, out);
  } else if (config.mode == MEM_FLASH_EXT) {
    out += "+EXTMEM";
  }
  return out;
}

uint16_t MemoryConfigWord(const BoardConfig& c) {
  if (!c.chip) return 0;
  uint32_t word = 0;
  if (c.chip->familyCode == FAMILY_9XXX) {
    word = c.ext1Kind == EXT_NONE    ? 7
           : c.ext1Kind == EXT_MEM   ? 1
           : c.ext1Kind == EXT_NOR   ? 2
           : c.ext1Kind == EXT_QSRAM ? 3
                                     : 0;
    if (c.ext2OnCs1) {
      word += c.ext2Kind == EXT_NOR ? 0x08 : c.ext2Kind == EXT_NAND ? 0x10 : c.ext2Kind == EXT_QNOR ? 0x18 : 0;
    } else if ((word == 0 || word == 1) && c.ext2Kind == EXT_NOR) {
      word += 0x04;
    }
    if (c.ext2First) word += 0x20;
  } else if (c.chip->familyCode == FAMILY_8X47) {
    word = c.ext1Kind == 1 ? ((4 * c.ext2Kind) - 1) & 0x1C : 0x1D;
    word |= c.ext1Size == 1 ? ((32 * c.ext2Size) - 1) & 0xE0 : 0xE2;
    word |= c.nandOrHost << 8;
    if (c.ext1Kind == 3 || c.ext1Size == 3) word |= 0x8000;
  }
  return static_cast<uint16_t>(word);
}

uint16_t ConfigRegisterValue(const BoardConfig& c, uint32_t n) {
  if (!c.chip || c.chip->familyCode != FAMILY_9XXX) return 0;
  const bool sdr = c.ext1Kind == EXT_SDRAM;
  const bool ddr = (c.sdram & SDRAM_DDR) != 0;
  uint32_t v = 0;
  switch (n) {
    case 8:
      v = c.ext2Kind == EXT_NOR ? 0x1000 : c.ext2Kind == EXT_NAND ? 0x2000 : c.ext2Kind == EXT_QNOR ? 0x4000 : 0;
      if (c.host || c.nandOrHost == 2) {
        v |= 0x0001;
        if (IsSmallInternalChip(c.chip)) v |= 0x0008;
      }
      if (sdr) v |= ddr ? 0x0F80 : 0x0780;
      break;
    case 9:
      v = c.ext1Kind == EXT_MEM ? 0x8000 + 0x1FFF : 0;
      if (c.ext2Kind == EXT_NOR && !c.ext2OnCs1) v |= 0x7FFF;
      if (c.ext1Kind == EXT_QSRAM) v |= 0x2000;
      if (c.ext2Kind == EXT_QNOR) v |= 0x4000;
      break;
    case 11:
      v = c.ext2Kind == EXT_NOR ? 3 : c.ext2Kind == EXT_NAND ? 0x403 : 0;
      if (c.ext1Kind == EXT_QSRAM) v |= 4;
      if (c.ext2Kind == EXT_QNOR) v |= 0x88;
      v |= 0x70;
      if (c.ext1Kind == EXT_MEM || sdr || (c.ext2Kind == EXT_NOR && !c.ext2OnCs1)) v |= 0x300;
      break;
    case 12: v = c.ext2Kind == EXT_NOR ? 0xFFFF : 0; break;
    case 13: v = c.ext2Kind == EXT_NOR ? 0x0800 : 0; break;
    case 19: v = MemoryConfigWord(c); break;
    case 20:
      v = (c.ext1Size > 19 ? c.ext1Size - 19 : 0) | ((c.ext2Size > 19 ? c.ext2Size - 19 : 0) << 4) |
          ((c.internalSplit & 3) << 14);
      if (c.ext1Xio) v |= 0x100;
      if (c.ext2Xio) v |= 0x200;
      break;
    case 21: v = c.sync ? 0x940 : 0x900; break;
    case 22:
      v = (c.timing & 1) ? 0x110F : 0x1120;
      if (c.timing & 2) v |= 0x10;
      if (c.ext2WaitB > 16) v |= 0x80;
      if (c.ext2WaitA > 16) v |= 0x40;
      break;
    case 23: v = sdr ? ((c.mem200 ? 0x2200 : 0x3300) | (c.sdram & 0x3F)) : 0; break;
    case 24:
      v = (((256 * c.ext2WaitA) - 1) & 0x0F00) | (((4096 * c.ext2WaitB) - 1) & 0xF000) | (16 * c.ext1WaitB - 16) |
          (c.ext1WaitA - 1);
      break;
    case 25: v = sdr ? (ddr ? 0xDB66 : 0xDB7B) : 0; break;
    case 26:
      if (sdr) {
        v = 0x09C0 + (ddr ? 1 : 0);
        v |= c.mem200 ? 0x0A : (c.sdram & SDRAM_CL3) ? 0x08 : 0x06;
      }
      break;
    case 27: v = sdr ? (c.mem200 ? 0x57E8 : 0x2BF3) : 0; break;
    case 64: v = 0x1204; break;
    case 103:
    case 107: v = 0x0014; break;
    default: v = 0;
  }
  return static_cast<uint16_t>(v);
}

}  // namespace tessaro
