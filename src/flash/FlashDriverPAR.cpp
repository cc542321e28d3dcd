#include "flash/FlashDriverPAR.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriverIf.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"

namespace tessaro::parallel_flash {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kEraseAttempts = 3;
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr auto kPollPause = std::chrono::milliseconds(10);
// 73xx: device words below this are the chip's own and are never written.
constexpr uint32_t kLegacyReservedWords = 1024;
constexpr uint32_t kLegacyAlias = 2048;
constexpr uint32_t kVerifyChunkWords = 16384;
constexpr uint32_t kReadPieceWords = 128;

bool Legacy(FlashDriverIf& session) { return session.FamilyCode() == FAMILY_73XX; }

uint32_t Target(FlashDriverIf& session) { return session.window.TargetAddress(); }

uint32_t Position(FlashDriverIf& session) { return static_cast<uint32_t>(session.window.position); }

// Number of complete (address, data) pairs of a command sequence.
int32_t PairCount(const ValuePairList& sequence) { return std::min(sequence.AddressCount(), sequence.DataCount()); }

uint32_t CommandBase(FlashDriverTDF& driver, FlashDriverIf& session) {
  uint32_t base = Target(session) & static_cast<uint32_t>(driver.description.maskCmd);
  if (Legacy(session) && base < kLegacyReservedWords) base += kLegacyAlias;
  return base;
}

uint32_t ReadWord(FlashDriverIf& session, uint32_t address) { return session.link->ReadMemoryWord(address); }

void WriteWord(FlashDriverIf& session, uint32_t address, uint16_t value) {
  (void)session.link->WriteTargetWord(address, value);
}

bool ReadBlock(FlashDriverIf& session, uint32_t address, uint32_t count, uint16_t* out) {
  return session.link->ReadMemoryBlock(static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16),
                                       count, out);
}

// The read value of a failure report: the word at the target address, or none (-1) when the
// link gave nothing.
int32_t ReadValueAt(FlashDriverIf& session, uint32_t address) {
  const uint32_t value = ReadWord(session, address);
  return value == VALUE_INVALID ? -1 : static_cast<int32_t>(value & 0xFFFF);
}

void ShowExt(FlashDriverIf& session) { session.ShowPosition("EXT:" + Hex(Position(session))); }

// The block of a write sequence that "PRGDEV PAR" runs: the word sequence when there is one.
const ValuePairList& DriverSequence(const FlashDriverTDF& driver, uint32_t& n) {
  const auto& d = driver.description;
  if (PairCount(d.wordWrite) > 0) {
    n = 1;
    return d.wordWrite;
  }
  n = std::max<uint32_t>(1, driver.pageWords);
  return d.pageWrite;
}

// A command sequence with its command base and its user address given: commands at the base
// plus their offsets, USER and BLOCK at the target; data USER is the first word, BLOCK the n words.
bool RunSequenceAt(FlashDriverIf& session, const ValuePairList& sequence, const uint16_t* words, uint32_t n,
                   uint32_t base, uint32_t target);
// The status wait polling a given target address.
bool WaitStatusAt(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t address, uint16_t expected,
                  int32_t timeoutMs, bool& cancelled, bool cancellable = true);

bool CfiReadable(const IdBuffer& b) { return b.cfi[0x10] == 'Q' && b.cfi[0x11] == 'R' && b.cfi[0x12] == 'Y'; }

}  // namespace

void ReadIdAndCfi(FlashDriverTDF& /*driver*/, FlashDriverIf& session, IdBuffer& buffer) {
  buffer = IdBuffer{};
  uint32_t a = Target(session) & ~0x7FFu;
  if (Legacy(session) && Target(session) < kLegacyAlias) a += kLegacyAlias;
  WriteWord(session, a, 0xF0);
  WriteWord(session, a + 0x555, 0xAA);
  WriteWord(session, a + 0x2AA, 0x55);
  WriteWord(session, a + 0x555, 0x90);
  if (!ReadBlock(session, a, kAutoselectWords, buffer.autoselect.data())) buffer.autoselect.fill(0xFFFF);
  for (const uint32_t query : {0x55u, 0x555u}) {
    WriteWord(session, a + query, 0xF0);
    WriteWord(session, a + query, 0x98);
    if (!ReadBlock(session, a, kCfiWords, buffer.cfi.data())) buffer.cfi.fill(0xFFFF);
    WriteWord(session, a + query, 0xF0);
    buffer.cfiValid = CfiReadable(buffer);
    if (buffer.cfiValid) break;
  }
  if (!buffer.cfiValid) return;
  auto w = [&](uint32_t x) -> uint32_t { return buffer.cfi[x] & 0xFF; };
  const uint32_t shift = w(0x2A);
  buffer.bufferWords = shift >= 1 && shift <= 16 ? 1u << (shift - 1) : 0;
  // A region entry takes four words; a table claiming more than the query shows is cut.
  buffer.regionCount = std::min<uint32_t>(w(0x2C), kMaxCfiRegions);
  for (uint32_t i = 0; i < buffer.regionCount; ++i) {
    buffer.blockCount[i] = w(0x2D + 4 * i) + 256 * w(0x2E + 4 * i) + 1;
    const uint32_t size = w(0x2F + 4 * i) + 256 * w(0x30 + 4 * i);
    buffer.blockWords[i] = size == 0 ? 64 : 128 * size;
  }
}

