// Low latency on a real serial port. A USB-serial adapter hands received bytes to the host when
// its buffer fills or its latency timer runs out (16 ms by default on FTDI-type chips), and the
// kernel's serial layer may defer them too: each answer the host waits for can cost that much.
// On open we ask the driver for low latency (ASYNC_LOW_LATENCY) and set the adapter's
// `latency_timer` attribute in sysfs to 1 ms where we may; on close both get back what they
// were. Where the attribute cannot be written, `hint()` says in one line how to make it so.
#pragma once

#include <optional>
#include <string>

namespace tessaro {

class SerialLatency {
 public:
  // `sysfsRoot` is where sysfs is mounted (tests pass a folder of their own).
  explicit SerialLatency(std::string sysfsRoot = "/sys") : sysfsRoot_(std::move(sysfsRoot)) {}

  // For the open tty `fd` whose device node is `devicePath` (a symbolic link is followed).
  void Lower(int fd, const std::string& devicePath);
  // Puts back what Lower changed; the port is still open.
  void Restore(int fd);

  // One line for the user when the adapter's latency timer stays above 1 ms; empty otherwise.
  const std::string& hint() const { return hint_; }
  // The adapter's latency_timer attribute, empty when the device has none.
  const std::string& timerPath() const { return timerPath_; }

 private:
  std::string sysfsRoot_;
  std::optional<int> oldSerialFlags_;  // set when ASYNC_LOW_LATENCY was switched on by us
  std::string timerPath_;
  std::optional<std::string> oldTimer_;  // set when the timer was lowered by us
  std::string hint_;
};

}  // namespace tessaro
