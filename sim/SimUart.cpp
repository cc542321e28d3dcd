#include "sim/SimUart.h"

#include <algorithm>
#include <cmath>

namespace tessaro::sim {

namespace {

bool ParityBit(uint32_t value, uint32_t bits, char parity) {
  int ones = 0;
  for (uint32_t i = 0; i < bits; ++i) ones += (value >> i) & 1;
  const bool odd = parity == 'O' || parity == 'o';
  return odd ? ones % 2 == 0 : ones % 2 == 1;
}

bool HasParity(char parity) { return parity == 'E' || parity == 'e' || parity == 'O' || parity == 'o'; }

// The line level, one entry per sender bit: start bit, data bits (LSB first), parity, stops.
std::vector<uint8_t> LineBits(std::span<const uint8_t> bytes, const UartFormat& format) {
  std::vector<uint8_t> bits;
  for (uint8_t byte : bytes) {
    bits.push_back(0);
    for (uint32_t i = 0; i < format.dataBits; ++i) bits.push_back((byte >> i) & 1);
    if (HasParity(format.parity)) bits.push_back(ParityBit(byte, format.dataBits, format.parity) ? 1 : 0);
    for (uint32_t i = 0; i < (format.stopBits == 2 ? 2u : 1u); ++i) bits.push_back(1);
  }
  return bits;
}

}  // namespace

bool UartCompatible(const UartFormat& a, const UartFormat& b) {
  if (a.baud == 0 || b.baud == 0) return false;
  const uint32_t diff = a.baud > b.baud ? a.baud - b.baud : b.baud - a.baud;
  const bool parityA = HasParity(a.parity), parityB = HasParity(b.parity);
  // The stop bit count only matters to the sender's pace; one stop bit is all a receiver checks.
  return diff * 100 <= 3 * std::max(a.baud, b.baud) && a.dataBits == b.dataBits && parityA == parityB &&
         (!parityA || (a.parity == 'O' || a.parity == 'o') == (b.parity == 'O' || b.parity == 'o'));
}

std::vector<uint8_t> UartTransfer(std::span<const uint8_t> bytes, const UartFormat& sender,
                                  const UartFormat& receiver) {
  if (UartCompatible(sender, receiver)) return {bytes.begin(), bytes.end()};
  std::vector<uint8_t> out;
  if (sender.baud == 0 || receiver.baud == 0) return out;
  const std::vector<uint8_t> bits = LineBits(bytes, sender);
  // Time in sender bit periods; the receiver's bit lasts `ratio` of them.
  const double ratio = static_cast<double>(sender.baud) / receiver.baud;
  auto level = [&](double t) {
    const auto index = static_cast<size_t>(std::floor(t));
    return index < bits.size() ? bits[index] : uint8_t{1};  // idle line is high
  };
  const uint32_t frameBits = 1 + receiver.dataBits + (HasParity(receiver.parity) ? 1 : 0);
  size_t search = 0;
  while (search < bits.size()) {
    // A falling edge starts a frame; the receiver samples each bit in its middle.
    while (search < bits.size() && bits[search] != 0) ++search;
    if (search >= bits.size()) break;
    const double start = static_cast<double>(search);
    uint32_t value = 0;
    for (uint32_t i = 0; i < receiver.dataBits; ++i)
      if (level(start + (1 + i + 0.5) * ratio)) value |= 1u << i;
    out.push_back(static_cast<uint8_t>(value));
    // Hunting for the next start bit begins after the stop bit's sample.
    const double stopSample = start + (frameBits + 0.5) * ratio;
    search = static_cast<size_t>(std::ceil(stopSample));
  }
  return out;
}

}  // namespace tessaro::sim
