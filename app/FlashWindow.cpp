#include "app/FlashWindow.h"

#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QToolButton>
#include <QUrl>

#include "app/AboutDialog.h"
#include "app/ComSelectDialog.h"
#include "app/DialogUnits.h"
#include "app/DocMenu.h"
#include "app/EfuseDialog.h"
#include "app/MakeBdlDialog.h"
#include "app/StatusLine.h"
#include "common/Text.h"
#include "definitions/DefinitionReader.h"
#include "efuse/FirmwareCheck.h"
#include "image/ImageKind.h"
#include "platform/Files.h"
#include "session/Destinations.h"
#include "tools/DeviceListExport.h"

namespace tessaro::app {
namespace {

constexpr int kPollPeriodMs = 100;
// Events are pumped at most this often during an action; more would only slow the transfer.
constexpr auto kPumpInterval = std::chrono::milliseconds(20);

constexpr const char* kSettingsGroup = "Settings";
constexpr const char* kVerifyAfterProgramKey = "Settings/VerifyAfterProgram";
constexpr const char* kSkipUnchangedKey = "Settings/SkipUnchanged";
constexpr const char* kExportDirKey = "Settings/ExportDir";
// What the address and size boxes accept while typing.
const QString kAddressPattern = QStringLiteral("[0-9A-Fa-f]{0,4}");
const QString kSizePattern = QStringLiteral("[0-9A-Fa-f]{0,8}");
// The status line after PROGRAM! when the eFuses of the firmware did not burn.
constexpr const char* kEfuseFailedStatus = "eFuse programming failed!";

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

// While the link is being made, Esc stops it here. Once device work runs, the link's waits
// only keep the window painted and leave Esc to the session's own check, so that a stop ends
// the operation as aborted, not as a failed write.
bool CFlashComIf::AbortRequested() { return window_.PumpAndCheckCancel(!window_.DeviceWorkRunning()); }

CFlash::CFlash(SerialPort& link, BoardList& boards, PromptIf& prompt, AppPorts& ports, const WindowSetup& setup,
               QWidget* parent)
    : QDialog(parent),
      link_(link),
      boards_(boards),
      prompt_(prompt),
      ports_(ports),
      config_(setup.config),
      programFolder_(setup.programFolder),
      driversFolder_(setup.driversFolder),
      configFolder_(setup.configFolder),
      comIndex_(setup.comIndex),
      doubleBaud_(setup.doubleBaud),
      selectedBoard_(setup.preselectedBoard) {
  link_.SetPortOpener(ports_.Opener());
  link_.SetPrompt(&prompt_);
  if (!config_.chip) InitBoardConfig(config_);
  verifyAfterProgram_ = QSettings().value(QString::fromLatin1(kVerifyAfterProgramKey), true).toBool();
  job_.skipUnchanged = QSettings().value(QString::fromLatin1(kSkipUnchangedKey), false).toBool();
  pollTimer_.setInterval(kPollPeriodMs);
  connect(&pollTimer_, &QTimer::timeout, this, &CFlash::OnPollTick);

  // 1. The device descriptions.
  initialised_ = false;
  if (!driversFolder_.empty()) {
    std::string errors;
    if (!LoadDriverFolder(job_.catalogue, driversFolder_, errors)) Say(errors, "Error(s) in Driver Description");
  }
  BuildControls();
  // 3. The boards.
  FillBoardSelector();
  initialised_ = true;
  // 4. The command menu (the window menu's commands).
  BuildCommandMenu();
  // 5. Title and icon.
  setWindowTitle(Q("Tessaro V" + ProgramVersionText() + " - CORVANE Device Programmer"));
  setWindowIcon(QIcon(QStringLiteral(":/tessaro.png")));
  // 6, 7, 8.
  comButton_->show();
  Refresh(true);
  setAcceptDrops(true);
  portListener_ = ports_.Subscribe([this](const std::vector<PortEvent>& changes) { OnPortsChanged(changes); });
}

CFlash::~CFlash() {
  ports_.Unsubscribe(portListener_);
  pollTimer_.stop();
  if (initialised_) {
    link_.CloseLink(true);
    link_.SetLinked(false);
  }
  link_.SetPrompt(nullptr);
}

void CFlash::BuildControls() {
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(272, 244));

