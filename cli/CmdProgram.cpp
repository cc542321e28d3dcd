// tessaro-cli program / verify: the main window's PROGRAM! and Verify from a shell. The steps
// are the window's: the board's configuration and drivers, the image with its start address,
// a fresh link, the session, the operation, the final status line.
//
// program verifies what it wrote when its own step did not ("Program Success (not verified)"),
// as command-line programmers do: a run that exits 0 has shown that the device holds the
// image. --no-verify skips it. Each step prints its status line; the JSON gives the final
// step's status and every step under "steps".
//
// A 9xxx firmware encrypted for an eFuse key comes with an EFU file beside it: program checks
// the image against that key for the boot source first (a failed check asks "Program
// anyway?"), and after a verified program step shows the fuse bits the window would burn.
// Burned bits are permanent, so they are burned only with --burn, confirmed by typing BURN on
// a terminal or by --yes, and read back afterwards.
//
// Exit codes: 0 when the operation ran and ended with status 1 to 7 or 19; 1 for a device
// failure (8 to 13); 4 when aborted (14, Ctrl-C); 3 when the operation was refused before
// device work (its error text says why); 2 for usage errors.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

#include "chips/BoardConfig.h"
#include "cli/Cli.h"
#include "cli/EfuReport.h"
#include "cli/Job.h"
#include "cli/Port.h"
#include "cli/Terminal.h"
#include "common/Json.h"
#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "efuse/FirmwareCheck.h"
#include "efuse/ProgramEFuse.h"
#include "flash/DriverImage.h"
#include "image/ImageBuffer.h"
#include "image/ImageDigest.h"
#include "image/ImageKind.h"
#include "image/ImageWriter.h"
#include "link/SerialPort.h"
#include "platform/Files.h"
#include "platform/Prompt.h"
#include "session/Destinations.h"
#include "session/FlashIf.h"
#include "session/ProgrammingJob.h"
#include "sim/SimBoard.h"

