// The shared reading layer of every definition file (*.BDL board definitions, *.TDF device
// descriptions, *.EFU eFuse files): whole-file line splitting, the sectioned key = value tree,
// the value notations and comma lists, and the (address, data) lists that command sequences
// and sector tables are kept in.
//
// Names (sections, keys, keywords) compare case-insensitively on ASCII letters only; the first
// match in file order wins. A "blank" is any byte 0x01..0x20 or 0x80..0xFF: trimming removes
// those, so a UTF-8 byte-order mark at the start of a line disappears with the leading blanks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Text.h"

namespace tessaro {

// VALUE_INVALID as the signed value the parsers return.
inline constexpr int32_t kValueInvalid = static_cast<int32_t>(VALUE_INVALID);
inline bool IsValidValue(int32_t value) { return value != kValueInvalid; }

// Values of the keywords ParseValue recognises; the key that takes one gives it its meaning.
inline constexpr int32_t kKeywordUser = -1;
inline constexpr int32_t kKeywordCount = -2;
inline constexpr int32_t kKeywordCountBut1 = -3;
inline constexpr int32_t kKeywordBlock = -4;
inline constexpr int32_t kKeywordCfi = -5;
inline constexpr int32_t kKeywordCfiRev = -6;
inline constexpr int32_t kKeywordCfiTop = -7;
inline constexpr int32_t kKeywordCfiBot = -8;

bool IsBlank(char c);
std::string_view TrimLeadingBlanks(std::string_view text);
std::string_view TrimTrailingBlanks(std::string_view text);
std::string_view TrimBlanks(std::string_view text);

// A whole file split into lines. Every "\n", "\r\n" or "\r\r\n" ends a line, a lone "\r" does
// not; a file ending in a line end yields a final empty line, an empty file one empty line. A
// NUL byte ends the text (the rest of the file is not looked at).
class LineFile {
 public:
  // Discards the previous content and reads the file. True only when the file was opened and
  // every byte of it read; after a short read the bytes that arrived are split all the same.
  [[nodiscard]] bool Load(const std::string& path);
  // Splits the given bytes as Load splits a file's content.
  void LoadBytes(std::string_view bytes);

  // The lines in file order, once each; nullopt after the last one.
  std::optional<std::string_view> NextLine();
  void Rewind() { cursor_ = 0; }

  size_t LineCount() const { return lines_.size(); }
  std::string_view Line(size_t index) const;
  // The file size in bytes (low 32 bits).
  uint32_t FileSize() const { return fileSize_; }

 private:
  struct Span {
    size_t begin;
    size_t length;
  };
  void Split();

  std::string buffer_;
  std::vector<Span> lines_;
  uint32_t fileSize_ = 0;
  size_t cursor_ = 0;
};

struct IniKey {
  std::string name;   // trimmed
  std::string value;  // leading blanks removed; trailing ones only when a comment followed
};

struct IniSection {
  std::string name;  // the text between '[' and the first ']', untrimmed
  std::vector<IniKey> keys;

  // First key of that name, or null.
  const IniKey* FindKey(std::string_view keyName) const;
  // The value text of the first key of that name, or null.
  const std::string* Value(std::string_view keyName) const;
};

// A sectioned definition file: "[Section]" headers, each followed by "Key = Value" lines;
// ';' starts a comment anywhere on a line. Sections and keys keep file order, duplicates
// included; lookups find the first.
class IniDocument {
 public:
  // The working line buffer holds 4095 bytes after a line's leading blanks. A longer line is
  // refused (the parse fails at it) rather than cut, which could change what it says.
  static constexpr size_t kLineLimit = 4095;

  enum class Failure {
    None,
    Unreadable,         // the file could not be opened or read completely
    NoClosingBracket,   // a '[' line without ']'
    KeyOutsideSection,  // a key line before the first section header
    NoEquals,           // a non-empty line without '='
    LineTooLong,        // a line beyond kLineLimit
  };

  // Clears the document, then reads and parses the file. False when the file cannot be read
  // completely or a line breaks the grammar; what was parsed before that line stays.
  [[nodiscard]] bool Parse(const std::string& path);
  // Parses bytes as Parse parses a file's content.
  [[nodiscard]] bool ParseText(std::string_view bytes);
  void Clear();

  const std::vector<IniSection>& Sections() const { return sections_; }
  const IniSection* FirstSection() const { return sections_.empty() ? nullptr : &sections_.front(); }
  // First section of that name, or null.
  const IniSection* FindSection(std::string_view name) const;

