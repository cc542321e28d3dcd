#include "definitions/DefinitionReader.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace tessaro {
namespace {

std::vector<std::string> AllLines(LineFile& file) {
  std::vector<std::string> lines;
  while (auto line = file.NextLine()) lines.emplace_back(*line);
  return lines;
}

class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    path_ = (std::filesystem::temp_directory_path() /
             ("tessaro_reader_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".txt"))
                .string();
    std::ofstream out(path_, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

TEST(LineFile, SplitsOnLineEnds) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\r\nb\r\n", {"a", "b", ""}},
      {"a\nb\n", {"a", "b", ""}},
      {"a\r\r\nb", {"a", "b"}},
      {"a\rb\rc", {"a\rb\rc"}},  // lone CR does not end a line
      {"", {""}},                // empty file: one empty line
      {"no line end", {"no line end"}},
      {"\r\n", {"", ""}},
      {"\rx\n", {"\rx", ""}},      // CR run is removed only in front of the LF
      {"a\nb\0c\nd", {"a", "b"}},  // NUL ends the text
      {std::string("\0abc", 4), {""}},
  };
  for (const Case& c : cases) {
    LineFile file;
    file.LoadBytes(c.bytes);
    EXPECT_EQ(AllLines(file), c.lines) << "input: " << c.bytes;
    EXPECT_EQ(file.FileSize(), c.bytes.size());
    EXPECT_FALSE(file.NextLine().has_value());
  }
}

TEST(LineFile, LoadFromDisk) {
  TempFile temp("one\r\ntwo");
  LineFile file;
  ASSERT_TRUE(file.Load(temp.path()));
  EXPECT_EQ(file.FileSize(), 8u);
  EXPECT_EQ(AllLines(file), (std::vector<std::string>{"one", "two"}));

  // A failed load leaves nothing of the previous file.
  EXPECT_FALSE(file.Load(temp.path() + ".missing"));
  EXPECT_EQ(file.LineCount(), 0u);
  EXPECT_FALSE(file.NextLine().has_value());
  EXPECT_FALSE(file.Load(std::filesystem::temp_directory_path().string()));
}

TEST(IniDocument, ParsesSectionsKeysAndComments) {
  const std::string text =
      "\xEF\xBB\xBF; header comment\r\n"
      "  [Device] ; comment\r\n"
      "Name = A;B\r\n"
      "Key=Value;comment\r\n"
      "Size = 0x100000  \r\n"
      "Trimmed = 0x10   ; why\r\n"
      " = empty name\r\n"
      "Empty =\r\n"
      "[ Device ]\r\n"
      "[]trailing text\r\n"
      "[device]\r\n"
      "Name = second\r\n";
  IniDocument document;
  ASSERT_TRUE(document.ParseText(text));
  ASSERT_EQ(document.Sections().size(), 4u);
  const IniSection* device = document.FindSection("DEVICE");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device, document.FirstSection());
  EXPECT_EQ(device->name, "Device");
  EXPECT_EQ(*device->Value("name"), "A");  // first of the duplicate sections, comment cut
  EXPECT_EQ(*device->Value("Key"), "Value");
  EXPECT_EQ(*device->Value("Size"), "0x100000  ");  // no comment: trailing blanks stay
  EXPECT_EQ(ParseValue(*device->Value("Size")), kValueInvalid);
  EXPECT_EQ(KeyNumber(device, "Trimmed"), 0x10);
  EXPECT_EQ(*device->Value(""), "empty name");
  EXPECT_EQ(*device->Value("Empty"), "");
  EXPECT_EQ(device->Value("Missing"), nullptr);
  EXPECT_EQ(document.Sections()[1].name, " Device ");
  EXPECT_EQ(document.Sections()[2].name, "");
  EXPECT_EQ(*document.Sections()[3].Value("Name"), "second");
  EXPECT_EQ(document.FindSection("Other"), nullptr);
}

TEST(IniDocument, LineEndsDoNotChangeTheTree) {
  IniDocument crlf, lf, cr;
  ASSERT_TRUE(crlf.ParseText("[A]\r\nx=1\r\ny=2\r\n"));
  ASSERT_TRUE(lf.ParseText("[A]\nx=1\ny=2\n"));
  ASSERT_EQ(crlf.Sections().size(), 1u);
  ASSERT_EQ(lf.Sections().size(), 1u);
  ASSERT_EQ(crlf.Sections()[0].keys.size(), 2u);
  ASSERT_EQ(lf.Sections()[0].keys.size(), 2u);
  EXPECT_EQ(crlf.Sections()[0].keys[1].value, lf.Sections()[0].keys[1].value);
  // Lone CRs: one single line, the section name runs to the first ']'.
  ASSERT_TRUE(cr.ParseText("[A]\rx=1\ry=2\r"));
  ASSERT_EQ(cr.Sections().size(), 1u);
  EXPECT_TRUE(cr.Sections()[0].keys.empty());

  IniDocument empty;
  EXPECT_TRUE(empty.ParseText(""));
  EXPECT_TRUE(empty.Sections().empty());
}

TEST(IniDocument, GrammarFaultsKeepWhatCameBefore) {
  struct Case {
    std::string text;
    IniDocument::Failure failure;
    size_t line;
    size_t sections;
  };
  const Case cases[] = {
      {"[A]\nx=1\n[B\ny=2\n", IniDocument::Failure::NoClosingBracket, 3, 1},
      {"x=1\n[A]\n", IniDocument::Failure::KeyOutsideSection, 1, 0},
      {"[A]\nx=1\njust words\n", IniDocument::Failure::NoEquals, 3, 1},
      {"[A]\nx=1\n" + std::string(4096, 'k') + "=1\n", IniDocument::Failure::LineTooLong, 3, 1},
  };
  for (const Case& c : cases) {
    IniDocument document;
    EXPECT_FALSE(document.ParseText(c.text));
    EXPECT_EQ(document.LastFailure(), c.failure);
    EXPECT_EQ(document.FailedLine(), c.line);
    EXPECT_EQ(document.Sections().size(), c.sections);
  }
  IniDocument unreadable;
  EXPECT_FALSE(unreadable.Parse("/nonexistent/file.tdf"));
  EXPECT_EQ(unreadable.LastFailure(), IniDocument::Failure::Unreadable);
}

TEST(IniDocument, LongLinesAreRefusedNotCut) {
  // A line that fits exactly (4095 bytes after the leading blanks) parses whole; one byte more
  // would have been cut into a different value, so the document is refused.
  std::string value(4095 - 4, '7');
  std::string fits = "[A]\n      v = " + value.substr(0, value.size() - 2) + "\n";
  IniDocument document;
  ASSERT_TRUE(document.ParseText(fits));
  EXPECT_EQ(document.Sections()[0].keys[0].value.size(), value.size() - 2);

  std::string over = "[A]\nv=" + std::string(4094, '1') + "\n";
  EXPECT_FALSE(document.ParseText(over));
  EXPECT_EQ(document.LastFailure(), IniDocument::Failure::LineTooLong);
  // Leading blanks do not count against the limit.
  std::string indented = "[A]\n" + std::string(5000, ' ') + "v=1\n";
  EXPECT_TRUE(document.ParseText(indented));
}

TEST(IniDocument, ParseFromFileClearsPreviousContent) {
  TempFile temp("[S]\r\nk = v\r\n");
  IniDocument document;
  ASSERT_TRUE(document.ParseText("[Old]\nx=1\n"));
  ASSERT_TRUE(document.Parse(temp.path()));
  ASSERT_EQ(document.Sections().size(), 1u);
  EXPECT_EQ(*document.FindSection("s")->Value("K"), "v");
  document.Clear();
  EXPECT_TRUE(document.Sections().empty());
}

TEST(ParseValue, Notations) {
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"0x1F", 31},
      {"1Fh", 31},
      {"31", 31},
      {"0o37", 31},
      {"0b11111", 31},
      {"0X1f", 31},
      {"1FH", 31},
      {"0B11111", 31},
      {"0O37", 31},
      {"010", 10},
      {"true", 1},
      {"Yes", 1},
      {"countbut1", -3},
      {"FALSE", 0},
      {"no", 0},
      {"user", -1},
      {"Polling", 0},
      {"status", 1},
      {"block", -4},
      {"count", -2},
      {"cfi", -5},
      {"CFI_REV", -6},
      {"cfi_top", -7},
      {"CFI_BOT", -8},
      {"12h", 18},
      {"-5", -5},
      {"+7", 7},
      {"0xFFFFFFFF", -1},
      {"4294967297", 1},
      // Hexadecimal, octal and binary numbers wider than 32 bits are refused, not cut.
      {"0x100000000", kValueInvalid},
      {"0x000000001F", 31},
      {"100000010h", kValueInvalid},
      {"0o40000000000", kValueInvalid},
      {"0b100000000000000000000000000000000", kValueInvalid},
      {"0x10h", kValueInvalid},
      {"5 ", kValueInvalid},
      {" 5", kValueInvalid},
      {"", kValueInvalid},
      {"0x", kValueInvalid},
      {"0b", kValueInvalid},
      {"0b102", kValueInvalid},
      {"h", kValueInvalid},
      {"-", kValueInvalid},
      {"12a", kValueInvalid},
      {"TRUEX", kValueInvalid},
      {"0o8", kValueInvalid},
      {"\xFF", kValueInvalid},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseValue(c.text), c.value) << "text: " << c.text;
}

