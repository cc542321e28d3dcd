// The small dialogs and the command menu: COM port selection over the port table (a
// simulated board is scanned like a real port), the documentation tree and its PDF titles,
// and the window's command menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "AppTestMain.h"
#include "WindowRig.h"
#include "app/ComSelectDialog.h"
#include "app/DocList.h"
#include "app/DocMenu.h"
#include "app/FlashWindow.h"
#include "app/LyrApp.h"

namespace tessaro::app::testing {
namespace {

namespace fs = std::filesystem;

QStringList Lines(QComboBox* box) {
  QStringList lines;
  for (int i = 0; i < box->count(); ++i) lines << box->itemText(i);
  return lines;
}

// Lets the dialog's events run until its scan has ended; false after 20 s.
bool WaitForScan(ComSelectDialog& dialog) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (dialog.Scanning() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QCoreApplication::processEvents();
  return !dialog.Scanning();
}

TEST(ComSelectDialogTest, ListsTheTableScansItAndReturnsTheChoice) {
  ClearSettings();
  WriteUserSettings("[Ports]\nCOM9=sim:--chip=LYR8721\nCOM12=\"sim:--chip=LYR9468,--interface=usb\"\n");
  ScriptedPrompt prompt;
  AppPorts ports;
  ComSelectDialog dialog(prompt, ports, 11, false);
  auto* box = dialog.findChild<QComboBox*>("1515");
  ASSERT_NE(box, nullptr);
  const QStringList listed = Lines(box);
  const int com9 = box->findText("COM9: Simulated board --chip=LYR8721");
  const int com12 = box->findText("COM12: Simulated board --chip=LYR9468,--interface=usb");
  ASSERT_GE(com9, 0) << listed.join(" | ").toStdString();
  ASSERT_GT(com12, com9);  // ascending port numbers
  EXPECT_EQ(box->currentIndex(), com12);

  // The scan runs in the background: the dialog shows its progress and stays responsive.
  auto* progress = dialog.findChild<QProgressBar*>("scanProgress");
  ASSERT_NE(progress, nullptr);
  dialog.findChild<QPushButton*>("1516")->click();
  EXPECT_TRUE(dialog.Scanning());
  EXPECT_TRUE(progress->isVisibleTo(&dialog));
  EXPECT_EQ(progress->maximum(), box->count());
  ASSERT_TRUE(WaitForScan(dialog));
  EXPECT_FALSE(progress->isVisibleTo(&dialog));
  EXPECT_EQ(progress->value(), box->count());
  EXPECT_EQ(box->itemText(com9), "COM9: Simulated board --chip=LYR8721 (LYR8721)");
  EXPECT_EQ(box->itemText(com12), "COM12: Simulated board --chip=LYR9468,--interface=usb (LYR9468)");
  EXPECT_EQ(box->currentIndex(), com12);  // the scan keeps the selection

  box->setCurrentIndex(com9);
  dialog.findChild<QCheckBox*>("1508")->setChecked(true);
  dialog.findChild<QPushButton*>("1")->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.ComIndex(), 8);
  EXPECT_TRUE(dialog.DoubleBaud());
}

TEST(ComSelectDialogTest, CancelWhileAScanRunsStopsItAtOnce) {
  ClearSettings();
  // Slow boards: each probe waits on a target that answers late.
  WriteUserSettings(
      "[Ports]\nCOM9=\"sim:--chip=LYR8721,--latency-us=200000\"\n"
      "COM10=\"sim:--chip=LYR8721,--latency-us=200000\"\n");
  ScriptedPrompt prompt;
  AppPorts ports;
  ComSelectDialog dialog(prompt, ports, 8, false);
  auto* box = dialog.findChild<QComboBox*>("1515");
  const QStringList before = Lines(box);
  dialog.findChild<QPushButton*>("1516")->click();
  ASSERT_TRUE(dialog.Scanning());
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  const auto pressed = std::chrono::steady_clock::now();
  dialog.findChild<QPushButton*>("2")->click();
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(2));
  EXPECT_FALSE(dialog.Scanning());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(dialog.ComIndex(), 8);
  QCoreApplication::processEvents();
  EXPECT_TRUE(prompt.shown.empty());  // nothing said after the dialog closed
  EXPECT_EQ(box->count(), before.size());
}

