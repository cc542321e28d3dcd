// Board autodetect over simulated boards: what each kind of board is detected as (the found
// devices, the message, the definition text), that detection leaves every device as it was
// and writes only identification cycles and registers, and that a 9xxx chip gets its memory
// interface back.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "definitions/DeviceCatalogue.h"
#include "sim/BoardState.h"
#include "sim/SimOptions.h"
#include "tests/session/SimSession.h"
#include "tools/Autodetect.h"

namespace tessaro {
namespace {

sim::SimOptions Options(const std::string& text) {
  sim::SimOptions options;
  std::string error;
  EXPECT_TRUE(sim::ParseSimOptions(sim::SplitSimOptionList(text), options, error)) << text << ": " << error;
  return options;
}

// The first words of every memory of the board, device memories first filled with a pattern so
// that an erase shows as well as a program.
using Snapshot = std::vector<std::vector<uint16_t>>;
constexpr uint32_t kSnapshotWords = 0x1000;

Snapshot Fill(sim::SimBoard& board) {
  const std::set<std::string> devices = {"spi", "qspi", "mpqspi", "nor", "nand"};
  Snapshot snapshot;
  for (const sim::StateRegion& region : sim::BoardRegions(board)) {
    std::vector<uint16_t> words;
    for (uint32_t i = 0; i < std::min(region.words, kSnapshotWords); ++i) {
      if (devices.count(region.name) != 0 && region.write) region.write(i, static_cast<uint16_t>(i * 0x9E37 + 1));
      words.push_back(region.read(i));
    }
    snapshot.push_back(words);
  }
  return snapshot;
}

Snapshot Take(sim::SimBoard& board) {
  Snapshot snapshot;
  for (const sim::StateRegion& region : sim::BoardRegions(board)) {
    std::vector<uint16_t> words;
    for (uint32_t i = 0; i < std::min(region.words, kSnapshotWords); ++i) words.push_back(region.read(i));
    snapshot.push_back(words);
  }
  return snapshot;
}

std::string Join(const std::vector<DetectedDevice>& devices) {
  std::string text;
  for (const DetectedDevice& device : devices) text += (text.empty() ? "" : " | ") + DetectedDeviceText(device);
  return text;
}

struct Case {
  const char* label;
  const char* board;    // simulated board options
  int choice;           // the answer to a choice among several devices (-1: dismissed)
  const char* devices;  // the found devices, in scan order
  const char* message;  // the message of a run that ended without a definition
  const char* bdl;      // the definition text with the title "T" ("" without one)
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.label; }

// One board per kind. Sizes are word exponents: a 16 MiB QSPI part holds 8M words.
const Case kCases[] = {
    {"73xx parallel NOR", "chip=LYR7312,interface=usb,nor=S29GL064N04@0", 0, "EXTMEM[0001:0000]: Spansion:S29GL064N04",
     "", "[T]\r\nConfig=LYR7312\r\nFlashDevice=Spansion:S29GL064N04"},
    {"74xx parallel NOR", "chip=LYR7451,nor=S29GL064N04@4000000", 0, "WCS0[0400:0000]: Spansion:S29GL064N04", "",
     "[T]\r\nConfig=LYR7451 FLASH+EXTMEM\r\nFlashDevice=Spansion:S29GL064N04"},
    {"8x2x part told apart by its extra ID words", "chip=LYR8321,nor=S29GL064N04:S29GL032N03@1000000", 0,
     "EXTMEM[0000:0000]: Spansion:S29GL032N03", "", "[T]\r\nConfig=LYR8321\r\nFlashDevice=Spansion:S29GL032N03"},
    {"8x2x Intel part after the first of its description", "chip=LYR8321,nor=JS28F128P30B:JS28F640P30B@1000000", 0,
     "EXTMEM[0000:0000]: Micron:JS28F640P30B", "", "[T]\r\nConfig=LYR8321\r\nFlashDevice=Micron:JS28F640P30B"},
    {"8x47 parallel NOR", "chip=LYR8547,nor=S29GL128S@20000", 0, "WCS0[0000:0000]: Spansion:S29GL128S", "",
     "[T]\r\nConfig=LYR8547 FLASH+EXTMEM\r\nFlashDevice=Spansion:S29GL128S"},
    {"9xxx parallel NOR", "chip=LYR9468,nor=S29GL256S@80000000", 0, "DevB[4000:0000]: Spansion:S29GL256S", "",
     "[T]\r\nConfig=LYR9468 INTRAM(32k)+EXTNOR(16M,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)\r\n"
     "FlashDevice=Spansion:S29GL256S"},
    {"9xxx single QSPI", "board=LYR9162 QSPI SRAM Board", 0, "QSPI[4000:0000]: Spansion:S25FL128S", "",
     "[T]\r\nConfig=LYR9162 INTRAM(16k)+1:EXTQNOR(8M,12/4WS)\r\nQspiDevice=Spansion:S25FL128S"},
    {"9xxx dual QSPI", "chip=LYR9371,strapping=5,qspi=S25FL128S+S25FL128S@100", 0,
     "DQSPI[4000:0000]: Spansion:S25FL128S", "",
     "[T]\r\nConfig=LYR9371 INTRAM(32k)+1:EXTQNOR(16M,12/4WS)+EXTQSRAM(512k,7/7WS)\r\nDualQSPI=Yes\r\n"
     "QspiDevice=Spansion:S25FL128S"},
    {"9xxx single QSPI where a pair may be", "chip=LYR9371,strapping=5,qspi=S25FL128S@100", 0,
     "QSPI[4000:0000]: Spansion:S25FL128S", "",
     "[T]\r\nConfig=LYR9371 INTRAM(32k)+1:EXTQNOR(8M,12/4WS)+EXTQSRAM(512k,7/7WS)\r\nQspiDevice=Spansion:S25FL128S"},
    {"9xxx NAND", "chip=LYR9371,strapping=2,nand", 0, "DevB[4000:0000]: GENERIC_NAND:ONFI", "",
     "[T]\r\nConfig=LYR9371 INTRAM(32k)+1:EXTNAND(512k,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)\r\n"
     "NandDevice=GENERIC_NAND:ONFI"},
    {"9xxx NAND board file, strapped as its memories say", "board=LYR9371 NAND Boot Board", 0,
     "DevB[4000:0000]: GENERIC_NAND:ONFI", "",
     "[T]\r\nConfig=LYR9371 INTRAM(32k)+1:EXTNAND(512k,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)\r\n"
     "NandDevice=GENERIC_NAND:ONFI"},
    {"9xxx NOR with a DataFlash on P7.15", "chip=LYR9468,nor=S29GL256S@80000000,spi-flash=AT45DB161E@P7.15", 0,
     "DevB[4000:0000]: Spansion:S29GL256S", "",
     "[T]\r\nConfig=LYR9468 INTRAM(32k)+EXTNOR(16M,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)\r\n"
     "FlashDevice=Spansion:S29GL256S\r\nDfDevice=AT45DB161E\r\nDfEnable=P7.15"},
    {"9xxx MP QSPI chosen: no DataFlash looked for",
     "chip=LYR9468,nor=S29GL256S@80000000,qspi=MX25L25645G@104,spi-flash=AT45DB161E@P7.15", 1,
     "DevB[4000:0000]: Spansion:S29GL256S | MP QSPI[C000:0000]: Macronix:MX25L25645G", "",
     "[T]\r\nConfig=LYR9468 INTRAM(32k)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)+EXTNOR(16M,12/4WS)\r\n"
     "MpQspiDevice=Macronix:MX25L25645G"},
    {"9xxx QSPI board whose strapping puts parallel NOR second: the scan finds its MP device only",
     "board=LYR9468 QSPI Demo Board", 0, "MP QSPI[C000:0000]: Macronix:MX25L25645G", "",
     "[T]\r\nConfig=LYR9468 INTRAM(32k)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)+EXTNOR(512k,12/4WS)\r\n"
     "MpQspiDevice=Macronix:MX25L25645G"},
    {"several devices, the choice dismissed", "chip=LYR9468,nor=S29GL256S@80000000,qspi=MX25L25645G@104", -1,
     "DevB[4000:0000]: Spansion:S29GL256S | MP QSPI[C000:0000]: Macronix:MX25L25645G",
     "Unable to detect compatible flash device (00C2:2019)!", ""},
    {"empty window", "chip=LYR8321", 0, "", "Unable to detect compatible flash device (FFFF:FFFF)!", ""},
    {"chip without windows", "chip=LYR8721", 0, "", "Unable to detect compatible flash device (0000:0000)!", ""},
    {"secured 9xxx", "chip=LYR9468,secured=none-left,nor=S29GL256S@80000000", 0, "",
     "No CPU detected (or Security Fuse set)!", ""},
    {"8x47 with its security bit set", "chip=LYR8547,security-bit,nor=S29GL128S@20000", 0, "",
     "No CPU detected (or Security Fuse set)!", ""},
};

// What a run may send: reads, register and I/O register writes, and single memory words (the
// identification cycles). No block writes, no embedded flash writes, no target routine calls.
const std::set<std::string> kAllowedOps = {"readBlock", "readIo",   "readMem", "readReg",
                                           "writeIo",   "writeMem", "writeReg"};

class Autodetect : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    std::string errors;
    ASSERT_TRUE(LoadDriverFolder(catalogue_, TESSARO_BIN_DIR "/drivers", errors)) << errors;
  }
  static DeviceCatalogue catalogue_;
};
DeviceCatalogue Autodetect::catalogue_;

