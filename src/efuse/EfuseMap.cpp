#include "efuse/EfuseMap.h"

#include <cstdio>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "link/SerialPort.h"

namespace tessaro {

uint32_t EfuseSession(const FuseWords& words) {
  uint32_t session = 0;
  while (session < kEfuseSessionCount - 1 && ((words[0] >> (kSessionCounterShift + session)) & 1) != 0) ++session;
  return session;
}

bool IsFuseBitSet(const FuseWords& words, uint32_t bit) {
  return bit < kEfuseBitCount && ((words[bit / 16] >> (bit % 16)) & 1) != 0;
}

EfuNumber SessionKey(const FuseWords& words, uint32_t session) {
  EfuNumber key{};
  if (session >= kEfuseSessionCount) return key;
  for (uint32_t j = 0; j < key.size(); ++j) key[j] = words[SessionKeyWord(session, j)];
  return key;
}

std::string SessionText(uint32_t session) {
  char text[32];
  std::snprintf(text, sizeof text, "Session: %u/7", session + 1);
  return text;
}

std::string ProgrammedKeyText(const EfuNumber& key) { return "Programmed: " + EfuKeyText(key); }

bool FuseBitList::Add(uint32_t bit) {
  if (bit >= kEfuseBitCount || listed_[bit]) return false;
  listed_[bit] = true;
  bits_.push_back(static_cast<uint16_t>(bit));
  return true;
}

void FuseBitList::AddKey(uint32_t session, const EfuNumber& key) {
  for (uint32_t j = 0; j < key.size(); ++j)
    for (uint32_t b = 0; b < 16; ++b)
      if (((key[j] >> b) & 1) != 0) (void)Add(SessionKeyBit(session, j, b));
}

bool FuseBitList::Contains(uint32_t bit) const { return bit < kEfuseBitCount && listed_[bit]; }

bool ReadFuseWords(SerialPort& link, FuseWords& words) {
  words.fill(0);
  const BoardConfig& config = link.config();
  if (!link.linked() || config.chip == nullptr || config.chip->familyCode != FAMILY_9XXX) return false;
  bool complete = true;
  for (uint32_t i = 0; i < kEfuseWordCount; ++i) {
    link.BeginCommand(2);
    const bool sent = link.SendByte(kReadFuseWordCommand) && link.SendByte(static_cast<uint8_t>(i));
    const uint32_t value = sent ? link.ReceiveWord() : VALUE_INVALID;
    if (value == VALUE_INVALID || !link.linked()) {
      complete = false;
      continue;  // the word stays 0
    }
    words[i] = static_cast<uint16_t>(value);
  }
  return complete;
}

std::vector<uint16_t> MissingFuseBits(const FuseWords& words, const std::vector<uint16_t>& plan) {
  std::vector<uint16_t> missing;
  for (uint16_t bit : plan)
    if (!IsFuseBitSet(words, bit)) missing.push_back(bit);
  return missing;
}

std::string FuseBitMeaning(uint32_t bit) {
  const std::string where = "word " + std::to_string(bit / 16) + " bit " + std::to_string(bit % 16) + ": ";
  if (bit == kSssBootBit) return where + "SSS boot enable";
  if (bit == kMidiOutBit) return where + "MIDI out enable";
  if (bit >= SessionCloseBit(0) && bit <= SessionCloseBit(kEfuseSessionCount - 1))
    return where + "close of session " + std::to_string(bit) + "/7";
  if (bit >= kSessionCounterShift && bit < kSessionCounterShift + kEfuseSessionCount - 1)
    return where + "session counter";
  if (bit >= WatchdogBit(0) && bit <= WatchdogBit(kEfuseSessionCount - 1))
    return where + "watchdog enable of session " + std::to_string(bit - WatchdogBit(0) + 1) + "/7";
  if (bit >= 128 && bit < kEfuseBitCount) {
    const uint32_t offset = bit % 128;
    return where + "AES key of session " + std::to_string(bit / 128) + "/7, key word " + std::to_string(offset / 16) +
           " bit " + std::to_string(offset % 16);
  }
  return where + "unused";
}

}  // namespace tessaro
