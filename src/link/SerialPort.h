// The link object: one SerialPort per link, in three layers.
//  - channel: port, line settings, 512-byte transmit buffer, reader thread and 32768-byte
//    receive ring, modem-line control and the bit-by-bit handshake transfer of the legacy link;
//  - link: opening, the debug interface probe, linking with the boot ROM (reset, secured chips,
//    debug sessions, baud switch), the connect sequence, identification;
//  - commands: framing, recording, acknowledges, resynchronisation with replay, and every
//    register, memory, embedded-flash and fuse command of the boot-ROM monitor.
// Everything but the reader thread runs on the thread that owns the link. Every wait has a
// deadline and polls the owner's CLyrComIf::AbortRequested.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <semaphore>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "chips/BoardConfig.h"
#include "link/ComIf.h"
#include "link/LinkResult.h"
#include "platform/PortDevice.h"
#include "platform/Prompt.h"

namespace tessaro {

inline constexpr size_t kTxBufferSize = 512;
inline constexpr size_t kRxRingSize = 32768;
inline constexpr size_t kCommandRecordSize = 512;
inline constexpr size_t kReplyReplaySize = 1024;
inline constexpr uint32_t kMaxBlockReadWords = 512;
inline constexpr uint32_t kMaxBlockWriteWords = 128;
inline constexpr uint32_t kFlashPageWords = 64;
inline constexpr uint8_t kAck = 0xAC;
// Bytes of acknowledged-only commands a link may have in flight by default (0: none): see
// SerialPort::SetWindow.
inline constexpr uint32_t kDefaultWindowBytes = 0;

// How the link reaches the target: the port kind and, behind a USB debug interface, the
// protocol the interface drives. `OpenLink` moves Closed to Serial or Handshake; an interface
// answering the probe moves that on to one of the USB modes; `CloseLink` returns to Closed.
//   Closed            no port open
//   Serial            plain serial link (57600 baud, may switch to 115200)
//   Handshake         the 73xx legacy link, bit by bit over the modem lines
//   UsbLegacy         USB interface driving the legacy-family protocol
//   UsbSerial         USB interface driving the serial protocol
//   UsbLegacyKind2    as UsbLegacy, behind an interface of kind 2 (can switch baud)
//   UsbSerialKind2    as UsbSerial, behind an interface of kind 2 or higher
// The numbers are the ones the identification output shows.
enum TransportMode : int {
  TransportClosed = 0,
  TransportSerial = 1,
  TransportHandshake = 2,
  TransportUsbLegacy = 3,
  TransportUsbSerial = 4,
  TransportUsbLegacyKind2 = 5,
  TransportUsbSerialKind2 = 6,
};

// Whether the link speaks the legacy-family (73xx) protocol.
constexpr bool SpeaksLegacyProtocol(TransportMode mode) {
  return mode == TransportHandshake || mode == TransportUsbLegacy || mode == TransportUsbLegacyKind2;
}

// What each reader kind answers when the link is not linked (or a reply never came), so a
// caller can tell a failed read from data:
//   word and 24-bit reads (ReadRegister, ReadMemoryWord, ReceiveWord/Word24)  VALUE_INVALID
//   I/O register reads (ReadIoRegister)                                       kIoNotLinked
//   byte and block reads (ReadByte, ReceiveByte, ReadMemoryBlock, ...)        false
// VALUE_INVALID does not fit in 16 bits, so no word a target sends can equal it; an I/O read
// answers all ones, which the callers that poll hardware status treat as "busy/unknown".
inline constexpr uint32_t kIoNotLinked = 0xFFFFFFFFu;

// Time limits of the link. The defaults are the protocol's own; tests shorten them.
struct LinkTimeouts {
  int replyMs = 1000;             // ReadByte and every reply wait
  int linkMs = 1500;              // the boot ROM's answer to the link request
  int handshakeSendMs = 200;      // one handshake bit, host to target
  int handshakeReceiveMs = 1000;  // one handshake bit, target to host
  int sessionAnswerMs = 1500;     // the answer to opening a debug session (0xBB)
  int settleMs = 100;             // after starting the reader thread
};

// Opens the device behind a port number; null when there is none. The default maps COMn
// through the port table in the user settings to a tty device.
using PortOpener = std::function<std::unique_ptr<PortDevice>(uint32_t portNumber)>;
PortOpener DefaultPortOpener();

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // ---- set-up (not part of the wire protocol) ----
  void SetPortOpener(PortOpener opener) { opener_ = std::move(opener); }
  // The name the open-failure message gives the port: a port the user named by its device
  // path is called by that path. Empty (the default) names it "COMn".
  void SetPortName(std::string name) { portName_ = std::move(name); }
  void SetPrompt(PromptIf* prompt);
  void SetTimeouts(const LinkTimeouts& timeouts) { timeouts_ = timeouts; }
  const LinkTimeouts& timeouts() const { return timeouts_; }

