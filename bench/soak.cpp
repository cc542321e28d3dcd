// Fault soak: runs `tessaro-cli program` (program + verify) against simulated boards with one
// injected fault per run, then compares the device's memory with what it must hold.
//
// For each destination the soak writes a board state whose memory holds random "other data",
// runs one program without a fault (the reference: what the device holds after a good run, and
// the wire counts that place the faults), then N runs from the same state, each with one fault
// drawn from the run's seed: noise, corrupted / dropped bytes either way, a duplicated host
// byte, a late answer, a target that stops answering, a reset, a link loss (brief or lasting),
// an unplug. After each run the dumped memory is compared:
//
//   recovered       exit 0 and the memory equals the reference
//   failed cleanly  a failure exit, and every word a good run leaves alone is as before (the
//                   words a good run changes may hold anything the failed run reached)
//   silent          exit 0 but the memory differs from the reference (a corruption nobody saw)
//   damaged         a failure exit that changed words a good run leaves alone
//   hang            no end within the per-run time-out (--timeout-s, or four times the good
//                   run's time when that is longer; the process group is killed)
//   crash           ended by a signal, or an exit code the CLI does not document
//
// Every bad run is printed with its command line and kept under the work folder (its starting
// state included) so that it replays; a run of a known open fault (--allow) keeps its folder
// only with --keep, and a soak without an unexpected bad run leaves nothing behind. The exit code is 1 when a bad run
// happened for a destination and fault kind not named by --allow DEST:KIND (known open faults), else 0.
//
// --per-dest N makes N runs per destination instead, the fault kinds taken in turn (a small
// soak that still meets every kind across the destinations).
//
//   soak [--runs N | --per-dest N] [--seed S] [--dest a,b] [--kinds a,b] [--timeout-s T] [--cli PATH]
//        [--work DIR] [--allow DEST:KIND ...] [--keep]
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Destination {
  const char* name;
  const char* sim;                  // the sim: options of the board
  std::vector<const char*> target;  // the CLI's target options
  const char* region;               // the --dump-memory region
  uint32_t regionWords;             // words of the state's background (the region's start)
  uint32_t imageWords;
};

// The destinations of the demo script, each with the memory its dump covers.
const std::vector<Destination>& Destinations() {
  static const std::vector<Destination> table = {
      {"emb8721",
       "--chip=LYR8721,--interface=usb",
       {"--config-string", "LYR8721 FLASH", "--dest", "embedded"},
       "flash",
       0,
       1500},
      {"emb8547",
       "--chip=LYR8547,--interface=usb",
       {"--config-string", "LYR8547 FLASH", "--dest", "embedded"},
       "flash",
       0,
       1500},
      {"dataflash",
       "--chip=LYR9468,--spi-flash=AT45DB161E@P7.15,--dataflash-pages=pow2",
       {"--config-string", "LYR9468", "--df", "AT45DB161E", "--df-enable", "P7.15=0", "--dest", "serial"},
       "spi",
       0,
       1500},
      {"qspi",
       "--board=LYR9468 Dual QSPI Board",
       {"--board", "LYR9468 Dual QSPI Board", "--dest", "qspi"},
       "qspi",
       0,
       1500},
      {"nor", "--board=LYR8321 Module", {"--board", "LYR8321 Module", "--dest", "nor"}, "nor", 0, 1500},
      {"nand", "--chip=LYR9371,--nand", {"--config-string", "LYR9371", "--nand", "--dest", "nand"}, "nand", 0, 1500},
  };
  return table;
}

const std::vector<std::string> kKinds = {"noise",     "corrupt-byte", "drop-byte",   "corrupt-host",
                                         "drop-host", "dup-host",     "late",        "stop-after",
                                         "reset",     "link-loss",    "link-glitch", "unplug"};

enum class Outcome { Recovered, FailedCleanly, Silent, Damaged, Hang, Crash };
const char* const kOutcomeNames[] = {"recovered", "failed cleanly", "silent", "damaged", "hang", "crash"};
constexpr int kOutcomes = 6;
bool IsBad(Outcome outcome) { return outcome != Outcome::Recovered && outcome != Outcome::FailedCleanly; }

