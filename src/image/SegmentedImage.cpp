#include "image/SegmentedImage.h"

#include <algorithm>
#include <numeric>

#include "common/Text.h"
#include "image/ImageKind.h"
#include "platform/Files.h"

namespace tessaro {

std::optional<std::string> ReadAddressedImageFile(const std::string& path, std::string& error) {
  if (CheckImageFile(path, true, error) != ImageFileCheck::Ok) return std::nullopt;
  std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes) error += "Cannot open " + path;
  return bytes;
}

bool SegmentedImage::Add(uint64_t address, size_t offset, size_t length, uint32_t origin, std::string& error) {
  if (length == 0) return true;
  if (address >= kByteAddressLimit || length > kByteAddressLimit - address) {
    error += name_(origin) + ": data at byte address 0x" + Hex(address) + " (" + std::to_string(length) +
             " bytes) lies past the 32-bit address range";
    return false;
  }
  if (!pieces_.empty()) {
    Piece& last = pieces_.back();
    if (last.address + last.length == address && last.offset + last.length == offset) {
      last.length += length;
      last.lastOrigin = origin;
      return true;
    }
  }
  pieces_.push_back({address, offset, length, origin, origin});
  return true;
}

std::string SegmentedImage::NameOf(const Piece& piece) const {
  if (piece.firstOrigin == piece.lastOrigin) return name_(piece.firstOrigin);
  return name_(piece.firstOrigin) + " to " + name_(piece.lastOrigin);
}

bool SegmentedImage::Build(ImageBuffer& image, const uint8_t* data, std::optional<uint32_t> entry, int32_t maxWords,
                           std::string& error) const {
  std::vector<size_t> order(pieces_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [this](size_t a, size_t b) { return pieces_[a].address < pieces_[b].address; });

  // Overlapping data would make the image depend on the order the pieces are written in.
  uint64_t end = 0;
  const Piece* reaching = nullptr;  // the piece that reaches furthest so far
  for (size_t index : order) {
    const Piece& piece = pieces_[index];
    if (reaching && piece.address < end) {
      error += NameOf(piece) + ": data at byte address 0x" + Hex(piece.address) + " overlaps the data of " +
               NameOf(*reaching) + " (byte addresses 0x" + Hex(reaching->address) + " to 0x" + Hex(end - 1) + ")";
      return false;
    }
    if (piece.address + piece.length > end) {
      end = piece.address + piece.length;
      reaching = &piece;
    }
  }

  const uint64_t firstWord = order.empty() ? 0 : pieces_[order.front()].address / 2;
  const uint64_t endWord = order.empty() ? 0 : (end + 1) / 2;
  if (endWord - firstWord > static_cast<uint64_t>(std::max<int32_t>(maxWords, 0))) {
    error += "the data spans " + std::to_string(endWord - firstWord) + " words (byte addresses 0x" +
             Hex(pieces_[order.front()].address) + " to 0x" + Hex(end - 1) + "); an image holds at most " +
             std::to_string(maxWords) + " words";
    return false;
  }

  // Every word starts erased, so a byte that no piece supplies reads 0xFF in its word.
  image.size = 0;
  ResizeImage(image, static_cast<int32_t>(endWord - firstWord));
  const uint64_t base = firstWord * 2;
  for (const Piece& piece : pieces_) {
    const uint8_t* bytes = data + piece.offset;
    for (size_t i = 0; i < piece.length; ++i) {
      const uint64_t at = piece.address + i - base;
      uint16_t& word = image.words[static_cast<size_t>(at / 2)];
      word = at % 2 == 0 ? static_cast<uint16_t>((word & 0xFF00) | bytes[i])
                         : static_cast<uint16_t>((word & 0x00FF) | bytes[i] << 8);
    }
  }
  image.firstWord = 0;
  image.startAddress = static_cast<uint32_t>(firstWord);
  image.kindAddress = 0;
  image.kind = IMAGE_RAW;
  image.entryAddress = entry;
  DetectImageKind(image);
  return true;
}

}  // namespace tessaro
