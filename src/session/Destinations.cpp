#include "session/Destinations.h"

#include <iterator>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "flash/FlashDriverIf.h"

namespace tessaro {

namespace {

constexpr uint32_t kLowWindow = 0x3FFFFFFF;
constexpr uint32_t kMpQspiWindow = 0xC0000000;
constexpr uint32_t kAll = 0xFFFFFFFF;

// clang-format off
constexpr DestinationInfo kDestinations[] = {
  // code                  name          text                                      embedded driver               memoryKind      startOr        startAnd    probe  eraseFirst probeFailText
  {DestNone,             "",           "<Select Programming Target>",            false, DriverSlot::None,      MemoryNone,     0,             kLowWindow, false, false, nullptr},
  {DestEmbedded,         "embedded",   "Embedded Flash only",                    true,  DriverSlot::None,      MemoryEmbedded, 0,             kLowWindow, false, false, nullptr},
  {DestEmbeddedParallel, "emb+nor",    "Firmware into Embedded+Parallel Flash",  true,  DriverSlot::Parallel,  MemoryParallel, 0,             kLowWindow, true,  false, nullptr},
  {DestEmbeddedSerial,   "emb+serial", "Firmware into Embedded+Serial Flash",    true,  DriverSlot::DataFlash, MemorySerial,   0,             kLowWindow, false, false, nullptr},
  {DestParallel,         "nor",        "external Parallel Flash",                false, DriverSlot::Parallel,  MemoryParallel, 0,             kLowWindow, true,  true,  nullptr},
  {DestSerial,           "serial",     "external Serial Flash",                  false, DriverSlot::DataFlash, MemorySerial,   0,             kLowWindow, false, false, nullptr},
  {DestQspi,             "qspi",       "external QSPI Flash",                    false, DriverSlot::Qspi,      MemoryQspi,     0,             kLowWindow, true,  true,  nullptr},
  {DestMpQspi,           "mpqspi",     "external MP QSPI Flash",                 false, DriverSlot::MpQspi,    MemoryQspi,     kMpQspiWindow, kAll,       true,  true,  nullptr},
  {DestNand,             "nand",       "external NAND Flash",                    false, DriverSlot::Nand,      MemoryNand,     0,             kLowWindow, true,  false, "NAND Device not detected!"},
};
// clang-format on

}  // namespace

std::span<const DestinationInfo> DestinationTable() { return kDestinations; }

const DestinationInfo* FindDestination(int32_t code) {
  for (const DestinationInfo& row : kDestinations) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

const DestinationInfo* FindDestinationByName(std::string_view name) {
  if (name.empty()) return nullptr;
  for (const DestinationInfo& row : kDestinations) {
    if (EqualsNoCase(name, row.name)) return &row;
  }
  return nullptr;
}

const char* DestinationText(int32_t destination) {
  const DestinationInfo* row = FindDestination(destination);
  return row ? row->text : "";
}

uint32_t DestinationStartAddress(int32_t destination, uint32_t start) {
  const DestinationInfo* row = FindDestination(destination);
  if (row == nullptr) row = &kDestinations[0];
  return (start & row->startAnd) | row->startOr;
}

std::vector<int32_t> OfferedDestinations(const BoardConfig& config, const BoardDefinition* board) {
  const uint32_t family = config.chip ? config.chip->familyCode : 0;
  const bool embedded = family == FAMILY_8721 || family == FAMILY_8X47;
  const bool parallel = board && !board->flashDeviceNames.empty();
  const bool serial = board && !board->dfDevice.empty() && board->dfEnable.count != 0;
  // Whether the board or chip carries the memory of each destination, in the table's order.
  const bool present[] = {
      false,                                  // none
      embedded,                               // embedded
      embedded && parallel,                   // emb+nor
      embedded && serial,                     // emb+serial
      parallel,                               // nor
      serial,                                 // serial
      board && !board->qspiDevice.empty(),    // qspi
      board && !board->mpQspiDevice.empty(),  // mpqspi
      board && !board->nandDevice.empty(),    // nand
  };
  static_assert(sizeof(present) / sizeof(present[0]) == std::size(kDestinations));
  std::vector<int32_t> offered;
  for (size_t i = 0; i < std::size(kDestinations); ++i) {
    if (present[i]) offered.push_back(kDestinations[i].code);
  }
  return offered;
}

}  // namespace tessaro
