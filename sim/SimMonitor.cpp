// The boot ROM's debug monitor: how long each command is, and what it does and answers.
#include "sim/SimBoard.h"

#include <algorithm>

#include "sim/ChipFacts.h"
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

// How the length of a command follows once its header is in: a block write's data words
// (their count is the header's last word) only when the monitor takes the count; an embedded
// flash write's data (its count is the byte at offset 3) only on a chip with that flash.
enum class DataRule : uint8_t { None, LegacyBlock, Block, FlashData };

// The command table and what each command does. Handlers run with the whole command in
// `command_`, under the board's lock; they answer through Emit and note what they did in the
// trace through Trace().
struct SimBoard::MonitorCommands {
  // The command being carried out.
  struct Executing {
    bool nine;           // a 9xxx chip
    bool legacy;         // a legacy (73xx) chip: no acknowledges, block forms of the memory commands
    bool resent;         // the same bytes as the command before the last probe: a resent command
    bool probe = false;  // the handler took the bytes as the resynchronisation probe
  };
  using Handler = void (*)(SimBoard&, Executing&);

  // Legend: command code; its length in bytes on a 9xxx chip, on a legacy (73xx) chip and on
  // the other families (0: no command there, the byte is dropped); how its data extends it;
  // what carries it out.
  struct Rule {
    uint8_t code;
    uint8_t nine, legacy, other;
    DataRule data;
    Handler handler;
  };

  static void ReadRegister(SimBoard& b, Executing& x);
  static void WriteRegister(SimBoard& b, Executing& x);
  static void ReadMemory(SimBoard& b, Executing& x);
  static void WriteMemory(SimBoard& b, Executing& x);
  static void ReadIo(SimBoard& b, Executing& x);
  static void WriteIo(SimBoard& b, Executing& x);
  static void Call(SimBoard& b, Executing& x);
  static void ReadBlock(SimBoard& b, Executing& x);
  static void WriteBlock(SimBoard& b, Executing& x);
  static void FuseReadOrFlashWrite(SimBoard& b, Executing& x);
  static void EfuseStart(SimBoard& b, Executing& x);
  static void EfuseBit(SimBoard& b, Executing& x);
  static void EfuseIdle(SimBoard& b, Executing& x);
  static void ChipErase(SimBoard& b, Executing& x);

  static constexpr Rule kRules[] = {
      {0, 3, 2, 2, DataRule::None, ReadRegister},                // read register (on a 9xxx also the probe 0x00 0x55)
      {1, 6, 4, 4, DataRule::None, WriteRegister},               // write register
      {2, 5, 7, 5, DataRule::None, ReadMemory},                  // read memory (legacy: with a word count)
      {3, 7, 7, 7, DataRule::LegacyBlock, WriteMemory},          // write memory (legacy: a block)
      {4, 2, 2, 2, DataRule::None, ReadIo},                      // read I/O register
      {5, 4, 4, 4, DataRule::None, WriteIo},                     // write I/O register
      {9, 3, 0, 3, DataRule::None, Call},                        // call a routine
      {11, 7, 0, 7, DataRule::None, ReadBlock},                  // block read
      {12, 7, 0, 7, DataRule::Block, WriteBlock},                // block write
      {15, 2, 4, 4, DataRule::FlashData, FuseReadOrFlashWrite},  // 9xxx: read an eFuse word; else embedded flash write
      {16, 1, 0, 0, DataRule::None, EfuseStart},                 // eFuse burn start
      {17, 3, 0, 0, DataRule::None, EfuseBit},                   // eFuse bit
      {18, 1, 0, 0, DataRule::None, EfuseIdle},                  // eFuse idle
      {0x72, 2, 0, 2, DataRule::None, ChipErase},                // chip erase (0x72 0x35)
  };

  static const Rule* Find(uint8_t code) {
    for (const Rule& rule : kRules)
      if (rule.code == code) return &rule;
    return nullptr;
  }

