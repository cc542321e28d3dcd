#include "flash/FlashDriverNAND.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <span>
#include <thread>
#include <vector>

#include "chips/BoardConfig.h"
#include "common/Text.h"
#include "flash/DriverImage.h"
#include "flash/FlashDriverIf.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"

namespace tessaro {

using namespace nand;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCommandTimeout = std::chrono::milliseconds(1000);
constexpr auto kReadyTimeout = std::chrono::milliseconds(5000);
constexpr auto kPollPause = std::chrono::milliseconds(10);
constexpr uint16_t kStatusReadyBits = 0x60;

std::string OnfiText(const std::array<uint8_t, 256>& page, size_t first, size_t count) {
  std::string text(reinterpret_cast<const char*>(page.data() + first), count);
  const size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

uint32_t Le16(const std::array<uint8_t, 256>& page, size_t at) { return page[at] | (page[at + 1] << 8); }
uint32_t Le32(const std::array<uint8_t, 256>& page, size_t at) { return Le16(page, at) | (Le16(page, at + 2) << 16); }

void PageRows(FlashDriverNAND& driver, FlashDriverIf& session, uint32_t target) {
  const uint32_t p = (target & 0x3FFFFFFF) >> driver.pageShift;
  driver.WriteRegister(session, kRegRowLow, p << 16);
  driver.WriteRegister(session, kRegRowHigh, p >> 16);
}

void Fail(FlashDriverIf& session, uint32_t code, uint32_t address, uint32_t expected, int32_t read) {
  session.failureAddress = static_cast<int32_t>(address);
  session.expectedValue = expected;
  session.readValue = read;
  session.SetStatus(code);
}

}  // namespace

void FlashDriverNAND::WriteRegister(FlashDriverIf& session, uint32_t reg, uint32_t value) {
  (void)session.link->WriteTargetWord(kRegisterBase + reg, static_cast<uint16_t>(value & 0xFFFF));
  (void)session.link->WriteTargetWord(kRegisterBase + reg + 1, static_cast<uint16_t>(value >> 16));
}

uint32_t FlashDriverNAND::RunCommand(FlashDriverIf& session) {
  TargetWait wait(session, static_cast<int>(kCommandTimeout.count()));
  WriteRegister(session, kRegInterrupt, 7);
  WriteRegister(session, kRegControl, 1);
  uint32_t result = 0;
  for (;;) {
    const uint32_t l = session.link->ReadMemoryWord(kRegisterBase + kRegStatus);
    const uint32_t h = session.link->ReadMemoryWord(kRegisterBase + kRegStatus + 1);
    if (l != VALUE_INVALID && h != VALUE_INVALID && (l & kStatusDone) != 0) {
      result = (l & kStatusErrors) == 0 ? 0 : (((h & 0xFFFF) << 16) | (l & 0xFFFF) | 0xE000);
      break;
    }
    const uint32_t interrupt = session.link->ReadMemoryWord(kRegisterBase + kRegInterrupt);
    if (interrupt != VALUE_INVALID && (interrupt & 0x4) != 0) {
      result = ((h & 0xFFFF) << 16 | (l & 0xFFFF)) | 0xC000;
      break;
    }
    // A lost link answers nothing more: stop at once rather than poll it for the rest of the second.
    if (!wait.Continue()) {
      result = (l == VALUE_INVALID ? 0 : l & 0xFFFF) | 0x8000;
      break;
    }
  }
  if ((result & 0x8000) != 0) {
    std::fprintf(stderr, "FlashDriverNAND: Error %s\r\n", HexFixed(result & 0xFFFF, 4).c_str());
  }
  return result;
}

uint32_t FlashDriverNAND::Reset(FlashDriverIf& session, bool bus16) {
  WriteRegister(session, kRegControl, 2);
  WriteRegister(session, kRegInterrupt, 7);
  WriteRegister(session, 4, 0x7FFFFFFF);
  WriteRegister(session, 6, 0x7FFF);
  WriteRegister(session, kRegBus, bus16 ? kBus16 : kBus8);
  WriteRegister(session, 16, 0x800000);
  WriteRegister(session, 18, 0x0818080C);
  WriteRegister(session, kRegCommand, kCmdReset);
  WriteRegister(session, kRegParameters, 0x400000);
  return RunCommand(session);
}

bool FlashDriverNAND::WaitReady(FlashDriverIf& session, bool& cancelled) {
  TargetWait wait(session, static_cast<int>(kReadyTimeout.count()));
  bool ready = false;
  while (!ready && wait.Continue()) {
    WriteRegister(session, kRegCommand, kCmdReadStatus);
    WriteRegister(session, kRegParameters, Bus16() ? 512 : 256);
    if (RunCommand(session) != 0) break;
    const uint32_t status = session.link->ReadMemoryWord(window);
    ready = status != VALUE_INVALID && (status & kStatusReadyBits) == kStatusReadyBits;
    if (!ready) std::this_thread::sleep_for(kPollPause);
  }
  cancelled = wait.cancelled();
  return ready;
}

bool FlashDriverNAND::Detect(FlashDriverIf& session, std::string& errorText) {
  ready = false;
  window = 0;
  if (session.link == nullptr) return false;
  if (Reset(session, false) != 0) {
    errorText += "Unable to detect Device";
    return false;
  }
  WriteRegister(session, kRegCommand, kCmdReadParameterPage);
  WriteRegister(session, kRegParameters, 0x410000);
  WriteRegister(session, kRegRowLow, 0);
  WriteRegister(session, kRegRowHigh, 0);
  if (RunCommand(session) != 0) {
    errorText += "Unable to query ONFI table";
    return false;
  }
  window = session.configuration != nullptr && session.configuration->ext2First ? kWindowExt2First : kWindow;
  // The first copy whose CRC matches is taken; a page without the signature is no ONFI part.
  std::array<uint8_t, 256> page{};
  bool signature = false, intact = false;
  for (uint32_t copy = 0; copy < kParameterPageCopies && !intact; ++copy) {
    const uint32_t at = window + copy * kParameterPageWords;
    std::array<uint16_t, kParameterPageWords> words{};
    if (!session.link->ReadMemoryBlock(static_cast<uint16_t>(at & 0xFFFF), static_cast<uint16_t>(at >> 16),
                                       kParameterPageWords, words.data()))
      break;
    for (size_t i = 0; i < words.size(); ++i) {
      page[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
      page[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    const bool hasSignature = page[0] == 'O' && page[1] == 'N' && page[2] == 'F' && page[3] == 'I';
    signature |= hasSignature;
    intact = hasSignature && OnfiCrc16(page.data(), 254) == Le16(page, 254);
  }
  if (!signature) {
    window = 0;
    errorText += "Device not ONFI compatible";
    return false;
  }
  if (!intact) {
    window = 0;
    errorText +=
        "ONFI parameter page damaged: no copy of " + std::to_string(kParameterPageCopies) + " has a matching CRC";
    return false;
  }
  revision = static_cast<uint16_t>(Le16(page, 4));
  features = static_cast<uint16_t>(Le16(page, 6));
  optionalCommands = static_cast<uint16_t>(Le16(page, 8));
  manufacturer = OnfiText(page, 32, 12);
  model = OnfiText(page, 44, 20);
  pageBytes = Le32(page, 80);
  spareBytes = static_cast<uint16_t>(Le16(page, 84));
  pagesPerBlock = Le16(page, 92);
  blocksPerLun = Le32(page, 96);
  lunCount = page[100];
  addressCycles = page[101];
  if (Bus16()) WriteRegister(session, kRegBus, kBus16);
  pageShift = 10;
  ready = true;
  return true;
}

bool FlashDriverNAND::Program(FlashDriverIf& session, ImageBuffer& image) {
  if (session.link == nullptr || !ready) return false;
  const int32_t first = std::max(0, image.firstWord);
  const int32_t end = std::min(image.programLength, image.size);
  const uint32_t n = end > first ? static_cast<uint32_t>(end - first) : 0;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  if (const uint32_t s = Reset(session, Bus16()); s != 0) {
    Fail(session, StatusProgramFailed, 0, 0, static_cast<int32_t>(s));
    return false;
  }
  // A block that already holds the image (and the erased value after it) is left as it is.
  const uint32_t blockWords = pagesPerBlock * kPageWords;
  if (blockWords != 0 && session.unchanged.Holds(start - start % blockWords, start - start % blockWords + blockWords)) {
    session.progress[0].position += static_cast<int32_t>(n);
    session.UpdateProgress(0);
    session.SetStatus(StatusVerifying);
    if (!VerifyPages(session, image, true)) return false;
    session.SetStatus(StatusProgramVerified);
    return true;
  }
  // The command word has three bits for the address cycles; an erase sends only the row
  // address, whose cycle count is the low half of the ONFI byte.
  WriteRegister(session, kRegCommand, ((addressCycles & 0x7u) << 29) + kCmdEraseBlock);
  WriteRegister(session, kRegParameters, 0);
  WriteRegister(session, kRegRowLow, 0);
  WriteRegister(session, kRegRowHigh, 0);
  if (const uint32_t s = RunCommand(session); s != 0) {
    Fail(session, StatusSectorEraseFailed, 0, 0, static_cast<int32_t>(s));
    return false;
  }
  bool cancelled = false;
  if (!WaitReady(session, cancelled)) {
    if (cancelled) return false;
    Fail(session, StatusSectorEraseFailed, static_cast<uint32_t>(session.window.position), 0, -1);
    return false;
  }
  std::vector<uint16_t> page(kPageWords);
  uint32_t done = 0;
  while (done < n) {
    const uint32_t k = std::min(n - done, kPageWords);
    // A short last page is filled with the erased value: the buffer still holds the page before.
    std::fill(page.begin(), page.end(), 0xFFFF);
    std::copy_n(image.words.begin() + first + done, k, page.begin());
    if (!session.link->WriteMemoryBlock(static_cast<uint16_t>(window & 0xFFFF), static_cast<uint16_t>(window >> 16),
                                        kPageWords, page.data(), false)) {
      Fail(session, StatusProgramFailed, static_cast<uint32_t>(session.window.position), page[0], -1);
      return false;
    }
    WriteRegister(session, kRegCommand, kCmdProgramPage);
    WriteRegister(session, kRegParameters, kPageTransfer);
    PageRows(*this, session, session.window.TargetAddress());
    if (const uint32_t s = RunCommand(session); s != 0) {
      Fail(session, StatusProgramFailed, 0xE0000000u, 0, static_cast<int32_t>(s));
      return false;
    }
    if (!WaitReady(session, cancelled)) {
      if (cancelled) return false;
      Fail(session, StatusProgramFailed, static_cast<uint32_t>(session.window.position), 0, -1);
      return false;
    }
    session.progress[0].position += static_cast<int32_t>(k);
    session.UpdateProgress(0);
    session.ShowPosition("EXT:" + Hex(static_cast<uint32_t>(session.window.position)));
    session.window.Select(static_cast<uint32_t>(session.window.position) + k);
    done += k;
    if (session.CheckCancel()) return false;
  }
  session.SetStatus(StatusVerifying);
  session.window.Select(start);
  if (!VerifyPages(session, image, true)) return false;
  session.SetStatus(StatusProgramVerified);
  return true;
}

bool FlashDriverNAND::FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t /*eraseWords*/) {
  session.unchanged.Clear();
  const uint32_t blockWords = pagesPerBlock * kPageWords;
  if (session.link == nullptr || !ready || blockWords == 0 || Reset(session, Bus16()) != 0) return false;
  std::string errorText;
  if (!session.PrepareChecksumDriver(errorText)) return false;
  // Programming erases the whole block and writes its pages from the start: the block is the
  // unit, summed page by page as the controller reads each into the data window.
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  const uint32_t blockStart = start - start % blockWords;
  auto sumPages = [&](uint32_t position, uint32_t count, uint32_t& sum) {
    for (uint32_t page = position; page < position + count; page += kPageWords) {
      session.window.Select(page);
      const uint32_t t = session.window.TargetAddress();
      if (!LoadPage(session, t) || !session.ChecksumTarget(sum, window + t % kPageWords, kPageWords))
        return ChunkSum::Failed;
    }
    return ChunkSum::Taken;
  };
  const bool found =
      FindUnchangedUnits(session, image, start, {UnitRange{blockStart, blockStart + blockWords}}, blockWords, sumPages);
  session.window.Select(start);
  return found;
}

bool FlashDriverNAND::LoadPage(FlashDriverIf& session, uint32_t target) {
  WriteRegister(session, kRegCommand, kCmdReadPage);
  WriteRegister(session, kRegParameters, kPageTransfer);
  PageRows(*this, session, target);
  return RunCommand(session) == 0;
}

bool FlashDriverNAND::Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) {
  data.clear();
  if (session.link == nullptr || !ready) return false;
  if (Reset(session, Bus16()) != 0) return false;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  data.resize(words);
  bool ok = true;
  for (uint32_t done = 0; done < words && ok;) {
    session.window.Select(start + done);
    const uint32_t t = session.window.TargetAddress();
    const uint32_t offset = t % kPageWords;
    const uint32_t k = std::min(kPageWords - offset, words - done);
    const uint32_t from = window + offset;
    ok =
        LoadPage(session, t) && session.link->ReadMemoryBlock(static_cast<uint16_t>(from & 0xFFFF),
                                                              static_cast<uint16_t>(from >> 16), k, data.data() + done);
    done += k;
  }
  session.window.Select(start);
  if (!ok) data.clear();
  return ok;
}

bool FlashDriverNAND::Verify(FlashDriverIf& session, ImageBuffer& image) { return VerifyPages(session, image, false); }

bool FlashDriverNAND::VerifyPages(FlashDriverIf& session, ImageBuffer& image, bool wholePages) {
  if (session.link == nullptr || !ready) return false;
  const int32_t first = std::max(0, image.firstWord);
  const int32_t end = std::min(image.programLength, image.size);
  const uint32_t n = end > first ? static_cast<uint32_t>(end - first) : 0;
  if (const uint32_t s = Reset(session, Bus16()); s != 0) {
    Fail(session, StatusVerifyFailed, 0, 0, static_cast<int32_t>(s));
    return false;
  }
  session.progress[1] = {0, 0, static_cast<int32_t>(n)};
  std::string error;
  if (!session.PrepareChecksumDriver(error)) {
    session.SetStatus(StatusVerifyFailed);
    return false;
  }
  uint32_t target = 0;
  uint32_t host = 0;
  std::vector<uint16_t> read(kPageWords);
  std::vector<uint16_t> page(kPageWords);
  uint32_t done = 0;
  while (done < n) {
    const uint32_t t = session.window.TargetAddress();
    const uint32_t k = std::min(n - done, kPageWords);
    // What the page must hold: the image's words, then (for a page this run wrote) the erased
    // value it was padded with.
    const uint32_t checked = wholePages ? kPageWords : k;
    std::fill(page.begin(), page.end(), 0xFFFF);
    std::copy_n(image.words.begin() + first + done, k, page.begin());
    WriteRegister(session, kRegCommand, kCmdReadPage);
    WriteRegister(session, kRegParameters, kPageTransfer);
    PageRows(*this, session, t);
    if (const uint32_t s = RunCommand(session); s != 0) {
      Fail(session, StatusVerifyFailed, (t & 0x3FFFFFF) + 0xECC00000u, 0, static_cast<int32_t>(s));
      return false;
    }
    const uint16_t* expected = page.data();
    host = ChecksumWords(host, std::span<const uint16_t>(expected, checked));
    if (!session.ChecksumTarget(target, window, checked)) {
      session.failureAddress = static_cast<int32_t>(t);
      session.ChecksumCallFailed();
      return false;
    }
    if (target != host) {
      if (!session.link->ReadMemoryBlock(static_cast<uint16_t>(window & 0xFFFF), static_cast<uint16_t>(window >> 16),
                                         checked, read.data())) {
        Fail(session, StatusVerifyFailed, t, expected[0], -1);
        return false;
      }
      for (uint32_t i = 0; i < checked; ++i) {
        if (read[i] != expected[i]) {
          Fail(session, StatusVerifyFailed, t + i, expected[i], read[i]);
          return false;
        }
      }
      // The page itself is right: carry on from the host's sums, so one bad checksum read does
      // not send every later page back over the link.
      target = host;
    }
    session.progress[0].position += static_cast<int32_t>(k);
    session.ShowPosition("EXT:" + Hex(static_cast<uint32_t>(session.window.position)));
    session.window.Select(static_cast<uint32_t>(session.window.position) + k);
    done += k;
    if (session.CheckCancel()) return false;
  }
  session.SetStatus(StatusVerified);
  return true;
}

}  // namespace tessaro
