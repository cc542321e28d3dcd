#include "session/ProgrammingJob.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "flash/FlashDriverIf.h"
#include "flash/FlashDriverPAR.h"
#include "link/SerialPort.h"

namespace tessaro {

namespace {

bool IsParallel(int32_t d) { return d == DestEmbeddedParallel || d == DestParallel; }
bool IsSerial(int32_t d) { return d == DestEmbeddedSerial || d == DestSerial; }

int32_t Min32(int64_t a, int64_t b) { return static_cast<int32_t>(std::min(a, b)); }

// Places the session at the first position of a run on `destination`.
void StartRunOn(FlashDriverIf& session, int32_t destination, uint32_t start) {
  session.window.StartRun(start);
  // NAND pages are addressed by row and summed in the controller's window at absolute addresses.
  if (destination == DestNand) session.window.deviceRun = false;
  session.window.serialRun = IsSerial(destination);
}

// A run that starts in the low region stays in its parallel flash, so it must end there too:
// words past the device's end would go to whatever the target maps behind it.
bool RunEndsInDevice(const FlashDriverIf& session, const FlashDriver& driver, int64_t words, std::string& errorText) {
  const uint64_t size = driver.DeviceSize();
  const uint64_t start = static_cast<uint32_t>(session.window.position);
  if (!session.window.deviceRun || size == 0 || start + static_cast<uint64_t>(std::max<int64_t>(0, words)) <= size)
    return true;
  errorText += "Image runs past the end of the Parallel Flash at position 0x" + Hex(static_cast<uint32_t>(size));
  return false;
}

// Transport modes that reach each chip family with the protocol it speaks. Columns: family
// (0 = every family not named before), the modes that fit, the refusal otherwise. The 73xx
// speak the legacy-family protocol: the handshake link or a USB interface driving it (of any
// kind; one of kind 2 is how such an interface links them).
struct TransportRule {
  uint32_t family;
  uint32_t modes;
  const char* refusal;
};
constexpr uint32_t Modes(std::initializer_list<TransportMode> modes) {
  uint32_t bits = 0;
  for (TransportMode mode : modes) bits |= 1u << mode;
  return bits;
}
constexpr TransportRule kTransportRules[] = {
    {FAMILY_73XX, Modes({TransportHandshake, TransportUsbLegacy, TransportUsbLegacyKind2}),
     "Not connected to a LYR7xxx"},
    {FAMILY_74XX, Modes({TransportSerial, TransportUsbSerial, TransportUsbSerialKind2}), "Not connected to a LYR74xx"},
    {0, Modes({TransportSerial, TransportUsbSerial, TransportUsbSerialKind2}), "Not connected to a LYR8xxx"},
};

}  // namespace

const char* TransportRefusal(uint32_t family, TransportMode mode) {
  for (const TransportRule& rule : kTransportRules) {
    if (rule.family != family && rule.family != 0) continue;
    const bool fits = mode >= 0 && mode < 32 && (rule.modes & (1u << mode)) != 0;
    return fits ? nullptr : rule.refusal;
  }
  return nullptr;
}

FlashDriver* ProgrammingJob::Driver(DriverSlot slot) {
  switch (slot) {
    case DriverSlot::Parallel: return &parallel;
    case DriverSlot::DataFlash: return &dataFlash;
    case DriverSlot::Qspi: return &qspi;
    case DriverSlot::MpQspi: return &mpQspi;
    case DriverSlot::Nand: return &nand;
    case DriverSlot::None: break;
  }
  return nullptr;
}

void ProgrammingJob::ApplyBoard(const BoardDefinition& board, std::string& warnings) {
  if (!board.dfDevice.empty()) {
    DataFlashDescription description;
    if (catalogue.FindSerialDevice(board.dfDevice, description)) {
      std::string error;
      if (!dataFlash.SetDevice(description, board.dfEnable, board.dfDisable, board.config.chip, error)) {
        warnings += "Error initializing DF-Descriptor:\r\n" + error;
      }
    } else {
      warnings += "Missing or incomplete Device Definition for Serial Flash:\r\n" + board.dfDevice + "\r\n";
    }
  } else {
    dataFlash.Reset();
  }
  parallel.Reset();
  parallelChoices.clear();
  if (!board.flashDeviceNames.empty()) {
    // Several FlashDevice entries are stored joined by '/'.
    std::string_view names = board.flashDevices;
    while (!names.empty()) {
      const size_t slash = names.find('/');
      if (const ParallelDeviceRecord* record = catalogue.FindParallelDevice(names.substr(0, slash))) {
        parallelChoices.push_back(FlashDriverTDF(*record));
      }
      names = slash == std::string_view::npos ? std::string_view() : names.substr(slash + 1);
    }
    if (!parallelChoices.empty()) parallel = parallelChoices.front();
  }
  if (!board.qspiDevice.empty()) {
    qspi.Select(catalogue.FindQspiDevice(board.qspiDevice), board.dualQspi == ONOFF_ON,
                board.qspiSingleBit == ONOFF_ON);
  }
  if (!board.mpQspiDevice.empty()) {
    mpQspi.Select(catalogue.FindQspiDevice(board.mpQspiDevice), false, board.mpQspiSingleBit == ONOFF_ON);
  }
}

bool ProgrammingJob::CheckTarget(FlashDriverIf& session, std::string& errorText, const char* busyText) {
  const ChipInfo* chip = session.Chip();
  const DestinationInfo* dest = destination == DestNone ? nullptr : FindDestination(destination);
  if (dest == nullptr) {
    errorText += "Invalid Programming Target!";
    return false;
  }
  if (destination == DestEmbedded && (chip == nullptr || static_cast<int64_t>(chip->embeddedFlashSize) < image.size)) {
    errorText += "Image too big for internal Flash!";
    return false;
  }
  if (destination == DestSerial) {
    if (!dataFlash.ready) {
      errorText += "No Serial Driver selected!";
      return false;
    }
    if (static_cast<int64_t>(dataFlash.DeviceSize()) < image.size) {
      errorText += "Image too big for selected serial Flash!";
      return false;
    }
  }
  if (destination == DestEmbeddedSerial && dataFlash.ready && chip != nullptr && chip->familyCode == FAMILY_8X47) {
    // The split writes what follows the embedded part from the serial flash's start (from a
    // start beyond the low region, at that start); a device too small for it would fail only
    // after all of it was written.
    const int64_t start = session.GetStartAddress();
    const int64_t end =
        start < kLowRegionWords ? image.size - std::max<int64_t>(0, kEmbeddedPartWords - start) : start + image.size;
    if (static_cast<int64_t>(dataFlash.DeviceSize()) < end) {
      errorText += "Image too big for selected serial Flash!";
      return false;
    }
  }
  if (chip == nullptr || session.link == nullptr) {
    errorText += "Invalid Programming Target!";
    return false;
  }

  if (!session.EnsureLinked()) return false;

  session.window.Attach(session);
  StartRunOn(session, destination, session.GetStartAddress());
  image.firstWord = static_cast<int32_t>(session.GetImageOffset());

  // The image must also fit behind the start address: words past the end of the embedded
  // flash would be written to whatever the chip maps there.
  if (destination == DestEmbedded) {
    const uint64_t end = static_cast<uint64_t>(static_cast<uint32_t>(session.window.position)) +
                         static_cast<uint64_t>(std::max(0, image.programLength - image.firstWord));
    if (end > chip->embeddedFlashSize) {
      errorText += "Image too big for internal Flash!";
      return false;
    }
  }

  if (!ProbeDestination(session, *dest, errorText) || !CheckConnectedChip(session, *chip, errorText)) return false;
  if (IsParallel(destination) && !RunEndsInDevice(session, parallel, image.programLength - image.firstWord, errorText))
    return false;
  if (busyText != nullptr) session.SetCustomStatus(busyText);
  return true;
}

bool ProgrammingJob::ProbeDestination(FlashDriverIf& session, const DestinationInfo& info, std::string& errorText) {
  const DestinationInfo* dest = &info;
  if (dest->probe && IsParallel(destination) && parallelChoices.size() > 1) {
    // Each listed device in turn; the refusal names what every one of them expected.
    std::string refusals;
    bool found = false;
    for (const FlashDriverTDF& choice : parallelChoices) {
      parallel = choice;
      std::string refusal;
      if (parallel.Probe(session, refusal)) {
        found = true;
        break;
      }
      refusals += (refusals.empty() ? "" : "\r\n") + refusal;
    }
    if (!found) {
      errorText += refusals;
      return false;
    }
  } else if (dest->probe) {
    FlashDriver& driver = *Driver(dest->driver);
    if (!driver.Probe(session, errorText)) {
      if (dest->probeFailText != nullptr) errorText += dest->probeFailText;
      return false;
    }
  }
  return true;
}

bool ProgrammingJob::CheckConnectedChip(FlashDriverIf& session, const ChipInfo& chip, std::string& errorText) {
  const uint32_t family = chip.familyCode;
  if (const char* refusal = TransportRefusal(family, session.link->transportMode())) {
    errorText += refusal;
    return false;
  }
  if (family == FAMILY_8X2X && session.link->ReadIoRegister(24) != 0) {
    errorText += "Connected CPU is no 8x2x!";
    return false;
  }
  if (family == FAMILY_8X47 && session.link->ReadIoRegister(24) == 0) {
    errorText += "Connected CPU is no 8x47!";
    return false;
  }
  return true;
}

FlashDriver* ProgrammingJob::PrepareRange(FlashDriverIf& session, uint32_t start, FlashOperation operation,
                                          std::string& errorText, const char* busyText) {
  const ChipInfo* chip = session.Chip();
  const DestinationInfo* dest = destination == DestNone ? nullptr : FindDestination(destination);
  if (dest == nullptr || chip == nullptr || session.link == nullptr) {
    errorText += "Invalid Programming Target!";
    return nullptr;
  }
  FlashDriver* driver = Driver(dest->driver);
  if (driver == nullptr || !driver->Offers(operation)) {
    errorText += std::string("The memory of destination ") + dest->name + " does not offer this operation";
    return nullptr;
  }
  if (IsSerial(destination) && !dataFlash.ready) {
    errorText += "No Serial Driver selected!";
    return nullptr;
  }
  if (!session.EnsureLinked()) return nullptr;
  session.window.Attach(session);
  StartRunOn(session, destination, DestinationStartAddress(destination, start));
  if (!ProbeDestination(session, *dest, errorText) || !CheckConnectedChip(session, *chip, errorText)) return nullptr;
  if (chip->familyCode >= FAMILY_8X2X && IsParallel(destination) && !parallel.uploaded) {
    errorText += "No Parallel Flash Driver Loaded";
    return nullptr;
  }
  // The probe may have moved the position (identification reads at the device's start).
  StartRunOn(session, destination, DestinationStartAddress(destination, start));
  session.memoryKind = destination == DestQspi && qspi.dualRequested ? MemoryDualQspi : dest->memoryKind;
  if (busyText != nullptr) session.SetCustomStatus(busyText);
  return driver;
}

bool ProgrammingJob::EraseRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::string& errorText) {
  FlashDriver* driver = PrepareRange(session, start, FlashOperation::Erase, errorText, "Erase in progress");
  if (driver == nullptr) return false;
  const uint32_t position = static_cast<uint32_t>(session.window.position);
  StartProgress(session, static_cast<int32_t>(words));
  session.SetStatus(StatusErasing);
  const bool erased = driver->Erase(session, words);
  session.window.Select(position);
  // A failed erase has reported its own status (which sector, or aborted).
  if (erased) session.SetStatus(StatusErased);
  EndOperation(session);
  return true;
}

