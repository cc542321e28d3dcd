#include "app/EfuseDialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/StatusLine.h"
#include "flash/FlashDriverIf.h"

namespace tessaro::app {
namespace {

constexpr const char* kBurnConfirmCaption = "Program eFuses";

QString Q(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

EfuseDialog::EfuseDialog(FlashDriverIf& session, const std::string& efuPath, QWidget* parent)
    : QDialog(parent), session_(session), logic_(session, efuPath) {
  BuildControls();
  if (!logic_.parseFailure().empty()) {
    (void)session.ShowMessage(logic_.parseFailure(), kEfuParseErrorCaption, PromptButtons::Ok);
  }
  logic_.Initialise();
  ShowState();
}

void EfuseDialog::BuildControls() {
  setWindowTitle(QStringLiteral("LYR9xxx eFuse Programming"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(236, 139));

  sessionLabel_ = du.Place(new QLabel(this), "4010", 170, 5, 60, 8);
  du.Place(new QLabel(QStringLiteral("AES Key"), this), nullptr, 10, 10, 29, 8);
  aesBox_ = du.Place(new QLineEdit(this), "4001", 10, 21, 215, 14);
  aesBox_->setEnabled(false);
  programmedLabel_ = du.Place(new QLabel(this), "4009", 10, 34, 215, 8);
  // The options show what will be burned; only the session close is the user's choice.
  sssBootBox_ = du.Place(new QCheckBox(QStringLiteral("Enable SSS Boot"), this), "4002", 10, 50, 71, 10);
  midiOutBox_ = du.Place(new QCheckBox(QStringLiteral("Enable MIDI Out"), this), "4003", 10, 65, 69, 10);
  watchdogBox_ = du.Place(new QCheckBox(QStringLiteral("Enable Watchdog"), this), "4005", 10, 79, 73, 10);
  for (QCheckBox* box : {sssBootBox_, midiOutBox_, watchdogBox_}) box->setEnabled(false);
  du.Place(new QLabel(QStringLiteral("Serial Number (hex)"), this), nullptr, 115, 50, 62, 8)->hide();
  auto* serialBox = du.Place(new QLineEdit(this), "4006", 115, 60, 110, 14);
  serialBox->setEnabled(false);
  serialBox->hide();
  du.Place(new QLabel(this), "4008", 115, 74, 105, 8);
  secureBox_ = du.Place(new QCheckBox(QStringLiteral("Secure Session"), this), "4004", 161, 90, 65, 10);
  programButton_ = du.Place(new QPushButton(QStringLiteral("Program eFuses"), this), "1", 150, 105, 74, 14);
  programButton_->setDefault(true);
  programButton_->setEnabled(false);
  connectButton_ = du.Place(new QPushButton(QStringLiteral("Connect"), this), "4011", 95, 105, 50, 14);
  auto* abortButton = du.Place(new QPushButton(QStringLiteral("Abort"), this), "2", 40, 105, 50, 14);
  statusLine_ = du.Place(new QLineEdit(this), "4007", 0, 125, 235, 14);
  statusLine_->setReadOnly(true);
  statusLine_->setAutoFillBackground(true);

  connectButton_->setAutoDefault(false);
  abortButton->setAutoDefault(false);
  connect(programButton_, &QPushButton::clicked, this, &EfuseDialog::OnProgram);
  connect(connectButton_, &QPushButton::clicked, this, &EfuseDialog::OnConnect);
  connect(abortButton, &QPushButton::clicked, this, &QDialog::reject);
}

void EfuseDialog::OnConnect() {
  logic_.Connect();
  ShowState();
}

void EfuseDialog::OnProgram() {
  logic_.SetSecureSession(secureBox_->isChecked());
  // Burned bits stay burned: say what will be burned and burn only on Yes.
  const EfusePlan plan = logic_.Plan();
  if (logic_.programEnabled() && !plan.bits.empty()) {
    const std::string question = BurnPlanText(plan, logic_.efu().aes) + "\r\nProgram eFuses now?";
    if (session_.ShowMessage(question, kBurnConfirmCaption, PromptButtons::YesNo) != PromptAnswer::Yes) {
      ShowState();
      return;
    }
  }
  (void)logic_.ProgramEfuses();  // the status line tells how it went
  ShowState();
}

void EfuseDialog::ShowState() {
  aesBox_->setText(Q(logic_.aesText()));
  sessionLabel_->setText(logic_.fusesRead() ? Q(logic_.sessionText()) : QString());
  programmedLabel_->setText(Q(logic_.programmedKeyText()));
  sssBootBox_->setChecked(logic_.sssBoot());
  midiOutBox_->setChecked(logic_.midiOut());
  watchdogBox_->setChecked(logic_.watchdog());
  secureBox_->setChecked(logic_.secureSession());
  programButton_->setEnabled(logic_.programEnabled());
  ShowColouredStatus(*statusLine_, Q(logic_.status()), logic_.colourClass());
}

}  // namespace tessaro::app
