// What the parts of the simulated board (board, wire, transports, monitor, memory map) share
// inside the simulator and nothing outside uses: protocol bytes and limits, message formatting.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tessaro::sim::board_detail {

// Protocol bytes and limits kept here on purpose, apart from the host's own constants: the
// simulator is an independent check of the host, so a wrong value on one side shows up.
inline constexpr uint8_t kAck = 0xAC;
inline constexpr uint8_t kRefused = 0xEE;
inline constexpr uint8_t kEraseDone = 0xEE;
// The UART clock of the monitor: divisor 230 (256 - 26) gives 57600 baud, 243 gives 115200.
inline constexpr uint32_t kUartClock = 57600 * 26;
inline constexpr uint16_t kDefaultDivisor = 230;
inline constexpr uint16_t kRegisterFlag = 0x8000;  // 9xxx register words carry bit 15
// What the resynchronisation bytes 0x00 0x55 leave in an idle 9xxx monitor once the next probe
// follows: a register read of the word 0x0055. A correct host sends it only as a probe.
inline constexpr uint16_t kProbeRegisterWord = 0x0055;
inline constexpr uint32_t kMaxBlockRead = 512;
inline constexpr uint32_t kMaxBlockWrite = 128;
inline constexpr uint32_t kFlashPage = 64;
// Bounds of what the board keeps for inspection; a long run keeps the latest.
inline constexpr size_t kTraceKept = 20000;
inline constexpr size_t kViolationsKept = 1000;

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace tessaro::sim::board_detail
