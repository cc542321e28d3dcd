#include "sim/SimBoard.h"

#include "sim/BoardDevices.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>

#include "common/Json.h"
#include "common/Text.h"
#include "platform/Files.h"
#include "sim/BoardState.h"
#include "sim/DriverImageRunner.h"

namespace tessaro::sim {

namespace {

// Protocol bytes and limits kept here on purpose, apart from the host's own constants: the
// simulator is an independent check of the host, so a wrong value on one side shows up.
constexpr uint8_t kAck = 0xAC;
constexpr uint8_t kRefused = 0xEE;
constexpr uint8_t kEraseDone = 0xEE;
// The UART clock of the monitor: divisor 230 (256 - 26) gives 57600 baud, 243 gives 115200.
constexpr uint32_t kUartClock = 57600 * 26;
constexpr uint16_t kDefaultDivisor = 230;
constexpr uint16_t kRegisterFlag = 0x8000;  // 9xxx register words carry bit 15
// What the resynchronisation bytes 0x00 0x55 leave in an idle 9xxx monitor once the next probe
// follows: a register read of the word 0x0055. A correct host sends it only as a probe.
constexpr uint16_t kProbeRegisterWord = 0x0055;
constexpr uint32_t kMaxBlockRead = 512;
constexpr uint32_t kMaxBlockWrite = 128;
constexpr uint32_t kFlashPage = 64;
// Bounds of what the board keeps for inspection; a long run keeps the latest.
constexpr size_t kTraceKept = 20000;
constexpr size_t kViolationsKept = 1000;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

uint32_t PackageOf(const ChipInfo* chip) {
  switch (chip->modelCode) {
    case 0x9162: return 0;
    case 0x9368: return 4;
    case 0x9371: return 5;
    case 0x9468: return 6;
    case 0x9571: return 9;
    case 0x9362: return 12;
    default: return 15;
  }
}

}  // namespace

// ---- construction ----

std::shared_ptr<SimBoard> SimBoard::Create(const SimOptions& given, std::string* error) {
  // A board definition settles the chip and the devices before the board is built.
  SimOptions options = given;
  std::string boardError;
  if (!ApplyBoardDefinition(options, boardError)) {
    if (error) *error = boardError;
    return nullptr;
  }
  const ChipInfo* chip = FindChipByName(options.chip);
  if (!chip) {
    if (error) *error = "unknown chip '" + options.chip + "'";
    return nullptr;
  }
  auto board = std::make_shared<SimBoard>(options, chip);
  board->SetRoutineHandler(MakeDriverImageRunner());
  if (!options.traceFile.empty()) {
    board->traceFile_ = std::fopen(options.traceFile.c_str(), "w");
    if (!board->traceFile_) {
      if (error) *error = "cannot write the trace file " + options.traceFile;
      return nullptr;
    }
  }
  if (!AttachBoardDevices(*board, boardError)) {
    if (error) *error = boardError;
    return nullptr;
  }
  if (!options.stateFile.empty()) {
    std::string stateError;
    if (!LoadBoardState(*board, options.stateFile, stateError)) {
      if (error) *error = "cannot load the board state: " + stateError;
      return nullptr;
    }
  }
  return board;
}

SimBoard::SimBoard(const SimOptions& options, const ChipInfo* chip)
    : options_(options),
      chip_(chip),
      family_(chip->familyCode),
      dropReplyByte_(options.dropReplyByte),
      corruptReplyByte_(options.corruptReplyByte),
      lateCommand_(options.lateCommand),
      stopAfter_(options.stopAfterCommands),
      lateMs_(options.lateMs),
      refuseBaudSwitch_(options.refuseBaudSwitch),
      powered_(options.targetPowered),
      monitorRunning_(chip->legacyLink && !options.usbInterface),
      offeredSession_(options.securedSession),
      securityBit_(options.securityBit),
      flash_(chip->embeddedFlashSize, 0xFFFF) {
  noise_.seed(options.seed);
  dropHost_ = options.dropHostBytes;
  corruptHost_ = options.corruptHostBytes;
  duplicateHost_ = options.duplicateHostBytes;
  fuses_.fill(1);
  ResetIoRegisters();
}

SimBoard::~SimBoard() {
  if (traceFile_) std::fclose(traceFile_);
}

// ---- wire ----

bool SimBoard::handshake() const { return chip_->legacyLink && !options_.usbInterface; }

uint32_t SimBoard::LineBaud() const {
  if (options_.usbInterface) return interfaceBaud_;
  uint32_t divisor = uartDivisor_ & 0xFF;
  return divisor >= 256 ? 0 : kUartClock / (256 - divisor);
}

SimClock::duration SimBoard::ByteTime() const {
  uint32_t baud = LineBaud();
  if (!options_.baudPace || baud == 0) return SimClock::duration::zero();
  return std::chrono::duration_cast<SimClock::duration>(std::chrono::duration<double>(10.0 / baud));
}

void SimBoard::HostWrite(const uint8_t* data, size_t size) {
  std::lock_guard lock(mutex_);
  if (unplugged_ || size == 0) return;
  auto now = SimClock::now();
  Tick(now);
  counters_.hostToTarget += size;
  hostSpoke_ = true;
  lastDue_ = std::max(lastDue_, now);
  SimClock::time_point arrival = now;
  if (options_.baudPace) {
    lineFreeAt_ = std::max(now, lineFreeAt_) + ByteTime() * static_cast<long>(size);
    arrival = lineFreeAt_;
  }
  replyBase_ = arrival + std::chrono::microseconds(options_.latencyUs);
  if (!handshake()) {
    auto listed = [](const std::vector<uint64_t>& list, uint64_t index) {
      return std::find(list.begin(), list.end(), index) != list.end();
    };
    for (size_t i = 0; i < size; ++i) {
      uint8_t byte = data[i];
      ++hostSerial_;
      if (listed(dropHost_, hostSerial_)) continue;
      for (const auto& [index, flip] : corruptHost_)
        if (index == hostSerial_) byte ^= flip;
      byte = Noise(byte);
      HostByte(byte, now);
      if (listed(duplicateHost_, hostSerial_)) HostByte(byte, now);
    }
  }
  outputReady_.notify_all();
}

uint8_t SimBoard::Noise(uint8_t byte) {
  if (options_.noisePpm == 0) return byte;
  // One draw per byte, in line order, so a seed replays the same hits.
  const uint64_t draw = noise_();
  if (draw % 1000000 >= options_.noisePpm) return byte;
  return static_cast<uint8_t>(byte ^ (1u << ((draw >> 32) % 8)));
}

UartFormat SimBoard::TargetLine() const { return UartFormat{LineBaud(), 8, 'N', 1}; }

void SimBoard::HostByte(uint8_t sent, SimClock::time_point now) {
  if (!options_.usbInterface && command_.empty() && sent == 0xBC) {
    // The serial board's reset request reaches the target at any line speed.
    Reset(now);
    return;
  }
  // The byte as the receiving UART samples it: unchanged when both ends agree.
  for (uint8_t byte : UartTransfer(std::span<const uint8_t>(&sent, 1), hostLine_, TargetLine())) {
    if (options_.usbInterface) {
      if (command_.empty() && InterfaceByte(byte, now)) continue;
      if (protocol_ != (chip_->legacyLink ? 2 : 3)) continue;  // the interface is not passing this protocol
    }
    if (!powered_) continue;
    if (inReset_ || !monitorRunning_) {
      if (!beforeResetReported_)
        Violation(inReset_ ? "bytes sent while the target was still in reset, before its boot ROM answered"
                           : "bytes sent before the target was reset into its boot monitor");
      beforeResetReported_ = true;
      continue;
    }
    MonitorByte(byte);
  }
}

bool SimBoard::InterfaceByte(uint8_t byte, SimClock::time_point now) {
  switch (byte) {
    case 0xBC: {
      uint8_t flags = options_.usbFlags ? *options_.usbFlags
                      : !powered_       ? 0x00
                      : chip_->legacyLink ? 0x04
                                          : 0x0D;
      for (uint8_t b : {uint8_t{0xCB}, options_.usbKind, options_.usbRevision, flags, uint8_t{0x01}, uint8_t{0x00}, uint8_t{0xCA}})
        Emit(b);
      Reset(now);
      return true;
    }
    case 0xB2:
    case 0xB3:
      protocol_ = byte == 0xB2 ? 2 : 3;
      Emit(0xCA);
      return true;
    case 0xB0:
    case 0xB4:
      protocol_ = 0;
      Emit(0xCB);
      Emit(0xCA);
      return true;
    case 0xB7:
      if (options_.usbKind >= 2 && !refuseBaudSwitch_) interfaceBaud_ = 115200;
      else if (options_.usbKind < 2) Violation("0xB7 (higher baud rate) sent to an interface of kind below 2");
      return true;
    default:
      return false;
  }
}

void SimBoard::Emit(uint8_t byte) {
  if (silent_) return;
  ++replySerial_;
  ++counters_.targetToHost;
  if (hostSpoke_) {
    ++counters_.roundTrips;
    hostSpoke_ = false;
  }
  if (replySerial_ == dropReplyByte_) return;
  if (replySerial_ == corruptReplyByte_) byte ^= 0xFF;
  byte = Noise(byte);
  if (handshake()) {
    hsOut_.push_back(byte);
    return;
  }
  // A late answer leaves when it is due, whatever the host sends meanwhile; what the monitor
  // answers after it queues behind it, as on one serial line.
  const auto base = currentLate_ ? replyBase_ + std::chrono::milliseconds(lateMs_) : replyBase_;
  for (uint8_t received : UartTransfer(std::span<const uint8_t>(&byte, 1), TargetLine(), hostLine_)) {
    auto due = std::max(base, lastDue_) + ByteTime();
    lastDue_ = due;
    out_.push_back({due, received});
  }
}

void SimBoard::EmitWord(uint16_t word) {
  Emit(static_cast<uint8_t>(word & 0xFF));
  Emit(static_cast<uint8_t>(word >> 8));
}

void SimBoard::Tick(SimClock::time_point now) {
  if (inReset_ && now >= resetUntil_) {
    inReset_ = false;
    monitorRunning_ = powered_;
    replyBase_ = now;
    Greet();
  }
}

void SimBoard::Reset(SimClock::time_point now) {
  inReset_ = true;
  resetUntil_ = now + std::chrono::milliseconds(options_.resetMs);
  command_.clear();
  idleClocks_ = 0;
  efuseBurning_ = false;
  monitorRunning_ = false;
  beforeResetReported_ = false;
  probeSeen_ = false;
  lastCommand_.clear();
  // A target that stopped answering comes back with its boot ROM.
  if (silent_) {
    silent_ = false;
    stopAfter_ = 0;
  }
  ResetIoRegisters();
  rxBit_ = 0;
  rxByte_ = 0;
  hsOut_.clear();
  hsSending_ = false;
}

void SimBoard::Greet() {
  if (!powered_ || silent_) return;
  if (chip_->legacyLink) {
    // The legacy boot ROM never acknowledges; the USB interface does it for it.
    if (options_.usbInterface && protocol_ == 2) Emit(kAck);
    return;
  }
  if (options_.usbInterface && protocol_ != 3) return;
  if (family_ == FAMILY_8X47 && securityBit_) return;  // a secured 8x47 stays silent
  if (family_ == FAMILY_9XXX && offeredSession_ != 0 && !sessionOpened_) {
    Emit(offeredSession_ >= 8 ? 0x5A : static_cast<uint8_t>(0x52 + offeredSession_));
    return;
  }
  if (!chip_->ackAfterReset) return;  // the 74xx boot ROMs start without a word
  Emit(kAck);
}

size_t SimBoard::TakeOutputLocked(uint8_t* buffer, size_t capacity) {
  auto now = SimClock::now();
  size_t n = 0;
  while (n < capacity && !out_.empty() && out_.front().due <= now) {
    buffer[n++] = out_.front().value;
    out_.pop_front();
  }
  return n;
}

size_t SimBoard::TakeOutput(uint8_t* buffer, size_t capacity) {
  std::lock_guard lock(mutex_);
  Tick(SimClock::now());
  return TakeOutputLocked(buffer, capacity);
}

std::optional<SimClock::time_point> SimBoard::NextEventLocked() {
  std::optional<SimClock::time_point> next;
  if (!out_.empty()) next = out_.front().due;
  if (inReset_ && (!next || resetUntil_ < *next)) next = resetUntil_;
  return next;
}

std::optional<SimClock::time_point> SimBoard::NextEvent() {
  std::lock_guard lock(mutex_);
  return NextEventLocked();
}

long SimBoard::WaitOutput(uint8_t* buffer, size_t capacity, bool& interrupted) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (interrupted) {
      interrupted = false;
      return 0;
    }
    if (unplugged_) return -1;
    Tick(SimClock::now());
    size_t n = TakeOutputLocked(buffer, capacity);
    if (n > 0) return static_cast<long>(n);
    if (auto next = NextEventLocked())
      outputReady_.wait_until(lock, *next);
    else
      outputReady_.wait(lock);
  }
}