  auto* group = du.Place(new QGroupBox(QStringLiteral("Target Environment"), this), nullptr, 8, 8, 255, 84);
  (void)group;
  boardBox_ = du.Place(new QComboBox(this), "1001", 16, 20, 203, 12);
  comButton_ = du.Place(new QPushButton(QStringLiteral("COM..."), this), "1002", 224, 20, 32, 12);
  comButton_->hide();  // shown once the window is set up, as its template has it
  infoBox_ = du.Place(new QPlainTextEdit(this), "1003", 16, 40, 240, 44);
  infoBox_->setReadOnly(true);
  // Static labels keep their place but may grow to their text up to the next control: the
  // desktop's font is often wider than the one the boxes were drawn for.
  auto fit = [&du](QLabel* label, int rightUnits) {
    const int room = du.X(rightUnits) - label->x();
    label->resize(std::max(label->width(), std::min(room, label->sizeHint().width())), label->height());
  };
  fit(du.Place(new QLabel(QStringLiteral("Programming Destination"), this), nullptr, 16, 100, 79, 8), 208);
  destinationBox_ = du.Place(new QComboBox(this), "1004", 16, 108, 240, 12);
  selectFileButton_ = du.Place(new QPushButton(QStringLiteral("Select File..."), this), "1006", 12, 128, 56, 12);
  pathBox_ = du.Place(new QLineEdit(this), "1005", 12, 141, 192, 12);
  pathBox_->setReadOnly(true);
  fileLabel_ = du.Place(new QLabel(this), "1007", 16, 155, 188, 8);
  fileLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  startHighBox_ = du.Place(new QLineEdit(this), "1008", 16, 168, 32, 12);
  startLowBox_ = du.Place(new QLineEdit(this), "1009", 52, 168, 32, 12);
  fit(du.Place(new QLabel(QStringLiteral("Device Start Address (Word, Hex)"), this), nullptr, 88, 170, 108, 8), 210);
  sizeBox_ = du.Place(new QLineEdit(this), "1010", 40, 186, 44, 12);
  // The boxes take hexadecimal digits only: four for each half of the address, eight for the
  // size (an image may be longer than 0xFFFF words).
  startHighBox_->setValidator(new QRegularExpressionValidator(QRegularExpression(kAddressPattern), startHighBox_));
  startLowBox_->setValidator(new QRegularExpressionValidator(QRegularExpression(kAddressPattern), startLowBox_));
  sizeBox_->setValidator(new QRegularExpressionValidator(QRegularExpression(kSizePattern), sizeBox_));
  startHighBox_->setMaxLength(4);
  startLowBox_->setMaxLength(4);
  sizeBox_->setMaxLength(8);
  fit(du.Place(new QLabel(QStringLiteral("Total Size (Word, Hex)"), this), nullptr, 88, 188, 72, 8), 210);
  programButton_ = du.Place(new QPushButton(QStringLiteral("PROGRAM!"), this), "1011", 212, 132, 50, 14);
  verifyButton_ = du.Place(new QPushButton(QStringLiteral("Verify"), this), "1012", 212, 148, 50, 14);
  auto* escLabel = du.Place(new QLabel(QStringLiteral("\"Esc\" to\nCancel"), this), nullptr, 228, 164, 34, 18);
  escLabel->setAlignment(Qt::AlignCenter);
  quitButton_ = du.Place(new QPushButton(QStringLiteral("QUIT"), this), "1", 212, 188, 50, 14);
  statusLine_ = du.Place(new QLineEdit(this), "1013", 8, 208, 256, 12);
  statusLine_->setReadOnly(true);
  statusLine_->setAutoFillBackground(true);
  positionBox_ = du.Place(new QLineEdit(this), "1014", 184, 228, 79, 13);
  positionBox_->setReadOnly(true);
  positionBox_->setAlignment(Qt::AlignRight);
  positionBox_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  progressBar_ = du.Place(new QProgressBar(this), "1015", 8, 228, 172, 11);
  progressBar_->setTextVisible(false);
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  // The window menu's commands: Linux window managers keep their menu to themselves, so the
  // window offers them itself, on this button (Alt+M), on F10 and on a right click.
  menuButton_ = du.Place(new QToolButton(this), "menu", 212, 95, 50, 11);
  menuButton_->setText(QStringLiteral("&Menu"));
  menuButton_->setPopupMode(QToolButton::InstantPopup);

