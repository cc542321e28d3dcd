// Gathers the pieces of an image file whose records or segments name their own byte addresses
// (S-records, ELF) and turns them into the word image the HEX loader also builds: byte
// addresses, two bytes to a word, low byte first, holes 0xFFFF. Every check happens before the
// image is touched, so a file that is refused loads nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"

namespace tessaro {

// First byte address no image data may reach: the target's addresses are 32-bit.
inline constexpr uint64_t kByteAddressLimit = uint64_t{1} << 32;

// Reads an S-record or ELF file whole after CheckImageFile allowed it; empty, with the message
// appended to `error`, when it may not or cannot be read.
std::optional<std::string> ReadAddressedImageFile(const std::string& path, std::string& error);

class SegmentedImage {
 public:
  // Names a piece in messages from the number the reader gave it ("line 12", "segment 2").
  using Namer = std::function<std::string(uint32_t origin)>;

  explicit SegmentedImage(Namer name) : name_(std::move(name)) {}

  // `length` bytes at byte `address`, found at `offset` of the data later given to Build.
  // Pieces that follow each other in the file and in memory are kept as one.
  // False (with the message) when the piece ends past the 32-bit address range.
  [[nodiscard]] bool Add(uint64_t address, size_t offset, size_t length, uint32_t origin, std::string& error);

  // Places the pieces into `image` from `data`: refuses pieces that overlap and images that
  // span more than `maxWords`, leaving `image` unchanged. On success the image starts at the
  // word holding the lowest byte, holds `entry` as its entry address and is classified.
  [[nodiscard]] bool Build(ImageBuffer& image, const uint8_t* data, std::optional<uint32_t> entry, int32_t maxWords,
                           std::string& error) const;

  size_t PieceCount() const { return pieces_.size(); }

 private:
  struct Piece {
    uint64_t address;
    size_t offset;
    size_t length;
    uint32_t firstOrigin;
    uint32_t lastOrigin;
  };
  std::string NameOf(const Piece& piece) const;

  Namer name_;
  std::vector<Piece> pieces_;
};

}  // namespace tessaro
