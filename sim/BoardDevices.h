// The external devices a simulated board carries: taken from a board definition (--board) and
// from explicit device options (--spi-flash, --qspi, --nor, --nand), built from the *.TDF
// descriptions of the drivers folder, and put behind the chip's controllers and windows.
// Explicit options of a kind replace what the board definition names of that kind, so a test
// can build a board that differs from its definition.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimOptions.h"
#include "sim/devices/NandController.h"
#include "sim/devices/ParallelNorDevice.h"
#include "sim/devices/QspiController.h"
#include "sim/devices/SpiController.h"

namespace tessaro::sim {

class SimBoard;

struct BoardDevices {
  std::vector<SerialFlashAttachment> spi;  // the first is the "spi" region
  QspiAttachment qspi;                     // on the ordinary QSPI window
  QspiAttachment mpQspi;                   // on the multi-purpose window (controller 104)
  std::vector<QspiAttachment> otherQspi;   // on the other ordinary controller
  std::shared_ptr<ParallelNorDevice> nor;
  std::shared_ptr<NandDevice> nand;
  std::shared_ptr<NandController> nandController;
};

// Target word address of the window through which the host reaches controller `base`.
uint32_t QspiWindowFor(uint32_t base, bool ext2First);
// Where a chip family's parallel NOR appears in its low external region.
uint32_t NorWindowFor(uint32_t familyCode);

// Reads the options' --board (a *.BDL file, or a board name in the config folder) and fills in
// the chip, the window order and the devices the options do not name themselves. False with a
// message when the board cannot be found or has no chip.
[[nodiscard]] bool ApplyBoardDefinition(SimOptions& options, std::string& error);

// Builds the options' devices from the drivers folder and attaches them to `board`. False
// with a message for a device no description names or a pin or controller the chip lacks.
[[nodiscard]] bool AttachBoardDevices(SimBoard& board, std::string& error);

}  // namespace tessaro::sim