  for (QPushButton* button : {comButton_, selectFileButton_, programButton_, verifyButton_, quitButton_}) {
    button->setAutoDefault(false);
  }
  connect(boardBox_, &QComboBox::activated, this, [this](int) { OnBoardChanged(); });
  connect(destinationBox_, &QComboBox::activated, this, [this](int) { OnDestinationChanged(); });
  connect(comButton_, &QPushButton::clicked, this, &CFlash::OnComButton);
  connect(selectFileButton_, &QPushButton::clicked, this, &CFlash::OnSelectFile);
  connect(programButton_, &QPushButton::clicked, this, &CFlash::OnProgram);
  connect(verifyButton_, &QPushButton::clicked, this, &CFlash::OnVerify);
  connect(quitButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(startHighBox_, &QLineEdit::editingFinished, this, [this] { OnStartBoxEdited(startHighBox_); });
  connect(startLowBox_, &QLineEdit::editingFinished, this, [this] { OnStartBoxEdited(startLowBox_); });
  connect(sizeBox_, &QLineEdit::editingFinished, this, &CFlash::OnSizeBoxEdited);
}

void CFlash::BuildCommandMenu() {
  commandMenu_ = new QMenu(this);
  commandMenu_->setObjectName(QStringLiteral("commandMenu"));
  auto add = [this](const char* text, auto handler) {
    QAction* action = commandMenu_->addAction(QString::fromLatin1(text));
    connect(action, &QAction::triggered, this, handler);
    return action;
  };
  add("Auto-Detect && Create BDL File...", [this] { AutodetectAndCreateBdl(); })->setObjectName("114");
  if (!driversFolder_.empty()) add("Export Device List", [this] { ExportDeviceList(); })->setObjectName("118");
  add("Open Download Page...", [this] {
    OpenWithDesktop(QUrl(QString::fromLatin1(kDownloadPageUrl)), prompt_);
  })->setObjectName(QStringLiteral("115"));
  add("Open CORVANE Website...", [this] {
    OpenWithDesktop(QUrl(QString::fromLatin1(kWebsiteUrl)), prompt_);
  })->setObjectName(QStringLiteral("116"));
  commandMenu_->addSeparator();
  // Checked: PROGRAM! of a destination that does not read back what it wrote runs Verify.
  QAction* verifyAfter = add("Verify after PROGRAM!", [this](bool on) {
    verifyAfterProgram_ = on;
    QSettings settings;
    settings.setValue(QString::fromLatin1(kVerifyAfterProgramKey), on);
  });
  verifyAfter->setObjectName(QStringLiteral("verifyAfterProgram"));
  verifyAfter->setCheckable(true);
  verifyAfter->setChecked(verifyAfterProgram_);
  // Checked: PROGRAM! of an external flash compares each sector with the image first and
  // leaves those that already hold it untouched.
  QAction* skipUnchanged = add("PROGRAM! Only Changed Sectors", [this](bool on) {
    job_.skipUnchanged = on;
    QSettings settings;
    settings.setValue(QString::fromLatin1(kSkipUnchangedKey), on);
  });
  skipUnchanged->setObjectName(QStringLiteral("skipUnchanged"));
  skipUnchanged->setCheckable(true);
  skipUnchanged->setChecked(job_.skipUnchanged);
  commandMenu_->addSeparator();
  if (AddDocumentationMenu(*commandMenu_, WithTrailingSeparator(programFolder_) + "doc/", prompt_)) {
    commandMenu_->addSeparator();
  }
  add("&About Tessaro...", [this] { ShowAbout(); })->setObjectName(QStringLiteral("113"));
  menuButton_->setMenu(commandMenu_);
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { commandMenu_->popup(mapToGlobal(at)); });
}

// ---- boards --------------------------------------------------------------------------------

void CFlash::FillBoardSelector() {
  boardBox_->clear();
  int select = -1;
  for (const BoardDefinition& board : boards_) {
    if (board.hasErrors) continue;
    boardBox_->addItem(Q(BoardChoiceName(board)), QVariant::fromValue(reinterpret_cast<quintptr>(&board)));
    if (&board == selectedBoard_) select = boardBox_->count() - 1;
  }
  if (boardBox_->count() == 0) {
    selectedBoard_ = nullptr;
    return;
  }
  if (select < 0) select = 0;
  boardBox_->setCurrentIndex(select);
  selectedBoard_ = reinterpret_cast<const BoardDefinition*>(boardBox_->itemData(select).value<quintptr>());
  std::string ignored;  // problems of the preselected board's serial flash show when it is chosen
  job_.ApplyBoard(*selectedBoard_, ignored);
  config_ = selectedBoard_->config;
}

void CFlash::OnBoardChanged() {
  const int index = boardBox_->currentIndex();
  if (index < 0) {
    Refresh(true);
    return;
  }
  const auto* board = reinterpret_cast<const BoardDefinition*>(boardBox_->itemData(index).value<quintptr>());
  if (!board) {
    Refresh(true);
    return;
  }
  config_ = board->config;
  selectedBoard_ = board;
  std::string warnings;
  job_.ApplyBoard(*board, warnings);
  if (!warnings.empty()) Say(warnings);
  Refresh(true);
}

// ---- refresh and destination ---------------------------------------------------------------

void CFlash::ShowInfo() {
  std::string port;
  (void)DescribePort(PortNumber(), port, ports_.Sources());
  std::string info = "Connection: " + port + "\r\nConfiguration: " + FormatBoardConfig(config_);
  if (selectedBoard_) info += "\r\n" + BoardDescription(*selectedBoard_);
  infoBox_->setPlainText(DisplayText(info));
}

void CFlash::Refresh(bool resetAddress) {
  if (resetAddress) {
    startHighBox_->setText(QStringLiteral("0000"));
    startLowBox_->setText(QStringLiteral("0000"));
  }
  ShowInfo();

  destinationBox_->clear();
  destinationBox_->addItem(QString::fromLatin1(DestinationText(DestNone)), DestNone);
  if (selectedBoard_) {
    for (int32_t code : OfferedDestinations(config_, selectedBoard_)) {
      destinationBox_->addItem(QString::fromLatin1(DestinationText(code)), code);
    }
  }
  if (destinationBox_->count() == 2) {
    destinationBox_->setCurrentIndex(1);
  } else if (destinationBox_->count() == 1) {
    destinationBox_->clear();
    destinationBox_->addItem(QStringLiteral("No valid configuration!!!"), DestNone);
    destinationBox_->setCurrentIndex(0);
  } else {
    destinationBox_->setCurrentIndex(0);
  }
  OnDestinationChanged();
}

void CFlash::OnDestinationChanged() {
  job_.destination = destinationBox_->currentIndex() >= 0 ? destinationBox_->currentData().toInt() : DestNone;
  const uint32_t start = StartAddress();
  SetStartAddress(DestinationStartAddress(job_.destination, start));
  const bool ready = job_.destination != DestNone && job_.image.size > 0;
  programButton_->setEnabled(ready);
  verifyButton_->setEnabled(ready);
}

// ---- start address and size ----------------------------------------------------------------

bool CFlash::StartBoxesValid() const {
  for (const QLineEdit* box : {startHighBox_, startLowBox_}) {
    const std::string text = S(box->text());
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
      return false;
    }
  }
  return true;
}

