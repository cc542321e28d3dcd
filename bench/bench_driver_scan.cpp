// Driver folder scan speed: writes a folder of description files of all three kinds (serial,
// QSPI with configuration scripts, parallel families with parts) and loads it as the main
// window does, printing the whole scan time and files per second.
// Options: --files N (default 2000), --runs N (best of N, default 5).
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "definitions/DeviceCatalogue.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string SerialFile(int n) {
  std::string text = "; generated serial devices\r\n[DFDEVICES]\r\nManufacturerNames = Serial" + std::to_string(n % 7) +
                     "|Alt\r\nId = 0x1F\r\n";
  for (int d = 0; d < 4; ++d) {
    text += "\r\n[DF" + std::to_string(n) + "_" + std::to_string(d) +
            "]\r\nType = DATAFLASH\r\nDeviceSize = 32M      ; bits\r\nAddressBytes = 3\r\nPageSize = 528\r\n"
            "DeviceID = 0x27\r\n";
  }
  return text;
}

std::string QspiFile(int n) {
  std::string text = "[QSPIDEVICES]\r\nManufacturerNames = Qspi" + std::to_string(n % 5) +
                     "|Other\r\nID = 0xEF\r\n"
                     "\r\n[CONFIG.QE]\r\nCfgRead = Read(0x05, %0), Read(0x35, %1)\r\n"
                     "CfgWrite = Cmd(0x06), Write(0x31, %1), WaitIdle()\r\nConfigure = [9]:1\r\n";
  for (int d = 0; d < 3; ++d) {
    text += "\r\n[Q" + std::to_string(n) + "_" + std::to_string(d) +
            "]\r\nType = QSPI\r\nID = 0x4018\r\nDeviceSize = 128M\r\nNames = Q" + std::to_string(n) + "_" +
            std::to_string(d) +
            "A\r\nPageSize = 256\r\nQuadMaxMHz = 104\r\nQuadDummyRead = 10\r\n"
            "Options = MicronFlagStatus\r\nExtendedId = 3:0x20\r\nConfig = QE\r\n";
  }
  return text;
}

std::string ParallelFile(int n) {
  std::string id = std::to_string(n);
  return "[Manufacturer]\r\nId = 0x01\r\nNames = Parallel" + std::to_string(n % 3) + "\r\n\r\n[Device]\r\nName = NOR" +
         id +
         "B\r\nId = 0x227E,14:0x2210,15:0x2200\r\nAddress = 8x4,127x32\r\nSectorNumber = 135\r\n"
         "MaskCmd = 0xFFFFF800\r\nTimeSector = 5000\r\n\r\n[PARTS]\r\nNOR" +
         id + "T[0x227E,14:0x2210,15:0x2201] = 127x32,8x4\r\nNOR" + id +
         "C[0x227E] = CFI\r\n\r\n[ReadArray]\r\nAddress = USER\r\nData = 0xF0\r\n\r\n[SectorErase]\r\n"
         "Address = 0x555, 0x2AA, 0x555, 0x555, 0x2AA, USER\r\nData = 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30\r\n\r\n"
         "[WordWrite]\r\nAddress = 0x555, 0x2AA, 0x555, USER\r\nData = 0xAA, 0x55, 0xA0, USER\r\n\r\n"
         "[Status]\r\nType = POLLING\r\nErrorBit = 0x20\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  int files = 2000;
  int runs = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--files") files = std::atoi(argv[i + 1]);
    if (option == "--runs") runs = std::atoi(argv[i + 1]);
  }
  if (files < 1 || runs < 1) {
    std::fprintf(stderr, "usage: bench_driver_scan [--files N] [--runs N]\n");
    return 2;
  }

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tessaro_bench_scan_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  size_t bytes = 0;
  for (int n = 0; n < files; ++n) {
    std::string text;
    const char* kind = "";
    switch (n % 3) {
      case 0:
        text = SerialFile(n);
        kind = "SER";
        break;
      case 1:
        text = QspiFile(n);
        kind = "QSPI";
        break;
      default:
        text = ParallelFile(n);
        kind = "NOR";
        break;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%s%05d.TDF", kind, n);
    std::ofstream((folder / name).string(), std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
    bytes += text.size();
  }

  double best = 0;
  double first = 0;
  size_t entries = 0;
  bool clean = true;
  for (int run = 0; run < runs; ++run) {
    tessaro::DeviceCatalogue catalogue;
    std::string errors;
    auto start = Clock::now();
    clean = tessaro::LoadDriverFolder(catalogue, folder.string(), errors) && clean;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (run == 0) first = seconds;
    if (run == 0 || seconds < best) best = seconds;
    entries = catalogue.Entries().size();
    if (!errors.empty() && run == 0) std::fprintf(stderr, "unexpected messages:\n%s", errors.substr(0, 2000).c_str());
  }
  std::filesystem::remove_all(folder);

  std::printf("driver folder scan: %d files (%.1f KiB), %zu catalogue entries%s\n", files, bytes / 1024.0, entries,
              clean ? "" : " (with messages!)");
  std::printf("  first run %8.2f ms   %10.0f files/s\n", first * 1e3, files / first);
  std::printf("  best of %d %8.2f ms   %10.0f files/s\n", runs, best * 1e3, files / best);
  return clean ? 0 : 1;
}
