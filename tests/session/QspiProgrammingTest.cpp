// Program and verify of QSPI flash (single device, dual pair, multi-purpose window) through the
// programming job against the simulated board's QSPI controllers: what the devices hold
// afterwards, that a clean verify moves no image data, and how every failing run ends.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <random>

#include "definitions/DeviceCatalogue.h"
#include "session/ProgrammingJob.h"
#include "sim/devices/QspiController.h"
#include "tests/session/ExternalFlashSupport.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::HasText;
using testing::RandomWords;
using testing::SimHost;

const DeviceDescription& Qspi(const char* name) { return testing::QspiDevice(name); }

// 9xxx windows: the QSPI destination's low region maps to 0x80000000 on controller 100, the
// multi-purpose window sits at 0xC0000000 on controller 104.
constexpr uint32_t kQspiWindow = 0x80000000u;
constexpr uint32_t kMpWindow = 0xC0000000u;

struct QspiBoard {
  QspiBoard(const char* boardDevice, const char* jobDevice, bool dualOnBoard, bool dualInJob,
            sim::QspiFlashOptions options = {}, bool mp = false)
      : host("LYR9468") {
    flash = sim::AttachQspi(*host.board, mp ? kMpWindow : kQspiWindow, mp ? 104 : 100, Qspi(boardDevice), options,
                            dualOnBoard);
    job.destination = mp ? DestMpQspi : DestQspi;
    (mp ? job.mpQspi : job.qspi).Select(&Qspi(jobDevice), dualInJob, false);
    host.yesNoAnswer = PromptAnswer::Yes;
    host.Prelink();
  }
  void Load(const std::vector<uint16_t>& words) {
    ResizeImage(job.image, static_cast<int32_t>(words.size()));
    std::copy(words.begin(), words.end(), job.image.words.begin());
  }
  // Runs PROGRAM!; false when the job refused before device work (error in `error`).
  bool Program(uint32_t& status) {
    FlashIf session(host);
    error.clear();
    const bool ran = job.ProgramImage(session, error);
    status = session.statusCode;
    failureAddress = session.failureAddress;
    expectedValue = session.expectedValue;
    readValue = session.readValue;
    return ran;
  }
  std::vector<std::string> Violations() const {
    std::vector<std::string> all = flash.controller->violations();
    for (const auto& lane : {flash.lane0, flash.lane1})
      if (lane) all.insert(all.end(), lane->violations().begin(), lane->violations().end());
    return all;
  }
  SimHost host;
  sim::QspiAttachment flash;
  ProgrammingJob job;
  std::string error;
  int32_t failureAddress = 0;
  uint32_t expectedValue = 0;
  int32_t readValue = 0;
};

// A device already configured, whose programs and erases take a millisecond.
sim::QspiFlashOptions ConfiguredFast() {
  sim::QspiFlashOptions options;
  options.configured = true;
  options.programBusy = std::chrono::milliseconds(1);
  return options;
}

struct QspiCase {
  const char* name;
  const char* device;
  bool dual;
  bool mp;
  bool configured;
  uint32_t start;  // position
  size_t words;
};
// The case as test names and failure messages show it.
void PrintTo(const QspiCase& c, std::ostream* out) { *out << c.name; }

class QspiProgram : public ::testing::TestWithParam<QspiCase> {};

