// tessaro-cli program and verify against simulated boards, run as a user runs them: the status
// line, JSON, exit codes, what the simulated flash holds (dumped when the board ends), Ctrl-C,
// and a board served by tessaro-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include "tests/cli/CliRun.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"

extern char** environ;

namespace {

using Result = tessaro::testing::CliResult;

// A child process with its stdout on a pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_) std::fclose(out_);
  }
  std::string ReadLine() {
    std::string line;
    int c;
    while (out_ && (c = std::fgetc(out_)) != EOF && c != '\n') line += static_cast<char>(c);
    return line;
  }
  std::string ReadAll() {
    std::string text;
    char buffer[4096];
    size_t n;
    while (out_ && (n = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, n);
    return text;
  }
  // Waits (up to 5 s) until the program has a handler of its own for `signal` in place.
  bool WaitUntilCaught(int signal) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      const std::string status = tessaro::ReadWholeFile("/proc/" + std::to_string(pid_) + "/status").value_or("");
      const size_t at = status.find("SigCgt:");
      if (at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (signal - 1) & 1) != 0)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

// The words of a raw image as its bytes.
std::string Bytes(const std::vector<uint16_t>& words) {
  std::string bytes;
  for (uint16_t w : words) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  return bytes;
}

class ProgramCommand : public tessaro::testing::CliFolderTest {
 protected:
  // A raw image of `words` random words (word 2 kept clear of the 8x47 firmware mark).
  std::string Image(const std::string& name, size_t words, uint32_t seed, std::vector<uint16_t>* content = nullptr) {
    std::mt19937 generator(seed);
    std::string bytes;
    std::vector<uint16_t> values(words);
    for (size_t i = 0; i < words; ++i) {
      values[i] = i == 2 ? 0x1234 : static_cast<uint16_t>(generator());
      bytes += static_cast<char>(values[i] & 0xFF);
      bytes += static_cast<char>(values[i] >> 8);
    }
    if (content) *content = values;
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(tessaro::WriteWholeFile(path, bytes));
    return path;
  }
};

TEST_F(ProgramCommand, ProgramsTheEmbeddedFlashOfSimulatedBoards) {
  for (const char* chip : {"LYR8721", "LYR8647"}) {
    std::vector<uint16_t> words;
    const std::string image = Image("image.bin", 0x4000, 11, &words);
    const std::string dump = folder_ + "/flash.bin";
    Result r = Run(std::string("program --port sim:chip=") + chip + ",dump-memory=flash:" + dump + " --config-string " +
                   chip + " " + image);
    EXPECT_EQ(r.exitCode, 0) << chip << r.err;
    // The program step does not verify by itself, so the command verifies after it.
    EXPECT_EQ(r.out, "Embedded Flash: Program Success (not verified)\nEmbedded Flash: Verify Success\n") << chip;
    // The simulated flash holds exactly the image.
    EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or(""), tessaro::ReadWholeFile(image).value_or("x")) << chip;
  }
}

TEST_F(ProgramCommand, VerifyFailureNamesTheAddressAndValues) {
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x80, 12, &words);
  // A fresh board's flash is erased: the first word already differs.
  Result r = Run("verify --port sim:chip=LYR8547 --config-string LYR8547 " + image);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  char expected[80];
  std::snprintf(expected, sizeof expected, "Embedded Flash: Verify FAILED at 0A000000: Exp=%04X Read=FFFF\n", words[0]);
  EXPECT_EQ(r.out, expected);

  Result json = Run("verify --json --port sim:chip=LYR8547 --config-string LYR8547 " + image);
  EXPECT_EQ(json.exitCode, 1);
  for (const std::string& fragment :
       {std::string("\"ok\": false"), std::string("\"status\": 10"), std::string("\"colourClass\": 3"),
        std::string("\"failureAddress\": 167772160"), "\"expected\": " + std::to_string(words[0]),
        std::string("\"read\": 65535"), std::string("\"elapsedMs\": "), std::string("\"hostToTarget\": "),
        std::string("\"roundTrips\": "), std::string("\"error\": \"\"")}) {
    EXPECT_NE(json.out.find(fragment), std::string::npos) << fragment << "\n" << json.out;
  }
}

