// The built-in driver images, replacement images from the drivers folder, and the checksum.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/DriverImage.h"
#include "platform/Files.h"

namespace tessaro {
namespace {

struct ImageCase {
  int id;
  uint16_t length;
  const char* name;
  std::vector<std::pair<uint32_t, uint16_t>> entries;  // every non-zero entry
};

TEST(DriverImage, BuiltInImagesKeepTheHeader) {
  const ImageCase cases[] = {
      {kDriverImageDataFlash,
       1332,
       "PRGDEV DF       ",
       {{3, 0x0402}, {4, 0x045E}, {5, 0x048B}, {8, 0x0534}, {11, 0x046F}}},
      {kDriverImageParallel, 1175, "PRGDEV PAR      ", {{5, 0x0482}, {8, 0x0497}, {10, 0x0402}, {11, 0x0466}}},
  };
  SetDriverImageFolder("");
  for (const ImageCase& c : cases) {
    DriverImage image;
    std::string error;
    ASSERT_TRUE(image.LoadEmbedded(c.id, error)) << error;
    EXPECT_EQ(error, "");
    ASSERT_EQ(image.length, c.length);
    EXPECT_EQ(image.Word(0), 0x4452);
    EXPECT_EQ(image.Word(1), c.length);
    EXPECT_EQ(image.Word(2), 11723);
    for (uint32_t entry = 3; entry <= 15; ++entry) {
      uint16_t expected = 0;
      for (const auto& [index, value] : c.entries) {
        if (index == entry) expected = value;
      }
      EXPECT_EQ(image.Word(entry), expected) << "entry " << entry;
    }
    std::string name;
    for (uint32_t i = 16; i < 24; ++i) {
      name += static_cast<char>(image.Word(i) & 0xFF);
      name += static_cast<char>(image.Word(i) >> 8);
    }
    EXPECT_EQ(name, c.name);
    for (uint32_t i = 24; i < 1024; ++i) ASSERT_EQ(image.Word(i), 0) << "word " << i;
    EXPECT_TRUE(IsUsableDriverImage(image.Words()));
  }
}

TEST(DriverImage, UnknownResourceIsRefused) {
  DriverImage image;
  std::string error;
  EXPECT_FALSE(image.LoadEmbedded(11003, error));
  EXPECT_EQ(error, "Unable to load embedded Driver!!!");
  EXPECT_EQ(image.length, 0u);
  EXPECT_EQ(image.words, nullptr);
}

class ReplacementImage : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("tessaro-driver-images-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    SetDriverImageFolder(folder_.string());
  }
  void TearDown() override {
    SetDriverImageFolder("");
    std::filesystem::remove_all(folder_);
  }
  void Write(const std::vector<uint16_t>& words) {
    std::string bytes;
    for (uint16_t w : words) {
      bytes += static_cast<char>(w & 0xFF);
      bytes += static_cast<char>(w >> 8);
    }
    ASSERT_TRUE(WriteWholeFile(JoinPath(folder_.string(), "PRGDEV_PAR.bin"), bytes));
  }
  static std::vector<uint16_t> Header(uint16_t magic, uint16_t version, uint16_t length) {
    std::vector<uint16_t> words(length, 0);
    words[0] = magic;
    words[1] = length;
    words[2] = version;
    words[11] = 0x0420;
    return words;
  }
  std::filesystem::path folder_;
};

TEST_F(ReplacementImage, AFileOfTheSameNameReplacesTheBuiltInImage) {
  std::vector<uint16_t> words = Header(0x4452, 11723, 1100);
  words[1099] = 0xC0DE;
  Write(words);
  DriverImage image;
  std::string error;
  ASSERT_TRUE(image.LoadEmbedded(kDriverImageParallel, error)) << error;
  EXPECT_EQ(image.length, 1100u);
  EXPECT_EQ(image.Word(11), 0x0420);
  EXPECT_EQ(image.Word(1099), 0xC0DE);
  // The DataFlash image has no replacement and stays built in.
  DriverImage dataFlash;
  ASSERT_TRUE(dataFlash.LoadEmbedded(kDriverImageDataFlash, error));
  EXPECT_EQ(dataFlash.length, 1332u);
}

TEST_F(ReplacementImage, AFileThatFailsTheChecksIsReportedNotSwapped) {
  const std::vector<std::vector<uint16_t>> bad = {
      Header(0x4453, 11723, 1100),  // magic
      Header(0x4452, 11722, 1100),  // version
      {0x4452, 0x0003, 0x2DCB},     // shorter than a header
  };
  for (const auto& words : bad) {
    Write(words);
    DriverImage image;
    std::string error;
    EXPECT_FALSE(image.LoadEmbedded(kDriverImageParallel, error));
    EXPECT_NE(error.find("Unable to load embedded Driver!!!"), std::string::npos) << error;
    EXPECT_EQ(image.length, 0u);
  }
}

struct ChecksumCase {
  std::vector<uint16_t> words;
  uint32_t a;
  uint32_t b;
};

TEST(Checksum, RecurrenceOverWordsStartingFromZero) {
  const ChecksumCase cases[] = {
      {{}, 0, 0},
      {{1}, 1, 1},
      {{0xFFFF, 0xFFFF}, 28, 42},
      {{0xFFF0}, 0xFFF0 % 65521, 0xFFF0 % 65521},
  };
  for (const ChecksumCase& c : cases) {
    const uint32_t packed = ChecksumWords(0, c.words);
    EXPECT_EQ(packed & 0xFFFF, c.a);
    EXPECT_EQ(packed >> 16, c.b);
  }
}

TEST(Checksum, ContinuesAcrossCallsLikeOneCall) {
  std::vector<uint16_t> words(70000);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
  const uint32_t whole = ChecksumWords(0, words);
  const std::span<const uint16_t> all(words);
  uint32_t pieces = ChecksumWords(0, all.subspan(0, 65536));
  pieces = ChecksumWords(pieces, all.subspan(65536));
  EXPECT_EQ(pieces, whole);
  EXPECT_LT(whole & 0xFFFF, 65521u);
  EXPECT_LT(whole >> 16, 65521u);
}

}  // namespace
}  // namespace tessaro
