#include "tools/DeviceListExport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"

namespace tessaro {
namespace {

const std::string kFixture = TESSARO_TEST_DATA "/drivers-small";
const std::string kExpected = TESSARO_TEST_DATA "/device-list/drivers-small";
const std::string kFixtureErrors =
    "Error(s) in SERIAL.TDF:\r\nSPI: Multiple driver definition for ALPHA:DF8 (DUP.TDF)\r\n\r\n";

std::string ReadBytes(const std::string& path) {
  std::optional<std::string> bytes = ReadWholeFile(path);
  EXPECT_TRUE(bytes.has_value()) << path;
  return bytes.value_or("");
}

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("tessaro_export_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

class FixtureExport : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string errors;
    EXPECT_FALSE(LoadDriverFolder(catalogue_, kFixture, errors));
    EXPECT_EQ(errors, kFixtureErrors);
  }
  DeviceCatalogue catalogue_;
};

TEST_F(FixtureExport, TextAndCsvByteForByte) {
  EXPECT_EQ(DeviceListText(catalogue_, false), ReadBytes(kExpected + ".txt"));
  EXPECT_EQ(DeviceListText(catalogue_, true), ReadBytes(kExpected + ".csv"));
}

TEST_F(FixtureExport, WritesFiles) {
  const std::string path = TempPath("list.txt");
  ASSERT_TRUE(ExportDeviceList(catalogue_, path, false));
  EXPECT_EQ(ReadBytes(path), ReadBytes(kExpected + ".txt"));
  // An existing file is replaced, not appended to.
  ASSERT_TRUE(ExportDeviceList(catalogue_, path, true));
  EXPECT_EQ(ReadBytes(path), ReadBytes(kExpected + ".csv"));
  std::remove(path.c_str());
  EXPECT_FALSE(ExportDeviceList(catalogue_, "/nonexistent-folder/list.txt", false));
  EXPECT_FALSE(FileExists("/nonexistent-folder/list.txt"));
}

TEST(DeviceListExport, FileNameTakesTheChosenFormatsExtension) {
  struct Case {
    const char* typed;
    bool csv;
    const char* saved;
  };
  const Case cases[] = {
      {"/d/List", true, "/d/List.csv"},     {"/d/List", false, "/d/List.txt"},
      {"/d/List.txt", true, "/d/List.csv"}, {"/d/List.CSV", false, "/d/List.txt"},
      {"/d/List.csv", true, "/d/List.csv"}, {"/d/List.", true, "/d/List.csv"},
      {"/d/List.dat", true, "/d/List.dat"}, {"/d.x/List", false, "/d.x/List.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(DeviceListFileName(c.typed, c.csv), c.saved) << c.typed << " csv=" << c.csv;
}

TEST(DeviceListExport, EmptyCatalogueWritesTitleHeaderAndRule) {
  DeviceCatalogue catalogue;
  EXPECT_EQ(DeviceListText(catalogue, false),
            "Available Device Drivers\r\n========================\r\n\r\n"
            " Type | Manufacturer | Device \r\n"
            "============================\r\n");  // 28: the separators are not counted
  EXPECT_EQ(DeviceListText(catalogue, true), "Type;Manufacturer;Device\r\n");
}

TEST(DeviceListExport, EmptyValuesAndUnknownFamilies) {
  DeviceCatalogue catalogue;
  auto blank = std::make_unique<DeviceDescription>();
  blank->family = FAMILY_QSPI;
  blank->manufacturer = catalogue.RegisterManufacturer("M");
  catalogue.InsertEntry(std::move(blank), nullptr);
  auto odd = std::make_unique<DeviceDescription>();
  odd->family = 7;
  odd->manufacturer = catalogue.RegisterManufacturer("M");
  odd->name = "X";
  catalogue.InsertEntry(std::move(odd), nullptr);
  auto named = std::make_unique<DeviceDescription>();
  named->family = FAMILY_QSPI;
  named->manufacturer = catalogue.RegisterManufacturer("M");
  named->name = "A";
  catalogue.InsertEntry(std::move(named), nullptr);
  // No value sorts before any value; an empty value prints as an empty cell.
  EXPECT_EQ(DeviceListText(catalogue, true),
            "Type;Manufacturer;Device\r\n(Q)SPI NOR;M;\r\n(Q)SPI NOR;M;A\r\n[unknown];M;X\r\n");
  EXPECT_EQ(DeviceListText(catalogue, false),
            "Available Device Drivers\r\n========================\r\n\r\n"
            " Type       | Manufacturer | Device \r\n"
            "==================================\r\n"
            " (Q)SPI NOR | M            |        \r\n"
            " (Q)SPI NOR | M            | A      \r\n"
            " [unknown]  | M            | X      \r\n");
}

// The command line writes exactly the bytes of the export.
class DevicesCommand : public ::testing::Test {
 protected:
  int Run(const std::string& arguments, std::string& out, std::string& err) {
    const std::string outPath = TempPath("stdout");
    const std::string errPath = TempPath("stderr");
    std::string command =
        std::string(TESSARO_BIN_DIR) + "/tessaro-cli devices " + arguments + " >" + outPath + " 2>" + errPath;
    int status = std::system(command.c_str());
    out = ReadBytes(outPath);
    err = ReadBytes(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(DevicesCommand, ListsToStdoutOrFile) {
  std::string out, err;
  EXPECT_EQ(Run("--drivers " + kFixture, out, err), 0);
  EXPECT_EQ(out, ReadBytes(kExpected + ".txt"));
  EXPECT_EQ(err, "Error(s) in Driver Description\n" + kFixtureErrors);

  EXPECT_EQ(Run("--csv --drivers=" + kFixture, out, err), 0);
  EXPECT_EQ(out, ReadBytes(kExpected + ".csv"));

  const std::string path = TempPath("cli.csv");
  EXPECT_EQ(Run("--drivers " + kFixture + " --csv -o " + path, out, err), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadBytes(path), ReadBytes(kExpected + ".csv"));
  EXPECT_EQ(Run("--drivers " + kFixture + " -o" + path, out, err), 0);
  EXPECT_EQ(ReadBytes(path), ReadBytes(kExpected + ".txt"));
  std::remove(path.c_str());
}

TEST_F(DevicesCommand, JsonAndExitCodes) {
  std::string out, err;
  EXPECT_EQ(Run("--json --drivers " + kFixture, out, err), 0);
  EXPECT_NE(out.find("\"ok\": false"), std::string::npos);
  EXPECT_NE(out.find("\"name\": \"NOR-VERY-LONG-DEVICE-NAME-2000\""), std::string::npos);
  EXPECT_NE(out.find("\"sectors\": ["), std::string::npos);
  EXPECT_NE(out.find("\"readScript\": []"), std::string::npos);
  EXPECT_NE(out.find("\"duplicate\": true"), std::string::npos);

  EXPECT_EQ(Run("--json --drivers " TESSARO_SOURCE_DIR "/drivers", out, err), 0);
  EXPECT_NE(out.find("\"ok\": true"), std::string::npos);
  EXPECT_NE(out.find("\"errors\": \"\""), std::string::npos);
  EXPECT_EQ(err, "");

  const std::string empty = TempPath("empty");
  std::filesystem::create_directories(empty);
  EXPECT_EQ(Run("--drivers " + empty, out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "Error(s) in Driver Description\nNo TDF Files in " + empty + "\r\n");
  std::filesystem::remove_all(empty);

  EXPECT_EQ(Run("--frobnicate", out, err), 2);
  EXPECT_EQ(Run("extra", out, err), 2);
  EXPECT_EQ(Run("-o", out, err), 2);
  EXPECT_EQ(Run("--json --csv", out, err), 2);
}

}  // namespace
}  // namespace tessaro
