#include "sim/BoardState.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Text.h"
#include "platform/Files.h"
#include "sim/BoardDevices.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr const char* kStateMagic = "tessaro-sim state 1\n";
constexpr uint32_t kFuseCells = 9;
constexpr uint32_t kEfuseWords = 64;

bool ParseMemoryRegion(const std::string& name, SimBoard& board, StateRegion& region) {
  if (!StartsWithNoCase(name, "memory@")) return false;
  const std::string range = name.substr(7);
  const size_t plus = range.find('+');
  if (plus == std::string::npos) return false;
  const uint32_t start = ReadHex(range.substr(0, plus));
  const uint32_t count = ReadHex(range.substr(plus + 1));
  if (start == VALUE_INVALID || count == VALUE_INVALID || count == 0 || count > 0x4000000) return false;
  region.name = name;
  region.words = count;
  region.read = [&board, start](uint32_t index) { return board.ReadMemory(start + index); };
  return true;
}

// Bytes as 16-bit little-endian words (an odd last byte pads with 0xFF).
StateRegion ByteRegion(std::string name, std::vector<uint8_t>& bytes) {
  return {std::move(name), static_cast<uint32_t>((bytes.size() + 1) / 2),
          [&bytes](uint32_t i) {
            const uint8_t high = 2 * i + 1 < bytes.size() ? bytes[2 * i + 1] : 0xFF;
            return static_cast<uint16_t>(bytes[2 * i] | high << 8);
          },
          [&bytes](uint32_t i, uint16_t value) {
            bytes[2 * i] = static_cast<uint8_t>(value & 0xFF);
            if (2 * i + 1 < bytes.size()) bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
          }};
}

// A QSPI window as target words: a dual pair's lanes interleaved (low lane in the low byte),
// a single device's bytes in pairs.
std::optional<StateRegion> QspiRegion(std::string name, const QspiAttachment& attached) {
  if (!attached.lane0) return std::nullopt;
  if (!attached.lane1) return ByteRegion(std::move(name), attached.lane0->memory);
  std::vector<uint8_t>& low = attached.lane0->memory;
  std::vector<uint8_t>& high = attached.lane1->memory;
  return StateRegion{std::move(name), static_cast<uint32_t>(std::min(low.size(), high.size())),
                     [&low, &high](uint32_t i) { return static_cast<uint16_t>(low[i] | high[i] << 8); },
                     [&low, &high](uint32_t i, uint16_t value) {
                       low[i] = static_cast<uint8_t>(value & 0xFF);
                       high[i] = static_cast<uint8_t>(value >> 8);
                     }};
}

// The non-volatile configuration registers of a QSPI window's devices, one word per register:
// the low lane's byte in the low half, a dual pair's high lane's byte in the high half.
std::optional<StateRegion> QspiRegistersRegion(std::string name, const QspiAttachment& attached) {
  if (!attached.lane0 || attached.lane0->NonVolatileCount() == 0) return std::nullopt;
  QspiFlashDevice& low = *attached.lane0;
  QspiFlashDevice* high = attached.lane1.get();
  return StateRegion{std::move(name), static_cast<uint32_t>(low.NonVolatileCount()),
                     [&low, high](uint32_t i) {
                       const uint8_t upper = high ? high->NonVolatileRegister(i) : 0xFF;
                       return static_cast<uint16_t>(low.NonVolatileRegister(i) | upper << 8);
                     },
                     [&low, high](uint32_t i, uint16_t value) {
                       low.SetNonVolatileRegister(i, static_cast<uint8_t>(value & 0xFF));
                       if (high) high->SetNonVolatileRegister(i, static_cast<uint8_t>(value >> 8));
                     }};
}