TEST_P(QspiProgram, DevicesHoldExactlyTheImageAndVerifyMovesNoData) {
  const QspiCase& c = GetParam();
  sim::QspiFlashOptions options;
  options.configured = c.configured;
  options.programBusy = std::chrono::milliseconds(1);
  QspiBoard b(c.device, c.device, c.dual, c.dual, options, c.mp);
  b.host.start = c.start;
  const std::vector<uint16_t> words = RandomWords(c.words, c.start ^ 0x5A5A);
  b.Load(words);
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  EXPECT_EQ(status, StatusProgramVerified) << b.host.LastStatus();
  // The window offset of the start: inside the low region the position is the offset.
  const uint32_t offset = c.mp ? c.start - kMpWindow : (c.start < 0x10000 ? c.start : c.start - kQspiWindow);
  for (size_t i = 0; i < words.size(); ++i)
    ASSERT_EQ(b.flash.controller->MappedWord(offset + static_cast<uint32_t>(i)), words[i]) << i;
  EXPECT_EQ(b.flash.controller->MappedWord(offset + static_cast<uint32_t>(words.size())), 0xFFFF);
  if (offset > 0) {
    EXPECT_EQ(b.flash.controller->MappedWord(offset - 1), 0xFFFF);
  }
  const QspiDescription& d = Qspi(c.device).qspi;
  EXPECT_EQ(b.flash.lane0->ConfigurationValue() & d.config.mask, d.config.expected);
  EXPECT_EQ(HasText(b.host.boxes, "Device needs to be configured"), !c.configured && d.config.mask != 0);
  const std::vector<std::string> violations = b.Violations();
  EXPECT_TRUE(violations.empty()) << violations.front();

  const sim::WireCounters before = b.host.board->Counters();
  {
    FlashIf session(b.host);
    std::string error;
    ASSERT_TRUE(b.job.VerifyImage(session, error)) << error;
    EXPECT_EQ(session.statusCode, StatusVerified) << b.host.LastStatus();
  }
  const sim::WireCounters after = b.host.board->Counters();
  EXPECT_LT(after.targetToHost - before.targetToHost, words.size());  // no read-back of the image
  EXPECT_EQ(b.host.link.roundTrips(), after.roundTrips)
      << "the board counted other round trips than the host waited for";

  // A difference anywhere is found with its address and both values.
  const uint32_t at = static_cast<uint32_t>(words.size() * 2 / 3);
  auto& lane = b.flash.lane1 ? b.flash.lane1 : b.flash.lane0;
  const uint32_t byte = c.dual ? offset + at : 2 * (offset + at) + 1;
  lane->memory[byte] ^= 0x80;
  const uint16_t changed = b.flash.controller->MappedWord(offset + at);
  ASSERT_NE(changed, words[at]);
  FlashIf session(b.host);
  std::string error;
  ASSERT_TRUE(b.job.VerifyImage(session, error)) << error;
  EXPECT_EQ(session.statusCode, StatusVerifyFailed);
  EXPECT_EQ(static_cast<uint32_t>(session.failureAddress), c.start + at);
  EXPECT_EQ(session.expectedValue, words[at]);
  EXPECT_EQ(session.readValue, changed);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, QspiProgram,
    ::testing::Values(QspiCase{"SingleFactoryState", "W25Q64JV", false, false, false, 0, 1000},
                      QspiCase{"SingleConfigured", "MX25L12835F", false, false, true, 0x1230, 300},
                      QspiCase{"DualPair", "W25Q64JV", true, false, false, 0x300, 700},
                      QspiCase{"MicronFlagStatus", "N25Q128A", false, false, false, 0x7F00, 0x400},
                      QspiCase{"AbsoluteWindowAddress", "W25Q64JV", false, false, true, kQspiWindow + 0x12340, 200},
                      QspiCase{"MultiPurpose", "MX25L12835F", false, true, true, kMpWindow + 0x8000, 513}),
    [](const ::testing::TestParamInfo<QspiCase>& info) { return std::string(info.param.name); });

