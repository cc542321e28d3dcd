// Command layer of SerialPort: framing, recording, reply waits, acknowledges,
// resynchronisation with replay, and the register, memory, flash and fuse commands.
#include <algorithm>
#include <chrono>
#include <thread>

#include "common/Text.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kReadRegister = 0;
constexpr uint8_t kWriteRegister = 1;
constexpr uint8_t kReadMemory = 2;
constexpr uint8_t kWriteMemory = 3;
constexpr uint8_t kReadIo = 4;
constexpr uint8_t kWriteIo = 5;
constexpr uint8_t kReadBlock = 11;
constexpr uint8_t kWriteBlock = 12;
constexpr uint8_t kWriteFlash = 15;
constexpr uint8_t kEfuseStart = 16;
constexpr uint8_t kEfuseBit = 17;
constexpr uint8_t kEfuseIdle = 18;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

bool SerialPort::IsFlashMode() const {
  return config_.mode == MEM_FLASH || config_.mode == MEM_FLASH_INTRAM || config_.mode == MEM_FLASH_EXT;
}

// ---- primitives ----

void SerialPort::BeginCommand(uint32_t expectedReply) {
  // A command that does not join the window waits for every acknowledge before it: what is
  // sent after it depends on its answer.
  if (!windowed_ && !inFlight_.empty()) (void)DrainWindow();
  // Acknowledges still owed to the commands in flight are no stray bytes.
  if (!inFlight_.empty()) {
    retries_ = 3;
    expectedReply_ = expectedReply;
    recordLength_ = 0;
    replayActive_ = false;
    return;
  }
  // Nothing waiting before a command is sent can belong to its reply: a board that reset greets
  // unasked, and the rest of a reply given up on may still arrive. Left in the ring, such a
  // byte would be taken as the first byte of this reply and shift every value after it.
  if (!handshakeOwnsRing_.load() && rxCount_.load() != 0) DiscardWaitingInput();
  retries_ = 3;
  expectedReply_ = expectedReply;
  recordLength_ = 0;
  replayActive_ = false;
}

void SerialPort::Record(const uint8_t* data, size_t size) {
  if (retries_ == 0) return;
  // The record is bounded; a long eFuse sequence simply stops being recorded.
  size_t room = kCommandRecordSize - recordLength_;
  size_t take = std::min(room, size);
  std::copy(data, data + take, commandRecord_.begin() + static_cast<long>(recordLength_));
  recordLength_ += take;
}

void SerialPort::GiveUp() {
  linked_ = false;
  callback_->LinkLost();
}

bool SerialPort::TransportSend(uint8_t byte) {
  if (transportMode_ == TransportHandshake) {
    if (HandshakeSendByte(byte)) return true;
    GiveUp();
    return false;
  }
  if (transportMode_ == TransportClosed) {
    GiveUp();
    return false;
  }
  Write(&byte, 1);
  return true;
}

bool SerialPort::SendByte(uint8_t byte, bool doNotRecord) {
  if (!linked_) return false;
  if (!doNotRecord) Record(&byte, 1);
  return TransportSend(byte);
}

bool SerialPort::SendWord(uint16_t word) {
  uint8_t bytes[2] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
  return SendBlock(bytes, 2);
}

bool SerialPort::SendWord24(uint32_t value) {
  uint8_t bytes[3] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF),
                      static_cast<uint8_t>((value >> 16) & 0xFF)};
  return SendBlock(bytes, 3);
}

bool SerialPort::SendBlock(const uint8_t* data, size_t size, bool doNotRecord) {
  if (!doNotRecord) Record(data, size);
  if (transportMode_ == TransportHandshake) {
    for (size_t i = 0; i < size; ++i)
      if (!TransportSend(data[i])) return false;
    return true;
  }
  if (transportMode_ == TransportClosed) {
    GiveUp();
    return false;
  }
  Write(data, size);
  return true;
}

uint32_t SerialPort::TransportAvailable() {
  if (replayActive_) return expectedReply_;
  if (transportMode_ == TransportHandshake) {
    if (rxCount_.load() == 0) HandshakePoll();
    return rxCount_.load();
  }
  return Available();
}