TEST(ParseDigits, ConsumesDigitsOfTheBase) {
  std::string text = "-1Zq";
  const char* cursor = text.data();
  EXPECT_EQ(ParseDigits(cursor, text.data() + text.size(), 36), -(1 * 36 * 36 + 35 * 36 + 26));
  EXPECT_EQ(cursor, text.data() + text.size());

  text = "778";
  cursor = text.data();
  EXPECT_EQ(ParseDigits(cursor, text.data() + text.size(), 8), 63);
  EXPECT_EQ(*cursor, '8');

  cursor = text.data() + text.size();
  EXPECT_EQ(ParseDigits(cursor, text.data() + text.size(), 10), kValueInvalid);
  text = "+x";
  cursor = text.data();
  EXPECT_EQ(ParseDigits(cursor, text.data() + text.size(), 10), kValueInvalid);
}

TEST(NextListItem, SplitsAndTrims) {
  std::string_view rest = "1, 2 ,3";
  EXPECT_EQ(NextListItem(rest, ','), "1");
  EXPECT_EQ(NextListItem(rest, ','), "2");
  EXPECT_EQ(NextListItem(rest, ','), "3");
  EXPECT_TRUE(rest.empty());
  EXPECT_EQ(NextListItem(rest, ','), "");

  rest = "a,,b , ";
  EXPECT_EQ(NextListItem(rest, ','), "a");
  EXPECT_EQ(NextListItem(rest, ','), "");
  EXPECT_EQ(NextListItem(rest, ','), "b");
  EXPECT_TRUE(rest.empty());  // the delimiter at the end yields no further item

  rest = "x:y ";
  EXPECT_EQ(NextListItem(rest, ':'), "x");
  EXPECT_EQ(NextListItem(rest, ':'), "y ");  // the last item stays as it stands
}

