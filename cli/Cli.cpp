#include "cli/Cli.h"

#include <cstdio>

#include <CLI/CLI.hpp>

#include "platform/Files.h"

namespace tessaro::cli {

namespace {
std::map<std::string, CommandInfo>& Registry() {
  static std::map<std::string, CommandInfo> registry;
  return registry;
}
}  // namespace

CommandRegistration::CommandRegistration(std::string name, std::string usage, CommandFunction run) {
  std::string key = name;
  Registry()[key] = CommandInfo{std::move(name), std::move(usage), std::move(run)};
}

const std::map<std::string, CommandInfo>& Commands() { return Registry(); }

struct ArgReader::Parser {
  CLI::App app;
  std::map<std::string, CLI::Option*> options;  // name without "--" -> its CLI11 option
  std::vector<std::string> positional;
  explicit Parser(const std::string& name) : app("", name) {}
};

ArgReader::ArgReader(std::string command, std::vector<std::string> args)
    : command_(std::move(command)),
      args_(std::move(args)),
      parser_(std::make_unique<Parser>("tessaro-cli " + command_)) {
  auto it = Commands().find(command_);
  if (it != Commands().end()) parser_->app.description("usage: tessaro-cli " + it->second.usage);
  parser_->app.add_option("args", parser_->positional, "positional arguments (see usage)");
}

ArgReader::~ArgReader() = default;

ArgReader& ArgReader::Flag(const std::string& name, const std::string& help) {
  parser_->options[name] = parser_->app.add_flag("--" + name, help);
  return *this;
}

ArgReader& ArgReader::Option(const std::string& name, const std::string& help, const std::string& shortName) {
  const std::string names = (shortName.empty() ? "" : "-" + shortName + ",") + "--" + name;
  parser_->options[name] = parser_->app.add_option(names, help)->type_name("VALUE");
  return *this;
}

ArgReader& ArgReader::Repeated(const std::string& name, const std::string& help) {
  parser_->options[name] = parser_->app.add_option("--" + name, help)
                               ->type_name("VALUE")
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return *this;
}

bool ArgReader::Parse() {
  std::vector<std::string> reversed(args_.rbegin(), args_.rend());
  try {
    parser_->app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    WriteOut(parser_->app.help());
    parseExit_ = kExitOk;
    return false;
  } catch (const CLI::ParseError& error) {
    UsageError(error.what());
    parseExit_ = kExitUsage;
    return false;
  }
  for (const auto& [name, option] : parser_->options) {
    if (option->count() == 0) continue;
    if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll) {
      lists_[name] = option->as<std::vector<std::string>>();
      values_[name] = lists_[name].empty() ? std::string() : lists_[name].front();
      continue;
    }
    values_[name] = option->get_expected() == 0 ? std::string() : option->as<std::string>();
  }
  positional_ = parser_->positional;
  return true;
}

bool ArgReader::Has(const std::string& name) const { return values_.count(name) != 0; }

std::optional<std::string> ArgReader::Value(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::string ArgReader::ValueOr(const std::string& name, const std::string& fallback) const {
  auto value = Value(name);
  return value ? *value : fallback;
}

std::vector<std::string> ArgReader::Values(const std::string& name) const {
  auto it = lists_.find(name);
  if (it != lists_.end()) return it->second;
  auto value = Value(name);
  return value ? std::vector<std::string>{*value} : std::vector<std::string>{};
}

int ArgReader::UsageError(const std::string& message) const {
  std::string text = "tessaro-cli " + command_ + ": " + message + "\n";
  auto it = Commands().find(command_);
  if (it != Commands().end()) text += "usage: tessaro-cli " + it->second.usage + "\n";
  WriteErr(text);
  return kExitUsage;
}

DataFolders ResolveFolders(const ArgReader& args) {
  DataFolders folders = FindDataFolders(ProgramFolder());
  if (auto value = args.Value("drivers")) folders.drivers = *value;
  if (auto value = args.Value("config")) folders.config = *value;
  return folders;
}

void WriteOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tessaro::cli
