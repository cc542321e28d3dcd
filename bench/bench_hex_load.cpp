// Intel HEX loading speed: writes a 32 MiB image as a HEX file, loads it with the image
// loader and converts the same file with `objcopy -I ihex -O binary`, and prints both in MB/s
// of image data. Options: --mib N (image size, default 32), --runs N (best of N, default 3).
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "image/ImageBuffer.h"
#include "image/ImageDigest.h"
#include "platform/Files.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records of 32 data bytes, a type 4 record at every 64 KiB boundary, CR LF line ends: the
// shape compilers and objcopy write.
std::string MakeHex(const std::string& image) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(image.size() / 32 * 77 + 64);
  auto emit = [&](uint32_t address, uint8_t type, const unsigned char* data, size_t count) {
    unsigned sum = static_cast<unsigned>(count) + (address >> 8 & 0xFF) + (address & 0xFF) + type;
    auto put = [&](unsigned byte) {
      text.push_back(kDigits[byte >> 4 & 0xF]);
      text.push_back(kDigits[byte & 0xF]);
    };
    text.push_back(':');
    put(static_cast<unsigned>(count));
    put(address >> 8 & 0xFF);
    put(address & 0xFF);
    put(type);
    for (size_t i = 0; i < count; ++i) {
      put(data[i]);
      sum += data[i];
    }
    put((0x100 - (sum & 0xFF)) & 0xFF);
    text += "\r\n";
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(image.data());
  for (size_t offset = 0; offset < image.size(); offset += 32) {
    if (offset % 65536 == 0) {
      const unsigned char upper[2] = {static_cast<unsigned char>(offset >> 24),
                                      static_cast<unsigned char>(offset >> 16)};
      emit(0, 4, upper, 2);
    }
    emit(static_cast<uint32_t>(offset & 0xFFFF), 0, bytes + offset, std::min<size_t>(32, image.size() - offset));
  }
  text += ":00000001FF\r\n";
  return text;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 32;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--mib") mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (arg == "--runs") runs = std::atoi(argv[i + 1]);
  }
  if (mib == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: bench_hex_load [--mib N] [--runs N]\n");
    return 2;
  }

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tessaro-bench-hex-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string hexPath = (folder / "image.hex").string();
  const std::string binPath = (folder / "objcopy.bin").string();

  std::string image(mib << 20, '\0');
  std::mt19937 random(12345);
  for (auto& byte : image) byte = static_cast<char>(random());
  const std::string hex = MakeHex(image);
  if (!tessaro::WriteWholeFile(hexPath, hex)) {
    std::fprintf(stderr, "cannot write %s\n", hexPath.c_str());
    return 1;
  }
  const double imageMb = static_cast<double>(image.size()) / 1e6;
  std::printf("image %zu MiB, HEX file %.1f MB, best of %d runs\n", mib, static_cast<double>(hex.size()) / 1e6, runs);

  double bestLoad = 1e30;
  tessaro::ImageBuffer buffer;
  for (int run = 0; run < runs; ++run) {
    tessaro::ImageBuffer fresh;  // a new buffer each run, as the first load of a program run
    std::string error;
    const auto start = Clock::now();
    const bool ok = tessaro::LoadHexImage(fresh, hexPath, error);
    const double seconds = Seconds(Clock::now() - start);
    if (!ok) {
      std::fprintf(stderr, "LoadHexImage failed: %s\n", error.c_str());
      return 1;
    }
    bestLoad = std::min(bestLoad, seconds);
    buffer = std::move(fresh);
  }

  double bestObjcopy = 1e30;
  const std::string command = "objcopy -I ihex -O binary '" + hexPath + "' '" + binPath + "'";
  bool objcopyOk = true;
  for (int run = 0; run < runs && objcopyOk; ++run) {
    const auto start = Clock::now();
    objcopyOk = std::system(command.c_str()) == 0;
    bestObjcopy = std::min(bestObjcopy, Seconds(Clock::now() - start));
  }

  // Both must have produced the same bytes, or the comparison means nothing.
  tessaro::ImageBuffer reference;
  std::string error;
  const bool same = objcopyOk && tessaro::LoadBinaryImage(reference, binPath, error) &&
                    tessaro::ImageSha256(reference) == tessaro::ImageSha256(buffer);
  const bool matchesSource = buffer.size == static_cast<int32_t>(image.size() / 2) &&
                             std::equal(image.begin(), image.end(), reinterpret_cast<const char*>(buffer.words.data()));

  std::printf("LoadHexImage      %8.3f s  %8.1f MB/s\n", bestLoad, imageMb / bestLoad);
  if (objcopyOk) {
    std::printf("objcopy ihex->bin %8.3f s  %8.1f MB/s\n", bestObjcopy, imageMb / bestObjcopy);
    std::printf("speed-up          %8.2fx\n", bestObjcopy / bestLoad);
  } else {
    std::printf("objcopy failed or is not installed\n");
  }
  std::printf("image matches source: %s, matches objcopy: %s\n", matchesSource ? "yes" : "NO", same ? "yes" : "NO");
  std::filesystem::remove_all(folder);
  return matchesSource && same ? 0 : 1;
}
