// tessaro-cli ports: the COM ports as the port selection lists them, optionally scanned for a
// chip on each.
#include "cli/Cli.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "link/PortList.h"
#include "link/SerialPort.h"
#include "platform/PortTable.h"
#include "platform/Settings.h"

namespace tessaro::cli {
namespace {

int RunPorts(std::vector<std::string>& argv) {
  ArgReader args("ports", argv);
  args.Flag("scan").Flag("json");
  if (!args.Parse()) return args.ParseExit();
  if (!args.Positional().empty()) return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");

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

const CommandRegistration kPorts("ports", "ports [--scan] [--json]", RunPorts);

}  // namespace
}  // namespace tessaro::cli