uint32_t MatchParts(FlashDriverTDF& driver, const IdBuffer& buffer) {
  const auto& d = driver.description;
  const uint16_t m = buffer.autoselect[0];
  const uint16_t dev = buffer.autoselect[1];
  driver.cfiValid = buffer.cfiValid ? 1 : 0;
  bool cfiHolds = buffer.cfiValid;
  for (int32_t i = 0; cfiHolds && i < PairCount(d.cfiMatch); ++i) {
    const auto index = static_cast<uint32_t>(d.cfiMatch.Address(i));
    cfiHolds = index < kCfiWords && buffer.cfi[index] == static_cast<uint16_t>(d.cfiMatch.Data(i));
  }
  driver.deviceId = d.parts.empty() ? 0 : d.parts.front().id.mainId;
  driver.sectorTable.Clear();
  driver.selectedPart = -1;
  driver.partName.clear();
  driver.pageWords = 0;
  if (m == static_cast<uint16_t>(d.manufacturerId)) {
    int remembered = -1;
    for (size_t i = 0; i < d.parts.size(); ++i) {
      const PartEntry& part = d.parts[i];
      if (IsCfiKind(part.id.mainId)) {
        if (cfiHolds) remembered = static_cast<int>(i);
        continue;
      }
      if (part.id.mainId != dev) continue;
      bool extrasMatch = true;
      for (int32_t e = 0; e < part.id.extraCount && e < kPartIdMaxExtra; ++e) {
        const PartIdWord& word = part.id.extra[static_cast<size_t>(e)];
        extrasMatch = extrasMatch && word.index < kAutoselectWords && buffer.autoselect[word.index] == word.value;
      }
      if (extrasMatch) {
        remembered = static_cast<int>(i);
        break;
      }
    }
    driver.selectedPart = remembered;
  }
  if (const PartEntry* part = driver.SelectedPart()) {
    driver.partName = part->name;
    if (cfiHolds && IsCfiKind(part->kind)) {
      driver.deviceId = part->kind;
    } else {
      for (int32_t i = 0; i < part->sectors.AddressCount(); ++i)
        driver.sectorTable.AppendAddress(part->sectors.Address(i));
    }
  }
  if (buffer.cfiValid && buffer.regionCount > 0 && m == static_cast<uint16_t>(d.manufacturerId) &&
      IsCfiKind(driver.deviceId)) {
    const uint32_t last = buffer.regionCount - 1;
    bool reversed = false;
    switch (driver.deviceId) {
      case kKeywordCfiRev: reversed = true; break;
      case kKeywordCfiTop: reversed = buffer.blockWords[0] < buffer.blockWords[last]; break;
      case kKeywordCfiBot: reversed = buffer.blockWords[last] < buffer.blockWords[0]; break;
      default: break;
    }
    uint64_t offset = 0;
    for (uint32_t r = 0; r < buffer.regionCount; ++r) {
      const uint32_t region = reversed ? last - r : r;
      for (uint32_t b = 0; b < buffer.blockCount[region]; ++b) {
        if (driver.sectorTable.AddressCount() >= ValuePairList::kMaxSectorEntries) break;
        driver.sectorTable.AppendAddress(static_cast<int32_t>(offset / 1024));
        offset += buffer.blockWords[region];
      }
    }
    driver.sectorTable.AppendAddress(static_cast<int32_t>(std::min<uint64_t>(offset / 1024, 0x7FFFFFFF / 1024)));
    driver.pageWords = buffer.bufferWords;
    driver.deviceId = dev;
  }
  const int32_t entries = driver.sectorTable.AddressCount();
  driver.sizeWords = entries == 0 ? 0 : driver.sectorTable.Address(entries - 1) * 1024;
  return (static_cast<uint32_t>(m) << 16) | dev;
}

