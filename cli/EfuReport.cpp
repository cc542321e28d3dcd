#include "cli/EfuReport.h"

#include "cli/Cli.h"
#include "cli/Terminal.h"
#include "efuse/EfuseMap.h"

namespace tessaro::cli {

std::string WithoutCarriageReturns(const std::string& text) { return TerminalText(text); }

void WriteEfuJson(JsonWriter& json, const EfuData& efu, const std::string& error) {
  json.Key("efu").BeginObject().Field("valid", efu.valid).Field("error", WithoutCarriageReturns(error));
  json.Field("flags", static_cast<unsigned>(efu.flags))
      .Field("mc", static_cast<unsigned>(efu.mc))
      .Field("serialNumber", static_cast<unsigned>(efu.serialNumber))
      .Field("watchdog", efu.watchdog != 0)
      .Field("aes", EfuKeyHex(efu.aes))
      .Field("secured", efu.secured != 0)
      .Field("midiOut", efu.midiOutEnable != 0)
      .Field("sssBoot", efu.sssBootEnable != 0)
      .EndObject();
}

std::string EfuLines(const EfuData& efu) {
  auto onOff = [](uint32_t value) { return value ? "on" : "off"; };
  std::string text = "AES key:       " + EfuKeyText(efu.aes) + "\n";
  text += "MC:            " + std::to_string(efu.mc) + "\n";
  text += "Serial number: " + std::to_string(efu.serialNumber) + "\n";
  text += std::string("Options:       watchdog ") + onOff(efu.watchdog) + ", secured " + onOff(efu.secured) +
          ", MIDI out " + onOff(efu.midiOutEnable) + ", SSS boot " + onOff(efu.sssBootEnable) + "\n";
  return text;
}

}  // namespace tessaro::cli
