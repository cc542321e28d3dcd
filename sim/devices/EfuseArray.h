// The eFuse array of a 9xxx chip as the simulated board holds it: 64 words of 16 bits whose
// bits are only ever set, burned through the monitor's three-command sequence (32 idle
// commands 18, start 16, one command 17 per fuse bit index, a final 18). A sequence out of
// order burns nothing and is recorded as a violation saying why. The model knows nothing of
// the link: the monitor hands it the decoded commands and forwards its answers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/SimDevices.h"

namespace tessaro::sim {

class EfuseArray : public SimDeviceModel {
 public:
  static constexpr uint32_t kWords = 64;
  static constexpr uint32_t kBits = kWords * 16;
  static constexpr uint32_t kIdleBeforeStart = 32;
  static constexpr uint32_t kSessions = 7;
  using Words = std::array<uint16_t, kWords>;

  // What the monitor answers a command with.
  enum class Answer { Ack, Refused, Silent };

  // ---- the monitor's commands ----
  Answer Idle();                   // 18
  Answer Start();                  // 16
  Answer BurnBit(uint16_t index);  // 17 with its data word
  // Command 15 on a 9xxx chip: word `index`, 0 beyond the array.
  uint16_t ReadWord(uint32_t index) const { return index < kWords ? words_[index] : 0; }

  // ---- presets, state files, inspection ----
  void SetWord(uint32_t index, uint16_t value) {
    if (index < kWords) words_[index] = value;
  }
  void SetWords(const Words& words) { words_ = words; }
  const Words& words() const { return words_; }
  bool burning() const { return burning_; }
  // A reset of the chip ends a burn and its idle count; the fuses stay.
  void Reset() {
    idleCount_ = 0;
    burning_ = false;
  }
  // The chip's view of its fuses: the current debug session (consecutive counter bits of word
  // 0 from bit 8), whether a session is closed, and a session's 8 key words.
  uint32_t Session() const;
  bool SessionClosed(uint32_t session) const;
  std::array<uint16_t, 8> SessionKey(uint32_t session) const;

  // ---- faults ----
  // The link drops after `count` more fuse bits have been burned: later bits are neither burned
  // nor answered. nullopt: no fault.
  void SetDropAfterBits(std::optional<uint32_t> count) { dropAfterBits_ = count; }
  bool linkDropped() const { return linkDropped_; }
  void Replug() { linkDropped_ = false; }

 private:
  Words words_{};
  uint32_t idleCount_ = 0;  // consecutive idle commands
  bool burning_ = false;
  std::optional<uint32_t> dropAfterBits_;
  bool linkDropped_ = false;
};

// Reads the --efuses text: 4-digit hexadecimal words one after the other, word 0 first, at
// most 64 (fewer: the rest 0). False with a message on anything else.
[[nodiscard]] bool ParseEfuseWords(std::string_view text, EfuseArray::Words& words, std::string& error);

}  // namespace tessaro::sim
