#include "platform/SerialLatency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <fstream>

namespace tessaro {

namespace {

std::optional<std::string> ReadAttribute(const std::string& path) {
  std::ifstream in(path);
  std::string value;
  if (!in || !std::getline(in, value)) return std::nullopt;
  return value;
}

bool WriteAttribute(const std::string& path, const std::string& value) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out) return false;
  out << value << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

void SerialLatency::Lower(int fd, const std::string& devicePath) {
  // The driver's own deferral: ports without serial_struct (pseudo-terminals, some USB
  // drivers) refuse the call, and there is nothing to lower.
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
    const int old = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) == 0) oldSerialFlags_ = old;
  }

  // The adapter's latency timer, an attribute of the tty's device (ftdi_sio and alike).
  std::error_code error;
  const std::filesystem::path node = std::filesystem::canonical(devicePath, error);
  const std::string name = (error ? std::filesystem::path(devicePath) : node).filename().string();
  const std::string path = sysfsRoot_ + "/class/tty/" + name + "/device/latency_timer";
  const std::optional<std::string> value = ReadAttribute(path);
  if (!value) return;
  timerPath_ = path;
  if (*value == "1") return;
  if (WriteAttribute(path, "1") && ReadAttribute(path) == std::optional<std::string>("1")) {
    oldTimer_ = *value;
    return;
  }
  hint_ = name + ": the adapter's latency timer is " + *value +
          " ms; for faster programming set it to 1 ms (as root: echo 1 > " + path + ")";
}

void SerialLatency::Restore(int fd) {
  if (oldSerialFlags_) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (*oldSerialFlags_ & ASYNC_LOW_LATENCY);
      (void)::ioctl(fd, TIOCSSERIAL, &serial);
    }
    oldSerialFlags_.reset();
  }
  if (oldTimer_) {
    (void)WriteAttribute(timerPath_, *oldTimer_);
    oldTimer_.reset();
  }
}

}  // namespace tessaro
