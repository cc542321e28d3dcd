#include "sim/SimOptions.h"

#include <algorithm>
#include <cstdlib>

#include "chips/ChipCatalogue.h"

namespace tessaro::sim {

namespace {

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return end && *end == '\0';
}

}  // namespace

std::string SimOptionsHelp() {
  return "  --chip NAME             catalogue chip (default LYR9468)\n"
         "  --interface none|usb    debug interface in front of the chip (default none)\n"
         "  --usb-kind K            USB interface kind (default 2)\n"
         "  --usb-revision R        USB interface revision (default 6)\n"
         "  --usb-flags F           USB interface flags byte (default from chip and power)\n"
         "  --no-power              the target board is not powered\n"
         "  --secured SESSION|none-left   9xxx: secured, offering debug session 2..7\n"
         "  --security-bit          8x47: the security bit is set\n"
         "  --strapping S           9xxx: bits 12-14 of I/O register 21 (0..7)\n"
         "  --package-code P        9xxx: low 4 bits of I/O register 250\n"
         "  --revision N            chip revision in I/O register 251\n"
         "  --baud-pace             pace bytes at the current line speed\n"
         "  --latency-us N          turnaround delay before each reply\n"
         "  --reset-ms N            reset to boot ROM greeting (default 300)\n"
         "  --stats FILE            write wire counters as JSON at exit\n"
         "  --drop-byte N           drop the Nth target-to-host byte\n"
         "  --corrupt-byte N        corrupt the Nth target-to-host byte\n"
         "  --late-command N        answer the Nth command late\n"
         "  --late-ms N             how late (default 1500)\n"
         "  --stop-after N          stop answering after N commands, until the next reset\n"
         "  --drop-host-byte N      lose the Nth host-to-target byte (repeatable)\n"
         "  --corrupt-host-byte N[:MASK]  flip MASK's bits (default 0xFF) in the Nth\n"
         "                          host-to-target byte (repeatable)\n"
         "  --duplicate-host-byte N the Nth host-to-target byte arrives twice (repeatable)\n"
         "  --noise-ppm N           flip a random bit in N of a million bytes, both ways\n"
         "  --seed S                seed of the noise (default 1), printed in the log\n"
         "  --reset-at-command N    the board resets itself after the Nth command\n"
         "  --unplug-at-command N   the cable is pulled after the Nth command\n"
         "  --trace FILE            write each decoded command as a JSON line to FILE\n"
         "  --no-baud-switch        the target refuses the higher baud rate\n"
         "  --state FILE            load the board's memories from FILE when it exists, save\n"
         "                          them there when the board ends\n"
         "  --dump-memory REGION:FILE  write a region's words (16-bit little-endian) to FILE\n"
         "                          when the board ends (repeatable; flash, fuses, security,\n"
         "                          efuses, memory@START+COUNT in hex words)\n";
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
  static const char* const kFlags[] = {"no-power", "security-bit", "baud-pace", "no-baud-switch"};
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    bool isFlag = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const char* f) { return name == f; }) != std::end(kFlags);
    if (isFlag) {
      if (value) {
        error = "--" + name + " takes no value";
        return false;
      }
      if (name == "no-power") options.targetPowered = false;
      if (name == "security-bit") options.securityBit = true;
      if (name == "baud-pace") options.baudPace = true;
      if (name == "no-baud-switch") options.refuseBaudSwitch = true;
      continue;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        error = "--" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    uint64_t number = 0;
    auto needNumber = [&](uint64_t max) {
      if (!ParseNumber(*value, number) || number > max) {
        error = "invalid value '" + *value + "' for --" + name;
        return false;
      }
      return true;
    };
    if (name == "chip") {
      options.chip = *value;
    } else if (name == "interface") {
      if (*value == "none") options.usbInterface = false;
      else if (*value == "usb") options.usbInterface = true;
      else {
        error = "--interface takes none or usb";
        return false;
      }
    } else if (name == "usb-kind") {
      if (!needNumber(255)) return false;
      options.usbKind = static_cast<uint8_t>(number);
    } else if (name == "usb-revision") {
      if (!needNumber(255)) return false;
      options.usbRevision = static_cast<uint8_t>(number);
    } else if (name == "usb-flags") {
      if (!needNumber(255)) return false;
      options.usbFlags = static_cast<uint8_t>(number);
    } else if (name == "secured") {
      if (*value == "none-left") options.securedSession = 8;
      else if (!needNumber(7) || number < 2) {
        error = "--secured takes a debug session 2..7 or none-left";
        return false;
      } else options.securedSession = static_cast<int>(number);
    } else if (name == "strapping") {
      if (!needNumber(7)) return false;
      options.strapping = static_cast<uint32_t>(number);
    } else if (name == "package-code") {
      if (!needNumber(15)) return false;
      options.packageCode = static_cast<uint32_t>(number);
    } else if (name == "revision") {
      if (!needNumber(127)) return false;
      options.revision = static_cast<int>(number);
    } else if (name == "latency-us") {
      if (!needNumber(10000000)) return false;
      options.latencyUs = static_cast<uint32_t>(number);
    } else if (name == "reset-ms") {
      if (!needNumber(60000)) return false;
      options.resetMs = static_cast<uint32_t>(number);
    } else if (name == "stats") {
      options.statsFile = *value;
    } else if (name == "state") {
      if (value->empty()) {
        error = "--state needs a file name";
        return false;
      }
      options.stateFile = *value;
    } else if (name == "dump-memory") {
      const size_t colon = value->find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 >= value->size()) {
        error = "--dump-memory wants REGION:FILE, not '" + *value + "'";
        return false;
      }
      options.dumpRequests.push_back(*value);
    } else if (name == "drop-byte") {
      if (!needNumber(UINT64_MAX)) return false;
      options.dropReplyByte = number;
    } else if (name == "corrupt-byte") {
      if (!needNumber(UINT64_MAX)) return false;
      options.corruptReplyByte = number;
    } else if (name == "late-command") {
      if (!needNumber(UINT64_MAX)) return false;
      options.lateCommand = number;
    } else if (name == "late-ms") {
      if (!needNumber(600000)) return false;
      options.lateMs = static_cast<uint32_t>(number);
    } else if (name == "drop-host-byte") {
      if (!needNumber(UINT64_MAX)) return false;
      options.dropHostBytes.push_back(number);
    } else if (name == "duplicate-host-byte") {
      if (!needNumber(UINT64_MAX)) return false;
      options.duplicateHostBytes.push_back(number);
    } else if (name == "corrupt-host-byte") {
      uint64_t index = 0, mask = 0xFF;
      const size_t colon = value->find(':');
      if (!ParseNumber(value->substr(0, colon), index) || index == 0 ||
          (colon != std::string::npos && (!ParseNumber(value->substr(colon + 1), mask) || mask == 0 || mask > 0xFF))) {
        error = "--corrupt-host-byte wants N or N:MASK (MASK 1..0xFF), not '" + *value + "'";
        return false;
      }
      options.corruptHostBytes.emplace_back(index, static_cast<uint8_t>(mask));
    } else if (name == "noise-ppm") {
      if (!needNumber(1000000)) return false;
      options.noisePpm = static_cast<uint32_t>(number);
    } else if (name == "seed") {
      if (!needNumber(UINT64_MAX)) return false;
      options.seed = number;
    } else if (name == "reset-at-command") {
      if (!needNumber(UINT64_MAX)) return false;
      options.resetAtCommand = number;
    } else if (name == "unplug-at-command") {
      if (!needNumber(UINT64_MAX)) return false;
      options.unplugAtCommand = number;
    } else if (name == "trace") {
      if (value->empty()) {
        error = "--trace needs a file name";
        return false;
      }
      options.traceFile = *value;
    } else if (name == "stop-after") {
      if (!needNumber(UINT64_MAX)) return false;
      options.stopAfterCommands = number;
    } else {
      error = "unknown option --" + name;
      return false;
    }
  }
  if (!FindChipByName(options.chip)) {
    error = "unknown chip '" + options.chip + "'";
    return false;
  }
  return true;
}

}  // namespace tessaro::sim
