#include "image/ImageBuffer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "image/ImageDigest.h"
#include "image/ImageKind.h"
#include "platform/Files.h"

namespace tessaro {
namespace {

// One Intel HEX record with its checksum, e.g. Record(0, 0, {0x34, 0x12}).
std::string Record(uint16_t address, uint8_t type, std::initializer_list<uint8_t> data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : bytes) {
    line.push_back(kDigits[b >> 4]);
    line.push_back(kDigits[b & 0xF]);
  }
  return line + "\n";
}

const std::string kEnd = ":00000001FF\n";

std::vector<uint16_t> Words(const ImageBuffer& image) {
  return {image.words.begin(), image.words.begin() + image.size};
}

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("tessaro-image-" + std::to_string(::getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = (folder_ / name).string();
    EXPECT_TRUE(WriteWholeFile(path, bytes));
    return path;
  }
  std::filesystem::path folder_;
};

TEST(ResizeImage, GrowsByDoublingAndFillsNewWordsErased) {
  ImageBuffer image;
  ResizeImage(image, 3);
  EXPECT_EQ(image.capacity, 128);
  EXPECT_EQ(image.size, 3);
  EXPECT_EQ(image.programLength, 3);
  image.words[0] = 1;
  image.words[1] = 2;
  image.words[2] = 3;
  ResizeImage(image, 1);  // shrink: words beyond are no longer part of the image
  ResizeImage(image, 300);
  EXPECT_EQ(image.capacity, 512);
  EXPECT_EQ(image.words[0], 1);
  EXPECT_EQ(image.words[1], 0xFFFF);
  EXPECT_EQ(image.words[299], 0xFFFF);
  EXPECT_EQ(image.programLength, 300);
}

TEST(ParseHexImage, ExampleRecordsGiveTwoWordsLowByteFirst) {
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, ":0400000034127856E8\n:00000001FF\n", error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(image.startAddress, 0u);
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x1234, 0x5678}));
  EXPECT_EQ(ImageSha256(image), "2e0f5102be7b10596b272fd8df2cb288a304bd6f8a1b9c7603d13494cd13a024");
}

TEST(ParseHexImage, CrLfAndLfLineEndsAndLowerCaseDigitsGiveTheSameImage) {
  std::string lf = Record(0x0010, 0, {0xAB, 0xCD, 0xEF, 0x01}) + kEnd;
  std::string crlf = ":04001000abcdef0184\r\n:00000001ff\r\n";
  ImageBuffer a, b;
  std::string error;
  ASSERT_TRUE(ParseHexImage(a, lf, error)) << error;
  ASSERT_TRUE(ParseHexImage(b, crlf, error)) << error;
  EXPECT_EQ(a.startAddress, 8u);
  EXPECT_EQ(Words(a), (std::vector<uint16_t>{0xCDAB, 0x01EF}));
  EXPECT_EQ(Words(a), Words(b));
  EXPECT_EQ(a.startAddress, b.startAddress);
}

TEST(ParseHexImage, RecordsOutOfOrderKeepEveryWord) {
  // The second record lies inside the first one's range and ends below its end: the image
  // keeps the first record's tail instead of being cut to the second record's end.
  std::string text = Record(0x0000, 0, {1, 0, 2, 0, 3, 0, 4, 0}) + Record(0x0002, 0, {0x22, 0}) + kEnd;
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, text, error)) << error;
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{1, 0x22, 3, 4}));
  EXPECT_EQ(image.programLength, 4);
}

TEST(ParseHexImage, GapsReadErasedEvenAfterALargerImage) {
  ImageBuffer image;
  std::string error;
  std::string big = Record(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + kEnd;
  ASSERT_TRUE(ParseHexImage(image, big, error));
  std::string gapped = Record(0, 0, {0x11, 0x11}) + Record(8, 0, {0x55, 0x55}) + Record(4, 0, {0x33, 0x33}) + kEnd;
  ASSERT_TRUE(ParseHexImage(image, gapped, error)) << error;
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x1111, 0xFFFF, 0x3333, 0xFFFF, 0x5555}));
}