bool BuildParameterBlock(const FlashDriverTDF& driver, FlashDriverIf& session, std::array<uint16_t, 48>& block) {
  block.fill(0);
  block[0] = kParBlockSignature;
  if (const ChipInfo* chip = session.Chip()) {
    block[1] = chip->FindRomSymbol("ROM$DBGRETURN");
    block[2] = chip->FindRomSymbol("ST$SENDBYTE");
  }
  block[8] = static_cast<uint16_t>(driver.description.statusType);
  block[9] = static_cast<uint16_t>(driver.description.errorBit);
  uint32_t n = 1;
  const ValuePairList& sequence = DriverSequence(driver, n);
  const int32_t pairs = PairCount(sequence);
  if (pairs > static_cast<int32_t>(kMaxDriverPairs)) return false;
  block[15] = static_cast<uint16_t>(pairs);
  for (int32_t i = 0; i < pairs; ++i) {
    const int32_t a = sequence.Address(i);
    const int32_t v = sequence.Data(i);
    uint16_t address = static_cast<uint16_t>(a);
    if (a == kKeywordBlock) address = kEncodedBlock;
    if (a == kKeywordUser) address = kEncodedUser;
    uint16_t data = static_cast<uint16_t>(v);
    if (a == kKeywordBlock && v == kKeywordBlock)
      data = static_cast<uint16_t>(kEncodedBlockData + n);
    else if (v == kKeywordCountBut1)
      data = static_cast<uint16_t>(n - 1);
    else if (v == kKeywordCount)
      data = static_cast<uint16_t>(n);
    else if (v == kKeywordUser)
      data = kEncodedUser;
    block[16 + 2 * static_cast<size_t>(i)] = address;
    block[17 + 2 * static_cast<size_t>(i)] = data;
  }
  return true;
}

bool CheckDevice(FlashDriverTDF& driver, FlashDriverIf& session, std::string& errorText) {
  driver.uploaded = false;
  if (!driver.ready) {
    errorText += "No Driver Description for Parallel Flash";
    return false;
  }
  if (session.link == nullptr) return false;
  IdBuffer buffer;
  ReadIdAndCfi(driver, session, buffer);
  const uint32_t id = MatchParts(driver, buffer);
  // The query ends in CFI mode on parts that ignore the AMD reset (Intel command set); their
  // own read-array command brings back the data a verify reads.
  RunSequence(driver, session, driver.description.readArray, 0);
  if (driver.sizeWords == 0) {
    errorText += "DeviceID Mismatch:, read " + HexFixed(id >> 16, 4) + ":" + HexFixed(id & 0xFFFF, 4) +
                 ",\r\nexpected " + HexFixed(static_cast<uint32_t>(driver.description.manufacturerId) & 0xFFFF, 4) +
                 ":";
    const auto& parts = driver.description.parts;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) errorText += ", ";
      errorText += HexFixed(static_cast<uint32_t>(parts[i].id.mainId) & 0xFFFF, 4);
    }
    return false;
  }
  session.checksumDriver.Clear();
  session.checksumDriverReady = false;
  if (Legacy(session)) return true;
  std::array<uint16_t, kParBlockWords> block{};
  if (!BuildParameterBlock(driver, session, block)) {
    // The target driver takes at most 16 pairs; a longer sequence would be cut short there.
    errorText += "Write sequence too long for the Parallel Flash Driver";
    return false;
  }
  if (!session.checksumDriver.LoadEmbedded(kDriverImageParallel, errorText)) return false;
  if (!session.checksumDriver.Upload(session)) {
    errorText += "Unable to upload Driver";
    return false;
  }
  if (session.checksumDriver.Word(2) != kDriverInterfaceVersion) {
    errorText += "Incompatible Driver";
    return false;
  }
  for (uint32_t i = 0; i < kParBlockWords; ++i) session.link->WriteRegister(kRegParameterBlock + i, block[i]);
  // The block starts like the checksum-only one, so the checksum entry is usable too.
  session.checksumDriverReady = true;
  driver.uploaded = true;
  return true;
}

void RunSequence(FlashDriverTDF& driver, FlashDriverIf& session, const ValuePairList& sequence, uint16_t value) {
  (void)RunSequenceAt(session, sequence, &value, 1, CommandBase(driver, session), Target(session));
}

