#include "definitions/DeviceCatalogue.h"

#include <algorithm>

#include "definitions/ParallelDescriptions.h"
#include "definitions/QspiDescriptions.h"
#include "definitions/SerialDescriptions.h"
#include "platform/Files.h"

namespace tessaro {

bool QspiDescription::ExtendedIdMatches(std::span<const uint8_t> idBytes) const {
  uint32_t count = std::min<uint32_t>(extendedIdCount, kMaxExtendedIdChecks);
  for (uint32_t i = 0; i < count; ++i) {
    const ExtendedIdCheck& check = extendedId[i];
    if (check.byteIndex >= idBytes.size()) return false;
    uint32_t mask = (1u << check.bitCount) - 1u;
    if (((static_cast<uint32_t>(idBytes[check.byteIndex]) >> check.shift) & mask) != check.value) return false;
  }
  return true;
}

DeviceCatalogue::DeviceCatalogue() = default;
DeviceCatalogue::~DeviceCatalogue() = default;
DeviceCatalogue::DeviceCatalogue(DeviceCatalogue&&) noexcept = default;
DeviceCatalogue& DeviceCatalogue::operator=(DeviceCatalogue&&) noexcept = default;

const CatalogueFile* DeviceCatalogue::RegisterFile(std::string_view name) {
  auto position = std::lower_bound(files_.begin(), files_.end(), name,
                                   [](const std::unique_ptr<CatalogueFile>& file, std::string_view key) {
                                     return CompareNoCase(file->name, key) < 0;
                                   });
  if (position != files_.end() && EqualsNoCase((*position)->name, name)) return position->get();
  auto file = std::make_unique<CatalogueFile>();
  file->name.assign(name);
  return files_.insert(position, std::move(file))->get();
}

const ManufacturerEntry* DeviceCatalogue::RegisterManufacturer(std::string_view text) {
  std::string_view key = text.substr(0, text.find('|'));
  auto position = std::lower_bound(manufacturers_.begin(), manufacturers_.end(), key,
                                   [](const std::unique_ptr<ManufacturerEntry>& entry, std::string_view k) {
                                     return CompareNoCase(entry->DisplayName(), k) < 0;
                                   });
  if (position != manufacturers_.end() && EqualsNoCase((*position)->DisplayName(), key)) return position->get();
  auto entry = std::make_unique<ManufacturerEntry>();
  std::string_view rest = text;
  for (;;) {
    size_t bar = rest.find('|');
    entry->names.emplace_back(rest.substr(0, bar));
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return manufacturers_.insert(position, std::move(entry))->get();
}

DeviceDescription* DeviceCatalogue::InsertEntry(std::unique_ptr<DeviceDescription> entry, DeviceDescription** next) {
  // Before the first entry whose name is not below the new one.
  auto position = entries_.lower_bound(std::string_view(entry->name));
  if (next) *next = position != entries_.end() ? position->get() : nullptr;
  return entries_.emplace_hint(position, std::move(entry))->get();
}

ParallelDeviceRecord* DeviceCatalogue::AddParallelDriver(std::unique_ptr<ParallelDeviceRecord> driver) {
  parallelDrivers_.push_back(std::move(driver));
  return parallelDrivers_.back().get();
}

bool DeviceCatalogue::FindSerialDevice(std::string_view name, DataFlashDescription& block) const {
  for (const auto& entry : entries_) {
    if (entry->family == FAMILY_SERIAL && EqualsNoCase(entry->name, name)) {
      block = entry->serial;
      return true;
    }
  }
  return false;
}

const DeviceDescription* DeviceCatalogue::FindQspiDevice(std::string_view text) const {
  size_t colon = text.find(':');
  std::string_view device = colon == std::string_view::npos ? text : text.substr(colon + 1);
  for (const auto& entry : entries_) {
    if (entry->family != FAMILY_QSPI) continue;
    if (colon == std::string_view::npos) {
      // A bare device name is looked up by name alone, as a parallel pattern is.
      if (EqualsNoCase(entry->name, device)) return entry.get();
      continue;
    }
    std::string_view maker = text.substr(0, colon);
    const auto& names = entry->manufacturer->names;
    bool makerMatches = std::any_of(names.begin(), names.end(),
                                    [&](const std::string& alternative) { return EqualsNoCase(alternative, maker); });
    if (makerMatches && EqualsNoCase(entry->name, device)) return entry.get();
  }
  return nullptr;
}

ParallelDeviceRecord* DeviceCatalogue::FindParallelDevice(std::string_view text) {
  size_t colon = text.find(':');
  std::string_view maker;
  std::string_view pattern = text;
  if (colon != std::string_view::npos) {
    maker = text.substr(0, colon);
    pattern = text.substr(colon + 1);
  }
  for (const auto& driver : parallelDrivers_) {
    if (colon != std::string_view::npos) {
      const ManufacturerEntry* manufacturer = driver->description.manufacturer;
      if (!manufacturer || !EqualsNoCase(manufacturer->DisplayName(), maker)) continue;
    }
    const auto& parts = driver->description.parts;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (MatchDeviceName(parts[i].name, pattern)) {
        driver->SelectPart(static_cast<int>(i));
        return driver.get();
      }
    }
  }
  return nullptr;
}

const DeviceDescription* DeviceCatalogue::FindDeviceById(uint32_t identification,
                                                         std::span<const uint8_t> idBytes) const {
  for (const auto& entry : entries_) {
    uint32_t id = (entry->qspi.manufacturerId << 16) | entry->qspi.deviceId;
    if (id == identification && entry->qspi.ExtendedIdMatches(idBytes)) return entry.get();
  }
  return nullptr;
}

void DeviceCatalogue::FreeCatalogue() {
  genericNand_ = nullptr;
  entries_.clear();
  parallelDrivers_.clear();
  manufacturers_.clear();
  files_.clear();
}

// ---------------------------------------------------------------------------------------------

bool AddDescriptionDocument(DeviceCatalogue& catalogue, std::string_view fileName, const IniDocument& document,
                            std::string& errorText) {
  const std::vector<IniSection>& sections = document.Sections();
  if (sections.empty()) return false;
  const CatalogueFile* file = catalogue.RegisterFile(fileName);
  const IniSection& first = sections.front();
  std::string fileErrors;

  auto manufacturerText = [&first](std::string_view fallback) -> std::string_view {
    if (const std::string* names = first.Value("ManufacturerNames")) return *names;
    if (const std::string* manufacturer = first.Value("Manufacturer")) return *manufacturer;
    return fallback;
  };

  if (EqualsNoCase(first.name, "DFDEVICES")) {
    std::string_view manufacturer = manufacturerText("Serial");
    int32_t id = KeyNumber(first, "Id");
    if (id < 1) id = 0;
    for (size_t i = 1; i < sections.size(); ++i) {
      ParseSerialDevice(catalogue, file, sections[i], id, manufacturer, fileErrors);
    }
  } else if (EqualsNoCase(first.name, "QSPIDEVICES")) {
    std::string_view manufacturer = manufacturerText("QSPI");
    int32_t id = KeyNumber(first, "ID");
    // Configurations are known to the device sections that follow them in the file.
    QspiConfigList configs;
    for (size_t i = 1; i < sections.size(); ++i) {
      const IniSection& section = sections[i];
      if (StartsWithNoCase(section.name, "CONFIG.")) {
        std::string configName = section.name.substr(7);
        if (configName.empty()) continue;
        NamedQspiConfig named{configName, {}};
        if (ParseConfigSection(section, named.config, fileErrors)) configs.push_back(std::move(named));
      } else {
        ParseQspiDevice(catalogue, file, section, configs, manufacturer, id, fileErrors);
      }
    }
  } else {
    (void)AddParallelFile(catalogue, file, document, fileErrors);
  }
  if (fileErrors.empty()) return true;
  errorText += "Error(s) in " + std::string(fileName) + ":\r\n" + fileErrors + "\r\n";
  return false;
}

bool LoadDriverFolder(DeviceCatalogue& catalogue, const std::string& folder, std::string& errorText) {
  catalogue.FreeCatalogue();
  std::vector<std::string> names = ListFolder(folder, "TDF");
  if (names.empty()) {
    errorText += "No TDF Files in " + folder + "\r\n";
    return false;
  }
  bool ok = true;
  IniDocument document;
  for (const std::string& name : names) {
    std::string path = JoinPath(folder, name);
    if (!document.Parse(path) || document.Sections().empty()) {
      errorText += "Unable to read " + path + "\r\n";
      ok = false;
      continue;
    }
    if (!AddDescriptionDocument(catalogue, name, document, errorText)) ok = false;
  }
  catalogue.SetGenericNand(AddGenericNand(catalogue, catalogue.RegisterFile("GENERIC")));
  return ok;
}

bool ParseDeviceSize(std::string_view text, uint32_t& value) {
  size_t position = 0;
  uint64_t number = 0;
  while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
    number = number * 10 + static_cast<uint64_t>(text[position] - '0');
    if (number > 0xFFFFFFFFull) return false;
    ++position;
  }
  if (number == 0) return false;
  if (position < text.size()) {
    char factor = AsciiUpper(text[position]);
    uint64_t multiplier = factor == 'K' ? 1024ull : factor == 'M' ? 1048576ull : factor == 'G' ? 1073741824ull : 0;
    if (multiplier != 0) {
      number *= multiplier;
      ++position;
    }
  }
  if (position + 1 < text.size() && AsciiUpper(text[position]) == 'I' && AsciiUpper(text[position + 1]) == 'B') {
    position += 2;
  }
  if (position != text.size() || number > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

uint32_t DataFlashHeldBytes(const DataFlashDescription& d) {
  const uint32_t size = static_cast<uint32_t>(std::max(d.sizeBytes, 0));
  const uint32_t page = static_cast<uint32_t>(std::max(d.pageSize, 0));
  const uint32_t powerOfTwoPage = page & ~0xFFu;
  if (d.type != SERIAL_DATAFLASH || powerOfTwoPage == 0 || page == powerOfTwoPage) return size;
  return size / powerOfTwoPage * page;
}

bool ReadDeviceSize(const IniSection& section, uint32_t& sizeBytes, std::string& errorText) {
  const std::string* text = section.Value("DeviceSize");
  if (!text) {
    errorText += section.name + ": Missing DeviceSize";
    return false;
  }
  uint32_t bits = 0;
  if (!ParseDeviceSize(*text, bits) || bits / 8 == 0) {
    errorText += section.name + ": Invalid DeviceSize " + *text;
    return false;
  }
  sizeBytes = bits / 8;
  return true;
}

bool MatchDeviceName(std::string_view name, std::string_view pattern) {
  size_t i = 0;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == '*' && i + 1 == pattern.size()) return name.size() > i;
    if (i >= name.size()) return false;
    if (pattern[i] != '*' && AsciiLower(pattern[i]) != AsciiLower(name[i])) return false;
  }
  return i == name.size();
}

std::string_view FamilyText(int32_t family) {
  switch (family) {
    case FAMILY_PARALLEL: return "par. NOR";
    case FAMILY_SERIAL: return "DataFlash";
    case FAMILY_QSPI: return "(Q)SPI NOR";
    case FAMILY_NAND: return "NAND";
    default: return "[unknown]";
  }
}

}  // namespace tessaro
