// The session every action that talks to a target runs in. The programming operations and the
// flash drivers hold nothing else while they work: it carries the link, the board
// configuration in effect, the progress bar, the current status with the values that describe
// a failure, the current target position with its address mapping, and the small target-side
// driver that computes verification checksums. Its virtual operations reach back into
// whatever hosts the action (the main window, the CLI, a test).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flash/DriverImage.h"
#include "link/RoutineHost.h"
#include "platform/Prompt.h"

namespace tessaro {

class SerialPort;
struct BoardConfig;
struct ChipInfo;
class FlashDriverIf;

// Status codes of device work.
enum StatusCode : uint32_t {
  StatusReady = 0,
  StatusProgramVerified = 1,
  StatusProgrammed = 2,
  StatusProgramQuickVerified = 3,
  StatusVerified = 4,
  StatusErased = 5,
  StatusChipErased = 6,
  StatusEmpty = 7,
  StatusProgramFailed = 8,
  StatusQuickVerifyFailed = 9,
  StatusVerifyFailed = 10,
  StatusSectorEraseFailed = 11,
  StatusChipEraseFailed = 12,
  StatusNotBlank = 13,
  StatusAborted = 14,
  StatusProgramming = 15,
  StatusBlankChecking = 16,
  StatusVerifying = 17,
  StatusErasing = 18,
  StatusCustom = 19,
};
inline constexpr uint32_t kStatusCodeCount = 20;

// Kinds of memory being worked on; they select the prefix of the status line.
enum MemoryKind : uint32_t {
  MemoryNone = 0,
  MemoryEmbedded = 1,
  MemoryParallel = 2,
  MemorySerial = 3,
  MemoryQspi = 5,
  MemoryDualQspi = 6,
  MemoryNand = 7,
};

// Colours of the status line: 0 normal, 1 black on green, 2 black on yellow, 3 yellow on red.
enum ColourClass : int { ColourNormal = 0, ColourGreen = 1, ColourYellow = 2, ColourRed = 3 };

// "Embedded Flash: " and the like; "" for no kind, NAND and unknown kinds.
std::string_view MemoryKindPrefix(uint32_t kind);
int StatusColourClass(uint32_t code);
// The status line for a code: the kind's prefix followed by the code's text (code 0 gives
// "Ready" alone). The failure address is 8 hex digits, the expected value 4, the read value 4
// or "????" when negative; an address or expected value of VALUE_INVALID prints "????????".
std::string StatusText(uint32_t memoryKind, uint32_t code, int32_t failureAddress, uint32_t expectedValue,
                       int32_t readValue, const std::string& customText);

// The mapping from an operation's word position to a target word address. Inside a family's
// low region a position is an offset into the external device; beyond it, an absolute target
// word address. On the 8x47 the low region is switched in by three I/O registers, which the
// window saves at attach and restores when the position leaves the region. On the 8x2x, 74xx
// and 9xxx a run that starts in the low region stays in the device: all its positions are
// offsets into it, also those from 0x10000 on.
class AddressWindow {
 public:
  int32_t position = 0;
  int32_t base = 0;
  FlashDriverIf* owner = nullptr;
  uint16_t saved9 = 0;
  uint16_t saved13 = 0;
  uint16_t saved33 = 0;
  bool lowRegion = false;
  // The current run started in the low region of a family whose device lies behind it.
  bool deviceRun = false;
  // The current run addresses a serial flash: a position is the device's own address and the
  // memory window stays as it is. (The 8x47's window switch rewrites port 1's registers, where
  // the flash's select pin may be routed.)
  bool serialRun = false;

  void Attach(FlashDriverIf& session);
  // Makes `start` the first position of a run (an erase, a program, a verify, a read or a
  // blank check) and maps it; returns the low-region flag.
  bool StartRun(uint32_t start);
  // Makes `newPosition` current and maps it; returns the low-region flag. Detached, only the
  // position changes.
  bool Select(uint32_t newPosition);
  void Detach();
  bool attached() const { return owner != nullptr; }
  // Target word address of the current position.
  uint32_t TargetAddress() const { return static_cast<uint32_t>(position) + static_cast<uint32_t>(base); }

 private:
  void EnterLow8x47();
};

// A progress bar of the host. Absent (null) when the host has none.
class ProgressBarIf {
 public:
  virtual ~ProgressBarIf() = default;
  virtual void SetRange(int32_t low, int32_t high) = 0;
  virtual void SetPosition(int32_t position) = 0;
};

struct ProgressChannel {
  int32_t position = 0;
  int32_t low = 0;
  int32_t high = 100;
};

// The erase units of a program run that already hold what the run would leave in them (found
// by comparing checksums first, when asked to skip unchanged units). Erasing and programming
// pass over them; verification does not. Positions as the session's window counts them.
struct UnchangedUnits {
  // Units of the run that were compared, and those found unchanged.
  uint32_t compared = 0;
  uint32_t skipped = 0;
  // The unchanged units, [start, end), ascending and apart.
  std::vector<std::pair<uint32_t, uint32_t>> ranges;

  // The end of the unchanged unit holding `position`, or `position` when none holds it.
  uint32_t SkipFrom(uint32_t position) const;
  // Words from `position` before the next unchanged unit begins (UINT32_MAX when none follows):
  // a write that starts at `position` must not reach further.
  uint32_t WordsBeforeNext(uint32_t position) const;
  bool Holds(uint32_t start, uint32_t end) const;
  void Clear() { *this = UnchangedUnits{}; }
};

class FlashDriverIf : public RoutineHost {
 public:
  FlashDriverIf(SerialPort* link, BoardConfig* configuration, ProgressBarIf* progressBar);
  virtual ~FlashDriverIf();
  FlashDriverIf(const FlashDriverIf&) = delete;
  FlashDriverIf& operator=(const FlashDriverIf&) = delete;

