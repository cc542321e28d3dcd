// A parallel NOR flash on the chip's external bus, as the simulated board shows it through an
// address window: autoselect words (with a part's extra identification words), a CFI table,
// the AMD-style unlock/erase/program/write-to-buffer commands with data polling, or the
// Intel-style commands with a status register, block locking and clear-status. Erase and
// program take a few status reads to finish; programming only clears bits.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimDevices.h"

namespace tessaro {
struct ParallelFlashDescription;
}

namespace tessaro::sim {

class SimBoard;

struct NorGeometry {
  bool intelCommands = false;  // status register (Intel) rather than data polling (AMD)
  uint16_t manufacturer = 0;
  uint16_t device = 0;
  std::vector<std::pair<uint16_t, uint16_t>> extraId;  // (autoselect index, value)
  // Erase regions in address order: (block count, block size in words).
  std::vector<std::pair<uint32_t, uint32_t>> regions;
  uint32_t bufferWords = 0;  // write buffer; 0 for none
};

// The geometry of part `partIndex` of a description. Sector-table parts take their table;
// CFI parts take `cfiRegions` and `bufferWords` (their datasheet's CFI, which the
// description does not hold). False with a message when the part does not exist or has no
// geometry.
[[nodiscard]] bool NorGeometryFromDescription(const ParallelFlashDescription& description, size_t partIndex,
                                              std::vector<std::pair<uint32_t, uint32_t>> cfiRegions,
                                              uint32_t bufferWords, NorGeometry& geometry, std::string& error);

class ParallelNorDevice : public SimDeviceModel, public SimMemoryDevice {
 public:
  explicit ParallelNorDevice(NorGeometry geometry);

  uint16_t ReadWord(uint32_t offset) override;
  void WriteWord(uint32_t offset, uint16_t value) override;

  uint32_t sizeWords() const { return static_cast<uint32_t>(array_.size()); }
  const NorGeometry& geometry() const { return geometry_; }
  // The array contents, bypassing commands.
  uint16_t Peek(uint32_t offset) const { return offset < array_.size() ? array_[offset] : 0xFFFF; }
  void Poke(uint32_t offset, uint16_t value) {
    if (offset < array_.size()) array_[offset] = value;
  }
  // Sector index and bounds of an offset.
  uint32_t SectorOf(uint32_t offset) const;
  uint32_t SectorStart(uint32_t sector) const { return sectorStarts_[sector]; }

  // ---- faults ----
  void FailEraseOfSector(uint32_t sector) { failErase_.push_back(sector); }
  void FailProgramAt(uint32_t offset) { failProgram_.push_back(offset); }
  void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
  // Reads a finished erase or program keeps the device busy.
  uint32_t eraseReads = 3;
  uint32_t programReads = 1;

  // Counters for tests.
  uint32_t sectorErases = 0;
  uint32_t wordsProgrammed = 0;

 private:
  enum class Mode { Array, Autoselect, Cfi, Busy, Failed, IntelStatus };
  void AmdWrite(uint32_t offset, uint16_t value);
  void IntelWrite(uint32_t offset, uint16_t value);
  uint16_t BusyRead();
  void StartErase(uint32_t offset);
  // Programs a word; false when it cannot hold the value (a 1 over a 0, or a fault).
  bool ProgramWord(uint32_t offset, uint16_t value);
  void StartOperation(bool ok, uint32_t reads, uint32_t offset, uint16_t data, uint16_t errorBits);
  void BuildCfi();

  NorGeometry geometry_;
  std::vector<uint16_t> array_;
  std::vector<uint32_t> sectorStarts_;  // plus the end
  std::vector<bool> locked_;            // Intel blocks power up locked
  std::array<uint16_t, 128> cfi_{};
  Mode mode_ = Mode::Array;
  // AMD command state: unlock cycles seen, and what the next writes mean.
  int cycle_ = 0;
  bool eraseSetup_ = false;
  bool programNext_ = false;
  // Write buffer: sector, words still to load, loaded (offset, value) pairs.
  bool bufferActive_ = false;
  bool bufferCountNext_ = false;
  uint32_t bufferSector_ = 0;
  uint32_t bufferLeft_ = 0;
  std::vector<std::pair<uint32_t, uint16_t>> buffer_;
  // Intel two-cycle commands.
  uint16_t intelPending_ = 0;
  uint16_t status_ = 0x80;  // Intel status register
  // A running operation.
  uint32_t busyLeft_ = 0;
  bool busyOk_ = true;
  uint32_t busyOffset_ = 0;
  uint16_t busyData_ = 0;
  uint16_t busyErrorBits_ = 0;
  bool toggle_ = false;
  bool stuckBusy_ = false;
  std::vector<uint32_t> failErase_;
  std::vector<uint32_t> failProgram_;
};

// Builds the device and puts it on the board's bus at `windowBase`.
std::shared_ptr<ParallelNorDevice> AttachParallelNor(SimBoard& board, uint32_t windowBase, NorGeometry geometry);

}  // namespace tessaro::sim
