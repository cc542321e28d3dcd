#include "definitions/BoardDefinition.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "platform/Files.h"

namespace tessaro {
namespace {

const std::string kPath = "/boards/demo.bdl";

// Parses one file's text into a fresh list.
struct Parsed {
  BoardList list;
  std::string errors;
  int count = 0;
  const BoardDefinition& operator[](size_t index) const { return *std::next(list.begin(), static_cast<long>(index)); }
};

Parsed Parse(const std::string& text, const std::string& path = kPath) {
  Parsed parsed;
  parsed.count = ParseBoardText(parsed.list, path, text, parsed.errors);
  return parsed;
}

// Every field of a board as one text, so two boards compare in one expectation.
std::string Summary(const BoardDefinition& b) {
  std::string text =
      b.name + "|" + b.filePath + "|" + b.fileName + "|" + FormatBoardConfig(b.config) + "|" +
      std::to_string(b.hasErrors) + std::to_string(b.duplicateName) + "|" + std::to_string(b.usbCrystal) +
      std::to_string(b.security) + std::to_string(b.dualQspi) + std::to_string(b.qspiSingleBit) +
      std::to_string(b.mpQspiSingleBit) + std::to_string(b.spiSramQuad) + std::to_string(b.enforceMc) + "|" +
      std::to_string(b.spiSramMhz) + "," + std::to_string(b.spiSramCsHigh) + "|" + b.dfDevice + "|" + b.qspiDevice +
      "|" + b.mpQspiDevice + "|" + b.nandDevice + "|" + b.flashDevices + "|" + b.flashDeviceNames + "|" + b.legacyName +
      "|" + b.spiSramFamily + "|" + FormatPinList(b.dfEnable) + "|" + FormatPinList(b.dfDisable) + "|";
  for (const auto& define : b.userDefines) text += define + ",";
  return text;
}

const char* const kFullFile =
    "; every key once\n"
    "[$FLASHDEVICES]\n"
    "NOR1 = S29GL128S\n"
    "[$DFDEVICES]\n"
    "SpiSramMhz = 20\n"
    "[LYR9468 QSPI board]\n"
    "CONFIG = LYR9468 FLASH(32k)+EXTQSRAM(8M)\n"
    "LEGACYNAME = Old Name\n"
    "SECURITY = on\n"
    "USBCRYSTAL = No\n"
    "FlashDevice = NOR1\n"
    "FlashDevice = MT28EW128\n"
    "DfDevice = AT45DB161E\n"
    "DfEnable = SEL2=1, P7.15:0\n"
    "DfDisable = SEL2:0\n"
    "NandDevice = MT29F4G08\n"
    "QspiDevice = W25Q128JV\n"
    "QspiDual = 1\n"
    "QspiSingleBit = yes\n"
    "GpQspiDevice = MX25L25645G\n"
    "MpQspiSingleBit = off\n"
    "SpiSramFamily = ly68l\n"
    "SpiSramQuad = YES\n"
    "SpiSramMhz = 80MHz\n"
    "SpiSramCsHigh = 12\n"
    "EnforceMC = 1\n"
    "UserDefines = A B , C,,D \n";

TEST(BoardFile, ReadsEveryKey) {
  Parsed p = Parse(kFullFile);
  EXPECT_EQ(p.errors, "");
  ASSERT_EQ(p.count, 1);
  const BoardDefinition& b = p[0];
  EXPECT_EQ(b.name, "LYR9468 QSPI board");
  EXPECT_EQ(b.filePath, kPath);
  EXPECT_EQ(b.fileName, "demo.bdl");
  EXPECT_EQ(FormatBoardConfig(b.config), "LYR9468 FLASH(32k)+EXTQSRAM(8M)");
  EXPECT_EQ(b.legacyName, "Old Name");
  EXPECT_EQ(b.security, ONOFF_ON);
  EXPECT_EQ(b.usbCrystal, ONOFF_OFF);
  EXPECT_EQ(b.flashDevices, "S29GL128S/MT28EW128");
  EXPECT_EQ(b.flashDeviceNames, "NOR1/MT28EW128");
  EXPECT_EQ(b.dfDevice, "AT45DB161E");
  EXPECT_EQ(FormatPinList(b.dfEnable), "SEL2=1, P7.15=0");
  EXPECT_EQ(FormatPinList(b.dfDisable), "SEL2=0");
  EXPECT_EQ(b.nandDevice, "MT29F4G08");
  EXPECT_EQ(b.qspiDevice, "W25Q128JV");
  EXPECT_EQ(b.dualQspi, ONOFF_ON);
  EXPECT_EQ(b.qspiSingleBit, ONOFF_ON);
  EXPECT_EQ(b.mpQspiDevice, "MX25L25645G");
  EXPECT_EQ(b.mpQspiSingleBit, ONOFF_OFF);
  EXPECT_EQ(b.spiSramFamily, "LY68L");
  EXPECT_EQ(b.spiSramQuad, ONOFF_ON);
  EXPECT_EQ(b.spiSramMhz, 80);
  EXPECT_EQ(b.spiSramCsHigh, 12);
  EXPECT_EQ(b.enforceMc, ONOFF_ON);
  EXPECT_EQ(b.userDefines, (std::vector<std::string>{"AB", "C", "D"}));
  EXPECT_FALSE(b.hasErrors);
  EXPECT_EQ(BoardDescription(b),
            "Parallel NOR: NOR1/MT28EW128 (S29GL128S/MT28EW128)\r\n"
            "Dual QSPI NOR: (1Bit) W25Q128JV\r\n"
            "Multi Purpose QSPI NOR: MX25L25645G\r\n"
            "SPI Flash: AT45DB161E @ SEL2=1, P7.15=0\r\n"
            "QSPI SRAM: LY68L 80 MHz");
}

TEST(BoardFile, DefaultsOfANewBoard) {
  Parsed p = Parse("[LYR7312]\n");
  ASSERT_EQ(p.count, 1);
  const BoardDefinition& b = p[0];
  EXPECT_EQ(b.usbCrystal, ONOFF_UNSET);
  EXPECT_EQ(b.security, ONOFF_UNSET);
  EXPECT_EQ(b.dualQspi, ONOFF_OFF);
  EXPECT_EQ(b.qspiSingleBit, ONOFF_OFF);
  EXPECT_EQ(b.mpQspiSingleBit, ONOFF_ON);
  EXPECT_EQ(b.spiSramQuad, ONOFF_OFF);
  EXPECT_EQ(b.enforceMc, ONOFF_OFF);
  EXPECT_EQ(b.spiSramMhz, 16);
  EXPECT_EQ(b.spiSramCsHigh, 10);
  EXPECT_EQ(b.dfEnable.count, 0);
  EXPECT_EQ(FormatBoardConfig(b.config), "LYR7312");
  EXPECT_EQ(BoardDescription(b), "");
}

TEST(BoardFile, CrLfAndLfLineEndsGiveIdenticalBoards) {
  std::string crlf;
  for (const char* c = kFullFile; *c; ++c) {
    if (*c == '\n') crlf += '\r';
    crlf += *c;
  }
  Parsed lf = Parse(kFullFile), dos = Parse(crlf);
  EXPECT_EQ(dos.errors, "");
  ASSERT_EQ(dos.count, 1);
  EXPECT_EQ(Summary(lf[0]), Summary(dos[0]));
}

TEST(BoardFile, HeadersCommentsAndIndentedLines) {
  Parsed p = Parse(
      "[Board A] ; comment\n"
      "  Config=LYR7431\n"  // indented: ignored
      "CONFIG = LYR8721 ; comment \n"
      "QspiDevice\n"       // no '='
      "NandDevice =   \n"  // empty value
      "Unknown = 1\n"
      "[ Board B ]trailing text\n"
      "[Board C\n"  // no ']': the keys below belong to no board
      "DfDevice = LOST\n"
      "[" +
      std::string(200, 'N') + "]\n");
  EXPECT_EQ(p.count, 3);
  ASSERT_EQ(p.list.size(), 3u);
  EXPECT_EQ(p[0].name, "Board A");
  EXPECT_EQ(FormatBoardConfig(p[0].config), "LYR8721 FLASH");
  EXPECT_EQ(p[0].nandDevice, "");
  EXPECT_EQ(p[1].name, " Board B ");
  EXPECT_EQ(p[1].dfDevice, "");
  EXPECT_EQ(p[2].name, std::string(127, 'N'));
}

TEST(BoardFile, SectionNameIsAConfigurationStringAndConfigAppliesOnTop) {
  Parsed p = Parse(
      "[LYR9468 FLASH(32k)+EXTNOR(4M,8/4WS)]\n"
      "[LYR8247 demo]\n"
      "CONFIG = FLASH\n"  // names no chip: the section's chip stays
      "CONFIG = LYR8347 FLASH+EXTMEM\n");
  ASSERT_EQ(p.count, 2);
  EXPECT_EQ(FormatBoardConfig(p[0].config), "LYR9468 FLASH(32k)+EXTNOR(4M,8/4WS)");
  EXPECT_EQ(FormatBoardConfig(p[1].config), "LYR8347 FLASH+EXTMEM");
  EXPECT_EQ(p.errors, "");
}

TEST(BoardFile, BoardWithoutChipIsReportedAndMarked) {
  Parsed p = Parse("[My board]\nQspiDevice = W25Q128JV\n[LYR9468 ok]\n");
  ASSERT_EQ(p.count, 2);
  EXPECT_EQ(p[0].config.chip, nullptr);
  EXPECT_TRUE(p[0].hasErrors);
  EXPECT_FALSE(p[1].hasErrors);
  EXPECT_EQ(p.errors, kPath + ":\r\n[My board]: No chip named by the section name or CONFIG\r\n");
}

TEST(BoardFile, FlashDeviceAliases) {
  Parsed p = Parse(
      "[LYR9468 early]\n"
      "FlashDevice = NOR1\n"  // above the alias definition: taken as written
      "[$FLASHDEVICES]\n"
      "NOR1=NORA\n"
      "nor1 = nora\n"  // the same again, other case: accepted
      "NOR1 = NORC\n"  // redefined: error, the first stays
      "[LYR9468 late]\n"
      "FlashDevice=NOR1\n"
      "FlashDevice=NORB\n"
      "QspiDevice=QDEV\n"
      "DualQspi=Yes\n");
  ASSERT_EQ(p.count, 2);
  EXPECT_EQ(p[0].flashDevices, "NOR1");
  EXPECT_EQ(p[1].flashDevices, "NORA/NORB");
  EXPECT_EQ(p[1].flashDeviceNames, "NOR1/NORB");
  EXPECT_EQ(p.errors, kPath + ":\r\nNOR1=NORC\r\n");
  EXPECT_FALSE(p[0].hasErrors);
  EXPECT_FALSE(p[1].hasErrors);
  EXPECT_EQ(BoardDescription(p[1]), "Parallel NOR: NOR1/NORB (NORA/NORB)\r\nDual QSPI NOR: QDEV");

  // Aliases do not carry over to the next file.
  std::string errors;
  ASSERT_EQ(ParseBoardText(p.list, "/other.bdl", "[LYR9468 other]\nFlashDevice=NOR1\n", errors), 1);
  EXPECT_EQ(p[2].flashDevices, "NOR1");
}

TEST(BoardFile, OnOffValues) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"ON", ONOFF_ON}, {"yes", ONOFF_ON},      {"1", ONOFF_ON},     {"off", ONOFF_OFF}, {"No", ONOFF_OFF},
      {"0", ONOFF_OFF}, {"maybe", ONOFF_UNSET}, {"01", ONOFF_UNSET}, {"", ONOFF_UNSET},  {"ONE", ONOFF_UNSET},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseOnOff(text), value) << text;
  Parsed p = Parse("[LYR9468 b]\nSECURITY=maybe\nDualQspi=yes\n");
  EXPECT_EQ(p[0].security, ONOFF_UNSET);
  EXPECT_EQ(p[0].dualQspi, ONOFF_ON);
  EXPECT_EQ(p.errors, "");
}