TEST(ParseHexImage, ExtendedLinearAddressMovesFollowingRecords) {
  std::string text = Record(0, 4, {0x00, 0x01}) + Record(0x0004, 0, {0x01, 0x02}) + Record(0, 4, {0x00, 0x02}) +
                     Record(0x0000, 0, {0x03, 0x04}) + kEnd;
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, text, error)) << error;
  EXPECT_EQ(image.startAddress, 32768u + 2);
  ASSERT_EQ(image.size, 32768 - 2 + 1);
  EXPECT_EQ(image.words[0], 0x0201);
  EXPECT_EQ(image.words[1], 0xFFFF);
  EXPECT_EQ(image.words[32766], 0x0403);
}

TEST(ParseHexImage, ExtendedSegmentAddressMovesFollowingRecordsBySixteenTimesItsValue) {
  // 0x1000 × 16 = byte 0x10000, word 0x8000; then back to the linear form for comparison.
  std::string text = Record(0, 2, {0x10, 0x00}) + Record(0x0004, 0, {0x01, 0x02}) + Record(0, 2, {0x10, 0x01}) +
                     Record(0x0000, 0, {0x03, 0x04}) + Record(0, 4, {0x00, 0x01}) + Record(0x0012, 0, {0x05, 0x06}) +
                     kEnd;
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, text, error)) << error;
  EXPECT_EQ(image.startAddress, 0x8002u);
  // Segment 0x1001 puts address 0 at word 0x8008; linear 0x0001 puts 0x12 at word 0x8009.
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x0201, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x0403, 0x0605}));
  EXPECT_FALSE(image.entryAddress);
}

