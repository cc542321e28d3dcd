// tessaro-cli on several boards at once, as a production line runs it: eight in-process
// simulated boards and four tessaro-sim processes in one run, one of them faulty; what each
// simulated flash holds afterwards, the JSON, the summary table, the exit code, the event
// stream line by line, the station log, and Ctrl-C cancelling every board.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"
#include "tests/sim/SimProcess.h"

namespace tessaro::testing {
namespace {

using nlohmann::json;

// The lines of a JSON Lines file, each parsed (a line that is no JSON object fails the test).
std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    json value = json::parse(line, nullptr, false);
    EXPECT_TRUE(value.is_object()) << "not one JSON object: " << line;
    lines.push_back(value);
  }
  return lines;
}

std::string Sha256Of(const std::string& path) {
  FILE* pipe = ::popen(("sha256sum '" + path + "'").c_str(), "r");
  char digest[65] = {};
  if (pipe) {
    EXPECT_EQ(std::fread(digest, 1, 64, pipe), 64u);
    ::pclose(pipe);
  }
  return digest;
}

class SeveralBoards : public CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  }
  // An in-process board that dumps its flash to dump-NAME.bin when the command ends.
  std::string SimPort(const std::string& name, const std::string& extra = "") {
    return "sim:chip=LYR8721,dump-memory=flash:" + Dump(name) + extra;
  }
  std::string Dump(const std::string& name) { return folder_ + "/dump-" + name + ".bin"; }
};

TEST_F(SeveralBoards, TwelveBoardsProgramAtOnceAndAFaultyOneDisturbsNoOther) {
  std::string image;
  const std::string imagePath = Image(0x4000, 31, image);
  std::vector<std::string> ports;
  std::vector<std::string> dumps;
  for (int i = 0; i < 8; ++i) {
    ports.push_back(SimPort("sim" + std::to_string(i)));
    dumps.push_back(Dump("sim" + std::to_string(i)));
  }
  // Four boards behind tessaro-sim processes; the third loses its link a little into the job.
  std::vector<std::unique_ptr<SimProcess>> sims;
  constexpr size_t kFaulty = 10;
  for (int i = 0; i < 4; ++i) {
    sims.push_back(std::make_unique<SimProcess>());
    std::vector<std::string> options{"--chip=LYR8721", "--dump-memory=flash:" + Dump("pty" + std::to_string(i))};
    if (ports.size() == kFaulty) options.push_back("--link-loss-at-command=60");
    ASSERT_TRUE(sims.back()->Start(options));
    ports.push_back(sims.back()->path());
    dumps.push_back(Dump("pty" + std::to_string(i)));
  }
  std::string arguments = "program --json --events " + folder_ + "/events.jsonl --log " + folder_ + "/log";
  for (const std::string& port : ports) arguments += " --port " + port;
  CliResult r = Run(arguments + " --config-string LYR8721 " + imagePath);
  for (auto& sim : sims) sim->Stop();  // the processes write their dumps

  EXPECT_EQ(r.exitCode, 1) << r.err;
  const json document = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(document.is_object()) << r.out;
  EXPECT_EQ(document["ok"], false);
  ASSERT_EQ(document["boards"].size(), ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    const json& board = document["boards"][i];
    EXPECT_EQ(board["port"], ports[i]) << "boards are reported in the order given";
    const bool faulty = i == kFaulty;
    EXPECT_EQ(board["ok"], !faulty) << ports[i] << board.dump();
    const std::string dump = ReadWholeFile(dumps[i]).value_or("");
    if (faulty) {
      EXPECT_NE(dump, image) << "the board whose link was lost cannot hold the whole image";
    } else {
      EXPECT_EQ(board["statusText"], "Embedded Flash: Verify Success") << ports[i];
      EXPECT_EQ(dump, image) << ports[i] << ": the simulated flash does not hold the image";
    }
    EXPECT_EQ(board["wire"].is_null(), i >= 8) << "wire counters come from in-process boards only";
  }

  // The event stream: whole lines; per board start first, done last, progress in between.
  const std::vector<json> events = JsonLines(ReadWholeFile(folder_ + "/events.jsonl").value_or(""));
  std::map<std::string, std::vector<json>> byPort;
  for (const json& event : events) {
    EXPECT_TRUE(event.contains("time") && event["time"].is_string()) << event.dump();
    byPort[event["port"].get<std::string>()].push_back(event);
  }
  ASSERT_EQ(byPort.size(), ports.size());
  const std::string digest = Sha256Of(imagePath);
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::vector<json>& own = byPort[ports[i]];
    ASSERT_GE(own.size(), 3u) << ports[i];
    EXPECT_EQ(own.front()["event"], "start");
    EXPECT_EQ(own.front()["chip"], "LYR8721");
    EXPECT_EQ(own.front()["imageDigest"], digest);
    EXPECT_EQ(own.back()["event"], "done");
    EXPECT_EQ(own.back()["result"], i == kFaulty ? "failed" : "ok") << own.back().dump();
    int progress = 0;
    int statuses = 0;
    for (const json& event : own) {
      progress += event["event"] == "progress" ? 1 : 0;
      statuses += event["event"] == "status" ? 1 : 0;
    }
    EXPECT_GT(progress, 0) << ports[i];
    EXPECT_GT(statuses, 0) << ports[i];
  }
  const json& done = byPort[ports[0]].back();
  EXPECT_EQ(done["status"], 4) << "the verify after the program step ends the run";
  EXPECT_TRUE(done["failureAddress"].is_null());
  EXPECT_GT(done["wire"]["hostToTarget"].get<int>(), 0x8000);
  // The last status line is the one the run ended with, with its code.
  for (auto event = byPort[ports[0]].rbegin(); event != byPort[ports[0]].rend(); ++event) {
    if ((*event)["event"] != "status") continue;
    EXPECT_EQ((*event)["code"], 4);
    EXPECT_EQ((*event)["text"], "Embedded Flash: Verify Success");
    break;
  }

  // The station log: one line per board, owner-only.
  const std::vector<std::filesystem::path> logs(std::filesystem::directory_iterator(folder_ + "/log"), {});
  ASSERT_EQ(logs.size(), 1u);
  struct stat info {};
  ASSERT_EQ(::stat(logs[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::vector<json> lines = JsonLines(ReadWholeFile(logs[0].string()).value_or(""));
  ASSERT_EQ(lines.size(), ports.size());
  std::map<std::string, std::string> results;
  for (const json& line : lines) {
    EXPECT_EQ(line["imageDigest"], digest);
    EXPECT_EQ(line["chip"], "LYR8721");
    results[line["port"].get<std::string>()] = line["result"].get<std::string>();
  }
  for (size_t i = 0; i < ports.size(); ++i) EXPECT_EQ(results[ports[i]], i == kFaulty ? "failed" : "ok") << ports[i];
}

TEST_F(SeveralBoards, ReadGoesToAFileForEachBoardAndTheSummaryNamesEveryBoard) {
  // Two boards keep their parallel flash in state files: programmed by one run, read back by the next.
  std::string image;
  const std::string imagePath = Image(0x800, 32, image);
  const std::string a = "sim:board=LYR8321 Module,state=" + folder_ + "/a.state";
  const std::string b = "sim:board=LYR8321 Module,state=" + folder_ + "/b.state";
  // The third board answers no command after the first: it cannot be linked, the others do not
  // wait on it.
  const std::string dead = "sim:board=LYR8321 Module,stop-after=1";
  const std::string target = " --board 'LYR8321 Module' --dest nor ";
  ASSERT_EQ(Run("program --yes --port '" + a + "' --port '" + b + "'" + target + imagePath).exitCode, 0);

  CliResult r = Run("read --port '" + a + "' --port '" + b + "' --port '" + dead + "'" + target + "--size 800 -o " +
                    folder_ + "/back.bin");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0].rfind("PORT", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("RESULT"), std::string::npos);
  for (const auto& [row, port, result] : {std::tuple{1, a, "ok"}, {2, b, "ok"}, {3, dead, "refused"}}) {
    EXPECT_EQ(lines[row].rfind(port + "  ", 0), 0u) << lines[row];
    EXPECT_NE(lines[row].find(std::string("  ") + result + " "), std::string::npos) << lines[row];
    EXPECT_NE(lines[row].find(" s"), std::string::npos) << lines[row];
  }
  EXPECT_EQ(lines[4], "2 of 3 boards succeeded");
  // Each board's words in a file with its port in the name.
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("back-", 0) != 0) continue;
    ++found;
    EXPECT_EQ(ReadWholeFile(entry.path().string()).value_or(""), image) << name;
    EXPECT_NE(r.out.find(entry.path().string()), std::string::npos) << "the status names the file: " << name;
  }
  EXPECT_EQ(found, 2);
}

