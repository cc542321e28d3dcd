#include "image/SRecordImage.h"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "common/Text.h"
#include "image/SegmentedImage.h"

namespace tessaro {

namespace {

// Bytes of the address field of each record type; 0 for S4, which no format uses.
constexpr std::array<size_t, 10> kAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// The bytes of one record after "Sn": count, address, data, checksum.
using RecordBytes = std::array<uint8_t, (kMaxSRecordLineLength - 2) / 2>;

// Decodes one line into `bytes` and gives the number of bytes; 0 and `problem` set when the
// line is not a well-formed record.
size_t DecodeRecord(const char* line, size_t length, RecordBytes& bytes, std::string& problem) {
  if (length > kMaxSRecordLineLength) {
    problem = "line longer than " + std::to_string(kMaxSRecordLineLength) + " characters";
    return 0;
  }
  if (length < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
    problem = "not an S-record (a record starts with S and its type digit)";
    return 0;
  }
  if (length < 4) {
    problem = "record without its byte count";
    return 0;
  }
  if ((length - 2) % 2 != 0) {
    problem = "odd number of hexadecimal digits";
    return 0;
  }
  const size_t count = (length - 2) / 2;
  for (size_t i = 0; i < count; ++i) {
    const int high = HexDigitValue(line[2 + 2 * i]);
    const int low = HexDigitValue(line[3 + 2 * i]);
    if ((high | low) < 0) {
      problem = "invalid hexadecimal digits";
      return 0;
    }
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  if (bytes[0] != count - 1) {
    problem = "the byte count " + std::to_string(bytes[0]) + " does not match the " + std::to_string(count - 1) +
              " bytes that follow it";
    return 0;
  }
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  const uint8_t expected = static_cast<uint8_t>(~sum);
  if (bytes[count - 1] != expected) {
    problem = "checksum error (the record says " + HexFixed(bytes[count - 1], 2) + ", its bytes give " +
              HexFixed(expected, 2) + ")";
    return 0;
  }
  return count;
}

}  // namespace

bool ParseSRecordImage(ImageBuffer& image, std::string_view text, const std::string& name, std::string& error,
                       int32_t maxWords) {
  SegmentedImage pieces([](uint32_t line) { return "line " + std::to_string(line); });
  std::vector<uint8_t> data;  // the data records' bytes, in file order
  uint64_t dataRecords = 0;
  uint32_t lineNumber = 0;
  RecordBytes bytes{};
  auto fail = [&](const std::string& problem) {
    error += name + ": line " + std::to_string(lineNumber) + ": " + problem;
    return false;
  };

  const char* cursor = text.data();
  const char* const textEnd = text.data() + text.size();
  while (cursor < textEnd) {
    const char* newline = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(textEnd - cursor)));
    const char* lineEnd = newline ? newline : textEnd;
    const char* line = cursor;
    cursor = newline ? newline + 1 : textEnd;
    if (lineEnd > line && lineEnd[-1] == '\r') --lineEnd;  // CR LF
    ++lineNumber;
    const size_t length = static_cast<size_t>(lineEnd - line);
    if (length == 0) continue;  // a blank line, as some tools leave at the end

    std::string problem;
    const size_t count = DecodeRecord(line, length, bytes, problem);
    if (count == 0) return fail(problem);
    const int type = line[1] - '0';
    const size_t addressBytes = kAddressBytes[static_cast<size_t>(type)];
    if (addressBytes == 0) return fail("record type S4 is reserved");
    if (count < 1 + addressBytes + 1) {
      return fail("record S" + std::to_string(type) + " too short for its " + std::to_string(addressBytes) +
                  "-byte address");
    }
    uint64_t address = 0;
    for (size_t i = 0; i < addressBytes; ++i) address = address << 8 | bytes[1 + i];
    const size_t dataLength = count - 2 - addressBytes;

    switch (type) {
      case 0: break;  // header: a name or version text, nothing to program
      case 1:
      case 2:
      case 3: {
        std::string rangeProblem;
        if (!pieces.Add(address, data.size(), dataLength, lineNumber, rangeProblem)) {
          error += name + ": " + rangeProblem;
          return false;
        }
        data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes),
                    bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes + dataLength));
        ++dataRecords;
        break;
      }
      case 5:
      case 6:
        // The count of data records so far: a lost or doubled record shows here.
        if (address != dataRecords) {
          return fail("the count record says " + std::to_string(address) + " data records, the file holds " +
                      std::to_string(dataRecords) + " before it");
        }
        break;
      default: {
        std::string buildProblem;
        if (!pieces.Build(image, data.data(), static_cast<uint32_t>(address), maxWords, buildProblem)) {
          error += name + ": " + buildProblem;
          return false;
        }
        return true;
      }
    }
  }
  ++lineNumber;
  return fail("the file ends without a termination record (S7, S8 or S9)");
}

bool LoadSRecordImage(ImageBuffer& image, const std::string& path, std::string& error) {
  const std::optional<std::string> text = ReadAddressedImageFile(path, error);
  return text && ParseSRecordImage(image, *text, path, error);
}

}  // namespace tessaro
