#include "link/PortList.h"

#include <sys/stat.h>
#include <cstdlib>

#include "common/Text.h"
#include "platform/PortTable.h"

namespace tessaro {

namespace {

constexpr size_t kComboLineSize = 100;

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Splits "Friendly Name (COM12)" into its name and number, as the setup API's friendly names
// are read: the number follows "(COM" as strtol reads it. False when there is no "(COM".
bool SplitFriendlyName(const std::string& friendly, std::string& name, long& number) {
  size_t at = friendly.find("(COM");
  if (at == std::string::npos) return false;
  size_t end = at;
  while (end > 0 && static_cast<unsigned char>(friendly[end - 1]) <= 0x20) --end;
  name = friendly.substr(0, end);
  number = std::strtol(friendly.c_str() + at + 4, nullptr, 10);
  return true;
}

// Number of a bare device name "COMn" (any case), as strtol reads what follows.
long DeviceNameNumber(const std::string& device) {
  if (device.size() < 3 || !StartsWithNoCase(device, "COM")) return 0;
  return std::strtol(device.c_str() + 3, nullptr, 10);
}

}  // namespace

PortSources SystemPortSources() {
  PortSources sources;
  sources.friendlyNames = []() -> std::optional<std::vector<std::string>> {
    SettingsFile settings(UserSettingsPath());
    settings.Load();
    PortTable table(settings);
    std::vector<std::string> names;
    for (const auto& device : FindSerialDevices()) {
      uint32_t number = table.Assign(device.path);
      if (!device.friendlyName.empty()) names.push_back(device.friendlyName + " (COM" + std::to_string(number) + ")");
    }
    if (table.changed()) {
      table.Store(settings);
      (void)settings.Save();
    }
    return names;
  };
  sources.deviceNames = []() {
    SettingsFile settings(UserSettingsPath());
    settings.Load();
    PortTable table(settings);
    std::vector<std::string> names;
    for (const auto& [number, path] : table.Entries())
      if (PathExists(path)) names.push_back("COM" + std::to_string(number));
    return names;
  };
  return sources;
}

void InsertPortEntry(std::vector<PortEntry>& list, PortEntry entry) {
  auto it = list.begin();
  while (it != list.end() && it->portNumber <= entry.portNumber) ++it;
  list.insert(it, std::move(entry));
}

void EnumeratePorts(std::vector<PortEntry>& list, const PortSources& sources) {
  if (sources.friendlyNames) {
    if (auto names = sources.friendlyNames()) {
      for (const auto& friendly : *names) {
        std::string name;
        long number = 0;
        if (SplitFriendlyName(friendly, name, number)) InsertPortEntry(list, {static_cast<uint32_t>(number), name});
      }
    }
  }
  if (!list.empty() || !sources.deviceNames) return;
  for (const auto& device : sources.deviceNames()) {
    long number = DeviceNameNumber(device);
    if (number > 0) InsertPortEntry(list, {static_cast<uint32_t>(number), ""});
  }
}

bool DescribePort(uint32_t portNumber, std::string& text, const PortSources& sources) {
  text = "COM" + std::to_string(portNumber) + " (";
  bool anyDevice = false;
  if (sources.friendlyNames) {
    if (auto names = sources.friendlyNames()) {
      for (const auto& friendly : *names) {
        std::string name;
        long number = 0;
        if (!SplitFriendlyName(friendly, name, number)) continue;
        anyDevice = true;
        if (number == static_cast<long>(portNumber)) {
          text += name + ")";
          return true;
        }
      }
    }
  }
  if (!anyDevice && sources.deviceNames) {
    for (const auto& device : sources.deviceNames()) {
      if (DeviceNameNumber(device) == static_cast<long>(portNumber)) {
        text += "available)";
        return true;
      }
    }
  }
  text += "not available)";
  return false;
}

std::string PortLine(const PortEntry& entry, const std::optional<std::string>& scanResult) {
  std::string line = "COM" + std::to_string(entry.portNumber);
  if (!entry.name.empty()) line += ": " + entry.name;
  if (scanResult) line += " (" + *scanResult + ")";
  if (line.size() > kComboLineSize - 1) line.resize(kComboLineSize - 1);
  return line;
}

}  // namespace tessaro
