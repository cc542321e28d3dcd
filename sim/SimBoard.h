// The simulated LYR board: one catalogue chip with its boot-ROM debug monitor, the debug
// interface in front of it (none, or the USB interface), security state, memories, registers,
// I/O registers, embedded flash, fuse bits and eFuses, plus the wire between host and board
// (line speed, pacing, latency, counters, injected faults).
//
// The board is a byte machine: the transport hands it what the host sends (HostWrite) and
// takes what the target has sent once it is due (TakeOutput). The legacy 73xx chips without
// an interface answer only over the modem-line handshake (SetModemLines / Cts / Dsr).
// Every public operation is thread-safe.
//
// One class, its parts in their own files: the board (SimBoard.cpp: state, faults, inspection,
// attach points), the wire (SimWire.cpp), the transports (SimTransport.cpp), the monitor
// (SimMonitor.cpp: the command table and what each command does), the memory map
// (SimMemoryMap.cpp); per-chip facts in ChipFacts, state files in BoardState.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "chips/ChipCatalogue.h"
#include "sim/SimDevices.h"
#include "sim/SimOptions.h"
#include "sim/SimTrace.h"
#include "sim/SimUart.h"
#include "sim/devices/EfuseArray.h"

namespace tessaro::sim {

using SimClock = std::chrono::steady_clock;
struct BoardDevices;

struct WireCounters {
  uint64_t hostToTarget = 0;
  uint64_t targetToHost = 0;
  uint64_t roundTrips = 0;  // a host write followed by a target reply
  uint64_t rxDropped = 0;   // host bytes lost to a full receive buffer of the monitor
};

class SimBoard {
 public:
  // A board with the driver-image runner as its routine handler, its memories loaded from the
  // options' state file when that exists. Null (with a message) when the options name no
  // catalogue chip or the state file cannot be loaded.
  static std::shared_ptr<SimBoard> Create(const SimOptions& options, std::string* error = nullptr);
  explicit SimBoard(const SimOptions& options, const ChipInfo* chip);
  ~SimBoard();

  // ---- transport side ----
  void HostWrite(const uint8_t* data, size_t size);
  // Moves due target-to-host bytes into `buffer`; returns how many.
  size_t TakeOutput(uint8_t* buffer, size_t capacity);
  // When the next target-to-host byte (or the boot ROM's greeting) falls due; nullopt when
  // nothing is pending.
  std::optional<SimClock::time_point> NextEvent();
  // Blocks until output is due (returns the count), `interrupted` is set (clears it and
  // returns 0), or the board is unplugged (-1). `interrupted` is guarded by the board's lock.
  long WaitOutput(uint8_t* buffer, size_t capacity, bool& interrupted);
  // Sets `interrupted` under the board's lock and wakes WaitOutput.
  void Interrupt(bool& interrupted);
  void SetHostBaud(uint32_t baud);  // 8N1 at `baud`
  void SetHostLine(const UartFormat& format);
  void SetModemLines(bool rts, bool dtr);
  bool Cts();
  bool Dsr();
  void PortOpened();
  // The USB interface is unplugged: its port vanishes (reads and writes fail, opening it fails)
  // until Replug. The board itself keeps running.
  void Unplug();
  void Replug();
  bool unplugged();
  // The cable between the interface (or serial board) and the target falls silent: the port
  // stays, nothing reaches the target, nothing of it comes back, and the USB interface reports no
  // target. Until RestoreLink.
  void LoseLink();
  void RestoreLink();
  bool linkLost();

  // ---- what a person does ----
  void PressReset();
  void SetTargetPowered(bool powered);

  // ---- faults, settable while running ----
  void SetDropReplyByte(uint64_t index);
  void SetCorruptReplyByte(uint64_t index);
  void SetLateCommand(uint64_t index, uint32_t lateMs);
  void SetStopAfterCommands(uint64_t count);
  void SetRefuseBaudSwitch(bool refuse);
  void DropHostByte(uint64_t index);
  void CorruptHostByte(uint64_t index, uint8_t flip);
  void DuplicateHostByte(uint64_t index);
  // The link drops after `count` more eFuse bits have been burned (nullopt: no fault).
  void SetEfuseDropAfterBits(std::optional<uint32_t> count);

  // ---- what a correct host never does ----
  // The board's own violations followed by those of every attached device model.
  std::vector<std::string> Violations();
  void ClearViolations();
  // Called with each violation as it happens (tessaro-sim prints them); runs under the lock.
  void SetViolationLog(std::function<void(const std::string&)> log);
  // Called when an armed fault of the options strikes ("board reset after command 12"); runs
  // under the lock. The trace gets a "fault" record too.
  void SetFaultLog(std::function<void(const std::string&)> log);

  // ---- the command trace ----
  std::vector<SimTraceRecord> Trace();
  void ClearTrace();

