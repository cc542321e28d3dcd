// The simulated board at the byte level: what a host sees on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/Files.h"
#include "sim/SimBoard.h"
#include "sim/SimPortDevice.h"
#include "sim/SimUart.h"

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
      {"LYR7452", {}},        {"LYR8321", {4}}, {"LYR8721", {}},           {"LYR8547", {12, 0x00, 0x00, 0x00, 0x00}},
      {"LYR9468", {}},        {"LYR9468", {4}}, {"LYR9468", {0x00, 0x55}}, {"LYR9468", {12, 0x00, 0x00}},
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
  EXPECT_EQ(Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 0x01, 0x02}), Bytes{0xEE});   // 513 words
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

// The 8x47's external address line A17 is port pin P1.2: while the pin is a plain output
// (bit 2 of I/O 33 and I/O 13) it drives A17 from P1's data (I/O 9), which is how the first
// 0x20000 words of the WCS0 memory show at 0x20000; otherwise the memory sees the address.
TEST(SimBoardTest, The8x47ReachesTheLowWordsOfItsExternalMemoryThroughPinP1_2) {
  class Memory : public sim::SimMemoryDevice {
   public:
    static uint16_t At(uint32_t word) { return static_cast<uint16_t>(word ^ (word >> 16) * 0x5A5A); }
    uint16_t ReadWord(uint32_t offset) override { return At(offset); }
    void WriteWord(uint32_t, uint16_t) override {}
  };
  auto board = Board("LYR8547");
  board->AttachMemoryWindow(0x20000, 0x800000, std::make_shared<Memory>());
  struct Case {
    uint16_t io9, io13, io33;
    uint32_t address, word;  // the memory word the target address reaches
  } cases[] = {
      {0, 0, 0, 0x20000, 0x20000}, {0, 0, 0, 0x3FFFF, 0x3FFFF},      // A17 from the address
      {0, 4, 4, 0x20000, 0x00000}, {0, 4, 4, 0x3FFFF, 0x1FFFF},      // A17 driven low
      {0, 4, 4, 0x40000, 0x40000}, {0, 4, 4, 0x61234, 0x41234},      // ... everywhere on the bus
      {4, 4, 4, 0x20000, 0x20000}, {0xFFFB, 4, 4, 0x20000, 0x0000},  // A17 driven high, then low
      {0, 4, 0, 0x20000, 0x20000}, {0, 0, 4, 0x20000, 0x20000},      // the pin not switched over
  };
  for (const Case& c : cases) {
    board->SetIoRegister(9, c.io9);
    board->SetIoRegister(13, c.io13);
    board->SetIoRegister(33, c.io33);
    EXPECT_EQ(board->ReadMemory(c.address), Memory::At(c.word))
        << std::hex << c.address << " with I/O 9, 13, 33 = " << c.io9 << ", " << c.io13 << ", " << c.io33;
  }
  // Below 0x20000 the chip's own memories answer whatever the pin does.
  board->SetIoRegister(9, 0);
  EXPECT_EQ(board->ReadMemory(0x100), board->FlashWord(0x100));
}

