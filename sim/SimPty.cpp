#include "sim/SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tessaro::sim {

namespace {

uint32_t BaudOf(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
  }
}

// The longest the server sleeps, so a change of the host's line speed is seen soon.
constexpr int kMaxPollMs = 20;

}  // namespace

std::unique_ptr<SimPtyServer> SimPtyServer::Start(std::shared_ptr<SimBoard> board, std::string& error) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) ::close(master);
    return nullptr;
  }
  char name[128] = {};
  if (::ptsname_r(master, name, sizeof name) != 0) {
    error = "cannot name the pseudo-terminal";
    ::close(master);
    return nullptr;
  }
  // Holding the slave open keeps the master readable between host sessions, and raw mode
  // from the start means nothing is echoed before a host sets its own line settings.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (slave < 0 || wake < 0) {
    error = std::string("cannot open the pseudo-terminal: ") + std::strerror(errno);
    if (slave >= 0) ::close(slave);
    if (wake >= 0) ::close(wake);
    ::close(master);
    return nullptr;
  }
  termios tio{};
  if (::tcgetattr(slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  int flags = ::fcntl(master, F_GETFL);
  ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
  auto server = std::unique_ptr<SimPtyServer>(new SimPtyServer(std::move(board), master, slave, wake, name));
  server->thread_ = std::thread([raw = server.get()] { raw->Serve(); });
  return server;
}

SimPtyServer::SimPtyServer(std::shared_ptr<SimBoard> board, int master, int slave, int wake, std::string path)
    : board_(std::move(board)), master_(master), slave_(slave), wake_(wake), path_(std::move(path)) {}

SimPtyServer::~SimPtyServer() {
  Stop();
  ClosePair();
  ::close(wake_);
}

void SimPtyServer::ClosePair() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
}

void SimPtyServer::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  thread_.join();
}

void SimPtyServer::FollowLineSpeed() {
  termios tio{};
  if (::tcgetattr(master_, &tio) != 0) return;
  // The host's frame as the terminal settings of the pair say it.
  UartFormat line;
  line.baud = BaudOf(::cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
  }
  line.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 'O' : 'E') : 'N';
  line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
  if (!(line == lastLine_)) {
    lastLine_ = line;
    board_->SetHostLine(line);
  }
}

void SimPtyServer::Serve() {
  std::vector<uint8_t> buffer(4096);
  while (!stop_.load()) {
    FollowLineSpeed();
    int timeout = kMaxPollMs;
    if (auto next = board_->NextEvent()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - SimClock::now()).count() + 1;
      timeout = static_cast<int>(std::clamp<long long>(left, 0, kMaxPollMs));
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) {
      ssize_t got = ::read(master_, buffer.data(), buffer.size());
      if (got > 0) {
        FollowLineSpeed();
        board_->HostWrite(buffer.data(), static_cast<size_t>(got));
      }
    }
    size_t out = board_->TakeOutput(buffer.data(), buffer.size());
    if (board_->unplugged()) {
      // As a USB serial device does when it is pulled: the host's reads and writes fail and
      // the device node goes away (with the master side, the slave's name is removed).
      ClosePair();
      gone_.store(true);
      break;
    }
    size_t done = 0;
    while (done < out && !stop_.load()) {
      ssize_t put = ::write(master_, buffer.data() + done, out - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
      } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      } else {
        pollfd fd{master_, POLLOUT, 0};
        ::poll(&fd, 1, kMaxPollMs);
      }
    }
  }
}

}  // namespace tessaro::sim