  // ---- inspection ----
  WireCounters Counters();
  uint64_t CommandCount();
  uint64_t ReplyBytes();
  const ChipInfo* chip() const { return chip_; }
  const SimOptions& options() const { return options_; }
  uint16_t ReadMemory(uint32_t address);               // as the monitor's memory read sees it
  void WriteMemory(uint32_t address, uint16_t value);  // as a memory write by the monitor
  uint16_t FlashWord(uint32_t address);                // embedded flash word (0..embeddedFlashSize-1)
  void SetFlashWord(uint32_t address, uint16_t value);
  uint32_t Register(uint32_t reg);
  void SetRegister(uint32_t reg, uint32_t value);
  uint16_t IoRegister(uint32_t reg);  // raw stored value
  void SetIoRegister(uint32_t reg, uint16_t value);
  uint16_t FuseBit(uint32_t address);  // 8x47 fuse word 0x8000..0x8008 as last written
  void SetFuseBit(uint32_t address, uint16_t value);
  bool SecurityBit();
  void SetSecurityBit(bool on);
  uint16_t EfuseWord(uint32_t index);  // 9xxx eFuse word 0..63 (burned bits, presets)
  void SetEfuseWord(uint32_t index, uint16_t value);
  bool SessionOpened();
  uint32_t TargetBaud();
  std::string StatsJson();
  [[nodiscard]] bool WriteStats(const std::string& path);
  // The lock on the options' state file (an open descriptor holding it), taken by Create and
  // given up when the state has been saved or the board goes.
  void HoldStateLock(int descriptor);
  void ReleaseStateLock();

  // ---- device models ----
  void AttachMemoryWindow(uint32_t base, uint32_t size, std::shared_ptr<SimMemoryDevice> device);
  void AttachIoBlock(uint32_t first, uint32_t count, std::shared_ptr<SimIoDevice> device);
  void AttachSpiDevice(uint32_t select, std::shared_ptr<SimSpiDevice> device);
  std::shared_ptr<SimSpiDevice> SpiDevice(uint32_t select);
  // Replaces the routine handler (by default the driver-image runner of Create); a handler
  // that should keep the runner behind it takes RoutineHandler() as its next.
  void SetRoutineHandler(std::shared_ptr<SimRoutineHandler> handler);
  std::shared_ptr<SimRoutineHandler> RoutineHandler();
  // The external devices built from the options (null when there are none).
  void SetDevices(std::shared_ptr<BoardDevices> devices);
  std::shared_ptr<BoardDevices> Devices();
  // The board's lock; device models and routine handlers run with it held (it is recursive,
  // so they may call the accessors above).
  std::recursive_mutex& mutex() { return mutex_; }

 private:
  struct OutByte {
    SimClock::time_point due;
    uint8_t value;
  };
  struct Window {
    uint32_t base, size;
    std::shared_ptr<SimMemoryDevice> device;
  };
  struct IoBlock {
    uint32_t first, count;
    std::shared_ptr<SimIoDevice> device;
  };
  // A fault the options arm at a command count or at a time from the host's first byte.
  enum class FaultKind : uint8_t { Reset, LinkLoss, Unplug };
  struct ArmedFault {
    FaultKind kind;
    uint64_t atCommand;  // 0: none
    uint32_t atMs;       // 0: none
    bool timeStruck;
  };

  // byte paths
  void Tick(SimClock::time_point now);
  void Strike(FaultKind kind, SimClock::time_point now, const std::string& when);
  void LoseLinkLocked(SimClock::time_point now);
  void LoseLinkByFault(SimClock::time_point now);  // for --link-loss-ms too
  void UnplugByFault(SimClock::time_point now);
  void HostByte(uint8_t byte, SimClock::time_point now);
  bool InterfaceByte(uint8_t byte, SimClock::time_point now);
  bool handshake() const;
  SimClock::duration ByteTime() const;
  size_t TakeOutputLocked(uint8_t* buffer, size_t capacity);
  std::optional<SimClock::time_point> NextEventLocked();
  void MonitorByte(uint8_t byte);
  // A byte reaches the monitor's UART at `at`: taken at once when the monitor is reading, else
  // buffered, or lost when the buffer is full.
  void MonitorReceive(uint8_t byte, SimClock::time_point at);
  // Lets the monitor take its buffered bytes up to `until`.
  void DrainMonitorBuffer(SimClock::time_point until);
  std::optional<SimClock::time_point> NextMonitorTake() const;
  // `fromInterface`: the USB interface's own answer, which a lost link to the target does not stop.
  void Emit(uint8_t byte, bool fromInterface = false);
  void EmitWord(uint16_t word);
  void Reset(SimClock::time_point now);
  void Greet();
  uint32_t LineBaud() const;
  UartFormat TargetLine() const;
  void Violation(std::string text);
  // Puts the device models' new violations in the trace and the log as they happen (they stay
  // with their models for Violations()).
  void ForwardModelViolations();
  void Record(SimTraceRecord record);
  // monitor: the command table and its handlers live in SimMonitor.cpp
  struct MonitorCommands;
  size_t CommandLength() const;
  void Execute();
  uint32_t WindowAddress(uint32_t address);  // where the device windows see a target address
  uint16_t MemRead(uint32_t address);
  [[nodiscard]] bool MemWrite(uint32_t address, uint16_t value);  // false: nothing decodes the address
  void HostMemWrite(uint32_t address, uint16_t value);            // a write by the host: violations recorded
  bool InEmbeddedFlash(uint32_t address) const;
  uint16_t IoRead(uint32_t reg);
  void IoWrite(uint32_t reg, uint16_t value);
  bool FlashWrite(uint32_t address, uint32_t count, const uint8_t* data, bool byteAddressed);
  void ResetIoRegisters();
  bool LowWindowIsFlash() const;
  uint32_t BankCount() const;
  int OfferedSession() const;  // 9xxx: 0 not secured, 2..7 the session offered, 8 none left
  void EfuseAnswer(EfuseArray::Answer answer);
  // handshake
  void HandshakeEdge(bool rts);

