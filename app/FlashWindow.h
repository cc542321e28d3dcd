// The main programming window: board, port, destination and image choice, start address and
// size, PROGRAM! and Verify with progress, position and the coloured status line, and for the
// 9xxx chips the eFuse dialog, the EFU file of an encrypted firmware, its encryption check
// and the burn after PROGRAM!. It is a view: the work is the core's ProgrammingJob run in a
// FlashIf session, and the window only answers what the session asks of its host (FlashHost).
#pragma once
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>
#include <vector>
#include "app/AppPorts.h"
#include "app/AppPrompt.h"
#include "chips/BoardConfig.h"
#include "definitions/BoardDefinition.h"
#include "efuse/EfuFile.h"
#include "efuse/ProgramEFuse.h"
#include "link/ComIf.h"
#include "link/SerialPort.h"
#include "session/FlashIf.h"
#include "session/ProgrammingJob.h"
#include "tools/Autodetect.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace tessaro::app {

class CFlash;

// The link's callback into the window: while the link waits it pumps the window's events so
// Esc can stop it, and a lost link is noted.
class CFlashComIf : public CLyrComIf {
 public:
  explicit CFlashComIf(CFlash& window) : window_(window) {}
  bool AbortRequested() override;

 private:
  CFlash& window_;
};

// What start-up hands the window (the values the settings hold).
struct WindowSetup {
  std::string programFolder;
  std::string driversFolder;
  std::string configFolder;
  BoardConfig config{};
  int comIndex = 0;
  bool doubleBaud = false;
  const BoardDefinition* preselectedBoard = nullptr;
};

class CFlash : public QDialog, public FlashHost, private ProgressBarIf {
 public:
  CFlash(SerialPort& link, BoardList& boards, PromptIf& prompt, AppPorts& ports, const WindowSetup& setup,
         QWidget* parent = nullptr);
  ~CFlash() override;

  // ---- what start-up writes back at exit ----
  const BoardDefinition* SelectedBoard() const { return selectedBoard_; }
  const BoardConfig& WindowConfig() const { return config_; }
  int ComIndex() const { return comIndex_; }
  bool DoubleBaudFlag() const { return doubleBaud_; }
  const std::string& DriversFolder() const { return driversFolder_; }
  int StatusColour() const { return colourClass_; }
  ProgrammingJob& Job() { return job_; }
  // The EFU data of the loaded firmware (empty unless an encrypted 9xxx firmware brought one).
  const EfuData& Efu() const { return efu_; }
  // What the last burn after firmware did (nothing attempted when none ran).
  const AfterFirmwareResult& LastAfterFirmware() const { return lastAfterFirmware_; }
  bool ActionRunning() const { return actionRunning_; }
  // "Verify after PROGRAM!" of the command menu (remembered in the settings, on by default).
  bool VerifyAfterProgram() const { return verifyAfterProgram_; }
  // "PROGRAM! Only Changed Sectors" of the command menu (remembered in the settings, off by
  // default).
  bool SkipUnchanged() const { return job_.skipUnchanged; }
  // Longest time the window went without handling its events during the device work of the
  // last action (linking has fixed waits of its own and is not counted).
  std::chrono::milliseconds LongestEventGap() const { return longestGap_; }

  // ---- commands (the buttons and menu items call these) ----
  void OnBoardChanged();
  void OnDestinationChanged();
  void OnStartBoxEdited(QLineEdit* box);
  void OnSizeBoxEdited();
  void OnSelectFile();
  void OnComButton();
  void OnProgram();
  void OnVerify();
  void OnPollTick();
  // Ports that came or went: the connection line follows them, and the linked port's going
  // ends the link until it returns, when the window links again.
  void OnPortsChanged(const std::vector<PortEvent>& changes);
  [[nodiscard]] bool LoadImageFile(const std::string& path);
  void DropFiles(const QStringList& paths);
  void Refresh(bool resetAddress);
  void ExportDeviceList();
  void ShowAbout();
  // "Auto-Detect && Create BDL File...": detects the board as an action (wait cursor, Esc asks
  // to stop), lets the user pick among several devices, then opens "Create BDL from
  // Autodetect"; after Save&&Close the boards are read again and the new one is selected.
  void AutodetectAndCreateBdl();
  // What the last detection found (nothing before the first).
  const AutodetectResult& LastAutodetect() const { return lastAutodetect_; }
  QMenu* CommandMenu() { return commandMenu_; }

