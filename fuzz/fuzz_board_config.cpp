// ParseBoardConfig on any bytes: no crash, no out-of-bounds access, and the round trip of
// whatever record the parser left holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/BoardConfigRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string problem = tessaro::CheckRoundTrip(text);
  if (!problem.empty()) {
    std::fprintf(stderr, "round trip: %s\n", problem.c_str());
    std::abort();
  }
  for (uint32_t reg : tessaro::kConfigRegisters) {
    tessaro::BoardConfig config = tessaro::InitBoardConfig();
    (void)tessaro::ParseBoardConfig(config, text);
    (void)tessaro::ConfigRegisterValue(config, reg);
  }
  return 0;
}
