#include "definitions/DeviceCatalogue.h"

#include <gtest/gtest.h>

#include <map>

#include "definitions/ParallelDescriptions.h"
#include "definitions/TdfTestFolder.h"
#include "flash/FlashDriverTDF.h"

namespace tessaro {
namespace {

using testing::TdfTestFolder;

const char kSerialFile[] =
    "[DFDEVICES]\r\nManufacturerNames = Adesto|Atmel\r\nId = 0x1F\r\n"
    "[AT45DB321E]\r\nType = DATAFLASH\r\nDeviceSize = 32M\r\nAddressBytes = 3\r\nPageSize = 528\r\nDeviceID = 0x27\r\n";

const char kQspiFile[] =
    "[QSPIDEVICES]\nManufacturer = Alpha|Beta\nID = 0xEF\n"
    "[CONFIG.QE]\nCfgRead = Read(0x05,%0), Read(0x35,%1)\nCfgWrite = Cmd(0x06), Write(0x31,%1), WaitIdle()\n"
    "Configure = [9]:1\n"
    "[Q64]\nType = QSPI\nID = 0x4017\nDeviceSize = 64M\nConfig = QE\nExtendedId = 3:0x20\n";

const char kParallelFile[] =
    "[Manufacturer]\nId = 0x01\nNames = Spansion|AMD\n"
    "[Device]\nName = NOR064B\nId = 0x227E,14:0x2210,15:0x2200\nAddress = 8x4,127x32\nSectorNumber = 135\n"
    "MaskCmd = 0xFFFFF800\nTimeSector = 5000\n"
    "[PARTS]\nNOR064T[0x227E,14:0x2210,15:0x2201] = 127x32,8x4\nNORCFI[0x227E] = CFI_TOP\n"
    "[SectorErase]\nAddress = 0x555, 0x2AA, 0x555, 0x555, 0x2AA, USER\nData = 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30\n"
    "[WordWrite]\nAddress = 0x555, 0x2AA, 0x555, USER\nData = 0xAA, 0x55, 0xA0, USER\n"
    "[Status]\nType = POLLING\nErrorBit = 0x20\n";

std::vector<std::string> EntryNames(const DeviceCatalogue& catalogue) {
  std::vector<std::string> names;
  for (const auto& entry : catalogue.Entries()) names.push_back(entry->name);
  return names;
}

const DeviceDescription* Entry(const DeviceCatalogue& catalogue, std::string_view name, int index = 0) {
  for (const auto& entry : catalogue.Entries()) {
    if (entry->name == name && index-- == 0) return entry.get();
  }
  return nullptr;
}

TEST(LoadDriverFolder, EmptyFolderLoadsNothing) {
  TdfTestFolder folder;
  folder.Write("readme.txt", "[DFDEVICES]\n");
  DeviceCatalogue catalogue;
  std::string errors = "earlier\r\n";
  EXPECT_FALSE(LoadDriverFolder(catalogue, folder.path(), errors));
  EXPECT_EQ(errors, "earlier\r\nNo TDF Files in " + folder.path() + "\r\n");
  EXPECT_TRUE(catalogue.Entries().empty());
  EXPECT_TRUE(catalogue.Files().empty());
  EXPECT_EQ(catalogue.GenericNand(), nullptr);
}

TEST(LoadDriverFolder, ReadsAllThreeKindsAndAddsGenericNand) {
  TdfTestFolder folder;
  folder.Write("serial.tdf", kSerialFile);
  folder.Write("QSPI.TDF", kQspiFile);
  folder.Write("Nor.Tdf", kParallelFile);
  // First section names are compared ignoring case; files without a manufacturer get the
  // family's fallback name.
  folder.Write("plain.TDF", "[dfdevices]\n[E1]\nType = eeprom\nDeviceSize = 256K\nAddressBytes = 2\nPageSize = 64\n");
  folder.Write("plainq.TDF", "[QspiDevices]\n[Q1]\nType = QSPI\nID = 0x10\nDeviceSize = 8M\n");
  DeviceCatalogue catalogue;
  std::string errors;
  ASSERT_TRUE(LoadDriverFolder(catalogue, folder.path(), errors)) << errors;
  EXPECT_EQ(errors, "");

  EXPECT_EQ(EntryNames(catalogue),
            (std::vector<std::string>{"AT45DB321E", "E1", "NOR064B", "NOR064T", "NORCFI", "ONFI", "Q1", "Q64"}));
  std::vector<std::string> files;
  for (const auto& file : catalogue.Files()) files.push_back(file->name);
  EXPECT_EQ(files,
            (std::vector<std::string>{"GENERIC", "Nor.Tdf", "plain.TDF", "plainq.TDF", "QSPI.TDF", "serial.tdf"}));

  const DeviceDescription* serial = Entry(catalogue, "AT45DB321E");
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->family, FAMILY_SERIAL);
  EXPECT_EQ(serial->manufacturer->names, (std::vector<std::string>{"Adesto", "Atmel"}));
  EXPECT_EQ(serial->serial, (DataFlashDescription{SERIAL_DATAFLASH, 4194304, 3, 528, 0x1F27, 0}));
  EXPECT_EQ(serial->file->name, "serial.tdf");
  EXPECT_EQ(Entry(catalogue, "E1")->manufacturer->DisplayName(), "Serial");
  EXPECT_EQ(Entry(catalogue, "E1")->serial.type, SERIAL_EEPROM);
  EXPECT_EQ(Entry(catalogue, "Q1")->manufacturer->DisplayName(), "QSPI");
  EXPECT_EQ(Entry(catalogue, "Q1")->qspi.manufacturerId, VALUE_INVALID);  // taken as it is