namespace tessaro::cli {
namespace {

constexpr int kExitRefused = 3;
constexpr const char* kChipErasedText =
    "The whole chip was erased first: it did not link, as with its security bit set, and the erase was allowed";

// ---------------------------------------------------------------------------------------------
// Destinations

std::optional<int32_t> ParseDestination(const std::string& text) {
  if (const DestinationInfo* row = FindDestinationByName(text)) return row->code;
  if (text.empty() || text.size() > 2) return std::nullopt;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "HHHH:LLLL" or plain hex.
uint32_t ParseStart(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return ReadHex(text);
  const uint32_t high = ReadHex(text.substr(0, colon));
  const uint32_t low = ReadHex(text.substr(colon + 1));
  if (high == VALUE_INVALID || low == VALUE_INVALID || high > 0xFFFF || low > 0xFFFF) return VALUE_INVALID;
  return (high << 16) | low;
}

std::string JoinMessages(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& message : messages) {
    if (!text.empty()) text += "\r\n";
    text += message;
  }
  return text;
}

// What one operation of the run ended with.
struct StepResult {
  const char* operation = "";
  bool ran = false;
  uint32_t status = StatusReady;
  std::string statusText;
  int colour = 0;
  int32_t failureAddress = 0;
  uint32_t expected = 0;
  int32_t read = -1;
  std::string failureReason;  // what the status line does not say (a lost link, ...)
  bool linkLost = false;
  bool chipErased = false;  // the link erased a secured chip first
  // A program step asked to skip unchanged units: the erase units compared and those left.
  bool compared = false;
  uint32_t unitsCompared = 0;
  uint32_t unitsSkipped = 0;
};

// Statuses whose text names a failure address (and, for some, the values there).
bool NamesFailure(uint32_t status) {
  return status == StatusProgramFailed || status == StatusVerifyFailed || status == StatusSectorEraseFailed ||
         status == StatusNotBlank || status == StatusAborted;
}

void WriteStepFields(JsonWriter& out, const StepResult& step) {
  out.Field("status", static_cast<unsigned>(step.status))
      .Field("statusText", step.statusText)
      .Field("colourClass", step.colour);
  // Left-over values of a run that did not fail would name an address that nothing is wrong at.
  if (NamesFailure(step.status)) {
    // An expected value the run never had shows as "????????" in the status text: null here.
    out.Field("failureAddress", static_cast<unsigned>(step.failureAddress))
        .Key("expected")
        .OptionalNumber(step.expected == VALUE_INVALID ? std::nullopt : std::optional<int64_t>(step.expected));
    out.Key("read");
    if (step.read >= 0) {
      out.Number(step.read);
    } else {
      out.Null();
    }
  } else {
    out.Key("failureAddress").Null().Key("expected").Null().Key("read").Null();
  }
  if (step.compared) {
    out.Field("unitsCompared", static_cast<unsigned>(step.unitsCompared))
        .Field("unitsSkipped", static_cast<unsigned>(step.unitsSkipped));
  }
}

// Exit 4 only for a cancel the user asked for: status 14 also stands for a checksum call on
// the target that failed, which is a failure like any other.
int ExitCodeOf(bool ran, uint32_t status) {
  if (!ran) return Interrupted() ? kExitAborted : kExitRefused;
  if ((status >= StatusProgramVerified && status <= StatusEmpty) || status == StatusCustom) return kExitOk;
  if (status == StatusAborted && Interrupted()) return kExitAborted;
  return kExitFailed;
}

// The commands of this file: the image operations and the range operations.
enum class Operation { Program, Verify, Erase, Read, BlankCheck };
const char* CommandName(Operation operation) {
  constexpr const char* kNames[] = {"program", "verify", "erase", "read", "blank-check"};
  return kNames[static_cast<int>(operation)];
}
bool TakesImage(Operation operation) { return operation == Operation::Program || operation == Operation::Verify; }

// Writes words read from `start` in the format the file name's extension names: Intel HEX,
// S-records, or raw little-endian words.
bool WriteWords(const std::string& path, uint32_t start, const std::vector<uint16_t>& words, std::string& error) {
  std::string bytes;
  switch (ImageFormatOf(path)) {
    case ImageFormat::IntelHex: bytes = FormatIntelHex(start, words); break;
    case ImageFormat::SRecord: bytes = FormatSRecords(start, words, BaseName(path)); break;
    case ImageFormat::Elf:
    case ImageFormat::Binary: bytes = FormatBinaryWords(words); break;
  }
  if (!WriteWholeFile(path, bytes)) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

// The options of program and verify. Legend: name, takes a value, program only, --help text.
struct OptionRow {
  const char* name;
  bool takesValue;
  bool programOnly;
  const char* help;
  const char* shortName = "";
};
constexpr OptionRow kOptionTable[] = {
    {"port", true, false, "COMn, a device path or sim:OPTION,... (default: the settings' port)"},
    {"board", true, false, "board definition NAME from the config folder"},
    {"config-string", true, false, "chip configuration TEXT instead of a board"},
    {"df", true, false, "DataFlash/SPI device NAME (with --config-string)"},
    {"df-enable", true, false, "PINS that select the DataFlash, e.g. P7.15=0"},
    {"df-disable", true, false, "PINS that deselect the DataFlash"},
    {"qspi", true, false, "QSPI device NAME (with --config-string)"},
    {"dual", false, false, "two QSPI devices side by side"},
    {"single-bit", false, false, "QSPI/MP QSPI in single-bit mode"},
    {"mpqspi", true, false, "MP QSPI device NAME (with --config-string)"},
    {"nor", true, false, "parallel NOR device NAME (with --config-string)"},
    {"nand", false, false, "a NAND device (with --config-string)"},
    {"dest", true, false, "destination CODE or name: embedded emb+nor emb+serial nor serial qspi mpqspi nand"},
    {"start", true, false, "start address HEX or HHHH:LLLL"},
    {"size", true, false, "words of the image to use, HEX"},
    {"yes", false, false, "answer every question yes"},
    {"no", false, false, "answer every question no"},
    {"erase-secured", false, false, "with --yes: erase a chip whose security bit keeps it from linking"},
    {"double-baud", false, false, "link at twice the baud rate"},
    {"window", true, false, "BYTES of acknowledged-only commands in flight (default 0: wait for each acknowledge)"},
    {"json", false, false, "machine-readable result on stdout"},
    {"drivers", true, false, "drivers folder DIR"},
    {"config", true, false, "board definitions folder DIR"},
    {"no-verify", false, true, "do not verify after programming"},
    {"skip-unchanged", false, true,
     "leave erase units that already hold the image untouched (compared by checksum first)"},
    {"output", true, false,
     "read: the FILE the words go to (.hex: Intel HEX, .srec .s19 .s28 .s37 .mot: S-records, else raw)", "o"},
    {"burn", false, true, "burn the eFuses an encrypted 9xxx firmware's EFU file asks for"},
};
// The options that name devices; a board file names its own.
constexpr const char* kDeviceOptions[] = {"df",         "df-enable", "df-disable", "qspi", "dual",
                                          "single-bit", "mpqspi",    "nor",        "nand"};

// The devices of a bare configuration, given as options, as a board of the command line: the
// destinations it offers and the drivers it sets up are those of a board file naming them.
bool DevicesFromOptions(const ArgReader& args, const BoardConfig& config, BoardDefinition& board, std::string& error) {
  bool any = false;
  for (const char* device : kDeviceOptions) any = any || args.Has(device);
  if (!any) return true;
  board.config = config;
  board.name = "command line";
  if (auto name = args.Value("df")) {
    board.dfDevice = *name;
    if (!args.Has("df-enable")) {
      error = "--df needs --df-enable PINS";
      return false;
    }
  } else if (args.Has("df-enable") || args.Has("df-disable")) {
    error = "--df-enable and --df-disable go with --df NAME";
    return false;
  }
  for (const char* pins : {"df-enable", "df-disable"}) {
    if (auto text = args.Value(pins)) {
      if (!ParsePinList(*text, pins[3] == 'e' ? board.dfEnable : board.dfDisable)) {
        error = std::string("invalid pin list for --") + pins + " '" + *text + "'";
        return false;
      }
    }
  }
  if ((args.Has("dual") && !args.Has("qspi")) || (args.Has("single-bit") && !args.Has("qspi") && !args.Has("mpqspi"))) {
    error = "--dual and --single-bit go with --qspi NAME (--single-bit also with --mpqspi NAME)";
    return false;
  }
  const int32_t singleBit = args.Has("single-bit") ? ONOFF_ON : ONOFF_OFF;
  board.qspiDevice = args.ValueOr("qspi", "");
  board.dualQspi = args.Has("dual") ? ONOFF_ON : ONOFF_OFF;
  board.qspiSingleBit = singleBit;
  board.mpQspiDevice = args.ValueOr("mpqspi", "");
  board.mpQspiSingleBit = singleBit;
  board.flashDevices = board.flashDeviceNames = args.ValueOr("nor", "");
  if (args.Has("nand")) board.nandDevice = "ONFI";
  return true;
}

// The options of a production line: several boards, the event stream and the station log.
constexpr OptionRow kLineOptionTable[] = {
    {"ports", true, false, "PATTERN: a glob of device paths, or 'table' for every port of the port table"},
    {"events", true, false, "FILE (or - for stdout) that gets a JSON line for every event of the run"},
    {"log", true, false, "DIR of the station log: one JSON line per board and run"},
};

// What the options of a run ask for; the same for every board it runs on.
struct JobRequest {
  Operation operation = Operation::Program;
  const char* command = "";
  bool program = false;
  bool ranged = false;
  bool json = false;
  bool verifyAfter = false;
  bool skipUnchanged = false;
  bool eraseSecured = false;
  bool doubleBaud = false;
  std::optional<uint32_t> window;  // --window: bytes in flight
  bool burn = false;
  bool yes = false;
  Answers answers = Answers::Ask;
  DataFolders folders;
  BoardList boards;
  BoardDefinition commandLineBoard;
  const BoardDefinition* board = nullptr;  // in `boards` or `commandLineBoard`
  BoardConfig config;
  std::string warnings;
  std::vector<std::string> imageWarnings;
  int32_t destination = DestNone;
  ImageBuffer image;  // program and verify
  std::string imagePath;
  std::string imageDigest;
  uint32_t start = 0;
  uint32_t rangeWords = 0;
  bool nine = false;
  bool encrypted = false;
  EfuData efu;
  std::string efuMessage;
  std::string output;              // read: the file
  std::vector<std::string> ports;  // as given; empty: the settings' port
};

// What one board's run ended with.
struct BoardRun {
  std::string port;    // as given ("" for the settings' port)
  std::string output;  // read: the file its words went to
  std::vector<StepResult> steps;
  bool chipErased = false;
  std::optional<AfterFirmwareResult> fuses;
  bool fusesRefused = false;
  bool fusesBurned = false;
  std::vector<std::string> messages;
  std::vector<QuestionRecord> asked;
  std::string error;
  int exitCode = kExitFailed;
  int64_t elapsedMs = 0;
  std::optional<sim::WireCounters> wire;
};

// A job of its own for one board: the driver catalogue, the board's devices, the image.
void BuildJob(const JobRequest& request, ProgrammingJob& job, std::string* catalogueErrors, std::string& warnings) {
  if (!request.folders.drivers.empty()) {
    std::string errors;
    if (!LoadDriverFolder(job.catalogue, request.folders.drivers, errors) && catalogueErrors) *catalogueErrors = errors;
  }
  if (request.board) job.ApplyBoard(*request.board, warnings);
  job.destination = request.destination;
  job.skipUnchanged = request.skipUnchanged;
  if (!request.ranged) {
    job.image = request.image;
    job.imagePath = request.imagePath;
    job.hexFile = CarriesAddresses(ImageFormatOf(request.imagePath));
  }
}

// Reads the options into `request`. Returns an exit code when the run ends here (usage errors,
// an image that cannot be loaded), nullopt when the boards are to be run.
std::optional<int> ReadJob(Operation operation, ArgReader& args, JobRequest& request) {
  request.operation = operation;
  request.program = operation == Operation::Program;
  request.ranged = !TakesImage(operation);
  request.command = CommandName(operation);
  const bool program = request.program;
  const bool ranged = request.ranged;
  const char* command = request.command;
  for (const OptionRow& row : kOptionTable) {
    if (row.programOnly && !program) continue;
    if (std::string_view(row.name) == "output" && operation != Operation::Read) continue;
    if (std::string_view(row.name) == "port") {
      args.Repeated(row.name, row.help);
      continue;
    }
    row.takesValue ? args.Option(row.name, row.help, row.shortName) : args.Flag(row.name, row.help);
  }
  for (const OptionRow& row : kLineOptionTable) args.Option(row.name, row.help);
  if (!args.Parse()) return args.ParseExit();
  const bool json = request.json = args.Has("json");
  // With --json every refusal is one JSON object on stdout too, the usage on stderr.
  auto refuse = [&](const std::string& message, int exitCode) {
    if (json) {
      JsonWriter out;
      out.BeginObject().Field("ok", false).Field("error", TerminalText(message)).EndObject();
      WriteOut(out.Finish());
    }
    return exitCode;
  };
  auto usageError = [&](const std::string& message) { return refuse(message, args.UsageError(message)); };
  if (!ranged && args.Positional().size() != 1) return usageError("expected exactly one image FILE");
  if (ranged && !args.Positional().empty()) return usageError("unexpected argument '" + args.Positional()[0] + "'");
  if (ranged && !args.Has("size")) return usageError("--size WORDS is required");
  if (operation == Operation::Read && !args.Has("output")) return usageError("-o FILE is required");
  if (args.Has("yes") && args.Has("no")) return usageError("--yes and --no exclude each other");
  if (args.Has("erase-secured") && !args.Has("yes")) return usageError("--erase-secured goes with --yes");
  if (args.Has("board") == args.Has("config-string")) return usageError("give --board NAME or --config-string TEXT");
  if (args.Has("board")) {
    for (const char* device : kDeviceOptions) {
      if (args.Has(device))
        return usageError(std::string("--") + device + " goes with --config-string (a board names its devices)");
    }
  }
  if (args.ValueOr("events", "") == "-" && json) return usageError("--events - and --json both write to stdout");
  {
    std::string portError;
    if (!ListPorts(args.Values("port"), args.Value("ports"), request.ports, portError)) return usageError(portError);
  }
  request.verifyAfter = program && !args.Has("no-verify");
  request.skipUnchanged = program && args.Has("skip-unchanged");
  request.eraseSecured = args.Has("erase-secured");
  request.doubleBaud = args.Has("double-baud");
  if (auto text = args.Value("window")) {
    uint32_t bytes = 0;
    const auto [end, failure] = std::from_chars(text->data(), text->data() + text->size(), bytes);
    if (failure != std::errc() || end != text->data() + text->size() || text->empty())
      return usageError("--window wants a number of bytes");
    request.window = bytes;
  }
  request.burn = args.Has("burn");
  request.yes = args.Has("yes");
  request.output = args.ValueOr("output", "");
  request.answers = args.Has("yes") ? Answers::Yes : args.Has("no") ? Answers::No : Answers::Ask;
  // Several boards cannot all ask on one terminal: what --yes/--no does not answer is no.
  if (request.ports.size() > 1 && request.answers == Answers::Ask) request.answers = Answers::No;
  request.folders = ResolveFolders(args);
  SetDriverImageFolder(request.folders.drivers);

  // The board, or a bare chip configuration.
  BoardConfig& config = request.config = InitBoardConfig();
  if (auto name = args.Value("board")) {
    std::string boardErrors;
    (void)LoadBoardFolder(request.boards, request.folders.config, boardErrors);
    request.board = request.boards.Find(*name);
    if (request.board == nullptr) return usageError("no board named '" + *name + "' in " + request.folders.config);
    if (request.board->hasErrors || request.board->config.chip == nullptr) {
      return usageError("board '" + *name + "' has errors in " + request.board->fileName);
    }
    config = request.board->config;
  } else {
    const std::string text = *args.Value("config-string");
    const ConfigParseResult parsed = ParseBoardConfig(config, text);
    if (!parsed.ok || config.chip == nullptr) {
      return usageError("invalid configuration string at '" + text.substr(std::min(parsed.stop, text.size())) + "'");
    }
    std::string deviceError;
    if (!DevicesFromOptions(args, config, request.commandLineBoard, deviceError)) return usageError(deviceError);
    if (request.commandLineBoard.name.empty() == false) request.board = &request.commandLineBoard;
  }

  {
    ProgrammingJob job;
    std::string catalogueErrors;
    BuildJob(request, job, &catalogueErrors, request.warnings);
    if (!catalogueErrors.empty() && !json) {
      WriteErr("Error(s) in Driver Description:\n" + TerminalText(catalogueErrors) + "\n");
    }
  }
  if (!request.warnings.empty() && !json) WriteErr(TerminalText(request.warnings) + "\n");

  // The destination: given, or the only one the window would offer.
  const std::vector<int32_t> offered = OfferedDestinations(config, request.board);
  if (auto text = args.Value("dest")) {
    auto code = ParseDestination(*text);
    if (!code) return usageError("unknown destination '" + *text + "'");
    request.destination = *code;
  } else if (offered.size() == 1) {
    request.destination = offered.front();
  } else if (offered.empty()) {
    return usageError("No valid configuration!!! (no destination for this board)");
  } else {
    std::string list;
    for (int32_t code : offered) list += "\n  " + std::to_string(code) + " " + DestinationText(code);
    return usageError("choose a destination with --dest:" + list);
  }

  // The EFU file of an encrypted 9xxx firmware; a missing or bad one leaves the EFU data empty.
  request.nine = config.chip->familyCode == FAMILY_9XXX;
  if (ranged) {
    // A range of the destination's memory: the start is taken into its window by the job.
    if (auto text = args.Value("start")) {
      request.start = ParseStart(*text);
      if (request.start == VALUE_INVALID) return usageError("Invalid Hex start address '" + *text + "'");
    }
    const std::string text = *args.Value("size");
    request.rangeWords = ReadHex(text);
    if (request.rangeWords == VALUE_INVALID || request.rangeWords == 0)
      return usageError("Invalid size '" + text + "'");
    if (operation == Operation::Read) {
      // Refused before the read rather than written in a form no loader reads back.
      const ImageFormat format = ImageFormatOf(*args.Value("output"));
      if (format == ImageFormat::Elf) return usageError("read writes S-record, Intel HEX or raw binary files, not ELF");
      if (format == ImageFormat::SRecord && !FitsSRecordAddresses(request.start, request.rangeWords)) {
        return usageError("the range ends past byte address FFFFFFFF, the last an S-record can name");
      }
    }
  } else {
    // The image, classified; its kind may suggest the start address.
    const std::string path = args.Positional()[0];
    std::string imageError;
    ImageBuffer& image = request.image;
    // A file that cannot be read is a usage error; one that was read and is invalid is not.
    const ImageFormat format = ImageFormatOf(path);
    const ImageFileCheck check = CheckImageFile(path, CarriesAddresses(format), imageError);
    if (check != ImageFileCheck::Ok || !LoadImageByExtension(image, path, imageError)) {
      const std::string message = "cannot load " + path + ": " + imageError;
      WriteErr("tessaro-cli " + std::string(command) + ": " + message + "\n");
      return refuse(message, check == ImageFileCheck::Unreadable ? kExitUsage : kExitFailed);
    }
    // The loader's warnings (an odd byte left over) go with the result.
    if (!imageError.empty()) request.imageWarnings.push_back(path + ": " + imageError);
    request.imagePath = path;
    DetectImageKind(image);
    request.encrypted = request.nine && image.kind == IMAGE_ENCRYPTED_FIRMWARE;
    if (request.encrypted) (void)LoadEfuBeside(path, request.efu, request.efuMessage);
    uint32_t start = image.kind != IMAGE_RAW ? image.kindAddress : 0;
    if (auto text = args.Value("start")) {
      start = ParseStart(*text);
      if (start == VALUE_INVALID) return usageError("Invalid Hex start address '" + *text + "'");
    }
    request.start = DestinationStartAddress(request.destination, start);
    if (auto text = args.Value("size")) {
      const uint32_t size = ReadHex(*text);
      if (size == VALUE_INVALID || size == 0 || size > static_cast<uint32_t>(image.size)) {
        return usageError("Invalid size '" + *text + "' (the image holds " + Hex(static_cast<uint32_t>(image.size)) +
                          " words)");
      }
      image.programLength = static_cast<int32_t>(size);
    }
    request.imageDigest = ImageSha256(image);
  }
  return std::nullopt;
}

// Runs the job on one board: a link, a session per step, the eFuses after a firmware, the
// simulated board ended. `terminalBar`: the progress bar of a one-board run on a terminal.
BoardRun RunBoard(const JobRequest& request, PortChoice& port, const std::string& portText, const std::string& output,
                  BoardReporter* reporter, bool terminalBar) {
  BoardRun run;
  run.port = portText;
  run.output = output;
  const bool program = request.program;
  const uint32_t start = request.start;
  ProgrammingJob job;
  std::string jobWarnings;
  BuildJob(request, job, nullptr, jobWarnings);
  BoardConfig config = request.config;
  if (reporter) {
    reporter->Event("start", [&](JsonWriter& out) {
      out.Field("chip", request.config.chip->name)
          .Field("operation", request.command)
          .Field("destination", static_cast<int>(request.destination))
          .Field("destinationText", DestinationText(request.destination));
      if (request.ranged) {
        out.Field("start", static_cast<unsigned>(start)).Field("size", static_cast<unsigned>(request.rangeWords));
        out.Key("image").Null().Key("imageDigest").Null();
      } else {
        out.Field("image", request.imagePath).Field("imageDigest", request.imageDigest);
      }
    });
  }

  Questions questions(request.answers, request.eraseSecured);
  if (reporter) questions.onAsked = [reporter](const QuestionRecord& question) { reporter->Question(question); };
  CliPrompt prompt(questions);
  SerialPort link;
  AttachPort(link, port);
  link.SetPrompt(&prompt);
  if (request.window) link.SetWindow(*request.window);
  TerminalProgress progress(terminalBar);
  CliHost host(link, config, progress, port.number, request.doubleBaud, start, questions, reporter);

  const auto started = std::chrono::steady_clock::now();
  std::string& error = run.error;
  std::vector<StepResult>& steps = run.steps;
  if (!request.efuMessage.empty()) questions.messages.push_back(request.efuMessage);
  // One operation in a session of its own, as the window builds one per action.
  std::vector<uint16_t> readWords;
  auto runStep = [&](const char* stepName, Operation stepOperation) {
    StepResult step;
    step.operation = stepName;
    if (reporter) reporter->Operation(stepName);
    if (Interrupted()) {
      // Cancelled before this step touched the device.
      step.status = StatusAborted;
      step.statusText = "Aborted by User before the " + std::string(stepName) + " step started";
      error = step.statusText;
      steps.push_back(step);
      return;
    }
    host.statusLine.clear();
    host.colour = 0;
    {
      FlashIf session(host);
      if (reporter) reporter->StatusSource(&session.statusCode);
      switch (stepOperation) {
        case Operation::Program: step.ran = job.ProgramImage(session, error); break;
        case Operation::Verify: step.ran = job.VerifyImage(session, error); break;
        case Operation::Erase: step.ran = job.EraseRange(session, start, request.rangeWords, error); break;
        case Operation::Read: step.ran = job.ReadRange(session, start, request.rangeWords, readWords, error); break;
        case Operation::BlankCheck: step.ran = job.CheckBlankRange(session, start, request.rangeWords, error); break;
      }
      step.status = session.statusCode;
      step.failureAddress = session.failureAddress;
      step.expected = session.expectedValue;
      step.read = session.readValue;
      step.failureReason = session.failureReason;
      step.linkLost = session.linkLost;
      step.chipErased = session.chipErased;
      if (request.skipUnchanged && stepOperation == Operation::Program) {
        step.compared = true;
        step.unitsCompared = session.unchanged.compared;
        step.unitsSkipped = session.unchanged.skipped;
        if (reporter) {
          reporter->Event("unchanged", [&](JsonWriter& out) {
            out.Field("unitsCompared", static_cast<unsigned>(step.unitsCompared))
                .Field("unitsSkipped", static_cast<unsigned>(step.unitsSkipped));
          });
        }
      }
      if (reporter) reporter->StatusSource(nullptr);
    }
    step.statusText = host.statusLine;
    step.colour = host.colour;
    steps.push_back(step);
  };
  // PROGRAM! releases the link first; Verify keeps it. A fresh link object has none to release.
  if (program) link.CloseLink(false);
  bool encryptionRefused = false;
  if (program && request.encrypted) {
    const BootSource source = job.image.size > 6 && (job.image.words[6] & 1) ? BOOT_HOST
                              : job.destination == 10                        ? BOOT_NAND
                                                                             : BOOT_REGULAR;
    std::string message;
    if (!CheckFirmwareEncryption(job.image, request.efu, source, message, start)) {
      const std::string question = message + "\r\nProgram anyway?";
      encryptionRefused = !questions.Ask(question, "Invalid Encryption");
      if (encryptionRefused) error = question;
    }
  }
  if (encryptionRefused) {
    StepResult refused;
    refused.operation = "program";
    steps.push_back(refused);
  } else {
    runStep(request.command, request.operation);
    if (program && request.verifyAfter && steps.back().ran && steps.back().status == StatusProgrammed) {
      runStep("verify", Operation::Verify);
    }
  }
  if (request.operation == Operation::Read && steps.back().ran) {
    std::string writeError;
    if (!WriteWords(output, start, readWords, writeError)) {
      steps.back().ran = false;
      error = writeError;
    }
  }
  const StepResult& last = steps.back();
  const bool ran = last.ran;
  run.chipErased = std::any_of(steps.begin(), steps.end(), [](const StepResult& s) { return s.chipErased; });
  if (error.empty() && ExitCodeOf(ran, last.status) != kExitOk) error = last.failureReason;
  // The eFuses after the firmware: the plan always, the burn only with --burn and confirmation
  // (several boards are not asked on the terminal: --yes confirms for all of them).
  std::optional<AfterFirmwareResult>& fuses = run.fuses;
  if (program && request.nine && request.efu.valid && request.efu.flags != 0 &&
      ExitCodeOf(ran, last.status) == kExitOk) {
    FlashIf session(host);
    if (session.EnsureLinked()) {
      const size_t shown = questions.messages.size();
      fuses = BurnAfterFirmware(session, request.efu, /*dryRun=*/true);
      if (request.burn && fuses->attempted && !fuses->plan.bits.empty()) {
        if (request.yes || (request.ports.size() <= 1 && ConfirmBurnOnTerminal(fuses->plan.bits.size()))) {
          questions.messages.resize(shown);  // the burn shows its warnings again
          fuses = BurnAfterFirmware(session, request.efu, /*dryRun=*/false);
        } else {
          run.fusesRefused = true;
        }
      }
    } else {
      fuses = AfterFirmwareResult{};
    }
  }
  link.CloseLink(true);
  // The simulated board ends with the command: keep what it was asked to keep.
  // A simulated board whose state or dumps could not be written fails the run: what it was
  // asked to keep is lost.
  const std::vector<std::string> boardErrors = EndSimBoard(port);
  for (const std::string& message : boardErrors) questions.messages.push_back(message);
  if (port.board) run.wire = port.board->Counters();
  run.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  progress.Clear();
  std::vector<std::string>& messages = run.messages = questions.messages;
  run.asked = questions.asked;
  if (!ran && error.empty()) {
    // EnsureLinked has shown its reasons; they are the operation's error here.
    error = JoinMessages(messages);
    messages.clear();
  }
  // A read that ran brought every word back (the job says so otherwise) and leaves the status
  // as it was; its file is its result.
  const bool readDone = request.operation == Operation::Read && ran && last.status == StatusReady;
  int exitCode = readDone ? kExitOk : ExitCodeOf(ran, last.status);
  run.fusesBurned = fuses && fuses->burn.sent;
  if (exitCode == kExitOk && fuses && (!fuses->attempted || (run.fusesBurned && !fuses->burn.verified))) {
    exitCode = kExitFailed;  // the fuses could not be read, or a burned bit did not take
  } else if (exitCode == kExitOk && run.fusesRefused) {
    exitCode = kExitRefused;
  }
  if (exitCode == kExitAborted) {
    // What the cancel interrupted (a device check, a page ...) says nothing more than this.
    error = "Cancelled by Ctrl-C: " + (last.statusText.empty() ? std::string("nothing done") : last.statusText);
  }
  if (!boardErrors.empty() && (exitCode == kExitOk || exitCode == kExitRefused)) {
    exitCode = kExitFailed;
    if (error.empty()) error = JoinMessages(messages);
  }
  if (readDone && (steps.back().statusText.empty() || steps.back().statusText == "Ready")) {
    steps.back().statusText = "Read " + std::to_string(readWords.size()) + " words to " + output;
  }
  run.exitCode = exitCode;
  return run;
}

const char* ResultName(int exitCode) {
  switch (exitCode) {
    case kExitOk: return "ok";
    case kExitAborted: return "aborted";
    case kExitRefused: return "refused";
    default: return "failed";
  }
}

// The wire counters of a simulated board in this process; null for others.
void WriteWire(JsonWriter& out, const BoardRun& run) {
  out.Key("wire");
  if (run.wire) {
    out.BeginObject()
        .Field("hostToTarget", static_cast<unsigned long long>(run.wire->hostToTarget))
        .Field("targetToHost", static_cast<unsigned long long>(run.wire->targetToHost))
        .Field("roundTrips", static_cast<unsigned long long>(run.wire->roundTrips))
        .EndObject();
  } else {
    out.Null();
  }
}

// One board's result as the JSON object a one-board run prints; `port` adds the port first.
void WriteBoardJson(JsonWriter& out, const JobRequest& request, const BoardRun& run, bool withPort) {
  const StepResult& last = run.steps.back();
  out.BeginObject();
  if (withPort) out.Field("port", run.port);
  out.Field("ok", run.exitCode == kExitOk)
      .Field("error", TerminalText(run.error.empty() ? JoinMessages(run.messages) : run.error));
  WriteStepFields(out, last);
  out.Field("linkLost", last.linkLost);
  out.Field("chipErased", run.chipErased);
  out.Field("elapsedMs", static_cast<long long>(run.elapsedMs));
  out.Key("warnings").BeginArray();
  if (!request.warnings.empty()) out.String(TerminalText(request.warnings));
  for (const std::string& warning : request.imageWarnings) out.String(warning);
  out.EndArray();
  out.Key("steps").BeginArray();
  for (const StepResult& step : run.steps) {
    out.BeginObject().Field("operation", step.operation).Field("ran", step.ran);
    WriteStepFields(out, step);
    out.EndObject();
  }
  out.EndArray();
  out.Key("efuse");
  if (const auto& fuses = run.fuses) {
    out.BeginObject()
        .Field("read", fuses->attempted)
        .Field("burned", run.fusesBurned)
        .Field("refused", run.fusesRefused);
    out.Field("session", static_cast<unsigned>(fuses->plan.session));
    for (const auto& [key, bits] : {std::pair{"plan", &fuses->plan.bits}, std::pair{"burnedBits", &fuses->burn.burned},
                                    std::pair{"missingBits", &fuses->burn.missing}}) {
      out.Key(key).BeginArray();
      for (uint16_t bit : *bits) out.Unsigned(bit);
      out.EndArray();
    }
    out.EndObject();
  } else {
    out.Null();
  }
  out.Key("questions").BeginArray();
  for (const QuestionRecord& question : run.asked) {
    out.BeginObject()
        .Field("text", question.text)
        .Field("caption", question.caption)
        .Field("answer", question.answer ? "yes" : "no")
        .EndObject();
  }
  out.EndArray();
  WriteWire(out, run);
  out.EndObject();
}

// `text` with `prefix` before each of its lines.
std::string Prefixed(const std::string& prefix, const std::string& text) {
  if (prefix.empty()) return text;
  std::string out;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t end = text.find('\n', begin);
    const size_t stop = end == std::string::npos ? text.size() : end + 1;
    out += prefix + text.substr(begin, stop - begin);
    begin = stop;
  }
  return out;
}

// One board's result on the terminal; with several boards each line starts with its port and
// the status lines are left to the summary table. `toStdout` false: stdout carries the event
// stream, and what would go there is left out.
void ReportBoardText(const JobRequest& request, const BoardRun& run, const std::string& prefix, bool toStdout) {
  const std::string command = request.command;
  auto out = [&](const std::string& text) {
    if (toStdout) WriteOut(Prefixed(prefix, text));
  };
  auto err = [&](const std::string& text) { WriteErr(Prefixed(prefix, text)); };
  const StepResult& last = run.steps.back();
  const bool ran = last.ran;
  if (prefix.empty()) {
    for (const std::string& warning : request.imageWarnings) err("tessaro-cli " + command + ": " + warning + "\n");
  }
  for (const std::string& message : run.messages) err(TerminalText(message) + "\n");
  if (run.chipErased) out(std::string(kChipErasedText) + "\n");
  if (prefix.empty()) {
    for (const StepResult& step : run.steps) {
      if (step.ran) out(step.statusText + "\n");
      if (step.ran && step.compared) {
        out("Erase units already holding the image, left untouched: " + std::to_string(step.unitsSkipped) + " of " +
            std::to_string(step.unitsCompared) + "\n");
      }
    }
  }
  if (!run.error.empty() && (!ran || run.exitCode != kExitOk)) {
    err("tessaro-cli " + command + ": " + TerminalText(run.error) + "\n");
  }
  if (!ran) return;
  const auto& fuses = run.fuses;
  if (fuses && fuses->attempted) {
    std::string text = "eFuse bits after the firmware: " + std::to_string(fuses->plan.bits.size()) + "\n";
    for (uint16_t bit : fuses->plan.bits) text += "  " + std::to_string(bit) + "  " + FuseBitMeaning(bit) + "\n";
    if (run.fusesBurned) {
      for (uint16_t bit : fuses->burn.missing) text += "Did not take: " + FuseBitMeaning(bit) + "\n";
      text += fuses->burn.verified ? "eFuses burned and read back.\n" : "";
    } else if (run.fusesRefused) {
      err("tessaro-cli program: eFuse burn not confirmed (type " + std::string(kConfirmWord) +
          " on a terminal, or give --yes)\n");
    } else if (!fuses->plan.bits.empty()) {
      text += "Dry run: no eFuse burned (--burn burns these bits).\n";
    }
    out(text);
  } else if (fuses) {
    err("tessaro-cli program: the eFuses could not be read; none burned\n");
  }
}

// The table after several boards: port, result, status text, time.
void WriteSummary(const std::vector<BoardRun>& runs) {
  size_t portWidth = 4;
  size_t statusWidth = 6;
  std::vector<std::string> statuses;
  for (const BoardRun& run : runs) {
    std::string status = run.steps.back().ran ? run.steps.back().statusText : run.error;
    status = TerminalText(status.substr(0, status.find('\n')));
    statuses.push_back(status);
    portWidth = std::max(portWidth, run.port.size());
    statusWidth = std::max(statusWidth, status.size());
  }
  auto row = [&](const std::string& port, const std::string& result, const std::string& status,
                 const std::string& time) {
    std::string line = port + std::string(portWidth - port.size() + 2, ' ') + result +
                       std::string(result.size() < 9 ? 9 - result.size() : 1, ' ') + status +
                       std::string(statusWidth - status.size() + 2, ' ') + time;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
  };
  std::string text = row("PORT", "RESULT", "STATUS", "TIME");
  int succeeded = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(runs[i].elapsedMs) / 1000.0);
    text += row(runs[i].port, ResultName(runs[i].exitCode), statuses[i], seconds);
    succeeded += runs[i].exitCode == kExitOk ? 1 : 0;
  }
  text += std::to_string(succeeded) + " of " + std::to_string(runs.size()) + " boards succeeded\n";
  WriteOut(text);
}

