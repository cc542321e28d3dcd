// Memories of a simulated board that outlive a run: `--state FILE` loads them when FILE
// exists and writes them back when the board ends; `--dump-memory REGION:FILE` writes one
// region's words (16-bit little-endian) when the board ends.
//
// State file: the line "tessaro-sim state 1", then per region a line "NAME WORDS" followed by
// WORDS little-endian 16-bit words and a line end. Regions of other boards are skipped on load;
// a region shorter or longer than the board's is taken as far as both go.
//
// SimBoard::Create takes the state file's lock and loads it; whoever ends the board calls
// EndBoard. A second board on the same state file is refused while the first one runs.
//
// Regions: "flash" (embedded flash), "fuses" (8x47 fuse cells 0x8000..0x8008), "security"
// (one word, 1 when the 8x47 security bit is set), "efuses" (64 words), and for dumps
// "memory@START+COUNT" (hexadecimal target word addresses, as the monitor reads them); the
// devices add "spi", "dfpages", "qspi", "mpqspi", "nor", "nand" and "qspiregs"/"mpqspiregs"
// (a QSPI device's non-volatile configuration registers, one word per register).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessaro::sim {

class SimBoard;

struct StateRegion {
  std::string name;
  uint32_t words = 0;
  std::function<uint16_t(uint32_t index)> read;
  // Null when the board model cannot set the region.
  std::function<void(uint32_t index, uint16_t value)> write;
};

// The regions a board has (empty ones left out).
std::vector<StateRegion> BoardRegions(SimBoard& board);

// The state file's bytes for `regions`.
std::string FormatState(const std::vector<StateRegion>& regions);
// Applies a state file's bytes to `regions`. False with a message for a malformed file or a
// region the board model cannot set.
[[nodiscard]] bool ApplyState(const std::string& bytes, const std::vector<StateRegion>& regions, std::string& error);

// Loads FILE into the board when it exists (a missing file is a fresh board, not an error).
[[nodiscard]] bool LoadBoardState(SimBoard& board, const std::string& path, std::string& error);
// Takes the lock of a state file (FILE.lock beside it) for one board at a time: false with a
// message when another board holds it. `descriptor` holds the lock until it is closed (-1
// when no lock file can be made beside FILE: then FILE cannot be written either, and the save
// says so).
[[nodiscard]] bool LockBoardState(const std::string& path, int& descriptor, std::string& error);
// Writes a temporary file of its own beside FILE and renames it over FILE.
[[nodiscard]] bool SaveBoardState(SimBoard& board, const std::string& path, std::string& error);
// "REGION:FILE": writes the region's words to FILE.
[[nodiscard]] bool DumpBoardRegion(SimBoard& board, const std::string& request, std::string& error);
// False with a message (naming the board's regions) when the request names no region of the
// board; checked before the board runs.
[[nodiscard]] bool CheckDumpRequest(SimBoard& board, const std::string& request, std::string& error);

// What a board does when it ends: saves its options' state file (and gives up its lock),
// writes their memory dumps and the --stats file. The messages of what could not be written
// (empty when all went well).
[[nodiscard]] std::vector<std::string> EndBoard(SimBoard& board);

}  // namespace tessaro::sim
