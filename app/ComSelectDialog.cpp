#include "app/ComSelectDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <mutex>

#include "app/DialogUnits.h"
#include "link/SerialPort.h"

namespace tessaro::app {
namespace {

// The scan thread's link callback: a stop asked for by the dialog ends the probe's waits.
class ScanCallback : public CLyrComIf {
 public:
  explicit ScanCallback(const std::atomic<bool>& stop) : stop_(stop) {}
  bool AbortRequested() override { return stop_.load(); }

 private:
  const std::atomic<bool>& stop_;
};

// The scan thread must not open message boxes: what a probe wants to say is kept and shown by
// the dialog when the scan ends, and a question (a secured chip to erase) is answered No, as a
// scan must change nothing on a target.
class ScanPrompt : public PromptIf {
 public:
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override {
    if (buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel) return PromptAnswer::No;
    const std::lock_guard lock(mutex_);
    messages_.push_back({text, caption});
    return buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel : PromptAnswer::Ok;
  }
  std::vector<ScanMessage> Messages() {
    const std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<ScanMessage> messages_;
};

}  // namespace

ComSelectDialog::ComSelectDialog(PromptIf& prompt, AppPorts& ports, int comIndex, bool doubleBaud, QWidget* parent)
    : QDialog(parent), prompt_(prompt), ports_(ports), comIndex_(comIndex), doubleBaud_(doubleBaud) {
  setWindowTitle(QStringLiteral("COM Port Select"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(220, 70));
  portBox_ = du.Place(new QComboBox(this), "1515", 8, 8, 150, 12);
  scanButton_ = du.Place(new QPushButton(QStringLiteral("Scan"), this), "1516", 164, 8, 48, 14);
  doubleBaudBox_ = du.Place(new QCheckBox(QStringLiteral("Use 115kBaud with legacy serial PRB-IF3 board"), this),
                            "1508", 8, 28, 204, 10);
  doubleBaudBox_->setChecked(doubleBaud_);
  scanProgress_ = du.Place(new QProgressBar(this), "scanProgress", 8, 50, 96, 10);
  scanProgress_->setFormat(QStringLiteral("Scanning %v/%m"));
  scanProgress_->hide();
  auto* ok = du.Place(new QPushButton(QStringLiteral("OK"), this), "1", 110, 48, 48, 14);
  auto* cancel = du.Place(new QPushButton(QStringLiteral("Cancel"), this), "2", 164, 48, 48, 14);
  ok->setDefault(true);
  scanButton_->setAutoDefault(false);
  cancel->setAutoDefault(false);
  connect(scanButton_, &QPushButton::clicked, this, &ComSelectDialog::StartScan);
  connect(ok, &QPushButton::clicked, this, &ComSelectDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &ComSelectDialog::reject);

  Reload(static_cast<uint32_t>(comIndex_) + 1);
  portListener_ = ports_.Subscribe([this](const std::vector<PortEvent>&) { OnPortsChanged(); });
}

void ComSelectDialog::Reload(uint32_t selectedPort) {
  entries_.clear();
  EnumeratePorts(entries_, ports_.Sources());
  int position = -1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].portNumber == selectedPort) {
      position = static_cast<int>(i);
      break;
    }
  }
  if (position < 0) {
    InsertPortEntry(entries_, PortEntry{selectedPort, "(unavailable)"});
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].portNumber == selectedPort && entries_[i].name == "(unavailable)") position = static_cast<int>(i);
    }
  }
  Fill(position);
}

void ComSelectDialog::OnPortsChanged() {
  // A running scan reports by index into the list it started with: the list changes after it.
  if (Scanning()) {
    reloadAfterScan_ = true;
    return;
  }
  const int current = portBox_->currentIndex();
  Reload(current >= 0 ? static_cast<uint32_t>(portBox_->currentData().toInt()) : static_cast<uint32_t>(comIndex_) + 1);
}

ComSelectDialog::~ComSelectDialog() {
  ports_.Unsubscribe(portListener_);
  StopScan();
}

void ComSelectDialog::Fill(int selected) {
  if (selected < 0) selected = portBox_->currentIndex();
  portBox_->clear();
  for (const PortEntry& entry : entries_) {
    portBox_->addItem(QString::fromLocal8Bit(PortLine(entry, std::nullopt).c_str()), entry.portNumber);
  }
  portBox_->setCurrentIndex(selected);
}

void ComSelectDialog::StartScan() {
  if (Scanning()) return;
  stopScan_ = false;
  scanButton_->setEnabled(false);
  scanProgress_->setRange(0, static_cast<int>(entries_.size()));
  scanProgress_->setValue(0);
  scanProgress_->show();
  // The thread works on its own copy of the list and its own link (the window's is not
  // touched); results come back to the dialog's thread as queued calls.
  worker_ = std::thread([this, entries = entries_, opener = ports_.Opener()] {
    ScanPrompt prompt;
    ScanCallback callback(stopScan_);
    SerialPort probe;
    probe.SetPortOpener(opener);
    probe.SetPrompt(&prompt);
    for (size_t i = 0; i < entries.size() && !stopScan_; ++i) {
      const ChipInfo* chip = probe.ProbePort(&callback, entries[i].portNumber, false);
      probe.CloseLink(true);
      if (stopScan_) break;
      const std::string result = chip ? std::string(chip->name) : std::string("n/a");
      QMetaObject::invokeMethod(
          this, [this, i, result] { OnPortProbed(i, result); }, Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        this, [this, messages = prompt.Messages()] { OnScanEnded(messages); }, Qt::QueuedConnection);
  });
}

void ComSelectDialog::OnPortProbed(size_t index, const std::string& result) {
  if (index < entries_.size() && static_cast<int>(index) < portBox_->count()) {
    portBox_->setItemText(static_cast<int>(index), QString::fromLocal8Bit(PortLine(entries_[index], result).c_str()));
  }
  scanProgress_->setValue(static_cast<int>(index) + 1);
}

void ComSelectDialog::OnScanEnded(const std::vector<ScanMessage>& messages) {
  if (worker_.joinable()) worker_.join();
  scanProgress_->hide();
  scanButton_->setEnabled(true);
  if (stopScan_) return;  // closed while probing: nothing more to say
  if (reloadAfterScan_) {
    reloadAfterScan_ = false;
    OnPortsChanged();
  }
  std::vector<ScanMessage> shown;
  for (const ScanMessage& message : messages) {
    if (std::find(shown.begin(), shown.end(), message) != shown.end()) continue;
    shown.push_back(message);
    (void)prompt_.Ask(message.text, message.caption, PromptButtons::Ok);
  }
}

void ComSelectDialog::StopScan() {
  stopScan_ = true;
  if (worker_.joinable()) worker_.join();
}

void ComSelectDialog::accept() {
  StopScan();
  if (portBox_->currentIndex() >= 0) comIndex_ = portBox_->currentData().toInt() - 1;
  doubleBaud_ = doubleBaudBox_->isChecked();
  QDialog::accept();
}

void ComSelectDialog::reject() {
  StopScan();
  QDialog::reject();
}

}  // namespace tessaro::app
