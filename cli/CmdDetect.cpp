// tessaro-cli detect: identifies the chip on a board without a definition, scans its memory
// windows for flash devices and the DataFlash on P7.15, and writes the board definition text
// the desktop program's "Create BDL from Autodetect" dialog would save.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "cli/Cli.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "flash/DriverImage.h"
#include "link/SerialPort.h"
#include "tools/Autodetect.h"

namespace tessaro::cli {
namespace {

const char* FamilyName(int32_t family) {
  switch (family) {
    case FAMILY_QSPI: return "qspi";
    case FAMILY_NAND: return "nand";
    case FAMILY_SERIAL: return "serial";
    default: return "parallel";
  }
}

std::string DeviceList(const std::vector<DetectedDevice>& devices) {
  std::string list;
  for (size_t i = 0; i < devices.size(); ++i)
    list += "  " + std::to_string(i + 1) + ") " + DetectedDeviceText(devices[i]) + "\n";
  return list;
}

// A device number as the user types it: decimal digits only; 0 for anything else.
size_t DeviceNumber(const std::string& text) {
  size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() ? number : 0;
}

// How several found devices are told apart: --device N, else a question on a terminal, else
// nobody can choose and the command says how to.
struct DeviceChoice {
  std::optional<size_t> given;  // 1-based, from --device
  bool outOfRange = false;
  bool unanswerable = false;

