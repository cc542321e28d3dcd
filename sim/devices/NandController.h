// The chip's NAND controller on the simulated board: 32-bit registers kept as pairs of data
// words at 0x0A008000, a command started by writing 1 to register 2, and the page buffer
// that shows through a data window (0x40000000, or 0x80000000 when the second external
// window comes first). It runs reset, read parameter page, read status, erase, program page
// and read page on an attached ONFI device.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/SimDevices.h"
#include "sim/devices/NandDevice.h"

namespace tessaro::sim {

class SimBoard;

class NandController : public SimDeviceModel, public SimMemoryDevice {
 public:
  static constexpr uint32_t kRegisterBase = 0x0A008000;
  static constexpr uint32_t kRegisterWords = 32;

  explicit NandController(std::shared_ptr<NandDevice> device);

  uint16_t ReadWord(uint32_t offset) override;
  void WriteWord(uint32_t offset, uint16_t value) override;

  // The page buffer as the data window shows it.
  class PageBuffer : public SimMemoryDevice {
   public:
    explicit PageBuffer(NandController& owner) : owner_(owner) {}
    uint16_t ReadWord(uint32_t offset) override;
    void WriteWord(uint32_t offset, uint16_t value) override;

   private:
    NandController& owner_;
  };
  std::shared_ptr<PageBuffer> pageBuffer() { return pageBuffer_; }

  uint32_t Register(uint32_t reg) const { return reg / 2 < regs_.size() ? regs_[reg / 2] : 0; }
  // Faults: commands end with controller error bits; the controller never finishes.
  bool commandErrors = false;
  bool hang = false;
  uint64_t commands = 0;

 private:
  void Execute();
  std::shared_ptr<NandDevice> device_;
  std::array<uint32_t, kRegisterWords / 2> regs_{};
  uint32_t interruptFlags_ = 0;
  std::vector<uint16_t> buffer_;
  std::shared_ptr<PageBuffer> pageBuffer_;
};

// Puts a NAND controller with `device` on the board: registers at 0x0A008000 and the page
// buffer at `window`.
std::shared_ptr<NandController> AttachNand(SimBoard& board, std::shared_ptr<NandDevice> device,
                                           uint32_t window = 0x40000000);

}  // namespace tessaro::sim
