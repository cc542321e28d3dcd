// A QSPI NOR flash built from a QSPI description: JEDEC identification, a status register
// (busy, write enable), a flag status register, and the configuration registers its
// "CONFIG." scripts read and write (which register a script byte lands in is taken from the
// scripts themselves). Programming only clears bits and needs write enable; erase sets a
// whole erase unit to 0xFF. The chip's QSPI controller (QspiController) drives it byte by byte.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "sim/SimDevices.h"
#include "sim/devices/BusyTime.h"

namespace tessaro::sim {

struct QspiFlashOptions {
  bool configured = false;  // configuration bits already as the description requires
  std::chrono::milliseconds programBusy{0};
  std::chrono::milliseconds eraseBusy{0};
  bool stuckBusy = false;     // the first program or erase never finishes
  bool reportErrors = false;  // program and erase fail and set the error bits of the flag status
  bool eraseFails = false;    // erase commands change nothing and report nothing
  uint8_t idByte4 = 0;        // fifth identification byte (sector architecture on some parts)
};

class QspiFlashDevice : public SimDeviceModel {
 public:
  QspiFlashDevice(const DeviceDescription& description, const QspiFlashOptions& options = {});

  // Register reads by opcode: identification bytes in turn, status, flag status, configuration.
  uint8_t ReadRegister(uint8_t opcode, uint32_t index);
  // Plain commands (write enable) and register writes with their data bytes.
  void Command(uint8_t opcode);
  void WriteRegister(uint8_t opcode, uint32_t index, uint8_t value);
  // One byte of a page program transfer; `first` starts the transfer (write enable is used up).
  void ProgramByte(uint32_t address, uint8_t value, bool first);
  void EraseAt(uint8_t opcode, uint32_t address);
  uint8_t ReadByte(uint32_t address) const { return address < memory.size() ? memory[address] : 0xFF; }
  bool Busy() const { return busy_.Busy(); }
  // The configuration value as the description's read script would assemble it.
  uint32_t ConfigurationValue() const;
  // The non-volatile registers the configuration scripts write, in a fixed order (by read
  // opcode): what a power cycle keeps and a board's state file stores.
  size_t NonVolatileCount() const { return bytePosition_.size(); }
  uint8_t NonVolatileRegister(size_t index) const;
  void SetNonVolatileRegister(size_t index, uint8_t value);

  const QspiDescription description;
  std::vector<uint8_t> memory;
  QspiFlashOptions options;
  bool writeEnabled = false;
  uint64_t pagesProgrammed = 0;
  uint64_t sectorsErased = 0;
  uint32_t configurationWrites = 0;

 private:
  uint32_t EraseUnit() const;
  void StartBusy(std::chrono::milliseconds time) { busy_.Start(time, options.stuckBusy); }

  std::vector<uint8_t> id_;
  std::map<uint8_t, uint8_t> registers_;     // configuration registers by read opcode
  std::map<uint8_t, uint8_t> bytePosition_;  // read opcode -> byte n of the script value
  bool programAllowed_ = false;
  uint8_t statusBits_ = 0;
  uint8_t errorFlags_ = 0;
  BusyTime busy_;
};

}  // namespace tessaro::sim
