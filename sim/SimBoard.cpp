// The simulated board itself: construction from the options, what a person does to it, its
// faults, violations, trace, inspection and the attach points of the device models.
#include "sim/SimBoard.h"

#include "sim/BoardDevices.h"

#include <algorithm>

#include <unistd.h>

#include "common/Json.h"
#include "common/Text.h"
#include "platform/Files.h"
#include "sim/BoardState.h"
#include "sim/ChipFacts.h"
#include "sim/DriverImageRunner.h"
#include "sim/SimBoardDetail.h"

namespace tessaro::sim {

using namespace board_detail;

// ---- construction ----

std::shared_ptr<SimBoard> SimBoard::Create(const SimOptions& given, std::string* error) {
  // A board definition settles the chip and the devices before the board is built.
  SimOptions options = given;
  std::string boardError;
  if (!ApplyBoardDefinition(options, boardError)) {
    if (error) *error = boardError;
    return nullptr;
  }
  const ChipInfo* chip = FindChipByName(options.chip);
  if (!chip) {
    if (error) *error = "unknown chip '" + options.chip + "'";
    return nullptr;
  }
  auto board = std::make_shared<SimBoard>(options, chip);
  board->SetRoutineHandler(MakeDriverImageRunner());
  if (!options.traceFile.empty()) {
    board->traceFile_ = std::fopen(options.traceFile.c_str(), "w");
    if (!board->traceFile_) {
      if (error) *error = "cannot write the trace file " + options.traceFile;
      return nullptr;
    }
  }
  if (!AttachBoardDevices(*board, boardError)) {
    if (error) *error = boardError;
    return nullptr;
  }
  for (const std::string& request : options.dumpRequests) {
    if (!CheckDumpRequest(*board, request, boardError)) {
      if (error) *error = boardError;
      return nullptr;
    }
  }
  if (!options.stateFile.empty()) {
    std::string stateError;
    int lock = -1;
    if (!LockBoardState(options.stateFile, lock, stateError)) {
      if (error) *error = stateError;
      return nullptr;
    }
    board->HoldStateLock(lock);
    if (!LoadBoardState(*board, options.stateFile, stateError)) {
      if (error) *error = "cannot load the board state: " + stateError;
      return nullptr;
    }
  }
  return board;
}

SimBoard::SimBoard(const SimOptions& options, const ChipInfo* chip)
    : options_(options),
      chip_(chip),
      family_(chip->familyCode),
      dropReplyByte_(options.dropReplyByte),
      corruptReplyByte_(options.corruptReplyByte),
      lateCommand_(options.lateCommand),
      stopAfter_(options.stopAfterCommands),
      lateMs_(options.lateMs),
      refuseBaudSwitch_(options.refuseBaudSwitch),
      powered_(options.targetPowered),
      monitorRunning_(chip->legacyLink && !options.usbInterface),
      secured_(chip->familyCode == FAMILY_9XXX && options.securedSession != 0),
      securityBit_(options.securityBit),
      flash_(chip->embeddedFlashSize, 0xFFFF) {
  noise_.seed(options.seed);
  armed_ = {{FaultKind::Reset, options.resetAtCommand, options.resetAtMs, false},
            {FaultKind::LinkLoss, options.linkLossAtCommand, options.linkLossAtMs, false},
            {FaultKind::Unplug, options.unplugAtCommand, options.unplugAtMs, false}};
  dropHost_ = options.dropHostBytes;
  corruptHost_ = options.corruptHostBytes;
  duplicateHost_ = options.duplicateHostBytes;
  fuses_.fill(1);
  ResetIoRegisters();
  for (size_t i = 0; i < options.efusePreset.size() && i < EfuseArray::kWords; ++i)
    efuses_->SetWord(static_cast<uint32_t>(i), options.efusePreset[i]);
  if (family_ == FAMILY_9XXX) {
    models_.push_back(efuses_);
    // A secured chip offers the session its counter bits (word 0 from bit 8) name: session
    // s + 1 for s set bits. Fuses that name none take the session the options ask for.
    if (options.securedSession >= 8) noSessionLeft_ = true;
    if (secured_ && efuses_->Session() == 0 && options.securedSession >= 2 && options.securedSession <= 7) {
      const auto counter = static_cast<uint16_t>(((1u << (options.securedSession - 1)) - 1) << 8);
      efuses_->SetWord(0, static_cast<uint16_t>(efuses_->ReadWord(0) | counter));
    }
  }
}

int SimBoard::OfferedSession() const {
  if (!secured_) return 0;
  return noSessionLeft_ ? 8 : static_cast<int>(efuses_->Session()) + 1;
}

SimBoard::~SimBoard() {
  if (traceFile_) std::fclose(traceFile_);
  ReleaseStateLock();
}

void SimBoard::HoldStateLock(int descriptor) {
  ReleaseStateLock();
  stateLock_ = descriptor;
}

void SimBoard::ReleaseStateLock() {
  if (stateLock_ >= 0) ::close(stateLock_);  // closing the descriptor gives the lock up
  stateLock_ = -1;
}

// ---- people and faults ----

void SimBoard::PressReset() {
  std::lock_guard lock(mutex_);
  Reset(SimClock::now());
  outputReady_.notify_all();
}

void SimBoard::SetTargetPowered(bool powered) {
  std::lock_guard lock(mutex_);
  if (powered_ && !powered) {
    // Power off ends the debug session and the monitor; power on starts the application.
    sessionOpened_ = false;
    monitorRunning_ = handshake();
    command_.clear();
  }
  powered_ = powered;
}

// ---- armed faults ----

void SimBoard::Strike(FaultKind kind, SimClock::time_point now, const std::string& when) {
  // Legend: the fault; its name in the log and the trace; what it does to the board.
  struct Effect {
    FaultKind kind;
    const char* name;
    void (SimBoard::*strike)(SimClock::time_point);
  };
  static constexpr Effect kEffects[] = {
      {FaultKind::Reset, "board reset", &SimBoard::Reset},
      {FaultKind::LinkLoss, "link to the target lost", &SimBoard::LoseLinkByFault},
      {FaultKind::Unplug, "USB interface unplugged", &SimBoard::UnplugByFault},
  };
  for (const Effect& effect : kEffects) {
    if (effect.kind != kind) continue;
    (this->*effect.strike)(now);
    std::string text = std::string(effect.name) + " " + when;
    if (kind == FaultKind::LinkLoss && options_.linkLossMs != 0)
      text += ", back after " + std::to_string(options_.linkLossMs) + " ms";
    if (faultLog_) faultLog_(text);
    Record({"fault", {}, {}, text, false});
  }
  outputReady_.notify_all();
}

void SimBoard::LoseLinkByFault(SimClock::time_point now) {
  LoseLinkLocked(now);
  if (options_.linkLossMs != 0) linkBackAt_ = now + std::chrono::milliseconds(options_.linkLossMs);
}

void SimBoard::UnplugByFault(SimClock::time_point) { unplugged_ = true; }

void SimBoard::LoseLinkLocked(SimClock::time_point now) {
  linkLost_ = true;
  linkBackAt_.reset();
  // What the target had not yet put on the wire never arrives.
  std::erase_if(out_, [&](const OutByte& byte) { return byte.due > now; });
  cts_ = dsr_ = false;
}

void SimBoard::LoseLink() {
  std::lock_guard lock(mutex_);
  LoseLinkLocked(SimClock::now());
}

void SimBoard::RestoreLink() {
  std::lock_guard lock(mutex_);
  linkLost_ = false;
  linkBackAt_.reset();
}

bool SimBoard::linkLost() {
  std::lock_guard lock(mutex_);
  Tick(SimClock::now());
  return linkLost_;
}

void SimBoard::SetFaultLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(mutex_);
  faultLog_ = std::move(log);
}