  int operator()(const std::vector<DetectedDevice>& devices) {
    if (given) {
      if (*given >= 1 && *given <= devices.size()) return static_cast<int>(*given - 1);
      outOfRange = true;
      return -1;
    }
    if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) {
      unanswerable = true;
      return -1;
    }
    WriteErr("Select Device:\n" + DeviceList(devices) + "Number (empty to cancel): ");
    std::string line;
    if (!std::getline(std::cin, line)) return -1;
    const size_t number = DeviceNumber(line);
    return number >= 1 && number <= devices.size() ? static_cast<int>(number - 1) : -1;
  }
};

int RunDetect(std::vector<std::string>& argv) {
  ArgReader args("detect", argv);
  args.Option("port", "the board's port (COMn, a device path or sim:OPTIONS)")
      .Option("title", "the board title of the new definition")
      .Option("chip", "the chip to write (a chip of the detected family; default: the detected one)")
      .Option("device", "which of several found devices to take (1, 2, ...)")
      .Option("output", "write the definition to FILE instead of printing it", "o")
      .Flag("force", "replace an existing FILE")
      .Option("config", "folder of the board definitions")
      .Option("drivers", "folder of the device descriptions")
      .Flag("double-baud", "switch the link to the higher baud rate")
      .Flag("json", "print the result as a JSON object");
  if (!args.Parse()) return args.ParseExit();
  if (!args.Positional().empty()) return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
  if (!args.Has("port")) return args.UsageError("--port is required");
  const bool json = args.Has("json");
  const std::string title = args.ValueOr("title", "");
  const std::string output = args.ValueOr("output", "");
  if (args.Has("output") && output.empty()) return args.UsageError("-o needs a FILE");
  // The dialog does not save a definition without a title.
  if (!output.empty() && title.empty())
    return args.UsageError(std::string(kNoTitleSet) + " (-o FILE needs --title TEXT)");
  if (!output.empty() && !args.Has("force") && std::filesystem::exists(output))
    return args.UsageError(output + " exists (--force replaces it)");
  DeviceChoice choice;
  if (auto text = args.Value("device")) {
    const size_t number = DeviceNumber(*text);
    if (number == 0) return args.UsageError("--device takes a number from 1 ('" + *text + "')");
    choice.given = number;
  }
  const ChipInfo* namedChip = nullptr;
  if (auto name = args.Value("chip")) {
    namedChip = FindChipByName(*name);
    if (namedChip == nullptr) return args.UsageError("unknown chip '" + *name + "'");
  }
  PortChoice port;
  std::string error;
  if (!ResolvePort(args.Value("port"), port, error)) return args.UsageError(error);

  const DataFolders folders = ResolveFolders(args);
  SetDriverImageFolder(folders.drivers);
  DeviceCatalogue catalogue;
  std::string catalogueErrors;
  if (!LoadDriverFolder(catalogue, folders.drivers, catalogueErrors) && !json)
    WriteErr("Error(s) in Driver Description:\n" + TerminalText(catalogueErrors) + "\n");

  InterruptScope interrupts;
  Questions questions(Answers::No);
  CliPrompt prompt(questions);
  SerialPort link;
  AttachPort(link, port);
  link.SetPrompt(&prompt);
  TerminalProgress progress(false);
  BoardConfig config = InitBoardConfig();
  CliHost host(link, config, progress, port.number, args.Has("double-baud"), 0, questions);
  AutodetectResult result = RunAutodetect(host, catalogue, std::ref(choice));
  link.CloseLink(true);
  const std::vector<std::string> boardErrors = EndSimBoard(port);

  // The dialog's CPU list: a chip of the detected family.
  int exitCode = kExitOk;
  std::string failure = result.message;
  if (result.detected && namedChip != nullptr) {
    const std::vector<const ChipInfo*> chips = ChipChoices(result.draft.config);
    if (std::find(chips.begin(), chips.end(), namedChip) == chips.end()) {
      std::string names;
      for (const ChipInfo* chip : chips) names += std::string(names.empty() ? "" : ", ") + chip->name;
      failure = std::string("--chip ") + namedChip->name + " is not of the detected chip's family (" + names + ")";
      exitCode = kExitUsage;
    } else {
      result.draft.config.chip = namedChip;
    }
  }
  if (choice.outOfRange) {
    failure = "--device " + std::to_string(*choice.given) + ": " + std::to_string(result.devices.size()) +
              " devices were found\n" + DeviceList(result.devices);
    exitCode = kExitUsage;
  } else if (choice.unanswerable) {
    failure = std::to_string(result.devices.size()) + " devices were found; choose one with --device N\n" +
              DeviceList(result.devices);
    exitCode = kExitUsage;
  } else if (result.cancelled) {
    failure = "Cancelled by Ctrl-C: " + failure;
    exitCode = kExitAborted;
  } else if (!result.detected && exitCode == kExitOk) {
    exitCode = kExitFailed;
  }
  result.draft.title = title;
  const std::string text = result.detected ? BuildBdlText(result.draft) : "";

  // Written only when everything else went right.
  std::string saved;
  if (exitCode == kExitOk && !output.empty()) {
    if (!SaveBdlFile(output, text)) {
      failure = "cannot write " + output;
      exitCode = kExitFailed;
    } else {
      saved = output;
    }
  }
  // The board a later --board TITLE takes: the first of that name in the config folder.
  std::string boardNote;
  if (!saved.empty()) {
    BoardList boards;
    std::string loadErrors;
    (void)LoadBoardFolder(boards, folders.config, loadErrors);
    const BoardDefinition* selected = BoardToSelect(boards, title, "");
    if (selected != nullptr &&
        std::filesystem::weakly_canonical(selected->fileName) != std::filesystem::weakly_canonical(saved))
      boardNote =
          "note: --board '" + title + "' picks the board '" + selected->name + "' of " + selected->fileName + " first";
  }
  for (const std::string& message : boardErrors) {
    failure += (failure.empty() ? "" : "\n") + message;
    if (exitCode == kExitOk) exitCode = kExitFailed;
  }

  if (json) {
    JsonWriter out;
    out.BeginObject();
    out.Field("ok", exitCode == kExitOk);
    out.Key("chip");
    result.chip ? out.String(result.chip->name) : out.Null();
    out.Key("id");
    result.idText.empty() ? out.Null() : out.String(result.idText);
    out.Key("devices").BeginArray();
    for (const DetectedDevice& device : result.devices) {
      out.BeginObject();
      out.Field("window", device.window);
      out.Field("address", HexFixed(device.address, 8));
      out.Field("name", device.description ? DeviceFullName(*device.description) : std::string());
      out.Field("family", FamilyName(device.description ? device.description->family : FAMILY_PARALLEL));
      out.EndObject();
    }
    out.EndArray();
    out.Key("chosen");
    result.chosen >= 0 ? out.Number(result.chosen + 1) : out.Null();
    out.Field("dual", result.draft.dual);
    out.Field("multiPurpose", result.draft.multiPurpose);
    out.Key("dfDevice");
    result.draft.dfDevice ? out.String(result.draft.dfDevice->name) : out.Null();
    out.Key("dfEnable");
    result.draft.dfEnable.empty() ? out.Null() : out.String(result.draft.dfEnable);
    out.Key("config");
    result.detected ? out.String(FormatBoardConfig(result.draft.config)) : out.Null();
    out.Key("bdl");
    result.detected ? out.String(text) : out.Null();
    out.Key("file");
    saved.empty() ? out.Null() : out.String(saved);
    out.Key("error");
    failure.empty() ? out.Null() : out.String(failure);
    if (!boardNote.empty()) out.Field("note", boardNote);
    out.EndObject();
    WriteOut(out.Finish());
  } else {
    if (exitCode == kExitOk && saved.empty()) WriteOut(TerminalText(text) + "\n");
    if (!saved.empty()) WriteErr("wrote " + saved + "\n");
    if (!boardNote.empty()) WriteErr(boardNote + "\n");
    if (!failure.empty()) WriteErr("tessaro-cli detect: " + TerminalText(failure) + "\n");
  }
  return exitCode;
}

const CommandRegistration kDetect("detect",
                                  "detect --port PORT [--title TEXT] [--chip NAME] [--device N] [-o FILE] [--force] "
                                  "[--config DIR] [--drivers DIR] [--json]",
                                  RunDetect);

}  // namespace
}  // namespace tessaro::cli
