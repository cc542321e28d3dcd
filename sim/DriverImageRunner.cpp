#include "sim/DriverImageRunner.h"

#include <array>
#include <mutex>

#include "flash/DriverImage.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr uint32_t kRegAddressLow = 56;
constexpr uint32_t kRegAddressHigh = 57;
constexpr uint32_t kRegWordCount = 58;
constexpr uint32_t kRegSumA = 61;
constexpr uint32_t kRegSumB = 62;
constexpr uint32_t kRegBlock = 64;
constexpr uint16_t kParSignature = 0x501D;
constexpr uint16_t kDfSignature = 0xDD1D;

}  // namespace

std::string UploadedImageName(SimBoard& board) {
  std::string name;
  for (uint32_t i = 0; i < 8; ++i) {
    const uint16_t w = board.ReadMemory(kDriverNameWord + i);
    name += static_cast<char>(w & 0xFF);
    name += static_cast<char>(w >> 8);
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

bool ParameterBlockFitsChip(SimBoard& board, uint16_t signature) {
  const ChipInfo* chip = board.chip();
  return chip != nullptr && (board.Register(kRegBlock) & 0xFFFF) == signature &&
         (board.Register(kRegBlock + 1) & 0xFFFF) == chip->FindRomSymbol("ROM$DBGRETURN") &&
         (board.Register(kRegBlock + 2) & 0xFFFF) == chip->FindRomSymbol("ST$SENDBYTE");
}

std::shared_ptr<DriverImageRunner> MakeDriverImageRunner() { return std::make_shared<DriverImageRunner>(); }

std::optional<uint8_t> DriverImageRunner::Call(SimBoard& board, uint16_t address) {
  std::lock_guard lock(board.mutex());
  if (board.ReadMemory(0) != kDriverImageMagic || board.ReadMemory(2) != kDriverInterfaceVersion) {
    if (next_) return next_->Call(board, address);
    return std::nullopt;
  }
  uint32_t entry = 0;
  for (uint32_t n = kDriverEntryFirst; n <= kDriverEntryLast; ++n) {
    if (n != kDriverEntryBuffer && board.ReadMemory(n) == address && address != 0) {
      entry = n;
      break;
    }
  }
  if (entry == 0) {
    if (next_) return next_->Call(board, address);
    return std::nullopt;
  }
  ++calls;
  if (failNextCalls > 0) {
    --failNextCalls;
    return kRoutineFailed;
  }
  const std::string name = UploadedImageName(board);
  if (entry == 11 && name == "PRGDEV PAR") return Checksum(board, kParSignature);
  // The other entries (DataFlash page program and read, parallel block program, the
  // DataFlash checksum) run on the device models of the drivers that use them.
  (void)kDfSignature;
  return kRoutineFailed;
}

uint8_t DriverImageRunner::Checksum(SimBoard& board, uint16_t signature) {
  if (!ParameterBlockFitsChip(board, signature)) return kRoutineFailed;
  const uint32_t address =
      (board.Register(kRegAddressLow) & 0xFFFF) | ((board.Register(kRegAddressHigh) & 0xFFFF) << 16);
  uint32_t count = board.Register(kRegWordCount) & 0xFFFFFF;
  if (count == 0) count = 0x10000;
  if (count > 0x10000) return kRoutineFailed;
  uint32_t a = board.Register(kRegSumA) & 0xFFFF;
  uint32_t b = board.Register(kRegSumB) & 0xFFFF;
  std::array<uint16_t, 1> word{};
  uint32_t packed = (b << 16) | a;
  for (uint32_t i = 0; i < count; ++i) {
    word[0] = board.ReadMemory(address + i);
    packed = ChecksumWords(packed, word);
  }
  board.SetRegister(kRegSumA, packed & 0xFFFF);
  board.SetRegister(kRegSumB, packed >> 16);
  ++checksumCalls;
  checksumWords += count;
  return kRoutineDone;
}

}  // namespace tessaro::sim