// The LYR8247 and LYR8347 have their select and keyboard port in data memory at 0xC000000, with
// or without a device on its pins; the other 8x47 models have nothing there.
TEST(SimBoardTest, SelectPortOfThe8247And8347HoldsWhatWasWritten) {
  for (const char* chip : {"LYR8247", "LYR8347", "LYR8547", "LYR8647"}) {
    auto board = Board(chip);
    const bool port = std::string(chip) == "LYR8247" || std::string(chip) == "LYR8347";
    board->WriteMemory(0xC000002, 0xFFFF);
    board->WriteMemory(0xC000000, 0x1234);
    EXPECT_EQ(board->ReadMemory(0xC000000), port ? 0x1234 : 0xFFFF) << chip;
    EXPECT_EQ(board->ReadMemory(0xC000004), 0xFFFF) << chip;
  }
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

// On a paced line the monitor does not read its UART while it carries out a command: two
// block writes sent back to back fit a buffer that holds the second, and overrun one that
// does not, losing bytes (counted, and a violation) so that the second block never lands.
TEST(SimBoardTest, ReceiveBufferHoldsWhatArrivesWhileTheMonitorIsBusy) {
  for (const uint32_t buffer : {300u, 16u}) {
    SCOPED_TRACE(buffer);
    sim::SimOptions options;
    options.chip = "LYR9468";
    options.baudPace = true;
    options.rxBuffer = buffer;
    auto board = Board(options);
    Bytes both;
    for (const uint8_t low : {0x00, 0x80}) {
      const Bytes header{12, low, 0x00, 0xE1, 0x08, 128, 0};
      both.insert(both.end(), header.begin(), header.end());
      for (int i = 0; i < 128; ++i) both.insert(both.end(), {static_cast<uint8_t>(i), low});
    }
    board->HostWrite(both.data(), both.size());
    std::this_thread::sleep_for(400ms);  // the line and the monitor's work take about 150 ms
    const Bytes answer = Exchange(*board, {});
    const bool fits = buffer >= 263;
    EXPECT_EQ(answer, fits ? (Bytes{0xAC, 0xAC}) : Bytes{0xAC});
    EXPECT_EQ(board->Counters().rxDropped == 0, fits);
    EXPECT_EQ(board->StatsJson().find("\"rxDropped\": 0") != std::string::npos, fits);
    EXPECT_EQ(board->ReadMemory(0x8E1007F), 0x007F);
    EXPECT_EQ(board->ReadMemory(0x8E100FF) == 0x807F, fits);
    EXPECT_EQ(board->Violations().empty(), fits);
  }
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

TEST(SimUartTest, MismatchedFramesAndSpeedsArriveAsAUartSamplesThem) {
  const Bytes bytes = {0x04, 0xFA, 0xBC, 0x55};
  const sim::UartFormat base{57600, 8, 'N', 1};
  EXPECT_EQ(sim::UartTransfer(bytes, base, base), bytes);
  EXPECT_EQ(sim::UartTransfer(bytes, {57900, 8, 'N', 2}, base), bytes);  // within 3 %, stop bits do not matter
  // 7E2 into 8N1: seven data bits, then the parity bit read as bit 7.
  Bytes seven = sim::UartTransfer(bytes, {57600, 7, 'E', 2}, base);
  EXPECT_EQ(seven, (Bytes{0x84, 0xFA, 0x3C, 0x55}));
  // Twice the receiver's speed: two sent bytes fall into each received frame.
  Bytes fast = sim::UartTransfer(bytes, {115200, 8, 'N', 1}, base);
  EXPECT_FALSE(fast.empty());
  EXPECT_LT(fast.size(), bytes.size());
  EXPECT_NE(fast, bytes);
  // Half the receiver's speed: each sent bit is read twice; more bytes arrive than were sent.
  Bytes slow = sim::UartTransfer(bytes, {28800, 8, 'N', 1}, base);
  EXPECT_GT(slow.size(), bytes.size());
}

TEST(SimBoardTest, WrongFramingReachesTheMonitorAsGarbage) {
  auto board = Board("LYR9468");
  board->SetHostLine({57600, 7, 'E', 2});
  board->ClearTrace();
  (void)Exchange(*board, {4, 40});
  for (const auto& record : board->Trace()) EXPECT_NE(record.op, "readIo");
  board->SetHostBaud(57600);
  EXPECT_EQ(Exchange(*board, {4, 40}), (Bytes{0, 0}));
}

TEST(SimBoardTest, LateAnswerLeavesWhenItIsDue) {
  auto board = Board("LYR8326");
  board->SetIoRegister(40, 0x0102);
  board->SetLateCommand(board->CommandCount() + 1, 150);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Exchange(*board, {4, 40}, 60ms).empty());
  // Speaking again does not hurry it; the next answer queues behind it.
  Bytes answer = Exchange(*board, {4, 40}, 60ms);
  EXPECT_TRUE(answer.empty());
  while (answer.size() < 4 && std::chrono::steady_clock::now() - start < 1s) {
    Bytes more = Exchange(*board, {});
    answer.insert(answer.end(), more.begin(), more.end());
  }
  EXPECT_EQ(answer, (Bytes{0x02, 0x01, 0x02, 0x01}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST(SimBoardTest, WhatAChipToleratesButACorrectHostNeverSendsIsAViolation) {
  struct Case {
    const char* chip;
    Bytes command;
    Bytes answer;
    const char* violation;  // a fragment of the text
  };
  const Case cases[] = {
      {"LYR9468", {3, 0x00, 0x00, 0x00, 0x01, 0x34, 0x12}, {0xAC}, "unmapped address 0x01000000"},
      {"LYR8547", {3, 0x10, 0x00, 0x00, 0x0A, 0x34, 0x12}, {0xAC}, "into the embedded flash at 0x0A000010"},
      {"LYR8547", {3, 0x10, 0x00, 0x00, 0x00, 0x34, 0x12}, {0xAC}, "into the embedded flash at 0x00000010"},
      {"LYR9468", {15, 64}, {0x00, 0x00}, "eFuse read of word 64"},
      {"LYR9468", {1, 0x05, 0x00, 1, 0, 0}, {0xAC}, "without bit 15"},
      {"LYR9468", {16}, {0xEE}, "after 0 idle commands"},
      {"LYR9468", {17, 3, 0}, {0xEE}, "outside a burn"},
      {"LYR8547", {15, 0x20, 0x00, 2, 1, 0, 2, 0}, {0xEE}, "flash writer refuses"},
      {"LYR8547", {0x72, 0x36}, {}, "instead of 0x35"},
  };
  for (const Case& c : cases) {
    auto board = Board(c.chip);
    EXPECT_EQ(Exchange(*board, c.command), c.answer) << c.violation;
    const auto violations = board->Violations();
    ASSERT_EQ(violations.size(), 1u) << c.violation;
    EXPECT_NE(violations[0].find(c.violation), std::string::npos) << violations[0];
    // ...and it is in the trace and the statistics too.
    const auto trace = board->Trace();
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const auto& r) { return r.op == "violation"; }));
    EXPECT_NE(board->StatsJson().find(c.violation), std::string::npos);
  }
  // The flash keeps its erased word; unmapped reads float high and are no violation (the
  // identification probes read where nothing may answer).
  auto board = Board("LYR8547");
  (void)Exchange(*board, {3, 0x10, 0x00, 0x00, 0x0A, 0x34, 0x12});
  EXPECT_EQ(board->FlashWord(0x10), 0xFFFF);
  board->ClearViolations();
  EXPECT_EQ(Exchange(*board, {2, 0x00, 0x00, 0x00, 0x70}), (Bytes{0xFF, 0xFF}));
  EXPECT_TRUE(board->Violations().empty());
}

TEST(SimBoardTest, UsbInterfaceKeepsItsHigherRateUntilThePortOpensAgain) {
  auto board = Board("LYR9468", true);
  (void)Exchange(*board, {0xBC});
  (void)Exchange(*board, {0xB7});
  EXPECT_EQ(board->TargetBaud(), 115200u);
  board->SetHostBaud(57600);  // a host changing its line coding does not reach the interface
  EXPECT_EQ(board->TargetBaud(), 115200u);
  board->PortOpened();
  EXPECT_EQ(board->TargetBaud(), 57600u);
}

TEST(SimBoardTest, StoppedTargetComesBackWithAReset) {
  auto board = Board("LYR9468");
  board->SetStopAfterCommands(board->CommandCount() + 1);
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));
  EXPECT_TRUE(Exchange(*board, {4, 250}).empty());
  // A 0xBC inside a command's data is no reset request, even to a hung target.
  EXPECT_TRUE(Exchange(*board, {5, 0xBC, 0xBC, 0x00}).empty());
  EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{0xAC});
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));  // the stop was used up
}

