// The operating-system side of a serial channel: open device, line settings, reads that a
// second thread can interrupt, writes, and the RTS/DTR/CTS/DSR modem lines. SerialPort owns one;
// the real one is a POSIX tty, the simulated board provides an in-process one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tessaro {

struct LineSettings {
  uint32_t baudRate = 19200;
  char parity = 'N';  // 'E'/'e' even, 'O'/'o' odd, anything else none
  uint32_t dataBits = 8;
  uint32_t stopBits = 2;  // 2 means two stop bits, anything else one
};

class PortDevice {
 public:
  virtual ~PortDevice() = default;

  // Raw mode with these settings, no flow control. False when the device refuses them.
  [[nodiscard]] virtual bool ApplyLineSettings(const LineSettings& settings) = 0;

  // Waits until bytes arrive, InterruptRead() is called, or the device fails. Returns the
  // number of bytes stored (> 0), 0 when interrupted, -1 on an error or a hang-up.
  // An interrupt that comes before the call makes the next call return 0 at once.
  virtual long Read(uint8_t* buffer, size_t capacity) = 0;
  // Wakes a Read() in progress (or the next one); callable from any thread.
  virtual void InterruptRead() = 0;

  // Hands all bytes to the device; false when they could not be written within a bounded time.
  [[nodiscard]] virtual bool Write(const uint8_t* data, size_t size) = 0;

  // Modem lines. Devices without them (pseudo-terminals) ignore the outputs and read "off".
  virtual void SetRts(bool on) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual bool Cts() = 0;
  virtual bool Dsr() = 0;
};

}  // namespace tessaro