TEST(ComSelectDialogTest, AConfiguredPortThatIsMissingIsListedAsUnavailable) {
  ClearSettings();
  ScriptedPrompt prompt;
  AppPorts ports;
  ComSelectDialog dialog(prompt, ports, 98, true);
  auto* box = dialog.findChild<QComboBox*>("1515");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->currentText(), "COM99: (unavailable)");
  EXPECT_TRUE(dialog.findChild<QCheckBox*>("1508")->isChecked());
  dialog.findChild<QPushButton*>("2")->click();  // Cancel changes nothing
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(dialog.ComIndex(), 98);
}

TEST(ComSelectDialogTest, TheListFollowsPortsPluggedInAndOut) {
  ClearSettings();
  WriteUserSettings("[Ports]\nCOM3=/dev/ttyUSB0\nCOM4=/dev/ttyACM0\n");
  const SerialDevice debug{"/dev/ttyUSB0", "FT232R USB UART", true};
  const SerialDevice acm{"/dev/ttyACM0", "USB Serial Port", true};
  const SerialDevice fresh{"/dev/ttyUSB7", "FT232R USB UART", true};
  ScriptedPrompt prompt;
  AppPorts ports;
  FakePortWatchSource& source = WatchFakePorts(ports, {debug});
  ComSelectDialog dialog(prompt, ports, 2, false);
  auto* box = dialog.findChild<QComboBox*>("1515");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Lines(box), QStringList({"COM3: FT232R USB UART"}));

  // Plugged in: a known device keeps its number, a new one gets the lowest free number, which
  // the port table keeps; the selection stays where it was.
  source.Push({PortEvent::Kind::Added, acm});
  source.Push({PortEvent::Kind::Added, fresh});
  ASSERT_TRUE(RunEventsUntil([&] { return box->count() == 3; })) << Lines(box).join('|').toStdString();
  EXPECT_EQ(Lines(box), QStringList({"COM1: FT232R USB UART", "COM3: FT232R USB UART", "COM4: USB Serial Port"}));
  EXPECT_EQ(box->currentText(), "COM3: FT232R USB UART");
  EXPECT_EQ(ports.PathOf(1), "/dev/ttyUSB7");

  // The selected device unplugged: it stays selected, as a port that is not there.
  source.Push({PortEvent::Kind::Removed, debug});
  ASSERT_TRUE(RunEventsUntil([&] { return box->currentText() == "COM3: (unavailable)"; }))
      << Lines(box).join('|').toStdString();
  EXPECT_EQ(Lines(box), QStringList({"COM1: FT232R USB UART", "COM3: (unavailable)", "COM4: USB Serial Port"}));
  dialog.findChild<QPushButton*>("1")->click();
  EXPECT_EQ(dialog.ComIndex(), 2);
}

TEST(DocListTest, PdfTitlesAreReadFromTheInfoDictionary) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> title;
  };
  const Case cases[] = {
      {"literal", "%PDF-1.4\n1 0 obj<</Author (B)/Title (A)>>endobj", "A"},
      {"title only", "<</Title (A)>>", std::nullopt},
      {"hex", "<</Author (B)/Title <FEFF00410042> >>", "AB"},
      {"hex outside 32..126", "<</Author (B)/Title <FEFF0041001F> >>", std::nullopt},
      {"later dictionary", "<</Type /Page>> <</Title (Manual)/Author (X)>>", "Manual"},
      {"key in any case", "<</author (B)/TITLE (Guide)>>", "Guide"},
      {"control byte", "<</Author (B)/Title (A\x01)>>", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PdfTitle(c.bytes), c.title) << c.name;
}

