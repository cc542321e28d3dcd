// The session of an action started from a programming front end: the main window, or the CLI
// standing in for it. What the session needs from its host (start address, status line,
// position box, questions, the Esc key, the link with its port settings) is the small
// interface FlashHost, so the same session logic runs under the window, the CLI and tests.
#pragma once

#include <cstdint>
#include <string>

#include "flash/FlashDriverIf.h"

namespace tessaro {

class CLyrComIf;

class FlashHost {
 public:
  virtual ~FlashHost() = default;

  virtual SerialPort& Link() = 0;
  virtual BoardConfig& Configuration() = 0;
  virtual ProgressBarIf* ProgressBar() = 0;
  // The link callback of the host (the window's CFlashComIf).
  virtual CLyrComIf* LinkCallback() = 0;
  virtual uint32_t PortNumber() = 0;  // COM index + 1
  virtual bool DoubleBaud() = 0;

  virtual uint32_t StartAddress() = 0;
  virtual void SetStartAddress(uint32_t address) = 0;
  virtual void ShowStatusLine(const std::string& text, int colourClass) = 0;
  virtual void ShowPositionText(const std::string& text) = 0;
  // A message box owned by the host; `caption` null gives the host's default caption.
  virtual PromptAnswer Ask(const std::string& text, const char* caption, PromptButtons buttons) = 0;
  // Pumps the host's events; true when the user asked to stop ("Stop current process?"
  // answered Yes).
  virtual bool CancelRequested() = 0;
  // The 100 ms connection poll of the window.
  virtual void StartConnectionPoll() {}
  virtual void StopConnectionPoll() {}
  virtual void* Window() { return nullptr; }
};

class FlashIf : public FlashDriverIf {
 public:
  explicit FlashIf(FlashHost& host);

  void ShowStatus(const std::string& text) override;
  void ShowPosition(const std::string& text) override;
  PromptAnswer ShowMessage(const std::string& text, const char* caption, PromptButtons buttons) override;
  bool CheckCancel() override;
  bool EnsureLinked() override;
  uint32_t GetStartAddress() override { return host.StartAddress(); }
  void SetStartAddress(uint32_t address) override { host.SetStartAddress(address); }
  uint32_t GetImageOffset() override { return 0; }
  void* GetHostWindow() override { return host.Window(); }

  FlashHost& host;
  // Set when EnsureLinked erased a secured chip (the whole chip, not only the destination).
  bool chipErased = false;
};

// Erases a secured chip through its boot ROM (0x72 0x35, answer 0xEE within 1000 ms). Shows
// "Chip erase, Timeout" or "Chip erase, expected 0xee, received XX" through the host and
// returns false when the answer is missing or wrong.
[[nodiscard]] bool EraseSecuredChip(SerialPort& link, FlashHost& host);

// Asked when a chip with a security bit does not answer the link; Yes erases the whole chip.
inline constexpr const char* kEraseSecuredQuestion = "Cannot init target, security bit may be set.\nTry to erase?";

}  // namespace tessaro
