#include "sim/devices/ParallelNorDevice.h"

#include <algorithm>
#include <bit>

#include "common/Text.h"
#include "definitions/ParallelDescriptions.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr uint32_t kUnlockMask = 0x7FF;  // unlock cycles decode the low address lines only
constexpr uint16_t kStatusReady = 0x80;
constexpr uint16_t kStatusEraseError = 0x20;
constexpr uint16_t kStatusProgramError = 0x10;
constexpr uint16_t kStatusLocked = 0x02;
constexpr uint16_t kPollingTimeLimit = 0x20;  // DQ5
constexpr uint16_t kToggle = 0x40;            // DQ6

bool Contains(const std::vector<uint32_t>& list, uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool NorGeometryFromDescription(const ParallelFlashDescription& description, size_t partIndex,
                                std::vector<std::pair<uint32_t, uint32_t>> cfiRegions, uint32_t bufferWords,
                                NorGeometry& geometry, std::string& error) {
  if (partIndex >= description.parts.size()) {
    error = "no part " + std::to_string(partIndex) + " in the description";
    return false;
  }
  const PartEntry& part = description.parts[partIndex];
  geometry = NorGeometry{};
  geometry.intelCommands = description.statusType == 1;
  geometry.manufacturer = static_cast<uint16_t>(description.manufacturerId);
  geometry.device = IsCfiKind(part.id.mainId) ? 0 : static_cast<uint16_t>(part.id.mainId);
  for (int32_t i = 0; i < part.id.extraCount && i < kPartIdMaxExtra; ++i) {
    const PartIdWord& word = part.id.extra[static_cast<size_t>(i)];
    geometry.extraId.emplace_back(word.index, word.value);
  }
  if (part.kind == PART_SECTORS) {
    const int32_t entries = part.sectors.AddressCount();
    for (int32_t i = 0; i + 1 < entries; ++i) {
      const auto words = static_cast<uint32_t>(part.sectors.Address(i + 1) - part.sectors.Address(i)) * 1024;
      if (!geometry.regions.empty() && geometry.regions.back().second == words) {
        ++geometry.regions.back().first;
      } else {
        geometry.regions.emplace_back(1, words);
      }
    }
    geometry.bufferWords = bufferWords;
  } else {
    geometry.regions = std::move(cfiRegions);
    geometry.bufferWords = bufferWords;
  }
  if (geometry.regions.empty()) {
    error = "part " + part.name + " has no sector geometry";
    return false;
  }
  return true;
}

ParallelNorDevice::ParallelNorDevice(NorGeometry geometry) : geometry_(std::move(geometry)) {
  uint32_t offset = 0;
  for (const auto& [count, words] : geometry_.regions) {
    for (uint32_t i = 0; i < count; ++i) {
      sectorStarts_.push_back(offset);
      offset += words;
    }
  }
  sectorStarts_.push_back(offset);
  array_.assign(offset, 0xFFFF);
  locked_.assign(sectorStarts_.size() - 1, geometry_.intelCommands);
  BuildCfi();
}

void ParallelNorDevice::BuildCfi() {
  cfi_.fill(0);
  cfi_[0x10] = 'Q';
  cfi_[0x11] = 'R';
  cfi_[0x12] = 'Y';
  cfi_[0x13] = geometry_.intelCommands ? 0x01 : 0x02;  // primary command set
  cfi_[0x15] = 0x40;
  cfi_[0x27] = static_cast<uint16_t>(std::bit_width(array_.size() * 2) - 1);
  cfi_[0x28] = 0x01;  // x16 interface
  if (geometry_.bufferWords > 0) cfi_[0x2A] = static_cast<uint16_t>(std::bit_width(geometry_.bufferWords * 2u) - 1);
  const size_t regions = std::min<size_t>(geometry_.regions.size(), 4);
  cfi_[0x2C] = static_cast<uint16_t>(regions);
  for (size_t i = 0; i < regions; ++i) {
    const uint32_t count = geometry_.regions[i].first - 1;
    const uint32_t units = geometry_.regions[i].second / 128;  // 256-byte units
    cfi_[0x2D + 4 * i] = count & 0xFF;
    cfi_[0x2E + 4 * i] = (count >> 8) & 0xFF;
    cfi_[0x2F + 4 * i] = units & 0xFF;
    cfi_[0x30 + 4 * i] = (units >> 8) & 0xFF;
  }
}

uint32_t ParallelNorDevice::SectorOf(uint32_t offset) const {
  const auto it = std::upper_bound(sectorStarts_.begin(), sectorStarts_.end(), offset);
  return static_cast<uint32_t>(std::max<ptrdiff_t>(0, it - sectorStarts_.begin() - 1));
}

uint16_t ParallelNorDevice::ReadWord(uint32_t offset) {
  if (offset >= array_.size()) {
    Violation("read beyond the device at offset " + Hex(offset));
    return 0xFFFF;
  }
  if (mode_ == Mode::Busy) {
    if (stuckBusy_ || busyLeft_ > 0) {
      if (busyLeft_ > 0 && !stuckBusy_) --busyLeft_;
      toggle_ = !toggle_;
      if (geometry_.intelCommands) return 0x00;
      return static_cast<uint16_t>((~busyData_ & 0x80) | (toggle_ ? kToggle : 0));
    }
    if (geometry_.intelCommands) {
      if (!busyOk_) status_ |= busyErrorBits_;
      mode_ = Mode::IntelStatus;
    } else {
      mode_ = busyOk_ ? Mode::Array : Mode::Failed;
    }
  }
  switch (mode_) {
    case Mode::Autoselect: {
      const uint32_t index = offset & 0x3F;
      if (index == 0) return geometry_.manufacturer;
      if (index == 1) return geometry_.device;
      for (const auto& [at, value] : geometry_.extraId)
        if (at == index) return value;
      return 0;
    }
    case Mode::Cfi: return cfi_[offset & 0x7F];
    case Mode::IntelStatus: return status_;
    case Mode::Failed:
      toggle_ = !toggle_;
      return static_cast<uint16_t>((~busyData_ & 0x80) | (toggle_ ? kToggle : 0) | kPollingTimeLimit);
    default: return array_[offset];
  }
}

void ParallelNorDevice::WriteWord(uint32_t offset, uint16_t value) {
  if (offset >= array_.size()) {
    Violation("write beyond the device at offset " + Hex(offset));
    return;
  }
  if (mode_ == Mode::Busy && (stuckBusy_ || busyLeft_ > 0)) {
    // A reset to read array is ignored while an operation runs; anything else is a host
    // fault, except the retries a host makes after a device that hung let it time out.
    if (value != 0xF0 && value != 0xFF && !stuckBusy_)
      Violation("write of " + Hex(value) + " while busy at " + Hex(offset));
    return;
  }
  if (mode_ == Mode::Busy) (void)ReadWord(offset);  // the operation ended: settle its mode
  if (geometry_.intelCommands) {
    IntelWrite(offset, value);
  } else {
    AmdWrite(offset, value);
  }
}

void ParallelNorDevice::StartOperation(bool ok, uint32_t reads, uint32_t offset, uint16_t data, uint16_t errorBits) {
  mode_ = Mode::Busy;
  busyLeft_ = reads;
  busyOk_ = ok;
  busyOffset_ = offset;
  busyData_ = data;
  busyErrorBits_ = errorBits;
}

void ParallelNorDevice::StartErase(uint32_t offset) {
  const uint32_t sector = SectorOf(offset);
  bool ok = !Contains(failErase_, sector);
  uint16_t errors = kStatusEraseError;
  if (geometry_.intelCommands && locked_[sector]) {
    ok = false;
    errors |= kStatusLocked;
  }
  if (ok) {
    std::fill(array_.begin() + sectorStarts_[sector], array_.begin() + sectorStarts_[sector + 1], 0xFFFF);
    ++sectorErases;
  }
  StartOperation(ok, eraseReads, offset, 0xFFFF, errors);
}

bool ParallelNorDevice::ProgramWord(uint32_t offset, uint16_t value) {
  if (Contains(failProgram_, offset)) return false;
  const uint16_t now = static_cast<uint16_t>(array_[offset] & value);
  array_[offset] = now;
  ++wordsProgrammed;
  // A word of all ones programs nothing; any other 1 over a 0 cannot be reached.
  return value == 0xFFFF || now == value;
}

void ParallelNorDevice::AmdWrite(uint32_t offset, uint16_t value) {
  const uint32_t low = offset & kUnlockMask;
  if (programNext_) {
    programNext_ = false;
    StartOperation(ProgramWord(offset, value), programReads, offset, value, 0);
    return;
  }
  if (bufferActive_) {
    if (bufferCountNext_) {
      bufferCountNext_ = false;
      bufferLeft_ = static_cast<uint32_t>(value) + 1;
      if (SectorOf(offset) != bufferSector_ || bufferLeft_ > geometry_.bufferWords) {
        Violation("write-buffer count " + Hex(value) + " at " + Hex(offset) + " does not fit the buffer");
        bufferActive_ = false;
        mode_ = Mode::Failed;
      }
      return;
    }
    if (bufferLeft_ > 0) {
      const uint32_t page = geometry_.bufferWords;
      if (SectorOf(offset) != bufferSector_ || (!buffer_.empty() && offset / page != buffer_.front().first / page)) {
        Violation("write-buffer load at " + Hex(offset) + " leaves the buffer's page");
        bufferActive_ = false;
        mode_ = Mode::Failed;
        return;
      }
      buffer_.emplace_back(offset, value);
      --bufferLeft_;
      return;
    }
    bufferActive_ = false;
    if (value != 0x29 || SectorOf(offset) != bufferSector_) {
      Violation("write-buffer confirm expected at the sector, got " + Hex(value) + " at " + Hex(offset));
      mode_ = Mode::Failed;
      return;
    }
    bool ok = !buffer_.empty();
    for (const auto& [at, word] : buffer_) ok = ProgramWord(at, word) && ok;
    const auto& last = buffer_.empty() ? std::pair<uint32_t, uint16_t>{offset, 0} : buffer_.back();
    StartOperation(ok, programReads + 1, last.first, last.second, 0);
    return;
  }
  if (value == 0xF0) {
    mode_ = Mode::Array;
    cycle_ = 0;
    eraseSetup_ = false;
    return;
  }
  if (mode_ == Mode::Failed) {
    Violation("command " + Hex(value) + " before the failed operation was reset");
    return;
  }
  if (cycle_ == 0 && value == 0x98 && low == 0x55) {
    mode_ = Mode::Cfi;
    return;
  }
  if (cycle_ == 0 && low == 0x555 && value == 0xAA) {
    cycle_ = 1;
    return;
  }
  if (cycle_ == 1 && low == 0x2AA && value == 0x55) {
    cycle_ = 2;
    return;
  }
  if (cycle_ == 2) {
    cycle_ = 0;
    if (eraseSetup_) {
      eraseSetup_ = false;
      if (value == 0x30) {
        StartErase(offset);
        return;
      }
    } else if (low == 0x555 && value == 0x90) {
      mode_ = Mode::Autoselect;
      return;
    } else if (low == 0x555 && value == 0xA0) {
      programNext_ = true;
      return;
    } else if (low == 0x555 && value == 0x80) {
      eraseSetup_ = true;
      return;
    } else if (value == 0x25 && geometry_.bufferWords > 0) {
      bufferActive_ = true;
      bufferCountNext_ = true;
      bufferSector_ = SectorOf(offset);
      buffer_.clear();
      return;
    }
  }
  // A write that fits no command sequence returns the state machine to reading the array, as
  // on the real part (the link's memory probe at connect does this to a flash at its base).
  cycle_ = 0;
  eraseSetup_ = false;
}

void ParallelNorDevice::IntelWrite(uint32_t offset, uint16_t value) {
  const uint32_t sector = SectorOf(offset);
  if (intelPending_ != 0) {
    const uint16_t setup = intelPending_;
    intelPending_ = 0;
    mode_ = Mode::IntelStatus;
    switch (setup) {
      case 0x60:
        if (value == 0xD0 || value == 0x01) {
          locked_[sector] = value == 0x01;
          return;
        }
        break;
      case 0x20:
        if (value == 0xD0) {
          StartErase(offset);
          return;
        }
        break;
      default: {  // 0x40, 0x10: word program
        const bool locked = locked_[sector];
        const bool ok = !locked && ProgramWord(offset, value);
        StartOperation(ok, programReads, offset, value,
                       static_cast<uint16_t>(kStatusProgramError | (locked ? kStatusLocked : 0)));
        return;
      }
    }
    Violation("command " + Hex(setup) + " not confirmed (got " + Hex(value) + ")");
    status_ |= kStatusEraseError | kStatusProgramError;
    return;
  }
  switch (value) {
    case 0xFF: mode_ = Mode::Array; return;
    case 0x90: mode_ = Mode::Autoselect; return;
    case 0x98: mode_ = Mode::Cfi; return;
    case 0x70: mode_ = Mode::IntelStatus; return;
    case 0x50: status_ = kStatusReady; return;
    case 0x60:
    case 0x20:
    case 0x40:
    case 0x10: intelPending_ = value; return;
    default: return;  // AMD-style cycles of the identification mean nothing here
  }
}

std::shared_ptr<ParallelNorDevice> AttachParallelNor(SimBoard& board, uint32_t windowBase, NorGeometry geometry) {
  auto device = std::make_shared<ParallelNorDevice>(std::move(geometry));
  std::lock_guard lock(board.mutex());
  board.AttachMemoryWindow(windowBase, device->sizeWords(), device);
  return device;
}

}  // namespace tessaro::sim