void SimBoard::SetDropReplyByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  dropReplyByte_ = index;
}

void SimBoard::SetCorruptReplyByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  corruptReplyByte_ = index;
}

void SimBoard::SetLateCommand(uint64_t index, uint32_t lateMs) {
  std::lock_guard lock(mutex_);
  lateCommand_ = index;
  lateMs_ = lateMs;
}

void SimBoard::SetStopAfterCommands(uint64_t count) {
  std::lock_guard lock(mutex_);
  stopAfter_ = count;
  if (count != 0 && commandCount_ >= count) silent_ = true;
}

void SimBoard::SetEfuseDropAfterBits(std::optional<uint32_t> count) {
  std::lock_guard lock(mutex_);
  efuses_->SetDropAfterBits(count);
}

void SimBoard::SetRefuseBaudSwitch(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseBaudSwitch_ = refuse;
}

void SimBoard::DropHostByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  dropHost_.push_back(index);
}

void SimBoard::CorruptHostByte(uint64_t index, uint8_t flip) {
  std::lock_guard lock(mutex_);
  corruptHost_.emplace_back(index, flip);
}

void SimBoard::DuplicateHostByte(uint64_t index) {
  std::lock_guard lock(mutex_);
  duplicateHost_.push_back(index);
}

// ---- violations and the trace ----

