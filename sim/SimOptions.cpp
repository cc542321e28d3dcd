#include "sim/SimOptions.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <type_traits>

#include <CLI/CLI.hpp>

#include "chips/ChipCatalogue.h"
#include "definitions/PinList.h"
#include "sim/devices/EfuseArray.h"

namespace tessaro::sim {

namespace {

// ---- values ----

bool ParseNumber(const std::string& text, uint64_t& value) {
  // strtoull would take a sign or leading blanks; a count or an index has neither.
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return end && *end == '\0';
}

bool ParseHexNumber(const std::string& text, uint64_t& value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  value = std::strtoull(digits.c_str(), nullptr, 16);
  return true;
}

// A setter stores one occurrence of its option. On a refused value it returns false with the
// reason, worded to follow the option's name ("--qspi wants ..."); an empty reason means a bad
// number, which the parser words itself.
using Setter = bool (*)(const std::string& value, SimOptions& options, std::string& reason);

template <auto Member, uint64_t Max>
bool SetNumber(const std::string& value, SimOptions& options, std::string&) {
  uint64_t number = 0;
  if (!ParseNumber(value, number) || number > Max) return false;
  using Field = std::remove_reference_t<decltype(options.*Member)>;
  if constexpr (requires(Field & field) { field.push_back(0); })
    (options.*Member).push_back(static_cast<typename Field::value_type>(number));
  else if constexpr (requires(Field & field) { field.emplace(); })
    options.*Member = static_cast<typename Field::value_type>(number);
  else
    options.*Member = static_cast<Field>(number);
  return true;
}

template <auto Member, auto Value>
bool SetFlag(const std::string&, SimOptions& options, std::string&) {
  options.*Member = Value;
  return true;
}

// Any text, an empty one included (it means "the default").
template <auto Member>
bool SetText(const std::string& value, SimOptions& options, std::string&) {
  options.*Member = value;
  return true;
}

template <auto Member>
bool SetName(const std::string& value, SimOptions& options, std::string& reason) {
  if (value.empty()) {
    reason = "needs a name";
    return false;
  }
  options.*Member = value;
  return true;
}

bool SetInterface(const std::string& value, SimOptions& options, std::string& reason) {
  if (value != "none" && value != "usb") {
    reason = "takes none or usb, not '" + value + "'";
    return false;
  }
  options.usbInterface = value == "usb";
  return true;
}

bool SetSecured(const std::string& value, SimOptions& options, std::string& reason) {
  uint64_t session = 0;
  if (value == "none-left") {
    options.securedSession = 8;
  } else if (ParseNumber(value, session) && session >= 2 && session <= 7) {
    options.securedSession = static_cast<int>(session);
  } else {
    reason = "takes a debug session 2..7 or none-left, not '" + value + "'";
    return false;
  }
  return true;
}

bool AddDumpRequest(const std::string& value, SimOptions& options, std::string& reason) {
  const size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size()) {
    reason = "wants REGION:FILE, not '" + value + "'";
    return false;
  }
  options.dumpRequests.push_back(value);
  return true;
}

// "N" or "N:MASK": the bits of MASK (default all) flipped in the Nth host-to-target byte.
bool AddCorruptHostByte(const std::string& value, SimOptions& options, std::string& reason) {
  uint64_t index = 0, mask = 0xFF;
  const size_t colon = value.find(':');
  if (!ParseNumber(value.substr(0, colon), index) || index == 0 ||
      (colon != std::string::npos && (!ParseNumber(value.substr(colon + 1), mask) || mask == 0 || mask > 0xFF))) {
    reason = "wants N or N:MASK (MASK 1..0xFF), not '" + value + "'";
    return false;
  }
  options.corruptHostBytes.emplace_back(index, static_cast<uint8_t>(mask));
  return true;
}

bool SetEfuses(const std::string& value, SimOptions& options, std::string& reason) {
  EfuseArray::Words words{};
  if (!ParseEfuseWords(value, words, reason)) {
    reason = ": " + reason;
    return false;
  }
  options.efusePreset.assign(words.begin(), words.end());
  return true;
}

// "NAME@PIN" with exactly one pin item.
bool AddSpiFlash(const std::string& value, SimOptions& options, std::string& reason) {
  const size_t at = value.rfind('@');
  PinList pins;
  if (at == std::string::npos || at == 0 || !ParsePinList(value.substr(at + 1), pins) || pins.count != 1) {
    reason = "wants NAME@PIN with one pin (e.g. AT45DB161E@P7.15), not '" + value + "'";
    return false;
  }
  options.spiFlash.push_back({value.substr(0, at), value.substr(at + 1)});
  return true;
}

// "NAME@B" or "NAME+NAME@B", B one of the controller bases.
bool AddQspi(const std::string& value, SimOptions& options, std::string& reason) {
  const size_t at = value.rfind('@');
  uint64_t base = 0;
  if (at == std::string::npos || at == 0 || !ParseNumber(value.substr(at + 1), base) ||
      (base != 96 && base != 100 && base != 104)) {
    reason = "wants NAME@B or NAME+NAME@B with B 96, 100 or 104, not '" + value + "'";
    return false;
  }
  const std::string names = value.substr(0, at);
  const size_t plus = names.find('+');
  SimQspiItem item;
  item.base = static_cast<uint32_t>(base);
  item.lane0 = names.substr(0, plus);
  item.lane1 = plus == std::string::npos ? "" : names.substr(plus + 1);
  if (item.lane0.empty() || (plus != std::string::npos && item.lane1.empty())) {
    reason = "names an empty device in '" + value + "'";
    return false;
  }
  options.qspi.push_back(item);
  return true;
}

// "NAME[:PART]@ADDR", ADDR a hexadecimal target word address.
bool SetNor(const std::string& value, SimOptions& options, std::string& reason) {
  const size_t at = value.rfind('@');
  uint64_t address = 0;
  if (at == std::string::npos || at == 0 || !ParseHexNumber(value.substr(at + 1), address)) {
    reason = "wants NAME[:PART]@ADDR with ADDR in hex, not '" + value + "'";
    return false;
  }
  const std::string names = value.substr(0, at);
  const size_t colon = names.find(':');
  SimNorItem item;
  item.name = names.substr(0, colon);
  item.part = colon == std::string::npos ? "" : names.substr(colon + 1);
  item.address = static_cast<uint32_t>(address);
  if (item.name.empty() || (colon != std::string::npos && item.part.empty())) {
    reason = "names an empty device or part in '" + value + "'";
    return false;
  }
  options.nor = item;
  return true;
}

// --nand alone is an 8-bit NAND; "--nand=16bit" a 16-bit one.
bool SetNand(const std::string& value, SimOptions& options, std::string& reason) {
  if (!value.empty() && value != "16bit" && value != "8bit") {
    reason = "takes no value or 16bit, not '" + value + "'";
    return false;
  }
  options.nand = value == "16bit";
  return true;
}

bool SetDataflashPages(const std::string& value, SimOptions& options, std::string& reason) {
  if (value != "264" && value != "pow2") {
    reason = "takes 264 or pow2, not '" + value + "'";
    return false;
  }
  options.dataflashPow2 = value == "pow2";
  return true;
}

// ---- the table ----

// How an option is written: a flag has no value; a value option takes one (given again, the
// last one counts); a repeatable one adds one item per occurrence; an optional value is only
// ever written "--name=value".
enum class Form : uint8_t { Flag, Value, Repeatable, OptionalValue };

constexpr uint64_t kAny = UINT64_MAX;
constexpr uint64_t kDayMs = 86400000;

// Legend: group in --help; name without "--"; placeholder of the value in --help; how it is
// written; its --help line; the setter that stores it.
struct OptionRow {
  const char* group;
  const char* name;
  const char* value;
  Form form;
  const char* help;
  Setter set;
};

using O = SimOptions;
constexpr const char* kChip = "Chip and interface";
constexpr const char* kWire = "Wire";
constexpr const char* kFaults = "Faults (N counts from 1; times in ms from the host's first byte)";
constexpr const char* kFiles = "Files";
constexpr const char* kDevices = "External devices";

constexpr OptionRow kOptionRows[] = {
    {kChip, "chip", "NAME", Form::Value, "catalogue chip (default LYR9468)", SetName<&O::chip>},
    {kChip, "interface", "none|usb", Form::Value, "debug interface in front of the chip (default none)", SetInterface},
    {kChip, "usb-kind", "K", Form::Value, "USB interface kind (default 2)", SetNumber<&O::usbKind, 255>},
    {kChip, "usb-revision", "R", Form::Value, "USB interface revision (default 6)", SetNumber<&O::usbRevision, 255>},
    {kChip, "usb-flags", "F", Form::Value, "USB interface flags byte (default from chip and power)",
     SetNumber<&O::usbFlags, 255>},
    {kChip, "no-power", "", Form::Flag, "the target board is not powered", SetFlag<&O::targetPowered, false>},
    {kChip, "secured", "SESSION|none-left", Form::Value, "9xxx: secured, offering debug session 2..7", SetSecured},
    {kChip, "security-bit", "", Form::Flag, "8x47: the security bit is set", SetFlag<&O::securityBit, true>},
    {kChip, "strapping", "S", Form::Value,
     "9xxx: bits 12-14 of I/O register 21 (0..7; default: what selects the --board memories, else 0)",
     SetNumber<&O::strapping, 7>},
    {kChip, "package-code", "P", Form::Value, "9xxx: low 4 bits of I/O register 250", SetNumber<&O::packageCode, 15>},
    {kChip, "revision", "N", Form::Value, "chip revision in I/O register 251", SetNumber<&O::revision, 127>},
    {kChip, "efuses", "HEX", Form::Value, "9xxx: eFuse words at power-up, 4 hex digits each, word 0 first", SetEfuses},
    {kChip, "reset-ms", "N", Form::Value, "reset to boot ROM greeting (default 300)", SetNumber<&O::resetMs, 60000>},
    {kChip, "no-baud-switch", "", Form::Flag, "the target refuses the higher baud rate",
     SetFlag<&O::refuseBaudSwitch, true>},

    {kWire, "baud-pace", "", Form::Flag, "pace bytes at the current line speed", SetFlag<&O::baudPace, true>},
    {kWire, "latency-us", "N", Form::Value, "turnaround delay before each reply", SetNumber<&O::latencyUs, 10000000>},
    {kWire, "rx-buffer", "N", Form::Value,
     "bytes the monitor buffers while busy with a command (default 256; paced only)", SetNumber<&O::rxBuffer, 1048576>},

    {kFaults, "drop-byte", "N", Form::Value, "drop the Nth target-to-host byte", SetNumber<&O::dropReplyByte, kAny>},
    {kFaults, "corrupt-byte", "N", Form::Value, "corrupt the Nth target-to-host byte",
     SetNumber<&O::corruptReplyByte, kAny>},
    {kFaults, "late-command", "N", Form::Value, "answer the Nth command late", SetNumber<&O::lateCommand, kAny>},
    {kFaults, "late-ms", "N", Form::Value, "how late (default 1500)", SetNumber<&O::lateMs, 600000>},
    {kFaults, "stop-after", "N", Form::Value, "stop answering after N commands, until the next reset",
     SetNumber<&O::stopAfterCommands, kAny>},
    {kFaults, "drop-host-byte", "N", Form::Repeatable, "lose the Nth host-to-target byte",
     SetNumber<&O::dropHostBytes, kAny>},
    {kFaults, "corrupt-host-byte", "N[:MASK]", Form::Repeatable,
     "flip MASK's bits (default 0xFF) in the Nth host-to-target byte", AddCorruptHostByte},
    {kFaults, "duplicate-host-byte", "N", Form::Repeatable, "the Nth host-to-target byte arrives twice",
     SetNumber<&O::duplicateHostBytes, kAny>},
    {kFaults, "noise-ppm", "N", Form::Value, "flip a random bit in N of a million bytes, both ways",
     SetNumber<&O::noisePpm, 1000000>},
    {kFaults, "seed", "S", Form::Value, "seed of the noise (default 1), printed in the log", SetNumber<&O::seed, kAny>},
    {kFaults, "reset-at-command", "N", Form::Value, "the board resets itself after the Nth command (a brown-out)",
     SetNumber<&O::resetAtCommand, kAny>},
    {kFaults, "reset-at-ms", "T", Form::Value, "the board resets itself at time T", SetNumber<&O::resetAtMs, kDayMs>},
    {kFaults, "link-loss-at-command", "N", Form::Value,
     "after the Nth command the target falls silent: the port stays, nothing answers, the USB interface "
     "reports no target",
     SetNumber<&O::linkLossAtCommand, kAny>},
    {kFaults, "link-loss-at-ms", "T", Form::Value, "the same link loss at time T", SetNumber<&O::linkLossAtMs, kDayMs>},
    {kFaults, "link-loss-ms", "D", Form::Value, "a link loss ends after D ms (default: it lasts)",
     SetNumber<&O::linkLossMs, kDayMs>},
    {kFaults, "unplug-at-command", "N", Form::Value,
     "after the Nth command the USB interface is unplugged: its port vanishes (reads and writes fail, "
     "opening it fails)",
     SetNumber<&O::unplugAtCommand, kAny>},
    {kFaults, "unplug-at-ms", "T", Form::Value, "the same unplug at time T", SetNumber<&O::unplugAtMs, kDayMs>},

    {kFiles, "stats", "FILE", Form::Value, "write wire counters and violations as JSON at exit",
     SetText<&O::statsFile>},
    {kFiles, "trace", "FILE", Form::Value, "write each decoded command as a JSON line to FILE", SetName<&O::traceFile>},
    {kFiles, "state", "FILE", Form::Value,
     "load the board's memories from FILE when it exists, save them there when the board ends", SetName<&O::stateFile>},
    {kFiles, "dump-memory", "REGION:FILE", Form::Repeatable,
     "write a region's words (16-bit little-endian) to FILE when the board ends; REGION: flash, fuses, "
     "security, efuses, spi, qspi, mpqspi, nor, nand, memory@START+COUNT (hex words)",
     AddDumpRequest},

    {kDevices, "board", "NAME|FILE", Form::Value, "carry what a board definition names (chip and devices)",
     SetName<&O::boardName>},
    {kDevices, "config", "DIR", Form::Value, "folder of the board definitions (default: config)",
     SetText<&O::configDir>},
    {kDevices, "drivers", "DIR", Form::Value, "folder of the device descriptions (default: drivers)",
     SetText<&O::driversDir>},
    {kDevices, "spi-flash", "NAME@PIN", Form::Repeatable, "a serial flash behind one select pin", AddSpiFlash},
    {kDevices, "qspi", "NAME[+NAME]@B", Form::Repeatable,
     "a QSPI device, or a dual pair low lane first, on controller B = 96, 100 or 104", AddQspi},
    {kDevices, "nor", "NAME[:PART]@ADDR", Form::Value, "a parallel NOR at hex target word address ADDR", SetNor},
    {kDevices, "nand", "[=16bit]", Form::OptionalValue, "an ONFI NAND behind the NAND controller", SetNand},
    {kDevices, "dataflash-pages", "264|pow2", Form::Value, "DataFlash page mode at power-up (default 264)",
     SetDataflashPages},
    {kDevices, "qspi-configured", "", Form::Flag, "QSPI configuration bits already set (default: factory)",
     SetFlag<&O::qspiConfigured, true>},
    {kDevices, "busy-ms", "N", Form::Value, "program and erase time of serial and QSPI devices",
     SetNumber<&O::busyMs, 60000>},
    {kDevices, "fail-erase-sector", "N", Form::Repeatable, "NOR sector N will not erase",
     SetNumber<&O::failEraseSectors, UINT32_MAX>},
    {kDevices, "fail-program-word", "A", Form::Repeatable, "NOR word offset A will not program",
     SetNumber<&O::failProgramWords, UINT32_MAX>},
    {kDevices, "stuck-busy", "", Form::Flag, "the external devices never finish a program or erase",
     SetFlag<&O::stuckBusy, true>},
};
constexpr size_t kOptionCount = std::size(kOptionRows);

// The CLI11 app of the table, with one list of texts per row to catch its occurrences.
struct OptionApp {
  CLI::App app{
      "A simulated LYR board served on a pseudo-terminal; its first line of output is \"pty: PATH\".\n"
      "Options are also written --name=value; in a sim: port, name=value items between commas.",
      "tessaro-sim"};
  std::array<std::vector<std::string>, kOptionCount> values;
  std::array<CLI::Option*, kOptionCount> options{};

