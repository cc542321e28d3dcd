// tessaro-cli identify and ports, run as a user runs them: in-process sim: ports and
// tessaro-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "chips/ChipCatalogue.h"
#include "platform/Files.h"
#include "tests/cli/CliRun.h"
#include "tests/sim/SimProcess.h"

namespace tessaro::testing {
namespace {

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* tmp = std::getenv("TMPDIR");
    static std::string home = std::string(tmp ? tmp : "/tmp") + "/tessaro-cli-identify-" + std::to_string(::getpid());
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  }
};

std::string Expected(const ChipInfo& chip) {
  // The LYR8247 has the LYR8347's select port, which is what the 8x47 probe looks for.
  return std::string(chip.name) == "LYR8247" ? "LYR8347" : chip.name;
}

TEST_F(CliTest, IdentifiesEveryChipOnAnInProcessBoard) {
  std::vector<std::future<CliResult>> runs;
  for (const ChipInfo& chip : ChipCatalogue())
    runs.push_back(std::async(
        std::launch::async, [](const std::string& a) { return RunCli(a); },
        std::string("identify --json --port sim:--chip=") + chip.name + ",--interface=usb"));
  size_t i = 0;
  for (const ChipInfo& chip : ChipCatalogue()) {
    CliResult result = runs[i++].get();
    EXPECT_EQ(result.exitCode, 0) << chip.name;
    EXPECT_EQ(JsonValue(result.out, "chip"), Expected(chip)) << result.out;
    EXPECT_EQ(JsonValue(result.out, "interfaceRevision"), "6");
  }
}

TEST_F(CliTest, IdentifiesEveryChipThroughTessaroSim) {
  // A few boards at a time: the legacy chips' handshake has timing of its own, and a busy
  // machine running dozens of boards at once would test the scheduler rather than the link.
  constexpr size_t kAtOnce = 4;
  const std::span<const ChipInfo> chips = ChipCatalogue();
  for (size_t first = 0; first < chips.size(); first += kAtOnce) {
    const size_t end = std::min(chips.size(), first + kAtOnce);
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::future<CliResult>> runs;
    for (size_t i = first; i < end; ++i) {
      sims.push_back(std::make_unique<SimProcess>());
      ASSERT_TRUE(sims.back()->Start({std::string("--chip=") + chips[i].name, "--interface=usb", "--usb-kind=1"}));
      runs.push_back(std::async(
          std::launch::async, [](const std::string& a) { return RunCli(a); },
          "identify --json --port " + sims.back()->path()));
    }
    for (size_t i = first; i < end; ++i) {
      const ChipInfo& chip = chips[i];
      CliResult result = runs[i - first].get();
      EXPECT_EQ(result.exitCode, 0) << chip.name;
      EXPECT_EQ(JsonValue(result.out, "chip"), Expected(chip)) << result.out;
      EXPECT_EQ(JsonValue(result.out, "transportMode"), chip.legacyLink ? "3" : "4");
    }
  }
}

