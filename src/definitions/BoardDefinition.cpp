#include "definitions/BoardDefinition.h"

#include <climits>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "common/Text.h"
#include "definitions/DefinitionReader.h"
#include "platform/Files.h"

namespace tessaro {

namespace {

// The leading decimal number of a text as C's atoi reads it: optional white space and sign,
// then digits, the rest ignored; 0 without digits. Saturates instead of overflowing.
int32_t LeadingNumber(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  int64_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos++] - '0');
    if (value > INT32_MAX) value = int64_t{INT32_MAX} + 1;  // stays out of every accepted range
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

struct FlashDeviceAlias {
  std::string alias;
  std::string device;
};

// Everything one file's parse keeps: the current section and board, the alias table and
// whether an error line has been written for the file yet.
class BoardFileParser {
 public:
  BoardFileParser(BoardList& list, const std::string& path, std::string& errorText)
      : list_(list), path_(path), fileName_(BaseName(path)), errorText_(errorText) {}

  int Parse(LineFile& lines) {
    while (std::optional<std::string_view> line = lines.NextLine()) HandleLine(*line);
    EndBoard();
    return boardCount_;
  }

 private:
  void HandleLine(std::string_view line) {
    // A comment runs from the first ';'; the blanks in front of it go with it. Leading blanks
    // stay: an indented line is never a header and never a recognised key.
    if (size_t semicolon = line.find(';'); semicolon != std::string_view::npos) {
      line = TrimTrailingBlanks(line.substr(0, semicolon));
    }
    if (line.empty()) return;
    if (line.front() == '[') {
      HandleHeader(line);
      return;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view key = TrimTrailingBlanks(line.substr(0, equals));
    std::string_view value = line.substr(equals + 1);
    while (!value.empty() && static_cast<unsigned char>(value.front()) >= 0x01 &&
           static_cast<unsigned char>(value.front()) <= 0x20) {
      value.remove_prefix(1);
    }
    if (value.empty()) return;
    if (EqualsNoCase(section_, "$FLASHDEVICES")) {
      HandleAlias(key, value);
    } else {
      HandleBoardKey(key, value);
    }
  }

  void HandleHeader(std::string_view line) {
    EndBoard();
    section_.clear();
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return;  // keys that follow belong to no board
    section_ = std::string(line.substr(1, std::min(close - 1, kMaxBoardNameLength)));
    if (!section_.empty() && section_.front() == '$') return;

    BoardDefinition& board = list_.Append(section_);
    board.filePath = path_;
    board.fileName = fileName_;
    (void)ParseBoardConfig(board.config, board.name);
    board_ = &board;
    ++boardCount_;
  }

  // A board that names no chip cannot be linked with: it is reported and left out of the
  // board choice rather than handed to the link without a chip.
  void EndBoard() {
    if (board_ && !board_->config.chip) {
      BeginErrorLine();
      errorText_ += "No chip named by the section name or CONFIG\r\n";
    }
    board_ = nullptr;
  }

  void HandleAlias(std::string_view alias, std::string_view device) {
    for (const FlashDeviceAlias& entry : aliases_) {
      if (!EqualsNoCase(entry.alias, alias)) continue;
      if (!EqualsNoCase(entry.device, device)) ErrorLine(alias, device);
      return;
    }
    aliases_.push_back({std::string(alias), std::string(device)});
  }

  std::string ResolveAlias(std::string_view name) const {
    for (const FlashDeviceAlias& entry : aliases_) {
      if (EqualsNoCase(entry.alias, name)) return entry.device;
    }
    return std::string(name);
  }

  void HandleBoardKey(std::string_view key, std::string_view value) {
    // The range checks report bad values even where no board is open.
    if (EqualsNoCase(key, "SpiSramMhz")) {
      const int32_t mhz = LeadingNumber(value);
      if (mhz < 10 || mhz > 200) {
        errorText_ += "Invalid SPI RAM Speed:\r\n";
        ErrorLine(key, value);
      } else if (board_) {
        board_->spiSramMhz = mhz;
      }
      return;
    }
    if (EqualsNoCase(key, "SpiSramCsHigh")) {
      const int32_t csHigh = LeadingNumber(value);
      if (csHigh > 35) {
        errorText_ += "Invalid SPI RAM ChHigh:\r\n";
        ErrorLine(key, value);
      } else if (board_) {
        board_->spiSramCsHigh = csHigh;
      }
      return;
    }
    if (!board_) return;
    BoardDefinition& board = *board_;
    const std::string text(value);

    if (EqualsNoCase(key, "CONFIG")) {
      (void)ParseBoardConfig(board.config, text);
    } else if (EqualsNoCase(key, "LEGACYNAME")) {
      board.legacyName = text;
    } else if (EqualsNoCase(key, "SECURITY")) {
      board.security = ParseOnOff(text);
    } else if (EqualsNoCase(key, "USBCRYSTAL")) {
      board.usbCrystal = ParseOnOff(text);
    } else if (EqualsNoCase(key, "FlashDevice")) {
      if (!board.flashDevices.empty()) {
        board.flashDevices += '/';
        board.flashDeviceNames += '/';
      }
      board.flashDevices += ResolveAlias(text);
      board.flashDeviceNames += text;
    } else if (EqualsNoCase(key, "DfDevice")) {
      board.dfDevice = text;
    } else if (EqualsNoCase(key, "DfEnable")) {
      if (!ParsePinList(text, board.dfEnable)) ErrorLine(key, value);
    } else if (EqualsNoCase(key, "DfDisable")) {
      if (!ParsePinList(text, board.dfDisable)) ErrorLine(key, value);
    } else if (EqualsNoCase(key, "NandDevice")) {
      board.nandDevice = text;
    } else if (EqualsNoCase(key, "QspiDevice")) {
      board.qspiDevice = text;
    } else if (EqualsNoCase(key, "DualQspi") || EqualsNoCase(key, "QspiDual")) {
      board.dualQspi = ParseOnOff(text);
    } else if (EqualsNoCase(key, "QspiSingleBit")) {
      board.qspiSingleBit = ParseOnOff(text);
    } else if (EqualsNoCase(key, "GpQspiDevice") || EqualsNoCase(key, "MpQspiDevice")) {
      board.mpQspiDevice = text;
    } else if (EqualsNoCase(key, "GpQspiSingleBit") || EqualsNoCase(key, "MpQspiSingleBit")) {
      board.mpQspiSingleBit = ParseOnOff(text);
    } else if (EqualsNoCase(key, "SpiSramFamily")) {
      board.spiSramFamily = AsciiUpper(text);
    } else if (EqualsNoCase(key, "SpiSramQuad")) {
      board.spiSramQuad = ParseOnOff(text);
    } else if (EqualsNoCase(key, "EnforceMC")) {
      board.enforceMc = ParseOnOff(text);
    } else if (EqualsNoCase(key, "UserDefines")) {
      std::string_view rest = value;
      for (;;) {
        const size_t comma = rest.find(',');
        std::string item;
        for (char c : rest.substr(0, comma)) {
          if (!IsBlank(c)) item.push_back(c);
        }
        if (!item.empty()) board.userDefines.push_back(std::move(item));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    }
  }

  // The path line for the file's first error, then the board part when a board is open
  // (marking it).
  void BeginErrorLine() {
    if (!anyError_) {
      errorText_ += path_ + ":\r\n";
      anyError_ = true;
    }
    if (board_) {
      errorText_ += "[" + board_->name + "]: ";
      board_->hasErrors = true;
    }
  }

  void ErrorLine(std::string_view key, std::string_view value) {
    BeginErrorLine();
    errorText_.append(key).append("=").append(value).append("\r\n");
  }

  BoardList& list_;
  const std::string& path_;
  const std::string fileName_;
  std::string& errorText_;
  std::string section_;
  BoardDefinition* board_ = nullptr;
  std::vector<FlashDeviceAlias> aliases_;
  int boardCount_ = 0;
  bool anyError_ = false;
};

}  // namespace

int32_t ParseOnOff(std::string_view text) {
  if (EqualsNoCase(text, "ON") || EqualsNoCase(text, "YES") || text == "1") return ONOFF_ON;
  if (EqualsNoCase(text, "OFF") || EqualsNoCase(text, "NO") || text == "0") return ONOFF_OFF;
  return ONOFF_UNSET;
}

BoardDefinition& BoardList::Append(std::string name) {
  BoardDefinition& board = boards_.emplace_back();
  board.name = std::move(name);
  for (BoardDefinition& other : boards_) {
    if (&other != &board && EqualsNoCase(other.name, board.name)) {
      other.duplicateName = true;
      board.duplicateName = true;
    }
  }
  return board;
}

const BoardDefinition* BoardList::Find(std::string_view name) const {
  for (const BoardDefinition& board : boards_) {
    if (EqualsNoCase(board.name, name)) return &board;
  }
  return nullptr;
}

BoardList& ProgramBoardList() {
  static BoardList list;
  return list;
}

int ParseBoardText(BoardList& list, const std::string& path, std::string_view bytes, std::string& errorText) {
  LineFile lines;
  lines.LoadBytes(bytes);
  return BoardFileParser(list, path, errorText).Parse(lines);
}

int ParseBoardFile(BoardList& list, const std::string& path, std::string& errorText) {
  LineFile lines;
  if (!lines.Load(path)) {
    errorText += "Unable to read " + path + "\r\n";
    return 0;
  }
  return BoardFileParser(list, path, errorText).Parse(lines);
}

int LoadBoardFolder(BoardList& list, const std::string& folder, std::string& errorText) {
  std::string base = folder;
  if (base.empty()) {
    std::error_code error;
    base = std::filesystem::current_path(error).string();
  }
  int count = 0;
  for (const std::string& name : ListFolder(base, "BDL")) {
    if (ParseBoardFile(list, JoinPath(base, name), errorText) > 0) ++count;
  }
  return count;
}

int LoadBoardFolder(const std::string& folder, std::string& errorText) {
  return LoadBoardFolder(ProgramBoardList(), folder, errorText);
}

void FreeBoardList() { ProgramBoardList().Free(); }

std::string BoardDescription(const BoardDefinition& board) {
  std::string text;
  const auto part = [&text](const std::string& line) {
    if (!text.empty()) text += "\r\n";
    text += line;
  };
  if (!board.flashDeviceNames.empty()) {
    part("Parallel NOR: " + board.flashDeviceNames + " (" + board.flashDevices + ")");
  }
  if (!board.qspiDevice.empty()) {
    part(std::string(board.dualQspi == ONOFF_ON ? "Dual QSPI NOR: " : "Single QSPI NOR: ") +
         (board.qspiSingleBit == ONOFF_ON ? "(1Bit) " : "") + board.qspiDevice);
  }
  if (!board.mpQspiDevice.empty()) {
    part(std::string("Multi Purpose QSPI NOR: ") + (board.mpQspiSingleBit == ONOFF_ON ? "(1Bit) " : "") +
         board.mpQspiDevice);
  }
  if (!board.dfDevice.empty()) {
    std::string line = "SPI Flash: " + board.dfDevice;
    if (board.dfEnable.count > 0) line += " @ " + FormatPinList(board.dfEnable);
    part(line);
  }
  const ChipInfo* chip = board.config.chip;
  if (chip && chip->familyCode == FAMILY_9XXX && board.config.ext1Kind == EXT_QSRAM) {
    std::string line = board.spiSramQuad == ONOFF_ON ? "QSPI SRAM: " : "Single SPI SRAM: ";
    if (!board.spiSramFamily.empty()) line += board.spiSramFamily + " ";
    line += std::to_string(board.spiSramMhz) + " MHz";
    part(line);
  }
  return text;
}

std::string BoardChoiceName(const BoardDefinition& board) {
  return board.duplicateName ? board.name + "(" + board.fileName + ")" : board.name;
}

}  // namespace tessaro
