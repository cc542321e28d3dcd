// Any bytes as an EFU file and as one EFU number. Beyond not crashing: a failed parse leaves
// nothing behind, a valid one has flags that agree with its fields, a parsed key prints and
// reads back unchanged, and its fuse bits stay inside the array.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "efuse/EfuFile.h"
#include "efuse/EfuseMap.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  EfuData efu;
  std::string error;
  const bool valid = ParseEfuText(bytes, efu, error);
  Require(valid == efu.valid);
  if (!valid) {
    Require(efu == EfuData{});
    Require(!error.empty());
  } else {
    Require(error.empty());
    Require(((efu.flags & EFU_WATCHDOG) != 0) == (efu.watchdog != 0));
    Require(((efu.flags & EFU_SECURED) != 0) == (efu.secured != 0));
    Require(((efu.flags & EFU_MIDI_OUT) != 0) == (efu.midiOutEnable != 0));
    Require(((efu.flags & EFU_SSS_BOOT) != 0) == (efu.sssBootEnable != 0));
    Require(efu.mc <= 0xFFFF && (efu.flags & ~0x7Fu) == 0);
    Require(IsZeroKey(efu.aes) || (efu.flags & EFU_AES) != 0);
  }

  EfuNumber number{};
  if (ParseEfuNumber(bytes, number)) {
    EfuNumber again{};
    Require(ParseEfuNumber("0x" + EfuKeyHex(number), again) && again == number);
    Require(ParseEfuNumber("0x" + EfuKeyText(number), again) && again == number);
    FuseBitList list;
    for (uint32_t s = 0; s < kEfuseSessionCount; ++s) list.AddKey(s, number);
    for (uint16_t bit : list.bits()) Require(bit < kEfuseBitCount);
    Require(list.size() <= kEfuseBitCount);
  }
  return 0;
}