  // The little-endian word at offset i of the command.
  static uint32_t Word(const SimBoard& b, size_t i) {
    return static_cast<uint32_t>(b.command_[i] | (b.command_[i + 1] << 8));
  }
  static uint32_t Address(const SimBoard& b) { return Word(b, 1) | (Word(b, 3) << 16); }
  static void Trace(SimBoard& b, const Executing& x, const char* op,
                    std::vector<std::pair<std::string, uint64_t>> fields, std::vector<uint16_t> data = {}) {
    b.Record({op, std::move(fields), std::move(data), {}, x.resent});
  }
  // A 9xxx register word: the register, with a violation when bit 15 is missing.
  static uint32_t RegisterOfWord(SimBoard& b, uint32_t registerWord) {
    if ((registerWord & kRegisterFlag) == 0)
      b.Violation(Format("register word 0x%04X without bit 15 (the 9xxx register form)", registerWord));
    return registerWord & 0x7FFF;
  }
};

size_t SimBoard::CommandLength() const {
  const bool legacy = chip_->legacyLink;
  const bool nine = family_ == FAMILY_9XXX;
  const MonitorCommands::Rule* rule = MonitorCommands::Find(command_[0]);
  if (!rule) return 0;
  const size_t header = nine ? rule->nine : legacy ? rule->legacy : rule->other;
  const bool flashWrite = rule->data == DataRule::FlashData && !nine;
  if (flashWrite && chip_->embeddedFlashSize == 0) return 0;  // no embedded flash, no command
  if (header == 0 || command_.size() < header) return header;
  auto word = [&](size_t i) { return static_cast<size_t>(MonitorCommands::Word(*this, i)); };
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
    case DataRule::None: break;
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
  if (!MemWrite(address, value) && !identificationProbe && !ExternalBusAddress(*chip_, address))
    Violation(Format("memory write of 0x%04X to unmapped address 0x%08X, ignored", value, address));
}

void SimBoard::Execute() {
  ++commandCount_;
  currentLate_ = commandCount_ == lateCommand_;
  // Only framed commands get here, and CommandLength frames only codes of the table.
  const MonitorCommands::Rule* rule = MonitorCommands::Find(command_[0]);
  MonitorCommands::Executing executing{family_ == FAMILY_9XXX, chip_->legacyLink,
                                       probeSeen_ && command_ == lastCommand_};
  // On a paced line the monitor works as the line goes: carrying a command out takes one byte
  // time for every two bytes of it (a word moved), the answer leaves after that, and the
  // monitor reads its UART again once the answer is out (it sends polled).
  const SimClock::duration byteTime = ByteTime();
  const SimClock::duration work = byteTime * static_cast<long>(std::max<size_t>(1, command_.size() / 2));
  const uint64_t repliedBefore = replySerial_;
  if (byteTime != SimClock::duration::zero())
    replyBase_ = monitorClock_ + work + std::chrono::microseconds(options_.latencyUs);
  if (rule) rule->handler(*this, executing);
  if (byteTime != SimClock::duration::zero())
    monitorFreeAt_ = monitorClock_ + work + byteTime * static_cast<long>(replySerial_ - repliedBefore);
  if (executing.probe) {
    probeSeen_ = true;
  } else {
    lastCommand_ = command_;
    probeSeen_ = false;
  }
  currentLate_ = false;
  ForwardModelViolations();
  if (stopAfter_ != 0 && commandCount_ >= stopAfter_) silent_ = true;
  for (const ArmedFault& fault : armed_)
    if (fault.atCommand != 0 && commandCount_ == fault.atCommand)
      Strike(fault.kind, SimClock::now(), "after command " + std::to_string(commandCount_));
}

// ---- the handlers ----

void SimBoard::MonitorCommands::ReadRegister(SimBoard& b, Executing& x) {
  if (x.nine) {
    const uint32_t w = Word(b, 1);
    x.probe = w == kProbeRegisterWord;
    const uint32_t reg = x.probe ? w : RegisterOfWord(b, w);
    const uint32_t value = b.registers_[reg] & 0xFFFFFF;
    b.Emit(static_cast<uint8_t>(value));
    b.Emit(static_cast<uint8_t>(value >> 8));
    b.Emit(static_cast<uint8_t>(value >> 16));
    if (x.probe)
      b.Record({"resync", {}, {}, {}, false});
    else
      Trace(b, x, "readReg", {{"reg", reg}, {"value", value}});
    return;
  }
  // On the other families the probe 0x00 0x55 is itself a read of register 0x55.
  x.probe = b.command_[1] == 0x55;
  const auto value = static_cast<uint16_t>(b.registers_[b.command_[1]]);
  b.EmitWord(value);
  Trace(b, x, "readReg", {{"reg", b.command_[1]}, {"value", value}});
}

