// A SerialPort linked to an in-process simulated board, with a scripted prompt and callback.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/SerialPort.h"
#include "platform/Prompt.h"
#include "sim/SimBoard.h"
#include "sim/SimPortDevice.h"

namespace tessaro::testing {

// Answers Yes/No boxes with `yesNo` and records every box.
class ScriptedPrompt : public PromptIf {
 public:
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override {
    boxes.push_back(caption + ": " + text);
    if (onAsk) onAsk(text);
    if (buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel) return yesNo;
    return PromptAnswer::Ok;
  }
  bool Saw(const std::string& fragment) const {
    for (const auto& box : boxes)
      if (box.find(fragment) != std::string::npos) return true;
    return false;
  }
  PromptAnswer yesNo = PromptAnswer::No;
  std::vector<std::string> boxes;
  std::function<void(const std::string&)> onAsk;
};

class CountingCallback : public CLyrComIf {
 public:
  void LinkLost() override { ++lost; }
  bool AbortRequested() override { return abort && abort(); }
  int lost = 0;
  std::function<bool()> abort;
};

// Short reply time-outs keep fault tests quick; the boot ROM's own timing stays as it is.
inline LinkTimeouts TestTimeouts() {
  LinkTimeouts timeouts;
  timeouts.replyMs = 300;
  timeouts.settleMs = 5;
  return timeouts;
}

// Fails the running test when the simulated board saw anything a correct host never does,
// unless the test provoked it and said so with `allowed` (then it only prints them).
inline void ExpectNoViolations(sim::SimBoard& board, bool allowed) {
  const std::vector<std::string> violations = board.Violations();
  if (allowed) return;
  for (const auto& text : violations) ADD_FAILURE() << "simulated board: " << text;
}

struct SimLink {
  explicit SimLink(const sim::SimOptions& options) {
    board = sim::SimBoard::Create(options);
    link.SetPortOpener(sim::SimPortOpener(board));
    link.SetPrompt(&prompt);
    link.SetTimeouts(TestTimeouts());
  }
  ~SimLink() {
    if (board) ExpectNoViolations(*board, allowViolations);
  }
  explicit SimLink(const std::string& chip, bool usb = false) : SimLink(Options(chip, usb)) {}

  static sim::SimOptions Options(const std::string& chip, bool usb = false) {
    sim::SimOptions options;
    options.chip = chip;
    options.usbInterface = usb;
    return options;
  }
  // Connect with the chip's default configuration in `mode`.
  int Connect(uint32_t mode = MEM_INTRAM, bool doubleBaud = false) {
    BoardConfig config;
    config.chip = board->chip();
    (void)ApplyDefaults(config, mode);
    return link.Connect(&callback, 1, doubleBaud, config);
  }

  std::shared_ptr<sim::SimBoard> board;
  SerialPort link;
  ScriptedPrompt prompt;
  CountingCallback callback;
  bool allowViolations = false;  // set by tests that make the host misbehave on purpose
};

}  // namespace tessaro::testing