void AddDeviceRegions(SimBoard& board, std::vector<StateRegion>& regions) {
  const std::shared_ptr<BoardDevices> devices = board.Devices();
  if (!devices) return;
  // The regions' accessors hold the device models by reference: they live as long as the board.
  if (!devices->spi.empty()) {
    SpiFlashDevice& flash = *devices->spi.front().device;
    regions.push_back(ByteRegion("spi", flash.memory));
    // The page size the part was switched to; it takes effect when the board next starts.
    regions.push_back({"dfpages", 1, [&flash](uint32_t) { return static_cast<uint16_t>(flash.powerOfTwoConfigured); },
                       [&flash](uint32_t, uint16_t value) {
                         flash.powerOfTwoConfigured = value != 0;
                         flash.PowerCycle();
                       }});
  }
  if (auto region = QspiRegion("qspi", devices->qspi)) regions.push_back(*region);
  if (auto region = QspiRegion("mpqspi", devices->mpQspi)) regions.push_back(*region);
  // Kept by the devices across power cycles; state files written before had no such region,
  // and loading one of them leaves the devices as the options built them.
  if (auto region = QspiRegistersRegion("qspiregs", devices->qspi)) regions.push_back(*region);
  if (auto region = QspiRegistersRegion("mpqspiregs", devices->mpQspi)) regions.push_back(*region);
  if (devices->nor) {
    ParallelNorDevice& nor = *devices->nor;
    regions.push_back({"nor", nor.sizeWords(), [&nor](uint32_t i) { return nor.Peek(i); },
                       [&nor](uint32_t i, uint16_t value) { nor.Poke(i, value); }});
  }
  if (devices->nand) {
    NandDevice& nand = *devices->nand;
    const NandGeometry& g = nand.geometry();
    regions.push_back({"nand", g.pageWords * g.pagesPerBlock * g.blocks, [&nand](uint32_t i) { return nand.Word(i); },
                       [&nand](uint32_t i, uint16_t value) { nand.SetWord(i, value); }});
  }
}

}  // namespace

std::vector<StateRegion> BoardRegions(SimBoard& board) {
  std::vector<StateRegion> regions;
  const ChipInfo* chip = board.chip();
  if (chip == nullptr) return regions;
  if (chip->embeddedFlashSize != 0) {
    regions.push_back({"flash", chip->embeddedFlashSize, [&board](uint32_t i) { return board.FlashWord(i); },
                       [&board](uint32_t i, uint16_t value) { board.SetFlashWord(i, value); }});
  }
  if (chip->familyCode == FAMILY_8X47) {
    regions.push_back({"fuses", kFuseCells, [&board](uint32_t i) { return board.FuseBit(0x8000 + i); },
                       [&board](uint32_t i, uint16_t value) { board.SetFuseBit(0x8000 + i, value); }});
    regions.push_back({"security", 1, [&board](uint32_t) { return static_cast<uint16_t>(board.SecurityBit() ? 1 : 0); },
                       [&board](uint32_t, uint16_t value) { board.SetSecurityBit(value != 0); }});
  }
  if (chip->familyCode == FAMILY_9XXX) {
    regions.push_back({"efuses", kEfuseWords, [&board](uint32_t i) { return board.EfuseWord(i); },
                       [&board](uint32_t i, uint16_t value) { board.SetEfuseWord(i, value); }});
  }
  AddDeviceRegions(board, regions);
  return regions;
}

std::string FormatState(const std::vector<StateRegion>& regions) {
  std::string bytes = kStateMagic;
  for (const StateRegion& region : regions) {
    bytes += region.name + " " + std::to_string(region.words) + "\n";
    for (uint32_t i = 0; i < region.words; ++i) {
      const uint16_t w = region.read(i);
      bytes += static_cast<char>(w & 0xFF);
      bytes += static_cast<char>(w >> 8);
    }
    bytes += "\n";
  }
  return bytes;
}

bool ApplyState(const std::string& bytes, const std::vector<StateRegion>& regions, std::string& error) {
  const std::string magic = kStateMagic;
  if (bytes.compare(0, magic.size(), magic) != 0) {
    error = "not a tessaro-sim state file";
    return false;
  }
  size_t at = magic.size();
  while (at < bytes.size()) {
    const size_t lineEnd = bytes.find('\n', at);
    if (lineEnd == std::string::npos) break;
    const std::string line = bytes.substr(at, lineEnd - at);
    const size_t space = line.find(' ');
    if (space == std::string::npos || space + 1 >= line.size() || line.size() - space - 1 > 9) {
      error = "malformed region line '" + line + "'";
      return false;
    }
    uint64_t words = 0;
    for (char c : line.substr(space + 1)) {
      if (c < '0' || c > '9') {
        error = "malformed region line '" + line + "'";
        return false;
      }
      words = words * 10 + static_cast<uint64_t>(c - '0');
    }
    const std::string name = line.substr(0, space);
    const size_t dataStart = lineEnd + 1;
    if (bytes.size() - dataStart < 2 * words + 1) {
      error = "region '" + name + "' is cut short";
      return false;
    }
    for (const StateRegion& region : regions) {
      if (region.name != name) continue;
      if (!region.write) {
        error = "the board model cannot load region '" + name + "'";
        return false;
      }
      const uint64_t count = std::min<uint64_t>(words, region.words);
      for (uint32_t i = 0; i < count; ++i) {
        const auto low = static_cast<uint8_t>(bytes[dataStart + 2 * i]);
        const auto high = static_cast<uint8_t>(bytes[dataStart + 2 * i + 1]);
        region.write(i, static_cast<uint16_t>(low | (high << 8)));
      }
    }
    at = dataStart + 2 * words + 1;
  }
  return true;
}

