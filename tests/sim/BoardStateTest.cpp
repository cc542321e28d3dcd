// The state file of the simulated board: regions round-trip, a file of another board only
// touches the regions both have, malformed files are refused, regions are dumped as words.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "platform/Files.h"
#include "sim/BoardState.h"
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
      std::string("tessaro-sim state 1\nflash 4\n") + "\x01\x02",        // cut short
      "tessaro-sim state 1\nflash x\n",                                  // count
      "tessaro-sim state 1\nflash 99999999999\n",                        // absurd count
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
  board->WriteMemory(0x4000100, 0x1234);  // internal RAM
  const std::string memory = (folder / "memory.bin").string();
  ASSERT_TRUE(DumpBoardRegion(*board, "memory@40000FF+2:" + memory, error)) << error;
  EXPECT_EQ(ReadWholeFile(memory).value_or(""), std::string("\x00\x00\x34\x12", 4));
  EXPECT_FALSE(DumpBoardRegion(*board, "efuses:" + memory, error));  // no eFuses on an 8721
  EXPECT_FALSE(DumpBoardRegion(*board, "flash", error));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tessaro::sim
