#include "definitions/ParallelDescriptions.h"

#include "definitions/DeviceCatalogue.h"

namespace tessaro {

namespace {

uint16_t Low16(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFF); }

// A sector address list must be usable as a table: every address a number, strictly
// increasing, at least one sector. Anything else would send erases to the wrong places.
bool IsUsableAddressTable(const ValuePairList& table) {
  if (table.AddressCount() < 2) return false;
  for (int32_t i = 0; i < table.AddressCount(); ++i) {
    if (table.Address(i) == static_cast<int32_t>(VALUE_INVALID << 2) || table.Address(i) < 0) return false;
    if (i > 0 && table.Address(i) <= table.Address(i - 1)) return false;
  }
  return true;
}

}  // namespace

bool ParsePartId(std::string_view text, PartId& id) {
  id = PartId{};
  if (text.empty() || text.size() > kPartIdTextLimit) return false;
  size_t comma = text.find(',');
  id.mainId = ParseValue(text.substr(0, comma));
  int32_t nextIndex = 2;
  while (comma != std::string_view::npos && id.extraCount < kPartIdMaxExtra) {
    text.remove_prefix(comma + 1);
    comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    int32_t index = nextIndex;
    std::string_view valueText = item;
    if (size_t colon = item.find(':'); colon != std::string_view::npos) {
      index = ParseValue(item.substr(0, colon));
      valueText = item.substr(colon + 1);
    }
    PartIdWord& word = id.extra[static_cast<size_t>(id.extraCount++)];
    word.index = Low16(index);
    word.value = Low16(ParseValue(valueText));
    nextIndex = word.index + 1;
  }
  return true;
}

bool ParseCfiMatch(std::string_view text, ValuePairList& list, std::string& errorText) {
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view item = rest;
    int32_t address = ParseValue(NextListItem(rest, ':'));
    int32_t value = ParseValue(NextListItem(rest, ','));
    if (rest.size() == item.size() || !IsValidValue(address) || !IsValidValue(value)) {
      errorText += "Error parsing: " + std::string(item);
      return false;
    }
    list.Append(Low16(address), Low16(value));
  }
  return true;
}