  const DeviceDescription* q64 = Entry(catalogue, "Q64");
  ASSERT_NE(q64, nullptr);
  EXPECT_EQ(q64->family, FAMILY_QSPI);
  EXPECT_EQ(q64->qspi.manufacturerId, 0xEFu);
  EXPECT_EQ(q64->qspi.config.mask, 0x200u);
  EXPECT_EQ(q64->qspi.config.readScript.size(), 2u);

  const DeviceDescription* nand = catalogue.GenericNand();
  ASSERT_NE(nand, nullptr);
  EXPECT_EQ(nand->name, "ONFI");
  EXPECT_EQ(nand->family, FAMILY_NAND);
  EXPECT_EQ(nand->file->name, "GENERIC");
  EXPECT_EQ(nand->manufacturer->DisplayName(), "GENERIC_NAND");

  ASSERT_EQ(catalogue.ParallelDrivers().size(), 1u);
  const ParallelDeviceRecord& record = *catalogue.ParallelDrivers()[0];
  const FlashDriverTDF driver(record);
  EXPECT_TRUE(driver.ready);
  EXPECT_EQ(driver.ManufacturerId(), 1u);
  EXPECT_EQ(driver.ManufacturerName(), "Spansion");
  EXPECT_EQ(driver.DeviceId(), 0u);
  EXPECT_EQ(driver.DeviceSize(), 0u);
  EXPECT_EQ(driver.DeviceName(), "");
  const DeviceDescription* part = Entry(catalogue, "NOR064T");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->driver, &record);
  EXPECT_EQ(part->part, &record.description.parts[1]);
  EXPECT_EQ(Entry(catalogue, "NORCFI")->part->kind, kKeywordCfiTop);

  // Loading again rebuilds the catalogue as a whole.
  ASSERT_TRUE(LoadDriverFolder(catalogue, folder.path(), errors));
  EXPECT_EQ(catalogue.Entries().size(), 8u);
}