bool RunWriteSequence(FlashDriverTDF& driver, FlashDriverIf& session, const ValuePairList& sequence,
                      const uint16_t* words, uint32_t n) {
  return RunSequenceAt(session, sequence, words, n, CommandBase(driver, session), Target(session));
}

namespace {

bool RunSequenceAt(FlashDriverIf& session, const ValuePairList& sequence, const uint16_t* words, uint32_t n,
                   uint32_t base, uint32_t target) {
  for (int32_t i = 0; i < PairCount(sequence); ++i) {
    const int32_t a = sequence.Address(i);
    const int32_t v = sequence.Data(i);
    if (a == kKeywordBlock && v == kKeywordBlock) {
      if (!session.link->WriteMemoryBlock(static_cast<uint16_t>(target & 0xFFFF), static_cast<uint16_t>(target >> 16),
                                          n, words, false)) {
        return false;
      }
      continue;
    }
    const uint32_t address = a == kKeywordUser || a == kKeywordBlock ? target : base + static_cast<uint32_t>(a);
    uint16_t data = static_cast<uint16_t>(v);
    if (v == kKeywordUser) data = words[0];
    if (v == kKeywordCount) data = static_cast<uint16_t>(n);
    if (v == kKeywordCountBut1) data = static_cast<uint16_t>(n - 1);
    WriteWord(session, address, data);
  }
  return true;
}

}  // namespace

bool WaitStatus(FlashDriverTDF& driver, FlashDriverIf& session, uint16_t expected, int32_t timeoutMs, bool& cancelled) {
  uint32_t address = Target(session);
  if (Legacy(session) && address < kLegacyReservedWords) address += kLegacyAlias;
  return WaitStatusAt(driver, session, address, expected, timeoutMs, cancelled);
}

namespace {

bool WaitStatusAt(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t address, uint16_t expected,
                  int32_t timeoutMs, bool& cancelled, bool cancellable) {
  const auto& d = driver.description;
  cancelled = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  const auto readArray = [&] { RunSequence(driver, session, d.readArray, 0); };
  const auto clearStatus = [&] { RunSequence(driver, session, d.clearStatus, 0); };
  if (d.statusType == kStatusPolling) {
    uint32_t w = ReadWord(session, address);
    while (w != expected) {
      // A lost link reads as all ones: nothing more will answer, and the deadline need not pass.
      if (session.LinkDown()) return false;
      if (Clock::now() > deadline) {
        readArray();
        return false;
      }
      const auto errorBits = static_cast<uint32_t>(d.errorBit) & 0xFFFF;
      if (errorBits != 0 && w != VALUE_INVALID && (w & errorBits) == errorBits) {
        if (ReadWord(session, address) == expected) return true;
        clearStatus();
        readArray();
        return false;
      }
      if (cancellable && session.CheckCancel()) {
        cancelled = true;
        clearStatus();
        readArray();
        return false;
      }
      std::this_thread::sleep_for(kPollPause);
      w = ReadWord(session, address);
    }
    return true;
  }
  if (d.statusType != kStatusRegister) return true;
  bool timedOut = false;
  uint32_t w = ReadWord(session, address);
  while (w == VALUE_INVALID || (w & 0x80) == 0) {
    if (session.LinkDown()) return false;
    if (Clock::now() > deadline) {
      timedOut = true;
      break;
    }
    if (cancellable && session.CheckCancel()) {
      cancelled = true;
      break;
    }
    std::this_thread::sleep_for(kPollPause);
    w = ReadWord(session, address);
  }
  const bool errors = w != VALUE_INVALID && (w & static_cast<uint32_t>(d.errorBit)) != 0;
  if (errors) clearStatus();
  readArray();
  return !errors && !timedOut && !cancelled;
}

// 73xx: the chip's own words at the bottom of the device, read before the block holding them
// is erased. Nothing is erased when they cannot be read.
bool SaveOwnWords(FlashDriverIf& session, std::vector<uint16_t>& own) {
  own.assign(kLegacyReservedWords, 0xFFFF);
  for (uint32_t i = 0; i < kLegacyReservedWords; i += kReadPieceWords) {
    if (!ReadBlock(session, i, kReadPieceWords, own.data() + i)) {
      session.failureAddress = static_cast<int32_t>(i);
      session.readValue = -1;
      (void)session.ShowMessage(
          "Cannot read the chip's own words at " + HexFixed(i, 8) + ";\r\nthe block holding them was not erased.",
          "Error", PromptButtons::Ok);
      session.SetStatus(StatusSectorEraseFailed);
      return false;
    }
  }
  return true;
}

// Writes the saved own words back into their freshly erased block, then reads them all back.
// A word that does not take is reported with its address.
bool RestoreOwnWords(FlashDriverTDF& driver, FlashDriverIf& session, const std::vector<uint16_t>& own) {
  const auto& d = driver.description;
  const bool words = PairCount(d.wordWrite) > 0;
  const ValuePairList& sequence = words ? d.wordWrite : d.pageWrite;
  const auto failed = [&](uint32_t at) {
    session.failureAddress = static_cast<int32_t>(at);
    session.expectedValue = own[at];
    session.readValue = ReadValueAt(session, at);
    (void)session.ShowMessage(
        "The chip's own words could not be written back after the erase, from " + HexFixed(at, 8) + " on.", "Error",
        PromptButtons::Ok);
    session.SetStatus(StatusProgramFailed);
    return false;
  };
  for (uint32_t i = 0; i < kLegacyReservedWords; ++i) {
    if (own[i] == 0xFFFF) continue;
    const uint32_t commandBase = (i & static_cast<uint32_t>(d.maskCmd)) + kLegacyAlias;
    bool cancelled = false;
    if (!RunSequenceAt(session, sequence, own.data() + i, 1, commandBase, i) ||
        !WaitStatusAt(driver, session, i, own[i], d.timeSector, cancelled, false))
      return failed(i);
  }
  std::vector<uint16_t> held(kLegacyReservedWords, 0xFFFF);
  for (uint32_t i = 0; i < kLegacyReservedWords; i += kReadPieceWords)
    if (!ReadBlock(session, i, kReadPieceWords, held.data() + i)) return failed(i);
  for (uint32_t i = 0; i < kLegacyReservedWords; ++i)
    if (held[i] != own[i]) return failed(i);
  return true;
}

}  // namespace

