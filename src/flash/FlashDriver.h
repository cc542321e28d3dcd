// The common base of the external flash drivers: which device a driver stands for, and the one
// set of operations every driver offers to the programming job and the CLI (probe, erase,
// write, verify, read back, blank check), as OpenOCD's flash drivers share one table of
// operations. Each driver implements them with its own device work (CheckDevice, Detect,
// Program ...); an operation a driver does not have answers false and Offers() says so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessaro {

class FlashDriverIf;
struct ImageBuffer;

// The common operations, as Offers() names them.
enum class FlashOperation : uint8_t { Probe, Erase, Write, Verify, Read, BlankCheck };

class FlashDriver {
 public:
  virtual ~FlashDriver() = default;

  virtual uint32_t ManufacturerId() const = 0;
  virtual std::string ManufacturerName() const = 0;
  virtual uint32_t DeviceId() const = 0;
  // Empty when the driver has no device name to give.
  virtual std::string DeviceName() const = 0;
  // Capacity in 16-bit words (the QSPI driver answers bytes).
  virtual uint32_t DeviceSize() const = 0;

  // ---- device operations; all start at the session's current position and report through
  // the session's status. ----
  // Whether this driver has the operation at all (false: the call fails without device work).
  virtual bool Offers(FlashOperation operation) const = 0;
  // Makes sure the described device answers and is set up for the others; the reason for a
  // refusal goes to `errorText`.
  [[nodiscard]] virtual bool Probe(FlashDriverIf& session, std::string& errorText) = 0;
  // Erases what `words` words from the current position cover.
  [[nodiscard]] virtual bool Erase(FlashDriverIf& session, uint32_t words) = 0;
  // Writes the image's words firstWord to programLength.
  [[nodiscard]] virtual bool Write(FlashDriverIf& session, ImageBuffer& image) = 0;
  // Compares the device with the image's words firstWord to programLength.
  [[nodiscard]] virtual bool Verify(FlashDriverIf& session, ImageBuffer& image) = 0;
  // Reads `words` words into `data`.
  [[nodiscard]] virtual bool Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) = 0;
  // Checks that `words` words read erased; reports "Device is empty" or "Device is NOT BLANK"
  // (with the first word that is not 0xFFFF). True only for an empty range.
  [[nodiscard]] virtual bool BlankCheck(FlashDriverIf& session, uint32_t words) = 0;
  // Before a program run of `image` from the current position whose erase covers `eraseWords`
  // words: records in the session's `unchanged` the erase units the run would erase that
  // already hold what it would leave in them, which the run then passes over. False when the
  // driver cannot tell (no on-target checksum, a call failed): the run then programs every unit.
  [[nodiscard]] virtual bool FindUnchanged(FlashDriverIf& /*session*/, const ImageBuffer& /*image*/,
                                           uint32_t /*eraseWords*/) {
    return false;
  }

  // The driver has a usable description or a detected device.
  bool ready = false;

 protected:
  FlashDriver() = default;
  FlashDriver(const FlashDriver&) = default;
  FlashDriver& operator=(const FlashDriver&) = default;
};

// What a driver's target-side checksum of a chunk gave.
enum class ChunkSum : uint8_t { Taken, Unavailable, Failed };
// The target's checksum (started at 0) of `count` words from position `position`.
using ChunkChecksum = std::function<ChunkSum(uint32_t position, uint32_t count, uint32_t& sum)>;

// The blank check the drivers share, from the session's current position: chunk by chunk
// (never crossing a multiple of `chunkWords`) the target's checksum is compared with that of
// an erased chunk, and only a chunk whose sum differs (or that has none) is read back with the
// driver's Read to name the first word that is not 0xFFFF. Reports "Blank Checking", then
// "Device is empty" or "Device is NOT BLANK"; true only for an empty range.
[[nodiscard]] bool BlankCheckRange(FlashDriver& driver, FlashDriverIf& session, uint32_t words, uint32_t chunkWords,
                                   const ChunkChecksum& checksum);

// An erase unit, or a run of them: positions [first, second).
using UnitRange = std::pair<uint32_t, uint32_t>;

// The comparison the drivers' FindUnchanged share. `units` are the erase units the run would
// erase (ascending); each must hold, after a program of `image` from position `start`, the
// image's words where the run writes them and the erased value 0xFFFF elsewhere. Neighbouring
// units are summed together, up to `groupWords` words at a time, and one by one only inside a
// group whose sum differs: a device that holds nearly the image costs few target calls. Reports
// what it found in the session's `unchanged`; false (nothing recorded) when a sum failed.
[[nodiscard]] bool FindUnchangedUnits(FlashDriverIf& session, const ImageBuffer& image, uint32_t start,
                                      const std::vector<UnitRange>& units, uint32_t groupWords,
                                      const ChunkChecksum& checksum);

}  // namespace tessaro
