// tessaro-cli --window: acknowledged-only commands in flight. A window the monitor cannot
// buffer fails loudly; faults inside the window leave the devices as a run that waits for each
// acknowledge leaves them (or the run fails); the round trips spent on acknowledges go.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"

namespace tessaro {
namespace {

using testing::CliResult;
using testing::JsonValue;
using testing::SimViolations;

class WindowCommand : public testing::CliFolderTest {
 protected:
  struct Outcome {
    CliResult result;
    std::string dump;
  };
  // Programs image.bin through a simulated board with `sim` options (and `fault` ones) and
  // returns what the CLI said and the dumped region. A run with a fault or `provoked` may make
  // the board see violations.
  Outcome Program(const std::string& sim, const std::string& target, const std::string& region, uint32_t window,
                  const std::string& fault = "", bool provoked = false) {
    const std::string dump = folder_ + "/dump.bin";
    std::filesystem::remove(dump);
    const std::string port = "sim:" + sim + ",dump-memory=" + region + ":" + dump + (fault.empty() ? "" : "," + fault);
    Outcome outcome;
    outcome.result = testing::RunCli("program --json --yes --port '" + port + "' " + target + " --window " +
                                         std::to_string(window) + " --start 0 " + folder_ + "/image.bin",
                                     folder_ + "/stderr.txt",
                                     fault.empty() && !provoked ? SimViolations::Fail : SimViolations::Allowed);
    outcome.dump = ReadWholeFile(dump).value_or("");
    return outcome;
  }
  // Where two dumps first differ ("same" when they do not), so a failure names a place rather
  // than printing megabytes.
  static std::string FirstDifference(const std::string& a, const std::string& b) {
    if (a == b) return "same";
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return "differ from byte " + std::to_string(at.first - a.begin()) + " of " + std::to_string(a.size()) + "/" +
           std::to_string(b.size());
  }
  static unsigned long Number(const CliResult& result, const char* key) {
    return std::stoul("0" + JsonValue(result.out, key));
  }
};

struct Destination {
  const char* name;
  const char* sim;
  const char* target;
  const char* region;
};

const Destination kDestinations[] = {
    {"qspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest qspi", "qspi"},
    {"dataflash", "chip=LYR9468,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2",
     "--config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial", "spi"},
    {"nor", "board=LYR8321 Module", "--board 'LYR8321 Module' --dest nor", "nor"},
};

constexpr uint32_t kWindow = 256;

TEST_F(WindowCommand, FaultsInsideTheWindowLeaveTheDeviceAsWaitingForEachAcknowledgeDoes) {
  std::string bytes;
  (void)Image(2048, 0x20, bytes);
  for (const Destination& d : kDestinations) {
    SCOPED_TRACE(d.name);
    const Outcome plain = Program(d.sim, d.target, d.region, 0);
    ASSERT_EQ(plain.result.exitCode, 0) << plain.result.out << plain.result.err;
    ASSERT_EQ(FirstDifference(plain.dump.substr(0, bytes.size()), bytes), "same");
    const Outcome windowed = Program(d.sim, d.target, d.region, kWindow);
    ASSERT_EQ(windowed.result.exitCode, 0) << windowed.result.out << windowed.result.err;
    EXPECT_EQ(FirstDifference(windowed.dump, plain.dump), "same");
    EXPECT_EQ(Number(windowed.result, "hostToTarget"), Number(plain.result, "hostToTarget"));
    EXPECT_LT(Number(windowed.result, "roundTrips") * 3, Number(plain.result, "roundTrips") * 2)
        << "the acknowledges are still waited for one by one";

    // Each fault strikes about two thirds into the run, inside some window.
    const unsigned long hostBytes = Number(plain.result, "hostToTarget") * 2 / 3;
    const unsigned long replyBytes = Number(plain.result, "targetToHost") * 2 / 3;
    const unsigned long command = Number(plain.result, "roundTrips") * 2 / 3;
    const std::string faults[] = {
        "drop-byte=" + std::to_string(replyBytes),
        "corrupt-byte=" + std::to_string(replyBytes),
        "late-command=" + std::to_string(command),
        "drop-host-byte=" + std::to_string(hostBytes),
        "corrupt-host-byte=" + std::to_string(hostBytes + 1) + ":0x10",
        "noise-ppm=40,seed=7",
    };
    for (const std::string& fault : faults) {
      SCOPED_TRACE(fault);
      const Outcome reference = Program(d.sim, d.target, d.region, 0, fault);
      const Outcome faulted = Program(d.sim, d.target, d.region, kWindow, fault);
      const std::string status = JsonValue(faulted.result.out, "statusText");
      if (faulted.result.exitCode == 0) {
        // A success holds what a run without the fault leaves, as the run that waited for each
        // acknowledge does whenever it succeeds too.
        EXPECT_EQ(FirstDifference(faulted.dump, plain.dump), "same") << status;
        if (reference.result.exitCode == 0) {
          EXPECT_EQ(FirstDifference(faulted.dump, reference.dump), "same") << status;
        }
      } else {
        // A run that cannot tell what the monitor did ends as a failure, never as a success.
        EXPECT_EQ(JsonValue(faulted.result.out, "ok"), "false");
        EXPECT_NE(status.find("FAILED"), std::string::npos) << faulted.result.out;
      }
    }
  }
}

TEST_F(WindowCommand, AWindowLargerThanTheMonitorBuffersFailsLoudly) {
  std::string bytes;
  (void)Image(1024, 0x21, bytes);
  // A paced line whose monitor buffers 16 bytes: embedded flash pages of 132 bytes sent behind
  // each other overrun it while it writes the page before.
  const std::string sim = "chip=LYR8721,interface=usb,baud-pace,rx-buffer=16";
  const std::string target = "--config-string 'LYR8721 FLASH' --dest embedded";
  struct Case {
    uint32_t window;
    bool fits;
  };
  for (const Case& c : {Case{0, true}, Case{16, true}, Case{4096, false}}) {
    SCOPED_TRACE(c.window);
    const Outcome run = Program(sim, target, "flash", c.window, "", !c.fits);
    if (c.fits) {
      EXPECT_EQ(run.result.exitCode, 0) << run.result.out << run.result.err;
      EXPECT_EQ(FirstDifference(run.dump.substr(0, bytes.size()), bytes), "same");
      continue;
    }
    EXPECT_NE(run.result.exitCode, 0);
    EXPECT_EQ(JsonValue(run.result.out, "ok"), "false");
    EXPECT_NE(JsonValue(run.result.out, "statusText").find("FAILED"), std::string::npos) << run.result.out;
    EXPECT_NE(run.result.err.find("receive buffer overran"), std::string::npos) << run.result.err;
  }
}

}  // namespace
}  // namespace tessaro
