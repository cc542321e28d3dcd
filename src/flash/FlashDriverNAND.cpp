#include "flash/FlashDriverNAND.h"

namespace tessaro {

bool FlashDriverNAND::Detect(FlashDriverIf& /*session*/, std::string& errorText) {
  ready = false;
  errorText += "NAND flash support is not available in this version\r\n";
  return false;
}

bool FlashDriverNAND::Program(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }
bool FlashDriverNAND::Verify(FlashDriverIf& /*session*/, ImageBuffer& /*image*/) { return false; }

}  // namespace tessaro
