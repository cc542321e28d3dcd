// The simulator as users run it: tessaro-sim on a pseudo-terminal, the link on the tty side.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/Text.h"
#include "link/SerialPort.h"
#include "platform/Files.h"
#include "platform/PosixTtyDevice.h"
#include "sim/SimBoard.h"
#include "sim/SimPortDevice.h"
#include "tests/sim/SimProcess.h"

namespace tessaro::testing {
namespace {

using Clock = std::chrono::steady_clock;

PortOpener TtyOpener(const std::string& path) {
  return [path](uint32_t) -> std::unique_ptr<PortDevice> { return PosixTtyDevice::Open(path); };
}

LinkTimeouts ShortTimeouts() {
  LinkTimeouts timeouts;
  timeouts.replyMs = 300;
  timeouts.settleMs = 5;
  return timeouts;
}

std::string StatsPath(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp ? tmp : "/tmp") + "/tessaro-" + name + "-" + std::to_string(::getpid()) + ".json";
}

TEST(PtyTest, IdentifiesAndMovesMemoryThroughThePseudoTerminal) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip=LYR8326", "--interface=usb", "--usb-kind=1"}));
  SerialPort link;
  link.SetPortOpener(TtyOpener(sim.path()));
  link.SetTimeouts(ShortTimeouts());
  const ChipInfo* chip = link.ProbePort(nullptr, 3, false);
  ASSERT_NE(chip, nullptr);
  EXPECT_STREQ(chip->name, "LYR8326");
  EXPECT_EQ(link.transportMode(), 4);

  std::vector<uint16_t> data(700), back(700);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint16_t>(i * 0x9E37);
  ASSERT_TRUE(link.WriteMemoryBlock(0x0000, 0x838, 700, data.data(), true));
  ASSERT_TRUE(link.ReadMemoryBlock(0x0000, 0x838, 700, back.data()));
  EXPECT_EQ(back, data);
  link.CloseLink(true);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(PtyTest, AViolationOfTheSimulatorProcessFailsTheTest) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip=LYR9468"}));
  // A register read before any reset and greeting: no correct host sends that.
  const int fd = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const unsigned char read[] = {0x00, 0x05, 0x80};
  ASSERT_EQ(::write(fd, read, sizeof read), static_cast<ssize_t>(sizeof read));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::close(fd);
  EXPECT_NONFATAL_FAILURE(sim.Stop(), "tessaro-sim saw violations");
}

TEST(PtyTest, BaudSwitchFollowsTheLineSpeed) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip", "LYR9162"}));
  SerialPort link;
  link.SetPortOpener(TtyOpener(sim.path()));
  link.SetTimeouts(ShortTimeouts());
  BoardConfig config = InitBoardConfig();
  config.chip = FindChipByName("LYR9162");
  ASSERT_EQ(link.Connect(nullptr, 1, true, config), LINK_OK);
  EXPECT_EQ(link.lineSettings().baudRate, 115200u);
  EXPECT_EQ(link.ReadMemoryWord(0x8E10555), link.ReadMemoryWord(0x8E10555));
  EXPECT_TRUE(link.linked());
}

TEST(PtyTest, SimulatorKilledMidSessionEndsTheWaits) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip=LYR9468"}));
  SerialPort link;
  link.SetPortOpener(TtyOpener(sim.path()));
  link.SetTimeouts(ShortTimeouts());
  ASSERT_EQ(link.Connect(nullptr, 1, false, InitBoardConfig()), LINK_OK);
  sim.Stop(SIGKILL);
  auto start = Clock::now();
  EXPECT_EQ(link.ReadMemoryWord(0x8E10000), VALUE_INVALID);
  std::vector<uint16_t> block(512);
  EXPECT_FALSE(link.ReadMemoryBlock(0, 0x8E1, 512, block.data()));
  EXPECT_FALSE(link.linked());
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3000);
  link.CloseLink(false);
}

// The same session in process and through the pseudo-terminal moves exactly the same bytes.
TEST(PtyTest, WireCountersAreExactAndTransportIndependent) {
  auto session = [](SerialPort& link) {
    BoardConfig config = InitBoardConfig();
    config.chip = FindChipByName("LYR8721");
    (void)ApplyDefaults(config, MEM_FLASH);
    ASSERT_EQ(link.Connect(nullptr, 1, false, config), LINK_OK);
    std::vector<uint16_t> words(600, 0x1234);
    ASSERT_TRUE(link.WriteMemoryBlock(0x100, 0, 200, words.data(), false));
    ASSERT_TRUE(link.ReadMemoryBlock(0x0000, 0x600, 600, words.data()));
    link.CloseLink(false);
  };
  // Link set-up, 0x555/0xAAA touch and reads, 4 flash pages, 2 block reads, register check.
  sim::SimOptions options;
  options.chip = "LYR8721";
  auto board = sim::SimBoard::Create(options);
  SerialPort inProcess;
  inProcess.SetPortOpener(sim::SimPortOpener(board));
  inProcess.SetTimeouts(ShortTimeouts());
  session(inProcess);
  sim::WireCounters expected = board->Counters();
  EXPECT_GT(expected.roundTrips, 10u);
  EXPECT_EQ(board->FlashWord(0x100 + 199), 0x1234);

  std::string stats = StatsPath("stats");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip=LYR8721", "--stats=" + stats}));
  SerialPort overPty;
  overPty.SetPortOpener(TtyOpener(sim.path()));
  overPty.SetTimeouts(ShortTimeouts());
  session(overPty);
  ASSERT_EQ(sim.Stop(), 0);
  auto json = ReadWholeFile(stats);
  ASSERT_TRUE(json.has_value());
  std::remove(stats.c_str());
  auto field = [&](const std::string& key) {
    size_t at = json->find("\"" + key + "\"");
    return at == std::string::npos ? ~0ull : std::strtoull(json->c_str() + json->find(':', at) + 1, nullptr, 10);
  };
  EXPECT_EQ(field("hostToTarget"), expected.hostToTarget);
  EXPECT_EQ(field("targetToHost"), expected.targetToHost);
  EXPECT_EQ(field("roundTrips"), expected.roundTrips);
}

TEST(PtyTest, UnpluggedInterfaceTakesThePseudoTerminalAway) {
  // As a pulled USB serial adapter: the open port fails the host's reads and writes, and its
  // device node is gone, so it can be neither listed nor opened again.
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--chip=LYR9468", "--interface=usb", "--unplug-at-ms=1500"}));
  SerialPort link;
  link.SetPortOpener(TtyOpener(sim.path()));
  link.SetTimeouts(ShortTimeouts());
  ASSERT_EQ(link.Connect(nullptr, 1, false, InitBoardConfig()), LINK_OK);
  const auto start = Clock::now();
  uint32_t value = 0x96;
  while (value == 0x96 && Clock::now() - start < std::chrono::seconds(6)) value = link.ReadIoRegister(250);
  EXPECT_EQ(value, VALUE_INVALID);
  EXPECT_FALSE(link.linked());
  link.CloseLink(false);
  EXPECT_FALSE(FileExists(sim.path())) << sim.path();
  EXPECT_EQ(link.Connect(nullptr, 1, false, InitBoardConfig()), LINK_CANT_OPEN_PORT);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(PtyTest, RejectsUnknownOptions) {
  SimProcess sim;
  EXPECT_FALSE(sim.Start({"--chip=LYR9999"}));
}

}  // namespace
}  // namespace tessaro::testing
