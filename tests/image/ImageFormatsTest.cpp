// S-record and ELF images: they load into the same words as the binary they were made from,
// damaged files are refused with a message naming the file and the line or segment and leave
// the image as it was, and S-records written from words read back to the same words.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "image/ElfImage.h"
#include "image/ImageBuffer.h"
#include "image/ImageKind.h"
#include "image/ImageWriter.h"
#include "image/SRecordImage.h"
#include "platform/Files.h"
#include "tests/image/ElfBuilder.h"

namespace tessaro {
namespace {

using testing::BuildElf;
using testing::ElfLayout;
using testing::ElfSegment;

// One S-record of `type` with an address of `addressBytes` bytes and its checksum.
std::string SRecord(int type, uint64_t address, size_t addressBytes, const std::string& data = "") {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
  for (size_t i = addressBytes; i-- > 0;) bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(~sum));
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line = "S" + std::to_string(type);
  for (uint8_t b : bytes) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0xF];
  }
  return line + "\n";
}

std::vector<uint16_t> Words(const ImageBuffer& image) {
  return {image.words.begin(), image.words.begin() + image.size};
}

// An image that a failed load must leave alone.
ImageBuffer Previous() {
  ImageBuffer image;
  ResizeImage(image, 3);
  image.words[0] = 0x1111;
  image.startAddress = 0x40;
  return image;
}

void ExpectUnchanged(const ImageBuffer& image) {
  const ImageBuffer previous = Previous();
  EXPECT_EQ(Words(image), Words(previous));
  EXPECT_EQ(image.startAddress, previous.startAddress);
  EXPECT_FALSE(image.entryAddress.has_value());
}

TEST(ImageFormat, ExtensionNamesTheFormatInAnyCase) {
  const std::pair<const char*, ImageFormat> cases[] = {
      {"a.hex", ImageFormat::IntelHex},   {"a.HEX", ImageFormat::IntelHex},  {"a.srec", ImageFormat::SRecord},
      {"a.S19", ImageFormat::SRecord},    {"a.s28", ImageFormat::SRecord},   {"a.s37", ImageFormat::SRecord},
      {"a.Mot", ImageFormat::SRecord},    {"a.elf", ImageFormat::Elf},       {"a.ELF", ImageFormat::Elf},
      {"a.bin", ImageFormat::Binary},     {"a.s3", ImageFormat::Binary},     {"srec", ImageFormat::Binary},
      {"a.elf.bin", ImageFormat::Binary}, {"dir.elf/a", ImageFormat::Binary}};
  for (const auto& [path, format] : cases) EXPECT_EQ(ImageFormatOf(path), format) << path;
}

