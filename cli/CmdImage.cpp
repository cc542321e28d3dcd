// tessaro-cli image: loads an image file as the main window does and tells what it holds. For
// an encrypted firmware it also reads the EFU file beside it and checks the image against that
// key for every boot source, so the right source can be chosen before programming.
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/EfuReport.h"
#include "common/Json.h"
#include "common/Text.h"
#include "efuse/EfuFile.h"
#include "efuse/FirmwareCheck.h"
#include "image/ImageBuffer.h"
#include "image/ImageDigest.h"
#include "image/ImageKind.h"

namespace tessaro::cli {
namespace {

const char* KindDescription(int32_t kind) {
  switch (kind) {
    case IMAGE_RAW: return "raw binary data";
    case IMAGE_FIRMWARE: return "firmware";
    case IMAGE_ENCRYPTED_FIRMWARE: return "encrypted firmware";
    case IMAGE_SOUNDBANK_OLD: return "soundbank (old)";
    case IMAGE_SOUNDBANK: return "soundbank";
    case IMAGE_DEMO: return "demo data";
    case IMAGE_STYLE: return "style data";
    case IMAGE_DEMO_TITLE: return "demo and title data";
    case IMAGE_DEMOBANK: return "demo bank";
    default: return "unknown";
  }
}

// The boot sources the encryption is checked for. Legend: the source, its name in the output.
struct BootSourceName {
  BootSource source;
  const char* name;
};
constexpr BootSourceName kBootSources[] = {{BOOT_REGULAR, "regular"}, {BOOT_NAND, "nand"}, {BOOT_HOST, "host"}};

// The EFU file beside an encrypted firmware and the check of the image for each boot source.
struct FirmwareEfu {
  bool found = false;  // an encrypted firmware with an EFU file beside it
  std::string path;
  EfuData efu;
  std::string error;  // the parse failure as the window shows it
  bool checked[std::size(kBootSources)] = {};
  std::string messages[std::size(kBootSources)];
};

FirmwareEfu InspectFirmwareEfu(const ImageBuffer& image, const std::string& imagePath) {
  FirmwareEfu result;
  if (image.kind != IMAGE_ENCRYPTED_FIRMWARE) return result;
  result.path = EfuPathBeside(imagePath);
  std::error_code error;
  if (!std::filesystem::is_regular_file(result.path, error)) return result;
  result.found = true;
  // A bad EFU file leaves the EFU data empty, and the check then says so as program would.
  (void)LoadEfuBeside(imagePath, result.efu, result.error);
  for (size_t i = 0; i < std::size(kBootSources); ++i) {
    result.checked[i] =
        CheckFirmwareEncryption(image, result.efu, kBootSources[i].source, result.messages[i], image.kindAddress);
  }
  return result;
}

int RunImage(std::vector<std::string>& rawArgs) {
  ArgReader args("image", rawArgs);
  args.Flag("json");
  if (!args.Parse()) return args.ParseExit();
  if (args.Positional().size() != 1) return args.UsageError("expected exactly one FILE");
  const std::string& path = args.Positional()[0];

  ImageBuffer image;
  std::string error;
  const ImageFormat format = ImageFormatOf(path);
  const bool ok = LoadImageByExtension(image, path, error);
  const std::string sha256 = ImageSha256(image);
  const FirmwareEfu firmware = ok ? InspectFirmwareEfu(image, path) : FirmwareEfu{};
  const std::string kindText = ShownLabelText(ImageKindText(image, firmware.efu));

  if (args.Has("json")) {
    JsonWriter json;
    json.BeginObject()
        .Field("ok", ok)
        .Field("error", error)
        .Field("format", ImageFormatName(format))
        .Field("size", image.size)
        .Field("startAddress", image.startAddress)
        .Field("kind", image.kind)
        .Field("kindAddress", image.kindAddress)
        .Field("kindText", kindText)
        .Field("sha256", sha256);
    if (image.entryAddress) json.Field("entryAddress", *image.entryAddress);
    if (firmware.found) {
      json.Field("efuPath", firmware.path);
      WriteEfuJson(json, firmware.efu, firmware.error);
      json.Key("encryption").BeginObject();
      for (size_t i = 0; i < std::size(kBootSources); ++i) {
        json.Key(kBootSources[i].name)
            .BeginObject()
            .Field("ok", firmware.checked[i])
            .Field("message", WithoutCarriageReturns(firmware.messages[i]))
            .EndObject();
      }
      json.EndObject();
    }
    json.EndObject();
    WriteOut(json.Finish());
    return ok ? kExitOk : kExitFailed;
  }

  if (!ok) {
    WriteErr("tessaro-cli image: cannot load " + path + ": " + error + "\n");
    return kExitFailed;
  }
  if (!error.empty()) WriteErr(error + "\n");
  std::string text;
  text += "File:          " + path + " (" + ImageFormatName(format) + ")\n";
  text += "Size:          " + Hex(static_cast<uint32_t>(image.size)) + " words (" + std::to_string(image.size) + ")\n";
  text += "Start address: " + Hex(image.startAddress) + "\n";
  if (image.entryAddress) text += "Entry address: " + Hex(*image.entryAddress) + " (byte address the file names)\n";
  text += "Kind:          " + std::to_string(image.kind) + " " + KindDescription(image.kind) + "\n";
  text += "Kind text:     " + kindText + "\n";
  text += "Kind address:  " + Hex(image.kindAddress) + "\n";
  text += "SHA-256:       " + sha256 + "\n";
  if (firmware.found) {
    text += "EFU file:      " + firmware.path + "\n";
    if (!firmware.efu.valid) {
      text += "               " + WithoutCarriageReturns(firmware.error) + "\n";
    } else {
      text += EfuLines(firmware.efu);
    }
    for (size_t i = 0; i < std::size(kBootSources); ++i) {
      std::string message = WithoutCarriageReturns(firmware.messages[i]);
      while (!message.empty() && message.back() == '\n') message.pop_back();
      for (size_t at = 0; (at = message.find('\n', at)) != std::string::npos; at += 2) message.replace(at, 1, "; ");
      text +=
          std::string("Encryption ") + kBootSources[i].name + ": " + (firmware.checked[i] ? "matches" : message) + "\n";
    }
  }
  WriteOut(text);
  return kExitOk;
}

const CommandRegistration kRegistration("image", "image [--json] FILE", RunImage);

}  // namespace
}  // namespace tessaro::cli
