// The state file of the simulated board: regions round-trip, a file of another board only
// touches the regions both have, malformed files are refused, regions are dumped as words.
#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <map>

#include "platform/Files.h"
#include "sim/BoardState.h"
#include "sim/DriverImageRunner.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {
namespace {

struct FakeMemory {
  std::map<std::string, std::vector<uint16_t>> words;
  StateRegion Region(const std::string& name, uint32_t size, bool settable = true) {
    words[name].assign(size, 0);
    StateRegion region{name, size, [this, name](uint32_t i) { return words[name][i]; }, nullptr};
    if (settable) region.write = [this, name](uint32_t i, uint16_t v) { words[name][i] = v; };
    return region;
  }
};

TEST(BoardState, RegionsRoundTrip) {
  FakeMemory source;
  std::vector<StateRegion> regions = {source.Region("flash", 5), source.Region("fuses", 3)};
  source.words["flash"] = {1, 0xFFFF, 0x0A0D, 0x0D0A, 0};
  source.words["fuses"] = {0, 1, 7};
  const std::string bytes = FormatState(regions);

  FakeMemory target;
  std::vector<StateRegion> other = {target.Region("fuses", 3), target.Region("flash", 4), target.Region("efuses", 2)};
  target.words["efuses"] = {9, 9};
  std::string error;
  ASSERT_TRUE(ApplyState(bytes, other, error)) << error;
  EXPECT_EQ(target.words["flash"], (std::vector<uint16_t>{1, 0xFFFF, 0x0A0D, 0x0D0A}));  // as far as both go
  EXPECT_EQ(target.words["fuses"], (std::vector<uint16_t>{0, 1, 7}));
  EXPECT_EQ(target.words["efuses"], (std::vector<uint16_t>{9, 9}));  // not in the file: untouched
}

TEST(BoardState, MalformedFilesAreRefused) {
  FakeMemory memory;
  std::vector<StateRegion> regions = {memory.Region("flash", 4)};
  const std::string good = FormatState(regions);
  const std::vector<std::string> bad = {
      "",
      "tessaro-sim state 2\n",
      std::string("tessaro-sim state 1\nflash 4\n") + "\x01\x02",  // cut short
      "tessaro-sim state 1\nflash x\n",                            // count
      "tessaro-sim state 1\nflash 99999999999\n",                  // absurd count
      good.substr(0, good.size() - 3),
  };
  for (const std::string& bytes : bad) {
    std::string error;
    EXPECT_FALSE(ApplyState(bytes, regions, error)) << bytes;
    EXPECT_FALSE(error.empty());
  }
  FakeMemory readOnly;
  std::vector<StateRegion> fixed = {readOnly.Region("flash", 4, false)};
  std::string error;
  EXPECT_FALSE(ApplyState(good, fixed, error));
  EXPECT_EQ(error, "the board model cannot load region 'flash'");
}

TEST(BoardState, DumpsRegionsOfABoard) {
  SimOptions options;
  options.chip = "LYR8721";
  auto board = SimBoard::Create(options);
  ASSERT_TRUE(board);
  const auto folder = std::filesystem::temp_directory_path() / ("tessaro-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string flash = (folder / "flash.bin").string();
  std::string error;
  ASSERT_TRUE(DumpBoardRegion(*board, "flash:" + flash, error)) << error;
  EXPECT_EQ(ReadWholeFile(flash).value_or(""), std::string(0x8000, '\xFF'));  // erased flash
  board->WriteMemory(0x4000100, 0x1234);                                      // internal RAM
  const std::string memory = (folder / "memory.bin").string();
  ASSERT_TRUE(DumpBoardRegion(*board, "memory@40000FF+2:" + memory, error)) << error;
  EXPECT_EQ(ReadWholeFile(memory).value_or(""), std::string("\x00\x00\x34\x12", 4));
  EXPECT_FALSE(DumpBoardRegion(*board, "efuses:" + memory, error));  // no eFuses on an 8721
  EXPECT_FALSE(DumpBoardRegion(*board, "flash", error));
  std::filesystem::remove_all(folder);
}

class BoardStateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        (std::filesystem::temp_directory_path() / ("tessaro-state-" + std::to_string(::getpid()) + "-" +
                                                   ::testing::UnitTest::GetInstance()->current_test_info()->name()))
            .string();
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::shared_ptr<SimBoard> Board(const std::string& chip, const std::string& state, std::string* error = nullptr,
                                  std::vector<std::string> dumps = {}) {
    SimOptions options;
    options.chip = chip;
    options.stateFile = state;
    options.dumpRequests = std::move(dumps);
    return SimBoard::Create(options, error);
  }
  std::string folder_;
};

TEST_F(BoardStateFiles, BoardsEndAndStartAgainWithTheirMemories) {
  const std::string state = folder_ + "/b.state";
  const std::string dump = folder_ + "/fuses.bin";
  {
    auto board = Board("LYR8647", state, nullptr, {"fuses:" + dump});
    ASSERT_TRUE(board);  // no file yet: a fresh board
    EXPECT_EQ(board->FlashWord(0x1FFF), 0xFFFF);
    board->SetFlashWord(0, 0x0A0D);
    board->SetFlashWord(0x1FFF, 0x1234);
    board->SetFuseBit(0x8003, 0);
    board->SetFuseBit(0x8008, 0x5A);
    board->SetSecurityBit(true);
    EXPECT_TRUE(EndBoard(*board).empty());
  }
  EXPECT_EQ(ReadWholeFile(dump).value_or(""), std::string("\1\0\1\0\1\0\0\0\1\0\1\0\1\0\1\0\x5A\0", 18));
  std::string error;
  auto again = Board("LYR8647", state, &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->FlashWord(0), 0x0A0D);
  EXPECT_EQ(again->FlashWord(0x1FFF), 0x1234);
  EXPECT_EQ(again->FlashWord(1), 0xFFFF);
  EXPECT_EQ(again->FuseBit(0x8003), 0);
  EXPECT_EQ(again->FuseBit(0x8008), 0x5A);
  EXPECT_EQ(again->FuseBit(0x8002), 1);
  EXPECT_TRUE(again->SecurityBit());

  // A 9xxx keeps its eFuses; its file holds no flash.
  const std::string nine = folder_ + "/nine.state";
  auto first = Board("LYR9468", nine);
  ASSERT_TRUE(first);
  first->SetEfuseWord(63, 0x8001);
  EXPECT_TRUE(EndBoard(*first).empty());
  auto second = Board("LYR9468", nine, &error);
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(second->EfuseWord(63), 0x8001);
  // An 8721 started from the 8x47's file takes the flash both have (once the 8x47 is gone:
  // one board at a time holds a state file).
  again.reset();
  auto other = Board("LYR8721", state, &error);
  ASSERT_TRUE(other) << error;
  EXPECT_EQ(other->FlashWord(0x1FFF), 0x1234);
}

TEST_F(BoardStateFiles, ABadStateFileStopsTheBoardWithItsName) {
  const std::string state = folder_ + "/bad.state";
  ASSERT_TRUE(WriteWholeFile(state, "tessaro-sim state 1\nflash 99\n\1\2"));
  std::string error;
  EXPECT_FALSE(Board("LYR8721", state, &error));
  EXPECT_EQ(error, "cannot load the board state: " + state + ": region 'flash' is cut short");
  // Writing where no file can go is reported when the board ends.
  auto board = Board("LYR8721", folder_ + "/no/such/folder/b.state", &error, {"flash:" + folder_ + "/no/f.bin"});
  ASSERT_TRUE(board);
  EXPECT_EQ(EndBoard(*board).size(), 2u);
}

TEST_F(BoardStateFiles, OneBoardAtATimeHoldsAStateFileAndASaveThatFailsIsReported) {
  const std::string state = folder_ + "/b.state";
  std::string error;
  auto first = Board("LYR8721", state, &error);
  ASSERT_TRUE(first) << error;
  // A second board on the same file would lose one of the two memories when both save.
  EXPECT_FALSE(Board("LYR8721", state, &error));
  EXPECT_NE(error.find("the board state " + state + " is in use by another simulated board"), std::string::npos)
      << error;
  first->SetFlashWord(5, 0x1234);
  EXPECT_TRUE(EndBoard(*first).empty());
  auto second = Board("LYR8721", state, &error);  // the lock goes with the save
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(second->FlashWord(5), 0x1234);
  // The save leaves no temporary file behind, only the state and its lock file.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b.state", "b.state.lock"}));
  // A state that cannot replace the old one (a folder is in the way) is an error of the end.
  std::filesystem::remove(state);
  std::filesystem::create_directories(state + "/in-the-way");
  const std::vector<std::string> errors = EndBoard(*second);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("cannot write " + state, 0), 0u) << errors[0];
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 2);  // the temporary file went
}