TEST(SimBoardTest, HostToTargetFaults) {
  auto board = Board("LYR9468");
  const uint64_t sent = board->Counters().hostToTarget;
  board->SetIoRegister(40, 0x1111);
  board->SetIoRegister(41, 0x2222);
  board->CorruptHostByte(sent + 2, 0x01);  // register 40 becomes 41
  EXPECT_EQ(Exchange(*board, {4, 40}), (Bytes{0x22, 0x22}));
  board->DropHostByte(sent + 3);  // the code: 40 alone is no command
  EXPECT_TRUE(Exchange(*board, {4, 40}).empty());
  board->DuplicateHostByte(sent + 5);  // the code twice: read of I/O register 4
  board->SetIoRegister(4, 0x4444);
  EXPECT_EQ(Exchange(*board, {4, 41}), (Bytes{0x44, 0x44}));
}

TEST(SimBoardTest, TraceNamesEachDecodedCommand) {
  const std::string path = ::testing::TempDir() + "/sim-trace.jsonl";
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.traceFile = path;
  auto board = Board(options);
  board->SetRegister(0x55, 7);
  (void)Exchange(*board, {0x00, 0x55, 0x80});                              // readReg 0x55
  (void)Exchange(*board, {1, 0x81, 0x80, 1, 2, 3});                        // writeReg 0x81
  (void)Exchange(*board, {5, 40, 0x34, 0x12});                             // writeIo
  (void)Exchange(*board, {12, 0x00, 0x00, 0xE1, 0x08, 2, 0, 1, 0, 2, 0});  // writeBlock
  (void)Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 2, 0});              // readBlock
  (void)Exchange(*board, {0x00, 0x55, 0x00, 0x55});                        // the probe as an idle 9xxx takes it
  (void)Exchange(*board, {11, 0x00, 0x00, 0xE1, 0x08, 2, 0});              // the same again: resent
  (void)Exchange(*board, {15, 3});                                         // readFuse
  const auto trace = board->Trace();
  std::vector<std::string> ops;
  for (const auto& record : trace) ops.push_back(record.op);
  EXPECT_EQ(ops, (std::vector<std::string>{"readReg", "writeReg", "writeIo", "writeBlock", "readBlock", "resync",
                                           "readBlock", "readFuse"}));
  EXPECT_EQ(trace[0].Field("reg"), 0x55u);
  EXPECT_EQ(trace[0].Field("value"), 7u);
  EXPECT_EQ(trace[1].Field("value"), 0x030201u);
  EXPECT_EQ(trace[3].Json(), "{\"op\":\"writeBlock\",\"addr\":148963328,\"data\":[1,2]}\n");
  EXPECT_FALSE(trace[4].resent);
  EXPECT_TRUE(trace[6].resent);
  board.reset();
  const std::string text = ReadWholeFile(path).value_or("");
  std::string lines;
  for (const auto& record : trace) lines += record.Json();
  EXPECT_EQ(text, lines);
  // The format checker the project keeps beside the sources, when it is there.
  const char* checker = "/work/shared/tools/trace-check";
  if (FILE* probe = std::fopen(checker, "r")) {
    std::fclose(probe);
    EXPECT_EQ(std::system((std::string(checker) + " '" + path + "' >/dev/null").c_str()), 0);
  }
}

