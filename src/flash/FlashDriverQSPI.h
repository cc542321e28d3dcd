// QSPI NOR flash on one of the chip's QSPI controllers: a single device or a dual pair on both
// byte lanes, or the multi-purpose device. The programming job owns two: one for the QSPI
// destination and one for the MP QSPI destination.
//
// This build carries the interface the programming operations use; device work comes with the
// driver's identification and command sets. Without a selected description CheckDevice
// refuses with "No Driver Selected"; with one it refuses too, saying the device work is not
// available, so nothing is reported as done that was not done.
#pragma once

#include <cstdint>
#include <string>

#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
struct ImageBuffer;

inline constexpr const char* kGenericQspiName = "GENERIC QSPI";

class FlashDriverQSPI : public FlashDriver {
 public:
  uint32_t ManufacturerId() const override { return hasDescription ? description.manufacturerId : 0; }
  std::string ManufacturerName() const override;
  uint32_t DeviceId() const override { return hasDescription ? description.deviceId : 0; }
  std::string DeviceName() const override;
  // Bytes, not words.
  uint32_t DeviceSize() const override { return hasDescription ? description.sizeBytes : 0; }

  // Takes the board's device as the main window applies a board; null leaves the driver as
  // it was.
  void Select(const DeviceDescription* device, bool dual, bool singleBitMode);
  // Back to no description.
  void Clear();

  [[nodiscard]] bool CheckDevice(FlashDriverIf& session, std::string& errorText);
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;
  [[nodiscard]] bool Program(FlashDriverIf& session, ImageBuffer& image);
  [[nodiscard]] bool Verify(FlashDriverIf& session, ImageBuffer& image) override;

  // Common operations (see FlashDriver).
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;

  bool hasDescription = false;
  QspiDescription description;
  std::string manufacturerName;
  std::string deviceName;
  bool dualRequested = false;
  bool singleBit = false;
};

}  // namespace tessaro
