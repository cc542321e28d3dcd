// Encrypts firmware words for a test as the firmware tools do, by the rules of the counter mode,
// so the encryption check can be tried on images made here.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "efuse/FirmwareCheck.h"

namespace tessaro {

// Encrypts an image of plain words as the firmware tools do for `source`: groups of 8 (regular,
// NAND) or 4 (host) words, each XORed with the keystream of its counter block.
inline std::vector<uint16_t> Encrypt(const std::vector<uint16_t>& plain, const EfuNumber& efuKey, BootSource source,
                                     uint32_t start) {
  AesKey key;
  EXPECT_TRUE(key.SetKey(AesKeyBytes(efuKey)));
  const size_t group = source == BOOT_HOST ? 4 : 8;
  std::vector<uint16_t> out(plain.size());
  for (size_t c = 0; c < plain.size(); c += group) {
    uint32_t counter = static_cast<uint32_t>(start + c);
    if (source == BOOT_NAND) counter = static_cast<uint32_t>(c) & 0x3FF;
    if (source == BOOT_HOST) counter = 0x10000 + ((2 * static_cast<uint32_t>(c) - 2048) & 0x1FFF);
    std::array<uint8_t, 16> k{};
    EXPECT_TRUE(key.Encrypt(CounterBlock(counter), k));
    for (size_t j = 0; j < group && c + j < plain.size(); ++j) {
      const uint16_t stream = source == BOOT_HOST ? static_cast<uint16_t>(k[13 - 4 * j] << 8 | k[15 - 4 * j])
                                                  : static_cast<uint16_t>(k[14 - 2 * j] << 8 | k[15 - 2 * j]);
      out[c + j] = static_cast<uint16_t>(plain[c + j] ^ stream);
    }
  }
  return out;
}

}  // namespace tessaro
