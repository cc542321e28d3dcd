// The logic of the eFuse programming dialog (4000) and of the automatic burn after a firmware
// image that came with an EFU file. Plain classes over the session: the desktop program puts
// its view on CProgramEFuse, the CLI prints it, tests drive it against the simulated board.
//
// Burned bits are permanent, so every burn goes plan first: the plan (fuse bit indices in the
// order they are sent) is computed from the EFU file, the fuses read from the chip and the
// user's choices, can be shown or only computed (dry run, no eFuse command at all), and the
// fuses are read back afterwards so a bit that did not take is reported, never hidden.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "efuse/EfuFile.h"
#include "efuse/EfuseMap.h"

namespace tessaro {

class FlashDriverIf;

inline constexpr const char* kEfuParseErrorCaption = "Error parsing EFU file";
inline constexpr const char* kKeyMismatchCaption = "AES Key mismatch";
inline constexpr const char* kKeyMismatchQuestion =
    "AES Key already programmed and differs from Key specified in EFU file, continue?";

// "Unable to parse " + path + ":\r\n" + the parser's messages.
std::string EfuParseFailureText(const std::string& path, const std::string& errorText);

// What a burn is to send, and why the key bits are or are not in it.
struct EfusePlan {
  uint32_t session = 0;
  std::vector<uint16_t> bits;  // in the order they are sent
  bool keyBits = false;        // the EFU key is burned into the session
  bool keyMismatch = false;    // the chip holds another key for the session
};

// The warning every burn is confirmed with: "Burning N eFuse bit(s) cannot be undone."
std::string BurnWarningText(size_t bitCount);
// What a plan burns, for the confirmation: the session, then one line for each of the key
// (`key`, when its bits are planned), the session close and each option, then the warning.
std::string BurnPlanText(const EfusePlan& plan, const EfuNumber& key);

// How a burn ended. `burned` are the planned bits the chip holds afterwards, `missing` those
// it does not.
struct EfuseBurnResult {
  bool sent = false;      // the eFuse command sequence was started
  bool written = false;   // WriteEfuseWords succeeded
  bool verified = false;  // read back complete and every planned bit set
  std::vector<uint16_t> burned;
  std::vector<uint16_t> missing;
};

// Sends the plan (nothing when it is empty) and reads the fuses back into `words`.
EfuseBurnResult BurnFuseBits(FlashDriverIf& session, const std::vector<uint16_t>& plan, FuseWords& words);

class CProgramEFuse {
 public:
  // Parses the EFU file; on failure parseFailure() holds the text to show once (caption
  // kEfuParseErrorCaption), and the dialog opens all the same.
  CProgramEFuse(FlashDriverIf& session, const std::string& efuPath);

  // Shows the EFU key and runs Connect.
  void Initialise();
  // (Re)links, reads the 64 fuse words and sets the texts and check boxes from chip and file.
  void Connect();
  // The plan for the current state and check boxes; asks nothing and sends nothing.
  EfusePlan Plan() const;
  // "Program eFuses": builds the plan, asks about a different key already in the chip, burns
  // and reads back. A dry run stops after the plan and sends no eFuse command. False when
  // nothing was burned successfully (refused, aborted, dry run or failed).
  [[nodiscard]] bool ProgramEfuses(bool dryRun = false);

  // The user's choice: close the session with the burn.
  void SetSecureSession(bool on) { secureSession_ = on; }

  const std::string& parseFailure() const { return parseFailure_; }
  const EfuData& efu() const { return efu_; }
  const FuseWords& fuseWords() const { return fuseWords_; }
  bool fusesRead() const { return fusesRead_; }
  bool keyProgrammed() const { return keyProgrammed_; }
  uint32_t session() const { return sessionIndex_; }
  const EfuNumber& chipKey() const { return chipKey_; }
  const std::string& aesText() const { return aesText_; }                   // 4001
  const std::string& programmedKeyText() const { return programmedText_; }  // 4009
  const std::string& sessionText() const { return sessionText_; }           // 4010
  bool sssBoot() const { return sssBoot_; }                                 // 4002
  bool midiOut() const { return midiOut_; }                                 // 4003
  bool watchdog() const { return watchdog_; }                               // 4005
  bool secureSession() const { return secureSession_; }                     // 4004
  bool programEnabled() const { return programEnabled_; }                   // button 1
  const std::string& status() const { return status_; }                     // 4007
  int colourClass() const { return colourClass_; }
  const EfusePlan& lastPlan() const { return lastPlan_; }
  const EfuseBurnResult& lastBurn() const { return lastBurn_; }
  // Every question asked through the session, in order.
  const std::vector<std::string>& questions() const { return questions_; }

 private:
  void SetStatus(int colourClass, std::string text);

  FlashDriverIf& flash_;
  std::string parseFailure_;
  EfuData efu_;
  FuseWords fuseWords_{};
  EfuNumber chipKey_{};
  bool fusesRead_ = false;
  bool keyProgrammed_ = false;
  uint32_t sessionIndex_ = 0;
  int colourClass_ = 0;
  std::string aesText_;
  std::string programmedText_;
  std::string sessionText_;
  bool sssBoot_ = false;
  bool midiOut_ = false;
  bool watchdog_ = false;
  bool secureSession_ = false;
  bool programEnabled_ = false;
  std::string status_;
  EfusePlan lastPlan_;
  EfuseBurnResult lastBurn_;
  std::vector<std::string> questions_;
};

// What the burn after firmware did.
struct AfterFirmwareResult {
  bool attempted = false;  // the chip, the EFU data and the fuse read allowed a burn
  EfusePlan plan;
  EfuseBurnResult burn;
  std::vector<std::string> warnings;  // messages shown, in order
};

// The automatic burn after a successful PROGRAM! of a firmware image with an EFU file: for a
// 9xxx chip and a valid EFU file with flags not 0, burns the EFU key (when the session has
// none), the close bit and the options the file asks for, warning about a different key and
// about options burned on the chip but missing from the file. Nothing is burned when the fuse
// words cannot be read completely (the session would be guessed). A failed or incomplete
// burn is shown as "eFuse programming failed!". A dry run computes the plan only.
AfterFirmwareResult BurnAfterFirmware(FlashDriverIf& session, const EfuData& efu, bool dryRun = false);

}  // namespace tessaro
