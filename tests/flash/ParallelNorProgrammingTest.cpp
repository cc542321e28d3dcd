// Programming and verifying parallel NOR flash end to end: the programming job, the link and
// the simulated board with a NOR device built from the shipped descriptions and "PRGDEV PAR"
// entry 10 run on it. Every case checks what the device holds afterwards.
#include <gtest/gtest.h>

#include <ostream>

#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriverPAR.h"
#include "sim/devices/ParallelNorDevice.h"
#include "sim/devices/ParallelProgramRoutine.h"
#include "tests/flash/JobOnSimBoard.h"

namespace tessaro {
namespace {

using testing::RandomWords;
using Regions = std::vector<std::pair<uint32_t, uint32_t>>;

// Where device offset 0 appears while the position is in the family's low region.
uint32_t WindowBase(const ChipInfo& chip) {
  switch (chip.familyCode) {
    case FAMILY_9XXX: return 0x80000000u;
    case FAMILY_74XX: return 0x4000000u;
    case FAMILY_8X2X: return 0x1000000u;
    case FAMILY_8X47: return 0x20000u;
    default: return 0;
  }
}

struct PartSetup {
  const char* part;
  Regions cfiRegions;  // the datasheet's CFI for CFI parts
  uint32_t bufferWords;
};

const PartSetup kCfiPart{"S29GL128S", {{128, 0x10000}}, 256};
const PartSetup kBootBlockPart{"S29GL064N04", {}, 0};
const PartSetup kStatusPart{"JS28F128P30B", {}, 0};

// A board with a NOR device on its bus, the catalogue of the shipped descriptions, and a
// programming job whose working driver is the device the board names.
class NorBoard : public testing::JobOnSimBoard {
 public:
  NorBoard(const char* chip, const PartSetup& setup, const char* boardDevice = nullptr) : JobOnSimBoard(chip) {
    std::string error;
    EXPECT_TRUE(LoadDriverFolder(catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) << error;
    ParallelDeviceRecord* found = catalogue.FindParallelDevice(setup.part);
    EXPECT_NE(found, nullptr) << setup.part;
    if (found == nullptr) return;
    sim::NorGeometry geometry;
    EXPECT_TRUE(sim::NorGeometryFromDescription(found->description, static_cast<size_t>(found->selectedPart),
                                                setup.cfiRegions, setup.bufferWords, geometry, error))
        << error;
    device = sim::AttachParallelNor(*host.board, WindowBase(*host.board->chip()), geometry);
    routine = sim::AttachParallelProgramRoutine(*host.board);
    ParallelDeviceRecord* working = catalogue.FindParallelDevice(boardDevice ? boardDevice : setup.part);
    EXPECT_NE(working, nullptr);
    if (working) job.parallel = FlashDriverTDF(*working);
    job.destination = DestParallel;
    host.Prelink();
  }

  DeviceCatalogue catalogue;
  std::shared_ptr<sim::ParallelNorDevice> device;
  std::shared_ptr<sim::ParallelProgramRoutine> routine;
};

struct ProgramCase {
  const char* chip;
  const PartSetup* setup;
  uint32_t start;
  uint32_t words;
};
// The case as test names and failure messages show it.
void PrintTo(const ProgramCase& c, std::ostream* out) {
  *out << c.chip << " " << c.setup->part << " at 0x" << std::hex << c.start << std::dec << " " << c.words << " words";
}

class ParallelProgram : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ParallelProgram, DeviceHoldsExactlyTheImageAndVerifyFindsAnyDifference) {
  const ProgramCase& c = GetParam();
  NorBoard board(c.chip, *c.setup);
  ASSERT_TRUE(board.device);
  // A word just before the range that lies in another sector stays as it was.
  const std::vector<uint16_t> words = RandomWords(c.words, c.start + c.words);
  board.Load(words);
  board.host.start = c.start;
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusProgramVerified) << board.host.LastStatus();
  EXPECT_EQ(board.host.LastStatus(), "Parallel Flash: Program and Verify Success");
  for (uint32_t i = 0; i < c.words; ++i) ASSERT_EQ(board.device->Peek(c.start + i), words[i]) << "word " << i;
  EXPECT_EQ(board.device->Peek(c.start + c.words), 0xFFFF);
  if (c.start > 0) {
    EXPECT_EQ(board.device->Peek(c.start - 1), 0xFFFF);
  }
  EXPECT_GT(board.routine->calls, 0u);

  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerified);
  EXPECT_EQ(board.host.LastStatus(), "Parallel Flash: Verify Success");

