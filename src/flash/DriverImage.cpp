#include "flash/DriverImage.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/RoutineHost.h"
#include "link/SerialPort.h"
#include "platform/Files.h"

namespace tessaro {

namespace {

std::string& FolderSetting() {
  static std::string folder;
  return folder;
}

// Reads a replacement image from the drivers folder; null when there is no such file.
// `rejected` is set when a file exists but is not a usable image.
std::shared_ptr<const std::vector<uint16_t>> ReadReplacement(int resourceId, std::string& path, bool& rejected) {
  rejected = false;
  const char* name = DriverImageFileName(resourceId);
  if (FolderSetting().empty() || name[0] == '\0') return nullptr;
  path = JoinPath(FolderSetting(), name);
  if (!FileExists(path)) return nullptr;
  std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes || bytes->size() < 2 * kDriverHeaderWords || bytes->size() % 2 != 0) {
    rejected = true;
    return nullptr;
  }
  auto words = std::make_shared<std::vector<uint16_t>>(bytes->size() / 2);
  for (size_t i = 0; i < words->size(); ++i) {
    (*words)[i] =
        static_cast<uint16_t>(static_cast<uint8_t>((*bytes)[2 * i]) | (static_cast<uint8_t>((*bytes)[2 * i + 1]) << 8));
  }
  if (!IsUsableDriverImage(*words)) {
    rejected = true;
    return nullptr;
  }
  return words;
}

}  // namespace

const char* DriverImageFileName(int resourceId) {
  switch (resourceId) {
    case kDriverImageDataFlash: return "PRGDEV_DF.bin";
    case kDriverImageParallel: return "PRGDEV_PAR.bin";
    default: return "";
  }
}

void SetDriverImageFolder(const std::string& folder) { FolderSetting() = folder; }
const std::string& DriverImageFolder() { return FolderSetting(); }

bool IsUsableDriverImage(std::span<const uint16_t> words) {
  if (words.size() < kDriverHeaderWords) return false;
  if (words[0] != kDriverImageMagic || words[2] != kDriverInterfaceVersion) return false;
  return words[1] >= kDriverHeaderWords && words[1] <= words.size();
}

uint32_t ChecksumWords(uint32_t packed, std::span<const uint16_t> words) {
  uint32_t a = (packed & 0xFFFF) % kChecksumModulus;
  uint32_t b = (packed >> 16) % kChecksumModulus;
  for (uint16_t w : words) {
    a = (a + w) % kChecksumModulus;
    b = (b + a) % kChecksumModulus;
  }
  return (b << 16) | a;
}

void DriverImage::Clear() {
  words = nullptr;
  length = 0;
  fileWords_.reset();
}

bool DriverImage::LoadEmbedded(int resourceId, std::string& errorText) {
  Clear();
  std::string path;
  bool rejected = false;
  if (auto replacement = ReadReplacement(resourceId, path, rejected)) {
    fileWords_ = std::move(replacement);
    words = fileWords_->data();
    length = static_cast<uint32_t>(fileWords_->size());
    return true;
  }
  if (rejected) {
    // A user's image that fails the checks is reported, not silently swapped for ours.
    errorText += path + ": not a driver image of interface version 11723\r\n";
    errorText += "Unable to load embedded Driver!!!";
    return false;
  }
  std::span<const uint16_t> builtIn = BuiltInDriverImage(resourceId);
  if (builtIn.empty() || builtIn[0] != kDriverImageMagic) {
    errorText += "Unable to load embedded Driver!!!";
    return false;
  }
  words = builtIn.data();
  length = static_cast<uint32_t>(builtIn.size());
  return true;
}

bool DriverImage::Upload(RoutineHost& session) {
  session.BeginRoutineProgress(static_cast<int32_t>(length));
  if (length == 0) return true;
  SerialPort* port = session.RoutineLink();
  if (port == nullptr) return false;
  int32_t done = 0;
  for (uint32_t start = 0; start < length; start += kUploadPieceWords) {
    const uint32_t count = std::min(kUploadPieceWords, length - start);
    if (!port->WriteMemoryBlock(static_cast<uint16_t>(start), 0, count, words + start, true)) return false;
    done += static_cast<int32_t>(count);
    session.RoutineProgress(done);
  }
  return true;
}

bool DriverImage::Call(RoutineHost& session, uint32_t entryIndex) {
  SerialPort* port = session.RoutineLink();
  if (length == 0 || port == nullptr) {
    lastCall = CallResult::NoImage;
    return false;
  }
  const uint16_t address = Word(entryIndex);
  port->BeginCommand(0);
  if (!port->SendByte(kCallCommand) || !port->SendWord(address)) {
    lastCall = CallResult::LinkDown;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(callTimeoutMs);
  for (;;) {
    // A link that went down never delivers the completion byte.
    if (!port->linked()) {
      lastCall = CallResult::LinkDown;
      return false;
    }
    if (port->ReceivedCount() >= 1) break;
    if (session.CheckCancel()) {
      lastCall = CallResult::Cancelled;
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // The monitor is still inside the routine or gone; either way it no longer answers
      // commands, so the link has to be made again.
      port->SetLinked(false);
      if (port->callback()) port->callback()->LinkLost();
      lastCall = CallResult::TimedOut;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  uint8_t reply = 0;
  if (!port->ReceiveByte(reply)) {
    lastCall = CallResult::LinkDown;
    return false;
  }
  lastCall = reply == kCallFailedReply ? CallResult::Failed : CallResult::Done;
  return lastCall == CallResult::Done;
}

}  // namespace tessaro
