#include "sim/devices/ParallelProgramRoutine.h"

#include <mutex>
#include <string>

#include "flash/DriverImage.h"
#include "sim/SimBoard.h"

namespace tessaro::sim {

namespace {

constexpr uint32_t kEntry = 10;
constexpr uint32_t kRegAddressLow = 56;
constexpr uint32_t kRegAddressHigh = 57;
constexpr uint32_t kRegWordCount = 58;
constexpr uint32_t kRegFailOffset = 24;
constexpr uint32_t kRegBlock = 64;
constexpr uint16_t kParSignature = 0x501D;
constexpr uint16_t kEncodedUser = 0x8001;
constexpr uint16_t kEncodedBlock = 0x8002;
constexpr uint16_t kEncodedBlockData = 0x8000;
constexpr uint32_t kMaxPairs = 16;
// The routine's own command base: unlock addresses are offsets into the 2K-word page.
constexpr uint32_t kCommandMask = 0xFFFFF800;

uint16_t BlockWord(SimBoard& board, uint32_t index) {
  return static_cast<uint16_t>(board.Register(kRegBlock + index) & 0xFFFF);
}

bool IsParallelImage(SimBoard& board) {
  static constexpr char kName[] = "PRGDEV PAR      ";
  for (uint32_t i = 0; i < 8; ++i) {
    const uint16_t w = board.ReadMemory(kDriverNameWord + i);
    if ((w & 0xFF) != static_cast<uint8_t>(kName[2 * i]) || (w >> 8) != static_cast<uint8_t>(kName[2 * i + 1]))
      return false;
  }
  return board.ReadMemory(0) == kDriverImageMagic && board.ReadMemory(2) == kDriverInterfaceVersion;
}

}  // namespace

std::optional<uint8_t> ParallelProgramRoutine::Call(SimBoard& board, uint16_t address) {
  std::lock_guard lock(board.mutex());
  if (address != 0 && IsParallelImage(board) && board.ReadMemory(kEntry) == address) {
    ++calls;
    return Program(board);
  }
  if (next_) return next_->Call(board, address);
  return std::nullopt;
}

uint8_t ParallelProgramRoutine::Program(SimBoard& board) {
  const ChipInfo* chip = board.chip();
  if (chip == nullptr || BlockWord(board, 0) != kParSignature ||
      BlockWord(board, 1) != chip->FindRomSymbol("ROM$DBGRETURN") ||
      BlockWord(board, 2) != chip->FindRomSymbol("ST$SENDBYTE")) {
    return kCallFailedReply;
  }
  const uint16_t statusType = BlockWord(board, 8);
  const uint16_t errorBit = BlockWord(board, 9);
  const uint32_t pairs = BlockWord(board, 15);
  if (pairs == 0 || pairs > kMaxPairs) return kCallFailedReply;
  // The block size n comes from the (BLOCK, BLOCK) pair; a sequence without one writes words.
  uint32_t n = 1;
  for (uint32_t i = 0; i < pairs; ++i) {
    if (BlockWord(board, 16 + 2 * i) == kEncodedBlock && BlockWord(board, 17 + 2 * i) > kEncodedBlockData)
      n = BlockWord(board, 17 + 2 * i) - kEncodedBlockData;
  }
  const uint32_t start = (board.Register(kRegAddressLow) & 0xFFFF) | ((board.Register(kRegAddressHigh) & 0xFFFF) << 16);
  const uint32_t count = board.Register(kRegWordCount) & 0xFFFF;
  const uint32_t buffer = board.ReadMemory(kDriverEntryBuffer);
  if (count == 0 || count % n != 0) return kCallFailedReply;
  auto fail = [&](uint32_t offset) {
    board.SetRegister(kRegFailOffset, offset);
    return kCallFailedReply;
  };
  for (uint32_t o = 0; o < count; o += n) {
    const uint32_t target = start + o;
    const uint16_t first = board.ReadMemory(buffer + o);
    for (uint32_t i = 0; i < pairs; ++i) {
      const uint16_t a = BlockWord(board, 16 + 2 * i);
      const uint16_t d = BlockWord(board, 17 + 2 * i);
      if (a == kEncodedBlock && d > kEncodedBlockData) {
        for (uint32_t j = 0; j < n; ++j) board.WriteMemory(target + j, board.ReadMemory(buffer + o + j));
        continue;
      }
      const uint32_t at = a == kEncodedUser || a == kEncodedBlock ? target : (target & kCommandMask) + a;
      board.WriteMemory(at, d == kEncodedUser ? first : d);
    }
    ++blocks;
    // Wait for the device.
    bool done = false;
    uint16_t w = 0;
    for (uint32_t poll = 0; poll < pollLimit && !done; ++poll) {
      w = board.ReadMemory(target);
      if (statusType == 0) {
        if (w == first) {
          done = true;
        } else if (errorBit != 0 && (w & errorBit) == errorBit) {
          w = board.ReadMemory(target);
          if (w != first) break;
          done = true;
        }
      } else if (statusType == 1) {
        done = (w & 0x80) != 0;
      } else {
        done = true;
      }
    }
    bool failed = !done;
    if (statusType == 1 && done && (w & errorBit) != 0) {
      board.WriteMemory(target, 0x50);  // clear status
      failed = true;
    }
    // Back to the array: the Intel read-array command, or the AMD reset.
    if (statusType == 1 || failed) board.WriteMemory(target, statusType == 1 ? 0xFF : 0xF0);
    if (failed) {
      // The first word of the block that does not hold its value.
      for (uint32_t j = 0; j < n; ++j)
        if (board.ReadMemory(target + j) != board.ReadMemory(buffer + o + j)) return fail(o + j);
      return fail(o);
    }
  }
  return 0x00;
}

std::shared_ptr<ParallelProgramRoutine> AttachParallelProgramRoutine(SimBoard& board) {
  auto routine = std::make_shared<ParallelProgramRoutine>(board.RoutineHandler());
  board.SetRoutineHandler(routine);
  return routine;
}

}  // namespace tessaro::sim
