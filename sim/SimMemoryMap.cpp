// The target's memory map as the monitor sees it: RAM, the embedded flash, the windows of the
// attached device models, and the I/O registers.
#include "sim/SimBoard.h"

#include "sim/ChipFacts.h"
#include "sim/SimBoardDetail.h"

namespace tessaro::sim {

using namespace board_detail;

namespace {

// The LYR8247 and LYR8347 have their select and keyboard pins (SEL, ROW, MK, BR) in data
// memory: two data words at 0xC000000 and their two direction words after them, whose latches
// read back what was written. (The identification's 8x47 probe looks for them, so it cannot
// tell these two models apart.)
bool SelectPortWord(const ChipInfo& chip, uint32_t address) {
  return (chip.modelCode == 0x8247 || chip.modelCode == 0x8347) && address - 0xC000000 < 4;
}

}  // namespace

// ---- memory map ----

uint32_t SimBoard::BankCount() const { return sim::BankCount(*chip_); }

bool SimBoard::LowWindowIsFlash() const { return (io_[0] & 0x4) == 0; }

// The 8x47's external address line A17 is port pin P1.2. Switched to a plain output (bit 2 of
// its select register I/O 33 and of its direction register I/O 13) the pin drives A17 from P1's
// data register (I/O 9): that is how the host reaches the first 0x20000 words of the WCS0
// memory, which the chip's own memories hide, at 0x20000 to 0x3FFFF. Otherwise the memory
// sees the address as it is. A WCS0 window sits where the memory's word 0 shows with A17 low.
uint32_t SimBoard::WindowAddress(uint32_t address) {
  constexpr uint32_t kWcs0First = 0x20000, kWcs0End = 0x4000000, kA17 = 0x20000;
  if (family_ != FAMILY_8X47 || address < kWcs0First || address >= kWcs0End) return address;
  uint32_t lines = address;
  if ((io_[33] & 4) != 0 && (io_[13] & 4) != 0) lines = (lines & ~kA17) | ((IoRead(9) & 4) != 0 ? kA17 : 0);
  return lines + kWcs0First;
}

uint16_t SimBoard::MemRead(uint32_t address) {
  const uint32_t bus = WindowAddress(address);
  for (const auto& window : windows_)
    if (bus - window.base < window.size) return window.device->ReadWord(bus - window.base);
  auto ram = [&](uint32_t a) {
    auto it = ram_.find(a);
    return it == ram_.end() ? uint16_t{0} : it->second;
  };
  const uint32_t bank = address >> 16;
  if (BankCount() != 0 && bank <= 0x83F && bank >= 0x840 - BankCount()) {
    if (family_ == FAMILY_8X47 && address == 0x83F0C86) return 0x6597;  // ROM identification word
    return ram(address);
  }
  const uint32_t flashBase = chip_->embeddedFlashBase;
  if (chip_->embeddedFlashSize != 0 && address - flashBase < chip_->embeddedFlashSize)
    return flash_[address - flashBase];
  switch (family_) {
    case FAMILY_73XX: return address < 0x10000 ? ram(address) : 0xFFFF;
    case FAMILY_74XX: return address < 0x20000 ? ram(address) : 0xFFFF;
    case FAMILY_8X2X:
      if (address - 0x4000000 < 0x4000 || address < 0x4000) return ram(address);
      return 0xFFFF;
    case FAMILY_8721:
    case FAMILY_8X47: {
      // The 8721 decodes 8K words of internal RAM, mirrored through its 16K window.
      uint32_t mask = family_ == FAMILY_8721 ? 0x1FFF : 0x3FFF;
      if (address - 0x4000000 < 0x4000) return ram(0x4000000 + (address & mask));
      if (address < chip_->embeddedFlashSize)
        return LowWindowIsFlash() ? flash_[address] : ram(0x4000000 + (address & mask));
      if (SelectPortWord(*chip_, address)) return ram(address);
      return 0xFFFF;
    }
    case FAMILY_9XXX:
      // Program RAM as the monitor sees it at 0..0xFFFF, and the data RAM window.
      return address < 0x10000 || address - 0x8E00000 < 0x100000 ? ram(address) : 0xFFFF;
    default: return 0xFFFF;
  }
}

bool SimBoard::InEmbeddedFlash(uint32_t address) const {
  const uint32_t size = chip_->embeddedFlashSize;
  if (size == 0) return false;
  if (address - chip_->embeddedFlashBase < size) return true;
  // The 8721 and 8x47 also show the flash in the low window unless it is switched to RAM.
  return (family_ == FAMILY_8721 || family_ == FAMILY_8X47) && address < size && LowWindowIsFlash();
}

bool SimBoard::MemWrite(uint32_t address, uint16_t value) {
  const uint32_t bus = WindowAddress(address);
  for (const auto& window : windows_)
    if (bus - window.base < window.size) {
      window.device->WriteWord(bus - window.base, value);
      return true;
    }
  auto store = [&](uint32_t a) {
    ram_[a] = value;
    return true;
  };
  const uint32_t bank = address >> 16;
  if (BankCount() != 0 && bank <= 0x83F && bank >= 0x840 - BankCount()) {
    if (family_ == FAMILY_8X47 && address == 0x83F0C86) return false;  // ROM
    return store(address);
  }
  if (InEmbeddedFlash(address)) return false;
  switch (family_) {
    case FAMILY_73XX: return address < 0x10000 && store(address);
    case FAMILY_74XX: return address < 0x20000 && store(address);
    case FAMILY_8X2X: return (address - 0x4000000 < 0x4000 || address < 0x4000) && store(address);
    case FAMILY_8721:
    case FAMILY_8X47: {
      const uint32_t mask = family_ == FAMILY_8721 ? 0x1FFF : 0x3FFF;
      if (address - 0x4000000 < 0x4000 || address < chip_->embeddedFlashSize)
        return store(0x4000000 + (address & mask));
      return SelectPortWord(*chip_, address) && store(address);
    }
    case FAMILY_9XXX: return (address < 0x10000 || address - 0x8E00000 < 0x100000) && store(address);
    default: return false;
  }
}

// ---- I/O registers ----

void SimBoard::ResetIoRegisters() {
  io_.fill(0);
  if (family_ == FAMILY_9XXX) io_[64] = 0x1204;
  // The 8x47 core identifies itself in I/O register 24; an 8x2x reads 0 there.
  if (family_ == FAMILY_8X47) io_[24] = 0x0047;
  uartDivisor_ = kDefaultDivisor;
}

uint16_t SimBoard::IoRead(uint32_t reg) {
  for (const auto& block : ioBlocks_)
    if (reg - block.first < block.count) return block.device->ReadIo(reg - block.first);
  const bool nine = family_ == FAMILY_9XXX;
  switch (reg) {
    case 11:
      if (chip_->modelCode == 0x8647 && io_[15] == 0xFFFF) return io_[11] & 0xFF00;
      break;
    case 13:
      if (chip_->modelCode == 0x7322 && io_[12] == 0x58) return io_[13] & 0x0FFF;
      break;
    case 21:
      if (nine) return static_cast<uint16_t>((io_[21] & ~0x7000) | ((options_.strapping.value_or(0) & 7) << 12));
      break;
    case 64: return nine ? io_[64] : 0;
    case 250:
      if (nine) return static_cast<uint16_t>(0x90 | (options_.packageCode.value_or(PackageCode(*chip_)) & 0xF));
      return IdentityRegister(*chip_);
    case 251: return static_cast<uint16_t>(static_cast<int16_t>(options_.revision));
    case 254: return uartDivisor_;
    default: break;
  }
  return io_[reg & 0xFF];
}

void SimBoard::IoWrite(uint32_t reg, uint16_t value) {
  for (const auto& block : ioBlocks_)
    if (reg - block.first < block.count) {
      block.device->WriteIo(reg - block.first, value);
      return;
    }
  switch (reg) {
    case 64:
      if (family_ == FAMILY_9XXX) io_[64] = value;
      return;
    case 250:
    case 251: return;
    case 254:
      if (!refuseBaudSwitch_) uartDivisor_ = value & 0xFF;
      return;
    case 23:
      io_[23] = value;
      if (family_ == FAMILY_9XXX && (value & 0x40)) io_[23] |= 0x80;  // SDRAM initialised
      return;
    default: io_[reg & 0xFF] = value;
  }
}

}  // namespace tessaro::sim
