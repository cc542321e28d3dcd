// The common operations of every external flash driver, mapped onto each driver's own device
// work, and the blank check they share (the target checksums, the host reads back only where a
// sum says a chunk is not erased).
#include <algorithm>
#include <span>

#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "flash/FlashDriverDF.h"
#include "flash/FlashDriverIf.h"
#include "flash/FlashDriverNAND.h"
#include "flash/FlashDriverPAR.h"
#include "flash/FlashDriverQSPI.h"
#include "flash/FlashDriverTDF.h"
#include "image/ImageBuffer.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

// Operations a driver has, by kind. Legend: P probe, E erase, W write, V verify, R read,
// B blank check.
struct OperationRow {
  bool probe, erase, write, verify, read, blankCheck;
};
//                                     P     E      W     V     R      B
constexpr OperationRow kDataFlashOps{true, true, true, true, true, true};
constexpr OperationRow kQspiOps{true, true, true, true, true, true};
constexpr OperationRow kParallelOps{true, true, true, true, true, true};
constexpr OperationRow kNandOps{true, false, true, true, true, true};

// Chunk of the shared blank check: one target checksum call, and what is read back when it
// differs.
constexpr uint32_t kBlankChunkWords = 16384;
// DataFlash and NAND checksum page by page; their chunk is a whole number of pages.
constexpr uint32_t kDataFlashBlankPages = 16;

bool Has(const OperationRow& row, FlashOperation operation) {
  switch (operation) {
    case FlashOperation::Probe: return row.probe;
    case FlashOperation::Erase: return row.erase;
    case FlashOperation::Write: return row.write;
    case FlashOperation::Verify: return row.verify;
    case FlashOperation::Read: return row.read;
    case FlashOperation::BlankCheck: return row.blankCheck;
  }
  return false;
}

// The checksum (started at 0) of what positions [from, to) hold after a program run that
// writes `words` from position `start` into erased units: the words where it writes them, the
// erased value elsewhere.
uint32_t ExpectedSum(std::span<const uint16_t> words, uint32_t start, uint32_t from, uint32_t to) {
  static const std::vector<uint16_t> erased(4096, 0xFFFF);
  uint32_t sum = 0;
  auto addErased = [&](uint32_t count) {
    while (count > 0) {
      const uint32_t k = std::min<uint32_t>(count, static_cast<uint32_t>(erased.size()));
      sum = ChecksumWords(sum, std::span<const uint16_t>(erased.data(), k));
      count -= k;
    }
  };
  const uint64_t imageEnd = uint64_t{start} + words.size();
  uint32_t at = from;
  if (at < start) {
    const uint32_t lead = std::min(to, start) - at;
    addErased(lead);
    at += lead;
  }
  if (at < to && at < imageEnd) {
    const auto end = static_cast<uint32_t>(std::min<uint64_t>(to, imageEnd));
    sum = ChecksumWords(sum, words.subspan(at - start, end - at));
    at = end;
  }
  if (at < to) addErased(to - at);
  return sum;
}

}  // namespace

bool FindUnchangedUnits(FlashDriverIf& session, const ImageBuffer& image, uint32_t start,
                        const std::vector<UnitRange>& units, uint32_t groupWords, const ChunkChecksum& checksum) {
  UnchangedUnits& found = session.unchanged;
  found.Clear();
  if (!checksum || units.empty()) return false;
  const int32_t first = std::max(0, image.firstWord);
  const int32_t end = std::min(image.programLength, image.size);
  const auto words =
      std::span<const uint16_t>(image.words.data() + first, static_cast<size_t>(std::max(0, end - first)));
  // Whether [from, to) holds what the run would leave there; false when no sum was taken.
  auto matches = [&](uint32_t from, uint32_t to, bool& equal) {
    uint32_t sum = 0;
    if (checksum(from, to - from, sum) != ChunkSum::Taken) return false;
    equal = sum == ExpectedSum(words, start, from, to);
    return true;
  };
  std::vector<bool> same(units.size(), false);
  // The comparison shows on the second progress channel, unit by unit.
  int32_t total = 0;
  for (const UnitRange& u : units) total += static_cast<int32_t>(u.second - u.first);
  session.progress[1] = ProgressChannel{0, 0, total};
  session.UpdateProgress(1);
  for (size_t i = 0; i < units.size();) {
    size_t j = i + 1;
    while (j < units.size() && units[j].first == units[j - 1].second && units[j].second - units[i].first <= groupWords)
      ++j;
    session.ShowPosition("EXT:" + Hex(units[i].first));
    bool equal = false;
    if (!matches(units[i].first, units[j - 1].second, equal)) return false;
    if (equal) {
      std::fill(same.begin() + static_cast<ptrdiff_t>(i), same.begin() + static_cast<ptrdiff_t>(j), true);
    } else if (j - i > 1) {
      for (size_t k = i; k < j; ++k) {
        bool unitEqual = false;
        if (!matches(units[k].first, units[k].second, unitEqual)) return false;
        same[k] = unitEqual;
      }
    }
    session.progress[1].position += static_cast<int32_t>(units[j - 1].second - units[i].first);
    session.UpdateProgress(1);
    if (session.CheckCancel()) return false;
    i = j;
  }
  found.compared = static_cast<uint32_t>(units.size());
  for (size_t k = 0; k < units.size(); ++k) {
    if (!same[k]) continue;
    ++found.skipped;
    if (!found.ranges.empty() && found.ranges.back().second == units[k].first) {
      found.ranges.back().second = units[k].second;
    } else {
      found.ranges.push_back(units[k]);
    }
  }
  return true;
}

