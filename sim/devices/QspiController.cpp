#include "sim/devices/QspiController.h"

#include <mutex>

#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr uint16_t kBusy = 0x8000;
constexpr uint16_t kDone = 0x0400;
constexpr uint16_t kStartTransfer = 6;
// The transfer mode of a bare command (write enable, erase): no data bytes follow.
constexpr uint16_t kCommandOnly = 0x080;

}  // namespace

QspiController::QspiController(std::shared_ptr<QspiFlashDevice> lane0, std::shared_ptr<QspiFlashDevice> lane1)
    : lane0_(std::move(lane0)), lane1_(std::move(lane1)) {}

uint32_t QspiController::WindowWords() const {
  const uint32_t bytes = static_cast<uint32_t>(lane0_->memory.size());
  return dual() ? bytes : bytes / 2;
}

uint32_t QspiController::DeviceAddress(uint32_t offset, int lane) const {
  return dual() ? offset : 2 * offset + static_cast<uint32_t>(lane);
}

uint16_t QspiController::MappedWord(uint32_t offset) const {
  if (dual()) return static_cast<uint16_t>(lane0_->ReadByte(offset) | (lane1_->ReadByte(offset) << 8));
  return static_cast<uint16_t>(lane0_->ReadByte(2 * offset) | (lane0_->ReadByte(2 * offset + 1) << 8));
}

uint16_t QspiController::ReadIo(uint32_t index) {
  switch (index) {
    case 0: return command_;
    case 1: return format_;
    case 2: return static_cast<uint16_t>((mode_ & ~kBusy) | (stuckBusy ? kBusy : 0));
    case 3: return static_cast<uint16_t>((start_ & ~kBusy) | (stuckTransfer ? kBusy : 0));
    default: return 0;
  }
}

void QspiController::WriteIo(uint32_t index, uint16_t value) {
  switch (index) {
    case 0: command_ = value; return;
    case 1: format_ = value; return;
    case 2: mode_ = value; return;
    case 3:
      start_ = value;
      if ((value & kBusy) != 0) {
        // Read mode: the command register names the device's read opcode.
        const uint8_t opcode = static_cast<uint8_t>(command_ & 0xFF);
        const QspiDescription& d = lane0_->description;
        mapped = (command_ >> 8) == 2 && (opcode == d.quadIoReadCmd || opcode == d.singleReadCmd);
        if (!mapped) Violation("read mode started without the read-mode registers");
        transfer_ = Transfer::None;
        return;
      }
      if (value == kStartTransfer) {
        mapped = false;
        transfer_ = Transfer::Pending;
        index_ = 0;
        mode_ = static_cast<uint16_t>(mode_ | kDone);
      }
      return;
    default: return;
  }
}

uint16_t QspiController::ReadWord(uint32_t offset) {
  if (transfer_ == Transfer::None) {
    if (!mapped) {
      Violation("window read while memory-mapped reading is off");
      return 0xFFFF;
    }
    return MappedWord(offset);
  }
  // A register read: 0x01 in the high byte of the command word and the opcode in the low one;
  // a status poll: the opcode in the low byte, read over and over.
  const uint8_t opcode = static_cast<uint8_t>(command_ & 0xFF);
  const bool poll = (command_ >> 8) != 0x01;
  const uint32_t at = poll ? 0 : index_++;
  const uint8_t low = lane0_->ReadRegister(opcode, at);
  const uint8_t high = dual() ? lane1_->ReadRegister(opcode, at) : uint8_t{0xFF};
  return static_cast<uint16_t>(low | (high << 8));
}

void QspiController::WriteWord(uint32_t offset, uint16_t value) {
  if (transfer_ == Transfer::None) {
    Violation("window write without a transfer");
    return;
  }
  const uint8_t kind = static_cast<uint8_t>(command_ & 0xFF);
  const uint8_t opcode = static_cast<uint8_t>(command_ >> 8);
  QspiFlashDevice* lanes[2] = {lane0_.get(), lane1_.get()};
  const bool dataPhase = (mode_ & 0x3FF) != kCommandOnly;
  if (kind == 0x03 && dataPhase) {  // page program
    const bool first = index_ == 0;
    ++index_;
    if (dual()) {
      lanes[0]->ProgramByte(offset, static_cast<uint8_t>(value & 0xFF), first);
      lanes[1]->ProgramByte(offset, static_cast<uint8_t>(value >> 8), first);
    } else {
      lanes[0]->ProgramByte(DeviceAddress(offset, 0), static_cast<uint8_t>(value & 0xFF), first);
      lanes[0]->ProgramByte(DeviceAddress(offset, 1), static_cast<uint8_t>(value >> 8), false);
    }
    return;
  }
  if ((command_ >> 8) == 0x50 || command_ == 0x0205) {
    transfer_ = Transfer::None;  // the end of a status poll
    return;
  }
  if (kind == 0x0B && !dataPhase) {
    for (int lane = 0; lane < (dual() ? 2 : 1); ++lane) lanes[lane]->EraseAt(opcode, DeviceAddress(offset, 0));
    transfer_ = Transfer::None;
    return;
  }
  if (kind == 0x05 && !dataPhase) {
    for (int lane = 0; lane < (dual() ? 2 : 1); ++lane) lanes[lane]->Command(opcode);
    transfer_ = Transfer::None;
    return;
  }
  if (kind == 0x05 && dataPhase) {  // register write, one byte per word on each lane
    lanes[0]->WriteRegister(opcode, index_, static_cast<uint8_t>(value & 0xFF));
    if (dual()) lanes[1]->WriteRegister(opcode, index_, static_cast<uint8_t>(value >> 8));
    ++index_;
    return;
  }
  Violation("window write the transfer does not take");
}

QspiAttachment AttachQspi(SimBoard& board, uint32_t windowBase, uint32_t controllerBase,
                          const DeviceDescription& description, const QspiFlashOptions& options, bool dualPair) {
  std::lock_guard lock(board.mutex());
  QspiAttachment a;
  a.lane0 = std::make_shared<QspiFlashDevice>(description, options);
  if (dualPair) a.lane1 = std::make_shared<QspiFlashDevice>(description, options);
  a.controller = std::make_shared<QspiController>(a.lane0, a.lane1);
  board.AttachIoBlock(controllerBase, 4, a.controller);
  board.AttachMemoryWindow(windowBase, a.controller->WindowWords(), a.controller);
  return a;
}

QspiController* QspiControllerPair::Route(uint32_t index) const {
  const bool secondFirst = (board_.IoRegister(19) & 0x20) != 0;
  const bool at96 = index < 4;
  return (at96 == secondFirst ? secondMemory : other).get();
}

uint16_t QspiControllerPair::ReadIo(uint32_t index) {
  if (QspiController* controller = Route(index)) return controller->ReadIo(index & 3);
  return board_.IoRegister(kFirstRegister + index);
}

void QspiControllerPair::WriteIo(uint32_t index, uint16_t value) {
  if (QspiController* controller = Route(index)) return controller->WriteIo(index & 3, value);
  board_.SetIoRegister(kFirstRegister + index, value);
}

}  // namespace tessaro::sim
