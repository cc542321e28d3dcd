#include "sim/devices/SpiController.h"

#include "sim/SimBoard.h"
#include "sim/devices/DataFlashRoutines.h"

namespace tessaro::sim {

namespace {

// One watched pin register: a block of a single I/O register that reports to the controller.
class PinRegister : public SimIoDevice {
 public:
  PinRegister(std::shared_ptr<SpiController> controller, uint32_t reg)
      : controller_(std::move(controller)), reg_(reg) {}
  uint16_t ReadIo(uint32_t) override { return controller_->PinWord(reg_); }
  void WriteIo(uint32_t, uint16_t value) override { controller_->SetPinWord(reg_, value); }

 private:
  std::shared_ptr<SpiController> controller_;
  uint32_t reg_;
};

}  // namespace

bool SimDecodeSelectPin(const ChipInfo& chip, PinSetting s, SimSelectPin& pin) {
  pin = SimSelectPin{};
  const uint32_t f = chip.familyCode;
  pin.activeHigh = (s & kPinLevelHigh) != 0;
  if ((s & 0x80) != 0) {
    const uint32_t g = (s >> 4) & 7;
    pin.bit = pin.directionBit = static_cast<uint8_t>(s & 0xF);
    if (f == FAMILY_9XXX) {
      pin.dataRegister = 0xE0 + g;
      pin.directionRegister = 0x70 + g;
    } else if (f == FAMILY_8X47 && g == 4) {
      pin.dataRegister = 16;
      pin.directionRegister = 17;
    } else {
      pin.dataRegister = 8 + g;
      pin.directionRegister = 12 + g;
    }
    return true;
  }
  if ((s & 0xF0) == 0x20 && (s & 0xF) <= 1 &&
      (f == FAMILY_9XXX || chip.modelCode == 0x8247 || chip.modelCode == 0x8347)) {
    pin.dataRegister = SpiController::kPinMemoryBase + (s & 0xF);
    pin.directionRegister = SpiController::kPinMemoryBase + 2 + (s & 0xF);
    pin.bit = pin.directionBit = 15;
    return true;
  }
  if ((s & 0xF0) == 0x60 && f == FAMILY_74XX) {
    // "Pn" of the 74xx: bit n & 3 of I/O 1, made an output in I/O 0.
    pin.dataRegister = 1;
    pin.directionRegister = 0;
    pin.bit = pin.directionBit = static_cast<uint8_t>(s & 3);
    return true;
  }
  if ((s & 0xFF) == 0x10 && f == FAMILY_8X2X) {
    pin = SimSelectPin{9, 13, 5, 5, false};
    return true;
  }
  return false;
}

SpiController::SpiController(SimBoard& board, uint32_t base)
    : board_(board), base_(base), nine_(board.chip() != nullptr && board.chip()->familyCode == FAMILY_9XXX) {}

bool SpiController::AddDevice(std::shared_ptr<SpiFlashDevice> device, const SimSelectPin& pin) {
  devices_.emplace_back(std::move(device), pin);
  return pinWords_.emplace(pin.dataRegister, uint16_t{0}).second;
}

uint16_t SpiController::PinWord(uint32_t reg) {
  auto it = pinWords_.find(reg);
  return it == pinWords_.end() ? uint16_t{0} : it->second;
}

void SpiController::SetPinWord(uint32_t reg, uint16_t value) {
  pinWords_[reg] = value;
  UpdateSelects();
}

bool SpiController::PinRouted(const SimSelectPin& pin) {
  const uint16_t direction =
      pin.directionRegister > 255 ? PinWord(pin.directionRegister) : board_.IoRegister(pin.directionRegister);
  return ((direction >> pin.directionBit) & 1) != 0;
}

void SpiController::UpdateSelects() {
  int active = 0;
  for (auto& [device, pin] : devices_) {
    const bool level = ((PinWord(pin.dataRegister) >> pin.bit) & 1) != 0;
    const bool on = PinRouted(pin) && level == pin.activeHigh;
    if (on) ++active;
    device->Select(on);
  }
  if (active > 1) Violation("more than one serial device selected at once");
}

void SpiController::DrivePin(const SimSelectPin& pin, bool active) {
  const uint16_t mask = static_cast<uint16_t>(1u << pin.bit);
  const bool high = active == pin.activeHigh;
  const uint16_t word = PinWord(pin.dataRegister);
  SetPinWord(pin.dataRegister, static_cast<uint16_t>(high ? (word | mask) : (word & ~mask)));
}

uint8_t SpiController::Exchange(uint8_t out) {
  for (auto& [device, pin] : devices_)
    if (device->selected) return device->Transfer(out);
  return 0xFF;  // nothing drives MISO: the pull-up reads ones
}

uint16_t SpiController::ReadIo(uint32_t index) {
  if (index == 0) return control_;
  if (index != 1) return 0;
  const bool receive = nine_ ? (control_ & 0xFF00) == 0x9F00 : (control_ & 3) == 1;
  if (!receive) return data_;
  const uint8_t high = Exchange(0xFF);
  const uint8_t low = Exchange(0xFF);
  data_ = static_cast<uint16_t>((high << 8) | low);
  return data_;
}

void SpiController::WriteIo(uint32_t index, uint16_t value) {
  if (index == 0) {
    control_ = value;
    return;
  }
  if (index != 1) return;
  const bool transmit = nine_ ? (control_ & 0xFF00) == 0x8700 : (control_ & 3) == 2;
  if (!transmit) {
    Violation("SPI data written while the controller is not set to transmit");
    return;
  }
  data_ = value;
  (void)Exchange(static_cast<uint8_t>(value >> 8));
}

uint16_t SpiController::ReadWord(uint32_t offset) { return PinWord(kPinMemoryBase + offset); }

void SpiController::WriteWord(uint32_t offset, uint16_t value) { SetPinWord(kPinMemoryBase + offset, value); }

SerialFlashAttachment AttachSerialFlash(SimBoard& board, const DataFlashDescription& description, PinSetting select,
                                        const SpiFlashOptions& options, std::shared_ptr<SpiController> controller) {
  std::lock_guard lock(board.mutex());
  const ChipInfo* chip = board.chip();
  if (chip == nullptr) return {};
  const uint32_t f = chip->familyCode;
  if (f != FAMILY_74XX && f != FAMILY_8X47 && f != FAMILY_9XXX && f != FAMILY_8X2X) return {};
  SimSelectPin pin;
  if (!SimDecodeSelectPin(*chip, select, pin)) return {};
  if (!controller) {
    controller = std::make_shared<SpiController>(board, f == FAMILY_8X2X ? 16u : 28u);
    board.AttachIoBlock(controller->base(), 2, controller);
    board.SetRoutineHandler(std::make_shared<DataFlashRoutines>(controller, board.RoutineHandler()));
  }
  auto device = std::make_shared<SpiFlashDevice>(description, options);
  const bool memoryPinsWatched = [&] {
    for (const auto& [other, otherPin] : controller->devices())
      if (otherPin.dataRegister > 255) return true;
    return false;
  }();
  if (controller->AddDevice(device, pin)) {
    if (pin.dataRegister > 255) {
      if (!memoryPinsWatched)
        board.AttachMemoryWindow(SpiController::kPinMemoryBase, SpiController::kPinMemoryWords, controller);
    } else {
      board.AttachIoBlock(pin.dataRegister, 1, std::make_shared<PinRegister>(controller, pin.dataRegister));
    }
  }
  return {device, controller};
}

}  // namespace tessaro::sim
