// The session without a target: status lines, progress channels, the address window of the
// families that map without I/O registers, and the refusals of the programming job that come
// before any device work.
#include <gtest/gtest.h>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "link/SerialPort.h"
#include "session/ProgrammingJob.h"
#include "tests/session/TestSession.h"

namespace tessaro {
namespace {

using testing::TestSession;

struct StatusCase {
  uint32_t kind;
  uint32_t code;
  int32_t address;
  uint32_t expected;
  int32_t read;
  const char* text;
  int colour;
};

TEST(StatusText, EveryCodeWithPrefixValuesAndColour) {
  const StatusCase cases[] = {
      {MemoryEmbedded, StatusReady, 0, 0, 0, "Ready", 0},
      {MemoryEmbedded, StatusProgramVerified, 0, 0, 0, "Embedded Flash: Program and Verify Success", 1},
      {MemoryParallel, StatusProgrammed, 0, 0, 0, "Parallel Flash: Program Success (not verified)", 2},
      {MemorySerial, StatusProgramQuickVerified, 0, 0, 0, "Serial Flash: Program and Quick-Verify Success", 0},
      {MemoryQspi, StatusVerified, 0, 0, 0, "QSPI Flash: Verify Success", 1},
      {MemoryDualQspi, StatusErased, 0, 0, 0, "Dual QSPI Flash: Erase Success", 1},
      {MemoryNand, StatusChipErased, 0, 0, 0, "Chip Erase Success", 1},
      {4, StatusEmpty, 0, 0, 0, "Device is empty", 0},
      {MemoryEmbedded, StatusProgramFailed, 0x0A000080, 0x1234, 0xABCD,
       "Embedded Flash: Program FAILED at 0A000080: Exp=1234 Read=ABCD", 3},
      {MemoryNone, StatusQuickVerifyFailed, 0, 0, 0, "Quick-Verify FAILED!!", 3},
      {MemoryEmbedded, StatusVerifyFailed, 0x6000010, 0xBEEF, -1,
       "Embedded Flash: Verify FAILED at 06000010: Exp=BEEF Read=????", 3},
      {MemoryNone, StatusVerifyFailed, static_cast<int32_t>(VALUE_INVALID), VALUE_INVALID,
       static_cast<int32_t>(VALUE_INVALID), "Verify FAILED at ????????: Exp=???????? Read=????", 3},
      {MemoryParallel, StatusSectorEraseFailed, 0x20000, 0, 0,
       "Parallel Flash: Could not erase sector, FAILED - Addr= 00020000", 3},
      {MemoryNone, StatusChipEraseFailed, 0, 0, 0, "Error erasing Chip!", 3},
      {MemoryNone, StatusNotBlank, 0x10, 0, 0x00FF, "Device is NOT BLANK - Addr= 00000010: Read=00FF", 2},
      {MemoryEmbedded, StatusAborted, 0x0A000100, 0, 0, "Embedded Flash: Aborted by User - Addr=0A000100", 2},
      {MemoryNone, StatusProgramming, 0, 0, 0, "Programming...", 0},
      {MemoryNone, StatusBlankChecking, 0, 0, 0, "Blank checking...", 0},
      {MemoryNone, StatusVerifying, 0, 0, 0, "Verify in progress...", 0},
      {MemoryNone, StatusErasing, 0, 0, 0, "Erasing...", 0},
      {MemorySerial, 42, 0, 0, 0, "Serial Flash: ", 0},
  };
  for (const StatusCase& c : cases) {
    EXPECT_EQ(StatusText(c.kind, c.code, c.address, c.expected, c.read, ""), c.text) << "code " << c.code;
    EXPECT_EQ(StatusColourClass(c.code), c.colour) << "code " << c.code;
  }
  EXPECT_EQ(StatusText(MemoryEmbedded, StatusCustom, 0, 0, 0, "Programming completed, security bit ON"),
            "Embedded Flash: Programming completed, security bit ON");
}

TEST(Session, CustomStatusAndReportGoThroughShowStatus) {
  BoardConfig config = InitBoardConfig();
  TestSession session(nullptr, &config);
  session.memoryKind = MemoryEmbedded;
  session.SetCustomStatus("Programming in progress");
  session.statusCode = StatusReady;
  session.ReportStatus();
  ASSERT_EQ(session.statuses.size(), 2u);
  EXPECT_EQ(session.statuses[0], "Embedded Flash: Programming in progress");
  EXPECT_EQ(session.statuses[1], "Ready");
}

TEST(Session, ProgressRangeIsSentOnlyWhenTheChannelChanges) {
  BoardConfig config = InitBoardConfig();
  TestSession session(nullptr, &config);
  session.progress[0].high = 500;
  session.progress[1].high = 1332;
  session.SetProgress(7);  // channel 0 is current from the start: no range
  EXPECT_TRUE(session.bar.ranges.empty());
  session.progress[1].position = 128;
  session.UpdateProgress(1);
  session.UpdateProgress(1);
  session.UpdateProgress(0);
  ASSERT_EQ(session.bar.ranges.size(), 2u);
  EXPECT_EQ(session.bar.ranges[0], std::make_pair(0, 1332));
  EXPECT_EQ(session.bar.ranges[1], std::make_pair(0, 500));
  EXPECT_EQ(session.bar.positions, (std::vector<int32_t>{7, 128, 128, 7}));
}

struct WindowCase {
  const char* chip;
  uint32_t position;
  bool low;
  uint32_t target;
};

TEST(AddressWindow, MapsPositionsPerFamily) {
  const WindowCase cases[] = {
      {"LYR8321", 0x0000, true, 0x1000000}, {"LYR8321", 0xFFFF, true, 0x100FFFF}, {"LYR8321", 0x10000, false, 0x10000},
      {"LYR7431", 0x1234, true, 0x4001234}, {"LYR7431", 0x20000, false, 0x20000}, {"LYR9162", 0x8000, true, 0x80008000},
      {"LYR9162", 0x10000, false, 0x10000}, {"LYR7312", 1023, true, 3071},        {"LYR7312", 1024, false, 1024},
      {"LYR8721", 0x100, false, 0x100},
  };
  for (const WindowCase& c : cases) {
    BoardConfig config = InitBoardConfig();
    config.chip = FindChipByName(c.chip);
    ASSERT_NE(config.chip, nullptr);
    TestSession session(nullptr, &config);
    session.window.Attach(session);
    EXPECT_EQ(session.window.Select(c.position), c.low) << c.chip << " " << std::hex << c.position;
    EXPECT_EQ(session.window.TargetAddress(), c.target) << c.chip << " " << std::hex << c.position;
  }
}

// A run started in the low region of an 8x2x, 74xx or 9xxx maps every later position into the
// device; one started beyond it, and runs on a 73xx, map as single positions do.
TEST(AddressWindow, RunsFromTheLowRegionStayInTheDevice) {
  struct RunCase {
    const char* chip;
    uint32_t start;
    uint32_t position;
    uint32_t target;
  };
  const RunCase cases[] = {
      {"LYR8321", 0x0000, 0x10000, 0x1010000},
      {"LYR7431", 0x8000, 0x17FFF, 0x4017FFF},
      {"LYR9162", 0xFF00, 0x10000, 0x80010000},
      {"LYR9162", 0x10000, 0x10000, 0x10000},
      {"LYR7312", 0, 1024, 1024},
  };
  for (const RunCase& c : cases) {
    BoardConfig config = InitBoardConfig();
    config.chip = FindChipByName(c.chip);
    ASSERT_NE(config.chip, nullptr);
    TestSession session(nullptr, &config);
    session.window.Attach(session);
    session.window.StartRun(c.start);
    session.window.Select(c.position);
    EXPECT_EQ(session.window.TargetAddress(), c.target) << c.chip << " " << std::hex << c.position;
    session.window.Detach();
    session.window.Attach(session);
    session.window.Select(c.position);  // a later session maps positions afresh
    EXPECT_EQ(session.window.TargetAddress(), c.position < 0x10000 ? c.target : c.position) << c.chip;
  }
}

TEST(AddressWindow, DetachedSelectOnlyMovesAndDetachRestoresTheLowRegion) {
  BoardConfig config = InitBoardConfig();
  config.chip = FindChipByName("LYR9162");
  TestSession session(nullptr, &config);
  EXPECT_FALSE(session.window.Select(0x10));
  EXPECT_EQ(session.window.base, 0);
  session.window.Attach(session);
  session.window.Select(0x30000);
  EXPECT_EQ(session.window.base, 0);
  session.window.Detach();
  EXPECT_FALSE(session.window.attached());
  EXPECT_TRUE(session.window.lowRegion);
  EXPECT_EQ(static_cast<uint32_t>(session.window.base), 0x80000000u);
}

// The job's refusals that need no target: nothing is asked of the link (EnsureLinked is not
// even called) and the error text says why.
struct RefusalCase {
  const char* chip;
  int32_t destination;
  int32_t imageWords;
  const char* message;
  bool linkTried;
};

TEST(ProgrammingJob, RefusesBeforeDeviceWork) {
  const RefusalCase cases[] = {
      {"LYR8721", DestEmbedded, 0, "No file selected", false},
      {"LYR8721", DestNone, 16, "Invalid Programming Target!", false},
      {"LYR8721", 4, 16, "Invalid Programming Target!", false},
      {"LYR8721", DestEmbedded, 0x4001, "Image too big for internal Flash!", false},
      {"LYR8547", DestEmbedded, 0x4001, "Image too big for internal Flash!", false},
      {"LYR9162", DestEmbedded, 1, "Image too big for internal Flash!", false},
      {"LYR9162", DestSerial, 16, "No Serial Driver selected!", false},
      {"LYR9162", DestQspi, 16, "No Driver Selected\r\n", true},
      {"LYR9162", DestMpQspi, 16, "No Driver Selected\r\n", true},
      {"LYR9162", DestParallel, 16, "No Driver Description for Parallel Flash", true},
      {"LYR8647", DestEmbeddedParallel, 16, "No Driver Description for Parallel Flash", true},
      {"LYR9162", DestNand, 16, "Unable to detect DeviceNAND Device not detected!", true},
  };
  for (const RefusalCase& c : cases) {
    for (bool verify : {false, true}) {
      SerialPort link;
      BoardConfig config = InitBoardConfig();
      config.chip = FindChipByName(c.chip);
      TestSession session(&link, &config);
      ProgrammingJob job;
      job.destination = c.destination;
      ResizeImage(job.image, c.imageWords);
      std::string error;
      const bool ran = verify ? job.VerifyImage(session, error) : job.ProgramImage(session, error);
      EXPECT_FALSE(ran) << c.chip << " dest " << c.destination;
      EXPECT_EQ(error, c.message) << c.chip << " dest " << c.destination;
      EXPECT_EQ(session.ensureLinkedCalls, c.linkTried ? 1 : 0) << c.chip << " dest " << c.destination;
      EXPECT_EQ(session.statusCode, StatusReady) << "a refusal leaves the status as it was";
    }
  }
}

TEST(ProgrammingJob, SerialDestinationIsRefusedWithoutAReadyDriverOnEveryFamily) {
  SerialPort link;
  BoardConfig config = InitBoardConfig();
  config.chip = FindChipByName("LYR8547");
  TestSession session(&link, &config);
  ProgrammingJob job;
  ResizeImage(job.image, 16);
  job.destination = DestEmbeddedSerial;
  std::string error;
  // Destination 3 is not checked by the target check; with the link answering it reaches the
  // transport check, which an unopened link does not pass.
  EXPECT_FALSE(job.ProgramImage(session, error));
  EXPECT_EQ(error, "Not connected to a LYR8xxx");
}

TEST(ProgrammingJob, LinkRefusalAndTransportModeAreCheckedAfterTheSizes) {
  SerialPort link;  // never opened: transport mode 0
  BoardConfig config = InitBoardConfig();
  config.chip = FindChipByName("LYR8721");
  TestSession session(&link, &config);
  ProgrammingJob job;
  job.destination = DestEmbedded;
  ResizeImage(job.image, 0x4000);
  std::string error;
  session.linkAnswer = false;
  EXPECT_FALSE(job.ProgramImage(session, error));
  EXPECT_EQ(error, "");  // EnsureLinked showed its own messages
  session.linkAnswer = true;
  EXPECT_FALSE(job.VerifyImage(session, error));
  EXPECT_EQ(error, "Not connected to a LYR8xxx");
  EXPECT_EQ(session.ensureLinkedCalls, 2);
}

// Each family is reached in the transport modes of its protocol. A 73xx behind a USB interface
// of kind 2 links in mode 5 and is as connected as in mode 3.
TEST(ProgrammingJob, TransportModesThatReachEachFamily) {
  struct Case {
    uint32_t family;
    const char* fitting;  // modes 0..6, '1' where the mode fits
    const char* refusal;
  };
  const Case cases[] = {
      {FAMILY_73XX, "0011010", "Not connected to a LYR7xxx"}, {FAMILY_74XX, "0100101", "Not connected to a LYR74xx"},
      {FAMILY_8X2X, "0100101", "Not connected to a LYR8xxx"}, {FAMILY_8721, "0100101", "Not connected to a LYR8xxx"},
      {FAMILY_8X47, "0100101", "Not connected to a LYR8xxx"}, {FAMILY_9XXX, "0100101", "Not connected to a LYR8xxx"},
  };
  for (const Case& c : cases) {
    for (int mode = 0; mode <= 6; ++mode) {
      const char* refusal = TransportRefusal(c.family, static_cast<TransportMode>(mode));
      if (c.fitting[mode] == '1') {
        EXPECT_EQ(refusal, nullptr) << std::hex << c.family << " mode " << mode;
      } else {
        ASSERT_NE(refusal, nullptr) << std::hex << c.family << " mode " << mode;
        EXPECT_STREQ(refusal, c.refusal);
      }
    }
  }
}

TEST(ProgrammingJob, EmbeddedImageMustFitBehindTheStartAddress) {
  SerialPort link;
  BoardConfig config = InitBoardConfig();
  config.chip = FindChipByName("LYR8721");
  TestSession session(&link, &config);
  session.startAddress = 0x3F00;
  ProgrammingJob job;
  job.destination = DestEmbedded;
  ResizeImage(job.image, 0x101);
  std::string error;
  EXPECT_FALSE(job.ProgramImage(session, error));
  EXPECT_EQ(error, "Image too big for internal Flash!");
}

TEST(ProgrammingJob, DestinationTexts) {
  EXPECT_STREQ(DestinationText(DestEmbedded), "Embedded Flash only");
  EXPECT_STREQ(DestinationText(DestEmbeddedSerial), "Firmware into Embedded+Serial Flash");
  EXPECT_STREQ(DestinationText(DestMpQspi), "external MP QSPI Flash");
  EXPECT_STREQ(DestinationText(7), "");
}

}  // namespace
}  // namespace tessaro