// A secured 8x47 does not link; only --yes with --erase-secured lets the command erase it.
TEST_F(ProgramCommand, YesErasesASecuredChipOnlyWhenAllowed) {
  const std::string image = Image("image.bin", 0x100, 21);
  const std::string flash = folder_ + "/flash.bin";
  const std::string security = folder_ + "/security.bin";
  const std::string port =
      "sim:chip=LYR8347,security-bit,dump-memory=flash:" + flash + ",dump-memory=security:" + security;
  Result kept = Run("program --json --port " + port + " --config-string LYR8347 --yes " + image);
  EXPECT_EQ(kept.exitCode, 3) << kept.err;
  EXPECT_NE((kept.out + kept.err).find("--erase-secured"), std::string::npos) << kept.out << kept.err;
  EXPECT_NE(kept.out.find("\"answer\": \"no\""), std::string::npos) << kept.out;
  EXPECT_EQ(tessaro::ReadWholeFile(security).value_or(""), std::string("\x01\x00", 2));  // still secured

  Result erased = Run("program --port " + port + " --config-string LYR8347 --yes --erase-secured " + image);
  EXPECT_EQ(erased.exitCode, 0) << erased.err;
  EXPECT_EQ(tessaro::ReadWholeFile(security).value_or(""), std::string("\x00\x00", 2));
  EXPECT_EQ(tessaro::ReadWholeFile(flash).value_or("").substr(0, 0x200), tessaro::ReadWholeFile(image).value_or("x"));

  EXPECT_EQ(Run("program --port " + port + " --config-string LYR8347 --erase-secured " + image).exitCode, 2);
}

TEST_F(ProgramCommand, RefusalsBeforeDeviceWorkExitWith3) {
  const std::string big = Image("big.bin", 0x4001, 13);
  Result r = Run("program --json --port sim:chip=LYR8721 --config-string LYR8721 " + big);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.out.find("\"ok\": false"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"error\": \"Image too big for internal Flash!\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"hostToTarget\": 0,"), std::string::npos) << "no traffic:\n" << r.out;

  const std::string small = Image("small.bin", 0x10, 14);
  Result noFlash = Run("program --port sim:chip=LYR9468 --config-string LYR9468 --dest embedded " + small);
  EXPECT_EQ(noFlash.exitCode, 3);
  EXPECT_NE(noFlash.err.find("Image too big for internal Flash!"), std::string::npos) << noFlash.err;

  Result serial = Run("program --port sim:chip=LYR9468 --config-string LYR9468 --dest serial " + small);
  EXPECT_EQ(serial.exitCode, 3);
  EXPECT_NE(serial.err.find("No Serial Driver selected!"), std::string::npos) << serial.err;

  Result noPort = Run("program --port COM250 --config-string LYR8721 " + small);
  EXPECT_EQ(noPort.exitCode, 3);
  EXPECT_NE(noPort.err.find("Can't open COM250!"), std::string::npos) << noPort.err;

  // A port given as a path is named by its path.
  Result noPath = Run("program --port /dev/ttyNOPE --config-string LYR8721 " + small);
  EXPECT_EQ(noPath.exitCode, 3);
  EXPECT_NE(noPath.err.find("Can't open /dev/ttyNOPE!"), std::string::npos) << noPath.err;
  EXPECT_EQ(noPath.err.find("COM"), std::string::npos) << noPath.err;
}

TEST_F(ProgramCommand, UsageErrorsExitWith2) {
  const std::string small = Image("small.bin", 0x10, 15);
  const std::vector<std::string> bad = {
      "program --port sim:chip=LYR8721 " + small,  // no board or configuration
      "program --port sim:chip=LYR8721 --config-string LYR8721 --yes --no " + small,
      "program --port sim:chip=LYR8721 --config-string LYR8721 --dest sideways " + small,
      "program --port sim:chip=LYR8721 --config-string LYR8721 --start 12G4 " + small,
      "program --port sim:chip=LYR8721 --config-string LYR8721 --size 11 " + small,
      "program --port sim:chip=LYR9468 --config-string LYR9468 " + small,  // nothing to offer
      "verify --port sim:chip=LYR8721 --config-string LYR8721 " + folder_ + "/missing.bin",
      "verify --port sim:chip=LYR8721 --config-string LYR8721 --board X " + small,
  };
  for (const std::string& arguments : bad) {
    Result r = Run(arguments);
    EXPECT_EQ(r.exitCode, 2) << arguments << "\n" << r.err;
    EXPECT_EQ(r.out, "") << arguments;
  }
}

