// eFuses and encrypted firmware in the desktop program, against a simulated 9xxx board behind
// COM9: the eFuse dialog reached by an EFU file (Connect, Program eFuses, the key question, a
// file that does not parse), the kind text of the file label with the EFU file beside an
// encrypted firmware, and PROGRAM! of such a firmware with its encryption check and the burn
// after it. Every burn is checked in the simulated board's fuse words.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "WindowRig.h"
#include "app/EfuseDialog.h"
#include "definitions/PinList.h"
#include "efuse/FirmwareCheck.h"
#include "session/FlashIf.h"
#include "sim/devices/SpiController.h"
#include "sim/devices/SpiFlashDevice.h"

namespace tessaro::app::testing {
namespace {

// The key of the EFU files, as written in them and as fuse words (word 0 least significant).
constexpr const char* kKeyText = "0x2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C";
const EfuNumber kKey = {0x4F3C, 0x09CF, 0x1588, 0xABF7, 0xD2A6, 0x28AE, 0x1516, 0x2B7E};

std::string WriteText(const std::string& name, const std::string& text) {
  const std::string path = TestHome() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

FuseWords ChipFuses(sim::SimBoard& board) {
  FuseWords words{};
  for (uint32_t i = 0; i < kEfuseWordCount; ++i) words[i] = board.EfuseWord(i);
  return words;
}

void SetChipFuses(sim::SimBoard& board, const FuseWords& words) {
  for (uint32_t i = 0; i < kEfuseWordCount; ++i) board.SetEfuseWord(i, words[i]);
}

// A LYR9468 behind COM9 with a serial flash on P7.15, and the window over it.
class NineBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    WriteUserSettings("[Settings]\nCOM=8\n[Ports]\nCOM9=sim:--chip=LYR9468\n");
    const std::string program = MakeProgramFolder(
        "nine", {{"Nine.BDL", "[Nine Serial]\nCONFIG = LYR9468\nDfDevice = W25X40CL\nDfEnable = P7.15:0\n"}});
    rig_ = std::make_unique<WindowRig>(program);
    board_ = rig_->ports.SimBoardOf(9);
    ASSERT_NE(board_, nullptr);
  }
  std::unique_ptr<WindowRig> rig_;
  std::shared_ptr<sim::SimBoard> board_;
};

using EfuseDialogTest = NineBoardTest;

TEST_F(EfuseDialogTest, ConnectShowsTheChipAndProgramBurnsExactlyThePlan) {
  // Session 2 (index 1) open, its watchdog already burned, no key yet.
  FuseWords before{};
  before[0] = 0x0100;
  before[1] = 0x0002;
  SetChipFuses(*board_, before);
  const std::string efu =
      WriteText("dialog.efu", std::string("AES = ") + kKeyText + "\nMidiOutEnable = 1\nSecured = 1\n");

  FlashIf session(*rig_->window);
  EfuseDialog dialog(session, efu);
  EXPECT_EQ(dialog.windowTitle(), "LYR9xxx eFuse Programming");
  EXPECT_EQ(Control<QLabel>(dialog, "4010")->text(), "Session: 2/7");
  EXPECT_EQ(Control<QLineEdit>(dialog, "4001")->text(), "2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_FALSE(Control<QLineEdit>(dialog, "4001")->isEnabled());
  EXPECT_EQ(Control<QLabel>(dialog, "4009")->text(), "");
  EXPECT_FALSE(Control<QCheckBox>(dialog, "4002")->isChecked());  // SSS boot: neither file nor chip
  EXPECT_TRUE(Control<QCheckBox>(dialog, "4003")->isChecked());   // MIDI out: the file
  EXPECT_TRUE(Control<QCheckBox>(dialog, "4005")->isChecked());   // watchdog: the chip
  EXPECT_TRUE(Control<QCheckBox>(dialog, "4004")->isChecked());   // secure session: the file
  auto* status = Control<QLineEdit>(dialog, "4007");
  EXPECT_EQ(status->text(), "Ready to program eFuses.");
  auto* program = Control<QPushButton>(dialog, "1");
  EXPECT_TRUE(program->isEnabled());
  EXPECT_TRUE(rig_->prompt.shown.empty());

  // The user leaves the session open. Program eFuses asks first, naming what it burns; No
  // burns nothing.
  Control<QCheckBox>(dialog, "4004")->setChecked(false);
  program->click();
  ASSERT_EQ(rig_->prompt.shown.size(), 1u);
  const std::string question = rig_->prompt.shown[0].text;
  EXPECT_EQ(rig_->prompt.shown[0].caption, "Program eFuses");
  EXPECT_EQ(rig_->prompt.shown[0].buttons, PromptButtons::YesNo);
  EXPECT_EQ(question.substr(0, question.find("Burning")),
            "Session: 2/7\r\n- AES Key 2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C\r\n- Enable MIDI Out\r\n"
            "- Enable Watchdog\r\n");
  EXPECT_EQ(ChipFuses(*board_), before);
  EXPECT_EQ(status->text(), "Ready to program eFuses.");
  EXPECT_TRUE(program->isEnabled());

  rig_->prompt.shown.clear();
  rig_->prompt.answers = {PromptAnswer::Yes};
  program->click();
  ASSERT_EQ(rig_->prompt.shown.size(), 1u);
  EXPECT_EQ(rig_->prompt.shown[0].text, question);  // asked once, with the same plan
  EXPECT_NE(question.find("Burning " + std::to_string(dialog.Logic().lastPlan().bits.size()) +
                          " eFuse bit(s) cannot be undone.\r\nProgram eFuses now?"),
            std::string::npos)
      << question;
  rig_->prompt.shown.clear();
  EXPECT_EQ(status->text(), "eFuses programmed!");
  EXPECT_EQ(status->palette().color(QPalette::Base), QColor(0, 255, 0));
  EXPECT_FALSE(program->isEnabled());
  EXPECT_EQ(Control<QLabel>(dialog, "4010")->text(), "Session: 2/7");
  FuseWords want = before;
  want[0] |= 0x8000;  // MIDI out
  for (uint32_t j = 0; j < 8; ++j) want[16 + j] = kKey[j];
  EXPECT_EQ(ChipFuses(*board_), want);

  // Connect reads the chip again: the key is there now, and a burn may follow.
  Control<QPushButton>(dialog, "4011")->click();
  EXPECT_EQ(Control<QLabel>(dialog, "4009")->text(), "Programmed: 2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_TRUE(program->isEnabled());
  EXPECT_TRUE(rig_->prompt.shown.empty());

  // The dialog opened again on the same file shows the file's key beside the same key in the
  // chip, and is ready.
  EfuseDialog again(session, efu);
  EXPECT_EQ(Control<QLineEdit>(again, "4001")->text(), "2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_EQ(Control<QLabel>(again, "4009")->text(), "Programmed: 2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_EQ(Control<QLineEdit>(again, "4007")->text(), "Ready to program eFuses.");
  EXPECT_TRUE(rig_->prompt.shown.empty());
}

TEST_F(EfuseDialogTest, AnotherKeyInTheChipIsAskedAboutAndNoStopsTheBurn) {
  FuseWords before{};
  for (uint32_t j = 0; j < 8; ++j) before[8 + j] = static_cast<uint16_t>(0x1111 * (j + 1));
  SetChipFuses(*board_, before);
  const std::string efu = WriteText("other.efu", std::string("AES = ") + kKeyText + "\nSSSBootEnable = 1\n");
  FlashIf session(*rig_->window);
  EfuseDialog dialog(session, efu);
  EXPECT_EQ(Control<QLabel>(dialog, "4009")->text(), "Programmed: 8888-7777-6666-5555-4444-3333-2222-1111");

  // Confirmed, then the key question answered No.
  rig_->prompt.answers = {PromptAnswer::Yes, PromptAnswer::No};
  Control<QPushButton>(dialog, "1")->click();
  ASSERT_EQ(rig_->prompt.shown.size(), 2u);
  EXPECT_EQ(rig_->prompt.shown[0].text.substr(0, 33), "Session: 1/7\r\n- Enable SSS Boot\r\n");
  EXPECT_EQ(rig_->prompt.shown[1].caption, "AES Key mismatch");
  EXPECT_EQ(rig_->prompt.shown[1].text,
            "AES Key already programmed and differs from Key specified in EFU file, continue?");
  EXPECT_EQ(Control<QLineEdit>(dialog, "4007")->text(), "Programming aborted!");
  EXPECT_EQ(Control<QLineEdit>(dialog, "4007")->palette().color(QPalette::Base), QColor(255, 255, 0));
  EXPECT_EQ(ChipFuses(*board_), before);

  // Yes burns the options but never a second key over the first.
  rig_->prompt.answers = {PromptAnswer::Yes, PromptAnswer::Yes};
  Control<QPushButton>(dialog, "1")->click();
  EXPECT_EQ(Control<QLineEdit>(dialog, "4007")->text(), "eFuses programmed!");
  FuseWords want = before;
  want[0] |= 0x4000;
  EXPECT_EQ(ChipFuses(*board_), want);
}

TEST_F(EfuseDialogTest, WithoutABoardItWaitsForConnect) {
  const std::string efu = WriteText("away.efu", std::string("AES = ") + kKeyText + "\nWatchDog = 1\n");
  board_->Unplug();
  FlashIf session(*rig_->window);
  EfuseDialog dialog(session, efu);
  auto* status = Control<QLineEdit>(dialog, "4007");
  auto* program = Control<QPushButton>(dialog, "1");
  EXPECT_EQ(status->text(), "Press Connect to establish connection!");
  EXPECT_EQ(status->palette().color(QPalette::Base), QColor(255, 255, 0));
  EXPECT_EQ(Control<QLabel>(dialog, "4010")->text(), "");
  EXPECT_FALSE(program->isEnabled());
  program->click();
  EXPECT_EQ(ChipFuses(*board_), FuseWords{});

  // Back on the cable, Connect finds the chip and the burn goes through.
  board_->Replug();
  Control<QPushButton>(dialog, "4011")->click();
  EXPECT_EQ(Control<QLabel>(dialog, "4010")->text(), "Session: 1/7");
  ASSERT_TRUE(program->isEnabled());
  rig_->prompt.answers = {PromptAnswer::Yes};
  program->click();
  FuseWords want{};
  want[1] = 0x0001;  // watchdog of session 1
  for (uint32_t j = 0; j < 8; ++j) want[8 + j] = kKey[j];
  EXPECT_EQ(ChipFuses(*board_), want);
}

TEST_F(EfuseDialogTest, AnEfuFileChosenOnTheWindowOpensTheDialogEvenWhenItDoesNotParse) {
  const std::string efu = WriteText("broken.efu", "AES = 0x1234\nSerial = 1\n");
  QString title;
  QString statusText;
  bool programEnabled = true;
  QTimer::singleShot(0, [&] {
    auto* dialog = rig_->window->findChild<EfuseDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isModal());
    title = dialog->windowTitle();
    statusText = Control<QLineEdit>(*dialog, "4007")->text();
    programEnabled = Control<QPushButton>(*dialog, "1")->isEnabled();
    Control<QPushButton>(*dialog, "2")->click();  // Abort
  });
  EXPECT_FALSE(rig_->window->LoadImageFile(efu));
  EXPECT_EQ(title, "LYR9xxx eFuse Programming");
  EXPECT_EQ(statusText, "Please check EFU contents!");
  EXPECT_FALSE(programEnabled);
  ASSERT_FALSE(rig_->prompt.shown.empty());
  EXPECT_EQ(rig_->prompt.shown[0].caption, "Error parsing EFU file");
  EXPECT_EQ(rig_->prompt.shown[0].text, "Unable to parse " + efu + ":\r\nInvalid Keyword: Serial = 1");
  EXPECT_EQ(rig_->window->Job().image.size, 0);  // an EFU file is no image
  EXPECT_EQ(ChipFuses(*board_), FuseWords{});
}

TEST_F(EfuseDialogTest, ReopenedThroughTheWindowAfterABurnShowsWhatTheChipHolds) {
  const std::string efu = WriteText("again.efu", std::string("AES = ") + kKeyText + "\nSecured = 1\nWatchDog = 1\n");
  struct Seen {
    QString key, programmed, status, session;
  };
  auto open = [&](bool burn) {
    Seen seen;
    QTimer::singleShot(0, [&] {
      auto* dialog = rig_->window->findChild<EfuseDialog*>();
      ASSERT_NE(dialog, nullptr);
      if (burn) {
        rig_->prompt.answers = {PromptAnswer::Yes};
        Control<QPushButton>(*dialog, "1")->click();
      }
      seen = {Control<QLineEdit>(*dialog, "4001")->text(), Control<QLabel>(*dialog, "4009")->text(),
              Control<QLineEdit>(*dialog, "4007")->text(), Control<QLabel>(*dialog, "4010")->text()};
      Control<QPushButton>(*dialog, "2")->click();
    });
    EXPECT_FALSE(rig_->window->LoadImageFile(efu));
    return seen;
  };
  const Seen first = open(true);
  EXPECT_EQ(first.status, "eFuses programmed!");
  const Seen second = open(false);
  EXPECT_EQ(second.key, "2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_EQ(second.programmed, "Programmed: 2B7E-1516-28AE-D2A6-ABF7-1588-09CF-4F3C");
  EXPECT_EQ(second.status, "Ready to program eFuses.");
  EXPECT_EQ(second.session, "Session closed");  // the close bit burned by the first
  FuseWords want{};
  want[0] = 0x0002;  // session 1 closed
  want[1] = 0x0001;  // its watchdog
  for (uint32_t j = 0; j < 8; ++j) want[8 + j] = kKey[j];
  EXPECT_EQ(ChipFuses(*board_), want);
}

// ---- firmware ----

// An encrypted firmware of 2048 words for regular boot at `start`: the signature at word 1024,
// and the header that marks it as encrypted firmware (size, bit 2 of word 5, sum 0).
std::vector<uint16_t> EncryptedFirmware(const EfuNumber& efuKey, uint32_t start) {
  constexpr size_t kWords = 2048;
  std::vector<uint16_t> words(kWords);
  for (size_t i = 0; i < kWords; ++i) words[i] = static_cast<uint16_t>(i * 13 + 5);
  words[1024] = 0x790C;
  words[1025] = 0x0340;
  AesKey key;
  EXPECT_TRUE(key.SetKey(AesKeyBytes(efuKey)));
  for (size_t c = 8; c < kWords; c += 8) {
    std::array<uint8_t, 16> k{};
    EXPECT_TRUE(key.Encrypt(CounterBlock(static_cast<uint32_t>(start + c)), k));
    for (size_t j = 0; j < 8; ++j) words[c + j] ^= static_cast<uint16_t>(k[14 - 2 * j] << 8 | k[15 - 2 * j]);
  }
  words[0] = 0x4452;
  words[1] = static_cast<uint16_t>(kWords);
  words[2] = 0;
  words[5] = 0x0004;
  words[6] = 0;
  words[7] = 0;
  uint16_t sum = 0;
  for (uint16_t w : words) sum = static_cast<uint16_t>(sum + w);
  words[7] = static_cast<uint16_t>(-sum);
  return words;
}

using FirmwareWindowTest = NineBoardTest;

TEST_F(FirmwareWindowTest, TheFileLabelTellsTheKindAndTheEfuOptions) {
  struct Case {
    const char* file;
    std::vector<uint16_t> words;
    const char* efu;  // written beside the image; null: none
    const char* label;
    bool efuValid;
  };
  const Case cases[] = {
      {"raw.bin", Pattern(0x40), nullptr, "Raw binary Data", false},
      {"id.bin", {0x1234, 0x0003, 0xEDC9}, nullptr, "Firmware File (Firmware ID 1234)", false},
      {"enc.bin", EncryptedFirmware(kKey, 0), "AES = 1\nSecured = 1\nMidiOutEnable = 1\n",
       "Encrypted Firmware + eFuses[AES,Sec,MidiOut]", true},
      {"bare.bin", EncryptedFirmware(kKey, 0), nullptr, "Encrypted Firmware + eFuses[AES]", false},
  };
  for (const Case& c : cases) {
    rig_->prompt.shown.clear();
    const std::string image = WriteImage(c.file, c.words);
    if (c.efu) WriteText(std::string(c.file, std::string(c.file).find('.')) + ".Efu", c.efu);
    rig_->window->DropFiles({QString::fromStdString(image)});
    EXPECT_EQ(Control<QLabel>(*rig_->window, "1007")->text().toStdString(), c.label) << c.file;
    EXPECT_EQ(rig_->window->Efu().valid, c.efuValid) << c.file;
    const bool toldMissing = rig_->prompt.Saw("Unable to parse " + EfuPathBeside(image) + ":\r\nFile not found!");
    EXPECT_EQ(toldMissing, std::string(c.file) == "bare.bin") << c.file;
  }
}

TEST_F(FirmwareWindowTest, ProgramChecksTheEncryptionAndBurnsTheEfuseAfterTheFirmware) {
  DataFlashDescription description;
  ASSERT_TRUE(rig_->window->Job().catalogue.FindSerialDevice("W25X40CL", description));
  PinList pins;
  ASSERT_TRUE(ParsePinList("P7.15:0", pins));
  const auto flash = sim::AttachSerialFlash(*board_, description, pins.pins[0], {});
  ASSERT_NE(flash.device, nullptr);
  // Session 1 open, MIDI out burned earlier although the firmware's file does not ask for it.
  FuseWords before{};
  before[0] = 0x8000;
  SetChipFuses(*board_, before);

  const std::vector<uint16_t> words = EncryptedFirmware(kKey, 0);
  const std::string image = WriteImage("fw.bin", words);
  // First with the EFU file of another key: the check fails and No stops PROGRAM!.
  WriteText("fw.efu", "AES = 0x1234\nSecured = 1\nSSSBootEnable = 1\n");
  rig_->window->DropFiles({QString::fromStdString(image)});
  ASSERT_EQ(rig_->window->StartAddress(), 0u);
  ASSERT_TRUE(Control<QPushButton>(*rig_->window, "1011")->isEnabled());
  Control<QPushButton>(*rig_->window, "1011")->click();
  ASSERT_EQ(rig_->prompt.shown.size(), 1u);
  EXPECT_EQ(rig_->prompt.shown[0].caption, "Invalid Encryption");
  EXPECT_EQ(rig_->prompt.shown[0].text,
            "Encryption key does not seem to match Firmware Encryption!\r\nMaybe wrong Boot Source selected in project "
            "settings?\r\nProgram anyway?");
  EXPECT_EQ(flash.device->Word(0), 0xFFFF);
  EXPECT_EQ(ChipFuses(*board_), before);

  // With the right key: no question, the firmware is programmed, then its eFuses burned.
  WriteText("fw.efu", std::string("AES = ") + kKeyText + "\nSecured = 1\nSSSBootEnable = 1\n");
  rig_->prompt.shown.clear();
  rig_->window->DropFiles({QString::fromStdString(image)});
  Control<QPushButton>(*rig_->window, "1011")->click();
  EXPECT_EQ(rig_->window->StatusColour(), ColourGreen)
      << Control<QLineEdit>(*rig_->window, "1013")->text().toStdString();
  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(flash.device->Word(static_cast<uint32_t>(i)), words[i]) << i;
  ASSERT_EQ(rig_->prompt.shown.size(), 1u);
  EXPECT_EQ(rig_->prompt.shown[0].text, "MidiOutEnable eFuse programmed but not specified in EFU file!");
  FuseWords want = before;
  want[0] |= 0x4000 | 0x0002;  // SSS boot, close bit of session 1
  for (uint32_t j = 0; j < 8; ++j) want[8 + j] = kKey[j];
  EXPECT_EQ(ChipFuses(*board_), want);
  EXPECT_TRUE(rig_->window->LastAfterFirmware().burn.verified);

  // Verify never burns: the fuses stay as they are.
  Control<QPushButton>(*rig_->window, "1012")->click();
  EXPECT_EQ(ChipFuses(*board_), want);
}

// A burn the link cuts short after the firmware went in: the window says so in red, not with
// the green status of the program step, and the chip holds no bit outside the plan.
TEST_F(FirmwareWindowTest, AFailedBurnAfterTheFirmwareLeavesTheStatusLineRed) {
  DataFlashDescription description;
  ASSERT_TRUE(rig_->window->Job().catalogue.FindSerialDevice("W25X40CL", description));
  PinList pins;
  ASSERT_TRUE(ParsePinList("P7.15:0", pins));
  const auto flash = sim::AttachSerialFlash(*board_, description, pins.pins[0], {});
  ASSERT_NE(flash.device, nullptr);
  const std::vector<uint16_t> words = EncryptedFirmware(kKey, 0);
  const std::string image = WriteImage("cut.bin", words);
  WriteText("cut.efu", std::string("AES = ") + kKeyText + "\nSecured = 1\nSSSBootEnable = 1\n");
  rig_->window->DropFiles({QString::fromStdString(image)});
  board_->SetEfuseDropAfterBits(5);
  Control<QPushButton>(*rig_->window, "1011")->click();

  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(flash.device->Word(static_cast<uint32_t>(i)), words[i]) << i;
  EXPECT_EQ(Control<QLineEdit>(*rig_->window, "1013")->text().toStdString(), "eFuse programming failed!");
  EXPECT_EQ(rig_->window->StatusColour(), ColourRed);
  EXPECT_TRUE(rig_->prompt.Saw("eFuse programming failed!"));
  const AfterFirmwareResult& result = rig_->window->LastAfterFirmware();
  EXPECT_TRUE(result.burn.sent);
  EXPECT_FALSE(result.burn.verified);
  // Some bits took, not all, and none outside the plan.
  const FuseWords chip = ChipFuses(*board_);
  FuseWords planned{};
  for (uint16_t bit : result.plan.bits)
    planned[bit / 16] = static_cast<uint16_t>(planned[bit / 16] | (1u << (bit % 16)));
  EXPECT_NE(chip, FuseWords{});
  EXPECT_NE(chip, planned);
  for (uint32_t i = 0; i < kEfuseWordCount; ++i) EXPECT_EQ(chip[i] & ~planned[i], 0) << "word " << i;
}

}  // namespace
}  // namespace tessaro::app::testing
