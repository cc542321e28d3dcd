// tessaro-cli against simulated parallel NOR and NAND boards: the device faults a user meets
// (a sector that will not erase, a word that will not program, a device that stays busy, a NAND
// image larger than block 0) each end with their status or message and a failing exit code,
// never a success and never a hang; and the 16-bit NAND bus of explicit device options.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"

namespace {

using Result = tessaro::testing::CliResult;
namespace fs = std::filesystem;

class NorNandCommand : public tessaro::testing::CliFolderTest {
 protected:
};

// The shipped descriptions with a short sector time-out, so that a device that stays busy gives
// up within a test's time.
std::string QuickDrivers(const std::string& folder) {
  const std::string drivers = folder + "/drivers";
  fs::create_directories(drivers);
  for (const auto& file : fs::directory_iterator(std::string(TESSARO_SOURCE_DIR) + "/drivers")) {
    std::string text = tessaro::ReadWholeFile(file.path().string()).value_or("");
    const std::string key = "TimeSector = ";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + key.size())) {
      const size_t digits = text.find_first_not_of("0123456789", at + key.size());
      text.replace(at + key.size(), (digits == std::string::npos ? text.size() : digits) - at - key.size(), "200");
    }
    EXPECT_TRUE(tessaro::WriteWholeFile(drivers + "/" + file.path().filename().string(), text));
  }
  return drivers;
}

TEST_F(NorNandCommand, NorFaultsEndWithTheirStatusNeverASuccess) {
  const std::string drivers = QuickDrivers(folder_);
  std::string bytes;
  const std::string image = Image(0x1400, 9, bytes);
  // The LYR8321 Module's S29GL064N04: eight 4K-word boot sectors, then 32K-word sectors.
  struct Case {
    const char* label;
    const char* fault;       // simulated board option
    const char* statusText;  // the status line, in full
  };
  const Case cases[] = {
      {"sector will not erase", "fail-erase-sector=1",
       "Parallel Flash: Could not erase sector, FAILED - Addr= 00001000"},
      {"word will not program", "fail-program-word=0x1234",
       "Parallel Flash: Program FAILED at 00001234: Exp=XXXX Read=YYYY"},
      {"device stays busy", "stuck-busy", "Parallel Flash: Could not erase sector, FAILED - Addr= 00000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dump = folder_ + "/nor.bin";
    fs::remove(dump);
    const auto started = std::chrono::steady_clock::now();
    Result r =
        Run("program --json --yes --drivers '" + drivers + "' --port 'sim:board=LYR8321 Module,drivers=" + drivers +
            "," + c.fault + ",dump-memory=nor:" + dump + "' --board 'LYR8321 Module' --dest nor " + image);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("\"ok\": false"), std::string::npos) << r.out;
    std::string expected = c.statusText;
    const std::string held = tessaro::ReadWholeFile(dump).value_or("");
    ASSERT_GE(held.size(), 0x1236u * 2);
    if (const size_t at = expected.find("XXXX"); at != std::string::npos) {
      // The word the image asked for at 0x1234, and what the device holds there afterwards.
      auto word = [](const std::string& b, size_t i) {
        char text[5];
        std::snprintf(text, sizeof text, "%04X",
                      static_cast<unsigned>(static_cast<uint8_t>(b[2 * i]) | static_cast<uint8_t>(b[2 * i + 1]) << 8));
        return std::string(text);
      };
      expected.replace(at, 4, word(bytes, 0x1234));
      expected.replace(expected.find("YYYY"), 4, word(held, 0x1234));
      EXPECT_NE(word(held, 0x1234), word(bytes, 0x1234));
    } else {
      EXPECT_EQ(held.find_first_not_of('\xFF'), std::string::npos) << "programmed after a failed erase";
    }
    EXPECT_EQ(tessaro::testing::JsonValue(r.out, "statusText"), expected) << r.out;
  }
}

// A 16-bit NAND given by explicit options: block 0 takes the image exactly.
TEST_F(NorNandCommand, NandOnA16BitBusFromExplicitOptions) {
  std::string bytes;
  const std::string image = Image(0x900, 4, bytes);
  const std::string dump = folder_ + "/nand.bin";
  Result r = Run("program --json --yes --port 'sim:chip=LYR9371,nand=16bit,dump-memory=nand:" + dump +
                 "' --config-string LYR9371 --nand --dest nand " + image);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(tessaro::testing::JsonValue(r.out, "statusText"), "Program and Verify Success") << r.out;
  const std::string held = tessaro::ReadWholeFile(dump).value_or("");
  ASSERT_GE(held.size(), bytes.size());
  EXPECT_EQ(held.substr(0, bytes.size()), bytes);
  EXPECT_EQ(held.find_first_not_of('\xFF', bytes.size()), std::string::npos) << "written past the image";
}

// Block 0 of the simulated NAND is 64 pages of 1024 words: one word more is refused before any
// device work, and the device keeps what it held.
TEST_F(NorNandCommand, NandImageLargerThanBlockZeroIsRefused) {
  std::string bytes;
  const std::string image = Image(64 * 1024 + 1, 5, bytes);
  const std::string dump = folder_ + "/nand.bin";
  Result r = Run("program --json --yes --port 'sim:chip=LYR9371,nand,dump-memory=nand:" + dump +
                 "' --config-string LYR9371 --nand --dest nand " + image);
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;  // refused before the device work
  EXPECT_EQ(tessaro::testing::JsonValue(r.out, "error"), "Image does not fit into Block0") << r.out;
  const std::string held = tessaro::ReadWholeFile(dump).value_or("");
  EXPECT_FALSE(held.empty());
  EXPECT_EQ(held.find_first_not_of('\xFF'), std::string::npos) << "a refused run wrote to the device";
}

}  // namespace
