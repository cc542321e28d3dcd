// The comparison behind --skip-unchanged, on a device held in memory: which erase units already
// hold what a program run would leave in them (the image where the run writes, 0xFFFF for the
// rest of each unit), and how few checksums it takes to tell.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "flash/DriverImage.h"
#include "flash/FlashDriver.h"
#include "image/ImageBuffer.h"
#include "tests/session/TestSession.h"

namespace tessaro {
namespace {

constexpr uint32_t kUnit = 16;
constexpr uint32_t kUnits = 8;

struct Case {
  const char* label;
  uint32_t start;       // where the run starts writing
  uint32_t imageWords;  // how many it writes
  // What the device holds besides the image's words: -1 leaves it as a full program would.
  int32_t changedAt;
  uint16_t changedTo;
  std::vector<UnitRange> expected;  // the unchanged units, joined
  int checksums;                    // target calls the comparison made
};

TEST(UnchangedUnits, UnitsHoldingWhatTheRunWouldLeaveAreFoundWithFewChecksums) {
  const Case cases[] = {
      {"device holds the image", 0, kUnit * kUnits, -1, 0, {{0, 128}}, 1},
      {"one word differs", 0, kUnit * kUnits, 53, 0x1234, {{0, 48}, {64, 128}}, 1 + kUnits},
      {"the last word of a unit differs", 0, kUnit * kUnits, 31, 0, {{0, 16}, {32, 128}}, 1 + kUnits},
      {"the run starts inside a unit, erased before it", 20, 100, -1, 0, {{16, 128}}, 1},
      {"the run starts inside a unit, data before it", 20, 100, 18, 0x0000, {{32, 128}}, 1 + 7},
      {"the run ends inside a unit, erased after it", 0, 100, -1, 0, {{0, 112}}, 1},
      {"the run ends inside a unit, data after it", 0, 100, 105, 0x0000, {{0, 96}}, 1 + 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuffer image;
    ResizeImage(image, static_cast<int32_t>(c.imageWords));
    for (uint32_t i = 0; i < c.imageWords; ++i) image.words[i] = static_cast<uint16_t>(i * 7919 + 3);
    // The units the run erases, and a device that holds what a full program leaves in them.
    std::vector<UnitRange> units;
    for (uint32_t s = c.start - c.start % kUnit; s < c.start + c.imageWords; s += kUnit)
      units.emplace_back(s, s + kUnit);
    std::vector<uint16_t> device(kUnit * kUnits, 0xFFFF);
    std::copy(image.words.begin(), image.words.begin() + c.imageWords, device.begin() + c.start);
    if (c.changedAt >= 0) device[static_cast<size_t>(c.changedAt)] = c.changedTo;

    testing::TestSession session(nullptr, nullptr);
    int calls = 0;
    const bool found = FindUnchangedUnits(
        session, image, c.start, units, kUnit * kUnits, [&](uint32_t position, uint32_t count, uint32_t& sum) {
          ++calls;
          sum = ChecksumWords(0, std::span<const uint16_t>(device.data() + position, count));
          return ChunkSum::Taken;
        });
    ASSERT_TRUE(found);
    EXPECT_EQ(session.unchanged.ranges, c.expected);
    EXPECT_EQ(session.unchanged.compared, units.size());
    uint32_t skipped = 0;
    for (const UnitRange& r : c.expected) skipped += (r.second - r.first) / kUnit;
    EXPECT_EQ(session.unchanged.skipped, skipped);
    EXPECT_EQ(calls, c.checksums);
    // What the programming loops ask of it.
    for (const UnitRange& r : c.expected) {
      EXPECT_TRUE(session.unchanged.Holds(r.first, r.second));
      EXPECT_FALSE(session.unchanged.Holds(r.first, r.second + 1));
      EXPECT_EQ(session.unchanged.SkipFrom(r.first + 1), r.second);
    }
  }
}

TEST(UnchangedUnits, AChecksumThatFailsOrACancelLeavesNothingToSkip) {
  ImageBuffer image;
  ResizeImage(image, static_cast<int32_t>(kUnit * 4));
  const std::vector<UnitRange> units{{0, 16}, {16, 32}, {32, 48}, {48, 64}};
  for (int failAt : {1, 3}) {
    testing::TestSession session(nullptr, nullptr);
    int calls = 0;
    // Groups of one unit: the first unit compares equal, then a call fails.
    const bool found =
        FindUnchangedUnits(session, image, 0, units, kUnit, [&](uint32_t, uint32_t count, uint32_t& sum) {
          if (++calls == failAt) return ChunkSum::Failed;
          sum = ChecksumWords(0, std::vector<uint16_t>(count, 0xFFFF));
          return ChunkSum::Taken;
        });
    EXPECT_FALSE(found);
    EXPECT_TRUE(session.unchanged.ranges.empty());
    EXPECT_EQ(session.unchanged.skipped, 0u);
  }
  testing::TestSession session(nullptr, nullptr);
  session.cancelAtCheck = 2;
  EXPECT_FALSE(FindUnchangedUnits(session, image, 0, units, kUnit, [&](uint32_t, uint32_t count, uint32_t& sum) {
    sum = ChecksumWords(0, std::vector<uint16_t>(count, 0xFFFF));
    return ChunkSum::Taken;
  }));
  EXPECT_TRUE(session.unchanged.ranges.empty());
  EXPECT_EQ(session.statusCode, StatusAborted);
}

}  // namespace
}  // namespace tessaro
