#include "sim/devices/DataFlashRoutines.h"

#include <array>
#include <mutex>
#include <thread>
#include <vector>

#include "flash/DriverImage.h"
#include "sim/DriverImageRunner.h"
#include "sim/SimBoard.h"
#include "sim/devices/SpiController.h"
#include "sim/devices/SpiFlashDevice.h"

namespace tessaro::sim {

namespace {

// Registers of the routine interface and words of the "PRGDEV DF" parameter block.
constexpr uint32_t kRegAddressLow = 56;
constexpr uint32_t kRegAddressHigh = 57;
constexpr uint32_t kRegSumA = 61;
constexpr uint32_t kRegSumB = 62;
constexpr uint32_t kRegPageCount = 63;
constexpr uint32_t kRegBlock = 64;
constexpr uint16_t kSignature = 0xDD1D;
constexpr uint32_t kBlockSpiBase = 3;
constexpr uint32_t kBlockFamily9 = 4;
constexpr uint32_t kBlockType = 8;
constexpr uint32_t kBlockAddressBytes = 9;
constexpr uint32_t kBlockPageWords = 12;
constexpr uint32_t kBlockPinCount = 15;
constexpr uint32_t kBlockFirstPin = 16;
constexpr uint32_t kMaxPins = 15;
constexpr uint32_t kProgramEntry = 3;
constexpr uint32_t kReadEntry = 4;
constexpr uint32_t kChecksumEntry = 11;
constexpr uint32_t kSectorBytes = 4096;

constexpr int kTypeEeprom = 1;
constexpr int kTypeDataFlash = 3;

uint16_t Reg(SimBoard& board, uint32_t reg) { return static_cast<uint16_t>(board.Register(reg) & 0xFFFF); }

// One SPI command on the wires, from select to deselect.
class Wire {
 public:
  Wire(SpiController& controller, const SimSelectPin& pin) : controller_(controller), pin_(pin) {}
  std::vector<uint8_t> Command(std::initializer_list<uint8_t> head, const std::vector<uint8_t>& tail = {},
                               size_t readBytes = 0) {
    controller_.DrivePin(pin_, true);
    for (uint8_t b : head) (void)controller_.Exchange(b);
    for (uint8_t b : tail) (void)controller_.Exchange(b);
    std::vector<uint8_t> in(readBytes);
    for (auto& b : in) b = controller_.Exchange(0xFF);
    controller_.DrivePin(pin_, false);
    return in;
  }