void SimBoard::MonitorCommands::WriteRegister(SimBoard& b, Executing& x) {
  uint32_t reg, value;
  if (x.nine) {
    reg = RegisterOfWord(b, Word(b, 1));
    value = (Word(b, 3) | (static_cast<uint32_t>(b.command_[5]) << 16)) & 0xFFFFFF;
  } else {
    reg = b.command_[1];
    value = Word(b, 2);
  }
  b.registers_[reg] = value;
  Trace(b, x, "writeReg", {{"reg", reg}, {"value", value}});
  if (!x.legacy) b.Emit(kAck);
}

void SimBoard::MonitorCommands::ReadMemory(SimBoard& b, Executing& x) {
  const uint32_t address = Address(b);
  const uint32_t count = x.legacy ? Word(b, 5) : 1;
  if (count == 0 || count > kMaxBlockRead) {
    b.Violation(Format("memory read of %u words at 0x%08X", count, address));
    return;
  }
  if (count == 1) {
    const uint16_t value = b.MemRead(address);
    b.EmitWord(value);
    Trace(b, x, "readMem", {{"addr", address}, {"value", value}});
    return;
  }
  for (uint32_t i = 0; i < count; ++i) b.EmitWord(b.MemRead(address + i));
  Trace(b, x, "readBlock", {{"addr", address}, {"count", count}});
}

void SimBoard::MonitorCommands::WriteMemory(SimBoard& b, Executing& x) {
  const uint32_t address = Address(b);
  const uint32_t count = x.legacy ? Word(b, 5) : 1;
  if (count == 0 || count > kMaxBlockWrite) {
    b.Violation(Format("memory write of %u words at 0x%08X", count, address));
    return;
  }
  const size_t data = x.legacy ? 7 : 5;
  std::vector<uint16_t> words;
  for (uint32_t i = 0; i < count; ++i) words.push_back(static_cast<uint16_t>(Word(b, data + 2 * i)));
  if (count == 1)
    Trace(b, x, "writeMem", {{"addr", address}, {"value", words[0]}});
  else
    Trace(b, x, "writeBlock", {{"addr", address}}, words);
  for (uint32_t i = 0; i < count; ++i) b.HostMemWrite(address + i, words[i]);
  if (!x.legacy) b.Emit(kAck);
}

void SimBoard::MonitorCommands::ReadIo(SimBoard& b, Executing& x) {
  const uint16_t value = b.IoRead(b.command_[1]);
  b.EmitWord(value);
  Trace(b, x, "readIo", {{"reg", b.command_[1]}, {"value", value}});
}

void SimBoard::MonitorCommands::WriteIo(SimBoard& b, Executing& x) {
  const uint8_t reg = b.command_[1];
  const auto value = static_cast<uint16_t>(Word(b, 2));
  Trace(b, x, "writeIo", {{"reg", reg}, {"value", value}});
  if (reg == 254) {
    // The acknowledge leaves at the old speed; the new divisor applies after it.
    if (!x.legacy) b.Emit(kAck);
    b.IoWrite(254, value);
    return;
  }
  b.IoWrite(reg, value);
  if (!x.legacy) b.Emit(kAck);
}

void SimBoard::MonitorCommands::Call(SimBoard& b, Executing& x) {
  std::optional<uint8_t> answer;
  if (b.routines_) answer = b.routines_->Call(b, static_cast<uint16_t>(Word(b, 1)));
  b.Emit(answer.value_or(kRefused));
  Trace(b, x, "call", {{"addr", Word(b, 1)}, {"result", answer.value_or(kRefused)}});
}

void SimBoard::MonitorCommands::ReadBlock(SimBoard& b, Executing& x) {
  const uint32_t address = Address(b);
  const uint32_t count = Word(b, 5);
  if (count == 0 || count > kMaxBlockRead) {
    b.Violation(Format("block read of %u words at 0x%08X (the monitor's buffer holds 512)", count, address));
    b.Emit(kRefused);
    return;
  }
  for (uint32_t i = 0; i < count; ++i) b.EmitWord(b.MemRead(address + i));
  Trace(b, x, "readBlock", {{"addr", address}, {"count", count}});
}

