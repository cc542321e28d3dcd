// The boot ROM's debug monitor: how long each command is, and what it does and answers.
#include "sim/SimBoard.h"

#include <algorithm>

#include "sim/SimBoardDetail.h"

namespace tessaro::sim {

using namespace board_detail;

// ---- the monitor ----

void SimBoard::MonitorByte(uint8_t byte) {
  if (OfferedSession() != 0 && !sessionOpened_) {
    // Secured: only the request to open the offered debug session is heard. Opening it uses
    // it up (one more counter bit); the next power-up offers the next one.
    if (byte == 0xBB && OfferedSession() < 8) {
      sessionOpened_ = true;
      const uint32_t used = efuses_->Session();
      if (used + 1 < EfuseArray::kSessions)
        efuses_->SetWord(0, static_cast<uint16_t>(efuses_->ReadWord(0) | (1u << (8 + used))));
      else
        noSessionLeft_ = true;
      Emit(kAck);
    }
    return;
  }
  if (family_ == FAMILY_8X47 && securityBit_) {
    // Secured: only the chip erase is heard.
    command_.push_back(byte);
    if (command_[0] != 0x72) {
      command_.clear();
    } else if (command_.size() == 2) {
      if (command_[1] == 0x35) {
        ++commandCount_;
        std::fill(flash_.begin(), flash_.end(), 0xFFFF);
        fuses_.fill(1);
        securityBit_ = false;
        Record({"chipErase", {}, {}, {}, false});
        Emit(kEraseDone);
      }
      command_.clear();
    }
    return;
  }
  command_.push_back(byte);
  size_t need = CommandLength();
  if (need == 0) {
    // Not a command code: the monitor's read loop drops it and waits for the next one.
    command_.clear();
    return;
  }
  if (command_.size() < need) return;
  // A target that stopped answering still frames the commands it hears (so a 0xBC inside a
  // command's data is no reset request), but carries none of them out.
  if (!silent_) Execute();
  command_.clear();
}

namespace {

// How the length of a command follows once its header is in: a block write's data words
// (their count is the header's last word) only when the monitor takes the count; an embedded
// flash write's data (its count is the byte at offset 3) only on a chip with that flash.
enum class DataRule : uint8_t { None, LegacyBlock, Block, FlashData };

// Legend: command code; its length in bytes on a 9xxx chip, on a legacy (73xx) chip and on the
// other families (0: no command there, the byte is dropped); how its data extends it.
struct CommandRule {
  uint8_t code;
  uint8_t nine, legacy, other;
  DataRule data;
};
constexpr CommandRule kCommandRules[] = {
    {0, 3, 2, 2, DataRule::None},      // read register (on a 9xxx also the probe 0x00 0x55)
    {1, 6, 4, 4, DataRule::None},      // write register
    {2, 5, 7, 5, DataRule::None},      // read memory (legacy: with a word count)
    {3, 7, 7, 7, DataRule::LegacyBlock},  // write memory (legacy: a block)
    {4, 2, 2, 2, DataRule::None},      // read I/O register
    {5, 4, 4, 4, DataRule::None},      // write I/O register
    {9, 3, 0, 3, DataRule::None},      // call a routine
    {11, 7, 0, 7, DataRule::None},     // block read
    {12, 7, 0, 7, DataRule::Block},    // block write
    {15, 2, 4, 4, DataRule::FlashData},  // 9xxx: read an eFuse word; else embedded flash write
    {16, 1, 0, 0, DataRule::None},     // eFuse burn start
    {17, 3, 0, 0, DataRule::None},     // eFuse bit
    {18, 1, 0, 0, DataRule::None},     // eFuse idle
    {0x72, 2, 0, 2, DataRule::None},   // chip erase (0x72 0x35)
};

}  // namespace

size_t SimBoard::CommandLength() const {
  const bool legacy = chip_->legacyLink;
  const bool nine = family_ == FAMILY_9XXX;
  const CommandRule* rule = nullptr;
  for (const CommandRule& candidate : kCommandRules)
    if (candidate.code == command_[0]) rule = &candidate;
  if (!rule) return 0;
  const size_t header = nine ? rule->nine : legacy ? rule->legacy : rule->other;
  const bool flashWrite = rule->data == DataRule::FlashData && !nine;
  if (flashWrite && chip_->embeddedFlashSize == 0) return 0;  // no embedded flash, no command
  if (header == 0 || command_.size() < header) return header;
  auto word = [&](size_t i) { return static_cast<size_t>(command_[i] | (command_[i + 1] << 8)); };
  switch (rule->data) {
    case DataRule::LegacyBlock:
      if (!legacy) return header;
      [[fallthrough]];
    case DataRule::Block: {
      // A refused count leaves the data bytes to be read as commands, as a monitor that checks
      // the header first does.
      const size_t count = word(header - 2);
      return count == 0 || count > kMaxBlockWrite ? header : header + 2 * count;
    }
    case DataRule::FlashData:
      if (!flashWrite) return header;
      return header + (chip_->hasSecurityBit ? 2u * command_[3] : command_[3]);
    case DataRule::None:
      break;
  }
  return header;
}

void SimBoard::HostMemWrite(uint32_t address, uint16_t value) {
  if (InEmbeddedFlash(address)) {
    Violation(Format("plain memory write of 0x%04X into the embedded flash at 0x%08X, ignored", value, address));
    return;
  }
  // Identification writes its test patterns where some families decode nothing (the bank test
  // below 0x8400000, the 8347's second RAM): a correct host's probe, not a stray write.
  const bool identificationProbe = (address >> 20) == 0x83 || address - 0xC000000 < 4;
  if (!MemWrite(address, value) && !identificationProbe)
    Violation(Format("memory write of 0x%04X to unmapped address 0x%08X, ignored", value, address));
}

void SimBoard::Execute() {
  const bool legacy = chip_->legacyLink;
  const bool nine = family_ == FAMILY_9XXX;
  auto word = [&](size_t i) { return static_cast<uint32_t>(command_[i] | (command_[i + 1] << 8)); };
  ++commandCount_;
  currentLate_ = commandCount_ == lateCommand_;
  const uint8_t code = command_[0];
  const bool resent = probeSeen_ && command_ == lastCommand_;
  bool probe = false;
  auto record = [&](const char* op, std::vector<std::pair<std::string, uint64_t>> fields, std::vector<uint16_t> data = {}) {
    Record({op, std::move(fields), std::move(data), {}, resent});
  };
  auto registerWord = [&](uint32_t registerWord) {
    if ((registerWord & kRegisterFlag) == 0)
      Violation(Format("register word 0x%04X without bit 15 (the 9xxx register form)", registerWord));
    return registerWord & 0x7FFF;
  };
  switch (code) {
    case 0:
      if (nine) {
        const uint32_t w = word(1);
        probe = w == kProbeRegisterWord;
        const uint32_t reg = probe ? w : registerWord(w);
        const uint32_t value = registers_[reg] & 0xFFFFFF;
        Emit(static_cast<uint8_t>(value));
        Emit(static_cast<uint8_t>(value >> 8));
        Emit(static_cast<uint8_t>(value >> 16));
        if (probe) Record({"resync", {}, {}, {}, false});
        else record("readReg", {{"reg", reg}, {"value", value}});
      } else {
        // On the other families the probe 0x00 0x55 is itself a read of register 0x55.
        probe = command_[1] == 0x55;
        const auto value = static_cast<uint16_t>(registers_[command_[1]]);
        EmitWord(value);
        record("readReg", {{"reg", command_[1]}, {"value", value}});
      }
      break;
    case 1: {
      uint32_t reg, value;
      if (nine) {
        reg = registerWord(word(1));
        value = (word(3) | (static_cast<uint32_t>(command_[5]) << 16)) & 0xFFFFFF;
      } else {
        reg = command_[1];
        value = word(2);
      }
      registers_[reg] = value;
      record("writeReg", {{"reg", reg}, {"value", value}});
      if (!legacy) Emit(kAck);
      break;
    }
    case 2: {
      const uint32_t address = word(1) | (word(3) << 16);
      const uint32_t count = legacy ? word(5) : 1;
      if (count == 0 || count > kMaxBlockRead) {
        Violation(Format("memory read of %u words at 0x%08X", count, address));
        break;
      }
      if (count == 1) {
        const uint16_t value = MemRead(address);
        EmitWord(value);
        record("readMem", {{"addr", address}, {"value", value}});
      } else {
        for (uint32_t i = 0; i < count; ++i) EmitWord(MemRead(address + i));
        record("readBlock", {{"addr", address}, {"count", count}});
      }
      break;
    }
    case 3: {
      const uint32_t address = word(1) | (word(3) << 16);
      const uint32_t count = legacy ? word(5) : 1;
      if (count == 0 || count > kMaxBlockWrite) {
        Violation(Format("memory write of %u words at 0x%08X", count, address));
        break;
      }
      const size_t data = legacy ? 7 : 5;
      std::vector<uint16_t> words;
      for (uint32_t i = 0; i < count; ++i) words.push_back(static_cast<uint16_t>(word(data + 2 * i)));
      if (count == 1) record("writeMem", {{"addr", address}, {"value", words[0]}});
      else record("writeBlock", {{"addr", address}}, words);
      for (uint32_t i = 0; i < count; ++i) HostMemWrite(address + i, words[i]);
      if (!legacy) Emit(kAck);
      break;
    }
    case 4: {
      const uint16_t value = IoRead(command_[1]);
      EmitWord(value);
      record("readIo", {{"reg", command_[1]}, {"value", value}});
      break;
    }
    case 5: {
      const auto value = static_cast<uint16_t>(word(2));
      record("writeIo", {{"reg", command_[1]}, {"value", value}});
      if (command_[1] == 254) {
        // The acknowledge leaves at the old speed; the new divisor applies after it.
        if (!legacy) Emit(kAck);
        IoWrite(254, value);
      } else {
        IoWrite(command_[1], value);
        if (!legacy) Emit(kAck);
      }
      break;
    }
    case 9: {
      std::optional<uint8_t> answer;
      if (routines_) answer = routines_->Call(*this, static_cast<uint16_t>(word(1)));
      Emit(answer.value_or(kRefused));
      record("call", {{"addr", word(1)}, {"result", answer.value_or(kRefused)}});
      break;
    }
    case 11: {
      const uint32_t address = word(1) | (word(3) << 16);
      const uint32_t count = word(5);
      if (count == 0 || count > kMaxBlockRead) {
        Violation(Format("block read of %u words at 0x%08X (the monitor's buffer holds 512)", count, address));
        Emit(kRefused);
        break;
      }
      for (uint32_t i = 0; i < count; ++i) EmitWord(MemRead(address + i));
      record("readBlock", {{"addr", address}, {"count", count}});
      break;
    }
    case 12: {
      const uint32_t address = word(1) | (word(3) << 16);
      const uint32_t count = word(5);
      if (count == 0 || count > kMaxBlockWrite) {
        Violation(Format("block write of %u words at 0x%08X (the monitor's buffer holds 128)", count, address));
        Emit(kRefused);
        break;
      }
      std::vector<uint16_t> words;
      for (uint32_t i = 0; i < count; ++i) words.push_back(static_cast<uint16_t>(word(7 + 2 * i)));
      record("writeBlock", {{"addr", address}}, words);
      for (uint32_t i = 0; i < count; ++i) HostMemWrite(address + i, words[i]);
      Emit(kAck);
      break;
    }
    case 15:
      if (nine) {
        const uint32_t index = command_[1];
        if (index >= EfuseArray::kWords) {
          Violation(Format("eFuse read of word %u (the array has %u)", index, EfuseArray::kWords));
          EmitWord(0);
          break;
        }
        const uint16_t value = efuses_->ReadWord(index);
        EmitWord(value);
        record("readFuse", {{"index", index}, {"value", value}});
      } else {
        const bool byteAddressed = !chip_->hasSecurityBit;
        const uint32_t count = command_[3];
        const uint32_t words = byteAddressed ? count / 2 : count;
        const uint32_t address = byteAddressed ? word(1) / 2 : word(1);
        const bool ok = FlashWrite(word(1), count, command_.data() + 4, byteAddressed);
        if (ok && words >= 1 && words <= kFlashPage) {
          std::vector<uint16_t> data;
          for (uint32_t i = 0; i < words; ++i) data.push_back(static_cast<uint16_t>(word(4 + 2 * i)));
          record("writeFlash", {{"addr", address}}, data);
        } else if (!ok) {
          Violation(Format("embedded flash write of count %u at 0x%04X that the flash writer refuses", count, word(1)));
        }
        Emit(ok ? kAck : kRefused);
      }
      break;
    // The eFuse commands exist on the 9xxx only (elsewhere they have no length and are dropped).
    case 16:
      record("efuse", {{"code", 16}});
      EfuseAnswer(efuses_->Start());
      break;
    case 17:
      record("efuse", {{"code", 17}, {"value", word(1)}});
      EfuseAnswer(efuses_->BurnBit(static_cast<uint16_t>(word(1))));
      // The fault "the link drops during a burn": the target answers nothing more until reset.
      if (efuses_->linkDropped()) silent_ = true;
      break;
    case 18:
      record("efuse", {{"code", 18}});
      EfuseAnswer(efuses_->Idle());
      break;
    case 0x72:
      if (command_[1] == 0x35) {
        std::fill(flash_.begin(), flash_.end(), 0xFFFF);
        securityBit_ = false;
        record("chipErase", {});
        Emit(kEraseDone);
      } else {
        Violation(Format("chip erase 0x72 followed by 0x%02X instead of 0x35", command_[1]));
      }
      break;
    default:
      break;
  }
  if (probe) {
    probeSeen_ = true;
  } else {
    lastCommand_ = command_;
    probeSeen_ = false;
  }
  currentLate_ = false;
  ForwardModelViolations();
  if (stopAfter_ != 0 && commandCount_ >= stopAfter_) silent_ = true;
  if (commandCount_ == options_.resetAtCommand) Reset(SimClock::now());
  if (commandCount_ == options_.unplugAtCommand) {
    unplugged_ = true;
    outputReady_.notify_all();
  }
}

void SimBoard::EfuseAnswer(EfuseArray::Answer answer) {
  // Table: Ack -> 0xAC, Refused -> 0xEE, Silent (the link dropped) -> nothing.
  if (answer == EfuseArray::Answer::Ack) Emit(kAck);
  else if (answer == EfuseArray::Answer::Refused) Emit(kRefused);
}

bool SimBoard::FlashWrite(uint32_t address, uint32_t count, const uint8_t* data, bool byteAddressed) {
  const uint32_t size = chip_->embeddedFlashSize;
  auto dataWord = [&](uint32_t i) { return static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)); };
  if (byteAddressed) {
    // Byte addresses and counts, whole words, within one 64-word page.
    if (address % 2 != 0 || count % 2 != 0 || count == 0 || count > 2 * kFlashPage) return false;
    if (address % (2 * kFlashPage) + count > 2 * kFlashPage) return false;
    uint32_t first = address / 2, words = count / 2;
    if (first + words > size) return false;
    for (uint32_t i = 0; i < words; ++i) flash_[first + i] = dataWord(i);
    return true;
  }
  // Word addresses: one word, or one whole aligned page.
  if (count == 1) {
    if (address < size) {
      flash_[address] = dataWord(0);
      return true;
    }
    if (address >= 0x8000 && address <= 0x8008) {
      fuses_[address - 0x8000] = dataWord(0);
      return true;
    }
    if (address == 0x8010) {
      if (dataWord(0) == 0) securityBit_ = true;
      return true;
    }
    return false;
  }
  if (count != kFlashPage || address % kFlashPage != 0 || address + kFlashPage > size) return false;
  for (uint32_t i = 0; i < kFlashPage; ++i) flash_[address + i] = dataWord(i);
  return true;
}

}  // namespace tessaro::sim
