// tessaro-cli image and boards, run as a user runs them: exit codes, JSON on stdout, errors on
// stderr.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include "tests/cli/CliRun.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/Files.h"

namespace {

using Result = tessaro::testing::CliResult;

class CliCommand : public tessaro::testing::CliFolderTest {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(tessaro::WriteWholeFile(path, bytes));
    return path;
  }
};

TEST_F(CliCommand, ImageDescribesTheDemoImage) {
  Result r = Run("image --json " TESSARO_SOURCE_DIR "/examples/demo.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"ok\": true"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"error\": \"\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"size\": 256"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"startAddress\": 32768"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"kind\": 1,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"kindAddress\": 32768"), std::string::npos) << r.out;
  // The digest of the image's 512 data bytes, as sha256sum gives it.
  EXPECT_NE(r.out.find("\"sha256\": \"89cf6b443557fa9101532c3c6862405c2ed8abb927102b129d06a3d3c25839ff\""),
            std::string::npos)
      << r.out;

  Result plain = Run("image " TESSARO_SOURCE_DIR "/examples/demo.hex");
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_NE(plain.out.find("Start address: 8000"), std::string::npos) << plain.out;
}

TEST_F(CliCommand, ImageFailuresExitWithOne) {
  const std::string bad = Write("bad.HEX", ":0400000034127856E9\n:00000001FF\n");
  Result r = Run("image --json '" + bad + "'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\"ok\": false"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"error\": \"Checksum Error!\""), std::string::npos) << r.out;

  Result missing = Run("image '" + folder_ + "/none.bin'");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("Can't open " + folder_ + "/none.bin"), std::string::npos) << missing.err;

  // An odd binary file loads with its warning.
  Result odd = Run("image --json '" + Write("odd.bin", "abc") + "'");
  EXPECT_EQ(odd.exitCode, 0);
  EXPECT_NE(odd.out.find("\"error\": \"Warning: file size in 16bit word is not an integer\""), std::string::npos);
  EXPECT_NE(odd.out.find("\"size\": 1,"), std::string::npos) << odd.out;
}

TEST_F(CliCommand, ImageKindTextHasOneAmpersand) {
  // Demo and title data: two header entries, P = Q = 100, the title marker at word 5.
  const uint16_t words[] = {2, 100, 0, 100, 0, 0x4E24, 0x0100, 0x0001, 0, 0, 0, 0};
  std::string bytes;
  for (uint16_t w : words) bytes += {static_cast<char>(w & 0xFF), static_cast<char>(w >> 8)};
  const std::string path = Write("title.bin", bytes);
  Result json = Run("image --json '" + path + "'");
  EXPECT_EQ(json.exitCode, 0) << json.err;
  EXPECT_NE(json.out.find("\"kindText\": \"Demo&Title Data\""), std::string::npos) << json.out;
  EXPECT_NE(Run("image '" + path + "'").out.find("Kind text:     Demo&Title Data\n"), std::string::npos);
}

// The "size" and "sha256" fields of tessaro-cli image --json.
std::string SizeAndDigest(const std::string& out) {
  return tessaro::testing::JsonValue(out, "size") + " " + tessaro::testing::JsonValue(out, "sha256");
}

TEST_F(CliCommand, ObjcopyHexFilesLoadTheSameWordsAsTheirBinaries) {
  // objcopy writes extended segment records (type 02) for binaries past 64 KiB and extended
  // linear ones (type 04) past 1 MiB.
  std::mt19937 random(17);
  for (size_t size : {60u * 1024u, 600u * 1024u, 2u * 1024u * 1024u}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    const std::string name = std::to_string(size);
    const std::string bin = Write(name + ".bin", bytes);
    const std::string hex = folder_ + "/" + name + ".hex";
    ASSERT_EQ(std::system(("objcopy -I binary -O ihex '" + bin + "' '" + hex + "'").c_str()), 0);
    Result fromBin = Run("image --json '" + bin + "'");
    Result fromHex = Run("image --json '" + hex + "'");
    EXPECT_EQ(fromHex.exitCode, 0) << name << " " << fromHex.out;
    EXPECT_EQ(SizeAndDigest(fromHex.out), SizeAndDigest(fromBin.out)) << name;
    EXPECT_EQ(tessaro::testing::JsonValue(fromBin.out, "size"), std::to_string(size / 2)) << name;
  }
}

TEST_F(CliCommand, HexStartAddressRecordsAreShownAndLoadNothing) {
  struct Case {
    const char* name;
    const char* record;
    const char* shown;
  };
  const Case cases[] = {
      {"segment (type 03)", ":0400000312345678E5\n", "1234:5678"},
      {"linear (type 05)", ":040000050800012DC1\n", "0x0800012D"},
  };
  for (const Case& c : cases) {
    const std::string path =
        Write("start.hex", std::string(":0400100034127856D8\n") + c.record + ":00000001FF\n");
    Result json = Run("image --json '" + path + "'");
    EXPECT_EQ(json.exitCode, 0) << c.name << json.out;
    EXPECT_EQ(tessaro::testing::JsonValue(json.out, "size"), "2") << c.name;
    EXPECT_EQ(tessaro::testing::JsonValue(json.out, "startAddress"), "8") << c.name;
    EXPECT_EQ(tessaro::testing::JsonValue(json.out, "entryAddress"), c.shown) << c.name;
    EXPECT_NE(Run("image '" + path + "'").out.find(std::string("Entry address: ") + c.shown), std::string::npos)
        << c.name;
  }
}

TEST_F(CliCommand, ImageUsageErrorsExitWithTwo) {
  EXPECT_EQ(Run("image").exitCode, 2);
  EXPECT_EQ(Run("image a.hex b.hex").exitCode, 2);
  EXPECT_EQ(Run("image --bogus a.hex").exitCode, 2);
}

TEST_F(CliCommand, BoardsListsTheShippedBoards) {
  Result r = Run("boards --json --config " TESSARO_SOURCE_DIR "/config");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\"count\": 6"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"errors\": \"\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"name\": \"LYR9468 QSPI Demo Board\""), std::string::npos);
  EXPECT_NE(r.out.find("\"config\": \"LYR9468 FLASH(32k)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(16M,8/4WS)\""),
            std::string::npos);
  EXPECT_NE(r.out.find("\"dfEnable\": \"P7.15=0\""), std::string::npos);
}

TEST_F(CliCommand, BoardsReportsProblemsOnStderrAndExitsWithOne) {
  Write("a.bdl", "[LYR9468 A]\nSpiSramMhz=5\n[No chip]\n");
  Result r = Run("boards --json --config '" + folder_ + "'");
  EXPECT_EQ(r.exitCode, 1);
  const std::string errors = "Invalid SPI RAM Speed:\r\n" + folder_ + "/a.bdl:\r\n[LYR9468 A]: SpiSramMhz=5\r\n" +
                             "[No chip]: No chip named by the section name or CONFIG\r\n";
  EXPECT_EQ(r.err, errors);
  EXPECT_NE(r.out.find("\"errors\": \"Invalid SPI RAM Speed:\\r\\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"hasErrors\": true"), std::string::npos);
  EXPECT_NE(r.out.find("\"config\": null"), std::string::npos);
}

TEST_F(CliCommand, BoardsWithoutDefinitionsSaysWhereItLooked) {
  Result r = Run("boards --config '" + folder_ + "'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "No Board-Definitions found in " + folder_ + "\n");
  EXPECT_EQ(Run("boards extra").exitCode, 2);
}

}  // namespace