TEST(ParseHexImage, StartAddressRecordsProgramNothingAndAreRemembered) {
  struct Case {
    const char* name;
    std::string record;
    uint32_t entry;
  };
  const std::vector<Case> cases = {
      {"start linear", Record(0, 5, {0x00, 0x01, 0x23, 0x44}), 0x00012344},
      {"start segment CS:IP", Record(0, 3, {0x12, 0x34, 0x00, 0x10}), 0x12340 + 0x10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBuffer image;
    std::string error;
    ASSERT_TRUE(ParseHexImage(image, Record(0, 0, {1, 2}) + c.record + kEnd, error)) << error;
    EXPECT_EQ(Words(image), std::vector<uint16_t>{0x0201});
    ASSERT_TRUE(image.entryAddress);
    EXPECT_EQ(*image.entryAddress, c.entry);
    // A later load of a file without one forgets it.
    ASSERT_TRUE(ParseHexImage(image, Record(0, 0, {1, 2}) + kEnd, error)) << error;
    EXPECT_FALSE(image.entryAddress);
  }
}

TEST(ParseHexImage, TextAfterEndRecordIsIgnored) {
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, Record(0, 0, {1, 2}) + kEnd + "garbage\n:0200000401", error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(image.size, 1);
}

struct HexFailure {
  const char* name;
  std::string text;
  const char* message;
  int32_t sizeAfter;  // what the records before the fault left
};

TEST(ParseHexImage, RejectsEveryMalformedInputWithItsMessage) {
  const std::string good = Record(0x0010, 0, {1, 0, 2, 0});
  const std::vector<HexFailure> cases = {
      {"line too long", good + ":" + std::string(1024, '0') + "\n" + kEnd, "Line Length Exceeded!", 2},
      {"no colon", "0400000034127856E8\n" + kEnd, "Invalid Hex Format!", 0},
      {"empty line", good + "\n" + kEnd, "Invalid Hex Format!", 2},
      {"odd digit count", ":0400000034127856E\n" + kEnd, "Invalid Hex Format!", 0},
      {"trailing blank", ":0400000034127856E8 \n" + kEnd, "Invalid Hex Format!", 0},
      {"non-hex digit", ":04000000341278G6E8\n" + kEnd, "Invalid Hex Format!", 0},
      {"lone carriage return", ":0400000034127856E8\r:00000001FF\n", "Invalid Hex Format!", 0},
      {"checksum", good + ":0400000034127856E9\n" + kEnd, "Checksum Error!", 2},
      {"count larger than data", ":0600000034127856E6\n" + kEnd, "Invalid Hex Format!", 0},
      {"count smaller than data", ":0200000034127856EA\n" + kEnd, "Invalid Hex Format!", 0},
      {"record too short", ":00\n" + kEnd, "Invalid Hex Format!", 0},
      {"short linear address", Record(0, 4, {0x01}) + kEnd, "Invalid Hex Format!", 0},
      {"odd address", Record(0x0001, 0, {1, 2}) + kEnd, "Invalid odd address!", 0},
      {"odd count", Record(0x0000, 0, {1, 2, 3}) + kEnd, "Invalid odd data count!", 0},
      {"below start", good + Record(0x000E, 0, {1, 2}) + kEnd, "Invalid Address Sequence in HexFile", 2},
      {"unknown type 6", good + Record(0, 6, {0, 0}) + kEnd, "Invalid Record encountered, invalid HexFile", 2},
      {"segment moves below start",
       Record(0, 2, {0x10, 0x00}) + good + Record(0, 2, {0x00, 0x00}) + Record(0x0020, 0, {1, 2}) + kEnd,
       "Invalid Address Sequence in HexFile", 2},
      {"short segment address", Record(0, 2, {0x10}) + kEnd, "Invalid Hex Format!", 0},
      {"short start address", Record(0, 5, {0, 0, 0}) + kEnd, "Invalid Hex Format!", 0},
      {"no end record", good, "Unexpected End Of File", 2},
      {"empty file", "", "Unexpected End Of File", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBuffer image;
    std::string error = "before:";
    EXPECT_FALSE(ParseHexImage(image, c.text, error));
    EXPECT_EQ(error, std::string("before:") + c.message);
    EXPECT_EQ(image.size, c.sizeAfter);
  }
}

TEST(ParseHexImage, LineOfExactly1024CharactersIsNotTooLong) {
  // 511 bytes after the ':' would need 1022 digits plus one: 1023 characters is the longest
  // even-digit line; a 1024-character line has an odd digit count and is a format error.
  ImageBuffer image;
  std::string error;
  EXPECT_FALSE(ParseHexImage(image, ":" + std::string(1023, '0') + "\n", error));
  EXPECT_EQ(error, "Invalid Hex Format!");
}

TEST(ParseHexImage, AddressesFarApartAreRejectedWithoutAHugeAllocation) {
  std::string text = Record(0, 0, {1, 2}) + Record(0, 4, {0xFF, 0xFF}) + Record(0xFFF0, 0, {1, 2}) + kEnd;
  ImageBuffer image;
  std::string error;
  EXPECT_FALSE(ParseHexImage(image, text, error));
  EXPECT_NE(error.find("Hex file addresses span more than"), std::string::npos) << error;
  EXPECT_EQ(image.size, 1);
  EXPECT_LE(image.capacity, 128);
}

TEST(ParseHexImage, RecordAtTheTopOfTheAddressSpaceLoads) {
  std::string text = Record(0, 4, {0xFF, 0xFF}) + Record(0xFFFC, 0, {0xAA, 0xBB, 0xCC, 0xDD}) + kEnd;
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, text, error)) << error;
  EXPECT_EQ(image.startAddress, 0x7FFFFFFEu);
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0xBBAA, 0xDDCC}));
}

TEST(ParseHexImage, ClassifiesTheLoadedImage) {
  // 0x1234, 0x0003, 0xEDC9 add up to 0x10000: firmware.
  std::string text = Record(0x0100, 0, {0x34, 0x12, 0x03, 0x00, 0xC9, 0xED}) + kEnd;
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(ParseHexImage(image, text, error));
  EXPECT_EQ(image.kind, IMAGE_FIRMWARE);
  EXPECT_EQ(image.kindAddress, 0x80u);
}

using LoadFile = TempFolder;

TEST_F(LoadFile, HexFileFromDisk) {
  std::string path = Write("a.hex", Record(0, 0, {0x34, 0x12}) + kEnd);
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(LoadHexImage(image, path, error)) << error;
  EXPECT_EQ(Words(image), std::vector<uint16_t>{0x1234});
}

