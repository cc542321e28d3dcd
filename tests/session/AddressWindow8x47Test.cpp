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

// A serial flash's run moves through its own addresses: crossing 0x20000 must leave port 1's
// registers (where its select pin may be routed) as they are, and a new run maps again.
TEST(AddressWindow8x47, ASerialRunLeavesTheWindowRegistersAlone) {
  SimHost host("LYR8347");
  ASSERT_EQ(host.link.Connect(&host.callback, 1, false, host.config), LINK_OK);
  FlashIf session(host);
  AddressWindow& window = session.window;
  window.Attach(session);
  EXPECT_TRUE(window.StartRun(0));
  window.serialRun = true;
  host.link.WriteIoRegister(9, 0x0020);  // a select pin on P1.5, routed and driven
  host.link.WriteIoRegister(13, 0x0024);
  host.link.WriteIoRegister(33, 0x0024);
  for (const uint32_t position : {0x20000u, 0x1FFFFu, 0x30000u}) {
    window.Select(position);
    EXPECT_EQ(window.position, static_cast<int32_t>(position));
    EXPECT_EQ(host.board->IoRegister(9), 0x0020) << std::hex << position;
    EXPECT_EQ(host.board->IoRegister(13), 0x0024) << std::hex << position;
    EXPECT_EQ(host.board->IoRegister(33), 0x0024) << std::hex << position;
  }
  EXPECT_FALSE(window.StartRun(0x20000));
  EXPECT_FALSE(window.serialRun);
  EXPECT_EQ(host.board->IoRegister(13), 0);
}

}  // namespace
}  // namespace tessaro
