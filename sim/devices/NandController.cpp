#include "sim/devices/NandController.h"

#include <mutex>

#include "common/Text.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr uint32_t kRegStatus = 0;
constexpr uint32_t kRegControl = 2;
constexpr uint32_t kRegBus = 8;
constexpr uint32_t kRegCommand = 10;
constexpr uint32_t kRegParameters = 12;
constexpr uint32_t kRegRowLow = 14;
constexpr uint32_t kRegInterrupt = 24;
constexpr uint32_t kRegRowHigh = 26;
constexpr uint32_t kDone = 0x2;
constexpr uint32_t kErrors = 0x604;
constexpr uint32_t kPageTransfer = 0x08684000;

// What each command word asks of the device, with the parameter word it goes with.
enum class Op { Reset, ParameterPage, Status, Erase, Program, Read };
struct CommandRow {
  uint32_t command;  // bits 29..31 excluded for the erase (they carry the address cycles)
  uint32_t mask;
  Op op;
};
constexpr CommandRow kCommands[] = {
    // command      mask         operation
    {0x010000FF, 0xFFFFFFFF, Op::Reset},   {0x310000EC, 0xFFFFFFFF, Op::ParameterPage},
    {0x11000070, 0xFFFFFFFF, Op::Status},  {0x05D00060, 0x1FFFFFFF, Op::Erase},
    {0xBD100080, 0xFFFFFFFF, Op::Program}, {0xB5300000, 0xFFFFFFFF, Op::Read},
};

}  // namespace

NandController::NandController(std::shared_ptr<NandDevice> device)
    : device_(std::move(device)), buffer_(1024, 0xFFFF), pageBuffer_(std::make_shared<PageBuffer>(*this)) {}

uint16_t NandController::ReadWord(uint32_t offset) {
  // Register 24 reads back the interrupt flags, not what the host wrote to clear them.
  const uint32_t value = (offset & ~1u) == kRegInterrupt ? interruptFlags_ : Register(offset & ~1u);
  return static_cast<uint16_t>((offset & 1) ? value >> 16 : value & 0xFFFF);
}

void NandController::WriteWord(uint32_t offset, uint16_t value) {
  const uint32_t reg = offset & ~1u;
  if (reg / 2 >= regs_.size()) return;
  uint32_t& r = regs_[reg / 2];
  r = (offset & 1) ? (r & 0xFFFF) | (static_cast<uint32_t>(value) << 16) : (r & 0xFFFF0000u) | value;
  // The host writes the low half first: the high half completes a register.
  if ((offset & 1) == 0) return;
  if (reg == kRegInterrupt) {
    interruptFlags_ &= ~r;
    regs_[kRegStatus / 2] = 0;
  } else if (reg == kRegControl && r == 1) {
    Execute();
  }
}

void NandController::Execute() {
  ++commands;
  if (hang) return;
  const uint32_t command = regs_[kRegCommand / 2];
  const uint32_t parameters = regs_[kRegParameters / 2];
  const uint32_t row = (regs_[kRegRowLow / 2] >> 16) | (regs_[kRegRowHigh / 2] << 16);
  const bool bus16 = (regs_[kRegBus / 2] & 1) != 0;
  const NandGeometry& g = device_->geometry();
  const CommandRow* found = nullptr;
  for (const CommandRow& row : kCommands)
    if ((command & row.mask) == row.command) found = &row;
  if (found == nullptr) {
    Violation("unknown NAND command " + HexFixed(command, 8));
    interruptFlags_ |= 0x4;
    return;
  }
  if (found->op != Op::Reset && found->op != Op::ParameterPage && bus16 != g.bus16) {
    Violation("data bus set for " + std::string(bus16 ? "16" : "8") + " bits on a " + (g.bus16 ? "16" : "8") +
              "-bit device");
  }
  switch (found->op) {
    case Op::Reset: device_->Reset(); break;
    case Op::ParameterPage: {
      const auto page = device_->ParameterPage();
      for (size_t copy = 0; copy < NandDevice::kParameterCopies; ++copy) {
        // A damaged copy: one bit of the model name flipped, the stored CRC kept.
        const uint16_t damage = copy < device_->damagedParameterCopies ? 0x0100 : 0;
        for (size_t i = 0; i < 128; ++i) {
          const auto word = static_cast<uint16_t>(page[2 * i] | (page[2 * i + 1] << 8));
          buffer_[128 * copy + i] = static_cast<uint16_t>(i == 22 ? word ^ damage : word);
        }
      }
      break;
    }
    case Op::Status:
      if (parameters != (g.bus16 ? 512u : 256u)) Violation("read status with parameters " + Hex(parameters));
      buffer_[0] = device_->Status();
      break;
    case Op::Erase:
      if ((command >> 29) != g.rowCycles) Violation("erase with " + std::to_string(command >> 29) + " address cycles");
      device_->EraseBlock(row);
      break;
    case Op::Program:
      if (parameters != kPageTransfer) Violation("program with parameters " + Hex(parameters));
      device_->ProgramPage(row, buffer_);
      break;
    case Op::Read:
      if (parameters != kPageTransfer) Violation("read with parameters " + Hex(parameters));
      device_->ReadPage(row, buffer_);
      break;
  }
  regs_[kRegStatus / 2] = kDone | (commandErrors ? 0x200 : 0);
}

uint16_t NandController::PageBuffer::ReadWord(uint32_t offset) {
  return offset < owner_.buffer_.size() ? owner_.buffer_[offset] : 0xFFFF;
}

void NandController::PageBuffer::WriteWord(uint32_t offset, uint16_t value) {
  if (offset < owner_.buffer_.size()) owner_.buffer_[offset] = value;
}

std::shared_ptr<NandController> AttachNand(SimBoard& board, std::shared_ptr<NandDevice> device, uint32_t window) {
  auto controller = std::make_shared<NandController>(std::move(device));
  std::lock_guard lock(board.mutex());
  board.AttachMemoryWindow(NandController::kRegisterBase, NandController::kRegisterWords, controller);
  board.AttachMemoryWindow(window, 1024, controller->pageBuffer());
  return controller;
}

}  // namespace tessaro::sim
