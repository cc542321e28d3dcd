// tessaro-cli devices: loads the drivers folder as the main window does and writes the device
// list (text table or CSV, byte for byte as the export writes it) or the whole catalogue as JSON.
#include <algorithm>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "common/Json.h"
#include "definitions/DeviceCatalogue.h"
#include "definitions/ParallelDescriptions.h"
#include "flash/FlashDriverTDF.h"
#include "platform/Files.h"
#include "tools/DeviceListExport.h"

namespace tessaro::cli {
namespace {

void WriteScript(JsonWriter& json, const QspiScript& script) {
  json.BeginArray();
  for (const ScriptCommand& command : script) {
    json.BeginArray().Number(command.kind);
    for (int32_t i = 0; i < command.count && i < kScriptMaxParams; ++i)
      json.Number(command.params[static_cast<size_t>(i)]);
    json.EndArray();
  }
  json.EndArray();
}

void WriteConfig(JsonWriter& json, std::string_view key, const QspiConfig& config) {
  json.Key(key).BeginObject().Field("mask", config.mask).Field("expected", config.expected);
  json.Key("readScript");
  WriteScript(json, config.readScript);
  json.Key("writeScript");
  WriteScript(json, config.writeScript);
  json.EndObject();
}

void WritePairs(JsonWriter& json, std::string_view key, const ValuePairList& list) {
  json.Key(key).BeginArray();
  int32_t count = std::max(list.AddressCount(), list.DataCount());
  for (int32_t i = 0; i < count; ++i) json.BeginArray().Number(list.Address(i)).Number(list.Data(i)).EndArray();
  json.EndArray();
}

void WriteSerial(JsonWriter& json, const DataFlashDescription& block) {
  json.Field("type", block.type)
      .Field("sizeBytes", block.sizeBytes)
      .Field("addressBytes", block.addressBytes)
      .Field("pageSize", block.pageSize)
      .Field("deviceId", block.deviceId)
      .Field("slow", block.slow);
}

void WriteQspi(JsonWriter& json, const QspiDescription& block) {
  json.Field("manufacturerId", block.manufacturerId)
      .Field("deviceId", block.deviceId)
      .Field("eraseSectorCmd", unsigned{block.eraseSectorCmd})
      .Field("quadIoReadCmd", unsigned{block.quadIoReadCmd})
      .Field("quadMaxMhz", unsigned{block.quadMaxMhz})
      .Field("quadDummyCode", unsigned{block.quadDummyCode})
      .Field("singleDummyCode", unsigned{block.singleDummyCode})
      .Field("singleMaxMhz", unsigned{block.singleMaxMhz})
      .Field("singleReadCmd", unsigned{block.singleReadCmd})
      .Field("addressBytes", unsigned{block.addressBytes})
      .Field("pageProgramCmd", unsigned{block.pageProgramCmd})
      .Field("statusErrorMask", unsigned{block.statusErrorMask});
  json.Key("extendedId").BeginArray();
  for (uint32_t i = 0; i < block.extendedIdCount && i < kMaxExtendedIdChecks; ++i) {
    const ExtendedIdCheck& check = block.extendedId[i];
    json.BeginArray().Number(check.byteIndex).Number(check.shift).Number(check.bitCount).Number(check.value).EndArray();
  }
  json.EndArray();
  json.Field("extendedIdCount", block.extendedIdCount)
      .Field("sizeBytes", block.sizeBytes)
      .Field("pageSize", block.pageSize)
      .Field("eraseUnit", block.eraseUnit)
      .Field("csHigh", block.csHigh)
      .Field("options", block.options);
  WriteConfig(json, "config", block.config);
  WriteConfig(json, "singleConfig", block.singleConfig);
}

void WriteParallel(JsonWriter& json, const DeviceDescription& entry) {
  if (entry.part) {
    const PartEntry& part = *entry.part;
    json.Field("part", part.name).Field("kind", part.kind).Field("mainId", part.id.mainId);
    json.Key("extraIds").BeginArray();
    for (int32_t i = 0; i < part.id.extraCount && i < kPartIdMaxExtra; ++i) {
      const PartIdWord& word = part.id.extra[static_cast<size_t>(i)];
      json.BeginArray().Number(word.index).Number(word.value).EndArray();
    }
    json.EndArray();
    json.Key("sectors").BeginArray();
    for (int32_t i = 0; i < part.sectors.AddressCount(); ++i) json.Number(part.sectors.Address(i));
    json.EndArray();
  }
  if (entry.driver) {
    const ParallelFlashDescription& description = entry.driver->description;
    json.Field("manufacturerId", description.manufacturerId)
        .Field("maskCmd", description.maskCmd)
        .Field("timeSector", description.timeSector)
        .Field("statusType", description.statusType)
        .Field("errorBit", description.errorBit);
    WritePairs(json, "cfiMatch", description.cfiMatch);
    WritePairs(json, "readArray", description.readArray);
    WritePairs(json, "unlockSector", description.unlockSector);
    WritePairs(json, "sectorErase", description.sectorErase);
    WritePairs(json, "wordWrite", description.wordWrite);
    WritePairs(json, "pageWrite", description.pageWrite);
    WritePairs(json, "clearStatus", description.clearStatus);
  }
}

std::string CatalogueJson(const DeviceCatalogue& catalogue, bool ok, const std::string& errors) {
  JsonWriter json;
  json.BeginObject().Field("ok", ok).Field("errors", errors);
  json.Key("entries").BeginArray();
  for (const auto& entry : catalogue.Entries()) {
    json.BeginObject()
        .Field("name", entry->name)
        .Field("family", entry->family)
        .Field("manufacturer", entry->manufacturer ? entry->manufacturer->DisplayName() : std::string())
        .Field("file", entry->file ? entry->file->name : std::string())
        .Field("duplicate", entry->duplicate);
    if (entry->family == FAMILY_SERIAL) WriteSerial(json, entry->serial);
    if (entry->family == FAMILY_QSPI) WriteQspi(json, entry->qspi);
    if (entry->family == FAMILY_PARALLEL) WriteParallel(json, *entry);
    json.EndObject();
  }
  json.EndArray().EndObject();
  return json.Finish();
}

int RunDevices(std::vector<std::string>& rawArgs) {
  // "-o FILE" / "-oFILE" is the short form of --output.
  std::vector<std::string> args;
  for (size_t i = 0; i < rawArgs.size(); ++i) {
    const std::string& arg = rawArgs[i];
    if (arg == "--") {
      args.insert(args.end(), rawArgs.begin() + static_cast<std::ptrdiff_t>(i), rawArgs.end());
      break;
    }
    if (arg == "-o") {
      args.push_back("--output");
    } else if (arg.size() > 2 && arg.compare(0, 2, "-o") == 0) {
      args.push_back("--output=" + arg.substr(2));
    } else {
      args.push_back(arg);
    }
  }
  ArgReader reader("devices", args);
  reader.Option("drivers").Flag("csv").Option("output").Flag("json");
  if (!reader.Parse()) return reader.ParseExit();
  if (!reader.Positional().empty()) return reader.UsageError("unexpected argument " + reader.Positional()[0]);
  if (reader.Has("json") && (reader.Has("csv") || reader.Has("output"))) {
    return reader.UsageError("--json writes the catalogue to stdout; it takes neither --csv nor -o");
  }

  const DataFolders folders = ResolveFolders(reader);
  DeviceCatalogue catalogue;
  std::string errors;
  const bool ok = LoadDriverFolder(catalogue, folders.drivers, errors);
  if (!ok) WriteErr("Error(s) in Driver Description\n" + errors);
  // Without any description file nothing was loaded at all.
  const bool loaded = !catalogue.Files().empty();

  if (reader.Has("json")) {
    WriteOut(CatalogueJson(catalogue, ok, errors));
    return loaded ? kExitOk : kExitFailed;
  }
  if (!loaded) return kExitFailed;

  const bool csv = reader.Has("csv");
  if (auto output = reader.Value("output")) {
    if (!ExportDeviceList(catalogue, *output, csv)) {
      WriteErr("tessaro-cli devices: cannot write " + *output + "\n");
      return kExitFailed;
    }
    return kExitOk;
  }
  WriteOut(DeviceListText(catalogue, csv));
  return kExitOk;
}

const CommandRegistration kRegistration("devices", "devices [--drivers DIR] [--csv] [-o FILE] [--json]", RunDevices);

}  // namespace
}  // namespace tessaro::cli