bool SerialPort::TransportTake(uint8_t& byte) {
  if (transportMode_ == TransportHandshake) return TakeByte(byte);
  return ReadByte(byte);
}

uint32_t SerialPort::ReceivedCount() { return TransportAvailable(); }

bool SerialPort::ReceiveByte(uint8_t& byte) {
  if (!linked_) {
    byte = 0;
    return true;
  }
  if (replayActive_) {
    if (replayIndex_ < expectedReply_ && replayIndex_ < kReplyReplaySize) {
      byte = replyReplay_[replayIndex_++];
      return true;
    }
    replayActive_ = false;
    return false;
  }
  return TransportTake(byte);
}

SerialPort::WaitResult SerialPort::WaitForReply(uint32_t count) {
  auto start = Clock::now();
  for (;;) {
    if (TransportAvailable() >= count) return WaitResult::Ready;
    if (Clock::now() - start < std::chrono::milliseconds(timeouts_.replyMs)) {
      if (callback_->AbortRequested()) {
        GiveUp();
        return WaitResult::Failed;
      }
      continue;
    }
    if (retries_ == 0) {
      GiveUp();
      prompt_->Alert("Timeout\nPlease Reset");
      return WaitResult::Failed;
    }
    if (linked_ && Resync()) return WaitResult::Replayed;
    return WaitResult::Failed;
  }
}

uint32_t SerialPort::ReceiveValue(uint32_t bytes) {
  if (!CollectBeforeAnswer()) return VALUE_INVALID;
  if (WaitForReply(bytes) == WaitResult::Failed) return VALUE_INVALID;
  uint32_t value = 0;
  for (uint32_t i = 0; i < bytes; ++i) {
    uint8_t byte = 0;
    if (!ReceiveByte(byte)) return VALUE_INVALID;
    value |= static_cast<uint32_t>(byte) << (8 * i);
  }
  return value;
}

uint32_t SerialPort::ReceiveWord() { return ReceiveValue(2); }
uint32_t SerialPort::ReceiveWord24() { return ReceiveValue(3); }

bool SerialPort::WaitAck() {
  if (IsLegacy()) return true;
  if (callback_->AbortRequested()) {
    GiveUp();
    return false;
  }
  if (WaitForReply(1) == WaitResult::Failed) return false;
  // A resent command's answer is held to the same rule: a refusal in the replay is not an
  // acknowledge, so the retries go on until they are spent.
  for (;;) {
    uint8_t byte = 0;
    if (ReceiveByte(byte) && byte == kAck) return true;
    if (retries_ == 0 || !linked_) {
      GiveUp();
      prompt_->Alert("Corrupted ACK received");
      return false;
    }
    if (!Resync()) return false;
  }
}

// One probe: 0x00 0x55. Every family but the 9xxx reads it as a whole read of register 0x55;
// the 9xxx monitor takes register words of two bytes, so it holds 0x00 0x55 until the next
// byte completes the read.
bool SerialPort::SendProbe() { return SendByte(0x00, true) && SendByte(0x55, true); }

bool SerialPort::DiscardReceived() {
  while (TransportAvailable() > 0) {
    uint8_t byte = 0;
    if (!TransportTake(byte)) break;
    if (!linked_) return false;
  }
  return linked_;
}

// The probing above stops at the first bytes that arrive, which may have been a late answer
// rather than the probe's: a 9xxx monitor may then still hold 0x00 0x55, and would take the
// resent command's first byte as the end of a register read. With the line quiet, one more
// probe tells the two states apart: a monitor holding 0x00 0x55 answers it (its 0x00 ends the
// read, the 0x55 is no command code and is dropped), an idle one now holds it and answers the
// probe after. Either way the monitor is idle once a probe has been answered.
bool SerialPort::SettleNineMonitor() {
  constexpr uint32_t kProbeAnswer = 3;  // the 24-bit value of register 0x55
  for (int probe = 0; probe < 2; ++probe) {
    if (!SendProbe()) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
    while (TransportAvailable() < kProbeAnswer) {
      if (!linked_ || callback_->AbortRequested()) return false;
      if (Clock::now() >= deadline) break;
      Sleep(1);
    }
    if (TransportAvailable() >= kProbeAnswer) {
      // Give a longer answer time to show itself: more than the probe's three bytes means
      // something else is on the line, and the state of the monitor is not known.
      Sleep(2);
      const bool exact = TransportAvailable() == kProbeAnswer;
      return DiscardReceived() && exact;
    }
  }
  return false;
}

