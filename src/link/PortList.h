// The list of COM ports as the port selection shows it, and the one-line description of a
// configured port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace tessaro
