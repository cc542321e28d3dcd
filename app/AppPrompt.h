// How the desktop program asks and tells: every question of the core and of the window goes
// through one PromptIf, shown as a QMessageBox (tests put a scripted one in its place). While
// an action runs, ActionFilter keeps the window painted and movable, notes Esc and drops all
// other input, so no button or menu reacts until the action has returned.
#pragma once
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <string>
#include "platform/Prompt.h"

namespace tessaro::app {

class ActionFilter : public QObject {
 public:
  // Installs itself on the application for the lifetime of the object.
  ActionFilter();
  ~ActionFilter() override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // True once when Esc was pressed since the last call.
  bool TakeEscape();
  // A message box shown during the action needs its input: the filter stands aside.
  void Suspend() { ++suspended_; }
  void Resume() { --suspended_; }

 private:
  int suspended_ = 0;
  bool escape_ = false;
};

// The message boxes of the program. `owner` is the window that owns them; the active
// ActionFilter, when there is one, is suspended while a box is open.
class QtPrompt : public PromptIf {
 public:
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override;
  void SetWaitCursor(bool on) override;
  void SetOwner(QWidget* owner) { owner_ = owner; }

 private:
  QPointer<QWidget> owner_;
  int waitCursors_ = 0;
};

// The filter of the running action, or null when none runs.
ActionFilter* CurrentActionFilter();

// While a box or menu shown during an action waits for the user: the action's filter stands
// aside, and with `arrow` the pointer is an arrow instead of the action's wait cursor.
class UserInputScope {
 public:
  explicit UserInputScope(bool arrow);
  ~UserInputScope();
  UserInputScope(const UserInputScope&) = delete;
  UserInputScope& operator=(const UserInputScope&) = delete;

 private:
  ActionFilter* filter_;
  bool arrow_;
};

// Message texts keep the "\r\n" line ends of the core; Qt wants "\n".
QString DisplayText(const std::string& text);

}  // namespace tessaro::app
