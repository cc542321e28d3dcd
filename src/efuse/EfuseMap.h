// The eFuse map of a 9xxx chip: 64 fuse words of 16 bits (1024 one-time-programmable bits),
// where the session counter, the close, watchdog and boot-option bits and the AES key of each
// debug session live, plus the fuse bit list that says what to burn and the fuse word read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "efuse/EfuFile.h"

namespace tessaro {

class SerialPort;

inline constexpr uint32_t kEfuseWordCount = 64;
inline constexpr uint32_t kEfuseBitCount = kEfuseWordCount * 16;
inline constexpr uint32_t kEfuseSessionCount = 7;  // sessions 0..6
inline constexpr uint8_t kReadFuseWordCommand = 15;

using FuseWords = std::array<uint16_t, kEfuseWordCount>;

// Fuse bit indices; bit b is bit (b mod 16) of word (b / 16).
inline constexpr uint16_t kSssBootBit = 14;
inline constexpr uint16_t kMidiOutBit = 15;
inline constexpr uint32_t kSessionCounterShift = 8;  // word 0 bits 8..13
inline constexpr uint16_t SessionCloseBit(uint32_t session) { return static_cast<uint16_t>(session + 1); }
inline constexpr uint16_t WatchdogBit(uint32_t session) { return static_cast<uint16_t>(16 + session); }
inline constexpr uint32_t SessionKeyWord(uint32_t session, uint32_t j) { return 8 + 8 * session + j; }
inline constexpr uint16_t SessionKeyBit(uint32_t session, uint32_t j, uint32_t bit) {
  return static_cast<uint16_t>((session + 1) * 128 + 16 * j + bit);
}

// The current session: consecutive set bits of word 0 from bit 8 (0..6).
uint32_t EfuseSession(const FuseWords& words);
bool IsFuseBitSet(const FuseWords& words, uint32_t bit);
// The 8 key words of a session, key word 0 first.
EfuNumber SessionKey(const FuseWords& words, uint32_t session);
// "Session: %u/7" with session + 1.
std::string SessionText(uint32_t session);
// "Programmed: " and the key as EfuKeyText writes it.
std::string ProgrammedKeyText(const EfuNumber& key);

// What a fuse bit index means ("word 0 bit 15: MIDI out enable"); sessions are counted from 1
// as the "Session: %u/7" label counts them.
std::string FuseBitMeaning(uint32_t bit);

// The bits to burn, in the order they are sent. Bounded to the 1024 bits of the array; an
// index of 1024 or more, or a bit already in the list, is never added (the burn sends each
// bit once, and only bits that exist).
class FuseBitList {
 public:
  // False when the bit was not added (out of range or already listed).
  [[nodiscard]] bool Add(uint32_t bit);
  // The key bits of a session: every set bit of the 128-bit key, word 0 bit 0 first.
  void AddKey(uint32_t session, const EfuNumber& key);
  bool Contains(uint32_t bit) const;
  const std::vector<uint16_t>& bits() const { return bits_; }
  size_t size() const { return bits_.size(); }
  bool empty() const { return bits_.empty(); }

 private:
  std::vector<uint16_t> bits_;
  std::array<bool, kEfuseBitCount> listed_{};
};

// Reads the 64 fuse words (command 15 with the word index). A word reads as 0 when the link is
// not linked or the chip is not of family 0x9FFF. False when any word could not be read.
[[nodiscard]] bool ReadFuseWords(SerialPort& link, FuseWords& words);

// The bits of `plan` that `words` does not hold, in plan order.
std::vector<uint16_t> MissingFuseBits(const FuseWords& words, const std::vector<uint16_t>& plan);

}  // namespace tessaro