void SimBoard::Violation(std::string text) {
  if (violations_.size() < kViolationsKept) violations_.push_back(text);
  if (violationLog_) violationLog_(text);
  Record({"violation", {}, {}, std::move(text), false});
}

void SimBoard::ForwardModelViolations() {
  for (const auto& model : models_) {
    size_t& seen = modelViolationsSeen_[model.get()];
    const auto& texts = model->violations();
    if (seen > texts.size()) seen = 0;  // the model's list was cleared
    for (; seen < texts.size(); ++seen) {
      if (violationLog_) violationLog_(texts[seen]);
      Record({"violation", {}, {}, texts[seen], false});
    }
  }
}

std::vector<std::string> SimBoard::Violations() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all = violations_;
  for (const auto& model : models_)
    for (const auto& text : model->violations()) all.push_back(text);
  return all;
}

void SimBoard::ClearViolations() {
  std::lock_guard lock(mutex_);
  violations_.clear();
  for (const auto& model : models_) model->ClearViolations();
  modelViolationsSeen_.clear();
}

void SimBoard::SetViolationLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(mutex_);
  violationLog_ = std::move(log);
}

void SimBoard::Record(SimTraceRecord record) {
  if (traceFile_) {
    const std::string line = record.Json();
    std::fwrite(line.data(), 1, line.size(), traceFile_);
    std::fflush(traceFile_);
  }
  if (trace_.size() >= kTraceKept) trace_.pop_front();
  trace_.push_back(std::move(record));
}

std::vector<SimTraceRecord> SimBoard::Trace() {
  std::lock_guard lock(mutex_);
  return {trace_.begin(), trace_.end()};
}

void SimBoard::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

// ---- inspection ----

WireCounters SimBoard::Counters() {
  std::lock_guard lock(mutex_);
  return counters_;
}

uint64_t SimBoard::CommandCount() {
  std::lock_guard lock(mutex_);
  return commandCount_;
}

uint64_t SimBoard::ReplyBytes() {
  std::lock_guard lock(mutex_);
  return replySerial_;
}

uint16_t SimBoard::ReadMemory(uint32_t address) {
  std::lock_guard lock(mutex_);
  return MemRead(address);
}

void SimBoard::WriteMemory(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  (void)MemWrite(address, value);  // a test or state file may write anywhere; unmapped words are lost
}

uint16_t SimBoard::FlashWord(uint32_t address) {
  std::lock_guard lock(mutex_);
  return address < flash_.size() ? flash_[address] : 0xFFFF;
}

void SimBoard::SetFlashWord(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (address < flash_.size()) flash_[address] = value;
}

uint32_t SimBoard::Register(uint32_t reg) {
  std::lock_guard lock(mutex_);
  auto it = registers_.find(reg);
  return it == registers_.end() ? 0 : it->second;
}