TEST(SimBoardTest, NoiseIsReproducibleFromItsSeed) {
  auto run = [](uint64_t seed, uint32_t ppm) {
    sim::SimOptions options;
    options.chip = "LYR8326";
    options.noisePpm = ppm;
    options.seed = seed;
    options.resetMs = 5;
    auto board = sim::SimBoard::Create(options);
    board->SetHostBaud(57600);
    for (uint32_t reg = 0; reg < 32; ++reg) board->SetIoRegister(reg, static_cast<uint16_t>(reg * 0x0101));
    Bytes answers;
    (void)Exchange(*board, {0xBC});
    for (uint8_t reg = 0; reg < 32; ++reg) {
      Bytes answer = Exchange(*board, {4, reg}, 100ms);
      answers.insert(answers.end(), answer.begin(), answer.end());
    }
    return answers;
  };
  const Bytes quiet = run(7, 0);
  EXPECT_EQ(quiet.size(), 64u);
  const Bytes noisy = run(7, 100000);  // one byte in ten
  EXPECT_NE(noisy, quiet);
  EXPECT_EQ(run(7, 100000), noisy);
}

TEST(SimBoardTest, ResetAndUnplugAtAGivenCommand) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.resetAtCommand = 2;
  auto board = Board(options);
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00, 0xAC}));  // the answer, then the greeting
  options.resetAtCommand = 0;
  options.unplugAtCommand = 1;
  board = Board(options);
  EXPECT_FALSE(board->unplugged());
  (void)Exchange(*board, {4, 250});
  EXPECT_TRUE(board->unplugged());
}

// What the host sees of each armed fault, byte by byte: a board reset at a time greets by itself;
// a lost link swallows everything, the serial board's reset request included, while the USB
// interface still answers and reports no target; an unplugged interface takes the port away.
TEST(SimBoardTest, TimedResetGreetsWithoutBeingAsked) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.resetAtMs = 300;  // from Board()'s reset request, the host's first byte
  auto board = Board(options);
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(Exchange(*board, {}, 200ms), Bytes{0xAC});
  const auto trace = board->Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().op, "fault");
  EXPECT_EQ(trace.back().text, "board reset at 300 ms");
}

