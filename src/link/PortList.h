// The list of COM ports as the port selection shows it, and the one-line description of a
// configured port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/PortWatch.h"

namespace tessaro {

struct PortEntry {
  uint32_t portNumber = 0;
  std::string name;  // friendly name without its "(COMn)" part; "" for bare device names
};

// Where the port names come from. `friendlyNames` lists present devices by friendly name
// ("USB Serial Port (COM5)"), nullopt when the device list cannot be had; `deviceNames` lists
// bare device names ("COM5").
struct PortSources {
  std::function<std::optional<std::vector<std::string>>()> friendlyNames;
  std::function<std::vector<std::string>()> deviceNames;
};

// This machine's serial devices, numbered through the port table in the user settings
// (new devices get the lowest free number, which is stored).
PortSources SystemPortSources();
// The same over a device list of the caller's (the ports a port watch knows).
PortSources PortSourcesOf(std::function<std::vector<SerialDevice>()> devices);

// Inserts an entry after every entry whose number is less than or equal to its own.
void InsertPortEntry(std::vector<PortEntry>& list, PortEntry entry);
// Fills `list` in ascending port order from the friendly names, or from the device names when
// the friendly names yield nothing.
void EnumeratePorts(std::vector<PortEntry>& list, const PortSources& sources);
// "COMn (name)", "COMn (available)" or "COMn (not available)"; true when the port is present.
bool DescribePort(uint32_t portNumber, std::string& text, const PortSources& sources);

// The combo line of one entry: "COMn", ": name" when there is a name, and the scan result
// when given (" (LYR9468)" or " (n/a)"); cut to fit 100 characters.
std::string PortLine(const PortEntry& entry, const std::optional<std::string>& scanResult);

// A port watch as the CLI prints it: the ports present, then each one as it comes and goes,
// as text lines ("  /dev/ttyS0 ...", "+ /dev/ttyUSB0 (COM5: FT232R USB UART, USB)",
// "- /dev/ttyUSB0 (...)") or JSON Lines ({"event":"present"|"added"|"removed","port":"COM5",...}).
struct PortWatchOutput {
  bool json = false;
  std::function<uint32_t(const std::string& path)> numberOf;  // the COM number of a device path
  std::function<void(const std::string& lines)> write;
};
// One line of the watch, line end included; `event` is "present", "added" or "removed".
std::string PortWatchLine(const std::string& event, uint32_t number, const SerialDevice& device, bool json);
// Watches until `stop` is requested (true) or the source fails (false, `error` says why).
[[nodiscard]] bool RunPortWatch(PortWatchSource& source, const WatchStop& stop, const PortWatchOutput& output,
                                std::string& error);

}  // namespace tessaro
