// Entry 10 of the "PRGDEV PAR" target driver as the simulated board runs it: programs a block
// of words from the driver's data buffer into parallel flash by replaying the encoded write
// sequence of the parameter block on the bus, then waits for the device as the block's
// status type says. On failure it answers 0xEE and leaves the failing word's offset in
// register 24. Calls that are not this entry go to the next handler.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "sim/SimDevices.h"

namespace tessaro::sim {

class ParallelProgramRoutine : public SimRoutineHandler {
 public:
  explicit ParallelProgramRoutine(std::shared_ptr<SimRoutineHandler> next) : next_(std::move(next)) {}

  std::optional<uint8_t> Call(SimBoard& board, uint16_t address) override;

  // Status reads before the routine gives up on a device that stays busy.
  uint32_t pollLimit = 100000;
  uint64_t calls = 0;
  uint64_t blocks = 0;  // write sequences run

 private:
  uint8_t Program(SimBoard& board);
  std::shared_ptr<SimRoutineHandler> next_;
};

// Puts the routine in front of the board's current routine handler.
std::shared_ptr<ParallelProgramRoutine> AttachParallelProgramRoutine(SimBoard& board);

}  // namespace tessaro::sim
