// The COM port selection: the ports this machine has (and the simulated boards of the port
// table), with a scan that probes each for a target, and the legacy board's double baud rate.
#pragma once
#include <QDialog>
#include <vector>
#include "app/AppPorts.h"
#include "link/PortList.h"
#include "platform/Prompt.h"

class QCheckBox;
class QComboBox;
class QPushButton;

namespace tessaro::app {

class ComSelectDialog : public QDialog {
 public:
  ComSelectDialog(PromptIf& prompt, AppPorts& ports, int comIndex, bool doubleBaud, QWidget* parent = nullptr);
  // Valid after OK.
  int ComIndex() const { return comIndex_; }
  bool DoubleBaud() const { return doubleBaud_; }
  // Fills the list; with `scan`, each port is probed and its chip (or "n/a") shown.
  void Fill(int selected, bool scan);
  void accept() override;

 private:
  PromptIf& prompt_;
  AppPorts& ports_;
  int comIndex_;
  bool doubleBaud_;
  std::vector<PortEntry> entries_;
  QComboBox* portBox_ = nullptr;
  QCheckBox* doubleBaudBox_ = nullptr;
};

}  // namespace tessaro::app
