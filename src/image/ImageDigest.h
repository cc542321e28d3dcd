// Fingerprint of an image's content, for scripts that compare what was loaded.
#pragma once

#include <string>

#include "image/ImageBuffer.h"

namespace tessaro {

// SHA-256 of the first `size` words as little-endian bytes (what a binary file of the image
// holds), as 64 lower-case hexadecimal digits like sha256sum prints.
std::string ImageSha256(const ImageBuffer& image);

}  // namespace tessaro
