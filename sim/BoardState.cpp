#include "sim/BoardState.h"

#include <cstdio>

#include "common/Text.h"
#include "platform/Files.h"
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

bool SaveBoardState(SimBoard& board, const std::string& path, std::string& error) {
  // Written beside the file and renamed over it, so an interrupted save keeps the old state.
  const std::string temporary = path + ".new";
  if (!WriteWholeFile(temporary, FormatState(BoardRegions(board))) || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool DumpBoardRegion(SimBoard& board, const std::string& request, std::string& error) {
  const size_t colon = request.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= request.size()) {
    error = "--dump-memory wants REGION:FILE, not '" + request + "'";
    return false;
  }
  const std::string name = request.substr(0, colon);
  const std::string path = request.substr(colon + 1);
  StateRegion chosen;
  bool found = ParseMemoryRegion(name, board, chosen);
  for (const StateRegion& region : BoardRegions(board)) {
    if (!found && EqualsNoCase(region.name, name)) {
      chosen = region;
      found = true;
    }
  }
  if (!found) {
    error = "no region '" + name + "' on this board (flash, fuses, security, efuses, memory@START+COUNT)";
    return false;
  }
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
  for (const std::string& request : options.dumpRequests)
    if (!DumpBoardRegion(board, request, error)) errors.push_back(error);
  return errors;
}

}  // namespace tessaro::sim