TEST(ParseSRecordImage, RecordsOfEveryWidthGiveWordsLowByteFirstAtTheirAddresses) {
  struct Case {
    const char* label;
    std::string text;
    uint32_t startAddress;  // words
    std::vector<uint16_t> words;
    uint32_t entry;
  };
  const std::string header = SRecord(0, 0, 2, "demo");
  const Case cases[] = {
      {"S1 with count and S9",
       header + SRecord(1, 0x0100, 2, "\x34\x12\x78\x56") + SRecord(5, 1, 2) + SRecord(9, 0x10, 2),
       0x80,
       {0x1234, 0x5678},
       0x10},
      {"S2 and S8", SRecord(2, 0x123457, 3, "\x01\x02") + SRecord(8, 0x123457, 3), 0x91A2B, {0x01FF, 0xFF02}, 0x123457},
      {"S3 and S7, count S6",
       SRecord(3, 0x80000000, 4, "\xAA\xBB") + SRecord(6, 1, 3) + SRecord(7, 0x80000000, 4),
       0x40000000,
       {0xBBAA},
       0x80000000},
      // Out of order, with a hole between the records and a byte at an odd address.
      {"holes and odd bytes",
       SRecord(1, 0x0008, 2, "\x05\x06") + SRecord(1, 0x0000, 2, "\x01\x02\x03") + SRecord(9, 0, 2),
       0,
       {0x0201, 0xFF03, 0xFFFF, 0xFFFF, 0x0605},
       0},
      {"the top of the 32-bit range",
       SRecord(3, 0xFFFFFFFE, 4, "\x01\x02") + SRecord(7, 0, 4),
       0x7FFFFFFF,
       {0x0201},
       0},
      {"no data", header + SRecord(9, 0, 2), 0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuffer image = Previous();
    std::string error;
    ASSERT_TRUE(ParseSRecordImage(image, c.text, "x.srec", error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(image.startAddress, c.startAddress);
    EXPECT_EQ(Words(image), c.words);
    EXPECT_EQ(image.programLength, image.size);
    EXPECT_EQ(image.entryAddress, c.entry);
  }
}

TEST(ParseSRecordImage, LineEndsCaseBlankLinesAndTextAfterTheEndDoNotMatter) {
  const std::string plain = SRecord(1, 0, 2, "\xAB\xCD") + SRecord(9, 0, 2);
  std::string crlf;
  std::string lower;
  for (char c : plain) {
    if (c == '\n') crlf += '\r';
    crlf += c;
    lower += static_cast<char>(c == 'S' ? c : std::tolower(static_cast<unsigned char>(c)));
  }
  for (const std::string& text : {crlf, lower, "\n" + plain + "\ngarbage after the end\n"}) {
    ImageBuffer image;
    std::string error;
    ASSERT_TRUE(ParseSRecordImage(image, text, "x", error)) << error << text;
    EXPECT_EQ(Words(image), std::vector<uint16_t>{0xCDAB});
  }
}

TEST(ParseSRecordImage, DamagedFilesAreRefusedWithFileAndLineAndLoadNothing) {
  const std::string data = SRecord(1, 0, 2, "\x01\x02\x03\x04");
  std::string badSum = data;
  badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
  const std::string end = SRecord(9, 0, 2);
  struct Case {
    const char* label;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"bad checksum", badSum + end, "f.srec: line 1: checksum error"},
      {"line cut short", data.substr(0, data.size() - 2) + "\n" + end, "f.srec: line 1: odd number of hexadecimal"},
      {"bytes missing", data.substr(0, data.size() - 5) + "\n" + end,
       "f.srec: line 1: the byte count 7 does not match the 5 bytes that follow it"},
      {"file cut short", data, "f.srec: line 2: the file ends without a termination record (S7, S8 or S9)"},
      {"count record off", data + SRecord(1, 0x10, 2, "\x05\x06") + SRecord(5, 1, 2) + end,
       "f.srec: line 3: the count record says 1 data records, the file holds 2 before it"},
      {"reserved S4", SRecord(4, 0, 2) + end, "f.srec: line 1: record type S4 is reserved"},
      {"not a record", data + ":00000001FF\n" + end, "f.srec: line 2: not an S-record"},
      {"bad digit", "S1070000010G0304F0\n" + end, "f.srec: line 1: invalid hexadecimal digits"},
      {"no address", "S10200FD\n" + end, "f.srec: line 1: record S1 too short"},
      {"too long", "S1" + std::string(514, '0') + "\n" + end, "f.srec: line 1: line longer than 514 characters"},
      {"overlapping records", data + SRecord(1, 2, 2, "\x09") + end,
       "f.srec: line 2: data at byte address 0x2 overlaps the data of line 1 (byte addresses 0x0 to 0x3)"},
      {"past the 32-bit range", SRecord(3, 0xFFFFFFFF, 4, "\x01\x02") + SRecord(7, 0, 4),
       "f.srec: line 1: data at byte address 0xFFFFFFFF (2 bytes) lies past the 32-bit address range"},
      {"records far apart", SRecord(3, 0, 4, "\x01\x02") + SRecord(3, 0x40000000, 4, "\x01\x02") + SRecord(7, 0, 4),
       "f.srec: the data spans 536870913 words (byte addresses 0x0 to 0x40000001); an image holds at most"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuffer image = Previous();
    std::string error;
    EXPECT_FALSE(ParseSRecordImage(image, c.text, "f.srec", error));
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    ExpectUnchanged(image);
  }
}

TEST(ParseElfImage, LoadSegmentsGoToTheirPhysicalAddressesInEveryClassAndByteOrder) {
  const std::vector<ElfSegment> segments = {
      {PT_LOAD, 0x1004, "\x05\x06\x07", 0x100},  // the rest of its memory (.bss) is not programmed
      {PT_NOTE, 0x0, "note"},                    // not loaded
      {PT_LOAD, 0x1000, "\x01\x02\x03\x04"},
      {PT_LOAD, 0x2000, "", 0x40},  // memory only
  };
  for (const bool wide : {false, true}) {
    for (const bool bigEndian : {false, true}) {
      SCOPED_TRACE(std::string(wide ? "ELF64" : "ELF32") + (bigEndian ? " big-endian" : " little-endian"));
      ImageBuffer image = Previous();
      std::string error;
      ASSERT_TRUE(ParseElfImage(image, BuildElf({wide, bigEndian, ET_EXEC, 0x1001}, segments), "p.elf", error))
          << error;
      EXPECT_EQ(image.startAddress, 0x800u);
      EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x0201, 0x0403, 0x0605, 0xFF07}));
      EXPECT_EQ(image.entryAddress, 0x1001u);
    }
  }
}

