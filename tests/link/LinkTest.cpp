#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <thread>

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

namespace tessaro::testing {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Every transport mode carries register, memory and block traffic the board then holds.
struct ModeCase {
  const char* chip;
  bool usb;
  uint8_t usbKind;
  int mode;
};
// The case as test names and failure messages show it.
void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.chip << (c.usb ? " usb" : "") << " mode " << c.mode; }

class TransportModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(TransportModeTest, MemoryAndRegistersRoundTrip) {
  const ModeCase& c = GetParam();
  sim::SimOptions options = SimLink::Options(c.chip, c.usb);
  options.usbKind = c.usbKind;
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(MEM_COM), LINK_OK);
  EXPECT_EQ(sim.link.transportMode(), c.mode);
  const bool legacy = sim.board->chip()->legacyLink;
  const uint32_t base = legacy ? 0x1000 : 0x8E10000;

  std::vector<uint16_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint16_t>(0x1000 + i * 7);
  ASSERT_TRUE(sim.link.WriteMemoryBlock(base & 0xFFFF, base >> 16, 300, data.data(), true));
  for (size_t i = 0; i < data.size(); i += 37) EXPECT_EQ(sim.board->ReadMemory(base + i), data[i]) << i;
  std::vector<uint16_t> back(300);
  ASSERT_TRUE(sim.link.ReadMemoryBlock(base & 0xFFFF, base >> 16, 300, back.data()));
  EXPECT_EQ(back, data);

  // Writes to a legacy chip are not acknowledged and leave with the next read.
  sim.link.WriteRegister(5, 0x1234);
  EXPECT_EQ(sim.link.ReadRegister(5), 0x1234u);
  EXPECT_EQ(sim.board->Register(5), 0x1234u);
  sim.link.WriteIoRegister(40, 0xBEEF);
  EXPECT_EQ(sim.link.ReadIoRegister(40), 0xBEEFu);
  EXPECT_EQ(sim.board->IoRegister(40), 0xBEEF);
  EXPECT_TRUE(sim.link.WriteMemoryWord(base + 0x400, 0x7777));
  EXPECT_EQ(sim.link.ReadMemoryWord(base + 0x400), 0x7777u);
  EXPECT_TRUE(sim.link.linked());
  EXPECT_EQ(sim.callback.lost, 0);
  // A last unacknowledged write still reaches the target when the link is released.
  sim.link.WriteIoRegister(41, 0x600D);
  sim.link.CloseLink(false);
  EXPECT_EQ(sim.board->IoRegister(41), 0x600D);
}

INSTANTIATE_TEST_SUITE_P(Modes, TransportModeTest,
                         ::testing::Values(ModeCase{"LYR9468", false, 2, 1}, ModeCase{"LYR7322", false, 2, 2},
                                           ModeCase{"LYR7312", true, 1, 3}, ModeCase{"LYR9162", true, 1, 4},
                                           ModeCase{"LYR7322", true, 2, 5}, ModeCase{"LYR9571", true, 2, 6}),
                         [](const auto& info) { return "mode" + std::to_string(info.param.mode); });

TEST(LinkTest, LegacyChipOnThePlainBoardAsksForAResetAndSkipsTheBaudSwitch) {
  SimLink sim("LYR7312");
  ASSERT_EQ(sim.Connect(MEM_COM, true), LINK_OK);
  EXPECT_EQ(sim.link.transportMode(), 2);
  EXPECT_TRUE(sim.prompt.Saw("Alert: Please reset target now"));
  EXPECT_EQ(sim.link.lineSettings().baudRate, 57600u);
  // Writes to a legacy chip expect no acknowledge; the extra count word goes with memory reads.
  EXPECT_TRUE(sim.link.WriteMemoryWord(0x20, 0x4242));
  EXPECT_EQ(sim.board->ReadMemory(0x20), 0x4242);
  EXPECT_EQ(sim.link.ReadMemoryWord(0x20), 0x4242u);
}

TEST(LinkTest, BaudSwitchOnAPlainSerialLink) {
  SimLink sim("LYR8326");
  ASSERT_EQ(sim.Connect(MEM_INTRAM, true), LINK_OK);
  EXPECT_EQ(sim.board->TargetBaud(), 115200u);
  EXPECT_EQ(sim.link.lineSettings().baudRate, 115200u);
  EXPECT_EQ(sim.board->IoRegister(254), 243);
  EXPECT_TRUE(sim.link.WriteMemoryWord(0x4000010, 0x1111));
  EXPECT_EQ(sim.board->ReadMemory(0x4000010), 0x1111);
  // Linking again starts at the base rate.
  sim.link.CloseLink(false);
  ASSERT_EQ(sim.Connect(MEM_INTRAM, true), LINK_OK);
  EXPECT_EQ(sim.board->TargetBaud(), 115200u);
}

