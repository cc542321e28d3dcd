// Boards built from a board definition (--board) or from explicit device options carry the
// devices they name: an image programmed through the link lands in the right device, the
// region dumps hold exactly it, the state file keeps it (and the DataFlash page mode) across
// runs, and bad option texts are refused with a message that names the option.
#include <gtest/gtest.h>

#include <ostream>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "session/Destinations.h"
#include "session/ProgrammingJob.h"
#include "sim/BoardDevices.h"
#include "sim/BoardState.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

const std::string kConfig = TESSARO_SOURCE_DIR "/config";
const std::string kDrivers = TESSARO_SOURCE_DIR "/drivers";

std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tessaro-boarddevices-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::string test = std::string(info->test_suite_name()) + "-" + info->name();
  for (char& c : test)
    if (c == '/') c = '-';
  return (folder / (test + "-" + name)).string();
}

std::vector<uint16_t> ReadWords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint16_t> words(bytes.size() / 2);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  return words;
}

std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

sim::SimOptions Options(std::vector<std::string> args, const std::string& config = kConfig) {
  args.push_back("--config=" + config);
  args.push_back("--drivers=" + kDrivers);
  sim::SimOptions options;
  std::string error;
  EXPECT_TRUE(sim::ParseSimOptions(args, options, error)) << error;
  return options;
}

// The programmer's side: the board it believes in (a shipped one by name, or the text of a
// definition), a job set up from it as the desktop program does, and the simulated board the
// options make.
class DeviceBoard {
 public:
  DeviceBoard(const std::string& boardName, const std::string& boardText, const sim::SimOptions& options)
      : host(options.chip, options) {
    std::string errors;
    if (boardText.empty()) {
      LoadBoardFolder(boards, kConfig, errors);
    } else {
      ParseBoardText(boards, "test.BDL", boardText, errors);
    }
    definition = boards.Find(boardName);
    EXPECT_NE(definition, nullptr) << boardName << ": " << errors;
    EXPECT_TRUE(LoadDriverFolder(job.catalogue, kDrivers, errors)) << errors;
    if (definition == nullptr || !host.board) return;
    host.config = definition->config;
    host.yesNoAnswer = PromptAnswer::Yes;  // configure a QSPI device left in its factory state
    std::string warnings;
    job.ApplyBoard(*definition, warnings);
    EXPECT_EQ(warnings, "");
    host.Prelink();
  }

  [[nodiscard]] bool Program(int32_t destination, uint32_t start, const std::vector<uint16_t>& words) {
    job.destination = destination;
    host.start = start;
    ResizeImage(job.image, static_cast<int32_t>(words.size()));
    std::copy(words.begin(), words.end(), job.image.words.begin());
    FlashIf session(host);
    std::string error;
    const bool ok = job.ProgramImage(session, error);
    EXPECT_TRUE(ok) << error << " / " << host.LastStatus();
    if (!ok || session.statusCode == StatusProgramVerified) return ok;
    // A program step that does not verify by itself is verified as the front ends do.
    FlashIf check(host);
    EXPECT_TRUE(job.VerifyImage(check, error)) << error;
    EXPECT_EQ(check.statusCode, StatusVerified) << host.LastStatus();
    return check.statusCode == StatusVerified;
  }

  BoardList boards;
  const BoardDefinition* definition = nullptr;
  SimHost host;
  ProgrammingJob job;
};

struct DeviceCase {
  const char* name;
  const char* board;      // the board the programmer uses
  const char* boardText;  // its definition ("" for a shipped board)
  std::vector<std::string> simArgs;
  int32_t destination;
  const char* region;
  uint32_t start;  // the position programmed
  size_t words;
  uint32_t windowBase = 0;  // where region word 0 is, for a position given as a window address
};
// The case as test names and failure messages show it.
void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.name; }

// The 9xxx host reaches parallel NOR and QSPI through the same window, so the shipped QSPI demo
// board is tried for its QSPI and serial devices and the NOR through the 8247 board.
const char* const kExplicitBoard =
    "[Explicit]\r\nCONFIG = LYR9468 FLASH(32k)\r\nQspiDevice = Winbond:W25Q64JV\r\nQspiDual = yes\r\n"
    "DfDevice = AT45DB161E\r\nDfEnable = P7.15=0\r\nFlashDevice = S29GL064N04\r\nNandDevice = GENERIC_NAND:ONFI\r\n";