bool SerialPort::Resync() {
  for (;;) {
    if (retries_ == 0) return false;
    --retries_;
    if (!linked_) return false;
    replayActive_ = false;

    // Whatever waits in the receive buffer (a short or late reply) is no answer to a probe:
    // it is dropped before each probe, so only bytes that arrive after it count.
    bool inStep = false;
    for (int attempt = 0; attempt < 4 && !inStep; ++attempt) {
      if (!DiscardReceived()) return false;
      if (!SendProbe()) {
        linked_ = true;
        continue;
      }
      Sleep(2);
      (void)TransportAvailable();
      Sleep(2);
      inStep = TransportAvailable() >= 2;
    }
    if (!inStep) {
      retries_ = 0;
      GiveUp();
      return false;
    }

    Sleep(10);
    if (!DiscardReceived()) return false;
    if (Family() == FAMILY_9XXX && !SettleNineMonitor()) {
      if (!linked_) return false;
      if (callback_->AbortRequested()) {
        GiveUp();
        return false;
      }
      continue;  // the monitor's state is still unknown: probe again while retries last
    }

    if (transportMode_ == TransportHandshake) {
      for (size_t i = 0; i < recordLength_; ++i)
        if (!HandshakeSendByte(commandRecord_[i])) break;
    } else {
      Write(commandRecord_.data(), recordLength_);
    }

    bool timedOut = false;
    const uint32_t wanted = std::min<uint32_t>(expectedReply_, kReplyReplaySize);
    for (uint32_t i = 0; i < wanted && !timedOut; ++i) {
      auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
      for (;;) {
        if (TransportAvailable() > 0) {
          uint8_t byte = 0;
          if (TransportTake(byte)) {
            replyReplay_[i] = byte;
            break;
          }
        }
        if (Clock::now() >= deadline || callback_->AbortRequested()) {
          timedOut = true;
          break;
        }
      }
    }
    if (timedOut) {
      if (retries_ == 0) {
        GiveUp();
        prompt_->Alert("Timeout\nPlease Reset");
        callback_->LinkLost();
        return false;
      }
      if (linked_) continue;
      callback_->LinkLost();
      return false;
    }
    replayActive_ = true;
    replayIndex_ = 0;
    return true;
  }
}

// ---- registers ----

uint32_t SerialPort::ReadRegister(uint32_t reg) {
  if (!linked_) return VALUE_INVALID;
  if (Family() == FAMILY_9XXX) {
    BeginReplyCommand(3, 3);
    SendByte(kReadRegister);
    SendWord(static_cast<uint16_t>(reg | 0x8000));
    return ReceiveWord24();
  }
  BeginReplyCommand(2, 2);
  SendByte(kReadRegister);
  SendByte(static_cast<uint8_t>(reg));
  return ReceiveWord();
}

void SerialPort::WriteRegister(uint32_t reg, uint32_t value) {
  if (!linked_) return;
  BeginAckCommand(IsLegacy() ? 0 : 1, Family() == FAMILY_9XXX ? 6 : 4);
  SendByte(kWriteRegister);
  if (Family() == FAMILY_9XXX) {
    SendWord(static_cast<uint16_t>(reg | 0x8000));
    SendWord24(value);
  } else {
    SendByte(static_cast<uint8_t>(reg));
    SendWord(static_cast<uint16_t>(value));
  }
  (void)FinishAckCommand();
}

uint32_t SerialPort::ReadIoRegister(uint32_t reg) {
  if (!linked_) return 0xFFFFFFFF;
  BeginReplyCommand(2, 2);
  SendByte(kReadIo);
  SendByte(static_cast<uint8_t>(reg));
  return ReceiveWord();
}

void SerialPort::WriteIoRegister(uint32_t reg, uint32_t value) {
  if (!linked_) return;
  BeginAckCommand(IsLegacy() ? 0 : 1, 4);
  SendByte(kWriteIo);
  SendByte(static_cast<uint8_t>(reg));
  SendWord(static_cast<uint16_t>(value));
  (void)FinishAckCommand();
}

