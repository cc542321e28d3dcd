// The on-target checksum service against the simulated board: upload of "PRGDEV PAR", the
// parameter block, ranges cut at multiples of 65536 words, and the ways a call fails.
#include <gtest/gtest.h>

#include <map>

#include "chips/ChipCatalogue.h"
#include "flash/DriverImage.h"
#include "link/LinkResult.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

// A memory window that remembers which offsets were read, with deterministic contents.
class PatternMemory : public sim::SimMemoryDevice {
 public:
  uint16_t ReadWord(uint32_t offset) override {
    ++reads;
    return static_cast<uint16_t>((offset * 40503u) >> 3);
  }
  void WriteWord(uint32_t, uint16_t) override {}
  uint64_t reads = 0;
};

class ChecksumService : public ::testing::Test {
 protected:
  explicit ChecksumService(const char* chip = "LYR8721") : host_(chip) {}
  void Link() { ASSERT_EQ(host_.link.Connect(&host_.callback, 1, false, host_.config), LINK_OK); }
  SimHost host_;
};

TEST_F(ChecksumService, UploadsTheImageAndTheParameterBlock) {
  Link();
  FlashIf session(host_);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  EXPECT_TRUE(session.checksumDriverReady);
  const DriverImage& image = session.checksumDriver;
  ASSERT_EQ(image.length, 1175u);
  for (uint32_t i = 0; i < image.length; ++i) ASSERT_EQ(host_.board->ReadMemory(i), image.Word(i)) << "word " << i;
  const ChipInfo& chip = *host_.board->chip();
  EXPECT_EQ(host_.board->Register(64), 0x501Du);
  EXPECT_EQ(host_.board->Register(65), chip.FindRomSymbol("ROM$DBGRETURN"));
  EXPECT_EQ(host_.board->Register(66), chip.FindRomSymbol("ST$SENDBYTE"));
  for (uint32_t r = 67; r < 112; ++r) EXPECT_EQ(host_.board->Register(r), 0u) << r;
  // The upload ran on the second progress channel and ended at the image length.
  EXPECT_EQ(session.progress[1].position, 1175);
  EXPECT_EQ(host_.bar.ranges.back(), std::make_pair(0, 1175));
}

TEST_F(ChecksumService, TheDataFlashImageUploadsInElevenPieces) {
  Link();
  FlashIf session(host_);
  DriverImage image;
  std::string error;
  ASSERT_TRUE(image.LoadEmbedded(kDriverImageDataFlash, error)) << error;
  const uint64_t before = host_.board->CommandCount();
  ASSERT_TRUE(image.Upload(session));
  // Ten pieces of 128 words and one of 52; the link reads back the first word of the pieces
  // from word 1024 on (1024, 1152, 1280).
  EXPECT_EQ(host_.board->CommandCount() - before, 11u + 3u);
  for (uint32_t i = 0; i < 1332; ++i) ASSERT_EQ(host_.board->ReadMemory(i), image.Word(i)) << "word " << i;
  EXPECT_EQ(session.progress[1].position, 1332);
  EXPECT_EQ(host_.bar.positions.back(), 1332);
  // A routine answering anything but 0xEE has succeeded; the stand-in DataFlash entries are
  // not run by the board model and answer 0xEE.
  EXPECT_FALSE(image.Call(session, 3));
  EXPECT_EQ(image.lastCall, CallResult::Failed);
}

TEST_F(ChecksumService, ARangeAcross64KWordsIsCutAtTheBoundary) {
  auto memory = std::make_shared<PatternMemory>();
  host_.board->AttachMemoryWindow(0x30000, 0x30000, memory);
  Link();
  FlashIf session(host_);
  session.window.Attach(session);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  session.window.Select(0x1234);
  uint32_t checksum = 0;
  ASSERT_TRUE(session.ChecksumTarget(checksum, 0x3F000, 0x12000));
  std::vector<uint16_t> expected;
  for (uint32_t offset = 0xF000; offset < 0xF000 + 0x12000; ++offset) {
    expected.push_back(static_cast<uint16_t>((offset * 40503u) >> 3));
  }
  EXPECT_EQ(checksum, ChecksumWords(0, expected));
  EXPECT_EQ(host_.runner->checksumCalls, 3u);  // 0x1000, 0x10000, 0x1000 words
  EXPECT_EQ(host_.runner->checksumWords, 0x12000u);
  EXPECT_EQ(session.window.position, 0x1234);  // the position is restored
  // Continuing from a packed value gives the same as one range.
  uint32_t chained = 0;
  ASSERT_TRUE(session.ChecksumTarget(chained, 0x3F000, 0x9000));
  ASSERT_TRUE(session.ChecksumTarget(chained, 0x48000, 0x9000));
  EXPECT_EQ(chained, checksum);
}

