// "Auto-Detect && Create BDL File..." driven as a user drives it, on the offscreen platform
// against simulated boards: the detection, the popup of several devices, the messages of a
// detection that finds nothing, the "Create BDL from Autodetect" dialog with its rules, the
// file it saves and the board list read again with the new board selected.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppTestMain.h"
#include "WindowRig.h"
#include "app/MakeBdlDialog.h"
#include "chips/ChipCatalogue.h"
#include "definitions/DeviceCatalogue.h"

namespace tessaro::app::testing {
namespace {

namespace fs = std::filesystem;

// Runs `act` once on the first visible widget of that type and name below `parent`. Menus and
// dialogs opened during an action appear while the action pumps its events, later than a
// single-shot timer would fire, so the test looks for them until they are there.
template <typename Widget, typename Act>
void WhenShown(QWidget& parent, const char* name, Act act) {
  auto* timer = new QTimer(&parent);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, &parent, name, act]() mutable {
    for (Widget* widget : parent.findChildren<Widget*>(QString::fromLatin1(name))) {
      if (!widget->isVisible()) continue;
      timer->stop();
      timer->deleteLater();
      act(widget);
      return;
    }
  });
  timer->start();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

QStringList MenuTexts(QMenu* menu) {
  QStringList texts;
  for (QAction* action : menu->actions()) texts << (action->isSeparator() ? "-" : action->text());
  return texts;
}

// Picks the menu item of that text as a user does: highlight it, press Return.
void PickItem(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() != text) continue;
    menu->setActiveAction(action);
    QTest::keyClick(menu, Qt::Key_Return);
    return;
  }
  ADD_FAILURE() << "no item " << text.toStdString();
  menu->close();
}

// A window whose COM9 is the simulated board of `simOptions`, the window's own board an
// embedded-only LYR8721 plus `boards`.
class AutodetectTest : public ::testing::Test {
 protected:
  void Start(const std::string& simOptions, const std::vector<std::pair<std::string, std::string>>& boards = {}) {
    ClearSettings();
    WriteUserSettings("[Settings]\nCOM=8\n[Ports]\nCOM9=\"sim:" + simOptions + ",--config=" + kRepoConfig +
                      ",--drivers=" + kRepoDrivers + "\"\n");
    std::vector<std::pair<std::string, std::string>> files = {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}};
    files.insert(files.end(), boards.begin(), boards.end());
    program_ = MakeProgramFolder("detect", files);
    rig_ = std::make_unique<WindowRig>(program_);
    board_ = rig_->ports.SimBoardOf(9);
    ASSERT_NE(board_, nullptr);
  }
  CFlash& Window() { return *rig_->window; }
  void Detect() { Window().CommandMenu()->findChild<QAction*>("114")->trigger(); }
  std::string ConfigFolder() const { return program_ + "config"; }
  std::string BoardBoxText() { return Control<QComboBox>(Window(), "1001")->currentText().toStdString(); }
  // In dialog 3000: types the title, checks the preview, and saves under the proposed name.
  void SaveAs(const std::string& title, std::string* preview, QString* proposedFolder = nullptr) {
    WhenShown<QDialog>(Window(), "3000", [=](QDialog* dialog) {
      Control<QLineEdit>(*dialog, "3002")->setText(QString::fromStdString(title));
      *preview = Control<QPlainTextEdit>(*dialog, "3003")->toPlainText().toStdString();
      Control<QPushButton>(*dialog, "1")->click();
    });
    WhenShown<QFileDialog>(Window(), "saveBdlDialog", [=](QFileDialog* dialog) {
      if (proposedFolder) *proposedFolder = dialog->directory().absolutePath();
      static_cast<QDialog*>(dialog)->accept();
    });
  }

  std::string program_;
  std::unique_ptr<WindowRig> rig_;
  std::shared_ptr<sim::SimBoard> board_;
};

// A LYR9371 strapped for SDRAM and parallel NOR, with the NOR fitted and no multi-purpose QSPI:
// one device, no popup.
constexpr const char* kNineNor = "--chip=LYR9371,--strapping=0,--nor=S29GL256S@40000000";
// The same with a multi-purpose QSPI flash as well: two devices.
constexpr const char* kNineNorAndMp = "--chip=LYR9371,--strapping=0,--nor=S29GL256S@40000000,--qspi=MX25L25645G@104";

