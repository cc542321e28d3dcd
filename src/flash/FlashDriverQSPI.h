// QSPI NOR flash on one of the chip's QSPI controllers: a single device or a dual pair on both
// byte lanes, or the multi-purpose device. The programming job owns two: one for the QSPI
// destination and one for the MP QSPI destination.
//
// The controller is four I/O registers at B = 96, 100 or 104 (command word, address format,
// transfer mode with the busy and done bits, transfer start); data moves through the chip's
// window onto the device with the link's data-word and block commands. Verification runs the
// session's on-target checksum over the memory-mapped window.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "definitions/DefinitionReader.h"
#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriver.h"

namespace tessaro {

class FlashDriverIf;
class TargetWait;
struct ImageBuffer;

inline constexpr const char* kGenericQspiName = "GENERIC QSPI";
// Controller register blocks by window.
inline constexpr uint32_t kQspiController0 = 96;
inline constexpr uint32_t kQspiController1 = 100;
inline constexpr uint32_t kQspiControllerMp = 104;
inline constexpr uint32_t kQspiVerifyChunkWords = 16384;
inline constexpr uint32_t kQspiReadBackPieceWords = 128;
inline constexpr int kQspiProgramTimeoutMs = 2000;
inline constexpr int kQspiEraseTimeoutMs = 5000;
// The controller's busy bit clears within microseconds of a transfer's end.
inline constexpr int kQspiControllerTimeoutMs = 500;

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
  [[nodiscard]] bool FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) override;

  // The 24-bit identification at the session's current target address, 0 when nothing (or a
  // NAND device) answered. The eight ID bytes go to `out` when given and to the session.
  uint32_t ReadId(FlashDriverIf& session, bool dual, bool singleBitMode, uint8_t* out = nullptr);

  // Controller waits; each ends on its deadline, on a cancel and at once when the link is down.
  [[nodiscard]] bool WaitIdle(FlashDriverIf& session);
  [[nodiscard]] bool WaitTransfer(FlashDriverIf& session);
  void ClearDone(FlashDriverIf& session);
  [[nodiscard]] bool WaitReady(FlashDriverIf& session, int timeoutMs, bool& cancelled);
  // The four register values (B .. B+3) of memory-mapped reading.
  std::array<uint16_t, 4> ReadModeRegisters(bool dual, bool singleBitMode) const;
  // Switches the controller to memory-mapped reading, and back out of a finished read (false
  // when the controller stays busy).
  void EnterReadMode(FlashDriverIf& session);
  [[nodiscard]] bool LeaveReadMode(FlashDriverIf& session);

  [[nodiscard]] bool RunScript(const QspiScript& script, FlashDriverIf& session, uint32_t& value,
                               std::string& errorText);
  [[nodiscard]] bool CheckConfiguration(const QspiConfig& config, FlashDriverIf& session, std::string& errorText);

  bool hasDescription = false;
  QspiDescription description;
  std::string manufacturerName;
  std::string deviceName;
  uint32_t controllerBase = kQspiController0;
  uint32_t windowAddress = 0;
  ValuePairList sectorTable;
  bool dualDetected = false;
  bool dualRequested = false;
  bool singleBit = false;

 private:
  bool Dual() const { return dualRequested && dualDetected; }
  uint32_t PageWords() const;
  uint32_t SpanWords() const;
  uint32_t UnitWords() const;
  // The sectors `count` words from position `c` overlap, as the erase takes them.
  std::vector<UnitRange> SectorsOf(uint32_t c, uint32_t count) const;
  void WriteCycle(FlashDriverIf& session, uint16_t command, uint16_t format, uint16_t mode);
  [[nodiscard]] bool WriteEnable(FlashDriverIf& session);
  [[nodiscard]] bool WaitControllerBit(FlashDriverIf& session, uint32_t reg);
  [[nodiscard]] bool PollReady(FlashDriverIf& session, uint16_t command, uint16_t mode, uint16_t readyMask,
                               TargetWait& wait);
  // False (with a message) when the range would leave the device's window part way.
  [[nodiscard]] bool RangeStaysInWindow(FlashDriverIf& session, uint32_t start, uint32_t count, uint32_t& firstOutside);
};

}  // namespace tessaro
