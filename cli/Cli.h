// tessaro-cli: subcommands register themselves (one Cmd*.cpp per subcommand) and share the
// argument reader, the folder and port resolution and the exit codes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace tessaro::cli {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // input read but invalid, or the operation failed
inline constexpr int kExitUsage = 2;    // usage error
inline constexpr int kExitAborted = 4;  // cancelled with Ctrl-C

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

// The options of one subcommand, declared as a table and read by CLI11, which also writes
// --help from it. "--option VALUE", "--option=VALUE", flags and positional arguments; unknown
// options are usage errors.
class ArgReader {
 public:
  ArgReader(std::string command, std::vector<std::string> args);
  ~ArgReader();
  ArgReader(const ArgReader&) = delete;
  ArgReader& operator=(const ArgReader&) = delete;

  // Declare before Parse(). `help` is the line --help shows.
  ArgReader& Flag(const std::string& name, const std::string& help = "");
  ArgReader& Option(const std::string& name, const std::string& help = "", const std::string& shortName = "");
  // An option that may be given more than once; Values() has every value in the order given.
  ArgReader& Repeated(const std::string& name, const std::string& help = "");
  // Parses. False after a usage error (printed to stderr) or after --help (printed to
  // stdout); ParseExit() is the exit code for either.
  [[nodiscard]] bool Parse();
  int ParseExit() const { return parseExit_; }

  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  std::string ValueOr(const std::string& name, const std::string& fallback) const;
  std::vector<std::string> Values(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return positional_; }

  // Prints "tessaro-cli CMD: message" and the command's usage to stderr; returns kExitUsage.
  int UsageError(const std::string& message) const;

 private:
  struct Parser;
  std::string command_;
  std::vector<std::string> args_;
  std::unique_ptr<Parser> parser_;
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> lists_;
  std::vector<std::string> positional_;
  int parseExit_ = kExitUsage;
};

// Folders as the desktop program finds them (program folder + "drivers" / "config", with the
// machine overrides), replaced by --drivers / --config when given.
DataFolders ResolveFolders(const ArgReader& args);

// Writes text to stdout exactly as given (no line-end translation).
void WriteOut(const std::string& text);
void WriteErr(const std::string& text);

}  // namespace tessaro::cli
