// The man pages the build writes say what the programs' --help says, word for word.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"

namespace tessaro::testing {
namespace {

std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// The page's text with the roff escapes of plain text undone.
std::string PageText(const std::string& program) {
  const std::string page = ReadWholeFile(TESSARO_BIN_DIR "/../man/" + program + ".1").value_or("");
  std::string text;
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i] == '\\' && i + 1 < page.size() && (page[i + 1] == '-' || page[i + 1] == 'e' || page[i + 1] == '&')) {
      if (page[i + 1] == '-') text += '-';
      if (page[i + 1] == 'e') text += '\\';
      ++i;
      continue;
    }
    text += page[i];
  }
  return text;
}

TEST(ManPages, HoldEachProgramsHelp) {
  struct Case {
    const char* program;
    const char* arguments;
  };
  const Case cases[] = {{"tessaro-cli", "--help"},
                        {"tessaro-cli", "program --help"},
                        {"tessaro-cli", "read --help"},
                        {"tessaro-cli", "efuse --help"},
                        {"tessaro-sim", "--help"}};
  for (const Case& c : cases) {
    const std::string help = Output(std::string(TESSARO_BIN_DIR "/") + c.program + " " + c.arguments);
    ASSERT_GT(help.size(), 100u) << c.program << " " << c.arguments;
    EXPECT_NE(PageText(c.program).find(help), std::string::npos)
        << "the man page of " << c.program << " lacks its " << c.arguments << ":\n"
        << help;
  }
}

}  // namespace
}  // namespace tessaro::testing
