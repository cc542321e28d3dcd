// The chip side of a QSPI flash: one of the chip's QSPI controllers (four I/O registers:
// command word, address format, transfer mode with busy bit 15 and done bit 10, transfer
// start) and the window of target addresses through which its device, or the dual pair on
// both byte lanes, is reached. Transfers move through the window; plain reads of the window
// work only after the read-mode registers were written.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/SimDevices.h"
#include "sim/devices/QspiFlashDevice.h"

namespace tessaro::sim {

class QspiController : public SimDeviceModel, public SimIoDevice, public SimMemoryDevice {
 public:
  // `lane1` is the second device of a dual pair (null for a single device).
  QspiController(std::shared_ptr<QspiFlashDevice> lane0, std::shared_ptr<QspiFlashDevice> lane1);

  uint16_t ReadIo(uint32_t index) override;
  void WriteIo(uint32_t index, uint16_t value) override;
  uint16_t ReadWord(uint32_t offset) override;
  void WriteWord(uint32_t offset, uint16_t value) override;

  bool dual() const { return lane1_ != nullptr; }
  // Window words the devices fill.
  uint32_t WindowWords() const;
  // The word the window shows at `offset` (what memory-mapped reading gives).
  uint16_t MappedWord(uint32_t offset) const;

  // Faults: the controller's busy bit or the transfer bit stays set.
  bool stuckBusy = false;
  bool stuckTransfer = false;
  bool mapped = false;  // memory-mapped reading is on

 private:
  enum class Transfer { None, Pending };
  // Byte address in a device of a window offset, for one byte lane.
  uint32_t DeviceAddress(uint32_t offset, int lane) const;

  std::shared_ptr<QspiFlashDevice> lane0_, lane1_;
  uint16_t command_ = 0, format_ = 0, mode_ = 0, start_ = 0;
  Transfer transfer_ = Transfer::None;
  uint32_t index_ = 0;  // bytes moved in the current transfer
};

struct QspiAttachment {
  std::shared_ptr<QspiController> controller;
  std::shared_ptr<QspiFlashDevice> lane0, lane1;
};

// Puts a QSPI flash (and a second one on the high byte lane when `dualPair`) behind the
// controller at I/O register `controllerBase` (96, 100 or 104), seen through the window of
// target word addresses starting at `windowBase`.
QspiAttachment AttachQspi(SimBoard& board, uint32_t windowBase, uint32_t controllerBase,
                          const DeviceDescription& description, const QspiFlashOptions& options = {},
                          bool dualPair = false);

// The two ordinary QSPI controllers of a 9xxx chip (I/O registers 96 to 99 and 100 to 103) as
// the chip routes them: the controller of the second external memory is 100, or 96 while
// I/O register 19 puts the second memory first (bit 5); the other one serves the window below
// 0x40000000. Registers of a controller without a device read back what was written.
class QspiControllerPair : public SimIoDevice {
 public:
  static constexpr uint32_t kFirstRegister = 96;
  static constexpr uint32_t kRegisterCount = 8;
  explicit QspiControllerPair(SimBoard& board) : board_(board) {}

  uint16_t ReadIo(uint32_t index) override;
  void WriteIo(uint32_t index, uint16_t value) override;

  std::shared_ptr<QspiController> secondMemory;  // the device wired as the second memory
  std::shared_ptr<QspiController> other;         // the device of the window below 0x40000000

 private:
  QspiController* Route(uint32_t index) const;
  SimBoard& board_;
};

}  // namespace tessaro::sim