TEST_F(ProgramCommand, StartAndSizeSelectTheRange) {
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x200, 16, &words);
  const std::string dump = folder_ + "/flash.bin";
  Result r = Run("program --port sim:chip=LYR8721,dump-memory=flash:" + dump +
                 " --config-string LYR8721 --start 0000:1000 --size 100 " + image);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string flash = tessaro::ReadWholeFile(dump).value_or("");
  ASSERT_EQ(flash.size(), 0x8000u);
  for (size_t i = 0; i < 0x4000; ++i) {
    const uint16_t w =
        static_cast<uint16_t>(static_cast<uint8_t>(flash[2 * i]) | (static_cast<uint8_t>(flash[2 * i + 1]) << 8));
    const uint16_t want = i >= 0x1000 && i < 0x1100 ? words[i - 0x1000] : 0xFFFF;
    ASSERT_EQ(w, want) << "word " << i;
  }
}

TEST_F(ProgramCommand, ProgramVerifiesByDefaultAndReportsEachStep) {
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x300, 21, &words);
  const std::string dump = folder_ + "/flash.bin";
  Result r =
      Run("program --json --port sim:chip=LYR8721,dump-memory=flash:" + dump + " --config-string LYR8721 " + image);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // The final status is the verify step's; a run without failure names no address or values.
  for (const char* fragment : {"\"ok\": true", "\"status\": 4", "\"statusText\": \"Embedded Flash: Verify Success\"",
                               "\"failureAddress\": null", "\"expected\": null", "\"read\": null",
                               "\"operation\": \"program\"", "\"status\": 2", "\"operation\": \"verify\""}) {
    EXPECT_NE(r.out.find(fragment), std::string::npos) << fragment << "\n" << r.out;
  }
  EXPECT_LT(r.out.find("\"operation\": \"program\""), r.out.find("\"operation\": \"verify\""));
  std::vector<uint16_t> flash = words;
  flash.resize(0x4000, 0xFFFF);
  EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or(""), Bytes(flash));

  Result skipped = Run("program --json --no-verify --port sim:chip=LYR8721 --config-string LYR8721 " + image);
  EXPECT_EQ(skipped.exitCode, 0) << skipped.err;
  EXPECT_NE(skipped.out.find("\"status\": 2,"), std::string::npos) << skipped.out;
  EXPECT_EQ(skipped.out.find("\"operation\": \"verify\""), std::string::npos) << skipped.out;
  EXPECT_EQ(Run("verify --no-verify --port sim:chip=LYR8721 --config-string LYR8721 " + image).exitCode, 2)
      << "verify has no --no-verify";
}

TEST_F(ProgramCommand, CtrlCAbortsAtTheNextCancelCheck) {
  const std::string image = Image("image.bin", 0x4000, 17);
  Child cli({TESSARO_BIN_DIR "/tessaro-cli", "program", "--port", "sim:chip=LYR8721,baud-pace", "--config-string",
             "LYR8721", image});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  cli.Signal(SIGINT);
  const std::string out = cli.ReadAll();
  EXPECT_EQ(cli.Wait(), 4);
  EXPECT_EQ(out.rfind("Embedded Flash: Aborted by User - Addr=06000", 0), 0u) << out;

  // The JSON of a cancelled run does not call it a success.
  Child json({TESSARO_BIN_DIR "/tessaro-cli", "program", "--json", "--port", "sim:chip=LYR8721,baud-pace",
              "--config-string", "LYR8721", image});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  json.Signal(SIGINT);
  const std::string document = json.ReadAll();
  EXPECT_EQ(json.Wait(), 4);
  EXPECT_NE(document.find("\"ok\": false"), std::string::npos) << document;
  EXPECT_NE(document.find("\"status\": 14"), std::string::npos) << document;
}