// The host's writes for a single W25Q64JV (configured) on the 9xxx QSPI window and an image of
// one page and two words: identification and the configuration read, the erase of the one
// sector the image covers, then per page write enable, page program with the page's words and
// the status poll. Reads and polls are left aside.
TEST(QspiWire, CheckEraseAndProgramWritesFollowTheProtocol) {
  using testing::WireWrite;
  sim::QspiFlashOptions options;
  options.configured = true;
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
  const std::vector<uint16_t> words = RandomWords(130, 32);
  b.Load(words);
  b.host.board->ClearTrace();
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  ASSERT_EQ(status, StatusProgramVerified) << b.host.LastStatus();

  const QspiDescription& d = Qspi("W25Q64JV").qspi;
  constexpr uint32_t B = 100;  // the window above 0x80000000 without ext2First
  const WireWrite clearDone{"writeIo", B + 2, 0, 0x0400, {}};
  auto cycle = [](uint32_t command, uint32_t format, uint32_t mode) {
    return std::vector<WireWrite>{WireWrite::Io(B, command), WireWrite::Io(B + 1, format), WireWrite::Io(B + 2, mode),
                                  WireWrite::Io(B + 3, 6)};
  };
  std::vector<WireWrite> expected;
  auto add = [&](const std::vector<WireWrite>& writes) {
    expected.insert(expected.end(), writes.begin(), writes.end());
  };
  // CheckDevice: identification, then the QE_SR2 read script (status registers 05h and 35h).
  add({clearDone, WireWrite::Io(B + 3, 6)});
  add(cycle(0x019F, 0, 0xC90));
  add({clearDone});
  add(cycle(0x0105, 0, 0x488));
  add({clearDone});
  add(cycle(0x0135, 0, 0x488));
  add({clearDone});
  // Erase: the first 64 KiB sector, then the status poll.
  const auto writeEnable = [&](uint64_t target) {
    add(cycle(0x0605, 0, 0x80));
    add({WireWrite::Mem(target, 0)});
  };
  const std::vector<WireWrite> statusPoll = cycle(0x0205, 0, 0x890);
  writeEnable(kQspiWindow);
  add(cycle(d.eraseSectorCmd * 256u + 0x0B, d.addressBytes * 2u, 0x80));
  add({WireWrite::Mem(kQspiWindow, 0)});
  add(statusPoll);
  // Program: 128-word pages; the second page carries the image's last two words only.
  for (uint32_t page = 0; page < 2; ++page) {
    const uint64_t target = kQspiWindow + page * 128u;
    writeEnable(target);
    add(cycle(d.pageProgramCmd * 256u + 3, d.addressBytes * 2u, 0x490));
    add({WireWrite::Block(target,
                          std::vector<uint16_t>(words.begin() + page * 128,
                                                words.begin() + std::min<size_t>(words.size(), (page + 1) * 128))),
         clearDone});
    add(statusPoll);
  }
  const std::vector<WireWrite> seen = testing::WireWrites(b.host.board->Trace());
  testing::ExpectWireWrites(seen, expected, true);
  // The verify that follows writes no image data to the device.
  for (size_t i = expected.size(); i < seen.size(); ++i)
    EXPECT_FALSE(seen[i].op == "writeBlock" && seen[i].where >= kQspiWindow) << seen[i].Text();
}

