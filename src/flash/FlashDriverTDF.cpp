#include "flash/FlashDriverTDF.h"

#include "definitions/DeviceCatalogue.h"

namespace tessaro {

uint32_t FlashDriverTDF::ManufacturerId() const { return static_cast<uint32_t>(description.manufacturerId); }

std::string FlashDriverTDF::ManufacturerName() const {
  return description.manufacturer ? description.manufacturer->DisplayName() : std::string();
}

uint32_t FlashDriverTDF::DeviceId() const { return static_cast<uint32_t>(deviceId); }

std::string FlashDriverTDF::DeviceName() const { return {}; }

uint32_t FlashDriverTDF::DeviceSize() const { return static_cast<uint32_t>(sizeWords); }

void FlashDriverTDF::Reset() { *this = FlashDriverTDF{}; }

const PartEntry* FlashDriverTDF::SelectedPart() const {
  if (selectedPart < 0 || static_cast<size_t>(selectedPart) >= description.parts.size()) return nullptr;
  return &description.parts[static_cast<size_t>(selectedPart)];
}

}  // namespace tessaro
