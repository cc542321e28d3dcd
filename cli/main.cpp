// tessaro-cli: the programmer's work from a shell, for scripts and production lines.
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/Port.h"

using namespace tessaro::cli;

namespace {
int PrintUsage(bool toStderr) {
  std::string text = "usage: tessaro-cli COMMAND [OPTIONS]\n\ncommands:\n";
  for (const auto& [name, info] : Commands()) text += "  " + info.usage + "\n";
  text +=
      "\nEvery command takes --json for machine-readable output on stdout.\n"
      "Exit codes: 0 success, 1 invalid input or failed operation, 2 usage error.\n";
  toStderr ? WriteErr(text) : WriteOut(text);
  return toStderr ? kExitUsage : kExitOk;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return PrintUsage(true);
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return PrintUsage(false);
  auto it = Commands().find(command);
  if (it == Commands().end()) {
    WriteErr("tessaro-cli: unknown command '" + command + "'\n");
    return PrintUsage(true);
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  const int exitCode = it->second.run(args);
  // Every simulated board has ended with the command (its PortChoice is gone).
  if (StrictSimBoards()) {
    const size_t count = SimBoardViolations().size();
    if (count != 0) {
      WriteErr("tessaro-cli: " + std::to_string(count) + " violation(s) of the simulated board (" +
               std::string(kSimStrictVariable) + "=1); the command returned " + std::to_string(exitCode) + "\n");
      return kExitSimViolations;
    }
  }
  return exitCode;
}