  // One changed word, near the end of the range: the verify names it exactly.
  const uint32_t at = c.words - 3;
  const uint16_t held = static_cast<uint16_t>(words[at] & 0x7FFF & ~0x0100);
  board.device->Poke(c.start + at, held);
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerifyFailed);
  EXPECT_EQ(board.host.LastStatus(), "Parallel Flash: Verify FAILED at " + HexFixed(c.start + at, 8) +
                                         ": Exp=" + HexFixed(words[at], 4) + " Read=" + HexFixed(held, 4));
  EXPECT_EQ(board.device->violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(CfiBootBlockAndStatusParts, ParallelProgram,
                         ::testing::Values(ProgramCase{"LYR9468", &kCfiPart, 0, 1000},     // last block partial
                                           ProgramCase{"LYR9468", &kCfiPart, 0x123, 700},  // unaligned start
                                           ProgramCase{"LYR7452", &kBootBlockPart, 0x0FF0,
                                                       600},  // crosses a 4K boot sector
                                           ProgramCase{"LYR9162", &kBootBlockPart, 0x2000, 300},
                                           ProgramCase{"LYR9468", &kStatusPart, 0x3F00, 0x300}));  // crosses 16K blocks

TEST(ParallelVerify, MovesNoImageDataWhenNothingDiffers) {
  NorBoard board("LYR9468", kCfiPart);
  ASSERT_TRUE(board.device);
  const std::vector<uint16_t> words = RandomWords(20000, 5);
  board.Load(words);
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  ASSERT_EQ(board.status, StatusProgramVerified);
  const uint64_t before = board.host.board->Counters().targetToHost;
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerified);
  // Reading the image back would take 40000 bytes.
  EXPECT_LT(board.host.board->Counters().targetToHost - before, 2000u);
}

TEST(ParallelCheck, WrongDeviceListsEveryPartOfTheDescription) {
  NorBoard board("LYR9468", kCfiPart, "JS28F128P30B");
  ASSERT_TRUE(board.device);
  board.Load(RandomWords(100, 1));
  std::string error;
  EXPECT_FALSE(board.Program(error));
  EXPECT_EQ(error, "DeviceID Mismatch:, read 0001:227E,\r\nexpected 0089:881B, 8818, 881A, 8817, 891C, 8919");
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(board.device->Peek(i), 0xFFFF);
}

TEST(ParallelCheck, BoardWithSeveralDevicesTakesTheOneFitted) {
  NorBoard board("LYR9468", kCfiPart);
  ASSERT_TRUE(board.device);
  std::string error;
  ASSERT_TRUE(LoadDriverFolder(board.job.catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) << error;
  BoardDefinition definition;
  definition.flashDevices = definition.flashDeviceNames = "JS28F128P30B/NOSUCHPART/S29GL128S";
  std::string warnings;
  board.job.ApplyBoard(definition, warnings);
  ASSERT_EQ(board.job.parallelChoices.size(), 2u);
  const std::vector<uint16_t> words = RandomWords(300, 12);
  board.Load(words);
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusProgramVerified);
  EXPECT_EQ(board.job.parallel.partName, "S29GL128S");
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(board.device->Peek(i), words[i]) << i;

  // None of them fitted: the refusal names what each expected.
  definition.flashDevices = definition.flashDeviceNames = "JS28F128P30B/S29GL064N04";
  board.job.ApplyBoard(definition, warnings);
  error.clear();
  EXPECT_FALSE(board.Program(error));
  EXPECT_EQ(error,
            "DeviceID Mismatch:, read 0001:227E,\r\nexpected 0089:881B, 8818, 881A, 8817, 891C, 8919\r\n"
            "DeviceID Mismatch:, read 0001:227E,\r\nexpected 0001:227E, 227E, 227E, 227E");
}

