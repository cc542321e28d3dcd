// Encrypted firmware of the 9xxx chips: the AES block function against the FIPS-197 vectors,
// the texts of the image kinds, the EFU file found beside an image, and the encryption check
// for each boot source on images encrypted here by the rules of the counter mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "efuse/FirmwareCheck.h"
#include "tests/definitions/TdfTestFolder.h"
#include "tests/image/EncryptFirmware.h"

namespace tessaro {
namespace {

std::array<uint8_t, 16> Bytes(const char* hex) {
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  return bytes;
}

TEST(AesKey, Fips197Vectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
  };
  for (const auto& c : cases) {
    AesKey key;
    ASSERT_TRUE(key.SetKey(Bytes(c.key)));
    std::array<uint8_t, 16> out{};
    ASSERT_TRUE(key.Encrypt(Bytes(c.plain), out));
    EXPECT_EQ(out, Bytes(c.cipher)) << c.key;
  }
  // The EFU key's word 7 is the first pair of key bytes.
  const EfuNumber efuKey = {0x0E0F, 0x0C0D, 0x0A0B, 0x0809, 0x0607, 0x0405, 0x0203, 0x0001};
  EXPECT_EQ(AesKeyBytes(efuKey), Bytes("000102030405060708090a0b0c0d0e0f"));
  AesKey unset;
  std::array<uint8_t, 16> out{};
  EXPECT_FALSE(unset.Encrypt(out, out));
}

TEST(CounterBlock, TwelveAsciiCharactersZeroAndA19BitCounter) {
  const auto block = CounterBlock(0xFABCDE);
  for (size_t i = 0; i < 12; ++i) EXPECT_TRUE(block[i] >= 0x20 && block[i] < 0x7F) << i;
  EXPECT_EQ(block[12], 0);
  EXPECT_EQ(block[13], 0x02);  // bits 16..18 of 0xFABCDE
  EXPECT_EQ(block[14], 0xBC);
  EXPECT_EQ(block[15], 0xDE);
}

TEST(ImageKindText, EveryKind) {
  EfuData none;
  EfuData all;
  all.secured = all.midiOutEnable = all.sssBootEnable = 1;
  EfuData midiOnly;
  midiOnly.midiOutEnable = 1;
  struct Case {
    int32_t kind;
    uint16_t firstWord;
    const EfuData& efu;
    const char* text;
  } cases[] = {
      {IMAGE_RAW, 0, none, "Raw binary Data"},
      {IMAGE_FIRMWARE, 0x4452, none, "Firmware File"},
      {IMAGE_FIRMWARE, 0x1234, none, "Firmware File (Firmware ID 1234)"},
      {IMAGE_FIRMWARE, 0x000A, none, "Firmware File (Firmware ID A)"},
      {IMAGE_ENCRYPTED_FIRMWARE, 0, none, "Encrypted Firmware + eFuses[AES]"},
      {IMAGE_ENCRYPTED_FIRMWARE, 0, all, "Encrypted Firmware + eFuses[AES,Sec,MidiOut,SSSBoot]"},
      {IMAGE_ENCRYPTED_FIRMWARE, 0, midiOnly, "Encrypted Firmware + eFuses[AES,MidiOut]"},
      {IMAGE_SOUNDBANK_OLD, 0, none, "Soundbank (old)"},
      {IMAGE_SOUNDBANK, 0, none, "Soundbank"},
      {IMAGE_DEMO, 0, none, "Demo Data"},
      {IMAGE_STYLE, 0, none, "Style Data"},
      {IMAGE_DEMO_TITLE, 0, none, "Demo&Title Data"},
      {IMAGE_DEMOBANK, 0, none, "DemoBank"},
  };
  for (const auto& c : cases) {
    ImageBuffer image;
    ResizeImage(image, 3);
    image.words[0] = c.firstWord;
    image.kind = c.kind;
    EXPECT_EQ(ImageKindText(image, c.efu), c.text);
  }
  // The detected kind of the 3-word firmware, end to end.
  ImageBuffer image;
  ResizeImage(image, 3);
  image.words[0] = 0x1234;
  image.words[1] = 0x0003;
  image.words[2] = 0xEDC9;
  DetectImageKind(image);
  EXPECT_EQ(ImageKindText(image, none), "Firmware File (Firmware ID 1234)");
}

TEST(EfuPathBeside, ExtensionMatchedWithoutRegardToCase) {
  testing::TdfTestFolder folder;
  const std::string dir = folder.path();
  folder.Write("fw.hex", "");
  folder.Write("fw.EFU", "AES=1\n");
  folder.Write("fw.eFu", "AES=2\n");
  folder.Write("FW.Efu", "AES=3\n");  // another name, not another extension
  folder.Write("solo.bin", "");
  folder.Write("exact.bin", "");
  folder.Write("exact.Efu", "AES=4\n");
  folder.Write("exact.EFU", "AES=5\n");
  folder.Write("v1.2.bin", "");
  folder.Write("v1.2.efu", "AES=6\n");
  EXPECT_EQ(EfuPathBeside(dir + "/fw.hex"), dir + "/fw.EFU");  // first of the matches by name
  EXPECT_EQ(EfuPathBeside(dir + "/exact.bin"), dir + "/exact.Efu");
  EXPECT_EQ(EfuPathBeside(dir + "/v1.2.bin"), dir + "/v1.2.efu");
  EXPECT_EQ(EfuPathBeside(dir + "/solo.bin"), dir + "/solo.Efu");
  EXPECT_EQ(EfuPathBeside(dir + "/noext"), dir + "/noext.Efu");

  EfuData efu;
  std::string message;
  ASSERT_TRUE(LoadEfuBeside(dir + "/v1.2.bin", efu, message)) << message;
  EXPECT_EQ(efu.aes[0], 6);
  EXPECT_FALSE(LoadEfuBeside(dir + "/solo.bin", efu, message));
  EXPECT_EQ(message, "Unable to parse " + dir + "/solo.Efu:\r\nFile not found!");
  EXPECT_EQ(efu, EfuData{});
}

// ---- the encryption check ----

const EfuNumber kEfuKey = {0x4F3C, 0x0988, 0xF715, 0xABA6, 0x28D2, 0x16AE, 0x7E15, 0x2B7E};

// A plain image of 2048 words with the signature where `at` says and skip words before it.
std::vector<uint16_t> Plain(std::vector<std::pair<size_t, uint16_t>> words, size_t size = 2048) {
  std::vector<uint16_t> plain(size, 0x1111);
  for (auto [i, v] : words) plain[i] = v;
  return plain;
}

ImageBuffer Image(const std::vector<uint16_t>& words) {
  ImageBuffer image;
  ResizeImage(image, static_cast<int32_t>(words.size()));
  std::copy(words.begin(), words.end(), image.words.begin());
  return image;
}

EfuData Efu(const EfuNumber& key) {
  EfuData efu;
  efu.aes = key;
  efu.flags = EFU_AES;
  efu.valid = true;
  return efu;
}

constexpr const char* kNoMatch =
    "Encryption key does not seem to match Firmware Encryption!\r\nMaybe wrong Boot Source selected in project "
    "settings?";
constexpr const char* kHost = "Firmware encrypted for Host Boot!\r\nDoes not work from other sources!\r\n";

TEST(FirmwareEncryption, FindsTheSignatureWhereTheSkipWordsLead) {
  const std::vector<std::pair<size_t, uint16_t>> layouts[] = {
      {{1024, 0x790C}, {1025, 0x0340}},
      {{1024, 0x7806}, {1031, 0x790C}, {1032, 0x0340}},                  // one skip, across two groups
      {{1024, 0x7806}, {1031, 0x7802}, {1034, 0x790C}, {1035, 0x0340}},  // two skips
  };
  for (const auto& layout : layouts) {
    const ImageBuffer image = Image(Encrypt(Plain(layout), kEfuKey, BOOT_REGULAR, 0x2000));
    std::string message;
    EXPECT_TRUE(CheckFirmwareEncryption(image, Efu(kEfuKey), BOOT_REGULAR, message, 0x2000)) << message;
    EXPECT_EQ(message, "");
    // The counter follows the start address: the same image at another address does not fit.
    EXPECT_FALSE(CheckFirmwareEncryption(image, Efu(kEfuKey), BOOT_REGULAR, message, 0x3000));
    EXPECT_EQ(message, kNoMatch);
  }
}

TEST(FirmwareEncryption, MessagesForKeySourceAndShortImages) {
  const auto plain = Plain({{1024, 0x790C}, {1025, 0x0340}});
  const ImageBuffer regular = Image(Encrypt(plain, kEfuKey, BOOT_REGULAR, 0));
  const ImageBuffer host = Image(Encrypt(plain, kEfuKey, BOOT_HOST, 0));
  EfuNumber otherKey = kEfuKey;
  otherKey[3] ^= 1;
  std::string message = "stale";

  EXPECT_FALSE(CheckFirmwareEncryption(regular, EfuData{}, BOOT_REGULAR, message, 0));
  EXPECT_EQ(message, "EFU File not parsed or empty");
  EXPECT_FALSE(CheckFirmwareEncryption(regular, Efu(otherKey), BOOT_REGULAR, message, 0));
  EXPECT_EQ(message, kNoMatch);
  // Host boot never passes, even for an image encrypted for it.
  EXPECT_FALSE(CheckFirmwareEncryption(host, Efu(kEfuKey), BOOT_HOST, message, 0));
  EXPECT_EQ(message, kHost);
  EXPECT_FALSE(CheckFirmwareEncryption(host, Efu(otherKey), BOOT_HOST, message, 0));
  EXPECT_EQ(message, std::string(kHost) + kNoMatch);
  // A regular image checked for host boot is told which source it fits.
  EXPECT_FALSE(CheckFirmwareEncryption(regular, Efu(kEfuKey), BOOT_HOST, message, 0));
  EXPECT_EQ(message, "Incompatible Encryption for Host Boot!\r\nPlease select HOST Boot in your project settings.");
  // An image too short for the signature words fails with the mismatch text.
  const ImageBuffer shortImage = Image(Encrypt(Plain({{1024, 0x790C}}, 1025), kEfuKey, BOOT_REGULAR, 0));
  EXPECT_FALSE(CheckFirmwareEncryption(shortImage, Efu(kEfuKey), BOOT_REGULAR, message, 0));
  EXPECT_EQ(message, kNoMatch);
}

TEST(FirmwareEncryption, NandBootNeedsASuitableKey) {
  // Find one key whose keystream for counter 0 ends in two zero bits and one that does not.
  EfuNumber suitable{};
  EfuNumber unsuitable{};
  bool haveSuitable = false;
  bool haveUnsuitable = false;
  for (uint16_t v = 0; v < 64 && !(haveSuitable && haveUnsuitable); ++v) {
    EfuNumber candidate = kEfuKey;
    candidate[0] = v;
    AesKey key;
    ASSERT_TRUE(key.SetKey(AesKeyBytes(candidate)));
    std::array<uint8_t, 16> k{};
    ASSERT_TRUE(key.Encrypt(CounterBlock(0), k));
    if ((k[15] & 3) == 0 && !haveSuitable) suitable = candidate, haveSuitable = true;
    if ((k[15] & 3) != 0 && !haveUnsuitable) unsuitable = candidate, haveUnsuitable = true;
  }
  ASSERT_TRUE(haveSuitable && haveUnsuitable);
  const auto plain = Plain({{1024, 0x790C}, {1025, 0x0340}});
  std::string message;

  const ImageBuffer nand = Image(Encrypt(plain, suitable, BOOT_NAND, 0x8000));
  EXPECT_TRUE(CheckFirmwareEncryption(nand, Efu(suitable), BOOT_NAND, message, 0x8000)) << message;
  EXPECT_FALSE(CheckFirmwareEncryption(nand, Efu(suitable), BOOT_REGULAR, message, 0x8000));
  EXPECT_EQ(message, "Incompatible Encryption for regular Boot!\r\nPlease select FLAT Boot in your project settings.");

  const ImageBuffer bad = Image(Encrypt(plain, unsuitable, BOOT_NAND, 0));
  EXPECT_FALSE(CheckFirmwareEncryption(bad, Efu(unsuitable), BOOT_NAND, message, 0));
  EXPECT_EQ(message, "Incompatible AES Key!\r\nAES Key used for encryption does not work for NAND Boot\r\n");

  const ImageBuffer regular = Image(Encrypt(plain, suitable, BOOT_REGULAR, 0));
  EXPECT_FALSE(CheckFirmwareEncryption(regular, Efu(suitable), BOOT_NAND, message, 0));
  EXPECT_EQ(message, "Incompatible Encryption for NAND Boot!\r\nPlease select NAND Boot in your project settings.");
}

}  // namespace
}  // namespace tessaro
