// The simulated board's options: what the board carries, its wire model and its faults, as
// tessaro-sim takes them on its command line and a sim: port in its port name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::sim {

struct SimOptions {
  std::string chip = "LYR9468";
  bool usbInterface = false;
  uint8_t usbKind = 2;
  uint8_t usbRevision = 6;
  std::optional<uint8_t> usbFlags;  // default: derived from the chip and power state
  bool targetPowered = true;
  int securedSession = 0;  // 9xxx: 0 not secured, 2..7 the debug session offered, 8 none left
  bool securityBit = false;  // 8x47: security bit set
  uint32_t strapping = 0;    // 9xxx: bits 12 to 14 of I/O register 21
  std::optional<uint32_t> packageCode;  // 9xxx: low 4 bits of I/O register 250
  int revision = 1;          // I/O register 251
  bool baudPace = false;
  uint32_t latencyUs = 0;
  std::string statsFile;
  uint64_t dropReplyByte = 0;     // 1-based index of a target-to-host byte to drop
  uint64_t corruptReplyByte = 0;  // 1-based index of a target-to-host byte to corrupt
  uint64_t lateCommand = 0;       // 1-based index of the command answered late
  uint32_t lateMs = 1500;         // how late; the answer leaves when it is due, whatever the host does
  uint64_t stopAfterCommands = 0; // stop answering after this many commands (until the next reset)
  std::vector<uint64_t> dropHostBytes;       // 1-based indexes of host-to-target bytes that are lost
  std::vector<std::pair<uint64_t, uint8_t>> corruptHostBytes;  // index and the bits flipped in it
  std::vector<uint64_t> duplicateHostBytes;  // host-to-target bytes that arrive twice
  uint32_t noisePpm = 0;          // chance per million that a byte on the line (either way) is hit
  uint64_t seed = 1;              // of the noise; a run is reproduced by its seed
  uint64_t resetAtCommand = 0;    // the board resets itself after this command (a brown-out)
  uint64_t unplugAtCommand = 0;   // the cable is pulled after this command
  std::string traceFile;          // JSON Lines, one decoded command a line
  bool refuseBaudSwitch = false;  // the target keeps its divisor, the interface ignores 0xB7
  uint32_t resetMs = 300;         // from the reset request to the boot ROM's greeting
  std::string stateFile;                  // memories loaded when the board is created, saved when it ends
  std::vector<std::string> dumpRequests;  // "REGION:FILE", written when the board ends
  std::vector<uint16_t> efusePreset;      // 9xxx: eFuse words 0.. as the board starts
};

// Reads tessaro-sim options ("--name=value" or "--name value"). False with a message on error.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);
// The option summary for --help.
std::string SimOptionsHelp();

}  // namespace tessaro::sim