uint32_t CFlash::StartAddress() {
  const uint32_t high = ReadHex(S(startHighBox_->text()));
  const uint32_t low = ReadHex(S(startLowBox_->text()));
  return ((high == VALUE_INVALID ? 0 : high) & 0xFFFF) * 0x10000u + ((low == VALUE_INVALID ? 0 : low) & 0xFFFF);
}

void CFlash::SetStartAddress(uint32_t address) {
  startHighBox_->setText(Q(HexFixed(address >> 16, 4)));
  startLowBox_->setText(Q(HexFixed(address & 0xFFFF, 4)));
}

void CFlash::OnStartBoxEdited(QLineEdit* box) {
  if (job_.hexFile) return;  // a HEX file carries its own addresses
  uint32_t value = ReadHex(AsciiUpper(S(box->text())));
  if (value == VALUE_INVALID) {
    Say("Invalid Hex");
    value = 0;
  }
  box->setText(Q(HexFixed(value & 0xFFFF, 4)));
}

void CFlash::OnSizeBoxEdited() {
  if (job_.hexFile || sizeBox_->text().isEmpty()) return;
  if (job_.image.size == 0) {
    Say("Please select file first");
    sizeBox_->clear();
    return;
  }
  const uint32_t size = static_cast<uint32_t>(job_.image.size);
  uint32_t value = ReadHex(AsciiUpper(S(sizeBox_->text())));
  if (value == VALUE_INVALID || value > size) {
    Say("Invalid size");
    value = size;
  }
  job_.image.programLength = static_cast<int32_t>(std::min(value, size));
  sizeBox_->setText(Q(Hex(static_cast<uint32_t>(job_.image.programLength))));
}