std::vector<UnitRange> SectorsOf(const FlashDriverTDF& driver, uint32_t c, uint32_t count) {
  std::vector<UnitRange> sectors;
  const uint64_t end = static_cast<uint64_t>(c) + count;
  const auto size = static_cast<uint32_t>(driver.sizeWords);
  const int32_t entries = driver.sectorTable.AddressCount();
  if (size == 0 || entries < 2) return sectors;
  for (uint64_t base = c - (c % size); base < end; base += size) {
    for (int32_t k = 0; k + 1 < entries; ++k) {
      const uint64_t s = base + 1024ull * static_cast<uint32_t>(driver.sectorTable.Address(k));
      const uint64_t e = base + 1024ull * static_cast<uint32_t>(driver.sectorTable.Address(k + 1));
      if (c < e && s < end) sectors.emplace_back(static_cast<uint32_t>(s), static_cast<uint32_t>(e));
    }
  }
  return sectors;
}

bool FindUnchanged(FlashDriverTDF& driver, FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) {
  session.unchanged.Clear();
  // The checksum routine comes with the uploaded program driver; without one (73xx) every
  // sector is programmed.
  if (session.link == nullptr || !driver.uploaded || !session.checksumDriverReady) return false;
  const uint32_t start = Position(session);
  const bool found =
      FindUnchangedUnits(session, image, start, SectorsOf(driver, start, eraseWords), kChecksumChunkWords,
                         [&](uint32_t position, uint32_t count, uint32_t& sum) {
                           return session.ChecksumTarget(sum, position, count) ? ChunkSum::Taken : ChunkSum::Failed;
                         });
  session.window.Select(start);
  if (!found) session.unchanged.Clear();
  return found;
}

bool Erase(FlashDriverTDF& driver, FlashDriverIf& session, uint32_t count) {
  const auto& d = driver.description;
  const uint32_t c = Position(session);
  if (driver.sizeWords == 0 || driver.sectorTable.AddressCount() < 2) return false;
  session.SetStatus(StatusErasing);
  for (const auto& [s, e] : SectorsOf(driver, c, count)) {
    // A sector that already holds what the program would leave in it stays as it is.
    if (session.unchanged.Holds(s, e)) continue;
    session.window.Select(s);
    // On 73xx the chip's own words at the bottom of the device must survive: the block
    // holding them is erased like any other, and they are written back right after.
    std::vector<uint16_t> own;
    const bool keepOwn = Legacy(session) && s < kLegacyReservedWords;
    if (keepOwn && !SaveOwnWords(session, own)) return false;
    bool done = false;
    bool cancelled = false;
    for (uint32_t attempt = 0; attempt < kEraseAttempts && !done && !cancelled && !session.linkLost; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kRetryPause);
      RunSequence(driver, session, d.unlockSector, 0);
      RunSequence(driver, session, d.sectorErase, 0);
      done = WaitStatus(driver, session, 0xFFFF, d.timeSector, cancelled);
    }
    // The block may be erased however the wait ended: the chip's own words go back first,
    // after an erase the user stopped waiting for has ended.
    if (keepOwn && cancelled) {
      bool ignored = false;
      (void)WaitStatusAt(driver, session, Target(session), 0xFFFF, d.timeSector, ignored, false);
    }
    if (keepOwn && !RestoreOwnWords(driver, session, own)) return false;
    if (cancelled) return false;  // reported by the cancel check
    if (!done) {
      session.failureAddress = static_cast<int32_t>(Position(session));
      session.SetStatus(StatusSectorEraseFailed);
      return false;
    }
    session.progress[0].position = static_cast<int32_t>(s - std::min(s, c));
    session.UpdateProgress(0);
    ShowExt(session);
  }
  session.SetStatus(StatusChipErased);
  return true;
}

