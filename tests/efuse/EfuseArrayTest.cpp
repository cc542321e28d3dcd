// The simulated eFuse array: burns only through the exact command sequence, never clears a
// bit, says why a sequence is refused, drops the link half-way on request, and its preset text.
#include <gtest/gtest.h>

#include "sim/devices/EfuseArray.h"

namespace tessaro::sim {
namespace {

using Answer = EfuseArray::Answer;

void Open(EfuseArray& array) {
  for (uint32_t i = 0; i < EfuseArray::kIdleBeforeStart; ++i) ASSERT_EQ(array.Idle(), Answer::Ack);
  ASSERT_EQ(array.Start(), Answer::Ack);
}

TEST(EfuseArray, BurnsTheSentBitsAndOnlySetsThem) {
  EfuseArray array;
  array.SetWord(0, 0x0100);
  Open(array);
  EXPECT_EQ(array.BurnBit(15), Answer::Ack);
  EXPECT_EQ(array.BurnBit(8), Answer::Ack);  // already set: stays set
  EXPECT_EQ(array.BurnBit(1023), Answer::Ack);
  EXPECT_EQ(array.Idle(), Answer::Ack);
  EXPECT_FALSE(array.burning());
  EXPECT_EQ(array.ReadWord(0), 0x8100);
  EXPECT_EQ(array.ReadWord(63), 0x8000);
  EXPECT_EQ(array.ReadWord(64), 0);
  EXPECT_TRUE(array.violations().empty());
}

TEST(EfuseArray, SequencesOutOfOrderBurnNothing) {
  struct Case {
    const char* name;
    uint32_t idles;
    bool start;
    uint16_t bit;
    const char* says;
  } cases[] = {
      {"31 idle commands", 31, true, 5, "after 31 idle commands"},
      {"no start", 32, false, 5, "outside a burn"},
      {"bit beyond the array", 32, true, 1024, "beyond the 1024 bits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EfuseArray array;
    for (uint32_t i = 0; i < c.idles; ++i) (void)array.Idle();
    if (c.start) (void)array.Start();
    EXPECT_EQ(array.BurnBit(c.bit), Answer::Refused);
    for (uint32_t i = 0; i < EfuseArray::kWords; ++i) EXPECT_EQ(array.ReadWord(i), 0) << i;
    bool said = false;
    for (const auto& violation : array.violations()) said = said || violation.find(c.says) != std::string::npos;
    EXPECT_TRUE(said) << ::testing::PrintToString(array.violations());
  }
  // A bit between the idle commands and the start breaks the run of idles.
  EfuseArray array;
  for (int i = 0; i < 32; ++i) (void)array.Idle();
  (void)array.BurnBit(3);
  EXPECT_EQ(array.Start(), Answer::Refused);
  EXPECT_EQ(array.ReadWord(0), 0);
}

TEST(EfuseArray, DropsTheLinkAfterTheGivenNumberOfBits) {
  EfuseArray array;
  array.SetDropAfterBits(2);
  Open(array);
  EXPECT_EQ(array.BurnBit(1), Answer::Ack);
  EXPECT_EQ(array.BurnBit(2), Answer::Ack);
  EXPECT_EQ(array.BurnBit(3), Answer::Silent);
  EXPECT_EQ(array.Idle(), Answer::Silent);
  EXPECT_TRUE(array.linkDropped());
  EXPECT_EQ(array.ReadWord(0), 0x0006);
}

TEST(EfuseArray, SessionAndKeysAsTheChipSeesThem) {
  EfuseArray array;
  array.SetWord(0, 0x0308);  // session 2, closed (bit 3)
  array.SetWord(24, 0xBEEF);
  array.SetWord(31, 0x1234);
  EXPECT_EQ(array.Session(), 2u);
  EXPECT_TRUE(array.SessionClosed(2));
  EXPECT_FALSE(array.SessionClosed(1));
  EXPECT_EQ(array.SessionKey(2)[0], 0xBEEF);
  EXPECT_EQ(array.SessionKey(2)[7], 0x1234);
}

TEST(EfuseArray, PresetText) {
  EfuseArray::Words words{};
  std::string error;
  ASSERT_TRUE(ParseEfuseWords("0300", words, error)) << error;
  EXPECT_EQ(words[0], 0x0300);
  EXPECT_EQ(words[1], 0);
  ASSERT_TRUE(ParseEfuseWords("0300beefFFFF", words, error)) << error;
  EXPECT_EQ(words[1], 0xBEEF);
  EXPECT_EQ(words[2], 0xFFFF);
  EXPECT_TRUE(ParseEfuseWords(std::string(256, 'F'), words, error));
  EXPECT_EQ(words[63], 0xFFFF);

  for (const char* bad : {"", "030", "03 0", "0x30", "zzzz"}) {
    SCOPED_TRACE(bad);
    words.fill(7);
    error.clear();
    EXPECT_FALSE(ParseEfuseWords(bad, words, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(words[0], 7);  // unchanged on error
  }
  EXPECT_FALSE(ParseEfuseWords(std::string(260, '0'), words, error));
}

}  // namespace
}  // namespace tessaro::sim
