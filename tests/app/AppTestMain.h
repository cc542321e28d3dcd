// What the window tests share: a QApplication on the offscreen platform, settings folders of
// their own, a scripted prompt in place of message boxes, and a simulated board behind COM9.
#pragma once
#include <QApplication>
#include <deque>
#include <string>
#include <vector>
#include "platform/Prompt.h"

namespace tessaro::app::testing {

// The answers a test gives, in order; a question with no answer left is answered No/Ok.
class ScriptedPrompt : public PromptIf {
 public:
  struct Shown {
    std::string text;
    std::string caption;
    PromptButtons buttons;
  };
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override {
    shown.push_back({text, caption, buttons});
    if (!answers.empty()) {
      const PromptAnswer answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel ? PromptAnswer::No
                                                                                    : PromptAnswer::Ok;
  }
  bool Saw(const std::string& fragment) const {
    for (const Shown& box : shown) {
      if (box.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  std::deque<PromptAnswer> answers;
  std::vector<Shown> shown;
};

// Folders of the test process: XDG_CONFIG_HOME and XDG_CONFIG_DIRS point into it.
const std::string& TestHome();
// Removes the user and machine settings written by an earlier test.
void ClearSettings();
// Writes the user settings file as text (QSettings format).
void WriteUserSettings(const std::string& text);
void WriteMachineSettings(const std::string& text);

}  // namespace tessaro::app::testing

#include <QString>
#include <ostream>
// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
