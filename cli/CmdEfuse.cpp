// tessaro-cli efuse: the eFuse dialog of a 9xxx chip from a shell. --parse only reads an EFU
// file; otherwise the command links, reads the 64 fuse words and shows the session, the key
// already in the chip, the option values and every fuse bit a burn would send, with its
// meaning. Burned bits are permanent, so nothing is burned without --burn, and --burn asks for
// the word BURN on a terminal unless --yes; afterwards the fuses are read back and every
// planned bit that did not take is named.
//
// Exit codes: 0 when the plan was shown, or burned and read back complete; 1 for a parse, link
// or burn failure; 3 when the burn was refused (no confirmation, or No to the key question);
// 2 for usage errors.
#include <algorithm>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "cli/Cli.h"
#include "cli/EfuReport.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "definitions/BoardDefinition.h"
#include "efuse/EfuFile.h"
#include "efuse/EfuseMap.h"
#include "efuse/ProgramEFuse.h"
#include "link/SerialPort.h"
#include "session/FlashIf.h"

namespace tessaro::cli {
namespace {

constexpr int kExitRefused = 3;

void WriteBits(JsonWriter& json, const char* key, const std::vector<uint16_t>& bits) {
  json.Key(key).BeginArray();
  for (uint16_t bit : bits) json.Unsigned(bit);
  json.EndArray();
}

int RunParse(const ArgReader& args, const std::string& path) {
  EfuData efu;
  std::string errorText;
  const bool ok = ParseEfuFile(path, efu, errorText);
  const std::string error = ok ? std::string() : EfuParseFailureText(path, errorText);
  if (args.Has("json")) {
    JsonWriter json;
    json.BeginObject();
    WriteEfuJson(json, efu, error);
    json.EndObject();
    WriteOut(json.Finish());
  } else if (ok) {
    WriteOut("EFU file:      " + path + "\n" + EfuLines(efu));
  } else {
    WriteErr(kEfuParseErrorCaption + std::string(": ") + WithoutCarriageReturns(error) + "\n");
  }
  return ok ? kExitOk : kExitFailed;
}

int RunEfuse(std::vector<std::string>& rawArgs) {
  ArgReader args("efuse", rawArgs);
  args.Option("port").Option("board").Option("config-string").Option("drivers").Option("config");
  args.Flag("parse").Flag("secure-session").Flag("no-secure-session").Flag("burn").Flag("yes").Flag("no");
  args.Flag("json").Flag("double-baud");
  if (!args.Parse()) return args.ParseExit();
  if (args.Positional().size() != 1) return args.UsageError("expected exactly one EFU FILE");
  const std::string path = args.Positional()[0];
  if (args.Has("parse")) {
    for (const char* option :
         {"port", "board", "config-string", "secure-session", "no-secure-session", "burn", "yes", "no"})
      if (args.Has(option)) return args.UsageError(std::string("--parse takes no --") + option);
    return RunParse(args, path);
  }
  if (args.Has("yes") && args.Has("no")) return args.UsageError("--yes and --no exclude each other");
  if (args.Has("secure-session") && args.Has("no-secure-session"))
    return args.UsageError("--secure-session and --no-secure-session exclude each other");
  if (!args.Has("port")) return args.UsageError("--port is required");
  if (args.Has("board") == args.Has("config-string"))
    return args.UsageError("give --board NAME or --config-string TEXT");
  const bool json = args.Has("json");
  const bool burn = args.Has("burn");

  BoardConfig config = InitBoardConfig();
  if (auto name = args.Value("board")) {
    const DataFolders folders = ResolveFolders(args);
    BoardList boards;
    std::string boardErrors;
    (void)LoadBoardFolder(boards, folders.config, boardErrors);
    const BoardDefinition* board = boards.Find(*name);
    if (board == nullptr) return args.UsageError("no board named '" + *name + "' in " + folders.config);
    if (board->hasErrors || board->config.chip == nullptr)
      return args.UsageError("board '" + *name + "' has errors in " + board->fileName);
    config = board->config;
  } else {
    const std::string text = *args.Value("config-string");
    const ConfigParseResult parsed = ParseBoardConfig(config, text);
    if (!parsed.ok || config.chip == nullptr)
      return args.UsageError("invalid configuration string at '" + text.substr(std::min(parsed.stop, text.size())) +
                             "'");
  }
  if (config.chip->familyCode != FAMILY_9XXX)
    return args.UsageError(std::string("eFuses are burned on LYR9xxx chips only, not on the ") + config.chip->name);

  PortChoice port;
  std::string portError;
  if (!ResolvePort(args.Value("port"), port, portError)) return args.UsageError(portError);

  // The mismatch question: --yes / --no answer it; without either a terminal does, and
  // anything else is a No.
  const PromptAnswer yesNo = args.Has("yes") ? PromptAnswer::Yes : PromptAnswer::No;
  TerminalPrompt prompt(yesNo);
  SerialPort link;
  AttachPort(link, port);
  link.SetPrompt(&prompt);
  Questions questions(args.Has("yes") ? Answers::Yes : args.Has("no") ? Answers::No : Answers::Ask);
  TerminalProgress progress(false);  // a few dozen fuse words: nothing worth a bar
  CliHost host(link, config, progress, port.number, args.Has("double-baud"), 0, questions);

  int exitCode = kExitOk;
  std::string error;
  std::vector<std::string> messages;
  {
    FlashIf session(host);
    CProgramEFuse dialog(session, path);
    if (!dialog.parseFailure().empty()) {
      // The dialog would open all the same; a shell stops here, before any link.
      error = dialog.parseFailure();
      exitCode = kExitFailed;
    } else {
      dialog.Initialise();
      if (args.Has("secure-session")) dialog.SetSecureSession(true);
      if (args.Has("no-secure-session")) dialog.SetSecureSession(false);
      if (!dialog.fusesRead()) {
        error = dialog.status();
        exitCode = kExitFailed;
      }
    }
    const EfusePlan plan = dialog.fusesRead() ? dialog.Plan() : EfusePlan{};
    bool refused = false;
    if (exitCode == kExitOk && burn) {
      // A No already given to the key question burns nothing: no need to type BURN for it.
      const bool declined = plan.keyMismatch && args.Has("no");
      if (!declined && !plan.bits.empty() && !args.Has("yes") && !ConfirmBurnOnTerminal(plan.bits.size())) {
        refused = true;
        error = "burn not confirmed (type " + std::string(kConfirmWord) + " on a terminal, or give --yes)";
      } else if (!dialog.ProgramEfuses(false)) {
        // A No to the key question leaves the burn untouched: nothing sent, nothing written.
        refused = dialog.lastPlan().keyMismatch && !dialog.lastBurn().sent && !dialog.lastBurn().written;
        error = dialog.status();
      }
      exitCode = refused ? kExitRefused : error.empty() ? kExitOk : kExitFailed;
    }
    link.CloseLink(true);
    messages = questions.messages;
    // A simulated board that could not keep its state (the burned bits) fails the run.
    for (const std::string& message : EndSimBoard(port)) {
      messages.push_back(message);
      if (exitCode == kExitOk) exitCode = kExitFailed;
      if (error.empty()) error = message;
    }

    const EfuseBurnResult& result = dialog.lastBurn();
    if (json) {
      JsonWriter out;
      out.BeginObject();
      std::string efuError;
      if (!dialog.parseFailure().empty()) efuError = dialog.parseFailure();
      WriteEfuJson(out, dialog.efu(), efuError);
      out.Field("ok", exitCode == kExitOk).Field("error", WithoutCarriageReturns(error));
      out.Field("session", static_cast<unsigned>(dialog.session())).Field("sessionText", dialog.sessionText());
      out.Key("programmedKey");
      dialog.keyProgrammed() ? out.String(dialog.programmedKeyText()) : out.Null();
      out.Field("sssBoot", dialog.sssBoot())
          .Field("midiOut", dialog.midiOut())
          .Field("watchdog", dialog.watchdog())
          .Field("secureSession", dialog.secureSession());
      out.Key("fuseWords").BeginArray();
      for (uint16_t word : dialog.fuseWords()) out.Unsigned(word);
      out.EndArray();
      WriteBits(out, "plan", plan.bits);
      out.Field("keyMismatch", plan.keyMismatch);
      WriteBits(out, "burned", result.burned);
      WriteBits(out, "missing", result.missing);
      out.Field("status", dialog.status()).Field("colourClass", dialog.colourClass());
      out.Key("questions").BeginArray();
      for (const std::string& question : dialog.questions()) out.String(question);
      out.EndArray();
      out.Key("messages").BeginArray();
      for (const std::string& message : messages) out.String(WithoutCarriageReturns(message));
      out.EndArray();
      out.EndObject();
      WriteOut(out.Finish());
      return exitCode;
    }

    for (const std::string& message : messages) WriteErr(WithoutCarriageReturns(message) + "\n");
    if (!dialog.parseFailure().empty()) {
      WriteErr(kEfuParseErrorCaption + std::string(": ") + WithoutCarriageReturns(error) + "\n");
      return exitCode;
    }
    std::string text = "EFU file:      " + path + "\n" + EfuLines(dialog.efu());
    if (dialog.fusesRead()) {
      text += dialog.sessionText() + "\n";
      text += dialog.keyProgrammed() ? dialog.programmedKeyText() + "\n" : "Programmed: no key in this session\n";
      text += std::string("Enable SSS Boot: ") + (dialog.sssBoot() ? "yes" : "no") +
              "\nEnable MIDI Out: " + (dialog.midiOut() ? "yes" : "no") +
              "\nEnable Watchdog: " + (dialog.watchdog() ? "yes" : "no") +
              "\nSecure Session:  " + (dialog.secureSession() ? "yes" : "no") + "\n";
      if (plan.keyMismatch) text += std::string(kKeyMismatchQuestion) + "\n";
      text += "Fuse bits to burn: " + std::to_string(plan.bits.size()) + "\n";
      for (uint16_t bit : plan.bits) text += "  " + std::to_string(bit) + "  " + FuseBitMeaning(bit) + "\n";
      if (!burn) text += "Dry run: nothing burned (--burn burns these bits).\n";
      if (burn && result.sent && !result.missing.empty()) {
        text += "Fuse bits that did not take:\n";
        for (uint16_t bit : result.missing) text += "  " + std::to_string(bit) + "  " + FuseBitMeaning(bit) + "\n";
      }
      if (burn && !refused) text += dialog.status() + "\n";
    }
    WriteOut(text);
    if (!error.empty()) WriteErr("tessaro-cli efuse: " + WithoutCarriageReturns(error) + "\n");
  }
  return exitCode;
}

const CommandRegistration kEfuse(
    "efuse",
    "efuse (--parse FILE.EFU [--json] | --port COMn|PATH|sim:OPTION,... (--board NAME | --config-string TEXT) "
    "[--secure-session|--no-secure-session] [--burn] [--yes|--no] [--double-baud] [--json] [--config DIR] FILE.EFU)",
    RunEfuse);

}  // namespace
}  // namespace tessaro::cli