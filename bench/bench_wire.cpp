// Wire cost of every programming destination: program and then verify an image (1 MiB, or what
// the destination holds) through tessaro-cli against a simulated board that keeps its memories
// between the two runs, and print for each operation the simulator's wire counters (bytes each
// way, round trips: each time the host waited for the target after sending), the wire floor
// (the image's bytes x 10 bits / 115200 baud) and the time the counters model at 115200 baud
// with a 1 ms and a 16 ms turnaround (bytes x 10 / baud + round trips x turnaround), with the
// ratio of each to the floor. Each run includes linking with the board, as a user's run does.
//
//   bench_wire [--quick | --kib N] [--dest NAME]... [--json] [--cli PATH] [--work DIR]
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
// destination programs; and 256 KiB on the 8x47 boards, where larger images still fail (with
// a failure status, never silently): the parallel NOR at device word 0x20000, the 8347
// module's serial flash in its quick verify (somewhere between 256 and 320 KiB).
const std::vector<Destination>& Destinations() {
  static const std::vector<Destination> table = {
      {"embedded", "chip=LYR8721,interface=usb", "--config-string 'LYR8721 FLASH' --dest embedded", 32},
      {"serial", "chip=LYR9468,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2",
       "--config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial", 1024},
      {"emb+serial", "board=LYR8347 Sound Module,interface=usb", "--board 'LYR8347 Sound Module' --dest emb+serial",
       256},
      {"qspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest qspi", 1024},
      {"dual qspi", "board=LYR9468 Dual QSPI Board", "--board 'LYR9468 Dual QSPI Board' --dest qspi", 1024},
      {"mpqspi", "board=LYR9468 QSPI Demo Board", "--board 'LYR9468 QSPI Demo Board' --dest mpqspi", 1024},
      {"nor", "board=LYR8321 Module", "--board 'LYR8321 Module' --dest nor", 1024},
      {"emb+nor", "board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS),interface=usb",
       "--board 'LYR8247 FLASH+EXTSDR(2x8Mib,4WS)' --dest emb+nor", 256},
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

}  // namespace

int main(int argc, char** argv) {
  uint32_t kib = 1024;
  bool json = false;
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
                   "usage: bench_wire [--quick | --kib N] [--dest NAME]... [--json] [--cli PATH] [--work DIR] "
                   "[--window BYTES]\n");
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
