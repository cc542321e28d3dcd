#include "flash/FlashDriverDF.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <thread>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "flash/FlashDriverIf.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

constexpr const char* kAlertCaption = "Dataflash-Driver Alert";

// Port pins "Pg.n" by family: which bits of a port a family lets the SPI select use, and the
// one bit write that gives the pin its plain I/O function. A pin no row covers is not usable.
//   family, port, first..last bit, select register, select code (0: no write needed),
//   plusBit: the select code names the pin's own bit (code + n)
struct PortRule {
  uint32_t family;
  uint8_t port;
  uint8_t first, last;
  uint32_t selectRegister;
  PinCode selectCode;
  bool plusBit;
};
constexpr std::array<PortRule, 22> kPortRules{{
    {FAMILY_8X2X, 0, 0, 8, 0, 0x8104, false},    {FAMILY_8X2X, 0, 9, 9, 0, 0x8105, false},
    {FAMILY_8X2X, 1, 0, 5, 0, 0x8106, true},     {FAMILY_8X2X, 1, 6, 6, 0, 0, false},
    {FAMILY_8X2X, 1, 7, 7, 0, 0x810C, false},    {FAMILY_8X2X, 1, 8, 9, 0, 0x810E, false},
    {FAMILY_8X2X, 1, 10, 10, 0, 0x810D, false},  {FAMILY_8X2X, 1, 15, 15, 0, 0, false},
    {FAMILY_8X2X, 2, 0, 15, 0, 0x810F, false},   {FAMILY_8X2X, 3, 0, 15, 0, 0x810F, false},
    {FAMILY_8721, 0, 0, 8, 0, 0x8106, false},    {FAMILY_8721, 0, 14, 15, 0, 0, false},
    {FAMILY_8721, 1, 0, 8, 0, 0, false},         {FAMILY_8721, 2, 0, 15, 0, 0, false},
    {FAMILY_8X47, 0, 0, 8, 32, 0x8100, false},   {FAMILY_8X47, 0, 9, 9, 32, 0x8001, false},
    {FAMILY_8X47, 0, 10, 14, 32, 0x8100, false}, {FAMILY_8X47, 1, 0, 13, 33, 0x8100, true},
    {FAMILY_8X47, 2, 0, 14, 34, 0x8100, true},   {FAMILY_8X47, 3, 0, 7, 0, 0, false},
    {FAMILY_8X47, 3, 8, 14, 32, 0x8103, false},  {FAMILY_8X47, 4, 0, 15, 34, 0x810F, false},
}};

// Pins in target data memory (9xxx, 8247, 8347): kind (bits 4..7 of the setting), name,
// highest n, data and direction words (plus n when perN), bit (plus n when bitPlusN).
struct MemoryPinRule {
  uint8_t kind;
  const char* name;
  uint8_t maxN;
  uint32_t dataRegister, directionRegister;
  bool perN;
  uint8_t bit;
  bool bitPlusN;
};
constexpr std::array<MemoryPinRule, 4> kMemoryPinRules{{
    {2, "SEL", 1, 0x0C000000, 0x0C000002, true, 15, false},
    {3, "ROW", 3, 0x0C000000, 0x0C000002, false, 11, true},
    {4, "MK", 10, 0x0C000001, 0x0C000003, false, 0, true},
    {5, "BR", 10, 0x0C000000, 0x0C000002, false, 0, true},
}};

// SPICS n on 9xxx: the select write that hands the select line to the SPI controller.
struct SpiCsRule {
  uint32_t selectRegister;
  PinCode selectCode;
};
constexpr std::array<SpiCsRule, 4> kSpiCsRules{{{11, 0x8105}, {13, 0x8107}, {13, 0x8109}, {13, 0x810A}}};

bool FamilyHasSpi(uint32_t family) {
  return family == FAMILY_74XX || family == FAMILY_8X47 || family == FAMILY_9XXX || family == FAMILY_8X2X;
}

uint32_t SpiBaseOf(uint32_t family) { return family == FAMILY_8X2X ? 16 : 28; }

std::string CantBeUsed(const std::string& item, const ChipInfo& chip) {
  return item + " can't be used on " + chip.name;
}

}  // namespace

