#include "app/MakeBdlDialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <utility>

#include "app/AppPrompt.h"
#include "app/DialogUnits.h"
#include "chips/ChipCatalogue.h"
#include "platform/Files.h"

namespace tessaro::app {
namespace {

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

MakeBdlDialog::MakeBdlDialog(const BdlDraft& draft, std::string configFolder, PromptIf& prompt, QWidget* parent)
    : QDialog(parent), draft_(draft), configFolder_(std::move(configFolder)), prompt_(prompt) {
  BuildControls();
  // The chips of the detected family, the detected one selected (the first when the catalogue
  // does not list it there).
  int selected = 0;
  for (const ChipInfo* chip : ChipChoices(draft_.config)) {
    if (chip == draft_.config.chip) selected = chipBox_->count();
    chipBox_->addItem(QString::fromLatin1(chip->name), QVariant::fromValue(reinterpret_cast<quintptr>(chip)));
  }
  if (chipBox_->count() > 0) {
    chipBox_->setCurrentIndex(selected);
    OnChipChanged();
  }
  titleBox_->setText(Q(draft_.title));
  ShowPreview();
}

void MakeBdlDialog::BuildControls() {
  setWindowTitle(QStringLiteral("Create BDL from Autodetect"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(236, 133));

  // A drop-down list: its height in the template is that of the opened list.
  chipBox_ = du.Place(new QComboBox(this), "3001", 13, 18, 67, 12);
  // The labels may grow to their text: the desktop's font is often wider than the one the
  // boxes were drawn for.
  for (QLabel* label : {du.Place(new QLabel(QStringLiteral("CPU"), this), nullptr, 13, 8, 16, 8),
                        du.Place(new QLabel(QStringLiteral("Board Title"), this), nullptr, 85, 7, 35, 8)}) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
  }
  titleBox_ = du.Place(new QLineEdit(this), "3002", 85, 17, 135, 14);
  previewBox_ = du.Place(new QPlainTextEdit(this), "3003", 13, 38, 208, 67);
  previewBox_->setReadOnly(true);
  auto* abortButton = du.Place(new QPushButton(QStringLiteral("Abort"), this), "2", 120, 110, 50, 14);
  auto* saveButton = du.Place(new QPushButton(QStringLiteral("Save&&Close"), this), "1", 174, 110, 50, 14);
  abortButton->setAutoDefault(false);
  saveButton->setDefault(true);

  connect(chipBox_, &QComboBox::activated, this, [this](int) { OnChipChanged(); });
  connect(titleBox_, &QLineEdit::textChanged, this, [this](const QString&) { OnTitleEdited(); });
  connect(abortButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(saveButton, &QPushButton::clicked, this, &MakeBdlDialog::OnSave);
}

void MakeBdlDialog::OnChipChanged() {
  const int index = chipBox_->currentIndex();
  if (index >= 0) draft_.config.chip = reinterpret_cast<const ChipInfo*>(chipBox_->itemData(index).value<quintptr>());
  ShowPreview();
}

void MakeBdlDialog::OnTitleEdited() {
  draft_.title = S(titleBox_->text());
  ShowPreview();
}

void MakeBdlDialog::ShowPreview() { previewBox_->setPlainText(DisplayText(Text())); }

void MakeBdlDialog::OnSave() {
  draft_.title = S(titleBox_->text());
  if (draft_.title.empty()) {
    (void)prompt_.Ask(kNoTitleSet, "Tessaro", PromptButtons::Ok);
    return;
  }
  QFileDialog dialog(this, QString(), Q(configFolder_));
  dialog.setObjectName(QStringLiteral("saveBdlDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(QStringLiteral("BDL-Files (*.bdl)"));
  dialog.setDefaultSuffix(QStringLiteral("bdl"));
  dialog.selectFile(Q(JoinPath(configFolder_, draft_.title)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;  // the dialog stays open
  const std::string path = S(dialog.selectedFiles().front());
  // A file that was not written must not look saved: say so and let the user choose again.
  if (!SaveBdlFile(path, Text())) {
    (void)prompt_.Ask(
        "The board definition could not be written to " + path + "\r\nPlease choose a folder you may write to.",
        "Tessaro", PromptButtons::Ok);
    return;
  }
  savedPath_ = path;
  accept();
}

}  // namespace tessaro::app
