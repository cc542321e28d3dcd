#include "sim/devices/SpiFlashDevice.h"

#include <algorithm>
#include <bit>

namespace tessaro::sim {

namespace {

constexpr uint8_t kReadId = 0x9F;
constexpr uint8_t kDataFlashStatus = 0xD7;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kSectorErase = 0x20;
constexpr uint8_t kBufferProgramWithErase = 0x82;
constexpr uint8_t kPageSizeSwitch = 0x3D;
constexpr uint32_t kSectorBytes = 4096;

}  // namespace

SpiFlashDevice::SpiFlashDevice(const DataFlashDescription& d, const SpiFlashOptions& o)
    : description(d), memory(DataFlashHeldBytes(d), 0xFF), options(o) {
  powerOfTwo = powerOfTwoConfigured = o.powerOfTwoPages || (d.pageSize & 0xFF) == 0;
}

void SpiFlashDevice::PowerCycle() {
  powerOfTwo = powerOfTwoConfigured;
  writeEnabled = false;
  command_.clear();
  busy_.Reset();
}

uint32_t SpiFlashDevice::PageBytes() const {
  const uint32_t size = static_cast<uint32_t>(description.pageSize);
  return IsDataFlash() && powerOfTwo ? (size & ~0xFFu) : size;
}

uint32_t SpiFlashDevice::PageShift() const {
  uint32_t shift = 0;
  while ((1u << shift) < PageBytes()) ++shift;
  return shift;
}

uint32_t SpiFlashDevice::ArrayOffset(uint32_t a) const {
  const uint32_t shift = PageShift();
  return (a >> shift) * PageBytes() + (a & ((1u << shift) - 1));
}

uint32_t SpiFlashDevice::AddressableBytes() const {
  // In power-of-two page mode the extra bytes of each page are out of reach.
  if (!IsDataFlash() || PageBytes() == static_cast<uint32_t>(description.pageSize))
    return static_cast<uint32_t>(memory.size());
  return static_cast<uint32_t>(memory.size() / static_cast<uint32_t>(description.pageSize) * PageBytes());
}

uint32_t SpiFlashDevice::WordCount() const { return AddressableBytes() / 2; }

uint16_t SpiFlashDevice::Word(uint32_t i) const {
  if (2 * static_cast<size_t>(i) + 1 >= AddressableBytes()) return 0xFFFF;
  return static_cast<uint16_t>(memory[2 * i] | (memory[2 * i + 1] << 8));
}

uint8_t SpiFlashDevice::StatusByte() const {
  if (IsDataFlash()) {
    // Bits 5-2 tell the density: 0111b for 4 Mbit, two more for each doubling (1001b 8 Mbit,
    // 1011b 16 Mbit, 1101b 32 Mbit).
    const int sizeLog2 = std::bit_width(static_cast<uint32_t>(std::max(description.sizeBytes, 1))) - 1;
    const auto density = static_cast<uint8_t>((7 + 2 * (sizeLog2 - 19)) & 0x0F);
    return static_cast<uint8_t>((Busy() ? 0 : 0x80) | density << 2 | (powerOfTwoConfigured ? 1 : 0));
  }
  return static_cast<uint8_t>((Busy() ? 1 : 0) | (writeEnabled ? 2 : 0));
}

uint32_t SpiFlashDevice::CommandAddress() const {
  uint32_t a = 0;
  const size_t bytes = static_cast<size_t>(description.addressBytes);
  for (size_t i = 1; i <= bytes && i < command_.size(); ++i) a = (a << 8) | command_[i];
  return a;
}

void SpiFlashDevice::Select(bool on) {
  if (on == selected) return;
  selected = on;
  if (on) {
    command_.clear();
    return;
  }
  Finish();
  command_.clear();
}

uint8_t SpiFlashDevice::Transfer(uint8_t out) {
  if (!selected) {
    Violation("SPI transfer while the device is not selected");
    return 0xFF;
  }
  const size_t index = command_.size();
  if (command_.size() < 4096 + 16) command_.push_back(out);
  const uint8_t op = command_[0];
  const bool statusRead = op == kDataFlashStatus || op == kReadStatus;
  if (index == 0) {
    if (Busy() && !statusRead) Violation("command while the device is busy");
    return 0xFF;
  }
  if (Busy() && !statusRead) return 0xFF;
  const size_t addressEnd = static_cast<size_t>(description.addressBytes);
  switch (op) {
    case kReadId: {
      if (IsEeprom()) return 0xFF;  // these parts have no identification
      const auto manufacturer = static_cast<uint8_t>(description.deviceId >> 8);
      const auto device = static_cast<uint8_t>(description.deviceId & 0xFF);
      // DataFlash: second device byte 00h (01h on the 32 Mbit AT45DB321), then one byte of
      // extended information (00h).
      // Basic SPI flash: a third byte, 01h on Adesto's AT25SF parts, log2 of the size on others
      // (13h on a 4 Mbit W25X40).
      const auto sizeLog2 =
          static_cast<uint8_t>(std::bit_width(static_cast<uint32_t>(std::max(description.sizeBytes, 1))) - 1);
      const uint8_t third = manufacturer == 0x1F ? 0x01 : sizeLog2;
      const uint8_t second = manufacturer == 0x1F && device == 0x27 ? 0x01 : 0x00;
      const uint8_t dataFlashId[] = {manufacturer, device, second, 0x01, 0x00};
      const uint8_t basicId[] = {manufacturer, device, third, 0x00, 0x00};
      const uint8_t* id = IsDataFlash() ? dataFlashId : basicId;
      return index - 1 < sizeof dataFlashId ? id[index - 1] : 0x00;
    }
    case kDataFlashStatus:
    case kReadStatus: return StatusByte();
    case kRead: {
      if (index <= addressEnd) {
        if (index == addressEnd) readPosition_ = ArrayOffset(CommandAddress());
        return 0xFF;
      }
      const uint32_t end = AddressableBytes();
      const uint8_t value = readPosition_ < end ? memory[readPosition_] : 0xFF;
      readPosition_ = end == 0 ? 0 : (readPosition_ + 1) % end;
      return value;
    }
    default: return 0xFF;
  }
}

void SpiFlashDevice::Finish() {
  if (command_.empty()) return;
  const uint8_t op = command_[0];
  const size_t addressEnd = static_cast<size_t>(description.addressBytes);
  if (Busy() && op != kDataFlashStatus && op != kReadStatus) return;  // already reported
  switch (op) {
    case kWriteEnable:
      if (IsDataFlash()) Violation("write enable sent to a DataFlash");
      writeEnabled = true;
      return;
    case kPageProgram:
    case kBufferProgramWithErase: {
      if ((op == kPageProgram) == IsDataFlash()) {
        Violation("page program opcode of another device kind");
        return;
      }
      if (command_.size() <= addressEnd) {
        Violation("page program without a complete address");
        return;
      }
      if (op == kPageProgram && !writeEnabled) {
        Violation("page program without write enable");
        return;
      }
      const uint32_t start = ArrayOffset(CommandAddress());
      const uint32_t pageBytes = PageBytes();
      const uint32_t pageStart = start - start % pageBytes;
      if (uint64_t{pageStart} + pageBytes > AddressableBytes()) {
        Violation("page program beyond the end of the device");
        return;
      }
      const size_t dataBytes = command_.size() - addressEnd - 1;
      if (dataBytes > pageBytes) Violation("page program longer than a page");
      if (op == kBufferProgramWithErase) std::fill_n(memory.begin() + pageStart, pageBytes, uint8_t{0xFF});
      for (size_t i = 0; i < std::min<size_t>(dataBytes, pageBytes); ++i) {
        uint8_t& cell = memory[pageStart + (start - pageStart + i) % pageBytes];
        const uint8_t value = command_[addressEnd + 1 + i];
        // An EEPROM replaces bytes; flash only clears bits.
        cell = IsEeprom() ? value : static_cast<uint8_t>(cell & value);
      }
      writeEnabled = false;
      ++pagesProgrammed;
      StartBusy(options.programBusy);
      return;
    }
    case kSectorErase: {
      if (IsDataFlash() || IsEeprom()) {
        Violation("sector erase sent to a device without it");
        return;
      }
      if (!writeEnabled) {
        Violation("sector erase without write enable");
        return;
      }
      const uint32_t start = CommandAddress() - CommandAddress() % kSectorBytes;
      if (start + kSectorBytes > memory.size()) {
        Violation("sector erase beyond the end of the device");
        return;
      }
      if (!options.eraseFails) std::fill_n(memory.begin() + start, kSectorBytes, uint8_t{0xFF});
      writeEnabled = false;
      StartBusy(options.eraseBusy);
      return;
    }
    case kPageSizeSwitch:
      if (command_.size() == 4 && command_[1] == 0x2A && command_[2] == 0x80 && command_[3] == 0xA6 && IsDataFlash()) {
        powerOfTwoConfigured = true;
        StartBusy(options.eraseBusy);
      } else {
        Violation("malformed page-size command");
      }
      return;
    default: return;
  }
}

}  // namespace tessaro::sim
