#include "efuse/ProgramEFuse.h"

#include "chips/ChipCatalogue.h"
#include "flash/FlashDriverIf.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

constexpr const char* kReady = "Ready to program eFuses.";
constexpr const char* kCheckEfu = "Please check EFU contents!";
constexpr const char* kPressConnect = "Press Connect to establish connection!";
constexpr const char* kAborted = "Programming aborted!";
constexpr const char* kProgrammed = "eFuses programmed!";
constexpr const char* kFailed = "eFuse programming failed!";
constexpr const char* kSessionClosed = "Session closed";
constexpr const char* kIncompatibleKey =
    "Incompatible AES Key for this session already programmed, firmware will not work!";

// An option burned on the chip that the EFU file of the firmware does not ask for. Legend:
// the EFU field, the fuse bit (by session), the warning.
struct OptionWarning {
  uint32_t EfuData::*field;
  uint16_t (*bit)(uint32_t session);
  const char* text;
};
constexpr OptionWarning kOptionWarnings[] = {
    {&EfuData::midiOutEnable, [](uint32_t) { return kMidiOutBit; },
     "MidiOutEnable eFuse programmed but not specified in EFU file!"},
    {&EfuData::sssBootEnable, [](uint32_t) { return kSssBootBit; },
     "SSSBootEnable eFuse programmed but not specified in EFU file!"},
    {&EfuData::watchdog, [](uint32_t s) { return WatchdogBit(s); },
     "Watchdog eFuse programmed but not specified in EFU file!"},
};

bool IsNineFamily(const FlashDriverIf& session) { return session.FamilyCode() == FAMILY_9XXX; }

}  // namespace

std::string EfuParseFailureText(const std::string& path, const std::string& errorText) {
  return "Unable to parse " + path + ":\r\n" + errorText;
}

EfuseBurnResult BurnFuseBits(FlashDriverIf& session, const std::vector<uint16_t>& plan, FuseWords& words) {
  EfuseBurnResult result;
  SerialPort& link = *session.link;
  if (plan.empty()) {
    result.written = true;  // nothing to burn: no command sequence either
  } else {
    result.sent = true;
    result.written = link.WriteEfuseWords(plan.data(), plan.size());
  }
  // Read back what the chip holds now; a burn that dropped the link is looked at after linking
  // again, so a half-done burn is reported bit by bit.
  if (!link.linked()) (void)session.EnsureLinked();
  const bool complete = ReadFuseWords(link, words);
  for (uint16_t bit : plan) (IsFuseBitSet(words, bit) ? result.burned : result.missing).push_back(bit);
  result.verified = result.written && complete && result.missing.empty();
  return result;
}

// ---- the dialog ----

CProgramEFuse::CProgramEFuse(FlashDriverIf& session, const std::string& efuPath) : flash_(session) {
  std::string errorText;
  if (!ParseEfuFile(efuPath, efu_, errorText)) {
    parseFailure_ = EfuParseFailureText(efuPath, errorText);
    // What the dialog shows for such a file whether or not a chip is connected.
    SetStatus(ColourRed, kCheckEfu);
  }
}

void CProgramEFuse::SetStatus(int colourClass, std::string text) {
  colourClass_ = colourClass;
  status_ = std::move(text);
}

void CProgramEFuse::Initialise() {
  if (efu_.valid) aesText_ = EfuKeyText(efu_.aes);
  Connect();
}

void CProgramEFuse::Connect() {
  watchdog_ = efu_.watchdog != 0;
  midiOut_ = efu_.midiOutEnable != 0;
  sssBoot_ = efu_.sssBootEnable != 0;
  keyProgrammed_ = false;
  programEnabled_ = false;
  fusesRead_ = false;
  fuseWords_.fill(0);

  SerialPort& link = *flash_.link;
  link.CloseLink(false);
  link.SetLinked(false);
  const bool linked = flash_.EnsureLinked() && IsNineFamily(flash_);
  // Fuse words that could not all be read would show a wrong session, and a burn would go to
  // that wrong session: treat them as no connection.
  if (!linked || !ReadFuseWords(link, fuseWords_)) {
    fuseWords_.fill(0);
    SetStatus(ColourYellow, kPressConnect);
  } else {
    fusesRead_ = true;
    sessionIndex_ = EfuseSession(fuseWords_);
    sessionText_ = SessionText(sessionIndex_);
    chipKey_ = SessionKey(fuseWords_, sessionIndex_);
    keyProgrammed_ = !IsZeroKey(chipKey_);
    programmedText_ = keyProgrammed_ ? ProgrammedKeyText(chipKey_) : std::string();
    if (IsFuseBitSet(fuseWords_, kSssBootBit)) sssBoot_ = true;
    if (IsFuseBitSet(fuseWords_, kMidiOutBit)) midiOut_ = true;
    if (IsFuseBitSet(fuseWords_, WatchdogBit(sessionIndex_))) watchdog_ = true;
    if (efu_.valid) {
      programEnabled_ = true;
      SetStatus(ColourNormal, kReady);
    } else {
      SetStatus(ColourRed, kCheckEfu);
    }
  }
  secureSession_ = efu_.secured != 0;
}

