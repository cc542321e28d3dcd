#include "flash/FlashDriverQSPI.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "chips/BoardConfig.h"
#include "common/Text.h"
#include "flash/FlashDriverIf.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

// Transfer modes of the B + 2 register.
constexpr uint16_t kModeDual = 0x800;
constexpr uint16_t kModeCommand = 0x80;
constexpr uint16_t kModeLanesDual = 0xC90;
constexpr uint16_t kModeLanesSingle = 0x488;
constexpr uint16_t kModeProgram = 0x490;
constexpr uint16_t kStart = 6;
constexpr uint16_t kBusy = 0x8000;
constexpr uint16_t kDone = 0x0400;

std::string Hex4(uint32_t value) { return HexFixed(value, 4); }

// A configuration script's pause, in slices a cancel or a lost link can end.
bool Pause(FlashDriverIf& session, int ms) {
  TargetWait wait(session, ms);
  while (wait.Continue()) std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(ms, 1, 10)));
  return wait.timedOut();
}

}  // namespace

std::string FlashDriverQSPI::ManufacturerName() const {
  return hasDescription && !manufacturerName.empty() ? manufacturerName : std::string(kGenericQspiName);
}

std::string FlashDriverQSPI::DeviceName() const {
  return hasDescription && !deviceName.empty() ? deviceName : std::string(kGenericQspiName);
}

void FlashDriverQSPI::Select(const DeviceDescription* device, bool dual, bool singleBitMode) {
  if (device == nullptr) return;
  hasDescription = true;
  description = device->qspi;
  manufacturerName = device->manufacturer ? device->manufacturer->DisplayName() : std::string();
  deviceName = device->name;
  dualRequested = dual;
  singleBit = singleBitMode;
}

void FlashDriverQSPI::Clear() { *this = FlashDriverQSPI{}; }

uint32_t FlashDriverQSPI::PageWords() const { return Dual() ? description.pageSize : description.pageSize / 2; }
uint32_t FlashDriverQSPI::SpanWords() const { return Dual() ? description.sizeBytes : description.sizeBytes / 2; }
uint32_t FlashDriverQSPI::UnitWords() const { return Dual() ? 1024 : 512; }

// ---- controller ----

bool FlashDriverQSPI::WaitControllerBit(FlashDriverIf& session, uint32_t reg) {
  for (TargetWait wait(session, kQspiControllerTimeoutMs); wait.Continue();) {
    const uint32_t value = session.link->ReadIoRegister(controllerBase + reg);
    if (value != kIoNotLinked && (value & kBusy) == 0) return true;
  }
  return false;
}

bool FlashDriverQSPI::WaitIdle(FlashDriverIf& session) { return WaitControllerBit(session, 2); }

bool FlashDriverQSPI::WaitTransfer(FlashDriverIf& session) { return WaitControllerBit(session, 3); }

void FlashDriverQSPI::ClearDone(FlashDriverIf& session) {
  const uint32_t mode = session.link->ReadIoRegister(controllerBase + 2);
  session.link->WriteIoRegister(controllerBase + 2, mode & 0xFFFF & ~uint32_t{kDone});
}

void FlashDriverQSPI::WriteCycle(FlashDriverIf& session, uint16_t command, uint16_t format, uint16_t mode) {
  SerialPort& link = *session.link;
  link.WriteIoRegister(controllerBase, command);
  link.WriteIoRegister(controllerBase + 1, format);
  link.WriteIoRegister(controllerBase + 2, mode);
  link.WriteIoRegister(controllerBase + 3, kStart);
}

bool FlashDriverQSPI::WriteEnable(FlashDriverIf& session) {
  WriteCycle(session, 0x0605, 0, static_cast<uint16_t>((Dual() ? kModeDual : 0) + kModeCommand));
  (void)session.link->WriteTargetWord(session.window.TargetAddress(), 0);
  return WaitIdle(session);
}