TEST(LinkTest, BaudSwitchRefusedByTheTarget) {
  sim::SimOptions options = SimLink::Options("LYR8326");
  options.refuseBaudSwitch = true;
  SimLink sim(options);
  EXPECT_EQ(sim.Connect(MEM_INTRAM, true), LINK_NO_HIGH_BAUD);
  EXPECT_EQ(sim.board->TargetBaud(), 57600u);
}

TEST(LinkTest, BaudSwitchThroughTheUsbInterfaceInMode5) {
  SimLink sim("LYR7322", true);
  ASSERT_EQ(sim.Connect(MEM_COM, true), LINK_OK);
  EXPECT_EQ(sim.link.transportMode(), 5);
  EXPECT_EQ(sim.board->TargetBaud(), 115200u);

  sim::SimOptions options = SimLink::Options("LYR7322", true);
  options.refuseBaudSwitch = true;
  SimLink refused(options);
  EXPECT_EQ(refused.Connect(MEM_COM, true), LINK_NO_HIGH_BAUD);
}

TEST(LinkTest, SecuredChipUnlockedWithTheOfferedSession) {
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.securedSession = 3;
  SimLink sim(options);
  sim.prompt.yesNo = PromptAnswer::Yes;
  ASSERT_EQ(sim.Connect(), LINK_OK);
  EXPECT_TRUE(sim.board->SessionOpened());
  EXPECT_TRUE(
      sim.prompt.Saw("Device Secured!: This Chip is secured!\n\rUnlock Device for programming/debugging\r\n"
                     "using Debug Session 3 of 7?"));
  EXPECT_TRUE(sim.link.WriteMemoryWord(0x8E10100, 0x5A5A));
  EXPECT_EQ(sim.board->ReadMemory(0x8E10100), 0x5A5A);
}

TEST(LinkTest, SecuredChipThroughTheUsbInterface) {
  sim::SimOptions options = SimLink::Options("LYR9371", true);
  options.securedSession = 7;
  SimLink sim(options);
  sim.prompt.yesNo = PromptAnswer::Yes;
  ASSERT_EQ(sim.Connect(), LINK_OK);
  EXPECT_EQ(sim.link.transportMode(), 6);
  EXPECT_TRUE(sim.prompt.Saw("using Debug Session 7 of 7?"));
}

TEST(LinkTest, SecuredChipLeftLocked) {
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.securedSession = 2;
  SimLink sim(options);
  EXPECT_EQ(sim.Connect(), LINK_CHIP_SECURED);
  EXPECT_TRUE(sim.prompt.Saw("using Debug Session 2 of 7?"));
  EXPECT_FALSE(sim.board->SessionOpened());
  EXPECT_FALSE(sim.link.linked());
}

TEST(LinkTest, SecuredChipWithoutSessionsLeft) {
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.securedSession = 8;
  SimLink sim(options);
  sim.prompt.yesNo = PromptAnswer::Yes;
  EXPECT_EQ(sim.Connect(), LINK_NO_SESSIONS);
  EXPECT_TRUE(sim.prompt.boxes.empty());
}

TEST(LinkTest, SecurityBitOf8x47LeavesTheLinkWithoutAcknowledge) {
  sim::SimOptions options = SimLink::Options("LYR8547");
  options.securityBit = true;
  SimLink sim(options);
  EXPECT_EQ(sim.Connect(MEM_FLASH), LINK_NO_ACK);
  // The chip erase 0x72 0x35 clears the security bit; the next link succeeds.
  sim.link.SetLinked(true);
  ASSERT_TRUE(sim.link.SendByte(0x72));
  ASSERT_TRUE(sim.link.SendByte(0x35));
  uint8_t answer = 0;
  auto start = Clock::now();
  while (sim.link.ReceivedCount() == 0 && ElapsedMs(start) < 1000) {
  }
  ASSERT_TRUE(sim.link.ReceiveByte(answer));
  EXPECT_EQ(answer, 0xEE);
  EXPECT_FALSE(sim.board->SecurityBit());
  sim.link.SetLinked(false);
  EXPECT_EQ(sim.Connect(MEM_FLASH), LINK_OK);
}

