// Wire cost of the external flash drivers: program + verify of an image (1 MiB by default) into
// a QSPI NOR, a DataFlash and a parallel NOR on the simulated board (devices attached in
// process), printing the link's wire counters and the time they model at 115200 baud with a
// 1 ms and a 16 ms turnaround per round trip, next to the wire floor (the image's bytes x 10
// bits / 115200). A modelled time far above the floor means round trips, not data, dominate.
// Options: --kib N (image size, default 1024); --trace FILE writes the QSPI board's command
// trace (JSON Lines).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "link/ComIf.h"
#include "link/SerialPort.h"
#include "platform/Prompt.h"
#include "session/FlashIf.h"
#include "session/ProgrammingJob.h"
#include "sim/SimBoard.h"
#include "sim/SimPortDevice.h"
#include "sim/devices/ParallelNorDevice.h"
#include "sim/devices/ParallelProgramRoutine.h"
#include "sim/devices/QspiController.h"
#include "sim/devices/SpiController.h"

namespace {

using namespace tessaro;

constexpr double kBaud = 115200.0;
constexpr uint32_t kHighWindow = 0x80000000u;  // 9xxx: the external memory's absolute window

class QuietPrompt : public PromptIf {
 public:
  PromptAnswer Ask(const std::string&, const std::string&, PromptButtons) override { return PromptAnswer::Ok; }
};

// The front end of a run: the simulated board on an in-process port and the status line.
class BenchHost : public FlashHost {
 public:
  explicit BenchHost(const char* chip, const std::string& traceFile = {}) {
    sim::SimOptions options;
    options.chip = chip;
    options.traceFile = traceFile;
    board = sim::SimBoard::Create(options);
    if (!board) return;
    link.SetPortOpener(sim::SimPortOpener(board));
    link.SetPrompt(&prompt);
    config = InitBoardConfig();
    config.chip = board->chip();
    (void)ApplyDefaults(config, MEM_INTRAM);
  }
  bool Connect() { return board && link.Connect(&callback, 1, false, config) == LINK_OK; }
  SerialPort& Link() override { return link; }
  BoardConfig& Configuration() override { return config; }
  ProgressBarIf* ProgressBar() override { return nullptr; }
  CLyrComIf* LinkCallback() override { return &callback; }
  uint32_t PortNumber() override { return 1; }
  bool DoubleBaud() override { return false; }
  uint32_t StartAddress() override { return start; }
  void SetStartAddress(uint32_t address) override { start = address; }
  void ShowStatusLine(const std::string& text, int) override { status = text; }
  void ShowPositionText(const std::string&) override {}
  PromptAnswer Ask(const std::string& text, const char*, PromptButtons buttons) override {
    std::fprintf(stderr, "  question: %s\n", text.c_str());
    return buttons == PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
  }
  bool CancelRequested() override { return false; }

