// The 8x47 address window switches the external low region in with three I/O registers; the
// values written are checked on the simulated board.
#include <gtest/gtest.h>

#include "link/LinkResult.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

TEST(AddressWindow8x47, SavesSwitchesAndRestoresTheRegionRegisters) {
  SimHost host("LYR8347");
  ASSERT_EQ(host.link.Connect(&host.callback, 1, false, host.config), LINK_OK);
  host.link.WriteIoRegister(9, 0x1234);
  host.link.WriteIoRegister(13, 0x0300);
  host.link.WriteIoRegister(33, 0x0030);
  FlashIf session(host);  // detached: selecting the start address changes no register
  EXPECT_EQ(host.board->IoRegister(13), 0x0300);
  AddressWindow& window = session.window;
  window.Attach(session);
  EXPECT_EQ(window.saved9, 0x1234);
  EXPECT_EQ(host.board->IoRegister(13), 0);
  EXPECT_EQ(host.board->IoRegister(33), 0);

  EXPECT_TRUE(window.Select(0x1FFFF));  // entering the low region
  EXPECT_EQ(host.board->IoRegister(13), 4);
  EXPECT_EQ(host.board->IoRegister(9), 0);
  EXPECT_EQ(host.board->IoRegister(33), 4);
  EXPECT_EQ(window.TargetAddress(), 0x3FFFFu);

  EXPECT_FALSE(window.Select(0x20000));  // leaving it: the saved values come back
  EXPECT_EQ(host.board->IoRegister(9), 0x1234);
  EXPECT_EQ(host.board->IoRegister(13), 0);
  EXPECT_EQ(host.board->IoRegister(33), 0);
  EXPECT_EQ(window.TargetAddress(), 0x20000u);

  host.link.WriteIoRegister(9, 0x5555);  // inside the high region nothing is written
  EXPECT_FALSE(window.Select(0x30000));
  EXPECT_EQ(host.board->IoRegister(9), 0x5555);

  window.Detach();  // ends in the low-region state
  EXPECT_EQ(host.board->IoRegister(13), 4);
  EXPECT_EQ(host.board->IoRegister(9), 0);
  EXPECT_EQ(host.board->IoRegister(33), 4);
  EXPECT_EQ(window.base, 0x20000);
  EXPECT_FALSE(window.attached());
}

}  // namespace
}  // namespace tessaro