bool DecodePinSetting(const ChipInfo& chip, PinSetting s, ChipSelectPin& out, std::string& errorText) {
  out = ChipSelectPin{};
  const uint32_t f = chip.familyCode;
  const uint32_t n = s & 0xF;
  const PinCode level = s & kPinLevel;
  const uint32_t kind = (s >> 4) & 0xF;
  if (f != FAMILY_8X2X && f != FAMILY_8721 && f != FAMILY_74XX && f != FAMILY_8X47 && f != FAMILY_9XXX) {
    errorText += std::string("DF communication not implemented on ") + chip.name;
    return false;
  }
  if ((s & 0x80) != 0) {
    const uint32_t g = (s >> 4) & 7;
    const std::string item = "P" + std::to_string(g) + "." + std::to_string(n);
    out.code = static_cast<PinCode>(0x8000 + level + n);
    out.directionCode = static_cast<PinCode>(0x8100 + n);
    if (f == FAMILY_9XXX) {
      out.dataRegister = 0xE0 + g;
      out.directionRegister = 0x70 + g;
      if (g == 7 && n == 15) {
        out.selectRegister = 11;
        out.selectCode = 0x8005;
      }
      return true;
    }
    out.dataRegister = 8 + g;
    out.directionRegister = 12 + g;
    for (const PortRule& rule : kPortRules) {
      if (rule.family != f || rule.port != g || n < rule.first || n > rule.last) continue;
      if (rule.selectCode != 0) {
        out.selectRegister = rule.selectRegister;
        out.selectCode = static_cast<PinCode>(rule.selectCode + (rule.plusBit ? n : 0));
      }
      if (f == FAMILY_8X47 && g == 4) {
        out.dataRegister = 16;
        out.directionRegister = 17;
      }
      return true;
    }
    errorText += CantBeUsed(item, chip);
    return false;
  }
  if (s == 0x10 || (s & 0xFF) == 0x10) {
    if (f != FAMILY_8X2X) {
      errorText += "DFCS only available on LYR8x2x";
      return false;
    }
    out.dataRegister = 9;
    out.code = 0x8005;  // active low whatever the level says
    out.directionRegister = 13;
    out.directionCode = 0x8105;
    out.selectRegister = 0;
    out.selectCode = 0x810B;
    return true;
  }
  if (kind >= 2 && kind <= 5) {
    if (f != FAMILY_9XXX && chip.modelCode != 0x8247 && chip.modelCode != 0x8347) {
      errorText += "SELx, ROWx, MKx and BRx only available on LYR8247, LYR8347 and LYR9xxx";
      return false;
    }
    const MemoryPinRule& rule = kMemoryPinRules[kind - 2];
    if (n > rule.maxN) {
      errorText += CantBeUsed(std::string(rule.name) + std::to_string(n), chip);
      return false;
    }
    const uint32_t b = rule.bit + (rule.bitPlusN ? n : 0);
    out.dataRegister = rule.dataRegister + (rule.perN ? n : 0);
    out.directionRegister = rule.directionRegister + (rule.perN ? n : 0);
    out.code = static_cast<PinCode>(0x8000 + level + b);
    out.directionCode = static_cast<PinCode>(0xC100 + b);
    return true;
  }
  if (kind == 6) {
    if (f != FAMILY_74XX) {
      errorText += "Px only available on LYR74xx";
      return false;
    }
    out.dataRegister = 1;
    out.code = static_cast<PinCode>(0x8000 + level + (n & 3));
    out.directionRegister = 0;
    out.directionCode = static_cast<PinCode>(0x8100 + (n & 3));
    return true;
  }
  if (kind == 7) {
    if (f != FAMILY_9XXX) {
      errorText += "SPICSx only available on LYR9xxx";
      return false;
    }
    if (n >= kSpiCsRules.size()) {
      errorText += "Invalid SPICS Number";
      return false;
    }
    out.selectRegister = kSpiCsRules[n].selectRegister;
    out.selectCode = kSpiCsRules[n].selectCode;
    return true;
  }
  // Kinds the pin-list parser never produces.
  return false;
}