void SimBoard::SetRegister(uint32_t reg, uint32_t value) {
  std::lock_guard lock(mutex_);
  registers_[reg] = value;
}

uint16_t SimBoard::IoRegister(uint32_t reg) {
  std::lock_guard lock(mutex_);
  return reg == 254 ? uartDivisor_ : io_[reg & 0xFF];
}

void SimBoard::SetIoRegister(uint32_t reg, uint16_t value) {
  std::lock_guard lock(mutex_);
  io_[reg & 0xFF] = value;
}

uint16_t SimBoard::FuseBit(uint32_t address) {
  std::lock_guard lock(mutex_);
  return address >= 0x8000 && address <= 0x8008 ? fuses_[address - 0x8000] : 0;
}

void SimBoard::SetFuseBit(uint32_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (address >= 0x8000 && address <= 0x8008) fuses_[address - 0x8000] = value;
}

bool SimBoard::SecurityBit() {
  std::lock_guard lock(mutex_);
  return securityBit_;
}

void SimBoard::SetSecurityBit(bool on) {
  std::lock_guard lock(mutex_);
  securityBit_ = on;
}

uint16_t SimBoard::EfuseWord(uint32_t index) {
  std::lock_guard lock(mutex_);
  return efuses_->ReadWord(index);
}

void SimBoard::SetEfuseWord(uint32_t index, uint16_t value) {
  std::lock_guard lock(mutex_);
  efuses_->SetWord(index, value);
}

bool SimBoard::SessionOpened() {
  std::lock_guard lock(mutex_);
  return sessionOpened_;
}

uint32_t SimBoard::TargetBaud() {
  std::lock_guard lock(mutex_);
  return LineBaud();
}

std::string SimBoard::StatsJson() {
  WireCounters counters = Counters();
  JsonWriter json;
  json.BeginObject()
      .Field("hostToTarget", static_cast<unsigned long long>(counters.hostToTarget))
      .Field("targetToHost", static_cast<unsigned long long>(counters.targetToHost))
      .Field("roundTrips", static_cast<unsigned long long>(counters.roundTrips))
      .Field("rxDropped", static_cast<unsigned long long>(counters.rxDropped))
      .Key("violations")
      .BeginArray();
  for (const std::string& text : Violations()) json.String(text);
  json.EndArray().EndObject();
  return json.Finish();
}

bool SimBoard::WriteStats(const std::string& path) { return WriteWholeFile(path, StatsJson()); }

// ---- device models ----

void SimBoard::SetDevices(std::shared_ptr<BoardDevices> devices) {
  std::lock_guard lock(mutex_);
  devices_ = std::move(devices);
}

std::shared_ptr<BoardDevices> SimBoard::Devices() {
  std::lock_guard lock(mutex_);
  return devices_;
}

void SimBoard::AttachMemoryWindow(uint32_t base, uint32_t size, std::shared_ptr<SimMemoryDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  windows_.push_back({base, size, std::move(device)});
}

void SimBoard::AttachIoBlock(uint32_t first, uint32_t count, std::shared_ptr<SimIoDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  ioBlocks_.push_back({first, count, std::move(device)});
}

void SimBoard::AttachSpiDevice(uint32_t select, std::shared_ptr<SimSpiDevice> device) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(device)) models_.push_back(model);
  spi_[select] = std::move(device);
}

std::shared_ptr<SimSpiDevice> SimBoard::SpiDevice(uint32_t select) {
  std::lock_guard lock(mutex_);
  auto it = spi_.find(select);
  return it == spi_.end() ? nullptr : it->second;
}

void SimBoard::SetRoutineHandler(std::shared_ptr<SimRoutineHandler> handler) {
  std::lock_guard lock(mutex_);
  if (auto model = std::dynamic_pointer_cast<SimDeviceModel>(handler)) models_.push_back(model);
  routines_ = std::move(handler);
}

std::shared_ptr<SimRoutineHandler> SimBoard::RoutineHandler() {
  std::lock_guard lock(mutex_);
  return routines_;
}

}  // namespace tessaro::sim
