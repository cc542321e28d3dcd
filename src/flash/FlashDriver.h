// The common base of the external flash drivers: which device a driver stands for. Program,
// read and erase are members of each driver class, not of this interface.
#pragma once

#include <cstdint>
#include <string>

namespace tessaro {

class FlashDriver {
 public:
  virtual ~FlashDriver() = default;

  virtual uint32_t ManufacturerId() const = 0;
  virtual std::string ManufacturerName() const = 0;
  virtual uint32_t DeviceId() const = 0;
  // Empty when the driver has no device name to give.
  virtual std::string DeviceName() const = 0;
  // Capacity in 16-bit words (the QSPI driver answers bytes).
  virtual uint32_t DeviceSize() const = 0;

  // The driver has a usable description or a detected device.
  bool ready = false;

 protected:
  FlashDriver() = default;
  FlashDriver(const FlashDriver&) = default;
  FlashDriver& operator=(const FlashDriver&) = default;
};

}  // namespace tessaro