TEST(KeyNumber, FirstItemOfFirstKey) {
  IniDocument document;
  ASSERT_TRUE(document.ParseText("[S]\nkey = 1, 2 ,3\nkey = 9\nbad = x\n"));
  const IniSection& section = document.Sections()[0];
  EXPECT_EQ(KeyNumber(section, "KEY"), 1);
  EXPECT_EQ(KeyNumber(section, "bad"), kValueInvalid);
  EXPECT_EQ(KeyNumber(section, "none"), kValueInvalid);
  EXPECT_EQ(KeyNumber(nullptr, "key"), kValueInvalid);

  ValuePairList list;
  EXPECT_TRUE(list.ParseAddressList(*section.Value("key"), 0));
  ASSERT_EQ(list.AddressCount(), 3);
  EXPECT_EQ(list.Address(0), 1);
  EXPECT_EQ(list.Address(1), 2);
  EXPECT_EQ(list.Address(2), 3);
  EXPECT_EQ(list.DataCount(), 0);
}

TEST(ValuePairList, ReserveGrowsByDoubling) {
  ValuePairList list;
  EXPECT_EQ(list.Capacity(), 0);
  list.Reserve(1);
  EXPECT_EQ(list.Capacity(), 8);
  list.Append(5, 6);
  list.Reserve(9);
  EXPECT_EQ(list.Capacity(), 16);
  list.Reserve(100);
  EXPECT_EQ(list.Capacity(), 128);
  list.Reserve(3);
  EXPECT_EQ(list.Capacity(), 128);
  EXPECT_EQ(list.Address(0), 5);
  EXPECT_EQ(list.Data(0), 6);
}

TEST(ValuePairList, ColumnsFillIndependently) {
  ValuePairList list;
  EXPECT_TRUE(list.ParseAddressList("0x555, 2AAh, junk,", 2));
  EXPECT_TRUE(list.ParseDataList("0xAA,0x55"));
  ASSERT_EQ(list.AddressCount(), 3);
  ASSERT_EQ(list.DataCount(), 2);
  EXPECT_EQ(list.Address(0), 0x555 << 2);
  EXPECT_EQ(list.Address(1), 0x2AA << 2);
  EXPECT_EQ(list.Address(2), static_cast<int32_t>(VALUE_INVALID << 2));
  EXPECT_EQ(list.Data(0), 0xAA);
  EXPECT_EQ(list.Data(1), 0x55);
  // Re-parsing one column leaves the other alone.
  EXPECT_TRUE(list.ParseAddressList("-1", 0));
  EXPECT_EQ(list.AddressCount(), 1);
  EXPECT_EQ(list.Address(0), -1);
  EXPECT_EQ(list.DataCount(), 2);
  EXPECT_EQ(list.Data(1), 0x55);
}