// ---- files ---------------------------------------------------------------------------------

bool CFlash::LoadImageFile(const std::string& path) {
  if (NineFamily() && EqualsNoCase(ExtensionOf(path), "efu")) {
    OpenEfuseDialog(path);
    return false;  // no image was loaded
  }
  job_.imagePath = path;
  job_.hexFile = CarriesAddresses(ImageFormatOf(path));
  std::string error;
  if (!LoadImageByExtension(job_.image, path, error)) {
    Say("Cannot open specified file");
    pathBox_->clear();
    job_.hexFile = false;
    ResizeImage(job_.image, 0);
    return false;
  }
  DetectImageKind(job_.image);
  pathBox_->setText(Q(path));
  pathBox_->setCursorPosition(static_cast<int>(pathBox_->text().size()));
  if (job_.image.kind != IMAGE_RAW) SetStartAddress(job_.image.kindAddress);
  // The EFU data belongs to the image: a new image drops the old data, and an encrypted
  // firmware for a 9xxx brings the EFU file beside it.
  efu_ = EfuData{};
  if (NineFamily() && job_.image.kind == IMAGE_ENCRYPTED_FIRMWARE) {
    std::string message;
    if (!LoadEfuBeside(path, efu_, message)) Say(message, kEfuParseErrorCaption);
  }
  // The kind texts double an ampersand for the label's mnemonic syntax; a plain label shows
  // its text as it is.
  fileLabel_->setText(Q(ShownLabelText(ImageKindText(job_.image, efu_))));
  sizeBox_->setText(Q(Hex(static_cast<uint32_t>(job_.image.size))));
  return true;
}

void CFlash::OnSelectFile() {
  if (lastDir_.empty()) {
    QSettings settings;
    lastDir_ = S(settings.value(QStringLiteral("Settings/LastDir")).toString());
  }
  QFileDialog dialog(this, QString(), Q(lastDir_));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({QStringLiteral("Binary-Files (*.bin *.hex *.srec *.s19 *.s28 *.s37 *.mot *.elf)"),
                         QStringLiteral("Intel HEX (*.hex)"),
                         QStringLiteral("S-Records (*.srec *.s19 *.s28 *.s37 *.mot)"), QStringLiteral("ELF (*.elf)"),
                         QStringLiteral("eFuse-Files (*.efu)"), QStringLiteral("All (*)")});
  if (!job_.imagePath.empty()) dialog.selectFile(Q(job_.imagePath));
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    const std::string path = S(dialog.selectedFiles().front());
    (void)LoadImageFile(path);
    std::string folder = FolderOf(path);
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    lastDir_ = folder;
    QSettings settings;
    settings.setValue(QStringLiteral("Settings/LastDir"), Q(lastDir_));
    settings.sync();
  }
  OnDestinationChanged();
}

void CFlash::DropFiles(const QStringList& paths) {
  if (paths.size() > 1) {
    Say("Please do not drop multiple Files on this Dialog!");
    return;
  }
  if (paths.size() == 1) {
    (void)LoadImageFile(S(paths.front()));
    OnDestinationChanged();
  }
}

void CFlash::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CFlash::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) paths.push_back(url.toLocalFile());
  }
  event->acceptProposedAction();
  DropFiles(paths);
}

