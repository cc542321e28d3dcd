// Device work of the parallel NOR driver: identification through autoselect and CFI, sector
// erase, programming through "PRGDEV PAR" (or by command sequences from the host where the
// chip has no target driver, as on 73xx) and verification through the on-target checksum.
// The driver object is the FlashDriverTDF a board names; these are the operations the
// programming job calls on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "flash/FlashDriverTDF.h"

namespace tessaro {

class FlashDriverIf;
class DeviceCatalogue;
struct DeviceDescription;
struct ImageBuffer;

namespace parallel_flash {

inline constexpr uint32_t kAutoselectWords = 64;
inline constexpr uint32_t kCfiWords = 128;
inline constexpr uint32_t kMaxCfiRegions = 16;
// Encoded sequence words of the "PRGDEV PAR" parameter block.
inline constexpr uint32_t kMaxDriverPairs = 16;
inline constexpr uint16_t kEncodedUser = 0x8001;
inline constexpr uint16_t kEncodedBlock = 0x8002;
inline constexpr uint16_t kEncodedBlockData = 0x8000;  // plus the block size
inline constexpr uint32_t kProgramEntry = 10;
inline constexpr uint32_t kRegFailOffset = 24;
inline constexpr uint32_t kMinDriverBlockWords = 256;
// Status types of a description.
inline constexpr int32_t kStatusPolling = 0;
inline constexpr int32_t kStatusRegister = 1;

struct IdBuffer {
  std::array<uint16_t, kAutoselectWords> autoselect{};
  std::array<uint16_t, kCfiWords> cfi{};
  bool cfiValid = false;
  uint32_t bufferWords = 0;
  uint32_t regionCount = 0;  // regions stored (at most kMaxCfiRegions)
  std::array<uint32_t, kMaxCfiRegions> blockCount{};
  std::array<uint32_t, kMaxCfiRegions> blockWords{};
};

// Reads the autoselect words and the CFI table at the current target address.
void ReadIdAndCfi(FlashDriverTDF& driver, FlashDriverIf& session, IdBuffer& buffer);
// Selects the part the buffer identifies; returns manufacturer word << 16 | device word.
uint32_t MatchParts(FlashDriverTDF& driver, const IdBuffer& buffer);

[[nodiscard]] bool CheckDevice(FlashDriverTDF& driver, FlashDriverIf& session, std::string& errorText);
[[nodiscard]] bool Erase(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t words);
// The sectors `count` words from position `c` overlap, as Erase takes them.
std::vector<UnitRange> SectorsOf(const FlashDriverTDF& driver, uint32_t c, uint32_t count);
// See FlashDriver::FindUnchanged: compares the sectors the erase would take.
[[nodiscard]] bool FindUnchanged(FlashDriverTDF& driver, FlashDriverIf& session, const ImageBuffer& image,
                                 uint32_t eraseWords);
[[nodiscard]] bool Program(FlashDriverTDF& driver, FlashDriverIf& session, ImageBuffer& image);
[[nodiscard]] bool Verify(FlashDriverTDF& driver, FlashDriverIf& session, ImageBuffer& image);
// Reads `words` words from the session's current position through the address window.
[[nodiscard]] bool Read(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data);

void RunSequence(FlashDriverTDF& driver, FlashDriverIf& session, const ValuePairList& sequence, uint16_t value);
[[nodiscard]] bool RunWriteSequence(FlashDriverTDF& driver, FlashDriverIf& session, const ValuePairList& sequence,
                                    const uint16_t* words, uint32_t n);
[[nodiscard]] bool WaitStatus(FlashDriverTDF& driver, FlashDriverIf& session, uint16_t expected, int32_t timeoutMs,
                              bool& cancelled);

// The 48-word "PRGDEV PAR" parameter block for programming with this driver's description.
// False when the write sequence does not fit the block's 16 pairs.
[[nodiscard]] bool BuildParameterBlock(const FlashDriverTDF& driver, FlashDriverIf& session,
                                       std::array<uint16_t, 48>& block);

// The catalogue entry of the parallel device on the bus, or null; `sizeWords`, when given,
// receives the size of the part found (0 when none).
const DeviceDescription* DetectParallelDevice(DeviceCatalogue& catalogue, FlashDriverIf& session,
                                              uint32_t* sizeWords = nullptr);

}  // namespace parallel_flash
}  // namespace tessaro
