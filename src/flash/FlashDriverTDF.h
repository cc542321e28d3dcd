// The parallel NOR driver: a device family described by a parallel *.TDF file. Every parallel
// description file of the drivers folder becomes one description record in the device
// catalogue; the working driver of a programming job is a FlashDriverTDF made from the record
// a board names.
#pragma once

#include <cstdint>
#include <string>

#include "definitions/ParallelDescriptions.h"
#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverTDF : public FlashDriver {
 public:
  FlashDriverTDF() = default;
  // A driver for the described device family, with the part the record's lookup chose.
  explicit FlashDriverTDF(const ParallelDeviceRecord& record)
      : description(record.description), selectedPart(record.selectedPart) {
    ready = true;
  }
  FlashDriverTDF(const FlashDriverTDF&) = default;
  FlashDriverTDF& operator=(const FlashDriverTDF&) = default;

  uint32_t ManufacturerId() const override;
  std::string ManufacturerName() const override;
  uint32_t DeviceId() const override;
  std::string DeviceName() const override;  // none: always empty
  uint32_t DeviceSize() const override;

  // Common operations: the parallel device work of FlashDriverPAR.h (parallel_flash::CheckDevice,
  // Erase, Program, Verify) on this object.
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Verify(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;
  [[nodiscard]] bool FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) override;

  // Empties the description and every runtime field.
  void Reset();

  // The part chosen by the last identification or lookup, or null.
  const PartEntry* SelectedPart() const;
  void SelectPart(int index) { selectedPart = index; }

  ParallelFlashDescription description;
  // Runtime state of the identified device.
  uint16_t cfiValid = 0;
  uint32_t pageWords = 0;
  bool uploaded = false;
  int selectedPart = -1;  // index into description.parts; an index survives copying
  int32_t deviceId = 0;
  int32_t sizeWords = 0;
  std::string partName;
  ValuePairList sectorTable;
};

}  // namespace tessaro
