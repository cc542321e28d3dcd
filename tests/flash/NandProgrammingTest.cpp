// NAND block 0 end to end: the programming job, the link and the simulated board's NAND
// controller with an ONFI device. Cases check what the device holds afterwards.
#include <gtest/gtest.h>

#include <random>

#include "common/Text.h"
#include "session/ProgrammingJob.h"
#include "sim/devices/NandController.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

class NandBoard {
 public:
  explicit NandBoard(sim::NandGeometry geometry = {}) : host("LYR9468") {
    device = std::make_shared<sim::NandDevice>(geometry);
    controller = sim::AttachNand(*host.board, device);
    job.destination = DestNand;
    host.Prelink();
  }
  void Load(const std::vector<uint16_t>& words) {
    ResizeImage(job.image, static_cast<int32_t>(words.size()));
    std::copy(words.begin(), words.end(), job.image.words.begin());
  }
  bool Program(std::string& error) {
    FlashIf session(host);
    const bool started = job.ProgramImage(session, error);
    status = session.statusCode;
    return started;
  }
  bool Verify(std::string& error) {
    FlashIf session(host);
    const bool started = job.VerifyImage(session, error);
    status = session.statusCode;
    return started;
  }
  std::vector<std::string> Violations() const {
    auto all = device->violations();
    all.insert(all.end(), controller->violations().begin(), controller->violations().end());
    return all;
  }

  SimHost host;
  std::shared_ptr<sim::NandDevice> device;
  std::shared_ptr<sim::NandController> controller;
  ProgrammingJob job;
  uint32_t status = 0;
};

class NandProgram : public ::testing::TestWithParam<bool> {};

TEST_P(NandProgram, BlockZeroHoldsTheImageAndVerifyFindsADifference) {
  sim::NandGeometry geometry;
  geometry.bus16 = GetParam();
  NandBoard board(geometry);
  // Block 1 holds data that must survive.
  const uint32_t block = board.device->BlockWords();
  for (uint32_t i = 0; i < 100; ++i) board.device->SetWord(block + i, static_cast<uint16_t>(i));
  for (uint32_t i = 0; i < block; ++i) board.device->SetWord(i, 0x1111);  // old contents of block 0
  const std::vector<uint16_t> words = RandomWords(2500, 3);  // pages of 1024, 1024 and 452 words
  board.Load(words);
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusProgramVerified) << board.host.LastStatus();
  EXPECT_EQ(board.job.nand.manufacturer, "SIMNAND");
  EXPECT_EQ(board.job.nand.model, "SN01G08");
  EXPECT_EQ(board.job.nand.pagesPerBlock, 64u);
  EXPECT_EQ(board.controller->Register(8), geometry.bus16 ? 0x18000001u : 0x18000000u);
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(board.device->Word(i), words[i]) << i;
  for (uint32_t i = 2500; i < block; ++i) ASSERT_EQ(board.device->Word(i), 0xFFFF) << i;  // erased, padded
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(board.device->Word(block + i), i);
  EXPECT_EQ(board.device->programs, 3u);

  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerified);
  board.device->SetWord(2000, static_cast<uint16_t>(words[2000] ^ 0x0101));
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerifyFailed);
  EXPECT_EQ(board.host.LastStatus(), "Verify FAILED at " + HexFixed(0x80000000u + 2000, 8) + ": Exp=" +
                                         HexFixed(words[2000], 4) + " Read=" + HexFixed(words[2000] ^ 0x0101, 4));
  EXPECT_EQ(board.Violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EightAndSixteenBitBus, NandProgram, ::testing::Bool());

