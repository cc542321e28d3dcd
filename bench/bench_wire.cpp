// Wire cost of every programming destination: program and then verify an image (1 MiB, or what
// the destination holds) through tessaro-cli against a simulated board that keeps its memories
// between the two runs, and print for each operation the simulator's wire counters (bytes each
// way, round trips: each time the host waited for the target after sending), the wire floor
// (the image's bytes x 10 bits / 115200 baud) and the time the counters model at 115200 baud
// with a 1 ms and a 16 ms turnaround (bytes x 10 / baud + round trips x turnaround), with the
// ratio of each to the floor. Each run includes linking with the board, as a user's run does.
//
//   bench_wire [--quick | --kib N] [--dest NAME]... [--json] [--cli PATH] [--work DIR]
//   bench_wire --skip-unchanged [--quick | --kib N] [--dest NAME]... [--cli PATH] [--work DIR]
//
// --skip-unchanged measures re-programming a board that holds nearly the image: program the
// image, change a few bytes in the middle (inside one erase unit), then program the changed
// image with --skip-unchanged, and in a copy of the same board without it; it prints both runs'
// counters and the ratio of the two modelled times (default destinations: qspi, nor, serial).
//
// --quick programs 8 KiB per destination (a smoke run of seconds); the exit code is 1 when a
// run fails or its counters are not plausible, so CTest runs it that way.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kBaud = 115200.0;

struct Destination {
  const char* name;
  const char* sim;     // sim: options of the board
  const char* target;  // tessaro-cli's target options
  uint32_t maxKib;     // the largest image measured
};

// One row per destination the programmer offers; the boards are shipped definitions or the
// devices the tests use. Below 1 MiB: the 8721's embedded flash; NAND block 0, all that
// destination programs; and the 8347 module's split, whose embedded flash (32 KiB) and
// AT25SF041 (512 KiB) hold 544 KiB.
const std::vector<Destination>& Destinations() {
  static const std::vector<Destination> table = {
      {"embedded", "chip=LYR8721,interface=usb", "--config-string 'LYR8721 FLASH' --dest embedded", 32},
      {"serial", "chip=LYR9468,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2",
       "--config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial", 1024},
      {"emb+serial", "board=LYR8347 Sound Module,interface=usb", "--board 'LYR8347 Sound Module' --dest emb+serial",
       544},
      {"qspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest qspi", 1024},
      {"dual qspi", "board=LYR9468 Dual QSPI Board", "--board 'LYR9468 Dual QSPI Board' --dest qspi", 1024},
      {"mpqspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest mpqspi", 1024},
      {"nor", "board=LYR8321 Module", "--board 'LYR8321 Module' --dest nor", 1024},
      {"emb+nor", "board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS),interface=usb",
       "--board 'LYR8247 FLASH+EXTSDR(2x8Mib,4WS)' --dest emb+nor", 1024},
      {"nand", "chip=LYR9371,nand", "--config-string LYR9371 --nand --dest nand", 128},
  };
  return table;
}

struct Counters {
  unsigned long long hostToTarget = 0, targetToHost = 0, roundTrips = 0;
};

struct Row {
  std::string destination, operation;
  uint32_t imageBytes = 0;
  Counters wire;
  double Floor() const { return imageBytes * 10.0 / kBaud; }
  double Modelled(double turnaroundMs) const {
    return static_cast<double>(wire.hostToTarget + wire.targetToHost) * 10.0 / kBaud +
           static_cast<double>(wire.roundTrips) * turnaroundMs / 1000.0;
  }
};

std::string Shell(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The number after "key": in the CLI's JSON, or nothing.
bool JsonNumber(const std::string& json, const std::string& key, unsigned long long& value) {
  const size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return false;
  char* end = nullptr;
  const char* begin = json.c_str() + at + key.size() + 4;
  value = std::strtoull(begin, &end, 10);
  return end != begin;
}

// Runs one tessaro-cli operation; false (with what it printed) when it did not succeed.
bool RunCli(const std::string& command, Counters& wire, std::string& output) {
  output.clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != 0 || output.find("\"ok\": true") == std::string::npos) return false;
  return JsonNumber(output, "hostToTarget", wire.hostToTarget) &&
         JsonNumber(output, "targetToHost", wire.targetToHost) && JsonNumber(output, "roundTrips", wire.roundTrips);
}

// What any correct run shows: programming sends at least the image, each operation waits for
// the target at least once, and nothing runs below the wire floor's bytes.
bool Plausible(const Row& row) {
  if (row.wire.roundTrips == 0 || row.wire.targetToHost == 0) return false;
  return row.operation != "program" || row.wire.hostToTarget >= row.imageBytes;
}

