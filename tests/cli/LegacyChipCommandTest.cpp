// tessaro-cli program and verify on a LYR73xx board through each debug interface that links it:
// the legacy serial board (handshake), a USB interface of kind 1 and one of kind 2, which links a
// 73xx in its own transport mode (5) and must be as good for programming as the others. Each
// run is checked through the parallel flash's dump.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"

namespace tessaro::testing {
namespace {

class LegacyChipCommand : public CliFolderTest {
 protected:
};

TEST_F(LegacyChipCommand, ProgramsAndVerifiesThroughEveryInterface) {
  struct Case {
    const char* interface;  // sim options of the debug interface
    const char* mode;       // the transport mode identify reports; null: not looked at
  };
  const Case cases[] = {
      {"interface=none", nullptr},
      {"interface=usb,usb-kind=1", "3"},
      {"interface=usb,usb-kind=2", "5"},
  };
  const std::string board = "LYR7312 Legacy Demo Board";
  std::mt19937 generator(73);
  for (const Case& c : cases) {
    std::string bytes;
    for (size_t i = 0; i < 2 * 0x580; ++i) bytes += static_cast<char>(generator() & 0xFF);
    const std::string image = folder_ + "/image.bin";
    ASSERT_TRUE(WriteWholeFile(image, bytes));
    const std::string dump = folder_ + "/nor.bin";
    std::filesystem::remove(dump);
    const std::string sim = "sim:board=" + board + "," + c.interface;

    if (c.mode) {
      CliResult identify = RunCli("identify --json --port '" + sim + "'");
      EXPECT_EQ(identify.exitCode, 0) << c.interface << identify.err;
      EXPECT_EQ(JsonValue(identify.out, "transportMode"), c.mode) << c.interface;
    } else {
      // No USB interface to report the silent chip: probing cannot find it, and says how to go on.
      CliResult identify = RunCli("identify --port '" + sim + "'", folder_ + "/err.txt");
      EXPECT_EQ(identify.exitCode, 1);
      EXPECT_NE(identify.err.find("--config-string"), std::string::npos) << identify.err;
    }

    // From word 0: on a 73xx the first 1024 words are the chip's own and are passed over; the
    // block holding them is not erased but must be unlocked for the words after them.
    const std::string port =
        " --port '" + sim + ",dump-memory=nor:" + dump + "' --board '" + board + "' --dest nor --start 0 ";
    CliResult program = RunCli("program --json --yes" + port + image, folder_ + "/err.txt");
    EXPECT_EQ(program.exitCode, 0) << c.interface << "\n" << program.out << program.err;
    EXPECT_EQ(JsonValue(program.out, "statusText"), "Parallel Flash: Verify Success") << c.interface;
    const std::string held = ReadWholeFile(dump).value_or("");
    constexpr size_t kReserved = 2 * 1024;
    ASSERT_GE(held.size(), bytes.size()) << c.interface;
    EXPECT_TRUE(held.compare(kReserved, bytes.size() - kReserved, bytes, kReserved) == 0)
        << c.interface << ": the flash does not hold the image";
    EXPECT_EQ(held.substr(0, kReserved).find_first_not_of('\xFF'), std::string::npos)
        << c.interface << ": the chip's own words were written";
    EXPECT_EQ(held.find_first_not_of('\xFF', bytes.size()), std::string::npos) << c.interface;

    // Verify on a board whose flash holds something else finds the difference.
    CliResult verify = RunCli("verify --json" + port + image, folder_ + "/err.txt");
    EXPECT_EQ(verify.exitCode, 1) << c.interface << verify.out;
    EXPECT_EQ(JsonValue(verify.out, "ok"), "false") << c.interface;
  }
}

// A second program of another image over the first, on a board whose flash holds the chip's
// own words: the block holding them is erased and they are written back, so both the image
// and those words are there afterwards.
TEST_F(LegacyChipCommand, ProgramsTwiceKeepingTheChipsOwnWords) {
  const std::string board = "LYR7312 Legacy Demo Board";
  const std::string state = folder_ + "/board.state";
  const std::string dump = folder_ + "/nor.bin";
  constexpr size_t kOwnWords = 1024;
  std::string own;
  std::mt19937 generator(7312);
  for (size_t i = 0; i < 2 * kOwnWords; ++i) own += static_cast<char>(generator() & 0xFF);
  // A board whose flash starts with the chip's own words; the rest is blank.
  ASSERT_TRUE(WriteWholeFile(state, "tessaro-sim state 1\nnor " + std::to_string(kOwnWords) + "\n" + own + "\n"));
  const std::string port = " --port 'sim:board=" + board + ",interface=usb,state=" + state +
                           ",dump-memory=nor:" + dump + "' --board '" + board + "' --dest nor --start 0 ";
  for (const uint32_t seed : {1u, 2u, 2u}) {
    SCOPED_TRACE("image " + std::to_string(seed));
    std::string bytes;
    const std::string image = Image(3000, seed, bytes);
    CliResult program = Run("program --json --yes" + port + image);
    EXPECT_EQ(program.exitCode, 0) << program.out << program.err;
    EXPECT_EQ(JsonValue(program.out, "statusText"), "Parallel Flash: Verify Success");
    const std::string held = ReadWholeFile(dump).value_or("");
    ASSERT_GE(held.size(), bytes.size());
    EXPECT_TRUE(held.compare(0, own.size(), own) == 0) << "the chip's own words were lost";
    EXPECT_TRUE(held.compare(own.size(), bytes.size() - own.size(), bytes, own.size()) == 0)
        << "the flash does not hold the image";
    EXPECT_EQ(held.find_first_not_of('\xFF', bytes.size()), std::string::npos);
  }
}

}  // namespace
}  // namespace tessaro::testing
