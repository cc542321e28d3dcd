// Persistent settings in the format Qt's QSettings reads and writes for IniFormat/NativeFormat
// on Linux, so the desktop program and the CLI share them without the core linking Qt.
//
// Machine settings (read-only overrides of the folders): "Corvane SA/Tessaro.conf" in each
// folder of $XDG_CONFIG_DIRS (default /etc/xdg), keys in [General]: "Default" (replaces the
// program folder), "drivers", "config".
// User settings: "$XDG_CONFIG_HOME/Corvane SA/<program>.conf" (default ~/.config), groups such
// as "Settings" and "Ports".
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

class SettingsFile {
 public:
  SettingsFile() = default;
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // Reads the file; a missing file leaves the settings empty and is not an error.
  bool Load();
  // Writes every group back; creates the folder when needed.
  [[nodiscard]] bool Save() const;

  std::optional<std::string> Get(std::string_view group, std::string_view key) const;
  int GetInt(std::string_view group, std::string_view key, int fallback) const;
  void Set(std::string_view group, std::string_view key, std::string_view value);
  void SetInt(std::string_view group, std::string_view key, int value);
  void Remove(std::string_view group, std::string_view key);
  const std::map<std::string, std::string>* Group(std::string_view group) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::map<std::string, std::map<std::string, std::string>> groups_;
};

inline constexpr const char* kOrganisation = "Corvane SA";

// The machine settings file that exists first along $XDG_CONFIG_DIRS, or "" when none does.
std::string MachineSettingsPath();
// The user settings file of a program ("tessaro", "tessaro-cli" share "tessaro").
std::string UserSettingsPath(std::string_view application = "tessaro");

// The folders in effect: program folder and its machine overrides, as start-up finds them.
struct DataFolders {
  std::string program;  // always ends in '/'
  std::string drivers;  // program + "drivers" (no trailing separator), or the override (with one)
  std::string config;   // program + "config" (no trailing separator), or the override (with one)
};
DataFolders FindDataFolders(const std::string& programFolder);

}  // namespace tessaro