TEST_P(Autodetect, FindsTheBoardsDevicesAndChangesNothingOnThem) {
  const Case& c = GetParam();
  sim::SimOptions options = Options(c.board);
  testing::SimHost host(options.chip, options);
  ASSERT_NE(host.board, nullptr);
  const Snapshot before = Fill(*host.board);
  host.board->ClearTrace();
  std::vector<std::string> offered;
  const AutodetectResult result = RunAutodetect(host, catalogue_, [&](const std::vector<DetectedDevice>& devices) {
    for (const DetectedDevice& device : devices) offered.push_back(DetectedDeviceText(device));
    return c.choice;
  });

  EXPECT_EQ(Join(result.devices), c.devices);
  EXPECT_EQ(result.message, c.message);
  EXPECT_EQ(result.detected, std::string(c.message).empty());
  if (*c.message != '\0') {
    EXPECT_EQ(host.boxes, std::vector<std::string>{c.message});
  }
  // The choice is offered only when there is one to make, with every device found.
  EXPECT_EQ(offered.size() > 1 ? offered.size() : 0u, result.devices.size() > 1 ? result.devices.size() : 0u);
  if (result.detected) {
    BdlDraft draft = result.draft;
    draft.title = "T";
    EXPECT_EQ(BuildBdlText(draft), c.bdl);
  }
  EXPECT_EQ(Take(*host.board), before) << "detection changed a memory of the board";
  for (const sim::SimTraceRecord& record : host.board->Trace())
    EXPECT_EQ(kAllowedOps.count(record.op), 1u) << record.Json();

  // A 9xxx chip gets the memory interface of the host's own configuration back (bit 4 of
  // register 8 stays the chip's).
  if (result.chip != nullptr && result.chip->familyCode == FAMILY_9XXX) {
    for (uint32_t reg : {9u, 11u, 12u, 13u, 19u, 20u, 22u, 23u, 24u, 25u, 26u, 27u})
      EXPECT_EQ(host.board->IoRegister(reg), ConfigRegisterValue(host.config, reg)) << "register " << reg;
    EXPECT_EQ(host.board->IoRegister(8) & ~0x10u, ConfigRegisterValue(host.config, 8) & ~0x10u);
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, Autodetect, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name;
  for (const char* p = info.param.label; *p != '\0'; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
});

// The target falls silent after the Nth command: while the link is made, or during the scan.
// Neither is taken for a secured chip: a detection never offers a chip erase.
TEST(AutodetectFailures, ALinkLostOnTheWayIsReportedWithoutAnEraseOffer) {
  DeviceCatalogue catalogue;
  std::string errors;
  ASSERT_TRUE(LoadDriverFolder(catalogue, TESSARO_BIN_DIR "/drivers", errors)) << errors;
  struct FailureCase {
    uint32_t silentAfter;
    const char* message;
  };
  for (const FailureCase& c : {FailureCase{20, kCantConnect}, FailureCase{60, kConnectionLost}}) {
    testing::SimHost host("LYR9468",
                          Options("nor=S29GL256S@80000000,link-loss-at-command=" + std::to_string(c.silentAfter)));
    const AutodetectResult result = RunAutodetect(host, catalogue, nullptr);
    EXPECT_FALSE(result.detected) << c.silentAfter;
    EXPECT_EQ(result.message, c.message) << c.silentAfter;
    EXPECT_EQ(host.boxes, std::vector<std::string>{c.message}) << c.silentAfter;
  }
}

// A stop the user asked for is told as a cancel (status line, no box) and makes no definition:
// before the link is made (nothing to put back), inside the scan (the memory interface is put
// back), and inside the scan with the link lost on the way.
TEST(AutodetectFailures, ACancelIsToldAsACancel) {
  DeviceCatalogue catalogue;
  std::string errors;
  ASSERT_TRUE(LoadDriverFolder(catalogue, TESSARO_BIN_DIR "/drivers", errors)) << errors;
  struct CancelCase {
    const char* board;
    int cancelAtPoll;                                // the host's cancel check that first says yes
    enum { Untouched, PutBack, Unknown } registers;  // the memory interface afterwards
  };
  for (const CancelCase& c : {CancelCase{"nor=S29GL256S@80000000", 1, CancelCase::Untouched},
                              CancelCase{"nor=S29GL256S@80000000", 3, CancelCase::PutBack},
                              CancelCase{"nor=S29GL256S@80000000,link-loss-at-command=60", 3, CancelCase::Unknown}}) {
    testing::SimHost host("LYR9468", Options(c.board));
    std::vector<uint32_t> before;
    for (uint32_t reg : {9u, 11u, 19u}) before.push_back(host.board->IoRegister(reg));
    host.cancel = [&](int polls) { return polls >= c.cancelAtPoll; };
    const AutodetectResult result = RunAutodetect(host, catalogue, nullptr);
    const std::string label = std::string(c.board) + " @" + std::to_string(c.cancelAtPoll);
    EXPECT_TRUE(result.cancelled) << label;
    EXPECT_FALSE(result.detected) << label;
    EXPECT_EQ(result.message, kAutodetectCancelled) << label;
    EXPECT_TRUE(host.boxes.empty()) << label;
    EXPECT_EQ(host.LastStatus(), kAutodetectCancelled) << label;
    if (c.registers == CancelCase::Unknown) continue;
    size_t i = 0;
    for (uint32_t reg : {9u, 11u, 19u}) {
      const uint32_t expected = c.registers == CancelCase::PutBack ? ConfigRegisterValue(host.config, reg) : before[i];
      EXPECT_EQ(host.board->IoRegister(reg), expected) << label << " register " << reg;
      ++i;
    }
  }
}

TEST(AutodetectText, SizesAndChoices) {
  struct SizeCase {
    uint32_t size, low, high, exponent;
  };
  for (const SizeCase& c :
       {SizeCase{0, 10, 26, 10}, SizeCase{2, 10, 26, 10}, SizeCase{3, 0, 32, 2}, SizeCase{0x800000, 10, 26, 23},
        SizeCase{0x800001, 10, 26, 24}, SizeCase{0x10000000, 10, 26, 26}, SizeCase{4, 10, 26, 10}})
    EXPECT_EQ(SizeExponent(c.size, c.low, c.high), c.exponent) << c.size;
  // 19 plus the bits of (block KiB x LUNs x blocks / 2048): 128 KiB blocks, 1024 of them: 64.
  EXPECT_EQ(NandSizeExponent(64, 2048, 1, 1024), 19u + 7u);
  EXPECT_EQ(NandSizeExponent(64, 2048, 1, 8), 19u);
  EXPECT_EQ(NandSizeExponent(64, 4096, 2, 4096), 19u + 11u);

  BoardConfig config = InitBoardConfig();
  EXPECT_TRUE(ChipChoices(config).empty() || config.chip != nullptr);
  config.chip = FindChipByName("LYR8321");
  ASSERT_NE(config.chip, nullptr);
  std::vector<std::string> names;
  for (const ChipInfo* chip : ChipChoices(config)) names.push_back(chip->name);
  EXPECT_EQ(names, (std::vector<std::string>{"LYR8321", "LYR8326"}));

  BdlDraft draft;
  draft.config = config;
  EXPECT_EQ(BuildBdlText(draft).substr(0, 12), "[<NoTitle>]\r") << "an empty title shows as <NoTitle>";
}

}  // namespace
}  // namespace tessaro