TEST(LinkTest, MissingAcknowledgeIsAcceptedOnlyWhereTheChipMayOmitIt) {
  // An interface that reports no power for the serial protocol on a non-73xx chip.
  sim::SimOptions options = SimLink::Options("LYR9468", true);
  options.usbFlags = 0x04;
  SimLink sim(options);
  EXPECT_EQ(sim.Connect(), LINK_NOT_POWERED);
}

TEST(LinkTest, InterfaceRevisionAndRelease) {
  sim::SimOptions options = SimLink::Options("LYR9468", true);
  options.usbRevision = 7;
  SimLink sim(options);
  ASSERT_EQ(sim.Connect(), LINK_OK);
  EXPECT_EQ(sim.link.interfaceRevision(), 7);
  EXPECT_TRUE(sim.link.interfaceRev6());
  EXPECT_TRUE(sim.link.resetByLink());
  auto before = sim.board->Counters().hostToTarget;
  sim.link.CloseLink(true);
  EXPECT_EQ(sim.board->Counters().hostToTarget, before + 1);  // 0xB4
  EXPECT_FALSE(sim.link.IsOpen());
}

// ---- faults on the wire ----

TEST(LateReplyTest, LateReplyIsRecoveredByResync) {
  // The answer comes just after the host's wait ended, in the middle of its probing: the probe
  // answers queue behind it, the drain takes them all, and the resent command is answered.
  // (An 8x47: its probe is a whole register read. The 9xxx case is LinkedBoard below.)
  SimLink sim("LYR8547");
  ASSERT_EQ(sim.Connect(), LINK_OK);
  sim.board->SetIoRegister(40, 0x1357);
  sim.board->SetLateCommand(sim.board->CommandCount() + 1, TestTimeouts().replyMs + 6);
  sim.board->ClearTrace();
  auto start = Clock::now();
  EXPECT_EQ(sim.link.ReadIoRegister(40), 0x1357u);
  EXPECT_LT(ElapsedMs(start), 2000);
  EXPECT_TRUE(sim.link.linked());
  EXPECT_EQ(sim.callback.lost, 0);
  // The command went twice, with probes (reads of register 0x55) between.
  const auto trace = sim.board->Trace();
  ASSERT_GE(trace.size(), 3u);
  EXPECT_EQ(trace.front().op, "readIo");
  EXPECT_FALSE(trace.front().resent);
  EXPECT_EQ(trace.back().op, "readIo");
  EXPECT_TRUE(trace.back().resent);
  for (size_t i = 1; i + 1 < trace.size(); ++i) EXPECT_EQ(trace[i].Field("reg"), 0x55u) << trace[i].op;
}

class LinkedBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimLink>("LYR9468");
    ASSERT_EQ(sim_->Connect(), LINK_OK);
    board_ = sim_->board.get();
    link_ = &sim_->link;
  }
  std::unique_ptr<SimLink> sim_;
  sim::SimBoard* board_ = nullptr;
  SerialPort* link_ = nullptr;
};

TEST_F(LinkedBoard, ReplyLaterThanTheResyncWindowLosesTheLink) {
  // A target busy for seconds answers nothing the host's probes could see; the link is given up
  // and the late bytes arrive later, on a line the host no longer trusts.
  board_->SetLateCommand(board_->CommandCount() + 1, 3000);
  EXPECT_EQ(link_->ReadIoRegister(40), VALUE_INVALID);
  EXPECT_FALSE(link_->linked());
  EXPECT_GE(sim_->callback.lost, 1);
}

TEST_F(LinkedBoard, LateAnswerInTheFirstProbeWindowGivesNoWrongValue) {
  // The answer arrives just after the host stopped waiting, while the first probe (0x00 0x55)
  // sits in the 9xxx monitor as the start of a register read. Taken for the probe's answer, it
  // would leave the monitor to misread the resent command and the host to return its bytes.
  board_->SetIoRegister(40, 0x1357);
  for (int late : {0, 1, 2, 3, 5}) {
    board_->SetLateCommand(board_->CommandCount() + 1, static_cast<uint32_t>(TestTimeouts().replyMs + late));
    board_->ClearTrace();
    EXPECT_EQ(link_->ReadIoRegister(40), 0x1357u) << late;
    ASSERT_TRUE(link_->linked()) << late;
    const auto trace = board_->Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().op, "readIo") << late;
  }
  // The monitor is idle afterwards: the next command is answered as usual.
  board_->SetIoRegister(41, 0x2468);
  EXPECT_EQ(link_->ReadIoRegister(41), 0x2468u);
  EXPECT_EQ(sim_->callback.lost, 0);
}

