#include "app/ComSelectDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "link/SerialPort.h"

namespace tessaro::app {

ComSelectDialog::ComSelectDialog(PromptIf& prompt, AppPorts& ports, int comIndex, bool doubleBaud, QWidget* parent)
    : QDialog(parent), prompt_(prompt), ports_(ports), comIndex_(comIndex), doubleBaud_(doubleBaud) {
  setWindowTitle(QStringLiteral("COM Port Select"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(220, 70));
  portBox_ = du.Place(new QComboBox(this), "1515", 8, 8, 150, 12);
  auto* scan = du.Place(new QPushButton(QStringLiteral("Scan"), this), "1516", 164, 8, 48, 14);
  doubleBaudBox_ = du.Place(new QCheckBox(QStringLiteral("Use 115kBaud with legacy serial PRB-IF3 board"), this),
                            "1508", 8, 28, 204, 10);
  doubleBaudBox_->setChecked(doubleBaud_);
  auto* ok = du.Place(new QPushButton(QStringLiteral("OK"), this), "1", 110, 48, 48, 14);
  auto* cancel = du.Place(new QPushButton(QStringLiteral("Cancel"), this), "2", 164, 48, 48, 14);
  ok->setDefault(true);
  scan->setAutoDefault(false);
  cancel->setAutoDefault(false);
  connect(scan, &QPushButton::clicked, this, [this] { Fill(-1, true); });
  connect(ok, &QPushButton::clicked, this, &ComSelectDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  EnumeratePorts(entries_, ports_.Sources());
  const uint32_t wanted = static_cast<uint32_t>(comIndex_) + 1;
  int position = -1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].portNumber == wanted) {
      position = static_cast<int>(i);
      break;
    }
  }
  if (position < 0) {
    InsertPortEntry(entries_, PortEntry{wanted, "(unavailable)"});
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].portNumber == wanted && entries_[i].name == "(unavailable)") position = static_cast<int>(i);
    }
  }
  Fill(position, false);
}

void ComSelectDialog::Fill(int selected, bool scan) {
  prompt_.SetWaitCursor(true);
  if (selected < 0) selected = portBox_->currentIndex();
  portBox_->clear();
  SerialPort probe;  // the window's own link is not touched
  probe.SetPortOpener(ports_.Opener());
  probe.SetPrompt(&prompt_);
  CLyrComIf callback;
  for (const PortEntry& entry : entries_) {
    std::optional<std::string> result;
    if (scan) {
      const ChipInfo* chip = probe.ProbePort(&callback, entry.portNumber, false);
      result = chip ? std::string(chip->name) : std::string("n/a");
      probe.CloseLink(true);
    }
    portBox_->addItem(QString::fromLocal8Bit(PortLine(entry, result).c_str()), entry.portNumber);
  }
  portBox_->setCurrentIndex(selected);
  prompt_.SetWaitCursor(false);
}

void ComSelectDialog::accept() {
  if (portBox_->currentIndex() >= 0) comIndex_ = portBox_->currentData().toInt() - 1;
  doubleBaud_ = doubleBaudBox_->isChecked();
  QDialog::accept();
}

}  // namespace tessaro::app