  // ---- host operations ----
  virtual void UpdateProgress(int channel);
  virtual void ShowStatus(const std::string& /*text*/) {}
  virtual void SetProgressWindow(ProgressBarIf* bar) { progressBar = bar; }
  virtual void ShowPosition(const std::string& /*text*/) {}
  // Returns the button pressed, in the prompt interface's vocabulary; the base shows nothing
  // and answers OK.
  virtual PromptAnswer ShowMessage(const std::string& /*text*/, const char* /*caption*/, PromptButtons /*buttons*/) {
    return PromptAnswer::Ok;
  }
  // True when the user asked to stop; the implementation has then reported status 14 and set
  // `cancelled`.
  bool CheckCancel() override { return false; }
  virtual bool EnsureLinked() { return false; }
  virtual uint32_t GetStartAddress() = 0;
  virtual void SetStartAddress(uint32_t address) = 0;
  virtual uint32_t GetImageOffset() = 0;
  // An opaque handle of the window hosting the action (null when there is none).
  virtual void* GetHostWindow() = 0;

  // ---- target-side routines: the upload shows on the second progress channel ----
  SerialPort* RoutineLink() override { return link; }
  void BeginRoutineProgress(int32_t total) override;
  void RoutineProgress(int32_t done) override;

  // ---- status ----
  void ReportStatus();
  void SetCustomStatus(const std::string& text);
  // Sets the code and reports it. After a cancel, a failure the cancel brought about (a wait
  // that ended early) stays reported as the cancel.
  void SetStatus(uint32_t code);

  // ---- why an action failed ----
  // True when there is no link or it went down; records it once (`linkLost`, `failureReason`).
  bool LinkDown();
  // A checksum call on the target that gave no checksum: the status stays 14 (the code the
  // programmer has always shown for it) and `failureReason` says what happened.
  void ChecksumCallFailed();
  std::string CurrentStatusText() const;

  // ---- progress ----
  void SetProgress(int32_t position);

  // ---- checksum service ----
  [[nodiscard]] bool PrepareChecksumDriver(std::string& errorText);
  [[nodiscard]] bool ChecksumTarget(uint32_t& checksum, uint32_t start, uint32_t count);

  // The chip of the configuration in effect, or null.
  const ChipInfo* Chip() const;
  uint32_t FamilyCode() const;

  SerialPort* link = nullptr;
  ProgressBarIf* progressBar = nullptr;
  BoardConfig* configuration = nullptr;
  DriverImage checksumDriver;
  bool checksumDriverReady = false;
  uint32_t memoryKind = MemoryNone;
  uint32_t statusCode = StatusReady;
  std::string customStatusText;
  std::array<ProgressChannel, 2> progress{};
  int currentProgressChannel = 0;
  int32_t failureAddress = 0;
  uint32_t expectedValue = 0;
  int32_t readValue = -1;
  AddressWindow window;
  // Set when the user asked to stop (see CheckCancel); a status 14 without it is a failure.
  bool cancelled = false;
  // Set when a wait or a call found the link gone.
  bool linkLost = false;
  // What ended a failed action when the status line alone does not say it; "" otherwise.
  std::string failureReason;
  uint32_t deviceId = 0;
  std::array<uint8_t, 8> deviceIdBytes{};
  // Of the current program run (empty unless it was asked to skip unchanged units).
  UnchangedUnits unchanged;
};

inline constexpr const char* kLinkLostText = "The link to the target was lost";

// Every wait on the target ends: on its deadline, on the user's cancel, and at once when the
// link is down (a lost link reads as all ones, which polls of busy bits would wait on forever).
//   for (TargetWait wait(session, 500); wait.Continue();) { ... poll ... }
class TargetWait {
 public:
  TargetWait(FlashDriverIf& session, int timeoutMs)
      : session_(session), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  // False once the link is down, the user cancelled, or the deadline has passed.
  bool Continue();
  bool timedOut() const { return timedOut_; }
  bool cancelled() const { return cancelled_; }

 private:
  FlashDriverIf& session_;
  std::chrono::steady_clock::time_point deadline_;
  bool timedOut_ = false;
  bool cancelled_ = false;
};

// Registers and layout of the checksum call of the "PRGDEV PAR" image.
inline constexpr uint32_t kRegAddressLow = 56;
inline constexpr uint32_t kRegAddressHigh = 57;
inline constexpr uint32_t kRegWordCount = 58;
inline constexpr uint32_t kRegSumA = 61;
inline constexpr uint32_t kRegSumB = 62;
inline constexpr uint32_t kRegDfWordCount = 63;
inline constexpr uint32_t kRegParameterBlock = 64;
inline constexpr uint32_t kParBlockWords = 48;
inline constexpr uint32_t kDfBlockWords = 76;
inline constexpr uint16_t kParBlockSignature = 0x501D;
inline constexpr uint16_t kDfBlockSignature = 0xDD1D;
inline constexpr uint32_t kChecksumEntry = 11;
// Longest range one checksum call covers; calls never cross a multiple of it.
inline constexpr uint32_t kChecksumChunkWords = 0x10000;

}  // namespace tessaro
