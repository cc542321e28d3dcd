// Text conventions shared by every subsystem: upper-case hexadecimal without prefix, the
// VALUE_INVALID marker, and byte-wise ASCII case folding (names never depend on a locale).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

// Returned by the value parser for a missing or malformed number and by word reads of a
// link that is down.
inline constexpr uint32_t VALUE_INVALID = 0xEE00E0E0u;

// Variable-width upper-case hexadecimal: no leading zeros, "0" for zero.
std::string Hex(uint64_t value);
// Fixed-width upper-case hexadecimal padded to `digits` (1..16) digits; higher digits are
// dropped. VALUE_INVALID prints as "????????".
std::string HexFixed(uint64_t value, int digits);
// Optional "0x"/"0X", then hexadecimal digits to the end of the text. Empty text or any other
// character gives VALUE_INVALID, and so does a value that does not fit in 32 bits (leading
// zeros are fine).
uint32_t ReadHex(std::string_view text);

char AsciiUpper(char c);
char AsciiLower(char c);
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
// Byte-wise comparison ignoring ASCII case only.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

bool IsAsciiSpace(char c);
bool IsHexDigit(char c);
int HexDigitValue(char c);  // -1 when not a hexadecimal digit
std::string_view TrimSpaces(std::string_view text);

// A label text as a person sees it: "&&", the escape of a literal ampersand in a label, shown
// as one "&".
std::string ShownLabelText(std::string_view text);

}  // namespace tessaro