void CFlash::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F10) {
    commandMenu_->popup(menuButton_->mapToGlobal(QPoint(0, menuButton_->height())));
    return;
  }
  QDialog::keyPressEvent(event);
}

// ---- COM port ------------------------------------------------------------------------------

void CFlash::OnComButton() {
  // A scan may probe the port the window is linked through: the window lets it go first.
  StopConnectionPoll();
  link_.CloseLink(false);
  link_.SetLinked(false);
  ComSelectDialog dialog(prompt_, ports_, comIndex_, doubleBaud_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  comIndex_ = dialog.ComIndex();
  doubleBaud_ = dialog.DoubleBaud();
  link_.CloseLink(false);
  link_.SetLinked(false);
  Refresh(false);
}

// ---- actions -------------------------------------------------------------------------------

bool CFlash::BeginAction() {
  if (actionRunning_) return false;
  actionRunning_ = true;
  cancelMarked_ = false;
  deviceWork_ = false;
  longestGap_ = std::chrono::milliseconds(0);
  lastPump_ = std::chrono::steady_clock::now();
  filter_ = std::make_unique<ActionFilter>();
  prompt_.SetWaitCursor(true);
  return true;
}

void CFlash::EndAction() {
  // Input that arrived during the action is dropped, not replayed.
  QCoreApplication::processEvents();
  filter_.reset();
  actionRunning_ = false;
}

void CFlash::RunAction(bool program) {
  if (!BeginAction()) return;
  lastAfterFirmware_ = AfterFirmwareResult{};
  if (program) {
    StopConnectionPoll();
    link_.CloseLink(false);
    link_.SetLinked(false);
  }
  std::string error;
  std::string failureReason;
  bool ran = false;
  if (!StartBoxesValid()) {
    // Never guess an address: a box that does not hold a number stops the action here.
    error = "Invalid Hex";
  } else if (!program || EncryptionAccepted()) {
    int32_t status = StatusReady;
    {
      FlashIf session(*this);
      ran = program ? job_.ProgramImage(session, error) : job_.VerifyImage(session, error);
      status = session.statusCode;
      // What the comparison left untouched stays in the position box after the run.
      if (program && ran && session.unchanged.compared > 0) {
        ShowPositionText("Unchanged: " + std::to_string(session.unchanged.skipped) + " of " +
                         std::to_string(session.unchanged.compared) + " sectors");
      }
      // A status line such as "Aborted by User" does not tell a lost link from a cancel.
      failureReason = session.failureReason;
    }
    // A destination whose programming does not read back is verified now when the user wants it.
    if (program && ran && status == StatusProgrammed && verifyAfterProgram_) {
      FlashIf session(*this);
      ran = job_.VerifyImage(session, error) && session.statusCode == StatusVerified;
      if (failureReason.empty()) failureReason = session.failureReason;
    }
    if (program && ran && NineFamily() && efu_.flags != 0) {
      FlashIf session(*this);
      // The firmware runs only with its eFuses: burn them now. Warnings and a failed burn are
      // told through the prompt.
      lastAfterFirmware_ = BurnAfterFirmware(session, efu_);
      // The status line still says the firmware is in, in green; without its eFuses it may not
      // boot, so a burn that failed (or fuses that could not be read) must not look like success.
      const AfterFirmwareResult& fuses = lastAfterFirmware_;
      const bool readFailed = !fuses.attempted && !fuses.warnings.empty();
      if (readFailed || (fuses.attempted && !fuses.burn.verified)) ShowStatusLine(kEfuseFailedStatus, ColourRed);
    }
  }
  prompt_.SetWaitCursor(false);
  if (!ran && !error.empty()) Say(error);
  if (ran && !failureReason.empty()) Say(failureReason);
  EndAction();
}

bool CFlash::NineFamily() const { return config_.chip && config_.chip->familyCode == FAMILY_9XXX; }

bool CFlash::EncryptionAccepted() {
  if (!NineFamily() || job_.image.kind != IMAGE_ENCRYPTED_FIRMWARE) return true;
  // The boot source the firmware was built for: host boot is marked in the image itself (an
  // image too short for that word is checked as any other and fails the check).
  BootSource source = BOOT_REGULAR;
  if (job_.image.size > 6 && (job_.image.words[6] & 1))
    source = BOOT_HOST;
  else if (job_.destination == DestNand)
    source = BOOT_NAND;
  std::string message;
  if (CheckFirmwareEncryption(job_.image, efu_, source, message, StartAddress())) return true;
  return Ask(message + "\r\nProgram anyway?", "Invalid Encryption", PromptButtons::YesNo) == PromptAnswer::Yes;
}

void CFlash::OpenEfuseDialog(const std::string& path) {
  FlashIf session(*this);
  EfuseDialog dialog(session, path, this);
  dialog.exec();
}

void CFlash::OnProgram() { RunAction(true); }
void CFlash::OnVerify() { RunAction(false); }

// ---- autodetect ----------------------------------------------------------------------------

void CFlash::AutodetectAndCreateBdl() {
  if (!BeginAction()) return;
  // How long the scan takes depends on what answers: the bar only shows that it runs.
  progressBar_->setRange(0, 0);
  lastAutodetect_ = RunAutodetect(*this, job_.catalogue, [this](const std::vector<DetectedDevice>& devices) {
    return ChooseDetectedDevice(devices);
  });
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  prompt_.SetWaitCursor(false);
  EndAction();
  if (!lastAutodetect_.detected) return;  // the run has said why
  MakeBdlDialog dialog(lastAutodetect_.draft, configFolder_, prompt_, this);
  dialog.setObjectName(QStringLiteral("3000"));
  if (dialog.exec() != QDialog::Accepted) return;
  ReloadBoards(dialog.Draft().title);
}

int CFlash::ChooseDetectedDevice(const std::vector<DetectedDevice>& devices) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("deviceMenu"));
  menu.addAction(QStringLiteral("Select Device:"))->setEnabled(false);
  menu.addSeparator();
  for (size_t i = 0; i < devices.size(); ++i) {
    // A menu reads '&' as a mnemonic mark; a name shows as it is.
    QString text = Q(DetectedDeviceText(devices[i]));
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    menu.addAction(text)->setData(static_cast<int>(i));
  }
  QAction* picked = nullptr;
  {
    const UserInputScope input(actionRunning_);
    picked = menu.exec(QCursor::pos());
  }
  return picked != nullptr && picked->data().isValid() ? picked->data().toInt() : -1;
}

