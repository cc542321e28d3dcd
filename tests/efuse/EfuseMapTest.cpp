// The eFuse map (session counter, per-session bits and key words) and the fuse bit list's
// bounds.
#include <gtest/gtest.h>

#include "efuse/EfuseMap.h"

namespace tessaro {
namespace {

TEST(EfuseMap, SessionCounterAndWhereEachSessionLives) {
  struct Case {
    uint16_t word0;
    uint32_t session;
    const char* text;
  } cases[] = {
      {0x0000, 0, "Session: 1/7"}, {0x0100, 1, "Session: 2/7"},
      {0x0300, 2, "Session: 3/7"}, {0x0500, 1, "Session: 2/7"},  // bit 10 without bit 9 does not count
      {0x0200, 0, "Session: 1/7"}, {0x3F00, 6, "Session: 7/7"},
      {0xFFFF, 6, "Session: 7/7"}, {0x00FF, 0, "Session: 1/7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word0);
    FuseWords words{};
    words[0] = c.word0;
    EXPECT_EQ(EfuseSession(words), c.session);
    EXPECT_EQ(SessionText(EfuseSession(words)), c.text);
  }
  // Session 2 (shown as 3 of 7): key words 24..31, watchdog bit 18, close bit 3.
  EXPECT_EQ(SessionKeyWord(2, 0), 24u);
  EXPECT_EQ(SessionKeyWord(2, 7), 31u);
  EXPECT_EQ(WatchdogBit(2), 18);
  EXPECT_EQ(SessionCloseBit(2), 3);
  EXPECT_EQ(SessionKeyBit(2, 0, 0), 384);
  EXPECT_EQ(SessionKeyWord(6, 0), 56u);
  EXPECT_EQ(SessionKeyWord(6, 7), 63u);
  EXPECT_EQ(SessionKeyBit(6, 7, 15), 1023);

  FuseWords words{};
  words[0] = 0x3F00;
  for (uint32_t j = 0; j < 8; ++j) words[56 + j] = static_cast<uint16_t>(0x1111 * (j + 1));
  const EfuNumber key = SessionKey(words, EfuseSession(words));
  EXPECT_EQ(key[0], 0x1111);
  EXPECT_EQ(key[7], 0x8888);
  EXPECT_EQ(ProgrammedKeyText(key), "Programmed: 8888-7777-6666-5555-4444-3333-2222-1111");
}

TEST(FuseBitList, KeepsOrderRefusesDuplicatesAndBitsBeyondTheArray) {
  FuseBitList list;
  EXPECT_TRUE(list.Add(15));
  EXPECT_TRUE(list.Add(14));
  EXPECT_FALSE(list.Add(15));
  EXPECT_TRUE(list.Add(1023));
  EXPECT_FALSE(list.Add(1024));
  EXPECT_FALSE(list.Add(0xFFFF));
  EXPECT_EQ(list.bits(), (std::vector<uint16_t>{15, 14, 1023}));

  // Key bits of session 1: set bits of word 0 first, each bit once.
  FuseBitList keyList;
  EfuNumber key{};
  key[0] = 0x8001;
  key[7] = 0x0002;
  keyList.AddKey(1, key);
  keyList.AddKey(1, key);
  EXPECT_EQ(keyList.bits(), (std::vector<uint16_t>{256, 256 + 15, 256 + 7 * 16 + 1}));

  FuseBitList full;
  EfuNumber ones{};
  ones.fill(0xFFFF);
  for (uint32_t s = 0; s < kEfuseSessionCount; ++s) full.AddKey(s, ones);
  for (uint32_t b = 0; b < 128; ++b) EXPECT_TRUE(full.Add(b));
  EXPECT_EQ(full.size(), kEfuseBitCount);
  EXPECT_FALSE(full.Add(0));
}

TEST(FuseBitList, MissingBitsAreThoseTheWordsDoNotHold) {
  FuseWords words{};
  words[0] = 0x8000;
  words[1] = 0x0004;
  EXPECT_EQ(MissingFuseBits(words, {15, 14, 18, 3}), (std::vector<uint16_t>{14, 3}));
}

}  // namespace
}  // namespace tessaro