class BoardCarries : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(BoardCarries, ProgrammedImageIsExactlyWhatTheDumpHolds) {
  const DeviceCase& c = GetParam();
  const std::string dump = TempPath(std::string(c.region) + ".bin");
  std::vector<std::string> args = c.simArgs;
  args.push_back("--dump-memory=" + std::string(c.region) + ":" + dump);
  DeviceBoard b(c.board, c.boardText, Options(args));
  ASSERT_TRUE(b.host.board);
  const std::vector<uint16_t> words = RandomWords(c.words, c.start + 5);
  ASSERT_TRUE(b.Program(c.destination, c.start, words));
  EXPECT_EQ(sim::EndBoard(*b.host.board), std::vector<std::string>{});

  const std::vector<uint16_t> held = ReadWords(dump);
  const uint32_t first = c.start - c.windowBase;
  ASSERT_GE(held.size(), first + words.size());
  for (size_t i = 0; i < held.size(); ++i) {
    const bool inImage = i >= first && i < first + words.size();
    ASSERT_EQ(held[i], inImage ? words[i - first] : 0xFFFF) << c.region << " word " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardCarries,
                         ::testing::Values(DeviceCase{"DefinitionQspi",
                                                      "LYR9468 QSPI Demo Board",
                                                      "",
                                                      {"--board=LYR9468 QSPI Demo Board"},
                                                      DestQspi,
                                                      "qspi",
                                                      0x100,
                                                      700},
                                           DeviceCase{"DefinitionMpQspi",
                                                      "LYR9468 QSPI Demo Board",
                                                      "",
                                                      {"--board=LYR9468 QSPI Demo Board"},
                                                      DestMpQspi,
                                                      "mpqspi",
                                                      0xC0000000u + 0x8000,
                                                      300,
                                                      0xC0000000u},
                                           DeviceCase{"DefinitionSerial",
                                                      "LYR9468 QSPI Demo Board",
                                                      "",
                                                      {"--board=LYR9468 QSPI Demo Board"},
                                                      DestSerial,
                                                      "spi",
                                                      0x80,
                                                      400},
                                           DeviceCase{"DefinitionSerialOn74xxPortPin",
                                                      "LYR7451 Keyboard Demo",
                                                      "",
                                                      {"--board=LYR7451 Keyboard Demo"},
                                                      DestSerial,
                                                      "spi",
                                                      0x100,
                                                      300},
                                           DeviceCase{"ExplicitDataFlashPow2",
                                                      "Explicit",
                                                      kExplicitBoard,
                                                      {"--chip=LYR9468", "--spi-flash=AT45DB161E@P7.15=0",
                                                       "--dataflash-pages=pow2"},
                                                      DestSerial,
                                                      "spi",
                                                      0x100,
                                                      300},
                                           DeviceCase{"DefinitionNor",
                                                      "LYR8247 FLASH+EXTSDR(2x8Mib,4WS)",
                                                      "",
                                                      {"--board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS)"},
                                                      DestParallel,
                                                      "nor",
                                                      0x10,
                                                      500},
                                           DeviceCase{"DefinitionNand",
                                                      "LYR9371 NAND Boot Board",
                                                      "",
                                                      {"--board=LYR9371 NAND Boot Board"},
                                                      DestNand,
                                                      "nand",
                                                      0,
                                                      1500},
                                           DeviceCase{"ExplicitDualQspi",
                                                      "Explicit",
                                                      kExplicitBoard,
                                                      {"--chip=LYR9468", "--qspi=W25Q64JV+W25Q64JV@100"},
                                                      DestQspi,
                                                      "qspi",
                                                      0x40,
                                                      600},
                                           DeviceCase{"ExplicitNor",
                                                      "Explicit",
                                                      kExplicitBoard,
                                                      {"--chip=LYR9468", "--nor=S29GL064N04@80000000"},
                                                      DestParallel,
                                                      "nor",
                                                      0,
                                                      400}),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

TEST(BoardDevices, StateKeepsDeviceContentsAndTheDataFlashPageMode) {
  const std::string state = TempPath("board.state");
  const std::string dump = TempPath("qspi.bin");
  std::filesystem::remove(state);
  const std::vector<uint16_t> words = RandomWords(500, 3);
  const std::vector<std::string> devices = {"--chip=LYR9468", "--qspi=W25Q64JV+W25Q64JV@100",
                                            "--spi-flash=AT45DB161E@P7.15=0"};
  {
    std::vector<std::string> args = devices;
    args.insert(args.end(), {"--dataflash-pages=pow2", "--state=" + state});
    DeviceBoard b("Explicit", kExplicitBoard, Options(args));
    ASSERT_TRUE(b.Program(DestQspi, 0x20, words));
    EXPECT_EQ(sim::EndBoard(*b.host.board), std::vector<std::string>{});
  }
  // Started again without the page option: the DataFlash comes up in the mode it was left in.
  std::vector<std::string> args = devices;
  args.insert(args.end(), {"--state=" + state, "--dump-memory=qspi:" + dump});
  std::string error;
  auto again = sim::SimBoard::Create(Options(args), &error);
  ASSERT_TRUE(again) << error;
  const auto carried = again->Devices();
  ASSERT_TRUE(carried && !carried->spi.empty());
  EXPECT_TRUE(carried->spi.front().device->powerOfTwo);
  EXPECT_EQ(sim::EndBoard(*again), std::vector<std::string>{});
  const std::vector<uint16_t> held = ReadWords(dump);
  ASSERT_GE(held.size(), 0x20 + words.size());
  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(held[0x20 + i], words[i]) << i;
  EXPECT_EQ(held[0x1F], 0xFFFF);
  EXPECT_EQ(held[0x20 + words.size()], 0xFFFF);
}

TEST(BoardDevices, CfiPartsAnswerTheirOwnSize) {
  struct Case {
    const char* part;
    uint16_t sizeCode;  // CFI byte 27h: log2 of the size in bytes
    uint32_t sectors;   // of 128 KiB
  };
  const Case cases[] = {
      {"S29GL128S", 0x18, 128}, {"S29GL256S", 0x19, 256}, {"S29GL512S", 0x1A, 512}, {"S29GL01GS", 0x1B, 1024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    std::string error;
    auto board =
        sim::SimBoard::Create(Options({"--chip=LYR9468", std::string("--nor=") + c.part + "@80000000"}), &error);
    ASSERT_TRUE(board) << error;
    const auto devices = board->Devices();
    ASSERT_TRUE(devices && devices->nor);
    sim::ParallelNorDevice& nor = *devices->nor;
    EXPECT_EQ(nor.sizeWords(), c.sectors * 0x10000);
    nor.WriteWord(0x55, 0x98);  // CFI query
    EXPECT_EQ(nor.ReadWord(0x27), c.sizeCode);
    const uint32_t sectorsMinusOne = nor.ReadWord(0x2D) | nor.ReadWord(0x2E) << 8;
    EXPECT_EQ(sectorsMinusOne + 1, c.sectors);
    EXPECT_EQ(nor.ReadWord(0x2F) | nor.ReadWord(0x30) << 8, 0x200);  // 128 KiB in 256-byte units
    nor.WriteWord(0, 0xF0);
    EXPECT_EQ(sim::EndBoard(*board), std::vector<std::string>{});
  }
}

TEST(BoardDevices, FaultOptionsReachTheDevices) {
  sim::SimOptions options =
      Options({"--chip=LYR9468", "--nor=S29GL064N04@80000000", "--fail-erase-sector=2", "--fail-program-word=0x30",
               "--stuck-busy", "--qspi=W25Q64JV@104", "--qspi-configured", "--busy-ms=7"});
  std::string error;
  auto board = sim::SimBoard::Create(options, &error);
  ASSERT_TRUE(board) << error;
  const auto devices = board->Devices();
  ASSERT_TRUE(devices && devices->nor && devices->mpQspi.lane0);
  EXPECT_TRUE(devices->mpQspi.lane0->options.configured);
  EXPECT_TRUE(devices->mpQspi.lane0->options.stuckBusy);
  EXPECT_EQ(devices->mpQspi.lane0->options.programBusy, std::chrono::milliseconds(7));
  EXPECT_EQ(devices->qspi.lane0, nullptr);  // 104 is the multi-purpose window only
}

TEST(BoardDevices, BadOptionTextsAreRefusedByName) {
  struct Bad {
    std::vector<std::string> args;
    const char* named;  // what the message must mention
  };
  const Bad bad[] = {
      {{"--spi-flash=AT45DB161E"}, "--spi-flash"},
      {{"--spi-flash=AT45DB161E@P7.15=0,P7.14=0"}, "--spi-flash"},
      {{"--qspi=W25Q64JV@99"}, "--qspi"},
      {{"--qspi=W25Q64JV+@100"}, "--qspi"},
      {{"--nor=S29GL064N04@xyz"}, "--nor"},
      {{"--nor=S29GL064N04"}, "--nor"},
      {{"--nand=32bit"}, "--nand"},
      {{"--dataflash-pages=512"}, "--dataflash-pages"},
      {{"--busy-ms=x"}, "--busy-ms"},
      {{"--efuses=12Z4"}, "--efuses"},
      {{"--board="}, "--board"},
  };
  for (const Bad& b : bad) {
    sim::SimOptions options;
    std::string error;
    EXPECT_FALSE(sim::ParseSimOptions(b.args, options, error)) << b.args[0];
    EXPECT_NE(error.find(b.named), std::string::npos) << error;
  }
  // Texts that parse but name nothing the board can be built from.
  const std::pair<std::vector<std::string>, const char*> unbuildable[] = {
      {{"--spi-flash=NOSUCH@P7.15"}, "NOSUCH"},
      {{"--qspi=NOSUCH@100"}, "NOSUCH"},
      {{"--nor=NOSUCH@0"}, "NOSUCH"},
      {{"--qspi=W25Q64JV+W25Q128JV@100"}, "W25Q128JV"},
      {{"--board=No Such Board"}, "No Such Board"},
  };
  for (const auto& [args, named] : unbuildable) {
    std::string error;
    EXPECT_EQ(sim::SimBoard::Create(Options(args), &error), nullptr) << args[0];
    EXPECT_NE(error.find(named), std::string::npos) << error;
  }
}

// On 9xxx the host reaches parallel NOR and the ordinary QSPI device at the same window. A board
// definition naming both gets its QSPI device there and the NOR left off with a note; a parallel
// program then finds no NOR and is refused, leaving the QSPI device as it was. Explicit options
// that put both in one window are a mistake.
TEST(BoardDevices, NorAndQspiInOneWindowKeepTheQspiDevice) {
  const std::string folder = ::testing::TempDir() + "/nor-and-qspi";
  std::filesystem::create_directories(folder);
  const std::string text =
      "[QSPI and NOR]\nCONFIG = LYR9468 FLASH(32k)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(16M,8/4WS)\n"
      "QspiDevice = Winbond:W25Q128JV\nFlashDevice = S29GL256S\n";
  std::ofstream(folder + "/Both.BDL") << text;
  DeviceBoard board("QSPI and NOR", text, Options({"--board=QSPI and NOR"}, folder));
  const auto devices = board.host.board->Devices();
  ASSERT_TRUE(devices && devices->qspi.lane0);
  EXPECT_EQ(devices->nor, nullptr);
  ASSERT_EQ(devices->notes.size(), 1u);
  EXPECT_EQ(devices->notes[0],
            "the parallel flash at 80000000 lies in the QSPI window at 80000000; S29GL256S left off");
  devices->qspi.lane0->memory[0] = 0x12;
  board.host.allowViolations = true;  // the identification cycles land in the QSPI window
  board.job.destination = DestParallel;
  ResizeImage(board.job.image, 16);
  FlashIf session(board.host);
  std::string error;
  EXPECT_FALSE(board.job.ProgramImage(session, error));
  EXPECT_EQ(error.rfind("DeviceID Mismatch:, read ", 0), 0u) << error;
  EXPECT_EQ(devices->qspi.lane0->memory[0], 0x12);
  EXPECT_EQ(std::count(devices->qspi.lane0->memory.begin() + 1, devices->qspi.lane0->memory.end(), 0xFF),
            static_cast<std::ptrdiff_t>(devices->qspi.lane0->memory.size() - 1));

  std::string refused;
  EXPECT_EQ(sim::SimBoard::Create(Options({"--chip=LYR9468", "--qspi=W25Q128JV@100", "--nor=S29GL064N04@80000000"}),
                                  &refused),
            nullptr);
  EXPECT_EQ(refused, "the parallel flash at 80000000 lies in the QSPI window at 80000000");
}

}  // namespace
}  // namespace tessaro
