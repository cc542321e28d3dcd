#include "platform/PosixTtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>

namespace tessaro {

namespace {
// A write that cannot move on within this time is given up, so a stalled device never hangs
// the protocol thread.
constexpr int kWriteTimeoutMs = 1000;
}  // namespace

unsigned TermiosSpeed(uint32_t baudRate) {
  switch (baudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
  }
}

std::unique_ptr<PosixTtyDevice> PosixTtyDevice::Open(const std::string& path, const std::string& sysfsRoot) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Not shared: a second open of the same tty fails while we hold it.
  if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  std::unique_ptr<PosixTtyDevice> device(new PosixTtyDevice(path, fd, wakeFd, sysfsRoot));
  device->latency_.Lower(fd, path);
  return device;
}

std::unique_ptr<PosixTtyDevice> OpenSerialDevice(const std::string& path) {
  auto device = PosixTtyDevice::Open(path);
  if (!device || device->latency().hint().empty()) return device;
  static std::mutex mutex;
  static std::set<std::string> hinted;
  std::lock_guard lock(mutex);
  if (hinted.insert(path).second) std::fprintf(stderr, "%s\n", device->latency().hint().c_str());
  return device;
}

PosixTtyDevice::~PosixTtyDevice() {
  if (fd_ >= 0) {
    latency_.Restore(fd_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool PosixTtyDevice::ApplyLineSettings(const LineSettings& settings) {
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  unsigned speed = TermiosSpeed(settings.baudRate);
  if (speed == 0) return false;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  switch (settings.dataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
  }
  if (settings.parity == 'E' || settings.parity == 'e') tio.c_cflag |= PARENB;
  if (settings.parity == 'O' || settings.parity == 'o') tio.c_cflag |= PARENB | PARODD;
  if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
}

long PosixTtyDevice::Read(uint8_t* buffer, size_t capacity) {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      (void)!::read(wakeFd_, &count, sizeof count);
      return 0;
    }
    if (fds[0].revents & POLLIN) {
      ssize_t got = ::read(fd_, buffer, capacity);
      if (got > 0) return got;
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return -1;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return -1;
  }
}

void PosixTtyDevice::InterruptRead() {
  uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

bool PosixTtyDevice::Write(const uint8_t* data, size_t size) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  size_t done = 0;
  while (done < size) {
    ssize_t put = ::write(fd_, data + done, size - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{fd_, POLLOUT, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
  }
  return true;
}

void PosixTtyDevice::SetModemBit(int bit, bool on) {
  // Devices without modem lines answer ENOTTY or EINVAL: nothing to drive.
  (void)::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

bool PosixTtyDevice::ModemBit(int bit) {
  int status = 0;
  if (::ioctl(fd_, TIOCMGET, &status) != 0) return false;
  return (status & bit) != 0;
}

void PosixTtyDevice::SetRts(bool on) { SetModemBit(TIOCM_RTS, on); }
void PosixTtyDevice::SetDtr(bool on) { SetModemBit(TIOCM_DTR, on); }
bool PosixTtyDevice::Cts() { return ModemBit(TIOCM_CTS); }
bool PosixTtyDevice::Dsr() { return ModemBit(TIOCM_DSR); }

}  // namespace tessaro
