// The simulated board at the byte level: what a host sees on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim/SimBoard.h"

namespace tessaro::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Sends `bytes` and collects the answer until the line has been quiet for 30 ms.
Bytes Exchange(sim::SimBoard& board, const Bytes& bytes, std::chrono::milliseconds limit = 1000ms);

// A board at 57600 baud. Without an interface it has been reset through the serial board and
// its greeting taken, so its monitor listens; with one, the test speaks to the interface.
std::shared_ptr<sim::SimBoard> Board(sim::SimOptions options) {
  if (!options.usbInterface) options.resetMs = 5;
  auto board = sim::SimBoard::Create(options);
  board->SetHostBaud(57600);
  if (!options.usbInterface && !board->chip()->legacyLink) {
    const Bytes greeting = Exchange(*board, {0xBC});
    EXPECT_EQ(greeting.empty(), !board->chip()->ackAfterReset || options.securityBit) << options.chip;
  }
  return board;
}

std::shared_ptr<sim::SimBoard> Board(const std::string& chip, bool usb = false) {
  sim::SimOptions options;
  options.chip = chip;
  options.usbInterface = usb;
  return Board(options);
}

Bytes Exchange(sim::SimBoard& board, const Bytes& bytes, std::chrono::milliseconds limit) {
  if (!bytes.empty()) board.HostWrite(bytes.data(), bytes.size());
  Bytes answer;
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto quietSince = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[4096];
    size_t n = board.TakeOutput(buffer, sizeof buffer);
    if (n > 0) {
      answer.insert(answer.end(), buffer, buffer + n);
      quietSince = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - quietSince > 30ms) {
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  return answer;
}

// The resynchronisation probe is no command of its own: 0x00 starts a register read, and what the
// monitor makes of 0x00 0x55 depends on where it stands. In every state a host that repeats the
// probe until two bytes come back finds the monitor idle afterwards.
TEST(SimBoardTest, ProbeBytesBringTheMonitorBackInStepFromEveryState) {
  struct Case {
    const char* chip;
    Bytes before;  // what the monitor holds when the probing starts
  };
  const Case cases[] = {
      {"LYR7452", {}},        {"LYR8321", {4}},       {"LYR8721", {}},          {"LYR8547", {12, 0x00, 0x00, 0x00, 0x00}},
      {"LYR9468", {}},        {"LYR9468", {4}},       {"LYR9468", {0x00, 0x55}}, {"LYR9468", {12, 0x00, 0x00}},
      {"LYR9468", {1, 0x80}},
  };
  for (const Case& c : cases) {
    auto board = Board(c.chip);
    if (!c.before.empty()) {
      EXPECT_TRUE(Exchange(*board, c.before).empty()) << c.chip;
    }
    size_t got = 0;
    for (int attempt = 0; attempt < 4 && got < 2; ++attempt) got += Exchange(*board, {0x00, 0x55}).size();
    EXPECT_GE(got, 2u) << c.chip << " after " << c.before.size() << " bytes";
    board->SetIoRegister(40, 0x2468);
    EXPECT_EQ(Exchange(*board, {4, 40}), (Bytes{0x68, 0x24})) << c.chip;
    board->ClearViolations();  // a probe into a half-fed block write may leave a refused count
  }
}

TEST(SimBoardTest, NineRegisterWithLowByte0x55IsAnOrdinaryRead) {
  auto board = Board("LYR9468");
  board->SetRegister(0x55, 0x123456);
  EXPECT_EQ(Exchange(*board, {0x00, 0x55, 0x80}), (Bytes{0x56, 0x34, 0x12}));
  EXPECT_TRUE(board->Violations().empty());
  // A register word without bit 15 is taken, but no correct host sends one.
  EXPECT_EQ(Exchange(*board, {0x00, 0x56, 0x00}).size(), 3u);
  EXPECT_EQ(Exchange(*board, {1, 0x57, 0x00, 1, 2, 3}), Bytes{0xAC});
  EXPECT_EQ(board->Register(0x57), 0x030201u);
  EXPECT_EQ(board->Violations().size(), 2u);
}

TEST(SimBoardTest, HalfReceivedCommandWaitsForItsRest) {
  auto board = Board("LYR8326");
  board->SetIoRegister(250, 0);
  EXPECT_TRUE(Exchange(*board, {4}).empty());
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(Exchange(*board, {40}), (Bytes{0x00, 0x00}));
  EXPECT_EQ(board->CommandCount(), 1u);
}

TEST(SimBoardTest, MonitorListensOnlyAfterAResetAndItsGreeting) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.resetMs = 50;
  auto board = sim::SimBoard::Create(options);
  board->SetHostBaud(57600);
  EXPECT_TRUE(Exchange(*board, {4, 250}).empty());  // the application runs, not the monitor
  ASSERT_EQ(board->Violations().size(), 1u);
  board->ClearViolations();
  board->HostWrite(Bytes{0xBC}.data(), 1);
  EXPECT_TRUE(Exchange(*board, {4, 250}, 20ms).empty());  // still in reset
  EXPECT_EQ(board->Violations().size(), 1u);
  board->ClearViolations();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(Exchange(*board, {}), Bytes{0xAC});
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));
  EXPECT_TRUE(board->Violations().empty());
}

