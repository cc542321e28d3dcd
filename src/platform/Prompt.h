// What the link layer needs from a person: its own "Alert" message boxes, yes/no questions
// (the reset prompt, the secured-chip dialogue) and the wait cursor. The desktop program
// answers with message boxes, the CLI on the terminal or from flags, tests from a script.
#pragma once

#include <string>

namespace tessaro {

enum class PromptButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class PromptAnswer { Ok, Cancel, Yes, No };

class PromptIf {
 public:
  virtual ~PromptIf() = default;
  // A message box with the given text, caption and buttons; returns the button pressed.
  virtual PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) = 0;
  virtual void SetWaitCursor(bool /*on*/) {}

  void Alert(const std::string& text) { (void)Ask(text, "Alert", PromptButtons::Ok); }
};

}  // namespace tessaro