TEST(DocListTest, FolderTreeSortsMarksDuplicatesAndOpensByCommand) {
  const std::string doc = TestHome() + "/doc/";
  fs::remove_all(doc);
  fs::create_directories(doc + "Sub");
  fs::create_directories(doc + ".hidden/Inner");
  fs::create_directories(doc + "Empty");
  std::ofstream(doc + "b.pdf") << "<</Author (x)/Title (Same)>>";
  std::ofstream(doc + "a.pdf") << "<</Author (x)/Title (Same)>>";
  std::ofstream(doc + "c.pdf") << "<</Title (only)>>";
  std::ofstream(doc + "Help.chm") << "";
  std::ofstream(doc + "Sub/Tips & Tricks.pdf") << "<</Author (x)/Title (Tips & Tricks)>>";
  std::ofstream(doc + ".hidden/Inner/x.pdf") << "<</Author (x)/Title (Hidden)>>";

  const DocList list = ScanDocumentation(doc);
  std::vector<std::string> menu;
  for (const DocEntry& entry : list.entries) menu.push_back(DocMenuText(entry));
  const std::vector<std::string> expected = {"Help", "Same (a.pdf)", "Same (b.pdf)", "c.pdf (protected?)", "Sub"};
  EXPECT_EQ(menu, expected);
  ASSERT_EQ(list.entries.back().children.size(), 1u);
  const DocEntry& tips = list.entries.back().children[0];
  EXPECT_EQ(DocMenuText(tips), "Tips && Tricks");
  EXPECT_EQ(DocumentPath(list, tips.command), doc + "Sub/Tips & Tricks.pdf");
  EXPECT_EQ(DocumentPath(list, list.entries[1].command), doc + "a.pdf");
  EXPECT_EQ(DocumentPath(list, kLastDocCommand), std::nullopt);
  EXPECT_FALSE(ScanDocumentation(TestHome() + "/no-such-doc").entries.size());
}

TEST(CommandMenuTest, OffersTheWindowMenuCommandsInOrder) {
  ClearSettings();
  const std::string program = TestHome() + "/menu/";
  fs::remove_all(program);
  fs::create_directories(program + "config");
  fs::create_directories(program + "doc");
  std::ofstream(program + "config/Emb.BDL") << "[Embedded only]\nCONFIG = LYR8721\n";
  std::ofstream(program + "doc/Manual.pdf") << "<</Author (x)/Title (User Manual)>>";
  fs::create_directory_symlink(std::string(TESSARO_SOURCE_DIR) + "/drivers", program + "drivers");
  ScriptedPrompt prompt;
  SerialPort link;
  AppPorts ports;
  BoardList boards;
  std::string errors;
  QSettings user;
  const WindowSetup setup = ReadStartup(user, program, boards, errors);
  CFlash window(link, boards, prompt, ports, setup);

  QStringList texts;
  for (QAction* action : window.CommandMenu()->actions()) texts << (action->isSeparator() ? "-" : action->text());
  const QStringList expected = {"Auto-Detect && Create BDL File...",
                                "Export Device List",
                                "Open Download Page...",
                                "Open CORVANE Website...",
                                "-",
                                "Verify after PROGRAM!",
                                "PROGRAM! Only Changed Sectors",
                                "-",
                                "Documentation...",
                                "-",
                                "&About Tessaro..."};
  EXPECT_EQ(texts, expected);
  auto* documentation = window.CommandMenu()->findChild<QMenu*>("documentation");
  ASSERT_NE(documentation, nullptr);
  ASSERT_EQ(documentation->actions().size(), 1);
  EXPECT_EQ(documentation->actions()[0]->text(), "User Manual");
  EXPECT_EQ(documentation->actions()[0]->objectName(), "12001");

  // Autodetect runs: without a board behind the port it says that no chip answered.
  window.CommandMenu()->findChild<QAction*>("114")->trigger();
  EXPECT_TRUE(prompt.Saw("No CPU detected (or Security Fuse set)!"));
  EXPECT_FALSE(window.ActionRunning());
}

