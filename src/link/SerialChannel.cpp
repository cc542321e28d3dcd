// Channel layer of SerialPort: port, line settings, transmit buffer, reader thread, receive
// ring, modem lines and the handshake transfer of the legacy link.
#include <pthread.h>
#include <sched.h>
#include <chrono>
#include <cstdio>
#include <thread>

#include "link/SerialPort.h"
#include "platform/PortTable.h"
#include "platform/PosixTtyDevice.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;

// Answers every box with its "safe" button and shows nothing: the link's default until the
// owner installs its own prompt.
class QuietPrompt final : public PromptIf {
 public:
  PromptAnswer Ask(const std::string&, const std::string&, PromptButtons buttons) override {
    return buttons == PromptButtons::Ok         ? PromptAnswer::Ok
           : buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel
                                                : PromptAnswer::No;
  }
};

bool Expired(Clock::time_point deadline) { return Clock::now() >= deadline; }

}  // namespace

PortOpener DefaultPortOpener() {
  return [](uint32_t portNumber) -> std::unique_ptr<PortDevice> {
    SettingsFile settings(UserSettingsPath());
    settings.Load();
    PortTable table(settings);
    auto path = table.PathOf(portNumber);
    if (!path) return nullptr;
    return OpenSerialDevice(*path);
  };
}

SerialPort::SerialPort() : opener_(DefaultPortOpener()), defaultPrompt_(std::make_unique<QuietPrompt>()) {
  prompt_ = defaultPrompt_.get();
  InitBoardConfig(config_);
}

SerialPort::~SerialPort() { Close(); }

void SerialPort::SetPrompt(PromptIf* prompt) { prompt_ = prompt ? prompt : defaultPrompt_.get(); }

bool SerialPort::SetLineSettings(const std::string& text) {
  unsigned baud = 0, data = 0, stop = 0;
  char parity = 'N';
  if (std::sscanf(text.c_str(), "%u,%c,%u,%u", &baud, &parity, &data, &stop) != 4) return false;
  line_ = LineSettings{baud, parity, data, stop};
  // A port that refuses the settings runs at the old ones: that is a failure, not success.
  return ApplyLineSettings();
}

bool SerialPort::ApplyLineSettings() { return !device_ || device_->ApplyLineSettings(line_); }

void SerialPort::StopReader() {
  if (!readerThread_.joinable()) return;
  stopReader_.store(true);
  device_->InterruptRead();
  readerThread_.join();
}

bool SerialPort::Close() {
  if (device_) {
    // Unacknowledged writes (legacy chips) may still wait in the buffer: hand them over.
    Flush();
    StopReader();
    device_.reset();
    freeSlots_.reset();
    filledSlots_.reset();
  }
  return false;
}