TEST(ParseElfImage, DamagedFilesAreRefusedWithFileAndSegmentAndLoadNothing) {
  const ElfSegment good{PT_LOAD, 0x100, "\x01\x02\x03\x04"};
  const std::string whole = BuildElf({}, {good});
  struct Case {
    const char* label;
    std::string file;
    std::string error;
  };
  const Case cases[] = {
      {"overlapping segments", BuildElf({}, {good, {PT_LOAD, 0x102, "\x09\x09"}}),
       "p.elf: segment 1: data at byte address 0x102 overlaps the data of segment 0 (byte addresses 0x100 to 0x103)"},
      {"a segment past the 32-bit range", BuildElf({true}, {good, {PT_LOAD, 0xFFFFFFFF, "\x01\x02"}}),
       "p.elf: segment 1: data at byte address 0xFFFFFFFF (2 bytes) lies past the 32-bit address range"},
      {"a segment above 4 GiB", BuildElf({true, true}, {{PT_LOAD, 0x100000000, "\x01\x02"}}),
       "p.elf: segment 0: data at byte address 0x100000000 (2 bytes) lies past the 32-bit address range"},
      {"data cut off", whole.substr(0, whole.size() - 1),
       "p.elf: segment 0: its file data (4 bytes at offset 0x54) lies past the end of the file (87 bytes)"},
      {"headers cut off", whole.substr(0, 60),
       "p.elf: the program headers lie past the end of the file (60 bytes); is the file truncated?"},
      {"more file data than memory", BuildElf({}, {{PT_LOAD, 0, "\x01\x02", 1}}),
       "p.elf: segment 0: holds more file data (2 bytes) than memory (1 bytes)"},
      {"nothing to load", BuildElf({}, {{PT_LOAD, 0, "", 16}}), "p.elf: no PT_LOAD segment holds file data"},
      {"not ELF at all", SRecord(9, 0, 2), "p.elf: not an ELF file"},
      {"empty", "", "p.elf: not an ELF file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuffer image = Previous();
    std::string error;
    EXPECT_FALSE(ParseElfImage(image, c.file, "p.elf", error));
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    ExpectUnchanged(image);
  }
}

TEST(ParseElfImage, DetectsTheKindOfTheLoadedWords) {
  // A firmware: word 1 holds the size and all words add up to zero.
  const std::string firmware("\x34\x12\x03\x00\xC9\xED", 6);
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseElfImage(image, BuildElf({}, {{PT_LOAD, 0x200, firmware}}), "f.elf", error)) << error;
  EXPECT_EQ(image.kind, IMAGE_FIRMWARE);
  EXPECT_EQ(image.kindAddress, 0x100u);
}

