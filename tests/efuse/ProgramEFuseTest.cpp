// The eFuse dialog's logic and the burn after firmware against the simulated board: the plan
// each chip state and EFU file give, what the simulated eFuses hold afterwards (exactly the
// plan, nothing else), the questions and texts, dry runs that send nothing, and burns that fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "efuse/ProgramEFuse.h"
#include "tests/definitions/TdfTestFolder.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

constexpr const char* kEfuAll =
    "AES = 0x0011-2233-4455-6677-8899-AABB-CCDD-EEFF\nSecured = 1\nMidiOutEnable = 1\nSSSBootEnable = 1\nWatchDog = "
    "1\n";
const EfuNumber kKey = {0xEEFF, 0xCCDD, 0xAABB, 0x8899, 0x6677, 0x4455, 0x2233, 0x0011};

// A 9xxx board, its session and a folder for EFU files.
struct Bench {
  explicit Bench(const char* chip = "LYR9468") : host(chip), session(host) {}

  std::string Efu(const std::string& text) {
    folder.Write("chip.efu", text);
    return folder.path() + "/chip.efu";
  }
  void Preset(const FuseWords& words) {
    for (uint32_t i = 0; i < kEfuseWordCount; ++i) host.board->SetEfuseWord(i, words[i]);
  }
  FuseWords Chip() {
    FuseWords words{};
    for (uint32_t i = 0; i < kEfuseWordCount; ++i) words[i] = host.board->EfuseWord(i);
    return words;
  }

  SimHost host;
  FlashIf session;
  testing::TdfTestFolder folder;
};

FuseWords WithBits(FuseWords words, const std::vector<uint16_t>& bits) {
  for (uint16_t b : bits) words[b / 16] = static_cast<uint16_t>(words[b / 16] | (1u << (b % 16)));
  return words;
}

// The key bits of a session in the order they are sent.
std::vector<uint16_t> KeyBits(uint32_t session, const EfuNumber& key) {
  std::vector<uint16_t> bits;
  for (uint32_t j = 0; j < 8; ++j)
    for (uint32_t b = 0; b < 16; ++b)
      if ((key[j] >> b) & 1) bits.push_back(static_cast<uint16_t>((session + 1) * 128 + 16 * j + b));
  return bits;
}

std::vector<uint16_t> Concat(std::vector<uint16_t> a, const std::vector<uint16_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ProgramEFuse, FreshChipGetsKeyCloseBitAndOptions) {
  Bench bench;
  CProgramEFuse dialog(bench.session, bench.Efu(kEfuAll));
  EXPECT_TRUE(dialog.parseFailure().empty());
  dialog.Initialise();
  EXPECT_EQ(dialog.aesText(), "0011-2233-4455-6677-8899-AABB-CCDD-EEFF");
  EXPECT_EQ(dialog.sessionText(), "Session: 1/7");
  EXPECT_EQ(dialog.programmedKeyText(), "");
  EXPECT_FALSE(dialog.keyProgrammed());
  EXPECT_TRUE(dialog.sssBoot() && dialog.midiOut() && dialog.watchdog() && dialog.secureSession());
  EXPECT_TRUE(dialog.programEnabled());
  EXPECT_EQ(dialog.status(), "Ready to program eFuses.");
  EXPECT_EQ(dialog.colourClass(), ColourNormal);

  const std::vector<uint16_t> expected = Concat(KeyBits(0, kKey), {1, 15, 14, 16});
  EXPECT_EQ(dialog.Plan().bits, expected);
  ASSERT_TRUE(dialog.ProgramEfuses());
  EXPECT_EQ(dialog.lastPlan().bits, expected);
  EXPECT_EQ(dialog.lastBurn().burned, expected);
  EXPECT_TRUE(dialog.lastBurn().missing.empty());
  EXPECT_EQ(dialog.status(), "eFuses programmed!");
  EXPECT_EQ(dialog.colourClass(), ColourGreen);
  EXPECT_EQ(dialog.sessionText(), "Session closed");
  EXPECT_FALSE(dialog.programEnabled());  // a second burn needs Connect first
  EXPECT_FALSE(dialog.ProgramEfuses());

  FuseWords want{};
  want[0] = 0xC002;
  want[1] = 0x0001;
  for (uint32_t j = 0; j < 8; ++j) want[8 + j] = kKey[j];
  EXPECT_EQ(bench.Chip(), want);
  EXPECT_EQ(dialog.fuseWords(), want);
  EXPECT_TRUE(dialog.questions().empty());
}

