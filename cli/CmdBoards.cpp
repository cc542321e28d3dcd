// tessaro-cli boards: loads the board definitions of the configuration folder as start-up does
// and lists the boards in list order.
//
// Exit code 0 when the folder yielded boards and no problems; 1 when it yielded none or the
// error text is not empty (the cases in which the desktop program shows its "Board
// Definition" message box at start-up); 2 for usage errors.
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "cli/Cli.h"
#include "common/Json.h"
#include "definitions/BoardDefinition.h"

namespace tessaro::cli {
namespace {

void WriteBoardJson(JsonWriter& json, const BoardDefinition& board) {
  json.BeginObject()
      .Field("name", board.name)
      .Field("fileName", board.fileName)
      .Field("hasErrors", board.hasErrors)
      .Field("duplicateName", board.duplicateName);
  json.Key("config");
  if (board.config.chip) {
    json.String(FormatBoardConfig(board.config));
  } else {
    json.Null();
  }
  json.Field("usbCrystal", board.usbCrystal).Field("security", board.security);
  json.Key("userDefines").BeginArray();
  for (const std::string& define : board.userDefines) json.String(define);
  json.EndArray();
  json.Field("dfDevice", board.dfDevice)
      .Field("qspiDevice", board.qspiDevice)
      .Field("mpQspiDevice", board.mpQspiDevice)
      .Field("nandDevice", board.nandDevice)
      .Field("dualQspi", board.dualQspi)
      .Field("qspiSingleBit", board.qspiSingleBit)
      .Field("mpQspiSingleBit", board.mpQspiSingleBit)
      .Field("spiSramQuad", board.spiSramQuad)
      .Field("enforceMc", board.enforceMc)
      .Field("spiSramMhz", board.spiSramMhz)
      .Field("spiSramCsHigh", board.spiSramCsHigh)
      .Field("flashDevices", board.flashDevices)
      .Field("flashDeviceNames", board.flashDeviceNames)
      .Field("legacyName", board.legacyName)
      .Field("spiSramFamily", board.spiSramFamily)
      .Field("dfEnable", FormatPinList(board.dfEnable))
      .Field("dfDisable", FormatPinList(board.dfDisable))
      .Field("filePath", board.filePath)
      .Field("description", BoardDescription(board))
      .EndObject();
}

// The description's "\r\n" line ends as terminal lines, indented under the board.
std::string IndentDescription(const std::string& description) {
  std::string text = "    ";
  for (size_t i = 0; i < description.size(); ++i) {
    if (description[i] == '\r' && i + 1 < description.size() && description[i + 1] == '\n') continue;
    text.push_back(description[i]);
    if (description[i] == '\n') text += "    ";
  }
  return text + "\n";
}

std::string BoardText(const BoardDefinition& board) {
  std::string text = BoardChoiceName(board);
  if (board.hasErrors) text += "  [has errors: not offered]";
  text += "\n  file:   " + board.filePath + "\n";
  text += "  config: " + (board.config.chip ? FormatBoardConfig(board.config) : std::string("(no chip)")) + "\n";
  const std::string description = BoardDescription(board);
  if (!description.empty()) text += IndentDescription(description);
  return text;
}

int RunBoards(std::vector<std::string>& rawArgs) {
  ArgReader args("boards", rawArgs);
  args.Flag("json").Option("config");
  if (!args.Parse()) return args.ParseExit();
  if (!args.Positional().empty()) return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
  const std::string folder = ResolveFolders(args).config;

  BoardList list;
  std::string errors;
  const int count = LoadBoardFolder(list, folder, errors);
  if (count == 0) errors += "No Board-Definitions found in " + folder;

  if (!errors.empty()) {
    std::string shown = errors;
    if (shown.back() != '\n') shown += "\n";
    WriteErr(shown);
  }
  if (args.Has("json")) {
    JsonWriter json;
    json.BeginObject().Field("count", count).Field("errors", errors);
    json.Key("boards").BeginArray();
    for (const BoardDefinition& board : list) WriteBoardJson(json, board);
    json.EndArray().EndObject();
    WriteOut(json.Finish());
  } else {
    std::string text;
    for (const BoardDefinition& board : list) text += BoardText(board);
    WriteOut(text);
  }
  return count > 0 && errors.empty() ? kExitOk : kExitFailed;
}

const CommandRegistration kRegistration("boards", "boards [--config DIR] [--json]", RunBoards);

}  // namespace
}  // namespace tessaro::cli
