// The eFuse programming dialog of the 9xxx chips: a view over CProgramEFuse. It shows the EFU
// key, the key and session the chip holds and the options that will be burned; Connect reads
// the fuses again, Program eFuses burns. Questions go through the session's host, so the
// window's prompt (or a test's scripted one) answers them.
#pragma once
#include <QDialog>
#include <string>
#include "efuse/ProgramEFuse.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro::app {

class EfuseDialog : public QDialog {
 public:
  // Parses the EFU file (a parse failure is shown once, the dialog opens all the same), then
  // shows the key and connects.
  EfuseDialog(FlashDriverIf& session, const std::string& efuPath, QWidget* parent = nullptr);

  const CProgramEFuse& Logic() const { return logic_; }
  int StatusColour() const { return logic_.colourClass(); }

  void OnConnect();
  // Asks first, naming what will be burned; No burns nothing.
  void OnProgram();

 private:
  void BuildControls();
  void ShowState();

  FlashDriverIf& session_;
  CProgramEFuse logic_;
  QLabel* sessionLabel_ = nullptr;
  QLineEdit* aesBox_ = nullptr;
  QLabel* programmedLabel_ = nullptr;
  QCheckBox* sssBootBox_ = nullptr;
  QCheckBox* midiOutBox_ = nullptr;
  QCheckBox* watchdogBox_ = nullptr;
  QCheckBox* secureBox_ = nullptr;
  QPushButton* programButton_ = nullptr;
  QPushButton* connectButton_ = nullptr;
  QLineEdit* statusLine_ = nullptr;
};

}  // namespace tessaro::app
