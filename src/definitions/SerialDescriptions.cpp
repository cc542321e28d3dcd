#include "definitions/SerialDescriptions.h"

namespace tessaro {

namespace {

struct TypeName {
  std::string_view name;
  SerialType type;
};

constexpr TypeName kSerialTypes[] = {
    {"EEPROM", SERIAL_EEPROM},
    {"BASIC_DATAFLASH", SERIAL_BASIC_DATAFLASH},
    {"DATAFLASH", SERIAL_DATAFLASH},
};

std::string ValueText(const IniSection& section, std::string_view key) {
  const std::string* value = section.Value(key);
  return value ? *value : std::string();
}

}  // namespace

void ParseSerialDevice(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniSection& section,
                       int32_t manufacturerId, std::string_view manufacturerText, std::string& errorText) {
  DataFlashDescription block;
  uint32_t sizeBytes = 0;
  if (!ReadDeviceSize(section, sizeBytes, errorText)) return;
  block.sizeBytes = static_cast<int32_t>(sizeBytes);

  block.addressBytes = KeyNumber(section, "AddressBytes");
  if (block.addressBytes <= 0) {
    errorText += section.name + ": Invalid AddressBytes " + ValueText(section, "AddressBytes") + "\r\n";
    return;
  }
  int32_t deviceId = KeyNumber(section, "DeviceID");
  if (deviceId < 1) {
    deviceId = 0;
  } else if ((deviceId & 0xFF00) == 0) {
    deviceId |= (manufacturerId & 0xFF) << 8;
  }
  block.deviceId = deviceId;

  block.pageSize = KeyNumber(section, "PageSize");
  if (block.pageSize <= 0) {
    errorText += section.name + ": Invalid PageSize " + ValueText(section, "PageSize") + "\r\n";
    return;
  }
  block.slow = KeyNumber(section, "Slow") > 0 ? 1 : 0;

  const std::string* type = section.Value("Type");
  if (!type) {
    errorText += section.name + ": Missing Type!\r\n";
    return;
  }
  for (const TypeName& candidate : kSerialTypes) {
    if (EqualsNoCase(*type, candidate.name)) block.type = candidate.type;
  }
  if (block.type == 0) {
    errorText += section.name + ": Invalid Type " + *type + "\r\n";
    return;
  }

  auto entry = std::make_unique<DeviceDescription>();
  entry->file = file;
  entry->manufacturer = catalogue.RegisterManufacturer(manufacturerText);
  entry->family = FAMILY_SERIAL;
  entry->name = section.name;
  entry->serial = block;
  DeviceDescription* next = nullptr;
  DeviceDescription* added = catalogue.InsertEntry(std::move(entry), &next);
  if (next && EqualsNoCase(next->name, added->name)) {
    if (!next->duplicate) {
      errorText += "SPI: Multiple driver definition for " + added->manufacturer->DisplayName() + ":" + added->name +
                   " (" + next->file->name + ")\r\n";
    }
    next->duplicate = true;
    added->duplicate = true;
  }
}

const DeviceDescription* AddGenericNand(DeviceCatalogue& catalogue, const CatalogueFile* file) {
  auto entry = std::make_unique<DeviceDescription>();
  entry->file = file;
  entry->manufacturer = catalogue.RegisterManufacturer("GENERIC_NAND");
  entry->family = FAMILY_NAND;
  entry->name = "ONFI";
  return catalogue.InsertEntry(std::move(entry), nullptr);
}

}  // namespace tessaro