  OptionApp() {
    app.set_help_flag("-h,--help", "print this help and exit");
    app.allow_extras(true);  // reported by ParseSimOptions in its own words
    app.get_formatter()->column_width(34);
    for (size_t i = 0; i < kOptionCount; ++i) {
      const OptionRow& row = kOptionRows[i];
      const std::string name = std::string("--") + row.name;
      const std::string help = std::string(row.help) + (row.form == Form::Repeatable ? " (repeatable)" : "");
      CLI::Option* option = nullptr;
      if (row.form == Form::Flag) {
        option = app.add_flag(name, help)->disable_flag_override();
      } else {
        option = app.add_option(name, values[i], help)->type_name(row.value)->allow_extra_args(false);
        if (row.form == Form::OptionalValue)
          option->expected(0, 1);
        else
          option->expected(1);
        option->multi_option_policy(row.form == Form::Repeatable ? CLI::MultiOptionPolicy::TakeAll
                                                                 : CLI::MultiOptionPolicy::TakeLast);
      }
      option->group(row.group);
      options[i] = option;
    }
  }
};

}  // namespace

std::string SimOptionsHelp() {
  OptionApp parser;
  return parser.app.help();
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
  OptionApp parser;
  // A sim: port has no help to print: --help there is an unknown option like any other.
  parser.app.set_help_flag();
  for (const std::string& arg : args)
    for (const OptionRow& row : kOptionRows)
      if (row.form == Form::Flag && arg.rfind(std::string("--") + row.name + "=", 0) == 0) {
        error = std::string("--") + row.name + " takes no value";
        return false;
      }
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    parser.app.parse(reversed);
  } catch (const CLI::ParseError& failure) {
    error = failure.what();
    return false;
  }
  if (const auto extra = parser.app.remaining(); !extra.empty()) {
    const std::string& first = extra.front();
    error = first.rfind("--", 0) == 0 ? "unknown option " + first.substr(0, first.find('='))
                                      : "unexpected argument '" + first + "'";
    return false;
  }
  for (size_t i = 0; i < kOptionCount; ++i) {
    const OptionRow& row = kOptionRows[i];
    if (parser.options[i]->count() == 0) continue;
    std::vector<std::string> given = parser.values[i];
    if (row.form == Form::Flag || (row.form == Form::OptionalValue && given.empty())) given = {""};
    for (const std::string& value : given) {
      std::string reason;
      if (row.set(value, options, reason)) continue;
      const std::string name = std::string("--") + row.name;
      if (reason.empty())
        error = "invalid value '" + value + "' for " + name;
      else
        error = name + (reason[0] == ':' ? "" : " ") + reason;
      return false;
    }
  }
  if (!FindChipByName(options.chip)) {
    error = "unknown chip '" + options.chip + "'";
    return false;
  }
  return true;
}

