// An ONFI NAND device as the simulated NAND controller drives it: parameter page (signature,
// features with the bus width, manufacturer and model, page and block geometry, address
// cycles), reset, read status, block erase, page program (only clears bits) and page read.
// Erase and program keep the device busy for a few status reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimDevices.h"

namespace tessaro::sim {

struct NandGeometry {
  std::string manufacturer = "SIMNAND";
  std::string model = "SN01G08";
  bool bus16 = false;
  bool onfi = true;           // false: the parameter page has no "ONFI" signature
  uint32_t pageWords = 1024;  // 2 KiB pages
  uint32_t pagesPerBlock = 64;
  uint32_t blocks = 8;
  uint8_t rowCycles = 3;
  uint8_t columnCycles = 2;
};

class NandDevice : public SimDeviceModel {
 public:
  explicit NandDevice(NandGeometry geometry);

  // One copy of the parameter page with its CRC; the device answers kParameterCopies in a row.
  std::array<uint8_t, 256> ParameterPage() const;
  static constexpr uint32_t kParameterCopies = 3;
  void Reset();
  // ONFI status byte: 0x40 ready, 0x20 array ready, 0x01 the last operation failed.
  uint8_t Status();
  void EraseBlock(uint32_t row);
  void ProgramPage(uint32_t row, const std::vector<uint16_t>& data);
  void ReadPage(uint32_t row, std::vector<uint16_t>& data) const;

  const NandGeometry& geometry() const { return geometry_; }
  uint16_t Word(uint32_t index) const { return index < array_.size() ? array_[index] : 0xFFFF; }
  void SetWord(uint32_t index, uint16_t value) {
    if (index < array_.size()) array_[index] = value;
  }
  uint32_t BlockWords() const { return geometry_.pageWords * geometry_.pagesPerBlock; }

  // ---- faults ----
  bool stuckBusy = false;
  bool eraseFails = false;              // an erase that does not take: the block keeps its words
  uint32_t damagedParameterCopies = 0;  // the first copies answered with a wrong CRC
  uint32_t busyReads = 2;
  uint32_t erases = 0;
  uint32_t programs = 0;

 private:
  bool RowValid(uint32_t row);
  NandGeometry geometry_;
  std::vector<uint16_t> array_;
  uint32_t busyLeft_ = 0;
  bool failed_ = false;
};

}  // namespace tessaro::sim