namespace {

// Reports a failed program at the current position: the expected word and what the device
// holds there.
void ProgramFailed(FlashDriverIf& session, uint32_t offset, uint16_t expected) {
  session.failureAddress = static_cast<int32_t>(Position(session) + offset);
  session.expectedValue = expected;
  session.readValue = ReadValueAt(session, Target(session) + offset);
  session.SetStatus(StatusProgramFailed);
}

bool QuickVerify(FlashDriverIf& session, const ImageBuffer& image, uint32_t start, uint32_t n) {
  session.SetStatus(StatusVerifying);
  const auto first = static_cast<size_t>(std::max(0, image.firstWord));
  const uint32_t expected = ChecksumWords(0, std::span<const uint16_t>(image.words.data() + first, n));
  session.window.Select(start);
  session.link->WriteRegister(kRegSumA, 0);
  session.link->WriteRegister(kRegSumB, 0);
  session.progress[1] = {0, 0, static_cast<int32_t>(n)};
  uint32_t remaining = n;
  while (remaining > 0) {
    uint32_t k = std::min(remaining, kChecksumChunkWords);
    k = std::min(k, kChecksumChunkWords - (Position(session) & 0xFFFF));
    const uint32_t target = Target(session);
    session.link->WriteRegister(kRegAddressLow, target & 0xFFFF);
    session.link->WriteRegister(kRegAddressHigh, target >> 16);
    session.link->WriteRegister(kRegWordCount, k);
    if (!session.checksumDriver.Call(session, kChecksumEntry)) {
      session.SetStatus(StatusQuickVerifyFailed);
      return false;
    }
    session.window.Select(Position(session) + k);
    ShowExt(session);
    session.progress[1].position += static_cast<int32_t>(k);
    remaining -= k;
  }
  const uint32_t a = session.link->ReadRegister(kRegSumA);
  const uint32_t b = session.link->ReadRegister(kRegSumB);
  if (a == (expected & 0xFFFF) && b == (expected >> 16)) {
    session.SetStatus(StatusProgramVerified);
    return true;
  }
  session.SetStatus(StatusQuickVerifyFailed);
  return false;
}

}  // namespace

