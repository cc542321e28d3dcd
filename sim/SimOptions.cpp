#include "sim/SimOptions.h"

#include <algorithm>
#include <cstdlib>

#include "chips/ChipCatalogue.h"
#include "definitions/PinList.h"
#include "sim/devices/EfuseArray.h"

namespace tessaro::sim {

namespace {

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty()) return false;
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

// "NAME@PIN" with exactly one pin item.
bool ParseSpiItem(const std::string& text, SimSpiItem& item, std::string& error) {
  const size_t at = text.rfind('@');
  PinList pins;
  if (at == std::string::npos || at == 0 || !ParsePinList(text.substr(at + 1), pins) || pins.count != 1) {
    error = "--spi-flash wants NAME@PIN with one pin (e.g. AT45DB161E@P7.15), not '" + text + "'";
    return false;
  }
  item = {text.substr(0, at), text.substr(at + 1)};
  return true;
}

// "NAME@B" or "NAME+NAME@B", B one of the controller bases.
bool ParseQspiItem(const std::string& text, SimQspiItem& item, std::string& error) {
  const size_t at = text.rfind('@');
  uint64_t base = 0;
  if (at == std::string::npos || at == 0 || !ParseNumber(text.substr(at + 1), base) ||
      (base != 96 && base != 100 && base != 104)) {
    error = "--qspi wants NAME@B or NAME+NAME@B with B 96, 100 or 104, not '" + text + "'";
    return false;
  }
  const std::string names = text.substr(0, at);
  const size_t plus = names.find('+');
  item.base = static_cast<uint32_t>(base);
  item.lane0 = names.substr(0, plus);
  item.lane1 = plus == std::string::npos ? "" : names.substr(plus + 1);
  if (item.lane0.empty() || (plus != std::string::npos && item.lane1.empty())) {
    error = "--qspi names an empty device in '" + text + "'";
    return false;
  }
  return true;
}

// "NAME[:PART]@ADDR", ADDR a hexadecimal target word address.
bool ParseNorItem(const std::string& text, SimNorItem& item, std::string& error) {
  const size_t at = text.rfind('@');
  uint64_t address = 0;
  if (at == std::string::npos || at == 0 || !ParseHexNumber(text.substr(at + 1), address)) {
    error = "--nor wants NAME[:PART]@ADDR with ADDR in hex, not '" + text + "'";
    return false;
  }
  const std::string names = text.substr(0, at);
  const size_t colon = names.find(':');
  item.name = names.substr(0, colon);
  item.part = colon == std::string::npos ? "" : names.substr(colon + 1);
  item.address = static_cast<uint32_t>(address);
  if (item.name.empty() || (colon != std::string::npos && item.part.empty())) {
    error = "--nor names an empty device or part in '" + text + "'";
    return false;
  }
  return true;
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
         "                          efuses, spi, qspi, mpqspi, nor, nand,\n"
         "                          memory@START+COUNT in hex words)\n"
         "  --efuses HEX            9xxx: eFuse words at power-up, 4 hex digits each, word 0 first\n"
         "  --board NAME|FILE       carry what a board definition names (chip and devices)\n"
         "  --config DIR            folder of the board definitions (default: config)\n"
         "  --drivers DIR           folder of the device descriptions (default: drivers)\n"
         "  --spi-flash NAME@PIN    a serial flash behind one select pin (repeatable)\n"
         "  --qspi NAME[+NAME]@B    a QSPI device, or a dual pair low lane first, on controller\n"
         "                          B = 96, 100 or 104 (repeatable)\n"
         "  --nor NAME[:PART]@ADDR  a parallel NOR at hex target word address ADDR\n"
         "  --nand[=16bit]          an ONFI NAND behind the NAND controller\n"
         "  --dataflash-pages 264|pow2  DataFlash page mode at power-up (default 264)\n"
         "  --qspi-configured       QSPI configuration bits already set (default: factory)\n"
         "  --busy-ms N             program and erase time of serial and QSPI devices\n"
         "  --fail-erase-sector N   NOR sector N will not erase (repeatable)\n"
         "  --fail-program-word A   NOR word offset A will not program (repeatable)\n"
         "  --stuck-busy            the external devices never finish a program or erase\n";
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
  static const char* const kFlags[] = {"no-power", "security-bit", "baud-pace", "no-baud-switch", "qspi-configured",
                                       "stuck-busy"};
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
      if (name == "qspi-configured") options.qspiConfigured = true;
      if (name == "stuck-busy") options.stuckBusy = true;
      continue;
    }
    // --nand alone is an 8-bit NAND; only "--nand=16bit" gives it a value.
    if (name == "nand") {
      if (value && *value != "16bit" && *value != "8bit") {
        error = "--nand takes no value or 16bit, not '" + *value + "'";
        return false;
      }
      options.nand = value && *value == "16bit";
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
    } else if (name == "efuses") {
      EfuseArray::Words words{};
      std::string efuseError;
      if (!ParseEfuseWords(*value, words, efuseError)) {
        error = "--efuses: " + efuseError;
        return false;
      }
      options.efusePreset.assign(words.begin(), words.end());
    } else if (name == "board") {
      if (value->empty()) {
        error = "--board needs a board name or file";
        return false;
      }
      options.boardName = *value;
    } else if (name == "config") {
      options.configDir = *value;
    } else if (name == "drivers") {
      options.driversDir = *value;
    } else if (name == "spi-flash") {
      SimSpiItem item;
      if (!ParseSpiItem(*value, item, error)) return false;
      options.spiFlash.push_back(item);
    } else if (name == "qspi") {
      SimQspiItem item;
      if (!ParseQspiItem(*value, item, error)) return false;
      options.qspi.push_back(item);
    } else if (name == "nor") {
      SimNorItem item;
      if (!ParseNorItem(*value, item, error)) return false;
      options.nor = item;
    } else if (name == "dataflash-pages") {
      if (*value == "264") options.dataflashPow2 = false;
      else if (*value == "pow2") options.dataflashPow2 = true;
      else {
        error = "--dataflash-pages takes 264 or pow2, not '" + *value + "'";
        return false;
      }
    } else if (name == "busy-ms") {
      if (!needNumber(60000)) return false;
      options.busyMs = static_cast<uint32_t>(number);
    } else if (name == "fail-erase-sector") {
      if (!needNumber(UINT32_MAX)) return false;
      options.failEraseSectors.push_back(static_cast<uint32_t>(number));
    } else if (name == "fail-program-word") {
      if (!needNumber(UINT32_MAX)) return false;
      options.failProgramWords.push_back(static_cast<uint32_t>(number));
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