TEST(LoadDriverFolder, FramesErrorsPerFile) {
  TdfTestFolder folder;
  folder.Write("a_broken.TDF", "[DFDEVICES\n");
  folder.Write("b_comments.TDF", "; nothing but a comment\r\n");
  folder.Write("c_keyfirst.TDF", "key = 1\n[DFDEVICES]\n");
  folder.Write("d_faults.TDF",
               "[DFDEVICES]\nManufacturer = Maker\n"
               "[GOOD]\nType = DATAFLASH\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = 264\n"
               "[NOSIZE]\nType = DATAFLASH\n"
               "[BADTYPE]\nType = NAND\nDeviceSize = 8M\nAddressBytes = 3\nPageSize = 264\n");
  folder.Write("e_long.TDF", "[DFDEVICES]\nManufacturer = " + std::string(5000, 'M') + "\n");
  DeviceCatalogue catalogue;
  std::string errors;
  EXPECT_FALSE(LoadDriverFolder(catalogue, folder.path(), errors));
  const std::string base = folder.path() + "/";
  EXPECT_EQ(errors, "Unable to read " + base + "a_broken.TDF\r\n" + "Unable to read " + base + "b_comments.TDF\r\n" +
                        "Unable to read " + base + "c_keyfirst.TDF\r\n" +
                        "Error(s) in d_faults.TDF:\r\n"
                        "NOSIZE: Missing DeviceSizeBADTYPE: Invalid Type NAND\r\n"
                        "\r\n" +
                        "Unable to read " + base + "e_long.TDF\r\n");
  // What parsed without fault is used all the same.
  EXPECT_EQ(EntryNames(catalogue), (std::vector<std::string>{"GOOD", "ONFI"}));
}

TEST(LoadDriverFolder, DuplicatesAreReportedAndKept) {
  TdfTestFolder folder;
  const std::string serial = "Type = EEPROM\nDeviceSize = 256K\nAddressBytes = 2\nPageSize = 64\n";
  folder.Write("1.TDF", "[DFDEVICES]\nManufacturer = One\n[DEV]\n" + serial);
  folder.Write("2.TDF", "[DFDEVICES]\nManufacturer = Two\n[dev]\n" + serial);
  folder.Write("3.TDF", "[QSPIDEVICES]\nManufacturer = Three\nID=1\n[Q]\nType=x\nID=2\nDeviceSize=8M\nNames = Q2\n");
  folder.Write("4.TDF", "[QSPIDEVICES]\nManufacturer = Four\nID=1\n[Q2]\nType=x\nID=2\nDeviceSize=8M\n");
  std::string parallel = kParallelFile;
  folder.Write("5.TDF", parallel);
  folder.Write("6.TDF", parallel);  // same parts of the same manufacturer
  std::string other = parallel;
  other.replace(other.find("Spansion|AMD"), 12, "Other");
  folder.Write("7.TDF", other);  // same names, another manufacturer: no duplicates

  DeviceCatalogue catalogue;
  std::string errors;
  EXPECT_FALSE(LoadDriverFolder(catalogue, folder.path(), errors));
  EXPECT_EQ(errors,
            "Error(s) in 2.TDF:\r\nSPI: Multiple driver definition for Two:dev (1.TDF)\r\n\r\n"
            "Error(s) in 4.TDF:\r\nQSPI: Multiple driver definition for Four:Q2 (3.TDF)\r\n\r\n"
            "Error(s) in 6.TDF:\r\n"
            "Multiple driver definition for Spansion:NOR064B (5.TDF)\r\n"
            "Multiple driver definition for Spansion:NOR064T (5.TDF)\r\n"
            "Multiple driver definition for Spansion:NORCFI (5.TDF)\r\n\r\n");
  // The later definition stands before the earlier one; both are marked.
  const DeviceDescription* first = Entry(catalogue, "dev");
  const DeviceDescription* second = Entry(catalogue, "DEV");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->duplicate && second->duplicate);
  EXPECT_EQ(EntryNames(catalogue)[0], "dev");
  EXPECT_EQ(Entry(catalogue, "Q2")->file->name, "4.TDF");
  EXPECT_TRUE(Entry(catalogue, "Q2", 1)->duplicate);
  EXPECT_FALSE(Entry(catalogue, "Q")->duplicate);
  // Three parallel objects, the other manufacturer's parts not marked.
  EXPECT_EQ(catalogue.ParallelDrivers().size(), 3u);
  int marked = 0;
  for (const auto& entry : catalogue.Entries()) {
    if (entry->name == "NOR064B") {
      marked += entry->duplicate;
      EXPECT_EQ(entry->duplicate, entry->manufacturer->DisplayName() == "Spansion");
    }
  }
  EXPECT_EQ(marked, 2);
}

