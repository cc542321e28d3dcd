#include "sim/devices/NandDevice.h"

#include <algorithm>

#include "common/Text.h"
#include "flash/FlashDriverNAND.h"

namespace tessaro::sim {

namespace {

void PutText(std::array<uint8_t, 256>& page, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i) page[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

void Put16(std::array<uint8_t, 256>& page, size_t at, uint32_t value) {
  page[at] = value & 0xFF;
  page[at + 1] = (value >> 8) & 0xFF;
}

}  // namespace

NandDevice::NandDevice(NandGeometry geometry) : geometry_(std::move(geometry)) {
  array_.assign(static_cast<size_t>(geometry_.pageWords) * geometry_.pagesPerBlock * geometry_.blocks, 0xFFFF);
}

std::array<uint8_t, 256> NandDevice::ParameterPage() const {
  std::array<uint8_t, 256> page{};
  if (geometry_.onfi) {
    page[0] = 'O';
    page[1] = 'N';
    page[2] = 'F';
    page[3] = 'I';
  } else {
    page[0] = 0xFF;
    page[1] = 0xFF;
  }
  Put16(page, 4, 0x0002);                             // revision 1.0
  Put16(page, 6, geometry_.bus16 ? 0x0001 : 0x0000);  // features
  PutText(page, 32, 12, geometry_.manufacturer);
  PutText(page, 44, 20, geometry_.model);
  const uint32_t pageBytes = geometry_.pageWords * 2;
  Put16(page, 80, pageBytes & 0xFFFF);
  Put16(page, 82, pageBytes >> 16);
  Put16(page, 84, 64);  // spare bytes
  Put16(page, 92, geometry_.pagesPerBlock & 0xFFFF);
  Put16(page, 96, geometry_.blocks & 0xFFFF);  // blocks per LUN, 32 bits
  Put16(page, 98, geometry_.blocks >> 16);
  page[100] = 1;  // LUNs
  page[101] = static_cast<uint8_t>(geometry_.rowCycles | (geometry_.columnCycles << 4));
  Put16(page, 254, nand::OnfiCrc16(page.data(), 254));
  return page;
}

void NandDevice::Reset() {
  busyLeft_ = 0;
  failed_ = false;
}

uint8_t NandDevice::Status() {
  if (stuckBusy) return 0x00;
  if (busyLeft_ > 0) {
    --busyLeft_;
    return 0x00;
  }
  return static_cast<uint8_t>(0x60 | (failed_ ? 0x01 : 0x00));
}

bool NandDevice::RowValid(uint32_t row) {
  if (row < geometry_.pagesPerBlock * geometry_.blocks) return true;
  Violation("row " + Hex(row) + " beyond the device");
  return false;
}

void NandDevice::EraseBlock(uint32_t row) {
  if (busyLeft_ > 0 || stuckBusy) Violation("erase while busy");
  if (!RowValid(row)) return;
  const size_t first = static_cast<size_t>(row / geometry_.pagesPerBlock) * BlockWords();
  if (!eraseFails) {
    std::fill(array_.begin() + static_cast<ptrdiff_t>(first),
              array_.begin() + static_cast<ptrdiff_t>(first + BlockWords()), 0xFFFF);
  }
  ++erases;
  busyLeft_ = busyReads;
  failed_ = false;
}

void NandDevice::ProgramPage(uint32_t row, const std::vector<uint16_t>& data) {
  if (busyLeft_ > 0 || stuckBusy) Violation("program while busy");
  if (!RowValid(row)) return;
  const size_t first = static_cast<size_t>(row) * geometry_.pageWords;
  failed_ = false;
  for (uint32_t i = 0; i < geometry_.pageWords && i < data.size(); ++i) {
    uint16_t& cell = array_[first + i];
    if ((data[i] & ~cell & 0xFFFF) != 0) failed_ = true;  // a 1 over a 0 does not come back
    cell = static_cast<uint16_t>(cell & data[i]);
  }
  ++programs;
  busyLeft_ = busyReads;
}

void NandDevice::ReadPage(uint32_t row, std::vector<uint16_t>& data) const {
  data.assign(geometry_.pageWords, 0xFFFF);
  if (row >= geometry_.pagesPerBlock * geometry_.blocks) return;
  std::copy_n(array_.begin() + static_cast<ptrdiff_t>(row) * geometry_.pageWords, geometry_.pageWords, data.begin());
}

}  // namespace tessaro::sim