// The event that ends a board's run, and its line in the station log.
void RecordDone(const JobRequest& request, const BoardRun& run, BoardReporter& reporter, StationLog* log) {
  const StepResult& last = run.steps.back();
  reporter.Event("done", [&](JsonWriter& out) {
    out.Field("result", ResultName(run.exitCode)).Field("exitCode", run.exitCode);
    WriteStepFields(out, last);
    out.Field("error", TerminalText(run.error)).Field("elapsedMs", static_cast<long long>(run.elapsedMs));
    WriteWire(out, run);
  });
  if (!log) return;
  JsonWriter line(false);
  line.BeginObject()
      .Field("time", UtcTimeText())
      .Field("port", run.port)
      .Field("chip", request.config.chip->name)
      .Field("operation", request.command)
      .Field("destination", static_cast<int>(request.destination));
  if (request.ranged) {
    line.Key("image").Null().Key("imageDigest").Null();
    line.Field("start", static_cast<unsigned>(request.start)).Field("size", static_cast<unsigned>(request.rangeWords));
  } else {
    line.Field("image", request.imagePath).Field("imageDigest", request.imageDigest);
  }
  line.Field("result", ResultName(run.exitCode))
      .Field("status", static_cast<unsigned>(last.status))
      .Field("statusText", last.statusText)
      .Field("elapsedMs", static_cast<long long>(run.elapsedMs))
      .EndObject();
  std::string error;
  if (!log->Append(line.Finish(), error)) WriteErr("tessaro-cli " + std::string(request.command) + ": " + error + "\n");
}

