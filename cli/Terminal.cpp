#include "cli/Terminal.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "cli/Cli.h"
#include "efuse/ProgramEFuse.h"

namespace tessaro::cli {

namespace {
std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
  gInterrupted.store(true);
  std::signal(SIGINT, SIG_DFL);
}
}  // namespace

InterruptScope::InterruptScope() {
  gInterrupted.store(false);
  previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptScope::~InterruptScope() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }

bool Interrupted() { return gInterrupted.load(); }

std::string TerminalText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

bool Questions::Ask(const std::string& text, const std::string& caption) {
  bool yes = false;
  const bool chipErase = text == kEraseSecuredQuestion;
  if (answers_ == Answers::Yes && chipErase && !allowChipErase_) {
    messages.push_back("The chip erase was not done: --yes answers it only with --erase-secured.");
  } else if (answers_ == Answers::Yes) {
    yes = true;
  } else if (answers_ == Answers::Ask && isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
    WriteErr(caption + ": " + TerminalText(text) + " [y/N] ");
    std::string line;
    yes = std::getline(std::cin, line) && !line.empty() && (line[0] == 'y' || line[0] == 'Y');
  } else if (answers_ == Answers::Ask) {
    messages.push_back("\"" + caption + "\" was answered no: there is no terminal to ask (--yes answers yes).");
  }
  // Unanswerable (no terminal, end of input) counts as no: nothing is changed unasked.
  asked.push_back(QuestionRecord{TerminalText(text), caption, yes});
  if (onAsked) onAsked(asked.back());
  return yes;
}

PromptAnswer CliPrompt::Ask(const std::string& text, const std::string& caption, PromptButtons buttons) {
  if (buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel) {
    return questions_.Ask(text, caption) ? PromptAnswer::Yes : PromptAnswer::No;
  }
  questions_.messages.push_back(text);  // shown once the operation has ended
  return buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel : PromptAnswer::Ok;
}

PromptAnswer TerminalPrompt::Ask(const std::string& text, const std::string& caption, PromptButtons buttons) {
  const std::string shown = TerminalText(text);
  if (buttons == PromptButtons::YesNo || buttons == PromptButtons::YesNoCancel) {
    WriteErr(caption + ": " + shown + (yesNo_ == PromptAnswer::Yes ? " [yes]\n" : " [no]\n"));
    return yesNo_;
  }
  WriteErr(caption + ": " + shown + "\n");
  return buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel : PromptAnswer::Ok;
}

bool ConfirmBurnOnTerminal(size_t bitCount) {
  if (!isatty(STDIN_FILENO)) return false;
  WriteErr(BurnWarningText(bitCount) + " Type " + kConfirmWord + " to burn them: ");
  std::string line;
  return static_cast<bool>(std::getline(std::cin, line)) && line == kConfirmWord;
}

PromptAnswer CliHost::Ask(const std::string& text, const char* caption, PromptButtons buttons) {
  progress_.Clear();
  CliPrompt prompt(questions_);
  return prompt.Ask(text, caption ? caption : "Tessaro", buttons);
}

void TerminalProgress::SetRange(int32_t low, int32_t high) {
  low_ = low;
  high_ = high;
  rateStart_ = std::chrono::steady_clock::now();
  rateBase_ = position_;
  Draw(true);
}

void TerminalProgress::SetPosition(int32_t position) {
  if (position < rateBase_) {
    rateBase_ = position;
    rateStart_ = std::chrono::steady_clock::now();
  }
  position_ = position;
  Draw(false);
}

void TerminalProgress::SetText(const std::string& text) {
  text_ = text;
  Draw(false);
}

void TerminalProgress::Clear() {
  if (enabled_ && drawn_) WriteErr("\r" + std::string(width_, ' ') + "\r");
  drawn_ = false;
}

void TerminalProgress::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  // A redraw per word would cost more than the transfer on a slow terminal.
  if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  const int64_t span = static_cast<int64_t>(high_) - low_;
  int percent = span > 0 ? static_cast<int>((static_cast<int64_t>(position_) - low_) * 100 / span) : 0;
  percent = std::max(0, std::min(100, percent));
  constexpr int kBarWidth = 30;
  const int filled = percent * kBarWidth / 100;
  const double seconds = std::chrono::duration<double>(now - rateStart_).count();
  const double rate = seconds > 0.05 ? (position_ - rateBase_) / seconds : 0.0;
  char line[160];
  std::snprintf(line, sizeof line, "[%s%s] %3d%%  %7.1f kW/s  %s", std::string(filled, '#').c_str(),
                std::string(kBarWidth - filled, ' ').c_str(), percent, rate / 1000.0, text_.c_str());
  std::string text = line;
  if (text.size() < width_) text += std::string(width_ - text.size(), ' ');
  width_ = std::max(width_, text.size());
  WriteErr("\r" + text);
  drawn_ = true;
}

}  // namespace tessaro::cli
