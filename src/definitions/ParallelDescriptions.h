// Parallel NOR description files: a *.TDF whose first section is neither DFDEVICES nor
// QSPIDEVICES describes one device family (manufacturer, command set, status protocol) and
// lists its parts with identification and sector layout.
//
//   [Manufacturer]  Id, Names (alternatives split at '|') or Name
//   [Device]        Name, Id (a part id, or CFI / CFI_REV / CFI_TOP / CFI_BOT), CFI_MATCH,
//                   MaskCmd, TimeSector, Address (layout "8x4,31x32" or an address list in
//                   4096-word units), SectorNumber (or SectorNb), Size
//   [PARTS]         "name[id] = layout" or "name[id] = CFI..." per further part
//   [ReadArray] [UnlockSector] [SectorErase] [WordWrite] [PageWrite] [ClearStatus]
//                   command sequences (Address, Data)
//   [Status]        Type (POLLING, STATUS), Error or ErrorBit
//
// Sector tables are in units of 1024 words: the start offset of every sector, then the end.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/DefinitionReader.h"

namespace tessaro {

class DeviceCatalogue;
struct CatalogueFile;
struct ManufacturerEntry;

// A part given by a sector table; CFI parts carry the CFI keyword value instead.
inline constexpr int32_t PART_SECTORS = -9;
inline bool IsCfiKind(int32_t value) { return value >= kKeywordCfiBot && value <= kKeywordCfi; }

inline constexpr size_t kPartIdTextLimit = 99;
inline constexpr int kPartIdMaxExtra = 4;

struct PartIdWord {
  uint16_t index = 0;
  uint16_t value = 0;
  friend bool operator==(const PartIdWord&, const PartIdWord&) = default;
};

struct PartId {
  int32_t mainId = 0;
  int32_t extraCount = 0;  // 0..4
  std::array<PartIdWord, kPartIdMaxExtra> extra{};
  friend bool operator==(const PartId&, const PartId&) = default;
};

struct PartEntry {
  PartId id;
  int32_t kind = PART_SECTORS;  // PART_SECTORS or a CFI keyword value (-5..-8)
  ValuePairList sectors;        // start offsets then the end offset; empty for CFI parts
  std::string name;
};

struct ParallelFlashDescription {
  std::vector<PartEntry> parts;
  ValuePairList cfiMatch;  // (CFI word index, value) pairs, 16-bit each
  int32_t manufacturerId = 0;
  const ManufacturerEntry* manufacturer = nullptr;
  int32_t maskCmd = 0;
  int32_t timeSector = 0;
  int32_t statusType = 0;  // POLLING 0, STATUS 1
  int32_t errorBit = 0;
  ValuePairList readArray;
  ValuePairList unlockSector;
  ValuePairList sectorErase;
  ValuePairList wordWrite;
  ValuePairList pageWrite;
  ValuePairList clearStatus;
};

// A parallel description file as the catalogue keeps it: the description and the part the
// last lookup matched. The working parallel driver (FlashDriverTDF) is made from one where a
// run needs it; the catalogue itself holds no driver objects.
struct ParallelDeviceRecord {
  ParallelFlashDescription description;
  int selectedPart = -1;  // index into description.parts

  // The part chosen by the last lookup, or null.
  const PartEntry* SelectedPart() const {
    if (selectedPart < 0 || static_cast<size_t>(selectedPart) >= description.parts.size()) return nullptr;
    return &description.parts[static_cast<size_t>(selectedPart)];
  }
  void SelectPart(int index) { selectedPart = index; }
};

// The part identification "main[,extra...]": the main id, then up to four extra words, each
// "index:value" or a bare value taking the next index (counting from 2). Items are not trimmed.
// An empty text or one longer than kPartIdTextLimit gives an empty id and false.
bool ParsePartId(std::string_view text, PartId& id);

// CFI_MATCH "index:value, ..." appended to `list` as 16-bit pairs. A faulty item appends
// "Error parsing: " and the rest of the text (no line end) and fails; earlier pairs stay.
bool ParseCfiMatch(std::string_view text, ValuePairList& list, std::string& errorText);

// Parses a whole parallel description document. Messages go to `errorText`; true when there
// was none other than the POLLING warning.
bool ParseParallelFile(ParallelFlashDescription& description, DeviceCatalogue& catalogue, const IniDocument& document,
                       std::string& errorText);

// Parses the document into a new parallel device object of the catalogue and adds an entry
// per part; a faulty file contributes nothing. False when the file was rejected.
bool AddParallelFile(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniDocument& document,
                     std::string& errorText);

}  // namespace tessaro