// ---- memory ----

uint32_t SerialPort::ReadMemoryWord(uint16_t low, uint16_t high) {
  if (!linked_) return VALUE_INVALID;
  BeginReplyCommand(2, IsLegacy() ? 7 : 5);
  SendByte(kReadMemory);
  SendWord(low);
  SendWord(high);
  if (IsLegacy()) SendWord(1);
  return ReceiveWord();
}

bool SerialPort::WriteMemoryWord(uint32_t address, uint16_t value) {
  if (!linked_) return false;
  BeginAckCommand(IsLegacy() ? 0 : 1, IsLegacy() ? 9 : 7);
  SendByte(kWriteMemory);
  SendWord(static_cast<uint16_t>(address & 0xFFFF));
  SendWord(static_cast<uint16_t>(address >> 16));
  if (IsLegacy()) SendWord(1);
  SendWord(value);
  return FinishAckCommand();
}

bool SerialPort::WriteTargetWord(uint32_t address, uint16_t value) {
  if (IsFlashMode() && config_.chip && address < config_.chip->embeddedFlashSize) return WrFlash(address, 1, &value);
  return WriteMemoryWord(address, value);
}

bool SerialPort::ReadMemoryBlock(uint16_t low, uint16_t high, uint32_t count, uint16_t* buffer) {
  if (!linked_) return false;
  uint32_t address = (static_cast<uint32_t>(high) << 16) | low;
  if (Family() == FAMILY_73XX && count > 1) {
    for (uint32_t i = 0; i < count; ++i, ++address)
      buffer[i] = static_cast<uint16_t>(
          ReadMemoryWord(static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16)));
    // Words read after the link was lost are not data: report the read as failed.
    return linked_;
  }
  while (count > 0) {
    uint32_t n = std::min(count, kMaxBlockReadWords);
    BeginReplyCommand(2 * n, 7);
    SendByte(Family() == FAMILY_73XX ? kReadMemory : kReadBlock);
    SendWord(static_cast<uint16_t>(address & 0xFFFF));
    SendWord(static_cast<uint16_t>(address >> 16));
    SendWord(static_cast<uint16_t>(n));
    if (!CollectBeforeAnswer() || WaitForReply(2 * n) == WaitResult::Failed) return false;
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t lo = 0, hi = 0;
      if (!ReceiveByte(lo) || !ReceiveByte(hi)) return false;
      buffer[i] = static_cast<uint16_t>(lo | (hi << 8));
    }
    buffer += n;
    address += n;  // carries from the low into the high half
    count -= n;
  }
  return true;
}