bool SerialPort::Open() {
  Close();
  rxCount_.store(0);
  rxRead_ = 0;
  rxWrite_ = 0;
  txCount_ = 0;
  handshakeOwnsRing_.store(false);
  device_ = opener_ ? opener_(portNumber) : nullptr;
  // A port that refuses the line settings would talk at the wrong speed: not usable.
  if (device_ && !ApplyLineSettings()) device_.reset();
  if (!device_) {
    const std::string name = portName_.empty() ? "COM" + std::to_string(portNumber) : portName_;
    (void)prompt_->Ask("Can't open " + name + "!", "Communication Error", PromptButtons::Ok);
    return false;
  }
  freeSlots_ = std::make_unique<std::counting_semaphore<kRxRingSize>>(kRxRingSize);
  filledSlots_ = std::make_unique<std::counting_semaphore<kRxRingSize>>(0);
  rtsReleased_ = false;
  device_->SetRts(true);
  device_->SetDtr(false);
  stopReader_.store(false);
  readerThread_ = std::thread([this] { ReaderThread(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(timeouts_.settleMs));
  return true;
}

void SerialPort::ReaderThread() {
  // Bytes should reach the ring as soon as they arrive: real-time priority where the system
  // permits it, the normal one otherwise.
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  std::array<uint8_t, 512> block{};
  while (!stopReader_.load()) {
    long got = device_->Read(block.data(), block.size());
    if (stopReader_.load()) break;
    if (got < 0) {
      // A failed read delivers nothing; keep reading (slowly) until told to stop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (got == 0 || handshakeOwnsRing_.load()) continue;
    long stored = 0;
    for (long i = 0; i < got; ++i) {
      // Wait for a free slot; a full ring holds the thread here until the caller takes bytes.
      bool slot = false;
      while (!(slot = freeSlots_->try_acquire_for(std::chrono::milliseconds(20))))
        if (stopReader_.load()) break;
      if (!slot) break;
      rxRing_[rxWrite_] = block[static_cast<size_t>(i)];
      rxWrite_ = (rxWrite_ + 1) % kRxRingSize;
      rxCount_.fetch_add(1);
      ++stored;
    }
    if (stored > 0) filledSlots_->release(stored);
  }
}

void SerialPort::Write(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    txBuffer_[txCount_++] = data[i];
    if (txCount_ == kTxBufferSize) Flush();
  }
}

void SerialPort::Flush() {
  if (txCount_ == 0) return;
  if (device_) {
    (void)device_->Write(txBuffer_.data(), txCount_);  // a failed write is not reported
    sentSinceReceive_ = true;
  }
  txCount_ = 0;
}

void SerialPort::FlushAndSetLines(bool rts) {
  Flush();
  SetModemLine(true, rts);
  SetModemLine(false, true);
}

uint32_t SerialPort::Available() {
  Flush();
  if (rxCount_.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  return rxCount_.load();
}

bool SerialPort::ReadByte(uint8_t& byte) {
  Flush();
  if (!filledSlots_ || !filledSlots_->try_acquire_for(std::chrono::milliseconds(timeouts_.replyMs))) return false;
  byte = rxRing_[rxRead_];
  rxRead_ = (rxRead_ + 1) % kRxRingSize;
  rxCount_.fetch_sub(1);
  freeSlots_->release();
  CountReceive();
  return true;
}

bool SerialPort::TakeByte(uint8_t& byte) {
  if (rxCount_.load() == 0) return false;
  byte = rxRing_[rxRead_];
  rxRead_ = (rxRead_ + 1) % kRxRingSize;
  rxCount_.fetch_sub(1);
  CountReceive();
  return true;
}

void SerialPort::SetModemLine(bool rts, bool on) {
  if (!device_) return;
  if (rts)
    device_->SetRts(on);
  else
    device_->SetDtr(on);
}

void SerialPort::SetRts() { SetModemLine(true, true); }
void SerialPort::ClearRts() { SetModemLine(true, false); }
void SerialPort::SetDtr() { SetModemLine(false, true); }
void SerialPort::ClearDtr() { SetModemLine(false, false); }

bool SerialPort::HandshakeSendByte(uint8_t byte) {
  if (!device_) return false;
  bool phase = true;
  for (int bit = 0; bit < 8; ++bit, phase = !phase) {
    device_->SetDtr(((byte >> bit) & 1) == 0);  // data, inverted
    device_->SetRts(!phase);                    // strobe
    auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.handshakeSendMs);
    while (device_->Dsr() != !phase) {
      if (Expired(deadline) || callback_->AbortRequested()) {
        device_->SetDtr(false);
        return false;
      }
      std::this_thread::yield();
    }
  }
  device_->SetDtr(false);
  sentSinceReceive_ = true;
  return true;
}

void SerialPort::CountReceive() {
  if (!sentSinceReceive_) return;
  sentSinceReceive_ = false;
  ++roundTrips_;
}

void SerialPort::HandshakePoll() {
  if (!device_) return;
  handshakeOwnsRing_.store(true);
  if (!rtsReleased_) {
    device_->SetRts(false);
    rtsReleased_ = true;
    return;
  }
  if (device_->Dsr()) return;  // nothing to receive yet
  uint32_t value = 0;
  bool phase = true;
  for (int bit = 0; bit < 15; ++bit, phase = !phase) {
    device_->SetRts(!phase);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.handshakeReceiveMs);
    while (device_->Dsr() != !phase) {
      if (Expired(deadline) || callback_->AbortRequested()) return;  // give up silently, nothing stored
      std::this_thread::yield();
    }
    value = (value >> 1) | (device_->Cts() ? 0 : 0x8000);
  }
  device_->SetRts(true);
  // The last bit settles within 10 microseconds of the strobe.
  std::this_thread::sleep_for(std::chrono::microseconds(10));
  uint16_t word = static_cast<uint16_t>((value >> 1) | (device_->Cts() ? 0 : 0x8000));
  rtsReleased_ = false;
  if (rxCount_.load() == 0) {
    rxRead_ = 0;
    rxWrite_ = 0;
  }
  rxRing_[rxWrite_] = static_cast<uint8_t>(word & 0xFF);
  rxWrite_ = (rxWrite_ + 1) % kRxRingSize;
  rxRing_[rxWrite_] = static_cast<uint8_t>(word >> 8);
  rxWrite_ = (rxWrite_ + 1) % kRxRingSize;
  rxCount_.fetch_add(2);
}

}  // namespace tessaro