bool FlashDriverDF::SetDevice(const DataFlashDescription& device, const PinList& enable, const PinList& disable,
                              const ChipInfo* chip, std::string& errorText) {
  Reset();
  enableList = enable;
  disableList = disable;
  description = device;
  if (chip == nullptr) {
    errorText += "No chip selected";
    return false;
  }
  for (uint16_t i = 0; i < enable.count && i < kMaxPinSettings; ++i) {
    ChipSelectPin pin;
    if (!DecodePinSetting(*chip, enable.pins[i], pin, errorText)) {
      selectList.clear();
      return false;
    }
    // A pin selected low idles high; one selected high idles low.
    if ((pin.code & kPinLevel) == 0) pin.code |= kPinIdleHigh;
    selectList.push_back(pin);
  }
  for (uint16_t i = 0; i < disable.count && i < kMaxPinSettings; ++i) {
    ChipSelectPin pin;
    if (!DecodePinSetting(*chip, disable.pins[i], pin, errorText)) {
      selectList.clear();
      return false;
    }
    auto match = std::find_if(selectList.begin(), selectList.end(), [&](const ChipSelectPin& p) {
      return p.dataRegister == pin.dataRegister && p.selectRegister == pin.selectRegister &&
             p.selectCode == pin.selectCode && p.directionRegister == pin.directionRegister &&
             p.directionCode == pin.directionCode && (p.code & ~0x300) == (pin.code & ~0x300);
    });
    if (match == selectList.end()) {
      errorText += "Some Port in Disable-List not in Enable-List";
      selectList.clear();
      return false;
    }
    match->code = static_cast<PinCode>((match->code & ~kPinIdleHigh) | ((pin.code & kPinLevel) << 1));
  }
  ready = true;
  return true;
}

void FlashDriverDF::Reset() {
  ready = false;
  selectList.clear();
  description = DataFlashDescription{};
  enableList = PinList{};
  disableList = PinList{};
  pageShift = 0;
}

bool FlashDriverDF::Is9xxx(FlashDriverIf& session) const { return session.FamilyCode() == FAMILY_9XXX; }

void FlashDriverDF::WritePinBit(FlashDriverIf& session, uint32_t reg, PinCode code) {
  if ((code & kPinValid) == 0 || session.link == nullptr) return;
  SerialPort& link = *session.link;
  uint32_t v = 0;
  if ((code & kPinNoRead) == 0) v = reg > 255 ? link.ReadMemoryWord(reg) : link.ReadIoRegister(reg);
  const uint32_t mask = 1u << (code & 15);
  v = (code & kPinLevel) != 0 ? (v | mask) : (v & ~mask);
  v &= 0xFFFF;
  if (reg > 255) {
    (void)link.WriteTargetWord(reg, static_cast<uint16_t>(v));
  } else {
    link.WriteIoRegister(reg, v);
  }
}

void FlashDriverDF::RoutePin(FlashDriverIf& session, const ChipSelectPin& pin) {
  WritePinBit(session, pin.selectRegister, pin.selectCode);
  WritePinBit(session, pin.directionRegister, pin.directionCode);
  const PinCode idle =
      static_cast<PinCode>((pin.code & ~(kPinLevel | kPinIdleHigh)) | ((pin.code & kPinIdleHigh) >> 1));
  WritePinBit(session, pin.dataRegister, idle);
}

void FlashDriverDF::SelectAll(FlashDriverIf& session) {
  for (const ChipSelectPin& pin : selectList) WritePinBit(session, pin.dataRegister, pin.code);
}

void FlashDriverDF::DeselectAll(FlashDriverIf& session) {
  for (const ChipSelectPin& pin : selectList) {
    const PinCode idle =
        static_cast<PinCode>((pin.code & ~(kPinLevel | kPinIdleHigh)) | ((pin.code & kPinIdleHigh) >> 1));
    WritePinBit(session, pin.dataRegister, idle);
  }
}

void FlashDriverDF::SpiSend(FlashDriverIf& session, uint8_t byte) {
  const uint32_t control = Is9xxx(session) ? (spiControl | 0x8700u) : (spiControl | 2u);
  session.link->WriteIoRegister(spiBase, control);
  session.link->WriteIoRegister(spiBase + 1, static_cast<uint32_t>(byte) << 8);
}

uint16_t FlashDriverDF::SpiReceive(FlashDriverIf& session) {
  const uint32_t control = Is9xxx(session) ? (spiControl | 0x9F00u) : (spiControl | 1u);
  session.link->WriteIoRegister(spiBase, control);
  return static_cast<uint16_t>(session.link->ReadIoRegister(spiBase + 1));
}

void FlashDriverDF::ReadIdentification(FlashDriverIf& session, uint16_t& id1, uint16_t& id2) {
  SpiSend(session, 0x9F);
  id1 = SpiReceive(session);
  id2 = SpiReceive(session);
  for (int i = 0; i < 3; ++i) (void)SpiReceive(session);
}

uint16_t FlashDriverDF::ReadStatus(FlashDriverIf& session) {
  SelectAll(session);
  SpiSend(session, 0xD7);
  const uint16_t s = SpiReceive(session);
  DeselectAll(session);
  return s;
}

