// NAND flash behind the chip's NAND controller, identified through its ONFI parameter page.
// Programming is restricted to block 0.
//
// This build carries the interface the programming operations use; detection comes with the
// driver's controller work. Until then Detect finds no device and the NAND destination is
// refused with "NAND Device not detected!".
#pragma once

#include <cstdint>
#include <string>

#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
struct ImageBuffer;

class FlashDriverNAND : public FlashDriver {
 public:
  uint32_t ManufacturerId() const override { return 0; }
  std::string ManufacturerName() const override { return manufacturer; }
  uint32_t DeviceId() const override { return 0; }
  std::string DeviceName() const override { return model; }
  uint32_t DeviceSize() const override { return 0; }

  [[nodiscard]] bool Detect(FlashDriverIf& session, std::string& errorText);
  [[nodiscard]] bool Program(FlashDriverIf& session, ImageBuffer& image);
  [[nodiscard]] bool Verify(FlashDriverIf& session, ImageBuffer& image) override;

  // Common operations (see FlashDriver).
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;
  // No separate erase: programming erases block 0 itself.
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;

  std::string manufacturer;  // as read from the device
  std::string model;
  uint32_t pagesPerBlock = 0;  // from the parameter page
};

}  // namespace tessaro
