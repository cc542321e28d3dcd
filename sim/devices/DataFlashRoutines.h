// The entries of the uploaded "PRGDEV DF" target driver as the simulated chip runs them:
// 3 programs one page from the data buffer, 4 reads one page into it, 11 adds the checksum of
// a page to the sums in registers 61 and 62. They drive the serial flash through the same SPI
// controller and select pins the host uses, from the parameter block in registers 64..139,
// and answer 0xEE for a block that does not fit the device on the pins (wrong controller,
// unknown select pin, another page size or kind) rather than guess.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "sim/SimDevices.h"

namespace tessaro::sim {

class SpiController;
class SpiFlashDevice;

class DataFlashRoutines : public SimRoutineHandler {
 public:
  DataFlashRoutines(std::shared_ptr<SpiController> controller, std::shared_ptr<SimRoutineHandler> next)
      : controller_(std::move(controller)), next_(std::move(next)) {}

  std::optional<uint8_t> Call(SimBoard& board, uint16_t address) override;

  // How long the routine waits for a busy device before it reports failure.
  std::chrono::milliseconds readyTimeout{500};
  // Why the last call answered 0xEE ("" after a success).
  std::string lastRefusal;
  uint64_t calls = 0;
  // Calls of the page read (entry 4): how often a page was copied into the data buffer.
  uint64_t pageReads = 0;

 private:
  uint8_t Refuse(std::string why);

  std::shared_ptr<SpiController> controller_;
  std::shared_ptr<SimRoutineHandler> next_;
};

}  // namespace tessaro::sim