bool BlankCheckRange(FlashDriver& driver, FlashDriverIf& session, uint32_t words, uint32_t chunkWords,
                     const ChunkChecksum& checksum) {
  if (chunkWords == 0) return false;
  const uint32_t start = static_cast<uint32_t>(session.window.position);
  session.SetStatus(StatusBlankChecking);
  const std::vector<uint16_t> blank(chunkWords, 0xFFFF);
  std::vector<uint16_t> data;
  auto finish = [&](uint32_t code) {
    session.window.Select(start);
    session.SetStatus(code);
  };
  for (uint32_t done = 0; done < words;) {
    const uint32_t at = start + done;
    const uint32_t k = std::min(words - done, chunkWords - at % chunkWords);
    session.ShowPosition("EXT:" + Hex(at));
    bool erased = false;
    if (checksum) {
      uint32_t sum = 0;
      const ChunkSum got = checksum(at, k, sum);
      if (got == ChunkSum::Failed) {
        finish(StatusAborted);
        return false;
      }
      erased = got == ChunkSum::Taken && sum == ChecksumWords(0, std::span<const uint16_t>(blank.data(), k));
    }
    if (!erased) {
      // The words themselves decide; a sum that differed while every word reads erased was a
      // bad sum, not a written word.
      session.window.Select(at);
      if (!driver.Read(session, k, data) || data.size() != k) {
        session.window.Select(start);
        session.SetCustomStatus("Blank check stopped: unable to read the device at 0x" + Hex(at));
        return false;
      }
      const auto written = std::find_if(data.begin(), data.end(), [](uint16_t w) { return w != 0xFFFF; });
      if (written != data.end()) {
        session.failureAddress = static_cast<int32_t>(at + static_cast<uint32_t>(written - data.begin()));
        session.expectedValue = 0xFFFF;
        session.readValue = *written;
        finish(StatusNotBlank);
        return false;
      }
    }
    done += k;
    session.progress[0].position += static_cast<int32_t>(k);
    session.UpdateProgress(0);
    if (session.CheckCancel()) {
      session.window.Select(start);
      return false;
    }
  }
  finish(StatusEmpty);
  return true;
}

// ---- serial DataFlash ----
bool FlashDriverDF::Offers(FlashOperation operation) const { return Has(kDataFlashOps, operation); }
bool FlashDriverDF::Probe(FlashDriverIf& /*session*/, std::string& errorText) {
  // The device is taken as described once SetDevice accepted it; its identity is checked by
  // every Program and Verify.
  if (!ready) errorText += "No Serial Driver selected!";
  return ready;
}
bool FlashDriverDF::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverDF::BlankCheck(FlashDriverIf& session, uint32_t words) {
  if (!ready || !PrepareAndShow(session)) return false;
  const uint32_t n = static_cast<uint32_t>(description.pageSize) / 2;
  if (n == 0) return false;
  SerialPort& link = *session.link;
  // The routine sums whole pages from their start: a chunk that starts inside a page is read.
  auto sumPages = [&](uint32_t position, uint32_t count, uint32_t& sum) {
    if (position % n != 0) return ChunkSum::Unavailable;
    link.WriteRegister(kRegSumA, 0);
    link.WriteRegister(kRegSumB, 0);
    for (uint32_t done = 0; done < count;) {
      const uint32_t w = std::min(n, count - done);
      link.WriteRegister(kRegDfWordCount, w);
      AddressPage(session, ((position + done) / n) << pageShift);
      if (!image.Call(session, kChecksumEntry)) return ChunkSum::Failed;
      done += w;
    }
    const uint32_t low = link.ReadRegister(kRegSumA);
    const uint32_t high = link.ReadRegister(kRegSumB);
    if (low == VALUE_INVALID || high == VALUE_INVALID) return ChunkSum::Failed;
    sum = ((high & 0xFFFF) << 16) | (low & 0xFFFF);
    return ChunkSum::Taken;
  };
  return BlankCheckRange(*this, session, words, n * kDataFlashBlankPages, sumPages);
}

