// Plug-in points of the simulated board for device models (external flash, controllers,
// target-side driver calls). A model attaches behind an address window, a block of I/O
// registers or a chip select of the SPI pins; the monitor only routes accesses to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::sim {

class SimBoard;

// What a device model saw that a correct host never does (a command the device would ignore or
// take wrongly, a write it does not allow in its state). A model records each one as it
// happens; the board gathers them from every attached model into its own list.
class SimDeviceModel {
 public:
  virtual ~SimDeviceModel() = default;
  const std::vector<std::string>& violations() const { return violations_; }
  void ClearViolations() { violations_.clear(); }

 protected:
  void Violation(std::string text) { violations_.push_back(std::move(text)); }

 private:
  std::vector<std::string> violations_;
};

// A device seen through a window of target word addresses (parallel NOR, a NAND data window,
// a QSPI memory window). Offsets are relative to the window's base.
class SimMemoryDevice {
 public:
  virtual ~SimMemoryDevice() = default;
  virtual uint16_t ReadWord(uint32_t offset) = 0;
  virtual void WriteWord(uint32_t offset, uint16_t value) = 0;
};

// A controller behind a block of I/O registers (QSPI, NAND, SPI controllers). `index` is
// relative to the first register of the block.
class SimIoDevice {
 public:
  virtual ~SimIoDevice() = default;
  virtual uint16_t ReadIo(uint32_t index) = 0;
  virtual void WriteIo(uint32_t index, uint16_t value) = 0;
};

// A device on the SPI pins behind one select line (DataFlash, SPI NOR).
class SimSpiDevice {
 public:
  virtual ~SimSpiDevice() = default;
  virtual void Select(bool selected) = 0;
  // One byte out on MOSI, the byte shifted in on MISO.
  virtual uint8_t Transfer(uint8_t out) = 0;
};

// Runs a target routine called with command 9 (an uploaded driver image, a ROM entry).
// Returns the one-byte answer, or nullopt when the address is not this handler's.
class SimRoutineHandler {
 public:
  virtual ~SimRoutineHandler() = default;
  virtual std::optional<uint8_t> Call(SimBoard& board, uint16_t address) = 0;
};

}  // namespace tessaro::sim
