#include "flash/FlashDriverQSPI.h"

namespace tessaro {

std::string FlashDriverQSPI::ManufacturerName() const {
  return hasDescription && !manufacturerName.empty() ? manufacturerName : std::string(kGenericQspiName);
}

std::string FlashDriverQSPI::DeviceName() const {
  return hasDescription && !deviceName.empty() ? deviceName : std::string(kGenericQspiName);
}

void FlashDriverQSPI::Select(const DeviceDescription* device, bool dual, bool singleBitMode) {
  if (device == nullptr) return;
  hasDescription = true;
  description = device->qspi;
  manufacturerName = device->manufacturer ? device->manufacturer->DisplayName() : std::string();
  deviceName = device->name;
  dualRequested = dual;
  singleBit = singleBitMode;
}

void FlashDriverQSPI::Clear() { *this = FlashDriverQSPI{}; }

bool FlashDriverQSPI::CheckDevice(FlashDriverIf& /*session*/, std::string& errorText) {
  if (!hasDescription) {
    errorText += "No Driver Selected\r\n";
    return false;
  }
  errorText += "QSPI flash programming is not available in this version\r\n";
  return false;
}

bool FlashDriverQSPI::Erase(FlashDriverIf& /*session*/, uint32_t /*words*/) { return false; }
bool FlashDriverQSPI::Program(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }
bool FlashDriverQSPI::Verify(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }

}  // namespace tessaro