TEST(SimBoardTest, LinkLossSilencesTheTargetButNotTheInterface) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.linkLossAtCommand = 1;
  auto board = Board(options);
  EXPECT_EQ(Exchange(*board, {4, 250}), (Bytes{0x96, 0x00}));  // the command the loss follows
  EXPECT_TRUE(board->linkLost());
  EXPECT_TRUE(Exchange(*board, {4, 250}).empty());
  EXPECT_TRUE(Exchange(*board, {0xBC}).empty());  // no greeting: the reset never got there
  board->RestoreLink();
  EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{0xAC});
  EXPECT_FALSE(board->unplugged());

  options.usbInterface = true;
  options.linkLossAtCommand = 0;
  options.linkLossAtMs = 30;
  options.linkLossMs = 300;
  board = Board(options);
  EXPECT_EQ(Exchange(*board, {0xBC}, 200ms).at(3), 0x0D);  // flags: target powered
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(Exchange(*board, {0xBC}), (Bytes{0xCB, 2, 6, 0x00, 0x01, 0x00, 0xCA}));  // no target
  EXPECT_TRUE(Exchange(*board, {0xB3, 4, 250}).size() == 1);  // the interface's 0xCA, nothing more
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(board->linkLost());
  EXPECT_EQ(Exchange(*board, {0xBC}).at(3), 0x0D);
}

TEST(SimBoardTest, UnpluggedInterfaceTakesThePortAway) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.usbInterface = true;
  options.unplugAtMs = 40;
  auto board = Board(options);
  board->HostWrite(Bytes{0xBC}.data(), 1);  // the host's first byte starts the clock
  auto opener = sim::SimPortOpener(board);
  auto port = opener(1);
  ASSERT_NE(port, nullptr);
  uint8_t buffer[64];
  const auto start = std::chrono::steady_clock::now();
  long got = 0;
  while (got >= 0 && std::chrono::steady_clock::now() - start < 2s) got = port->Read(buffer, sizeof buffer);
  EXPECT_EQ(got, -1);  // the read ends by itself when the interface goes, as on a pulled tty
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);  // before the reset it started would end
  EXPECT_TRUE(board->unplugged());
  EXPECT_FALSE(port->Write(buffer, 1));
  EXPECT_EQ(opener(1), nullptr);
}