TEST_F(AutodetectTest, SavedDefinitionIsReadAgainAndSelected) {
  Start(kNineNor);
  const int boardsBefore = Control<QComboBox>(Window(), "1001")->count();
  std::string preview;
  QString folder;
  SaveAs("Bench Board", &preview, &folder);
  bool popup = false;
  WhenShown<QMenu>(Window(), "deviceMenu", [&popup](QMenu* menu) {
    popup = true;
    menu->close();
  });
  Detect();
  EXPECT_FALSE(popup);

  EXPECT_FALSE(Window().ActionRunning());
  const AutodetectResult& found = Window().LastAutodetect();
  ASSERT_TRUE(found.detected) << found.message;
  EXPECT_EQ(folder.toStdString(), fs::path(ConfigFolder()).lexically_normal().string());
  const std::string config = "LYR9371 INTRAM(32k)+EXTNOR(16M,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)";
  const std::string expected = "[Bench Board]\r\nConfig=" + config + "\r\nFlashDevice=Spansion:S29GL256S";
  EXPECT_EQ(preview, DisplayText(expected).toStdString());
  EXPECT_EQ(ReadFile(ConfigFolder() + "/Bench Board.bdl"), expected + "\r\n");
  // The list was read again: the new board is in it and selected, with its device.
  EXPECT_EQ(Control<QComboBox>(Window(), "1001")->count(), boardsBefore + 1);
  EXPECT_EQ(BoardBoxText(), "Bench Board");
  ASSERT_NE(Window().SelectedBoard(), nullptr);
  EXPECT_EQ(Window().SelectedBoard()->name, "Bench Board");
  EXPECT_EQ(Window().SelectedBoard()->flashDevices, "Spansion:S29GL256S");
  EXPECT_EQ(FormatBoardConfig(Window().WindowConfig()), config);
  EXPECT_EQ(QSettings().value("Settings/Board").toString(), "Bench Board");
  EXPECT_TRUE(rig_->prompt.shown.empty()) << rig_->prompt.shown.front().text;
  EXPECT_EQ(board_->Violations(), std::vector<std::string>{});
}

TEST_F(AutodetectTest, ATitleOfAnEarlierBoardInAnotherCaseSelectsTheEarlierOne) {
  Start(kNineNor, {{"A-Bench.BDL", "[Bench Board]\nCONFIG = LYR8721\n"}});
  std::string preview;
  SaveAs("BENCH BOARD", &preview);
  Detect();
  ASSERT_TRUE(fs::exists(ConfigFolder() + "/BENCH BOARD.bdl"));
  ASSERT_NE(Window().SelectedBoard(), nullptr);
  EXPECT_EQ(Window().SelectedBoard()->fileName, "A-Bench.BDL");
  EXPECT_EQ(BoardBoxText(), "Bench Board(A-Bench.BDL)");  // two boards of one name show their files
}

