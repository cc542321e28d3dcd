// Opening a real port asks for low latency: the adapter's latency timer in sysfs (a folder of
// the test stands in for /sys) is set to 1 ms while the port is open and put back on close;
// a timer that cannot be written leaves a one-line hint instead.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/PosixTtyDevice.h"

namespace tessaro {
namespace {

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST(SerialLatency, AdapterTimerIsLoweredWhileOpenAndRestoredOnClose) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  const std::string tty = std::filesystem::path(name).filename().string();
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tessaro-sysfs-" + std::to_string(::getpid()));
  const std::filesystem::path folder = root / "class" / "tty" / tty / "device";
  const std::string timer = (folder / "latency_timer").string();
  // A sysfs attribute without a store method refuses writes even to root; elsewhere a
  // read-only file does.
  const std::string readOnly = "/sys/devices/system/cpu/kernel_max";

  struct Case {
    const char* name;
    const char* value;  // the timer before the open; null: the device has no timer
    bool writable;
    const char* whileOpen;
    bool hint;
  };
  const Case cases[] = {
      {"FTDI default", "16", true, "1", false},
      {"already low", "1", true, "1", false},
      {"not writable", "16", false, "16", true},
      {"no timer", nullptr, true, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(folder);
    std::string before = c.value ? c.value : "";
    if (c.value && !c.writable && std::filesystem::exists(readOnly)) {
      std::filesystem::create_symlink(readOnly, timer);
      before = ReadLine(readOnly);
    } else if (c.value) {
      std::ofstream(timer) << c.value << "\n";
      if (!c.writable) ::chmod(timer.c_str(), 0444);
    }
    {
      auto device = PosixTtyDevice::Open(name, root.string());
      ASSERT_NE(device, nullptr);
      EXPECT_EQ(device->latency().timerPath(), c.value ? timer : "");
      EXPECT_EQ(ReadLine(timer), c.whileOpen ? (c.writable ? c.whileOpen : before) : "");
      if (c.hint) {
        EXPECT_NE(device->latency().hint().find("set it to 1 ms"), std::string::npos) << device->latency().hint();
        EXPECT_NE(device->latency().hint().find(timer), std::string::npos) << device->latency().hint();
        EXPECT_EQ(device->latency().hint().find('\n'), std::string::npos);
      } else {
        EXPECT_EQ(device->latency().hint(), "");
      }
    }
    EXPECT_EQ(ReadLine(timer), before) << "not restored on close";
  }
  std::filesystem::remove_all(root);
  ::close(master);
}

}  // namespace
}  // namespace tessaro