TEST_F(LinkedBoard, CorruptedAcknowledgeIsRecovered) {
  board_->SetCorruptReplyByte(board_->ReplyBytes() + 1);
  EXPECT_TRUE(link_->WriteMemoryWord(0x8E10200, 0xA5A5));
  EXPECT_EQ(board_->ReadMemory(0x8E10200), 0xA5A5);
  EXPECT_TRUE(link_->linked());
  EXPECT_TRUE(sim_->prompt.boxes.empty());
}

TEST_F(LinkedBoard, DroppedByteOfABlockReadIsRecovered) {
  // The short reply still in the receive buffer is dropped before the probes, so it is not
  // taken for their answer, and the resent read finds an idle monitor.
  for (uint32_t i = 0; i < 600; ++i) board_->WriteMemory(0x8E20000 + i, static_cast<uint16_t>(i * 3));
  board_->SetDropReplyByte(board_->ReplyBytes() + 9);
  std::vector<uint16_t> words(600);
  ASSERT_TRUE(link_->ReadMemoryBlock(0x0000, 0x8E2, 600, words.data()));
  for (uint32_t i = 0; i < 600; ++i) ASSERT_EQ(words[i], static_cast<uint16_t>(i * 3)) << i;
}

TEST_F(LinkedBoard, OversizedBlockWriteIsRefusedAndEndsInACorruptedAcknowledge) {
  // The monitor takes at most 128 words per block write and answers anything more with 0xEE;
  // every resend is refused again until the retries are spent.
  sim_->allowViolations = true;
  std::vector<uint8_t> data(2 * 129, 0x11);
  link_->BeginCommand(1);
  ASSERT_TRUE(link_->SendByte(12));
  ASSERT_TRUE(link_->SendWord(0x0000));
  ASSERT_TRUE(link_->SendWord(0x8E4));
  ASSERT_TRUE(link_->SendWord(129));
  ASSERT_TRUE(link_->SendBlock(data.data(), data.size()));
  EXPECT_FALSE(link_->WaitAck());
  EXPECT_TRUE(sim_->prompt.Saw("Alert: Corrupted ACK received"));
  EXPECT_FALSE(link_->linked());
  EXPECT_EQ(sim_->callback.lost, 1);
  EXPECT_EQ(board_->ReadMemory(0x8E40000), 0);
}

TEST_F(LinkedBoard, TargetThatStopsAnsweringEndsTheWaitsAndTheLink) {
  board_->SetStopAfterCommands(board_->CommandCount());
  auto start = Clock::now();
  EXPECT_EQ(link_->ReadMemoryWord(0x8E10000), VALUE_INVALID);
  EXPECT_FALSE(link_->linked());
  EXPECT_GE(sim_->callback.lost, 1);
  // One reply time-out plus four resynchronisation probes, not three full retries.
  EXPECT_LT(ElapsedMs(start), 1500);
  // Unlinked operations return at once with their "down" values.
  EXPECT_EQ(link_->ReadIoRegister(1), 0xFFFFFFFFu);
  EXPECT_EQ(link_->ReadRegister(1), VALUE_INVALID);
  std::vector<uint16_t> words(4);
  EXPECT_FALSE(link_->ReadMemoryBlock(0, 0x8E1, 4, words.data()));
}

TEST_F(LinkedBoard, CableLostMidCommand) {
  board_->Unplug();
  EXPECT_FALSE(link_->WriteMemoryWord(0x8E10000, 5));
  EXPECT_FALSE(link_->linked());
  EXPECT_GE(sim_->callback.lost, 1);
  board_->Replug();
  link_->CloseLink(false);
  EXPECT_EQ(sim_->Connect(), LINK_OK);
}

TEST_F(LinkedBoard, UserAbortEndsAWait) {
  auto timeouts = TestTimeouts();
  timeouts.replyMs = 2000;
  link_->SetTimeouts(timeouts);
  board_->SetStopAfterCommands(board_->CommandCount());
  auto start = Clock::now();
  sim_->callback.abort = [start] { return ElapsedMs(start) > 50; };
  EXPECT_EQ(link_->ReadMemoryWord(0x8E10000), VALUE_INVALID);
  EXPECT_LT(ElapsedMs(start), 1000);
  EXPECT_FALSE(link_->linked());
  EXPECT_EQ(sim_->callback.lost, 1);
  EXPECT_FALSE(sim_->prompt.Saw("Timeout"));
}

