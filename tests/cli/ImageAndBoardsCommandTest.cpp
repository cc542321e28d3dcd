// tessaro-cli image and boards, run as a user runs them: exit codes, JSON on stdout, errors on
// stderr.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include "tests/cli/CliRun.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/Files.h"

namespace {

using Result = tessaro::testing::CliResult;
using tessaro::testing::JsonValue;

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
  EXPECT_NE(r.out.find("\"startAddress\": 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"kind\": 1,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"kindAddress\": 0"), std::string::npos) << r.out;
  // The digest of the image's 512 data bytes, as sha256sum gives it.
  EXPECT_NE(r.out.find("\"sha256\": \"89cf6b443557fa9101532c3c6862405c2ed8abb927102b129d06a3d3c25839ff\""),
            std::string::npos)
      << r.out;

  Result plain = Run("image " TESSARO_SOURCE_DIR "/examples/demo.hex");
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_NE(plain.out.find("Start address: 0\n"), std::string::npos) << plain.out;
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

TEST_F(CliCommand, HexFilesAsObjcopyWritesThemLoadLikeTheirBinaries) {
  // Below 64 KiB plain data records; up to 1 MiB extended segment records; beyond that
  // extended linear records as well.
  for (size_t bytes : {60u * 1024, 600u * 1024, 2u * 1024 * 1024}) {
    SCOPED_TRACE(bytes);
    std::string data;
    const std::string bin = Image(bytes / 2, static_cast<uint32_t>(bytes), data);
    const std::string hex = folder_ + "/image.hex";
    ASSERT_EQ(std::system(("objcopy -I binary -O ihex '" + bin + "' '" + hex + "'").c_str()), 0);
    Result fromBin = Run("image --json '" + bin + "'");
    Result fromHex = Run("image --json '" + hex + "'");
    ASSERT_EQ(fromHex.exitCode, 0) << fromHex.out << fromHex.err;
    EXPECT_EQ(JsonValue(fromHex.out, "size"), std::to_string(bytes / 2));
    EXPECT_EQ(JsonValue(fromHex.out, "sha256"), JsonValue(fromBin.out, "sha256"));
    EXPECT_EQ(JsonValue(fromHex.out, "startAddress"), "0");
  }
  // A start address record is shown, not programmed.
  const std::string withStart = Write("start.hex", ":0400000034127856E8\n:04000005000123448F\n:00000001FF\n");
  Result start = Run("image --json '" + withStart + "'");
  EXPECT_EQ(start.exitCode, 0) << start.out;
  EXPECT_EQ(JsonValue(start.out, "entryAddress"), std::to_string(0x12344));
  EXPECT_EQ(JsonValue(start.out, "size"), "2");
  EXPECT_NE(Run("image '" + withStart + "'").out.find("Entry address: 12344"), std::string::npos);
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
  EXPECT_NE(r.out.find("\"config\": \"LYR9468 FLASH(32k)+EXTSDR(32M,CL2/Row13/Col9)\""), std::string::npos);
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