std::string OwnFolder() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("times in seconds at 115200 baud: bytes x 10 / baud + round trips x turnaround\n");
  std::printf("%-11s %-8s %6s %10s %10s %8s %9s %8s %8s %6s %8s %6s\n", "dest", "step", "KiB", "host->tgt", "tgt->host",
              "trips", "trips/KiB", "floor", "t@1ms", "x", "t@16ms", "x");
  for (const Row& r : rows) {
    const double floor = r.Floor();
    std::printf("%-11s %-8s %6u %10llu %10llu %8llu %9.1f %8.2f %8.2f %6.2f %8.2f %6.2f\n", r.destination.c_str(),
                r.operation.c_str(), r.imageBytes / 1024, r.wire.hostToTarget, r.wire.targetToHost, r.wire.roundTrips,
                static_cast<double>(r.wire.roundTrips) * 1024.0 / r.imageBytes, floor, r.Modelled(1.0),
                r.Modelled(1.0) / floor, r.Modelled(16.0), r.Modelled(16.0) / floor);
  }
}

void PrintJson(const std::vector<Row>& rows) {
  std::printf("{\n  \"baud\": %.0f,\n  \"runs\": [", kBaud);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    std::printf(
        "%s\n    {\"destination\": \"%s\", \"operation\": \"%s\", \"imageBytes\": %u, \"hostToTarget\": %llu, "
        "\"targetToHost\": %llu, \"roundTrips\": %llu, \"floorSeconds\": %.4f, \"seconds1ms\": %.4f, "
        "\"seconds16ms\": %.4f, \"ratio1ms\": %.4f, \"ratio16ms\": %.4f}",
        i == 0 ? "" : ",", r.destination.c_str(), r.operation.c_str(), r.imageBytes, r.wire.hostToTarget,
        r.wire.targetToHost, r.wire.roundTrips, r.Floor(), r.Modelled(1.0), r.Modelled(16.0),
        r.Modelled(1.0) / r.Floor(), r.Modelled(16.0) / r.Floor());
  }
  std::printf("\n  ]\n}\n");
}

// Images for the skip-unchanged runs: random bytes, and the same with a few bytes changed in
// the middle, well inside one erase unit of any device.
void WriteChangedImages(uint32_t bytes, const std::string& first, const std::string& second) {
  std::string image(bytes, '\0');
  std::mt19937 generator(bytes);
  for (char& c : image) c = static_cast<char>(generator() & 0xFF);
  std::ofstream(first, std::ios::binary) << image;
  const uint32_t at = bytes / 2 + 64;
  for (uint32_t i = at; i < std::min(bytes, at + 64); ++i) image[i] = static_cast<char>(~image[i]);
  std::ofstream(second, std::ios::binary) << image;
}