TEST(SimBoardTest, GreetingFollowsTheCatalogue) {
  // Board() checks the greeting against the chip's row: none from the 74xx boot ROMs.
  for (const char* chip : {"LYR7431", "LYR7452", "LYR8326", "LYR8721", "LYR8547", "LYR9162"}) {
    auto board = Board(chip);
    board->SetIoRegister(40, 7);
    EXPECT_EQ(Exchange(*board, {4, 40}), (Bytes{7, 0})) << chip;
  }
}

TEST(SimBoardTest, BlockSizesBeyondTheMonitorsBuffersAreRefused) {
  auto board = Board("LYR9468");
  EXPECT_EQ(Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 0x00, 0x02}).size(), 1024u);  // 512 words
  EXPECT_EQ(Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 0x01, 0x02}), Bytes{0xEE});    // 513 words
  // The monitor checks the count before taking any data: the refusal comes at once, and the
  // data bytes that follow are read as commands (0x77 is none, 4 250 reads I/O register 250).
  EXPECT_EQ(Exchange(*board, {12, 0x00, 0x00, 0xE1, 0x08, 129, 0x00}), Bytes{0xEE});
  EXPECT_EQ(Exchange(*board, {0x77, 0x77, 4, 250}), (Bytes{0x96, 0x00}));
  EXPECT_EQ(board->ReadMemory(0x8E10000), 0);
  EXPECT_EQ(board->Violations().size(), 2u);
}

TEST(SimBoardTest, NineChipsKeepProgramRamAtTheBottomOfWordMemory) {
  auto board = Board("LYR9468");
  // Block write of two words at 0xFFFE and one at 0x10000 (beyond program RAM), read back.
  EXPECT_EQ(Exchange(*board, {12, 0xFE, 0xFF, 0x00, 0x00, 2, 0, 0x34, 0x12, 0x78, 0x56}), Bytes{0xAC});
  EXPECT_EQ(Exchange(*board, {12, 0x00, 0x00, 0x01, 0x00, 1, 0, 0x11, 0x11}), Bytes{0xAC});
  EXPECT_EQ(Exchange(*board, {11, 0xFE, 0xFF, 0x00, 0x00, 3, 0}), (Bytes{0x34, 0x12, 0x78, 0x56, 0xFF, 0xFF}));
  EXPECT_EQ(board->ReadMemory(0), 0);
}

TEST(SimBoardTest, LegacyChipsNeverAcknowledge) {
  auto board = Board("LYR7312", true);
  EXPECT_EQ(Exchange(*board, {0xBC}).front(), 0xCB);
  EXPECT_EQ(Exchange(*board, {0xB2}), Bytes{0xCA});
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(Exchange(*board, {}), Bytes{0xAC});  // the interface answers for the legacy ROM
  EXPECT_TRUE(Exchange(*board, {5, 40, 0x34, 0x12}).empty());
  EXPECT_TRUE(Exchange(*board, {3, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0xCD, 0xAB}).empty());
  EXPECT_EQ(Exchange(*board, {2, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00}), (Bytes{0xCD, 0xAB}));
  EXPECT_EQ(board->IoRegister(40), 0x1234);
}

