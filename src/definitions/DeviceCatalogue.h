// The catalogue of external flash devices the programmer knows: every *.TDF description file
// of the drivers folder parsed into one list of entries sorted by name (all families mixed),
// with registries of the files and manufacturers they came from.
//
// File kinds, decided by the first section's name:
//   DFDEVICES    serial flash (DataFlash, SPI flash, SPI EEPROM), one device per section
//   QSPIDEVICES  QSPI NOR, one device per section, "CONFIG.<name>" sections for scripts
//   other        one parallel NOR family (ParallelDescriptions.h)
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/DefinitionReader.h"
#include "definitions/ParallelDescriptions.h"
#include "definitions/QspiConfigScript.h"

namespace tessaro {

struct PartEntry;

enum DeviceFamily : int32_t {
  FAMILY_PARALLEL = 0,
  FAMILY_SERIAL = 1,
  FAMILY_QSPI = 2,
  FAMILY_NAND = 3,
};

struct CatalogueFile {
  std::string name;  // file name without folder; "GENERIC" for the built-in NAND entry
};

struct ManufacturerEntry {
  std::vector<std::string> names;  // alternatives; the first is the display name
  const std::string& DisplayName() const { return names.front(); }
};

// Serial device types (key Type of a DFDEVICES section).
enum SerialType : int32_t {
  SERIAL_EEPROM = 1,
  SERIAL_BASIC_DATAFLASH = 2,
  SERIAL_DATAFLASH = 3,
};

struct DataFlashDescription {
  int32_t type = 0;
  int32_t sizeBytes = 0;
  int32_t addressBytes = 0;
  int32_t pageSize = 0;
  int32_t deviceId = 0;  // manufacturer in bits 8..15, device code below
  int32_t slow = 0;      // 1: the device needs the slow clock
  friend bool operator==(const DataFlashDescription&, const DataFlashDescription&) = default;
};

// Bytes the part holds in the page size of `d`: a DataFlash with 264-style pages (264, 528, ...)
// has as many pages as its power-of-two size has 256-style pages, each 1/32 longer.
uint32_t DataFlashHeldBytes(const DataFlashDescription& d);

// One condition on the identification bytes a QSPI device answers:
// (byte[byteIndex] >> shift) & (2^bitCount - 1) == value.
struct ExtendedIdCheck {
  uint8_t byteIndex = 0;
  uint8_t shift = 0;
  uint8_t bitCount = 0;
  uint8_t value = 0;
  friend bool operator==(const ExtendedIdCheck&, const ExtendedIdCheck&) = default;
};

inline constexpr int kMaxExtendedIdChecks = 8;
// EraseUnit "SPANSION_ERASE_UNIT": the hybrid layout of small parameter sectors and big ones.
inline constexpr uint32_t ERASE_UNIT_SPANSION = 0x7EEE0001u;
// QSPI options bits (key Options or Option).
inline constexpr uint32_t QSPI_OPTION_MICRON_FLAG_STATUS = 1u << 0;
inline constexpr uint32_t QSPI_OPTION_CONFIG_ALWAYS = 1u << 1;
inline constexpr uint32_t QSPI_OPTION_EXTENDED_SPI = 1u << 2;
inline constexpr uint32_t QSPI_OPTION_EXTENDED_ADDRESS = 1u << 3;
inline constexpr uint32_t QSPI_OPTION_DATAFLASH_STATUS = 1u << 4;
// Devices above this size default to the 4-byte address commands.
inline constexpr uint32_t kQspiThreeByteLimit = 16777216;

struct QspiDescription {
  uint32_t manufacturerId = 0;
  uint32_t deviceId = 0;
  uint8_t eraseSectorCmd = 0;
  uint8_t quadIoReadCmd = 0;
  uint8_t quadMaxMhz = 0;
  uint8_t quadDummyCode = 0;
  uint8_t singleDummyCode = 0;
  uint8_t singleMaxMhz = 0;
  uint8_t singleReadCmd = 0;
  uint8_t addressBytes = 0;
  uint8_t pageProgramCmd = 0;
  uint8_t statusErrorMask = 0;
  std::array<ExtendedIdCheck, kMaxExtendedIdChecks> extendedId{};
  uint32_t extendedIdCount = 0;
  uint32_t sizeBytes = 0;
  uint32_t pageSize = 0;
  uint32_t eraseUnit = 0;  // bytes, or ERASE_UNIT_SPANSION
  uint32_t csHigh = 0;
  uint32_t options = 0;
  QspiConfig config;
  QspiConfig singleConfig;