TEST_F(LinkedBoard, NoRetriesLeftShowsTheTimeout) {
  // Spend the three resynchronisations of a command on a target that answers them...
  link_->BeginCommand(0);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(link_->Resync()) << i;
  EXPECT_FALSE(link_->Resync());
  EXPECT_TRUE(link_->linked());
  // ...then the target falls silent: the wait ends with the message and the link is down.
  board_->SetStopAfterCommands(board_->CommandCount());
  ASSERT_TRUE(link_->SendByte(4));
  ASSERT_TRUE(link_->SendByte(40));
  EXPECT_EQ(link_->ReceiveWord(), VALUE_INVALID);
  EXPECT_TRUE(sim_->prompt.Saw("Alert: Timeout\nPlease Reset"));
  EXPECT_FALSE(link_->linked());
  EXPECT_EQ(sim_->callback.lost, 1);
}

TEST_F(LinkedBoard, BlockWriteAcrossA64KWordBoundaryContinuesInTheNextBank) {
  std::vector<uint16_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint16_t>(0x8000 + i);
  board_->WriteMemory(0x8E10000 + 0x0080, 0xC0DE);
  ASSERT_TRUE(link_->WriteMemoryBlock(0xFF80, 0x8E1, 300, data.data(), false));
  EXPECT_EQ(board_->ReadMemory(0x8E1FF80), 0x8000);
  EXPECT_EQ(board_->ReadMemory(0x8E1FFFF), 0x8000 + 0x7F);
  EXPECT_EQ(board_->ReadMemory(0x8E20000), 0x8000 + 0x80);
  EXPECT_EQ(board_->ReadMemory(0x8E200AB), 0x8000 + 299);
  // Nothing wrapped back to the start of the bank.
  EXPECT_EQ(board_->ReadMemory(0x8E10080), 0xC0DE);
}

TEST_F(LinkedBoard, ABurstBeyondTheRingLosesNothing) {
  for (uint32_t i = 0; i < 512; ++i) board_->WriteMemory(0x8E30000 + i, static_cast<uint16_t>(i * 0x0101 + 1));
  // 40 block reads of 512 words answered before the host reads a single byte: 40960 bytes.
  for (int n = 0; n < 40; ++n) {
    link_->BeginCommand(1024);
    ASSERT_TRUE(link_->SendByte(11));
    ASSERT_TRUE(link_->SendWord(0x0000));
    ASSERT_TRUE(link_->SendWord(0x8E3));
    ASSERT_TRUE(link_->SendWord(512));
  }
  link_->Flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(link_->rxCount(), kRxRingSize);
  for (int n = 0; n < 40; ++n) {
    for (uint32_t i = 0; i < 512; ++i) {
      uint8_t lo = 0, hi = 0;
      ASSERT_TRUE(link_->ReadByte(lo) && link_->ReadByte(hi)) << n << " " << i;
      ASSERT_EQ(lo | (hi << 8), static_cast<int>((i * 0x0101 + 1) & 0xFFFF)) << n << " " << i;
    }
  }
  uint8_t extra = 0;
  link_->SetTimeouts([] {
    auto t = TestTimeouts();
    t.replyMs = 20;
    return t;
  }());
  EXPECT_FALSE(link_->ReadByte(extra));
}

TEST_F(LinkedBoard, EfuseBitsAreBurnedAndReadBack) {
  const uint16_t bits[] = {8, 9, 16 + 2, 128 + 5};
  ASSERT_TRUE(link_->WriteEfuseWords(bits, 4));
  EXPECT_EQ(board_->EfuseWord(0), 0x0300);
  EXPECT_EQ(board_->EfuseWord(1), 0x0004);
  EXPECT_EQ(board_->EfuseWord(8), 0x0020);
  link_->BeginCommand(2);
  ASSERT_TRUE(link_->SendByte(15));
  ASSERT_TRUE(link_->SendByte(0));
  EXPECT_EQ(link_->ReceiveWord(), 0x0300u);
}