void CFlash::ReloadBoards(const std::string& title) {
  // The window's pointers into the list die with it: the selector is filled again at once.
  boards_.Free();
  std::string ignored;  // not shown here: a board that does not parse stays out of the selector
  (void)LoadBoardFolder(boards_, configFolder_, ignored);
  QSettings settings;
  std::string setting;
  if (!title.empty()) {
    settings.setValue(QStringLiteral("Settings/Board"), Q(title));
  } else {
    setting = S(settings.value(QStringLiteral("Settings/Board")).toString());
  }
  selectedBoard_ = BoardToSelect(boards_, title, setting);
  FillBoardSelector();
  Refresh(true);
}

bool CFlash::PumpAndCheckCancel(bool mayAsk) {
  if (!filter_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastPump_ >= kPumpInterval) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (deviceWork_) {
      longestGap_ = std::max(longestGap_, std::chrono::duration_cast<std::chrono::milliseconds>(now - lastPump_));
    }
    lastPump_ = std::chrono::steady_clock::now();
  }
  if (mayAsk && filter_->TakeEscape() &&
      Ask("Stop current process?", nullptr, PromptButtons::YesNo) == PromptAnswer::Yes) {
    cancelMarked_ = true;
  }
  return cancelMarked_;
}

bool CFlash::CancelRequested() {
  if (!deviceWork_) {
    // The session checks from here on: the link is up and device work runs.
    deviceWork_ = true;
    lastPump_ = std::chrono::steady_clock::now() - kPumpInterval;
  }
  return PumpAndCheckCancel(true);
}

void CFlash::StartConnectionPoll() { pollTimer_.start(); }
void CFlash::StopConnectionPoll() { pollTimer_.stop(); }

void CFlash::OnPollTick() {
  if (actionRunning_ || link_.linked()) return;
  pollTimer_.stop();
  if (link_.Connect(&comIf_, PortNumber(), doubleBaud_, config_) != LINK_OK) {
    Say("Cannot initialize target board");
    return;
  }
  pollTimer_.start();
}