bool FlashDriverDF::CheckStatus9xxx(FlashDriverIf& session) {
  const uint16_t s = ReadStatus(session);
  if ((s & 0x8000) == 0) {
    (void)session.ShowMessage("Device busy!", kAlertCaption, PromptButtons::Ok);
    return false;
  }
  if ((s & 0x0100) != 0) {
    description.pageSize &= ~0xFF;
    return true;
  }
  const PromptAnswer answer = session.ShowMessage(
      "Device using 264 Bytes per Page, this is not compatible if used for firmware boot!\r\nPress YES to switch "
      "device permanently into 256 Bytes per Page or NO to continue with 264 Bytes per Page!",
      kAlertCaption, PromptButtons::YesNo);
  if (answer == PromptAnswer::No) return true;
  if (answer != PromptAnswer::Yes) return false;
  SelectAll(session);
  for (uint8_t b : {uint8_t{0x3D}, uint8_t{0x2A}, uint8_t{0x80}, uint8_t{0xA6}}) SpiSend(session, b);
  DeselectAll(session);
  // The switch takes a few milliseconds; a device that never comes back must not hang the run.
  uint16_t status = ReadStatus(session);
  for (TargetWait wait(session, kDfPageSwitchTimeoutMs); (status & 0x8000) == 0 && wait.Continue();) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    status = ReadStatus(session);
  }
  if (session.LinkDown()) return false;  // a lost link reads as all ones: nothing is known
  if ((status & 0x8100) == 0x8100) {
    (void)session.ShowMessage(
        "Device programmed to use 256 Bytes per page, please power-cycle the Board to activate this configuration "
        "and retry!",
        kAlertCaption, PromptButtons::Ok);
  } else {
    (void)session.ShowMessage(
        "FAILED to switch Device into 256 Bytes per page mode, please power-cycle the board and try again!",
        kAlertCaption, PromptButtons::Ok);
  }
  return false;
}

bool FlashDriverDF::Prepare(FlashDriverIf& session, std::string& errorText) {
  const ChipInfo* chip = session.Chip();
  if (chip == nullptr || session.link == nullptr) {
    errorText += "No chip connected";
    return false;
  }
  std::array<uint16_t, kDfBlockWords> block{};
  const bool nine = chip->familyCode == FAMILY_9XXX;
  if (nine) {
    spiControl = description.slow != 0 ? 100 : 200;
    block[4] = 1;
  } else {
    spiControl = description.slow != 0 ? 160 : 252;
  }
  block[0] = kDfBlockSignature;
  block[1] = chip->FindRomSymbol("ROM$DBGRETURN");
  block[2] = chip->FindRomSymbol("ST$SENDBYTE");
  block[8] = static_cast<uint16_t>(description.type);
  block[9] = static_cast<uint16_t>(description.addressBytes);
  block[13] = spiControl;
  if (!FamilyHasSpi(chip->familyCode)) {
    errorText += std::string("Unsupported Chip ") + chip->name;
    return false;
  }
  spiBase = SpiBaseOf(chip->familyCode);
  block[3] = static_cast<uint16_t>(spiBase);
  if (!image.LoadEmbedded(kDriverImageDataFlash, errorText)) return false;
  for (size_t i = 0; i < selectList.size() && i < kMaxPinSettings; ++i) {
    RoutePin(session, selectList[i]);
    block[kDfBlockFirstPin + kDfBlockPinWords * i] = static_cast<uint16_t>(selectList[i].dataRegister & 0xFFFF);
    block[kDfBlockFirstPin + kDfBlockPinWords * i + 1] = static_cast<uint16_t>(selectList[i].dataRegister >> 16);
    block[kDfBlockFirstPin + kDfBlockPinWords * i + 2] = selectList[i].code;
  }
  block[15] = static_cast<uint16_t>(std::min(selectList.size(), kMaxPinSettings));
  if (description.type == SERIAL_DATAFLASH) {
    SelectAll(session);
    if (nine) {
      WritePinBit(session, 11, 0x8104);
      WritePinBit(session, 11, 0x8005);
    }
    uint16_t id1 = 0, id2 = 0;
    ReadIdentification(session, id1, id2);
    DeselectAll(session);
    if (id1 == 0 || id1 == 0xFFFF || id1 == id2) {
      const PromptAnswer answer = session.ShowMessage(
          "Unable to detect DataFlash (can safely be ignored on older chip without Manufacturer and Device "
          "Read)!!!\r\nPress OK to ignore.",
          kAlertCaption, PromptButtons::OkCancel);
      if (answer != PromptAnswer::Ok) return false;
    }
    if (nine && !CheckStatus9xxx(session)) return false;
  }
  // The page size in effect is known now: the size follows it.
  const uint32_t sizeWords = DeviceSize();
  block[10] = static_cast<uint16_t>(sizeWords & 0xFFFF);
  block[11] = static_cast<uint16_t>(sizeWords >> 16);
  block[12] = static_cast<uint16_t>(description.pageSize / 2);
  pageShift = 1;
  if (description.pageSize > 2) {
    pageShift = 2;
    while ((1u << pageShift) < static_cast<uint32_t>(description.pageSize)) ++pageShift;
  }
  if (!image.Upload(session)) {
    errorText += "Unable to upload Driver";
    return false;
  }
  if (image.Word(2) != kDriverInterfaceVersion) {
    errorText += "Incompatible Driver";
    return false;
  }
  for (uint32_t i = 0; i < kDfBlockWords; ++i) session.link->WriteRegister(kRegParameterBlock + i, block[i]);
  return true;
}