TEST(BoardFile, SpiSramRangesReportBadValues) {
  struct Case {
    const char* line;
    int32_t mhz;
    int32_t csHigh;
    std::string errors;
  };
  const std::string head = kPath + ":\r\n[LYR9468 b]: ";
  const std::vector<Case> cases = {
      {"SpiSramMhz=5", 16, 10, "Invalid SPI RAM Speed:\r\n" + head + "SpiSramMhz=5\r\n"},
      {"SpiSramMhz=10", 10, 10, ""},
      {"SpiSramMhz=200", 200, 10, ""},
      {"SpiSramMhz=201", 16, 10, "Invalid SPI RAM Speed:\r\n" + head + "SpiSramMhz=201\r\n"},
      {"SpiSramMhz=fast", 16, 10, "Invalid SPI RAM Speed:\r\n" + head + "SpiSramMhz=fast\r\n"},
      {"SpiSramMhz=99999999999999", 16, 10, "Invalid SPI RAM Speed:\r\n" + head + "SpiSramMhz=99999999999999\r\n"},
      {"SpiSramMhz=+50 MHz", 50, 10, ""},
      {"SpiSramCsHigh=35", 16, 35, ""},
      {"SpiSramCsHigh=36", 16, 10, "Invalid SPI RAM ChHigh:\r\n" + head + "SpiSramCsHigh=36\r\n"},
      {"SpiSramCsHigh=-5", 16, -5, ""},
      {"SpiSramCsHigh=x", 16, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Parsed p = Parse(std::string("[LYR9468 b]\n") + c.line + "\n");
    ASSERT_EQ(p.count, 1);
    EXPECT_EQ(p[0].spiSramMhz, c.mhz);
    EXPECT_EQ(p[0].spiSramCsHigh, c.csHigh);
    EXPECT_EQ(p.errors, c.errors);
    EXPECT_EQ(p[0].hasErrors, !c.errors.empty());
  }
}

TEST(BoardFile, RangeChecksReportOutsideBoardsToo) {
  Parsed p = Parse("SpiSramMhz=5\n[$DFDEVICES]\nSpiSramCsHigh=99\nDfEnable=BAD\n[LYR9468 b]\n");
  EXPECT_EQ(p.errors, "Invalid SPI RAM Speed:\r\n" + kPath + ":\r\nSpiSramMhz=5\r\n" +
                          "Invalid SPI RAM ChHigh:\r\nSpiSramCsHigh=99\r\n");
  EXPECT_FALSE(p[0].hasErrors);
}

TEST(BoardFile, BadPinListsKeepWhatWasReadAndMarkTheBoard) {
  Parsed p = Parse("[LYR9468 A]\nDfEnable=MK9:1, P3\n[LYR9468 B]\nDfEnable=DFCS SEL15\nDfDisable=P4\n");
  ASSERT_EQ(p.count, 2);
  EXPECT_FALSE(p[0].hasErrors);
  EXPECT_EQ(FormatPinList(p[0].dfEnable), "MK9=1, P3=0");
  EXPECT_TRUE(p[1].hasErrors);
  EXPECT_EQ(FormatPinList(p[1].dfEnable), "DFCS=0");
  EXPECT_EQ(p.errors, kPath + ":\r\n[LYR9468 B]: DfEnable=DFCS SEL15\r\n[LYR9468 B]: DfDisable=P4\r\n");
}

TEST(BoardFile, RepeatedKeysTakeTheLastValueExceptListsThatAccumulate) {
  Parsed p = Parse(
      "[LYR9468 b]\nQspiDevice=A\nQspiDevice=B\nUserDefines=X\nUserDefines=Y,Z\nFlashDevice=F1\nFlashDevice=F2\n");
  EXPECT_EQ(p[0].qspiDevice, "B");
  EXPECT_EQ(p[0].userDefines, (std::vector<std::string>{"X", "Y", "Z"}));
  EXPECT_EQ(p[0].flashDevices, "F1/F2");
}

TEST(BoardFile, LongLinesAreTakenWhole) {
  const std::string device(1500, 'D');
  Parsed p = Parse("[LYR9468 b]\nQspiDevice=" + device + "\nNandDevice=N ; " + std::string(1200, 'c') + "\n");
  EXPECT_EQ(p[0].qspiDevice, device);
  EXPECT_EQ(p[0].nandDevice, "N");
}

TEST(BoardFile, OnlySpecialSectionsYieldNoBoards) {
  Parsed p = Parse("[$FLASHDEVICES]\nA=B\n[$DFDEVICES]\nX=Y\n");
  EXPECT_EQ(p.count, 0);
  EXPECT_TRUE(p.list.empty());
  EXPECT_EQ(p.errors, "");
}

TEST(BoardFile, HostileBytesDoNotBreakTheParser) {
  std::string text = "[LYR9468 \x80\xFF]\nQspiDevice=\x01\x02\xE9" + std::string(1, '\0') + "rest\n[LYR7312";
  Parsed p = Parse(text);
  ASSERT_EQ(p.count, 1);
  EXPECT_EQ(p[0].name, "LYR9468 \x80\xFF");
  EXPECT_EQ(p[0].qspiDevice, "\xE9");  // a NUL ends the text
}

class BoardFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        (std::filesystem::temp_directory_path() / ("tessaro-boards-" + std::to_string(::getpid()) + "-" +
                                                   ::testing::UnitTest::GetInstance()->current_test_info()->name()))
            .string();
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(WriteWholeFile(JoinPath(folder_, name), text));
  }
  std::string folder_;
};

