// Firmware of the 9xxx chips beyond its kind: the text the window shows for a kind, the EFU
// file that comes with an encrypted firmware, and the check that an encrypted image was made
// with the EFU file's AES key for the boot source the user selected.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "efuse/EfuFile.h"
#include "image/ImageKind.h"

namespace tessaro {

// "Firmware File", "Encrypted Firmware + eFuses[AES,Sec]" and the like.
std::string ImageKindText(const ImageBuffer& image, const EfuData& efu);

// The EFU file beside a firmware image: the image path up to the extension of its file name,
// plus ".Efu". The extension is matched without regard to case, as on the file system the
// files come from: when no file of exactly that name exists, the first name in the folder that
// differs only in the case of the extension is taken. Without a match the ".Efu" path itself.
std::string EfuPathBeside(const std::string& imagePath);

// Loads the EFU file beside an encrypted firmware into `efu`. False with the text to show
// (caption kEfuParseErrorCaption) in `message`; `efu` is then empty.
[[nodiscard]] bool LoadEfuBeside(const std::string& imagePath, EfuData& efu, std::string& message);

// An AES-128 key ready for single-block encryption (the key expansion done once).
class AesKey {
 public:
  AesKey();
  ~AesKey();
  AesKey(const AesKey&) = delete;
  AesKey& operator=(const AesKey&) = delete;
  // The key as 16 bytes, first byte first. False when the cipher could not be set up.
  [[nodiscard]] bool SetKey(const std::array<uint8_t, 16>& key);
  // One block; false when the key is not set or the cipher failed.
  [[nodiscard]] bool Encrypt(const std::array<uint8_t, 16>& in, std::array<uint8_t, 16>& out) const;

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  bool ready_ = false;
};

// The EFU key (word 0 least significant) as AES key bytes, most significant byte first.
std::array<uint8_t, 16> AesKeyBytes(const EfuNumber& key);

// The 16-byte counter block for counter value `counter` (bits 0 to 18 are used).
std::array<uint8_t, 16> CounterBlock(uint32_t counter);

// Checks the image against the key for one boot source; true when the signature was found
// and nothing stood against the source. Messages explain a failure.
[[nodiscard]] bool CheckEncryptionForSource(const ImageBuffer& image, const AesKey& key, BootSource source,
                                            std::string& message, uint32_t startAddress);

// Checks the image against the EFU key for the requested source, telling the user which
// source the image fits when it is another.
[[nodiscard]] bool CheckFirmwareEncryption(const ImageBuffer& image, const EfuData& efu, BootSource source,
                                           std::string& message, uint32_t startAddress);

}  // namespace tessaro
