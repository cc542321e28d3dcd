// Program and verify of the embedded flash against the simulated board, through the link and
// the main window's session logic: what the simulated flash holds afterwards, the status
// lines, the 8x47 fuse word and security bit, cancel and link loss.
#include <gtest/gtest.h>

#include <random>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "session/ProgrammingJob.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

void LoadImage(ProgrammingJob& job, const std::vector<uint16_t>& words) {
  ResizeImage(job.image, static_cast<int32_t>(words.size()));
  std::copy(words.begin(), words.end(), job.image.words.begin());
}

class EmbeddedFlash : public ::testing::TestWithParam<const char*> {};

TEST_P(EmbeddedFlash, ProgramThenVerifyLeavesExactlyTheImage) {
  SimHost host(GetParam());
  host.Prelink();
  const ChipInfo& chip = *host.board->chip();
  ProgrammingJob job;
  job.destination = DestEmbedded;
  // The whole flash, but no fuse header: word 2 is not the family mark.
  std::vector<uint16_t> words = RandomWords(chip.embeddedFlashSize, 7);
  words[2] = 0x1234;
  LoadImage(job, words);
  {
    FlashIf session(host);
    std::string error;
    ASSERT_TRUE(job.ProgramImage(session, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(session.statusCode, StatusProgrammed);
    EXPECT_EQ(host.LastStatus(), "Embedded Flash: Program Success (not verified)");
    EXPECT_EQ(host.colour, ColourYellow);
    EXPECT_FALSE(job.fuseWordWritten);
  }
  for (uint32_t i = 0; i < chip.embeddedFlashSize; ++i) {
    ASSERT_EQ(host.board->FlashWord(i), words[i]) << "flash word " << i;
  }
  EXPECT_EQ(host.bar.positions.back(), 0);  // the end resets the bar
  EXPECT_EQ(host.positions.back(), "");
  EXPECT_NE(std::find(host.positions.begin(), host.positions.end(), "EMB:3F80"), host.positions.end());
  {
    FlashIf session(host);
    std::string error;
    ASSERT_TRUE(job.VerifyImage(session, error)) << error;
    EXPECT_EQ(session.statusCode, StatusVerified);
    EXPECT_EQ(host.LastStatus(), "Embedded Flash: Verify Success");
    EXPECT_EQ(host.colour, ColourGreen);
  }
  EXPECT_EQ(host.link.roundTrips(), host.board->Counters().roundTrips)
      << "the board counted other round trips than the host waited for";
  // An image that differs in one word fails at exactly that word.
  ProgrammingJob other;
  other.destination = DestEmbedded;
  std::vector<uint16_t> changed = words;
  changed[0x2345] = static_cast<uint16_t>(words[0x2345] ^ 0x00F0);
  LoadImage(other, changed);
  FlashIf session(host);
  std::string error;
  ASSERT_TRUE(other.VerifyImage(session, error)) << error;
  EXPECT_EQ(session.statusCode, StatusVerifyFailed);
  EXPECT_EQ(host.LastStatus(), "Embedded Flash: Verify FAILED at " + HexFixed(chip.embeddedFlashBase + 0x2345, 8) +
                                   ": Exp=" + HexFixed(changed[0x2345], 4) + " Read=" + HexFixed(words[0x2345], 4));
  EXPECT_EQ(host.colour, ColourRed);
}

INSTANTIATE_TEST_SUITE_P(EveryFlashChip, EmbeddedFlash,
                         ::testing::Values("LYR8721", "LYR8247", "LYR8347", "LYR8547", "LYR8647"));

TEST(EmbeddedFlashLimits, OneWordTooBigIsRefusedWithoutTraffic) {
  for (const char* name : {"LYR8721", "LYR8547"}) {
    SimHost host(name);
    ProgrammingJob job;
    job.destination = DestEmbedded;
    LoadImage(job, RandomWords(host.board->chip()->embeddedFlashSize + 1, 1));
    FlashIf session(host);
    std::string error;
    EXPECT_FALSE(job.ProgramImage(session, error));
    EXPECT_EQ(error, "Image too big for internal Flash!");
    EXPECT_FALSE(host.link.IsOpen());
    EXPECT_EQ(host.board->Counters().hostToTarget, 0u);
    EXPECT_EQ(host.board->CommandCount(), 0u);
  }
}

TEST(EmbeddedFlashFirmware, FuseWordAndSecurityBitOf8x47) {
  SimHost host("LYR8647");
  host.Prelink();
  ProgrammingJob job;
  job.destination = DestEmbedded;
  std::vector<uint16_t> words = RandomWords(0x300, 3);
  // Fuse word: bit 0 set, bit 1 clear, bit 8 set, bits 2-4 = 5, bits 5-7 = 2, bit 15 set.
  const uint16_t fuse = 0x8000 | 0x0100 | (2u << 5) | (5u << 2) | 0x0001;
  words[2] = 0x8F47;
  words[3] = fuse;
  LoadImage(job, words);
  FlashIf session(host);
  std::string error;
  ASSERT_TRUE(job.ProgramImage(session, error)) << error;
  EXPECT_TRUE(job.fuseWordWritten);
  EXPECT_EQ(job.fuseWord, fuse);
  EXPECT_EQ(host.LastStatus(), "Embedded Flash: Programming completed, security bit ON");
  // Each fuse cell holds "bit clear" for the three flags, then the two 3-bit values.
  EXPECT_EQ(host.board->FuseBit(0x8000), 0);  // f0 set -> 0
  EXPECT_EQ(host.board->FuseBit(0x8001), 1);  // f1 clear -> 1
  EXPECT_EQ(host.board->FuseBit(0x8008), 0);  // f8 set -> 0
  const uint16_t bitsB[] = {1, 0, 1};         // 5
  const uint16_t bitsA[] = {0, 1, 0};         // 2
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(host.board->FuseBit(0x8002 + i), bitsB[i]) << i;
    EXPECT_EQ(host.board->FuseBit(0x8005 + i), bitsA[i]) << i;
  }
  EXPECT_TRUE(host.board->SecurityBit());
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(host.board->FlashWord(i), words[i]) << i;
}

TEST(EmbeddedFlashFirmware, NoFuseHandlingAwayFromStartAddressZero) {
  SimHost host("LYR8547");
  host.Prelink();
  host.start = 0x100;
  ProgrammingJob job;
  job.destination = DestEmbedded;
  std::vector<uint16_t> words = RandomWords(0x100, 4);
  words[2] = 0x8F47;
  words[3] = 0x8000;
  LoadImage(job, words);
  FlashIf session(host);
  std::string error;
  ASSERT_TRUE(job.ProgramImage(session, error)) << error;
  EXPECT_FALSE(job.fuseWordWritten);
  EXPECT_FALSE(host.board->SecurityBit());
  EXPECT_EQ(host.LastStatus(), "Embedded Flash: Program Success (not verified)");
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(host.board->FlashWord(0x100 + i), words[i]) << i;
  EXPECT_EQ(host.board->FlashWord(0xFF), 0xFFFF);
}

TEST(EmbeddedFlashRun, CancelEndsWithTheAddressOfTheChunkInProgress) {
  for (bool verify : {false, true}) {
    SimHost host("LYR8721");
    host.Prelink();
    ProgrammingJob job;
    job.destination = DestEmbedded;
    std::vector<uint16_t> words = RandomWords(0x1000, 5);
    LoadImage(job, words);
    if (verify) {
      FlashIf first(host);
      std::string error;
      ASSERT_TRUE(job.ProgramImage(first, error));
    }
    host.cancelPolls = 0;
    host.cancel = [](int poll) { return poll == 3; };
    FlashIf session(host);
    std::string error;
    ASSERT_TRUE(verify ? job.VerifyImage(session, error) : job.ProgramImage(session, error)) << error;
    EXPECT_EQ(session.statusCode, StatusAborted);
    EXPECT_EQ(host.LastStatus(), "Embedded Flash: Aborted by User - Addr=06000100");
    EXPECT_EQ(host.colour, ColourYellow);
    if (!verify) {
      // Three chunks were written, the fourth was not.
      EXPECT_EQ(host.board->FlashWord(0x17F), words[0x17F]);
      EXPECT_EQ(host.board->FlashWord(0x180), 0xFFFF);
    }
  }
}

TEST(EmbeddedFlashRun, LinkLossMidRunIsAProgramFailure) {
  SimHost host("LYR8547");
  host.Prelink();
  ProgrammingJob job;
  job.destination = DestEmbedded;
  LoadImage(job, RandomWords(0x800, 6));
  // Let the link come up and a few chunks pass, then the board stops answering.
  host.cancel = [&](int poll) {
    if (poll == 2) host.board->SetStopAfterCommands(host.board->CommandCount() + 1);
    return false;
  };
  FlashIf session(host);
  std::string error;
  ASSERT_TRUE(job.ProgramImage(session, error)) << error;
  EXPECT_EQ(session.statusCode, StatusProgramFailed);
  EXPECT_EQ(host.colour, ColourRed);
  const std::string status = host.LastStatus();
  EXPECT_EQ(status.rfind("Embedded Flash: Program FAILED at 0A000100: Exp=", 0), 0u) << status;
  EXPECT_EQ(status.substr(status.size() - 9), "Read=????") << status;
  EXPECT_FALSE(host.link.linked());
}

}  // namespace
}  // namespace tessaro

