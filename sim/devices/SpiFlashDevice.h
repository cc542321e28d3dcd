// A serial flash on the SPI pins, built from a serial description: an AT45-style DataFlash
// (status 0xD7, page program through the buffer with built-in erase 0x82, page-size switch
// 3D 2A 80 A6 taking effect at the next power-up), a basic SPI flash (write enable, page
// program 0x02, 4 KiB sector erase 0x20, status 0x05) or a serial EEPROM (write enable, write
// 0x02 that replaces bytes, no identification). It answers only while selected, and reports
// through Violation what a correct host never does.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "sim/SimDevices.h"
#include "sim/devices/BusyTime.h"

namespace tessaro::sim {

struct SpiFlashOptions {
  // DataFlash with 264-style pages: start in power-of-two page mode.
  bool powerOfTwoPages = false;
  std::chrono::milliseconds programBusy{0};
  std::chrono::milliseconds eraseBusy{0};
  bool stuckBusy = false;   // never finishes the first program or erase
  bool eraseFails = false;  // erase commands change nothing
};

class SpiFlashDevice : public SimDeviceModel, public SimSpiDevice {
 public:
  SpiFlashDevice(const DataFlashDescription& description, const SpiFlashOptions& options = {});

  void Select(bool selected) override;
  uint8_t Transfer(uint8_t out) override;

  // Takes the configured page size into use, as a real part does at power-up.
  void PowerCycle();
  bool Busy() const { return busy_.Busy(); }
  // Holds the device busy (a part that never finishes) until released or power-cycled.
  void HoldBusy(bool on) { busy_.Hold(on); }

  // Page geometry in effect: bytes per page and the address bits of a byte within it.
  uint32_t PageBytes() const;
  uint32_t PageShift() const;
  // Byte offset in the array of a device address (page in the high bits, byte in the low).
  uint32_t ArrayOffset(uint32_t deviceAddress) const;
  // The array as words, low byte first, starting at a word position of the address space the
  // programmer counts in (pages of PageBytes() / 2 words).
  uint16_t Word(uint32_t wordIndex) const;
  uint32_t WordCount() const;
  // Bytes addressable in the page size in effect (pages x page size).
  uint32_t AddressableBytes() const;

  const DataFlashDescription description;
  std::vector<uint8_t> memory;
  bool selected = false;
  bool writeEnabled = false;
  bool powerOfTwo = false;            // in effect
  bool powerOfTwoConfigured = false;  // reported by the status, in effect after a power cycle
  bool selectedByPin = false;         // for tests: the last select came through the pins
  SpiFlashOptions options;
  uint64_t pagesProgrammed = 0;

 private:
  void Finish();
  void StartBusy(std::chrono::milliseconds time) { busy_.Start(time, options.stuckBusy); }
  uint32_t CommandAddress() const;
  bool IsDataFlash() const { return description.type == 3; }
  bool IsEeprom() const { return description.type == 1; }
  uint8_t StatusByte() const;

  std::vector<uint8_t> command_;
  uint32_t readPosition_ = 0;
  BusyTime busy_;
};

}  // namespace tessaro::sim