void CFlash::OnPortsChanged(const std::vector<PortEvent>& changes) {
  const auto path = ports_.PathOf(PortNumber());
  const std::string port = "COM" + std::to_string(PortNumber());
  for (const PortEvent& change : changes) {
    if (!path || change.device.path != *path || actionRunning_) continue;
    if (change.kind == PortEvent::Kind::Removed && (link_.linked() || pollTimer_.isActive())) {
      // Polling a port that is not there would only repeat "Cannot initialize target board".
      StopConnectionPoll();
      link_.CloseLink(false);
      link_.SetLinked(false);
      linkedPortGone_ = true;
      ShowStatusLine(port + " has gone: linking again when it returns", ColourYellow);
    } else if (change.kind == PortEvent::Kind::Added && linkedPortGone_) {
      linkedPortGone_ = false;
      ShowStatusLine(port + " is back", ColourNormal);
      OnPollTick();
    }
  }
  if (!actionRunning_) ShowInfo();
}

// ---- status, position, progress ------------------------------------------------------------

void CFlash::ShowStatusLine(const std::string& text, int colourClass) {
  colourClass_ = colourClass;
  ShowColouredStatus(*statusLine_, Q(text), colourClass);
}

void CFlash::ShowPositionText(const std::string& text) { positionBox_->setText(Q(text)); }

void CFlash::SetRange(int32_t low, int32_t high) { progressBar_->setRange(low, std::max(low, high)); }
void CFlash::SetPosition(int32_t position) { progressBar_->setValue(position); }

// ---- messages ------------------------------------------------------------------------------

PromptAnswer CFlash::Ask(const std::string& text, const char* caption, PromptButtons buttons) {
  return prompt_.Ask(text, caption ? caption : "Tessaro", buttons);
}

bool CFlash::Say(const std::string& text, const char* caption) {
  (void)Ask(text, caption, PromptButtons::Ok);
  return false;
}

// ---- menu commands -------------------------------------------------------------------------

void CFlash::ExportDeviceList() {
  // The last folder used; the first time the drivers folder, unless it cannot be written (as
  // once installed), then the home folder.
  QSettings settings;
  std::string folder = S(settings.value(QString::fromLatin1(kExportDirKey)).toString());
  if (folder.empty() || !IsDirectory(folder)) {
    folder = IsDirectory(driversFolder_) && ::access(driversFolder_.c_str(), W_OK) == 0 ? driversFolder_
                                                                                        : S(QDir::homePath());
  }
  const QString proposed = Q(JoinPath(folder, "DeviceList.txt"));
  const QStringList filters = {QStringLiteral("Text-Files (*.txt)"), QStringLiteral("CSV-Files (*.csv)")};
  QFileDialog dialog(this, QStringLiteral("Export Device List"), proposed);
  dialog.setObjectName(QStringLiteral("exportDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  // The suffix follows the chosen format, and so does a name still carrying the other one.
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, &filters](const QString& filter) {
    const bool csv = filter == filters[1];
    dialog.setDefaultSuffix(csv ? QStringLiteral("csv") : QStringLiteral("txt"));
  });
  dialog.selectFile(proposed);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const bool csv = dialog.selectedNameFilter() == filters[1];
  const std::string path = DeviceListFileName(S(dialog.selectedFiles().front()), csv);
  settings.setValue(QString::fromLatin1(kExportDirKey), Q(FolderOf(path)));
  settings.sync();
  if (!tessaro::ExportDeviceList(job_.catalogue, path, csv)) {
    Say("The device list could not be written to " + path + "\r\nPlease choose a folder you may write to.");
  }
}

void CFlash::ShowAbout() {
  if (link_.interfaceRevision() == 0) {
    (void)link_.OpenLink(&comIf_, PortNumber(), doubleBaud_);
    link_.CloseLink(true);
  }
  std::string extra;
  if (link_.interfaceRevision() != 0) extra = "USB-PRB-IF Rev " + std::to_string(link_.interfaceRevision());
  AboutDialog dialog(extra, this);
  dialog.exec();
}

}  // namespace tessaro::app
