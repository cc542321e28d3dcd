// The programming job: the image, the chosen destination and the flash drivers, and the two
// operations behind PROGRAM! and Verify. An operation checks that the destination can take
// the image, links, places the session at the start address and hands the image to the
// memory the destination names. On the 8x47 a firmware image is split: its first 0x4000 words
// go into the embedded flash, the rest into the external flash.
//
// Result convention: false when the operation was refused before device work (the error text
// says why); true when it ran to its end, whatever the device did. Device success and failure
// are reported only through the session's status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriverDF.h"
#include "flash/FlashDriverNAND.h"
#include "flash/FlashDriverQSPI.h"
#include "flash/FlashDriverTDF.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"
#include "session/Destinations.h"

namespace tessaro {

class FlashDriverIf;
struct BoardDefinition;
struct ChipInfo;

// The 8x47 firmware split.
inline constexpr uint32_t kEmbeddedPartWords = 0x4000;
inline constexpr uint32_t kLowRegionWords = 0x20000;
// Word of the firmware header that names the family, and the fuse word after it.
inline constexpr uint16_t kFirmwareFamilyMark = 0x8F47;
// Flash word address of the security bit.
inline constexpr uint32_t kSecurityBitAddress = 0x8010;
inline constexpr uint32_t kEmbeddedChunkWords = 128;
// Piece of a range read between progress updates and cancel checks.
inline constexpr uint32_t kReadRangePieceWords = 16384;

class ProgrammingJob {
 public:
  [[nodiscard]] bool CheckTarget(FlashDriverIf& session, std::string& errorText, const char* busyText);
  [[nodiscard]] bool ProgramImage(FlashDriverIf& session, std::string& errorText);
  [[nodiscard]] bool VerifyImage(FlashDriverIf& session, std::string& errorText);

  // Work on a range of the destination's external memory, `words` words from `start` (taken
  // into the destination's window): erase of the sectors the range overlaps, read-back into
  // `data`, and blank check. They link and probe as programming does; the device's answer is in
  // the session's status ("Erased", "Device is empty", "Device is NOT BLANK" with the first
  // written word, or the failure). False when refused before device work, and for a read that
  // did not bring every word back (the error text says why).
  [[nodiscard]] bool EraseRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::string& errorText);
  [[nodiscard]] bool ReadRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::vector<uint16_t>& data,
                               std::string& errorText);
  [[nodiscard]] bool CheckBlankRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::string& errorText);

  // Gives the drivers the board's devices, as the main window does when a board is selected.
  // Problems with the board's devices are appended to `warnings`.
  void ApplyBoard(const BoardDefinition& board, std::string& warnings);
  // The driver object of a slot; null for DriverSlot::None.
  FlashDriver* Driver(DriverSlot slot);

  DeviceCatalogue catalogue;
  std::string imagePath;
  bool hexFile = false;  // the file names its own addresses (Intel HEX, S-record, ELF)
  ImageBuffer image;
  int32_t destination = DestNone;
  FlashDriverQSPI qspi;     // destination 8
  FlashDriverQSPI mpQspi;   // destination 9
  FlashDriverTDF parallel;  // destinations 2 and 5
  // A board may name several parallel devices (any one of them fitted): each the catalogue
  // knows, in the board's order. The check takes the first one the bus identifies.
  std::vector<FlashDriverTDF> parallelChoices;
  FlashDriverDF dataFlash;  // destinations 3 and 6
  FlashDriverNAND nand;     // destination 10

  // What the last ProgramImage decided about the 8x47 fuse word: whether it wrote one, its
  // value, and whether the security bit was asked for.
  bool fuseWordWritten = false;
  uint16_t fuseWord = 0;
  bool securityBitRequested = false;

  // ProgramImage first compares each erase unit of an external memory with what programming
  // would leave in it (by checksum) and leaves the units that already hold it untouched. The
  // verify at the end still covers the whole range.
  bool skipUnchanged = false;

 private:
  // ProgramImage and VerifyImage: one walk over the image's pieces.
  enum class Pass { Program, Verify };
  [[nodiscard]] bool Run(FlashDriverIf& session, std::string& errorText, Pass pass);
  void StartProgress(FlashDriverIf& session, int32_t words);
  // Parts of the target check: the destination's device answers, the linked chip is the one
  // configured and reached with its protocol.
  [[nodiscard]] bool ProbeDestination(FlashDriverIf& session, const DestinationInfo& info, std::string& errorText);
  [[nodiscard]] bool CheckConnectedChip(FlashDriverIf& session, const ChipInfo& chip, std::string& errorText);
  // The target check of the range operations; the destination's driver, or null (refused).
  FlashDriver* PrepareRange(FlashDriverIf& session, uint32_t start, FlashOperation operation, std::string& errorText,
                            const char* busyText);
  void EndOperation(FlashDriverIf& session);
  // With skipUnchanged: finds the units of `driver` that need no erase and no writing (the
  // session's `unchanged`) and says so in the status. False when the user stopped it.
  [[nodiscard]] bool CompareFirst(FlashDriverIf& session, FlashDriver& driver, uint32_t eraseWords);
};

// Null when a link in transport `mode` reaches a chip of `family` with the protocol it
// speaks; otherwise the refusal ("Not connected to a LYR7xxx" ...).
const char* TransportRefusal(uint32_t family, TransportMode mode);

// The embedded-flash transfers: from the session's current position, image words firstWord
// to programLength, in chunks of 128 words.
[[nodiscard]] bool ProgramEmbedded(FlashDriverIf& session, ImageBuffer& image);
[[nodiscard]] bool VerifyEmbedded(FlashDriverIf& session, ImageBuffer& image);

}  // namespace tessaro