// Programs, changes, re-programs with and without --skip-unchanged; see the file's comment.
int RunSkipUnchanged(const std::string& cli, const std::string& work, uint32_t kib, std::vector<std::string> only,
                     const std::string& window) {
  if (only.empty()) only = {"qspi", "nor", "serial"};
  std::printf("re-program after a change of 64 bytes; times in seconds at 115200 baud (see bench_wire)\n");
  std::printf("%-11s %6s %-5s %10s %10s %8s %7s %8s %8s\n", "dest", "KiB", "run", "host->tgt", "tgt->host", "trips",
              "skipped", "t@1ms", "t@16ms");
  bool ok = true;
  for (const Destination& d : Destinations()) {
    if (std::find(only.begin(), only.end(), d.name) == only.end()) continue;
    const uint32_t bytes = std::min(kib, d.maxKib) * 1024;
    const std::string first = work + "/first.bin", second = work + "/second.bin";
    const std::string state = work + "/board.state", copy = work + "/copy.state";
    std::filesystem::remove(state);
    WriteChangedImages(bytes, first, second);
    auto command = [&](const std::string& board, const std::string& image, bool skip) {
      return Shell(cli) + " program --no-verify" + (skip ? " --skip-unchanged" : "") + " --json --yes --port " +
             Shell(std::string("sim:") + d.sim + ",state=" + board) + " " + d.target +
             (window.empty() ? "" : " --window " + window) + " --start 0 " + Shell(image);
    };
    Counters wire;
    std::string output;
    if (!RunCli(command(state, first, false), wire, output)) {
      std::fprintf(stderr, "bench_wire: %s first program failed:\n%s\n", d.name, output.c_str());
      ok = false;
      continue;
    }
    std::filesystem::copy_file(state, copy, std::filesystem::copy_options::overwrite_existing);
    Row rows[2] = {{d.name, "full", bytes, {}}, {d.name, "skip", bytes, {}}};
    unsigned long long compared = 0, skipped = 0;
    if (!RunCli(command(copy, second, false), rows[0].wire, output) ||
        !RunCli(command(state, second, true), rows[1].wire, output) || !JsonNumber(output, "unitsCompared", compared) ||
        !JsonNumber(output, "unitsSkipped", skipped)) {
      std::fprintf(stderr, "bench_wire: %s re-program failed:\n%s\n", d.name, output.c_str());
      ok = false;
      continue;
    }
    for (const Row& r : rows) {
      const std::string units = r.operation == "skip" ? std::to_string(skipped) + "/" + std::to_string(compared) : "";
      std::printf("%-11s %6u %-5s %10llu %10llu %8llu %7s %8.2f %8.2f\n", r.destination.c_str(), bytes / 1024,
                  r.operation.c_str(), r.wire.hostToTarget, r.wire.targetToHost, r.wire.roundTrips, units.c_str(),
                  r.Modelled(1.0), r.Modelled(16.0));
    }
    std::printf("%-11s %6s %-5s %10.1f%% %9.1f%% %7.1f%% %7s %7.1f%% %7.1f%%\n", d.name, "", "skip/full",
                100.0 * rows[1].wire.hostToTarget / std::max(1ULL, rows[0].wire.hostToTarget),
                100.0 * rows[1].wire.targetToHost / std::max(1ULL, rows[0].wire.targetToHost),
                100.0 * rows[1].wire.roundTrips / std::max(1ULL, rows[0].wire.roundTrips), "",
                100.0 * rows[1].Modelled(1.0) / rows[0].Modelled(1.0),
                100.0 * rows[1].Modelled(16.0) / rows[0].Modelled(16.0));
    // A run that skipped nothing, or everything, did not compare what it should have.
    if (skipped == 0 || skipped >= compared) ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t kib = 1024;
  bool json = false;
  bool skipUnchanged = false;
  std::vector<std::string> only;
  std::string cli = OwnFolder() + "/tessaro-cli";
  std::string work;
  std::string window;  // passed on to tessaro-cli: bytes in flight
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--quick") {
      kib = 8;
    } else if (option == "--json") {
      json = true;
    } else if (option == "--skip-unchanged") {
      skipUnchanged = true;
    } else if (option == "--kib" && hasValue) {
      kib = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (option == "--dest" && hasValue) {
      only.push_back(argv[++i]);
    } else if (option == "--cli" && hasValue) {
      cli = argv[++i];
    } else if (option == "--work" && hasValue) {
      work = argv[++i];
    } else if (option == "--window" && hasValue) {
      window = std::to_string(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr,
                   "usage: bench_wire [--quick | --kib N] [--dest NAME]... [--json | --skip-unchanged] [--cli PATH] "
                   "[--work DIR] [--window BYTES]\n");
      return 2;
    }
  }
  if (kib == 0 || kib > 4096) {
    std::fprintf(stderr, "bench_wire: --kib takes 1 to 4096\n");
    return 2;
  }
  for (const std::string& name : only) {
    if (std::none_of(Destinations().begin(), Destinations().end(),
                     [&](const Destination& d) { return name == d.name; })) {
      std::fprintf(stderr, "bench_wire: no destination '%s'\n", name.c_str());
      return 2;
    }
  }
  const bool ownWork = work.empty();
  if (ownWork) work = (std::filesystem::temp_directory_path() / ("bench-wire-" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(work);
  if (skipUnchanged) {
    const int result = RunSkipUnchanged(cli, work, kib, only, window);
    if (ownWork) std::filesystem::remove_all(work);
    return result;
  }

  std::vector<Row> rows;
  bool ok = true;
  for (const Destination& d : Destinations()) {
    if (!only.empty() && std::find(only.begin(), only.end(), d.name) == only.end()) continue;
    const uint32_t bytes = std::min(kib, d.maxKib) * 1024;
    std::string image(bytes, '\0');
    std::mt19937 generator(bytes);
    for (char& c : image) c = static_cast<char>(generator() & 0xFF);
    const std::string imagePath = work + "/image.bin";
    const std::string state = work + "/board.state";
    std::filesystem::remove(state);
    if (!(std::ofstream(imagePath, std::ios::binary) << image)) {
      std::fprintf(stderr, "bench_wire: cannot write %s\n", imagePath.c_str());
      return 1;
    }
    const std::string target = " --json --yes --port " + Shell(std::string("sim:") + d.sim + ",state=" + state) + " " +
                               d.target + (window.empty() ? "" : " --window " + window) + " --start 0 " +
                               Shell(imagePath);
    for (const char* operation : {"program", "verify"}) {
      Row row{d.name, operation, bytes, {}};
      std::string output;
      const std::string command =
          Shell(cli) + " " + operation + (std::string(operation) == "program" ? " --no-verify" : "") + target;
      if (!RunCli(command, row.wire, output) || !Plausible(row)) {
        std::fprintf(stderr, "bench_wire: %s %s failed:\n%s\n%s\n", d.name, operation, command.c_str(), output.c_str());
        ok = false;
        break;
      }
      rows.push_back(row);
    }
    if (rows.size() >= 2 && rows.back().destination == d.name && rows[rows.size() - 2].destination == d.name) {
      Row total{d.name, "total", bytes, {}};
      for (const Row* r : {&rows[rows.size() - 2], &rows.back()}) {
        total.wire.hostToTarget += r->wire.hostToTarget;
        total.wire.targetToHost += r->wire.targetToHost;
        total.wire.roundTrips += r->wire.roundTrips;
      }
      rows.push_back(total);
    }
  }
  if (ownWork) std::filesystem::remove_all(work);
  if (json)
    PrintJson(rows);
  else
    PrintTable(rows);
  return ok ? 0 : 1;
}
