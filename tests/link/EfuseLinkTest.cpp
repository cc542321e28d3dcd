// eFuse burns of a 9xxx chip through the link, checked against the simulated board's fuses.
#include <gtest/gtest.h>

#include <array>

#include "tests/link/SimLinkFixture.h"

namespace tessaro::testing {
namespace {

TEST(EfuseLinkTest, BurnSetsExactlyTheBitsSent) {
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.efusePreset = {0x0000, 0x8001};
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(), LINK_OK);
  // Bit 16 is already set; burning it again changes nothing.
  const std::array<uint16_t, 5> bits = {4, 16, 35, 1023, 130};
  ASSERT_TRUE(sim.link.WriteEfuseWords(bits.data(), bits.size()));
  std::array<uint16_t, 64> expected{};
  expected[1] = 0x8001;
  for (uint16_t bit : bits) expected[bit / 16] = static_cast<uint16_t>(expected[bit / 16] | (1u << (bit % 16)));
  for (uint32_t w = 0; w < 64; ++w) EXPECT_EQ(sim.board->EfuseWord(w), expected[w]) << "word " << w;
  EXPECT_TRUE(sim.link.linked());
}

TEST(EfuseLinkTest, LinkDroppingDuringABurnIsAFailure) {
  SimLink sim("LYR9468");
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->SetEfuseDropAfterBits(2);
  const std::array<uint16_t, 4> bits = {0, 17, 34, 51};
  EXPECT_FALSE(sim.link.WriteEfuseWords(bits.data(), bits.size()));
  EXPECT_FALSE(sim.link.linked());
  // The two bits before the drop are burned, the rest are not.
  EXPECT_EQ(sim.board->EfuseWord(0), 0x0001);
  EXPECT_EQ(sim.board->EfuseWord(1), 0x0002);
  EXPECT_EQ(sim.board->EfuseWord(2), 0x0000);
  EXPECT_EQ(sim.board->EfuseWord(3), 0x0000);
  // The board answers again after a reset.
  sim.link.CloseLink(true);
  EXPECT_EQ(sim.Connect(), LINK_OK);
}

}  // namespace
}  // namespace tessaro::testing
