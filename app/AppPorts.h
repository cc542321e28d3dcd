// The ports of the desktop program: the port table of the user settings, where an entry may
// name a simulated board ("COM9=sim:--chip=LYR8721,--interface=usb") instead of a device.
// A simulated board is made the first time its port opens and lives for the whole run, so
// what PROGRAM! wrote is still there for Verify and after a re-link.
// Ports that come and go are followed through a port watch (udev's monitor in the program, a
// fake source in tests): the port list is then the ports the watch knows, and the views that
// subscribed hear of every change on the GUI thread.
#pragma once
#include <QSocketNotifier>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "link/PortList.h"
#include "link/SerialPort.h"
#include "platform/PortWatch.h"
#include "sim/SimBoard.h"

namespace tessaro::app {

class AppPorts {
 public:
  AppPorts() = default;
  ~AppPorts();
  AppPorts(const AppPorts&) = delete;
  AppPorts& operator=(const AppPorts&) = delete;

  // Opens COMn as the port table names it: a tty device or a simulated board.
  PortOpener Opener();
  // The present devices plus every simulated board of the table, as the port list shows them.
  PortSources Sources();
  // The simulated board behind COMn, made on demand; null when the entry is not "sim:" or
  // its options are wrong (`error` says why).
  std::shared_ptr<sim::SimBoard> SimBoardOf(uint32_t number, std::string* error = nullptr);
  // Ends every simulated board (state files, memory dumps); returns what could not be written.
  std::vector<std::string> EndBoards();
  // The device path (or "sim:" entry) the port table gives COMn.
  std::optional<std::string> PathOf(uint32_t number) const;

  // Follows ports as they come and go through `source`; false (with `error`) when the source
  // cannot watch, and the port list is then read afresh each time as before.
  [[nodiscard]] bool StartWatch(std::unique_ptr<PortWatchSource> source, std::string& error);
  bool Watching() const { return notifier_ != nullptr; }
  using PortListener = std::function<void(const std::vector<PortEvent>& changes)>;
  // `listener` hears of the ports that came or went (on the GUI thread) until Unsubscribe.
  int Subscribe(PortListener listener);
  void Unsubscribe(int id);

 private:
  void OnPortEvents();

  // A port scan opens ports from a thread of its own.
  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<sim::SimBoard>> boards_;

  std::unique_ptr<PortWatchSource> watchSource_;
  std::unique_ptr<QSocketNotifier> notifier_;
  PortSet watched_;
  std::map<int, PortListener> listeners_;
  int nextListener_ = 1;
};

// "sim:--chip=X,--interface=usb" -> the sim options of the entry; false when it is no sim entry.
bool IsSimEntry(const std::string& path);

}  // namespace tessaro::app
