// Commands in flight: acknowledged-only commands sent before the acknowledges of the ones
// before them have been read, the acknowledges collected in order, and what a fault among them
// leaves undone resent so that the target ends as if each had waited for its acknowledge.
#include <chrono>
#include <thread>

#include "link/SerialPort.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

uint32_t SerialPort::EffectiveWindow() const {
  // The handshake carries one byte per strobe and answers only when asked; a legacy chip
  // never acknowledges, so there is nothing to wait for anyway.
  if (transportMode_ == TransportClosed || transportMode_ == TransportHandshake || IsLegacy()) return 0;
  return window_;
}

void SerialPort::BeginAckCommand(uint32_t expectedReply, size_t length) {
  const uint32_t window = EffectiveWindow();
  if (window != 0 && linked_) {
    // Make room: the monitor may have to hold every command in flight but the one it executes.
    while (!inFlight_.empty() && inFlightBytes_ - inFlight_.front().size() + length > window)
      if (!RetireOldest()) break;
    windowed_ = linked_;
  }
  BeginCommand(expectedReply);
}

void SerialPort::BeginReplyCommand(uint32_t expectedReply, size_t length) {
  const uint32_t window = EffectiveWindow();
  if (window != 0 && linked_ && !inFlight_.empty()) {
    // Behind the window like an acknowledged-only command, so its answer comes back with the
    // acknowledges in one round trip; nothing follows it until it has answered.
    while (!inFlight_.empty() && inFlightBytes_ - inFlight_.front().size() + length > window)
      if (!RetireOldest()) break;
    windowed_ = linked_ && !inFlight_.empty();
  }
  BeginCommand(expectedReply);
  if (windowed_) pollAnswer_ = expectedReply;
  windowed_ = false;
}

bool SerialPort::CollectBeforeAnswer() {
  if (pollAnswer_ == 0) return linked_;
  pollRecord_.assign(commandRecord_.begin(), commandRecord_.begin() + static_cast<long>(recordLength_));
  const bool done = DrainWindow();
  pollAnswer_ = 0;
  return done && linked_;
}

bool SerialPort::FinishAckCommand() {
  if (!windowed_) return WaitAck();
  windowed_ = false;
  if (!linked_) return false;
  inFlight_.emplace_back(commandRecord_.begin(), commandRecord_.begin() + static_cast<long>(recordLength_));
  inFlightBytes_ += recordLength_;
  return true;
}

bool SerialPort::DrainWindow() {
  while (!inFlight_.empty())
    if (!RetireOldest()) return false;
  return true;
}

bool SerialPort::RetireOldest() {
  if (!linked_) {
    inFlight_.clear();
    inFlightBytes_ = 0;
    return false;
  }
  replayActive_ = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
  while (TransportAvailable() == 0 && Clock::now() < deadline) {
    if (callback_->AbortRequested()) {
      inFlight_.clear();
      inFlightBytes_ = 0;
      GiveUp();
      return false;
    }
  }
  uint8_t byte = 0;
  const bool got = TransportAvailable() > 0 && TransportTake(byte);
  if (got && byte == kAck) {
    inFlightBytes_ -= inFlight_.front().size();
    inFlight_.pop_front();
    return true;
  }
  if (RecoverWindow(got)) return true;
  inFlight_.clear();
  inFlightBytes_ = 0;
  if (linked_) GiveUp();
  return false;
}

void SerialPort::LoadRecord(const std::vector<uint8_t>& bytes) {
  retries_ = 3;
  expectedReply_ = 1;
  replayActive_ = false;
  recordLength_ = std::min(bytes.size(), kCommandRecordSize);
  std::copy(bytes.begin(), bytes.begin() + static_cast<long>(recordLength_), commandRecord_.begin());
}

bool SerialPort::ResendAfterResync() {
  for (;;) {
    if (!Resync()) return false;
    uint8_t byte = 0;
    if (ReceiveByte(byte) && byte == kAck) return true;
    if (retries_ == 0 || !linked_) {
      prompt_->Alert("Corrupted ACK received");
      return false;
    }
  }
}

// Sends the command that waits behind the window again once the acknowledged-only ones are
// settled: through the resynchronisation when the monitor may still wait for a byte of it, as
// its answer's replay; otherwise plainly, its answer then awaited as any other.
bool SerialPort::ResendPoll(bool throughResync) {
  LoadRecord(pollRecord_);
  expectedReply_ = pollAnswer_;
  if (throughResync) return Resync();
  return SendBlock(pollRecord_.data(), pollRecord_.size(), true) && linked_;
}

// The oldest command in flight got no acknowledge in time (`gotByte` false) or another byte.
// What the monitor did depends on where the fault struck: a lost, corrupted or late answer
// leaves every command carried out, a lost or corrupted host byte leaves the monitor out of
// step. The answers of the commands behind it tell which: they are counted first.
bool SerialPort::RecoverWindow(bool gotByte) {
  // A command whose answer is awaited may wait behind them: its answer bytes follow theirs.
  const size_t acks = inFlight_.size();
  const size_t owed = acks + pollAnswer_;
  size_t heard = gotByte ? 1 : 0;
  size_t wrong = gotByte ? 1 : 0;
  // A late answer holds back the ones behind it: give them a reply time.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.replyMs);
  while (heard < owed && Clock::now() < deadline) {
    if (!linked_) return false;
    if (callback_->AbortRequested()) return false;
    if (TransportAvailable() == 0) continue;
    uint8_t byte = 0;
    if (!TransportTake(byte)) continue;
    ++heard;
    if (byte != kAck && heard <= acks) ++wrong;
  }
  // Anything beyond the answers owed shows commands the monitor made up from a broken stream.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  while (TransportAvailable() > 0) {
    uint8_t byte = 0;
    if (!TransportTake(byte)) break;
    ++heard;
  }
  const bool allCarriedOut = heard == owed && wrong <= 1;
  const bool newestShort = heard + 1 == owed && wrong == 0;
  if (allCarriedOut && pollAnswer_ == 0) {
    // Every command answered, at most one answer spoiled on its way back: all were carried out.
    inFlight_.clear();
    inFlightBytes_ = 0;
    return true;
  }
  // One answer short: either one was lost on the way back, or the newest command lost a byte
  // and the monitor still waits for it. Resending the newest through the resynchronisation
  // serves both, as it serves a single command. Anything else: the monitor is out of step from
  // the oldest on, and everything from there is resent, the oldest through the resync. A
  // command waiting for its answer is the newest; its answer is not trusted after a fault and
  // it is asked again, as a reply fault without the window asks it again.
  size_t from = 0;
  if (pollAnswer_ != 0 && (allCarriedOut || newestShort))
    from = acks;
  else if (newestShort)
    from = acks - 1;
  std::deque<std::vector<uint8_t>> resend(inFlight_.begin() + static_cast<long>(from), inFlight_.end());
  inFlight_.clear();
  inFlightBytes_ = 0;
  for (size_t i = 0; i < resend.size(); ++i) {
    LoadRecord(resend[i]);
    if (i == 0) {
      if (!ResendAfterResync()) return false;
      continue;
    }
    if (!SendBlock(resend[i].data(), resend[i].size(), true) || !WaitAck()) return false;
  }
  if (pollAnswer_ != 0) return ResendPoll(resend.empty());
  return linked_;
}

}  // namespace tessaro