void SimBoard::Interrupt(bool& interrupted) {
  std::lock_guard lock(mutex_);
  interrupted = true;
  outputReady_.notify_all();
}

void SimBoard::SetHostBaud(uint32_t baud) { SetHostLine(UartFormat{baud, 8, 'N', 1}); }

void SimBoard::SetHostLine(const UartFormat& format) {
  std::lock_guard lock(mutex_);
  hostLine_ = format;
}

void SimBoard::PortOpened() {
  std::lock_guard lock(mutex_);
  rts_ = dtr_ = cts_ = dsr_ = false;
  rxBit_ = 0;
  rxByte_ = 0;
  hsOut_.clear();
  hsSending_ = false;
  interfaceBaud_ = 57600;
}

void SimBoard::Unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  outputReady_.notify_all();
}

void SimBoard::Replug() {
  std::lock_guard lock(mutex_);
  unplugged_ = false;
}

bool SimBoard::unplugged() {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

// ---- handshake transfer of the legacy chips ----

void SimBoard::SetModemLines(bool rts, bool dtr) {
  std::lock_guard lock(mutex_);
  bool edge = rts != rts_;
  rts_ = rts;
  dtr_ = dtr;
  Tick(SimClock::now());
  if (!handshake() || !edge || unplugged_ || !powered_) return;
  // A target that stopped answering still finishes the reply it had started.
  if (silent_ && !hsSending_ && hsOut_.empty()) return;
  HandshakeEdge(rts);
}

void SimBoard::HandshakeEdge(bool rts) {
  if (hsSending_) {
    ++txBit_;
    cts_ = ((txWord_ >> txBit_) & 1) == 0;
    dsr_ = rts;
    if (txBit_ == 15) hsSending_ = false;
    return;
  }
  if (!rts && rxBit_ == 0 && hsOut_.size() >= 2) {
    // The host released RTS: the target may send the next word.
    txWord_ = static_cast<uint16_t>(hsOut_[0] | (hsOut_[1] << 8));
    hsOut_.pop_front();
    hsOut_.pop_front();
    txBit_ = 0;
    cts_ = (txWord_ & 1) == 0;
    dsr_ = false;
    hsSending_ = true;
    return;
  }
  dsr_ = rts;
  if (rxBit_ % 2 == 0 && rts) return;  // bits start on a falling strobe
  if (!dtr_) rxByte_ = static_cast<uint8_t>(rxByte_ | (1u << rxBit_));  // data line inverted
  if (++rxBit_ < 8) return;
  uint8_t byte = rxByte_;
  rxBit_ = 0;
  rxByte_ = 0;
  ++counters_.hostToTarget;
  hostSpoke_ = true;
  replyBase_ = SimClock::now();
  if (!inReset_) MonitorByte(byte);
}

bool SimBoard::Cts() {
  std::lock_guard lock(mutex_);
  return cts_;
}

bool SimBoard::Dsr() {
  std::lock_guard lock(mutex_);
  return dsr_;
}

// ---- the monitor ----

void SimBoard::MonitorByte(uint8_t byte) {
  if (family_ == FAMILY_9XXX && offeredSession_ != 0 && !sessionOpened_) {
    // Secured: only the request to open the offered debug session is heard. Opening it uses
    // it up; the next power-up offers the next one.
    if (byte == 0xBB && offeredSession_ < 8) {
      sessionOpened_ = true;
      ++offeredSession_;
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

size_t SimBoard::CommandLength() const {
  const bool legacy = chip_->legacyLink;
  const bool nine = family_ == FAMILY_9XXX;
  const bool flashChip = chip_->embeddedFlashSize != 0;
  auto word = [&](size_t i) { return static_cast<size_t>(command_[i] | (command_[i + 1] << 8)); };
  // A block write's data follows only when the monitor takes the count; a refused count leaves
  // the data bytes to be read as commands, as a monitor that checks the header first does.
  auto withData = [&](size_t header) {
    if (command_.size() < header) return header;
    const size_t count = word(header - 2);
    return count == 0 || count > kMaxBlockWrite ? header : header + 2 * count;
  };
  switch (command_[0]) {
    case 0: return nine ? 3 : 2;
    case 1: return nine ? 6 : 4;
    case 2: return legacy ? 7 : 5;
    case 3: return legacy ? withData(7) : 7;
    case 4: return 2;
    case 5: return 4;
    case 9: return legacy ? 0 : 3;
    case 11: return legacy ? 0 : 7;
    case 12: return legacy ? 0 : withData(7);
    case 15:
      if (nine) return 2;
      if (!flashChip) return 0;
      if (command_.size() < 4) return 4;
      return 4 + (chip_->hasSecurityBit ? 2u * command_[3] : command_[3]);
    case 16:
    case 18: return nine ? 1 : 0;
    case 17: return nine ? 3 : 0;
    case 0x72: return legacy ? 0 : 2;
    default: return 0;
  }
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
  if (code != 16 && code != 18) idleClocks_ = 0;
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
        if (index >= efuses_.size()) {
          Violation(Format("eFuse read of word %u (the array has 64)", index));
          EmitWord(0);
          break;
        }
        EmitWord(efuses_[index]);
        record("readFuse", {{"index", index}, {"value", efuses_[index]}});
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
    case 16:
      efuseBurning_ = idleClocks_ >= 32;
      if (!efuseBurning_) Violation(Format("eFuse burn started after %u idle commands (32 needed)", idleClocks_));
      idleClocks_ = 0;
      record("efuse", {{"code", 16}});
      Emit(efuseBurning_ ? kAck : kRefused);
      break;
    case 17: {
      const uint32_t bit = word(1);
      const bool ok = efuseBurning_ && bit < 1024;
      if (ok) efuses_[bit / 16] = static_cast<uint16_t>(efuses_[bit / 16] | (1u << (bit % 16)));
      else Violation(efuseBurning_ ? Format("eFuse bit %u beyond the 1024 bits", bit) : std::string("eFuse bit sent without a burn started"));
      record("efuse", {{"code", 17}, {"value", bit}});
      Emit(ok ? kAck : kRefused);
      break;
    }
    case 18:
      efuseBurning_ = false;
      ++idleClocks_;
      record("efuse", {{"code", 18}});
      Emit(kAck);
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
  if (stopAfter_ != 0 && commandCount_ >= stopAfter_) silent_ = true;
  if (commandCount_ == options_.resetAtCommand) Reset(SimClock::now());
  if (commandCount_ == options_.unplugAtCommand) {
    unplugged_ = true;
    outputReady_.notify_all();
  }
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

// ---- memory map ----

uint32_t SimBoard::BankCount() const {
  switch (chip_->modelCode) {
    case 0x8321: return 3;
    case 0x8326: return 8;
    case 0x8721: return 4;
    case 0x8247: return 2;
    case 0x8347: return 4;
    case 0x8547:
    case 0x8647: return 8;
    default: return family_ == FAMILY_9XXX ? 16 : 0;
  }
}

bool SimBoard::LowWindowIsFlash() const { return (io_[0] & 0x4) == 0; }

uint16_t SimBoard::MemRead(uint32_t address) {
  for (const auto& window : windows_)
    if (address - window.base < window.size) return window.device->ReadWord(address - window.base);
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
  if (chip_->embeddedFlashSize != 0 && address - flashBase < chip_->embeddedFlashSize) return flash_[address - flashBase];
  switch (family_) {
    case FAMILY_73XX:
      return address < 0x10000 ? ram(address) : 0xFFFF;
    case FAMILY_74XX:
      return address < 0x20000 ? ram(address) : 0xFFFF;
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
      if (chip_->modelCode == 0x8347 && address - 0xC000000 < 0x10000) return ram(address);
      return 0xFFFF;
    }
    case FAMILY_9XXX:
      // Program RAM as the monitor sees it at 0..0xFFFF, and the data RAM window.
      return address < 0x10000 || address - 0x8E00000 < 0x100000 ? ram(address) : 0xFFFF;
    default:
      return 0xFFFF;
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
  for (const auto& window : windows_)
    if (address - window.base < window.size) {
      window.device->WriteWord(address - window.base, value);
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
    case FAMILY_73XX:
      return address < 0x10000 && store(address);
    case FAMILY_74XX:
      return address < 0x20000 && store(address);
    case FAMILY_8X2X:
      return (address - 0x4000000 < 0x4000 || address < 0x4000) && store(address);
    case FAMILY_8721:
    case FAMILY_8X47: {
      const uint32_t mask = family_ == FAMILY_8721 ? 0x1FFF : 0x3FFF;
      if (address - 0x4000000 < 0x4000 || address < chip_->embeddedFlashSize) return store(0x4000000 + (address & mask));
      return chip_->modelCode == 0x8347 && address - 0xC000000 < 0x10000 && store(address);
    }
    case FAMILY_9XXX:
      return (address < 0x10000 || address - 0x8E00000 < 0x100000) && store(address);
    default:
      return false;
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
      if (nine) return static_cast<uint16_t>((io_[21] & ~0x7000) | ((options_.strapping & 7) << 12));
      break;
    case 64:
      return nine ? io_[64] : 0;
    case 250:
      if (nine) return static_cast<uint16_t>(0x90 | (options_.packageCode.value_or(PackageOf(chip_)) & 0xF));
      switch (chip_->modelCode) {
        case 0x7431: return 0x0100;
        case 0x7432: return 0x010C;
        case 0x7451: return 0x0170;
        case 0x7452: return 0x017C;
        default: return static_cast<uint16_t>(chip_->modelCode & 0xFF);
      }
    case 251:
      return static_cast<uint16_t>(static_cast<int16_t>(options_.revision));
    case 254:
      return uartDivisor_;
    default:
      break;
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
    case 251:
      return;
    case 254:
      if (!refuseBaudSwitch_) uartDivisor_ = value & 0xFF;
      return;
    case 23:
      io_[23] = value;
      if (family_ == FAMILY_9XXX && (value & 0x40)) io_[23] |= 0x80;  // SDRAM initialised
      return;
    default:
      io_[reg & 0xFF] = value;
  }
}

// ---- people and faults ----

void SimBoard::PressReset() {
  std::lock_guard lock(mutex_);
  Reset(SimClock::now());
  outputReady_.notify_all();
}

void SimBoard::SetTargetPowered(bool powered) {
  std::lock_guard lock(mutex_);
  if (powered_ && !powered) {
    // Power off ends the debug session and the monitor; power on starts the application.
    sessionOpened_ = false;
    monitorRunning_ = handshake();
    command_.clear();
  }
  powered_ = powered;
}

void SimBoard::SetDropReplyByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  dropReplyByte_ = index;
}

void SimBoard::SetCorruptReplyByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  corruptReplyByte_ = index;
}

void SimBoard::SetLateCommand(uint64_t index, uint32_t lateMs) {
  std::lock_guard lock(mutex_);
  lateCommand_ = index;
  lateMs_ = lateMs;
}

void SimBoard::SetStopAfterCommands(uint64_t count) {
  std::lock_guard lock(mutex_);
  stopAfter_ = count;
  if (count != 0 && commandCount_ >= count) silent_ = true;
}

void SimBoard::SetRefuseBaudSwitch(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseBaudSwitch_ = refuse;
}

void SimBoard::DropHostByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  dropHost_.push_back(index);
}

void SimBoard::CorruptHostByte(uint64_t index, uint8_t flip) {
  std::lock_guard lock(mutex_);
  corruptHost_.emplace_back(index, flip);
}

void SimBoard::DuplicateHostByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  duplicateHost_.push_back(index);
}

// ---- violations and the trace ----

void SimBoard::Violation(std::string text) {
  if (violations_.size() < kViolationsKept) violations_.push_back(text);
  if (violationLog_) violationLog_(text);
  Record({"violation", {}, {}, std::move(text), false});
}

std::vector<std::string> SimBoard::Violations() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all = violations_;
  for (const auto& model : models_)
    for (const auto& text : model->violations()) all.push_back(text);
  return all;
}

