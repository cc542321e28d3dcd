// Any bytes as a device description file: through the sectioned reader into the serial, QSPI
// or parallel parser (the first section decides), then every lookup and the device list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/DeviceCatalogue.h"
#include "definitions/SerialDescriptions.h"
#include "flash/FlashDriverTDF.h"
#include "tools/DeviceListExport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  IniDocument document;
  if (!document.ParseText(bytes) || document.Sections().empty()) return 0;
  DeviceCatalogue catalogue;
  std::string errors;
  // Twice, so every device meets its own duplicate.
  (void)AddDescriptionDocument(catalogue, "A.TDF", document, errors);
  (void)AddDescriptionDocument(catalogue, "B.TDF", document, errors);
  catalogue.SetGenericNand(AddGenericNand(catalogue, catalogue.RegisterFile("GENERIC")));

  const uint8_t idBytes[8] = {bytes.empty() ? uint8_t{0} : data[0], 0x40, 0x17, 0x20, 0x80, 0, 0, 0};
  DataFlashDescription serial;
  for (const auto& entry : catalogue.Entries()) {
    (void)catalogue.FindSerialDevice(entry->name, serial);
    (void)catalogue.FindQspiDevice(entry->manufacturer->DisplayName() + ":" + entry->name);
    (void)catalogue.FindQspiDevice(entry->name);
    (void)catalogue.FindParallelDevice(entry->name);
    (void)catalogue.FindDeviceById((entry->qspi.manufacturerId << 16) | entry->qspi.deviceId, idBytes);
    if (entry->driver) {
      FlashDriverTDF working;
      working = FlashDriverTDF(*entry->driver);
      (void)working.SelectedPart();
      (void)working.ManufacturerName();
    }
  }
  (void)DeviceListText(catalogue, false);
  (void)DeviceListText(catalogue, true);
  return 0;
}