std::vector<std::string> DescribeFaults(const SimOptions& o) {
  std::vector<std::string> lines;
  auto at = [&](const char* what, uint64_t command, uint32_t ms) {
    if (command != 0) lines.push_back(std::string(what) + " after command " + std::to_string(command));
    if (ms != 0) lines.push_back(std::string(what) + " at " + std::to_string(ms) + " ms");
  };
  auto each = [&](const char* what, const std::vector<uint64_t>& indexes) {
    for (uint64_t index : indexes) lines.push_back(std::string(what) + " " + std::to_string(index));
  };
  if (o.dropReplyByte != 0) lines.push_back("target-to-host byte " + std::to_string(o.dropReplyByte) + " dropped");
  if (o.corruptReplyByte != 0)
    lines.push_back("target-to-host byte " + std::to_string(o.corruptReplyByte) + " corrupted");
  if (o.lateCommand != 0)
    lines.push_back("command " + std::to_string(o.lateCommand) + " answered " + std::to_string(o.lateMs) + " ms late");
  if (o.stopAfterCommands != 0)
    lines.push_back("target stops answering after command " + std::to_string(o.stopAfterCommands));
  each("host-to-target byte dropped:", o.dropHostBytes);
  for (const auto& [index, mask] : o.corruptHostBytes)
    lines.push_back("host-to-target byte corrupted: " + std::to_string(index) + " (mask " + std::to_string(mask) + ")");
  each("host-to-target byte duplicated:", o.duplicateHostBytes);
  if (o.noisePpm != 0)
    lines.push_back("line noise " + std::to_string(o.noisePpm) + " ppm, seed " + std::to_string(o.seed));
  at("board reset", o.resetAtCommand, o.resetAtMs);
  at("link loss", o.linkLossAtCommand, o.linkLossAtMs);
  if ((o.linkLossAtCommand != 0 || o.linkLossAtMs != 0) && o.linkLossMs != 0)
    lines.push_back("link loss lasts " + std::to_string(o.linkLossMs) + " ms");
  at("USB interface unplugged", o.unplugAtCommand, o.unplugAtMs);
  return lines;
}

std::vector<std::string> SplitSimOptionList(std::string_view list) {
  std::vector<std::string> args;
  std::string item;
  int depth = 0;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && (list[i] != ',' || depth > 0)) {
      if (list[i] == '(') ++depth;
      if (list[i] == ')' && depth > 0) --depth;
      item += list[i];
      continue;
    }
    size_t first = item.find_first_not_of(" \t");
    size_t last = item.find_last_not_of(" \t");
    if (first != std::string::npos) {
      std::string trimmed = item.substr(first, last - first + 1);
      args.push_back(trimmed.rfind("--", 0) == 0 ? trimmed : "--" + trimmed);
    }
    item.clear();
  }
  return args;
}

}  // namespace tessaro::sim