TEST(SimBoardTest, InterfaceFrameTellsKindRevisionAndPower) {
  struct Case {
    const char* chip;
    bool powered;
    uint8_t flags;
  };
  for (const Case& c : {Case{"LYR9468", true, 0x0D}, Case{"LYR7322", true, 0x04}, Case{"LYR9468", false, 0x00}}) {
    sim::SimOptions options;
    options.chip = c.chip;
    options.usbInterface = true;
    options.usbKind = 1;
    options.usbRevision = 5;
    options.targetPowered = c.powered;
    auto board = sim::SimBoard::Create(options);
    board->SetHostBaud(57600);
    EXPECT_EQ(Exchange(*board, {0xBC}), (Bytes{0xCB, 1, 5, c.flags, 0x01, 0x00, 0xCA})) << c.chip;
  }
}

TEST(SimBoardTest, SecuredChipsHearOnlyTheirWayIn) {
  sim::SimOptions options;
  options.chip = "LYR8647";
  options.securityBit = true;
  auto board = Board(options);
  EXPECT_TRUE(Exchange(*board, {4, 250}).empty());
  EXPECT_EQ(Exchange(*board, {0x72, 0x35}), Bytes{0xEE});
  EXPECT_FALSE(board->SecurityBit());
  EXPECT_EQ(Exchange(*board, {4, 24}), (Bytes{0x47, 0x00}));

  options.chip = "LYR9371";
  options.securityBit = false;
  options.securedSession = 4;
  options.resetMs = 5;
  board = sim::SimBoard::Create(options);
  board->SetHostBaud(57600);
  EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{0x56});  // session 4
  EXPECT_TRUE(Exchange(*board, {4, 250}).empty());
  EXPECT_EQ(Exchange(*board, {0xBB}), Bytes{0xAC});
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x95, 0x00}));
  // The session holds through resets, and is used up: after a power cycle the chip offers the
  // next one, and after session 7 none.
  EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{0xAC});
  for (uint8_t offered : {0x57, 0x58, 0x59, 0x5A}) {
    board->SetTargetPowered(false);
    board->SetTargetPowered(true);
    EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{offered});
    if (offered != 0x5A) {
      EXPECT_EQ(Exchange(*board, {0xBB}), Bytes{0xAC});
    }
  }
  EXPECT_TRUE(Exchange(*board, {0xBB}).empty());
}

TEST(SimBoardTest, EmbeddedFlashAddressingRules) {
  auto words = Board("LYR8547");
  // Word addressing: one word, or a whole aligned page; two words are refused.
  EXPECT_EQ(Exchange(*words, {15, 0x10, 0x00, 1, 0x34, 0x12}), Bytes{0xAC});
  EXPECT_EQ(words->FlashWord(0x10), 0x1234);
  EXPECT_EQ(Exchange(*words, {15, 0x20, 0x00, 2, 1, 0, 2, 0}), Bytes{0xEE});
  Bytes page = {15, 0x41, 0x00, 64};
  page.resize(4 + 128, 0x55);
  EXPECT_EQ(Exchange(*words, page), Bytes{0xEE});  // not aligned
  page[1] = 0x40;
  EXPECT_EQ(Exchange(*words, page), Bytes{0xAC});
  EXPECT_EQ(words->FlashWord(0x7F), 0x5555);

  auto bytes = Board("LYR8721");
  // Byte addressing: even addresses and counts within one 128-byte page.
  EXPECT_EQ(Exchange(*bytes, {15, 0x82, 0x00, 4, 0x11, 0x22, 0x33, 0x44}), Bytes{0xAC});
  EXPECT_EQ(bytes->FlashWord(0x41), 0x2211);
  EXPECT_EQ(bytes->FlashWord(0x42), 0x4433);
  EXPECT_EQ(Exchange(*bytes, {15, 0x83, 0x00, 2, 0x11, 0x22}), Bytes{0xEE});
  EXPECT_EQ(Exchange(*bytes, {15, 0x7E, 0x00, 4, 1, 2, 3, 4}), Bytes{0xEE});
}