 private:
  SpiController& controller_;
  SimSelectPin pin_;
};

std::vector<uint8_t> AddressBytes(uint32_t a, int count) {
  std::vector<uint8_t> bytes;
  for (int i = count - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(a >> (8 * i)));
  return bytes;
}

}  // namespace

uint8_t DataFlashRoutines::Refuse(std::string why) {
  lastRefusal = std::move(why);
  return kRoutineFailed;
}

std::optional<uint8_t> DataFlashRoutines::Call(SimBoard& board, uint16_t address) {
  std::lock_guard lock(board.mutex());
  auto pass = [&]() -> std::optional<uint8_t> { return next_ ? next_->Call(board, address) : std::nullopt; };
  if (board.ReadMemory(0) != kDriverImageMagic || board.ReadMemory(2) != kDriverInterfaceVersion ||
      UploadedImageName(board) != "PRGDEV DF" || address == 0)
    return pass();
  uint32_t entry = 0;
  for (uint32_t n : {kProgramEntry, kReadEntry, kChecksumEntry})
    if (board.ReadMemory(n) == address) entry = n;
  if (entry == 0) return pass();
  ++calls;
  lastRefusal.clear();

  const ChipInfo* chip = board.chip();
  auto block = [&](uint32_t word) { return Reg(board, kRegBlock + word); };
  if (chip == nullptr || !ParameterBlockFitsChip(board, kSignature))
    return Refuse("parameter block does not belong to this chip");
  if (block(kBlockSpiBase) != controller_->base()) return Refuse("wrong SPI controller");
  if (block(kBlockFamily9) != (chip->familyCode == FAMILY_9XXX ? 1 : 0)) return Refuse("wrong family flag");
  // The device on the first valid select pin of the block.
  std::shared_ptr<SpiFlashDevice> device;
  SimSelectPin pin;
  const uint32_t pins = block(kBlockPinCount);
  if (pins > kMaxPins) return Refuse("too many select pins");
  for (uint32_t i = 0; i < pins && !device; ++i) {
    const uint32_t reg =
        block(kBlockFirstPin + 4 * i) | (static_cast<uint32_t>(block(kBlockFirstPin + 4 * i + 1)) << 16);
    const uint16_t code = block(kBlockFirstPin + 4 * i + 2);
    if ((code & 0x8000) == 0) continue;
    for (const auto& [candidate, candidatePin] : controller_->devices()) {
      if (candidatePin.dataRegister == reg && candidatePin.bit == (code & 15) &&
          candidatePin.activeHigh == ((code & 0x100) != 0)) {
        device = candidate;
        pin = candidatePin;
      }
    }
  }
  if (!device) return Refuse("no device on the select pins of the block");
  if (!controller_->PinRouted(pin)) return Refuse("select pin not routed");
  const DataFlashDescription& d = device->description;
  if (block(kBlockType) != d.type || block(kBlockAddressBytes) != d.addressBytes)
    return Refuse("block describes another kind of device");
  const uint32_t pageWords = block(kBlockPageWords);
  if (pageWords == 0 || pageWords != device->PageBytes() / 2) return Refuse("page size does not match the device");

  Wire wire(*controller_, pin);
  const bool dataFlash = d.type == kTypeDataFlash;
  auto waitReady = [&]() {
    const auto deadline = std::chrono::steady_clock::now() + readyTimeout;
    for (;;) {
      const uint8_t s = wire.Command({static_cast<uint8_t>(dataFlash ? 0xD7 : 0x05)}, {}, 1)[0];
      if (dataFlash ? (s & 0x80) != 0 : (s & 0x01) == 0) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  const uint32_t a = Reg(board, kRegAddressLow) | (static_cast<uint32_t>(Reg(board, kRegAddressHigh)) << 16);
  const std::vector<uint8_t> addressField = AddressBytes(a, d.addressBytes);
  const uint32_t buffer = board.ReadMemory(kDriverEntryBuffer);
  if (!waitReady()) return Refuse("device busy");

  if (entry == kProgramEntry) {
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < pageWords; ++i) {
      const uint16_t w = board.ReadMemory(buffer + i);
      data.push_back(static_cast<uint8_t>(w & 0xFF));
      data.push_back(static_cast<uint8_t>(w >> 8));
    }
    std::vector<uint8_t> command = addressField;
    command.insert(command.end(), data.begin(), data.end());
    if (dataFlash) {
      (void)wire.Command({0x82}, command);
    } else {
      // A basic SPI flash is erased a sector at a time, as its first page is written.
      if (d.type != kTypeEeprom && a % kSectorBytes == 0) {
        (void)wire.Command({0x06});
        (void)wire.Command({0x20}, addressField);
        if (!waitReady()) return Refuse("device stays busy after erase");
      }
      (void)wire.Command({0x06});
      (void)wire.Command({0x02}, command);
    }
    if (!waitReady()) return Refuse("device stays busy after page program");
    return kRoutineDone;
  }

  if (entry == kReadEntry) ++pageReads;
  const uint32_t count = entry == kReadEntry ? pageWords : Reg(board, kRegPageCount);
  if (count > pageWords) return Refuse("checksum longer than a page");
  std::vector<uint8_t> command = addressField;
  const std::vector<uint8_t> bytes = wire.Command({0x03}, command, 2 * static_cast<size_t>(count));
  uint32_t packed = (static_cast<uint32_t>(Reg(board, kRegSumB)) << 16) | Reg(board, kRegSumA);
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t w = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (entry == kReadEntry) {
      board.WriteMemory(buffer + i, w);
    } else {
      const std::array<uint16_t, 1> one{w};
      packed = ChecksumWords(packed, one);
    }
  }
  if (entry == kChecksumEntry) {
    board.SetRegister(kRegSumA, packed & 0xFFFF);
    board.SetRegister(kRegSumB, packed >> 16);
  }
  return kRoutineDone;
}

}  // namespace tessaro::sim