bool Program(FlashDriverTDF& driver, FlashDriverIf& session, ImageBuffer& image) {
  const auto& d = driver.description;
  if (session.link == nullptr) return false;
  const int32_t firstWord = std::max(0, image.firstWord);
  const int32_t endWord = std::min(image.programLength, image.size);
  const uint32_t n = endWord > firstWord ? static_cast<uint32_t>(endWord - firstWord) : 0;
  const uint32_t start = Position(session);
  const uint32_t bufferAddress = session.checksumDriver.Word(kDriverEntryBuffer);
  const uint32_t driverBlock = std::max(kMinDriverBlockWords, driver.pageWords);
  uint32_t pageUnit = 1;
  (void)DriverSequence(driver, pageUnit);
  std::vector<uint16_t> block;
  uint32_t done = 0;
  int32_t pending = 0;
  session.failureAddress = static_cast<int32_t>(start);
  while (done < n) {
    const uint16_t* piece = image.words.data() + firstWord + done;
    // Sectors that already hold their part of the image are not written, and no write reaches
    // into one.
    const uint32_t skipTo = session.unchanged.SkipFrom(Position(session));
    const uint32_t remaining = std::min(n - done, session.unchanged.WordsBeforeNext(Position(session)));
    uint32_t k = 1;
    if (skipTo != Position(session)) {
      k = std::min(skipTo - Position(session), n - done);
    } else if (Legacy(session) && Position(session) < kLegacyReservedWords) {
      k = std::min(kLegacyReservedWords - Position(session), remaining);  // the chip's own words: passed over
    } else if (driver.uploaded) {
      // The routine programs whole write-buffer pages of n words with a fixed count, so a
      // block starts on a page boundary and is sent whole; words outside the image range
      // carry the erased value, which programs nothing.
      const uint32_t lead = Target(session) % pageUnit;
      k = std::min(driverBlock - lead, remaining);
      const uint32_t sent = pageUnit == 1 ? k : driverBlock;
      block.assign(driverBlock, 0xFFFF);
      std::copy(piece, piece + k, block.begin() + lead);
      if (!session.link->WriteMemoryBlock(static_cast<uint16_t>(bufferAddress), 0, sent, block.data(), true)) {
        ProgramFailed(session, 0, piece[0]);
        return false;
      }
      const uint32_t target = Target(session) - lead;
      session.link->WriteRegister(kRegAddressLow, target & 0xFFFF);
      session.link->WriteRegister(kRegAddressHigh, target >> 16);
      session.link->WriteRegister(kRegWordCount, sent);
      if (!session.checksumDriver.Call(session, kProgramEntry)) {
        if (session.checksumDriver.lastCall == CallResult::Cancelled) return false;
        // The failing word's offset from the block start; one outside this piece names its first word.
        const uint32_t o = session.link->ReadRegister(kRegFailOffset) & 0xFFFF;
        const uint32_t offset = o >= lead && o - lead < k ? o - lead : 0;
        ProgramFailed(session, offset, piece[offset]);
        return false;
      }
    } else if (PairCount(d.pageWrite) > 0 && PairCount(d.wordWrite) == 0) {
      // A write buffer never crosses its own page; without a CFI size words go one by one.
      const uint32_t page = std::max<uint32_t>(1, driver.pageWords);
      k = std::min(page - Target(session) % page, remaining);
      bool cancelled = false;
      if (!RunWriteSequence(driver, session, d.pageWrite, piece, k) ||
          !WaitStatus(driver, session, piece[0], d.timeSector, cancelled)) {
        if (cancelled) return false;
        ProgramFailed(session, 0, piece[0]);
        return false;
      }
    } else if (PairCount(d.wordWrite) > 0) {
      bool ok = false;
      bool cancelled = false;
      for (uint32_t attempt = 0; attempt < kEraseAttempts && !ok && !cancelled; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kRetryPause);
        RunSequence(driver, session, d.wordWrite, piece[0]);
        ok = WaitStatus(driver, session, piece[0], d.timeSector, cancelled);
      }
      if (cancelled) return false;
      if (!ok) {
        ProgramFailed(session, 0, piece[0]);
        return false;
      }
    }
    session.window.Select(Position(session) + k);
    session.failureAddress = static_cast<int32_t>(Position(session));  // a cancel names the word in progress
    done += k;
    pending += static_cast<int32_t>(k);
    if ((Position(session) & 0xFF) == 0 || done == n) {
      ShowExt(session);
      session.progress[0].position += pending;
      session.UpdateProgress(0);
      pending = 0;
    }
    if (session.CheckCancel()) return false;
  }
  if (!driver.uploaded) {
    session.SetStatus(StatusProgrammed);
    return true;
  }
  return QuickVerify(session, image, start, n);
}

