// Link layer of SerialPort: opening, the debug interface probe, linking with the boot ROM
// (reset, secured chips and debug sessions, baud switch), the connect sequence and release.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "link/SerialPort.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kProbe = 0xBC;
constexpr uint8_t kFrameStart = 0xCB;
constexpr uint8_t kFrameEnd = 0xCA;
constexpr uint8_t kUseLegacyProtocol = 0xB2;
constexpr uint8_t kUseSerialProtocol = 0xB3;
constexpr uint8_t kRelease = 0xB0;
constexpr uint8_t kReleaseRev6 = 0xB4;
constexpr uint8_t kHighBaud = 0xB7;
constexpr uint8_t kOpenSession = 0xBB;
constexpr uint8_t kSecuredFirst = 0x54;  // debug session 2
constexpr uint8_t kSecuredLast = 0x59;   // debug session 7
constexpr uint8_t kNoSessionLeft = 0x5A;
// Only the first bytes of an interface frame carry meaning; longer frames are cut here.
constexpr size_t kMaxFrame = 104;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const char* PackageName(uint32_t code) {
  switch (code & 0xF) {
    case 0: return "LYR9162 QFP64";
    case 1: return "DVX9x71 QFP64";
    case 2: return "DVX9x62 QFP100";
    case 3: return "DVX9x71 QFP100";
    case 4: return "LYR9368B QFP128";
    case 5: return "LYR9371 QFP128";
    case 6: return "LYR9468 QFP176";
    case 7: return "DVX9471 QFP176";
    case 9: return "LYR9571 QFP216";
    case 12: return "LYR9362 QFP128";
    case 14: return "LYR9362B QFP128";
    default: return "DVX";
  }
}

}  // namespace

void SerialPort::RawSend(uint8_t byte) { Write(&byte, 1); }

void SerialPort::DrainInput() {
  Flush();
  if (handshakeOwnsRing_.load()) {
    uint8_t byte = 0;
    while (TakeByte(byte)) {
    }
    return;
  }
  DiscardWaitingInput();
}

void SerialPort::DiscardWaitingInput() {
  while (filledSlots_ && filledSlots_->try_acquire()) {
    rxRead_ = (rxRead_ + 1) % kRxRingSize;
    rxCount_.fetch_sub(1);
    freeSlots_->release();
  }
}

bool SerialPort::ReadByteWithin(int ms, uint8_t& byte) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (Available() > 0) return ReadByte(byte);
    if (Clock::now() >= deadline) return false;
  }
}

bool SerialPort::SleepPolling(int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    if (callback_->AbortRequested()) return false;
    Sleep(1);
  }
  return true;
}

LinkResult SerialPort::OpenLink(CLyrComIf* callback, uint32_t port, bool switchBaud) {
  callback_ = callback ? callback : &defaultCallback_;
  retries_ = 0;
  expectedReply_ = 0;
  recordLength_ = 0;
  replayActive_ = false;
  inFlight_.clear();
  inFlightBytes_ = 0;
  windowed_ = false;
  switchBaud_ = switchBaud;
  if (transportMode_ == TransportClosed) {
    portNumber = port;
    (void)SetLineSettings("57600,N,8,1");  // no port is open yet: only stored, cannot fail
    if (Open()) transportMode_ = IsLegacy() ? TransportHandshake : TransportSerial;
    if (transportMode_ == TransportClosed) return LINK_CANT_OPEN_PORT;
  }
  ProbeInterface();
  return LINK_OK;
}

