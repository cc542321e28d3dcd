#include "sim/devices/QspiFlashDevice.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace tessaro::sim {

namespace {

constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kReadId = 0x9F;
constexpr uint8_t kStatus = 0x05;
constexpr uint8_t kFlagStatus = 0x70;
constexpr uint8_t kDataFlashStatus = 0xD7;

}  // namespace

QspiFlashDevice::QspiFlashDevice(const DeviceDescription& d, const QspiFlashOptions& o)
    : description(d.qspi), memory(d.qspi.sizeBytes, 0xFF), options(o) {
  id_ = {static_cast<uint8_t>(description.manufacturerId),
         static_cast<uint8_t>(description.deviceId >> 8),
         static_cast<uint8_t>(description.deviceId & 0xFF),
         0x00,
         o.idByte4,
         0x00,
         0x00,
         0x00};
  // Which register holds which byte of the configuration value: the read scripts say it.
  for (const QspiConfig* config : {&description.config, &description.singleConfig}) {
    for (const ScriptCommand& command : config->readScript) {
      if (command.kind != SCRIPT_READ || command.count < 2) continue;
      for (int i = 1; i < command.count && i < kScriptMaxParams; ++i) {
        if (command.params[i] >= kScriptPlaceholder) {
          bytePosition_[static_cast<uint8_t>(command.params[0])] =
              static_cast<uint8_t>((command.params[i] - kScriptPlaceholder) & 3);
        }
      }
    }
  }
  for (const auto& [opcode, position] : bytePosition_) {
    uint8_t value = 0;
    if (o.configured) {
      for (const QspiConfig* config : {&description.config, &description.singleConfig})
        value = static_cast<uint8_t>(value | ((config->expected & config->mask) >> (8 * position)));
    }
    if (opcode == kStatus) {
      statusBits_ = static_cast<uint8_t>(value & 0xFC);
    } else {
      registers_[opcode] = value;
    }
  }
}

uint32_t QspiFlashDevice::ConfigurationValue() const {
  uint32_t value = 0;
  for (const auto& [opcode, position] : bytePosition_) {
    const uint8_t byte = opcode == kStatus ? statusBits_ : registers_.at(opcode);
    value |= static_cast<uint32_t>(byte) << (8 * position);
  }
  return value;
}

uint8_t QspiFlashDevice::NonVolatileRegister(size_t index) const {
  if (index >= bytePosition_.size()) return 0xFF;
  const uint8_t opcode = std::next(bytePosition_.begin(), static_cast<std::ptrdiff_t>(index))->first;
  return opcode == kStatus ? statusBits_ : registers_.at(opcode);
}

void QspiFlashDevice::SetNonVolatileRegister(size_t index, uint8_t value) {
  if (index >= bytePosition_.size()) return;
  const uint8_t opcode = std::next(bytePosition_.begin(), static_cast<std::ptrdiff_t>(index))->first;
  if (opcode == kStatus) {
    statusBits_ = static_cast<uint8_t>(value & 0xFC);
  } else {
    registers_[opcode] = value;
  }
}

uint8_t QspiFlashDevice::ReadRegister(uint8_t opcode, uint32_t index) {
  const bool busy = Busy();
  switch (opcode) {
    case kReadId: return index < id_.size() ? id_[index] : 0x00;
    case kStatus: return static_cast<uint8_t>(statusBits_ | (busy ? 1 : 0) | (writeEnabled ? 2 : 0));
    case kFlagStatus: return static_cast<uint8_t>((busy ? 0 : 0x80) | errorFlags_);
    case kDataFlashStatus: return static_cast<uint8_t>(busy ? 0 : 0x80);
    default: {
      auto it = registers_.find(opcode);
      if (it == registers_.end()) {
        Violation("read of a register the device does not have");
        return 0xFF;
      }
      return it->second;
    }
  }
}

void QspiFlashDevice::Command(uint8_t opcode) {
  if (Busy()) {
    Violation("command while the device is busy");
    return;
  }
  if (opcode == kWriteEnable) {
    writeEnabled = true;
    return;
  }
  Violation("unknown command");
}

void QspiFlashDevice::WriteRegister(uint8_t opcode, uint32_t index, uint8_t value) {
  if (Busy()) {
    Violation("register write while the device is busy");
    return;
  }
  if (index == 0 && !writeEnabled) {
    Violation("register write without write enable");
    return;
  }
  if (index == 0) writeEnabled = false;
  // The write script's bytes land in the registers its read script names for the same bytes.
  for (const QspiConfig* config : {&description.config, &description.singleConfig}) {
    for (const ScriptCommand& command : config->writeScript) {
      if (command.kind != SCRIPT_WRITE || command.params[0] != opcode || static_cast<int>(index) + 1 >= command.count)
        continue;
      const uint16_t param = command.params[index + 1];
      if (param < kScriptPlaceholder) continue;
      const uint8_t position = static_cast<uint8_t>((param - kScriptPlaceholder) & 3);
      for (const auto& [readOpcode, readPosition] : bytePosition_) {
        if (readPosition != position) continue;
        if (readOpcode == kStatus) {
          statusBits_ = static_cast<uint8_t>(value & 0xFC);
        } else {
          registers_[readOpcode] = value;
        }
        ++configurationWrites;
        StartBusy(std::chrono::milliseconds(0));
        return;
      }
    }
  }
  Violation("write of a register the device does not have");
}

void QspiFlashDevice::ProgramByte(uint32_t address, uint8_t value, bool first) {
  if (first) {
    programAllowed_ = false;
    if (Busy()) {
      Violation("page program while the device is busy");
      return;
    }
    if (!writeEnabled) {
      Violation("page program without write enable");
      return;
    }
    writeEnabled = false;
    programAllowed_ = true;
    ++pagesProgrammed;
    if (options.reportErrors) errorFlags_ = 0x10;
    StartBusy(options.programBusy);
  }
  if (!programAllowed_ || options.reportErrors) return;
  if (address >= memory.size()) {
    Violation("page program beyond the end of the device");
    return;
  }
  memory[address] = static_cast<uint8_t>(memory[address] & value);
}

uint32_t QspiFlashDevice::EraseUnit() const {
  if (description.eraseUnit == ERASE_UNIT_SPANSION) return options.idByte4 == 1 ? 0x10000 : 0x40000;
  return description.eraseUnit == 0 ? 0x10000 : description.eraseUnit;
}

void QspiFlashDevice::EraseAt(uint8_t opcode, uint32_t address) {
  if (Busy()) {
    Violation("erase while the device is busy");
    return;
  }
  if (!writeEnabled) {
    Violation("erase without write enable");
    return;
  }
  if (opcode != description.eraseSectorCmd) Violation("erase opcode the description does not name");
  writeEnabled = false;
  const uint32_t unit = EraseUnit();
  const uint32_t start = address - address % unit;
  if (start >= memory.size()) {
    Violation("erase beyond the end of the device");
    return;
  }
  ++sectorsErased;
  if (options.reportErrors) {
    errorFlags_ = 0x20;
  } else if (!options.eraseFails) {
    std::fill_n(memory.begin() + start, std::min<size_t>(unit, memory.size() - start), uint8_t{0xFF});
  }
  StartBusy(options.eraseBusy);
}

}  // namespace tessaro::sim
