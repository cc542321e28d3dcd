#include "image/ImageKind.h"

#include <array>

namespace tessaro {

namespace {

// Reads the words of an image, answering "absent" for every index outside it: a test that
// needs such a word fails instead of reading past the image.
class WordReader {
 public:
  explicit WordReader(const ImageBuffer& image) : image_(image) {}
  int64_t size() const { return image_.size; }
  bool Has(int64_t index) const { return index >= 0 && index < image_.size; }
  uint32_t operator[](int64_t index) const { return image_.words[static_cast<size_t>(index)]; }
  // Two words as a 32-bit value, low word first.
  uint32_t Long(int64_t index) const { return (*this)[index] + 65536u * (*this)[index + 1]; }

 private:
  const ImageBuffer& image_;
};

// Firmware: word 1 holds the size (word 2 its upper half for large images) and all words add
// up to 0.
bool DetectFirmware(const WordReader& w, ImageBuffer& image) {
  const int64_t n = w.size();
  if (!w.Has(1) || w[1] != static_cast<uint32_t>(n & 0xFFFF)) return false;
  const uint32_t upperSize = static_cast<uint32_t>(n / 65536);
  const bool upperMatches = w.Has(2) && w[2] == upperSize;
  if (n >= 65536 && !upperMatches) return false;
  uint32_t sum = 0;
  for (int64_t i = 0; i < n; ++i) sum += w[i];
  if ((sum & 0xFFFF) != 0) return false;
  const bool encrypted = upperMatches && w.Has(5) && (w[5] & 0x4) != 0;
  image.kind = encrypted ? IMAGE_ENCRYPTED_FIRMWARE : IMAGE_FIRMWARE;
  image.kindAddress = image.startAddress;
  return true;
}

bool DetectSoundbank(const WordReader& w, ImageBuffer& image) {
  if (w.size() < 232 || w[0] != 0x6142 || w[1] != 0x6B6E) return false;  // "Bank"
  image.kind = IMAGE_SOUNDBANK;
  image.kindAddress = w.Long(2);
  return true;
}

bool DetectDemoBank(const WordReader& w, ImageBuffer& image) {
  if (w.size() < 24 || w[0] != 0x6D44 || (w[1] & 0xFF) != 0x56) return false;  // "DmV"
  image.kind = IMAGE_DEMOBANK;
  if ((w[1] >> 8) == 0x34) image.kindAddress = w.Long(20);  // "DmV4"
  return true;
}

// Old soundbank: a table of 3-word entries after word 0; the entry tagged 0x0083 carries the
// load address. An entry cut off by the end of the image does not count.
bool DetectOldSoundbank(const WordReader& w, ImageBuffer& image) {
  if (w[0] != 0) return false;
  for (int64_t j = 1; j <= 63; ++j) {
    if (!w.Has(3 * j + 2)) return false;
    if (w[3 * j] == 0x0083) {
      image.kind = IMAGE_SOUNDBANK_OLD;
      image.kindAddress = w.Long(3 * j + 1);
      return true;
    }
  }
  return false;
}

// Demo, style and title data: a header of `a` 32-bit entries and two addresses P and Q that
// must fit the data that follows. Unsigned 32-bit arithmetic throughout.
bool DetectDemoStyle(const WordReader& w, ImageBuffer& image) {
  if (!w.Has(4)) return false;
  const uint32_t a = w[0];
  const uint32_t p = w.Long(1);
  const uint32_t q = w.Long(3);
  const uint32_t d = p - 2 * a - 1;
  if (!(d < q && q < d + 131072u)) return false;
  if (!(static_cast<uint64_t>(w.size()) > static_cast<uint32_t>(2 * a + 1 + (q - p)))) return false;
  const int64_t e = 2 * static_cast<int64_t>(a) + 1;
  if (!w.Has(e)) return false;
  const uint32_t marker = w[e];
  if (marker == 0xF9FA) {
    image.kind = IMAGE_DEMO;
    image.kindAddress = d;
    return true;
  }
  if (marker == 0x4E24) {
    if (!w.Has(e + 2)) return false;
    image.kind = IMAGE_DEMO_TITLE;
    image.kindAddress = w.Long(e + 1) - 4 * a - 2;
    return true;
  }
  if (w.Has(e + 4) && w[e + 4] == 0) {
    image.kind = IMAGE_STYLE;
    image.kindAddress = d;
    return true;
  }
  return false;
}

}  // namespace

void DetectImageKind(ImageBuffer& image) {
  image.kind = IMAGE_RAW;
  image.kindAddress = 0;
  if (image.size <= 0 || image.firstWord >= image.size) return;
  const WordReader w(image);
  if (DetectFirmware(w, image)) return;
  if (DetectSoundbank(w, image)) return;
  if (DetectDemoBank(w, image)) return;
  if (DetectOldSoundbank(w, image)) return;
  DetectDemoStyle(w, image);
}

const char* ImageKindName(int32_t kind) {
  static constexpr std::array<const char*, 9> kNames = {
      "IMAGE_RAW",  "IMAGE_FIRMWARE", "IMAGE_ENCRYPTED_FIRMWARE", "IMAGE_SOUNDBANK_OLD", "IMAGE_SOUNDBANK",
      "IMAGE_DEMO", "IMAGE_STYLE",    "IMAGE_DEMO_TITLE",         "IMAGE_DEMOBANK",
  };
  if (kind < 0 || kind >= static_cast<int32_t>(kNames.size())) return "IMAGE_UNKNOWN";
  return kNames[static_cast<size_t>(kind)];
}

}  // namespace tessaro
