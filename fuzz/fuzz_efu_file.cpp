// Any bytes as an EFU file and as one EFU number. Beyond not crashing: a failed parse leaves
// nothing behind, a valid one has a flag for every option it sets, a parsed key prints and
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
    // A set option always has its flag. The reverse need not hold: a key given twice keeps its
    // last value, while flags are only ever added ("Secured = 1" then "Secured = 0").
    Require(efu.watchdog == 0 || (efu.flags & EFU_WATCHDOG) != 0);
    Require(efu.secured == 0 || (efu.flags & EFU_SECURED) != 0);
    Require(efu.midiOutEnable == 0 || (efu.flags & EFU_MIDI_OUT) != 0);
    Require(efu.sssBootEnable == 0 || (efu.flags & EFU_SSS_BOOT) != 0);
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
