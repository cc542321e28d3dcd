// Device sections of serial, QSPI and parallel description files, and the configuration
// scripts of QSPI files.
#include <gtest/gtest.h>

#include "definitions/DeviceCatalogue.h"
#include "definitions/ParallelDescriptions.h"
#include "definitions/QspiConfigScript.h"
#include "definitions/QspiDescriptions.h"
#include "definitions/SerialDescriptions.h"
#include "definitions/TdfTestFolder.h"
#include "flash/FlashDriverTDF.h"

namespace tessaro {
namespace {

using testing::TdfTestFolder;

// Loads one description file; returns the messages of that file (the framing removed).
std::string LoadFile(DeviceCatalogue& catalogue, const std::string& text) {
  TdfTestFolder folder;
  folder.Write("F.TDF", text);
  std::string errors;
  bool ok = LoadDriverFolder(catalogue, folder.path(), errors);
  const std::string head = "Error(s) in F.TDF:\r\n";
  if (errors.empty()) {
    EXPECT_TRUE(ok);
    return "";
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(errors.substr(0, head.size()), head) << errors;
  EXPECT_EQ(errors.substr(errors.size() - 2), "\r\n");
  return errors.substr(head.size(), errors.size() - head.size() - 2);
}

const DeviceDescription* Find(const DeviceCatalogue& catalogue, std::string_view name) {
  for (const auto& entry : catalogue.Entries()) {
    if (entry->name == name) return entry.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Serial sections

TEST(SerialDevice, ParametersAndManufacturerCode) {
  DeviceCatalogue catalogue;
  EXPECT_EQ(
      LoadFile(catalogue,
               "[DFDEVICES]\nId = 0x1F\n"
               "[A]\nType = dataflash\nDeviceSize = 32M\nAddressBytes = 3\nPageSize = 528\nDeviceID = 0x26\n"
               "[B]\nType = BASIC_DATAFLASH\nDeviceSize = 4M\nAddressBytes = 3\nPageSize = 256\nDeviceID = 0x1F26\n"
               "[C]\nType = EEPROM\nDeviceSize = 1000\nAddressBytes = 2\nPageSize = 64\nSlow = 5\n"
               "[D]\nType = EEPROM\nDeviceSize = 256K\nAddressBytes = 2\nPageSize = 64\nDeviceID = -4\nSlow = NO\n"),
      "");
  EXPECT_EQ(Find(catalogue, "A")->serial, (DataFlashDescription{SERIAL_DATAFLASH, 4194304, 3, 528, 0x1F26, 0}));
  EXPECT_EQ(Find(catalogue, "B")->serial, (DataFlashDescription{SERIAL_BASIC_DATAFLASH, 524288, 3, 256, 0x1F26, 0}));
  // 1000 bits is 125 bytes: fine for a serial device.
  EXPECT_EQ(Find(catalogue, "C")->serial, (DataFlashDescription{SERIAL_EEPROM, 125, 2, 64, 0, 1}));
  EXPECT_EQ(Find(catalogue, "D")->serial.deviceId, 0);
  EXPECT_EQ(Find(catalogue, "D")->serial.slow, 0);
  EXPECT_EQ(Find(catalogue, "A")->manufacturer->DisplayName(), "Serial");

  // A manufacturer code below 1 is no code.
  DeviceCatalogue other;
  EXPECT_EQ(LoadFile(other,
                     "[DFDEVICES]\nId = -3\n[A]\nType = EEPROM\nDeviceSize = 8K\nAddressBytes = 2\n"
                     "PageSize = 32\nDeviceID = 0x26\n"),
            "");
  EXPECT_EQ(Find(other, "A")->serial.deviceId, 0x26);
}

TEST(SerialDevice, FaultsEndTheSection) {
  const std::string good = "Type = DATAFLASH\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = 264\n";
  struct Case {
    std::string section;
    std::string message;
  };
  const Case cases[] = {
      {"[S]\nType = DATAFLASH\nAddressBytes = 3\nPageSize = 264\n", "S: Missing DeviceSize"},
      {"[S]\nDeviceSize = 8Q\n", "S: Invalid DeviceSize 8Q"},
      {"[S]\nDeviceSize = 7\n", "S: Invalid DeviceSize 7"},  // under one byte
      {"[S]\nDeviceSize = 8M\nPageSize = 264\n", "S: Invalid AddressBytes \r\n"},
      {"[S]\nDeviceSize = 8M\nAddressBytes = 0\n", "S: Invalid AddressBytes 0\r\n"},
      {"[S]\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = x\n", "S: Invalid PageSize x\r\n"},
      {"[S]\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = 264\n", "S: Missing Type!\r\n"},
      {"[S]\nType = NOR\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = 264\n", "S: Invalid Type NOR\r\n"},
  };
  for (const Case& c : cases) {
    DeviceCatalogue catalogue;
    EXPECT_EQ(LoadFile(catalogue, "[DFDEVICES]\n" + c.section + "[OK]\n" + good), c.message) << c.section;
    EXPECT_EQ(Find(catalogue, "S"), nullptr);
    EXPECT_NE(Find(catalogue, "OK"), nullptr);
  }
  // The DeviceSize messages have no line end: the next message continues the line.
  DeviceCatalogue catalogue;
  EXPECT_EQ(LoadFile(catalogue, "[DFDEVICES]\n[A]\n[B]\nDeviceSize = 8M\n"),
            "A: Missing DeviceSizeB: Invalid AddressBytes \r\n");
}

// ---------------------------------------------------------------------------------------------
// QSPI sections

const std::string kQspiHead = "[QSPIDEVICES]\nManufacturer = Maker\nID = 0xEF\n";

TEST(QspiDevice, DefaultsDependOnSize) {
  DeviceCatalogue catalogue;
  EXPECT_EQ(LoadFile(catalogue, kQspiHead + "[BIG]\nType = Q\nID = 0x4019\nDeviceSize = 256M\n"
                                            "[EDGE]\nType = Q\nID = 0x4018\nDeviceSize = 128M\n"),
            "");
  const QspiDescription& big = Find(catalogue, "BIG")->qspi;
  EXPECT_EQ(big.sizeBytes, 32u << 20);
  EXPECT_EQ(big.manufacturerId, 0xEFu);
  EXPECT_EQ(big.deviceId, 0x4019u);
  EXPECT_EQ(big.singleReadCmd, 0x13);
  EXPECT_EQ(big.pageProgramCmd, 0x12);
  EXPECT_EQ(big.eraseSectorCmd, 0xDC);
  EXPECT_EQ(big.quadIoReadCmd, 0xEC);
  EXPECT_EQ(big.addressBytes, 4);
  const QspiDescription& edge = Find(catalogue, "EDGE")->qspi;
  EXPECT_EQ(edge.sizeBytes, 16u << 20);
  EXPECT_EQ(edge.singleReadCmd, 0x03);
  EXPECT_EQ(edge.pageProgramCmd, 0x02);
  EXPECT_EQ(edge.eraseSectorCmd, 0xD8);
  EXPECT_EQ(edge.quadIoReadCmd, 0xEB);
  EXPECT_EQ(edge.addressBytes, 3);
  EXPECT_EQ(edge.quadDummyCode, 6);
  EXPECT_EQ(edge.singleDummyCode, 0);
  EXPECT_EQ(edge.quadMaxMhz, 50);
  EXPECT_EQ(edge.singleMaxMhz, 25);
  EXPECT_EQ(edge.pageSize, 256u);
  EXPECT_EQ(edge.eraseUnit, 65536u);
  EXPECT_EQ(edge.csHigh, 40u);
  EXPECT_EQ(edge.statusErrorMask, 0);
  EXPECT_EQ(edge.options, 0u);
  EXPECT_TRUE(edge.config.Empty());
}

TEST(QspiDevice, ExplicitKeysAliasesAndConfigurations) {
  DeviceCatalogue catalogue;
  EXPECT_EQ(LoadFile(catalogue,
                     kQspiHead + "[CONFIG.QE]\nCfgRead = Read(0x05, %0), Read(0x35, %1)\n"
                                 "CfgWrite = Cmd(0x06), Write(0x01, %0, %1), WaitIdle()\nConfigure = [9]:1\n"
                                 "[config.SINGLE]\nCfgRead = Read(0x85, %0)\nCfgWrite = Cmd(6), Write(0x81, %0)\n"
                                 "Configure = [7:4]:0x8\n"
                                 "[CONFIG.]\nCfgRead = nonsense\n"  // no name: ignored, not even compiled
                                 "[Q64]\nType = Q\nID = 0x4017\nDeviceSize = 64M\nNames = Q64A, ,Q64B,\n"
                                 "QuadDummyRead = 10\nSingleDummyRead = 28\nQuadMaxMHz = 0x168\nCsHigh = 0x1FF\n"
                                 "EraseUnit = 4K\nEraseSector = 0x20\nPageSize = 512\nStatusErrorMask = 0x60\n"
                                 "Options = ConfigAlways, extendedaddress\nConfig = QE\nSingleConfig = single\n"
                                 "ExtendedId = 3:0x20, 4.7:1\n"
                                 "[S]\nType = Q\nID = 0x10\nDeviceSize = 8M\nEraseUnit = spansion_erase_unit\n"
                                 "Option = MicronFlagStatus,DataFlashStatus , ExtendedSPI\nConfig_Always = qe\n"),
            "");
  // One entry per name, blank alias left out, all with the same parameters.
  const DeviceDescription* q64 = Find(catalogue, "Q64");
  ASSERT_NE(q64, nullptr);
  ASSERT_NE(Find(catalogue, "Q64A"), nullptr);
  ASSERT_NE(Find(catalogue, "Q64B"), nullptr);
  EXPECT_EQ(catalogue.Entries().size(), 5u);  // Q64, Q64A, Q64B, S, ONFI
  EXPECT_EQ(Find(catalogue, "Q64B")->qspi, q64->qspi);

  const QspiDescription& q = q64->qspi;
  EXPECT_EQ(q.quadDummyCode, 9);
  EXPECT_EQ(q.singleDummyCode, 15);
  EXPECT_EQ(q.quadMaxMhz, 0x68);  // low 8 bits
  EXPECT_EQ(q.csHigh, 0xFFu);
  EXPECT_EQ(q.eraseUnit, 4096u);
  EXPECT_EQ(q.eraseSectorCmd, 0x20);
  EXPECT_EQ(q.pageSize, 512u);
  EXPECT_EQ(q.statusErrorMask, 0x60);
  EXPECT_EQ(q.options, QSPI_OPTION_CONFIG_ALWAYS | QSPI_OPTION_EXTENDED_ADDRESS);
  ASSERT_EQ(q.extendedIdCount, 2u);
  EXPECT_EQ(q.extendedId[0], (ExtendedIdCheck{3, 0, 8, 0x20}));
  EXPECT_EQ(q.extendedId[1], (ExtendedIdCheck{4, 7, 1, 1}));
  EXPECT_EQ(q.config.mask, 0x200u);
  EXPECT_EQ(q.config.expected, 0x200u);
  ASSERT_EQ(q.config.writeScript.size(), 3u);
  EXPECT_EQ(q.config.writeScript[1].kind, SCRIPT_WRITE);
  EXPECT_EQ(q.singleConfig.mask, 0xF0u);
  EXPECT_EQ(q.singleConfig.expected, 0x80u);

  const QspiDescription& s = Find(catalogue, "S")->qspi;
  EXPECT_EQ(s.eraseUnit, ERASE_UNIT_SPANSION);
  EXPECT_EQ(s.options, QSPI_OPTION_MICRON_FLAG_STATUS | QSPI_OPTION_DATAFLASH_STATUS | QSPI_OPTION_EXTENDED_SPI |
                           QSPI_OPTION_CONFIG_ALWAYS);
  EXPECT_EQ(s.config, q.config);
}

TEST(QspiDevice, FaultsEndTheSection) {
  struct Case {
    std::string keys;
    std::string message;
    bool entry;  // the section still yields its entry
  };
  const std::string base = "Type = Q\nID = 0x4017\nDeviceSize = 64M\n";
  const Case cases[] = {
      {"Type = Q\nID = 1\n", "Q: Missing DeviceSize", false},
      {"Type = Q\nID = 1\nDeviceSize = 64X\n", "Q: Invalid DeviceSize 64X", false},
      {"Type = Q\nID = 1\nDeviceSize = 1000\n", "Q: Device/Sector Size Mismatch!\r\n", false},
      {base + "EraseUnit = 64KB\n", "Q: Invalid Erase Unit!\r\n", false},
      {base + "Address = 0, 1\n", "Q: Address Table not supported (Uniform Addressing)!\r\n", false},
      {"ID = 1\nDeviceSize = 64M\n", "Q: Missing Type!\r\n", false},
      {"Type = Q\nDeviceSize = 64M\n", "Q: Missing ID!\r\n", false},
      {base + "QuadDummyRead = 9\n", "Q: Incompatible Dummy Cycle Count 9!\r\n", false},
      {base + "QuadDummyRead = 18\n", "Q: Incompatible Dummy Cycle Count 18!\r\n", false},
      {base + "QuadDummyRead = 32\n", "Q: Incompatible Dummy Cycle Count 32!\r\n", false},
      {base + "SingleDummyRead = -1\n", "Q: Incompatible Dummy Cycle Count -1!\r\n", false},
      {base + "FastRead = 0x0B\n", "Q: Deprecated parameter FastRead ignored!\r\n", true},
      {base + "FastRead = fast\n", "", true},
      {base + "Options = Quad\n", "Q: Invalid Options: Quad\r\n", false},
      {base + "Options = ConfigAlways,\n", "", true},
      {base + "Options = ConfigAlways,,ExtendedSPI\n", "Q: Invalid Options: ConfigAlways,,ExtendedSPI\r\n", false},
      {base + "ExtendedId = 8:1\n", "Q: Invalid Options: 8:1\r\n", false},
      {base + "ExtendedId = 2.8:1\n", "Q: Invalid Options: 2.8:1\r\n", false},
      {base + "ExtendedId = 2.1:2\n", "Q: Invalid Options: 2.1:2\r\n", false},
      {base + "ExtendedId = 2:0x100\n", "Q: Invalid Options: 2:0x100\r\n", false},
      {base + "ExtendedId = 2\n", "Q: Invalid Options: 2\r\n", false},
      {base + "ExtendedId = 0:1,1:1,2:1,3:1,4:1,5:1,6:1,7:1,0:1\n",
       "Q: Invalid Options: 0:1,1:1,2:1,3:1,4:1,5:1,6:1,7:1,0:1\r\n", false},
      {base + "Config = LATER\n", "Q: Configuration not found: LATER\r\n", false},
      {base + "SingleConfig = NONE\n", "Q: Configuration not found: NONE\r\n", false},
      {base + "Config = BROKEN\n", "Q: Configuration not found: BROKEN\r\n", false},
  };
  for (const Case& c : cases) {
    DeviceCatalogue catalogue;
    std::string messages = LoadFile(catalogue, kQspiHead + "[CONFIG.BROKEN]\nCfgRead = Jump(1)\n[Q]\n" + c.keys +
                                                   "[CONFIG.LATER]\nCfgRead = Read(5,%0)\n");
    EXPECT_EQ(messages, "Invalid Command:Jump(1)\r\n" + c.message) << c.keys;
    EXPECT_EQ(Find(catalogue, "Q") != nullptr, c.entry) << c.keys;
  }
}

TEST(QspiDescriptions, ValueNotations) {
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"'20'", 0x20},
      {"'0102'", 0x0102},
      {"'01020304'", 0x01020304},
      {"'ab'", 0xAB},
      {"'2'", kValueInvalid},
      {"'0102030405'", kValueInvalid},
      {"'2G'", kValueInvalid},
      {"'20", kValueInvalid},
      {"0x1f", 31},
      {"1FH", 31},
      {"0x", kValueInvalid},
      {"0x1G", kValueInvalid},
      {"0x100000000", kValueInvalid},  // wider than 32 bits
      {"AH", kValueInvalid},
      {"0b101", 5},
      {"101b", 5},
      {"0b", 0},
      {"0b2", kValueInvalid},
      {"102b", kValueInvalid},
      {"42", 42},
      {"-7", -7},
      {"+7", 7},
      {"1-2", 1},
      {"-", kValueInvalid},
      {"0.5", 4194304},
      {"-0.25", -2097152},
      {"1.", 8388608},
      {".", kValueInvalid},
      {"300.0", kValueInvalid},
      {"", kValueInvalid},
      {"abc", kValueInvalid},
      {"1 2", kValueInvalid},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseNumberText(c.text), c.value) << c.text;

  struct Dummy {
    int32_t cycles;
    int code;  // -1: not encodable
  };
  const Dummy dummies[] = {{0, 0},  {7, 7},   {8, 8},   {10, 9},  {14, 11}, {16, 12}, {20, 13}, {28, 15},
                           {9, -1}, {15, -1}, {17, -1}, {18, -1}, {30, -1}, {32, -1}, {-1, -1}};
  for (const Dummy& d : dummies) {
    std::optional<uint8_t> code = EncodeDummyCycles(d.cycles);
    EXPECT_EQ(code ? int{*code} : -1, d.code) << d.cycles;
  }
}

// ---------------------------------------------------------------------------------------------
// Configuration scripts

TEST(CompileScript, CompilesCommands) {
  QspiScript script;
  std::string errors;
  ASSERT_TRUE(CompileScript("Cmd(0x06), Write(0x01, %0, %1), WaitIdle()", script, errors));
  EXPECT_EQ(errors, "");
  ASSERT_EQ(script.size(), 3u);
  EXPECT_EQ(script[0], (ScriptCommand{SCRIPT_CMD, 1, {6}}));
  EXPECT_EQ(script[1], (ScriptCommand{SCRIPT_WRITE, 3, {1, 0x8000, 0x8001}}));
  EXPECT_EQ(script[2], (ScriptCommand{SCRIPT_WAIT_IDLE, 0, {}}));

  QspiScript spaced;
  ASSERT_TRUE(CompileScript("  Read ( 0x05 , %0 )\t,delay(), DELAY(1,2,3,4,5,6,7,8), read(0x35,%1)", spaced, errors));
  ASSERT_EQ(spaced.size(), 4u);
  EXPECT_EQ(spaced[0], (ScriptCommand{SCRIPT_READ, 2, {5, 0x8000}}));
  EXPECT_EQ(spaced[1], (ScriptCommand{SCRIPT_DELAY, 0, {}}));
  EXPECT_EQ(spaced[2].count, 8);
  EXPECT_EQ(spaced[3].params[1], 0x8001);

  EXPECT_TRUE(CompileScript("", spaced, errors));
  EXPECT_TRUE(spaced.empty());
  EXPECT_EQ(errors, "");
}

TEST(CompileScript, Faults) {
  struct Case {
    std::string text;
    std::string errors;
    size_t compiled;
  };
  const std::string longItem = "Write(0x01," + std::string(90, '0') + "1)";
  const Case cases[] = {
      {"WaitIdle(1)", "Unexpected Parameters \r\n", 0},
      {"Cmd(0x106)", "Invalid Parameter Token 0x106\r\n\r\n", 0},
      {"Cmd(%4)", "Invalid Parameter Token %4\r\n\r\n", 0},
      {"Cmd()", "Missing Command Code \r\n", 0},
      {"Cmd(1,2)", "Missing Command Code \r\n", 0},
      {"Read(1)", "Empty Read Command \r\n", 0},
      {"Write(1)", "Empty Write Command \r\n", 0},
      {"Delay(1,2,3,4,5,6,7,8,9)", "Too many Parameters in \r\n", 0},
      {"Cmd(), WaitIdle(), Read(1)", "Missing Command Code Empty Read Command \r\n", 1},
      {"Cmd(6), Jump(1), WaitIdle()", "Invalid Command:Jump(1), WaitIdle()\r\n", 1},
      {"Cmd(6), Cmd 6, WaitIdle()", "Missing Parenthesis:Cmd 6, WaitIdle()\r\n", 1},
      {"Cmd(6), Read(5,%0", "Missing Parenthesis:Read(5,%0\r\n", 1},
      // A stray ')' or an over-long item is reported instead of silently ending the script.
      {"Cmd(6)), WaitIdle()", "Missing Parenthesis:Cmd(6)), WaitIdle()\r\n", 0},
      {"Cmd(6), " + longItem + ", WaitIdle()", "Invalid Command:" + longItem + ", WaitIdle()\r\n", 1},
  };
  for (const Case& c : cases) {
    QspiScript script;
    std::string errors;
    EXPECT_FALSE(CompileScript(c.text, script, errors)) << c.text;
    EXPECT_EQ(errors, c.errors) << c.text;
    EXPECT_EQ(script.size(), c.compiled) << c.text;
  }
}

TEST(ParseConfigSection, BitAssignments) {
  struct Case {
    std::string configure;
    bool ok;
    uint32_t mask;
    uint32_t expected;
    std::string errors;
  };
  const Case cases[] = {
      {"[9]:1", true, 0x200, 0x200, ""},
      {"[15:8]:0x5A, [0]:1", true, 0xFF01, 0x5A01, ""},
      {"[31:0]:0xFFFFFFFF", true, 0xFFFFFFFF, 0xFFFFFFFF, ""},
      {"[3:2]:0", true, 0xC, 0, ""},
      {"[3:2]:4", false, 0, 0, "Invalid Bit Assignment [3:2]:4\r\n"},
      {"[1]:1, [1]:0", false, 2, 2, "Invalid Bit Assignment [1]:0\r\n"},
      {"[3:0]:1, [4:2]:0", false, 0xF, 1, "Invalid Bit Assignment [4:2]:0\r\n"},
      {"[32]:1", false, 0, 0, "Invalid Bit Assignment [32]:1\r\n"},
      {"[2:3]:0", false, 0, 0, "Invalid Bit Assignment [2:3]:0\r\n"},
      {"[1]:-1", false, 0, 0, "Invalid Bit Assignment [1]:-1\r\n"},
      {"9:1", false, 0, 0, "Invalid Bit Assignment 9:1\r\n"},
      {"[9]=1", false, 0, 0, "Invalid Bit Assignment [9]=1\r\n"},
  };
  for (const Case& c : cases) {
    IniDocument document;
    ASSERT_TRUE(document.ParseText("[CONFIG.X]\nCfgRead = Read(5,%0)\nConfigure = " + c.configure + "\n"));
    QspiConfig config;
    std::string errors;
    EXPECT_EQ(ParseConfigSection(document.Sections()[0], config, errors), c.ok) << c.configure;
    EXPECT_EQ(errors, c.errors) << c.configure;
    if (c.ok) {
      EXPECT_EQ(config.mask, c.mask) << c.configure;
      EXPECT_EQ(config.expected, c.expected) << c.configure;
    }
  }
  IniDocument document;
  ASSERT_TRUE(document.ParseText("[CONFIG.X]\nCfgRead = Cmd()\nCfgWrite = Jump()\n"));
  QspiConfig config;
  std::string errors;
  EXPECT_FALSE(ParseConfigSection(document.Sections()[0], config, errors));
  EXPECT_EQ(errors, "Missing Command Code \r\nInvalid Command:Jump()\r\n");  // both scripts reported
}

// ---------------------------------------------------------------------------------------------
// Parallel files

const std::string kManufacturer = "[Manufacturer]\nId = 0x01\nName = Maker\n";
const std::string kCommands =
    "[SectorErase]\nAddress = 0x555, 0x2AA, 0x555, 0x555, 0x2AA, USER\nData = 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30\n"
    "[WordWrite]\nAddress = 0x555, 0x2AA, 0x555, USER\nData = 0xAA, 0x55, 0xA0, USER\n"
    "[Status]\nType = POLLING\nErrorBit = 0x20\n";

struct ParsedFile {
  bool ok = false;
  std::string errors;
  ParallelFlashDescription description;
  DeviceCatalogue catalogue;
};

std::unique_ptr<ParsedFile> ParseParallel(const std::string& text) {
  auto parsed = std::make_unique<ParsedFile>();
  IniDocument document;
  EXPECT_TRUE(document.ParseText(text));
  parsed->ok = ParseParallelFile(parsed->description, parsed->catalogue, document, parsed->errors);
  return parsed;
}

std::vector<int32_t> Addresses(const ValuePairList& list) {
  std::vector<int32_t> values;
  for (int32_t i = 0; i < list.AddressCount(); ++i) values.push_back(list.Address(i));
  return values;
}

TEST(ParallelFile, DeviceSectorLayouts) {
  auto layout = ParseParallel(kManufacturer +
                              "[Device]\nName = N1\nId = 0x22C4\nAddress = 8x4,31x32\nSectorNumber = 39\n"
                              "MaskCmd = 0xFFFFF800\nTimeSector = 3000\n" +
                              kCommands);
  EXPECT_TRUE(layout->ok) << layout->errors;
  EXPECT_EQ(layout->errors, "");
  ASSERT_EQ(layout->description.parts.size(), 1u);
  const PartEntry& part = layout->description.parts[0];
  EXPECT_EQ(part.name, "N1");
  EXPECT_EQ(part.kind, PART_SECTORS);
  EXPECT_EQ(part.id.mainId, 0x22C4);
  ASSERT_EQ(part.sectors.AddressCount(), 40);
  EXPECT_EQ(part.sectors.Address(8), 32);
  EXPECT_EQ(part.sectors.Address(39), 1024);  // 1048576 words
  EXPECT_EQ(layout->description.maskCmd, -2048);
  EXPECT_EQ(layout->description.timeSector, 3000);
  EXPECT_EQ(layout->description.manufacturerId, 1);
  EXPECT_EQ(layout->description.manufacturer->DisplayName(), "Maker");
  EXPECT_EQ(layout->description.statusType, 0);
  EXPECT_EQ(layout->description.errorBit, 0x20);
  // Without a ReadArray section the reset write is F0h to the target address itself.
  EXPECT_EQ(layout->description.readArray.AddressCount(), 1);
  EXPECT_EQ(layout->description.readArray.At(0).address, -1);
  EXPECT_EQ(layout->description.readArray.At(0).data, 0xF0);
  EXPECT_EQ(layout->description.wordWrite.AddressCount(), 4);

  auto mismatch = ParseParallel(
      kManufacturer + "[Device]\nName = N1\nId = 1\nAddress = 8x4,31x32\nSectorNumber = 38\nMaskCmd = 0\n" + kCommands);
  EXPECT_FALSE(mismatch->ok);
  EXPECT_EQ(mismatch->errors, "Error [Device] SectorNumber and Address don't match\r\n");

  auto bad =
      ParseParallel(kManufacturer + "[Device]\nName = N1\nId = 1\nAddress = 8x4,31x2\nMaskCmd = 0\n" + kCommands);
  EXPECT_FALSE(bad->ok);
  EXPECT_EQ(bad->errors, "Parse Error in 8x4,31x2");
}

TEST(ParallelFile, DeviceAddressLists) {
  struct Case {
    std::string keys;
    std::string errors;
    std::vector<int32_t> table;
  };
  const Case cases[] = {
      {"Address = 0, 1, 2\nSectorNumber = 2\nSize = 0x4000\n", "", {0, 4, 8}},
      {"Address = 0, 1, 2\nSectorNb = 2\nSize = 0x4000\n", "", {0, 4, 8}},
      {"Address = 0, 1, 2\nSectorNumber = 3\nSize = 0x4000\n",
       "Error [Device] SectorNumber and Address don't match\r\n",
       {0, 4, 8}},
      {"Address = 0, 1, 2\nSectorNumber = 2\n", "Error [Device] Size not found\r\n", {0, 4, 8}},
      {"Address = 0, 2, 1\nSectorNumber = 2\nSize = 1\n", "Parse Error in 0, 2, 1", {0, 8, 4}},
      {"Address = 0, x, 2\nSectorNumber = 2\nSize = 1\n",
       "Parse Error in 0, x, 2",
       {0, static_cast<int32_t>(VALUE_INVALID << 2), 8}},
      {"SectorNumber = 2\nSize = 1\n", "Error [Device] SectorNumber and Address don't match\r\n", {}},
      {"Address = 10x4\nSectorNumber = 0\nSize = 1\n", "Parse Error in 10x4", {kValueInvalid << 2}},
  };
  for (const Case& c : cases) {
    auto parsed = ParseParallel(kManufacturer + "[Device]\nName = N\nId = 1\nMaskCmd = 0\n" + c.keys + kCommands);
    EXPECT_EQ(parsed->errors, c.errors) << c.keys;
    EXPECT_EQ(parsed->ok, c.errors.empty());
    ASSERT_EQ(parsed->description.parts.size(), 1u);
    EXPECT_EQ(Addresses(parsed->description.parts[0].sectors), c.table) << c.keys;
  }
}

TEST(ParallelFile, CfiPartsAndPartsSection) {
  auto parsed = ParseParallel(kManufacturer +
                              "[Device]\nName = FAMILY\nId = CFI\nCFI_MATCH = 0x27:0x15, 0x2C:1\nMaskCmd = 0\n"
                              "[PARTS]\nNORA [0x22C4] = 8x4,31x32\nNORB[0x227E,14:0x2210,0x2201] = cfi_top\n"
                              "NORC[0x2201] = CFI_BOT\n" +
                              kCommands);
  EXPECT_TRUE(parsed->ok) << parsed->errors;
  const auto& parts = parsed->description.parts;
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0].name, "FAMILY");
  EXPECT_EQ(parts[0].kind, kKeywordCfi);
  EXPECT_EQ(parts[0].sectors.AddressCount(), 0);
  EXPECT_EQ(parts[1].name, "NORA ");  // the name keeps its trailing space
  EXPECT_EQ(parts[1].id.mainId, 0x22C4);
  EXPECT_EQ(parts[1].sectors.AddressCount(), 40);
  EXPECT_EQ(parts[2].kind, kKeywordCfiTop);
  EXPECT_EQ(parts[2].id.extraCount, 2);
  EXPECT_EQ(parts[2].id.extra[0], (PartIdWord{14, 0x2210}));
  EXPECT_EQ(parts[2].id.extra[1], (PartIdWord{15, 0x2201}));  // continues after the last index
  EXPECT_EQ(parts[3].kind, kKeywordCfiBot);
  const ValuePairList& match = parsed->description.cfiMatch;
  ASSERT_EQ(match.AddressCount(), 2);
  EXPECT_EQ(match.At(0).address, 0x27);
  EXPECT_EQ(match.At(0).data, 0x15);
  EXPECT_EQ(match.At(1).address, 0x2C);
  EXPECT_EQ(match.At(1).data, 1);

