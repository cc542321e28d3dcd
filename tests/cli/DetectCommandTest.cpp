// tessaro-cli detect: a board without a definition detected into one, which, loaded again,
// programs the same simulated board; the JSON result, the choice among several devices, the
// output file rules and the failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"
#include "tests/sim/SimProcess.h"

namespace tessaro::testing {
namespace {

class DetectCommand : public CliFolderTest {};

// Board file -> simulated board -> detect -> new board file -> program and verify on the same
// simulated board, whose device must then hold the image. One board per family with windows.
TEST_F(DetectCommand, DetectedDefinitionProgramsTheSameBoard) {
  struct Case {
    const char* label;
    const char* board;   // the simulated board, for both runs
    const char* detect;  // more detect options
    const char* device;  // the device line the definition must carry
    const char* dest;
    const char* region;
    size_t ownWords;  // leading device words the run keeps (the 73xx chip's own)
  };
  const Case cases[] = {
      {"73xx NOR", "chip=LYR7312,interface=usb,nor=S29GL064N04@0", "", "FlashDevice=Spansion:S29GL064N04", "nor", "nor",
       1024},
      {"74xx NOR", "chip=LYR7451,nor=S29GL064N04@4000000", "", "FlashDevice=Spansion:S29GL064N04", "nor", "nor", 0},
      {"8x2x board file", "board=LYR8321 Module", "", "FlashDevice=Spansion:S29GL064N04", "nor", "nor", 0},
      // The 8247 answers the identification as an 8347 (both have the select port the probe
      // looks for): the user names the chip, as in the dialog's CPU list.
      {"8x47 board file", "board=LYR8247 FLASH+EXTSDR(2x8Mib,4WS)", "--chip LYR8247", "FlashDevice=Spansion:S29GL128S",
       "nor", "nor", 0},
      {"9xxx NOR", "chip=LYR9468,nor=S29GL256S@80000000,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2", "",
       "FlashDevice=Spansion:S29GL256S", "nor", "nor", 0},
      {"9xxx DataFlash on P7.15", "chip=LYR9468,nor=S29GL256S@80000000,spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2",
       "", "DfDevice=AT45DB161E", "serial", "spi", 0},
      {"9xxx QSPI board file", "board=LYR9162 QSPI SRAM Board", "", "QspiDevice=Spansion:S25FL128S", "qspi", "qspi", 0},
      {"9xxx dual QSPI", "chip=LYR9371,strapping=5,qspi=S25FL128S+S25FL128S@100", "", "DualQSPI=Yes", "qspi", "qspi",
       0},
      {"9xxx NAND", "chip=LYR9371,strapping=2,nand", "", "NandDevice=GENERIC_NAND:ONFI", "nand", "nand", 0},
      // Strapped as its definition's memories say; its DataFlash on SPICS0 is not simulated.
      {"9xxx NAND board file", "board=LYR9371 NAND Boot Board", "", "NandDevice=GENERIC_NAND:ONFI", "nand", "nand", 0},
      {"9xxx MP QSPI", "chip=LYR9468,qspi=MX25L25645G@104", "", "MpQspiDevice=Macronix:MX25L25645G", "mpqspi", "mpqspi",
       0},
  };
  std::string bytes;
  const std::string image = Image(0x500, 19, bytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string file = folder_ + "/Detected.BDL";
    const std::string dump = folder_ + "/dump.bin";
    std::filesystem::remove(file);
    std::filesystem::remove(dump);
    CliResult detected =
        Run(std::string("detect --port 'sim:") + c.board + "' --title 'Round Trip' -o " + file + " " + c.detect);
    ASSERT_EQ(detected.exitCode, 0) << detected.out << detected.err;
    const std::string text = ReadWholeFile(file).value_or("");
    EXPECT_EQ(text.rfind("[Round Trip]\r\nConfig=", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(c.device) + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

    CliResult programmed =
        Run(std::string("program --json --yes --port 'sim:") + c.board + ",dump-memory=" + c.region + ":" + dump +
            "' --config " + folder_ + " --board 'Round Trip' --dest " + c.dest + " --start 0 " + image);
    EXPECT_EQ(programmed.exitCode, 0) << programmed.out << programmed.err;
    EXPECT_EQ(JsonValue(programmed.out, "ok"), "true") << programmed.out;
    const std::string held = ReadWholeFile(dump).value_or("");
    ASSERT_GE(held.size(), bytes.size());
    EXPECT_EQ(held.substr(2 * c.ownWords, bytes.size() - 2 * c.ownWords), bytes.substr(2 * c.ownWords))
        << "the device does not hold the image";
  }
}

TEST_F(DetectCommand, JsonNamesEveryDeviceFoundAndTheOneChosen) {
  const std::string port = " --port 'sim:chip=LYR9468,nor=S29GL256S@80000000,qspi=MX25L25645G@104'";
  CliResult r = Run("detect --json --device 2 --title Mp" + port);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(JsonValue(r.out, "chip"), "LYR9468");
  EXPECT_EQ(JsonValue(r.out, "id"), "00C2:2019");
  EXPECT_EQ(JsonValue(r.out, "chosen"), "2");
  EXPECT_EQ(JsonValue(r.out, "dual"), "false");
  EXPECT_EQ(JsonValue(r.out, "multiPurpose"), "true");
  EXPECT_EQ(JsonValue(r.out, "dfDevice"), "null");
  EXPECT_EQ(JsonValue(r.out, "config"), "LYR9468 INTRAM(32k)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)+EXTNOR(16M,12/4WS)");
  EXPECT_EQ(JsonValue(r.out, "bdl"),
            "[Mp]\\r\\nConfig=LYR9468 INTRAM(32k)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)+EXTNOR(16M,12/4WS)\\r\\n"
            "MpQspiDevice=Macronix:MX25L25645G");
  const std::string devices = r.out.substr(r.out.find("\"devices\""));
  for (const char* expected : {"\"window\": \"DevB\"", "\"address\": \"40000000\"", "\"name\": \"Spansion:S29GL256S\"",
                               "\"family\": \"parallel\"", "\"window\": \"MP QSPI\"", "\"address\": \"C0000000\"",
                               "\"name\": \"Macronix:MX25L25645G\"", "\"family\": \"qspi\""})
    EXPECT_NE(devices.find(expected), std::string::npos) << expected << "\n" << r.out;

  // Printed without -o: the text with plain line ends, the title the dialog would preview.
  r = Run("detect --device 1" + port);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "[<NoTitle>]\nConfig=LYR9468 INTRAM(32k)+EXTNOR(16M,12/4WS)+EXTSDR(512k,7/7WS,CL2/Row13/Col9)\n"
            "FlashDevice=Spansion:S29GL256S\n");
}

TEST_F(DetectCommand, FailuresAndUsageErrors) {
  const std::string two = " --port 'sim:chip=LYR9468,nor=S29GL256S@80000000,qspi=MX25L25645G@104'";
  struct Case {
    std::string arguments;
    int exitCode;
    const char* says;  // on stderr
  };
  const Case cases[] = {
      {"detect --port sim:chip=LYR8721", 1, "Unable to detect compatible flash device (0000:0000)!"},
      {"detect --port sim:chip=LYR8321", 1, "Unable to detect compatible flash device (FFFF:FFFF)!"},
      {"detect --port sim:chip=LYR9468,secured=none-left", 1, "No CPU detected (or Security Fuse set)!"},
      // Several devices and nobody to ask: the list and how to choose.
      {"detect" + two, 2,
       "2 devices were found; choose one with --device N\n  1) DevB[4000:0000]: Spansion:S29GL256S\n"
       "  2) MP QSPI[C000:0000]: Macronix:MX25L25645G"},
      {"detect --device 3" + two, 2, "--device 3: 2 devices were found"},
      {"detect --device 0" + two, 2, "--device takes a number from 1"},
      {"detect --chip LYR9468 --port sim:chip=LYR8321,nor=S29GL064N04@1000000", 2,
       "--chip LYR9468 is not of the detected chip's family (LYR8321, LYR8326)"},
      {"detect --chip LYR0000" + two, 2, "unknown chip 'LYR0000'"},
      {"detect", 2, "--port is required"},
      {"detect -o x.BDL" + two, 2, "No Title set"},
  };
  for (const Case& c : cases) {
    CliResult r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.arguments << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.arguments << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.arguments;
  }
  // A failed run says so in its JSON too.
  CliResult r = Run("detect --json --port sim:chip=LYR8721");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(JsonValue(r.out, "ok"), "false");
  EXPECT_EQ(JsonValue(r.out, "id"), "0000:0000");
  EXPECT_EQ(JsonValue(r.out, "error"), "Unable to detect compatible flash device (0000:0000)!");
  EXPECT_EQ(JsonValue(r.out, "bdl"), "null");
}

TEST_F(DetectCommand, AnExistingFileIsReplacedOnlyWithForce) {
  const std::string file = folder_ + "/Board.BDL";
  ASSERT_TRUE(WriteWholeFile(file, "[Kept]\r\n"));
  const std::string detect =
      "detect --port sim:chip=LYR8321,nor=S29GL064N04@1000000 --config " + folder_ + " --title 'New Board' -o " + file;
  CliResult r = Run(detect);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find(file + " exists (--force replaces it)"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(file).value_or(""), "[Kept]\r\n");

  r = Run(detect + " --force");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadWholeFile(file).value_or(""), "[New Board]\r\nConfig=LYR8321\r\nFlashDevice=Spansion:S29GL064N04\r\n");

  // A board of the same name in another case, earlier in the folder, is the one --board takes.
  ASSERT_TRUE(WriteWholeFile(folder_ + "/A.BDL", "[NEW BOARD]\r\nConfig=LYR8326\r\n"));
  r = Run(detect + " --force");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("note: --board 'New Board' picks the board 'NEW BOARD' of"), std::string::npos) << r.err;
}

TEST_F(DetectCommand, DetectsABoardServedByTessaroSim) {
  SimProcess simulator;
  ASSERT_TRUE(
      simulator.Start({"--chip=LYR9371", "--strapping=5", "--qspi=S25FL128S+S25FL128S@100", "--interface=usb"}));
  CliResult r = Run("detect --json --title Served --port " + simulator.path());
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(JsonValue(r.out, "dual"), "true");
  EXPECT_EQ(
      JsonValue(r.out, "bdl"),
      "[Served]\\r\\nConfig=LYR9371 INTRAM(32k)+1:EXTQNOR(16M,12/4WS)+EXTQSRAM(512k,7/7WS)\\r\\nDualQSPI=Yes\\r\\n"
      "QspiDevice=Spansion:S25FL128S");
}

}  // namespace
}  // namespace tessaro::testing