bool FlashDriverQSPI::PollReady(FlashDriverIf& session, uint16_t command, uint16_t mode, uint16_t readyMask,
                                TargetWait& wait) {
  WriteCycle(session, command, 0, mode);
  const uint32_t t = session.window.TargetAddress();
  while (wait.Continue()) {
    const uint32_t read = session.link->ReadMemoryWord(t);
    uint32_t w = read & 0xFFFF;
    if (!Dual()) w |= 0x8000;
    if (read != VALUE_INVALID && (w & readyMask) == readyMask) {
      (void)session.link->WriteTargetWord(t, 0);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool FlashDriverQSPI::WaitReady(FlashDriverIf& session, int timeoutMs, bool& cancelled) {
  TargetWait wait(session, timeoutMs);
  const bool dual = Dual();
  const uint16_t statusMode = dual ? 0x890 : 0x88;
  if ((description.options & QSPI_OPTION_DATAFLASH_STATUS) != 0) {
    const bool ready = PollReady(session, 0x50D7, statusMode, 0x8080, wait);
    cancelled = wait.cancelled();
    return ready;
  }
  bool flagFailed = false;
  if ((description.options & QSPI_OPTION_MICRON_FLAG_STATUS) != 0) {
    flagFailed = !PollReady(session, 0x5070, statusMode, 0x8080, wait);
  }
  WriteCycle(session, 0x0205, 0, 0x890);
  const uint32_t t = session.window.TargetAddress();
  const uint32_t laneMask = dual ? 0xFFFF : 0x00FF;
  while (!flagFailed && wait.Continue()) {
    const uint32_t read = session.link->ReadMemoryWord(t);
    const uint32_t w = read & laneMask;
    if (read != VALUE_INVALID && (w & 0x0101) == 0)
      return (w & (static_cast<uint32_t>(description.statusErrorMask) * 257)) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  cancelled = wait.cancelled();
  return false;
}

std::array<uint16_t, 4> FlashDriverQSPI::ReadModeRegisters(bool dual, bool singleBitMode) const {
  const QspiDescription& d = description;
  auto divider = [](uint32_t mhz) {
    uint32_t n = 0;
    while (mhz < 200 / (n + 2)) ++n;
    return n;
  };
  std::array<uint16_t, 4> r{};
  if (!singleBitMode) {
    const bool extendedSpi = (d.options & QSPI_OPTION_EXTENDED_SPI) != 0;
    const bool extendedAddress = (d.options & QSPI_OPTION_EXTENDED_ADDRESS) != 0;
    const uint32_t e = extendedSpi && !extendedAddress ? 0 : 1;
    r[0] = static_cast<uint16_t>(0x200 + d.quadIoReadCmd);
    r[1] = static_cast<uint16_t>(0x100 + e + 2 * (d.quadDummyCode * 8 + d.addressBytes));
    r[3] = static_cast<uint16_t>((d.quadMaxMhz == 0 ? 2 : divider(d.quadMaxMhz)) | 0x8000);
  } else {
    r[0] = static_cast<uint16_t>(0x200 + d.singleReadCmd);
    r[1] = static_cast<uint16_t>(2 * (d.singleDummyCode * 8 + d.addressBytes));
    r[3] = static_cast<uint16_t>((d.singleMaxMhz == 0 ? 6 : divider(d.singleMaxMhz)) | 0x8000);
  }
  r[2] = static_cast<uint16_t>(0x90 + 4096 * std::min<uint32_t>((d.csHigh + 4) / 5, 7) + (dual ? kModeDual : 0));
  return r;
}

// ---- identification ----

uint32_t FlashDriverQSPI::ReadId(FlashDriverIf& session, bool dual, bool singleBitMode, uint8_t* out) {
  SerialPort& link = *session.link;
  const uint32_t t = session.window.TargetAddress();
  dualDetected = false;
  singleBit = singleBitMode;
  ready = false;
  const bool ext2First = session.configuration != nullptr && session.configuration->ext2First;
  if (t < 0x40000000u) {
    controllerBase = ext2First ? kQspiController1 : kQspiController0;
  } else if (t < 0xC0000000u) {
    controllerBase = ext2First ? kQspiController0 : kQspiController1;
  } else {
    controllerBase = kQspiControllerMp;
    link.WriteIoRegister(28, 0);
    link.WriteIoRegister(11, (link.ReadIoRegister(11) | 0x70) & 0xFFFF);
  }
  windowAddress = t;
  ClearDone(session);
  if (!WaitIdle(session)) return 0;
  link.WriteIoRegister(controllerBase + 3, kStart);
  WriteCycle(session, 0x019F, 0, kModeLanesDual);
  std::array<uint16_t, 8> words{};
  if (!link.ReadMemoryBlock(static_cast<uint16_t>(t & 0xFFFF), static_cast<uint16_t>(t >> 16), 8, words.data()))
    return 0;
  ClearDone(session);
  if (!WaitIdle(session)) return 0;
  std::array<uint8_t, 16> r{};
  for (size_t i = 0; i < 8; ++i) {
    r[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
    r[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  if (r[0] == r[2] && r[2] == r[4]) return 0;
  if (r[0] == 'O' && r[2] == 'N' && r[4] == 'F' && r[6] == 'I') return 0;
  if (dual && r[1] == r[0] && r[3] == r[2] && r[5] == r[4]) dualDetected = true;
  for (size_t i = 0; i < 8; ++i) {
    session.deviceIdBytes[i] = r[2 * i];
    if (out != nullptr) out[i] = r[2 * i];
  }
  ready = true;
  return (static_cast<uint32_t>(r[0]) << 16) | (static_cast<uint32_t>(r[2]) << 8) | r[4];
}

bool FlashDriverQSPI::CheckDevice(FlashDriverIf& session, std::string& errorText) {
  if (!hasDescription) {
    errorText += "No Driver Selected\r\n";
    return false;
  }
  if (session.link == nullptr) return false;
  if (description.pageSize < 2 || description.sizeBytes == 0) {
    // A page of zero words would never advance the program loop.
    errorText += "Invalid PageSize or DeviceSize in QSPI Device Description\r\n";
    return false;
  }
  const uint32_t id = ReadId(session, dualRequested, singleBit);
  const uint32_t expected = (description.manufacturerId << 16) + description.deviceId;
  if (id != expected) {
    errorText += "DeviceID Mismatch:, read " + Hex4(id >> 16) + ":" + Hex4(id & 0xFFFF) + ",\r\nexpected " +
                 Hex4(description.manufacturerId) + ":" + Hex4(description.deviceId);
    return false;
  }
  if (dualRequested && !dualDetected) {
    errorText += "Dual QSPI requested but not available!";
    return false;
  }
  uint32_t unit = description.eraseUnit;
  if (unit == ERASE_UNIT_SPANSION) {
    unit = session.deviceIdBytes[4] == 1 ? 0x10000 : 0x40000;
  } else if (unit > 0x7EEDFFFF) {
    errorText += "Invalid Tag in EraseUnit Specification!";
    return false;
  }
  if (unit < 1024 || description.sizeBytes < unit) {
    errorText += "Invalid EraseUnit in QSPI Device Description\r\n";
    return false;
  }
  char layout[40];
  std::snprintf(layout, sizeof layout, "%ux%u", description.sizeBytes / unit, unit / 1024);
  sectorTable.Clear();
  if (!sectorTable.ParseSectorLayout(layout)) {
    errorText += "Invalid EraseUnit in QSPI Device Description\r\n";
    return false;
  }
  if (singleBit) {
    if (description.singleConfig.mask != 0 && !CheckConfiguration(description.singleConfig, session, errorText))
      return false;
    if ((description.options & QSPI_OPTION_CONFIG_ALWAYS) == 0) return true;
  }
  return CheckConfiguration(description.config, session, errorText);
}

// ---- configuration scripts ----

bool FlashDriverQSPI::RunScript(const QspiScript& script, FlashDriverIf& session, uint32_t& value,
                                std::string& errorText) {
  SerialPort& link = *session.link;
  const bool dual = Dual();
  const uint32_t t = session.window.TargetAddress();
  bool ok = true;
  auto byteOf = [&](uint16_t param) {
    return param >= kScriptPlaceholder ? static_cast<uint8_t>(value >> (8 * ((param - kScriptPlaceholder) & 3)))
                                       : static_cast<uint8_t>(param);
  };
  for (const ScriptCommand& command : script) {
    const int count = std::clamp(command.count, 0, kScriptMaxParams);
    switch (command.kind) {
      case SCRIPT_DELAY:
        if (count == 0 && !Pause(session, 1)) return false;
        for (int i = 0; i < count; ++i) {
          if (!Pause(session, command.params[i])) return false;
        }
        break;
      case SCRIPT_WAIT_IDLE:
        if (!WaitIdle(session)) return false;
        break;
      case SCRIPT_CMD:
        for (int i = 0; i < count; ++i) {
          WriteCycle(session, static_cast<uint16_t>(command.params[i] * 256 + 5), 0,
                     static_cast<uint16_t>((dual ? kModeDual : 0) + kModeCommand));
          (void)link.WriteTargetWord(t, 0);
          if (!WaitIdle(session)) return false;
        }
        break;
      case SCRIPT_READ: {
        if (count == 0) break;
        const uint16_t op = command.params[0] & 0xFF;
        WriteCycle(session, static_cast<uint16_t>(0x100 + op), 0, dual ? kModeLanesDual : kModeLanesSingle);
        for (int i = 1; i < count; ++i) {
          const uint32_t w = link.ReadMemoryWord(t) & 0xFFFF;
          const uint32_t low = w & 0xFF, high = w >> 8;
          if (dual && low != high) {
            errorText += "DQSPI Pairing Mismatch!\r\nReg 0x" + Hex4(op) + ": 0x" + Hex4(low) + "/0x" + Hex4(high);
            ok = false;
            break;
          }
          const uint16_t param = command.params[i];
          if (param >= kScriptPlaceholder) {
            const uint32_t shift = 8 * ((param - kScriptPlaceholder) & 3);
            value = (value & ~(0xFFu << shift)) | (low << shift);
          }
        }
        ClearDone(session);
        if (!WaitIdle(session)) return false;
        break;
      }
      case SCRIPT_WRITE: {
        if (count == 0) break;
        const uint16_t op = command.params[0] & 0xFF;
        WriteCycle(session, static_cast<uint16_t>(op * 256 + 5), 0, dual ? kModeLanesDual : kModeLanesSingle);
        for (int i = 1; i < count; ++i)
          (void)link.WriteTargetWord(t, static_cast<uint16_t>(byteOf(command.params[i]) * 257));
        if (!WaitTransfer(session)) ok = false;
        ClearDone(session);
        if (!WaitIdle(session)) return false;
        bool cancelled = false;
        if (!WaitReady(session, kQspiProgramTimeoutMs, cancelled)) return false;
        break;
      }
      default: break;
    }
  }
  return ok;
}

bool FlashDriverQSPI::CheckConfiguration(const QspiConfig& config, FlashDriverIf& session, std::string& errorText) {
  uint32_t value = 0;
  if (!RunScript(config.readScript, session, value, errorText)) return false;
  if ((value & config.mask) == config.expected) return true;
  const PromptAnswer answer = session.ShowMessage(
      "Device needs to be configured for proper QSPI operation.\r\nPress YES to configure device now or NO to abort.",
      "Configure QSPI Operation", PromptButtons::YesNo);
  if (answer != PromptAnswer::Yes) {
    errorText += "Device not configured";
    return false;
  }
  value = (value & ~config.mask) | config.expected;
  return RunScript(config.writeScript, session, value, errorText);
}

// ---- erase, program, verify ----

bool FlashDriverQSPI::RangeStaysInWindow(FlashDriverIf& session, uint32_t start, uint32_t count,
                                         uint32_t& firstOutside) {
  if (count == 0 || session.FamilyCode() == FAMILY_8X47) return true;
  const uint32_t remembered = static_cast<uint32_t>(session.window.position);
  session.window.Select(start);
  if (session.window.deviceRun && static_cast<uint64_t>(start) + count > SpanWords()) {
    // A run from the low region stays in the device, which ends here.
    firstOutside = std::max(start, SpanWords());
    session.window.Select(remembered);
    return false;
  }
  const int32_t startBase = session.window.base;
  bool inside = true;
  // The window is left where the mapping changes; look for the first position that maps
  // elsewhere (the low regions end at a multiple of 0x400 words).
  session.window.Select(start + count - 1);
  if (session.window.base != startBase) {
    inside = false;
    uint32_t low = start, high = start + count - 1;  // low maps like start, high does not
    while (high - low > 1) {
      const uint32_t mid = low + (high - low) / 2;
      session.window.Select(mid);
      (session.window.base == startBase ? low : high) = mid;
    }
    firstOutside = high;
  }
  session.window.Select(remembered);
  return inside;
}

std::vector<UnitRange> FlashDriverQSPI::SectorsOf(uint32_t c, uint32_t count) const {
  std::vector<UnitRange> sectors;
  const uint32_t span = SpanWords();
  const uint32_t unit = UnitWords();
  if (span == 0 || sectorTable.AddressCount() < 2) return sectors;
  const uint64_t end = uint64_t{c} + count;
  for (uint64_t base = c - (c & (span - 1)); base < end; base += span) {
    for (int32_t k = 0; k + 1 < sectorTable.AddressCount(); ++k) {
      const uint64_t s = base + static_cast<uint64_t>(sectorTable.Address(k)) * unit;
      const uint64_t e = base + static_cast<uint64_t>(sectorTable.Address(k + 1)) * unit;
      if (c < e && s < end) sectors.emplace_back(static_cast<uint32_t>(s), static_cast<uint32_t>(e));
    }
  }
  return sectors;
}

bool FlashDriverQSPI::Erase(FlashDriverIf& session, uint32_t count) {
  if (!hasDescription || session.link == nullptr || sectorTable.AddressCount() < 2) return false;
  session.SetStatus(StatusErasing);
  const uint32_t c = static_cast<uint32_t>(session.window.position);
  uint32_t outside = 0;
  if (!RangeStaysInWindow(session, c, count, outside)) return false;
  if (SpanWords() == 0) return false;
  for (const auto& [s, e] : SectorsOf(c, count)) {
    // A sector that already holds what the program would leave in it stays as it is.
    if (session.unchanged.Holds(s, e)) continue;
    session.window.Select(s);
    bool cancelled = false;
    bool ok = WriteEnable(session);
    if (ok) {
      WriteCycle(session, static_cast<uint16_t>(description.eraseSectorCmd * 256 + 0x0B),
                 static_cast<uint16_t>(description.addressBytes * 2),
                 static_cast<uint16_t>((Dual() ? kModeDual : 0) + kModeCommand));
      (void)session.link->WriteTargetWord(session.window.TargetAddress(), 0);
      ok = WaitIdle(session);
    }
    if (ok) ok = WaitReady(session, kQspiEraseTimeoutMs, cancelled);
    if (!ok) {
      session.failureAddress = static_cast<int32_t>(s);
      session.SetStatus(StatusSectorEraseFailed);
      return false;
    }
    session.progress[0].position = static_cast<int32_t>(s - c);
    session.UpdateProgress(0);
    session.ShowPosition("EXT:" + Hex(static_cast<uint32_t>(session.window.position)));
  }
  session.SetStatus(StatusChipErased);
  return true;
}

bool FlashDriverQSPI::FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) {
  session.unchanged.Clear();
  if (!hasDescription || session.link == nullptr) return false;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  uint32_t outside = 0;
  std::string errorText;
  if (!RangeStaysInWindow(session, start, eraseWords, outside) || !session.PrepareChecksumDriver(errorText))
    return false;
  EnterReadMode(session);
  const bool found =
      FindUnchangedUnits(session, image, start, SectorsOf(start, eraseWords), kChecksumChunkWords,
                         [&](uint32_t position, uint32_t count, uint32_t& sum) {
                           return session.ChecksumTarget(sum, position, count) ? ChunkSum::Taken : ChunkSum::Failed;
                         });
  const bool idle = LeaveReadMode(session);
  session.window.Select(start);
  if (found && idle) return true;
  session.unchanged.Clear();
  return false;
}

bool FlashDriverQSPI::Program(FlashDriverIf& session, ImageBuffer& image) {
  if (!hasDescription || session.link == nullptr || PageWords() == 0) return false;
  SerialPort& link = *session.link;
  const int32_t first = image.firstWord;
  const int32_t last = std::min(image.programLength, image.size);
  const uint32_t n = static_cast<uint32_t>(std::max(0, last - first));
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  uint32_t outside = 0;
  if (!RangeStaysInWindow(session, start, n, outside)) {
    (void)session.ShowMessage(session.window.deviceRun
                                  ? "Image runs past the end of the QSPI device at position 0x" + Hex(outside)
                                  : "Image runs past the end of the QSPI window at position 0x" + Hex(outside) +
                                        "; program the part beyond it in a run of its own",
                              nullptr, PromptButtons::Ok);
    session.failureAddress = static_cast<int32_t>(outside);
    session.expectedValue = image.words[static_cast<size_t>(first) + (outside - start)];
    session.readValue = -1;
    session.SetStatus(StatusProgramFailed);
    return false;
  }
  const uint32_t pageWords = PageWords();
  const uint16_t mode = static_cast<uint16_t>((Dual() ? kModeDual : 0) + kModeProgram);
  uint32_t done = 0;
  int32_t pending = 0;
  auto advance = [&](uint32_t position, uint32_t w) {
    session.window.Select(position + w);
    pending += static_cast<int32_t>(w);
    done += w;
    if ((session.window.position & 0xFF) == 0 || done == n) {
      session.ShowPosition("EXT:" + Hex(static_cast<uint32_t>(session.window.position)));
      session.progress[0].position += pending;
      session.UpdateProgress(0);
      pending = 0;
    }
  };
  while (done < n) {
    const uint32_t position = static_cast<uint32_t>(session.window.position);
    // Sectors that already hold their part of the image are not written.
    if (const uint32_t skipTo = session.unchanged.SkipFrom(position); skipTo != position) {
      advance(position, std::min(skipTo - position, n - done));
      continue;
    }
    // A page program wraps inside the device's page: never give it more than the rest of the
    // page, and never words from beyond the image's range.
    const uint32_t w =
        std::min({pageWords - position % pageWords, n - done, session.unchanged.WordsBeforeNext(position)});
    const uint16_t* data = image.words.data() + first + done;
    bool cancelled = false;
    bool ok = WriteEnable(session);
    if (ok) {
      WriteCycle(session, static_cast<uint16_t>(description.pageProgramCmd * 256 + 3),
                 static_cast<uint16_t>(description.addressBytes * 2), mode);
      const uint32_t t = session.window.TargetAddress();
      ok = link.WriteMemoryBlock(static_cast<uint16_t>(t & 0xFFFF), static_cast<uint16_t>(t >> 16), w, data, false) &&
           WaitTransfer(session);
    }
    if (ok) {
      ClearDone(session);
      (void)WaitIdle(session);
      ok = WaitReady(session, kQspiProgramTimeoutMs, cancelled);
    }
    if (!ok) {
      session.failureAddress = static_cast<int32_t>(position);
      session.expectedValue = data[0];
      if (session.cancelled) {
        session.SetStatus(StatusAborted);  // again, with the page it stopped at
        return false;
      }
      const uint32_t read = link.linked() ? link.ReadMemoryWord(session.window.TargetAddress()) : VALUE_INVALID;
      session.readValue = read == VALUE_INVALID ? -1 : static_cast<int32_t>(read & 0xFFFF);
      session.SetStatus(StatusProgramFailed);
      return false;
    }
    if (session.CheckCancel()) return false;
    advance(position, w);
  }
  session.SetStatus(StatusVerifying);
  session.window.Select(start);
  if (!Verify(session, image)) return false;
  session.SetStatus(StatusProgramVerified);
  return true;
}

void FlashDriverQSPI::EnterReadMode(FlashDriverIf& session) {
  const std::array<uint16_t, 4> readMode = ReadModeRegisters(Dual(), singleBit);
  for (uint32_t i = 0; i < 4; ++i) session.link->WriteIoRegister(controllerBase + i, readMode[i]);
}

bool FlashDriverQSPI::LeaveReadMode(FlashDriverIf& session) {
  ClearDone(session);
  const bool idle = WaitIdle(session);
  EnterReadMode(session);
  return idle;
}

bool FlashDriverQSPI::Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) {
  data.clear();
  if (!hasDescription || session.link == nullptr) return false;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  uint32_t outside = 0;
  if (!RangeStaysInWindow(session, start, words, outside)) return false;
  EnterReadMode(session);
  data.resize(words);
  bool ok = true;
  for (uint32_t done = 0; done < words && ok;) {
    const uint32_t m = std::min(kQspiReadBackPieceWords, words - done);
    session.window.Select(start + done);
    const uint32_t t = session.window.TargetAddress();
    ok = session.link->ReadMemoryBlock(static_cast<uint16_t>(t & 0xFFFF), static_cast<uint16_t>(t >> 16), m,
                                       data.data() + done);
    done += m;
  }
  session.window.Select(start);
  ok = LeaveReadMode(session) && ok;
  if (!ok) data.clear();
  return ok;
}

bool FlashDriverQSPI::Verify(FlashDriverIf& session, ImageBuffer& image) {
  if (!hasDescription || session.link == nullptr) return false;
  SerialPort& link = *session.link;
  std::string errorText;
  if (!session.PrepareChecksumDriver(errorText)) {
    if (!errorText.empty()) (void)session.ShowMessage(errorText, nullptr, PromptButtons::Ok);
    session.SetStatus(StatusVerifyFailed);
    return false;
  }
  const std::array<uint16_t, 4> readMode = ReadModeRegisters(Dual(), singleBit);
  for (uint32_t i = 0; i < 4; ++i) link.WriteIoRegister(controllerBase + i, readMode[i]);
  const int32_t first = image.firstWord;
  const int32_t last = std::min(image.programLength, image.size);
  const uint32_t n = static_cast<uint32_t>(std::max(0, last - first));
  session.progress[1] = ProgressChannel{0, 0, static_cast<int32_t>(n)};
  session.UpdateProgress(1);
  uint32_t target = 0, host = 0;
  uint32_t a = static_cast<uint32_t>(session.window.position);
  uint32_t done = 0;
  bool ok = true;
  while (done < n) {
    session.ShowPosition("EXT:" + Hex(a));
    const uint32_t k = std::min(n - done, kQspiVerifyChunkWords);
    if (!session.ChecksumTarget(target, a, k)) {
      session.failureAddress = static_cast<int32_t>(a);
      session.ChecksumCallFailed();
      ok = false;
      break;
    }
    const uint16_t* expected = image.words.data() + first + done;
    host = ChecksumWords(host, std::span<const uint16_t>(expected, k));
    if (host != target) {
      // Read the chunk back through the window to name the first differing word.
      ok = false;
      session.window.Select(a);
      const uint32_t t = session.window.TargetAddress();
      std::array<uint16_t, kQspiReadBackPieceWords> piece{};
      for (uint32_t at = 0; at < k; at += kQspiReadBackPieceWords) {
        const uint32_t m = std::min(kQspiReadBackPieceWords, k - at);
        const uint32_t address = t + at;
        if (!link.ReadMemoryBlock(static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16), m,
                                  piece.data()))
          break;
        const auto diff = std::mismatch(piece.begin(), piece.begin() + m, expected + at);
        if (diff.first != piece.begin() + m) {
          const uint32_t i = at + static_cast<uint32_t>(diff.first - piece.begin());
          session.failureAddress = static_cast<int32_t>(a + i);
          session.expectedValue = expected[i];
          session.readValue = piece[i - at];
          break;
        }
      }
      session.SetStatus(StatusVerifyFailed);
      break;
    }
    session.progress[1].position += static_cast<int32_t>(k);
    session.UpdateProgress(1);
    a += k;
    done += k;
  }
  ClearDone(session);
  if (!WaitIdle(session)) ok = false;
  for (uint32_t i = 0; i < 4; ++i) link.WriteIoRegister(controllerBase + i, readMode[i]);
  return ok && host == target;
}

}  // namespace tessaro