TEST_F(CliTest, Reports9xxxMemoryKindsForEveryStrapping) {
  // LYR9468 (package 6) by strapping AND 3, and LYR9368 (package 4) by the whole strapping.
  struct Kinds {
    const char* ext1;
    const char* ext2;
    const char* cs1;
  };
  const Kinds k9468[4] = {{"2", "4", "false"}, {"1", "4", "false"}, {"2", "5", "true"}, {"1", "5", "true"}};
  const Kinds k9368[8] = {{"2", "4", "false"}, {"1", "4", "false"}, {"2", "5", "false"}, {"1", "5", "false"},
                          {"1", "0", "false"}, {"6", "7", "true"},  {"7", "0", "false"}, {"0", "6", "false"}};
  std::vector<std::future<CliResult>> runs;
  for (int s = 0; s < 8; ++s) {
    runs.push_back(std::async(
        std::launch::async, [](const std::string& a) { return RunCli(a); },
        "identify --json --port sim:chip=LYR9468,strapping=" + std::to_string(s)));
    runs.push_back(std::async(
        std::launch::async, [](const std::string& a) { return RunCli(a); },
        "identify --json --port sim:chip=LYR9368,strapping=" + std::to_string(s)));
  }
  for (int s = 0; s < 8; ++s) {
    CliResult r9468 = runs[2 * s].get();
    CliResult r9368 = runs[2 * s + 1].get();
    EXPECT_EQ(JsonValue(r9468.out, "chip"), "LYR9468");
    EXPECT_EQ(JsonValue(r9468.out, "ext1Kind"), k9468[s & 3].ext1) << s;
    EXPECT_EQ(JsonValue(r9468.out, "ext2Kind"), k9468[s & 3].ext2) << s;
    EXPECT_EQ(JsonValue(r9468.out, "ext2OnCs1"), k9468[s & 3].cs1) << s;
    EXPECT_EQ(JsonValue(r9468.out, "chipDescription"), "LYR9468 QFP176[96h] Rev 1");
    EXPECT_EQ(JsonValue(r9368.out, "chip"), "LYR9368");
    EXPECT_EQ(JsonValue(r9368.out, "ext1Kind"), k9368[s].ext1) << s;
    EXPECT_EQ(JsonValue(r9368.out, "ext2Kind"), k9368[s].ext2) << s;
    EXPECT_EQ(JsonValue(r9368.out, "ext2OnCs1"), k9368[s].cs1) << s;
  }
}

TEST_F(CliTest, NoChipAndUsageErrors) {
  CliResult none = RunCli("identify --json --port sim:--chip=LYR9468,--no-power");
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(JsonValue(none.out, "chip"), "null");
  CliResult text = RunCli("identify --port sim:--chip=LYR8326");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_EQ(text.out, "Chip: LYR8326\nTransport mode: 1\n");
  EXPECT_EQ(RunCli("identify").exitCode, 2);
  EXPECT_EQ(RunCli("identify --port printer").exitCode, 2);
  EXPECT_EQ(RunCli("identify --port sim:--chip=LYR1234").exitCode, 2);
  EXPECT_EQ(RunCli("ports extra").exitCode, 2);
  EXPECT_EQ(RunCli("ports --watch --scan").exitCode, 2);
}

TEST_F(CliTest, PortsListsTheConfiguredPortEvenWhenAbsent) {
  std::string settings = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Corvane SA/tessaro.conf";
  std::filesystem::create_directories(FolderOf(settings));
  ASSERT_TRUE(WriteWholeFile(settings, "[Settings]\nCOM=41\n"));
  CliResult text = RunCli("ports");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("COM42: (unavailable)\n"), std::string::npos) << text.out;
  CliResult json = RunCli("ports --json");
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_EQ(json.out.front(), '[');
  EXPECT_NE(json.out.find("\"port\": \"COM42\""), std::string::npos) << json.out;
}

TEST_F(CliTest, PortsWatchRunsUntilCtrlCAndThenExitsWithZero) {
  int errPipe[2];
  ASSERT_EQ(::pipe(errPipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  std::string program = TESSARO_BIN_DIR "/tessaro-cli";
  std::vector<std::string> words = {program, "ports", "--watch", "--json"};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(errPipe[1]);
  // The notice comes once Ctrl-C is handled; a machine that cannot watch says why and ends.
  std::string err;
  pollfd entry{errPipe[0], POLLIN, 0};
  while (err.find('\n') == std::string::npos && ::poll(&entry, 1, 10000) == 1) {
    char buffer[256];
    const ssize_t n = ::read(errPipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    err.append(buffer, static_cast<size_t>(n));
  }
  ASSERT_EQ(err.rfind("Watching the serial ports; Ctrl-C ends.\n", 0), 0u) << err;
  ::usleep(200 * 1000);
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) {
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    char buffer[512];
    const ssize_t n = ::read(errPipe[0], buffer, sizeof buffer);
    EXPECT_NE(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0))).find("watch"), std::string::npos);
  } else {
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  ::close(errPipe[0]);
}

}  // namespace
}  // namespace tessaro::testing