TEST_F(LinkedBoard, CachePreloadOnConnect) {
  BoardConfig config;
  config.chip = FindChipByName("LYR9468");
  (void)ApplyDefaults(config, MEM_INTRAM);
  config.mode = MEM_CACHE;
  config.internalSplit = 2;
  ASSERT_EQ(link_->Connect(&sim_->callback, 0, false, config), LINK_OK);
  EXPECT_EQ(board_->ReadMemory(0x8E81000), 0x7FBF);
  EXPECT_EQ(board_->ReadMemory(0x8E813FF), 0x7FBF);
  EXPECT_EQ(board_->ReadMemory(0x8E81400), 0xBFCF);
  EXPECT_EQ(board_->ReadMemory(0x8E81800), 0xDFEB);
  EXPECT_EQ(board_->ReadMemory(0x8E81FFF), 0xF3F8);
  EXPECT_EQ(board_->ReadMemory(0x8E82000), 0);
  EXPECT_EQ(board_->IoRegister(0) & 2, 2);
}

// ---- embedded flash ----

TEST(EmbeddedFlashTest, PagesAndWordsOnA8x47) {
  SimLink sim("LYR8647");
  ASSERT_EQ(sim.Connect(MEM_FLASH), LINK_OK);
  std::vector<uint16_t> data(200);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint16_t>(0x2000 + i);
  auto before = sim.board->CommandCount();
  // 0x30..0xF7: 16 single words, two whole pages, 56 single words.
  ASSERT_TRUE(sim.link.WriteFlashBlock(0x30, 200, data.data()));
  EXPECT_EQ(sim.board->CommandCount() - before, 16u + 2u + 56u);
  for (uint32_t i = 0; i < 200; ++i) ASSERT_EQ(sim.board->FlashWord(0x30 + i), data[i]) << i;
  EXPECT_EQ(sim.board->FlashWord(0x2F), 0xFFFF);
  // Memory block writes below the flash size go to the flash in FLASH mode, read back checked.
  ASSERT_TRUE(sim.link.WriteMemoryBlock(0x1000, 0, 130, data.data(), true));
  EXPECT_EQ(sim.board->FlashWord(0x1000 + 129), data[129]);
  EXPECT_EQ(sim.board->ReadMemory(0xA001000), data[0]);
}

TEST(EmbeddedFlashTest, ByteAddressingOnThe8721) {
  SimLink sim("LYR8721");
  ASSERT_EQ(sim.Connect(MEM_FLASH), LINK_OK);
  std::vector<uint16_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint16_t>(0x4000 + i);
  auto before = sim.board->CommandCount();
  ASSERT_TRUE(sim.link.WriteFlashBlock(0x41, 100, data.data()));
  EXPECT_EQ(sim.board->CommandCount() - before, 2u);  // 0x41..0x7F and 0x80..0xA4
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(sim.board->FlashWord(0x41 + i), data[i]) << i;
  EXPECT_FALSE(sim.link.WrFlash(0, 65, data.data()));
  EXPECT_TRUE(sim.prompt.Saw("Alert: Too big buffer for WrFlash"));
}

TEST(EmbeddedFlashTest, FuseBitsAndSecurityBitOfA8x47) {
  SimLink sim("LYR8347");
  ASSERT_EQ(sim.Connect(MEM_FLASH), LINK_OK);
  sim.link.WriteFuseBits(true, false, true, 5, 2);
  EXPECT_EQ(sim.board->FuseBit(0x8000), 0);  // f0 set -> 0
  EXPECT_EQ(sim.board->FuseBit(0x8001), 1);
  EXPECT_EQ(sim.board->FuseBit(0x8008), 0);
  EXPECT_EQ(sim.board->FuseBit(0x8002), 0);  // bitsB = 2
  EXPECT_EQ(sim.board->FuseBit(0x8003), 1);
  EXPECT_EQ(sim.board->FuseBit(0x8005), 1);  // bitsA = 5
  EXPECT_EQ(sim.board->FuseBit(0x8006), 0);
  EXPECT_EQ(sim.board->FuseBit(0x8007), 1);
  const uint16_t zero = 0;
  ASSERT_TRUE(sim.link.WrFlash(0x8010, 1, &zero));
  EXPECT_TRUE(sim.board->SecurityBit());
}