TEST_F(LoadFile, MissingHexFileEmptiesTheImage) {
  ImageBuffer image;
  ResizeImage(image, 5);
  std::string error;
  std::string path = (folder_ / "none.hex").string();
  EXPECT_FALSE(LoadHexImage(image, path, error));
  EXPECT_EQ(error, "Cannot open " + path);
  EXPECT_EQ(image.size, 0);
}

TEST_F(LoadFile, BinaryWordsAreLowByteFirst) {
  std::string path = Write("a.bin", std::string("\x34\x12\x78\x56", 4));
  ImageBuffer image;
  image.startAddress = 77;
  std::string error;
  ASSERT_TRUE(LoadBinaryImage(image, path, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(image.startAddress, 0u);
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x1234, 0x5678}));
}

TEST_F(LoadFile, BinaryEdgeSizes) {
  struct Case {
    std::string bytes;
    int32_t size;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"", 0, ""},
      {"x", 0, "Warning: file size in 16bit word is not an integer"},
      {"abcde", 2, "Warning: file size in 16bit word is not an integer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ImageBuffer image;
    ResizeImage(image, 10);
    std::string error;
    ASSERT_TRUE(LoadBinaryImage(image, Write("e.bin", c.bytes), error));
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(image.size, c.size);
    EXPECT_EQ(image.kind, IMAGE_RAW);
  }
}

TEST_F(LoadFile, MissingBinaryKeepsThePreviousImage) {
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(LoadBinaryImage(image, Write("a.bin", "abcd"), error));
  std::string path = (folder_ / "none.bin").string();
  EXPECT_FALSE(LoadBinaryImage(image, path, error));
  EXPECT_EQ(error, "Can't open " + path);
  EXPECT_EQ(Words(image), (std::vector<uint16_t>{0x6261, 0x6463}));
}

TEST_F(LoadFile, WhatIsNoRegularFileOrTooLargeIsRefusedUnread) {
  // A FIFO would block the read, /dev/zero would never end, a sparse 3 GiB file would fill the
  // memory: all are refused from what the file system says, before a byte is read.
  const std::string fifo = (folder_ / "fifo.hex").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = (folder_ / "huge.bin").string();
  Write("huge.bin", "x");
  std::filesystem::resize_file(huge, 3ull << 30);
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {fifo, "Not a regular file: " + fifo},
      {"/dev/zero", "Not a regular file: /dev/zero"},
      {folder_.string(), "Not a regular file: " + folder_.string()},
      {huge, "File too large: " + huge + " (3221225472 bytes; an image holds at most 268435456 words)"},
  };
  for (const Case& c : cases) {
    ImageBuffer image;
    std::string error;
    ASSERT_TRUE(LoadBinaryImage(image, Write("a.bin", "abcd"), error));
    EXPECT_FALSE(LoadImageByExtension(image, c.path, error)) << c.path;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Words(image).size(), IsHexFileName(c.path) ? 0u : 2u) << c.path;
  }
}

TEST_F(LoadFile, ExtensionChoosesTheLoaderIgnoringCase) {
  const std::string hex = Record(0, 0, {0x34, 0x12}) + kEnd;
  for (const char* name : {"up.HEX", "low.hex", "mixed.Hex"}) {
    ImageBuffer image;
    std::string error;
    ASSERT_TRUE(LoadImageByExtension(image, Write(name, hex), error)) << name;
    EXPECT_EQ(Words(image), std::vector<uint16_t>{0x1234}) << name;
  }
  // Any other extension is binary: the text's own bytes become the words.
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(LoadImageByExtension(image, Write("text.hexa", hex), error));
  EXPECT_EQ(image.size, static_cast<int32_t>(hex.size() / 2));
  EXPECT_EQ(image.words[0], (':' | '0' << 8));
}

TEST_F(LoadFile, DemoExampleLoads) {
  ImageBuffer image;
  std::string error;
  ASSERT_TRUE(LoadHexImage(image, TESSARO_SOURCE_DIR "/examples/demo.hex", error)) << error;
  EXPECT_EQ(image.size, 256);
  EXPECT_EQ(image.kind, IMAGE_FIRMWARE);
}

}  // namespace
}  // namespace tessaro
