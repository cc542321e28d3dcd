#include "definitions/DefinitionReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tessaro {

bool IsBlank(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return (byte >= 0x01 && byte <= 0x20) || byte >= 0x80;
}

std::string_view TrimLeadingBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimTrailingBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view TrimBlanks(std::string_view text) { return TrimTrailingBlanks(TrimLeadingBlanks(text)); }

// ---------------------------------------------------------------------------------------------
// LineFile

bool LineFile::Load(const std::string& path) {
  buffer_.clear();
  lines_.clear();
  fileSize_ = 0;
  cursor_ = 0;

  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  // Files of 4 GiB and more are not definition files; they are refused unread.
  uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size > 0xFFFFFFFFull) {
    ::close(fd);
    return false;
  }
  fileSize_ = static_cast<uint32_t>(size);
  buffer_.resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < buffer_.size()) {
    ssize_t n = ::read(fd, buffer_.data() + got, buffer_.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer_.resize(got);
  Split();
  return got == size;
}

void LineFile::LoadBytes(std::string_view bytes) {
  buffer_.assign(bytes);
  lines_.clear();
  fileSize_ = static_cast<uint32_t>(bytes.size());
  cursor_ = 0;
  Split();
}

void LineFile::Split() {
  // The text ends at the first NUL byte, as a C string would.
  size_t end = buffer_.find('\0');
  if (end == std::string::npos) end = buffer_.size();
  size_t begin = 0;
  for (;;) {
    size_t newline = buffer_.find('\n', begin);
    if (newline == std::string::npos || newline >= end) {
      lines_.push_back(Span{begin, end - begin});
      return;
    }
    size_t cut = newline;
    while (cut > begin && buffer_[cut - 1] == '\r') --cut;
    lines_.push_back(Span{begin, cut - begin});
    begin = newline + 1;
  }
}

std::optional<std::string_view> LineFile::NextLine() {
  if (cursor_ >= lines_.size()) return std::nullopt;
  return Line(cursor_++);
}

std::string_view LineFile::Line(size_t index) const {
  if (index >= lines_.size()) return {};
  const Span& span = lines_[index];
  return std::string_view(buffer_).substr(span.begin, span.length);
}

// ---------------------------------------------------------------------------------------------
// IniDocument

const IniKey* IniSection::FindKey(std::string_view keyName) const {
  for (const IniKey& key : keys) {
    if (EqualsNoCase(key.name, keyName)) return &key;
  }
  return nullptr;
}

const std::string* IniSection::Value(std::string_view keyName) const {
  const IniKey* key = FindKey(keyName);
  return key ? &key->value : nullptr;
}

void IniDocument::Clear() {
  sections_.clear();
  failure_ = Failure::None;
  failedLine_ = 0;
}

const IniSection* IniDocument::FindSection(std::string_view name) const {
  for (const IniSection& section : sections_) {
    if (EqualsNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

bool IniDocument::Fail(Failure failure, size_t line) {
  failure_ = failure;
  failedLine_ = line;
  return false;
}

bool IniDocument::Parse(const std::string& path) {
  Clear();
  LineFile lines;
  if (!lines.Load(path)) return Fail(Failure::Unreadable, 0);
  return ParseLines(lines);
}

bool IniDocument::ParseText(std::string_view bytes) {
  Clear();
  LineFile lines;
  lines.LoadBytes(bytes);
  return ParseLines(lines);
}

bool IniDocument::ParseLines(LineFile& lines) {
  sections_.reserve(16);
  size_t lineNumber = 0;
  while (std::optional<std::string_view> next = lines.NextLine()) {
    ++lineNumber;
    std::string_view line = TrimLeadingBlanks(*next);
    if (line.size() > kLineLimit) return Fail(Failure::LineTooLong, lineNumber);
    // A ';' starts a comment wherever it stands; only then do trailing blanks go.
    if (size_t semicolon = line.find(';'); semicolon != std::string_view::npos) {
      line = TrimTrailingBlanks(line.substr(0, semicolon));
    }
    if (line.empty()) continue;

    if (line.front() == '[') {
      size_t close = line.find(']', 1);
      if (close == std::string_view::npos) return Fail(Failure::NoClosingBracket, lineNumber);
      IniSection& section = sections_.emplace_back();
      section.name.assign(line.substr(1, close - 1));
      continue;
    }
    if (sections_.empty()) return Fail(Failure::KeyOutsideSection, lineNumber);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) return Fail(Failure::NoEquals, lineNumber);
    IniKey& key = sections_.back().keys.emplace_back();
    key.name.assign(TrimTrailingBlanks(line.substr(0, equals)));
    key.value.assign(TrimLeadingBlanks(line.substr(equals + 1)));
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Values

namespace {

struct Keyword {
  std::string_view name;
  int32_t value;
};

// The keyword vocabulary of the description files.
constexpr Keyword kKeywords[] = {
    {"TRUE", 1},
    {"FALSE", 0},
    {"YES", 1},
    {"NO", 0},
    {"USER", kKeywordUser},
    {"POLLING", 0},
    {"STATUS", 1},
    {"BLOCK", kKeywordBlock},
    {"COUNT", kKeywordCount},
    {"COUNTBUT1", kKeywordCountBut1},
    {"CFI", kKeywordCfi},
    {"CFI_REV", kKeywordCfiRev},
    {"CFI_TOP", kKeywordCfiTop},
    {"CFI_BOT", kKeywordCfiBot},
};

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// ParseDigits, also telling whether any digit was consumed (a value may equal VALUE_INVALID).
bool ReadDigits(const char*& cursor, const char* end, int base, uint32_t& value) {
  value = 0;
  if (cursor >= end) return false;
  bool negative = false;
  if (*cursor == '+' || *cursor == '-') {
    negative = *cursor == '-';
    ++cursor;
  }
  bool any = false;
  bool overflow = false;
  while (cursor < end) {
    int digit = DigitValue(*cursor);
    if (digit >= base) break;
    const uint64_t next = uint64_t{value} * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
    // Decimal numbers keep their modulo-2^32 reading; a hexadecimal, octal or binary one wider
    // than 32 bits is refused rather than read as its low bits.
    overflow = overflow || (base != 10 && next > 0xFFFFFFFFu);
    value = static_cast<uint32_t>(next);
    any = true;
    ++cursor;
  }
  if (negative) value = 0u - value;
  return any && !overflow;
}

// The digits of `text` from `begin` in `base` must end exactly at `stop`.
int32_t DigitsUpTo(std::string_view text, size_t begin, size_t stop, int base) {
  const char* cursor = text.data() + begin;
  const char* end = text.data() + text.size();
  uint32_t value = 0;
  if (!ReadDigits(cursor, end, base, value)) return kValueInvalid;
  if (cursor != text.data() + stop) return kValueInvalid;
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t ParseDigits(const char*& cursor, const char* end, int base) {
  uint32_t value = 0;
  if (!ReadDigits(cursor, end, base, value)) return kValueInvalid;
  return static_cast<int32_t>(value);
}

int32_t ParseValue(std::string_view text) {
  for (const Keyword& keyword : kKeywords) {
    if (EqualsNoCase(text, keyword.name)) return keyword.value;
  }
  if (text.empty()) return kValueInvalid;
  if (text.size() >= 2 && text[0] == '0') {
    char prefix = AsciiLower(text[1]);
    int base = prefix == 'b' ? 2 : prefix == 'o' ? 8 : prefix == 'x' ? 16 : 0;
    if (base != 0) return DigitsUpTo(text, 2, text.size(), base);
  }
  if (text.back() == 'h' || text.back() == 'H') return DigitsUpTo(text, 0, text.size() - 1, 16);
  return DigitsUpTo(text, 0, text.size(), 10);
}

std::string_view NextListItem(std::string_view& rest, char delimiter) {
  if (rest.empty()) return {};
  size_t position = rest.find(delimiter);
  if (position == std::string_view::npos) {
    std::string_view item = rest;
    rest = rest.substr(rest.size());
    return item;
  }
  std::string_view item = TrimTrailingBlanks(rest.substr(0, position));
  rest = TrimLeadingBlanks(rest.substr(position + 1));
  return item;
}

int32_t KeyNumber(const IniSection& section, std::string_view keyName) {
  const std::string* value = section.Value(keyName);
  if (!value) return kValueInvalid;
  std::string_view rest = *value;
  return ParseValue(NextListItem(rest, ','));
}

int32_t KeyNumber(const IniSection* section, std::string_view keyName) {
  return section ? KeyNumber(*section, keyName) : kValueInvalid;
}

// ---------------------------------------------------------------------------------------------
// ValuePairList

void ValuePairList::Reserve(int32_t n) {
  if (n <= Capacity()) return;
  int64_t capacity = Capacity() == 0 ? 8 : Capacity();
  while (capacity < n) capacity *= 2;
  entries_.resize(static_cast<size_t>(capacity));
}

void ValuePairList::Clear() {
  addressCount_ = 0;
  dataCount_ = 0;
  entries_.clear();
}

void ValuePairList::Append(int32_t address, int32_t data) {
  int32_t index = std::max(addressCount_, dataCount_);
  Reserve(index + 1);
  entries_[static_cast<size_t>(index)] = ValuePair{address, data};
  addressCount_ = dataCount_ = index + 1;
}

void ValuePairList::AppendAddress(int32_t address) {
  Reserve(addressCount_ + 1);
  entries_[static_cast<size_t>(addressCount_)].address = address;
  ++addressCount_;
}

bool ValuePairList::ParseAddressList(std::string_view text, int shift) {
  shift &= 31;
  addressCount_ = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    Reserve(addressCount_ + 1);
    uint32_t value = static_cast<uint32_t>(ParseValue(NextListItem(rest, ',')));
    entries_[static_cast<size_t>(addressCount_)].address = static_cast<int32_t>(value << shift);
    ++addressCount_;
  }
  return true;
}

bool ValuePairList::ParseDataList(std::string_view text) {
  dataCount_ = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    Reserve(dataCount_ + 1);
    entries_[static_cast<size_t>(dataCount_)].data = ParseValue(NextListItem(rest, ','));
    ++dataCount_;
  }
  return true;
}

namespace {

// Decimal digits only; no digits reads 0. Values beyond the 32-bit range saturate so the
// caller can refuse them.
int64_t ReadDecimal(std::string_view text, size_t& position) {
  int64_t value = 0;
  while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
    value = value * 10 + (text[position] - '0');
    if (value > INT32_MAX) value = int64_t{INT32_MAX} + 1;
    ++position;
  }
  return value;
}

void SkipBlanks(std::string_view text, size_t& position) {
  while (position < text.size() && IsBlank(text[position])) ++position;
}

}  // namespace

bool ValuePairList::ParseSectorLayout(std::string_view text) {
  addressCount_ = 0;
  int64_t offset = 0;
  size_t position = 0;
  bool fault = false;
  for (;;) {
    SkipBlanks(text, position);
    if (position >= text.size()) break;
    int64_t count = ReadDecimal(text, position);
    SkipBlanks(text, position);
    if (position >= text.size()) break;
    char times = text[position];
    if (times != '*' && times != 'x' && times != 'X') break;
    ++position;
    SkipBlanks(text, position);
    int64_t size = ReadDecimal(text, position);
    SkipBlanks(text, position);
    if (count < 1 || size < 4) return false;
    // One more entry (the end offset) follows the sectors, so keep room for it.
    if (count >= kMaxSectorEntries - addressCount_ || offset + count * size > INT32_MAX) {
      fault = true;
      break;
    }
    Reserve(addressCount_ + static_cast<int32_t>(count) + 1);
    for (int64_t i = 0; i < count; ++i) {
      entries_[static_cast<size_t>(addressCount_++)].address = static_cast<int32_t>(offset);
      offset += size;
    }
    if (position < text.size() && text[position] == ',') {
      ++position;
      SkipBlanks(text, position);
    }
  }
  if (addressCount_ > 0) AppendAddress(static_cast<int32_t>(offset));
  return !fault && position >= text.size();
}

bool operator==(const ValuePairList& a, const ValuePairList& b) {
  if (a.addressCount_ != b.addressCount_ || a.dataCount_ != b.dataCount_) return false;
  for (int32_t i = 0; i < a.addressCount_; ++i) {
    if (a.Address(i) != b.Address(i)) return false;
  }
  for (int32_t i = 0; i < a.dataCount_; ++i) {
    if (a.Data(i) != b.Data(i)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

bool ReadCommandSection(const IniDocument& document, std::string_view sectionName, ValuePairList& list, bool optional,
                        std::string& errorText) {
  const IniSection* section = document.FindSection(sectionName);
  std::string prefix = "Section [" + std::string(sectionName) + "]";
  if (!section) {
    if (optional) return true;
    errorText += prefix + " not found!\r\n";
    return false;
  }
  const std::string* address = section->Value("Address");
  if (!address) {
    errorText += prefix + " key Address not found\r\n";
    return false;
  }
  (void)list.ParseAddressList(*address, 0);
  const std::string* data = section->Value("Data");
  if (!data) {
    errorText += prefix + " key Data not found\r\n";
    return false;
  }
  (void)list.ParseDataList(*data);
  if (list.AddressCount() != list.DataCount()) {
    errorText += prefix + " Address and Data lengths do not match\r\n";
    return false;
  }
  return true;
}

std::string ProgramVersionText() {
#ifdef TESSARO_VERSION
  std::string_view version = TESSARO_VERSION;
  if (!version.empty()) return std::string(version);
#endif
  return "{ERR 0}";
}

}  // namespace tessaro