// A port that cannot run faster than 57600 baud (as some adapters cannot).
class SlowOnlyDevice final : public PortDevice {
 public:
  bool ApplyLineSettings(const LineSettings& settings) override { return settings.baudRate <= 57600; }
  long Read(uint8_t*, size_t) override {  // nothing ever arrives
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  }
  void InterruptRead() override {}
  bool Write(const uint8_t*, size_t) override { return true; }
  void SetRts(bool) override {}
  void SetDtr(bool) override {}
  bool Cts() override { return false; }
  bool Dsr() override { return false; }
};

// Settings the port refuses are a failure: a port left at other settings than the link
// believes would garble everything after.
TEST(ChannelTest, RefusedLineSettingsAreReported) {
  SerialPort port;
  ScriptedPrompt prompt;
  port.SetPrompt(&prompt);
  LinkTimeouts timeouts;
  timeouts.settleMs = 0;
  port.SetTimeouts(timeouts);
  port.SetPortOpener([](uint32_t) { return std::make_unique<SlowOnlyDevice>(); });
  EXPECT_TRUE(port.SetLineSettings("57600,N,8,1"));
  ASSERT_TRUE(port.Open());
  EXPECT_FALSE(port.SetLineSettings("115200,N,8,1"));
  EXPECT_TRUE(port.SetLineSettings("19200,N,8,1"));
  EXPECT_FALSE(port.SetLineSettings("fast please"));
  (void)port.Close();
  // Opening at settings the port refuses fails as a port that cannot be opened does.
  EXPECT_TRUE(port.SetLineSettings("115200,N,8,1"));  // closed: only stored
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.IsOpen());
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0], "Communication Error: Can't open COM1!");
}

TEST(ChannelTest, OpenFailureNamesThePort) {
  SerialPort port;
  ScriptedPrompt prompt;
  port.SetPrompt(&prompt);
  port.SetPortOpener([](uint32_t) { return nullptr; });
  port.portNumber = 7;
  EXPECT_FALSE(port.Open());
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0], "Communication Error: Can't open COM7!");
  EXPECT_FALSE(port.Close());
}

TEST(ChannelTest, LineSettingsApplyAtOnceOnAnOpenPort) {
  sim::SimOptions options = SimLink::Options("LYR9468");
  options.resetMs = 20;
  SimLink sim(options);
  EXPECT_TRUE(sim.link.SetLineSettings("19200,E,7,2"));
  EXPECT_EQ(sim.link.lineSettings().parity, 'E');
  EXPECT_EQ(sim.link.lineSettings().dataBits, 7u);
  sim.link.portNumber = 1;
  ASSERT_TRUE(sim.link.Open());
  EXPECT_TRUE(sim.link.SetLineSettings("57600,N,8,1"));
  // The board's line now runs at the host's new speed: a reset request gets its greeting.
  sim.board->PressReset();
  uint8_t byte = 0;
  ASSERT_TRUE(sim.link.ReadByte(byte));
  EXPECT_EQ(byte, 0xAC);
  EXPECT_FALSE(sim.link.SetLineSettings("fast"));
}

TEST(ChannelTest, HandshakeSendGivesUpWithoutAcknowledge) {
  SimLink sim("LYR9468");  // a serial chip never strobes DSR
  sim.link.portNumber = 1;
  ASSERT_TRUE(sim.link.Open());
  auto start = Clock::now();
  EXPECT_FALSE(sim.link.HandshakeSendByte(0x5A));
  EXPECT_GE(ElapsedMs(start), 190);
  EXPECT_LT(ElapsedMs(start), 1000);
}

}  // namespace
}  // namespace tessaro::testing

