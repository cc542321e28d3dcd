// Runs build/bin/tessaro-sim as a child process and reads the pty path from its first line.
// The simulator's violations (what a correct host never does) come back through its --stats
// file when it stops, and fail the test unless `allowViolations` is set.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaro::testing {

class SimProcess {
 public:
  ~SimProcess() { Stop(); }

  bool Start(std::vector<std::string> options) {
    bool ownStats = true;
    for (const auto& option : options) ownStats = ownStats && option.rfind("--stats", 0) != 0;
    if (ownStats) {
      static std::atomic<int> serial{0};
      statsPath_ = (std::filesystem::temp_directory_path() /
                    ("tessaro-sim-stats-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".json"))
                       .string();
      options.push_back("--stats=" + statsPath_);
    }
    int out[2];
    if (::pipe(out) != 0) return false;
    std::string program = std::string(TESSARO_BIN_DIR) + "/tessaro-sim";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& option : options) argv.push_back(const_cast<char*>(option.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c = 0;
    pollfd fd{out[0], POLLIN, 0};
    while (::poll(&fd, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    ::close(out[0]);
    if (line.rfind("pty: ", 0) != 0) return false;
    path_ = line.substr(5);
    return true;
  }

  // Sends the signal and waits for the process; the exit status, or -1. After SIGTERM the
  // simulator has written its stats, and any violation it saw fails the test.
  int Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    CheckViolations();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool allowViolations = false;

  const std::string& path() const { return path_; }

 private:
  void CheckViolations() {
    if (statsPath_.empty()) return;
    std::FILE* file = std::fopen(statsPath_.c_str(), "r");
    if (file) {
      const auto stats = nlohmann::json::parse(file, nullptr, false);
      std::fclose(file);
      if (!allowViolations && stats.is_object() && stats.contains("violations") && !stats["violations"].empty()) {
        ADD_FAILURE() << "tessaro-sim saw violations: " << stats["violations"].dump();
      }
    }
    std::filesystem::remove(statsPath_);
    statsPath_.clear();
  }

  pid_t pid_ = -1;
  std::string path_;
  std::string statsPath_;
};

}  // namespace tessaro::testing