TEST_F(BoardFolder, LoadsEveryBdlFileInOrderAndMarksDuplicates) {
  Write("b.BDL", "[LYR9468 Same]\n[LYR8721 Only B]\n");
  Write("a.bdl", "[lyr9468 same]\n");
  Write("c.bdl", "[$FLASHDEVICES]\nA=B\n");  // no boards: not counted
  Write("notes.txt", "[LYR7312 Ignored]\n");
  BoardList list;
  std::string errors;
  EXPECT_EQ(LoadBoardFolder(list, folder_, errors), 2);
  EXPECT_EQ(errors, "");
  std::vector<std::string> names;
  for (const auto& board : list) names.push_back(BoardChoiceName(board));
  EXPECT_EQ(names, (std::vector<std::string>{"lyr9468 same(a.bdl)", "LYR9468 Same(b.BDL)", "LYR8721 Only B"}));
  EXPECT_EQ(list.begin()->filePath, JoinPath(folder_, "a.bdl"));
  ASSERT_NE(list.Find("LYR8721 ONLY B"), nullptr);

  // Loading again appends; freeing empties.
  EXPECT_EQ(LoadBoardFolder(list, folder_, errors), 2);
  EXPECT_EQ(list.size(), 6u);
  list.Free();
  EXPECT_TRUE(list.empty());
}