void SimBoard::ClearViolations() {
  std::lock_guard lock(mutex_);
  violations_.clear();
  for (const auto& model : models_) model->ClearViolations();
}

void SimBoard::SetViolationLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(mutex_);
  violationLog_ = std::move(log);
}

void SimBoard::Record(SimTraceRecord record) {
  if (traceFile_) {
    const std::string line = record.Json();
    std::fwrite(line.data(), 1, line.size(), traceFile_);
    std::fflush(traceFile_);
  }
  if (trace_.size() >= kTraceKept) trace_.pop_front();
  trace_.push_back(std::move(record));
}

std::vector<SimTraceRecord> SimBoard::Trace() {
  std::lock_guard lock(mutex_);
  return {trace_.begin(), trace_.end()};
}

void SimBoard::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}


// ---- inspection ----

WireCounters SimBoard::Counters() {
  std::lock_guard lock(mutex_);
  return counters_;
}

uint64_t SimBoard::CommandCount() {
  std::lock_guard lock(mutex_);
  return commandCount_;
}

uint64_t SimBoard::ReplyBytes() {
  std::lock_guard lock(mutex_);
  return replySerial_;
}

uint16_t SimBoard::ReadMemory(uint32_t address) {
  std::lock_guard lock(mutex_);
  return MemRead(address);
}

