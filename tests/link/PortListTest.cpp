#include <gtest/gtest.h>

#include "link/PortList.h"
#include "platform/PortTable.h"

namespace tessaro::testing {
namespace {

PortSources Sources(std::optional<std::vector<std::string>> friendly, std::vector<std::string> devices) {
  PortSources sources;
  sources.friendlyNames = [friendly] { return friendly; };
  sources.deviceNames = [devices] { return devices; };
  return sources;
}

std::vector<std::string> Lines(const std::vector<PortEntry>& list) {
  std::vector<std::string> lines;
  for (const auto& entry : list) lines.push_back(PortLine(entry, std::nullopt));
  return lines;
}

TEST(EnumeratePortsTest, FriendlyNamesInPortOrder) {
  std::vector<PortEntry> list;
  EnumeratePorts(list, Sources(std::vector<std::string>{"USB Serial Port (COM12)", "Communications Port (COM1)",
                                                        "Bluetooth link", "Second (COM12)", "Modem  \t(COM 3)"},
                               {"COM9"}));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"COM1: Communications Port", "COM3: Modem", "COM12: USB Serial Port",
                                                   "COM12: Second"}));
}

TEST(EnumeratePortsTest, DeviceNamesWhenNoFriendlyNameListsAPort) {
  std::vector<PortEntry> list;
  EnumeratePorts(list, Sources(std::nullopt, {"com4", "COM0", "LPT1", "COM2"}));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"COM2", "COM4"}));
}

TEST(DescribePortTest, NamesAvailableAndMissingPorts) {
  std::string text;
  EXPECT_TRUE(DescribePort(3, text, Sources(std::vector<std::string>{"USB Serial Port (COM3)"}, {})));
  EXPECT_EQ(text, "COM3 (USB Serial Port)");
  // Listed devices without this one: not available, without asking the device names.
  EXPECT_FALSE(DescribePort(5, text, Sources(std::vector<std::string>{"USB Serial Port (COM3)"}, {"COM5"})));
  EXPECT_EQ(text, "COM5 (not available)");
  EXPECT_TRUE(DescribePort(5, text, Sources(std::vector<std::string>{}, {"COM5"})));
  EXPECT_EQ(text, "COM5 (available)");
  EXPECT_FALSE(DescribePort(6, text, Sources(std::nullopt, {"COM5"})));
  EXPECT_EQ(text, "COM6 (not available)");
}

TEST(PortLineTest, ScanResultsAndLongNames) {
  EXPECT_EQ(PortLine({5, "USB Serial Port"}, std::string("LYR9468")), "COM5: USB Serial Port (LYR9468)");
  EXPECT_EQ(PortLine({5, ""}, std::string("n/a")), "COM5 (n/a)");
  EXPECT_EQ(PortLine({5, std::string(200, 'x')}, std::nullopt).size(), 99u);
}

TEST(PortTableTest, NumbersStayWithTheirDevices) {
  SettingsFile settings;
  settings.Set(kPortsGroup, "COM1", "/dev/ttyS0");
  settings.Set(kPortsGroup, "COM3", "/dev/ttyUSB0");
  settings.Set(kPortsGroup, "junk", "/dev/null");
  PortTable table(settings);
  EXPECT_EQ(table.Assign("/dev/ttyUSB0"), 3u);
  EXPECT_FALSE(table.changed());
  EXPECT_EQ(table.Assign("/dev/ttyACM0"), 2u);
  EXPECT_EQ(table.Assign("/dev/ttyACM1"), 4u);
  EXPECT_TRUE(table.changed());
  table.Store(settings);
  PortTable again(settings);
  EXPECT_EQ(again.PathOf(2), "/dev/ttyACM0");
  EXPECT_EQ(again.NumberOf("/dev/ttyACM1"), 4u);
  EXPECT_FALSE(again.PathOf(5).has_value());
  EXPECT_EQ(ParseComName("com12"), 12u);
  EXPECT_EQ(ParseComName("COM"), 0u);
  EXPECT_EQ(ParseComName("COM1x"), 0u);
}

}  // namespace
}  // namespace tessaro::testing