TEST_F(ProgramCommand, CtrlCRightAtTheStartStillEndsInAReport) {
  // As soon as the program takes Ctrl-C over, before any device work (the board definitions
  // and the simulated board still loading): the run is cancelled, not killed, and says so.
  const std::string image = Image("image.bin", 0x800, 24);
  Child json({TESSARO_BIN_DIR "/tessaro-cli", "program", "--json", "--port", "sim:board=LYR9468 Dual QSPI Board",
              "--board", "LYR9468 Dual QSPI Board", "--dest", "qspi", image});
  ASSERT_TRUE(json.WaitUntilCaught(SIGINT));
  json.Signal(SIGINT);
  const std::string document = json.ReadAll();
  EXPECT_EQ(json.Wait(), 4);
  EXPECT_NE(document.find("\"ok\": false"), std::string::npos) << document;
  EXPECT_NE(document.find("\"status\": 14"), std::string::npos) << document;
  EXPECT_NE(document.find("\"error\": \"Cancelled by Ctrl-C: "), std::string::npos) << document;
}

TEST_F(ProgramCommand, AChecksumCallLostWithTheLinkIsAFailureNotACancel) {
  const std::string image = Image("image.bin", 0x800, 23);
  const std::string target = " --board 'LYR9468 Dual QSPI Board' --dest qspi " + image;
  Result clean = Run("program --json --port 'sim:board=LYR9468 Dual QSPI Board'" + target);
  ASSERT_EQ(clean.exitCode, 0) << clean.err;
  const size_t trips = clean.out.find("\"roundTrips\": ");
  ASSERT_NE(trips, std::string::npos) << clean.out;
  // The board stops answering during the verify's last checksum calls.
  const unsigned long stop = std::stoul(clean.out.substr(trips + 14)) - 15;
  const std::string dump = folder_ + "/qspi.bin";
  Result r = Run("program --json --port 'sim:board=LYR9468 Dual QSPI Board,stop-after=" + std::to_string(stop) +
                 ",dump-memory=qspi:" + dump + "'" + target);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  for (const char* fragment :
       {"\"ok\": false", "\"status\": 14", "\"linkLost\": true",
        "\"error\": \"The checksum call on the target failed: The link to the target was lost\""}) {
    EXPECT_NE(r.out.find(fragment), std::string::npos) << fragment << "\n" << r.out;
  }
  // The image itself went in; only its proof failed.
  const std::string bytes = tessaro::ReadWholeFile(image).value_or("?");
  EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or("").substr(0, bytes.size()), bytes);
}

TEST_F(ProgramCommand, ProgramAndVerifyABoardServedByTessaroSim) {
  Child simulator({TESSARO_BIN_DIR "/tessaro-sim", "--chip=LYR8721"});
  const std::string line = simulator.ReadLine();
  ASSERT_EQ(line.rfind("pty: ", 0), 0u) << line;
  const std::string pty = line.substr(5);
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x1000, 18, &words);
  Result program = Run("program --no-verify --port " + pty + " --config-string LYR8721 " + image);
  EXPECT_EQ(program.exitCode, 0) << program.err;
  EXPECT_EQ(program.out, "Embedded Flash: Program Success (not verified)\n");
  Result verify = Run("verify --port " + pty + " --config-string LYR8721 " + image);
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_EQ(verify.out, "Embedded Flash: Verify Success\n");
  words[0x0ABC] ^= 0x8000;
  std::string changed;
  for (uint16_t w : words) {
    changed += static_cast<char>(w & 0xFF);
    changed += static_cast<char>(w >> 8);
  }
  ASSERT_TRUE(tessaro::WriteWholeFile(folder_ + "/changed.bin", changed));
  Result mismatch = Run("verify --port " + pty + " --config-string LYR8721 " + folder_ + "/changed.bin");
  EXPECT_EQ(mismatch.exitCode, 1);
  char expected[80];
  std::snprintf(expected, sizeof expected, "Embedded Flash: Verify FAILED at 06000ABC: Exp=%04X Read=%04X\n",
                words[0x0ABC], static_cast<uint16_t>(words[0x0ABC] ^ 0x8000));
  EXPECT_EQ(mismatch.out, expected);
}