TEST(FormatSRecords, WordsReadBackInTheNarrowestWidthThatHoldsThem) {
  struct Case {
    uint32_t start;  // words
    size_t count;
    char dataType;
    char endType;
  };
  const Case cases[] = {{0, 40, '1', '9'},
                        {0x7FF0, 16, '1', '9'},
                        {0x7FF0, 17, '2', '8'},
                        {0x7FFFF0, 17, '3', '7'},
                        {0x7FFFFFF0, 16, '3', '7'}};
  std::mt19937 generator(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    std::vector<uint16_t> words(c.count);
    for (uint16_t& w : words) w = static_cast<uint16_t>(generator());
    const std::string text = FormatSRecords(c.start, words, "dump.srec");
    EXPECT_EQ(text.substr(0, 2), "S0");
    EXPECT_EQ(text[text.find('\n') + 2], c.dataType);
    EXPECT_EQ(text[text.rfind('\n', text.size() - 2) + 2], c.endType);
    EXPECT_NE(text.find("\nS5"), std::string::npos);
    ImageBuffer image;
    std::string error;
    ASSERT_TRUE(ParseSRecordImage(image, text, "dump.srec", error)) << error;
    EXPECT_EQ(image.startAddress, c.start);
    EXPECT_EQ(Words(image), words);
    EXPECT_EQ(image.entryAddress, c.start * 2);
  }
  EXPECT_TRUE(FitsSRecordAddresses(0x7FFFFFF0, 16));
  EXPECT_FALSE(FitsSRecordAddresses(0x7FFFFFF0, 17));
}

// Files as GNU objcopy writes them from one binary load to the binary's words, at the address
// objcopy was told; and objcopy reads the S-records this program writes back to the binary.
class ObjcopyImages : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("tessaro-objcopy-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string Path(const std::string& name) const { return (folder_ / name).string(); }
  std::filesystem::path folder_;
};

TEST_F(ObjcopyImages, EveryFormatLoadsToTheBinarysWords) {
  // Over 64 KiB, so that S2 records and extended HEX addresses appear.
  std::mt19937 generator(22);
  std::string bytes(0x12346, '\0');
  for (char& b : bytes) b = static_cast<char>(generator());
  const std::string bin = Path("image.bin");
  ASSERT_TRUE(WriteWholeFile(bin, bytes));
  ImageBuffer reference;
  std::string error;
  ASSERT_TRUE(LoadBinaryImage(reference, bin, error)) << error;
  ASSERT_EQ(reference.size, 0x91A3);

  struct Case {
    const char* file;
    const char* options;
    uint32_t startAddress;  // words
  };
  const Case cases[] = {
      {"a.srec", "-O srec", 0},
      {"b.s37", "-O srec --srec-forceS3 --srec-len 7", 0},
      {"c.mot", "-O srec --change-addresses 0x1000000", 0x800000},
      {"d.hex", "-O ihex", 0},
      {"e.elf", "-O elf32-little", 0},
      {"f.elf", "-O elf32-big --change-addresses 0x20000", 0x10000},
      {"g.elf", "-O elf64-little", 0},
      {"h.ELF", "-O elf64-big", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string path = Path(c.file);
    ASSERT_EQ(std::system(("objcopy -I binary " + std::string(c.options) + " '" + bin + "' '" + path + "'").c_str()),
              0);
    ImageBuffer image;
    ASSERT_TRUE(LoadImageByExtension(image, path, error)) << error;
    EXPECT_EQ(image.startAddress, c.startAddress);
    EXPECT_EQ(Words(image), Words(reference));
  }

  // objcopy reads back what this program writes.
  const std::string written = Path("written.srec");
  ASSERT_TRUE(WriteWholeFile(written, FormatSRecords(0x10, Words(reference), "written.srec")));
  const std::string back = Path("back.bin");
  ASSERT_EQ(std::system(("objcopy -I srec -O binary '" + written + "' '" + back + "'").c_str()), 0);
  EXPECT_EQ(ReadWholeFile(back).value_or(""), bytes);
}

TEST_F(ObjcopyImages, ADamagedFileFromDiskIsRefusedWithItsPath) {
  const std::string path = Path("cut.s19");
  ASSERT_TRUE(WriteWholeFile(path, SRecord(1, 0, 2, "\x01\x02")));
  ImageBuffer image = Previous();
  std::string error;
  EXPECT_FALSE(LoadImageByExtension(image, path, error));
  EXPECT_EQ(error, path + ": line 2: the file ends without a termination record (S7, S8 or S9)");
  ExpectUnchanged(image);
  const std::string missing = Path("none.elf");
  error.clear();
  EXPECT_FALSE(LoadImageByExtension(image, missing, error));
  EXPECT_EQ(error, "Cannot open " + missing);
  ExpectUnchanged(image);
}

}  // namespace
}  // namespace tessaro