  // Whether the identification bytes satisfy every extended-identification check.
  bool ExtendedIdMatches(std::span<const uint8_t> idBytes) const;
  friend bool operator==(const QspiDescription&, const QspiDescription&) = default;
};

struct DeviceDescription {
  const CatalogueFile* file = nullptr;
  const PartEntry* part = nullptr;  // parallel entries: the part inside `driver`
  const ManufacturerEntry* manufacturer = nullptr;
  ParallelDeviceRecord* driver = nullptr;  // parallel entries: the description owning the part
  DataFlashDescription serial;
  QspiDescription qspi;
  bool duplicate = false;
  int32_t family = FAMILY_PARALLEL;
  std::string name;
};

// Entries in name order (case-insensitive); among equal names the later insertion comes first.
struct EntryOrder {
  using is_transparent = void;
  bool operator()(const std::unique_ptr<DeviceDescription>& a, const std::unique_ptr<DeviceDescription>& b) const {
    return CompareNoCase(a->name, b->name) < 0;
  }
  bool operator()(const std::unique_ptr<DeviceDescription>& a, std::string_view b) const {
    return CompareNoCase(a->name, b) < 0;
  }
  bool operator()(std::string_view a, const std::unique_ptr<DeviceDescription>& b) const {
    return CompareNoCase(a, b->name) < 0;
  }
};
using EntryList = std::multiset<std::unique_ptr<DeviceDescription>, EntryOrder>;

class DeviceCatalogue {
 public:
  DeviceCatalogue();
  ~DeviceCatalogue();
  DeviceCatalogue(const DeviceCatalogue&) = delete;
  DeviceCatalogue& operator=(const DeviceCatalogue&) = delete;
  DeviceCatalogue(DeviceCatalogue&&) noexcept;
  DeviceCatalogue& operator=(DeviceCatalogue&&) noexcept;

  // The registered file of that name (case-insensitive), created when new.
  const CatalogueFile* RegisterFile(std::string_view name);
  // The manufacturer whose display name equals the text up to the first '|', created with
  // all '|'-separated alternatives when new (an existing one gains no alternatives).
  const ManufacturerEntry* RegisterManufacturer(std::string_view text);

  // Inserts the entry before the first one whose name is not below it and returns it; `next`
  // receives the entry it was placed before (null at the end of the list).
  DeviceDescription* InsertEntry(std::unique_ptr<DeviceDescription> entry, DeviceDescription** next);
  // Takes a parallel description at the end of the list.
  ParallelDeviceRecord* AddParallelDriver(std::unique_ptr<ParallelDeviceRecord> driver);
  void SetGenericNand(const DeviceDescription* entry) { genericNand_ = entry; }

  // Lookups, first match in list order.
  // The serial block of the serial entry of that name.
  [[nodiscard]] bool FindSerialDevice(std::string_view name, DataFlashDescription& block) const;
  // "manufacturer:device" (any alternative of the manufacturer); a text without ':' matches
  // the device name alone.
  const DeviceDescription* FindQspiDevice(std::string_view text) const;
  // "manufacturer:pattern" or "pattern" (MatchDeviceName); the object found remembers the part.
  ParallelDeviceRecord* FindParallelDevice(std::string_view text);
  // Identification: manufacturer in bits 16..31, device in bits 0..15, plus the extended
  // identification bytes the device answered.
  const DeviceDescription* FindDeviceById(uint32_t identification, std::span<const uint8_t> idBytes) const;

  // Destroys all content.
  void FreeCatalogue();

  const EntryList& Entries() const { return entries_; }
  const std::vector<std::unique_ptr<ParallelDeviceRecord>>& ParallelDrivers() const { return parallelDrivers_; }
  const std::vector<std::unique_ptr<CatalogueFile>>& Files() const { return files_; }
  const std::vector<std::unique_ptr<ManufacturerEntry>>& Manufacturers() const { return manufacturers_; }
  const DeviceDescription* GenericNand() const { return genericNand_; }

 private:
  std::vector<std::unique_ptr<ParallelDeviceRecord>> parallelDrivers_;  // file order
  std::vector<std::unique_ptr<CatalogueFile>> files_;                   // sorted by name
  EntryList entries_;
  std::vector<std::unique_ptr<ManufacturerEntry>> manufacturers_;  // sorted by display name
  const DeviceDescription* genericNand_ = nullptr;
};

// Scans every *.TDF file of the folder into the catalogue (emptied first). Messages are
// appended to `errorText`; true when every file parsed without one. Without any TDF file:
// "No TDF Files in <folder>", nothing loaded.
[[nodiscard]] bool LoadDriverFolder(DeviceCatalogue& catalogue, const std::string& folder, std::string& errorText);

// Adds the devices of one parsed description file (named `fileName`, without folder) to the
// catalogue; its messages are appended to `errorText` framed as "Error(s) in <file>:". True
// when the file gave no message; false too for a document without sections (nothing added).
[[nodiscard]] bool AddDescriptionDocument(DeviceCatalogue& catalogue, std::string_view fileName,
                                          const IniDocument& document, std::string& errorText);

// "32M", "32Mib", "4K", "512": a decimal number, an optional factor K/M/G (1024-based) and an
// optional "ib"; in bits for DeviceSize. False for 0, for anything else behind, and for
// values beyond 32 bits (which would wrap into a wrong size).
[[nodiscard]] bool ParseDeviceSize(std::string_view text, uint32_t& value);
// DeviceSize of a device section in bytes; appends "<section>: Missing DeviceSize" or
// "<section>: Invalid DeviceSize <value>" (no line end) on failure.
[[nodiscard]] bool ReadDeviceSize(const IniSection& section, uint32_t& sizeBytes, std::string& errorText);

// Case-insensitive; '*' matches one character, a final '*' the rest (at least one character).
bool MatchDeviceName(std::string_view name, std::string_view pattern);

// Type text of the device list: "par. NOR", "DataFlash", "(Q)SPI NOR", "NAND", "[unknown]".
std::string_view FamilyText(int32_t family);

}  // namespace tessaro