void SimBoard::WriteMemory(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  (void)MemWrite(address, value);  // a test or state file may write anywhere; unmapped words are lost
}

uint16_t SimBoard::FlashWord(uint32_t address) {
  std::lock_guard lock(mutex_);
  return address < flash_.size() ? flash_[address] : 0xFFFF;
}

void SimBoard::SetFlashWord(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (address < flash_.size()) flash_[address] = value;
}

uint32_t SimBoard::Register(uint32_t reg) {
  std::lock_guard lock(mutex_);
  auto it = registers_.find(reg);
  return it == registers_.end() ? 0 : it->second;
}

void SimBoard::SetRegister(uint32_t reg, uint32_t value) {
  std::lock_guard lock(mutex_);
  registers_[reg] = value;
}

uint16_t SimBoard::IoRegister(uint32_t reg) {
  std::lock_guard lock(mutex_);
  return reg == 254 ? uartDivisor_ : io_[reg & 0xFF];
}

void SimBoard::SetIoRegister(uint32_t reg, uint16_t value) {
  std::lock_guard lock(mutex_);
  io_[reg & 0xFF] = value;
}

uint16_t SimBoard::FuseBit(uint32_t address) {
  std::lock_guard lock(mutex_);
  return address >= 0x8000 && address <= 0x8008 ? fuses_[address - 0x8000] : 0;
}

