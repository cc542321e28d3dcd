// Runs the entries of a target-side driver image that the host uploaded into the simulated
// board's word memory, on the board's own memories and device models. The image is found by
// its header at word 0 (magic, interface version); the called address is looked up in its
// entry table. A call that does not fit (no image, an unknown entry, a parameter block that
// does not belong to the image or names the wrong ROM routines for the chip) answers 0xEE, as
// a failing routine does.
//
// Entry 11 of "PRGDEV PAR": checksum. Registers 56/57 hold the target word address, 58 the
// word count (0 stands for 65536 where the register is 16 bits wide), 61/62 the sums A and B
// in and out; the parameter block from register 64 starts with 0x501D and the chip's
// "ROM$DBGRETURN" and "ST$SENDBYTE" addresses.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sim/SimDevices.h"

namespace tessaro::sim {

inline constexpr uint8_t kRoutineDone = 0x00;
inline constexpr uint8_t kRoutineFailed = 0xEE;

class DriverImageRunner : public SimRoutineHandler {
 public:
  // `next` is asked for addresses that are not an entry of an uploaded image.
  explicit DriverImageRunner(std::shared_ptr<SimRoutineHandler> next = nullptr) : next_(std::move(next)) {}

  std::optional<uint8_t> Call(SimBoard& board, uint16_t address) override;

  // Calls run so far, and checksum calls among them (for tests and statistics).
  uint64_t calls = 0;
  uint64_t checksumCalls = 0;
  uint64_t checksumWords = 0;
  // Makes the next `count` calls answer 0xEE (a routine that fails).
  uint32_t failNextCalls = 0;

 private:
  uint8_t Checksum(SimBoard& board, uint16_t signature);

  std::shared_ptr<SimRoutineHandler> next_;
};

// The name of the uploaded image (words 16..23), trailing spaces removed.
std::string UploadedImageName(SimBoard& board);
// Whether the parameter block from register 64 starts as every block must: `signature`, then
// the connected chip's "ROM$DBGRETURN" and "ST$SENDBYTE" addresses. The routine returns through
// the boot ROM and talks through its send routine: a block naming other addresses would send
// it into the wrong code.
bool ParameterBlockFitsChip(SimBoard& board, uint16_t signature);

// The runner a board gets by default.
std::shared_ptr<DriverImageRunner> MakeDriverImageRunner();

}  // namespace tessaro::sim
