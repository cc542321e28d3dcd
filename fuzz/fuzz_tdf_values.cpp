// Any bytes through the small notations of description files: part identifications, CFI match
// lists, extended identification checks, QSPI options, device sizes and name patterns.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/DeviceCatalogue.h"
#include "definitions/ParallelDescriptions.h"
#include "definitions/QspiDescriptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  PartId id;
  (void)ParsePartId(bytes, id);
  if (id.extraCount < 0 || id.extraCount > kPartIdMaxExtra) __builtin_trap();

  ValuePairList match;
  std::string errors;
  (void)ParseCfiMatch(bytes, match, errors);
  for (int32_t i = 0; i < match.AddressCount(); ++i) {
    if (match.Address(i) < 0 || match.Address(i) > 0xFFFF || match.Data(i) < 0 || match.Data(i) > 0xFFFF)
      __builtin_trap();
  }

  QspiDescription block;
  if (ParseExtendedId(bytes, block)) {
    if (block.extendedIdCount > kMaxExtendedIdChecks) __builtin_trap();
    const uint8_t idBytes[8] = {};
    (void)block.ExtendedIdMatches(idBytes);
  }
  (void)ParseQspiOptions(bytes, block);
  (void)ParseNumberText(bytes);
  uint32_t sizeValue = 0;
  (void)ParseDeviceSize(bytes, sizeValue);

  size_t split = bytes.find('\0');
  if (split != std::string_view::npos) (void)MatchDeviceName(bytes.substr(0, split), bytes.substr(split + 1));

  ValuePairList layout;
  (void)layout.ParseSectorLayout(bytes);
  return 0;
}