TEST(ParallelCheck, WriteSequenceLongerThanTheDriverBlockIsRefused) {
  NorBoard board("LYR9468", kCfiPart);
  ASSERT_TRUE(board.device);
  // 16 pairs fit the parameter block; a 17th would be cut off on the target.
  ValuePairList& sequence = board.job.parallel.description.pageWrite;
  while (sequence.AddressCount() < 17) sequence.Append(0x555, 0xF0);
  board.Load(RandomWords(100, 1));
  std::string error;
  EXPECT_FALSE(board.Program(error));
  EXPECT_EQ(error, "Write sequence too long for the Parallel Flash Driver");
  EXPECT_EQ(board.routine->calls, 0u);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(board.device->Peek(i), 0xFFFF);
}

TEST(ParallelCheck, ExtraIdentificationWordsPickTheBootSide) {
  // The top-boot part answers the same main identification; only word 15 differs.
  NorBoard board("LYR9468", PartSetup{"S29GL064N03", {}, 0}, "S29GL064N04");
  ASSERT_TRUE(board.device);
  parallel_flash::IdBuffer buffer;
  FlashIf session(board.host);
  session.window.Attach(session);
  session.window.Select(0);
  parallel_flash::ReadIdAndCfi(board.job.parallel, session, buffer);
  EXPECT_EQ(parallel_flash::MatchParts(board.job.parallel, buffer), 0x0001227Eu);
  EXPECT_EQ(board.job.parallel.partName, "S29GL064N03");
  ASSERT_GE(board.job.parallel.sectorTable.AddressCount(), 2);
  EXPECT_EQ(board.job.parallel.sectorTable.Address(1), 32);  // 32K-word sectors first
  EXPECT_EQ(board.job.parallel.sizeWords, 4 * 1024 * 1024);
}

TEST(ParallelCheck, CfiGeometryGivesSectorsAndWriteBuffer) {
  NorBoard board("LYR9468", kCfiPart);
  ASSERT_TRUE(board.device);
  std::string error;
  FlashIf session(board.host);
  session.window.Attach(session);
  session.window.Select(0);
  ASSERT_TRUE(parallel_flash::CheckDevice(board.job.parallel, session, error)) << error;
  EXPECT_EQ(board.job.parallel.partName, "S29GL128S");
  EXPECT_EQ(board.job.parallel.pageWords, 256u);
  EXPECT_EQ(board.job.parallel.sizeWords, 128 * 0x10000);
  EXPECT_EQ(board.job.parallel.sectorTable.AddressCount(), 129);
  EXPECT_TRUE(board.job.parallel.uploaded);
  // The encoded write-to-buffer sequence as the target driver gets it.
  EXPECT_EQ(board.host.board->Register(64) & 0xFFFF, 0x501Du);
  EXPECT_EQ(board.host.board->Register(64 + 15), 6u);
  const uint32_t expected[12] = {0x555, 0xAA, 0x2AA, 0x55, 0x8001, 0x25, 0x8001, 255, 0x8002, 0x8100, 0x8001, 0x29};
  for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(board.host.board->Register(64 + 16 + i), expected[i]) << i;
}

TEST(ParallelLegacy, ChipWordsBelow1024StayAndVerifyReadsBack) {
  NorBoard board("LYR7312", kBootBlockPart);
  ASSERT_TRUE(board.device);
  const std::vector<uint16_t> own = RandomWords(1024, 77);
  for (uint32_t i = 0; i < 1024; ++i) board.device->Poke(i, own[i]);
  std::vector<uint16_t> words = RandomWords(1400, 78);
  board.Load(words);
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusProgrammed) << board.host.LastStatus();
  for (uint32_t i = 0; i < 1024; ++i) ASSERT_EQ(board.device->Peek(i), own[i]) << "chip word " << i;
  for (uint32_t i = 1024; i < words.size(); ++i) ASSERT_EQ(board.device->Peek(i), words[i]) << "word " << i;
  // No checksum driver runs on this family: the verify reads back and can succeed.
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.status, StatusVerified) << board.host.LastStatus();
  EXPECT_EQ(board.host.link.roundTrips(), board.host.board->Counters().roundTrips)
      << "the board counted other round trips than the host waited for";
  board.device->Poke(1300, 0x0000);
  ASSERT_TRUE(board.Verify(error)) << error;
  EXPECT_EQ(board.host.LastStatus(),
            "Parallel Flash: Verify FAILED at 00000514: Exp=" + HexFixed(words[1300], 4) + " Read=0000");
  EXPECT_EQ(board.device->violations(), std::vector<std::string>{});
}