  auto faults = ParseParallel(kManufacturer +
                              "[Device]\nName = FAMILY\nId = CFI\nCFI_MATCH = 0x27:0x15, 0x2C\nMaskCmd = 0\n"
                              "[PARTS]\nNORB = 8x4\nx] = 8x4\nNORC[1] = 4*2\nNORD[2] = \nNORE[3] = 2*4\n" +
                              kCommands);
  EXPECT_FALSE(faults->ok);
  EXPECT_EQ(faults->errors,
            "Error parsing: 0x2C"
            "Malformatted Part NORB"
            "Malformatted Part x]"
            "Parse Error in 4*2"
            "Parse Error in ");
  ASSERT_EQ(faults->description.parts.size(), 2u);  // FAMILY and NORE
  EXPECT_EQ(faults->description.cfiMatch.AddressCount(), 1);
}

TEST(ParallelFile, SectionChecks) {
  struct Case {
    std::string text;
    std::string errors;
    bool ok;
  };
  const std::string device = "[Device]\nName = N\nId = 1\nAddress = 2x4\nMaskCmd = 0\n";
  const std::string erase = "[SectorErase]\nAddress = USER\nData = 0x30\n";
  const std::string word = "[WordWrite]\nAddress = USER, USER\nData = 0x40, USER\n";
  const std::string page = "[PageWrite]\nAddress = USER\nData = 0xE8\n";
  const std::string status = "[Status]\nType = STATUS\nError = 0x3A\n";
  const Case cases[] = {
      {kManufacturer + device + erase + word + status, "", true},
      {device + erase + word + status, "Section [Manufacturer] not found!\r\n", false},
      {kManufacturer + erase + word + status, "Section [Device] key not found!\r\nError [Device] MaskCmd not found\r\n",
       false},
      {kManufacturer + device + word + status, "Section [SectorErase] not found!\r\n", false},
      {kManufacturer + device + erase + word + page + status, "[WordWrite] or [PageWrite] required!\r\n", false},
      {kManufacturer + device + erase + status, "[WordWrite] or [PageWrite] required!\r\n", false},
      {kManufacturer + device + erase + word, "Error [Status] type undefined\r\n", false},
      {kManufacturer + device + erase + word + "[Status]\nType = POLLING\n",
       "Warning [Status] type = POLLING, ErrorBit undefined, assuming 0x28\r\n", true},
      {kManufacturer + device + erase + word + "[ClearStatus]\nAddress = 1, 2\nData = 3\n" + status,
       "Section [ClearStatus] Address and Data lengths do not match\r\n", false},
  };
  for (const Case& c : cases) {
    auto parsed = ParseParallel(c.text);
    EXPECT_EQ(parsed->errors, c.errors) << c.text;
    EXPECT_EQ(parsed->ok, c.ok) << c.text;
  }
  auto polling = ParseParallel(kManufacturer + device + erase + word + "[Status]\nType = POLLING\n");
  EXPECT_EQ(polling->description.errorBit, 0x28);
  auto statusType = ParseParallel(kManufacturer + device + erase + word + "[Status]\nType = STATUS\nErrorBit = 0x30\n");
  EXPECT_EQ(statusType->description.statusType, 1);
  EXPECT_EQ(statusType->description.errorBit, 0x30);
}

TEST(ParallelFile, RejectedFileContributesNothing) {
  DeviceCatalogue catalogue;
  std::string messages = LoadFile(catalogue, kManufacturer + "[Device]\nName = N\nId = 1\nAddress = 2x4\n" + kCommands);
  EXPECT_EQ(messages, "Error [Device] MaskCmd not found\r\n");
  EXPECT_TRUE(catalogue.ParallelDrivers().empty());
  EXPECT_EQ(Find(catalogue, "N"), nullptr);

  // The POLLING warning is reported, yet the description is used.
  DeviceCatalogue warned;
  messages =
      LoadFile(warned, kManufacturer + "[Device]\nName = N\nId = 1\nAddress = 2x4\nMaskCmd = 0\n" +
                           "[SectorErase]\nAddress = USER\nData = 0x30\n[WordWrite]\nAddress = USER\nData = USER\n"
                           "[Status]\nType = POLLING\n");
  EXPECT_EQ(messages, "Warning [Status] type = POLLING, ErrorBit undefined, assuming 0x28\r\n");
  ASSERT_EQ(warned.ParallelDrivers().size(), 1u);
  EXPECT_TRUE(FlashDriverTDF(*warned.ParallelDrivers()[0]).ready);
  EXPECT_NE(Find(warned, "N"), nullptr);
}

TEST(ParsePartId, Forms) {
  PartId id;
  ASSERT_TRUE(ParsePartId("0x22C4,0x2210,5:0x2201", id));
  EXPECT_EQ(id.mainId, 0x22C4);
  ASSERT_EQ(id.extraCount, 2);
  EXPECT_EQ(id.extra[0], (PartIdWord{2, 0x2210}));
  EXPECT_EQ(id.extra[1], (PartIdWord{5, 0x2201}));

  ASSERT_TRUE(ParsePartId("1, 2", id));  // a blank makes the item invalid
  EXPECT_EQ(id.extra[0], (PartIdWord{2, 0xE0E0}));

  ASSERT_TRUE(ParsePartId("1,2,3,4,5,6,7", id));  // four extra words at most
  EXPECT_EQ(id.extraCount, 4);
  EXPECT_EQ(id.extra[3], (PartIdWord{5, 5}));

  ASSERT_TRUE(ParsePartId("CFI_TOP", id));
  EXPECT_EQ(id.mainId, kKeywordCfiTop);
  EXPECT_EQ(id.extraCount, 0);

  EXPECT_FALSE(ParsePartId("", id));
  EXPECT_FALSE(ParsePartId(std::string(100, '1'), id));
  EXPECT_EQ(id, PartId{});
  EXPECT_TRUE(ParsePartId(std::string(99, '1'), id));
}

}  // namespace
}  // namespace tessaro
