// Target-side driver images: small programs for the target's DSP core that the programmer
// uploads into target word memory and calls through the link. An image is a memory image
// starting at word 0, 16-bit little-endian words:
//
//   word 0        magic 0x4452 ("RD")
//   word 1        image length in words, header included
//   word 2        interface version, 11723 (0x2DCB)
//   words 3..15   entry table: entry n holds the word address of routine n (0 = absent);
//                 entry 8 is the data buffer, the first word after the image
//   words 16..23  image name, 16 ASCII characters, space padded
//   words 24..1023 zero; the target code starts at word 1024
//
// Two images are built in ("PRGDEV DF", 11001, and "PRGDEV PAR", 11002). A file of the same
// name in the drivers folder ("PRGDEV_DF.bin", "PRGDEV_PAR.bin") replaces the built-in one
// once it passes the same magic and version checks, so a chip's own target code can be used.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tessaro {

class RoutineHost;

inline constexpr int kDriverImageDataFlash = 11001;  // "PRGDEV DF"
inline constexpr int kDriverImageParallel = 11002;   // "PRGDEV PAR"
inline constexpr uint16_t kDriverImageMagic = 0x4452;
inline constexpr uint16_t kDriverInterfaceVersion = 11723;
inline constexpr uint32_t kDriverHeaderWords = 24;
inline constexpr uint32_t kDriverCodeStart = 1024;
inline constexpr uint32_t kDriverEntryFirst = 3;
inline constexpr uint32_t kDriverEntryLast = 15;
inline constexpr uint32_t kDriverEntryBuffer = 8;
inline constexpr uint32_t kDriverNameWord = 16;
inline constexpr uint32_t kUploadPieceWords = 128;
inline constexpr uint8_t kCallFailedReply = 0xEE;
inline constexpr uint8_t kCallCommand = 9;
// A routine that has not answered after this long is taken as lost: the monitor is not
// coming back, and a run without a person at the keyboard must end.
inline constexpr int kDefaultCallTimeoutMs = 30000;

// The built-in image of a resource identifier as 16-bit words; empty for an unknown one.
std::span<const uint16_t> BuiltInDriverImage(int resourceId);
// File name of a resource's image ("PRGDEV_DF.bin"); "" for an unknown identifier.
const char* DriverImageFileName(int resourceId);
// The drivers folder searched for replacement images; "" searches nowhere.
void SetDriverImageFolder(const std::string& folder);
const std::string& DriverImageFolder();

// How the last Call ended.
enum class CallResult { Done, Failed, Cancelled, LinkDown, TimedOut, NoImage };

class DriverImage {
 public:
  // Makes the image of `resourceId` current: the replacement file when the drivers folder
  // holds one, else the built-in image. Appends "Unable to load embedded Driver!!!" and fails
  // when there is none or it does not start with the magic (a replacement file must carry the
  // interface version too).
  [[nodiscard]] bool LoadEmbedded(int resourceId, std::string& errorText);
  // Writes the whole image to target word address 0 in pieces of 128 words, each checked by
  // reading it back; progress on the session's routine channel.
  [[nodiscard]] bool Upload(RoutineHost& session);
  // Runs the routine at image word `entryIndex` and waits for its completion byte; 0xEE is a
  // failure, any other byte success. The wait ends early on a cancel, a lost link or after
  // `callTimeoutMs` without an answer.
  [[nodiscard]] bool Call(RoutineHost& session, uint32_t entryIndex);
  // Forgets the image.
  void Clear();

  uint16_t Word(uint32_t index) const { return index < length ? words[index] : 0; }
  std::span<const uint16_t> Words() const { return {words, length}; }

  const uint16_t* words = nullptr;
  uint32_t length = 0;
  int callTimeoutMs = kDefaultCallTimeoutMs;
  CallResult lastCall = CallResult::Done;

 private:
  // Keeps a replacement file's words alive while the image points at them.
  std::shared_ptr<const std::vector<uint16_t>> fileWords_;
};

// Checks an image held in memory: magic, interface version, and a header length that the
// data covers. Used for replacement files before they are accepted.
bool IsUsableDriverImage(std::span<const uint16_t> words);

// The verification checksum: for each word w, A = (A + w) mod 65521, then B = (B + A) mod
// 65521; a fresh checksum starts with A = B = 0. `packed` is B * 65536 + A in and out.
uint32_t ChecksumWords(uint32_t packed, std::span<const uint16_t> words);
inline constexpr uint32_t kChecksumModulus = 65521;

}  // namespace tessaro