struct RunResult {
  int exitCode = -1;  // -1: killed by the time-out, -2: ended by a signal
  std::string stdoutText;
  double seconds = 0;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

std::string Quote(const std::string& text) {
  if (text.find_first_of(" '\"$\\,;&|()<>*?") == std::string::npos && !text.empty()) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string CommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + Quote(arg);
  return line;
}

// Runs argv in a process group of its own, stdout to a file, stderr to another; kills the
// group when it outlives `timeout`.
RunResult Run(const std::vector<std::string>& argv, const std::string& folder, std::chrono::seconds timeout) {
  RunResult result;
  const std::string outPath = folder + "/stdout", errPath = folder + "/stderr";
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (child < 0) return result;
  setpgid(child, child);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() - started > timeout) {
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      result.exitCode = -1;
      result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  result.stdoutText = ReadFile(outPath);
  return result;
}

uint64_t JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos) return 0;
  size_t i = json.find(':', at);
  if (i == std::string::npos) return 0;
  ++i;
  while (i < json.size() && json[i] == ' ') ++i;
  uint64_t value = 0;
  while (i < json.size() && json[i] >= '0' && json[i] <= '9')
    value = value * 10 + static_cast<uint64_t>(json[i++] - '0');
  return value;
}

std::vector<uint16_t> Words(const std::string& bytes) {
  std::vector<uint16_t> words(bytes.size() / 2);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  return words;
}

std::string Bytes(const std::vector<uint16_t>& words) {
  std::string bytes;
  bytes.reserve(words.size() * 2);
  for (uint16_t w : words) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  return bytes;
}

// The wire counts of a good run, where the faults are placed.
struct Wire {
  uint64_t hostToTarget = 0, targetToHost = 0, roundTrips = 0, elapsedMs = 0;
};

struct Options {
  int runs = 10;
  int perDestination = 0;  // > 0: this many runs per destination, the kinds in turn
  uint64_t seed = 1;
  std::vector<std::string> destinations;
  std::vector<std::string> kinds = kKinds;
  int timeoutSeconds = 60;
  std::string cli;
  std::string work;
  std::vector<std::string> allowed;  // DEST:KIND whose bad runs do not fail the soak
  bool keep = false;
};

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

// The fault of one run: sim: options (comma-joined, each starting with "--").
std::string DrawFault(const std::string& kind, const Wire& wire, std::mt19937_64& random) {
  auto pick = [&random](uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(1, std::max<uint64_t>(1, high))(random);
  };
  const uint64_t commands = std::max<uint64_t>(wire.roundTrips, 2);
  if (kind == "noise") return "--noise-ppm=" + std::to_string(pick(2000)) + ",--seed=" + std::to_string(pick(1000000));
  if (kind == "corrupt-byte") return "--corrupt-byte=" + std::to_string(pick(wire.targetToHost));
  if (kind == "drop-byte") return "--drop-byte=" + std::to_string(pick(wire.targetToHost));
  if (kind == "corrupt-host") {
    const unsigned mask = 1u << pick(8) >> 1;
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", mask);
    return "--corrupt-host-byte=" + std::to_string(pick(wire.hostToTarget)) + ":" + text;
  }
  if (kind == "drop-host") return "--drop-host-byte=" + std::to_string(pick(wire.hostToTarget));
  if (kind == "dup-host") return "--duplicate-host-byte=" + std::to_string(pick(wire.hostToTarget));
  if (kind == "late")
    return "--late-command=" + std::to_string(pick(commands)) + ",--late-ms=" + std::to_string(pick(3000));
  if (kind == "stop-after") return "--stop-after=" + std::to_string(pick(commands));
  if (kind == "reset") return "--reset-at-command=" + std::to_string(pick(commands));
  if (kind == "link-loss") return "--link-loss-at-command=" + std::to_string(pick(commands));
  if (kind == "link-glitch")
    return "--link-loss-at-command=" + std::to_string(pick(commands)) + ",--link-loss-ms=" + std::to_string(pick(500));
  if (kind == "unplug") return "--unplug-at-command=" + std::to_string(pick(commands));
  return "";
}