// Several devices answer: the popup lists them under a disabled heading; the device picked is
// the one written, and dismissing the popup ends with the message of no device.
TEST_F(AutodetectTest, SeveralDevicesAreOfferedInAPopup) {
  const QStringList expectedItems = {"Select Device:", "-", "DevB[4000:0000]: Spansion:S29GL256S",
                                     "MP QSPI[C000:0000]: Macronix:MX25L25645G"};
  struct Case {
    const char* pick;  // null: the popup is dismissed
    const char* line;  // the device line of the file
    bool dataFlash;    // the DataFlash on P7.15 is written too
  };
  for (const Case& c : {Case{"DevB[4000:0000]: Spansion:S29GL256S", "FlashDevice=Spansion:S29GL256S", true},
                        // The multi-purpose window has no DataFlash detection and no dual line.
                        Case{"MP QSPI[C000:0000]: Macronix:MX25L25645G", "MpQspiDevice=Macronix:MX25L25645G", false},
                        Case{nullptr, nullptr, false}}) {
    SCOPED_TRACE(c.pick ? c.pick : "dismissed");
    Start(std::string(kNineNorAndMp) + ",--spi-flash=W25X40CL@P7.15:0");
    QStringList items;
    WhenShown<QMenu>(Window(), "deviceMenu", [&items, c](QMenu* menu) {
      items = MenuTexts(menu);
      EXPECT_FALSE(menu->actions().front()->isEnabled());
      if (c.pick) {
        PickItem(menu, c.pick);
      } else {
        QTest::keyClick(menu, Qt::Key_Escape);
      }
    });
    std::string preview;
    SaveAs("Nine", &preview);
    Detect();
    EXPECT_EQ(items, expectedItems);
    if (c.pick) {
      const std::string text = ReadFile(ConfigFolder() + "/Nine.bdl");
      EXPECT_NE(text.find(std::string("\r\n") + c.line + "\r\n"), std::string::npos) << text;
      EXPECT_EQ(text.find("\r\nDfDevice=W25X40CL\r\nDfEnable=P7.15\r\n") != std::string::npos, c.dataFlash) << text;
      EXPECT_EQ(text.find("DualQSPI"), std::string::npos) << text;
      EXPECT_EQ(BoardBoxText(), "Nine");
    } else {
      EXPECT_TRUE(rig_->prompt.Saw("Unable to detect compatible flash device (")) << rig_->prompt.shown.size();
      EXPECT_FALSE(fs::exists(ConfigFolder() + "/Nine.bdl"));
      EXPECT_EQ(BoardBoxText(), "Embedded only");
    }
    EXPECT_EQ(board_->Violations(), std::vector<std::string>{});
  }
}