  // ---- channel ----
  uint32_t portNumber = 1;
  // "%u,%c,%u,%u": baud, parity letter, data bits, stop bits. Applied at once to an open port;
  // false when the text does not parse or the open port refuses the settings.
  [[nodiscard]] bool SetLineSettings(const std::string& text);
  const LineSettings& lineSettings() const { return line_; }
  // Opens `portNumber` (closing first) and starts the reader thread; whether a port is open.
  [[nodiscard]] bool Open();
  // Stops the reader thread and closes the port; returns false.
  bool Close();
  bool IsOpen() const { return device_ != nullptr; }
  void Write(const uint8_t* data, size_t size);
  void Write(std::span<const uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
  void Flush();
  void FlushAndSetLines(bool rts);
  uint32_t Available();
  [[nodiscard]] bool ReadByte(uint8_t& byte);
  [[nodiscard]] bool TakeByte(uint8_t& byte);
  [[nodiscard]] bool HandshakeSendByte(uint8_t byte);
  void HandshakePoll();
  void SetRts();
  void ClearRts();
  void SetDtr();
  void ClearDtr();
  uint32_t rxCount() const { return rxCount_.load(); }
  // Round trips so far: each time the protocol took a received byte after it had sent bytes
  // since the previous one, i.e. each time it waited for the target's answer. Kept for
  // benchmarks and tests; the simulated board counts the same from its side.
  uint64_t roundTrips() const { return roundTrips_; }

  // ---- commands in flight ----
  // A command that only expects an acknowledge may leave before the acknowledges of the ones
  // before it have been read, as long as the bytes the monitor may have to hold while it
  // executes one of them (every command in flight but the oldest, the new one included) stay
  // within `bytes`; 0 waits for each acknowledge. Acknowledges are collected in order; any
  // other command first collects them all. Transports that carry bytes one by one (the
  // modem-line handshake) and chips that never acknowledge keep no window.
  void SetWindow(uint32_t bytes) { window_ = bytes; }
  uint32_t window() const { return window_; }
  uint32_t EffectiveWindow() const;
  size_t commandsInFlight() const { return inFlight_.size(); }
  // Collects every outstanding acknowledge, resending what a fault left undone. False (with
  // the link given up) when that could not be completed.
  [[nodiscard]] bool DrainWindow();

  // ---- link ----
  [[nodiscard]] LinkResult OpenLink(CLyrComIf* callback, uint32_t port, bool switchBaud);
  [[nodiscard]] LinkResult LinkWithTarget(CLyrComIf* callback, uint32_t port, bool switchBaud, bool quiet);
  [[nodiscard]] LinkResult Connect(CLyrComIf* callback, uint32_t port, bool switchBaud,
                                   const BoardConfig& configuration);
  void CloseLink(bool flag);

  bool linked() const { return linked_; }
  TransportMode transportMode() const { return transportMode_; }
  bool targetPowered() const { return targetPowered_; }
  bool resetByLink() const { return resetByLink_; }
  uint8_t interfaceRevision() const { return interfaceRevision_; }
  bool interfaceRev6() const { return interfaceRev6_; }
  const BoardConfig& config() const { return config_; }
  BoardConfig& config() { return config_; }
  const std::string& chipDescription() const { return chipDescription_; }
  uint16_t chipIdValue() const { return chipIdValue_; }
  // Sets or clears `linked` directly (the chip erase of a secured chip talks to an unlinked
  // boot ROM).
  void SetLinked(bool linked) { linked_ = linked; }
  CLyrComIf* callback() const { return callback_; }

  // ---- command primitives ----
  // The send primitives answer false when the link is down; a command's outcome is decided
  // by its reply (or acknowledge), which fails the same way, so callers check that instead.
  void BeginCommand(uint32_t expectedReply);
  bool SendByte(uint8_t byte, bool doNotRecord = false);
  bool SendWord(uint16_t word);
  bool SendWord24(uint32_t value);
  bool SendBlock(const uint8_t* data, size_t size, bool doNotRecord = false);
  [[nodiscard]] bool ReceiveByte(uint8_t& byte);
  [[nodiscard]] uint32_t ReceiveWord();
  [[nodiscard]] uint32_t ReceiveWord24();
  uint32_t ReceivedCount();
  [[nodiscard]] bool WaitAck();
  [[nodiscard]] bool Resync();

  // ---- commands ----
  [[nodiscard]] uint32_t ReadRegister(uint32_t reg);
  void WriteRegister(uint32_t reg, uint32_t value);
  [[nodiscard]] uint32_t ReadIoRegister(uint32_t reg);
  void WriteIoRegister(uint32_t reg, uint32_t value);
  [[nodiscard]] uint32_t ReadMemoryWord(uint16_t low, uint16_t high);
  [[nodiscard]] uint32_t ReadMemoryWord(uint32_t address) { return ReadMemoryWord(address & 0xFFFF, address >> 16); }
  [[nodiscard]] bool WriteMemoryWord(uint32_t address, uint16_t value);
  // Also false when the link is down; the probe and set-up sequences that use it judge the
  // outcome by the read that follows, so the result is not marked.
  bool WriteTargetWord(uint32_t address, uint16_t value);
  [[nodiscard]] bool ReadMemoryBlock(uint16_t low, uint16_t high, uint32_t count, uint16_t* buffer);
  [[nodiscard]] bool WriteMemoryBlock(uint16_t low, uint16_t high, uint32_t count, const uint16_t* data, bool readBack);
  [[nodiscard]] bool WrFlash(uint32_t address, uint32_t count, const uint16_t* data);
  [[nodiscard]] bool WriteFlashBlock(uint32_t address, uint32_t count, const uint16_t* data);
  void WriteFuseBits(bool f0, bool f1, bool f8, uint32_t bitsA, uint32_t bitsB);
  // 9xxx eFuse burn: `words` are fuse bit indices, sent in order. Nothing inside the sequence
  // is resent; true only when every bit and the closing command were acknowledged.
  [[nodiscard]] bool WriteEfuseWords(const uint16_t* words, size_t count);

  // ---- identification ----
  [[nodiscard]] bool IdentifyChip();
  [[nodiscard]] const ChipInfo* ProbePort(CLyrComIf* callback, uint32_t port, bool switchBaud);

  // The link's own prompt (message boxes of the link layer).
  PromptIf& prompt() { return *prompt_; }

 private:
  enum class WaitResult { Ready, Replayed, Failed };
  // commands in flight
  void BeginAckCommand(uint32_t expectedReply, size_t length);
  [[nodiscard]] bool FinishAckCommand();
  // A command whose answer is needed, sent behind the commands in flight; CollectBeforeAnswer
  // collects their acknowledges (recovering as they need) before its answer is read.
  void BeginReplyCommand(uint32_t expectedReply, size_t length);
  [[nodiscard]] bool CollectBeforeAnswer();
  [[nodiscard]] bool ResendPoll(bool throughResync);
  [[nodiscard]] bool RetireOldest();
  [[nodiscard]] bool RecoverWindow(bool gotByte);
  [[nodiscard]] bool ResendAfterResync();
  void LoadRecord(const std::vector<uint8_t>& bytes);

  // channel
  void ReaderThread();
  void StopReader();
  [[nodiscard]] bool ApplyLineSettings();
  void SetModemLine(bool rts, bool on);
  void CountReceive();
  // link helpers
  const ChipInfo* ProbeSilentBootRom(CLyrComIf* callback, uint32_t port, bool switchBaud);
  void DrainInput();
  // Drops the bytes already in the ring (not in handshake mode), without flushing output.
  void DiscardWaitingInput();
  void ProbeInterface();
  void RawSend(uint8_t byte);
  bool ReadByteWithin(int ms, uint8_t& byte);
  bool SleepPolling(int ms);
  // command helpers
  void Record(const uint8_t* data, size_t size);
  bool TransportSend(uint8_t byte);
  uint32_t TransportAvailable();
  bool TransportTake(uint8_t& byte);
  // resynchronisation
  [[nodiscard]] bool SendProbe();
  [[nodiscard]] bool DiscardReceived();  // false once the link is gone
  [[nodiscard]] bool SettleNineMonitor();
  void GiveUp();
  WaitResult WaitForReply(uint32_t count);
  uint32_t ReceiveValue(uint32_t bytes);
  bool IsLegacy() const { return config_.chip && config_.chip->legacyLink; }
  uint32_t Family() const { return config_.chip ? config_.chip->familyCode : 0; }
  bool IsFlashMode() const;

  // channel state
  PortOpener opener_;
  std::string portName_;
  std::unique_ptr<PortDevice> device_;
  LineSettings line_{19200, 'N', 8, 2};
  std::array<uint8_t, kTxBufferSize> txBuffer_{};
  size_t txCount_ = 0;
  std::array<uint8_t, kRxRingSize> rxRing_{};
  uint32_t rxWrite_ = 0;  // reader thread (and HandshakePoll in the handshake transport)
  uint32_t rxRead_ = 0;   // protocol thread
  std::atomic<uint32_t> rxCount_{0};
  std::unique_ptr<std::counting_semaphore<kRxRingSize>> freeSlots_;
  std::unique_ptr<std::counting_semaphore<kRxRingSize>> filledSlots_;
  std::atomic<bool> stopReader_{true};
  // In the handshake transport the ring belongs to the handshake reception; the reader thread then
  // drops what the data line carries.
  std::atomic<bool> handshakeOwnsRing_{false};
  std::thread readerThread_;
  bool rtsReleased_ = false;
  bool sentSinceReceive_ = false;
  uint64_t roundTrips_ = 0;
  LinkTimeouts timeouts_;

  // link state
  TransportMode transportMode_ = TransportClosed;
  bool linked_ = false;
  bool targetPowered_ = true;
  bool resetByLink_ = false;
  bool switchBaud_ = false;
  uint8_t interfaceRevision_ = 0;
  bool interfaceRev6_ = false;
  BoardConfig config_;
  CLyrComIf defaultCallback_;
  CLyrComIf* callback_ = &defaultCallback_;
  std::string chipDescription_;
  uint16_t chipIdValue_ = 0;
  uint32_t preloadCount_ = 0;
  uint32_t preloadAddress_ = 0;
  std::array<uint16_t, 4> preloadWords_{};

  // command state
  uint32_t retries_ = 0;
  uint32_t expectedReply_ = 0;
  std::array<uint8_t, kCommandRecordSize> commandRecord_{};
  size_t recordLength_ = 0;
  std::array<uint8_t, kReplyReplaySize> replyReplay_{};
  bool replayActive_ = false;
  uint32_t replayIndex_ = 0;

  // commands in flight: their bytes, oldest first
  uint32_t window_ = kDefaultWindowBytes;
  std::deque<std::vector<uint8_t>> inFlight_;
  size_t inFlightBytes_ = 0;
  bool windowed_ = false;    // the command being built joins the window
  uint32_t pollAnswer_ = 0;  // answer bytes of the command waiting behind the window (0: none)
  std::vector<uint8_t> pollRecord_;
  std::unique_ptr<PromptIf> defaultPrompt_;
  PromptIf* prompt_ = nullptr;
};

}  // namespace tessaro