bool FlashDriverDF::CheckPageBoundary(FlashDriverIf& session, uint32_t pageWords) {
  const uint32_t p = static_cast<uint32_t>(session.window.position);
  if (pageWords != 0 && p % pageWords == 0) return true;
  (void)session.ShowMessage("Device Address not on a Page Boundary (multiple of " + std::to_string(pageWords) + "/0x" +
                                HexFixed(pageWords, 4) + " Words)",
                            nullptr, PromptButtons::Ok);
  return false;
}

bool FlashDriverDF::PrepareAndShow(FlashDriverIf& session) {
  std::string errorText;
  if (Prepare(session, errorText)) return true;
  if (!errorText.empty()) (void)session.ShowMessage(errorText, nullptr, PromptButtons::Ok);
  return false;
}

bool FlashDriverDF::BeginPageRun(FlashDriverIf& session, const ImageBuffer& img, bool verify, PageRun& run) {
  if (!ready) return false;
  const uint32_t configuredPageWords = static_cast<uint32_t>(description.pageSize) / 2;
  if (!PrepareAndShow(session)) return false;
  // Verify compares in a buffer of kDfMaxVerifyPageWords words.
  if (verify && configuredPageWords > kDfMaxVerifyPageWords) return false;
  run.n = static_cast<uint32_t>(description.pageSize) / 2;
  if (!CheckPageBoundary(session, run.n)) return false;
  run.p = static_cast<uint32_t>(session.window.position);
  run.buffer = image.Word(kDriverEntryBuffer);
  run.first = img.firstWord;
  run.end = std::min(img.programLength, img.size);
  return true;
}

bool FlashDriverDF::ForEachPage(FlashDriverIf& session, const PageRun& run, const PageStep& step) {
  uint32_t a = (run.p / run.n) << pageShift;
  for (int32_t at = run.first; at < run.end;) {
    const uint32_t w = std::min<uint32_t>(run.n, static_cast<uint32_t>(run.end - at));
    session.failureAddress = static_cast<int32_t>((a >> pageShift) * run.n);
    if (!step(a, at, w)) return false;
    a += 1u << pageShift;
    at += static_cast<int32_t>(w);
  }
  return true;
}

void FlashDriverDF::AddressPage(FlashDriverIf& session, uint32_t a) {
  session.link->WriteRegister(kRegAddressLow, a & 0xFFFF);
  session.link->WriteRegister(kRegAddressHigh, a >> 16);
}