TEST_F(BoardStateFiles, ADumpOfNoRegionIsRefusedBeforeTheBoardRuns) {
  std::string error;
  EXPECT_FALSE(Board("LYR9468", "", &error, {"bogus:" + folder_ + "/x.bin"}));
  EXPECT_EQ(error, "--dump-memory: no region 'bogus' on this board (its regions: efuses, memory@START+COUNT)");
  EXPECT_FALSE(Board("LYR8647", "", &error, {"flash:" + folder_ + "/x.bin", "efuses:" + folder_ + "/y.bin"}));
  EXPECT_EQ(
      error,
      "--dump-memory: no region 'efuses' on this board (its regions: flash, fuses, security, memory@START+COUNT)");
  EXPECT_TRUE(Board("LYR8647", "", &error, {"FLASH:" + folder_ + "/x.bin", "memory@0+4:" + folder_ + "/y.bin"}))
      << error;
}

TEST(BoardStateRunner, EveryBoardRunsDriverImages) {
  for (const char* chip : {"LYR8721", "LYR8647", "LYR9468"}) {
    SimOptions options;
    options.chip = chip;
    auto board = SimBoard::Create(options);
    ASSERT_TRUE(board);
    EXPECT_TRUE(std::dynamic_pointer_cast<DriverImageRunner>(board->RoutineHandler())) << chip;
  }
}

}  // namespace
}  // namespace tessaro::sim
