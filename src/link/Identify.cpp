// Chip identification: tells the families apart by how the target's memory and registers
// behave, then reads the identification registers.
#include <chrono>
#include <thread>

#include "common/Text.h"
#include "link/SerialPort.h"
#include "link/StrappedMemories.h"

namespace tessaro {

bool StrappedMemories(uint32_t p, uint32_t s, MemoryKinds& kinds) {
  static const MemoryKinds kGeneral[8] = {{2, 4, false}, {1, 4, false}, {2, 5, false}, {1, 5, false},
                                          {1, 0, false}, {6, 7, true},  {7, 0, false}, {0, 6, false}};
  static const MemoryKinds kQuad[4] = {{2, 4, false}, {1, 4, false}, {2, 5, false}, {1, 5, false}};
  switch (p) {
    case 0: kinds = (s % 2 == 0) ? MemoryKinds{0, 7, false} : MemoryKinds{6, 0, false}; return true;
    case 4:
    case 5:
    case 12:
    case 14: kinds = kGeneral[s & 7]; return true;
    case 6:
      kinds = kQuad[s & 3];
      kinds.cs1 = (s & 3) >= 2;
      return true;
    case 7:
      kinds = kQuad[s & 3];
      kinds.cs1 = true;
      return true;
    case 8: kinds = (s & 3) >= 2 ? MemoryKinds{2, 5, true} : kQuad[s & 3]; return true;
    case 9:
      kinds = (s & 3) >= 2 ? MemoryKinds{2, 5, true} : kQuad[s & 3];
      kinds.cs1 = true;
      return true;
    default: return false;
  }
}

bool SerialPort::IdentifyChip() {
  if (!linked_) return false;
  // Bank test: how many distinct 64K-word banks below 0x8400000 hold what was written.
  for (uint32_t i = 0; i < 16; ++i) WriteTargetWord((0x83F - i) << 16, static_cast<uint16_t>((i * 0x4321) & 0xFFFF));
  uint32_t banks = 0;
  while (banks < 16 && ReadMemoryWord((0x83F - banks) << 16) == ((banks * 0x4321) & 0xFFFF)) ++banks;

  if (banks == 0) {
    // A 74xx; one whose register answers no known value is taken for a 7452.
    const ChipInfo* chip = FindChipByRegister250(ReadIoRegister(250) & 0x7F);
    config_.chip = chip ? chip : FindChipByName("LYR7452");
    return true;
  }

  if ((ReadIoRegister(64) & 0xFFFF) == 0) {
    if (ReadMemoryWord(0x83F0C86) == 0x6597) {
      WriteTargetWord(0xC000002, 0xFFFF);
      WriteTargetWord(0xC000000, 0x1234);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      uint32_t probe = ReadMemoryWord(0xC000000);
      WriteTargetWord(0xC000002, 0);
      if (probe == 0x1234) {
        config_.chip = FindChipByName("LYR8347");
        return true;
      }
      WriteIoRegister(15, 0xFFFF);
      WriteIoRegister(11, 0xEEEE);
      uint32_t value = ReadIoRegister(11);
      WriteIoRegister(15, 0);
      config_.chip = FindChipByName((value & 0xFFFF) == 0xEE00 ? "LYR8647" : "LYR8547");
      return true;
    }
    WriteTargetWord(0x4001FFF, 0x5555);
    WriteTargetWord(0x4003FFF, 0xAAAA);
    uint32_t value = ReadMemoryWord(0x4001FFF);
    if (value == 0x5555) {
      if (const ChipInfo* chip = FindChipByBanks(FAMILY_8X2X, banks)) config_.chip = chip;
      return true;
    }
    if (ReadMemoryWord(0x4001FFF) == 0xAAAA) {
      config_.chip = FindChipByName("LYR8721");
      return true;
    }
    return false;
  }

  uint32_t s = (ReadIoRegister(21) >> 12) & 7;
  uint32_t p = ReadIoRegister(250) & 0xF;
  if (const ChipInfo* chip = FindChipByPackage(p)) config_.chip = chip;
  MemoryKinds kinds{};
  if (StrappedMemories(p, s, kinds)) {
    config_.ext1Kind = kinds.ext1;
    config_.ext2Kind = kinds.ext2;
    config_.ext2OnCs1 = kinds.cs1;
  }
  return config_.chip && config_.chip->familyCode == FAMILY_9XXX;
}

// The 74xx boot ROMs send nothing after reset, so the provisional link above sees no
// acknowledge from them. Linked as a chip that needs none, the link itself proves nothing (an
// empty port links too): a register read must be answered before the chip is identified.
const ChipInfo* SerialPort::ProbeSilentBootRom(CLyrComIf* callback, uint32_t port, bool switchBaud) {
  config_.chip = FindChipByName("LYR7452");
  if (LinkWithTarget(callback, port, switchBaud, true) == LINK_OK) {
    const uint32_t value = ReadIoRegister(250);
    if (linked_ && value != VALUE_INVALID && IdentifyChip() && linked_) return config_.chip;
  }
  CloseLink(true);
  return nullptr;
}

const ChipInfo* SerialPort::ProbePort(CLyrComIf* callback, uint32_t port, bool switchBaud) {
  CloseLink(true);
  config_.chip = FindChipByName("LYR8326");
  LinkResult code = LinkWithTarget(callback, port, switchBaud, true);
  if (code == LINK_OK) {
    (void)IdentifyChip();
    return config_.chip;
  }
  CloseLink(true);
  if (code == LINK_NO_ACK) return ProbeSilentBootRom(callback, port, switchBaud);
  if (code != LINK_NOT_POWERED) return nullptr;
  config_.chip = FindChipByName("LYR7322");
  code = LinkWithTarget(callback, port, switchBaud, false);
  if (code == LINK_OK && SpeaksLegacyProtocol(transportMode_)) {
    WriteIoRegister(11, 0);
    WriteIoRegister(12, 0x58);
    WriteIoRegister(13, 0x1234);
    WriteIoRegister(12, 0x58);
    (void)ReadIoRegister(13);
    uint32_t second = ReadIoRegister(13);
    if (linked_) {
      config_.chip = FindChipByName((second & 0xFFFF) == 0x0234 ? "LYR7322" : "LYR7312");
      return config_.chip;
    }
  }
  return nullptr;
}

}  // namespace tessaro