// While it runs the detection is an action: busy bar, Esc asks whether to stop,
// and Yes ends it at once without a dialog.
TEST_F(AutodetectTest, EscStopsTheDetection) {
  Start(std::string(kNineNorAndMp) + ",--latency-us=20000");
  rig_->prompt.answers = {PromptAnswer::Yes};
  auto* progress = Control<QProgressBar>(Window(), "1015");
  bool busyShown = false;
  bool escSent = false;
  QTimer script;
  script.setInterval(5);
  QObject::connect(&script, &QTimer::timeout, [&] {
    busyShown = busyShown || progress->maximum() == 0;
    // Well into the scan: the link is made and the windows are being probed.
    if (!escSent && board_->CommandCount() > 60) {
      QCoreApplication::postEvent(&Window(), new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
      escSent = true;
    }
  });
  bool dialogShown = false;
  WhenShown<QDialog>(Window(), "3000", [&dialogShown](QDialog* dialog) {
    dialogShown = true;
    dialog->reject();
  });
  script.start();
  Detect();
  script.stop();
  ASSERT_TRUE(escSent);
  EXPECT_TRUE(busyShown);
  ASSERT_FALSE(rig_->prompt.shown.empty());
  EXPECT_EQ(rig_->prompt.shown.front().text, "Stop current process?");
  // Told as a cancel in the status line, not as a lost link in a box.
  EXPECT_EQ(rig_->prompt.shown.size(), 1u) << rig_->prompt.shown.back().text;
  EXPECT_TRUE(Window().LastAutodetect().cancelled);
  EXPECT_EQ(Control<QLineEdit>(Window(), "1013")->text().toStdString(), kAutodetectCancelled);
  EXPECT_FALSE(Window().LastAutodetect().detected);
  EXPECT_FALSE(dialogShown);
  EXPECT_FALSE(Window().ActionRunning());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_EQ(BoardBoxText(), "Embedded only");
}

// A detection that finds nothing to write says why, opens no dialog and leaves the window's
// board as it was.
TEST_F(AutodetectTest, ADetectionWithoutDeviceSaysWhyAndChangesNothing) {
  struct Case {
    const char* sim;
    const char* message;
  };
  for (const Case& c : {Case{"--chip=LYR8721", "Unable to detect compatible flash device (0000:0000)!"},
                        Case{"--chip=LYR8721,--no-power", "No CPU detected (or Security Fuse set)!"},
                        Case{"--chip=LYR9468,--secured=none-left", "No CPU detected (or Security Fuse set)!"}}) {
    SCOPED_TRACE(c.sim);
    Start(c.sim);
    bool dialogShown = false;
    WhenShown<QDialog>(Window(), "3000", [&dialogShown](QDialog* dialog) {
      dialogShown = true;
      dialog->reject();
    });
    Detect();
    ASSERT_FALSE(rig_->prompt.shown.empty());
    EXPECT_EQ(rig_->prompt.shown.back().text, c.message);
    EXPECT_FALSE(dialogShown);
    EXPECT_FALSE(Window().ActionRunning());
    EXPECT_EQ(BoardBoxText(), "Embedded only");
    EXPECT_EQ(fs::directory_iterator(ConfigFolder())->path().filename(), "Emb.BDL");
  }
}

// The dialog on its own: the chips of the detected family, the preview following chip and
// title, and the rules of Save&&Close.
TEST_F(AutodetectTest, DialogOffersTheFamilysChipsAndKeepsItsRules) {
  Start("--chip=LYR8721");
  BdlDraft draft;
  InitBoardConfig(draft.config);
  draft.config.chip = FindChipByName("LYR9468");
  draft.device = Window().Job().catalogue.FindQspiDevice("Winbond:W25Q128JV");
  ASSERT_NE(draft.device, nullptr);
  draft.dual = true;
  MakeBdlDialog dialog(draft, ConfigFolder(), rig_->prompt, &Window());
  EXPECT_EQ(dialog.windowTitle(), "Create BDL from Autodetect");

  auto* chips = Control<QComboBox>(dialog, "3001");
  QStringList family;
  for (const ChipInfo* chip : ChipChoices(draft.config)) family << chip->name;
  EXPECT_EQ(Items(chips), family);
  EXPECT_GT(family.size(), 1);
  EXPECT_EQ(chips->currentText(), "LYR9468");
  auto* preview = Control<QPlainTextEdit>(dialog, "3003");
  EXPECT_TRUE(preview->isReadOnly());
  EXPECT_TRUE(preview->toPlainText().startsWith("[<NoTitle>]\nConfig=LYR9468"));
  EXPECT_TRUE(preview->toPlainText().endsWith("\nDualQSPI=Yes\nQspiDevice=Winbond:W25Q128JV"));

  // Another chip of the family and a title: the preview follows each.
  const int other = chips->currentIndex() == 0 ? 1 : 0;
  chips->setCurrentIndex(other);
  chips->activated(other);
  Control<QLineEdit>(dialog, "3002")->setText("T");
  EXPECT_TRUE(preview->toPlainText().startsWith("[T]\nConfig=" + family[other]))
      << preview->toPlainText().toStdString();
  EXPECT_EQ(dialog.Draft().config.chip->name, family[other]);

  // No title: said, and the dialog stays open; a cancelled file dialog keeps it open too.
  Control<QLineEdit>(dialog, "3002")->clear();
  dialog.show();
  Control<QPushButton>(dialog, "1")->click();
  EXPECT_TRUE(rig_->prompt.Saw("No Title set"));
  EXPECT_TRUE(dialog.isVisible());
  Control<QLineEdit>(dialog, "3002")->setText("T");
  WhenShown<QFileDialog>(dialog, "saveBdlDialog", [](QFileDialog* files) { files->reject(); });
  Control<QPushButton>(dialog, "1")->click();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);

  // A file that cannot be written is said, not taken for saved.
  WhenShown<QFileDialog>(dialog, "saveBdlDialog", [this](QFileDialog* files) {
    // Typed into the name box, as a user does (a selection would be redone when the folder
    // has been listed).
    auto* name = files->findChild<QLineEdit*>("fileNameEdit");
    if (name == nullptr) {
      ADD_FAILURE() << "no name box";
      files->reject();
      return;
    }
    name->setText(QString::fromStdString(program_ + "no-such-folder/T.bdl"));
    static_cast<QDialog*>(files)->accept();
  });
  rig_->prompt.shown.clear();
  Control<QPushButton>(dialog, "1")->click();
  EXPECT_TRUE(rig_->prompt.Saw("could not be written")) << rig_->prompt.shown.size();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.SavedPath(), "");

  // Abort closes without a file.
  Control<QPushButton>(dialog, "2")->click();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(fs::exists(ConfigFolder() + "/T.bdl"));
}

}  // namespace
}  // namespace tessaro::app::testing
