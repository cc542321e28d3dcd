#include "app/AppPrompt.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <algorithm>
#include <iterator>

namespace tessaro::app {
namespace {

ActionFilter* gCurrentFilter = nullptr;

// Events a running action lets through: the window must keep painting, laying out and
// moving, and Qt's own bookkeeping must go on. Everything else (input, close requests, drops)
// is dropped.
constexpr QEvent::Type kPassingEvents[] = {
    QEvent::Paint,
    QEvent::UpdateRequest,
    QEvent::UpdateLater,
    QEvent::Move,
    QEvent::Resize,
    QEvent::Expose,
    QEvent::Show,
    QEvent::ShowToParent,
    QEvent::Hide,
    QEvent::HideToParent,
    QEvent::Timer,
    QEvent::Polish,
    QEvent::PolishRequest,
    QEvent::LayoutRequest,
    QEvent::MetaCall,
    QEvent::DeferredDelete,
    QEvent::ChildAdded,
    QEvent::ChildRemoved,
    QEvent::ChildPolished,
    QEvent::StyleChange,
    QEvent::PaletteChange,
    QEvent::FontChange,
    QEvent::ApplicationPaletteChange,
    QEvent::ApplicationFontChange,
    QEvent::WindowActivate,
    QEvent::WindowDeactivate,
    QEvent::ActivationChange,
    QEvent::FocusIn,
    QEvent::FocusOut,
    QEvent::FocusAboutToChange,
    QEvent::PlatformSurface,
    QEvent::WinIdChange,
    QEvent::ScreenChangeInternal,
    QEvent::DynamicPropertyChange,
    QEvent::CursorChange,
    QEvent::ToolTipChange,
    QEvent::Enter,
    QEvent::Leave,
    QEvent::HoverEnter,
    QEvent::HoverLeave,
    QEvent::HoverMove,
};

bool PassesDuringAction(QEvent::Type type) {
  return std::find(std::begin(kPassingEvents), std::end(kPassingEvents), type) != std::end(kPassingEvents);
}

}  // namespace

ActionFilter::ActionFilter() {
  qApp->installEventFilter(this);
  gCurrentFilter = this;
}

ActionFilter::~ActionFilter() {
  qApp->removeEventFilter(this);
  if (gCurrentFilter == this) gCurrentFilter = nullptr;
}

bool ActionFilter::eventFilter(QObject* watched, QEvent* event) {
  if (suspended_ > 0) return QObject::eventFilter(watched, event);
  const QEvent::Type type = event->type();
  if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    escape_ = true;
    return true;
  }
  if (PassesDuringAction(type)) return QObject::eventFilter(watched, event);
  return true;  // clicks, keys, close requests, drops: gone, not queued for later
}

bool ActionFilter::TakeEscape() {
  const bool pressed = escape_;
  escape_ = false;
  return pressed;
}

ActionFilter* CurrentActionFilter() { return gCurrentFilter; }

UserInputScope::UserInputScope(bool arrow) : filter_(gCurrentFilter), arrow_(arrow) {
  if (filter_) filter_->Suspend();
  if (arrow_) QApplication::setOverrideCursor(Qt::ArrowCursor);
}

UserInputScope::~UserInputScope() {
  if (arrow_) QApplication::restoreOverrideCursor();
  if (filter_) filter_->Resume();
}

QString DisplayText(const std::string& text) {
  QString shown = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
  shown.remove(QLatin1Char('\r'));
  return shown;
}

PromptAnswer QtPrompt::Ask(const std::string& text, const std::string& caption, PromptButtons buttons) {
  // Legend: what each button set shows, and which answer Esc or closing the box gives.
  struct ButtonSet {
    PromptButtons buttons;
    QMessageBox::StandardButtons shown;
    QMessageBox::StandardButton escape;
  };
  static constexpr ButtonSet kSets[] = {
      {PromptButtons::Ok, QMessageBox::Ok, QMessageBox::Ok},
      {PromptButtons::OkCancel, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel},
      {PromptButtons::YesNo, QMessageBox::Yes | QMessageBox::No, QMessageBox::No},
      {PromptButtons::YesNoCancel, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel},
  };
  const ButtonSet* set = &kSets[0];
  for (const ButtonSet& candidate : kSets) {
    if (candidate.buttons == buttons) set = &candidate;
  }
  const bool question = buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel;
  QMessageBox box(question ? QMessageBox::Question : QMessageBox::Information, QString::fromStdString(caption),
                  DisplayText(text), set->shown, owner_.data());
  box.setEscapeButton(set->escape);
  int pressed = 0;
  {
    const UserInputScope input(waitCursors_ > 0);
    pressed = box.exec();
  }
  switch (pressed) {
    case QMessageBox::Yes: return PromptAnswer::Yes;
    case QMessageBox::No: return PromptAnswer::No;
    case QMessageBox::Cancel: return PromptAnswer::Cancel;
    default: return PromptAnswer::Ok;
  }
}

void QtPrompt::SetWaitCursor(bool on) {
  if (on) {
    ++waitCursors_;
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else if (waitCursors_ > 0) {
    --waitCursors_;
    QApplication::restoreOverrideCursor();
  }
}

}  // namespace tessaro::app
