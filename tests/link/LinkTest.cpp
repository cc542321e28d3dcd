#include <gtest/gtest.h>

#include "common/Text.h"
#include "tests/link/SimLinkFixture.h"

namespace tessaro::testing {
namespace {

TEST(LinkErrorTextTest, EveryCodeHasItsText) {
  EXPECT_EQ(LinkErrorText(0), "");
  EXPECT_EQ(LinkErrorText(1), "Can't open Port!");
  EXPECT_EQ(LinkErrorText(2), "Target-Board not connected or not powered!");
  EXPECT_EQ(LinkErrorText(3), "Can't link with target, no ACK received");
  EXPECT_EQ(LinkErrorText(4), "Can't switch to high Baudrate!");
  EXPECT_EQ(LinkErrorText(5), "Can't link with target!");
  EXPECT_EQ(LinkErrorText(6), "Can't link with target, invalid response!");
  EXPECT_EQ(LinkErrorText(7), "Chip secured, Programming/Debugging not available!");
  EXPECT_EQ(LinkErrorText(8), "No more debug sessions available on this chip!");
  EXPECT_EQ(LinkErrorText(9), "Unknown Error!");
}

TEST(LinkTest, ConnectsToA9xxxChipOnAPlainSerialBoard) {
  SimLink sim("LYR9468");
  ASSERT_EQ(sim.Connect(), LINK_OK);
  EXPECT_TRUE(sim.link.linked());
  EXPECT_EQ(sim.link.transportMode(), 1);
  EXPECT_EQ(sim.link.chipDescription(), "LYR9468 QFP176[96h] Rev 1");
  // The register check leaves register 128 cleared on a 9xxx chip.
  EXPECT_EQ(sim.board->Register(128), 0u);
  EXPECT_EQ(sim.board->IoRegister(21), 0x900);
  sim.link.CloseLink(false);
  EXPECT_FALSE(sim.link.linked());
  EXPECT_EQ(sim.link.transportMode(), 0);
}

}  // namespace
}  // namespace tessaro::testing