void SimBoard::SetFuseBit(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (address >= 0x8000 && address <= 0x8008) fuses_[address - 0x8000] = value;
}

bool SimBoard::SecurityBit() {
  std::lock_guard lock(mutex_);
  return securityBit_;
}

void SimBoard::SetSecurityBit(bool on) {
  std::lock_guard lock(mutex_);
  securityBit_ = on;
}

uint16_t SimBoard::EfuseWord(uint32_t index) {
  std::lock_guard lock(mutex_);
  return index < efuses_.size() ? efuses_[index] : 0;
}

void SimBoard::SetEfuseWord(uint32_t index, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (index < efuses_.size()) efuses_[index] = value;
}

bool SimBoard::SessionOpened() {
  std::lock_guard lock(mutex_);
  return sessionOpened_;
}

uint32_t SimBoard::TargetBaud() {
  std::lock_guard lock(mutex_);
  return LineBaud();
}

std::string SimBoard::StatsJson() {
  WireCounters counters = Counters();
  JsonWriter json;
  json.BeginObject()
      .Field("hostToTarget", static_cast<unsigned long long>(counters.hostToTarget))
      .Field("targetToHost", static_cast<unsigned long long>(counters.targetToHost))
      .Field("roundTrips", static_cast<unsigned long long>(counters.roundTrips))
      .Key("violations")
      .BeginArray();
  for (const std::string& text : Violations()) json.String(text);
  json.EndArray().EndObject();
  return json.Finish();
}

