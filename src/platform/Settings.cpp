#include "platform/Settings.h"

#include <sys/stat.h>
#include <cstdlib>
#include <vector>

#include "common/Text.h"
#include "platform/Files.h"

namespace tessaro {

namespace {

// QSettings writes keys and values with a few escapes; we read the plain subset back and
// keep everything else byte for byte.
std::string Unquote(std::string_view value) {
  value = TrimSpaces(value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
      if (value[i] == '\\' && i + 2 < value.size()) {
        ++i;
        out.push_back(value[i]);
      } else {
        out.push_back(value[i]);
      }
    }
    return out;
  }
  return std::string(value);
}

std::string Quote(std::string_view value) {
  bool needs = value.empty() ? false : (IsAsciiSpace(value.front()) || IsAsciiSpace(value.back()));
  for (char c : value)
    if (c == ';' || c == ',' || c == '=' || c == '"' || c == '\\') needs = true;
  if (!needs) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool MakeFolders(const std::string& folder) {
  std::string partial;
  for (size_t i = 0; i < folder.size(); ++i) {
    partial.push_back(folder[i]);
    if ((folder[i] == '/' && i > 0) || i + 1 == folder.size()) {
      if (::mkdir(partial.c_str(), 0755) != 0 && !IsDirectory(partial)) return false;
    }
  }
  return true;
}

}  // namespace

bool SettingsFile::Load() {
  groups_.clear();
  auto bytes = ReadWholeFile(path_);
  if (!bytes) return false;
  std::string group = "General";
  size_t pos = 0;
  while (pos < bytes->size()) {
    size_t end = bytes->find('\n', pos);
    if (end == std::string::npos) end = bytes->size();
    std::string_view line = TrimSpaces(std::string_view(*bytes).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      group = std::string(line.substr(1, line.size() - 2));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    groups_[group][std::string(TrimSpaces(line.substr(0, eq)))] = Unquote(line.substr(eq + 1));
  }
  return true;
}

bool SettingsFile::Save() const {
  std::string text;
  for (const auto& [group, keys] : groups_) {
    if (keys.empty()) continue;
    if (!text.empty()) text += "\n";
    text += "[" + group + "]\n";
    for (const auto& [key, value] : keys) text += key + "=" + Quote(value) + "\n";
  }
  std::string folder = FolderOf(path_);
  if (!folder.empty() && !MakeFolders(folder)) return false;
  return WriteWholeFile(path_, text);
}

std::optional<std::string> SettingsFile::Get(std::string_view group, std::string_view key) const {
  auto g = groups_.find(std::string(group));
  if (g == groups_.end()) return std::nullopt;
  auto k = g->second.find(std::string(key));
  if (k == g->second.end()) return std::nullopt;
  return k->second;
}

int SettingsFile::GetInt(std::string_view group, std::string_view key, int fallback) const {
  auto value = Get(group, key);
  if (!value || value->empty()) return fallback;
  char* end = nullptr;
  long n = std::strtol(value->c_str(), &end, 10);
  if (end == value->c_str()) return fallback;
  return static_cast<int>(n);
}

void SettingsFile::Set(std::string_view group, std::string_view key, std::string_view value) {
  groups_[std::string(group)][std::string(key)] = std::string(value);
}

void SettingsFile::SetInt(std::string_view group, std::string_view key, int value) {
  Set(group, key, std::to_string(value));
}

void SettingsFile::Remove(std::string_view group, std::string_view key) {
  auto g = groups_.find(std::string(group));
  if (g != groups_.end()) g->second.erase(std::string(key));
}

const std::map<std::string, std::string>* SettingsFile::Group(std::string_view group) const {
  auto g = groups_.find(std::string(group));
  return g == groups_.end() ? nullptr : &g->second;
}

std::string MachineSettingsPath() {
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  std::string list = (dirs && *dirs) ? dirs : "/etc/xdg";
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(':', pos);
    if (end == std::string::npos) end = list.size();
    std::string folder = list.substr(pos, end - pos);
    pos = end + 1;
    if (folder.empty()) continue;
    std::string path = JoinPath(JoinPath(folder, kOrganisation), "Tessaro.conf");
    if (FileExists(path)) return path;
  }
  return "";
}

std::string UserSettingsPath(std::string_view application) {
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = JoinPath(home && *home ? home : ".", ".config");
  }
  return JoinPath(JoinPath(base, kOrganisation), std::string(application) + ".conf");
}

DataFolders FindDataFolders(const std::string& programFolder) {
  DataFolders folders;
  folders.program = WithTrailingSeparator(programFolder);
  SettingsFile machine(MachineSettingsPath());
  if (!machine.path().empty()) machine.Load();
  // An override always ends in a separator; an empty one becomes the root folder.
  if (auto value = machine.Get("General", "Default")) folders.program = WithTrailingSeparator(*value);
  folders.drivers = folders.program + "drivers";
  folders.config = folders.program + "config";
  if (auto value = machine.Get("General", "drivers")) folders.drivers = WithTrailingSeparator(*value);
  if (auto value = machine.Get("General", "config")) folders.config = WithTrailingSeparator(*value);
  return folders;
}

}  // namespace tessaro
