// Runs tessaro-cli as a user does, from the build tree, and collects what it printed.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "platform/Files.h"

namespace tessaro::testing {

struct CliResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// `arguments` are shell words after "tessaro-cli". stderr goes to `errPath` and is read back;
// without one it is dropped.
inline CliResult RunCli(const std::string& arguments, const std::string& errPath = "") {
  const std::string command = std::string(TESSARO_BIN_DIR "/tessaro-cli ") + arguments + " 2>" +
                              (errPath.empty() ? std::string("/dev/null") : "'" + errPath + "'");
  CliResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!errPath.empty()) result.err = ReadWholeFile(errPath).value_or("");
  return result;
}

}  // namespace tessaro::testing
