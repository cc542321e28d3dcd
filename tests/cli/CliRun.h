// Runs tessaro-cli as a user does, from the build tree, and collects what it printed. Simulated
// boards run strict: a violation (anything a correct host never does) fails the test, unless
// the test provoked it on purpose and says so.
#pragma once

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"

namespace tessaro::testing {

struct CliResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

enum class SimViolations {
  Fail,      // the run is strict (TESSARO_SIM_STRICT=1): any violation fails the test
  Allowed,   // the test makes the host misbehave on purpose; the violations stay on stderr
  Reported,  // strict, and the test looks at the exit code and the list itself
};

// The exit code of a strict tessaro-cli whose simulated board saw violations.
inline constexpr int kCliExitSimViolations = 5;

// `arguments` are shell words after "tessaro-cli". stderr goes to `errPath` (a temporary file
// without one) and is read back.
inline CliResult RunCli(const std::string& arguments, const std::string& errPath = "",
                        SimViolations violations = SimViolations::Fail) {
  std::string errFile = errPath;
  if (errFile.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/tessaro-cli-err-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      errFile = pattern;
    }
  }
  const std::string strict = violations == SimViolations::Allowed ? "TESSARO_SIM_STRICT= " : "TESSARO_SIM_STRICT=1 ";
  const std::string command = strict + TESSARO_BIN_DIR "/tessaro-cli " + arguments + " 2>" +
                              (errFile.empty() ? std::string("/dev/null") : "'" + errFile + "'");
  CliResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!errFile.empty()) result.err = ReadWholeFile(errFile).value_or("");
  if (errPath.empty() && !errFile.empty()) ::unlink(errFile.c_str());
  if (violations == SimViolations::Fail && result.exitCode == kCliExitSimViolations)
    ADD_FAILURE() << "tessaro-cli " << arguments << "\n" << result.err;
  return result;
}

// A test with a temporary folder of its own (removed afterwards), in which tessaro-cli keeps
// its stderr and the test its images and dumps.
class CliFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = (std::filesystem::temp_directory_path() /
               ("tessaro-cli-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                  .string();
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  CliResult Run(const std::string& arguments) { return RunCli(arguments, folder_ + "/stderr.txt"); }
  // A raw image.bin of `words` random words; its bytes are returned in `bytes`.
  std::string Image(size_t words, uint32_t seed, std::string& bytes) {
    std::mt19937 generator(seed);
    bytes.clear();
    for (size_t i = 0; i < words * 2; ++i) bytes += static_cast<char>(generator() & 0xFF);
    const std::string path = folder_ + "/image.bin";
    EXPECT_TRUE(WriteWholeFile(path, bytes));
    return path;
  }

  std::string folder_;
};

// The value of "key": in a JSON object (strings without their quotes, escapes kept, null as "null");
// the first occurrence of the key wins.
inline std::string JsonValue(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "<missing>";
  size_t begin = json.find_first_not_of(' ', at + key.size() + 3);
  if (json[begin] == '"') return json.substr(begin + 1, json.find('"', begin + 1) - begin - 1);
  return json.substr(begin, json.find_first_of(",\n}", begin) - begin);
}

// The numbers of the array "key": [...]; empty when the key is missing.
inline std::vector<unsigned long> JsonNumbers(const std::string& json, const std::string& key) {
  std::vector<unsigned long> numbers;
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return numbers;
  size_t pos = json.find('[', at);
  const size_t end = json.find(']', pos);
  while (pos < end) {
    pos = json.find_first_of("0123456789]", pos);
    if (pos >= end) break;
    char* next = nullptr;
    numbers.push_back(std::strtoul(json.c_str() + pos, &next, 10));
    pos = static_cast<size_t>(next - json.c_str());
  }
  return numbers;
}

}  // namespace tessaro::testing