// Without a target driver every wait is the host's; a cancel in the first one (the erase of the
// block holding the chip's own words) ends the program as aborted, with those words written back.
TEST(ParallelLegacy, CancelInTheWordWaitEndsAborted) {
  NorBoard board("LYR7312", kBootBlockPart);
  ASSERT_TRUE(board.device);
  board.device->Poke(5, 0x1234);
  board.host.cancel = [](int) { return true; };
  board.Load(RandomWords(1400, 79));
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusAborted);
  EXPECT_EQ(board.host.LastStatus(), "Parallel Flash: Aborted by User - Addr=00000000");
  EXPECT_EQ(board.device->Peek(5), 0x1234);
  for (uint32_t i = 1025; i < 1400; ++i) ASSERT_EQ(board.device->Peek(i), 0xFFFF) << i;
}

// A link lost while the host polls a busy device ends the wait at once (a dead link reads as
// all ones), long before the erase's deadline of a minute, and the run says why. (Finding the
// link dead takes the link's own time-outs: a few seconds.)
TEST(ParallelLegacy, LinkLostInAWaitEndsItAtOnce) {
  for (const PartSetup* setup : {&kBootBlockPart, &kStatusPart}) {
    SCOPED_TRACE(setup->part);
    NorBoard board("LYR7312", *setup);
    ASSERT_TRUE(board.device);
    board.job.parallel.description.timeSector = 60000;
    board.device->SetStuckBusy(true);
    board.host.board->SetStopAfterCommands(board.host.board->CommandCount() + 1500);
    board.Load(RandomWords(1400, 80));
    const auto started = std::chrono::steady_clock::now();
    std::string error;
    const bool ran = board.Program(error);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
    EXPECT_TRUE(!ran || (board.status != StatusProgramVerified && board.status != StatusProgrammed))
        << board.host.LastStatus();
    EXPECT_TRUE(board.linkLost);
  }
}

TEST(ParallelSplit, FirmwareGoesToEmbeddedThenParallelFlash) {
  NorBoard board("LYR8547", kCfiPart);
  ASSERT_TRUE(board.device);
  board.job.destination = DestEmbeddedParallel;
  std::vector<uint16_t> words = RandomWords(kEmbeddedPartWords + 0x300, 21);
  words[2] = 0x1234;  // no firmware fuse header
  board.Load(words);
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, StatusProgramVerified) << board.host.LastStatus();
  for (uint32_t i = 0; i < kEmbeddedPartWords; ++i) ASSERT_EQ(board.host.board->FlashWord(i), words[i]) << i;
  for (uint32_t i = 0; i < kEmbeddedPartWords; ++i) ASSERT_EQ(board.device->Peek(i), 0xFFFF) << i;
  for (uint32_t i = kEmbeddedPartWords; i < words.size(); ++i) ASSERT_EQ(board.device->Peek(i), words[i]) << i;
  EXPECT_EQ(board.device->violations(), std::vector<std::string>{});
}

enum class Fault { SectorWillNotErase, WordWillNotProgram, StuckBusy, Cancel };

