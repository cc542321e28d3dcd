// The main window driven as a user drives it, on the offscreen platform: start-up with and
// without settings, the board and destination choice, the address and size boxes, files
// chosen by drop, PROGRAM! and Verify against a simulated board (with a grab of the window),
// Esc during an action, and the settings written at exit.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "AppTestMain.h"
#include "WindowRig.h"
#include "app/FlashWindow.h"
#include "app/LyrApp.h"
#include "common/Text.h"
#include "flash/DriverImage.h"

namespace tessaro::app::testing {
namespace {

namespace fs = std::filesystem;

// The window must not go longer than this without handling its events (so without seeing
// Esc) while device work runs. Sanitizer builds run the same code several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kMaxEventGapMs = 250;
#else
constexpr long kMaxEventGapMs = 100;
#endif

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearSettings(); }
};

TEST_F(WindowTest, StartsWithDefaultsWithoutSettings) {
  const std::string program = MakeProgramFolder("plain", {});
  WindowRig rig(program);
  EXPECT_EQ(rig.setup.driversFolder, program + "drivers");
  EXPECT_EQ(rig.setup.configFolder, program + "config");
  EXPECT_EQ(rig.boardErrors, "");
  EXPECT_EQ(rig.window->ComIndex(), 0);
  EXPECT_FALSE(rig.window->DoubleBaudFlag());
  // No stored board: the first of the list is selected.
  auto* boards = Control<QComboBox>(*rig.window, "1001");
  EXPECT_EQ(boards->currentIndex(), 0);
  EXPECT_EQ(rig.window->SelectedBoard(), &*rig.boards.begin());
  EXPECT_TRUE(rig.window->windowTitle().startsWith("Tessaro V"));
  EXPECT_TRUE(rig.window->windowTitle().endsWith(" - CORVANE Device Programmer"));
  EXPECT_EQ(Control<QLineEdit>(*rig.window, "1008")->text(), "0000");
  EXPECT_TRUE(Control<QPushButton>(*rig.window, "1002")->isVisibleTo(rig.window.get()));
}

TEST_F(WindowTest, SkipUnchangedIsOffByDefaultAndRemembered) {
  const std::string program = MakeProgramFolder("skip", {});
  WindowRig rig(program);
  QAction* skip = rig.window->CommandMenu()->findChild<QAction*>("skipUnchanged");
  ASSERT_NE(skip, nullptr);
  EXPECT_TRUE(skip->isCheckable());
  EXPECT_FALSE(skip->isChecked());
  EXPECT_FALSE(rig.window->Job().skipUnchanged);
  // Checked, PROGRAM! compares first; the choice is kept for the next start.
  skip->trigger();
  EXPECT_TRUE(rig.window->Job().skipUnchanged);
  EXPECT_TRUE(QSettings().value("Settings/SkipUnchanged").toBool());
  WindowRig next(program);
  EXPECT_TRUE(next.window->SkipUnchanged());
  EXPECT_TRUE(next.window->CommandMenu()->findChild<QAction*>("skipUnchanged")->isChecked());
}

TEST_F(WindowTest, StartsFromStoredSettingsAndMachineOverrides) {
  const std::string program = MakeProgramFolder("stored", {});
  WriteUserSettings("[Settings]\nBoard=lyr7451 keyboard DEMO\nCOM=8\nDoubleBaud=5\nConfig=LYR9468\n");
  const std::string otherConfig = TestHome() + "/otherconfig";
  fs::create_directories(otherConfig);
  fs::copy_file(kRepoConfig + "/Demo-74xx.BDL", otherConfig + "/Demo-74xx.BDL");
  WriteMachineSettings("[General]\nconfig=" + otherConfig + "\n");
  WindowRig rig(program);
  EXPECT_EQ(rig.setup.configFolder, otherConfig + "/");  // an override gets its separator
  EXPECT_EQ(rig.window->ComIndex(), 8);
  EXPECT_TRUE(rig.window->DoubleBaudFlag());
  ASSERT_NE(rig.window->SelectedBoard(), nullptr);
  EXPECT_EQ(rig.window->SelectedBoard()->name, "LYR7451 Keyboard Demo");
  EXPECT_EQ(Control<QComboBox>(*rig.window, "1001")->currentText(), "LYR7451 Keyboard Demo");

  // At exit "DoubleBaud" goes back as 1, the board by its stored name.
  QSettings user;
  WriteExitSettings(user, *rig.window);
  QSettings check;
  EXPECT_EQ(check.value("Settings/DoubleBaud").toString(), "1");
  EXPECT_EQ(check.value("Settings/COM").toInt(), 8);
  EXPECT_EQ(check.value("Settings/Board").toString(), "LYR7451 Keyboard Demo");
  EXPECT_EQ(check.value("Settings/driverfolder").toString().toStdString(), program + "drivers");
  EXPECT_EQ(check.value("Settings/Config").toString().toStdString(), FormatBoardConfig(rig.window->WindowConfig()));
}

