// tessaro-cli: subcommands register themselves (one Cmd*.cpp per subcommand) and share the
// argument reader, the folder and port resolution and the exit codes.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace tessaro::cli {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // input read but invalid, or the operation failed
inline constexpr int kExitUsage = 2;    // usage error

using CommandFunction = std::function<int(std::vector<std::string>& args)>;

struct CommandInfo {
  std::string name;
  std::string usage;  // one line, after "tessaro-cli "
  CommandFunction run;
};

// Registers a subcommand at static-initialisation time.
struct CommandRegistration {
  CommandRegistration(std::string name, std::string usage, CommandFunction run);
};
const std::map<std::string, CommandInfo>& Commands();

// A small reader for "--flag", "--option VALUE" and "--option=VALUE"; everything else is a
// positional argument. Unknown options are usage errors.
class ArgReader {
 public:
  ArgReader(std::string command, std::vector<std::string> args);

  // Declare before Parse().
  ArgReader& Flag(const std::string& name);
  ArgReader& Option(const std::string& name);
  // Parses; on a usage error prints it to stderr and returns false.
  [[nodiscard]] bool Parse();

  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  std::string ValueOr(const std::string& name, const std::string& fallback) const;
  const std::vector<std::string>& Positional() const { return positional_; }

  // Prints "tessaro-cli CMD: message" and the command's usage to stderr; returns kExitUsage.
  int UsageError(const std::string& message) const;

 private:
  std::string command_;
  std::vector<std::string> args_;
  std::map<std::string, bool> known_;  // name -> takes a value
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Folders as the desktop program finds them (program folder + "drivers" / "config", with the
// machine overrides), replaced by --drivers / --config when given.
DataFolders ResolveFolders(const ArgReader& args);

// Writes text to stdout exactly as given (no line-end translation).
void WriteOut(const std::string& text);
void WriteErr(const std::string& text);

}  // namespace tessaro::cli