namespace tessaro::testing {
namespace {

BoardConfig Parsed(const std::string& text) {
  BoardConfig config = InitBoardConfig();
  EXPECT_TRUE(ParseBoardConfig(config, text).ok) << text;
  return config;
}

TEST(ConnectTest, PreparesEachFamilysMemoryInterface) {
  {
    SimLink sim("LYR7452");
    ASSERT_EQ(sim.link.Connect(&sim.callback, 1, false, Parsed("LYR7452 INTRAM")), LINK_OK);
    EXPECT_EQ(sim.board->IoRegister(0), 0x10);
    // Reinitialising a linked target (port 0) keeps register 15 but for bits 0x2040.
    sim.board->SetIoRegister(15, 0xFFFF);
    ASSERT_EQ(sim.link.Connect(&sim.callback, 0, false, Parsed("LYR7452 INTRAM")), LINK_OK);
    EXPECT_EQ(sim.board->IoRegister(15), 0xFFFF & ~0x2040);
  }
  {
    SimLink sim("LYR8321");
    ASSERT_EQ(sim.link.Connect(&sim.callback, 1, false, Parsed("LYR8321 INTRAM")), LINK_OK);
    EXPECT_EQ(sim.board->IoRegister(0), 4);
  }
  {
    SimLink sim("LYR8547");
    BoardConfig config = Parsed("LYR8547 FLASH+EXTSDR");
    ASSERT_EQ(sim.link.Connect(&sim.callback, 1, false, config), LINK_OK);
    EXPECT_EQ(sim.board->IoRegister(33), 0x3000);
    EXPECT_EQ(sim.board->IoRegister(19), MemoryConfigWord(config));
    EXPECT_EQ(sim.board->IoRegister(58), 0x110);
    EXPECT_EQ(sim.board->IoRegister(61), 0x24);
    EXPECT_EQ(sim.board->IoRegister(0), 0x200);
  }
  {
    SimLink sim("LYR9468");
    BoardConfig config = Parsed("LYR9468 INTRAM(32k)+EXTSDR(32M,CL3/Row13/Col9)+EXTNOR(4M,8/4WS)");
    ASSERT_EQ(config.ext1Kind, EXT_SDRAM);
    ASSERT_EQ(sim.link.Connect(&sim.callback, 1, false, config), LINK_OK);
    for (uint32_t reg : {9u, 11u, 12u, 19u, 20u, 21u, 22u, 24u, 25u, 26u, 27u})
      EXPECT_EQ(sim.board->IoRegister(reg), ConfigRegisterValue(config, reg)) << reg;
    EXPECT_EQ(sim.board->IoRegister(8), ConfigRegisterValue(config, 8) & ~0x10);
    EXPECT_EQ(sim.board->IoRegister(64), ConfigRegisterValue(config, 64) | 0xC000);
    EXPECT_EQ(sim.board->IoRegister(23), ConfigRegisterValue(config, 23) | 0x40 | 0x80);
    // Connect again on the linked target, with port 0: no new link traffic for the probe.
    auto before = sim.board->Counters().hostToTarget;
    ASSERT_EQ(sim.link.Connect(&sim.callback, 0, false, config), LINK_OK);
    EXPECT_GT(sim.board->Counters().hostToTarget, before);
    EXPECT_EQ(sim.link.transportMode(), 1);
  }
}

TEST(ConnectTest, LegacyHandshakeTargetFallingSilent) {
  SimLink sim("LYR7322");
  ASSERT_EQ(sim.Connect(MEM_COM), LINK_OK);
  ASSERT_EQ(sim.link.transportMode(), 2);
  sim.board->SetStopAfterCommands(sim.board->CommandCount());
  auto start = Clock::now();
  EXPECT_EQ(sim.link.ReadIoRegister(13), VALUE_INVALID);
  EXPECT_LT(ElapsedMs(start), 1000);  // the first unacknowledged bit gives up after 200 ms
  EXPECT_FALSE(sim.link.linked());
  EXPECT_EQ(sim.callback.lost, 1);
}

TEST(ConnectTest, LegacyBlockReadThatLosesTheLinkFails) {
  SimLink sim("LYR7312");
  ASSERT_EQ(sim.Connect(MEM_COM), LINK_OK);
  for (uint32_t i = 0; i < 8; ++i) sim.board->WriteMemory(0x300 + i, static_cast<uint16_t>(0x100 + i));
  std::vector<uint16_t> words(8);
  ASSERT_TRUE(sim.link.ReadMemoryBlock(0x300, 0, 8, words.data()));
  EXPECT_EQ(words[7], 0x107);
  sim.board->SetStopAfterCommands(sim.board->CommandCount() + 2);
  EXPECT_FALSE(sim.link.ReadMemoryBlock(0x300, 0, 8, words.data()));
  EXPECT_EQ(words[1], 0x101);
}

TEST(ConnectTest, TargetFallingSilentDuringTheSequence) {
  SimLink sim("LYR8326");
  ASSERT_EQ(sim.Connect(), LINK_OK);
  // Linked again, then silent within the memory touch.
  sim.board->SetStopAfterCommands(sim.board->CommandCount() + 3);
  EXPECT_EQ(sim.Connect(), LINK_FAILED);
  EXPECT_FALSE(sim.link.linked());
  EXPECT_GE(sim.callback.lost, 1);
}

}  // namespace
}  // namespace tessaro::testing
