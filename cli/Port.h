// The --port argument every subcommand that talks to a board takes: "COMn", a device path, or
// "sim:OPTIONS" for a simulated board in this process (OPTIONS are tessaro-sim options written
// --name=value and joined by commas, e.g. sim:--chip=LYR7322,--interface=usb). Without --port
// the port of the user settings is used. A simulated board keeps its --state file, writes
// its --dump-memory regions and lists its violations on stderr when the command ends
// (EndSimBoard, or when the last copy of the PortChoice goes).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/SerialPort.h"
#include "sim/SimBoard.h"

namespace tessaro::cli {

struct SimBoardEnd;

struct PortChoice {
  uint32_t number = 1;                   // the COM number the link opens
  PortOpener opener;                     // opens the device behind it
  std::shared_ptr<sim::SimBoard> board;  // the simulated board of a sim: port
  std::string name;                      // as the user named it, for messages
  std::string path;                      // the device path when the user gave one
  // Ends the simulated board when the last copy goes, unless EndSimBoard did; what could not
  // be written is reported on stderr then.
  std::shared_ptr<SimBoardEnd> boardEnd;
};

// False with a message when the text names no port (or a sim: port's board cannot be made,
// e.g. its state file is unreadable or malformed).
bool ResolvePort(const std::optional<std::string>& text, PortChoice& port, std::string& error);

// Gives the link the port's opener and, for a device path, the name its messages use.
void AttachPort(SerialPort& link, const PortChoice& port);

// Ends the simulated board of a sim: port now: writes its state file and memory dumps. Returns
// what could not be written. Does nothing for other ports or a board already ended.
std::vector<std::string> EndSimBoard(PortChoice& port);

// The violations of every simulated board that has ended in this process (what a correct host
// never does; each is also written to stderr when its board ends).
std::vector<std::string> SimBoardViolations();

// Set to 1 (the CLI tests do), any violation of a simulated board fails the command with
// kExitSimViolations, whatever the command itself returned.
inline constexpr const char* kSimStrictVariable = "TESSARO_SIM_STRICT";
inline constexpr int kExitSimViolations = 5;
bool StrictSimBoards();

// "--chip=X,--interface=usb" as tessaro-sim arguments; items may leave out the leading "--".
std::vector<std::string> SimArguments(std::string_view options);

}  // namespace tessaro::cli