TEST(QspiFailures, DeviceCheckRefusesBeforeAnyDeviceWork) {
  struct Case {
    const char* name;
    const char* boardDevice;  // "" for an empty window
    const char* jobDevice;
    bool dualOnBoard, dualInJob;
    PromptAnswer answer;
    const char* error;
  } cases[] = {
      {"nothing answers", "", "W25Q64JV", false, false, PromptAnswer::Yes,
       "DeviceID Mismatch:, read 0000:0000,\r\nexpected 00EF:4017"},
      {"wrong device", "W25Q128JV", "W25Q64JV", false, false, PromptAnswer::Yes,
       "DeviceID Mismatch:, read 00EF:4018,\r\nexpected 00EF:4017"},
      {"dual pair missing a device", "W25Q64JV", "W25Q64JV", false, true, PromptAnswer::Yes,
       "Dual QSPI requested but not available!"},
      {"configuration refused", "W25Q64JV", "W25Q64JV", false, false, PromptAnswer::No, "Device not configured"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimHost host("LYR9468");
    sim::QspiAttachment flash;
    if (*c.boardDevice) flash = sim::AttachQspi(*host.board, kQspiWindow, 100, Qspi(c.boardDevice), {}, c.dualOnBoard);
    ProgrammingJob job;
    job.destination = DestQspi;
    job.qspi.Select(&Qspi(c.jobDevice), c.dualInJob, false);
    host.yesNoAnswer = c.answer;
    host.Prelink();
    ResizeImage(job.image, 100);
    FlashIf session(host);
    std::string error;
    EXPECT_FALSE(job.ProgramImage(session, error));
    EXPECT_EQ(error, c.error);
    if (flash.lane0) {
      EXPECT_EQ(flash.lane0->pagesProgrammed, 0u);
      EXPECT_EQ(flash.lane0->sectorsErased, 0u);
    }
  }
}

TEST(QspiFailures, ZeroPageSizeIsRefused) {
  DeviceDescription broken = Qspi("W25Q64JV");
  broken.qspi.pageSize = 0;
  SimHost host("LYR9468");
  auto flash = sim::AttachQspi(*host.board, kQspiWindow, 100, Qspi("W25Q64JV"));
  ProgrammingJob job;
  job.destination = DestQspi;
  job.qspi.Select(&broken, false, false);
  host.Prelink();
  ResizeImage(job.image, 100);
  FlashIf session(host);
  std::string error;
  EXPECT_FALSE(job.ProgramImage(session, error));
  EXPECT_NE(error.find("Invalid PageSize"), std::string::npos) << error;
  EXPECT_EQ(flash.lane0->pagesProgrammed, 0u);
}

// A run that starts in the low region stays in the device past position 0x10000: those words
// go to device words 0x10000 on, not to the absolute target addresses.
TEST(QspiFailures, ImageRunningPastTheLowRegionStaysInTheDevice) {
  sim::QspiFlashOptions options;
  options.configured = true;
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
  b.host.start = 0xFF00;
  const std::vector<uint16_t> words = RandomWords(0x200, 1);
  b.Load(words);
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  EXPECT_EQ(status, StatusProgramVerified) << b.host.LastStatus();
  EXPECT_FALSE(HasText(b.host.boxes, "Image runs past the end"));
  for (size_t i = 0; i < words.size(); ++i)
    ASSERT_EQ(b.flash.controller->MappedWord(0xFF00 + static_cast<uint32_t>(i)), words[i]) << i;
  const std::vector<std::string> violations = b.Violations();
  EXPECT_TRUE(violations.empty()) << violations.front();
}

TEST(QspiFailures, PageOverUnerasedDataFailsTheVerify) {
  sim::QspiFlashOptions options;
  options.configured = true;
  options.eraseFails = true;  // the old content stays under the new pages
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
  const std::vector<uint16_t> words = RandomWords(256, 2);
  b.Load(words);
  std::fill_n(b.flash.lane0->memory.begin(), 512, uint8_t{0xF0});
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  EXPECT_EQ(status, StatusVerifyFailed);
  EXPECT_EQ(b.flash.controller->MappedWord(0), words[0] & 0xF0F0);
}

TEST(QspiFailures, StuckDeviceFailsTheProgramWithAddressAndValues) {
  sim::QspiFlashOptions options;
  options.configured = true;
  options.stuckBusy = true;
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
  const std::vector<uint16_t> words = RandomWords(300, 3);
  b.Load(words);
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  // The erase never finishes; the program then waits its time-out on the first page.
  EXPECT_EQ(status, StatusProgramFailed);
  EXPECT_EQ(b.failureAddress, 0);
  EXPECT_EQ(b.expectedValue, words[0]);
  // Still in the status transfer, the window answers the busy status (lane 0; no lane 1).
  EXPECT_EQ(b.readValue, 0xFF01);
}

TEST(QspiFailures, CancelEndsEveryWait) {
  struct Case {
    const char* name;
    bool stuckDevice, stuckController, stuckTransfer;
  } cases[] = {
      {"device busy", true, false, false},
      {"controller busy", false, true, false},
      {"transfer running", false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::QspiFlashOptions options;
    options.configured = true;
    options.stuckBusy = c.stuckDevice;
    QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
    b.flash.controller->stuckBusy = c.stuckController;
    b.flash.controller->stuckTransfer = c.stuckTransfer;
    b.Load(RandomWords(300, 4));
    int polls = 0;
    b.host.cancel = [&](int) { return ++polls > 40; };
    const auto begin = std::chrono::steady_clock::now();
    uint32_t status = 0;
    (void)b.Program(status);
    // A wait ended by the cancel is the cancel, not a failed erase or program.
    EXPECT_EQ(status, StatusAborted) << b.host.LastStatus();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
    EXPECT_TRUE(b.host.statuses.size() < 2 || b.host.statuses.back().find("FAILED") == std::string::npos);
  }
}

TEST(QspiFailures, EveryWaitEndsWithoutACancel) {
  // A controller or device that stays busy, with the link up or gone: each run ends soon with
  // a failure (never a hang), and one whose link went down says so.
  struct Case {
    const char* name;
    bool stuckController, stuckTransfer, stuckDevice;
    uint64_t answersLeft;  // commands the board still answers; 0: all
  } cases[] = {
      {"controller busy", true, false, false, 0},
      {"transfer running", false, true, false, 0},
      {"controller busy, link lost", true, false, false, 40},
      {"device busy, link lost", false, false, true, 60},
      {"link lost while programming", false, false, false, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::QspiFlashOptions options = ConfiguredFast();
    options.stuckBusy = c.stuckDevice;
    QspiBoard b("W25Q64JV", "W25Q64JV", false, false, options);
    b.flash.controller->stuckBusy = c.stuckController;
    b.flash.controller->stuckTransfer = c.stuckTransfer;
    if (c.answersLeft != 0) b.host.board->SetStopAfterCommands(b.host.board->CommandCount() + c.answersLeft);
    const std::vector<uint16_t> words = RandomWords(2000, 5);
    b.Load(words);
    const auto begin = std::chrono::steady_clock::now();
    FlashIf session(b.host);
    std::string error;
    // A controller busy from the start fails the device check (refused before device work).
    const bool ran = b.job.ProgramImage(session, error);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_TRUE(!ran || session.statusCode == StatusSectorEraseFailed || session.statusCode == StatusProgramFailed)
        << b.host.LastStatus();
    EXPECT_FALSE(session.cancelled);
    EXPECT_EQ(session.linkLost, c.answersLeft != 0);
    EXPECT_EQ(session.failureReason, c.answersLeft != 0 ? std::string(kLinkLostText) : std::string());
    // What a run that fails part way leaves: never the whole image.
    size_t held = 0;
    while (held < words.size() && b.flash.controller->MappedWord(static_cast<uint32_t>(held)) == words[held]) ++held;
    EXPECT_LT(held, words.size());
  }
}

TEST(QspiFailures, AFailedChecksumCallIsNotACancel) {
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, ConfiguredFast());
  const std::vector<uint16_t> words = RandomWords(600, 6);
  b.Load(words);
  b.host.runner->failNextCalls = 100;  // every call of the checksum routine reports a failure
  FlashIf session(b.host);
  std::string error;
  ASSERT_TRUE(b.job.ProgramImage(session, error)) << error;
  // The status stays the one the programmer has always shown; the reason says what happened.
  EXPECT_EQ(session.statusCode, StatusAborted);
  EXPECT_FALSE(session.cancelled);
  EXPECT_NE(session.failureReason.find("checksum"), std::string::npos) << session.failureReason;
  for (size_t i = 0; i < words.size(); ++i)
    ASSERT_EQ(b.flash.controller->MappedWord(static_cast<uint32_t>(i)), words[i]);
}

// Read, blank check and erase of a range through the job: each follows what the device holds.
TEST(QspiRange, ReadBlankCheckAndEraseFollowTheDevice) {
  QspiBoard b("W25Q64JV", "W25Q64JV", false, false, ConfiguredFast());
  const std::vector<uint16_t> words = RandomWords(1000, 21);
  b.Load(words);
  uint32_t status = 0;
  ASSERT_TRUE(b.Program(status)) << b.error;
  ASSERT_EQ(status, StatusProgramVerified) << b.host.LastStatus();
  std::string error;
  std::vector<uint16_t> read;
  {
    FlashIf session(b.host);
    ASSERT_TRUE(b.job.ReadRange(session, 10, 500, read, error)) << error;
  }
  EXPECT_EQ(read, std::vector<uint16_t>(words.begin() + 10, words.begin() + 510));
  uint32_t lastWritten = 999;
  while (words[lastWritten] == 0xFFFF) --lastWritten;
  testing::ExpectBlankChecks(b.job, b.host,
                             {{1000, 0x8000, StatusEmpty, 0},  // crosses a checksum chunk
                              {lastWritten, 5, StatusNotBlank, lastWritten}},
                             [&](uint32_t at) { return b.flash.controller->MappedWord(at); });
  {
    FlashIf session(b.host);
    ASSERT_TRUE(b.job.EraseRange(session, 500, 1, error)) << error;
    EXPECT_EQ(session.statusCode, StatusErased);
  }
  for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(b.flash.controller->MappedWord(i), 0xFFFF) << i;  // one sector
  FlashIf session(b.host);
  ASSERT_TRUE(b.job.CheckBlankRange(session, 0, 1000, error)) << error;
  EXPECT_EQ(session.statusCode, StatusEmpty);
  const std::vector<std::string> violations = b.Violations();
  EXPECT_TRUE(violations.empty()) << violations.front();
}

}  // namespace
}  // namespace tessaro
