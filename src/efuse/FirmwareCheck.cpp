#include "efuse/FirmwareCheck.h"

#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/Text.h"
#include "efuse/ProgramEFuse.h"

namespace tessaro {

namespace {

constexpr uint16_t kSignatureFirst = 0x790C;
constexpr uint16_t kSignatureSecond = 0x0340;
constexpr int64_t kSignatureGroupStart = 1024;

constexpr const char* kNotParsed = "EFU File not parsed or empty";
constexpr const char* kNandKeyUnsuitable =
    "Incompatible AES Key!\r\nAES Key used for encryption does not work for NAND Boot\r\n";
constexpr const char* kHostOnly = "Firmware encrypted for Host Boot!\r\nDoes not work from other sources!\r\n";
constexpr const char* kNoMatch =
    "Encryption key does not seem to match Firmware Encryption!\r\nMaybe wrong Boot Source selected in project "
    "settings?";

// Per source: the other sources tried to tell the user what fits, and the text when one does.
struct SourceAdvice {
  BootSource others[2];
  const char* text;
};
constexpr SourceAdvice kAdvice[] = {
    /* BOOT_REGULAR */ {
        {BOOT_NAND, BOOT_HOST},
        "Incompatible Encryption for regular Boot!\r\nPlease select FLAT Boot in your project settings."},
    /* BOOT_NAND */
    {{BOOT_REGULAR, BOOT_HOST},
     "Incompatible Encryption for NAND Boot!\r\nPlease select NAND Boot in your project settings."},
    /* BOOT_HOST */
    {{BOOT_NAND, BOOT_REGULAR},
     "Incompatible Encryption for Host Boot!\r\nPlease select HOST Boot in your project settings."},
};

// The counter mode's three layouts. Legend: words per group, and how a group start c gives the
// counter; the keystream word j of a group pairs the bytes named by KeystreamWord.
struct SourceLayout {
  int64_t group;
  uint32_t (*counter)(int64_t c, uint32_t startAddress);
};
constexpr SourceLayout kLayouts[] = {
    /* BOOT_REGULAR */ {8, [](int64_t c, uint32_t start) { return start + static_cast<uint32_t>(c); }},
    /* BOOT_NAND */ {8, [](int64_t c, uint32_t) { return static_cast<uint32_t>(c) & 0x3FF; }},
    /* BOOT_HOST */ {4, [](int64_t c, uint32_t) { return 0x10000 + ((2 * static_cast<uint32_t>(c) - 2048) & 0x1FFF); }},
};

uint16_t KeystreamWord(BootSource source, const std::array<uint8_t, 16>& k, int64_t j) {
  if (source == BOOT_HOST) return static_cast<uint16_t>(k[13 - 4 * j] << 8 | k[15 - 4 * j]);
  return static_cast<uint16_t>(k[14 - 2 * j] << 8 | k[15 - 2 * j]);
}

// Decrypts single words of an image; a word outside the image, or a cipher failure, is absent.
class Decryptor {
 public:
  Decryptor(const ImageBuffer& image, const AesKey& key, BootSource source, uint32_t startAddress)
      : image_(image), key_(key), source_(source), layout_(kLayouts[source]), start_(startAddress) {}

  int64_t group() const { return layout_.group; }

  bool Word(int64_t index, uint16_t& value) {
    if (index < 0 || index >= image_.size) return false;
    const int64_t c = index - index % layout_.group;
    if (c != cachedGroup_) {
      if (!key_.Encrypt(CounterBlock(layout_.counter(c, start_)), keystream_)) return false;
      cachedGroup_ = c;
    }
    value =
        static_cast<uint16_t>(image_.words[static_cast<size_t>(index)] ^ KeystreamWord(source_, keystream_, index - c));
    return true;
  }