TEST(NandRefusals, EachEndsWithItsMessageAndLeavesTheDevice) {
  struct Case {
    const char* name;
    bool onfi;
    uint32_t words;
    uint32_t start;
    const char* error;
  };
  const Case cases[] = {
      {"not ONFI", false, 100, 0, "Device not ONFI compatibleNAND Device not detected!"},
      {"larger than block 0", true, 64 * 1024 + 1, 0, "Image does not fit into Block0"},
      {"not at address 0", true, 100, 0x400, "This driver is restricted to program Block0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::NandGeometry geometry;
    geometry.onfi = c.onfi;
    NandBoard board(geometry);
    board.device->SetWord(0, 0x1234);
    board.Load(RandomWords(c.words, 1));
    board.host.start = c.start;
    std::string error;
    EXPECT_FALSE(board.Program(error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(board.device->Word(0), 0x1234);
    EXPECT_EQ(board.device->erases, 0u);
    if (!c.onfi) {
      EXPECT_FALSE(board.job.nand.ready);
      EXPECT_EQ(board.job.nand.window, 0u);
    }
  }
}

TEST(NandFaults, BusyDeviceControllerErrorAndCancelNeverSucceed) {
  {
    NandBoard board;
    board.device->stuckBusy = true;
    board.Load(RandomWords(100, 2));
    std::string error;
    ASSERT_TRUE(board.Program(error)) << error;
    EXPECT_EQ(board.status, StatusSectorEraseFailed);
    EXPECT_EQ(board.device->programs, 0u);
  }
  {
    NandBoard board;
    board.device->stuckBusy = true;
    board.host.cancel = [](int) { return true; };
    board.Load(RandomWords(100, 2));
    std::string error;
    ASSERT_TRUE(board.Program(error)) << error;
    EXPECT_EQ(board.status, StatusAborted);
  }
  {
    NandBoard board;
    board.Load(RandomWords(100, 2));
    std::string error;
    ASSERT_TRUE(board.Program(error)) << error;  // detected and programmed
    board.controller->commandErrors = true;
    ASSERT_TRUE(board.Verify(error)) << error;
    EXPECT_EQ(board.status, StatusVerifyFailed);
    EXPECT_EQ(board.host.LastStatus().rfind("Verify FAILED at 00000000: Exp=0000 Read=", 0), 0u)
        << board.host.LastStatus();
  }
  {
    NandBoard board;
    board.controller->hang = true;
    board.Load(RandomWords(100, 2));
    std::string error;
    EXPECT_FALSE(board.Program(error));
    EXPECT_EQ(error, "Unable to detect DeviceNAND Device not detected!");
    EXPECT_EQ(board.device->Word(0), 0xFFFF);
  }
}


// Read and blank check page by page: a range that starts and ends inside pages gives exactly the
// device's words, and the blank check names the first written word, also past a full page.
TEST(NandRange, ReadAndBlankCheckFollowTheDevice) {
  NandBoard board;
  const std::vector<uint16_t> words = RandomWords(300, 5);
  for (uint32_t i = 0; i < words.size(); ++i) board.device->SetWord(900 + i, words[i]);  // pages 0 and 1
  board.device->SetWord(5000, 0x0000);
  std::string error;
  std::vector<uint16_t> read;
  {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.ReadRange(session, 900, 300, read, error)) << error;
  }
  EXPECT_EQ(read, words);
  // Legend: range start and length, status, first word that is not 0xFFFF.
  struct BlankCase {
    uint32_t start, words, status, firstWritten;
  };
  const BlankCase cases[] = {
      {1200, 3800, StatusEmpty, 0},  // ends just before the written word, over several pages
      {1200, 3801, StatusNotBlank, 5000},
      {0, 2048, StatusNotBlank, 900},
  };
  for (const BlankCase& c : cases) {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.CheckBlankRange(session, c.start, c.words, error)) << error;
    EXPECT_EQ(session.statusCode, c.status) << c.start;
    if (c.status == StatusNotBlank) {
      EXPECT_EQ(static_cast<uint32_t>(session.failureAddress), c.firstWritten);
      EXPECT_EQ(session.readValue, board.device->Word(c.firstWritten));
    }
  }
  // NAND has no erase of its own: the job refuses before any device work.
  FlashIf session(board.host);
  EXPECT_FALSE(board.job.EraseRange(session, 0, 10, error));
  EXPECT_EQ(board.device->erases, 0u);
  EXPECT_EQ(board.Violations(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessaro
