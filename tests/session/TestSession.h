// A session for tests: records what it shows, answers EnsureLinked as told, and cancels at a
// chosen cancel check.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "flash/FlashDriverIf.h"

namespace tessaro::testing {

class RecordingBar : public ProgressBarIf {
 public:
  void SetRange(int32_t low, int32_t high) override { ranges.emplace_back(low, high); }
  void SetPosition(int32_t position) override { positions.push_back(position); }
  std::vector<std::pair<int32_t, int32_t>> ranges;
  std::vector<int32_t> positions;
};

class TestSession : public FlashDriverIf {
 public:
  TestSession(SerialPort* link, BoardConfig* configuration) : FlashDriverIf(link, configuration, &bar) {}

  void ShowStatus(const std::string& text) override { statuses.push_back(text); }
  void ShowPosition(const std::string& text) override { positions.push_back(text); }
  bool CheckCancel() override {
    ++cancelChecks;
    if (cancelAtCheck > 0 && cancelChecks == cancelAtCheck) {
      cancelled = true;
      statusCode = StatusAborted;
      ReportStatus();
      return true;
    }
    return false;
  }
  bool EnsureLinked() override {
    ++ensureLinkedCalls;
    return linkAnswer;
  }
  uint32_t GetStartAddress() override { return startAddress; }
  void SetStartAddress(uint32_t address) override { startAddress = address; }
  uint32_t GetImageOffset() override { return 0; }
  void* GetHostWindow() override { return nullptr; }

  RecordingBar bar;
  std::vector<std::string> statuses;
  std::vector<std::string> positions;
  int cancelChecks = 0;
  int cancelAtCheck = 0;
  int ensureLinkedCalls = 0;
  bool linkAnswer = true;
  uint32_t startAddress = 0;
};

}  // namespace tessaro::testing
