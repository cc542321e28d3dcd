// A programming front end for tests: a simulated board on an in-process port, the link, a
// board configuration, and a FlashHost that records the status line and cancels on demand.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "link/SerialPort.h"
#include "platform/Prompt.h"
#include "session/FlashIf.h"
#include "sim/DriverImageRunner.h"
#include "sim/SimBoard.h"
#include "sim/SimPortDevice.h"
#include "tests/session/TestSession.h"

namespace tessaro::testing {

class AnsweringPrompt : public PromptIf {
 public:
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons) override {
    boxes.push_back(caption + ": " + text);
    return PromptAnswer::Ok;
  }
  std::vector<std::string> boxes;
};

class SimHost : public FlashHost {
 public:
  explicit SimHost(const std::string& chipName, sim::SimOptions options = {}) {
    options.chip = chipName;
    board = sim::SimBoard::Create(options);
    runner = std::dynamic_pointer_cast<sim::DriverImageRunner>(board->RoutineHandler());
    link.SetPortOpener(sim::SimPortOpener(board));
    link.SetPrompt(&prompt);
    LinkTimeouts timeouts;
    timeouts.replyMs = 200;
    timeouts.settleMs = 5;
    link.SetTimeouts(timeouts);
    config = InitBoardConfig();
    config.chip = board->chip();
    (void)ApplyDefaults(config, MEM_INTRAM);
  }

  SerialPort& Link() override { return link; }
  BoardConfig& Configuration() override { return config; }
  ProgressBarIf* ProgressBar() override { return &bar; }
  CLyrComIf* LinkCallback() override { return &callback; }
  uint32_t PortNumber() override { return 1; }
  bool DoubleBaud() override { return false; }
  uint32_t StartAddress() override { return start; }
  void SetStartAddress(uint32_t address) override { start = address; }
  void ShowStatusLine(const std::string& text, int colourClass) override {
    statuses.push_back(text);
    colour = colourClass;
  }
  void ShowPositionText(const std::string& text) override { positions.push_back(text); }
  PromptAnswer Ask(const std::string& text, const char*, PromptButtons buttons) override {
    boxes.push_back(text);
    return buttons == PromptButtons::YesNo ? yesNoAnswer : PromptAnswer::Ok;
  }
  bool CancelRequested() override {
    ++cancelPolls;
    return cancel && cancel(cancelPolls);
  }

  // Links the board the way EnsureLinked does.
  void Prelink() { (void)link.Connect(&callback, 1, false, config); }

  std::string LastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }

  std::shared_ptr<sim::SimBoard> board;
  std::shared_ptr<sim::DriverImageRunner> runner;
  SerialPort link;
  AnsweringPrompt prompt;
  CLyrComIf callback;
  RecordingBar bar;
  BoardConfig config;
  uint32_t start = 0;
  std::vector<std::string> statuses;
  std::vector<std::string> positions;
  std::vector<std::string> boxes;
  int colour = 0;
  PromptAnswer yesNoAnswer = PromptAnswer::No;
  int cancelPolls = 0;
  std::function<bool(int)> cancel;
};

}  // namespace tessaro::testing
