// tessaro-cli against input a new user gets wrong (numbers wider than 32 bits, image files that
// cannot be loaded, a binary of odd length) and the files of the simulated board (its state
// kept by one run at a time, its --stats, its dumps, a QSPI device's configuration).
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CliRun.h"
#include "platform/Files.h"

namespace {

using tessaro::testing::CliResult;
using tessaro::testing::JsonValue;

class InputAndBoardFiles : public tessaro::testing::CliFolderTest {
 protected:
  // An 8721 whose flash is dumped to flash.bin when the run ends.
  std::string Port8721() { return "--port sim:chip=LYR8721,dump-memory=flash:" + folder_ + "/flash.bin"; }
};

// Exactly one JSON object that says the run failed and why.
void ExpectJsonFailure(const CliResult& r, const std::string& what) {
  ASSERT_FALSE(r.out.empty()) << what << "\n" << r.err;
  EXPECT_EQ(r.out.front(), '{') << what;
  EXPECT_EQ(r.out.find('{', 1), std::string::npos) << what << ": " << r.out;
  EXPECT_EQ(JsonValue(r.out, "ok"), "false") << what;
  EXPECT_NE(JsonValue(r.out, "error"), "") << what;
}

TEST_F(InputAndBoardFiles, HexNumbersWiderThan32BitsAreRefused) {
  std::string bytes;
  const std::string image = Image(0x20, 3, bytes);
  const std::vector<std::string> commands = {
      "program " + Port8721() + " --config-string LYR8721 --json --start 100000000 " + image,
      "program " + Port8721() + " --config-string LYR8721 --json --size 100000010 " + image,
      "program " + Port8721() + " --config-string LYR8721 --json --start 0x1000000000 " + image,
      "erase " + Port8721() + " --config-string LYR8721 --json --size 100000001",
      "read " + Port8721() + " --config-string LYR8721 --json --start 100000000 --size 10 -o " + folder_ + "/r.bin",
  };
  for (const std::string& command : commands) {
    const CliResult r = Run(command);
    EXPECT_EQ(r.exitCode, 2) << command << "\n" << r.err;
    ExpectJsonFailure(r, command);
    // Refused before the board was made: it never ran, so it dumped nothing.
    EXPECT_FALSE(tessaro::FileExists(folder_ + "/flash.bin")) << command;
  }
  // Leading zeros are no overflow.
  const CliResult ok =
      Run("program " + Port8721() + " --config-string LYR8721 --start 000000010 --size 00000020 " + image);
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  const std::string flash = tessaro::ReadWholeFile(folder_ + "/flash.bin").value_or("");
  ASSERT_EQ(flash.size(), 0x8000u);
  EXPECT_EQ(flash.substr(0x20, 0x40), bytes.substr(0, 0x40));
  EXPECT_EQ(flash.substr(0, 0x20), std::string(0x20, '\xFF'));
}

TEST_F(InputAndBoardFiles, ImagesThatCannotBeLoadedGiveOneJsonObject) {
  struct Case {
    std::string name;
    std::string content;  // of the .hex files the case writes
    int exitCode;         // 1: read but invalid; 2: not read at all
  };
  const std::string fifo = folder_ + "/fifo.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directories(folder_ + "/folder.hex");
  // A sparse file larger than any memory an image can go to; nothing of it is read.
  const std::string huge = folder_ + "/huge.bin";
  { std::ofstream(huge).put('\0'); }
  std::filesystem::resize_file(huge, 3ull << 30);
  const std::vector<Case> cases = {
      {"checksum.hex", ":0400000001020304F0\n:00000001FF\n", 1},
      {"truncated.hex", ":0400000001020304F2\n", 1},
      {"empty.hex", "", 1},
      {"huge.bin", "", 1},
      {"missing.bin", "", 2},
      {"folder.hex", "", 2},
      {"fifo.bin", "", 2},
      {"/dev/zero", "", 2},
  };
  for (const Case& c : cases) {
    const std::string path = c.name[0] == '/' ? c.name : folder_ + "/" + c.name;
    if (c.name.find(".hex") != std::string::npos && c.name != "folder.hex") {
      ASSERT_TRUE(tessaro::WriteWholeFile(path, c.content));
    }
    for (const char* command : {"program", "verify"}) {
      const CliResult r = Run(std::string(command) + " --port sim:chip=LYR8721 --config-string LYR8721 --json " + path);
      EXPECT_EQ(r.exitCode, c.exitCode) << command << " " << c.name << "\n" << r.err;
      ExpectJsonFailure(r, c.name);
      EXPECT_NE(JsonValue(r.out, "error").find(path), std::string::npos) << r.out;
    }
  }
}

TEST_F(InputAndBoardFiles, AnOddByteIsNamedByProgramAndVerify) {
  std::string bytes;
  const std::string even = Image(0x100, 5, bytes);
  const std::string image = folder_ + "/odd.bin";
  ASSERT_TRUE(tessaro::WriteWholeFile(image, bytes + "\x5A"));  // 513 bytes
  const std::string warning = "odd.bin: Warning: file size in 16bit word is not an integer";
  const std::string state = folder_ + "/b.state";
  const std::string port = "--port sim:chip=LYR8721,state=" + state + " --config-string LYR8721 ";
  const std::string flash = folder_ + "/flash.bin";
  const CliResult text = Run("program --port sim:chip=LYR8721,state=" + state + ",dump-memory=flash:" + flash +
                             " --config-string LYR8721 " + image);
  EXPECT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.err.find(warning), std::string::npos) << text.err;
  // The 256 whole words went to the flash, the odd byte did not.
  EXPECT_EQ(tessaro::ReadWholeFile(flash).value_or("").substr(0, 514), bytes + "\xFF\xFF");
  const CliResult json = Run("verify " + port + "--json " + image);
  EXPECT_EQ(json.exitCode, 0) << json.err;
  const size_t warnings = json.out.find("\"warnings\": [");
  ASSERT_NE(warnings, std::string::npos) << json.out;
  const size_t named = json.out.find(warning);
  ASSERT_NE(named, std::string::npos) << json.out;
  EXPECT_GT(named, warnings);
  EXPECT_LT(named, json.out.find(']', warnings)) << "in the warnings: " << json.out;
  // An even image has no warnings.
  const CliResult clean = Run("verify " + port + "--json " + even);
  EXPECT_NE(clean.out.find("\"warnings\": []"), std::string::npos) << clean.out;
}

