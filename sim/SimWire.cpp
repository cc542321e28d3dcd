// The wire between host and board: line speed and framing, pacing and latency of the answers,
// the injected faults on either direction, the counters, reset and greeting.
#include "sim/SimBoard.h"

#include <algorithm>
#include <cmath>

#include "sim/SimBoardDetail.h"

namespace tessaro::sim {

using namespace board_detail;

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
  if (!firstHostByte_) firstHostByte_ = now;
  Tick(now);
  counters_.hostToTarget += size;
  hostSpoke_ = true;
  lastDue_ = std::max(lastDue_, now);
  SimClock::time_point arrival = now;
  const SimClock::time_point lineStart = std::max(now, lineFreeAt_);
  if (options_.baudPace) {
    lineFreeAt_ = lineStart + ByteTime() * static_cast<long>(size);
    arrival = lineFreeAt_;
  }
  replyBase_ = arrival + std::chrono::microseconds(options_.latencyUs);
  if (!handshake()) {
    auto listed = [](const std::vector<uint64_t>& list, uint64_t index) {
      return std::find(list.begin(), list.end(), index) != list.end();
    };
    for (size_t i = 0; i < size; ++i) {
      uint8_t byte = data[i];
      byteArrival_ = options_.baudPace ? lineStart + ByteTime() * static_cast<long>(i + 1) : now;
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
  // Without an interface the whole line runs through the lost cable; with one, the interface
  // still hears its own bytes.
  if (linkLost_ && !options_.usbInterface) return;
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
      if (linkLost_) continue;
    }
    if (!powered_) continue;
    if (inReset_ || !monitorRunning_) {
      if (!beforeResetReported_)
        Violation(inReset_ ? "bytes sent while the target was still in reset, before its boot ROM answered"
                           : "bytes sent before the target was reset into its boot monitor");
      beforeResetReported_ = true;
      continue;
    }
    MonitorReceive(byte, byteArrival_);
  }
}

// While the monitor executes a command it does not read its UART: what arrives meanwhile waits
// in its receive buffer, and what arrives with that full is lost. Unpaced, bytes take no time
// and commands none either, so the monitor takes every byte as it comes.
void SimBoard::MonitorReceive(uint8_t byte, SimClock::time_point at) {
  DrainMonitorBuffer(at);
  if (ByteTime() == SimClock::duration::zero() || (rxBuffer_.empty() && monitorFreeAt_ <= at)) {
    monitorClock_ = at;
    MonitorByte(byte);
    return;
  }
  if (rxBuffer_.size() >= options_.rxBuffer) {
    if (counters_.rxDropped++ == 0)
      Violation(Format("the monitor's %u-byte receive buffer overran while it executed a command: host bytes lost",
                       options_.rxBuffer));
    return;
  }
  rxBuffer_.emplace_back(at, byte);
}

std::optional<SimClock::time_point> SimBoard::NextMonitorTake() const {
  if (rxBuffer_.empty()) return std::nullopt;
  return std::max(monitorFreeAt_, rxBuffer_.front().first);
}

void SimBoard::DrainMonitorBuffer(SimClock::time_point until) {
  for (auto take = NextMonitorTake(); take && *take <= until; take = NextMonitorTake()) {
    const uint8_t byte = rxBuffer_.front().second;
    rxBuffer_.pop_front();
    monitorClock_ = *take;
    MonitorByte(byte);
  }
}

void SimBoard::Emit(uint8_t byte, bool fromInterface) {
  if (!fromInterface && (silent_ || linkLost_)) return;
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
  DrainMonitorBuffer(now);
  // What fell due since the last look happens in the order it fell due: a greeting due before
  // the link came back is lost with it, a link lost after a reset ended had the greeting out.
  for (;;) {
    std::optional<SimClock::time_point> at;
    int which = -1;  // 0 the reset ends, 1 the link comes back, 2 + i armed fault i strikes
    auto consider = [&](SimClock::time_point due, int event) {
      if (due <= now && (!at || due < *at)) {
        at = due;
        which = event;
      }
    };
    if (inReset_) consider(resetUntil_, 0);
    if (linkLost_ && linkBackAt_) consider(*linkBackAt_, 1);
    if (firstHostByte_)
      for (size_t i = 0; i < armed_.size(); ++i)
        if (armed_[i].atMs != 0 && !armed_[i].timeStruck)
          consider(*firstHostByte_ + std::chrono::milliseconds(armed_[i].atMs), static_cast<int>(2 + i));
    if (!at) return;
    if (which == 0) {
      inReset_ = false;
      monitorRunning_ = powered_;
      replyBase_ = now;
      Greet();
    } else if (which == 1) {
      linkLost_ = false;
      linkBackAt_.reset();
    } else {
      ArmedFault& fault = armed_[static_cast<size_t>(which - 2)];
      fault.timeStruck = true;
      Strike(fault.kind, *at, "at " + std::to_string(fault.atMs) + " ms");
    }
  }
}

void SimBoard::Reset(SimClock::time_point now) {
  inReset_ = true;
  resetUntil_ = now + std::chrono::milliseconds(options_.resetMs);
  command_.clear();
  rxBuffer_.clear();
  monitorFreeAt_ = now;
  efuses_->Reset();
  monitorRunning_ = false;
  beforeResetReported_ = false;
  probeSeen_ = false;
  lastCommand_.clear();
  // A target that stopped answering comes back with its boot ROM.
  if (silent_) {
    silent_ = false;
    stopAfter_ = 0;
    efuses_->Replug();
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
  if (OfferedSession() != 0 && !sessionOpened_) {
    Emit(OfferedSession() >= 8 ? 0x5A : static_cast<uint8_t>(0x52 + OfferedSession()));
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
  auto sooner = [&](SimClock::time_point at) {
    if (!next || at < *next) next = at;
  };
  if (inReset_) sooner(resetUntil_);
  if (linkLost_ && linkBackAt_) sooner(*linkBackAt_);
  if (auto take = NextMonitorTake()) sooner(*take);
  if (firstHostByte_)
    for (const ArmedFault& fault : armed_)
      if (fault.atMs != 0 && !fault.timeStruck) sooner(*firstHostByte_ + std::chrono::milliseconds(fault.atMs));
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
    Tick(SimClock::now());
    if (unplugged_) return -1;
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
  Tick(SimClock::now());
  return unplugged_;
}

}  // namespace tessaro::sim