// One row: the chip's fuses before, the EFU file, the user's choices, and what must follow.
struct PlanCase {
  const char* name;
  FuseWords chip;
  const char* efu;
  bool secure;          // the "Secure Session" box as the user leaves it
  PromptAnswer answer;  // to the key-mismatch question
  uint32_t session;
  std::vector<uint16_t> plan;
  bool asked;
  const char* status;
  bool burns;
};

FuseWords Words(std::initializer_list<std::pair<uint32_t, uint16_t>> set) {
  FuseWords words{};
  for (auto [i, v] : set) words[i] = v;
  return words;
}

FuseWords SessionWithKey(uint16_t word0, uint32_t session, const EfuNumber& key) {
  FuseWords words{};
  words[0] = word0;
  for (uint32_t j = 0; j < 8; ++j) words[8 + 8 * session + j] = key[j];
  return words;
}

TEST(ProgramEFuse, PlanFollowsChipFileAndChoices) {
  const EfuNumber other = {1, 0, 0, 0, 0, 0, 0, 0};
  const PlanCase cases[] = {
      {"session 3 of 7 (bits 8, 9)", Words({{0, 0x0300}}), kEfuAll, true, PromptAnswer::No, 2,
       Concat(KeyBits(2, kKey), {3, 15, 14, 18}), false, "eFuses programmed!", true},
      {"last session",
       Words({{0, 0x3F00}}),
       "AES=0x8000000000000000000000000000000F\nWatchDog=1",
       false,
       PromptAnswer::No,
       6,
       {7 * 128, 7 * 128 + 1, 7 * 128 + 2, 7 * 128 + 3, 1023, 22},
       false,
       "eFuses programmed!",
       true},
      {"equal key: no question, no key bits",
       SessionWithKey(0x0100, 1, kKey),
       kEfuAll,
       true,
       PromptAnswer::No,
       1,
       {2, 15, 14, 17},
       false,
       "eFuses programmed!",
       true},
      {"other key, user says No",
       SessionWithKey(0x0000, 0, other),
       kEfuAll,
       true,
       PromptAnswer::No,
       0,
       {1, 15, 14, 16},
       true,
       "Programming aborted!",
       false},
      {"other key, user says Yes",
       SessionWithKey(0x0000, 0, other),
       kEfuAll,
       true,
       PromptAnswer::Yes,
       0,
       {1, 15, 14, 16},
       true,
       "eFuses programmed!",
       true},
      {"user unticks Secure Session",
       Words({}),
       "Secured=1\nMidiOutEnable=1",
       false,
       PromptAnswer::No,
       0,
       {15},
       false,
       "eFuses programmed!",
       true},
      {"file without key or options: only what the chip already has",
       Words({{0, 0x4100}, {1, 0x0002}}),
       "; nothing\n",
       false,
       PromptAnswer::No,
       1,
       {14, 17},
       false,
       "eFuses programmed!",
       true},
      {"session already closed: the close bit is sent again, nothing else of the session changes",
       SessionWithKey(0x0104, 1, kKey),
       "Secured=1\nWatchDog=1",
       true,
       PromptAnswer::No,
       1,
       {2, 17},
       false,
       "eFuses programmed!",
       true},
      {"zero key adds no key bits",
       Words({}),
       "AES=0\nSSSBootEnable=1",
       false,
       PromptAnswer::No,
       0,
       {14},
       false,
       "eFuses programmed!",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.Preset(c.chip);
    bench.host.yesNoAnswer = c.answer;
    CProgramEFuse dialog(bench.session, bench.Efu(c.efu));
    dialog.Initialise();
    ASSERT_TRUE(dialog.programEnabled()) << dialog.status();
    EXPECT_EQ(dialog.session(), c.session);
    dialog.SetSecureSession(c.secure);
    EXPECT_EQ(dialog.Plan().bits, c.plan);
    EXPECT_EQ(dialog.ProgramEfuses(), c.burns);
    EXPECT_EQ(dialog.status(), c.status);
    EXPECT_EQ(dialog.questions().size(), c.asked ? 1u : 0u);
    if (c.asked) {
      ASSERT_FALSE(bench.host.boxes.empty());
      EXPECT_EQ(bench.host.boxes.back(),
                "AES Key already programmed and differs from Key specified in EFU file, continue?");
    }
    EXPECT_EQ(bench.Chip(), c.burns ? WithBits(c.chip, c.plan) : c.chip);
    if (!c.burns) {
      EXPECT_EQ(dialog.colourClass(), ColourYellow);
    }
  }
}

TEST(ProgramEFuse, ProgrammedKeyIsShown) {
  Bench bench;
  bench.Preset(SessionWithKey(0x0300, 2, kKey));
  CProgramEFuse dialog(bench.session, bench.Efu(kEfuAll));
  dialog.Initialise();
  EXPECT_TRUE(dialog.keyProgrammed());
  EXPECT_EQ(dialog.sessionText(), "Session: 3/7");
  EXPECT_EQ(dialog.programmedKeyText(), "Programmed: 0011-2233-4455-6677-8899-AABB-CCDD-EEFF");
}

TEST(ProgramEFuse, DryRunSendsNothing) {
  Bench bench;
  CProgramEFuse dialog(bench.session, bench.Efu(kEfuAll));
  dialog.Initialise();
  const uint64_t commands = bench.host.board->CommandCount();
  EXPECT_FALSE(dialog.ProgramEfuses(/*dryRun=*/true));
  EXPECT_EQ(dialog.lastPlan().bits, Concat(KeyBits(0, kKey), {1, 15, 14, 16}));
  EXPECT_EQ(bench.host.board->CommandCount(), commands);
  EXPECT_EQ(bench.Chip(), FuseWords{});
  EXPECT_FALSE(dialog.lastBurn().sent);
  EXPECT_TRUE(dialog.programEnabled());
  EXPECT_EQ(dialog.sessionText(), "Session: 1/7");
}

TEST(ProgramEFuse, UnparsableFileOrNoLinkBurnsNothing) {
  {
    Bench bench;
    const std::string path = bench.Efu("Secured=1\nSSSBootEnable=1\nbroken line\n");
    CProgramEFuse dialog(bench.session, path);
    EXPECT_EQ(dialog.parseFailure(), "Unable to parse " + path + ":\r\nInvalid line: broken line");
    EXPECT_EQ(dialog.efu(), EfuData{});
    dialog.Initialise();
    EXPECT_EQ(dialog.status(), "Please check EFU contents!");
    EXPECT_EQ(dialog.colourClass(), ColourRed);
    EXPECT_FALSE(dialog.programEnabled());
    EXPECT_FALSE(dialog.secureSession());
    const uint64_t commands = bench.host.board->CommandCount();
    EXPECT_FALSE(dialog.ProgramEfuses());
    EXPECT_EQ(bench.host.board->CommandCount(), commands);
    EXPECT_EQ(bench.Chip(), FuseWords{});
  }
  {
    Bench bench;
    bench.host.board->Unplug();
    CProgramEFuse dialog(bench.session, bench.Efu(kEfuAll));
    dialog.Initialise();
    EXPECT_EQ(dialog.status(), "Press Connect to establish connection!");
    EXPECT_EQ(dialog.colourClass(), ColourYellow);
    EXPECT_FALSE(dialog.programEnabled());
    EXPECT_FALSE(dialog.ProgramEfuses());
    bench.host.board->Replug();
    EXPECT_EQ(bench.Chip(), FuseWords{});
  }
}

TEST(ProgramEFuse, BurnCutHalfWayIsAFailureAndTheSessionStaysOpen) {
  Bench bench;
  CProgramEFuse dialog(bench.session, bench.Efu(kEfuAll));
  dialog.Initialise();
  ASSERT_TRUE(dialog.programEnabled());
  const std::vector<uint16_t> plan = dialog.Plan().bits;
  // 32 idle commands, the start, then three bits; the board answers nothing after that.
  bench.host.board->SetStopAfterCommands(bench.host.board->CommandCount() + 33 + 3);
  EXPECT_FALSE(dialog.ProgramEfuses());
  EXPECT_EQ(dialog.status(), "eFuse programming failed!");
  EXPECT_EQ(dialog.colourClass(), ColourRed);
  EXPECT_EQ(dialog.sessionText(), "Session: 1/7");  // the close bit was never burned
  EXPECT_FALSE(dialog.lastBurn().verified);
  EXPECT_EQ(bench.Chip(), WithBits(FuseWords{}, {plan[0], plan[1], plan[2]}));
}

TEST(ProgramEFuse, BitMissingOnReadBackIsReportedNotHidden) {
  Bench bench;
  CProgramEFuse dialog(bench.session, bench.Efu("MidiOutEnable=1\nSSSBootEnable=1"));
  dialog.Initialise();
  ASSERT_EQ(dialog.Plan().bits, (std::vector<uint16_t>{15, 14}));
  // Replies of the burn: 32 + 1 + 2 + 1 acknowledges; then the high byte of fuse word 0 read
  // back comes corrupted, so bits 14 and 15 seem absent.
  bench.host.board->SetCorruptReplyByte(bench.host.board->ReplyBytes() + 36 + 2);
  EXPECT_FALSE(dialog.ProgramEfuses());
  EXPECT_EQ(dialog.status(), "eFuse programming failed!");
  EXPECT_TRUE(dialog.lastBurn().written);
  EXPECT_EQ(dialog.lastBurn().missing, (std::vector<uint16_t>{15, 14}));
}

// ---- burn after firmware ----

struct AfterCase {
  const char* name;
  FuseWords chip;
  const char* efu;
  std::vector<uint16_t> plan;
  std::vector<std::string> warnings;
};

TEST(BurnAfterFirmware, PlansWarnsAndBurnsExactly) {
  const EfuNumber other = {0, 0, 0, 0, 0, 0, 0, 0x8000};
  const AfterCase cases[] = {
      {"fresh chip", Words({}), kEfuAll, Concat(KeyBits(0, kKey), {1, 15, 14, 16}), {}},
      {"session 3 with the same key",
       SessionWithKey(0x0300, 2, kKey),
       "AES=0x00112233445566778899AABBCCDDEEFF\nSecured=1",
       {3},
       {}},
      {"another key in the session",
       SessionWithKey(0x0100, 1, other),
       kEfuAll,
       {2, 15, 14, 17},
       {"Incompatible AES Key for this session already programmed, firmware will not work!"}},
      {"options on the chip the file lacks",
       Words({{0, 0xC000}, {1, 0x0001}}),
       "AES=0x1",
       KeyBits(0, {1, 0, 0, 0, 0, 0, 0, 0}),
       {"MidiOutEnable eFuse programmed but not specified in EFU file!",
        "SSSBootEnable eFuse programmed but not specified in EFU file!",
        "Watchdog eFuse programmed but not specified in EFU file!"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.Preset(c.chip);
    bench.host.Prelink();
    EfuData efu;
    std::string error;
    ASSERT_TRUE(ParseEfuText(c.efu, efu, error)) << error;
    const AfterFirmwareResult result = BurnAfterFirmware(bench.session, efu);
    EXPECT_TRUE(result.attempted);
    EXPECT_EQ(result.plan.bits, c.plan);
    EXPECT_EQ(result.warnings, c.warnings);
    EXPECT_EQ(bench.host.boxes, c.warnings);
    EXPECT_TRUE(result.burn.verified);
    EXPECT_EQ(bench.Chip(), WithBits(c.chip, c.plan));
  }
}

TEST(BurnAfterFirmware, SendsNothingWithoutSomethingToBurnOrInADryRun) {
  struct Case {
    const char* name;
    const char* chip;
    const char* efu;
    bool dryRun;
  } cases[] = {
      {"flags 0", "LYR9468", "; only a comment\n", false},
      {"unparsable file", "LYR9468", "Secured=1\nMidiOutEnable=1\nnonsense\n", false},
      {"dry run", "LYR9468", kEfuAll, true},
      {"not a 9xxx chip", "LYR8247", kEfuAll, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.chip);
    bench.host.Prelink();
    EfuData efu;
    std::string error;
    (void)ParseEfuText(c.efu, efu, error);
    const uint64_t commands = bench.host.board->CommandCount();
    const AfterFirmwareResult result = BurnAfterFirmware(bench.session, efu, c.dryRun);
    EXPECT_FALSE(result.burn.sent);
    EXPECT_EQ(result.attempted, c.dryRun);
    if (c.dryRun) {
      EXPECT_EQ(result.plan.bits, Concat(KeyBits(0, kKey), {1, 15, 14, 16}));
      // the fuse words were read, nothing more
      EXPECT_EQ(bench.host.board->CommandCount(), commands + kEfuseWordCount);
    } else {
      EXPECT_EQ(bench.host.board->CommandCount(), commands);
    }
    EXPECT_EQ(bench.Chip(), FuseWords{});
  }
}

TEST(BurnAfterFirmware, UnreadableFusesOrACutBurnAreShownAsFailures) {
  EfuData efu;
  std::string error;
  ASSERT_TRUE(ParseEfuText(kEfuAll, efu, error)) << error;
  {
    // Fuse words that cannot be read would put the key into session 0 whatever the chip's
    // session is: nothing is burned.
    Bench bench;
    bench.Preset(Words({{0, 0x0300}}));
    bench.host.Prelink();
    bench.host.board->SetStopAfterCommands(bench.host.board->CommandCount() + 10);
    const AfterFirmwareResult result = BurnAfterFirmware(bench.session, efu);
    EXPECT_FALSE(result.attempted);
    EXPECT_FALSE(result.burn.sent);
    EXPECT_EQ(result.warnings, std::vector<std::string>{"eFuse programming failed!"});
    EXPECT_EQ(bench.Chip(), Words({{0, 0x0300}}));
  }
  {
    Bench bench;
    bench.host.Prelink();
    // 64 fuse word reads, 32 idle commands, the start and 5 bits.
    bench.host.board->SetStopAfterCommands(bench.host.board->CommandCount() + 64 + 33 + 5);
    const AfterFirmwareResult result = BurnAfterFirmware(bench.session, efu);
    EXPECT_TRUE(result.attempted);
    EXPECT_TRUE(result.burn.sent);
    EXPECT_FALSE(result.burn.verified);
    EXPECT_EQ(result.warnings, std::vector<std::string>{"eFuse programming failed!"});
    const std::vector<uint16_t>& plan = result.plan.bits;
    EXPECT_EQ(bench.Chip(), WithBits(FuseWords{}, std::vector<uint16_t>(plan.begin(), plan.begin() + 5)));
  }
}

}  // namespace
}  // namespace tessaro

namespace tessaro {
namespace {

// A lost acknowledge inside a burn ends it: nothing is resent (a resend would replay the fuse
// word read before the burn and part of the sequence), and the chip holds only what was sent.
TEST(WriteEfuseWords, LostAcknowledgeEndsTheBurnWithoutResending) {
  Bench bench;
  bench.host.Prelink();
  FuseWords words{};
  ASSERT_TRUE(ReadFuseWords(bench.host.link, words));
  const uint64_t commands = bench.host.board->CommandCount();
  // Acknowledges: 32 idle, the start, then the bits; lose the second bit's.
  bench.host.board->SetDropReplyByte(bench.host.board->ReplyBytes() + 33 + 2);
  const std::vector<uint16_t> bits = {15, 14, 3};
  EXPECT_FALSE(bench.host.link.WriteEfuseWords(bits.data(), bits.size()));
  EXPECT_FALSE(bench.host.link.linked());
  EXPECT_EQ(bench.host.board->CommandCount(), commands + 33 + 2);
  bench.host.board->SetDropReplyByte(0);
  EXPECT_EQ(bench.Chip(), WithBits(FuseWords{}, {15, 14}));
}

}  // namespace
}  // namespace tessaro
