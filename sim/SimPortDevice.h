// The in-process transport of the simulated board: a PortDevice with modem lines, so every
// transport mode (the 73xx handshake included) runs against the board without a terminal.
#pragma once

#include <memory>

#include "link/SerialPort.h"
#include "platform/PortDevice.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

class SimPortDevice final : public PortDevice {
 public:
  explicit SimPortDevice(std::shared_ptr<SimBoard> board);
  ~SimPortDevice() override = default;

  [[nodiscard]] bool ApplyLineSettings(const LineSettings& settings) override;
  long Read(uint8_t* buffer, size_t capacity) override;
  void InterruptRead() override;
  [[nodiscard]] bool Write(const uint8_t* data, size_t size) override;
  void SetRts(bool on) override;
  void SetDtr(bool on) override;
  bool Cts() override;
  bool Dsr() override;

 private:
  std::shared_ptr<SimBoard> board_;
  bool interrupted_ = false;  // guarded by the board's lock
  bool rts_ = false;
  bool dtr_ = false;
};

// A port opener for SerialPort that connects to `board` for the port number `portNumber`
// (0: any number). Each open is a fresh connection to the same board.
PortOpener SimPortOpener(std::shared_ptr<SimBoard> board, uint32_t portNumber = 0);

}  // namespace tessaro::sim