bool FlashDriverDF::Program(FlashDriverIf& session, ImageBuffer& img) {
  PageRun run;
  if (!BeginPageRun(session, img, false, run)) return false;
  SerialPort& link = *session.link;
  std::vector<uint16_t> page(run.n);
  const bool written = ForEachPage(session, run, [&](uint32_t a, int32_t at, uint32_t w) {
    if (session.CheckCancel()) return false;
    // A page of a unit that already holds its part of the image is not written.
    const uint32_t position = run.p + static_cast<uint32_t>(at - run.first);
    if (session.unchanged.Holds(position, position + w)) {
      session.progress[0].position += static_cast<int32_t>(w);
      session.UpdateProgress(0);
      return true;
    }
    AddressPage(session, a);
    // The routine programs a whole page: past the image's end it gets the erased value, never
    // whatever happens to lie beyond the image buffer.
    std::fill(page.begin(), page.end(), uint16_t{0xFFFF});
    std::copy_n(img.words.begin() + at, w, page.begin());
    if (!link.WriteMemoryBlock(static_cast<uint16_t>(run.buffer), 0, run.n, page.data(), true) ||
        !image.Call(session, kDfProgramPageEntry)) {
      if (image.lastCall != CallResult::Cancelled)
        (void)session.ShowMessage("Error programming Device", nullptr, PromptButtons::Ok);
      return false;
    }
    session.progress[0].position += static_cast<int32_t>(w);
    session.UpdateProgress(0);
    session.ShowPosition("DF:" + Hex(static_cast<uint32_t>(session.failureAddress)));
    return true;
  });
  if (!written) return false;

  // Quick verify: the target checksums each page as it reads it back, every word the page
  // program wrote (the erased value past the image's end included).
  session.SetStatus(StatusVerifying);
  const int32_t count = std::max(0, run.end - run.first);
  uint32_t expected =
      ChecksumWords(0, std::span<const uint16_t>(img.words.data() + run.first, static_cast<size_t>(count)));
  const uint32_t padding = (run.n - static_cast<uint32_t>(count) % run.n) % run.n;
  expected = ChecksumWords(expected, std::vector<uint16_t>(padding, 0xFFFF));
  session.window.Select(run.p);
  link.WriteRegister(kRegSumA, 0);
  link.WriteRegister(kRegSumB, 0);
  session.progress[1] = ProgressChannel{0, 0, count};
  session.UpdateProgress(1);
  const bool summed = ForEachPage(session, run, [&](uint32_t a, int32_t, uint32_t w) {
    if (!SumPage(session, a, run.n)) {
      if (image.lastCall != CallResult::Cancelled) session.SetStatus(StatusQuickVerifyFailed);
      return false;
    }
    session.window.Select(static_cast<uint32_t>(session.window.position) + w);
    session.ShowPosition("DF:" + Hex(static_cast<uint32_t>(session.window.position)));
    session.progress[1].position += static_cast<int32_t>(w);
    session.UpdateProgress(1);
    return true;
  });
  if (!summed) return false;
  const uint32_t sumA = link.ReadRegister(kRegSumA);
  const uint32_t sumB = link.ReadRegister(kRegSumB);
  if (sumA == (expected & 0xFFFF) && sumB == (expected >> 16)) {
    session.SetStatus(StatusProgramVerified);
    return true;
  }
  session.SetStatus(StatusQuickVerifyFailed);
  return false;
}

bool FlashDriverDF::FindUnchanged(FlashDriverIf& session, const ImageBuffer& img, uint32_t /*eraseWords*/) {
  session.unchanged.Clear();
  std::string errorText;
  // Program shows what keeps it from running; here the run just compares nothing.
  if (!ready || !Prepare(session, errorText)) return false;
  const uint32_t n = static_cast<uint32_t>(description.pageSize) / 2;
  const uint32_t unit = EraseUnitWords();
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  if (n == 0 || unit % n != 0 || start % n != 0) return false;
  const uint32_t count = static_cast<uint32_t>(std::max(0, std::min(img.programLength, img.size) - img.firstWord));
  // The units the run erases: each one whose first page it programs (a page program erases its
  // page, or a basic SPI flash's sector as its first page is written). A unit the run enters
  // part way is programmed over what it holds, and always written.
  std::vector<UnitRange> units;
  for (uint64_t s = (uint64_t{start} + unit - 1) / unit * unit; s < uint64_t{start} + count; s += unit)
    units.emplace_back(static_cast<uint32_t>(s), static_cast<uint32_t>(s + unit));
  SerialPort& link = *session.link;
  auto sumPages = [&](uint32_t position, uint32_t words, uint32_t& sum) {
    link.WriteRegister(kRegSumA, 0);
    link.WriteRegister(kRegSumB, 0);
    for (uint32_t page = position; page < position + words; page += n) {
      if (!SumPage(session, (page / n) << pageShift, n)) return ChunkSum::Failed;
    }
    const uint32_t low = link.ReadRegister(kRegSumA);
    const uint32_t high = link.ReadRegister(kRegSumB);
    if (low == VALUE_INVALID || high == VALUE_INVALID) return ChunkSum::Failed;
    sum = ((high & 0xFFFF) << 16) | (low & 0xFFFF);
    return ChunkSum::Taken;
  };
  const bool found = FindUnchangedUnits(session, img, start, units, n * kDfComparePages, sumPages);
  session.window.Select(start);
  return found;
}

bool FlashDriverDF::SumPage(FlashDriverIf& session, uint32_t a, uint32_t w) {
  session.link->WriteRegister(kRegDfWordCount, w);
  AddressPage(session, a);
  return image.Call(session, kChecksumEntry);
}

