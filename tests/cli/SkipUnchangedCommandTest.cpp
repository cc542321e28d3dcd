// tessaro-cli program --skip-unchanged against simulated boards that already hold an image: the
// device ends word for word as a full program of the changed image leaves it, and the wire
// trace shows erases and page programs only in the erase units the change touches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"

namespace {

using tessaro::ReadWholeFile;
using tessaro::WriteWholeFile;
using tessaro::testing::CliResult;
using tessaro::testing::JsonValue;
namespace fs = std::filesystem;

// How a destination's device work shows in the trace. Legend: window writes, memory writes and
// block writes from `base` on are erases and page programs at position (address - base);
// program calls, calls of the target driver's program entry at the device address registers 56
// and 57 hold (position (address - base) / divisor).
struct Destination {
  const char* label;
  const char* sim;     // the board's options
  const char* target;  // tessaro-cli's
  const char* dump;    // the board's memory region
  uint32_t unitWords;  // the device's erase unit
  uint64_t base;
  bool windowWrites;
  uint32_t callDivisor;  // 0: the destination has no program calls
};

constexpr uint32_t kProgramCall = 0x0402;  // entry 3 of "PRGDEV DF", entry 10 of "PRGDEV PAR"
constexpr uint64_t kWindowSpan = 0x20000000;

// The positions of the device writes of a trace (a block write counts at each of its words).
std::set<uint32_t> WrittenPositions(const std::string& trace, const Destination& d) {
  std::set<uint32_t> positions;
  uint32_t low = 0, high = 0;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::string op = JsonValue(line, "op");
    if (op == "writeReg") {
      const unsigned long reg = std::stoul(JsonValue(line, "reg")) & 0x7FFF;
      const auto value = static_cast<uint32_t>(std::stoul(JsonValue(line, "value")) & 0xFFFF);
      if (reg == 56) low = value;
      if (reg == 57) high = value;
    } else if (op == "call" && d.callDivisor != 0 && std::stoul(JsonValue(line, "addr")) == kProgramCall) {
      const uint64_t address = (uint64_t{high} << 16) | low;
      if (address >= d.base) positions.insert(static_cast<uint32_t>((address - d.base) / d.callDivisor));
    } else if ((op == "writeMem" || op == "writeBlock") && d.windowWrites) {
      const uint64_t address = std::stoull(JsonValue(line, "addr"));
      if (address < d.base || address >= d.base + kWindowSpan) continue;
      const size_t words = op == "writeMem" ? 1 : std::count(line.begin(), line.end(), ',') - 1;
      for (size_t i = 0; i < words; ++i) positions.insert(static_cast<uint32_t>(address - d.base + i));
    }
  }
  return positions;
}

std::vector<uint16_t> Words(const std::string& bytes) {
  std::vector<uint16_t> words(bytes.size() / 2);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] =
        static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return words;
}

class SkipUnchanged : public tessaro::testing::CliFolderTest {
 protected:
  std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
    std::string bytes;
    (void)Image(count, seed, bytes);
    return Words(bytes);
  }
  std::string WriteImage(const std::string& name, const std::vector<uint16_t>& words) {
    std::string bytes;
    for (uint16_t w : words) {
      bytes += static_cast<char>(w & 0xFF);
      bytes += static_cast<char>(w >> 8);
    }
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(WriteWholeFile(path, bytes));
    return path;
  }
  // One program run on the board kept in `state`; the device is dumped and the wire traced.
  CliResult Program(const Destination& d, const std::string& state, const std::string& image, bool skip,
                    const std::string& dump = "", const std::string& trace = "") {
    std::string port = std::string("sim:") + d.sim + ",state=" + state;
    if (!dump.empty()) port += std::string(",dump-memory=") + d.dump + ":" + dump;
    if (!trace.empty()) port += ",trace=" + trace;
    return Run(std::string("program --json --yes") + (skip ? " --skip-unchanged" : "") + " --port '" + port + "' " +
               d.target + " --start 0 '" + image + "'");
  }
};