struct FaultCase {
  const char* name;
  const PartSetup* setup;
  Fault fault;
  uint32_t expectedStatus;
};
// The case as test names and failure messages show it.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ParallelFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ParallelFault, EndsWithTheFailureNeverASuccess) {
  const FaultCase& c = GetParam();
  NorBoard board("LYR9468", *c.setup);
  ASSERT_TRUE(board.device);
  board.job.parallel.description.timeSector = 300;
  const std::vector<uint16_t> words = RandomWords(0x1400, 9);
  board.Load(words);
  const uint32_t badWord = 0x1234;
  switch (c.fault) {
    case Fault::SectorWillNotErase: board.device->FailEraseOfSector(board.device->SectorOf(0x1000)); break;
    case Fault::WordWillNotProgram: board.device->FailProgramAt(badWord); break;
    case Fault::StuckBusy: board.device->SetStuckBusy(true); break;
    case Fault::Cancel: board.host.cancel = [](int) { return true; }; break;
  }
  const auto started = std::chrono::steady_clock::now();
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  EXPECT_EQ(board.status, c.expectedStatus) << board.host.LastStatus();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  if (c.fault == Fault::WordWillNotProgram) {
    EXPECT_EQ(board.host.LastStatus(), "Parallel Flash: Program FAILED at " + HexFixed(badWord, 8) +
                                           ": Exp=" + HexFixed(words[badWord], 4) +
                                           " Read=" + HexFixed(board.device->Peek(badWord), 4));
  }
  if (c.fault == Fault::SectorWillNotErase) {
    EXPECT_NE(board.host.LastStatus().find(HexFixed(board.device->SectorStart(board.device->SectorOf(0x1000)), 8)),
              std::string::npos)
        << board.host.LastStatus();
  }
  EXPECT_EQ(board.device->violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EveryWait, ParallelFault,
    ::testing::Values(FaultCase{"CfiEraseFails", &kBootBlockPart, Fault::SectorWillNotErase, StatusSectorEraseFailed},
                      FaultCase{"StatusEraseFails", &kStatusPart, Fault::SectorWillNotErase, StatusSectorEraseFailed},
                      FaultCase{"BufferWordFails", &kCfiPart, Fault::WordWillNotProgram, StatusProgramFailed},
                      FaultCase{"WordFails", &kBootBlockPart, Fault::WordWillNotProgram, StatusProgramFailed},
                      FaultCase{"StatusWordFails", &kStatusPart, Fault::WordWillNotProgram, StatusProgramFailed},
                      FaultCase{"PollingStuck", &kCfiPart, Fault::StuckBusy, StatusSectorEraseFailed},
                      FaultCase{"StatusStuck", &kStatusPart, Fault::StuckBusy, StatusSectorEraseFailed},
                      FaultCase{"CancelledErase", &kCfiPart, Fault::Cancel, StatusAborted},
                      FaultCase{"CancelledStatusErase", &kStatusPart, Fault::Cancel, StatusAborted}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Read, blank check and range erase through the job: what they report matches what the device
// holds, and an erase takes exactly the sectors the range overlaps.
TEST(ParallelRange, ReadBlankCheckAndEraseFollowTheDevice) {
  // Small blocks first, so that several lie inside the low region the window shows.
  NorBoard board("LYR9468", kStatusPart);
  ASSERT_TRUE(board.device);
  const uint32_t sector = board.device->SectorStart(1);  // first word of sector 1
  const std::vector<uint16_t> words = RandomWords(300, 11);
  for (uint32_t i = 0; i < words.size(); ++i) board.device->Poke(sector - 100 + i, words[i]);
  std::string error;

  std::vector<uint16_t> read;
  {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.ReadRange(session, sector - 100, 300, read, error)) << error;
  }
  EXPECT_EQ(read, words);

  struct BlankCase {
    uint32_t start, words;
    uint32_t status;
    uint32_t firstWritten;
  };
  const uint32_t beyond = sector + 200;  // first erased word after the written ones
  // Legend: range start and length, status, first word that is not 0xFFFF.
  const BlankCase cases[] = {
      {beyond, 0x6000, StatusEmpty, 0},  // crosses a checksum chunk
      {0, sector + 1, StatusNotBlank, sector - 100},
      {beyond - 1, 10, StatusNotBlank, beyond - 1},  // the last written word
  };
  for (const BlankCase& c : cases) {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.CheckBlankRange(session, c.start, c.words, error)) << error;
    EXPECT_EQ(session.statusCode, c.status) << HexFixed(c.start, 8);
    if (c.status == StatusNotBlank) {
      EXPECT_EQ(static_cast<uint32_t>(session.failureAddress), c.firstWritten);
      EXPECT_EQ(session.readValue, board.device->Peek(c.firstWritten));
    }
  }

  // Erase a range that starts at the end of sector 0: sectors 0 and 1 go, sector 2 stays.
  const uint32_t sector2 = board.device->SectorStart(2);
  board.device->Poke(sector2, 0x1234);
  {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.EraseRange(session, sector - 1, 2, error)) << error;
    EXPECT_EQ(session.statusCode, StatusErased);
  }
  for (uint32_t i = 0; i < sector2; ++i) ASSERT_EQ(board.device->Peek(i), 0xFFFF) << i;
  EXPECT_EQ(board.device->Peek(sector2), 0x1234);
  {
    FlashIf session(board.host);
    ASSERT_TRUE(board.job.CheckBlankRange(session, 0, sector2, error)) << error;
    EXPECT_EQ(session.statusCode, StatusEmpty);
  }
  EXPECT_EQ(board.device->violations(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessaro

namespace tessaro {
namespace {

// The host's writes of one program run on a 9xxx chip, written down from the parallel NOR
// protocol: autoselect and CFI query at the window base, the "PRGDEV PAR" upload in 128-word
// pieces and its 48-word parameter block, the description's sector erase at the command base,
// then per 256-word block the data buffer, the block's address and count and the call of entry
// 10, and last the quick verify's checksum call. Reads (identification, read-back checks,
// status polls) are left out.
TEST(ParallelWire, ProgramWritesFollowTheProtocol) {
  NorBoard board("LYR9468", kCfiPart);
  ASSERT_TRUE(board.device);
  const std::vector<uint16_t> words = RandomWords(300, 8);  // a whole block and a partial one
  board.Load(words);
  board.host.board->ClearTrace();
  std::string error;
  ASSERT_TRUE(board.Program(error)) << error;
  ASSERT_EQ(board.status, StatusProgramVerified) << board.host.LastStatus();

  auto mem = [](uint32_t address, uint32_t value) {
    return "writeMem " + HexFixed(address, 8) + "=" + HexFixed(value, 4);
  };
  auto reg = [](uint32_t r, uint32_t value) { return "writeReg " + std::to_string(r) + "=" + Hex(value); };
  auto block = [](uint32_t address, size_t count) {
    return "writeBlock " + HexFixed(address, 8) + " x" + std::to_string(count);
  };
  auto call = [](uint32_t address) { return "call " + Hex(address); };

  const uint32_t a = 0x80000000;  // device word 0 in the 9xxx window; also the command base
  const uint32_t imageWords = 1175, dataBuffer = 0x0497, programEntry = 0x0402, checksumEntry = 0x0466;
  std::vector<std::string> expected = {
      mem(a, 0xF0),
      mem(a + 0x555, 0xAA),
      mem(a + 0x2AA, 0x55),
      mem(a + 0x555, 0x90),  // autoselect
      mem(a + 0x55, 0xF0),
      mem(a + 0x55, 0x98),
      mem(a + 0x55, 0xF0),  // CFI query
      // The description's read-array sequence: parts of the Intel command set ignore the 0xF0
      // above and would still answer the query.
      mem(a, 0xF0),
  };
  for (uint32_t at = 0; at < imageWords; at += 128) expected.push_back(block(at, std::min(128u, imageWords - at)));
  const ChipInfo& chip = *board.host.board->chip();
  // Signature, the ROM routines, status type POLLING with error bit DQ5, then the write-to-buffer
  // sequence: unlock, 0x25 and COUNTBUT1 at the sector (USER), the buffer (BLOCK of 256), confirm.
  std::vector<uint32_t> parameters = {0x501D,
                                      chip.FindRomSymbol("ROM$DBGRETURN"),
                                      chip.FindRomSymbol("ST$SENDBYTE"),
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0x20,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      6,
                                      0x555,
                                      0xAA,
                                      0x2AA,
                                      0x55,
                                      0x8001,
                                      0x25,
                                      0x8001,
                                      255,
                                      0x8002,
                                      0x8000 + 256,
                                      0x8001,
                                      0x29};
  parameters.resize(48, 0);
  for (uint32_t i = 0; i < 48; ++i) expected.push_back(reg(64 + i, parameters[i]));
  // Sector 0 (64K words holds the whole image): the description's erase sequence, once.
  for (const auto& [offset, value] : std::vector<std::pair<uint32_t, uint32_t>>{
           {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x80}, {0x555, 0xAA}, {0x2AA, 0x55}})
    expected.push_back(mem(a + offset, value));
  expected.push_back(mem(a, 0x30));
  for (const uint32_t offset : {0u, 256u}) {
    expected.push_back(block(dataBuffer, 128));
    expected.push_back(block(dataBuffer + 128, 128));
    for (const std::string& w : {reg(56, offset), reg(57, 0x8000), reg(58, 256), call(programEntry)})
      expected.push_back(w);
  }
  for (const std::string& w : {reg(61, 0), reg(62, 0), reg(56, 0), reg(57, 0x8000), reg(58, 300), call(checksumEntry)})
    expected.push_back(w);

  std::vector<std::string> seen;
  std::vector<uint16_t> buffered;  // what went to the data buffer, in order
  for (const sim::SimTraceRecord& r : board.host.board->Trace()) {
    const uint64_t address = r.Field("addr").value_or(0);
    const auto value = static_cast<uint32_t>(r.Field("value").value_or(0));
    if (r.op == "writeMem") seen.push_back(mem(static_cast<uint32_t>(address), value));
    if (r.op == "writeReg") seen.push_back(reg(static_cast<uint32_t>(r.Field("reg").value_or(0)), value));
    if (r.op == "writeIo" || r.op == "writeFlash") seen.push_back(r.Json());
    if (r.op == "call") seen.push_back(call(static_cast<uint32_t>(address)));
    if (r.op == "writeBlock") {
      seen.push_back(block(static_cast<uint32_t>(address), r.data.size()));
      if (address >= dataBuffer) buffered.insert(buffered.end(), r.data.begin(), r.data.end());
    }
  }
  EXPECT_EQ(seen, expected);
  // The blocks carry the image, and the erased value past its end (never stray buffer words).
  ASSERT_EQ(buffered.size(), 512u);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(buffered[i], i < words.size() ? words[i] : 0xFFFF) << i;
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(board.device->Peek(i), i < words.size() ? words[i] : 0xFFFF) << i;
}

// The memory-map scan's lookup: the catalogue entry of the part on the bus, told apart by its
// extra identification words, or none on an empty bus; the device reads its array afterwards.
TEST(ParallelDetect, FindsThePartOnTheBusOrNothing) {
  struct Case {
    const PartSetup* fitted;  // null: nothing on the bus
    const char* found;        // null: no entry
  };
  const PartSetup topBoot{"S29GL064N03", {}, 0};
  const Case cases[] = {{&kCfiPart, "S29GL128S"},
                        {&kBootBlockPart, "S29GL064N04"},
                        {&topBoot, "S29GL064N03"},
                        {&kStatusPart, "JS28F128P30B"},
                        {nullptr, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.found ? c.found : "empty bus");
    std::unique_ptr<NorBoard> fitted;
    std::unique_ptr<testing::SimHost> bare;
    testing::SimHost* host = nullptr;
    if (c.fitted) {
      fitted = std::make_unique<NorBoard>("LYR9468", *c.fitted);
      ASSERT_TRUE(fitted->device);
      fitted->device->Poke(0, 0x1234);
      host = &fitted->host;
    } else {
      bare = std::make_unique<testing::SimHost>("LYR9468");
      bare->allowViolations = true;  // the query cycles go to an empty bus
      bare->Prelink();
      host = bare.get();
    }
    DeviceCatalogue catalogue;
    std::string error;
    ASSERT_TRUE(LoadDriverFolder(catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) << error;
    FlashIf session(*host);
    session.window.Attach(session);
    session.window.Select(0);
    const DeviceDescription* entry = parallel_flash::DetectParallelDevice(catalogue, session);
    if (c.found == nullptr) {
      EXPECT_EQ(entry, nullptr) << entry->name;
      continue;
    }
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name, c.found);
    ASSERT_NE(entry->part, nullptr);
    EXPECT_EQ(entry->part->name, c.found);
    EXPECT_EQ(host->link.ReadMemoryWord(0x80000000), 0x1234u) << "left in a query mode";
  }
}

}  // namespace
}  // namespace tessaro