bool SimBoard::WriteStats(const std::string& path) { return WriteWholeFile(path, StatsJson()); }

// ---- device models ----

void SimBoard::SetDevices(std::shared_ptr<BoardDevices> devices) {
  std::lock_guard lock(mutex_);
  devices_ = std::move(devices);
}

std::shared_ptr<BoardDevices> SimBoard::Devices() {
  std::lock_guard lock(mutex_);
  return devices_;
}

void SimBoard::AttachMemoryWindow(uint32_t base, uint32_t size, std::shared_ptr<SimMemoryDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  windows_.push_back({base, size, std::move(device)});
}

void SimBoard::AttachIoBlock(uint32_t first, uint32_t count, std::shared_ptr<SimIoDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  ioBlocks_.push_back({first, count, std::move(device)});
}

void SimBoard::AttachSpiDevice(uint32_t select, std::shared_ptr<SimSpiDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  spi_[select] = std::move(device);
}

std::shared_ptr<SimSpiDevice> SimBoard::SpiDevice(uint32_t select) {
  std::lock_guard lock(mutex_);
  auto it = spi_.find(select);
  return it == spi_.end() ? nullptr : it->second;
}

void SimBoard::SetRoutineHandler(std::shared_ptr<SimRoutineHandler> handler) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(handler)) models_.push_back(model);
  routines_ = std::move(handler);
}

std::shared_ptr<SimRoutineHandler> SimBoard::RoutineHandler() {
  std::lock_guard lock(mutex_);
  return routines_;
}

}  // namespace tessaro::sim
