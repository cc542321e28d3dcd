// The external memories a 9xxx chip's strapping selects: bits 12 to 14 of I/O register 21,
// read by package (the low 4 bits of I/O register 250). Identification enters them in the
// link's configuration; the simulated board straps itself by them for a board definition.
#pragma once

#include <cstdint>

namespace tessaro {

struct MemoryKinds {
  uint32_t ext1;  // kind of the first external memory (EXT_NONE .. EXT_QNOR)
  uint32_t ext2;  // kind of the second
  bool cs1;       // the second memory hangs on chip select 1
};

// False for a package without a table of its own (the kinds are left as they were).
bool StrappedMemories(uint32_t package, uint32_t strapping, MemoryKinds& kinds);

}  // namespace tessaro