TEST(SimOptionsTest, ParsesTheProgramsOptions) {
  sim::SimOptions options;
  std::string error;
  ASSERT_TRUE(sim::ParseSimOptions({"--chip=LYR9162",
                                    "--interface",
                                    "usb",
                                    "--usb-kind=1",
                                    "--secured=none-left",
                                    "--strapping=5",
                                    "--package-code=12",
                                    "--baud-pace",
                                    "--latency-us=100",
                                    "--drop-byte=7",
                                    "--stop-after=20",
                                    "--no-power",
                                    "--state",
                                    "/tmp/b.state",
                                    "--dump-memory=flash:/tmp/f.bin",
                                    "--dump-memory",
                                    "memory@0+10:/tmp/m.bin",
                                    "--drop-host-byte=3",
                                    "--drop-host-byte=9",
                                    "--corrupt-host-byte=5:0x41",
                                    "--corrupt-host-byte=6",
                                    "--duplicate-host-byte=8",
                                    "--trace=/tmp/t.jsonl",
                                    "--noise-ppm=250",
                                    "--seed=99",
                                    "--reset-at-command=4",
                                    "--unplug-at-command=5",
                                    "--reset-at-ms=250",
                                    "--link-loss-at-command=6",
                                    "--link-loss-at-ms",
                                    "900",
                                    "--link-loss-ms=40",
                                    "--unplug-at-ms=1200",
                                    "--seed=0x10",
                                    "--nand"},
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
  EXPECT_EQ(options.dropHostBytes, (std::vector<uint64_t>{3, 9}));
  EXPECT_EQ(options.corruptHostBytes, (std::vector<std::pair<uint64_t, uint8_t>>{{5, 0x41}, {6, 0xFF}}));
  EXPECT_EQ(options.duplicateHostBytes, (std::vector<uint64_t>{8}));
  EXPECT_EQ(options.traceFile, "/tmp/t.jsonl");
  EXPECT_EQ(options.noisePpm, 250u);
  EXPECT_EQ(options.seed, 0x10u);  // given twice: the last one counts
  EXPECT_EQ(options.resetAtCommand, 4u);
  EXPECT_EQ(options.unplugAtCommand, 5u);
  EXPECT_EQ(options.resetAtMs, 250u);
  EXPECT_EQ(options.linkLossAtCommand, 6u);
  EXPECT_EQ(options.linkLossAtMs, 900u);
  EXPECT_EQ(options.linkLossMs, 40u);
  EXPECT_EQ(options.unplugAtMs, 1200u);
  EXPECT_EQ(options.nand, std::optional<bool>(false));
  EXPECT_EQ(sim::DescribeFaults(options),
            (std::vector<std::string>{
                "target-to-host byte 7 dropped", "target stops answering after command 20",
                "host-to-target byte dropped: 3", "host-to-target byte dropped: 9",
                "host-to-target byte corrupted: 5 (mask 65)", "host-to-target byte corrupted: 6 (mask 255)",
                "host-to-target byte duplicated: 8", "line noise 250 ppm, seed 16", "board reset after command 4",
                "board reset at 250 ms", "link loss after command 6", "link loss at 900 ms", "link loss lasts 40 ms",
                "USB interface unplugged after command 5", "USB interface unplugged at 1200 ms"}));
  EXPECT_TRUE(sim::DescribeFaults(sim::SimOptions{}).empty());

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{{"--chip=LYR1234"},
                                                                                   {"--secured=1"},
                                                                                   {"--strapping=8"},
                                                                                   {"--interface=pci"},
                                                                                   {"--frobnicate"},
                                                                                   {"--chip"},
                                                                                   {"--baud-pace=1"},
                                                                                   {"chip"},
                                                                                   {"--state="},
                                                                                   {"--dump-memory=flash"},
                                                                                   {"--dump-memory=:f.bin"},
                                                                                   {"--dump-memory=flash:"},
                                                                                   {"--corrupt-host-byte=5:0"},
                                                                                   {"--corrupt-host-byte=5:256"},
                                                                                   {"--corrupt-host-byte=x"},
                                                                                   {"--trace="},
                                                                                   {"--seed=-1"},
                                                                                   {"--reset-at-ms=x"},
                                                                                   {"--help"},
                                                                                   {"--nand=32bit"}}) {
    sim::SimOptions ignored;
    EXPECT_FALSE(sim::ParseSimOptions(bad, ignored, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

// The parser's messages name the option and what was wrong with it.
TEST(SimOptionsTest, ErrorsSayWhatWasWrong) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--frobnicate=3"}, "unknown option --frobnicate"},
      {{"chip"}, "unexpected argument 'chip'"},
      {{"--usb-kind=256"}, "invalid value '256' for --usb-kind"},
      {{"--latency-us", "fast"}, "invalid value 'fast' for --latency-us"},
      {{"--no-power=1"}, "--no-power takes no value"},
      {{"--interface=pci"}, "--interface takes none or usb, not 'pci'"},
      {{"--chip=LYR1234"}, "unknown chip 'LYR1234'"},
      {{"--drop-host-byte=1", "2"}, "unexpected argument '2'"},  // one value per occurrence
  };
  for (const auto& [args, expected] : cases) {
    sim::SimOptions options;
    std::string error;
    EXPECT_FALSE(sim::ParseSimOptions(args, options, error)) << args[0];
    EXPECT_EQ(error, expected);
  }
}

// --help comes from the same table as the parser: every option it lists parses, and every option
// the simulator has ever had is listed.
TEST(SimOptionsTest, PortOptionListsSplitAtCommasOutsideParentheses) {
  EXPECT_EQ(sim::SplitSimOptionList("board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS), --interface=usb,nand,,"),
            (std::vector<std::string>{"--board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS)", "--interface=usb", "--nand"}));
  EXPECT_EQ(sim::SplitSimOptionList("a)b,c"), (std::vector<std::string>{"--a)b", "--c"}));
  EXPECT_TRUE(sim::SplitSimOptionList("").empty());
}

TEST(SimOptionsTest, HelpListsEveryOptionTheParserTakes) {
  const std::string help = sim::SimOptionsHelp();
  std::vector<std::string> listed;
  for (size_t at = help.find("\n  --"); at != std::string::npos; at = help.find("\n  --", at + 1)) {
    const size_t begin = at + 5;
    listed.push_back(help.substr(begin, help.find_first_of(" \n", begin) - begin));
  }
  for (const std::string& name : listed) {
    sim::SimOptions options;
    std::string error;
    (void)sim::ParseSimOptions({"--" + name}, options, error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << name << ": " << error;
  }
  for (const char* name : {"chip",
                           "interface",
                           "usb-kind",
                           "usb-revision",
                           "usb-flags",
                           "no-power",
                           "secured",
                           "security-bit",
                           "strapping",
                           "package-code",
                           "revision",
                           "baud-pace",
                           "latency-us",
                           "reset-ms",
                           "stats",
                           "drop-byte",
                           "corrupt-byte",
                           "late-command",
                           "late-ms",
                           "stop-after",
                           "drop-host-byte",
                           "corrupt-host-byte",
                           "duplicate-host-byte",
                           "noise-ppm",
                           "seed",
                           "reset-at-command",
                           "unplug-at-command",
                           "trace",
                           "no-baud-switch",
                           "state",
                           "dump-memory",
                           "efuses",
                           "board",
                           "config",
                           "drivers",
                           "spi-flash",
                           "qspi",
                           "nor",
                           "nand",
                           "dataflash-pages",
                           "qspi-configured",
                           "busy-ms",
                           "fail-erase-sector",
                           "fail-program-word",
                           "stuck-busy",
                           "reset-at-ms",
                           "link-loss-at-command",
                           "link-loss-at-ms",
                           "link-loss-ms",
                           "unplug-at-ms"})
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;
}

}  // namespace
}  // namespace tessaro::testing

namespace tessaro::testing {
namespace {

// The eFuse commands of a 9xxx monitor drive the board's fuse array.
TEST(SimBoardEfuseTest, SequenceOutOfOrderBurnsNothing) {
  struct Case {
    const char* what;
    int idles;  // idle commands (18) before the start (16); -1: no start
    Bytes startAnswer;
    const char* violation;
  };
  const Case cases[] = {
      {"31 idles", 31, {0xEE}, "after 31 idle commands"},
      {"no start", -1, {}, "outside a burn"},
  };
  for (const Case& c : cases) {
    auto board = Board("LYR9468");
    for (int i = 0; i < std::max(c.idles, 0); ++i) ASSERT_EQ(Exchange(*board, {18}, 200ms), Bytes{0xAC}) << c.what;
    if (c.idles >= 0) {
      EXPECT_EQ(Exchange(*board, {16}), c.startAnswer) << c.what;
    }
    EXPECT_EQ(Exchange(*board, {17, 0x05, 0x00}), Bytes{0xEE}) << c.what;  // bit 5
    for (uint32_t w = 0; w < 64; ++w) ASSERT_EQ(board->EfuseWord(w), 0) << c.what << " word " << w;
    const auto violations = board->Violations();
    ASSERT_FALSE(violations.empty()) << c.what;
    EXPECT_NE(violations[0].find(c.violation), std::string::npos) << violations[0];
    const auto trace = board->Trace();
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const auto& r) { return r.op == "violation"; })) << c.what;
  }
}

TEST(SimBoardEfuseTest, PresetWordsAreReadAndTheSessionComesFromTheFuses) {
  sim::SimOptions options;
  options.chip = "LYR9468";
  options.efusePreset = {0x0F00, 0x1234};  // counter bits 8..11: session 5
  options.securedSession = 2;
  options.resetMs = 5;
  auto board = sim::SimBoard::Create(options);
  board->SetHostBaud(57600);
  EXPECT_EQ(Exchange(*board, {0xBC}), Bytes{0x52 + 5});
  EXPECT_EQ(Exchange(*board, {0xBB}), Bytes{0xAC});
  // Opening the session burns the next counter bit.
  EXPECT_EQ(board->EfuseWord(0), 0x1F00);
  EXPECT_EQ(Exchange(*board, {15, 1}), (Bytes{0x34, 0x12}));
  EXPECT_EQ(Exchange(*board, {15, 2}), (Bytes{0x00, 0x00}));
  EXPECT_TRUE(board->Violations().empty());
}

}  // namespace
}  // namespace tessaro::testing
