// The simulated board's options: what the board carries, its wire model and its faults, as
// tessaro-sim takes them on its command line and a sim: port in its port name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro::sim {

// A QSPI device (or a dual pair, low lane first) behind controller `base` (96, 100 or 104).
struct SimQspiItem {
  std::string lane0, lane1;  // lane1 empty: a single device
  uint32_t base = 100;
};

// A parallel NOR device of a description (`part` empty: the description's first part) whose
// window starts at target word address `address`.
struct SimNorItem {
  std::string name, part;
  uint32_t address = 0;
  bool fromBoard = false;  // named by the board definition, not by --nor
};

// A serial flash behind one select pin ("NAME@PIN", the pin as a board's DfEnable writes it).
struct SimSpiItem {
  std::string name, pin;
  bool fromBoard = false;  // named by the board definition: left off (with a note) when unwirable
};

struct SimOptions {
  std::string chip = "LYR9468";
  bool usbInterface = false;
  uint8_t usbKind = 2;
  uint8_t usbRevision = 6;
  std::optional<uint8_t> usbFlags;  // default: derived from the chip and power state
  bool targetPowered = true;
  int securedSession = 0;               // 9xxx: 0 not secured, 2..7 the debug session offered, 8 none left
  bool securityBit = false;             // 8x47: security bit set
  std::optional<uint32_t> strapping;    // 9xxx: bits 12 to 14 of I/O register 21 (default: from
                                        // the board definition's memories, else 0)
  std::optional<uint32_t> packageCode;  // 9xxx: low 4 bits of I/O register 250
  int revision = 1;                     // I/O register 251
  bool baudPace = false;
  uint32_t latencyUs = 0;
  // The monitor's receive buffer: bytes that arrive while it executes a command wait here; one
  // that arrives with the buffer full is lost, as a UART overrun loses it. 256 bytes: the ring a
  // ROM monitor keeps behind its receive interrupt with a one-byte index.
  uint32_t rxBuffer = 256;
  std::string statsFile;
  uint64_t dropReplyByte = 0;           // 1-based index of a target-to-host byte to drop
  uint64_t corruptReplyByte = 0;        // 1-based index of a target-to-host byte to corrupt
  uint64_t lateCommand = 0;             // 1-based index of the command answered late
  uint32_t lateMs = 1500;               // how late; the answer leaves when it is due, whatever the host does
  uint64_t stopAfterCommands = 0;       // stop answering after this many commands (until the next reset)
  std::vector<uint64_t> dropHostBytes;  // 1-based indexes of host-to-target bytes that are lost
  std::vector<std::pair<uint64_t, uint8_t>> corruptHostBytes;  // index and the bits flipped in it
  std::vector<uint64_t> duplicateHostBytes;                    // host-to-target bytes that arrive twice
  uint32_t noisePpm = 0;  // chance per million that a byte on the line (either way) is hit
  uint64_t seed = 1;      // of the noise; a run is reproduced by its seed
  // Faults at a point of the run: after the Nth command the monitor executed, or N ms after the
  // host's first byte (0: no such fault). A reset is a brown-out of the target; a link loss
  // leaves the port in place and the target deaf and mute (the interface still answers its own
  // frame, reporting no target); an unplug takes the USB interface, and with it the port, away.
  uint64_t resetAtCommand = 0;
  uint32_t resetAtMs = 0;
  uint64_t linkLossAtCommand = 0;
  uint32_t linkLossAtMs = 0;
  uint32_t linkLossMs = 0;  // how long a link loss lasts (0: for the rest of the run)
  uint64_t unplugAtCommand = 0;
  uint32_t unplugAtMs = 0;
  std::string traceFile;                  // JSON Lines, one decoded command a line
  bool refuseBaudSwitch = false;          // the target keeps its divisor, the interface ignores 0xB7
  uint32_t resetMs = 300;                 // from the reset request to the boot ROM's greeting
  std::string stateFile;                  // memories loaded when the board is created, saved when it ends
  std::vector<std::string> dumpRequests;  // "REGION:FILE", written when the board ends
  std::vector<uint16_t> efusePreset;      // 9xxx eFuse words at power-up, word 0 first

  // ---- what hangs on the chip ----
  std::string boardName;   // a board definition: a name in the config folder, or a *.BDL file
  std::string configDir;   // where boards are looked up (default: config beside the program)
  std::string driversDir;  // the *.TDF descriptions devices are built from (default: drivers)
  bool ext2First = false;  // the second external window comes first (from the board's configuration)
  std::vector<SimSpiItem> spiFlash;
  std::vector<SimQspiItem> qspi;
  std::optional<SimNorItem> nor;
  std::optional<bool> nand;     // set: a NAND is fitted; true: a 16-bit one
  bool dataflashPow2 = false;   // a DataFlash with both page sizes starts in power-of-two mode
  bool qspiConfigured = false;  // QSPI configuration bits already set (default: factory state)
  uint32_t busyMs = 0;          // program and erase time of the serial and QSPI devices
  // Faults of the external devices.
  std::vector<uint32_t> failEraseSectors;  // NOR sectors that will not erase
  std::vector<uint32_t> failProgramWords;  // NOR word offsets that will not program
  bool stuckBusy = false;                  // the devices never finish a program or erase
};

// Reads tessaro-sim options ("--name=value" or "--name value"). False with a message on error.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// The options of a "sim:" port, the text after "sim:": items split at commas (a comma inside
// parentheses belongs to its item, as in a board name "...(2x8Mib,4WS)"), spaces around an
// item dropped, and "--" put before an item that leaves it out.
std::vector<std::string> SplitSimOptionList(std::string_view list);
// tessaro-sim's --help, made from the same option table as the parser.
std::string SimOptionsHelp();
// The faults the options arm, one line each ("reset at command 12", "line noise 100 ppm, seed
// 7"), for the simulator's log; empty when there are none.
std::vector<std::string> DescribeFaults(const SimOptions& options);

}  // namespace tessaro::sim