int RunOperation(Operation operation, std::vector<std::string>& rawArgs) {
  // Ctrl-C is taken over before any work (loading a large simulated board state takes a while):
  // from here on it cancels every board, and the run still reports.
  InterruptScope interrupts;
  JobRequest request;
  ArgReader args(CommandName(operation), rawArgs);
  if (auto exitCode = ReadJob(operation, args, request)) return *exitCode;
  const bool several = request.ports.size() > 1;
  auto usageError = [&](const std::string& message) {
    if (request.json) {
      JsonWriter out;
      out.BeginObject().Field("ok", false).Field("error", message).EndObject();
      WriteOut(out.Finish());
    }
    return args.UsageError(message);
  };

  // Every port is opened before any board starts, so a misspelt one stops the run untouched.
  const std::vector<std::string> texts = request.ports.empty() ? std::vector<std::string>{""} : request.ports;
  std::vector<PortChoice> ports(texts.size());
  std::vector<std::string> outputs(texts.size(), request.output);
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string portError;
    const std::optional<std::string> text = texts[i].empty() ? std::nullopt : std::optional<std::string>(texts[i]);
    if (!ResolvePort(text, ports[i], portError)) return usageError(portError);
    if (several && !request.output.empty()) outputs[i] = PortFileName(request.output, texts[i]);
  }
  const bool eventsOnStdout = args.ValueOr("events", "") == "-";
  std::unique_ptr<EventStream> events;
  std::unique_ptr<StationLog> log;
  std::string openError;
  if (auto target = args.Value("events")) {
    events = std::make_unique<EventStream>();
    if (!events->Open(*target, openError)) return usageError(openError);
  }
  if (auto folder = args.Value("log")) {
    log = std::make_unique<StationLog>();
    if (!log->Open(*folder, openError)) return usageError(openError);
  }

  const bool terminal = !request.json && isatty(STDERR_FILENO);
  BoardLines lines(several && terminal, texts, request.config.chip->name);
  std::vector<std::unique_ptr<BoardReporter>> reporters;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string name = texts[i].empty() ? ports[i].name : texts[i];
    reporters.push_back(std::make_unique<BoardReporter>(events.get(), several ? &lines : nullptr, i, name));
  }
  std::vector<BoardRun> runs(texts.size());
  auto runOne = [&](size_t i) {
    runs[i] = RunBoard(request, ports[i], texts[i], outputs[i], reporters[i].get(), !several && terminal);
    RecordDone(request, runs[i], *reporters[i], log.get());
  };
  if (!several) {
    runOne(0);
  } else {
    // A board on a thread of its own: one that fails or hangs holds up no other.
    std::vector<std::thread> threads;
    for (size_t i = 0; i < texts.size(); ++i) threads.emplace_back(runOne, i);
    for (std::thread& thread : threads) thread.join();
    lines.Finish();
  }

  if (!several) {
    if (request.json) {
      JsonWriter out;
      WriteBoardJson(out, request, runs[0], false);
      WriteOut(out.Finish());
    } else {
      ReportBoardText(request, runs[0], "", !eventsOnStdout);
    }
    return runs[0].exitCode;
  }
  const bool allOk = std::all_of(runs.begin(), runs.end(), [](const BoardRun& run) { return run.exitCode == kExitOk; });
  if (request.json) {
    JsonWriter out;
    out.BeginObject().Field("ok", allOk).Key("boards").BeginArray();
    for (const BoardRun& run : runs) WriteBoardJson(out, request, run, true);
    out.EndArray().EndObject();
    WriteOut(out.Finish());
  } else {
    for (const std::string& warning : request.imageWarnings)
      WriteErr("tessaro-cli " + std::string(request.command) + ": " + warning + "\n");
    for (const BoardRun& run : runs) ReportBoardText(request, run, run.port + ": ", !eventsOnStdout);
    if (!eventsOnStdout) WriteSummary(runs);
  }
  if (allOk) return kExitOk;
  return Interrupted() ? kExitAborted : kExitFailed;
}

