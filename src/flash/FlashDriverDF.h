// Serial DataFlash / SPI flash / serial EEPROM on the chip's SPI controller, selected by the
// board's chip-select pin lists and programmed page by page through "PRGDEV DF".
//
// This build carries the interface the programming operations use. Accepting a description
// (and with it `ready`) comes with the driver's device work; until then every serial
// destination is refused before any device work ("No Serial Driver selected!").
#pragma once

#include <cstdint>
#include <string>

#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
struct ChipInfo;
struct ImageBuffer;

class FlashDriverDF : public FlashDriver {
 public:
  uint32_t ManufacturerId() const override { return 0; }
  std::string ManufacturerName() const override { return {}; }
  uint32_t DeviceId() const override { return 0; }
  std::string DeviceName() const override { return {}; }
  uint32_t DeviceSize() const override { return static_cast<uint32_t>(description.sizeBytes) / 2; }

  // Takes the description and the board's select lists. Fails with a reason in `errorText`
  // while serial flash work is not available; `ready` then stays false.
  [[nodiscard]] bool SetDevice(const DataFlashDescription& device, const PinList& enable, const PinList& disable,
                               const ChipInfo* chip, std::string& errorText);
  void Reset();
  // Program and verify from the session's current position; they report through the session.
  // Without a ready device they do nothing and fail.
  [[nodiscard]] bool Program(FlashDriverIf& session, ImageBuffer& image);
  [[nodiscard]] bool Verify(FlashDriverIf& session, ImageBuffer& image) override;

  // Common operations (see FlashDriver).
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;
  // No separate erase (Offers says so): the page program erases as it goes.
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;

  DataFlashDescription description;
  PinList enableList;
  PinList disableList;
};

}  // namespace tessaro