// ---- QSPI NOR ----
bool FlashDriverQSPI::Offers(FlashOperation operation) const { return Has(kQspiOps, operation); }
bool FlashDriverQSPI::Probe(FlashDriverIf& session, std::string& errorText) { return CheckDevice(session, errorText); }
bool FlashDriverQSPI::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverQSPI::BlankCheck(FlashDriverIf& session, uint32_t words) {
  if (!hasDescription || session.link == nullptr) return false;
  std::string errorText;
  if (!session.PrepareChecksumDriver(errorText)) {
    if (!errorText.empty()) (void)session.ShowMessage(errorText, nullptr, PromptButtons::Ok);
    return false;
  }
  EnterReadMode(session);
  const bool empty =
      BlankCheckRange(*this, session, words, kBlankChunkWords, [&](uint32_t position, uint32_t count, uint32_t& sum) {
        return session.ChecksumTarget(sum, position, count) ? ChunkSum::Taken : ChunkSum::Failed;
      });
  return LeaveReadMode(session) && empty;
}

// ---- parallel NOR ----
bool FlashDriverTDF::Offers(FlashOperation operation) const { return Has(kParallelOps, operation); }
bool FlashDriverTDF::Probe(FlashDriverIf& session, std::string& errorText) {
  return parallel_flash::CheckDevice(*this, session, errorText);
}
bool FlashDriverTDF::Erase(FlashDriverIf& session, uint32_t words) {
  return parallel_flash::Erase(*this, session, words);
}
bool FlashDriverTDF::Write(FlashDriverIf& session, ImageBuffer& image) {
  return parallel_flash::Program(*this, session, image);
}
bool FlashDriverTDF::Verify(FlashDriverIf& session, ImageBuffer& image) {
  return parallel_flash::Verify(*this, session, image);
}
bool FlashDriverTDF::Read(FlashDriverIf& session, uint32_t words, std::vector<uint16_t>& data) {
  return parallel_flash::Read(*this, session, words, data);
}
bool FlashDriverTDF::FindUnchanged(FlashDriverIf& session, const ImageBuffer& image, uint32_t eraseWords) {
  return parallel_flash::FindUnchanged(*this, session, image, eraseWords);
}
bool FlashDriverTDF::BlankCheck(FlashDriverIf& session, uint32_t words) {
  if (session.link == nullptr) return false;
  // Where no checksum driver runs (73xx) every word is read back.
  ChunkChecksum checksum;
  if (session.FamilyCode() != FAMILY_73XX) {
    std::string errorText;
    if (!session.PrepareChecksumDriver(errorText)) {
      if (!errorText.empty()) (void)session.ShowMessage(errorText, nullptr, PromptButtons::Ok);
      return false;
    }
    checksum = [&](uint32_t position, uint32_t count, uint32_t& sum) {
      return session.ChecksumTarget(sum, position, count) ? ChunkSum::Taken : ChunkSum::Failed;
    };
  }
  return BlankCheckRange(*this, session, words, kBlankChunkWords, checksum);
}

// ---- NAND ----
bool FlashDriverNAND::Offers(FlashOperation operation) const { return Has(kNandOps, operation); }
bool FlashDriverNAND::Probe(FlashDriverIf& session, std::string& errorText) {
  return ready || Detect(session, errorText);
}
bool FlashDriverNAND::Erase(FlashDriverIf& /*session*/, uint32_t /*words*/) { return false; }
bool FlashDriverNAND::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverNAND::BlankCheck(FlashDriverIf& session, uint32_t words) {
  if (session.link == nullptr || !ready) return false;
  if (const uint32_t s = Reset(session, Bus16()); s != 0) return false;
  std::string errorText;
  if (!session.PrepareChecksumDriver(errorText)) {
    if (!errorText.empty()) (void)session.ShowMessage(errorText, nullptr, PromptButtons::Ok);
    return false;
  }
  // One page at a time: the controller reads it into the data window, where the target sums it.
  auto sumPage = [&](uint32_t position, uint32_t count, uint32_t& sum) {
    const uint32_t remembered = static_cast<uint32_t>(session.window.position);
    session.window.Select(position);
    const uint32_t t = session.window.TargetAddress();
    session.window.Select(remembered);
    if (!LoadPage(session, t)) return ChunkSum::Failed;
    return session.ChecksumTarget(sum, window + t % nand::kPageWords, count) ? ChunkSum::Taken : ChunkSum::Failed;
  };
  return BlankCheckRange(*this, session, words, nand::kPageWords, sumPage);
}

}  // namespace tessaro