// The image spans three and a half erase units. The change touches unit 0 (one word) and both
// sides of the edge between units 0 and 1; unit 2 and the half unit 3, where the image ends, hold
// what they held.
TEST_F(SkipUnchanged, DeviceEndsAsAFullProgramLeavesItWritingOnlyChangedUnits) {
  const Destination table[] = {
      {"qspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest qspi", "qspi", 0x8000,
       0x80000000, true, 0},
      {"dual qspi", "board=LYR9468 Dual QSPI Board", "--board 'LYR9468 Dual QSPI Board' --dest qspi", "qspi", 0x10000,
       0x80000000, true, 0},
      {"mp qspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest mpqspi", "mpqspi", 0x8000,
       0xC0000000, true, 0},
      // The LYR8321 Module's S29GL064N04 has 4K-word boot sectors at the bottom.
      {"nor", "board=LYR8321 Module", "--board 'LYR8321 Module' --dest nor", "nor", 0x1000, 0x01000000, true, 1},
      // DataFlash pages are its erase units; the device address is the byte address.
      {"dataflash", "chip=LYR9468,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2",
       "--config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial", "spi", 0x100, 0, false, 2},
      // A basic SPI flash erases 4 KiB sectors, as the first page of each is programmed.
      {"spi flash", "chip=LYR9468,spi-flash=W25X40CL@P7.15",
       "--config-string LYR9468 --df W25X40CL --df-enable P7.15=0 --dest serial", "spi", 0x800, 0, false, 2},
  };
  for (const Destination& d : table) {
    SCOPED_TRACE(d.label);
    const uint32_t unit = d.unitWords;
    const std::vector<uint16_t> first = RandomWords(unit * 3 + unit / 2, unit);
    std::vector<uint16_t> second = first;
    second[5] ^= 0x1234;
    for (uint32_t i = unit - 2; i < unit + 2; ++i) second[i] = static_cast<uint16_t>(~second[i]);
    const std::string kept = folder_ + "/kept.state", copy = folder_ + "/copy.state";
    fs::remove(kept);
    CliResult r = Program(d, kept, WriteImage("first.bin", first), false);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    fs::copy_file(kept, copy, fs::copy_options::overwrite_existing);

    const std::string image = WriteImage("second.bin", second);
    const CliResult skipped = Program(d, kept, image, true, folder_ + "/skip.bin", folder_ + "/skip.jsonl");
    const CliResult full = Program(d, copy, image, false, folder_ + "/full.bin", folder_ + "/full.jsonl");
    ASSERT_EQ(skipped.exitCode, 0) << skipped.out << skipped.err;
    ASSERT_EQ(full.exitCode, 0) << full.out << full.err;
    EXPECT_EQ(JsonValue(skipped.out, "statusText"), JsonValue(full.out, "statusText"));
    EXPECT_EQ(JsonValue(skipped.out, "unitsCompared"), "4") << skipped.out;
    EXPECT_EQ(JsonValue(skipped.out, "unitsSkipped"), "2") << skipped.out;
    EXPECT_EQ(JsonValue(full.out, "unitsSkipped"), "<missing>");

    const std::vector<uint16_t> afterSkip = Words(ReadWholeFile(folder_ + "/skip.bin").value_or(""));
    const std::vector<uint16_t> afterFull = Words(ReadWholeFile(folder_ + "/full.bin").value_or(""));
    ASSERT_GE(afterFull.size(), second.size());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), afterFull.begin()));
    EXPECT_TRUE(afterSkip == afterFull) << "the devices differ";

    const std::set<uint32_t> skipWrites = WrittenPositions(ReadWholeFile(folder_ + "/skip.jsonl").value_or(""), d);
    const std::set<uint32_t> fullWrites = WrittenPositions(ReadWholeFile(folder_ + "/full.jsonl").value_or(""), d);
    for (uint32_t u = 0; u < 4; ++u) {
      auto inUnit = [&](const std::set<uint32_t>& writes) {
        return writes.lower_bound(u * unit) != writes.lower_bound((u + 1) * unit);
      };
      EXPECT_TRUE(inUnit(fullWrites)) << "a full program writes unit " << u;
      EXPECT_EQ(inUnit(skipWrites), u < 2) << "unit " << u;
    }
  }
}

