// tessaro-cli ports: the COM ports as the port selection lists them, optionally scanned for a
// chip on each, or watched as they come and go until Ctrl-C.
#include <atomic>
#include <csignal>
#include <memory>

#include "cli/Cli.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "link/PortList.h"
#include "link/SerialPort.h"
#include "platform/PortTable.h"
#include "platform/PortWatch.h"
#include "platform/Settings.h"

namespace tessaro::cli {
namespace {

// The stop a SIGINT requests while a watch runs.
std::atomic<const WatchStop*> watchStop{nullptr};

extern "C" void OnWatchInterrupt(int) {
  if (const WatchStop* stop = watchStop.load()) stop->Request();
}

// The COM number of a device path, stored in the port table when the device is new (as the
// port list does), so a number stays with its device.
uint32_t NumberOfDevice(const std::string& path) {
  SettingsFile settings(UserSettingsPath());
  settings.Load();
  PortTable table(settings);
  const uint32_t number = table.Assign(path);
  if (table.changed()) {
    table.Store(settings);
    (void)settings.Save();
  }
  return number;
}

int WatchPorts(bool json) {
  WatchStop stop;
  std::unique_ptr<PortWatchSource> source = SystemPortWatchSource();
  watchStop = &stop;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnWatchInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previous);
  WriteErr("Watching the serial ports; Ctrl-C ends.\n");
  PortWatchOutput output{json, NumberOfDevice, WriteOut};
  std::string error;
  const bool stopped = RunPortWatch(*source, stop, output, error);
  ::sigaction(SIGINT, &previous, nullptr);
  watchStop = nullptr;
  if (!stopped) {
    WriteErr("tessaro-cli ports: " + error + "\n");
    return kExitFailed;
  }
  return kExitOk;
}

int RunPorts(std::vector<std::string>& argv) {
  ArgReader args("ports", argv);
  args.Flag("scan").Flag("json").Flag("watch",
                                      "print the ports present, then each one as it comes and goes, until Ctrl-C");
  if (!args.Parse()) return args.ParseExit();
  if (!args.Positional().empty()) return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
  if (args.Has("watch")) {
    if (args.Has("scan")) return args.UsageError("--watch and --scan cannot be combined");
    return WatchPorts(args.Has("json"));
  }

  std::vector<PortEntry> list;
  EnumeratePorts(list, SystemPortSources());
  SettingsFile settings(UserSettingsPath());
  settings.Load();
  PortTable table(settings);
  // The configured port is always listed, as "(unavailable)" when it was not found.
  uint32_t configured = static_cast<uint32_t>(settings.GetInt("Settings", "COM", 0)) + 1;
  bool found = false;
  for (const auto& entry : list) found = found || entry.portNumber == configured;
  if (!found) InsertPortEntry(list, {configured, "(unavailable)"});

  TerminalPrompt prompt;
  SerialPort link;
  link.SetPrompt(&prompt);
  JsonWriter json;
  json.BeginArray();
  std::string text;
  for (const auto& entry : list) {
    std::optional<std::string> scan;
    const ChipInfo* chip = nullptr;
    if (args.Has("scan")) {
      chip = link.ProbePort(nullptr, entry.portNumber, false);
      link.CloseLink(false);
      scan = chip ? chip->name : "n/a";
    }
    text += PortLine(entry, scan) + "\n";
    json.BeginObject();
    json.Field("port", "COM" + std::to_string(entry.portNumber));
    json.Field("name", entry.name);
    json.Key("path");
    if (auto path = table.PathOf(entry.portNumber))
      json.String(*path);
    else
      json.Null();
    json.Key("chip");
    chip ? json.String(chip->name) : json.Null();
    json.EndObject();
  }
  json.EndArray();
  WriteOut(args.Has("json") ? json.Finish() : text);
  return kExitOk;
}

const CommandRegistration kPorts("ports", "ports [--scan | --watch] [--json]", RunPorts);

}  // namespace
}  // namespace tessaro::cli
