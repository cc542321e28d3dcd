// The link against the simulated board's armed faults: a target that stops, a cable to the
// target that falls silent, a USB interface that is pulled, a board that resets itself. Each
// ends the host's waits in bounded time, never with a wrong value, and the next link attempt
// reports what the host can see of the fault.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <thread>

#include "common/Text.h"
#include "tests/link/SimLinkFixture.h"

namespace tessaro::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

constexpr uint32_t kWord = 0x8E10200;  // program RAM of a 9xxx, kept through a reset
constexpr uint16_t kValue = 0x5AA5;

// The commands a connect to a 9xxx in `options` takes, so a fault can be armed just after it.
uint64_t ConnectCommands(const sim::SimOptions& options) {
  SimLink probe(options);
  EXPECT_EQ(probe.Connect(), LINK_OK);
  return probe.board->CommandCount();
}

enum class Fault { StopAfter, LinkLoss, Unplug };

struct FaultCase {
  const char* name;
  Fault fault;
  bool usb;
  int relink;  // what the next link attempt gives
};
// The case as test names and failure messages show it.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ArmedFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ArmedFaultTest, EndsTheWaitsAndTheNextLinkSaysWhy) {
  const FaultCase& c = GetParam();
  sim::SimOptions options = SimLink::Options("LYR9468", c.usb);
  const uint64_t armed = ConnectCommands(options) + 1;  // strikes after the first command below
  if (c.fault == Fault::StopAfter) options.stopAfterCommands = armed;
  if (c.fault == Fault::LinkLoss) options.linkLossAtCommand = armed;
  if (c.fault == Fault::Unplug) options.unplugAtCommand = armed;
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->WriteMemory(kWord, kValue);

  // The command the fault follows may or may not get its answer out; a wrong one it never gets.
  const uint32_t first = sim.link.ReadMemoryWord(kWord);
  EXPECT_TRUE(first == kValue || first == VALUE_INVALID) << std::hex << first;
  const auto start = Clock::now();
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), VALUE_INVALID);
  EXPECT_LT(ElapsedMs(start), 2500);
  EXPECT_FALSE(sim.link.linked());
  EXPECT_GE(sim.callback.lost, 1);

  sim.link.CloseLink(false);
  sim.prompt.boxes.clear();
  EXPECT_EQ(sim.Connect(), c.relink);
  if (c.relink == LINK_OK) {
    // A stopped target is woken by the reset of the new link, and answers again.
    EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);
  }
  if (c.relink == LINK_CANT_OPEN_PORT) {
    EXPECT_TRUE(sim.prompt.Saw("Can't open COM1!"));
  }
  EXPECT_EQ(sim.board->ReadMemory(kWord), kValue);
}

INSTANTIATE_TEST_SUITE_P(Faults, ArmedFaultTest,
                         ::testing::Values(FaultCase{"StopAfterPlainBoard", Fault::StopAfter, false, LINK_OK},
                                           FaultCase{"StopAfterUsb", Fault::StopAfter, true, LINK_OK},
                                           FaultCase{"LinkLossPlainBoard", Fault::LinkLoss, false, LINK_NO_ACK},
                                           FaultCase{"LinkLossUsb", Fault::LinkLoss, true, LINK_NOT_POWERED},
                                           FaultCase{"UnplugUsb", Fault::Unplug, true, LINK_CANT_OPEN_PORT}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TimedFaultTest, LinkLostAtATimeEndsTheSessionAndComesBack) {
  // Reads run until the cable falls silent at its time; every read before gives the value.
  sim::SimOptions options = SimLink::Options("LYR9468", true);
  options.linkLossAtMs = 1500;
  options.linkLossMs = 400;
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->WriteMemory(kWord, kValue);
  const auto start = Clock::now();
  uint32_t value = kValue;
  int reads = 0;
  while (value == kValue && ElapsedMs(start) < 8000) {
    value = sim.link.ReadMemoryWord(kWord);
    ++reads;
  }
  EXPECT_EQ(value, VALUE_INVALID);
  EXPECT_GT(reads, 1);
  EXPECT_FALSE(sim.link.linked());
  EXPECT_TRUE(sim.board->linkLost());
  bool struck = false;
  for (const auto& record : sim.board->Trace())
    struck = struck || (record.op == "fault" && record.text == "link to the target lost at 1500 ms, back after 400 ms");
  EXPECT_TRUE(struck);

  sim.link.CloseLink(false);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(sim.Connect(), LINK_OK);
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);
}

TEST(TimedFaultTest, BoardResetMidSessionNeverGivesAWrongValue) {
  // The target browns out right after a command: the host's next command lands in the reset.
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.resetAtCommand = ConnectCommands(options) + 1;
  SimLink sim(options);
  sim.allowViolations = true;  // the host talks to a target in reset without knowing it
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->WriteMemory(kWord, kValue);
  for (int i = 0; i < 3; ++i) {
    const uint32_t value = sim.link.ReadMemoryWord(kWord);
    EXPECT_TRUE(value == kValue || value == VALUE_INVALID) << i << ": " << std::hex << value;
  }
  sim.link.CloseLink(false);
  // Probes that straddled the end of the reset can leave the monitor inside a register read,
  // which then takes the next reset request as its last byte; a second attempt finds it idle.
  int relinked = sim.Connect();
  if (relinked != LINK_OK) relinked = sim.Connect();
  EXPECT_EQ(relinked, LINK_OK);
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);
}

TEST(TimedFaultTest, AGreetingNobodyAskedForIsNotTakenAsAnAnswer) {
  // The board resets between two commands and greets unasked; the greeting waits in the host's
  // receive buffer when the next command starts, and must not become part of its reply.
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.resetAtCommand = ConnectCommands(options) + 1;
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->WriteMemory(kWord, kValue);
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);  // the reset follows this command
  std::this_thread::sleep_for(std::chrono::milliseconds(options.resetMs + 300));
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);
  EXPECT_EQ(sim.link.ReadMemoryWord(kWord), kValue);
}

}  // namespace
}  // namespace tessaro::testing
