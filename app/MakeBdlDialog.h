// "Create BDL from Autodetect": the board definition the detection found, shown as the text
// of its file. The user picks the chip of the detected family and types the board's title; the
// preview follows every change. Save&&Close writes the file (by default into the config
// folder, named after the title).
#pragma once
#include <QDialog>
#include <string>
#include "platform/Prompt.h"
#include "tools/Autodetect.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace tessaro::app {

class MakeBdlDialog : public QDialog {
 public:
  MakeBdlDialog(const BdlDraft& draft, std::string configFolder, PromptIf& prompt, QWidget* parent = nullptr);

  // The draft as the controls have it now (chip and title).
  const BdlDraft& Draft() const { return draft_; }
  // The file text the preview shows.
  std::string Text() const { return BuildBdlText(draft_); }
  // Where Save&&Close wrote the file (empty until then).
  const std::string& SavedPath() const { return savedPath_; }

  void OnChipChanged();
  void OnTitleEdited();
  // Asks for the file (config folder, title as its name) and writes it; the dialog stays open
  // without a title, when the file dialog is cancelled or when the file cannot be written.
  void OnSave();

 private:
  void BuildControls();
  void ShowPreview();

  BdlDraft draft_;
  std::string configFolder_;
  PromptIf& prompt_;
  std::string savedPath_;
  QComboBox* chipBox_ = nullptr;
  QLineEdit* titleBox_ = nullptr;
  QPlainTextEdit* previewBox_ = nullptr;
};

}  // namespace tessaro::app