std::vector<std::string> ProgramArgv(const Options& options, const Destination& dest, const std::string& simExtra,
                                     const std::string& folder, const std::string& imagePath) {
  std::string port = std::string("sim:") + dest.sim + ",--state=" + folder +
                     "/board.state,--dump-memory=" + dest.region + ":" + folder + "/dump.bin";
  if (!simExtra.empty()) port += "," + simExtra;
  std::vector<std::string> argv = {options.cli, "program", "--yes", "--json", "--port", port};
  for (const char* arg : dest.target) argv.emplace_back(arg);
  argv.insert(argv.end(), {"--start", "0", imagePath});
  return argv;
}

// A state file holding only the destination's region.
std::string StateFile(const std::string& region, const std::vector<uint16_t>& words) {
  return "tessaro-sim state 1\n" + region + " " + std::to_string(words.size()) + "\n" + Bytes(words) + "\n";
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: soak [--runs N | --per-dest N] [--seed S] [--dest a,b] [--kinds a,b] [--timeout-s T] [--cli PATH] "
      "[--work DIR] [--allow DEST:KIND]... [--keep]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  // Simulator violations are expected under faults: they must not turn exits into 5.
  unsetenv("TESSARO_SIM_STRICT");
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::optional<std::string> v;
    if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      std::fprintf(stderr, "destinations:");
      for (const Destination& d : Destinations()) std::fprintf(stderr, " %s", d.name);
      std::fprintf(stderr, "\nfault kinds:");
      for (const std::string& k : kKinds) std::fprintf(stderr, " %s", k.c_str());
      std::fprintf(stderr, "\n");
      return 0;
    } else if (!(v = value())) {
      return Usage();
    } else if (arg == "--runs") {
      options.runs = std::atoi(v->c_str());
    } else if (arg == "--per-dest") {
      options.perDestination = std::atoi(v->c_str());
    } else if (arg == "--seed") {
      options.seed = std::strtoull(v->c_str(), nullptr, 10);
    } else if (arg == "--dest") {
      options.destinations = SplitCommas(*v);
    } else if (arg == "--kinds") {
      options.kinds = SplitCommas(*v);
    } else if (arg == "--timeout-s") {
      options.timeoutSeconds = std::atoi(v->c_str());
    } else if (arg == "--cli") {
      options.cli = *v;
    } else if (arg == "--work") {
      options.work = *v;
    } else if (arg == "--allow") {
      options.allowed.push_back(*v);
    } else {
      return Usage();
    }
  }
  if (options.runs < 1 || options.perDestination < 0 || options.timeoutSeconds < 1 || options.kinds.empty())
    return Usage();
  for (const std::string& kind : options.kinds) {
    if (std::find(kKinds.begin(), kKinds.end(), kind) == kKinds.end()) {
      std::fprintf(stderr, "soak: unknown fault kind '%s'\n", kind.c_str());
      return 2;
    }
  }
  if (options.cli.empty()) {
    const std::string self = argv[0];
    const size_t slash = self.rfind('/');
    options.cli = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/tessaro-cli";
  }
  // The command lines of bad runs must replay from any folder.
  if (char* absolute = realpath(options.cli.c_str(), nullptr)) {
    options.cli = absolute;
    std::free(absolute);
  }
  const bool madeWork = options.work.empty();
  if (madeWork) {
    char pattern[] = "/tmp/tessaro-soak.XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    options.work = pattern;
  }
  mkdir(options.work.c_str(), 0755);
  std::vector<const Destination*> chosen;
  for (const Destination& d : Destinations()) {
    if (options.destinations.empty() ||
        std::find(options.destinations.begin(), options.destinations.end(), d.name) != options.destinations.end())
      chosen.push_back(&d);
  }
  if (chosen.empty()) {
    std::fprintf(stderr, "soak: no such destination\n");
    return 2;
  }

  std::printf("soak: %d run(s) per destination%s, seed %llu, time-out %d s, work folder %s\n",
              options.perDestination > 0 ? options.perDestination : options.runs,
              options.perDestination > 0 ? " (fault kinds in turn)" : " and fault kind",
              static_cast<unsigned long long>(options.seed), options.timeoutSeconds, options.work.c_str());
  // The runs without a fault get more time: a loaded machine must not fail the soak there.
  const auto setupTimeout = std::chrono::seconds(std::max(120, 4 * options.timeoutSeconds));
  std::map<std::pair<std::string, std::string>, std::array<int, kOutcomes>> table;
  std::vector<std::string> badRuns;
  bool failed = false;
  for (const Destination* dest : chosen) {
    std::mt19937_64 random(options.seed * 1000003u + std::hash<std::string>{}(dest->name));
    const std::string base = options.work + "/" + dest->name;
    mkdir(base.c_str(), 0755);
    // The image and the other data around it.
    std::vector<uint16_t> image(dest->imageWords);
    for (uint16_t& w : image) w = static_cast<uint16_t>(random());
    const std::string imagePath = base + "/image.bin";
    WriteFile(imagePath, Bytes(image));
    // The region's size: identify on a fresh board dumps it.
    const std::string sizing = base + "/sizing";
    mkdir(sizing.c_str(), 0755);
    RunResult first =
        Run({options.cli, "identify", "--port",
             std::string("sim:") + dest->sim + ",--dump-memory=" + dest->region + ":" + sizing + "/dump.bin"},
            sizing, setupTimeout);
    const std::vector<uint16_t> fresh = Words(ReadFile(sizing + "/dump.bin"));
    std::filesystem::remove_all(sizing);
    if (first.exitCode != 0 || fresh.empty()) {
      std::printf("%s: the board does not start (exit %d)\n", dest->name, first.exitCode);
      failed = true;
      continue;
    }
    std::vector<uint16_t> background(fresh.size());
    for (uint16_t& w : background) w = static_cast<uint16_t>(random());
    const std::string initialState = StateFile(dest->region, background);
    // The reference: what a good run leaves from that state.
    const std::string refFolder = base + "/reference";
    mkdir(refFolder.c_str(), 0755);
    WriteFile(refFolder + "/board.state", initialState);
    RunResult ref = Run(ProgramArgv(options, *dest, "", refFolder, imagePath), refFolder, setupTimeout);
    const std::vector<uint16_t> reference = Words(ReadFile(refFolder + "/dump.bin"));
    if (ref.exitCode != 0 || reference.size() != background.size() ||
        !std::equal(image.begin(), image.end(), reference.begin())) {
      std::printf("%s: the reference run fails (exit %d) or does not hold the image; see %s\n", dest->name,
                  ref.exitCode, refFolder.c_str());
      failed = true;
      continue;
    }
    // A run may take four times as long as the good one did (the machine may be busy) before
    // it counts as a hang.
    const auto runTimeout =
        std::chrono::seconds(std::max(options.timeoutSeconds, static_cast<int>(4 * ref.seconds) + 1));
    Wire wire{JsonNumber(ref.stdoutText, "hostToTarget"), JsonNumber(ref.stdoutText, "targetToHost"),
              JsonNumber(ref.stdoutText, "roundTrips"), JsonNumber(ref.stdoutText, "elapsedMs")};
    // The runs: N of each kind, or with --per-dest N runs taking the kinds in turn.
    std::vector<std::pair<std::string, int>> plan;
    if (options.perDestination > 0) {
      // Each destination starts further along the kinds, so that a few runs per destination
      // still meet every kind across the destinations.
      const size_t index = static_cast<size_t>(dest - &Destinations().front());
      const size_t offset = index * options.kinds.size() / Destinations().size();
      for (int run = 0; run < options.perDestination; ++run)
        plan.emplace_back(options.kinds[(offset + static_cast<size_t>(run)) % options.kinds.size()], run);
    } else {
      for (const std::string& kind : options.kinds)
        for (int run = 0; run < options.runs; ++run) plan.emplace_back(kind, run);
    }
    for (const auto& [kind, run] : plan) {
      auto& counts = table[{dest->name, kind}];
      {
        const std::string fault = DrawFault(kind, wire, random);
        const std::string folder = base + "/" + kind + "-" + std::to_string(run);
        mkdir(folder.c_str(), 0755);
        WriteFile(folder + "/board.state", initialState);
        WriteFile(folder + "/initial.state", initialState);
        const std::vector<std::string> argvRun = ProgramArgv(options, *dest, fault, folder, imagePath);
        const RunResult result = Run(argvRun, folder, runTimeout);
        const std::vector<uint16_t> dump = Words(ReadFile(folder + "/dump.bin"));
        Outcome outcome;
        if (result.exitCode == -1) {
          outcome = Outcome::Hang;
        } else if (result.exitCode < 0 || result.exitCode > 5 || dump.size() != reference.size()) {
          outcome = Outcome::Crash;
        } else if (result.exitCode == 0) {
          outcome = dump == reference ? Outcome::Recovered : Outcome::Silent;
        } else {
          outcome = Outcome::FailedCleanly;
          // What a good run changes a failed one may have reached in part; the rest stays.
          for (size_t i = 0; i < dump.size(); ++i)
            if (dump[i] != background[i] && reference[i] == background[i]) outcome = Outcome::Damaged;
        }
        ++counts[static_cast<int>(outcome)];
        if (IsBad(outcome)) {
          const std::string name = std::string(dest->name) + ":" + kind;
          const bool allowed = std::find(options.allowed.begin(), options.allowed.end(), name) != options.allowed.end();
          failed = failed || !allowed;
          badRuns.push_back(std::string(kOutcomeNames[static_cast<int>(outcome)]) + (allowed ? " (allowed) " : " ") +
                            name + " exit " + std::to_string(result.exitCode) + " in " +
                            std::to_string(static_cast<int>(result.seconds)) + " s (starting state " + folder +
                            "/initial.state):\n  cp " + folder + "/initial.state " + folder + "/board.state && " +
                            CommandLine(argvRun));
        }
        // Known open faults (--allow) keep only their command line unless --keep.
        const bool keepFolder =
            options.keep ||
            (IsBad(outcome) && std::find(options.allowed.begin(), options.allowed.end(),
                                         std::string(dest->name) + ":" + kind) == options.allowed.end());
        if (!keepFolder) {
          for (const char* file : {"board.state", "initial.state", "dump.bin", "stdout", "stderr", "board.state.lock"})
            std::remove((folder + "/" + file).c_str());
          rmdir(folder.c_str());
        }
        std::fflush(stdout);
      }
    }
  }

  std::printf("\n%-10s %-12s %5s %9s %7s %6s %7s %4s %5s\n", "dest", "fault", "runs", "recovered", "failed", "silent",
              "damaged", "hang", "crash");
  int totals[kOutcomes] = {};
  for (const auto& [key, counts] : table) {
    int runs = 0;
    for (int i = 0; i < kOutcomes; ++i) {
      runs += counts[i];
      totals[i] += counts[i];
    }
    std::printf("%-10s %-12s %5d %9d %7d %6d %7d %4d %5d\n", key.first.c_str(), key.second.c_str(), runs, counts[0],
                counts[1], counts[2], counts[3], counts[4], counts[5]);
  }
  int all = 0;
  for (int count : totals) all += count;
  std::printf("%-10s %-12s %5d %9d %7d %6d %7d %4d %5d\n", "all", "", all, totals[0], totals[1], totals[2], totals[3],
              totals[4], totals[5]);
  if (!badRuns.empty()) {
    std::printf("\nbad runs (replay with the command line, from the starting state):\n");
    for (const std::string& line : badRuns) std::printf("%s\n", line.c_str());
  }
  // The memories are large (a QSPI pair's state is 80 MB): only what replays a bad run stays.
  if (!options.keep) {
    for (const Destination* dest : chosen) std::filesystem::remove_all(options.work + "/" + dest->name + "/reference");
    if (!failed) {
      for (const Destination* dest : chosen) std::filesystem::remove_all(options.work + "/" + dest->name);
      if (madeWork) rmdir(options.work.c_str());
    }
  }
  return failed ? 1 : 0;
}
