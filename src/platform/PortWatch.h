// Serial ports that come and go: a source of add/remove events (libudev's monitor on this
// machine, a fake one in tests), the set of ports a watcher knows, and a stop that ends a
// wait from another thread or a signal handler. Nothing here polls: a watcher waits on the
// source's descriptor and the stop's together.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/PortTable.h"

namespace tessaro {

struct PortEvent {
  enum class Kind { Added, Removed };
  Kind kind = Kind::Added;
  SerialDevice device;
  bool operator==(const PortEvent&) const = default;
};

class PortWatchSource {
 public:
  virtual ~PortWatchSource() = default;
  // Starts listening; events from then on are kept. False (with `error`) when ports cannot
  // be watched on this machine.
  [[nodiscard]] virtual bool Start(std::string& error) = 0;
  // The serial devices present; read after Start, so that no port falls between the two.
  virtual std::vector<SerialDevice> Present() = 0;
  // Readable (POLLIN) while events are waiting; -1 before Start.
  virtual int EventFd() const = 0;
  // The events that have arrived, without waiting.
  virtual std::vector<PortEvent> TakeEvents() = 0;
};

// libudev's monitor on the tty subsystem; without libudev, a source whose Start says that
// port watching is not available.
std::unique_ptr<PortWatchSource> SystemPortWatchSource();

// A source driven by a test: Push() from any thread wakes the watcher.
class FakePortWatchSource : public PortWatchSource {
 public:
  explicit FakePortWatchSource(std::vector<SerialDevice> present = {});
  ~FakePortWatchSource() override;
  FakePortWatchSource(const FakePortWatchSource&) = delete;
  FakePortWatchSource& operator=(const FakePortWatchSource&) = delete;

  void Push(PortEvent event);
  // Start fails with this text from now on.
  void FailStart(std::string error) { startError_ = std::move(error); }

  bool Start(std::string& error) override;
  std::vector<SerialDevice> Present() override { return present_; }
  int EventFd() const override { return started_ ? fd_ : -1; }
  std::vector<PortEvent> TakeEvents() override;

 private:
  std::vector<SerialDevice> present_;
  std::string startError_;
  bool started_ = false;
  int fd_ = -1;  // eventfd
  std::mutex mutex_;
  std::vector<PortEvent> queue_;
};

// Ends a port watch. Request() is async-signal-safe (a write to an eventfd), so a SIGINT
// handler may call it; the stop stays requested until Clear().
class WatchStop {
 public:
  WatchStop();
  ~WatchStop();
  WatchStop(const WatchStop&) = delete;
  WatchStop& operator=(const WatchStop&) = delete;
  void Request() const;
  bool Requested() const;
  void Clear() const;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

enum class WatchWait { Events, Stopped, Failed };
// Waits until the source has events or the stop is requested (a stop wins when both are
// ready only after the events were taken: the caller takes events first). `timeoutMs` -1
// waits without end; a timeout counts as Events with nothing to take.
WatchWait WaitForPortEvents(const PortWatchSource& source, const WatchStop& stop, int timeoutMs = -1);

// The ports a watcher knows: an add of a known path or a removal of an unknown one (a
// virtual terminal, a repeated event) changes nothing and is dropped.
class PortSet {
 public:
  void Reset(const std::vector<SerialDevice>& present);
  // The events that changed the set, in order.
  std::vector<PortEvent> Apply(const std::vector<PortEvent>& events);
  const std::vector<SerialDevice>& Devices() const { return devices_; }  // sorted by path

 private:
  std::vector<SerialDevice> devices_;
};

}  // namespace tessaro