bool SerialPort::WriteMemoryBlock(uint16_t low, uint16_t high, uint32_t count, const uint16_t* data, bool readBack) {
  if (count == 0) return true;
  if (!linked_) return false;
  // Pieces advance over the whole 32-bit word address: a block that crosses a 64K-word
  // boundary continues in the next 64K bank.
  uint32_t address = (static_cast<uint32_t>(high) << 16) | low;
  const uint32_t flashSize = config_.chip ? config_.chip->embeddedFlashSize : 0;
  while (count > 0) {
    uint32_t n = std::min(count, kMaxBlockWriteWords);
    uint16_t pieceLow = static_cast<uint16_t>(address & 0xFFFF);
    uint16_t pieceHigh = static_cast<uint16_t>(address >> 16);
    bool flashPiece = pieceHigh == 0 && IsFlashMode() && pieceLow < flashSize;
    bool ok;
    if (flashPiece) {
      ok = WriteFlashBlock(pieceLow, n, data);
    } else {
      BeginAckCommand(IsLegacy() ? 0 : 1, 7 + 2 * n);
      SendByte(Family() == FAMILY_73XX ? kWriteMemory : kWriteBlock);
      SendWord(pieceLow);
      SendWord(pieceHigh);
      SendWord(static_cast<uint16_t>(n));
      std::vector<uint8_t> bytes(2 * n);
      for (uint32_t i = 0; i < n; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(data[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(data[i] >> 8);
      }
      SendBlock(bytes.data(), bytes.size());
      ok = FinishAckCommand();
    }
    if (ok && readBack && (flashPiece || pieceLow >= 1024)) ok = ReadMemoryWord(pieceLow, pieceHigh) == data[0];
    if (!ok) return false;
    address += n;
    data += n;
    count -= n;
  }
  return true;
}

// ---- embedded flash and fuses ----

bool SerialPort::WrFlash(uint32_t address, uint32_t count, const uint16_t* data) {
  if (count > kFlashPageWords) {
    prompt_->Alert("Too big buffer for WrFlash");
    return false;
  }
  if (!linked_) return false;
  // A count the monitor takes in one command: one word, a whole page, or bytes on chips
  // without the security bit.
  const bool oneCommand = !(config_.chip && config_.chip->hasSecurityBit) || count == 1 ||
                          (address % kFlashPageWords == 0 && count == kFlashPageWords);
  if (oneCommand)
    BeginAckCommand(1, 4 + 2 * count);
  else
    BeginCommand(1);
  auto sendData = [&](uint32_t words) {
    for (uint32_t i = 0; i < words; ++i) SendWord(data[i]);
  };
  if (config_.chip && config_.chip->hasSecurityBit) {
    if (count == 1) {
      SendByte(kWriteFlash);
      SendWord(static_cast<uint16_t>(address));
      SendByte(1);
      sendData(1);
      return FinishAckCommand();
    }
    if (address % kFlashPageWords == 0 && count == kFlashPageWords) {
      SendByte(kWriteFlash);
      SendWord(static_cast<uint16_t>(address));
      SendByte(static_cast<uint8_t>(kFlashPageWords));
      sendData(kFlashPageWords);
      return FinishAckCommand();
    }
    for (uint32_t i = 0; i < count; ++i)
      if (!WrFlash(address + i, 1, data + i)) return false;
    return true;
  }
  SendByte(kWriteFlash);
  SendWord(static_cast<uint16_t>(2 * address));
  SendByte(static_cast<uint8_t>(2 * count));
  sendData(count);
  return FinishAckCommand();
}

bool SerialPort::WriteFlashBlock(uint32_t address, uint32_t count, const uint16_t* data) {
  while (count > 0) {
    uint32_t toBoundary = kFlashPageWords - address % kFlashPageWords;
    uint32_t n = std::min(count, toBoundary);
    if (!WrFlash(address, n, data)) return false;
    address += n;
    data += n;
    count -= n;
  }
  return true;
}

void SerialPort::WriteFuseBits(bool f0, bool f1, bool f8, uint32_t bitsA, uint32_t bitsB) {
  if (Family() != FAMILY_8X47 || !linked_) return;
  std::vector<std::pair<uint32_t, uint16_t>> writes = {{0x8001, !f1}, {0x8008, !f8}, {0x8000, !f0}};
  for (uint32_t i = 0; i < 3; ++i) writes.push_back({0x8002 + i, static_cast<uint16_t>((bitsB >> i) & 1)});
  for (uint32_t i = 0; i < 3; ++i) writes.push_back({0x8005 + i, static_cast<uint16_t>((bitsA >> i) & 1)});
  for (const auto& [address, value] : writes) {
    if (!linked_) return;
    (void)WrFlash(address, 1, &value);
  }
}

bool SerialPort::WriteEfuseWords(const uint16_t* words, size_t count) {
  if (Family() != FAMILY_9XXX || !linked_ || !DrainWindow()) return false;
  // No resynchronisation inside a burn: a resend would replay whatever the record holds (the
  // fuse word read before it, part of the sequence), and a stray byte answered by it could pass
  // for an acknowledge. A lost acknowledge ends the burn as a failure instead.
  retries_ = 0;
  recordLength_ = 0;
  replayActive_ = false;
  for (int i = 0; i < 32; ++i) {
    if (!SendByte(kEfuseIdle) || !WaitAck()) return false;
  }
  if (!SendByte(kEfuseStart) || !WaitAck()) return false;
  Sleep(100);
  for (size_t i = 0; i < count; ++i) {
    if (!SendByte(kEfuseBit) || !SendWord(words[i]) || !WaitAck()) return false;
  }
  return SendByte(kEfuseIdle) && WaitAck();
}

}  // namespace tessaro
