#include "image/ImageDigest.h"

#include <openssl/evp.h>

#include <array>
#include <memory>

namespace tessaro {

std::string ImageSha256(const ImageBuffer& image) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  // Feed the words in chunks, each turned into little-endian bytes whatever the host order.
  std::array<unsigned char, 8192> chunk{};
  const size_t total = image.size > 0 ? static_cast<size_t>(image.size) : 0;
  for (size_t done = 0; done < total;) {
    const size_t words = std::min(total - done, chunk.size() / 2);
    for (size_t i = 0; i < words; ++i) {
      const uint16_t word = image.words[done + i];
      chunk[2 * i] = static_cast<unsigned char>(word & 0xFF);
      chunk[2 * i + 1] = static_cast<unsigned char>(word >> 8);
    }
    if (EVP_DigestUpdate(context.get(), chunk.data(), words * 2) != 1) return {};
    done += words;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kDigits[digest[i] >> 4]);
    text.push_back(kDigits[digest[i] & 0xF]);
  }
  return text;
}

}  // namespace tessaro