void SerialPort::ProbeInterface() {
  handshakeOwnsRing_.store(false);
  DrainInput();
  if (switchBaud_ && transportMode_ == TransportSerial) {
    // Open applied these settings once already; the probe's answer shows whether they hold.
    (void)SetLineSettings("57600,N,8,1");
    Sleep(150);
  }
  Flush();
  SetRts();
  SetDtr();
  Sleep(50);
  RawSend(kProbe);

  bool wasLinked = linked_;
  linked_ = true;
  std::vector<uint8_t> reply;
  auto deadline = Clock::now() + std::chrono::milliseconds(150);
  while (Clock::now() < deadline) {
    if (Available() == 0) continue;
    uint8_t byte = 0;
    if (!ReadByte(byte)) break;
    if (reply.empty() && byte != kFrameStart) continue;
    if (reply.size() < kMaxFrame) reply.push_back(byte);
    if (byte == kFrameEnd) break;
  }

  targetPowered_ = true;
  resetByLink_ = false;
  interfaceRev6_ = false;
  interfaceRevision_ = 0;
  if (config_.chip) resetByLink_ = config_.chip->familyCode != FAMILY_73XX;

  if (!reply.empty()) {
    uint8_t kind = reply.size() > 1 ? reply[1] : 0;
    uint8_t revision = reply.size() > 2 ? reply[2] : 0;
    uint8_t flags = reply.size() > 3 ? reply[3] : 0;
    if (SpeaksLegacyProtocol(transportMode_)) {
      RawSend(kUseLegacyProtocol);
      interfaceRevision_ = revision;
      transportMode_ = kind == 2 ? TransportUsbLegacyKind2 : TransportUsbLegacy;
      if (revision >= 3) {
        resetByLink_ = (flags & 0x01) != 0;
        targetPowered_ = (flags & 0x04) != 0;
        interfaceRev6_ = revision >= 6;
      }
    } else {
      RawSend(kUseSerialProtocol);
      interfaceRevision_ = revision;
      transportMode_ = TransportUsbSerial;
      if (revision >= 3) {
        resetByLink_ = (flags & 0x01) != 0;
        targetPowered_ = (flags & 0x08) != 0;
        interfaceRev6_ = revision >= 6;
        if (kind >= 2) {
          transportMode_ = TransportUsbSerialKind2;
          targetPowered_ = (flags & 0x01) != 0;
        }
      }
    }
    uint8_t byte = 0;
    auto restDeadline = Clock::now() + std::chrono::milliseconds(100);
    while (Clock::now() < restDeadline) {
      if (Available() == 0) continue;
      if (!ReadByte(byte) || byte == kFrameEnd) break;
    }
  }

  linked_ = wasLinked;
  if (transportMode_ == TransportHandshake) {
    rtsReleased_ = false;
    SetRts();
    ClearDtr();
    handshakeOwnsRing_.store(true);
  } else {
    Flush();
    ClearRts();
    SetDtr();
  }
  Sleep(50);
}

LinkResult SerialPort::LinkWithTarget(CLyrComIf* callback, uint32_t port, bool switchBaud, bool quiet) {
  LinkResult code = OpenLink(callback, port, switchBaud);
  if (code != LINK_OK) return code;
  bool firstTime = true;
  for (;;) {
    if (!targetPowered_) return LINK_NOT_POWERED;
    if (!resetByLink_ && !linked_ && !quiet) (void)prompt_->Ask("Please reset target now", "Alert", PromptButtons::Ok);
    linked_ = true;
    if (transportMode_ == TransportHandshake) break;  // the legacy link has no acknowledge

    bool redo = false;
    bool gotAck = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.linkMs);
    while (Clock::now() < deadline) {
      if (callback_->AbortRequested()) {
        linked_ = false;
        return LINK_FAILED;
      }
      if (Available() == 0) continue;
      uint8_t byte = 0;
      if (!ReadByte(byte)) continue;
      gotAck = byte == kAck;
      if (gotAck) break;
      if (Family() != FAMILY_9XXX) continue;
      if (byte == kNoSessionLeft) {
        linked_ = false;
        return LINK_NO_SESSIONS;
      }
      if (byte < kSecuredFirst || byte > kSecuredLast) continue;
      std::string question =
          "This Chip is secured!\n\rUnlock Device for programming/debugging\r\nusing Debug Session " +
          std::to_string(byte - 0x52) + " of 7?";
      if (prompt_->Ask(question, "Device Secured!", PromptButtons::YesNo) != PromptAnswer::Yes) {
        linked_ = false;
        return LINK_CHIP_SECURED;
      }
      RawSend(kOpenSession);
      uint8_t answer = 0;
      bool answered = ReadByteWithin(timeouts_.sessionAnswerMs, answer);
      if (answered && answer == kAck) {
        Sleep(200);
        RawSend(kProbe);
        Flush();
        deadline = Clock::now() + std::chrono::milliseconds(timeouts_.linkMs);
        if (firstTime) {
          firstTime = false;
          redo = true;
        }
      } else {
        prompt_->Alert("Protocol Error!!!");
      }
    }
    if (gotAck && redo) {
      code = OpenLink(callback, port, switchBaud);
      if (code != LINK_OK) return code;
      continue;
    }
    bool ackRequired = (config_.chip && config_.chip->ackAfterReset) || transportMode_ == TransportUsbLegacy ||
                       transportMode_ == TransportUsbLegacyKind2;
    if (ackRequired && !gotAck) {
      linked_ = false;
      return LINK_NO_ACK;
    }
    break;
  }

  if (!switchBaud_) return LINK_OK;
  if (transportMode_ == TransportSerial) {
    uint32_t d = ReadIoRegister(254);
    int64_t h = (256 - static_cast<int64_t>(d)) / 2;
    BeginCommand(1);
    SendByte(5);
    SendByte(254);
    SendWord(static_cast<uint16_t>(256 - h));
    Flush();
    Sleep(20);
    if (!SetLineSettings("115200,N,8,1")) return LINK_NO_HIGH_BAUD;
    Sleep(20);
    DrainInput();
    Sleep(100);
    if (256 - static_cast<int64_t>(ReadIoRegister(254)) != h) return LINK_NO_HIGH_BAUD;
  } else if (transportMode_ == TransportUsbLegacyKind2) {
    uint32_t d = ReadIoRegister(15);
    FlushAndSetLines(true);
    RawSend(kHighBaud);
    Flush();
    Sleep(20);
    if (!SetLineSettings("115200,N,8,1")) return LINK_NO_HIGH_BAUD;
    Sleep(20);
    FlushAndSetLines(false);
    if (ReadIoRegister(15) != d) return LINK_NO_HIGH_BAUD;
  }
  return LINK_OK;
}

