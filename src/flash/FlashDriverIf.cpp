#include "flash/FlashDriverIf.h"

#include <algorithm>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

// code, text (codes 8, 10, 11, 13, 14 continue with their values), colour class
struct StatusRow {
  const char* text;
  int colour;
};
constexpr StatusRow kStatusRows[kStatusCodeCount] = {
    {"Ready", ColourNormal},                                 // 0
    {"Program and Verify Success", ColourGreen},             // 1
    {"Program Success (not verified)", ColourYellow},        // 2
    {"Program and Quick-Verify Success", ColourNormal},      // 3
    {"Verify Success", ColourGreen},                         // 4
    {"Erase Success", ColourGreen},                          // 5
    {"Chip Erase Success", ColourGreen},                     // 6
    {"Device is empty", ColourNormal},                       // 7
    {"Program FAILED at ", ColourRed},                       // 8
    {"Quick-Verify FAILED!!", ColourRed},                    // 9
    {"Verify FAILED at ", ColourRed},                        // 10
    {"Could not erase sector, FAILED - Addr= ", ColourRed},  // 11
    {"Error erasing Chip!", ColourRed},                      // 12
    {"Device is NOT BLANK - Addr= ", ColourYellow},          // 13
    {"Aborted by User - Addr=", ColourYellow},               // 14
    {"Programming...", ColourNormal},                        // 15
    {"Blank checking...", ColourNormal},                     // 16
    {"Verify in progress...", ColourNormal},                 // 17
    {"Erasing...", ColourNormal},                            // 18
    {"", ColourNormal},                                      // 19: the custom text
};

std::string AddressText(int32_t address) {
  const uint32_t value = static_cast<uint32_t>(address);
  return value == VALUE_INVALID ? std::string("????????") : HexFixed(value, 8);
}

std::string ExpectedText(uint32_t value) {
  return value == VALUE_INVALID ? std::string("????????") : HexFixed(value, 4);
}

std::string ReadText(int32_t value) {
  return value < 0 ? std::string("????") : HexFixed(static_cast<uint32_t>(value), 4);
}

}  // namespace

std::string_view MemoryKindPrefix(uint32_t kind) {
  switch (kind) {
    case MemoryEmbedded: return "Embedded Flash: ";
    case MemoryParallel: return "Parallel Flash: ";
    case MemorySerial: return "Serial Flash: ";
    case MemoryQspi: return "QSPI Flash: ";
    case MemoryDualQspi: return "Dual QSPI Flash: ";
    default: return "";
  }
}

int StatusColourClass(uint32_t code) { return code < kStatusCodeCount ? kStatusRows[code].colour : ColourNormal; }

