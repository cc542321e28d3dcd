// A serial device node (/dev/ttyUSB0, /dev/ttyS0, a pseudo-terminal) as a PortDevice: termios
// raw mode, poll() with an eventfd to interrupt reads, TIOCM ioctls for the modem lines that
// quietly do nothing where a device has none.
//
// Why termios here and not libserialport: the reader thread blocks in poll() on the device and
// an eventfd together, so stopping it is one write; libserialport's event sets wait on its
// ports only and offer no such wake-up. The 73xx handshake toggles RTS/DTR and samples
// CTS/DSR bit by bit, and a pseudo-terminal (tessaro-sim) must take those calls as no-ops
// (ENOTTY), which a direct ioctl states plainly. Enumeration stays with libudev (PortList),
// which gives the USB vendor and model strings users know. What libserialport would add is
// Windows and macOS support, which this program does not target.
#pragma once

#include <memory>
#include <string>

#include "platform/PortDevice.h"
#include "platform/SerialLatency.h"

namespace tessaro {

class PosixTtyDevice final : public PortDevice {
 public:
  // Opens the device exclusively and asks it for low latency (see SerialLatency; `sysfsRoot`
  // is where sysfs is mounted); null (with errno kept) when it cannot be opened. Closing puts
  // the latency settings back.
  static std::unique_ptr<PosixTtyDevice> Open(const std::string& path, const std::string& sysfsRoot = "/sys");
  ~PosixTtyDevice() override;

  [[nodiscard]] bool ApplyLineSettings(const LineSettings& settings) override;
  long Read(uint8_t* buffer, size_t capacity) override;
  void InterruptRead() override;
  [[nodiscard]] bool Write(const uint8_t* data, size_t size) override;
  void SetRts(bool on) override;
  void SetDtr(bool on) override;
  bool Cts() override;
  bool Dsr() override;

  const std::string& path() const { return path_; }
  const SerialLatency& latency() const { return latency_; }

 private:
  PosixTtyDevice(std::string path, int fd, int wakeFd, const std::string& sysfsRoot)
      : path_(std::move(path)), fd_(fd), wakeFd_(wakeFd), latency_(sysfsRoot) {}
  void SetModemBit(int bit, bool on);
  bool ModemBit(int bit);

  std::string path_;
  int fd_ = -1;
  int wakeFd_ = -1;
  SerialLatency latency_;
};

// The programs' way to open a real port: PosixTtyDevice::Open, and the latency hint (if any)
// on stderr, once per device and run.
std::unique_ptr<PosixTtyDevice> OpenSerialDevice(const std::string& path);

// termios speed constant for a baud rate; 0 when the rate is not a standard one.
unsigned TermiosSpeed(uint32_t baudRate);

}  // namespace tessaro
