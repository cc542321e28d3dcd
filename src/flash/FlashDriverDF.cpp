#include "flash/FlashDriverDF.h"

namespace tessaro {

bool FlashDriverDF::SetDevice(const DataFlashDescription& device, const PinList& enable, const PinList& disable,
                              const ChipInfo* /*chip*/, std::string& errorText) {
  ready = false;
  description = device;
  enableList = enable;
  disableList = disable;
  errorText += "Serial flash programming is not available in this version\r\n";
  return false;
}

void FlashDriverDF::Reset() {
  ready = false;
  description = DataFlashDescription{};
  enableList = PinList{};
  disableList = PinList{};
}

bool FlashDriverDF::Program(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }

bool FlashDriverDF::Verify(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }

}  // namespace tessaro
