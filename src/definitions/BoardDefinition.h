// Board definition files (*.BDL) and the program-wide board list.
//
// A board definition names the chip and its configuration string, and the external flash and
// SRAM devices wired to it. One file may hold several boards, one per section:
//
//   [$FLASHDEVICES]            ; aliases for FlashDevice, valid in this file only
//   NOR1 = S29GL128S
//   [LYR9468 Demo Board]       ; the section name is parsed as a configuration string
//   CONFIG = LYR9468 FLASH(32k)+EXTNOR(16M,8/4WS)
//   FlashDevice = NOR1
//   QspiDevice = W25Q128JV
//
// Problems never stop loading: they are appended as lines to the caller's error text, and a
// board named by an error line is marked hasErrors (the board choice leaves it out).
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "chips/BoardConfig.h"
#include "definitions/PinList.h"

namespace tessaro {

// On/off values of board keys.
inline constexpr int32_t ONOFF_UNSET = 0;  // not recognised, or absent where the default is 0
inline constexpr int32_t ONOFF_ON = 1;
inline constexpr int32_t ONOFF_OFF = 2;

// "ON", "YES", "1" -> ONOFF_ON; "OFF", "NO", "0" -> ONOFF_OFF (any case); else ONOFF_UNSET.
int32_t ParseOnOff(std::string_view text);

// Longest board name kept from a section header, in bytes.
inline constexpr size_t kMaxBoardNameLength = 127;

struct BoardDefinition {
  BoardConfig config{};  // section name, then CONFIG; all zero (no chip) before that
  bool hasErrors = false;
  bool duplicateName = false;  // another board of the list has the same name
  int32_t usbCrystal = ONOFF_UNSET;
  int32_t security = ONOFF_UNSET;
  std::vector<std::string> userDefines;
  std::string dfDevice;
  std::string qspiDevice;
  std::string mpQspiDevice;
  std::string nandDevice;
  int32_t dualQspi = ONOFF_OFF;
  int32_t qspiSingleBit = ONOFF_OFF;
  int32_t mpQspiSingleBit = ONOFF_ON;
  int32_t spiSramQuad = ONOFF_OFF;
  int32_t enforceMc = ONOFF_OFF;
  int32_t spiSramMhz = 16;
  int32_t spiSramCsHigh = 10;
  std::string flashDevices;      // FlashDevice values after alias resolution, joined by '/'
  std::string flashDeviceNames;  // FlashDevice values as written, joined by '/'
  std::string legacyName;
  std::string spiSramFamily;  // upper case
  PinList dfEnable;
  PinList dfDisable;
  std::string filePath;  // the file that defines the board
  std::string fileName;  // filePath after its last '/'
  std::string name;      // the section name, at most 127 bytes
};

// The boards in the order they were read (files in folder-listing order, boards in file
// order). Records stay at their address until the list is freed, so the window may keep a
// pointer to the selected one until the next reload.
class BoardList {
 public:
  using const_iterator = std::list<BoardDefinition>::const_iterator;

  const_iterator begin() const { return boards_.begin(); }
  const_iterator end() const { return boards_.end(); }
  size_t size() const { return boards_.size(); }
  bool empty() const { return boards_.empty(); }

  // Appends a board named `name`; it and every board of the same name (ignoring case) get
  // duplicateName.
  BoardDefinition& Append(std::string name);
  // First board of that name (ignoring case), or null.
  const BoardDefinition* Find(std::string_view name) const;
  // Destroys every board.
  void Free() { boards_.clear(); }

 private:
  std::list<BoardDefinition> boards_;
};

// The program's board list, filled at start-up.
BoardList& ProgramBoardList();

// Parses every *.BDL file of `folder` (the working directory when empty), in listing order,
// appending the boards to `list` without clearing it first. Returns the number of files that
// yielded at least one board. A folder without such files adds no message; the caller reports
// "No Board-Definitions found in " and the folder.
int LoadBoardFolder(BoardList& list, const std::string& folder, std::string& errorText);
int LoadBoardFolder(const std::string& folder, std::string& errorText);  // ProgramBoardList()

// Parses one file; returns the number of boards it created (0 when it cannot be read, with
// "Unable to read " + path + "\r\n" appended).
int ParseBoardFile(BoardList& list, const std::string& path, std::string& errorText);
// The same on a file's content already in memory; `path` names the file in records and
// messages.
int ParseBoardText(BoardList& list, const std::string& path, std::string_view bytes, std::string& errorText);

// Destroys every board of the program's list.
void FreeBoardList();

// The window's board information: parallel NOR, QSPI, multi-purpose QSPI, SPI flash and (9xxx
// with QSPI SRAM) SPI SRAM lines, "\r\n" between them; "" when the board has none of them.
std::string BoardDescription(const BoardDefinition& board);

// How the board choice names a board: the name, followed by "(" file name ")" when another
// board has the same name.
std::string BoardChoiceName(const BoardDefinition& board);

}  // namespace tessaro
