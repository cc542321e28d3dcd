// The terminal side of tessaro-cli: Ctrl-C handling, questions (asked on the terminal or
// answered by --yes/--no, and recorded for the JSON), the link's own message boxes, the typed
// confirmation of an eFuse burn, the progress bar on stderr, and the session host that ties
// them to a link. Commands only wire their options to the core.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "link/SerialPort.h"
#include "platform/Prompt.h"
#include "session/FlashIf.h"

namespace tessaro::cli {

// Ctrl-C is the Esc key: the first one asks the running operation to stop at its next cancel
// check; a second one ends the program the usual way. Installed for the scope's lifetime.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  void (*previous_)(int);
};
bool Interrupted();

// Message texts use "\n" and "\r\n"; a terminal wants "\n".
std::string TerminalText(const std::string& text);

enum class Answers { Ask, Yes, No };

// One question as it was asked and answered.
struct QuestionRecord {
  std::string text;
  std::string caption;
  bool answer = false;
};

// Asks yes/no questions: from the flags, else on the terminal (no terminal answers no).
// Every question is recorded in order; other messages are kept to be shown at the end.
// --yes does not answer the chip-erase question of a secured chip unless `allowChipErase`: a
// script that answers yes to page modes and configurations must not wipe a chip because a
// link attempt failed.
class Questions {
 public:
  explicit Questions(Answers answers, bool allowChipErase = false)
      : answers_(answers), allowChipErase_(allowChipErase) {}
  bool Ask(const std::string& text, const std::string& caption);

  std::vector<QuestionRecord> asked;
  std::vector<std::string> messages;
  // Told of every question once it is answered (the event stream).
  std::function<void(const QuestionRecord&)> onAsked;

 private:
  Answers answers_;
  bool allowChipErase_;
};

// The link's prompt: questions go to `questions`.
class CliPrompt : public PromptIf {
 public:
  explicit CliPrompt(Questions& questions) : questions_(questions) {}
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override;

 private:
  Questions& questions_;
};

// The link's messages on a terminal: message boxes go to stderr, questions are answered with
// `yesNo` (the flags of the command decide) and printed with the answer.
class TerminalPrompt : public PromptIf {
 public:
  explicit TerminalPrompt(PromptAnswer yesNo = PromptAnswer::No) : yesNo_(yesNo) {}
  PromptAnswer Ask(const std::string& text, const std::string& caption, PromptButtons buttons) override;

 private:
  PromptAnswer yesNo_;
};

// The word a user types to burn eFuses.
inline constexpr const char* kConfirmWord = "BURN";
// Burned bits cannot be undone: asks for kConfirmWord on the terminal; false without a terminal.
bool ConfirmBurnOnTerminal(size_t bitCount);

// Progress on a terminal: bar, percentage, rate, position text. Draws nothing when disabled.
class TerminalProgress : public ProgressBarIf {
 public:
  explicit TerminalProgress(bool enabled) : enabled_(enabled) {}
  ~TerminalProgress() override { Clear(); }
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  void SetRange(int32_t low, int32_t high) override;
  void SetPosition(int32_t position) override;
  void SetText(const std::string& text);
  void Clear();

 private:
  void Draw(bool force);

  bool enabled_;
  std::chrono::steady_clock::time_point lastDraw_{};
  std::chrono::steady_clock::time_point rateStart_ = std::chrono::steady_clock::now();
  int32_t rateBase_ = 0;
  int32_t low_ = 0;
  int32_t high_ = 100;
  int32_t position_ = 0;
  std::string text_;
  bool drawn_ = false;
  size_t width_ = 0;
};

// What a session shows as it runs, for whoever follows one board besides the terminal's
// progress bar (the event stream, the lines of several boards). Called on the board's thread.
class BoardWatcher {
 public:
  virtual ~BoardWatcher() = default;
  virtual void Status(const std::string& text, int colourClass) = 0;
  virtual void Position(const std::string& text) = 0;
  virtual void Range(int32_t low, int32_t high) = 0;
  virtual void Progress(int32_t position) = 0;
};

// The host of a session: what the main window offers, from the command line.
class CliHost : public FlashHost {
 public:
  CliHost(SerialPort& link, BoardConfig& config, TerminalProgress& progress, uint32_t port, bool doubleBaud,
          uint32_t start, Questions& questions, BoardWatcher* watcher = nullptr)
      : link_(link),
        config_(config),
        progress_(progress),
        relay_(progress, watcher),
        watcher_(watcher),
        port_(port),
        doubleBaud_(doubleBaud),
        start_(start),
        questions_(questions) {}

  SerialPort& Link() override { return link_; }
  BoardConfig& Configuration() override { return config_; }
  ProgressBarIf* ProgressBar() override { return &relay_; }
  CLyrComIf* LinkCallback() override { return &callback_; }
  uint32_t PortNumber() override { return port_; }
  bool DoubleBaud() override { return doubleBaud_; }
  uint32_t StartAddress() override { return start_; }
  void SetStartAddress(uint32_t address) override { start_ = address; }
  void ShowStatusLine(const std::string& text, int colourClass) override {
    statusLine = text;
    colour = colourClass;
    if (watcher_) watcher_->Status(text, colourClass);
  }
  void ShowPositionText(const std::string& text) override {
    progress_.SetText(text);
    if (watcher_) watcher_->Position(text);
  }
  PromptAnswer Ask(const std::string& text, const char* caption, PromptButtons buttons) override;
  bool CancelRequested() override { return Interrupted(); }

  std::string statusLine;
  int colour = 0;

 private:
  // The terminal's bar and the watcher both follow the session's progress.
  class Relay : public ProgressBarIf {
   public:
    Relay(TerminalProgress& bar, BoardWatcher* watcher) : bar_(bar), watcher_(watcher) {}
    void SetRange(int32_t low, int32_t high) override {
      bar_.SetRange(low, high);
      if (watcher_) watcher_->Range(low, high);
    }
    void SetPosition(int32_t position) override {
      bar_.SetPosition(position);
      if (watcher_) watcher_->Progress(position);
    }

   private:
    TerminalProgress& bar_;
    BoardWatcher* watcher_;
  };

  SerialPort& link_;
  BoardConfig& config_;
  TerminalProgress& progress_;
  Relay relay_;
  BoardWatcher* watcher_;
  CLyrComIf callback_;
  uint32_t port_;
  bool doubleBaud_;
  uint32_t start_;
  Questions& questions_;
};

}  // namespace tessaro::cli