bool ParseParallelFile(ParallelFlashDescription& description, DeviceCatalogue& catalogue, const IniDocument& document,
                       std::string& errorText) {
  description = ParallelFlashDescription{};
  bool failed = false;
  auto fail = [&](const std::string& message) {
    errorText += message;
    failed = true;
  };

  if (const IniSection* manufacturer = document.FindSection("Manufacturer")) {
    description.manufacturerId = KeyNumber(*manufacturer, "Id");
    const std::string* names = manufacturer->Value("Names");
    if (!names) names = manufacturer->Value("Name");
    description.manufacturer = catalogue.RegisterManufacturer(names ? std::string_view(*names) : "Parallel");
  } else {
    fail("Section [Manufacturer] not found!\r\n");
  }

  const IniSection* device = document.FindSection("Device");
  description.maskCmd = KeyNumber(device, "MaskCmd");
  description.timeSector = KeyNumber(device, "TimeSector");
  if (!device) {
    fail("Section [Device] key not found!\r\n");
  } else if (const std::string* name = device->Value("Name"); name && !name->empty()) {
    PartEntry part;
    part.name = *name;
    if (const std::string* idText = device->Value("Id")) (void)ParsePartId(*idText, part.id);
    if (IsCfiKind(part.id.mainId)) {
      if (const std::string* match = device->Value("CFI_MATCH")) {
        if (!ParseCfiMatch(*match, description.cfiMatch, errorText)) failed = true;
      }
      part.kind = part.id.mainId;
    } else {
      int32_t size = KeyNumber(*device, "Size");
      int32_t sectorNumber = KeyNumber(*device, "SectorNumber");
      if (!IsValidValue(sectorNumber)) sectorNumber = KeyNumber(*device, "SectorNb");
      const std::string* addressValue = device->Value("Address");
      std::string address = addressValue ? *addressValue : std::string();
      const std::string mismatch = "Error [Device] SectorNumber and Address don't match\r\n";
      if (address.size() >= 2 && address[0] >= '1' && address[0] <= '9' && (address[1] == 'x' || address[1] == 'X')) {
        if (!part.sectors.ParseSectorLayout(address)) {
          fail("Parse Error in " + address);
        } else if (IsValidValue(sectorNumber) && sectorNumber != part.sectors.AddressCount() - 1) {
          fail(mismatch);
        }
      } else {
        // Sector addresses in units of 4096 words, the end address last.
        (void)part.sectors.ParseAddressList(address, 2);
        if (int64_t{part.sectors.AddressCount()} != int64_t{sectorNumber} + 1) {
          fail(mismatch);
        } else if (!IsValidValue(size)) {
          fail("Error [Device] Size not found\r\n");
        } else if (!IsUsableAddressTable(part.sectors)) {
          fail("Parse Error in " + address);
        }
      }
      part.kind = PART_SECTORS;
    }
    description.parts.push_back(std::move(part));
  }

  if (const IniSection* parts = document.FindSection("PARTS")) {
    for (const IniKey& key : parts->keys) {
      size_t open = key.name.find('[');
      if (open == std::string::npos || open == 0 || key.name.back() != ']' || key.name.size() < open + 2) {
        fail("Malformatted Part " + key.name);
        continue;
      }
      PartEntry part;
      part.name = key.name.substr(0, open);
      (void)ParsePartId(std::string_view(key.name).substr(open + 1, key.name.size() - open - 2), part.id);
      int32_t value = ParseValue(key.value);
      if (IsCfiKind(value)) {
        part.kind = value;
      } else if (part.sectors.ParseSectorLayout(key.value) && part.sectors.AddressCount() > 0) {
        part.kind = PART_SECTORS;
      } else {
        // An empty layout is refused too: a part without sectors could never be programmed.
        fail("Parse Error in " + key.value);
        continue;
      }
      description.parts.push_back(std::move(part));
    }
  }

  struct CommandSection {
    std::string_view name;
    ValuePairList* list;
    bool optional;
  };
  const CommandSection sections[] = {
      {"ReadArray", &description.readArray, true},      {"UnlockSector", &description.unlockSector, true},
      {"SectorErase", &description.sectorErase, false}, {"WordWrite", &description.wordWrite, true},
      {"PageWrite", &description.pageWrite, true},      {"ClearStatus", &description.clearStatus, true},
  };
  for (const CommandSection& section : sections) {
    if (!ReadCommandSection(document, section.name, *section.list, section.optional, errorText)) failed = true;
  }

  const IniSection* status = document.FindSection("Status");
  description.statusType = KeyNumber(status, "Type");
  description.errorBit = KeyNumber(status, "Error");
  if (!IsValidValue(description.errorBit)) description.errorBit = KeyNumber(status, "ErrorBit");

  if (description.readArray.AddressCount() == 0) {
    description.readArray.Clear();
    description.readArray.Append(-1, 0xF0);
  }
  if (!IsValidValue(description.maskCmd)) fail("Error [Device] MaskCmd not found\r\n");
  bool hasWordWrite = description.wordWrite.AddressCount() > 0;
  bool hasPageWrite = description.pageWrite.AddressCount() > 0;
  if (hasWordWrite == hasPageWrite) fail("[WordWrite] or [PageWrite] required!\r\n");
  if (!IsValidValue(description.statusType)) {
    fail("Error [Status] type undefined\r\n");
  } else if (description.statusType == 0 && !IsValidValue(description.errorBit)) {
    errorText += "Warning [Status] type = POLLING, ErrorBit undefined, assuming 0x28\r\n";
    description.errorBit = 0x28;
  }
  return !failed;
}

bool AddParallelFile(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniDocument& document,
                     std::string& errorText) {
  auto created = std::make_unique<ParallelDeviceRecord>();
  if (!ParseParallelFile(created->description, catalogue, document, errorText)) return false;
  ParallelDeviceRecord* driver = catalogue.AddParallelDriver(std::move(created));
  const ParallelFlashDescription& description = driver->description;
  for (const PartEntry& part : description.parts) {
    auto entry = std::make_unique<DeviceDescription>();
    entry->file = file;
    entry->part = &part;
    entry->manufacturer = catalogue.RegisterManufacturer(description.manufacturer->DisplayName());
    entry->driver = driver;
    entry->family = FAMILY_PARALLEL;
    entry->name = part.name;
    DeviceDescription* next = nullptr;
    DeviceDescription* added = catalogue.InsertEntry(std::move(entry), &next);
    if (next && EqualsNoCase(next->name, added->name) && next->manufacturer == added->manufacturer) {
      if (!next->duplicate) {
        errorText += "Multiple driver definition for " + added->manufacturer->DisplayName() + ":" + added->name + " (" +
                     next->file->name + ")\r\n";
      }
      next->duplicate = true;
      added->duplicate = true;
    }
  }
  return true;
}

}  // namespace tessaro
