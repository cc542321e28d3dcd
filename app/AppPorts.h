// The ports of the desktop program: the port table of the user settings, where an entry may
// name a simulated board ("COM9=sim:--chip=LYR8721,--interface=usb") instead of a device.
// A simulated board is made the first time its port opens and lives for the whole run, so
// what PROGRAM! wrote is still there for Verify and after a re-link.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "link/PortList.h"
#include "link/SerialPort.h"
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

 private:
  // A port scan opens ports from a thread of its own.
  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<sim::SimBoard>> boards_;
};

// "sim:--chip=X,--interface=usb" -> the sim options of the entry; false when it is no sim entry.
bool IsSimEntry(const std::string& path);

}  // namespace tessaro::app
