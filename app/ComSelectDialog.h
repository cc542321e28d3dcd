// The COM port selection: the ports this machine has (and the simulated boards of the port
// table), with a scan that probes each for a target, and the legacy board's double baud rate.
// The scan probes in a thread of its own, so the dialog keeps painting, shows how far it got
// and may be closed while a probe runs. The list follows ports that are plugged in and out
// while the dialog is open.
#pragma once
#include <QDialog>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include "app/AppPorts.h"
#include "link/PortList.h"
#include "platform/Prompt.h"

class QCheckBox;
class QComboBox;
class QProgressBar;
class QPushButton;

namespace tessaro::app {

// What a probe said during a scan, shown once the scan has ended.
struct ScanMessage {
  std::string text;
  std::string caption;
  bool operator==(const ScanMessage&) const = default;
};

class ComSelectDialog : public QDialog {
 public:
  ComSelectDialog(PromptIf& prompt, AppPorts& ports, int comIndex, bool doubleBaud, QWidget* parent = nullptr);
  ~ComSelectDialog() override;
  // Valid after OK.
  int ComIndex() const { return comIndex_; }
  bool DoubleBaud() const { return doubleBaud_; }
  // Fills the list (each port without a probe result).
  void Fill(int selected);
  // Lists the ports afresh, keeping COMn selected (as "(unavailable)" when it has gone).
  void Reload(uint32_t selectedPort);
  // Probes every listed port in the background; each line gets its chip (or "n/a") as its
  // probe ends. Does nothing while a scan runs.
  void StartScan();
  bool Scanning() const { return worker_.joinable(); }
  void accept() override;
  void reject() override;

 private:
  // Asks the running scan to stop and waits for its thread.
  void StopScan();
  void OnPortProbed(size_t index, const std::string& result);
  void OnScanEnded(const std::vector<ScanMessage>& messages);
  void OnPortsChanged();

  PromptIf& prompt_;
  AppPorts& ports_;
  int comIndex_;
  bool doubleBaud_;
  std::vector<PortEntry> entries_;
  QComboBox* portBox_ = nullptr;
  QCheckBox* doubleBaudBox_ = nullptr;
  QPushButton* scanButton_ = nullptr;
  QProgressBar* scanProgress_ = nullptr;
  std::atomic<bool> stopScan_{false};
  std::thread worker_;
  int portListener_ = 0;
  bool reloadAfterScan_ = false;  // ports came or went while a scan ran on the old list
};

}  // namespace tessaro::app