bool FlashDriverDF::Verify(FlashDriverIf& session, ImageBuffer& img) {
  // The device's words are compared with the image, and a difference is named with its
  // address and both values. The target first sums every page (the checksum the quick verify
  // uses), so a device that holds the image moves no page data over the link; only a page
  // whose sum differs is read back and compared word by word.
  PageRun run;
  if (!BeginPageRun(session, img, true, run)) return false;
  SerialPort& link = *session.link;
  const auto imageWords = [&](int32_t at, uint32_t w) {
    return std::span<const uint16_t>(img.words.data() + at, static_cast<size_t>(w));
  };
  const auto readFailed = [&]() {
    if (image.lastCall != CallResult::Cancelled)
      (void)session.ShowMessage("Error reading Device", nullptr, PromptButtons::Ok);
    return false;
  };
  const int32_t firstPosition = session.progress[0].position;
  const auto advance = [&](uint32_t w) {
    if (session.CheckCancel()) return false;
    session.progress[0].position += static_cast<int32_t>(w);
    session.UpdateProgress(0);
    session.ShowPosition("DF:" + Hex(static_cast<uint32_t>(session.failureAddress)));
    return true;
  };

  uint32_t expected = 0;
  link.WriteRegister(kRegSumA, 0);
  link.WriteRegister(kRegSumB, 0);
  const bool summed = ForEachPage(session, run, [&](uint32_t a, int32_t at, uint32_t w) {
    expected = ChecksumWords(expected, imageWords(at, w));
    return SumPage(session, a, w) ? advance(w) : readFailed();
  });
  if (!summed) return false;
  const uint32_t sumA = link.ReadRegister(kRegSumA);
  const uint32_t sumB = link.ReadRegister(kRegSumB);
  if (sumA == (expected & 0xFFFF) && sumB == (expected >> 16)) return true;

  // Something differs: each page's own sum finds the pages to read back.
  session.progress[0].position = firstPosition;
  std::vector<uint16_t> page(run.n);
  return ForEachPage(session, run, [&](uint32_t a, int32_t at, uint32_t w) {
    link.WriteRegister(kRegSumA, 0);
    link.WriteRegister(kRegSumB, 0);
    if (!SumPage(session, a, w)) return readFailed();
    const uint32_t want = ChecksumWords(0, imageWords(at, w));
    const uint32_t low = link.ReadRegister(kRegSumA), high = link.ReadRegister(kRegSumB);
    if (low == (want & 0xFFFF) && high == (want >> 16)) return advance(w);
    AddressPage(session, a);
    if (!image.Call(session, kDfReadPageEntry) ||
        !link.ReadMemoryBlock(static_cast<uint16_t>(run.buffer), 0, w, page.data()))
      return readFailed();
    for (uint32_t i = 0; i < w; ++i) {
      const uint16_t wanted = img.words[static_cast<size_t>(at) + i];
      if (page[i] != wanted) {
        session.failureAddress += static_cast<int32_t>(i);
        session.expectedValue = wanted;
        session.readValue = page[i];
        session.SetStatus(StatusVerifyFailed);
        return false;
      }
    }
    return advance(w);
  });
}

bool FlashDriverDF::Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) {
  data.clear();
  if (!ready || !PrepareAndShow(session)) return false;
  const uint32_t n = static_cast<uint32_t>(description.pageSize) / 2;
  if (n == 0 || n > kDfMaxVerifyPageWords) return false;
  SerialPort& link = *session.link;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  const uint32_t buffer = image.Word(kDriverEntryBuffer);
  data.resize(words);
  for (uint32_t done = 0; done < words;) {
    // The routine reads a whole page into its buffer; a range may start and end inside one.
    const uint32_t offset = (start + done) % n;
    const uint32_t w = std::min(n - offset, words - done);
    AddressPage(session, ((start + done) / n) << pageShift);
    if (!image.Call(session, kDfReadPageEntry) ||
        !link.ReadMemoryBlock(static_cast<uint16_t>(buffer + offset), 0, w, data.data() + done)) {
      if (image.lastCall != CallResult::Cancelled)
        (void)session.ShowMessage("Error reading Device", nullptr, PromptButtons::Ok);
      data.clear();
      return false;
    }
    done += w;
  }
  return true;
}

uint32_t FlashDriverDF::EraseUnitWords() const {
  const uint32_t n = static_cast<uint32_t>(description.pageSize) / 2;
  if (description.type != SERIAL_BASIC_DATAFLASH) return n;
  return std::max(n, kSpiSectorBytes / 2);
}

