// Identification of every catalogue chip through every transport, against the simulated board.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/link/SimLinkFixture.h"

namespace tessaro::testing {
namespace {

struct ProbeCase {
  const char* chip;   // what the board carries
  const char* found;  // what identification must name
  bool usb;
  uint8_t usbKind;
  int transportMode;  // after the probe
};
// The case as test names and failure messages show it.
void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.chip << (c.usb ? " usb" : ""); }

class ProbePortTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbePortTest, NamesTheChipOnTheBoard) {
  const ProbeCase& c = GetParam();
  sim::SimOptions options = SimLink::Options(c.chip, c.usb);
  options.usbKind = c.usbKind;
  SimLink sim(options);
  const ChipInfo* chip = sim.link.ProbePort(&sim.callback, 1, false);
  ASSERT_NE(chip, nullptr);
  EXPECT_STREQ(chip->name, c.found);
  EXPECT_EQ(sim.link.transportMode(), c.transportMode);
  EXPECT_TRUE(sim.link.linked());
  // The 73xx chips are only found in a second attempt, which asks for a reset.
  EXPECT_EQ(sim.prompt.Saw("Please reset target now"), std::string(c.chip).rfind("LYR73", 0) == 0);
  sim.link.CloseLink(true);
}

// Once linked as a 74xx chip (which needs no acknowledge), identification tells the four apart.
TEST(IdentifyChipTest, NamesEach74xxChipOnceLinked) {
  for (const char* name : {"LYR7431", "LYR7432", "LYR7451", "LYR7452"}) {
    SimLink sim(name);
    BoardConfig config = InitBoardConfig();
    config.chip = FindChipByName("LYR7452");
    (void)ApplyDefaults(config, MEM_INTRAM);
    ASSERT_EQ(sim.link.Connect(&sim.callback, 1, false, config), LINK_OK) << name;
    ASSERT_TRUE(sim.link.IdentifyChip()) << name;
    EXPECT_STREQ(sim.link.config().chip->name, name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryChip, ProbePortTest,
    ::testing::Values(ProbeCase{"LYR7312", "LYR7312", true, 1, 3}, ProbeCase{"LYR7322", "LYR7322", true, 2, 5},
                      ProbeCase{"LYR7431", "LYR7431", false, 2, 1}, ProbeCase{"LYR7432", "LYR7432", true, 1, 4},
                      ProbeCase{"LYR7451", "LYR7451", true, 2, 6}, ProbeCase{"LYR7452", "LYR7452", false, 2, 1},
                      ProbeCase{"LYR8321", "LYR8321", false, 2, 1}, ProbeCase{"LYR8326", "LYR8326", true, 2, 6},
                      ProbeCase{"LYR8721", "LYR8721", true, 1, 4}, ProbeCase{"LYR8247", "LYR8347", false, 2, 1},
                      ProbeCase{"LYR8347", "LYR8347", true, 2, 6}, ProbeCase{"LYR8547", "LYR8547", false, 2, 1},
                      ProbeCase{"LYR8647", "LYR8647", true, 1, 4}, ProbeCase{"LYR9162", "LYR9162", false, 2, 1},
                      ProbeCase{"LYR9362", "LYR9362", true, 2, 6}, ProbeCase{"LYR9368", "LYR9368", true, 1, 4},
                      ProbeCase{"LYR9371", "LYR9371", false, 2, 1}, ProbeCase{"LYR9468", "LYR9468", true, 2, 6},
                      ProbeCase{"LYR9571", "LYR9571", false, 2, 1}),
    [](const auto& info) { return std::string(info.param.chip) + (info.param.usb ? "_usb" : "_serial"); });

struct StrapCase {
  uint32_t package;
  uint32_t strapping;
  const char* chip;  // null: the provisional chip stays
  uint32_t ext1, ext2;
  bool cs1;
};
// The case as test names and failure messages show it.
void PrintTo(const StrapCase& c, std::ostream* out) { *out << "package " << c.package << " strapping " << c.strapping; }

class StrappingTest : public ::testing::TestWithParam<StrapCase> {};

TEST_P(StrappingTest, SetsTheMemoryKinds) {
  const StrapCase& c = GetParam();
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.packageCode = c.package;
  options.strapping = c.strapping;
  SimLink sim(options);
  const ChipInfo* chip = sim.link.ProbePort(&sim.callback, 1, false);
  ASSERT_NE(chip, nullptr);
  EXPECT_STREQ(chip->name, c.chip ? c.chip : "LYR8326");
  EXPECT_EQ(sim.link.config().ext1Kind, c.ext1);
  EXPECT_EQ(sim.link.config().ext2Kind, c.ext2);
  EXPECT_EQ(sim.link.config().ext2OnCs1, c.cs1);
}

INSTANTIATE_TEST_SUITE_P(Packages, StrappingTest,
                         ::testing::Values(StrapCase{6, 2, "LYR9468", EXT_SDRAM, EXT_NAND, true},
                                           StrapCase{6, 1, "LYR9468", EXT_MEM, EXT_NOR, false},
                                           StrapCase{0, 3, "LYR9162", EXT_QSRAM, 0, false},
                                           StrapCase{4, 5, "LYR9368", EXT_QSRAM, EXT_QNOR, true},
                                           StrapCase{7, 3, nullptr, EXT_MEM, EXT_NAND, true},
                                           StrapCase{9, 2, "LYR9571", EXT_SDRAM, EXT_NAND, true}));

TEST(ProbePortFailureTest, NothingAnswersOnAnUnpoweredBoard) {
  sim::SimOptions options = SimLink::Options("LYR9468", true);
  options.targetPowered = false;
  SimLink sim(options);
  EXPECT_EQ(sim.link.ProbePort(&sim.callback, 1, false), nullptr);
  EXPECT_FALSE(sim.link.linked());
  // Neither protocol sees a powered target, so nobody is asked to reset it.
  EXPECT_TRUE(sim.prompt.boxes.empty());
}

TEST(ProbePortFailureTest, SilentPlainSerialPortGivesNoChip) {
  // No interface and no powered target: nothing acknowledges, and the second link as a chip
  // without an acknowledge finds no answer to its register read either.
  sim::SimOptions options = SimLink::Options("LYR7431");
  options.targetPowered = false;
  SimLink sim(options);
  EXPECT_EQ(sim.link.ProbePort(&sim.callback, 1, false), nullptr);
  EXPECT_FALSE(sim.link.linked());
  EXPECT_TRUE(sim.prompt.boxes.empty());
  EXPECT_EQ(sim.board->CommandCount(), 0u);
}

TEST(ProbePortFailureTest, NoPortGivesNoChip) {
  SimLink sim("LYR9468");
  sim.link.SetPortOpener([](uint32_t) { return nullptr; });
  EXPECT_EQ(sim.link.ProbePort(&sim.callback, 7, false), nullptr);
  EXPECT_TRUE(sim.prompt.Saw("Communication Error: Can't open COM7!"));
}

}  // namespace
}  // namespace tessaro::testing
