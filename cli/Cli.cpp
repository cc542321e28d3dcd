#include "cli/Cli.h"

#include <cstdio>

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

ArgReader::ArgReader(std::string command, std::vector<std::string> args)
    : command_(std::move(command)), args_(std::move(args)) {}

ArgReader& ArgReader::Flag(const std::string& name) {
  known_[name] = false;
  return *this;
}

ArgReader& ArgReader::Option(const std::string& name) {
  known_[name] = true;
  return *this;
}

bool ArgReader::Parse() {
  bool onlyPositional = false;
  for (size_t i = 0; i < args_.size(); ++i) {
    const std::string& arg = args_[i];
    if (onlyPositional || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inlineValue;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto known = known_.find(name);
    if (known == known_.end()) {
      UsageError("unknown option --" + name);
      return false;
    }
    if (!known->second) {
      if (inlineValue) {
        UsageError("--" + name + " takes no value");
        return false;
      }
      values_[name] = "";
      continue;
    }
    if (inlineValue) {
      values_[name] = *inlineValue;
    } else if (i + 1 < args_.size()) {
      values_[name] = args_[++i];
    } else {
      UsageError("--" + name + " needs a value");
      return false;
    }
  }
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