TEST(DeviceCatalogue, RegistriesAreSortedAndShared) {
  DeviceCatalogue catalogue;
  const ManufacturerEntry* alpha = catalogue.RegisterManufacturer("Alpha|Beta");
  EXPECT_EQ(alpha->names, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(catalogue.RegisterManufacturer("alpha"), alpha);
  EXPECT_EQ(catalogue.RegisterManufacturer("Alpha|Gamma"), alpha);
  EXPECT_EQ(alpha->names.size(), 2u);
  const ManufacturerEntry* beta = catalogue.RegisterManufacturer("Beta|Alpha");
  EXPECT_NE(beta, alpha);
  catalogue.RegisterManufacturer("Aardvark");
  std::vector<std::string> order;
  for (const auto& entry : catalogue.Manufacturers()) order.push_back(entry->DisplayName());
  EXPECT_EQ(order, (std::vector<std::string>{"Aardvark", "Alpha", "Beta"}));

  const CatalogueFile* file = catalogue.RegisterFile("B.TDF");
  EXPECT_EQ(catalogue.RegisterFile("b.tdf"), file);
  catalogue.RegisterFile("a.tdf");
  EXPECT_EQ(catalogue.Files().front()->name, "a.tdf");

  catalogue.FreeCatalogue();
  EXPECT_TRUE(catalogue.Files().empty());
  EXPECT_TRUE(catalogue.Manufacturers().empty());
}

TEST(ParseDeviceSize, Notations) {
  struct Case {
    std::string text;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"32M", true, 33554432},
      {"32Mib", true, 33554432},
      {"32MiB", true, 33554432},
      {"32m", true, 33554432},
      {"4K", true, 4096},
      {"1G", true, 1073741824},
      {"1000", true, 1000},
      {"2GiB", true, 2147483648u},
      {"0", false, 0},
      {"32X", false, 0},
      {"", false, 0},
      {"M", false, 0},
      {"32Mi", false, 0},
      {"32 M", false, 0},
      {"32MB", false, 0},
      {"-4", false, 0},
      {"4G", false, 0},
      {"8192M", false, 0},
      {"99999999999", false, 0},  // beyond 32 bits
  };
  for (const Case& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(ParseDeviceSize(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(MatchDeviceName, Patterns) {
  struct Case {
    std::string name;
    std::string pattern;
    bool match;
  };
  const Case cases[] = {
      {"NOR160B", "NOR16*", true},
      {"NOR16", "NOR16*", false},
      {"NORAL016", "NOR*L016", true},
      {"NORL016", "NOR*L016", false},
      {"nor160b", "NOR160B", true},
      {"NOR160", "NOR160B", false},
      {"NOR160BX", "NOR160B", false},
      {"A", "*", true},
      {"", "*", false},
      {"", "", true},
      {"AB", "**", true},
      {"ABC", "*B*", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchDeviceName(c.name, c.pattern), c.match) << c.name << " / " << c.pattern;
  }
}

class CatalogueLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("a.TDF", kQspiFile);
    folder_.Write("b.TDF",
                  "[QSPIDEVICES]\nManufacturer = Gamma\nID = 0xC2\n[Q64]\nType = QSPI\nID = 0x2017\nDeviceSize = 64M\n"
                  "[Q128]\nType = QSPI\nID = 0x2018\nDeviceSize = 128M\nExtendedId = 4.7:1\n"
                  "[Q128X]\nType = QSPI\nID = 0x2018\nDeviceSize = 128M\n");
    folder_.Write("c.TDF", kSerialFile);
    folder_.Write("d.TDF", kParallelFile);
    std::string errors;
    EXPECT_FALSE(LoadDriverFolder(catalogue_, folder_.path(), errors));
    // Two makers' devices named Q64: reported, both kept.
    EXPECT_EQ(errors, "Error(s) in b.TDF:\r\nQSPI: Multiple driver definition for Gamma:Q64 (a.TDF)\r\n\r\n");
  }
  TdfTestFolder folder_;
  DeviceCatalogue catalogue_;
};

TEST_F(CatalogueLookups, SerialByName) {
  DataFlashDescription block;
  ASSERT_TRUE(catalogue_.FindSerialDevice("at45db321e", block));
  EXPECT_EQ(block.pageSize, 528);
  EXPECT_FALSE(catalogue_.FindSerialDevice("Q64", block));  // another family
  EXPECT_FALSE(catalogue_.FindSerialDevice("AT45", block));
}

TEST_F(CatalogueLookups, QspiByManufacturerAndName) {
  const DeviceDescription* beta = catalogue_.FindQspiDevice("Beta:Q64");
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(beta->manufacturer->DisplayName(), "Alpha");
  EXPECT_EQ(catalogue_.FindQspiDevice("alpha:q64"), beta);
  const DeviceDescription* gamma = catalogue_.FindQspiDevice("Gamma:Q64");
  ASSERT_NE(gamma, nullptr);
  EXPECT_NE(gamma, beta);
  EXPECT_EQ(catalogue_.FindQspiDevice("Beta:Q128"), nullptr);
  EXPECT_EQ(catalogue_.FindQspiDevice("Delta:Q64"), nullptr);
  EXPECT_EQ(catalogue_.FindQspiDevice("Adesto:AT45DB321E"), nullptr);
  // A bare device name finds the first QSPI device of that name.
  EXPECT_EQ(catalogue_.FindQspiDevice("Q128")->qspi.deviceId, 0x2018u);
  EXPECT_EQ(catalogue_.FindQspiDevice("Q64"), Entry(catalogue_, "Q64"));
}

TEST_F(CatalogueLookups, ParallelByPattern) {
  ParallelDeviceRecord* driver = catalogue_.FindParallelDevice("Spansion:NOR064*");
  ASSERT_NE(driver, nullptr);
  ASSERT_NE(driver->SelectedPart(), nullptr);
  EXPECT_EQ(driver->SelectedPart()->name, "NOR064B");
  EXPECT_EQ(catalogue_.FindParallelDevice("NOR064T"), driver);
  EXPECT_EQ(driver->SelectedPart()->name, "NOR064T");
  EXPECT_EQ(catalogue_.FindParallelDevice("AMD:NOR064T"), nullptr);  // only the display name counts
  EXPECT_EQ(catalogue_.FindParallelDevice("Spansion:NOR128*"), nullptr);

  // The working driver takes a copy, the selected part included.
  FlashDriverTDF working;
  working = FlashDriverTDF(*driver);
  EXPECT_EQ(working.SelectedPart()->name, "NOR064T");
  EXPECT_NE(working.SelectedPart(), driver->SelectedPart());
  working.Reset();
  EXPECT_FALSE(working.ready);
  EXPECT_EQ(working.SelectedPart(), nullptr);
}

TEST_F(CatalogueLookups, ById) {
  const uint8_t plain[8] = {0xC2, 0x20, 0x18, 0x00, 0x00};
  const uint8_t flagged[8] = {0xC2, 0x20, 0x18, 0x00, 0x80};
  EXPECT_EQ(catalogue_.FindDeviceById(0x00C22018, plain)->name, "Q128X");
  EXPECT_EQ(catalogue_.FindDeviceById(0x00C22018, flagged)->name, "Q128");
  const uint8_t betaBytes[8] = {0xEF, 0x40, 0x17, 0x20};
  EXPECT_EQ(catalogue_.FindDeviceById(0x00EF4017, betaBytes)->name, "Q64");
  EXPECT_EQ(catalogue_.FindDeviceById(0x00EF4017, plain), nullptr);  // byte 3 must be 0x20
  EXPECT_EQ(catalogue_.FindDeviceById(0x00EF4017, std::span<const uint8_t>(betaBytes, 3)), nullptr);
  EXPECT_EQ(catalogue_.FindDeviceById(0x00EF4018, betaBytes), nullptr);
}

// Identification and layout facts of the shipped descriptions, as the parts' datasheets give
// them: the S29GL-N autoselect words at 0Eh/0Fh (03 top boot, 04 bottom boot) and the DataFlash
// and basic SPI identification bytes.
TEST(ShippedDrivers, DeviceFactsMatchTheDatasheets) {
  DeviceCatalogue catalogue;
  std::string errors;
  ASSERT_TRUE(LoadDriverFolder(catalogue, TESSARO_SOURCE_DIR "/drivers", errors)) << errors;
  auto find = [&](const std::string& name) -> const DeviceDescription* {
    for (const auto& entry : catalogue.Entries())
      if (entry->name == name) return entry.get();
    return nullptr;
  };
  struct NorFact {
    const char* name;
    uint16_t word0E, word0F;
    bool bootAtTop;
  };
  const NorFact norFacts[] = {
      {"S29GL064N03", 0x2210, 0x2201, true},
      {"S29GL064N04", 0x2210, 0x2200, false},
      {"S29GL032N03", 0x221A, 0x2201, true},
      {"S29GL032N04", 0x221A, 0x2200, false},
  };
  for (const NorFact& fact : norFacts) {
    SCOPED_TRACE(fact.name);
    const DeviceDescription* entry = find(fact.name);
    ASSERT_NE(entry, nullptr);
    const PartEntry& part = *entry->part;
    EXPECT_EQ(part.id.mainId, 0x227E);
    ASSERT_EQ(part.id.extraCount, 2);
    EXPECT_EQ(part.id.extra[0], (PartIdWord{14, fact.word0E}));
    EXPECT_EQ(part.id.extra[1], (PartIdWord{15, fact.word0F}));
    // Eight 4K-word boot sectors at the top or at the bottom, beside 32K-word sectors.
    const ValuePairList& table = part.sectors;
    const int32_t last = table.AddressCount() - 1;
    const int32_t firstSector = table.Address(1) - table.Address(0);
    const int32_t lastSector = table.Address(last) - table.Address(last - 1);
    EXPECT_EQ(fact.bootAtTop ? lastSector : firstSector, 4);
    EXPECT_EQ(fact.bootAtTop ? firstSector : lastSector, 32);
  }
  struct SerialFact {
    const char* name;
    int32_t deviceId;  // manufacturer and first device byte of 9Fh
    int32_t pageSize;
    int32_t sizeBytes;  // power-of-two size; DataFlash pages hold 1/32 more
  };
  const SerialFact serialFacts[] = {
      {"AT45DB041E", 0x1F24, 264, 512 * 1024},      {"AT45DB081E", 0x1F25, 264, 1024 * 1024},
      {"AT45DB161E", 0x1F26, 528, 2 * 1024 * 1024}, {"AT45DB321E", 0x1F27, 528, 4 * 1024 * 1024},
      {"AT25SF041", 0x1F84, 256, 512 * 1024},       {"W25X40CL", 0xEF30, 256, 512 * 1024},
  };
  for (const SerialFact& fact : serialFacts) {
    SCOPED_TRACE(fact.name);
    const DeviceDescription* entry = find(fact.name);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->serial.deviceId, fact.deviceId);
    EXPECT_EQ(entry->serial.pageSize, fact.pageSize);
    EXPECT_EQ(entry->serial.sizeBytes, fact.sizeBytes);
  }
}

// The folder that ships beside the programs must load without a single message, and its tables
// must describe the devices they name.
TEST(ShippedDrivers, LoadWithoutMessages) {
  DeviceCatalogue catalogue;
  std::string errors;
  EXPECT_TRUE(LoadDriverFolder(catalogue, TESSARO_SOURCE_DIR "/drivers", errors));
  EXPECT_EQ(errors, "");

  // Device sizes from the datasheets, in 16-bit words.
  const std::map<std::string, int64_t> parallelWords = {
      {"S29GL064N03", 4 << 20},   {"S29GL064N04", 4 << 20},   {"S29GL032N03", 2 << 20},  {"S29GL032N04", 2 << 20},
      {"JS28F128P30B", 8 << 20},  {"JS28F128P30T", 8 << 20},  {"JS28F640P30B", 4 << 20}, {"JS28F640P30T", 4 << 20},
      {"JS28F256P30B", 16 << 20}, {"JS28F256P30T", 16 << 20},
  };
  int sectorParts = 0;
  bool cfiPolling = false, statusWithClear = false, extraIds = false, bootBlocks = false;
  bool quadEnable = false, flagStatus = false, fourByte = false, hybrid = false;
  int serialTypes[4] = {};
  for (const auto& entry : catalogue.Entries()) {
    EXPECT_FALSE(entry->duplicate) << entry->name;
    if (entry->family == FAMILY_PARALLEL) {
      const PartEntry& part = *entry->part;
      const ParallelFlashDescription& description = entry->driver->description;
      if (part.kind == PART_SECTORS) {
        ++sectorParts;
        const ValuePairList& table = part.sectors;
        ASSERT_GE(table.AddressCount(), 2) << entry->name;
        EXPECT_EQ(table.Address(0), 0) << entry->name;
        for (int32_t i = 1; i < table.AddressCount(); ++i) EXPECT_GT(table.Address(i), table.Address(i - 1));
        ASSERT_TRUE(parallelWords.count(entry->name)) << entry->name;
        EXPECT_EQ(int64_t{table.Address(table.AddressCount() - 1)} * 1024, parallelWords.at(entry->name))
            << entry->name;
        // Boot-block layouts: sector sizes differ inside one table.
        if (table.Address(1) - table.Address(0) !=
            table.Address(table.AddressCount() - 1) - table.Address(table.AddressCount() - 2)) {
          bootBlocks = true;
        }
      } else {
        EXPECT_TRUE(IsCfiKind(part.kind));
        cfiPolling |= description.statusType == 0 && description.cfiMatch.AddressCount() > 0;
      }
      statusWithClear |=
          description.statusType == 1 && description.errorBit != 0 && description.clearStatus.AddressCount() > 0;
      extraIds |= part.kind == PART_SECTORS && part.id.extraCount > 0;
      EXPECT_TRUE(IsValidValue(description.errorBit));
    } else if (entry->family == FAMILY_QSPI) {
      const QspiDescription& q = entry->qspi;
      EXPECT_GT(q.sizeBytes, 0u);
      EXPECT_EQ(q.sizeBytes % q.pageSize, 0u) << entry->name;
      if (q.eraseUnit != ERASE_UNIT_SPANSION) {
        EXPECT_EQ(q.sizeBytes % q.eraseUnit, 0u) << entry->name;
      }
      hybrid |= q.eraseUnit == ERASE_UNIT_SPANSION;
      quadEnable |= q.config.mask != 0 && !q.config.readScript.empty() && !q.config.writeScript.empty();
      flagStatus |= (q.options & QSPI_OPTION_MICRON_FLAG_STATUS) != 0;
      if (q.sizeBytes > kQspiThreeByteLimit) {
        fourByte = true;
        EXPECT_EQ(q.addressBytes, 4) << entry->name;
        EXPECT_EQ(q.singleReadCmd, 0x13) << entry->name;
      } else {
        EXPECT_EQ(q.addressBytes, 3) << entry->name;
      }
    } else if (entry->family == FAMILY_SERIAL) {
      ASSERT_GE(entry->serial.type, 1);
      ASSERT_LE(entry->serial.type, 3);
      ++serialTypes[entry->serial.type];
    }
  }
  EXPECT_GT(sectorParts, 0);
  EXPECT_TRUE(cfiPolling && statusWithClear && extraIds && bootBlocks);
  EXPECT_TRUE(quadEnable && flagStatus && fourByte && hybrid);
  EXPECT_GT(serialTypes[SERIAL_EEPROM], 0);
  EXPECT_GT(serialTypes[SERIAL_BASIC_DATAFLASH], 0);
  EXPECT_GT(serialTypes[SERIAL_DATAFLASH], 0);
  // An alias list: the names share one description.
  const DeviceDescription* alias = Entry(catalogue, "W25Q128FV");
  const DeviceDescription* main = Entry(catalogue, "W25Q128JV");
  ASSERT_TRUE(alias && main);
  EXPECT_EQ(alias->qspi, main->qspi);
}

}  // namespace
}  // namespace tessaro
