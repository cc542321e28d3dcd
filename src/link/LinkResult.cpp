#include "link/LinkResult.h"

namespace tessaro {

std::string LinkErrorText(int code) {
  switch (code) {
    case 0: return "";
    case 1: return "Can't open Port!";
    case 2: return "Target-Board not connected or not powered!";
    case 3: return "Can't link with target, no ACK received";
    case 4: return "Can't switch to high Baudrate!";
    case 5: return "Can't link with target!";
    case 6: return "Can't link with target, invalid response!";
    case 7: return "Chip secured, Programming/Debugging not available!";
    case 8: return "No more debug sessions available on this chip!";
    default: return "Unknown Error!";
  }
}

}  // namespace tessaro