TEST(SimBoardTest, WireCountersAndPacing) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.baudPace = true;
  options.latencyUs = 2000;
  auto board = Board(options);
  const auto before = board->Counters();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 0x00, 0x02}).size(), 1024u);
  // 1024 bytes of ten bits at 57600 baud take 178 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 175ms);
  board->HostWrite(Bytes{4}.data(), 1);
  EXPECT_EQ(Exchange(*board, {250}).size(), 2u);  // one command in two writes: one round trip
  auto counters = board->Counters();
  EXPECT_EQ(counters.hostToTarget - before.hostToTarget, 7u + 2u);
  EXPECT_EQ(counters.targetToHost - before.targetToHost, 1024u + 2u);
  EXPECT_EQ(counters.roundTrips - before.roundTrips, 2u);
}

TEST(SimBoardTest, BaudDivisorOfTheMonitorsUart) {
  auto board = Board("LYR8326");
  EXPECT_EQ(Exchange(*board, {4, 254}), (Bytes{230, 0}));
  EXPECT_EQ(Exchange(*board, {5, 254, 243, 0}), Bytes{0xAC});  // acknowledged at the old speed
  EXPECT_EQ(board->TargetBaud(), 115200u);
  // The host still runs at 57600: the monitor samples its bytes at twice their speed and takes
  // something else; whatever comes back is not the answer.
  EXPECT_NE(Exchange(*board, {4, 254}), (Bytes{243, 0}));
  board->ClearViolations();
  (void)Exchange(*board, {0x00, 0x55, 0x00, 0x55});  // garbage may have left a command half-fed
  board->SetHostBaud(115200);
  EXPECT_EQ(Exchange(*board, {4, 254}), (Bytes{243, 0}));
}

TEST(SimOptionsTest, ParsesTheProgramsOptions) {
  sim::SimOptions options;
  std::string error;
  ASSERT_TRUE(sim::ParseSimOptions({"--chip=LYR9162", "--interface", "usb", "--usb-kind=1", "--secured=none-left",
                                    "--strapping=5", "--package-code=12", "--baud-pace", "--latency-us=100",
                                    "--drop-byte=7", "--stop-after=20", "--no-power", "--state", "/tmp/b.state",
                                    "--dump-memory=flash:/tmp/f.bin", "--dump-memory", "memory@0+10:/tmp/m.bin"},
                                   options, error))
      << error;
  EXPECT_EQ(options.chip, "LYR9162");
  EXPECT_TRUE(options.usbInterface);
  EXPECT_EQ(options.usbKind, 1);
  EXPECT_EQ(options.securedSession, 8);
  EXPECT_EQ(options.strapping, 5u);
  EXPECT_EQ(options.packageCode, 12u);
  EXPECT_TRUE(options.baudPace);
  EXPECT_EQ(options.latencyUs, 100u);
  EXPECT_EQ(options.dropReplyByte, 7u);
  EXPECT_EQ(options.stopAfterCommands, 20u);
  EXPECT_FALSE(options.targetPowered);
  EXPECT_EQ(options.stateFile, "/tmp/b.state");
  EXPECT_EQ(options.dumpRequests, (std::vector<std::string>{"flash:/tmp/f.bin", "memory@0+10:/tmp/m.bin"}));

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--chip=LYR1234"}, {"--secured=1"}, {"--strapping=8"}, {"--interface=pci"},
                                             {"--frobnicate"}, {"--chip"}, {"--baud-pace=1"}, {"chip"},
                                             {"--state="}, {"--dump-memory=flash"}, {"--dump-memory=:f.bin"},
                                             {"--dump-memory=flash:"}}) {
    sim::SimOptions ignored;
    EXPECT_FALSE(sim::ParseSimOptions(bad, ignored, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace tessaro::testing