bool Verify(FlashDriverTDF& /*driver*/, FlashDriverIf& session, ImageBuffer& image) {
  if (session.link == nullptr) return false;
  const int32_t firstWord = std::max(0, image.firstWord);
  const int32_t endWord = std::min(image.programLength, image.size);
  const uint32_t n = endWord > firstWord ? static_cast<uint32_t>(endWord - firstWord) : 0;
  const uint32_t start = Position(session);
  // Where no checksum driver runs (73xx) every word is read back instead.
  const bool readBackOnly = Legacy(session);
  std::string error;
  if (!readBackOnly && !session.PrepareChecksumDriver(error)) {
    (void)session.ShowMessage(error, "Error", PromptButtons::Ok);
    session.SetStatus(StatusVerifyFailed);
    return false;
  }
  session.progress[1] = {0, 0, static_cast<int32_t>(n)};
  session.UpdateProgress(1);
  uint32_t done = 0;
  std::array<uint16_t, kReadPieceWords> read{};
  while (done < n) {
    const uint32_t a = start + done;
    if (readBackOnly && a < kLegacyReservedWords) {
      // The chip's own words, which the program passed over.
      done += std::min(kLegacyReservedWords - a, n - done);
      continue;
    }
    session.window.Select(a);
    session.ShowPosition("EXT:" + Hex(a));
    const uint32_t k = std::min(n - done, kVerifyChunkWords);
    const uint16_t* expected = image.words.data() + firstWord + done;
    bool equal = false;
    if (!readBackOnly) {
      uint32_t target = 0;
      if (!session.ChecksumTarget(target, a, k)) {
        session.failureAddress = static_cast<int32_t>(a);
        session.ChecksumCallFailed();
        return false;
      }
      equal = target == ChecksumWords(0, std::span<const uint16_t>(expected, k));
    }
    if (!equal) {
      // Read the chunk back through the window: the device's own addresses are not the
      // target's.
      for (uint32_t i = 0; i < k; i += kReadPieceWords) {
        const uint32_t m = std::min(kReadPieceWords, k - i);
        session.window.Select(a + i);
        if (!ReadBlock(session, Target(session), m, read.data())) {
          session.failureAddress = static_cast<int32_t>(a + i);
          session.expectedValue = expected[i];
          session.readValue = -1;
          session.SetStatus(StatusVerifyFailed);
          return false;
        }
        for (uint32_t j = 0; j < m; ++j) {
          if (read[j] != expected[i + j]) {
            session.failureAddress = static_cast<int32_t>(a + i + j);
            session.expectedValue = expected[i + j];
            session.readValue = read[j];
            session.SetStatus(StatusVerifyFailed);
            return false;
          }
        }
      }
      if (!readBackOnly) {
        // The checksum differed yet every word matched: the checksum read is not to be trusted.
        session.failureAddress = static_cast<int32_t>(a);
        session.expectedValue = expected[0];
        session.readValue = -1;
        session.SetStatus(StatusVerifyFailed);
        return false;
      }
    }
    session.progress[1].position += static_cast<int32_t>(k);
    session.UpdateProgress(1);
    done += k;
    if (session.CheckCancel()) return false;
  }
  session.window.Select(start);
  session.SetStatus(StatusVerified);
  return true;
}

bool Read(FlashDriverTDF& /*driver*/, FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) {
  data.clear();
  if (session.link == nullptr) return false;
  const uint32_t start = Position(session);
  data.resize(words);
  bool ok = true;
  for (uint32_t done = 0; done < words && ok;) {
    const uint32_t m = std::min(kReadPieceWords, words - done);
    // Piece by piece through the window: the device's own addresses are not the target's.
    session.window.Select(start + done);
    ok = ReadBlock(session, Target(session), m, data.data() + done);
    done += m;
  }
  session.window.Select(start);
  if (!ok) data.clear();
  return ok;
}

const DeviceDescription* DetectParallelDevice(DeviceCatalogue& catalogue, FlashDriverIf& session, uint32_t* sizeWords) {
  if (sizeWords != nullptr) *sizeWords = 0;
  if (catalogue.ParallelDrivers().empty() || session.link == nullptr) return nullptr;
  IdBuffer buffer;
  FlashDriverTDF first(*catalogue.ParallelDrivers().front());
  ReadIdAndCfi(first, session, buffer);
  const DeviceDescription* result = nullptr;
  for (const auto& record : catalogue.ParallelDrivers()) {
    FlashDriverTDF driver(*record);
    session.deviceId = MatchParts(driver, buffer);
    const PartEntry* selected = driver.SelectedPart();
    if (selected == nullptr) continue;
    // The driver's device word names the description's first part until a CFI part replaces
    // it; any other part that matched the identification answers with its own word.
    const uint32_t deviceWord = IsCfiKind(selected->id.mainId) ? driver.DeviceId() : selected->id.mainId;
    if ((driver.ManufacturerId() & 0xFFFF) != (session.deviceId >> 16) ||
        (deviceWord & 0xFFFF) != (session.deviceId & 0xFFFF)) {
      continue;
    }
    RunSequence(driver, session, driver.description.readArray, 0);
    // The catalogue's entries point at the record's own parts, not at the driver's copy.
    const PartEntry* part = &record->description.parts[static_cast<size_t>(driver.selectedPart)];
    for (const auto& entry : catalogue.Entries()) {
      if (entry->part == part && (result == nullptr || part->id.mainId > 0)) {
        result = entry.get();
        if (sizeWords != nullptr) *sizeWords = driver.DeviceSize();
      }
    }
  }
  return result;
}

}  // namespace tessaro::parallel_flash