EfusePlan CProgramEFuse::Plan() const {
  EfusePlan plan;
  plan.session = sessionIndex_;
  FuseBitList list;
  if (!IsZeroKey(efu_.aes)) {
    if (keyProgrammed_) {
      plan.keyMismatch = chipKey_ != efu_.aes;
    } else {
      list.AddKey(sessionIndex_, efu_.aes);
      plan.keyBits = true;
    }
  }
  if (secureSession_) (void)list.Add(SessionCloseBit(sessionIndex_));
  if (midiOut_) (void)list.Add(kMidiOutBit);
  if (sssBoot_) (void)list.Add(kSssBootBit);
  if (watchdog_) (void)list.Add(WatchdogBit(sessionIndex_));
  plan.bits = list.bits();
  return plan;
}

bool CProgramEFuse::ProgramEfuses(bool dryRun) {
  if (!programEnabled_ || !fusesRead_ || !efu_.valid) return false;
  lastPlan_ = Plan();
  lastBurn_ = EfuseBurnResult{};
  if (dryRun) return false;
  if (lastPlan_.keyMismatch) {
    questions_.push_back(kKeyMismatchQuestion);
    if (flash_.ShowMessage(kKeyMismatchQuestion, kKeyMismatchCaption, PromptButtons::YesNo) != PromptAnswer::Yes) {
      SetStatus(ColourYellow, kAborted);
      return false;
    }
  }
  programEnabled_ = false;
  lastBurn_ = BurnFuseBits(flash_, lastPlan_.bits, fuseWords_);
  // The label tells what the chip holds: closed only once the close bit reads back set.
  if (secureSession_ && IsFuseBitSet(fuseWords_, SessionCloseBit(sessionIndex_))) sessionText_ = kSessionClosed;
  if (lastBurn_.verified) {
    SetStatus(ColourGreen, kProgrammed);
    return true;
  }
  SetStatus(ColourRed, kFailed);
  return false;
}

// ---- after firmware ----

AfterFirmwareResult BurnAfterFirmware(FlashDriverIf& session, const EfuData& efu, bool dryRun) {
  AfterFirmwareResult result;
  if (!IsNineFamily(session) || !efu.valid || efu.flags == 0 || session.link == nullptr) return result;
  FuseWords words{};
  if (!ReadFuseWords(*session.link, words)) {
    result.warnings.push_back(kFailed);
    (void)session.ShowMessage(kFailed, nullptr, PromptButtons::Ok);
    return result;
  }
  result.attempted = true;
  auto warn = [&](const char* text) {
    result.warnings.push_back(text);
    (void)session.ShowMessage(text, nullptr, PromptButtons::Ok);
  };

  const uint32_t s = EfuseSession(words);
  EfusePlan& plan = result.plan;
  plan.session = s;
  FuseBitList list;
  const EfuNumber chipKey = SessionKey(words, s);
  if (IsZeroKey(chipKey)) {
    list.AddKey(s, efu.aes);
    plan.keyBits = !IsZeroKey(efu.aes);
  } else if (chipKey != efu.aes) {
    plan.keyMismatch = true;
    warn(kIncompatibleKey);
  }
  if (efu.secured != 0) (void)list.Add(SessionCloseBit(s));
  for (const auto& option : kOptionWarnings) {
    const uint16_t bit = option.bit(s);
    if (efu.*option.field != 0)
      (void)list.Add(bit);
    else if (IsFuseBitSet(words, bit))
      warn(option.text);
  }
  plan.bits = list.bits();
  if (dryRun) return result;
  result.burn = BurnFuseBits(session, plan.bits, words);
  if (!result.burn.verified) warn(kFailed);
  return result;
}

}  // namespace tessaro
