// Result codes of the link operations (OpenLink, LinkWithTarget, Connect) and their messages.
// The link calls that return one are [[nodiscard]]: a failure cannot be dropped unseen.
#pragma once

#include <string>

namespace tessaro {

enum LinkResult : int {
  LINK_OK = 0,
  LINK_CANT_OPEN_PORT = 1,
  LINK_NOT_POWERED = 2,
  LINK_NO_ACK = 3,
  LINK_NO_HIGH_BAUD = 4,
  LINK_FAILED = 5,
  LINK_INVALID_RESPONSE = 6,
  LINK_CHIP_SECURED = 7,
  LINK_NO_SESSIONS = 8,
};

// The message of a result code; "" for success, "Unknown Error!" for an unknown code.
std::string LinkErrorText(int code);

}  // namespace tessaro