  std::shared_ptr<sim::SimBoard> board;
  SerialPort link;
  QuietPrompt prompt;
  CLyrComIf callback;
  BoardConfig config;
  uint32_t start = 0;
  std::string status;
};

sim::WireCounters Difference(const sim::WireCounters& a, const sim::WireCounters& b) {
  return {b.hostToTarget - a.hostToTarget, b.targetToHost - a.targetToHost, b.roundTrips - a.roundTrips};
}

double ModelledSeconds(const sim::WireCounters& c, double turnaroundMs) {
  return static_cast<double>(c.hostToTarget + c.targetToHost) * 10.0 / kBaud +
         static_cast<double>(c.roundTrips) * turnaroundMs / 1000.0;
}

void Report(const char* device, const char* step, const sim::WireCounters& c, double floor) {
  std::printf("%-22s %-8s %10llu %10llu %9llu %9.1f %9.1f %9.1f\n", device, step,
              static_cast<unsigned long long>(c.hostToTarget), static_cast<unsigned long long>(c.targetToHost),
              static_cast<unsigned long long>(c.roundTrips), ModelledSeconds(c, 1.0), ModelledSeconds(c, 16.0), floor);
}

// Programs then verifies the job's image; false (with the reason) when either does not succeed.
bool Measure(const char* device, BenchHost& host, ProgrammingJob& job) {
  const double floor = static_cast<double>(job.image.size) * 2.0 * 10.0 / kBaud;
  std::string error;
  const sim::WireCounters start = host.board->Counters();
  {
    FlashIf session(host);
    if (!job.ProgramImage(session, error) || session.statusCode != StatusProgramVerified) {
      std::fprintf(stderr, "%s: program failed: %s%s\n", device, error.c_str(), host.status.c_str());
      return false;
    }
  }
  const sim::WireCounters programmed = host.board->Counters();
  {
    FlashIf session(host);
    if (!job.VerifyImage(session, error) || session.statusCode != StatusVerified) {
      std::fprintf(stderr, "%s: verify failed: %s%s\n", device, error.c_str(), host.status.c_str());
      return false;
    }
  }
  Report(device, "program", Difference(start, programmed), floor);
  Report(device, "verify", Difference(programmed, host.board->Counters()), floor);
  return true;
}

void Load(ProgrammingJob& job, uint32_t words) {
  std::mt19937 generator(words);
  ResizeImage(job.image, static_cast<int32_t>(words));
  for (auto& w : job.image.words) w = static_cast<uint16_t>(generator());
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t kib = 1024;
  std::string traceFile;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--kib") == 0)
      kib = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (std::strcmp(argv[i], "--trace") == 0)
      traceFile = argv[++i];
  }
  if (kib == 0 || kib > 4096) {
    std::fprintf(stderr, "--kib takes 1 to 4096\n");
    return 2;
  }
  const uint32_t words = kib * 512;
  DeviceCatalogue catalogue;
  std::string error;
  if (!LoadDriverFolder(catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("image %u KiB; times in seconds at 115200 baud (data + round trips x turnaround)\n", kib);
  std::printf("%-22s %-8s %10s %10s %9s %9s %9s %9s\n", "device", "step", "host->tgt", "tgt->host", "trips", "t@1ms",
              "t@16ms", "floor");
  bool ok = true;

  {  // QSPI NOR on controller 100, programmed through the absolute window
    BenchHost host("LYR9468", traceFile);
    const DeviceDescription* d = catalogue.FindQspiDevice("W25Q64JV");
    if (d == nullptr || !host.board) return 1;
    sim::QspiFlashOptions options;
    options.configured = true;
    [[maybe_unused]] const sim::QspiAttachment flash = sim::AttachQspi(*host.board, kHighWindow, 100, *d, options);
    ProgrammingJob job;
    job.destination = DestQspi;
    job.qspi.Select(d, false, false);
    host.start = kHighWindow;
    Load(job, words);
    ok = host.Connect() && Measure("QSPI W25Q64JV", host, job) && ok;
  }
  {  // DataFlash on P7.15
    BenchHost host("LYR9468");
    DataFlashDescription d;
    PinList pins, none;
    if (!host.board || !catalogue.FindSerialDevice("AT45DB161E", d) || !ParsePinList("P7.15:0", pins)) return 1;
    sim::SpiFlashOptions options;
    options.powerOfTwoPages = true;
    [[maybe_unused]] const sim::SerialFlashAttachment flash =
        sim::AttachSerialFlash(*host.board, d, pins.pins[0], options);
    ProgrammingJob job;
    job.destination = DestSerial;
    if (!job.dataFlash.SetDevice(d, pins, none, host.board->chip(), error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    Load(job, words);
    ok = host.Connect() && Measure("DataFlash AT45DB161E", host, job) && ok;
  }
  {  // parallel NOR (CFI, write buffer) through the absolute window
    BenchHost host("LYR9468");
    ParallelDeviceRecord* record = catalogue.FindParallelDevice("S29GL128S");
    if (record == nullptr || !host.board) return 1;
    sim::NorGeometry geometry;
    if (!sim::NorGeometryFromDescription(record->description, static_cast<size_t>(record->selectedPart),
                                         {{128, 0x10000}}, 256, geometry, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    [[maybe_unused]] const auto device = sim::AttachParallelNor(*host.board, kHighWindow, geometry);
    [[maybe_unused]] const auto routine = sim::AttachParallelProgramRoutine(*host.board);
    ProgrammingJob job;
    job.destination = DestParallel;
    job.parallel = FlashDriverTDF(*record);
    host.start = kHighWindow;
    Load(job, words);
    ok = host.Connect() && Measure("parallel S29GL128S", host, job) && ok;
  }
  return ok ? 0 : 1;
}