// NAND programs block 0 as a whole: an image the block already holds leaves it untouched, a
// changed one erases and programs it, and both end as a full program does.
TEST_F(SkipUnchanged, NandBlockIsLeftOnlyWhenItHoldsTheImage) {
  const Destination d{"nand", "chip=LYR9371,nand", "--config-string LYR9371 --nand --dest nand", "nand", 0, 0, false,
                      0};
  // Register 10 of the NAND controller (low half): the erase and page program commands.
  constexpr uint64_t kCommandRegister = 0x0A008000 + 10;
  auto commands = [](const std::string& trace) {
    std::set<uint32_t> seen;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
      if (JsonValue(line, "op") == "writeMem" && std::stoull(JsonValue(line, "addr")) == kCommandRegister)
        seen.insert(static_cast<uint32_t>(std::stoul(JsonValue(line, "value"))));
    }
    return seen;
  };
  const std::vector<uint16_t> first = RandomWords(2500, 7);  // ends inside a page
  std::vector<uint16_t> changed = first;
  changed[2400] ^= 0x00FF;
  struct Case {
    const char* label;
    const std::vector<uint16_t>* image;
    const char* skipped;
    bool written;
  };
  for (const Case& c : {Case{"same image", &first, "1", false}, Case{"one word changed", &changed, "0", true}}) {
    SCOPED_TRACE(c.label);
    const std::string kept = folder_ + "/kept.state", copy = folder_ + "/copy.state";
    fs::remove(kept);
    ASSERT_EQ(Program(d, kept, WriteImage("first.bin", first), false).exitCode, 0);
    fs::copy_file(kept, copy, fs::copy_options::overwrite_existing);
    const std::string image = WriteImage("second.bin", *c.image);
    const CliResult skipped = Program(d, kept, image, true, folder_ + "/skip.bin", folder_ + "/skip.jsonl");
    const CliResult full = Program(d, copy, image, false, folder_ + "/full.bin", folder_ + "/full.jsonl");
    ASSERT_EQ(skipped.exitCode, 0) << skipped.out << skipped.err;
    ASSERT_EQ(full.exitCode, 0) << full.out << full.err;
    EXPECT_EQ(JsonValue(skipped.out, "statusText"), "Program and Verify Success");
    EXPECT_EQ(JsonValue(skipped.out, "unitsCompared"), "1");
    EXPECT_EQ(JsonValue(skipped.out, "unitsSkipped"), c.skipped);
    const auto afterSkip = Words(ReadWholeFile(folder_ + "/skip.bin").value_or(""));
    const auto afterFull = Words(ReadWholeFile(folder_ + "/full.bin").value_or(""));
    ASSERT_GE(afterFull.size(), c.image->size());
    EXPECT_TRUE(std::equal(c.image->begin(), c.image->end(), afterFull.begin()));
    EXPECT_TRUE(afterSkip == afterFull) << "the devices differ";
    const std::set<uint32_t> fullCommands = commands(ReadWholeFile(folder_ + "/full.jsonl").value_or(""));
    const std::set<uint32_t> skipCommands = commands(ReadWholeFile(folder_ + "/skip.jsonl").value_or(""));
    for (uint32_t command : {0x0060u, 0x0080u}) {
      EXPECT_EQ(fullCommands.count(command), 1u) << std::hex << command;
      EXPECT_EQ(skipCommands.count(command), c.written ? 1u : 0u) << std::hex << command;
    }
  }
}

// The text output says what was left untouched: nothing on a blank device, everything when it
// already holds the image.
TEST_F(SkipUnchanged, TextReportNamesTheUnitsLeftUntouched) {
  const std::string image = WriteImage("image.bin", RandomWords(0x300, 3));
  const std::string port = "'sim:chip=LYR9468,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2,state=" + folder_ +
                           "/board.state,dump-memory=spi:" + folder_ + "/spi.bin'";
  const std::string args = "program --skip-unchanged --yes --port " + port +
                           " --config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial '" + image + "'";
  CliResult r = Run(args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Erase units already holding the image, left untouched: 0 of 3"), std::string::npos) << r.out;
  r = Run(args + " --events '" + folder_ + "/events.jsonl'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Serial Flash: Program and Verify Success"), std::string::npos) << r.out;
  // The event stream says it too, before the run's end.
  const std::string events = ReadWholeFile(folder_ + "/events.jsonl").value_or("");
  const size_t unchanged = events.find("\"unchanged\"");
  ASSERT_NE(unchanged, std::string::npos) << events;
  const std::string line = events.substr(unchanged, events.find('\n', unchanged) - unchanged);
  EXPECT_EQ(JsonValue(line, "unitsSkipped"), "3") << line;
  EXPECT_LT(unchanged, events.find("\"done\""));
  EXPECT_NE(r.out.find("Erase units already holding the image, left untouched: 3 of 3"), std::string::npos) << r.out;
  const auto words = Words(ReadWholeFile(folder_ + "/spi.bin").value_or(""));
  ASSERT_GE(words.size(), 0x300u);
  EXPECT_TRUE(std::equal(words.begin(), words.begin() + 0x300, RandomWords(0x300, 3).begin()));
}

}  // namespace