LinkResult SerialPort::Connect(CLyrComIf* callback, uint32_t port, bool switchBaud, const BoardConfig& configuration) {
  struct WaitCursor {
    PromptIf& prompt;
    explicit WaitCursor(PromptIf& p) : prompt(p) { prompt.SetWaitCursor(true); }
    ~WaitCursor() { prompt.SetWaitCursor(false); }
  } waitCursor(*prompt_);

  config_ = configuration;
  chipDescription_.clear();
  chipIdValue_ = 0;
  if (port != 0) {
    LinkResult code = LinkWithTarget(callback, port, switchBaud, false);
    if (code != LINK_OK) return code;
  }
  preloadCount_ = 0;
  uint32_t memoryBase = 0;
  const uint32_t family = Family();
  if (family == FAMILY_74XX) {
    uint32_t d = ReadIoRegister(15);
    if (config_.mode == MEM_INTRAM) WriteIoRegister(0, 0x10);
    WriteIoRegister(15, d & ~0x2040u);
  } else if (family == FAMILY_8X2X || family == FAMILY_8721) {
    if (config_.mode == MEM_INTRAM) WriteIoRegister(0, 4);
  } else if (family == FAMILY_8X47) {
    uint32_t s = config_.mode == MEM_INTRAM ? 4 : config_.mode == MEM_FLASH_INTRAM ? 8 : 0;
    uint16_t w = MemoryConfigWord(config_);
    if (w & 3) {
      WriteIoRegister(33, 0x1000 + 0x2000);
      WriteIoRegister(19, w);
      WriteIoRegister(56, 0);
      WriteIoRegister(57, 0);
      WriteIoRegister(58, 0x110);
      WriteIoRegister(59, 0);
      WriteIoRegister(60, 0);
      WriteIoRegister(61, 0x24);
      if (config_.ext1Kind == 3 || config_.ext1Size == 3) s += 0x100;  // either area EXTDDR
      WriteIoRegister(0, s);
      Sleep(1);
      WriteIoRegister(0, s + 0x200);
      Sleep(1);
    } else {
      WriteIoRegister(19, w);
      WriteIoRegister(0, s);
    }
  } else if (family == FAMILY_9XXX) {
    WriteIoRegister(21, 0x800);
    memoryBase = 0x8E10000;
    WriteIoRegister(0, 0);
    uint32_t d = ReadIoRegister(8);
    WriteIoRegister(8, (d & 0x10) | (ConfigRegisterValue(config_, 8) & ~0x10u));
    for (uint32_t reg : {9u, 11u, 12u, 19u, 20u, 24u}) WriteIoRegister(reg, ConfigRegisterValue(config_, reg));
    WriteIoRegister(64, ConfigRegisterValue(config_, 64) | 0xC000);
    WriteIoRegister(22, ConfigRegisterValue(config_, 22));
    Sleep(100);
    WriteIoRegister(21, ConfigRegisterValue(config_, 21));
    if (config_.ext1Kind == EXT_SDRAM) {
      uint16_t t = ConfigRegisterValue(config_, 23);
      WriteIoRegister(23, t);
      for (uint32_t reg : {26u, 25u, 27u}) WriteIoRegister(reg, ConfigRegisterValue(config_, reg));
      WriteIoRegister(23, t | 0x40);
      int reads = 0;
      while ((ReadIoRegister(23) & 0x80) == 0) {
        if (++reads >= 1000) return LINK_FAILED;
        Sleep(1);
      }
    }
    if (config_.mode == MEM_CACHE) {
      static const uint16_t kSmall1[] = {0xDFEB, 0xF3F8};
      static const uint16_t kPattern3[] = {0xBFCF, 0xDFEB, 0xF3F8};
      static const uint16_t kPattern1[] = {0xF3F8};
      static const uint16_t kPattern4[] = {0x7FBF, 0xBFCF, 0xDFEB, 0xF3F8};
      std::span<const uint16_t> words;
      const std::string name = config_.chip->name;
      if (name == "LYR9162" || name == "LYR9362") {
        if (config_.internalSplit == 1) words = kSmall1, preloadAddress_ = 0x8E80800;
        if (config_.internalSplit == 2) words = kPattern3, preloadAddress_ = 0x8E80400;
      } else {
        if (config_.internalSplit == 0) words = kPattern1, preloadAddress_ = 0x8E81C00;
        if (config_.internalSplit == 1) words = kPattern3, preloadAddress_ = 0x8E81400;
        if (config_.internalSplit == 2) words = kPattern4, preloadAddress_ = 0x8E81000;
      }
      preloadCount_ = static_cast<uint32_t>(words.size());
      for (size_t i = 0; i < words.size(); ++i) preloadWords_[i] = words[i];
    }
    chipIdValue_ = static_cast<uint16_t>(ReadIoRegister(250));
    int revision = static_cast<int16_t>(ReadIoRegister(251) & 0xFFFF);
    char text[128];
    std::snprintf(text, sizeof text, "%s[%02xh] Rev %d", PackageName(chipIdValue_), chipIdValue_, revision);
    chipDescription_ = text;
  }

  const uint32_t a = memoryBase + 0x555;
  const uint32_t b = memoryBase + 0xAAA;
  uint16_t savedA = static_cast<uint16_t>(ReadMemoryWord(a));
  uint16_t savedB = static_cast<uint16_t>(ReadMemoryWord(b));
  WriteTargetWord(a, 0xAA);
  WriteTargetWord(b, 0x55);
  WriteTargetWord(a, savedA);
  WriteTargetWord(b, savedB);
  (void)ReadMemoryWord(0);
  (void)ReadMemoryWord(1);
  if (!linked_) return LINK_FAILED;

  if (preloadCount_ > 0) {
    std::vector<uint16_t> block(1024);
    uint32_t address = preloadAddress_;
    for (uint32_t i = 0; i < preloadCount_; ++i) {
      std::fill(block.begin(), block.end(), preloadWords_[i]);
      (void)WriteMemoryBlock(address & 0xFFFF, address >> 16, 1024, block.data(), true);
      address += 1024;
    }
    uint32_t d = ReadIoRegister(0);
    WriteIoRegister(0, d | 2);
  }

  WriteRegister(128, 0x5555);
  if (ReadRegister(128) == 0x5555) {
    if (family == FAMILY_9XXX) WriteRegister(128, 0);
    return LINK_OK;
  }
  linked_ = false;
  return LINK_INVALID_RESPONSE;
}

void SerialPort::CloseLink(bool flag) {
  if (linked_) (void)DrainWindow();
  linked_ = false;
  chipDescription_.clear();
  if (transportMode_ == TransportUsbLegacy || transportMode_ == TransportUsbSerial ||
      transportMode_ == TransportUsbSerialKind2) {
    FlushAndSetLines(true);
    Sleep(10);
    RawSend(flag && interfaceRev6_ ? kReleaseRev6 : kRelease);
    linked_ = true;
    uint8_t byte = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(100);
    while (Clock::now() < deadline) {
      if (Available() == 0) continue;
      if (!ReadByte(byte) || byte == kFrameEnd) break;
    }
    linked_ = false;
    Close();
  } else if (transportMode_ != TransportClosed) {
    Close();
  }
  handshakeOwnsRing_.store(false);
  transportMode_ = TransportClosed;
}

}  // namespace tessaro
