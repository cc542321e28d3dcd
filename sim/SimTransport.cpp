// The transports in front of the monitor: the USB debug interface (its reply frame, protocol
// selection, reset and power) and the modem-line handshake of the legacy chips without one.
#include "sim/SimBoard.h"

#include "sim/SimBoardDetail.h"

namespace tessaro::sim {

using namespace board_detail;

bool SimBoard::InterfaceByte(uint8_t byte, SimClock::time_point now) {
  switch (byte) {
    case 0xBC: {
      // Behind a lost cable the interface sees no target, whatever its flags said before.
      uint8_t flags = linkLost_           ? 0x00
                      : options_.usbFlags ? *options_.usbFlags
                      : !powered_         ? 0x00
                      : chip_->legacyLink ? 0x04
                                          : 0x0D;
      for (uint8_t b :
           {uint8_t{0xCB}, options_.usbKind, options_.usbRevision, flags, uint8_t{0x01}, uint8_t{0x00}, uint8_t{0xCA}})
        Emit(b, true);
      if (!linkLost_) Reset(now);
      return true;
    }
    case 0xB2:
    case 0xB3:
      protocol_ = byte == 0xB2 ? 2 : 3;
      Emit(0xCA, true);
      return true;
    case 0xB0:
    case 0xB4:
      protocol_ = 0;
      Emit(0xCB, true);
      Emit(0xCA, true);
      return true;
    case 0xB7:
      if (options_.usbKind >= 2 && !refuseBaudSwitch_)
        interfaceBaud_ = 115200;
      else if (options_.usbKind < 2)
        Violation("0xB7 (higher baud rate) sent to an interface of kind below 2");
      return true;
    default: return false;
  }
}

// ---- handshake transfer of the legacy chips ----

void SimBoard::SetModemLines(bool rts, bool dtr) {
  std::lock_guard lock(mutex_);
  bool edge = rts != rts_;
  rts_ = rts;
  dtr_ = dtr;
  Tick(SimClock::now());
  if (!handshake() || !edge || unplugged_ || linkLost_ || !powered_) return;
  if (!firstHostByte_) firstHostByte_ = SimClock::now();
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
  if (rxBit_ % 2 == 0 && rts) return;                                   // bits start on a falling strobe
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

}  // namespace tessaro::sim