bool ProgrammingJob::ReadRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::vector<uint16_t>& data,
                               std::string& errorText) {
  data.clear();
  FlashDriver* driver = PrepareRange(session, start, FlashOperation::Read, errorText, "Read in progress");
  if (driver == nullptr) return false;
  const uint32_t position = static_cast<uint32_t>(session.window.position);
  StartProgress(session, static_cast<int32_t>(words));
  data.reserve(words);
  std::vector<uint16_t> piece;
  // In pieces, so a long read shows progress and can be stopped.
  for (uint32_t done = 0; done < words;) {
    const uint32_t k = std::min(words - done, kReadRangePieceWords);
    session.window.Select(position + done);
    session.ShowPosition("EXT:" + Hex(position + done));
    if (!driver->Read(session, k, piece) || piece.size() != k) {
      errorText += "Unable to read the device at 0x" + Hex(position + done);
      data.clear();
      session.window.Select(position);
      EndOperation(session);
      return false;
    }
    data.insert(data.end(), piece.begin(), piece.end());
    done += k;
    session.progress[0].position = static_cast<int32_t>(done);
    session.UpdateProgress(0);
    if (done < words && session.CheckCancel()) {
      errorText += "Read stopped";
      data.clear();
      session.window.Select(position);
      EndOperation(session);
      return false;
    }
  }
  session.window.Select(position);
  session.SetStatus(StatusReady);
  EndOperation(session);
  return true;
}

