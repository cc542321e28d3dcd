#include "sim/BoardDevices.h"

#include <algorithm>
#include <chrono>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "definitions/ParallelDescriptions.h"
#include "link/StrappedMemories.h"
#include "platform/Files.h"
#include "sim/ChipFacts.h"
#include "sim/SimBoard.h"
#include "sim/devices/ParallelProgramRoutine.h"

namespace tessaro::sim {

namespace {

// Descriptions of CFI parts do not hold their sector layout (the device tells it through its
// CFI table), so a part whose size is not known below is simulated with this layout: 128
// sectors of 64 K words and a 256-word write buffer, as the common 128 Mbit parts have.
const std::vector<std::pair<uint32_t, uint32_t>> kCfiRegions{{128, 0x10000}};
constexpr uint32_t kCfiBufferWords = 256;

// The S29GL-S family tells its size by the autoselect word at 0Eh: 128, 256, 512 and 1024
// sectors of 64 K words. Their CFI table answers that size.
std::vector<std::pair<uint32_t, uint32_t>> CfiRegionsOf(const PartEntry& part) {
  static constexpr std::pair<uint16_t, uint32_t> kSizeCodes[] = {
      {0x2221, 128}, {0x2222, 256}, {0x2223, 512}, {0x2228, 1024}};
  for (int32_t i = 0; i < part.id.extraCount && i < kPartIdMaxExtra; ++i) {
    const PartIdWord& word = part.id.extra[static_cast<size_t>(i)];
    if (word.index != 0x0E) continue;
    for (const auto& [code, sectors] : kSizeCodes)
      if (word.value == code) return {{sectors, 0x10000}};
  }
  return kCfiRegions;
}

std::string FolderOr(const std::string& folder, const char* beside) {
  return folder.empty() ? ProgramFolder() + "/" + beside : folder;
}

std::string FirstOf(const std::string& joined) { return joined.substr(0, joined.find('/')); }

// The strapping of a 9xxx board built as its definition describes it: the first that selects
// the definition's memories, else the first that selects its second memory, else 0.
uint32_t StrappingFor(uint32_t package, const BoardConfig& config) {
  std::optional<uint32_t> sameSecond;
  for (uint32_t s = 0; s < 8; ++s) {
    MemoryKinds kinds{};
    if (!StrappedMemories(package, s, kinds)) return 0;
    if (kinds.ext1 == config.ext1Kind && kinds.ext2 == config.ext2Kind && kinds.cs1 == config.ext2OnCs1) return s;
    if (!sameSecond && kinds.ext2 == config.ext2Kind) sameSecond = s;
  }
  return sameSecond.value_or(0);
}

// Whether a 9xxx chip's strapping makes its second external memory a QSPI one; a package
// without a strapping table is taken to allow it.
bool SecondMemoryIsQspi(const ChipInfo& chip, const SimOptions& options) {
  MemoryKinds kinds{};
  if (!StrappedMemories(options.packageCode.value_or(PackageCode(chip)), options.strapping.value_or(0), kinds))
    return true;
  return kinds.ext2 == EXT_QNOR;
}

// Where the 9xxx second external memory's window starts.
constexpr uint32_t kSecondMemoryWindow = 0x40000000u;

}  // namespace

uint32_t QspiWindowFor(uint32_t base, bool ext2First) {
  if (base == 104) return 0xC0000000u;
  const uint32_t ordinary = ext2First ? 96 : 100;
  // The host picks the other ordinary controller for windows below 0x40000000.
  return base == ordinary ? 0x80000000u : 0x20000000u;
}

uint32_t NorWindowFor(uint32_t familyCode) {
  // Legend: family -> where device offset 0 shows while the position is in the low region.
  static const std::pair<uint32_t, uint32_t> kWindows[] = {
      {FAMILY_9XXX, 0x80000000u}, {FAMILY_74XX, 0x4000000u}, {FAMILY_8X2X, 0x1000000u}, {FAMILY_8X47, 0x20000u}};
  for (const auto& [family, window] : kWindows)
    if (family == familyCode) return window;
  return 0;
}

bool ApplyBoardDefinition(SimOptions& options, std::string& error) {
  if (options.boardName.empty()) return true;
  BoardList list;
  std::string loadErrors;
  const BoardDefinition* board = nullptr;
  if (FileExists(options.boardName)) {
    if (ParseBoardFile(list, options.boardName, loadErrors) > 0) board = &*list.begin();
  } else {
    const std::string folder = FolderOr(options.configDir, "config");
    LoadBoardFolder(list, folder, loadErrors);
    board = list.Find(options.boardName);
    if (board == nullptr) {
      error = "no board '" + options.boardName + "' in " + folder;
      return false;
    }
  }
  if (board == nullptr || board->config.chip == nullptr) {
    error = "the board definition " + options.boardName + " names no chip";
    return false;
  }
  options.chip = board->config.chip->name;
  options.ext2First = board->config.ext2First;
  if (!options.strapping && board->config.chip->familyCode == FAMILY_9XXX)
    options.strapping = StrappingFor(options.packageCode.value_or(PackageCode(*board->config.chip)), board->config);
  if (options.spiFlash.empty() && !board->dfDevice.empty()) {
    PinList pin;
    if (board->dfEnable.count > 0) {
      pin.count = 1;
      pin.pins[0] = board->dfEnable.pins[0];
    }
    options.spiFlash.push_back({board->dfDevice, pin.count > 0 ? FormatPinList(pin) : "DFCS", true});
  }
  if (options.qspi.empty()) {
    if (!board->qspiDevice.empty()) {
      options.qspi.push_back(
          {board->qspiDevice, board->dualQspi == ONOFF_ON ? board->qspiDevice : "", options.ext2First ? 96u : 100u});
    }
    if (!board->mpQspiDevice.empty()) options.qspi.push_back({board->mpQspiDevice, "", 104});
  }
  if (!options.nor && !board->flashDevices.empty()) {
    options.nor = SimNorItem{FirstOf(board->flashDevices), "", NorWindowFor(board->config.chip->familyCode), true};
  }
  if (!options.nand && !board->nandDevice.empty()) options.nand = false;
  return true;
}

namespace {

bool AttachNor(SimBoard& board, DeviceCatalogue& catalogue, const SimNorItem& item, BoardDevices& devices,
               std::string& error) {
  ParallelDeviceRecord* record = catalogue.FindParallelDevice(item.name);
  if (record != nullptr && !item.part.empty()) {
    record->selectedPart = -1;
    for (size_t i = 0; i < record->description.parts.size(); ++i)
      if (EqualsNoCase(record->description.parts[i].name, item.part)) record->SelectPart(static_cast<int>(i));
  }
  // "NAME:PART" may also be a manufacturer and a device pattern.
  if ((record == nullptr || record->SelectedPart() == nullptr) && !item.part.empty())
    record = catalogue.FindParallelDevice(item.name + ":" + item.part);
  if (record == nullptr || record->SelectedPart() == nullptr) {
    error = "no parallel flash description names '" + item.name + (item.part.empty() ? "" : ":" + item.part) + "'";
    return false;
  }
  NorGeometry geometry;
  const bool cfi = record->SelectedPart()->kind != PART_SECTORS;
  if (!NorGeometryFromDescription(
          record->description, static_cast<size_t>(record->selectedPart),
          cfi ? CfiRegionsOf(*record->SelectedPart()) : std::vector<std::pair<uint32_t, uint32_t>>{},
          cfi ? kCfiBufferWords : 0, geometry, error))
    return false;
  const SimOptions& options = board.options();
  devices.nor = AttachParallelNor(board, item.address, geometry);
  // A 9xxx parallel flash in the low region is the second memory, whose window starts at
  // 0x40000000 as well.
  if (board.chip()->familyCode == FAMILY_9XXX && item.address == 0x80000000u)
    board.AttachMemoryWindow(kSecondMemoryWindow, devices.nor->sizeWords(), devices.nor);
  for (uint32_t sector : options.failEraseSectors) devices.nor->FailEraseOfSector(sector);
  for (uint32_t word : options.failProgramWords) devices.nor->FailProgramAt(word);
  devices.nor->SetStuckBusy(options.stuckBusy);
  AttachParallelProgramRoutine(board);
  return true;
}

}  // namespace

bool AttachBoardDevices(SimBoard& board, std::string& error) {
  const SimOptions& options = board.options();
  auto devices = std::make_shared<BoardDevices>();
  const bool any = !options.spiFlash.empty() || !options.qspi.empty() || options.nor || options.nand;
  if (!any) return true;
  DeviceCatalogue catalogue;
  const std::string driversFolder = FolderOr(options.driversDir, "drivers");
  std::string loadErrors;
  if ((!options.spiFlash.empty() || !options.qspi.empty() || options.nor) &&
      !LoadDriverFolder(catalogue, driversFolder, loadErrors)) {
    error = "cannot read the device descriptions in " + driversFolder + (loadErrors.empty() ? "" : ": " + loadErrors);
    return false;
  }
  const auto busy = std::chrono::milliseconds(options.busyMs);

  for (const SimSpiItem& item : options.spiFlash) {
    DataFlashDescription description;
    if (!catalogue.FindSerialDevice(item.name, description)) {
      error = "no serial flash description names '" + item.name + "'";
      return false;
    }
    PinList pins;
    if (!ParsePinList(item.pin, pins) || pins.count != 1) {
      error = "'" + item.pin + "' is not one select pin";
      return false;
    }
    SpiFlashOptions spiOptions;
    spiOptions.powerOfTwoPages = options.dataflashPow2;
    spiOptions.programBusy = spiOptions.eraseBusy = busy;
    spiOptions.stuckBusy = options.stuckBusy;
    SerialFlashAttachment attached = AttachSerialFlash(
        board, description, pins.pins[0], spiOptions, devices->spi.empty() ? nullptr : devices->spi.front().controller);
    if (!attached.device) {
      const std::string why =
          "the simulated " + std::string(board.chip()->name) + " cannot wire a serial flash behind " + item.pin;
      // The board's other devices are still worth simulating; an explicit option is a mistake.
      if (item.fromBoard) {
        devices->notes.push_back(why + "; " + item.name + " left off");
        continue;
      }
      error = why;
      return false;
    }
    devices->spi.push_back(attached);
  }

  // The multi-purpose window lies inside what the ordinary window's range would cover, so its
  // device is attached first (the first window that holds an address answers it).
  std::vector<SimQspiItem> qspiItems = options.qspi;
  std::stable_partition(qspiItems.begin(), qspiItems.end(), [](const SimQspiItem& item) { return item.base == 104; });
  std::vector<std::pair<uint32_t, uint32_t>> qspiWindows;  // base and size in words
  const bool nine = board.chip()->familyCode == FAMILY_9XXX;
  const uint32_t ordinaryBase = options.ext2First ? 96 : 100;
  // On 9xxx the register sets of 96 and 100 follow the chip's window order (I/O register 19),
  // not the board file: attached first, the pair answers for both before the controllers do.
  std::shared_ptr<QspiControllerPair> pair;
  if (nine &&
      std::any_of(qspiItems.begin(), qspiItems.end(), [](const SimQspiItem& item) { return item.base != 104; })) {
    pair = std::make_shared<QspiControllerPair>(board);
    board.AttachIoBlock(QspiControllerPair::kFirstRegister, QspiControllerPair::kRegisterCount, pair);
  }
  for (const SimQspiItem& item : qspiItems) {
    const DeviceDescription* lane0 = catalogue.FindQspiDevice(item.lane0);
    const DeviceDescription* lane1 = item.lane1.empty() ? lane0 : catalogue.FindQspiDevice(item.lane1);
    if (lane0 == nullptr || lane1 == nullptr) {
      error = "no QSPI description names '" + (lane0 == nullptr ? item.lane0 : item.lane1) + "'";
      return false;
    }
    QspiFlashOptions qspiOptions;
    qspiOptions.configured = options.qspiConfigured;
    qspiOptions.programBusy = qspiOptions.eraseBusy = busy;
    qspiOptions.stuckBusy = options.stuckBusy;
    const bool dual = !item.lane1.empty();
    // The controller model drives both lanes of a pair from one description.
    if (dual && lane1 != lane0) {
      error = "a dual pair of two different parts ('" + item.lane0 + "+" + item.lane1 + "') is not simulated";
      return false;
    }
    QspiAttachment attached =
        AttachQspi(board, QspiWindowFor(item.base, options.ext2First), item.base, *lane0, qspiOptions, dual);
    qspiWindows.emplace_back(QspiWindowFor(item.base, options.ext2First), attached.controller->WindowWords());
    if (item.base == 104) {
      devices->mpQspi = attached;
    } else if (item.base == ordinaryBase) {
      devices->qspi = attached;
      if (pair) {
        pair->secondMemory = attached.controller;
        // The second memory's window spans 0x40000000 to 0xBFFFFFFF: the device shows at its
        // start as well as in the low region at 0x80000000, when the strapping makes the second
        // memory a QSPI one. Strapped for parallel NOR, the start is a parallel bus with nothing
        // on it (what a scan of the strapped memories probes).
        if (SecondMemoryIsQspi(*board.chip(), options)) {
          board.AttachMemoryWindow(kSecondMemoryWindow, attached.controller->WindowWords(), attached.controller);
          qspiWindows.emplace_back(kSecondMemoryWindow, attached.controller->WindowWords());
        }
      }
    } else {
      devices->otherQspi.push_back(attached);
      if (pair) pair->other = attached.controller;
    }
  }

  if (options.nor) {
    // One window shows one device. On 9xxx the host reaches parallel NOR and the ordinary QSPI
    // device at the same addresses: a board with both answers there with its QSPI device, as
    // the one the chip is set up for, and a parallel program finds no NOR to identify.
    const uint64_t nor = options.nor->address;
    const auto taken = std::find_if(qspiWindows.begin(), qspiWindows.end(), [&](const auto& window) {
      return window.first <= nor && nor < static_cast<uint64_t>(window.first) + window.second;
    });
    if (taken != qspiWindows.end()) {
      const std::string why =
          "the parallel flash at " + Hex(options.nor->address) + " lies in the QSPI window at " + Hex(taken->first);
      if (!options.nor->fromBoard) {
        error = why;
        return false;
      }
      devices->notes.push_back(why + "; " + options.nor->name + " left off");
    } else if (!AttachNor(board, catalogue, *options.nor, *devices, error)) {
      return false;
    }
  }

  if (options.nand) {
    NandGeometry geometry;
    geometry.bus16 = *options.nand;
    devices->nand = std::make_shared<NandDevice>(geometry);
    devices->nand->stuckBusy = options.stuckBusy;
    devices->nandController = AttachNand(board, devices->nand, options.ext2First ? 0x80000000u : 0x40000000u);
    // The page buffer answers in the second memory's window, at its start and in the low
    // region, whichever order the chip is set to.
    board.AttachMemoryWindow(options.ext2First ? 0x40000000u : 0x80000000u, 1024,
                             devices->nandController->pageBuffer());
  }
  board.SetDevices(devices);
  return true;
}

}  // namespace tessaro::sim