namespace tessaro {
namespace {

// Bytes the host sends that reach the board lost, changed or twice, in the middle of a program
// run's page data. Program may well report success (it does not read back), but program
// followed by verify never ends verified while the flash differs from the image.
TEST(EmbeddedFlashRun, HostToTargetFaultsEndVerifiedOrFailedNeverWrong) {
  struct Fault {
    const char* name;
    uint64_t offset;  // host bytes after the link came up
    uint8_t flip;     // 0: drop, 0xFF with `twice`: duplicate
    bool twice;
  };
  const Fault faults[] = {{"corrupt bit 0", 500, 0x01, false},
                          {"corrupt bit 7", 777, 0x80, false},
                          {"corrupt pattern", 1500, 0x5A, false},
                          {"drop", 700, 0, false},
                          {"duplicate", 900, 0, true}};
  bool corruptionReachedFlash = false;
  for (const Fault& fault : faults) {
    SimHost host("LYR8547");
    host.allowViolations = true;  // a damaged command may break the monitor's rules
    host.Prelink();
    const uint64_t index = host.board->Counters().hostToTarget + fault.offset;
    if (fault.twice)
      host.board->DuplicateHostByte(index);
    else if (fault.flip == 0)
      host.board->DropHostByte(index);
    else
      host.board->CorruptHostByte(index, fault.flip);
    ProgrammingJob job;
    job.destination = DestEmbedded;
    std::vector<uint16_t> words = RandomWords(0x400, 11);
    words[2] = 0x1234;  // no fuse header
    LoadImage(job, words);
    std::string error;
    {
      FlashIf session(host);
      ASSERT_TRUE(job.ProgramImage(session, error)) << error;
    }
    bool flashMatches = true;
    for (uint32_t i = 0; i < words.size() && flashMatches; ++i) flashMatches = host.board->FlashWord(i) == words[i];
    corruptionReachedFlash |= !flashMatches;
    if (!host.link.linked()) host.Prelink();
    FlashIf session(host);
    ASSERT_TRUE(job.VerifyImage(session, error)) << error;
    if (session.statusCode == StatusVerified) {
      EXPECT_TRUE(flashMatches) << fault.name << ": verified, but the flash differs from the image";
    } else {
      EXPECT_EQ(session.statusCode, StatusVerifyFailed) << fault.name;
      EXPECT_FALSE(flashMatches) << fault.name << ": verify failed on a flash that holds the image";
    }
  }
  // The faults are placed in page data: at least one of them changes what the flash holds.
  EXPECT_TRUE(corruptionReachedFlash);
}

}  // namespace
}  // namespace tessaro
