#include "platform/PortWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>

#ifdef TESSARO_HAVE_UDEV
#include <libudev.h>
#include "platform/UdevDevice.h"
#endif

namespace tessaro {
namespace {

void Signal(int fd) {
  const uint64_t one = 1;
  // A full counter already wakes the reader; nothing to do about a failed write.
  (void)!::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t count = 0;
  (void)!::read(fd, &count, sizeof count);
}

#ifdef TESSARO_HAVE_UDEV
class UdevPortWatchSource : public PortWatchSource {
 public:
  ~UdevPortWatchSource() override {
    if (monitor_) udev_monitor_unref(monitor_);
    if (context_) udev_unref(context_);
  }

  bool Start(std::string& error) override {
    if (monitor_) return true;
    context_ = udev_new();
    if (context_) monitor_ = udev_monitor_new_from_netlink(context_, "udev");
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      error = "Cannot watch the serial ports: the udev monitor could not be opened";
      if (monitor_) udev_monitor_unref(monitor_);
      monitor_ = nullptr;
      return false;
    }
    return true;
  }

  std::vector<SerialDevice> Present() override { return FindSerialDevices(); }
  int EventFd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

  std::vector<PortEvent> TakeEvents() override {
    std::vector<PortEvent> events;
    if (!monitor_) return events;
    // The monitor's socket does not block: receiving ends when nothing is left.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(device);
      const std::string kind = action ? action : "";
      if (kind == "add" || kind == "remove") {
        const bool added = kind == "add";
        if (auto serial = UdevSerialDevice(device, added))
          events.push_back({added ? PortEvent::Kind::Added : PortEvent::Kind::Removed, std::move(*serial)});
      }
      udev_device_unref(device);
    }
    return events;
  }

 private:
  udev* context_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};
#else
class UnavailablePortWatchSource : public PortWatchSource {
 public:
  bool Start(std::string& error) override {
    error = "Port watching is not available: this program was built without libudev";
    return false;
  }
  std::vector<SerialDevice> Present() override { return FindSerialDevices(); }
  int EventFd() const override { return -1; }
  std::vector<PortEvent> TakeEvents() override { return {}; }
};
#endif

}  // namespace

std::unique_ptr<PortWatchSource> SystemPortWatchSource() {
#ifdef TESSARO_HAVE_UDEV
  return std::make_unique<UdevPortWatchSource>();
#else
  return std::make_unique<UnavailablePortWatchSource>();
#endif
}

// ---- fake source ---------------------------------------------------------------------------

FakePortWatchSource::FakePortWatchSource(std::vector<SerialDevice> present)
    : present_(std::move(present)), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FakePortWatchSource::~FakePortWatchSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FakePortWatchSource::Start(std::string& error) {
  if (!startError_.empty() || fd_ < 0) {
    error = startError_.empty() ? "eventfd failed" : startError_;
    return false;
  }
  started_ = true;
  return true;
}

void FakePortWatchSource::Push(PortEvent event) {
  const std::lock_guard lock(mutex_);
  queue_.push_back(std::move(event));
  Signal(fd_);
}

std::vector<PortEvent> FakePortWatchSource::TakeEvents() {
  const std::lock_guard lock(mutex_);
  Drain(fd_);
  std::vector<PortEvent> events;
  events.swap(queue_);
  return events;
}

// ---- stop ----------------------------------------------------------------------------------

WatchStop::WatchStop() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WatchStop::~WatchStop() {
  if (fd_ >= 0) ::close(fd_);
}

void WatchStop::Request() const { Signal(fd_); }

bool WatchStop::Requested() const {
  pollfd entry{fd_, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

void WatchStop::Clear() const { Drain(fd_); }

WatchWait WaitForPortEvents(const PortWatchSource& source, const WatchStop& stop, int timeoutMs) {
  if (source.EventFd() < 0 || stop.Fd() < 0) return WatchWait::Failed;
  pollfd entries[2] = {{source.EventFd(), POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(entries, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) {
      // A signal handler may just have requested the stop.
      if (stop.Requested()) return WatchWait::Stopped;
      continue;
    }
    if (ready < 0) return WatchWait::Failed;
    if (entries[0].revents & POLLIN) return WatchWait::Events;
    if (entries[1].revents & POLLIN) return WatchWait::Stopped;
    if (ready == 0) return WatchWait::Events;
    return WatchWait::Failed;  // POLLERR / POLLHUP / POLLNVAL on a descriptor
  }
}

// ---- known ports ---------------------------------------------------------------------------

void PortSet::Reset(const std::vector<SerialDevice>& present) {
  devices_ = present;
  std::sort(devices_.begin(), devices_.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
}

std::vector<PortEvent> PortSet::Apply(const std::vector<PortEvent>& events) {
  std::vector<PortEvent> changes;
  for (const PortEvent& event : events) {
    auto at = std::lower_bound(devices_.begin(), devices_.end(), event.device.path,
                               [](const SerialDevice& device, const std::string& path) { return device.path < path; });
    const bool known = at != devices_.end() && at->path == event.device.path;
    if (event.kind == PortEvent::Kind::Added && !known) {
      devices_.insert(at, event.device);
      changes.push_back(event);
    } else if (event.kind == PortEvent::Kind::Removed && known) {
      // What the add said about the device; a removal may carry less.
      changes.push_back({PortEvent::Kind::Removed, *at});
      devices_.erase(at);
    }
  }
  return changes;
}

}  // namespace tessaro
