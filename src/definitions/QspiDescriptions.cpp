#include "definitions/QspiDescriptions.h"

#include <algorithm>
#include <cmath>

namespace tessaro {

namespace {

struct OptionName {
  std::string_view name;
  uint32_t bit;
};

constexpr OptionName kOptions[] = {
    {"MicronFlagStatus", QSPI_OPTION_MICRON_FLAG_STATUS},
    {"ConfigAlways", QSPI_OPTION_CONFIG_ALWAYS},
    {"ExtendedSPI", QSPI_OPTION_EXTENDED_SPI},
    {"ExtendedAddress", QSPI_OPTION_EXTENDED_ADDRESS},
    {"DataFlashStatus", QSPI_OPTION_DATAFLASH_STATUS},
};

// KeyNumber, or the default when the key is missing or not a number.
int32_t NumberOr(const IniSection& section, std::string_view key, int32_t fallback) {
  int32_t value = KeyNumber(section, key);
  return IsValidValue(value) ? value : fallback;
}

uint8_t Low8(int32_t value) { return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFF); }

bool AllOf(std::string_view text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string_view::npos;
}

int32_t DigitsValue(std::string_view digits, int base) {
  if (digits.empty()) return kValueInvalid;
  uint64_t value = 0;
  for (char c : digits) {
    int digit = HexDigitValue(c);
    if (digit < 0 || digit >= base) return kValueInvalid;
    value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
    // A hexadecimal or binary number wider than 32 bits is refused, not read as its low bits
    // (decimal ones keep their modulo-2^32 reading).
    if (base != 10 && value > 0xFFFFFFFFu) return kValueInvalid;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

std::optional<uint8_t> EncodeDummyCycles(int32_t cycles) {
  if (cycles >= 0 && cycles <= 7) return static_cast<uint8_t>(cycles);
  if (cycles >= 8 && cycles <= 14 && cycles % 2 == 0) return static_cast<uint8_t>(8 + (cycles - 8) / 2);
  if (cycles >= 16 && cycles <= 28 && cycles % 4 == 0) return static_cast<uint8_t>(12 + (cycles - 16) / 4);
  return std::nullopt;
}

int32_t ParseNumberText(std::string_view original) {
  std::string text = AsciiUpper(original);
  if (text.empty()) return kValueInvalid;
  if (text.front() == '\'') {
    // 'hex bytes', one to four of them, read big-endian.
    if (text.size() < 4 || text.size() > 10 || text.back() != '\'' || text.size() % 2 != 0) return kValueInvalid;
    return DigitsValue(std::string_view(text).substr(1, text.size() - 2), 16);
  }
  std::string_view view = text;
  if (view.size() > 2 && view.substr(0, 2) == "0X") return DigitsValue(view.substr(2), 16);
  if (view.front() >= '0' && view.front() <= '9' && view.back() == 'H') {
    return DigitsValue(view.substr(0, view.size() - 1), 16);
  }
  if (view.size() > 2 && view.substr(0, 2) == "0B" && (view[2] == '0' || view[2] == '1')) {
    return DigitsValue(view.substr(2), 2);
  }
  if ((view.front() == '0' || view.front() == '1') && view.back() == 'B') {
    return DigitsValue(view.substr(0, view.size() - 1), 2);
  }
  if (AllOf(view, "+-0123456789")) {
    size_t position = 0;
    bool negative = false;
    if (view[0] == '+' || view[0] == '-') {
      negative = view[0] == '-';
      position = 1;
    }
    size_t digitsEnd = position;
    while (digitsEnd < view.size() && view[digitsEnd] >= '0' && view[digitsEnd] <= '9') ++digitsEnd;
    int32_t value = DigitsValue(view.substr(position, digitsEnd - position), 10);
    if (!IsValidValue(value)) return kValueInvalid;
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : value;
  }
  if (AllOf(view, "+-.0123456789")) {
    // A fixed-point fraction with 23 fraction bits.
    size_t position = 0;
    bool negative = false;
    if (view[0] == '+' || view[0] == '-') {
      negative = view[0] == '-';
      position = 1;
    }
    double value = 0.0;
    bool any = false;
    while (position < view.size() && view[position] >= '0' && view[position] <= '9') {
      value = value * 10.0 + (view[position] - '0');
      any = true;
      ++position;
    }
    if (position < view.size() && view[position] == '.') {
      ++position;
      double scale = 0.1;
      while (position < view.size() && view[position] >= '0' && view[position] <= '9') {
        value += (view[position] - '0') * scale;
        scale /= 10.0;
        any = true;
        ++position;
      }
    }
    if (!any) return kValueInvalid;
    double scaled = std::trunc((negative ? -value : value) * 8388608.0);
    if (!(scaled >= -2147483648.0 && scaled <= 2147483647.0)) return kValueInvalid;
    return static_cast<int32_t>(scaled);
  }
  return kValueInvalid;
}

bool ParseExtendedId(std::string_view text, QspiDescription& block) {
  block.extendedIdCount = 0;
  size_t position = 0;
  auto skipBlanks = [&] {
    while (position < text.size() && IsBlank(text[position])) ++position;
  };
  auto readDecimal = [&](int& value) {
    size_t start = position;
    value = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
      value = std::min(value * 10 + (text[position] - '0'), 1000);
      ++position;
    }
    return position > start;
  };
  skipBlanks();
  while (position < text.size()) {
    if (block.extendedIdCount >= kMaxExtendedIdChecks) return false;
    ExtendedIdCheck check;
    int byteIndex = 0;
    if (!readDecimal(byteIndex) || byteIndex > 7) return false;
    check.byteIndex = static_cast<uint8_t>(byteIndex);
    check.bitCount = 8;
    if (position < text.size() && text[position] == '.') {
      ++position;
      int bit = 0;
      if (!readDecimal(bit) || bit > 7) return false;
      check.shift = static_cast<uint8_t>(bit);
      check.bitCount = 1;
    }
    if (position >= text.size() || text[position] != ':') return false;
    ++position;
    size_t comma = text.find(',', position);
    std::string_view valueText =
        TrimBlanks(text.substr(position, comma == std::string_view::npos ? std::string_view::npos : comma - position));
    int32_t value = ParseNumberText(valueText);
    if (value < 0 || value > (1 << check.bitCount) - 1) return false;
    check.value = static_cast<uint8_t>(value);
    block.extendedId[block.extendedIdCount++] = check;
    if (comma == std::string_view::npos) break;
    position = comma + 1;
    skipBlanks();
  }
  return true;
}

bool ParseQspiOptions(std::string_view text, QspiDescription& block) {
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = TrimBlanks(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const OptionName* found = nullptr;
    for (const OptionName& option : kOptions) {
      if (EqualsNoCase(item, option.name)) found = &option;
    }
    if (!found) return false;
    block.options |= found->bit;
  }
  return true;
}

void ParseQspiDevice(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniSection& section,
                     const QspiConfigList& configs, std::string_view manufacturerText, int32_t manufacturerId,
                     std::string& errorText) {
  const std::string& name = section.name;
  QspiDescription block;
  if (!ReadDeviceSize(section, block.sizeBytes, errorText)) return;

  std::vector<std::string> names{name};
  if (const std::string* aliases = section.Value("Names")) {
    std::string_view rest = *aliases;
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      // An alias of blanks only would list a device without a name; it is left out.
      std::string_view item = TrimSpaces(rest.substr(0, comma));
      if (!item.empty()) names.emplace_back(item);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }

  block.eraseUnit = 65536;
  if (const std::string* unit = section.Value("EraseUnit")) {
    if (EqualsNoCase(*unit, "SPANSION_ERASE_UNIT")) {
      block.eraseUnit = ERASE_UNIT_SPANSION;
    } else if (!ParseDeviceSize(*unit, block.eraseUnit)) {
      errorText += name + ": Invalid Erase Unit!\r\n";
      return;
    }
  }
  if (section.FindKey("Address")) {
    errorText += name + ": Address Table not supported (Uniform Addressing)!\r\n";
    return;
  }
  if (block.sizeBytes % 1024 != 0) {
    errorText += name + ": Device/Sector Size Mismatch!\r\n";
    return;
  }
  if (!section.FindKey("Type")) {
    errorText += name + ": Missing Type!\r\n";
    return;
  }
  if (!section.FindKey("ID")) {
    errorText += name + ": Missing ID!\r\n";
    return;
  }

  const bool large = block.sizeBytes > kQspiThreeByteLimit;
  block.pageSize = static_cast<uint32_t>(NumberOr(section, "PageSize", 256));
  block.csHigh = Low8(NumberOr(section, "CsHigh", 40));
  block.eraseSectorCmd = Low8(NumberOr(section, "EraseSector", large ? 0xDC : 0xD8));
  block.addressBytes = Low8(NumberOr(section, "AddressBytes", large ? 4 : 3));
  block.quadIoReadCmd = Low8(NumberOr(section, "QuadIoRead", large ? 0xEC : 0xEB));
  block.quadMaxMhz = Low8(NumberOr(section, "QuadMaxMHz", 50));

  auto dummy = [&](std::string_view key, int32_t fallback, uint8_t& code) {
    int32_t cycles = NumberOr(section, key, fallback);
    std::optional<uint8_t> encoded = EncodeDummyCycles(cycles);
    if (!encoded) {
      errorText += name + ": Incompatible Dummy Cycle Count " + std::to_string(cycles) + "!\r\n";
      return false;
    }
    code = *encoded;
    return true;
  };
  if (!dummy("QuadDummyRead", 6, block.quadDummyCode)) return;
  block.singleMaxMhz = Low8(NumberOr(section, "SingleMaxMHz", 25));
  if (!dummy("SingleDummyRead", 0, block.singleDummyCode)) return;

  block.singleReadCmd = Low8(NumberOr(section, "SingleRead", large ? 0x13 : 0x03));
  if (IsValidValue(KeyNumber(section, "FastRead"))) errorText += name + ": Deprecated parameter FastRead ignored!\r\n";
  block.pageProgramCmd = Low8(NumberOr(section, "PageProgram", large ? 0x12 : 0x02));
  block.statusErrorMask = Low8(NumberOr(section, "StatusErrorMask", 0));
  block.manufacturerId = static_cast<uint32_t>(manufacturerId);
  block.deviceId = static_cast<uint32_t>(KeyNumber(section, "ID"));

  if (const std::string* extended = section.Value("ExtendedId")) {
    if (!ParseExtendedId(*extended, block)) {
      errorText += name + ": Invalid Options: " + *extended + "\r\n";
      return;
    }
  }
  const std::string* options = section.Value("Options");
  if (!options) options = section.Value("Option");
  if (options && !ParseQspiOptions(*options, block)) {
    errorText += name + ": Invalid Options: " + *options + "\r\n";
    return;
  }

  if (const std::string* single = section.Value("SingleConfig")) {
    const QspiConfig* config = FindQspiConfig(configs, *single);
    if (!config) {
      errorText += name + ": Configuration not found: " + *single + "\r\n";
      return;
    }
    block.singleConfig = *config;
  }
  bool always = true;
  const std::string* configName = section.Value("Config_Always");
  if (!configName) {
    configName = section.Value("Config");
    always = false;
  }
  if (configName) {
    const QspiConfig* config = FindQspiConfig(configs, *configName);
    if (!config) {
      errorText += name + ": Configuration not found: " + *configName + "\r\n";
      return;
    }
    block.config = *config;
    if (always) block.options |= QSPI_OPTION_CONFIG_ALWAYS;
  }

  const ManufacturerEntry* manufacturer = catalogue.RegisterManufacturer(manufacturerText);
  for (const std::string& deviceName : names) {
    auto entry = std::make_unique<DeviceDescription>();
    entry->file = file;
    entry->manufacturer = manufacturer;
    entry->family = FAMILY_QSPI;
    entry->name = deviceName;
    entry->qspi = block;
    DeviceDescription* next = nullptr;
    DeviceDescription* added = catalogue.InsertEntry(std::move(entry), &next);
    if (next && EqualsNoCase(next->name, added->name)) {
      if (!next->duplicate) {
        errorText += "QSPI: Multiple driver definition for " + manufacturer->DisplayName() + ":" + added->name + " (" +
                     next->file->name + ")\r\n";
      }
      next->duplicate = true;
      added->duplicate = true;
    }
  }
}

}  // namespace tessaro
