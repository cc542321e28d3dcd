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

std::string FuseBitMeaning(uint32_t bit) {
  const std::string where = "word " + std::to_string(bit / 16) + " bit " + std::to_string(bit % 16) + ": ";
  if (bit == kSssBootBit) return where + "SSS boot enable";
  if (bit == kMidiOutBit) return where + "MIDI out enable";
  if (bit >= SessionCloseBit(0) && bit <= SessionCloseBit(kEfuseSessionCount - 1))
    return where + "close of session " + std::to_string(bit) + "/7";
  if (bit >= kSessionCounterShift && bit < kSessionCounterShift + kEfuseSessionCount - 1)
    return where + "session counter";
  if (bit >= WatchdogBit(0) && bit <= WatchdogBit(kEfuseSessionCount - 1))
    return where + "watchdog enable of session " + std::to_string(bit - WatchdogBit(0) + 1) + "/7";
  if (bit >= 128 && bit < kEfuseBitCount) {
    const uint32_t offset = bit % 128;
    return where + "AES key of session " + std::to_string(bit / 128) + "/7, key word " + std::to_string(offset / 16) +
           " bit " + std::to_string(offset % 16);
  }
  return where + "unused";
}

}  // namespace tessaro::cli
