// tessaro-cli image: loads an image file as the main window does and tells what it holds.
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "common/Json.h"
#include "common/Text.h"
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

int RunImage(std::vector<std::string>& rawArgs) {
  ArgReader args("image", rawArgs);
  args.Flag("json");
  if (!args.Parse()) return args.ParseExit();
  if (args.Positional().size() != 1) return args.UsageError("expected exactly one FILE");
  const std::string& path = args.Positional()[0];

  ImageBuffer image;
  std::string error;
  const bool hex = IsHexFileName(path);
  const bool ok = LoadImageByExtension(image, path, error);
  const std::string sha256 = ImageSha256(image);

  if (args.Has("json")) {
    JsonWriter json;
    json.BeginObject()
        .Field("ok", ok)
        .Field("error", error)
        .Field("size", image.size)
        .Field("startAddress", image.startAddress)
        .Field("kind", image.kind)
        .Field("kindAddress", image.kindAddress)
        .Field("sha256", sha256)
        .EndObject();
    WriteOut(json.Finish());
    return ok ? kExitOk : kExitFailed;
  }

  if (!ok) {
    WriteErr("tessaro-cli image: cannot load " + path + ": " + error + "\n");
    return kExitFailed;
  }
  if (!error.empty()) WriteErr(error + "\n");
  std::string text;
  text += "File:          " + path + (hex ? " (Intel HEX)" : " (binary)") + "\n";
  text += "Size:          " + Hex(static_cast<uint32_t>(image.size)) + " words (" + std::to_string(image.size) + ")\n";
  text += "Start address: " + Hex(image.startAddress) + "\n";
  text += "Kind:          " + std::to_string(image.kind) + " " + KindDescription(image.kind) + "\n";
  text += "Kind address:  " + Hex(image.kindAddress) + "\n";
  text += "SHA-256:       " + sha256 + "\n";
  WriteOut(text);
  return kExitOk;
}

const CommandRegistration kRegistration("image", "image [--json] FILE", RunImage);

}  // namespace
}  // namespace tessaro::cli