TEST_F(ProgramCommand, AStateFileKeepsTheFlashBetweenRuns) {
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x1000, 19, &words);
  const std::string state = folder_ + "/b.state";
  const std::string port = " --port sim:--chip=LYR8721,--state=" + state + " --config-string LYR8721 ";
  Result program = Run("program" + port + image);
  EXPECT_EQ(program.exitCode, 0) << program.err;
  Result verify = Run("verify" + port + image);
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_EQ(verify.out, "Embedded Flash: Verify Success\n");

  // One word of the kept flash changes between runs.
  std::string bytes = tessaro::ReadWholeFile(state).value_or("");
  const size_t header = bytes.find("\nflash 16384\n");
  ASSERT_NE(header, std::string::npos);
  const size_t at = header + 13 + 2 * 0x0ABC;
  ASSERT_EQ(bytes.substr(at, 2), Bytes({words[0x0ABC]}));
  bytes[at + 1] = static_cast<char>(bytes[at + 1] ^ 0x80);
  ASSERT_TRUE(tessaro::WriteWholeFile(state, bytes));
  Result mismatch = Run("verify" + port + image);
  EXPECT_EQ(mismatch.exitCode, 1) << mismatch.err;
  char expected[80];
  std::snprintf(expected, sizeof expected, "Embedded Flash: Verify FAILED at 06000ABC: Exp=%04X Read=%04X\n",
                words[0x0ABC], static_cast<uint16_t>(words[0x0ABC] ^ 0x8000));
  EXPECT_EQ(mismatch.out, expected);

  // The other commands take the same port options: identify keeps the state as it found it.
  Result identify = Run("identify --port sim:chip=LYR8721,state=" + state + ",dump-memory=flash:" + folder_ + "/f.bin");
  EXPECT_EQ(identify.exitCode, 0) << identify.err;
  EXPECT_EQ(tessaro::ReadWholeFile(state).value_or(""), bytes);
  EXPECT_EQ(tessaro::ReadWholeFile(folder_ + "/f.bin").value_or(""), bytes.substr(header + 13, 0x8000));

  // A state file that is not one stops the command before any work, naming the file.
  ASSERT_TRUE(tessaro::WriteWholeFile(state, "flash"));
  Result bad = Run("verify" + port + image);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err.find(state + ": not a tessaro-sim state file"), std::string::npos) << bad.err;
}

TEST_F(ProgramCommand, TessaroSimKeepsItsStateAcrossProcesses) {
  std::vector<uint16_t> words;
  const std::string image = Image("image.bin", 0x1000, 20, &words);
  const std::string state = folder_ + "/b.state";
  const std::string dump = folder_ + "/flash.bin";
  {
    Child simulator(
        {TESSARO_BIN_DIR "/tessaro-sim", "--chip=LYR8721", "--state", state, "--dump-memory", "flash:" + dump});
    const std::string line = simulator.ReadLine();
    ASSERT_EQ(line.rfind("pty: ", 0), 0u) << line;
    Result program = Run("program --port " + line.substr(5) + " --config-string LYR8721 " + image);
    EXPECT_EQ(program.exitCode, 0) << program.err;
    simulator.Signal(SIGTERM);
    EXPECT_EQ(simulator.Wait(), 0);
  }
  // The dump holds exactly the image words, the rest of the flash erased.
  std::vector<uint16_t> flash = words;
  flash.resize(0x4000, 0xFFFF);
  EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or(""), Bytes(flash));

  Child simulator({TESSARO_BIN_DIR "/tessaro-sim", "--chip=LYR8721", "--state=" + state});
  const std::string line = simulator.ReadLine();
  ASSERT_EQ(line.rfind("pty: ", 0), 0u) << line;
  Result verify = Run("verify --port " + line.substr(5) + " --config-string LYR8721 " + image);
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_EQ(verify.out, "Embedded Flash: Verify Success\n");
}

}  // namespace
