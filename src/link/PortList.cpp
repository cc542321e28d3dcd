#include "link/PortList.h"

#include <sys/stat.h>
#include <cstdlib>

#include "common/Json.h"
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

PortSources SystemPortSources() { return PortSourcesOf(FindSerialDevices); }

PortSources PortSourcesOf(std::function<std::vector<SerialDevice>()> devices) {
  PortSources sources;
  sources.friendlyNames = [devices = std::move(devices)]() -> std::optional<std::vector<std::string>> {
    SettingsFile settings(UserSettingsPath());
    settings.Load();
    PortTable table(settings);
    std::vector<std::string> names;
    for (const auto& device : devices()) {
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

std::string PortWatchLine(const std::string& event, uint32_t number, const SerialDevice& device, bool json) {
  const std::string port = "COM" + std::to_string(number);
  if (json) {
    JsonWriter line(false);
    line.BeginObject();
    line.Field("event", event).Field("port", port).Field("path", device.path);
    line.Field("name", device.friendlyName).Field("usb", device.usb);
    line.EndObject();
    return line.Finish();
  }
  const char* sign = event == "added" ? "+ " : event == "removed" ? "- " : "  ";
  std::string text = sign + device.path + " (" + port;
  if (!device.friendlyName.empty()) text += ": " + device.friendlyName;
  if (device.usb) text += ", USB";
  return text + ")\n";
}

bool RunPortWatch(PortWatchSource& source, const WatchStop& stop, const PortWatchOutput& output, std::string& error) {
  if (!source.Start(error)) return false;
  PortSet ports;
  ports.Reset(source.Present());
  std::string lines;
  for (const SerialDevice& device : ports.Devices())
    lines += PortWatchLine("present", output.numberOf(device.path), device, output.json);
  if (!lines.empty()) output.write(lines);
  for (;;) {
    const WatchWait wait = WaitForPortEvents(source, stop);
    if (wait == WatchWait::Stopped) return true;
    if (wait == WatchWait::Failed) {
      error = "Cannot watch the serial ports: waiting for port events failed";
      return false;
    }
    lines.clear();
    for (const PortEvent& change : ports.Apply(source.TakeEvents())) {
      const bool added = change.kind == PortEvent::Kind::Added;
      lines +=
          PortWatchLine(added ? "added" : "removed", output.numberOf(change.device.path), change.device, output.json);
    }
    if (!lines.empty()) output.write(lines);
  }
}

}  // namespace tessaro