bool ProgrammingJob::CheckBlankRange(FlashDriverIf& session, uint32_t start, uint32_t words, std::string& errorText) {
  FlashDriver* driver = PrepareRange(session, start, FlashOperation::BlankCheck, errorText, "Blank check in progress");
  if (driver == nullptr) return false;
  StartProgress(session, static_cast<int32_t>(words));
  // Empty or not, the status says; the check itself ran.
  (void)driver->BlankCheck(session, words);
  EndOperation(session);
  return true;
}

void ProgrammingJob::StartProgress(FlashDriverIf& session, int32_t words) {
  session.progress[0].low = 0;
  session.progress[0].high = words;
  session.progress[0].position = 0;
  session.currentProgressChannel = 1;  // force the range to be sent
  session.UpdateProgress(0);
}

bool ProgrammingJob::CompareFirst(FlashDriverIf& session, FlashDriver& driver, uint32_t eraseWords) {
  session.unchanged.Clear();
  if (!skipUnchanged) return true;
  const uint32_t position = static_cast<uint32_t>(session.window.position);
  session.SetCustomStatus("Comparing the device with the image");
  const bool compared = driver.FindUnchanged(session, image, eraseWords);
  session.window.Select(position);
  if (session.cancelled) return false;
  const UnchangedUnits& found = session.unchanged;
  session.SetCustomStatus(compared ? std::to_string(found.skipped) + " of " + std::to_string(found.compared) +
                                         " erase units unchanged, skipped"
                                   : std::string("Unable to compare the device with the image: programming all of it"));
  return true;
}