TEST_F(BoardFolder, EmptyOrMissingFolderYieldsNothingSilently) {
  BoardList list;
  std::string errors;
  EXPECT_EQ(LoadBoardFolder(list, folder_, errors), 0);
  EXPECT_EQ(LoadBoardFolder(list, folder_ + "/missing", errors), 0);
  EXPECT_EQ(errors, "");
}

TEST_F(BoardFolder, UnreadableFileIsReported) {
  BoardList list;
  std::string errors;
  const std::string path = JoinPath(folder_, "gone.bdl");
  EXPECT_EQ(ParseBoardFile(list, path, errors), 0);
  EXPECT_EQ(errors, "Unable to read " + path + "\r\n");
}

TEST_F(BoardFolder, NoFolderMeansTheWorkingDirectory) {
  Write("here.bdl", "[LYR9468 Here]\n");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder_);
  BoardList list;
  std::string errors;
  const int count = LoadBoardFolder(list, "", errors);
  std::filesystem::current_path(previous);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.begin()->fileName, "here.bdl");
}

TEST_F(BoardFolder, ProgramListIsFreedAndReloaded) {
  Write("one.bdl", "[LYR9468 One]\n");
  FreeBoardList();
  std::string errors;
  EXPECT_EQ(LoadBoardFolder(folder_, errors), 1);
  const BoardDefinition* one = ProgramBoardList().Find("lyr9468 one");
  ASSERT_NE(one, nullptr);
  FreeBoardList();
  EXPECT_TRUE(ProgramBoardList().empty());
}

