// The programming destinations: one table from destination code to the driver that serves it,
// the start-address window, the memory kind whose prefix the status line carries, and the
// texts the selector and the CLI show. The programming job, the CLI and the desktop program
// read it, so a destination is described once.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessaro {

struct BoardConfig;
struct BoardDefinition;

// Destination codes.
enum Destination : int32_t {
  DestNone = 0,
  DestEmbedded = 1,
  DestEmbeddedParallel = 2,
  DestEmbeddedSerial = 3,
  DestParallel = 5,
  DestSerial = 6,
  DestQspi = 8,
  DestMpQspi = 9,
  DestNand = 10,
};

// Which of the job's drivers serves a destination's external memory.
enum class DriverSlot : uint8_t { None, Parallel, DataFlash, Qspi, MpQspi, Nand };

// One destination. Columns:
//   code, name     destination code and its command-line name
//   text           the destination selector's text
//   embedded       the embedded flash takes the image (all of it, or the 8x47 split's first part)
//   driver         the external memory's driver, None for the embedded flash alone
//   memoryKind     status-line prefix of the memory worked on (dual QSPI is chosen per run)
//   startOr/And    the start address is masked into the destination's window: (a & and) | or
//   probe          the driver's Probe runs in the target check (DataFlash: `ready` decides)
//   eraseFirst     the whole range is erased before programming (outside the 8x47 split)
//   probeFailText  appended when the probe fails, after the driver's own reason
struct DestinationInfo {
  int32_t code;
  const char* name;
  const char* text;
  bool embedded;
  DriverSlot driver;
  uint32_t memoryKind;
  uint32_t startOr;
  uint32_t startAnd;
  bool probe;
  bool eraseFirst;
  const char* probeFailText;
};

// Every row, the "none" row first and the others in code order.
std::span<const DestinationInfo> DestinationTable();
// The row of a code; null for an unknown code.
const DestinationInfo* FindDestination(int32_t code);
// The row whose command-line name matches, ignoring case; null for none.
const DestinationInfo* FindDestinationByName(std::string_view name);
// The destination's text in the destination selector; "" for an unknown code.
const char* DestinationText(int32_t destination);
// The start address as the destination takes it (the MP QSPI window sets its two top bits,
// every other clears them).
uint32_t DestinationStartAddress(int32_t destination, uint32_t start);

// The destinations the main window offers for a board (or, without one, for the chip of a
// bare configuration), in code order.
std::vector<int32_t> OfferedDestinations(const BoardConfig& config, const BoardDefinition* board);

}  // namespace tessaro