// The export dialog driven as a user drives it: the folder it opens in, a name typed with the
// CSV format chosen, OK. Returns the folder it opened in.
QString ExportAs(CFlash& window, const QString& name) {
  QString openedIn;
  QTimer::singleShot(0, [&] {
    auto* dialog = window.findChild<QFileDialog*>("exportDialog");
    ASSERT_NE(dialog, nullptr);
    openedIn = dialog->directory().absolutePath();
    dialog->selectNameFilter("CSV-Files (*.csv)");
    dialog->selectFile(name);
    static_cast<QDialog*>(dialog)->accept();  // OK, as the button does
  });
  window.CommandMenu()->findChild<QAction*>("118")->trigger();
  return openedIn;
}

TEST(CommandMenuTest, ExportTakesTheFormatsExtensionRemembersTheFolderAndSaysWhatFailed) {
  ClearSettings();
  const std::string program = MakeProgramFolder("export", {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
  fs::create_directories(program + "out/Taken.csv");  // a folder where the list would go
  WindowRig rig(program);
  CFlash& window = *rig.window;
  ScriptedPrompt& prompt = rig.prompt;

  // The first export opens in the drivers folder (writable here).
  const QString out = QString::fromStdString(program + "out");
  EXPECT_EQ(fs::path(ExportAs(window, out + "/List").toStdString()), fs::path(program + "drivers"));
  std::ifstream csv(program + "out/List.csv");
  ASSERT_TRUE(csv.good());
  std::string first;
  std::getline(csv, first);
  EXPECT_NE(first.find(';'), std::string::npos) << first;  // the CSV format, not the text table
  EXPECT_FALSE(fs::exists(program + "out/List.txt"));
  EXPECT_TRUE(prompt.shown.empty());

  // The next one opens where the last went; a file that cannot be written is reported by path.
  EXPECT_EQ(ExportAs(window, out + "/Taken.txt"), out);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_NE(prompt.shown[0].text.find("could not be written to " + program + "out/Taken.csv"), std::string::npos)
      << prompt.shown[0].text;
}

TEST(CommandMenuTest, ADocumentOrPageNoViewerOpensIsNamedInAMessage) {
  ClearSettings();
  const std::string program = MakeProgramFolder("viewer", {{"Emb.BDL", "[Embedded only]\nCONFIG = LYR8721\n"}});
  fs::create_directories(program + "doc");
  std::ofstream(program + "doc/Manual.pdf") << "<</Author (x)/Title (User Manual)>>";
  WindowRig rig(program);
  CFlash& window = *rig.window;
  ScriptedPrompt& prompt = rig.prompt;

  std::vector<QUrl> asked;
  bool viewerThere = false;
  SetDesktopOpener([&](const QUrl& url) {
    asked.push_back(url);
    return viewerThere;
  });
  struct Case {
    const char* action;
    std::string named;
  };
  const Case cases[] = {{"12001", "the document " + program + "doc/Manual.pdf"},
                        {"115", std::string("the web page ") + kDownloadPageUrl},
                        {"116", std::string("the web page ") + kWebsiteUrl}};
  for (const Case& c : cases) {
    prompt.shown.clear();
    window.CommandMenu()->findChild<QAction*>(c.action)->trigger();
    ASSERT_EQ(prompt.shown.size(), 1u) << c.action;
    EXPECT_EQ(prompt.shown[0].text, "No viewer could open " + c.named + ".");
  }
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].toLocalFile().toStdString(), program + "doc/Manual.pdf");
  // Opened: nothing to say.
  viewerThere = true;
  prompt.shown.clear();
  window.CommandMenu()->findChild<QAction*>("116")->trigger();
  EXPECT_TRUE(prompt.shown.empty());
  SetDesktopOpener(nullptr);
}

}  // namespace
}  // namespace tessaro::app::testing