bool FlashDriverDF::Erase(FlashDriverIf& session, uint32_t words) {
  if (!ready || !PrepareAndShow(session)) return false;
  const uint32_t n = static_cast<uint32_t>(description.pageSize) / 2;
  const uint32_t unit = EraseUnitWords();
  if (n == 0 || unit % n != 0) return false;
  SerialPort& link = *session.link;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  const uint32_t size = DeviceSize();
  if (start >= size) {
    (void)session.ShowMessage(
        "Start address 0x" + Hex(start) + " lies beyond the end of the device (0x" + Hex(size) + " words)", nullptr,
        PromptButtons::Ok);
    return false;
  }
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + words, size));
  // Every erase programs the unit's first page with the erased value: one buffer load serves all.
  const std::vector<uint16_t> erased(n, 0xFFFF);
  if (!link.WriteMemoryBlock(static_cast<uint16_t>(image.Word(kDriverEntryBuffer)), 0, n, erased.data(), true)) {
    (void)session.ShowMessage("Error erasing Device", nullptr, PromptButtons::Ok);
    return false;
  }
  const std::vector<uint16_t> blankUnit(unit, 0xFFFF);
  const uint32_t blankSum = ChecksumWords(0, blankUnit);
  auto failed = [&](uint32_t unitStart) {
    if (image.lastCall == CallResult::Cancelled) return false;
    session.failureAddress = static_cast<int32_t>(unitStart);
    session.expectedValue = 0xFFFF;
    session.readValue = -1;
    session.SetStatus(StatusSectorEraseFailed);
    return false;
  };
  for (uint32_t s = start - start % unit; s < end; s += unit) {
    session.failureAddress = static_cast<int32_t>(s);
    if (session.CheckCancel()) return false;
    AddressPage(session, (s / n) << pageShift);
    if (!image.Call(session, kDfProgramPageEntry)) return failed(s);
    // The unit's checksum tells whether it now reads erased (a part whose erase did not take).
    link.WriteRegister(kRegSumA, 0);
    link.WriteRegister(kRegSumB, 0);
    for (uint32_t page = s; page < s + unit; page += n) {
      if (!SumPage(session, (page / n) << pageShift, n)) return failed(s);
    }
    const uint32_t low = link.ReadRegister(kRegSumA), high = link.ReadRegister(kRegSumB);
    if (low != (blankSum & 0xFFFF) || high != (blankSum >> 16)) return failed(s);
    session.progress[0].position = static_cast<int32_t>(std::min(s + unit, end) - start);
    session.UpdateProgress(0);
    session.ShowPosition("DF:" + Hex(s));
  }
  return true;
}

const DeviceDescription* FlashDriverDF::AutoDetect(FlashDriverIf& session, const DeviceCatalogue& catalogue,
                                                   std::string& errorText) {
  const ChipInfo* chip = session.Chip();
  if (chip == nullptr || session.link == nullptr) {
    errorText += "No chip connected";
    return nullptr;
  }
  if (!FamilyHasSpi(chip->familyCode)) {
    errorText += std::string("Unsupported Chip ") + chip->name;
    return nullptr;
  }
  spiBase = SpiBaseOf(chip->familyCode);
  PinList pins;
  if (!ParsePinList("P7.15", pins)) {
    errorText += "Unable to parse Enable String";
    return nullptr;
  }
  std::vector<ChipSelectPin> own;
  own.swap(selectList);
  for (uint16_t i = 0; i < pins.count; ++i) {
    ChipSelectPin pin;
    if (!DecodePinSetting(*chip, pins.pins[i], pin, errorText)) {
      selectList.swap(own);
      return nullptr;
    }
    if ((pin.code & kPinLevel) == 0) pin.code |= kPinIdleHigh;
    selectList.push_back(pin);
  }
  for (const ChipSelectPin& pin : selectList) RoutePin(session, pin);
  SelectAll(session);
  if (chip->familyCode == FAMILY_9XXX) {
    spiControl = 100;
    WritePinBit(session, 11, 0x8005);
    WritePinBit(session, 11, 0x8104);
  } else {
    spiControl = 160;
  }
  uint16_t id1 = 0, id2 = 0;
  ReadIdentification(session, id1, id2);
  DeselectAll(session);
  selectList.swap(own);
  if (id1 != 0 && id1 != 0xFFFF && id1 != id2) {
    for (const auto& entry : catalogue.Entries()) {
      if (entry->family == FAMILY_SERIAL && static_cast<uint16_t>(entry->serial.deviceId) == id1) return entry.get();
    }
  }
  errorText += "Unable to detect DataFlash";
  return nullptr;
}

}  // namespace tessaro
