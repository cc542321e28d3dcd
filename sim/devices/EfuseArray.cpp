#include "sim/devices/EfuseArray.h"

namespace tessaro::sim {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

EfuseArray::Answer EfuseArray::Idle() {
  if (linkDropped_) return Answer::Silent;
  burning_ = false;
  if (idleCount_ < kIdleBeforeStart) ++idleCount_;
  return Answer::Ack;
}

EfuseArray::Answer EfuseArray::Start() {
  if (linkDropped_) return Answer::Silent;
  const uint32_t idles = idleCount_;
  idleCount_ = 0;
  if (burning_) {
    Violation("eFuse start (16) while a burn is open; the burn is closed, nothing more is burned");
    burning_ = false;
    return Answer::Refused;
  }
  if (idles < kIdleBeforeStart) {
    Violation("eFuse start (16) after " + std::to_string(idles) + " idle commands (18), " +
              std::to_string(kIdleBeforeStart) + " needed; nothing is burned");
    return Answer::Refused;
  }
  burning_ = true;
  return Answer::Ack;
}

EfuseArray::Answer EfuseArray::BurnBit(uint16_t index) {
  if (linkDropped_) return Answer::Silent;
  idleCount_ = 0;
  if (!burning_) {
    Violation("eFuse bit " + std::to_string(index) +
              " (17) outside a burn (no 32 idle commands and start 16 before it); not burned");
    return Answer::Refused;
  }
  if (index >= kBits) {
    Violation("eFuse bit " + std::to_string(index) + " (17) beyond the " + std::to_string(kBits) + " bits; not burned");
    return Answer::Refused;
  }
  if (dropAfterBits_) {
    if (*dropAfterBits_ == 0) {
      linkDropped_ = true;
      burning_ = false;
      return Answer::Silent;
    }
    --*dropAfterBits_;
  }
  words_[index / 16] = static_cast<uint16_t>(words_[index / 16] | (1u << (index % 16)));
  return Answer::Ack;
}

uint32_t EfuseArray::Session() const {
  uint32_t session = 0;
  while (session < kSessions - 1 && ((words_[0] >> (8 + session)) & 1) != 0) ++session;
  return session;
}

bool EfuseArray::SessionClosed(uint32_t session) const {
  return session < kSessions && ((words_[0] >> (session + 1)) & 1) != 0;
}

std::array<uint16_t, 8> EfuseArray::SessionKey(uint32_t session) const {
  std::array<uint16_t, 8> key{};
  if (session >= kSessions) return key;
  for (uint32_t j = 0; j < key.size(); ++j) key[j] = words_[8 + 8 * session + j];
  return key;
}

bool ParseEfuseWords(std::string_view text, EfuseArray::Words& words, std::string& error) {
  EfuseArray::Words parsed{};
  if (text.empty() || text.size() % 4 != 0) {
    error = "--efuses wants 4-digit hexadecimal words, word 0 first (got " + std::to_string(text.size()) + " digits)";
    return false;
  }
  if (text.size() / 4 > EfuseArray::kWords) {
    error = "--efuses holds at most " + std::to_string(EfuseArray::kWords) + " words";
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) {
      error = "--efuses: '" + std::string(1, text[i]) + "' at position " + std::to_string(i + 1) +
              " is not a hexadecimal digit";
      return false;
    }
    parsed[i / 4] = static_cast<uint16_t>(parsed[i / 4] << 4 | digit);
  }
  words = parsed;
  return true;
}

}  // namespace tessaro::sim
