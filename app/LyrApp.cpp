#include "app/LyrApp.h"

#include <QApplication>
#include <cstdio>

#include "chips/BoardConfig.h"
#include "common/Text.h"
#include "flash/DriverImage.h"
#include "platform/PortWatch.h"
#include "platform/Settings.h"

// Resources of a static library are registered by hand.
static void InitTessaroResources() { Q_INIT_RESOURCE(tessaro); }

namespace tessaro::app {
namespace {

std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString Q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

void InitAppResources() { InitTessaroResources(); }

WindowSetup ReadStartup(QSettings& user, const std::string& programFolder, BoardList& boards,
                        std::string& boardErrors) {
  WindowSetup setup;
  user.beginGroup(QStringLiteral("Settings"));
  const DataFolders folders = FindDataFolders(programFolder);
  setup.programFolder = folders.program;
  setup.driversFolder = folders.drivers;
  setup.configFolder = folders.config;
  InitBoardConfig(setup.config);
  const std::string config = S(user.value(QStringLiteral("Config")).toString());
  if (!config.empty()) (void)ParseBoardConfig(setup.config, config);  // a bad text keeps what it set
  boardErrors.clear();
  if (LoadBoardFolder(boards, setup.configFolder, boardErrors) == 0) {
    boardErrors += "No Board-Definitions found in " + setup.configFolder;
  }
  setup.comIndex = user.value(QStringLiteral("COM"), 0).toInt();
  if (setup.comIndex < 0) setup.comIndex = 0;
  setup.doubleBaud = user.value(QStringLiteral("DoubleBaud"), 0).toInt() != 0;
  const std::string board = S(user.value(QStringLiteral("Board")).toString());
  if (!board.empty()) setup.preselectedBoard = boards.Find(board);
  user.endGroup();
  return setup;
}

void WriteExitSettings(QSettings& user, const CFlash& window) {
  user.beginGroup(QStringLiteral("Settings"));
  if (const BoardDefinition* board = window.SelectedBoard()) user.setValue(QStringLiteral("Board"), Q(board->name));
  user.setValue(QStringLiteral("COM"), window.ComIndex());
  user.setValue(QStringLiteral("driverfolder"), Q(window.DriversFolder()));
  user.setValue(QStringLiteral("DoubleBaud"), window.DoubleBaudFlag() ? 1 : 0);
  if (window.WindowConfig().chip) user.setValue(QStringLiteral("Config"), Q(FormatBoardConfig(window.WindowConfig())));
  user.endGroup();
  user.sync();
}

int RunTessaro(PromptIf& prompt, const std::string& programFolder) {
  InitAppResources();
  SerialPort link;
  AppPorts ports;
  std::string watchError;
  // Without a watch (no udev here) the port list is still read afresh each time it is shown.
  if (!ports.StartWatch(SystemPortWatchSource(), watchError)) std::fprintf(stderr, "tessaro: %s\n", watchError.c_str());
  BoardList& boards = ProgramBoardList();
  QSettings user;
  std::string boardErrors;
  const WindowSetup setup = ReadStartup(user, programFolder, boards, boardErrors);
  SetDriverImageFolder(setup.driversFolder);
  if (!boardErrors.empty()) {
    (void)prompt.Ask("Errors parsing Board Definitions:\r\n" + boardErrors, "Board Definition", PromptButtons::Ok);
  }
  {
    CFlash window(link, boards, prompt, ports, setup);
    if (auto* qtPrompt = dynamic_cast<QtPrompt*>(&prompt)) qtPrompt->SetOwner(&window);
    window.exec();
    WriteExitSettings(user, window);
  }
  for (const std::string& message : ports.EndBoards()) std::fprintf(stderr, "tessaro: %s\n", message.c_str());
  FreeBoardList();
  return 0;
}

}  // namespace tessaro::app
