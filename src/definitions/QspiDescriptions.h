// QSPI NOR device sections (files whose first section is QSPIDEVICES).
//
//   [QSPIDEVICES]  Manufacturer / ManufacturerNames, ID (JEDEC manufacturer code)
//   [CONFIG.<n>]   CfgRead, CfgWrite, Configure (QspiConfigScript.h)
//   [<device>]     DeviceSize (bits), ID (device code), Type, Names (aliases), PageSize,
//                  EraseUnit (bytes or SPANSION_ERASE_UNIT), EraseSector, AddressBytes,
//                  QuadIoRead, QuadMaxMHz, QuadDummyRead, SingleRead, SingleMaxMHz,
//                  SingleDummyRead, PageProgram, StatusErrorMask, CsHigh, ExtendedId,
//                  Options, Config / Config_Always, SingleConfig
#pragma once

#include <optional>
#include <string>

#include "definitions/DeviceCatalogue.h"

namespace tessaro {

// Parses one device section; adds one entry per device name (section name, then Names) or
// appends messages. `configs` holds the configurations of the file read so far.
void ParseQspiDevice(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniSection& section,
                     const QspiConfigList& configs, std::string_view manufacturerText, int32_t manufacturerId,
                     std::string& errorText);

// "3:0x20, 4.7:1": byte index 0..7, optional bit 0..7, ':' and a value (ParseNumberText).
[[nodiscard]] bool ParseExtendedId(std::string_view text, QspiDescription& block);
// Comma list of MicronFlagStatus, ConfigAlways, ExtendedSPI, ExtendedAddress, DataFlashStatus.
[[nodiscard]] bool ParseQspiOptions(std::string_view text, QspiDescription& block);

// The ExtendedId value notation: 'hex bytes' in quotes, 0x.. or ..H hexadecimal, 0b.. or
// ..B binary, signed decimal, or a decimal fraction (times 2^23); else kValueInvalid.
int32_t ParseNumberText(std::string_view text);

// The 4-bit code of a dummy cycle count (0..7, 8..14 even, 16..28 step 4), or nullopt.
std::optional<uint8_t> EncodeDummyCycles(int32_t cycles);

}  // namespace tessaro