TEST_F(WindowTest, EmptyConfigFolderShowsTheBoardDefinitionBoxAndStillOpens) {
  const std::string program = MakeProgramFolder("empty", {{"readme.txt", "no boards here"}});
  // The whole program: the box comes first, then the window, which the test closes.
  ScriptedPrompt prompt;
  QTimer::singleShot(0, [] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* window = dynamic_cast<CFlash*>(widget)) window->accept();
    }
  });
  EXPECT_EQ(RunTessaro(prompt, program), 0);
  ASSERT_FALSE(prompt.shown.empty());
  EXPECT_EQ(prompt.shown[0].caption, "Board Definition");
  EXPECT_EQ(prompt.shown[0].text,
            "Errors parsing Board Definitions:\r\nNo Board-Definitions found in " + program + "config");
  // Closing without a board writes no "Board" but the rest.
  QSettings check;
  EXPECT_FALSE(check.contains("Settings/Board"));
  EXPECT_EQ(check.value("Settings/COM").toInt(), 0);
  EXPECT_EQ(check.value("Settings/driverfolder").toString().toStdString(), program + "drivers");
}

TEST_F(WindowTest, DestinationListFollowsTheBoard) {
  const std::string program = MakeProgramFolder(
      "dest", {{"Bare.BDL", "[Bare 9xxx]\nCONFIG = LYR9468\n"}, {"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
  for (const auto& file : fs::directory_iterator(kRepoConfig))
    fs::copy(file.path(), program + "config/" + file.path().filename().string());
  WindowRig rig(program);
  const QString none = "<Select Programming Target>";
  struct Case {
    const char* board;
    QStringList items;
    int selected;
  };
  const Case cases[] = {
      {"Bare 9xxx", {"No valid configuration!!!"}, 0},
      {"Embedded only", {none, "Embedded Flash only"}, 1},
      {"LYR7312 Legacy Demo Board", {none, "external Parallel Flash"}, 1},
      {"LYR7451 Keyboard Demo", {none, "external Serial Flash"}, 1},
      {"LYR8247 FLASH+EXTSDR(2x8Mib,4WS)",
       {none, "Embedded Flash only", "Firmware into Embedded+Parallel Flash", "Firmware into Embedded+Serial Flash",
        "external Parallel Flash", "external Serial Flash"},
       0},
      {"LYR9468 QSPI Demo Board", {none, "external Serial Flash", "external QSPI Flash", "external MP QSPI Flash"}, 0},
      {"LYR9371 NAND Boot Board", {none, "external Serial Flash", "external NAND Flash"}, 0},
  };
  auto* destinations = Control<QComboBox>(*rig.window, "1004");
  for (const Case& c : cases) {
    rig.SelectBoard(c.board);
    EXPECT_EQ(Items(destinations), c.items) << c.board;
    EXPECT_EQ(destinations->currentIndex(), c.selected) << c.board;
    EXPECT_FALSE(Control<QPushButton>(*rig.window, "1011")->isEnabled()) << c.board << ": no image yet";
  }

  // The MP QSPI destination sets the address's two top bits, any other clears them again.
  rig.SelectBoard("LYR9468 QSPI Demo Board");
  auto* high = Control<QLineEdit>(*rig.window, "1008");
  auto* low = Control<QLineEdit>(*rig.window, "1009");
  low->setText("1234");
  destinations->setCurrentIndex(destinations->findText("external MP QSPI Flash"));
  rig.window->OnDestinationChanged();
  EXPECT_EQ(high->text() + ":" + low->text(), "C000:1234");
  destinations->setCurrentIndex(destinations->findText("external QSPI Flash"));
  rig.window->OnDestinationChanged();
  EXPECT_EQ(high->text() + ":" + low->text(), "0000:1234");
}

TEST_F(WindowTest, AddressAndSizeBoxesCorrectWhatTheyCannotRead) {
  const std::string program = MakeProgramFolder("boxes", {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
  WindowRig rig(program);
  auto* low = Control<QLineEdit>(*rig.window, "1009");
  auto* size = Control<QLineEdit>(*rig.window, "1010");
  struct Case {
    const char* typed;
    const char* shown;
    bool message;
  };
  // Typed at the keyboard: only hexadecimal digits reach the box, four at most.
  const Case cases[] = {{"0x1a", "001A", false},    {"12345", "1234", false}, {"abcd", "ABCD", false},
                        {"zz12345", "1234", false}, {"G", "0000", true},      {"", "0000", true}};
  for (const Case& c : cases) {
    rig.prompt.shown.clear();
    low->clear();
    QTest::keyClicks(low, QString::fromLatin1(c.typed));
    emit low->editingFinished();
    EXPECT_EQ(low->text(), c.shown) << c.typed;
    EXPECT_EQ(rig.prompt.Saw("Invalid Hex"), c.message) << c.typed;
  }
  // Text put in by other means is still corrected when the box is left.
  low->setText("G1");
  emit low->editingFinished();
  EXPECT_EQ(low->text(), "0000");

  // Size before any file.
  rig.prompt.shown.clear();
  size->setText("10");
  emit size->editingFinished();
  EXPECT_TRUE(rig.prompt.Saw("Please select file first"));
  EXPECT_EQ(size->text(), "");

  const std::string image = WriteImage("boxes.bin", Pattern(0x100));
  rig.window->DropFiles({QString::fromStdString(image)});
  EXPECT_EQ(size->text(), "100");
  struct SizeCase {
    const char* typed;
    const char* shown;
    int programLength;
    bool message;
  };
  const SizeCase sizes[] = {
      {"80", "80", 0x80, false}, {"0x0ff", "FF", 0xFF, false}, {"101", "100", 0x100, true}, {"zz", "100", 0x100, true}};
  for (const SizeCase& c : sizes) {
    rig.prompt.shown.clear();
    size->setText(c.typed);
    emit size->editingFinished();
    EXPECT_EQ(size->text(), c.shown) << c.typed;
    EXPECT_EQ(rig.window->Job().image.programLength, c.programLength) << c.typed;
    EXPECT_EQ(rig.prompt.Saw("Invalid size"), c.message) << c.typed;
  }

  // A HEX file carries its addresses: the boxes take any text.
  const std::string hex = TestHome() + "/boxes.hex";
  std::ofstream(hex) << ":0400000001020304F2\n:00000001FF\n";
  rig.window->DropFiles({QString::fromStdString(hex)});
  ASSERT_TRUE(rig.window->Job().hexFile);
  rig.prompt.shown.clear();
  low->setText("G1");
  emit low->editingFinished();
  size->setText("zz");
  emit size->editingFinished();
  EXPECT_EQ(low->text(), "G1");
  EXPECT_EQ(size->text(), "zz");
  EXPECT_TRUE(rig.prompt.shown.empty());
}

TEST_F(WindowTest, DroppedFilesLoadOneAndRefuseSeveral) {
  const std::string program = MakeProgramFolder("drop", {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
  WindowRig rig(program);
  const std::string first = WriteImage("first.bin", Pattern(0x40));
  const std::string second = WriteImage("second.bin", Pattern(0x80));
  auto* program1011 = Control<QPushButton>(*rig.window, "1011");

  Drop(*rig.window, {QString::fromStdString(first), QString::fromStdString(second)});
  EXPECT_TRUE(rig.prompt.Saw("Please do not drop multiple Files on this Dialog!"));
  EXPECT_EQ(rig.window->Job().image.size, 0);
  EXPECT_EQ(Control<QLineEdit>(*rig.window, "1005")->text(), "");
  EXPECT_FALSE(program1011->isEnabled());

  Drop(*rig.window, {QString::fromStdString(second)});
  EXPECT_EQ(rig.window->Job().image.size, 0x80);
  EXPECT_EQ(Control<QLineEdit>(*rig.window, "1005")->text().toStdString(), second);
  EXPECT_TRUE(program1011->isEnabled());  // the only destination is preselected
  EXPECT_TRUE(Control<QPushButton>(*rig.window, "1012")->isEnabled());

  // A file that cannot be read leaves no image behind.
  rig.window->DropFiles({QString::fromStdString(TestHome() + "/missing.bin")});
  EXPECT_TRUE(rig.prompt.Saw("Cannot open specified file"));
  EXPECT_EQ(rig.window->Job().image.size, 0);
  EXPECT_FALSE(program1011->isEnabled());
}

// A simulated LYR8721 behind COM9, reached through the port table as a user sets it up.
class SimWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    WriteUserSettings("[Settings]\nCOM=8\n[Ports]\nCOM9=sim:--chip=LYR8721\n");
    program_ = MakeProgramFolder("sim", {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
    rig_ = std::make_unique<WindowRig>(program_);
    ASSERT_EQ(rig_->window->ComIndex(), 8);
  }
  QLineEdit* Status() { return Control<QLineEdit>(*rig_->window, "1013"); }
  std::string program_;
  std::unique_ptr<WindowRig> rig_;
};

TEST_F(SimWindowTest, ProgramAndVerifyTheEmbeddedFlash) {
  const std::vector<uint16_t> words = Pattern(0x800);
  const std::string image = WriteImage("embedded.bin", words);
  rig_->window->DropFiles({QString::fromStdString(image)});
  Control<QLineEdit>(*rig_->window, "1009")->setText("0100");

  // "Verify after PROGRAM!" is off: the embedded flash is programmed without reading back.
  QAction* verifyAfter = rig_->window->CommandMenu()->findChild<QAction*>("verifyAfterProgram");
  ASSERT_NE(verifyAfter, nullptr);
  ASSERT_TRUE(verifyAfter->isChecked());
  verifyAfter->trigger();
  EXPECT_FALSE(rig_->window->VerifyAfterProgram());
  Control<QPushButton>(*rig_->window, "1011")->click();
  EXPECT_EQ(Status()->text(), "Embedded Flash: Program Success (not verified)");
  EXPECT_EQ(rig_->window->StatusColour(), ColourYellow);
  EXPECT_EQ(Status()->palette().color(QPalette::Base), QColor(255, 255, 0));
  EXPECT_EQ(Status()->palette().color(QPalette::Text), QColor(0, 0, 0));
  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);
  for (size_t i = 0; i < words.size(); ++i) {
    ASSERT_EQ(board->FlashWord(0x100 + static_cast<uint32_t>(i)), words[i]) << "word " << i;
  }
  EXPECT_EQ(board->FlashWord(0xFF), 0xFFFF);  // before the start address nothing was written

  // Verify finds the same words; after a changed flash word it reports where and what.
  Control<QPushButton>(*rig_->window, "1012")->click();
  EXPECT_EQ(rig_->window->StatusColour(), ColourGreen) << Status()->text().toStdString();
  EXPECT_EQ(Status()->palette().color(QPalette::Base), QColor(0, 255, 0));
  // A grab of the window with the green status line (kept in the build tree for a look).
  const QImage shot = rig_->window->grab().toImage();
  EXPECT_EQ(shot.size(), rig_->window->size());
  const std::string shots = std::string(TESSARO_BIN_DIR) + "/../screenshots";
  fs::create_directories(shots);
  EXPECT_TRUE(shot.save(QString::fromStdString(shots + "/main-window.png")));

  board->SetFlashWord(0x100 + 0x123, 0x0000);
  Control<QPushButton>(*rig_->window, "1012")->click();
  EXPECT_EQ(rig_->window->StatusColour(), ColourRed) << Status()->text().toStdString();
  EXPECT_TRUE(Status()->text().contains("at 06000223")) << Status()->text().toStdString();
  EXPECT_EQ(Status()->palette().color(QPalette::Base), QColor(255, 0, 0));
  EXPECT_EQ(Status()->palette().color(QPalette::Text), QColor(255, 255, 0));
}

TEST_F(SimWindowTest, DroppedSRecordAndElfImagesProgramTheirWords) {
  const std::vector<uint16_t> words = Pattern(0x300);
  const std::string bin = WriteImage("toolchain.bin", words);
  const std::pair<const char*, const char*> files[] = {{"toolchain.s19", "-O srec"},
                                                       {"toolchain.elf", "-O elf32-little"}};
  for (const auto& [name, options] : files) {
    SCOPED_TRACE(name);
    const std::string image = TestHome() + "/" + name;
    ASSERT_EQ(std::system(("objcopy -I binary " + std::string(options) + " '" + bin + "' '" + image + "'").c_str()), 0);
    rig_->window->DropFiles({QString::fromStdString(image)});
    ASSERT_EQ(rig_->window->Job().image.size, 0x300);
    EXPECT_TRUE(rig_->window->Job().hexFile);  // the file names its own addresses
    // The second file must write the words again, not find them there from the first.
    auto board = rig_->ports.SimBoardOf(9);
    if (board) {
      for (uint32_t i = 0; i < words.size(); ++i) board->SetFlashWord(i, 0xFFFF);
    }
    Control<QPushButton>(*rig_->window, "1011")->click();
    EXPECT_EQ(rig_->window->StatusColour(), ColourGreen) << Status()->text().toStdString();
    board = rig_->ports.SimBoardOf(9);
    ASSERT_NE(board, nullptr);
    for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(board->FlashWord(static_cast<uint32_t>(i)), words[i]) << i;
  }

  // A damaged file loads nothing.
  const std::string cut = TestHome() + "/cut.srec";
  std::ofstream(cut) << "S1050000010203\n";
  rig_->window->DropFiles({QString::fromStdString(cut)});
  EXPECT_TRUE(rig_->prompt.Saw("Cannot open specified file"));
  EXPECT_EQ(rig_->window->Job().image.size, 0);
}

TEST_F(SimWindowTest, VerifyAfterProgramIsOnByDefaultAndRemembered) {
  EXPECT_TRUE(rig_->window->VerifyAfterProgram());
  const std::vector<uint16_t> words = Pattern(0x400);
  rig_->window->DropFiles({QString::fromStdString(WriteImage("verified.bin", words))});
  Control<QPushButton>(*rig_->window, "1011")->click();
  EXPECT_EQ(Status()->text(), "Embedded Flash: Verify Success");
  EXPECT_EQ(rig_->window->StatusColour(), ColourGreen);
  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);
  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(board->FlashWord(static_cast<uint32_t>(i)), words[i]) << i;

  // Switched off, the choice is kept in the settings for the next start.
  rig_->window->CommandMenu()->findChild<QAction*>("verifyAfterProgram")->trigger();
  EXPECT_FALSE(QSettings().value("Settings/VerifyAfterProgram").toBool());
  WindowRig next(program_);
  EXPECT_FALSE(next.window->VerifyAfterProgram());
  EXPECT_FALSE(next.window->CommandMenu()->findChild<QAction*>("verifyAfterProgram")->isChecked());
}

TEST_F(SimWindowTest, ProgramRefusesAStartAddressThatIsNoNumber) {
  rig_->window->DropFiles({QString::fromStdString(WriteImage("refused.bin", Pattern(0x40)))});
  Control<QLineEdit>(*rig_->window, "1009")->setText("zz12");
  Control<QPushButton>(*rig_->window, "1011")->click();
  EXPECT_TRUE(rig_->prompt.Saw("Invalid Hex"));
  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);
  for (uint32_t i = 0; i < 0x40; ++i) ASSERT_EQ(board->FlashWord(i), 0xFFFF) << i;
}

TEST_F(SimWindowTest, ConnectionPollLinksAgainOrSaysItCannot) {
  const std::string image = WriteImage("poll.bin", Pattern(0x80));
  rig_->window->DropFiles({QString::fromStdString(image)});
  Control<QPushButton>(*rig_->window, "1012")->click();  // Verify links first
  ASSERT_TRUE(rig_->link.linked()) << Status()->text().toStdString();

  rig_->link.CloseLink(false);  // the link went away
  rig_->window->OnPollTick();
  EXPECT_TRUE(rig_->link.linked());
  EXPECT_FALSE(rig_->prompt.Saw("Cannot initialize target board"));

  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);
  board->Unplug();
  rig_->link.CloseLink(false);
  rig_->window->OnPollTick();
  EXPECT_FALSE(rig_->link.linked());
  EXPECT_TRUE(rig_->prompt.Saw("Cannot initialize target board"));
}

TEST_F(SimWindowTest, TheLinkEndsWhenItsPortIsUnpluggedAndIsMadeAgainOnItsReturn) {
  // The port watch reports COM9's entry as a device that comes and goes.
  const SerialDevice port{"sim:--chip=LYR8721", "", true};
  FakePortWatchSource& source = WatchFakePorts(rig_->ports, {port});
  rig_->window->DropFiles({QString::fromStdString(WriteImage("hotplug.bin", Pattern(0x80)))});
  Control<QPushButton>(*rig_->window, "1011")->click();  // PROGRAM! links and verifies
  ASSERT_EQ(rig_->window->StatusColour(), ColourGreen) << Status()->text().toStdString();
  ASSERT_TRUE(rig_->link.linked());
  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);

  board->Unplug();
  source.Push({PortEvent::Kind::Removed, port});
  ASSERT_TRUE(RunEventsUntil([&] { return !rig_->link.linked(); }));
  EXPECT_EQ(Status()->text(), "COM9 has gone: linking again when it returns");
  EXPECT_EQ(rig_->window->StatusColour(), ColourYellow);
  // While the port is away the link watch does not try it (and has nothing to complain of).
  QTest::qWait(300);
  EXPECT_FALSE(rig_->link.linked());
  EXPECT_FALSE(rig_->prompt.Saw("Cannot initialize target board"));

  board->Replug();
  source.Push({PortEvent::Kind::Added, port});
  ASSERT_TRUE(RunEventsUntil([&] { return rig_->link.linked(); })) << Status()->text().toStdString();
  EXPECT_EQ(Status()->text(), "COM9 is back");
  EXPECT_FALSE(rig_->prompt.Saw("Cannot initialize target board"));
  // The link works: Verify reads the flash again and finds the word changed meanwhile.
  board->SetFlashWord(0x10, 0x0000);
  Control<QPushButton>(*rig_->window, "1012")->click();
  EXPECT_EQ(rig_->window->StatusColour(), ColourRed) << Status()->text().toStdString();
  EXPECT_TRUE(Status()->text().contains("at 06000010")) << Status()->text().toStdString();
}

TEST_F(SimWindowTest, EscStopsTheActionAndOtherInputIsDropped) {
  // The whole embedded flash at the pace of a real line, so the action lasts.
  WriteUserSettings("[Settings]\nCOM=8\n[Ports]\nCOM9=\"sim:--chip=LYR8721,--baud-pace\"\n");
  const uint32_t flashWords = 0x4000;
  const std::string image = WriteImage("full.bin", Pattern(flashWords));
  rig_->window->DropFiles({QString::fromStdString(image)});
  rig_->window->show();
  auto* quit = Control<QPushButton>(*rig_->window, "1");
  bool quitClicked = false;
  QObject::connect(quit, &QPushButton::clicked, [&] { quitClicked = true; });

  // Once the transfer runs: Esc answered No (the action goes on), a click on QUIT, then Esc
  // answered Yes. The steps are timed by the progress bar, which the action keeps painting.
  rig_->prompt.answers = {PromptAnswer::No, PromptAnswer::Yes};
  auto* progress = Control<QProgressBar>(*rig_->window, "1015");
  int step = 0;
  QTimer script;
  script.setInterval(5);
  QObject::connect(&script, &QTimer::timeout, [&] {
    const int done = progress->value() - progress->minimum();
    QWidget* target = rig_->window.get();
    if (step == 0 && done > 0x400) {
      QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
      ++step;
    } else if (step == 1 && done > 0x800) {
      QCoreApplication::postEvent(quit, new QMouseEvent(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5),
                                                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
      QCoreApplication::postEvent(quit, new QMouseEvent(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5),
                                                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
      ++step;
    } else if (step == 2 && done > 0x1000) {
      QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
      ++step;
    }
  });
  script.start();
  rig_->window->OnProgram();
  script.stop();
  EXPECT_EQ(step, 3);

  int stopQuestions = 0;
  for (const auto& box : rig_->prompt.shown) stopQuestions += box.text == "Stop current process?";
  EXPECT_EQ(stopQuestions, 2);
  EXPECT_EQ(rig_->window->StatusColour(), ColourYellow) << Status()->text().toStdString();
  EXPECT_TRUE(Status()->text().contains("Abort")) << Status()->text().toStdString();
  EXPECT_FALSE(quitClicked);
  EXPECT_TRUE(rig_->window->isVisible());
  EXPECT_LT(rig_->window->LongestEventGap().count(), kMaxEventGapMs);
  // Stopped part-way: the start of the flash holds the image, its end is still erased.
  auto board = rig_->ports.SimBoardOf(9);
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->FlashWord(0), Pattern(1)[0]);
  EXPECT_EQ(board->FlashWord(flashWords - 1), 0xFFFF);
  // The click during the action is not replayed afterwards.
  QCoreApplication::processEvents();
  EXPECT_FALSE(quitClicked);
}

}  // namespace
}  // namespace tessaro::app::testing
