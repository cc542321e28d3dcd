#include "cli/Port.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cli/Cli.h"
#include "common/Text.h"
#include "platform/PortTable.h"
#include "platform/PosixTtyDevice.h"
#include "platform/Settings.h"
#include "sim/BoardDevices.h"
#include "sim/BoardState.h"
#include "sim/SimPortDevice.h"

namespace tessaro::cli {

namespace {
// Every simulated board of this process reports here when it ends; main() reads the list.
std::mutex gViolationsLock;
std::vector<std::string> gViolations;
}  // namespace

std::vector<std::string> SimBoardViolations() {
  std::lock_guard<std::mutex> lock(gViolationsLock);
  return gViolations;
}

bool StrictSimBoards() {
  const char* value = std::getenv(kSimStrictVariable);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

struct SimBoardEnd {
  std::shared_ptr<sim::SimBoard> board;
  bool ended = false;

  std::vector<std::string> End() {
    if (ended || !board) return {};
    ended = true;
    // What a correct host never does is shown as tessaro-sim logs it: a host bug, or a test
    // that made the host misbehave on purpose.
    const std::vector<std::string> violations = board->Violations();
    for (const std::string& text : violations) WriteErr("tessaro-cli: simulated board: violation: " + text + "\n");
    {
      std::lock_guard<std::mutex> lock(gViolationsLock);
      gViolations.insert(gViolations.end(), violations.begin(), violations.end());
    }
    return sim::EndBoard(*board);
  }
  ~SimBoardEnd() {
    for (const std::string& message : End()) WriteErr("tessaro-cli: " + message + "\n");
  }
};

std::vector<std::string> EndSimBoard(PortChoice& port) {
  return port.boardEnd ? port.boardEnd->End() : std::vector<std::string>{};
}

std::vector<std::string> SimArguments(std::string_view options) { return sim::SplitSimOptionList(options); }

bool ResolvePort(const std::optional<std::string>& text, PortChoice& port, std::string& error) {
  SettingsFile settings(UserSettingsPath());
  settings.Load();
  if (!text) {
    port.number = static_cast<uint32_t>(settings.GetInt("Settings", "COM", 0)) + 1;
    port.opener = DefaultPortOpener();
    port.name = "COM" + std::to_string(port.number);
    return true;
  }
  port.name = *text;
  if (StartsWithNoCase(*text, "sim:") || EqualsNoCase(*text, "sim")) {
    sim::SimOptions options;
    if (!sim::ParseSimOptions(SimArguments(std::string_view(*text).substr(std::min<size_t>(4, text->size()))), options,
                              error))
      return false;
    port.board = sim::SimBoard::Create(options, &error);
    if (!port.board) return false;
    // A device of the named board that the simulation cannot wire is left off: say so, or the
    // run's failure on it would look like the host's.
    if (const auto devices = port.board->Devices())
      for (const std::string& note : devices->notes) WriteErr("tessaro-cli: simulated board: " + note + "\n");
    port.boardEnd = std::make_shared<SimBoardEnd>();
    port.boardEnd->board = port.board;
    port.opener = sim::SimPortOpener(port.board);
    port.number = 1;
    return true;
  }
  if (uint32_t number = ParseComName(*text); number != 0) {
    port.number = number;
    port.opener = DefaultPortOpener();
    return true;
  }
  if (text->empty() || (*text)[0] != '/') {
    error = "unknown port '" + *text + "' (COMn, a device path or sim:OPTIONS)";
    return false;
  }
  // A device path keeps the number the port table gives it; a new one is numbered for this
  // run only, the table is not changed.
  PortTable table(settings);
  port.number = table.Assign(*text);
  port.path = *text;
  const std::string path = *text;
  port.opener = [path](uint32_t) -> std::unique_ptr<PortDevice> { return OpenSerialDevice(path); };
  return true;
}

void AttachPort(SerialPort& link, const PortChoice& port) {
  link.SetPortOpener(port.opener);
  link.SetPortName(port.path);
}

}  // namespace tessaro::cli
