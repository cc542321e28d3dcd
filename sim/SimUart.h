// The serial line between host and target as a UART sees it: a frame format and a speed on
// each end. When the two ends disagree (7E2 against 8N1, 115200 against 57600) bytes arrive
// as the receiver samples them, garbled, split or merged, never silently vanished.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessaro::sim {

struct UartFormat {
  uint32_t baud = 57600;
  uint32_t dataBits = 8;
  char parity = 'N';  // 'E' even, 'O' odd, anything else none
  uint32_t stopBits = 1;
  bool operator==(const UartFormat&) const = default;
};

// The bytes a receiver in `receiver` format takes from `bytes` sent back to back in `sender`
// format. Equal speeds (within 3 %) and frames pass the bytes unchanged. A frame whose stop
// bit samples low is still delivered: the monitor's receive loop does not look at framing
// errors.
std::vector<uint8_t> UartTransfer(std::span<const uint8_t> bytes, const UartFormat& sender, const UartFormat& receiver);

// True when the two ends understand each other byte for byte.
bool UartCompatible(const UartFormat& a, const UartFormat& b);

}  // namespace tessaro::sim