  // Why the last parse failed and at which line (1-based; 0 when it did not fail at a line).
  Failure LastFailure() const { return failure_; }
  size_t FailedLine() const { return failedLine_; }

 private:
  bool ParseLines(LineFile& lines);
  bool Fail(Failure failure, size_t line);

  std::vector<IniSection> sections_;
  Failure failure_ = Failure::None;
  size_t failedLine_ = 0;
};

// One value text as a signed 32-bit number: the keywords (TRUE FALSE YES NO USER POLLING STATUS
// BLOCK COUNT COUNTBUT1 CFI CFI_REV CFI_TOP CFI_BOT, whole text, any case), "0b"/"0o"/"0x"
// prefixed numbers, a trailing 'h' for hexadecimal, else decimal. The whole text must be
// consumed; otherwise, and for an empty text, kValueInvalid.
int32_t ParseValue(std::string_view text);

// Digits of `base` (2..36) from `cursor`, with an optional sign, modulo 2^32; the cursor moves
// over what was consumed. kValueInvalid when no digit was consumed.
int32_t ParseDigits(const char*& cursor, const char* end, int base);

// The next item of a `delimiter`-separated list in `rest`; `rest` moves behind the delimiter
// and the blanks after it. The item loses its trailing blanks; the last item (no delimiter
// behind it) is returned as it stands. An empty `rest` gives an empty item.
std::string_view NextListItem(std::string_view& rest, char delimiter);

// ParseValue of the first comma-separated item of the first key `keyName` of the section;
// kValueInvalid when there is no such key (or no section).
int32_t KeyNumber(const IniSection& section, std::string_view keyName);
int32_t KeyNumber(const IniSection* section, std::string_view keyName);

struct ValuePair {
  int32_t address = 0;
  int32_t data = 0;
};

// (address, data) pairs: flash command sequences, and sector tables (address column only).
// The two columns are filled independently and carry their own counts; a well-formed command
// list has both counts equal.
class ValuePairList {
 public:
  // Largest number of sector table entries ParseSectorLayout builds; real devices stay far
  // below it, and it keeps a hostile layout text from asking for gigabytes.
  static constexpr int32_t kMaxSectorEntries = 1 << 18;

  int32_t AddressCount() const { return addressCount_; }
  int32_t DataCount() const { return dataCount_; }
  int32_t Capacity() const { return static_cast<int32_t>(entries_.size()); }
  bool Empty() const { return addressCount_ == 0 && dataCount_ == 0; }

  // Entry `index` (below Capacity()).
  int32_t Address(int32_t index) const { return entries_[static_cast<size_t>(index)].address; }
  int32_t Data(int32_t index) const { return entries_[static_cast<size_t>(index)].data; }
  const ValuePair& At(int32_t index) const { return entries_[static_cast<size_t>(index)]; }

  // Room for at least n entries, keeping the existing ones: the capacity starts at 8 and doubles.
  void Reserve(int32_t n);
  void Clear();
  // Appends a complete pair (both columns, both counts grow) / an address only.
  void Append(int32_t address, int32_t data);
  void AppendAddress(int32_t address);

  // The address column from a comma list: each item's ParseValue result shifted left by
  // `shift` (0..31) bits; items that do not parse are stored as kValueInvalid, shifted alike.
  bool ParseAddressList(std::string_view text, int shift);
  // The data column from a comma list, without a shift.
  bool ParseDataList(std::string_view text);

  // A sector table from groups "count*size" ('*', 'x' or 'X'), e.g. "8*4, 63*32": the start
  // offset of every sector followed by the end offset, in the caller's unit. False when a
  // group has a count below 1 or a size below 4, when the text is not consumed completely, or
  // when the table would exceed kMaxSectorEntries or the 32-bit offset range; the entries
  // appended before the fault stay.
  [[nodiscard]] bool ParseSectorLayout(std::string_view text);

  friend bool operator==(const ValuePairList& a, const ValuePairList& b);

 private:
  int32_t addressCount_ = 0;
  int32_t dataCount_ = 0;
  std::vector<ValuePair> entries_;  // size() is the capacity
};

// Reads the command sequence of section `sectionName` (keys Address and Data) into the list.
// A missing section is fine when `optional` is set (the list stays as it was); every fault
// appends its line to `errorText` and returns false.
[[nodiscard]] bool ReadCommandSection(const IniDocument& document, std::string_view sectionName, ValuePairList& list,
                                      bool optional, std::string& errorText);

// The program's version text, as the window title and the about box show it.
std::string ProgramVersionText();

}  // namespace tessaro