  // ---- FlashHost ----
  SerialPort& Link() override { return link_; }
  BoardConfig& Configuration() override { return config_; }
  ProgressBarIf* ProgressBar() override { return this; }
  CLyrComIf* LinkCallback() override { return &comIf_; }
  uint32_t PortNumber() override { return static_cast<uint32_t>(comIndex_) + 1; }
  bool DoubleBaud() override { return doubleBaud_; }
  uint32_t StartAddress() override;
  void SetStartAddress(uint32_t address) override;
  void ShowStatusLine(const std::string& text, int colourClass) override;
  void ShowPositionText(const std::string& text) override;
  PromptAnswer Ask(const std::string& text, const char* caption, PromptButtons buttons) override;
  bool CancelRequested() override;
  void StartConnectionPoll() override;
  void StopConnectionPoll() override;
  void* Window() override { return this; }

  // Pumps the window's events under the action filter; true when the user confirmed a stop.
  // Without `mayAsk` a pressed Esc stays pending for the next check that may ask.
  bool PumpAndCheckCancel(bool mayAsk);
  bool DeviceWorkRunning() const { return deviceWork_; }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // ---- ProgressBarIf ----
  void SetRange(int32_t low, int32_t high) override;
  void SetPosition(int32_t position) override;

  void BuildControls();
  void ShowInfo();
  void BuildCommandMenu();
  void FillBoardSelector();
  void RunAction(bool program);
  // The busy rules of an action: false when one already runs.
  bool BeginAction();
  void EndAction();
  // The popup of several detected devices at the mouse position: the index taken, or -1.
  int ChooseDetectedDevice(const std::vector<DetectedDevice>& devices);
  // Reads the config folder again and selects the board named `title` (the "Board" setting
  // when it is empty).
  void ReloadBoards(const std::string& title);
  bool Say(const std::string& text, const char* caption = nullptr);
  bool NineFamily() const;
  // Both start address boxes hold one to four hexadecimal digits.
  bool StartBoxesValid() const;
  // The encryption check before PROGRAM! of an encrypted 9xxx firmware; false when it failed
  // and the user chose not to program anyway.
  bool EncryptionAccepted();
  void OpenEfuseDialog(const std::string& path);

  SerialPort& link_;
  BoardList& boards_;
  PromptIf& prompt_;
  AppPorts& ports_;
  CFlashComIf comIf_{*this};
  ProgrammingJob job_;
  EfuData efu_{};
  AfterFirmwareResult lastAfterFirmware_;
  AutodetectResult lastAutodetect_;
  BoardConfig config_{};
  std::string programFolder_;
  std::string driversFolder_;
  std::string configFolder_;
  std::string lastDir_;
  int comIndex_ = 0;
  bool doubleBaud_ = false;
  bool verifyAfterProgram_ = true;
  const BoardDefinition* selectedBoard_ = nullptr;
  bool initialised_ = false;
  int colourClass_ = 0;
  QTimer pollTimer_;
  int portListener_ = 0;
  bool linkedPortGone_ = false;  // the linked port was unplugged; it links again on its return

  // The running action.
  bool actionRunning_ = false;
  bool cancelMarked_ = false;
  bool deviceWork_ = false;
  std::unique_ptr<ActionFilter> filter_;
  std::chrono::steady_clock::time_point lastPump_{};
  std::chrono::milliseconds longestGap_{0};

  QComboBox* boardBox_ = nullptr;
  QPushButton* comButton_ = nullptr;
  QPlainTextEdit* infoBox_ = nullptr;
  QComboBox* destinationBox_ = nullptr;
  QPushButton* selectFileButton_ = nullptr;
  QLineEdit* pathBox_ = nullptr;
  QLabel* fileLabel_ = nullptr;
  QLineEdit* startHighBox_ = nullptr;
  QLineEdit* startLowBox_ = nullptr;
  QLineEdit* sizeBox_ = nullptr;
  QPushButton* programButton_ = nullptr;
  QPushButton* verifyButton_ = nullptr;
  QPushButton* quitButton_ = nullptr;
  QLineEdit* statusLine_ = nullptr;
  QLineEdit* positionBox_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QToolButton* menuButton_ = nullptr;
  QMenu* commandMenu_ = nullptr;
};

// The URLs of the two web-page commands.
inline constexpr const char* kDownloadPageUrl = "https://www.corvane.com/downloads";
inline constexpr const char* kWebsiteUrl = "https://www.corvane.com/";

}  // namespace tessaro::app