const char* const kOptions =
    " [--port COMn|PATH|sim:OPTION,...] (--board NAME | --config-string TEXT [--df NAME --df-enable PINS [--df-disable "
    "PINS]] [--qspi NAME [--dual]] "
    "[--mpqspi NAME] [--single-bit] [--nor NAME] [--nand]) [--dest CODE|embedded|emb+nor|"
    "emb+serial|nor|serial|qspi|mpqspi|nand] [--start HEX|HHHH:LLLL] [--size HEX] [--yes|--no] [--double-baud] "
    "[--json] [--drivers DIR] [--config DIR] FILE";

// Several boards at once: --port again for each, or --ports PATTERN.
const char* const kLineOptions = " [--ports PATTERN] [--events FILE|-] [--log DIR]";

const CommandRegistration kProgram(
    "program", std::string("program [--no-verify] [--skip-unchanged] [--burn]") + kOptions + kLineOptions,
    [](std::vector<std::string>& args) { return RunOperation(Operation::Program, args); });
const CommandRegistration kVerify("verify", std::string("verify") + kOptions + kLineOptions,
                                  [](std::vector<std::string>& args) { return RunOperation(Operation::Verify, args); });
// The range commands take the same target options, a --start and a --size in words.
const CommandRegistration kErase("erase",
                                 "erase TARGET-OPTIONS [--start HEX] --size HEX (the sectors the range overlaps)",
                                 [](std::vector<std::string>& args) { return RunOperation(Operation::Erase, args); });
const CommandRegistration kRead("read", "read TARGET-OPTIONS [--start HEX] --size HEX -o FILE(.bin|.hex|.srec)",
                                [](std::vector<std::string>& args) { return RunOperation(Operation::Read, args); });
const CommandRegistration kBlankCheck("blank-check", "blank-check TARGET-OPTIONS [--start HEX] --size HEX",
                                      [](std::vector<std::string>& args) {
                                        return RunOperation(Operation::BlankCheck, args);
                                      });

}  // namespace
}  // namespace tessaro::cli