void ProgrammingJob::EndOperation(FlashDriverIf& session) {
  session.progress[0].position = 0;
  session.UpdateProgress(0);
  session.ShowPosition("");
}

bool ProgrammingJob::ProgramImage(FlashDriverIf& session, std::string& errorText) {
  return Run(session, errorText, Pass::Program);
}

bool ProgrammingJob::VerifyImage(FlashDriverIf& session, std::string& errorText) {
  return Run(session, errorText, Pass::Verify);
}

// The walk over the image's pieces that programming and verifying share. Programming erases
// where the destination needs it and handles the 8x47 fuse word; verifying stops at a failed
// embedded part, while programming goes on with the external part after one.
bool ProgrammingJob::Run(FlashDriverIf& session, std::string& errorText, Pass pass) {
  const bool program = pass == Pass::Program;
  if (program) {
    fuseWordWritten = false;
    fuseWord = 0;
    securityBitRequested = false;
  }
  if (image.size == 0) {
    errorText += "No file selected";
    return false;
  }
  if (!CheckTarget(session, errorText, program ? "Programming in progress" : "Verify in progress")) return false;

  SerialPort& port = *session.link;
  const ChipInfo& chip = *session.Chip();
  const DestinationInfo& dest = *FindDestination(destination);
  const uint32_t family = chip.familyCode;
  const uint32_t working = program ? StatusProgramming : StatusVerifying;
  const int32_t E = image.programLength;
  const int32_t F = image.firstWord;
  uint32_t P = static_cast<uint32_t>(session.window.position);
  const uint32_t start = P;
  StartProgress(session, E - F);

  // Writes whose acknowledges are still in flight count only once they have all come in.
  auto settled = [&](bool ok) {
    if (port.DrainWindow() || !ok) return ok;
    session.SetStatus(program ? StatusProgramFailed : StatusVerifyFailed);
    return false;
  };
  auto transfer = [&](FlashDriver& driver) {
    return settled(program ? driver.Write(session, image) : driver.Verify(session, image));
  };
  auto transferEmbedded = [&]() {
    return settled(program ? ProgramEmbedded(session, image) : VerifyEmbedded(session, image));
  };

  bool result = false;
  if (family < FAMILY_8X2X) {
    if (!program) session.SetStatus(StatusVerifying);
    if (destination == DestSerial) {
      session.memoryKind = MemorySerial;
      result = (!program || CompareFirst(session, dataFlash, static_cast<uint32_t>(E))) && transfer(dataFlash);
    } else {
      session.memoryKind = MemoryParallel;
      if (program) {
        if (!CompareFirst(session, parallel, static_cast<uint32_t>(E))) {
          EndOperation(session);
          return true;
        }
        session.SetStatus(StatusErasing);
        if (!parallel.Erase(session, static_cast<uint32_t>(E))) {
          EndOperation(session);
          return true;
        }
        session.SetStatus(StatusProgramming);
        session.window.Select(P);
        session.SetProgress(0);
      }
      result = transfer(parallel);
    }
  } else {
    if (IsParallel(destination) && !parallel.uploaded) {
      errorText += "No Parallel Flash Driver Loaded";
      return false;
    }
    if (IsSerial(destination) && !dataFlash.ready) {
      errorText += "No Serial Flash Driver Loaded";
      return false;
    }

    // The 8x47 firmware header carries the fuse word (and the security-bit request).
    if (program && family == FAMILY_8X47 && P == 0 && destination >= DestEmbedded &&
        destination <= DestEmbeddedSerial && F + 3 < image.size &&
        image.words[static_cast<size_t>(F + 2)] == kFirmwareFamilyMark) {
      const uint16_t u = image.words[static_cast<size_t>(F + 3)];
      port.WriteFuseBits((u & 1) != 0, (u & 2) != 0, (u & 0x100) != 0, (u >> 5) & 7u, (u >> 2) & 7u);
      fuseWordWritten = true;
      fuseWord = u;
      securityBitRequested = (u & 0x8000) != 0;
    }

    int32_t done = 0;
    bool ok = true;
    bool erased = false;
    bool finished = false;
    // The 8x47 split: the embedded part, then the external memory's low region.
    if (family == FAMILY_8X47 &&
        (destination == DestEmbeddedParallel || destination == DestEmbeddedSerial || destination == DestParallel)) {
      session.SetStatus(working);
      if (dest.embedded && P < kEmbeddedPartWords) {
        const int32_t n = Min32(E, kEmbeddedPartWords - P);
        image.programLength = std::min(image.size, n);
        session.memoryKind = MemoryEmbedded;
        const bool embeddedOk = transferEmbedded();
        // A failed embedded write does not stop the external part; a failed compare does.
        ok = program || embeddedOk;
        if (ok) {
          P += static_cast<uint32_t>(n);
          done = n;
          image.firstWord = F + n;
          session.window.Select(static_cast<uint32_t>(session.window.position + n));
        }
      }
      if (ok && P < kLowRegionWords) {
        // A serial flash has no low region: it takes the whole rest in one run from its start,
        // so a page of 264 bytes is never cut at the region's end.
        const int32_t m = IsSerial(destination) ? E - done : Min32(E - done, kLowRegionWords - P);
        image.programLength = std::min(image.size, done + m);
        session.window.Select(P);
        session.SetStatus(working);
        if (IsParallel(destination)) {
          session.memoryKind = MemoryParallel;
          if (program) {
            const int32_t savedProgress = session.progress[0].position;
            session.SetStatus(StatusErasing);
            ok = parallel.Erase(session, static_cast<uint32_t>(m));
            if (ok && done + m < E) {
              session.window.Select(P + static_cast<uint32_t>(m));
              ok = erased = parallel.Erase(session, static_cast<uint32_t>(E - m - done));
            }
            session.window.Select(P);
            session.progress[0].position = savedProgress;
            if (ok) session.SetStatus(StatusProgramming);
          }
          if (ok) ok = transfer(parallel);
        } else {
          P = 0;
          session.window.Select(0);
          session.memoryKind = MemorySerial;
          ok = transfer(dataFlash);
        }
        done += m;
        P += static_cast<uint32_t>(m);
        image.firstWord = F + done;
      }
      image.programLength = std::min(image.size, E);
      if (!ok || E - done <= 0) {
        image.firstWord = F;
        result = ok;
        finished = true;
      }
    }

    // What is left goes to the destination's memory as a whole.
    if (!finished && ok && E - done > 0) {
      session.SetStatus(working);
      session.window.Select(P);
      if (dest.driver == DriverSlot::None) {
        session.memoryKind = MemoryEmbedded;
        result = transferEmbedded();
      } else {
        FlashDriver& driver = *Driver(dest.driver);
        session.memoryKind = destination == DestQspi && qspi.dualRequested ? MemoryDualQspi : dest.memoryKind;
        if (program && destination == DestNand) {
          if (static_cast<int64_t>(E) > 1024LL * nand.pagesPerBlock) {
            errorText += "Image does not fit into Block0";
            image.firstWord = F;
            return false;
          }
          if (P != 0) {
            errorText += "This driver is restricted to program Block0";
            image.firstWord = F;
            return false;
          }
        }
        bool eraseOk = !program || erased || CompareFirst(session, driver, static_cast<uint32_t>(E));
        if (eraseOk && program && dest.eraseFirst && !erased) {
          // A failed erase shows in the program step, except on parallel flash, whose sector
          // that did not erase could take the image wrongly: there the erase status stands.
          eraseOk = driver.Erase(session, static_cast<uint32_t>(E)) || !IsParallel(destination);
          session.window.Select(P);
          if (eraseOk) {
            session.SetStatus(StatusProgramming);
            session.SetProgress(0);
          }
        }
        if (eraseOk) result = transfer(driver);
      }
      image.firstWord = F;
    }
  }

  if (!result) {
    // A driver that stopped with a message box ("Error programming Device", the DataFlash
    // page-size switch ...) leaves the working status behind; the run must not look as if it
    // were still going, or finished.
    const uint32_t code = session.statusCode;
    const bool working = code == StatusCustom || code == StatusProgramming || code == StatusVerifying ||
                         code == StatusErasing || code == StatusBlankChecking;
    if (working) {
      if (session.failureAddress < 0 || static_cast<uint32_t>(session.failureAddress) < start) {
        session.failureAddress = static_cast<int32_t>(start);
      }
      session.expectedValue = VALUE_INVALID;
      session.readValue = -1;
      session.SetStatus(program ? StatusProgramFailed : StatusVerifyFailed);
    }
  }
  if (program && result && securityBitRequested) {
    const uint16_t zero = 0;
    if (port.linked() && chip.hasSecurityBit && port.WrFlash(kSecurityBitAddress, 1, &zero)) {
      session.SetCustomStatus("Programming completed, security bit ON");
    } else {
      // Saying the bit is on when it was not written would leave a chip open that the user
      // believes closed.
      session.memoryKind = MemoryEmbedded;
      session.failureAddress = static_cast<int32_t>(kSecurityBitAddress);
      session.expectedValue = 0;
      session.readValue = -1;
      session.SetStatus(StatusProgramFailed);
    }
  }
  if (!program && result) session.SetStatus(StatusVerified);
  EndOperation(session);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Embedded flash

bool ProgramEmbedded(FlashDriverIf& session, ImageBuffer& image) {
  const ChipInfo* chip = session.Chip();
  SerialPort* port = session.link;
  if (chip == nullptr || port == nullptr) return false;
  uint32_t address = chip->embeddedFlashBase + static_cast<uint32_t>(session.window.position);
  int32_t index = std::max(0, image.firstWord);
  const int32_t end = std::min(image.programLength, image.size);
  while (index < end) {
    session.failureAddress = static_cast<int32_t>(address);
    session.ShowPosition("EMB:" + Hex(address & 0xFFFF));
    const uint32_t count = static_cast<uint32_t>(std::min<int32_t>(end - index, kEmbeddedChunkWords));
    const uint16_t first = image.words[static_cast<size_t>(index)];
    bool failed = false;
    if (!port->WriteFlashBlock(address, count, &image.words[static_cast<size_t>(index)])) {
      // Nothing was read for this chunk; an older read value would name a wrong word.
      session.readValue = -1;
      failed = true;
    } else {
      const uint32_t read = port->ReadMemoryWord(address);
      session.readValue = static_cast<int32_t>(read);
      failed = read != first;
    }
    if (failed) {
      session.expectedValue = first;
      session.SetStatus(StatusProgramFailed);
      return false;
    }
    if (session.CheckCancel()) return false;
    session.progress[0].position += static_cast<int32_t>(count);
    session.UpdateProgress(0);
    address += count;
    index += static_cast<int32_t>(count);
  }
  session.SetStatus(StatusProgrammed);
  return true;
}

bool VerifyEmbedded(FlashDriverIf& session, ImageBuffer& image) {
  const ChipInfo* chip = session.Chip();
  SerialPort* port = session.link;
  if (chip == nullptr || port == nullptr) return false;
  uint32_t address = chip->embeddedFlashBase + static_cast<uint32_t>(session.window.position);
  int32_t index = std::max(0, image.firstWord);
  const int32_t end = std::min(image.programLength, image.size);
  std::vector<uint16_t> buffer(kEmbeddedChunkWords);
  while (index < end) {
    session.ShowPosition("EMB:" + Hex(address & 0xFFFF));
    const uint32_t count = static_cast<uint32_t>(std::min<int32_t>(end - index, kEmbeddedChunkWords));
    session.failureAddress = static_cast<int32_t>(address);
    if (!port->ReadMemoryBlock(static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16), count,
                               buffer.data())) {
      // A verify that could not read must not end as "in progress": report the chunk as failed.
      session.expectedValue = image.words[static_cast<size_t>(index)];
      session.readValue = -1;
      session.SetStatus(StatusVerifyFailed);
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const uint16_t expected = image.words[static_cast<size_t>(index) + i];
      if (buffer[i] != expected) {
        session.failureAddress = static_cast<int32_t>(address + i);
        session.readValue = buffer[i];
        session.expectedValue = expected;
        session.SetStatus(StatusVerifyFailed);
        return false;
      }
    }
    if (session.CheckCancel()) return false;
    session.progress[0].position += static_cast<int32_t>(count);
    session.UpdateProgress(0);
    address += count;
    index += static_cast<int32_t>(count);
  }
  return true;
}

}  // namespace tessaro