bool LoadBoardState(SimBoard& board, const std::string& path, std::string& error) {
  if (!FileExists(path)) return true;
  auto bytes = ReadWholeFile(path);
  if (!bytes) {
    error = "cannot read " + path;
    return false;
  }
  if (!ApplyState(*bytes, BoardRegions(board), error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool LockBoardState(const std::string& path, int& descriptor, std::string& error) {
  // A lock file beside the state: the state file itself is replaced by every save.
  const std::string lockPath = path + ".lock";
  descriptor = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // Where no lock file can be made no state file can be written either: the board runs, and
  // its save at the end reports that.
  if (descriptor < 0) return true;
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    ::close(descriptor);
    descriptor = -1;
    error = "the board state " + path + " is in use by another simulated board (" + lockPath +
            " is locked); run them one after the other or give each its own --state";
    return false;
  }
  return true;
}

bool SaveBoardState(SimBoard& board, const std::string& path, std::string& error) {
  // Written to a temporary file of its own beside the state and renamed over it, so an
  // interrupted save keeps the old state and no two writers share a temporary file.
  std::string temporary = path + ".XXXXXX";
  const int descriptor = ::mkstemp(temporary.data());
  if (descriptor < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string bytes = FormatState(BoardRegions(board));
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(descriptor, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const int writeErrno = written == bytes.size() ? 0 : errno;
  const bool closed = ::close(descriptor) == 0;
  if (written != bytes.size() || !closed || ::chmod(temporary.c_str(), 0644) != 0 ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int reason = writeErrno != 0 ? writeErrno : errno;
    std::remove(temporary.c_str());
    error = "cannot write " + path + (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string());
    return false;
  }
  return true;
}

namespace {

// The region a dump request names, or false with a message that lists the board's regions.
bool FindDumpRegion(SimBoard& board, const std::string& request, StateRegion& chosen, std::string& path,
                    std::string& error) {
  const size_t colon = request.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= request.size()) {
    error = "--dump-memory wants REGION:FILE, not '" + request + "'";
    return false;
  }
  const std::string name = request.substr(0, colon);
  path = request.substr(colon + 1);
  if (ParseMemoryRegion(name, board, chosen)) return true;
  std::string list;
  for (const StateRegion& region : BoardRegions(board)) {
    if (EqualsNoCase(region.name, name)) {
      chosen = region;
      return true;
    }
    list += region.name + ", ";
  }
  error = "--dump-memory: no region '" + name + "' on this board (its regions: " + list + "memory@START+COUNT)";
  return false;
}

}  // namespace

bool CheckDumpRequest(SimBoard& board, const std::string& request, std::string& error) {
  StateRegion region;
  std::string path;
  return FindDumpRegion(board, request, region, path, error);
}

bool DumpBoardRegion(SimBoard& board, const std::string& request, std::string& error) {
  StateRegion chosen;
  std::string path;
  if (!FindDumpRegion(board, request, chosen, path, error)) return false;
  std::string bytes;
  bytes.reserve(2 * chosen.words);
  for (uint32_t i = 0; i < chosen.words; ++i) {
    const uint16_t w = chosen.read(i);
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  if (!WriteWholeFile(path, bytes)) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

std::vector<std::string> EndBoard(SimBoard& board) {
  std::vector<std::string> errors;
  std::string error;
  const SimOptions& options = board.options();
  if (!options.stateFile.empty() && !SaveBoardState(board, options.stateFile, error)) errors.push_back(error);
  board.ReleaseStateLock();
  for (const std::string& request : options.dumpRequests)
    if (!DumpBoardRegion(board, request, error)) errors.push_back(error);
  if (!options.statsFile.empty() && !board.WriteStats(options.statsFile))
    errors.push_back("cannot write " + options.statsFile);
  return errors;
}

}  // namespace tessaro::sim