TEST_F(SeveralBoards, RefusesPortListsThatCannotWork) {
  std::string image;
  const std::string imagePath = Image(0x100, 33, image);
  const std::string target = " --config-string LYR8721 " + imagePath;
  const std::string dump = Dump("first");
  for (const std::string& ports : std::vector<std::string>{
           " --port sim:chip=LYR8721 --port sim:chip=LYR8721",                            // the same port twice
           " --ports " + folder_ + "/no-such-tty*",                                       // a pattern naming nothing
           " --ports table",                                                              // the port table, empty here
           " --port " + SimPort("first") + " --port sim:chip=NOSUCH",                     // one port cannot be opened
           " --port " + SimPort("first") + " --port sim:chip=LYR8721 --events - --json",  // two documents on stdout
       }) {
    CliResult r = Run("program" + ports + target);
    EXPECT_EQ(r.exitCode, 2) << ports << "\n" << r.err;
    EXPECT_EQ(r.out.find("\"boards\""), std::string::npos) << ports << "\n" << r.out;
    EXPECT_NE(ReadWholeFile(dump).value_or(""), image) << ports << ": a board was programmed";
  }
}

TEST_F(SeveralBoards, CtrlCCancelsEveryBoard) {
  std::string image;
  const std::string imagePath = Image(0x4000, 34, image);
  // The shell prints its process id, then becomes tessaro-cli.
  std::string command = "echo $$; TESSARO_SIM_STRICT=1 exec " TESSARO_BIN_DIR "/tessaro-cli program --json";
  for (int i = 0; i < 3; ++i)
    command += " --port sim:chip=LYR8721,baud-pace,dump-memory=flash:" + Dump(std::to_string(i));
  command += " --config-string LYR8721 " + imagePath + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[32] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atoi(line));
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 4) << out;
  const json document = json::parse(out, nullptr, false);
  ASSERT_TRUE(document.is_object()) << out;
  ASSERT_EQ(document["boards"].size(), 3u);
  for (const json& board : document["boards"]) {
    EXPECT_EQ(board["ok"], false);
    EXPECT_EQ(board["status"], 14) << board.dump();
  }
  for (int i = 0; i < 3; ++i) EXPECT_NE(ReadWholeFile(Dump(std::to_string(i))).value_or(""), image);
}

}  // namespace
}  // namespace tessaro::testing