  const SimOptions options_;
  const ChipInfo* chip_;
  const uint32_t family_;
  std::recursive_mutex mutex_;
  std::condition_variable_any outputReady_;

  // wire
  std::deque<OutByte> out_;
  SimClock::time_point lastDue_{};
  SimClock::time_point lineFreeAt_{};
  SimClock::time_point replyBase_{};
  UartFormat hostLine_{0, 8, 'N', 1};
  uint64_t hostSerial_ = 0;  // host-to-target bytes so far, for the host-side faults
  std::vector<uint64_t> dropHost_, duplicateHost_;
  std::vector<std::pair<uint64_t, uint8_t>> corruptHost_;
  std::mt19937_64 noise_;
  uint8_t Noise(uint8_t byte);
  WireCounters counters_;
  bool hostSpoke_ = false;
  std::vector<std::string> violations_;
  std::function<void(const std::string&)> violationLog_;
  std::deque<SimTraceRecord> trace_;
  FILE* traceFile_ = nullptr;
  int stateLock_ = -1;
  std::vector<uint8_t> lastCommand_;  // to mark a command sent again after a resync
  bool probeSeen_ = false;
  bool beforeResetReported_ = false;
  uint64_t replySerial_ = 0;
  uint64_t dropReplyByte_, corruptReplyByte_, lateCommand_, stopAfter_;
  uint32_t lateMs_;
  bool refuseBaudSwitch_;
  bool currentLate_ = false;
  bool silent_ = false;
  bool unplugged_ = false;
  bool linkLost_ = false;
  std::optional<SimClock::time_point> linkBackAt_;     // when a lost link comes back by itself
  std::optional<SimClock::time_point> firstHostByte_;  // the timed faults count from here
  std::vector<ArmedFault> armed_;
  std::function<void(const std::string&)> faultLog_;

  // debug interface
  int protocol_ = 0;  // 0 none selected, 2 legacy, 3 serial
  uint32_t interfaceBaud_ = 57600;

  // monitor
  bool powered_;
  bool inReset_ = false;
  SimClock::time_point resetUntil_{};
  bool monitorRunning_ = false;  // the boot ROM's monitor, started by a reset
  bool sessionOpened_ = false;   // kept through resets, lost with the power
  const bool secured_;           // 9xxx: a secured chip; its debug session comes from the fuses
  bool noSessionLeft_ = false;   // 9xxx secured: the last of the sessions was opened
  bool securityBit_;
  std::vector<uint8_t> command_;
  uint64_t commandCount_ = 0;
  // The monitor's receive buffer (paced lines only) and its time: when it reads its UART again
  // after a command, and when it took the byte it works on.
  std::deque<std::pair<SimClock::time_point, uint8_t>> rxBuffer_;
  SimClock::time_point monitorFreeAt_{};
  SimClock::time_point monitorClock_{};
  SimClock::time_point byteArrival_{};  // of the host byte being handed on

  // target state
  std::unordered_map<uint32_t, uint16_t> ram_;
  std::vector<uint16_t> flash_;
  std::array<uint16_t, 9> fuses_{};
  std::unordered_map<uint32_t, uint32_t> registers_;
  std::array<uint16_t, 256> io_{};
  std::shared_ptr<EfuseArray> efuses_ = std::make_shared<EfuseArray>();
  uint32_t uartDivisor_ = 230;

  // handshake (legacy chips without an interface)
  bool rts_ = false, dtr_ = false, cts_ = false, dsr_ = false;
  int rxBit_ = 0;
  uint8_t rxByte_ = 0;
  std::deque<uint8_t> hsOut_;
  bool hsSending_ = false;
  int txBit_ = 0;
  uint16_t txWord_ = 0;

  // device models
  std::vector<Window> windows_;
  std::vector<IoBlock> ioBlocks_;
  std::map<uint32_t, std::shared_ptr<SimSpiDevice>> spi_;
  std::vector<std::shared_ptr<SimDeviceModel>> models_;
  std::map<const SimDeviceModel*, size_t> modelViolationsSeen_;
  std::shared_ptr<SimRoutineHandler> routines_;
  std::shared_ptr<BoardDevices> devices_;
};

}  // namespace tessaro::sim
