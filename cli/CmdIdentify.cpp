// tessaro-cli identify: which chip answers on a port, and for a 9xxx chip which memories its
// strapping selects.
#include "chips/BoardConfig.h"
#include "cli/Cli.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "link/SerialPort.h"

namespace tessaro::cli {
namespace {

const char* MemoryKindName(uint32_t kind) {
  switch (kind) {
    case EXT_NONE: return "none";
    case EXT_MEM: return "MEM";
    case EXT_SDRAM: return "SDRAM";
    case EXT_NOR: return "NOR";
    case EXT_NAND: return "NAND";
    case EXT_QSRAM: return "QSRAM";
    case EXT_QNOR: return "QNOR";
    default: return "?";
  }
}

int RunIdentify(std::vector<std::string>& argv) {
  ArgReader args("identify", argv);
  args.Option("port").Flag("double-baud").Flag("json");
  if (!args.Parse()) return args.ParseExit();
  if (!args.Positional().empty()) return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
  if (!args.Has("port")) return args.UsageError("--port is required");
  PortChoice port;
  std::string error;
  if (!ResolvePort(args.Value("port"), port, error)) return args.UsageError(error);

  TerminalPrompt prompt;
  SerialPort link;
  AttachPort(link, port);
  link.SetPrompt(&prompt);
  const ChipInfo* chip = link.ProbePort(nullptr, port.number, args.Has("double-baud"));
  const bool nine = chip && chip->familyCode == FAMILY_9XXX;
  if (nine) {
    // Prepare the memory interface the strapping selects, which also reads the package.
    BoardConfig config = link.config();
    (void)link.Connect(nullptr, 0, false, config);
  }
  const BoardConfig& config = link.config();

  if (args.Has("json")) {
    JsonWriter json;
    json.BeginObject();
    json.Key("chip");
    chip ? json.String(chip->name) : json.Null();
    json.Key("ext1Kind");
    nine ? json.Unsigned(config.ext1Kind) : json.Null();
    json.Key("ext2Kind");
    nine ? json.Unsigned(config.ext2Kind) : json.Null();
    json.Key("ext2OnCs1");
    nine ? json.Bool(config.ext2OnCs1) : json.Null();
    json.Field("chipDescription", link.chipDescription());
    json.Field("interfaceRevision", static_cast<unsigned>(link.interfaceRevision()));
    json.Field("transportMode", link.transportMode());
    json.EndObject();
    WriteOut(json.Finish());
  } else if (chip) {
    std::string text = std::string("Chip: ") + chip->name + "\n";
    text += "Transport mode: " + std::to_string(link.transportMode());
    if (link.interfaceRevision() != 0)
      text += " (USB interface revision " + std::to_string(link.interfaceRevision()) + ")";
    text += "\n";
    if (nine) {
      text += std::string("Memory: ext1 ") + MemoryKindName(config.ext1Kind) + ", ext2 " +
              MemoryKindName(config.ext2Kind) + (config.ext2OnCs1 ? " on CS1" : "") + "\n";
      text += "Description: " + link.chipDescription() + "\n";
    }
    WriteOut(text);
  }
  link.CloseLink(true);
  const std::vector<std::string> boardErrors = EndSimBoard(port);
  for (const std::string& message : boardErrors) WriteErr("tessaro-cli identify: " + message + "\n");
  if (!chip) {
    // Probing finds a 73xx only through a USB interface that reports the missing answer; on a
    // plain serial line it links only when the chip is named.
    WriteErr("tessaro-cli identify: no chip answers on " + port.name +
             "\n(a 73xx chip on a plain serial line is not found by probing: name it with --board or"
             " --config-string in program or verify)\n");
    return kExitFailed;
  }
  return boardErrors.empty() ? kExitOk : kExitFailed;
}

const CommandRegistration kIdentify("identify", "identify --port PORT [--double-baud] [--json]", RunIdentify);

}  // namespace
}  // namespace tessaro::cli
