#include "sim/SimPortDevice.h"

namespace tessaro::sim {

SimPortDevice::SimPortDevice(std::shared_ptr<SimBoard> board) : board_(std::move(board)) { board_->PortOpened(); }

bool SimPortDevice::ApplyLineSettings(const LineSettings& settings) {
  const char parity = settings.parity == 'E' || settings.parity == 'e'   ? 'E'
                      : settings.parity == 'O' || settings.parity == 'o' ? 'O'
                                                                         : 'N';
  board_->SetHostLine(UartFormat{settings.baudRate, settings.dataBits, parity, settings.stopBits == 2 ? 2u : 1u});
  return true;
}

long SimPortDevice::Read(uint8_t* buffer, size_t capacity) {
  return board_->WaitOutput(buffer, capacity, interrupted_);
}

void SimPortDevice::InterruptRead() { board_->Interrupt(interrupted_); }

bool SimPortDevice::Write(const uint8_t* data, size_t size) {
  if (board_->unplugged()) return false;
  board_->HostWrite(data, size);
  return true;
}

void SimPortDevice::SetRts(bool on) {
  rts_ = on;
  board_->SetModemLines(rts_, dtr_);
}

void SimPortDevice::SetDtr(bool on) {
  dtr_ = on;
  board_->SetModemLines(rts_, dtr_);
}

bool SimPortDevice::Cts() { return board_->Cts(); }
bool SimPortDevice::Dsr() { return board_->Dsr(); }

PortOpener SimPortOpener(std::shared_ptr<SimBoard> board, uint32_t portNumber) {
  return [board, portNumber](uint32_t number) -> std::unique_ptr<PortDevice> {
    if (portNumber != 0 && number != portNumber) return nullptr;
    if (board->unplugged()) return nullptr;
    return std::make_unique<SimPortDevice>(board);
  };
}

}  // namespace tessaro::sim
