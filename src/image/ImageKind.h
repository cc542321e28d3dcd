// What a loaded image holds, judged from its words alone: firmware (plain or encrypted),
// soundbanks, demo, style and title data.
#pragma once

#include <cstdint>

#include "image/ImageBuffer.h"

namespace tessaro {

// Values of ImageBuffer::kind.
enum ImageKind : int32_t {
  IMAGE_RAW = 0,
  IMAGE_FIRMWARE = 1,
  IMAGE_ENCRYPTED_FIRMWARE = 2,
  IMAGE_SOUNDBANK_OLD = 3,
  IMAGE_SOUNDBANK = 4,
  IMAGE_DEMO = 5,
  IMAGE_STYLE = 6,
  IMAGE_DEMO_TITLE = 7,
  IMAGE_DEMOBANK = 8,
};

// Where an encrypted firmware image boots from; the encryption depends on it.
enum BootSource : int32_t {
  BOOT_REGULAR = 0,
  BOOT_NAND = 1,
  BOOT_HOST = 2,
};

// Sets image.kind and image.kindAddress from the first `size` words. Kind 0 with address 0
// when nothing matches, the image is empty or firstWord is not below size.
void DetectImageKind(ImageBuffer& image);

// Identifier of a kind for logs and machine-readable output ("IMAGE_FIRMWARE"), or
// "IMAGE_UNKNOWN" for a value outside the table.
const char* ImageKindName(int32_t kind);

}  // namespace tessaro
