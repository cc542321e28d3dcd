#include "flash/FlashDriverPAR.h"

namespace tessaro::parallel_flash {

bool CheckDevice(FlashDriverTDF& driver, FlashDriverIf& /*session*/, std::string& errorText) {
  driver.uploaded = false;
  if (!driver.ready) {
    errorText += "No Driver Description for Parallel Flash";
    return false;
  }
  errorText += "Parallel flash programming is not available in this version";
  return false;
}

bool Erase(FlashDriverTDF& /*driver*/, FlashDriverIf& /*session*/, uint32_t /*words*/) { return false; }
bool Program(FlashDriverTDF& /*driver*/, FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }
bool Verify(FlashDriverTDF& /*driver*/, FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }

}  // namespace tessaro::parallel_flash
