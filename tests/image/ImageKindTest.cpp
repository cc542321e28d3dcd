#include "image/ImageKind.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaro {
namespace {

ImageBuffer MakeImage(const std::vector<uint16_t>& words, uint32_t startAddress = 0) {
  ImageBuffer image;
  ResizeImage(image, static_cast<int32_t>(words.size()));
  std::copy(words.begin(), words.end(), image.words.begin());
  image.startAddress = startAddress;
  DetectImageKind(image);
  return image;
}

// Words of a firmware image of n words: word 1 = size, the last word makes the sum 0.
std::vector<uint16_t> Firmware(size_t n, uint16_t word5 = 0) {
  std::vector<uint16_t> w(n, 0x1111);
  w[0] = 0x4452;
  w[1] = static_cast<uint16_t>(n & 0xFFFF);
  w[2] = static_cast<uint16_t>(n >> 16);
  if (n > 5) w[5] = word5;
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < n; ++i) sum = static_cast<uint16_t>(sum + w[i]);
  w[n - 1] = static_cast<uint16_t>(-sum);
  return w;
}

struct KindCase {
  const char* name;
  std::vector<uint16_t> words;
  int32_t kind;
  uint32_t kindAddress;
};

std::vector<uint16_t> Padded(std::vector<uint16_t> head, size_t n, uint16_t fill = 0x7777) {
  head.resize(n, fill);
  return head;
}

TEST(DetectImageKind, RecognisesEveryKind) {
  std::vector<uint16_t> demoBank4 = Padded({0x6D44, 0x3456}, 24);
  demoBank4[20] = 0x5678;
  demoBank4[21] = 0x0012;
  // Demo data with a = 2 header entries: P = 100, Q = 100, D = P - 2a - 1 = 95; the marker
  // word sits at 2a + 1 = 5.
  std::vector<uint16_t> demo = {2, 100, 0, 100, 0, 0xF9FA, 0, 0, 0, 0, 0, 0};
  std::vector<uint16_t> title = demo;
  title[5] = 0x4E24;
  title[6] = 0x0100;
  title[7] = 0x0001;
  std::vector<uint16_t> style = demo;
  style[5] = 0x1234;
  std::vector<uint16_t> styleNoZero = style;
  styleNoZero[9] = 1;
  std::vector<uint16_t> oldBank = Padded({0, 5, 5, 5, 5, 5, 0x0083, 0x4321, 0x0002}, 20, 5);

  const std::vector<KindCase> cases = {
      {"firmware", {0x1234, 0x0003, 0xEDC9}, IMAGE_FIRMWARE, 0x500},
      {"firmware changed word 0", {0x1235, 0x0003, 0xEDC9}, IMAGE_RAW, 0},
      {"firmware changed word 1", {0x1234, 0x0004, 0xEDC9}, IMAGE_RAW, 0},
      {"firmware changed word 2", {0x1234, 0x0003, 0xEDC8}, IMAGE_RAW, 0},
      {"encrypted firmware", Firmware(16, 0x0004), IMAGE_ENCRYPTED_FIRMWARE, 0x500},
      {"firmware without encryption bit", Firmware(16, 0x0003), IMAGE_FIRMWARE, 0x500},
      {"large firmware", Firmware(70000, 0x0004), IMAGE_ENCRYPTED_FIRMWARE, 0x500},
      {"soundbank", Padded({0x6142, 0x6B6E, 0x2222, 0x0001}, 232), IMAGE_SOUNDBANK, 0x12222},
      {"short soundbank", Padded({0x6142, 0x6B6E, 0x2222, 0x0001}, 231), IMAGE_RAW, 0},
      {"demobank v3", Padded({0x6D44, 0x3356}, 24), IMAGE_DEMOBANK, 0},
      {"demobank v4", demoBank4, IMAGE_DEMOBANK, 0x125678},
      {"short demobank", Padded({0x6D44, 0x3456}, 23), IMAGE_RAW, 0},
      {"old soundbank", oldBank, IMAGE_SOUNDBANK_OLD, 0x24321},
      {"old soundbank entry cut off", {0, 5, 5, 5, 5, 5, 0x0083, 0x4321}, IMAGE_RAW, 0},
      {"demo", demo, IMAGE_DEMO, 95},
      {"demo and title", title, IMAGE_DEMO_TITLE, 0x10100 - 8 - 2},
      {"style", style, IMAGE_STYLE, 95},
      {"style without zero word", styleNoZero, IMAGE_RAW, 0},
      {"demo data shorter than its header says", {2, 100, 0, 102, 0, 0xF9FA, 0}, IMAGE_RAW, 0},
      {"single word", {0x0000}, IMAGE_RAW, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBuffer image = MakeImage(c.words, 0x500);
    EXPECT_EQ(image.kind, c.kind);
    EXPECT_EQ(image.kindAddress, c.kindAddress);
  }
}

TEST(DetectImageKind, IgnoresWordsBeyondTheImage) {
  // A soundbank header in a larger buffer that was shortened: the words beyond size do not
  // count, so the 231-word image is raw.
  ImageBuffer image = MakeImage(Padded({0x6142, 0x6B6E}, 300));
  ASSERT_EQ(image.kind, IMAGE_SOUNDBANK);
  ResizeImage(image, 231);
  DetectImageKind(image);
  EXPECT_EQ(image.kind, IMAGE_RAW);
}

TEST(DetectImageKind, EmptyImageOrFirstWordPastTheEndIsRaw) {
  ImageBuffer image = MakeImage({0x1234, 0x0003, 0xEDC9});
  ASSERT_EQ(image.kind, IMAGE_FIRMWARE);
  image.firstWord = 3;
  DetectImageKind(image);
  EXPECT_EQ(image.kind, IMAGE_RAW);
  EXPECT_EQ(image.kindAddress, 0u);
  EXPECT_EQ(MakeImage({}).kind, IMAGE_RAW);
}

}  // namespace
}  // namespace tessaro
