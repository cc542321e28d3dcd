// Serial DataFlash / SPI flash / serial EEPROM on the chip's SPI controller, selected by the
// board's chip-select pin lists and programmed page by page through "PRGDEV DF".
//
// The host routes the select pins and checks the device's identity and status itself with
// single SPI transfers (I/O register pokes); page program, page read and the quick-verify
// checksum run in the uploaded target driver from the parameter block in registers 64..139.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "flash/DriverImage.h"
#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
struct ChipInfo;
struct ImageBuffer;

// One single-bit write: bits 0..3 the bit, 8 the level, 9 (select pins only) the idle level,
// 14 write without reading, 15 valid.
using PinCode = uint16_t;
inline constexpr PinCode kPinValid = 0x8000;
inline constexpr PinCode kPinNoRead = 0x4000;
inline constexpr PinCode kPinIdleHigh = 0x0200;
inline constexpr PinCode kPinLevel = 0x0100;

// Target-side DataFlash routines (entries of "PRGDEV DF").
inline constexpr uint32_t kDfProgramPageEntry = 3;
inline constexpr uint32_t kDfReadPageEntry = 4;
// Words of the parameter block that describe the select pins.
inline constexpr uint32_t kDfBlockFirstPin = 16;
inline constexpr uint32_t kDfBlockPinWords = 4;
// The comparison buffer of Verify: the longest page it takes.
inline constexpr uint32_t kDfMaxVerifyPageWords = 1024;
// The sector a basic SPI flash erases (20h), which the target driver erases before it programs
// the sector's first page.
inline constexpr uint32_t kSpiSectorBytes = 4096;
// Pages summed together when a program run compares the device with the image first.
inline constexpr uint32_t kDfComparePages = 64;
// How long a DataFlash may take to finish its page-size switch before the run gives up.
inline constexpr int kDfPageSwitchTimeoutMs = 2000;

// One decoded pin setting: where its output bit lives and the two writes that route it.
// A register number above 255 is a target data-memory address.
struct ChipSelectPin {
  uint32_t dataRegister = 0;
  PinCode code = 0;
  uint32_t selectRegister = 0;
  PinCode selectCode = 0;
  uint32_t directionRegister = 0;
  PinCode directionCode = 0;
};

// Decodes one pin setting for the chip's pin rules; false with the reason appended.
[[nodiscard]] bool DecodePinSetting(const ChipInfo& chip, PinSetting setting, ChipSelectPin& out,
                                    std::string& errorText);

class FlashDriverDF : public FlashDriver {
 public:
  uint32_t ManufacturerId() const override { return 0; }
  std::string ManufacturerName() const override { return {}; }
  uint32_t DeviceId() const override { return 0; }
  std::string DeviceName() const override { return {}; }
  uint32_t DeviceSize() const override { return DataFlashHeldBytes(description) / 2; }

  // Takes the description and the board's select lists, decoded for `chip`. False with the
  // reason in `errorText`; `ready` then stays false.
  [[nodiscard]] bool SetDevice(const DataFlashDescription& device, const PinList& enable, const PinList& disable,
                               const ChipInfo* chip, std::string& errorText);
  void Reset();
  // Program (with the quick verify through the target checksum) and verify page by page from
  // the session's current position; they report through the session.
  [[nodiscard]] bool Program(FlashDriverIf& session, ImageBuffer& image);
  [[nodiscard]] bool Verify(FlashDriverIf& session, ImageBuffer& image) override;
  // Looks for a DataFlash selected by P7.15 and returns its catalogue entry, or null with the
  // reason appended.
  const DeviceDescription* AutoDetect(FlashDriverIf& session, const DeviceCatalogue& catalogue, std::string& errorText);

  // Common operations (see FlashDriver).
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;
  [[nodiscard]] bool FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) override;
  // Erases the erase units `words` words from the current position overlap (see EraseUnitWords)
  // through the target driver's page program, and checks each unit by its checksum.
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;
  // What one erase takes, in words, after Prepare: a page of a DataFlash (its page program
  // erases the page first) or of an EEPROM (writes replace bytes); a 4 KiB sector of a basic
  // SPI flash, which the target driver erases when the sector's first page is programmed.
  uint32_t EraseUnitWords() const;

  // Pin and SPI work of a run (public for the board tests).
  void WritePinBit(FlashDriverIf& session, uint32_t reg, PinCode code);
  void RoutePin(FlashDriverIf& session, const ChipSelectPin& pin);
  void SelectAll(FlashDriverIf& session);
  void DeselectAll(FlashDriverIf& session);
  void SpiSend(FlashDriverIf& session, uint8_t byte);
  uint16_t SpiReceive(FlashDriverIf& session);
  [[nodiscard]] bool Prepare(FlashDriverIf& session, std::string& errorText);
  // Prepare, showing its error text when there is one.
  [[nodiscard]] bool PrepareAndShow(FlashDriverIf& session);
  // Registers 56 and 57: the device page address of the next routine call.
  void AddressPage(FlashDriverIf& session, uint32_t a);

  std::vector<ChipSelectPin> selectList;
  uint16_t spiControl = 0;
  uint32_t spiBase = 0;
  uint32_t pageShift = 0;
  PinList enableList;
  PinList disableList;
  DataFlashDescription description;
  DriverImage image;

 private:
  // Reads the JEDEC identification: the first two 16-bit receives.
  void ReadIdentification(FlashDriverIf& session, uint16_t& id1, uint16_t& id2);
  uint16_t ReadStatus(FlashDriverIf& session);
  [[nodiscard]] bool CheckStatus9xxx(FlashDriverIf& session);
  [[nodiscard]] bool CheckPageBoundary(FlashDriverIf& session, uint32_t pageWords);
  // What Program and Verify walk: page words, start position, data buffer, image range.
  struct PageRun {
    uint32_t n = 0, p = 0, buffer = 0;
    int32_t first = 0, end = 0;
  };
  [[nodiscard]] bool BeginPageRun(FlashDriverIf& session, const ImageBuffer& img, bool verify, PageRun& run);
  // One page of a run: device page address, image index, words of the image in the page.
  using PageStep = std::function<bool(uint32_t a, int32_t at, uint32_t w)>;
  // Walks the run's pages in order, each with the session's failure address at its first word;
  // false as soon as a step is.
  [[nodiscard]] bool ForEachPage(FlashDriverIf& session, const PageRun& run, const PageStep& step);
  // Has the target add the w words of the page at device address a to its running checksum.
  [[nodiscard]] bool SumPage(FlashDriverIf& session, uint32_t a, uint32_t w);
  bool Is9xxx(FlashDriverIf& session) const;
};

}  // namespace tessaro
