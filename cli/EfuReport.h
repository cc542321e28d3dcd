// How tessaro-cli shows an EFU file's contents, shared by the efuse and image commands.
#pragma once

#include <cstdint>
#include <string>

#include "common/Json.h"
#include "efuse/EfuFile.h"

namespace tessaro::cli {

// "efu": {valid, error, flags, mc, serialNumber, watchdog, aes, secured, midiOut, sssBoot}, the
// key as 32 hexadecimal digits, most significant first. `error` is shown as a terminal shows it.
void WriteEfuJson(JsonWriter& json, const EfuData& efu, const std::string& error);

// The fields as lines "AES key:       ...".
std::string EfuLines(const EfuData& efu);

// Message texts use "\r\n"; a terminal wants "\n".
std::string WithoutCarriageReturns(const std::string& text);

}  // namespace tessaro::cli
