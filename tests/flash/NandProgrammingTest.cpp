// NAND block 0 end to end: the programming job, the link and the simulated board's NAND
// controller with an ONFI device. Cases check what the device holds afterwards.
#include <gtest/gtest.h>

#include "common/Text.h"
#include "flash/FlashDriverNAND.h"
#include "sim/devices/NandController.h"
#include "tests/flash/JobOnSimBoard.h"

namespace tessaro {
namespace {

using testing::RandomWords;

class NandBoard : public testing::JobOnSimBoard {
 public:
  explicit NandBoard(sim::NandGeometry geometry = {}) : JobOnSimBoard("LYR9468") {
    device = std::make_shared<sim::NandDevice>(geometry);
    controller = sim::AttachNand(*host.board, device);
    job.destination = DestNand;
    host.Prelink();
  }
  std::vector<std::string> Violations() const {
    auto all = device->violations();
    all.insert(all.end(), controller->violations().begin(), controller->violations().end());
    return all;
  }

  std::shared_ptr<sim::NandDevice> device;
  std::shared_ptr<sim::NandController> controller;
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
  const std::vector<uint16_t> words = RandomWords(2500, 3);               // pages of 1024, 1024 and 452 words
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

// The parameter page carries its CRC: a damaged copy is passed over for the next of the three,
// and a part whose copies are all damaged is refused before anything is erased.
TEST(NandParameterPage, CrcPicksAnIntactCopyOrRefuses) {
  struct Case {
    uint32_t damagedCopies;
    bool programs;
  };
  const Case cases[] = {{0, true}, {1, true}, {2, true}, {3, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damagedCopies);
    NandBoard board;
    board.device->damagedParameterCopies = c.damagedCopies;
    board.device->SetWord(0, 0x1234);
    const std::vector<uint16_t> words = RandomWords(300, 4);
    board.Load(words);
    std::string error;
    EXPECT_EQ(board.Program(error), c.programs) << error;
    if (c.programs) {
      EXPECT_EQ(board.status, StatusProgramVerified);
      EXPECT_EQ(board.job.nand.model, "SN01G08");  // the damaged copies name another model
      EXPECT_EQ(board.job.nand.blocksPerLun, 8u);
      for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(board.device->Word(i), words[i]) << i;
    } else {
      EXPECT_EQ(error, "ONFI parameter page damaged: no copy of 3 has a matching CRCNAND Device not detected!");
      EXPECT_FALSE(board.job.nand.ready);
      EXPECT_EQ(board.device->Word(0), 0x1234);
      EXPECT_EQ(board.device->erases, 0u);
    }
    EXPECT_EQ(board.Violations(), std::vector<std::string>{});
  }
  // The stored CRC is the one over bytes 0..253, low byte first, and the block count is 32 bits.
  sim::NandGeometry geometry;
  geometry.blocks = 0x10002;
  geometry.pagesPerBlock = 1;
  geometry.pageWords = 1;
  const auto page = sim::NandDevice(geometry).ParameterPage();
  EXPECT_EQ(page[254] | page[255] << 8, nand::OnfiCrc16(page.data(), 254));
  EXPECT_EQ(page[96] | page[97] << 8 | page[98] << 16 | page[99] << 24, 0x10002);
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
TEST(NandFaults, TheErasedPaddingOfTheLastPageIsVerifiedToo) {
  // The last page goes out padded with the erased value. Over a block whose erase did not take,
  // the image words (chosen to program over the old ones) come out right but the padding does
  // not: the run must not end in success with those words on the device.
  NandBoard board;
  board.device->eraseFails = true;
  for (uint32_t i = 0; i < board.device->BlockWords(); ++i) board.device->SetWord(i, 0x1111);
  std::vector<uint16_t> words = RandomWords(1100, 12);  // a full page and 76 words
  for (uint16_t& w : words) w &= 0x1111;
  board.Load(words);
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusVerifyFailed) << board.host.LastStatus();
  EXPECT_EQ(board.host.LastStatus(), "Verify FAILED at " + HexFixed(0x80000000u + 1100, 8) + ": Exp=FFFF Read=1111");
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(board.device->Word(i), words[i]) << i;
  EXPECT_EQ(board.device->Word(1100), 0x1111);
  // A verify of its own checks the image's words only: they are right.
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerified);
}

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

// The controller work of a program, as the NAND protocol lays it down: reset with the bus set-up,
// erase of block 0, then per page the page buffer written whole and the program-page command for
// its row. Status polls (the read-status command and its run) are left out: their number depends
// on timing. The record ends where the verify begins with its own reset.
TEST(NandWire, ProgramWritesFollowTheProtocol) {
  NandBoard board;
  board.Load(RandomWords(1500, 4));  // two pages
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;  // detects the device
  board.host.board->ClearTrace();
  ASSERT_TRUE(board.Program(error)) << error;
  ASSERT_EQ(board.status, StatusProgramVerified);

  using nand::kRegisterBase;
  constexpr uint32_t kBlock = 0xFFFFFFFF;  // a whole-page block write to the data window
  // Legend: controller register and the 32-bit value written to it (low half first), or kBlock.
  struct Write {
    uint32_t reg, value;
  };
  const uint32_t erase = ((board.job.nand.addressCycles & 0x7u) << 29) + 0x05D00060u;
  const std::vector<Write> reset = {{2, 2},         {24, 7},          {4, 0x7FFFFFFF},  {6, 0x7FFF},    {8, 0x18000000},
                                    {16, 0x800000}, {18, 0x0818080C}, {10, 0x010000FF}, {12, 0x400000}, {24, 7},
                                    {2, 1}};
  std::vector<Write> expected = reset;
  for (const Write& w : std::vector<Write>{{10, erase}, {12, 0}, {14, 0}, {26, 0}, {24, 7}, {2, 1}})
    expected.push_back(w);
  for (uint32_t page = 0; page < 2; ++page) {
    expected.push_back({kBlock, 0});
    for (const Write& w :
         std::vector<Write>{{10, 0xBD100080}, {12, 0x08684000}, {14, page << 16}, {26, page >> 16}, {24, 7}, {2, 1}})
      expected.push_back(w);
  }
  expected.push_back(reset[0]);  // the verify's reset

  // The trace's controller writes, paired back into registers, polls dropped.
  std::vector<Write> seen;
  const std::vector<sim::SimTraceRecord> trace = board.host.board->Trace();
  std::vector<std::pair<uint32_t, uint16_t>> words;  // register word address, value
  uint32_t pageFill = 0;
  for (const auto& r : trace) {
    const uint64_t addr = r.Field("addr").value_or(0);
    if (r.op == "writeMem" && addr >= kRegisterBase && addr < kRegisterBase + 0x100) {
      words.emplace_back(static_cast<uint32_t>(addr - kRegisterBase),
                         static_cast<uint16_t>(r.Field("value").value_or(0)));
    } else if (r.op == "writeBlock" && addr >= board.job.nand.window &&
               addr < board.job.nand.window + nand::kPageWords) {
      // The link moves a page in records of its own size; together they fill the buffer in order.
      EXPECT_EQ(addr, board.job.nand.window + pageFill);
      pageFill += static_cast<uint32_t>(r.data.size());
      if (pageFill == nand::kPageWords) {
        seen.push_back({kBlock, 0});
        pageFill = 0;
      }
    }
    if (words.size() == 2) {
      EXPECT_EQ(words[0].first + 1, words[1].first) << "halves of one register in order";
      seen.push_back({words[0].first, words[0].second | (static_cast<uint32_t>(words[1].second) << 16)});
      words.clear();
    }
  }
  std::vector<Write> kept;
  for (size_t i = 0; i < seen.size(); ++i) {
    // A status poll: the read-status command, its parameters and its run.
    if (seen[i].reg == 10 && seen[i].value == nand::kCmdReadStatus) {
      i += 3;
      continue;
    }
    kept.push_back(seen[i]);
  }
  ASSERT_GE(kept.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kept[i].reg, expected[i].reg) << "write " << i;
    EXPECT_EQ(kept[i].value, expected[i].value) << "write " << i << " reg " << expected[i].reg;
  }
}

}  // namespace
}  // namespace tessaro