 private:
  const ImageBuffer& image_;
  const AesKey& key_;
  BootSource source_;
  SourceLayout layout_;
  uint32_t start_;
  int64_t cachedGroup_ = -1;
  std::array<uint8_t, 16> keystream_{};
};

// Where the signature should be: word 1024, or where one or two 0x78xx skip words lead.
bool SignatureFound(Decryptor& decrypt) {
  int64_t p = kSignatureGroupStart;
  uint16_t word = 0;
  if (!decrypt.Word(p, word)) return false;
  if ((word >> 8) == 0x78) {
    p = kSignatureGroupStart + 1 + (word & 0xFF);
    if (!decrypt.Word(p, word)) return false;
    if ((word >> 8) == 0x78) p = p + (word & 0xFF) + 1;
  }
  uint16_t first = 0;
  uint16_t second = 0;
  return decrypt.Word(p, first) && decrypt.Word(p + 1, second) && first == kSignatureFirst &&
         second == kSignatureSecond;
}

// The constant of the counter block, put together when first needed.
const std::array<uint8_t, 12>& CounterConstant() {
  static const std::array<uint8_t, 12> constant = [] {
    std::array<uint8_t, 12> bytes{};
    // Kept out of the binary's strings as one piece.
    const std::string parts[] = {"Tes", "saro", "9x"};
    std::string text;
    for (const auto& part : parts) text += part;
    text += AsciiUpper("ctr");
    std::copy_n(text.begin(), std::min(text.size(), bytes.size()), bytes.begin());
    return bytes;
  }();
  return constant;
}

}  // namespace

std::string ImageKindText(const ImageBuffer& image, const EfuData& efu) {
  static constexpr const char* kTexts[] = {"Raw binary Data", "Firmware File",    "",
                                           "Soundbank (old)", "Soundbank",        "Demo Data",
                                           "Style Data",      "Demo&Title Data", "DemoBank"};
  switch (image.kind) {
    case IMAGE_FIRMWARE: {
      const uint16_t first = image.size > 0 ? image.words[0] : 0;
      if (first == 0x4452) return "Firmware File";  // "RD"
      return "Firmware File (Firmware ID " + Hex(first) + ")";
    }
    case IMAGE_ENCRYPTED_FIRMWARE: {
      std::string text = "Encrypted Firmware + eFuses[AES";
      if (efu.secured) text += ",Sec";
      if (efu.midiOutEnable) text += ",MidiOut";
      if (efu.sssBootEnable) text += ",SSSBoot";
      return text + "]";
    }
    default:
      if (image.kind >= 0 && image.kind < static_cast<int32_t>(std::size(kTexts))) return kTexts[image.kind];
      return kTexts[IMAGE_RAW];
  }
}

std::string EfuPathBeside(const std::string& imagePath) {
  namespace fs = std::filesystem;
  const fs::path image(imagePath);
  fs::path wanted = image;
  wanted.replace_extension(".Efu");
  std::error_code error;
  if (fs::is_regular_file(wanted, error)) return wanted.string();
  const fs::path folder = image.has_parent_path() ? image.parent_path() : fs::path(".");
  const std::string stem = wanted.stem().string();
  std::vector<std::string> matches;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path name = it->path().filename();
    if (name.stem().string() == stem && EqualsNoCase(name.extension().string(), ".Efu") && it->is_regular_file(error))
      matches.push_back(it->path().filename().string());
  }
  if (matches.empty()) return wanted.string();
  std::sort(matches.begin(), matches.end());
  return (image.has_parent_path() ? (folder / matches.front()) : fs::path(matches.front())).string();
}

bool LoadEfuBeside(const std::string& imagePath, EfuData& efu, std::string& message) {
  const std::string path = EfuPathBeside(imagePath);
  std::string errorText;
  if (ParseEfuFile(path, efu, errorText)) return true;
  message = EfuParseFailureText(path, errorText);
  return false;
}

struct AesKey::Context {
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  ~Context() { EVP_CIPHER_CTX_free(cipher); }
};

AesKey::AesKey() : context_(std::make_unique<Context>()) {}
AesKey::~AesKey() = default;

bool AesKey::SetKey(const std::array<uint8_t, 16>& key) {
  ready_ = context_->cipher != nullptr &&
           EVP_EncryptInit_ex(context_->cipher, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) == 1 &&
           EVP_CIPHER_CTX_set_padding(context_->cipher, 0) == 1;
  return ready_;
}

bool AesKey::Encrypt(const std::array<uint8_t, 16>& in, std::array<uint8_t, 16>& out) const {
  if (!ready_) return false;
  int length = 0;
  return EVP_EncryptUpdate(context_->cipher, out.data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
         length == static_cast<int>(out.size());
}

std::array<uint8_t, 16> AesKeyBytes(const EfuNumber& key) {
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < key.size(); ++i) {
    const uint16_t word = key[key.size() - 1 - i];
    bytes[2 * i] = static_cast<uint8_t>(word >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(word & 0xFF);
  }
  return bytes;
}

std::array<uint8_t, 16> CounterBlock(uint32_t counter) {
  std::array<uint8_t, 16> block{};
  std::copy(CounterConstant().begin(), CounterConstant().end(), block.begin());
  block[12] = 0;
  block[13] = static_cast<uint8_t>((counter >> 16) & 0x7);
  block[14] = static_cast<uint8_t>((counter >> 8) & 0xFF);
  block[15] = static_cast<uint8_t>(counter & 0xFF);
  return block;
}

bool CheckEncryptionForSource(const ImageBuffer& image, const AesKey& key, BootSource source, std::string& message,
                              uint32_t startAddress) {
  message.clear();
  if (source < BOOT_REGULAR || source > BOOT_HOST) source = BOOT_REGULAR;
  if (source == BOOT_NAND) {
    std::array<uint8_t, 16> k{};
    if (!key.Encrypt(CounterBlock(0), k) || (k[15] & 0x3) != 0) message += kNandKeyUnsuitable;
  } else if (source == BOOT_HOST) {
    message += kHostOnly;
  }
  Decryptor decrypt(image, key, source, startAddress);
  if (!SignatureFound(decrypt)) message += kNoMatch;
  return message.empty();
}

bool CheckFirmwareEncryption(const ImageBuffer& image, const EfuData& efu, BootSource source, std::string& message,
                             uint32_t startAddress) {
  message.clear();
  if (!efu.valid) {
    message = kNotParsed;
    return false;
  }
  if (source < BOOT_REGULAR || source > BOOT_HOST) source = BOOT_REGULAR;
  AesKey key;
  if (!key.SetKey(AesKeyBytes(efu.aes))) {
    message = kNoMatch;
    return false;
  }
  if (CheckEncryptionForSource(image, key, source, message, startAddress)) return true;
  for (BootSource other : kAdvice[source].others) {
    std::string scratch;
    if (CheckEncryptionForSource(image, key, other, scratch, startAddress)) {
      message = kAdvice[source].text;
      return false;
    }
  }
  return false;
}

}  // namespace tessaro