TEST_F(InputAndBoardFiles, WhatTheBoardCannotWriteFailsTheRun) {
  std::string bytes;
  const std::string image = Image(0x40, 7, bytes);
  const std::string stats = folder_ + "/stats.json";
  // A dump that cannot be written loses what the run was asked to keep: the run fails.
  const CliResult lost = Run("program --port sim:chip=LYR8721,stats=" + stats + ",dump-memory=flash:" + folder_ +
                             "/no/such/folder/f.bin --config-string LYR8721 --json " + image);
  EXPECT_EQ(lost.exitCode, 1) << lost.err;
  EXPECT_EQ(JsonValue(lost.out, "ok"), "false");
  EXPECT_NE(JsonValue(lost.out, "error").find("cannot write " + folder_ + "/no/such/folder/f.bin"), std::string::npos)
      << lost.out;
  // The --stats of a sim: port is written as tessaro-sim writes it.
  const std::string written = tessaro::ReadWholeFile(stats).value_or("");
  EXPECT_NE(written.find("\"hostToTarget\":"), std::string::npos) << written;
  EXPECT_NE(written.find("\"violations\": []"), std::string::npos) << written;
  EXPECT_NE(JsonValue(written, "roundTrips"), "0");

  // A region the board does not have is a usage error before any device work, and the message
  // lists the board's regions.
  const CliResult bogus = Run("program --port \"sim:board=LYR9468 Dual QSPI Board,dump-memory=bogus:" + folder_ +
                              "/b.bin\" --board \"LYR9468 Dual QSPI Board\" --dest qspi --json " + image);
  EXPECT_EQ(bogus.exitCode, 2) << bogus.err;
  ExpectJsonFailure(bogus, "bogus region");
  EXPECT_NE(bogus.err.find(
                "no region 'bogus' on this board (its regions: efuses, qspi, mpqspi, mpqspiregs, memory@START+COUNT)"),
            std::string::npos)
      << bogus.err;
}

TEST_F(InputAndBoardFiles, TheStateKeepsAQspiDevicesConfiguration) {
  std::string bytes;
  const std::string image = Image(0x300, 9, bytes);
  const std::string state = folder_ + "/q.state";
  const std::string dump = folder_ + "/qspi.bin";
  const std::string target = "--port \"sim:board=LYR9468 QSPI Demo Board,state=" + state + ",dump-memory=qspi:" + dump +
                             "\" --board \"LYR9468 QSPI Demo Board\" --dest qspi --json ";
  const CliResult configured = Run("program --yes " + target + image);
  EXPECT_EQ(configured.exitCode, 0) << configured.err << configured.out;
  EXPECT_NE(configured.out.find("\"caption\""), std::string::npos) << "the configuration question was asked";
  // The next run finds the device configured: no question, and a No changes nothing.
  const CliResult again = Run("verify --no " + target + image);
  EXPECT_EQ(again.exitCode, 0) << again.err << again.out;
  EXPECT_NE(again.out.find("\"questions\": []"), std::string::npos) << again.out;
  EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or("").substr(0, bytes.size()), bytes);
}

}  // namespace