TEST(BoardFolderShipped, RepositoryConfigFolderLoadsWithoutErrors) {
  BoardList list;
  std::string errors;
  const int files = LoadBoardFolder(list, TESSARO_SOURCE_DIR "/config", errors);
  EXPECT_EQ(errors, "");
  EXPECT_GT(files, 0);
  // At least one board per chip family.
  std::vector<uint32_t> families;
  for (const auto& board : list) {
    ASSERT_NE(board.config.chip, nullptr) << board.name;
    EXPECT_FALSE(board.hasErrors) << board.name;
    families.push_back(board.config.chip->familyCode);
  }
  for (uint32_t family : {FAMILY_73XX, FAMILY_74XX, FAMILY_8X2X, FAMILY_8721, FAMILY_8X47, FAMILY_9XXX}) {
    EXPECT_NE(std::find(families.begin(), families.end(), family), families.end()) << std::hex << family;
  }
}

TEST(BoardFolderShipped, EveryDeviceNamedByTheShippedBoardsIsInTheShippedDrivers) {
  BoardList list;
  std::string errors;
  ASSERT_GT(LoadBoardFolder(list, TESSARO_SOURCE_DIR "/config", errors), 0);
  DeviceCatalogue catalogue;
  ASSERT_TRUE(LoadDriverFolder(catalogue, TESSARO_SOURCE_DIR "/drivers", errors)) << errors;
  ASSERT_NE(catalogue.GenericNand(), nullptr);
  const std::string genericNand =
      catalogue.GenericNand()->manufacturer->DisplayName() + ":" + catalogue.GenericNand()->name;
  for (const auto& board : list) {
    SCOPED_TRACE(board.name);
    DataFlashDescription serial;
    if (!board.dfDevice.empty()) {
      EXPECT_TRUE(catalogue.FindSerialDevice(board.dfDevice, serial)) << board.dfDevice;
    }
    if (!board.qspiDevice.empty()) {
      EXPECT_NE(catalogue.FindQspiDevice(board.qspiDevice), nullptr) << board.qspiDevice;
    }
    if (!board.mpQspiDevice.empty()) {
      EXPECT_NE(catalogue.FindQspiDevice(board.mpQspiDevice), nullptr) << board.mpQspiDevice;
    }
    if (!board.flashDevices.empty()) {
      EXPECT_NE(catalogue.FindParallelDevice(board.flashDevices), nullptr) << board.flashDevices;
    }
    if (!board.nandDevice.empty()) {
      EXPECT_TRUE(EqualsNoCase(board.nandDevice, genericNand)) << board.nandDevice;
    }
  }
}

}  // namespace
}  // namespace tessaro