std::string StatusText(uint32_t memoryKind, uint32_t code, int32_t failureAddress, uint32_t expectedValue,
                       int32_t readValue, const std::string& customText) {
  if (code == StatusReady) return "Ready";
  std::string text(MemoryKindPrefix(memoryKind));
  if (code >= kStatusCodeCount) return text;
  text += kStatusRows[code].text;
  switch (code) {
    case StatusProgramFailed:
    case StatusVerifyFailed:
      text += AddressText(failureAddress) + ": Exp=" + ExpectedText(expectedValue) + " Read=" + ReadText(readValue);
      break;
    case StatusSectorEraseFailed:
    case StatusAborted: text += AddressText(failureAddress); break;
    case StatusNotBlank: text += AddressText(failureAddress) + ": Read=" + ReadText(readValue); break;
    case StatusCustom: text += customText; break;
    default: break;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// Address window

void AddressWindow::Attach(FlashDriverIf& session) {
  owner = &session;
  if (session.FamilyCode() == FAMILY_8X47 && session.link != nullptr) {
    saved9 = static_cast<uint16_t>(session.link->ReadIoRegister(9));
    saved13 = 0;
    saved33 = 0;
    session.link->WriteIoRegister(13, 0);
    session.link->WriteIoRegister(33, 0);
  }
}

void AddressWindow::EnterLow8x47() {
  SerialPort* port = owner->link;
  if (port != nullptr) {
    port->WriteIoRegister(13, saved13 | 4u);
    port->WriteIoRegister(9, 0);
    port->WriteIoRegister(33, saved33 | 4u);
  }
  base = 0x20000;
}

bool AddressWindow::StartRun(uint32_t start) {
  deviceRun = false;
  serialRun = false;
  Select(start);
  if (owner != nullptr) {
    const uint32_t family = owner->FamilyCode();
    deviceRun = lowRegion && (family == FAMILY_8X2X || family == FAMILY_74XX || family == FAMILY_9XXX);
  }
  return lowRegion;
}

bool AddressWindow::Select(uint32_t newPosition) {
  position = static_cast<int32_t>(newPosition);
  if (owner == nullptr || serialRun) return lowRegion;
  const uint32_t family = owner->FamilyCode();
  bool low = lowRegion;
  switch (family) {
    case FAMILY_8X47:
      low = newPosition < 0x20000;
      if (low == lowRegion) return lowRegion;
      if (!low) {
        if (SerialPort* port = owner->link) {
          port->WriteIoRegister(9, saved9);
          port->WriteIoRegister(13, saved13);
          port->WriteIoRegister(33, saved33);
        }
        base = 0;
      } else {
        EnterLow8x47();
      }
      break;
    case FAMILY_8X2X:
      low = deviceRun || newPosition < 0x10000;
      base = low ? 0x1000000 : 0;
      break;
    case FAMILY_74XX:
      low = deviceRun || newPosition < 0x10000;
      base = low ? 0x4000000 : 0;
      break;
    case FAMILY_9XXX:
      low = deviceRun || newPosition < 0x10000;
      base = low ? static_cast<int32_t>(0x80000000u) : 0;
      break;
    default:
      if (family < FAMILY_8X2X) {
        low = newPosition < 1024;
        base = low ? 2048 : 0;
      } else {
        return lowRegion;  // 8721 and any later family without a window
      }
      break;
  }
  lowRegion = low;
  return lowRegion;
}

void AddressWindow::Detach() {
  if (owner == nullptr) return;
  const uint32_t family = owner->FamilyCode();
  bool changed = true;
  switch (family) {
    case FAMILY_8X47:
      if (!lowRegion) EnterLow8x47();
      break;
    case FAMILY_8X2X: base = 0x1000000; break;
    case FAMILY_74XX: base = 0x4000000; break;
    case FAMILY_9XXX: base = static_cast<int32_t>(0x80000000u); break;
    default:
      if (family < FAMILY_8X2X) {
        base = 2048;
      } else {
        changed = false;
      }
      break;
  }
  if (changed) lowRegion = true;
  deviceRun = false;
  serialRun = false;
  owner = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Session

FlashDriverIf::FlashDriverIf(SerialPort* linkObject, BoardConfig* configurationInEffect, ProgressBarIf* bar)
    : link(linkObject), progressBar(bar), configuration(configurationInEffect) {}

FlashDriverIf::~FlashDriverIf() {
  window.Detach();
  checksumDriver.Clear();
}

const ChipInfo* FlashDriverIf::Chip() const { return configuration ? configuration->chip : nullptr; }

uint32_t FlashDriverIf::FamilyCode() const {
  const ChipInfo* chip = Chip();
  return chip ? chip->familyCode : 0;
}

void FlashDriverIf::UpdateProgress(int channel) {
  channel = channel == 1 ? 1 : 0;
  if (channel != currentProgressChannel) {
    if (progressBar) progressBar->SetRange(progress[channel].low, progress[channel].high);
    currentProgressChannel = channel;
  }
  if (progressBar) progressBar->SetPosition(progress[channel].position);
}

std::string FlashDriverIf::CurrentStatusText() const {
  return StatusText(memoryKind, statusCode, failureAddress, expectedValue, readValue, customStatusText);
}

void FlashDriverIf::ReportStatus() { ShowStatus(CurrentStatusText()); }

void FlashDriverIf::SetCustomStatus(const std::string& text) {
  customStatusText = text;
  statusCode = StatusCustom;
  ReportStatus();
}

void FlashDriverIf::SetStatus(uint32_t code) {
  const bool failure = code >= StatusProgramFailed && code <= StatusNotBlank;
  // A failure on a link that has gone is the lost link's: say so beside the status.
  if (failure && !cancelled) (void)LinkDown();
  statusCode = cancelled && failure ? StatusAborted : code;
  ReportStatus();
}

bool FlashDriverIf::LinkDown() {
  if (link != nullptr && link->linked()) return false;
  if (!linkLost) {
    linkLost = true;
    failureReason = kLinkLostText;
  }
  return true;
}

void FlashDriverIf::ChecksumCallFailed() {
  if (!cancelled) {
    std::string reason = "The checksum call on the target failed";
    if (LinkDown()) reason += ": " + std::string(kLinkLostText);
    failureReason = reason;
  }
  statusCode = StatusAborted;
  ReportStatus();
}

bool TargetWait::Continue() {
  if (session_.LinkDown()) return false;
  if (session_.CheckCancel()) {
    cancelled_ = true;
    return false;
  }
  if (std::chrono::steady_clock::now() > deadline_) {
    timedOut_ = true;
    return false;
  }
  return true;
}

void FlashDriverIf::SetProgress(int32_t position) {
  progress[0].position = position;
  UpdateProgress(0);
}

void FlashDriverIf::BeginRoutineProgress(int32_t total) {
  ProgressChannel& bar = progress[1];
  bar.low = 0;
  bar.high = total;
  bar.position = 0;
  currentProgressChannel = 0;  // force the range of channel 1 to be sent
  UpdateProgress(1);
}

void FlashDriverIf::RoutineProgress(int32_t done) {
  progress[1].position = done;
  UpdateProgress(1);
}

bool FlashDriverIf::PrepareChecksumDriver(std::string& errorText) {
  checksumDriverReady = false;
  if (FamilyCode() < FAMILY_74XX) return false;
  if (!checksumDriver.LoadEmbedded(kDriverImageParallel, errorText)) return false;
  if (!checksumDriver.Upload(*this)) {
    errorText += "Unable to upload Driver";
    return false;
  }
  if (checksumDriver.Word(2) != kDriverInterfaceVersion) {
    errorText += "Incompatible Driver";
    return false;
  }
  std::array<uint16_t, kParBlockWords> block{};
  block[0] = kParBlockSignature;
  if (const ChipInfo* chip = Chip()) {
    block[1] = chip->FindRomSymbol("ROM$DBGRETURN");
    block[2] = chip->FindRomSymbol("ST$SENDBYTE");
  }
  for (uint32_t i = 0; i < kParBlockWords; ++i) link->WriteRegister(kRegParameterBlock + i, block[i]);
  checksumDriverReady = true;
  return true;
}

bool FlashDriverIf::ChecksumTarget(uint32_t& checksum, uint32_t start, uint32_t count) {
  if (!checksumDriverReady || link == nullptr) return false;
  const uint32_t remembered = static_cast<uint32_t>(window.position);
  window.Select(start);
  link->WriteRegister(kRegSumA, checksum & 0xFFFF);
  link->WriteRegister(kRegSumB, checksum >> 16);
  uint32_t remaining = count;
  while (remaining > 0) {
    const uint32_t position = static_cast<uint32_t>(window.position);
    uint32_t chunk = std::min(remaining, kChecksumChunkWords);
    chunk = std::min(chunk, kChecksumChunkWords - (position % kChecksumChunkWords));
    const uint32_t address = window.TargetAddress();
    link->WriteRegister(kRegAddressLow, address & 0xFFFF);
    link->WriteRegister(kRegAddressHigh, address >> 16);
    link->WriteRegister(kRegWordCount, chunk);
    if (!checksumDriver.Call(*this, kChecksumEntry)) return false;
    window.Select(position + chunk);
    remaining -= chunk;
    const uint32_t high = link->ReadRegister(kRegSumB);
    const uint32_t low = link->ReadRegister(kRegSumA);
    // A register read that got no answer must not pass for a checksum.
    if (high == VALUE_INVALID || low == VALUE_INVALID) return false;
    checksum = ((high & 0xFFFF) << 16) | (low & 0xFFFF);
  }
  window.Select(remembered);
  return true;
}

uint32_t UnchangedUnits::SkipFrom(uint32_t position) const {
  for (const auto& [start, end] : ranges) {
    if (position >= start && position < end) return end;
  }
  return position;
}

uint32_t UnchangedUnits::WordsBeforeNext(uint32_t position) const {
  for (const auto& [start, end] : ranges) {
    if (start > position) return start - position;
  }
  return UINT32_MAX;
}

bool UnchangedUnits::Holds(uint32_t start, uint32_t end) const {
  return std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return start >= r.first && end <= r.second; });
}

}  // namespace tessaro
