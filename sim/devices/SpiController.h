// The chip side of the serial flash: the SPI controller's two I/O registers (control at the
// base, data after it) and the select pins the board wires to each device. A pin selects its
// device only once it was made an output and its data bit is at the active level; the pin's
// data register is watched so that every select edge reaches the device.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chips/ChipCatalogue.h"
#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "sim/SimDevices.h"
#include "sim/devices/SpiFlashDevice.h"

namespace tessaro::sim {

// Where a select pin lives. A register above 255 is a target data-memory word.
struct SimSelectPin {
  uint32_t dataRegister = 0;
  uint32_t directionRegister = 0;
  uint8_t bit = 0;
  uint8_t directionBit = 0;
  bool activeHigh = false;
};

// The pin a board's pin setting names on this chip (port pins, SELn, DFCS). False for a pin
// the board cannot wire to a serial flash.
bool SimDecodeSelectPin(const ChipInfo& chip, PinSetting setting, SimSelectPin& pin);

class SpiController : public SimDeviceModel, public SimIoDevice, public SimMemoryDevice {
 public:
  SpiController(SimBoard& board, uint32_t base);

  // Puts a device behind a select pin. True when the pin's data register was not watched yet
  // (the caller then routes that register to the controller).
  bool AddDevice(std::shared_ptr<SpiFlashDevice> device, const SimSelectPin& pin);

  // SimIoDevice: the controller's two registers.
  uint16_t ReadIo(uint32_t index) override;
  void WriteIo(uint32_t index, uint16_t value) override;
  // SimMemoryDevice: the select pins in target data memory (window at kPinMemoryBase).
  uint16_t ReadWord(uint32_t offset) override;
  void WriteWord(uint32_t offset, uint16_t value) override;

  // What target code does on the same wires: drive a device's pin and shift bytes.
  void DrivePin(const SimSelectPin& pin, bool active);
  uint8_t Exchange(uint8_t out);
  bool PinRouted(const SimSelectPin& pin);

  uint32_t base() const { return base_; }
  const std::vector<std::pair<std::shared_ptr<SpiFlashDevice>, SimSelectPin>>& devices() const { return devices_; }

  static constexpr uint32_t kPinMemoryBase = 0x0C000000;
  static constexpr uint32_t kPinMemoryWords = 4;

  // Pin registers are watched through one small block each.
  uint16_t PinWord(uint32_t reg);
  void SetPinWord(uint32_t reg, uint16_t value);

 private:
  void UpdateSelects();

  SimBoard& board_;
  const uint32_t base_;
  const bool nine_;
  uint16_t control_ = 0;
  uint16_t data_ = 0xFFFF;
  std::map<uint32_t, uint16_t> pinWords_;  // watched pin registers and data-memory words
  std::vector<std::pair<std::shared_ptr<SpiFlashDevice>, SimSelectPin>> devices_;
};

// A serial flash put on a simulated board, with what drives it.
struct SerialFlashAttachment {
  std::shared_ptr<SpiFlashDevice> device;
  std::shared_ptr<SpiController> controller;
};

// Puts a serial flash of `description` behind the pin `select` of the board's SPI controller
// (created on the first call; pass it back to add a second device) and chains the "PRGDEV DF"
// routines in front of the board's routine handler. Null device when the chip has no SPI
// controller or the pin is not one the board can wire.
SerialFlashAttachment AttachSerialFlash(SimBoard& board, const DataFlashDescription& description, PinSetting select,
                                        const SpiFlashOptions& options,
                                        std::shared_ptr<SpiController> controller = nullptr);

}  // namespace tessaro::sim
