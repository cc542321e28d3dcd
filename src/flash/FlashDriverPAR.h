// Device work of the parallel NOR driver: identification through autoselect and CFI, sector
// erase, programming through "PRGDEV PAR" and checksum verification. The driver object is the
// FlashDriverTDF a board names (the description side lives with it); these are the operations
// the programming job calls on it.
//
// This build carries the interface; the device work comes with the driver's command sets.
// CheckDevice refuses "No Driver Description for Parallel Flash" without a description, and
// with one it refuses too, saying the device work is not available, so `uploaded` stays clear
// and nothing is reported as done that was not done.
#pragma once

#include <cstdint>
#include <string>

#include "flash/FlashDriverTDF.h"

namespace tessaro {

class FlashDriverIf;
struct ImageBuffer;

namespace parallel_flash {

[[nodiscard]] bool CheckDevice(FlashDriverTDF& driver, FlashDriverIf& session, std::string& errorText);
[[nodiscard]] bool Erase(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t words);
[[nodiscard]] bool Program(FlashDriverTDF& driver, FlashDriverIf& session, ImageBuffer& image);
[[nodiscard]] bool Verify(FlashDriverTDF& driver, FlashDriverIf& session, ImageBuffer& image);

}  // namespace parallel_flash
}  // namespace tessaro