TEST_F(ChecksumService, ABadParameterBlockIsAFailedCall) {
  Link();
  FlashIf session(host_);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  host_.link.WriteRegister(65, 0x1234);  // not the chip's ROM$DBGRETURN
  uint32_t checksum = 0;
  EXPECT_FALSE(session.ChecksumTarget(checksum, 0, 16));
  EXPECT_EQ(session.checksumDriver.lastCall, CallResult::Failed);
  EXPECT_EQ(host_.runner->checksumCalls, 0u);
  EXPECT_TRUE(host_.link.linked());  // a failing routine leaves the link up
}

TEST_F(ChecksumService, ACallThatNeverAnswersEndsAndDropsTheLink) {
  Link();
  FlashIf session(host_);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  session.checksumDriver.callTimeoutMs = 300;
  // The register writes before the call are answered; the call itself is not.
  host_.board->SetStopAfterCommands(host_.board->CommandCount() + 5);
  uint32_t checksum = 0;
  EXPECT_FALSE(session.ChecksumTarget(checksum, 0, 16));
  EXPECT_EQ(session.checksumDriver.lastCall, CallResult::TimedOut);
  EXPECT_FALSE(host_.link.linked());
}

TEST_F(ChecksumService, ACancelEndsTheWaitForTheCompletionByte) {
  Link();
  FlashIf session(host_);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  host_.board->SetStopAfterCommands(host_.board->CommandCount() + 5);
  host_.cancel = [](int poll) { return poll >= 20; };
  uint32_t checksum = 0;
  EXPECT_FALSE(session.ChecksumTarget(checksum, 0, 16));
  EXPECT_EQ(session.checksumDriver.lastCall, CallResult::Cancelled);
  EXPECT_EQ(session.statusCode, StatusAborted);
}

TEST_F(ChecksumService, AFailedUploadIsReported) {
  Link();
  FlashIf session(host_);
  // The board stops answering after the third piece of the upload.
  host_.board->SetStopAfterCommands(host_.board->CommandCount() + 6);
  std::string error;
  EXPECT_FALSE(session.PrepareChecksumDriver(error));
  EXPECT_EQ(error, "Unable to upload Driver");
  EXPECT_FALSE(session.checksumDriverReady);
  uint32_t checksum = 0;
  EXPECT_FALSE(session.ChecksumTarget(checksum, 0, 16));
}

TEST(ChecksumServiceFamilies, A9xxxRangeRunsThroughItsLowWindowThenAbsoluteAddresses) {
  SimHost host("LYR9468");
  auto low = std::make_shared<PatternMemory>();
  auto high = std::make_shared<PatternMemory>();
  host.board->AttachMemoryWindow(0x80000000u, 0x10000, low);
  host.board->AttachMemoryWindow(0x10000, 0x100, high);
  ASSERT_EQ(host.link.Connect(&host.callback, 1, false, host.config), LINK_OK);
  FlashIf session(host);
  session.window.Attach(session);
  std::string error;
  ASSERT_TRUE(session.PrepareChecksumDriver(error)) << error;
  uint32_t checksum = 0;
  ASSERT_TRUE(session.ChecksumTarget(checksum, 0, 0x10100));
  std::vector<uint16_t> expected;
  for (uint32_t offset = 0; offset < 0x10000; ++offset)
    expected.push_back(static_cast<uint16_t>((offset * 40503u) >> 3));
  for (uint32_t offset = 0; offset < 0x100; ++offset) expected.push_back(static_cast<uint16_t>((offset * 40503u) >> 3));
  EXPECT_EQ(checksum, ChecksumWords(0, expected));
  EXPECT_EQ(host.runner->checksumCalls, 2u);  // one whole 64K chunk in the window, then 0x100 words
  EXPECT_EQ(low->reads, 0x10000u);
  EXPECT_EQ(high->reads, 0x100u);
}

TEST(ChecksumServiceFamilies, OldFamiliesHaveNoChecksumDriver) {
  SimHost host("LYR7312");
  FlashIf session(host);
  std::string error;
  EXPECT_FALSE(session.PrepareChecksumDriver(error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(host.board->Counters().hostToTarget, 0u);
}

}  // namespace
}  // namespace tessaro
