// NAND flash behind the chip's NAND controller, identified through its ONFI parameter page.
// The controller's registers are 32-bit values kept in two target data words each; its page
// buffer shows through a data window. Programming is restricted to block 0 (the boot block);
// verification checksums the page buffer on the target and reads a page back only when its
// checksum differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
struct ImageBuffer;

namespace nand {
inline constexpr uint32_t kRegisterBase = 0x0A008000;
inline constexpr uint32_t kRegStatus = 0;
inline constexpr uint32_t kRegControl = 2;
inline constexpr uint32_t kRegBus = 8;
inline constexpr uint32_t kRegCommand = 10;
inline constexpr uint32_t kRegParameters = 12;
inline constexpr uint32_t kRegRowLow = 14;
inline constexpr uint32_t kRegInterrupt = 24;
inline constexpr uint32_t kRegRowHigh = 26;
inline constexpr uint32_t kBus8 = 0x18000000;
inline constexpr uint32_t kBus16 = 0x18000001;
inline constexpr uint32_t kCmdReset = 0x010000FF;
inline constexpr uint32_t kCmdReadParameterPage = 0x310000EC;
inline constexpr uint32_t kCmdReadStatus = 0x11000070;
inline constexpr uint32_t kCmdEraseBlock = 0x05D00060;  // plus the row address cycles << 29
inline constexpr uint32_t kCmdProgramPage = 0xBD100080;
inline constexpr uint32_t kCmdReadPage = 0xB5300000;
inline constexpr uint32_t kPageTransfer = 0x08684000;
inline constexpr uint32_t kStatusDone = 0x2;
inline constexpr uint32_t kStatusErrors = 0x604;
inline constexpr uint32_t kWindow = 0x40000000;
inline constexpr uint32_t kWindowExt2First = 0x80000000;
inline constexpr uint32_t kPageWords = 1024;
inline constexpr uint32_t kParameterPageWords = 128;
// The parameter page is followed by redundant copies; a part holds at least three in all.
inline constexpr uint32_t kParameterPageCopies = 3;

// CRC-16 of a parameter page as the part stores it in bytes 254..255 (low byte first):
// polynomial 8005h, initial value 4F4Eh, over bytes 0..253, most significant bit first.
constexpr uint16_t OnfiCrc16(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0x4F4E;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}
}  // namespace nand

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
  // Verify of the pages from the current position; `wholePages` checks each page to its end
  // (the erased value past the image), as a page the run has just written must read.
  [[nodiscard]] bool VerifyPages(FlashDriverIf& session, ImageBuffer& image, bool wholePages);

  // Common operations (see FlashDriver).
  bool Offers(FlashOperation operation) const override;
  [[nodiscard]] bool Probe(FlashDriverIf& session, std::string& errorText) override;
  [[nodiscard]] bool Write(FlashDriverIf& session, ImageBuffer& image) override;
  [[nodiscard]] bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) override;
  [[nodiscard]] bool BlankCheck(FlashDriverIf& session, uint32_t words) override;
  [[nodiscard]] bool FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) override;
  // No separate erase: programming erases block 0 itself.
  [[nodiscard]] bool Erase(FlashDriverIf& session, uint32_t words) override;

  // Controller access.
  void WriteRegister(FlashDriverIf& session, uint32_t reg, uint32_t value);
  // Starts the command set up in the registers and waits up to 1000 ms: 0 for success, else
  // the status with bit 15 set (0xE000 controller error, 0xC000 interrupt error, 0x8000 time-out).
  uint32_t RunCommand(FlashDriverIf& session);
  uint32_t Reset(FlashDriverIf& session, bool bus16);
  // Polls the device status until it is ready, 5000 ms at most.
  [[nodiscard]] bool WaitReady(FlashDriverIf& session, bool& cancelled);
  // Has the controller read the page holding target word address `target` into the data window.
  [[nodiscard]] bool LoadPage(FlashDriverIf& session, uint32_t target);

  bool Bus16() const { return (features & 1) != 0; }

  std::string manufacturer;  // ONFI bytes 32..43, trailing spaces removed
  std::string model;         // ONFI bytes 44..63
  uint16_t revision = 0;
  uint16_t features = 0;  // bit 0: 16-bit data bus
  uint16_t optionalCommands = 0;
  uint32_t pageBytes = 0;
  uint16_t spareBytes = 0;
  uint32_t pagesPerBlock = 0;  // low half of the ONFI count
  uint32_t blocksPerLun = 0;
  uint8_t lunCount = 0;
  uint8_t addressCycles = 0;  // ONFI byte 101: row cycles in bits 0-3, column cycles in 4-7
  uint32_t window = 0;
  uint32_t pageShift = 0;
};

}  // namespace tessaro