TEST(ValuePairList, SectorLayouts) {
  struct Case {
    std::string text;
    bool ok;
    std::vector<int32_t> addresses;
  };
  const Case cases[] = {
      {"", true, {}},
      {"   ", true, {}},
      {"2*4,1*8", true, {0, 4, 8, 16}},
      {"2 x 4  1X8 ", true, {0, 4, 8, 16}},  // the comma between groups may be missing
      {"1*64,", true, {0, 64}},
      {"0*4", false, {}},
      {"4*2", false, {}},
      {"2*4, 0*8", false, {0, 4}},  // appended sectors stay, no end entry
      {"4*4 junk", false, {0, 4, 8, 12, 16}},
      {"*4", false, {}},
      {"4*", false, {}},
      {"99999999999*4", false, {}},  // too many sectors: refused, nothing allocated
      {"2*2000000000", false, {}},   // offsets beyond the 32-bit range
      {"262143*4", true, {}},        // just below the entry limit
  };
  for (const Case& c : cases) {
    ValuePairList list;
    EXPECT_EQ(list.ParseSectorLayout(c.text), c.ok) << c.text;
    if (c.text == "262143*4") {
      EXPECT_EQ(list.AddressCount(), 262144);
      EXPECT_EQ(list.Address(262143), 262143 * 4);
      continue;
    }
    std::vector<int32_t> addresses;
    for (int32_t i = 0; i < list.AddressCount(); ++i) addresses.push_back(list.Address(i));
    EXPECT_EQ(addresses, c.addresses) << c.text;
    EXPECT_EQ(list.DataCount(), 0);
  }
}

TEST(ReadCommandSection, ReadsSequencesAndReportsFaults) {
  IniDocument document;
  ASSERT_TRUE(
      document.ParseText("[Erase]\nAddress = 0x555, 0x2AA, 0x555\nData = 0xAA, 0x55, 0x80\n"
                         "[Erase]\nAddress = 1\nData = 2\n"
                         "[Short]\nAddress = 1, 2, 3\nData = 4, 5\n"
                         "[NoAddress]\nData = 1\n"
                         "[NoData]\nAddress = 1\n"));
  std::string errors;
  ValuePairList list;
  EXPECT_TRUE(ReadCommandSection(document, "ERASE", list, false, errors));
  ASSERT_EQ(list.AddressCount(), 3);
  EXPECT_EQ(list.Address(2), 0x555);
  EXPECT_EQ(list.Data(2), 0x80);
  EXPECT_EQ(errors, "");

  ValuePairList untouched;
  untouched.Append(7, 8);
  EXPECT_TRUE(ReadCommandSection(document, "Absent", untouched, true, errors));
  EXPECT_EQ(untouched.AddressCount(), 1);
  EXPECT_EQ(untouched.Data(0), 8);
  EXPECT_EQ(errors, "");

  struct Case {
    std::string section;
    std::string message;
  };
  const Case cases[] = {
      {"Absent", "Section [Absent] not found!\r\n"},
      {"Short", "Section [Short] Address and Data lengths do not match\r\n"},
      {"NoAddress", "Section [NoAddress] key Address not found\r\n"},
      {"NoData", "Section [NoData] key Data not found\r\n"},
  };
  for (const Case& c : cases) {
    std::string text = "before\r\n";
    ValuePairList target;
    EXPECT_FALSE(ReadCommandSection(document, c.section, target, false, text));
    EXPECT_EQ(text, "before\r\n" + c.message);
  }
}

TEST(IniDocument, HostileBytesStayInBounds) {
  // Bytes of every value, long tokens, big sections and no line end: the parse must simply
  // finish, with every value handed to the value parsers.
  std::string text = "[" + std::string(200, 'S') + "]\n";
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == '\n' || byte == ';' || byte == '[' || byte == '=') continue;
    text += "k" + std::to_string(byte) + " = " + std::string(45, static_cast<char>(byte)) + ",\x80" + "\n";
  }
  text += "[Tail]\nAddress=" + std::string(60, '9') + ",0x" + std::string(50, 'F') + "\nData=1,2";
  IniDocument document;
  ASSERT_TRUE(document.ParseText(text));
  ASSERT_EQ(document.Sections().size(), 2u);
  for (const IniKey& key : document.Sections()[0].keys) {
    ValuePairList list;
    EXPECT_TRUE(list.ParseAddressList(key.value, 31));
    (void)list.ParseSectorLayout(key.value);
    std::string_view rest = key.value;
    EXPECT_EQ(KeyNumber(document.Sections()[0], key.name), ParseValue(NextListItem(rest, ',')));
  }
  std::string errors;
  ValuePairList list;
  EXPECT_TRUE(ReadCommandSection(document, "tail", list, false, errors));
  EXPECT_EQ(list.AddressCount(), 2);
}

TEST(ProgramVersionText, IsTheProjectVersion) { EXPECT_EQ(ProgramVersionText(), TESSARO_VERSION); }

}  // namespace
}  // namespace tessaro
