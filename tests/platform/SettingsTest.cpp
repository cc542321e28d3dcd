#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Files.h"
#include "platform/Settings.h"

namespace tessaro {
namespace {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/tessaro-settings-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, hadOld_ = true;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { hadOld_ ? (void)::setenv(name_, old_.c_str(), 1) : (void)::unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(Settings, DataFoldersWithoutAndWithMachineOverrides) {
  TempFolder machine;
  ScopedEnv dirs("XDG_CONFIG_DIRS", machine.path());
  DataFolders plain = FindDataFolders("/opt/tessaro/bin");
  EXPECT_EQ(plain.program, "/opt/tessaro/bin/");
  EXPECT_EQ(plain.drivers, "/opt/tessaro/bin/drivers");  // defaults carry no trailing separator
  EXPECT_EQ(plain.config, "/opt/tessaro/bin/config");

  std::string folder = JoinPath(machine.path(), "Corvane SA");
  ASSERT_EQ(::system(("mkdir -p '" + folder + "'").c_str()), 0);
  ASSERT_TRUE(
      WriteWholeFile(JoinPath(folder, "Tessaro.conf"), "[General]\nDefault=/srv/t\nconfig=/etc/boards\ndrivers=\n"));
  DataFolders overridden = FindDataFolders("/opt/tessaro/bin");
  EXPECT_EQ(overridden.program, "/srv/t/");
  EXPECT_EQ(overridden.config, "/etc/boards/");  // an override always ends in a separator
  EXPECT_EQ(overridden.drivers, "/");            // an empty one is the root folder
}

TEST(Settings, UserSettingsRoundTrip) {
  TempFolder home;
  ScopedEnv config("XDG_CONFIG_HOME", home.path());
  SettingsFile settings(UserSettingsPath());
  EXPECT_FALSE(settings.Load());
  settings.Set("Settings", "Config", "LYR9468 FLASH(32k)+EXTNOR(4M,8/4WS)");
  settings.SetInt("Settings", "COM", 4);
  settings.Set("Ports", "COM5", "/dev/ttyUSB0");
  ASSERT_TRUE(settings.Save());

  SettingsFile again(UserSettingsPath());
  ASSERT_TRUE(again.Load());
  EXPECT_EQ(again.Get("Settings", "Config").value_or(""), "LYR9468 FLASH(32k)+EXTNOR(4M,8/4WS)");
  EXPECT_EQ(again.GetInt("Settings", "COM", -1), 4);
  EXPECT_EQ(again.GetInt("Settings", "DoubleBaud", 7), 7);
  EXPECT_EQ(again.Get("Ports", "COM5").value_or(""), "/dev/ttyUSB0");
  EXPECT_EQ(UserSettingsPath(), home.path() + "/Corvane SA/tessaro.conf");
}

}  // namespace
}  // namespace tessaro