void SimBoard::MonitorCommands::WriteBlock(SimBoard& b, Executing& x) {
  const uint32_t address = Address(b);
  const uint32_t count = Word(b, 5);
  if (count == 0 || count > kMaxBlockWrite) {
    b.Violation(Format("block write of %u words at 0x%08X (the monitor's buffer holds 128)", count, address));
    b.Emit(kRefused);
    return;
  }
  std::vector<uint16_t> words;
  for (uint32_t i = 0; i < count; ++i) words.push_back(static_cast<uint16_t>(Word(b, 7 + 2 * i)));
  Trace(b, x, "writeBlock", {{"addr", address}}, words);
  for (uint32_t i = 0; i < count; ++i) b.HostMemWrite(address + i, words[i]);
  b.Emit(kAck);
}

void SimBoard::MonitorCommands::FuseReadOrFlashWrite(SimBoard& b, Executing& x) {
  if (x.nine) {
    const uint32_t index = b.command_[1];
    if (index >= EfuseArray::kWords) {
      b.Violation(Format("eFuse read of word %u (the array has %u)", index, EfuseArray::kWords));
      b.EmitWord(0);
      return;
    }
    const uint16_t value = b.efuses_->ReadWord(index);
    b.EmitWord(value);
    Trace(b, x, "readFuse", {{"index", index}, {"value", value}});
    return;
  }
  const bool byteAddressed = !b.chip_->hasSecurityBit;
  const uint32_t count = b.command_[3];
  const uint32_t words = byteAddressed ? count / 2 : count;
  const uint32_t address = byteAddressed ? Word(b, 1) / 2 : Word(b, 1);
  const bool ok = b.FlashWrite(Word(b, 1), count, b.command_.data() + 4, byteAddressed);
  if (ok && words >= 1 && words <= kFlashPage) {
    std::vector<uint16_t> data;
    for (uint32_t i = 0; i < words; ++i) data.push_back(static_cast<uint16_t>(Word(b, 4 + 2 * i)));
    Trace(b, x, "writeFlash", {{"addr", address}}, data);
  } else if (!ok) {
    b.Violation(Format("embedded flash write of count %u at 0x%04X that the flash writer refuses", count, Word(b, 1)));
  }
  b.Emit(ok ? kAck : kRefused);
}

// The eFuse commands exist on the 9xxx only (elsewhere they have no length and are dropped).
void SimBoard::MonitorCommands::EfuseStart(SimBoard& b, Executing& x) {
  Trace(b, x, "efuse", {{"code", 16}});
  b.EfuseAnswer(b.efuses_->Start());
}

void SimBoard::MonitorCommands::EfuseBit(SimBoard& b, Executing& x) {
  Trace(b, x, "efuse", {{"code", 17}, {"value", Word(b, 1)}});
  b.EfuseAnswer(b.efuses_->BurnBit(static_cast<uint16_t>(Word(b, 1))));
  // The fault "the link drops during a burn": the target answers nothing more until reset.
  if (b.efuses_->linkDropped()) b.silent_ = true;
}

void SimBoard::MonitorCommands::EfuseIdle(SimBoard& b, Executing& x) {
  Trace(b, x, "efuse", {{"code", 18}});
  b.EfuseAnswer(b.efuses_->Idle());
}

void SimBoard::MonitorCommands::ChipErase(SimBoard& b, Executing& x) {
  if (b.command_[1] != 0x35) {
    b.Violation(Format("chip erase 0x72 followed by 0x%02X instead of 0x35", b.command_[1]));
    return;
  }
  std::fill(b.flash_.begin(), b.flash_.end(), 0xFFFF);
  b.securityBit_ = false;
  Trace(b, x, "chipErase", {});
  b.Emit(kEraseDone);
}

void SimBoard::EfuseAnswer(EfuseArray::Answer answer) {
  // Table: Ack -> 0xAC, Refused -> 0xEE, Silent (the link dropped) -> nothing.
  if (answer == EfuseArray::Answer::Ack)
    Emit(kAck);
  else if (answer == EfuseArray::Answer::Refused)
    Emit(kRefused);
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
