// What tessaro-cli does with the violations of an in-process simulated board (anything a correct
// host never does): listed on stderr when the board ends, and under TESSARO_SIM_STRICT=1 the
// command fails with its own exit code whatever it returned. The violation is provoked here by a
// host-to-target byte the wire duplicates, which turns a command into one no host sends.
#include <gtest/gtest.h>

#include <string>

#include "tests/cli/CliRun.h"

namespace tessaro::testing {
namespace {

constexpr const char* kFaulty = "identify --json --port sim:chip=LYR8721,interface=usb,duplicate-host-byte=60";
constexpr const char* kViolation =
    "tessaro-cli: simulated board: violation: memory write of 0x0808 to unmapped address";

TEST(SimViolations, ListedOnStderrAndFatalOnlyWhenStrict) {
  CliResult strict = RunCli(kFaulty, "", SimViolations::Reported);
  EXPECT_EQ(strict.exitCode, kCliExitSimViolations) << strict.err;
  EXPECT_NE(strict.err.find(kViolation), std::string::npos) << strict.err;
  EXPECT_NE(strict.err.find("1 violation(s) of the simulated board (TESSARO_SIM_STRICT=1); the command returned 0"),
            std::string::npos)
      << strict.err;
  // The command's own output is all there: only the exit code tells the violation.
  EXPECT_EQ(JsonValue(strict.out, "chip"), "LYR8721") << strict.out;

  CliResult lenient = RunCli(kFaulty, "", SimViolations::Allowed);
  EXPECT_EQ(lenient.exitCode, 0) << lenient.err;
  EXPECT_NE(lenient.err.find(kViolation), std::string::npos) << lenient.err;

  // The same board without the fault: nothing to report.
  CliResult clean = RunCli("identify --json --port sim:chip=LYR8721,interface=usb", "", SimViolations::Reported);
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_EQ(clean.err.find("violation"), std::string::npos) << clean.err;
}

// A device of a named board that the simulation cannot wire is left off, and the run says so
// before its failure on that device.
TEST(SimViolations, ADeviceLeftOffIsToldOnStderr) {
  const std::string board = "'LYR9371 NAND Boot Board'";
  CliResult run = RunCli("identify --json --port sim:board=" + board);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("tessaro-cli: simulated board: the simulated LYR9371 cannot wire a serial flash behind "
                         "SPICS0=0; AT45DB161E left off"),
            std::string::npos)
      << run.err;
  CliResult clean = RunCli("identify --json --port \"sim:board=LYR9468 Dual QSPI Board\"");
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_EQ(clean.err.find("left off"), std::string::npos) << clean.err;
}

}  // namespace
}  // namespace tessaro::testing
