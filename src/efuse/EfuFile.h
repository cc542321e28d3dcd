// The EFU file: what is to be burned into the eFuses of a 9xxx chip (AES key of the current
// debug session, session close, watchdog, SSS boot, MIDI out), as "Identifier = Number" lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

// A 128-bit number of an EFU file: word 0 holds the least significant 16 bits.
using EfuNumber = std::array<uint16_t, 8>;

// Bits of EfuData::flags: which identifiers the file gave (the options only when not 0).
enum EfuFlag : uint32_t {
  EFU_MC = 1u << 0,
  EFU_SERIAL_NUMBER = 1u << 1,
  EFU_WATCHDOG = 1u << 2,
  EFU_AES = 1u << 3,
  EFU_SECURED = 1u << 4,
  EFU_MIDI_OUT = 1u << 5,
  EFU_SSS_BOOT = 1u << 6,
};

// One parsed EFU file. All zero and not valid when empty or when the file failed to parse:
// a file the user was told is unparsable must never lead to a burn.
struct EfuData {
  uint32_t flags = 0;
  uint32_t mc = 0;            // low 16 bits of "MC"; kept, never burned
  uint32_t serialNumber = 0;  // low 32 bits of "SerialNumber"; kept, never burned
  uint32_t watchdog = 0;      // 0 or 1
  EfuNumber aes{};            // the AES key, word 0 least significant
  uint32_t secured = 0;       // 0 or 1: close the session
  uint32_t midiOutEnable = 0;
  uint32_t sssBootEnable = 0;
  bool valid = false;

  bool operator==(const EfuData&) const = default;
};

// Longest part of a line the parser looks at.
inline constexpr size_t kEfuMaxLineLength = 511;

// "0x" hexadecimal (one " ", "-" or "." allowed after every 4th digit) or decimal, modulo
// 2^128, the whole text consumed. False for anything else; `value` then holds what was read.
[[nodiscard]] bool ParseEfuNumber(std::string_view text, EfuNumber& value);

// Parses an EFU file into `data`; returns data.valid. The first bad line stops the parse with
// its message appended to `errorText` ("File not found!" when the file cannot be read), and
// leaves `data` empty.
[[nodiscard]] bool ParseEfuFile(const std::string& path, EfuData& data, std::string& errorText);
// The same on the file's bytes.
[[nodiscard]] bool ParseEfuText(std::string_view bytes, EfuData& data, std::string& errorText);

// "%04X-%04X-%04X-%04X-%04X-%04X-%04X-%04X" with words 7 down to 0.
std::string EfuKeyText(const EfuNumber& key);
// 32 hexadecimal digits, most significant first.
std::string EfuKeyHex(const EfuNumber& key);
bool IsZeroKey(const EfuNumber& key);

}  // namespace tessaro
