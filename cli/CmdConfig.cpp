// tessaro-cli config: reads configuration strings as a board definition or the settings would,
// and shows the record, its text form and the boot register values derived from it.
#include <string>

#include "chips/BoardConfig.h"
#include "cli/Cli.h"
#include "common/Json.h"
#include "common/Text.h"

namespace tessaro::cli {
namespace {

const char* ModeName(uint32_t mode) {
  static const char* const names[] = {"INTRAM", "COM", "FLASH", "FLASH+INTRAM", "FLASH+EXT", "CACHE"};
  return mode < 6 ? names[mode] : "?";
}

void WriteRecord(JsonWriter& json, const std::string& input, const BoardConfig& c, const ConfigParseResult& result) {
  json.BeginObject();
  json.Field("input", input);
  json.Field("ok", result.ok);
  json.Key("stop");
  result.ok ? json.Null() : json.Unsigned(result.stop);
  json.Field("formatted", FormatBoardConfig(c));
  json.Key("chip");
  c.chip ? json.String(c.chip->name) : json.Null();
  json.Field("mode", c.mode);
  json.Field("ext1Kind", c.ext1Kind).Field("ext1Size", c.ext1Size).Field("ext2Kind", c.ext2Kind);
  json.Field("ext2Size", c.ext2Size).Field("nandOrHost", c.nandOrHost).Field("timing", c.timing);
  json.Field("mem200", c.mem200).Field("osc2", c.osc2).Field("internalSplit", c.internalSplit);
  json.Field("internalExtra", c.internalExtra).Field("sdram", c.sdram);
  json.Field("ext1WaitA", c.ext1WaitA).Field("ext2WaitA", c.ext2WaitA);
  json.Field("ext1WaitB", c.ext1WaitB).Field("ext2WaitB", c.ext2WaitB);
  json.Field("ext1Xio", c.ext1Xio).Field("ext2Xio", c.ext2Xio).Field("ext2OnCs1", c.ext2OnCs1);
  json.Field("ext2First", c.ext2First).Field("host", c.host).Field("sync", c.sync).Field("noSdrInit", c.noSdrInit);
  json.Field("memoryConfigWord", static_cast<unsigned>(MemoryConfigWord(c)));
  json.Key("registers").BeginObject();
  for (uint32_t reg : kConfigRegisters)
    json.Field(std::to_string(reg), static_cast<unsigned>(ConfigRegisterValue(c, reg)));
  json.EndObject();
  json.EndObject();
}

std::string Describe(const std::string& input, const BoardConfig& c, const ConfigParseResult& result) {
  std::string text = "input:     " + input + "\n";
  text += "parsed:    " + (result.ok ? std::string("ok") : "stopped at offset " + std::to_string(result.stop)) + "\n";
  text += "formatted: " + FormatBoardConfig(c) + "\n";
  text += "chip:      " + std::string(c.chip ? c.chip->name : "(none)") + ", mode " + ModeName(c.mode) + "\n";
  text += "memory configuration word: " + HexFixed(MemoryConfigWord(c), 4) + "\n";
  if (c.chip && c.chip->familyCode == FAMILY_9XXX) {
    text += "registers:";
    for (uint32_t reg : kConfigRegisters)
      text += " " + std::to_string(reg) + "=" + HexFixed(ConfigRegisterValue(c, reg), 4);
    text += "\n";
  }
  return text;
}

int Run(std::vector<std::string>& argv) {
  ArgReader args("config", argv);
  args.Flag("json");
  if (!args.Parse()) return args.ParseExit();
  if (args.Positional().empty()) return args.UsageError("no configuration string given");
  bool allOk = true;
  JsonWriter json;
  json.BeginArray();
  std::string text;
  for (const std::string& input : args.Positional()) {
    BoardConfig config = InitBoardConfig();
    ConfigParseResult result = ParseBoardConfig(config, input);
    allOk = allOk && result.ok;
    if (args.Has("json")) {
      WriteRecord(json, input, config, result);
    } else {
      if (!text.empty()) text += "\n";
      text += Describe(input, config, result);
    }
  }
  json.EndArray();
  WriteOut(args.Has("json") ? json.Finish() : text);
  return allOk ? kExitOk : kExitFailed;
}

const CommandRegistration registration("config", "config [--json] TEXT...   read board configuration strings", Run);

}  // namespace
}  // namespace tessaro::cli
