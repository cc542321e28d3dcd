// Serial flash device sections (files whose first section is DFDEVICES) and the built-in
// generic NAND entry.
//
//   [DFDEVICES]   Manufacturer / ManufacturerNames, Id (manufacturer code)
//   [<device>]    Type (EEPROM, BASIC_DATAFLASH, DATAFLASH), DeviceSize (bits: "4M"),
//                 AddressBytes, PageSize, DeviceID, Slow
#pragma once

#include <string>

#include "definitions/DeviceCatalogue.h"

namespace tessaro {

// Parses one device section of a serial file; adds one entry or appends messages.
void ParseSerialDevice(DeviceCatalogue& catalogue, const CatalogueFile* file, const IniSection& section,
                       int32_t manufacturerId, std::string_view manufacturerText, std::string& errorText);

// Adds the generic ONFI NAND entry (manufacturer GENERIC_NAND) for `file`.
const DeviceDescription* AddGenericNand(DeviceCatalogue& catalogue, const CatalogueFile* file);

}  // namespace tessaro
