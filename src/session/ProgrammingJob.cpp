#include "session/ProgrammingJob.h"

#include <algorithm>
#include <vector>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "common/Text.h"
#include "flash/FlashDriverPAR.h"
#include "link/SerialPort.h"
#include "session/FlashDriverIf.h"

namespace tessaro {

namespace {

bool IsParallel(int32_t d) { return d == DestEmbeddedParallel || d == DestParallel; }
bool IsSerial(int32_t d) { return d == DestEmbeddedSerial || d == DestSerial; }

int32_t Min32(int64_t a, int64_t b) { return static_cast<int32_t>(std::min(a, b)); }

}  // namespace

const char* DestinationText(int32_t destination) {
  switch (destination) {
    case DestNone: return "<Select Programming Target>";
    case DestEmbedded: return "Embedded Flash only";
    case DestEmbeddedParallel: return "Firmware into Embedded+Parallel Flash";
    case DestEmbeddedSerial: return "Firmware into Embedded+Serial Flash";
    case DestParallel: return "external Parallel Flash";
    case DestSerial: return "external Serial Flash";
    case DestQspi: return "external QSPI Flash";
    case DestMpQspi: return "external MP QSPI Flash";
    case DestNand: return "external NAND Flash";
    default: return "";
  }
}

bool ProgrammingJob::CheckTarget(FlashDriverIf& session, std::string& errorText, const char* busyText) {
  const ChipInfo* chip = session.Chip();
  switch (destination) {
    case DestEmbedded:
      if (chip == nullptr || static_cast<int64_t>(chip->embeddedFlashSize) < image.size) {
        errorText += "Image too big for internal Flash!";
        return false;
      }
      break;
    case DestSerial:
      if (!dataFlash.ready) {
        errorText += "No Serial Driver selected!";
        return false;
      }
      if (static_cast<int64_t>(dataFlash.DeviceSize()) < image.size) {
        errorText += "Image too big for selected serial Flash!";
        return false;
      }
      break;
    case DestEmbeddedParallel:
    case DestEmbeddedSerial:
    case DestParallel:
    case DestQspi:
    case DestMpQspi:
    case DestNand:
      break;
    default:
      errorText += "Invalid Programming Target!";
      return false;
  }
  if (chip == nullptr || session.link == nullptr) {
    errorText += "Invalid Programming Target!";
    return false;
  }

  if (!session.EnsureLinked()) return false;

  session.window.Attach(session);
  session.window.Select(session.GetStartAddress());
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

  if (destination == DestQspi && !qspi.CheckDevice(session, errorText)) return false;
  if (destination == DestMpQspi && !mpQspi.CheckDevice(session, errorText)) return false;
  if (destination == DestNand && !nand.ready) {
    if (!nand.Detect(session, errorText)) {
      errorText += "NAND Device not detected!";
      return false;
    }
  }
  if (IsParallel(destination) && !parallel_flash::CheckDevice(parallel, session, errorText)) return false;

  const int mode = session.link->transportMode();
  const uint32_t family = chip->familyCode;
  if (family == FAMILY_73XX) {
    if (mode != 2 && mode != 3) {
      errorText += "Not connected to a LYR7xxx";
      return false;
    }
  } else if (mode != 1 && mode != 4 && mode != 6) {
    errorText += family == FAMILY_74XX ? "Not connected to a LYR74xx" : "Not connected to a LYR8xxx";
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
  if (busyText != nullptr) session.SetCustomStatus(busyText);
  return true;
}

void ProgrammingJob::StartProgress(FlashDriverIf& session, int32_t words) {
  session.progress[0].low = 0;
  session.progress[0].high = words;
  session.progress[0].position = 0;
  session.currentProgressChannel = 1;  // force the range to be sent
  session.UpdateProgress(0);
}

void ProgrammingJob::EndOperation(FlashDriverIf& session) {
  session.progress[0].position = 0;
  session.UpdateProgress(0);
  session.ShowPosition("");
}

bool ProgrammingJob::ProgramImage(FlashDriverIf& session, std::string& errorText) {
  fuseWordWritten = false;
  fuseWord = 0;
  securityBitRequested = false;
  if (image.size == 0) {
    errorText += "No file selected";
    return false;
  }
  if (!CheckTarget(session, errorText, "Programming in progress")) return false;

  SerialPort& port = *session.link;
  const ChipInfo& chip = *session.Chip();
  const uint32_t family = chip.familyCode;
  const int32_t E = image.programLength;
  const int32_t F = image.firstWord;
  uint32_t P = static_cast<uint32_t>(session.window.position);
  StartProgress(session, E - F);

  bool result = false;
  if (family < FAMILY_8X2X) {
    if (destination == DestSerial) {
      session.memoryKind = MemorySerial;
      result = dataFlash.Program(session, image);
    } else {
      session.memoryKind = MemoryParallel;
      session.SetStatus(StatusErasing);
      if (!parallel_flash::Erase(parallel, session, static_cast<uint32_t>(E))) {
        EndOperation(session);
        return true;
      }
      session.SetStatus(StatusProgramming);
      session.window.Select(P);
      session.SetProgress(0);
      result = parallel_flash::Program(parallel, session, image);
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
    if (family == FAMILY_8X47 && P == 0 && destination >= DestEmbedded && destination <= DestEmbeddedSerial &&
        F + 3 < image.size && image.words[static_cast<size_t>(F + 2)] == kFirmwareFamilyMark) {
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
    if (family == FAMILY_8X47 &&
        (destination == DestEmbeddedParallel || destination == DestEmbeddedSerial || destination == DestParallel)) {
      session.SetStatus(StatusProgramming);
      if (destination != DestParallel && P < kEmbeddedPartWords) {
        const int32_t n = Min32(E, kEmbeddedPartWords - P);
        image.programLength = std::min(image.size, n);
        session.memoryKind = MemoryEmbedded;
        (void)ProgramEmbedded(session, image);  // an embedded failure does not stop the external part
        P += static_cast<uint32_t>(n);
        done = n;
        image.firstWord = F + n;
        session.window.Select(static_cast<uint32_t>(session.window.position + n));
      }
      if (P < kLowRegionWords) {
        const int32_t m = Min32(E - done, kLowRegionWords - P);
        image.programLength = std::min(image.size, done + m);
        session.window.Select(P);
        session.SetStatus(StatusProgramming);
        if (IsParallel(destination)) {
          const int32_t savedProgress = session.progress[0].position;
          session.memoryKind = MemoryParallel;
          session.SetStatus(StatusErasing);
          ok = parallel_flash::Erase(parallel, session, static_cast<uint32_t>(m));
          if (ok && done + m < E) {
            session.window.Select(P + static_cast<uint32_t>(m));
            ok = erased = parallel_flash::Erase(parallel, session, static_cast<uint32_t>(E - m - done));
          }
          session.window.Select(P);
          session.progress[0].position = savedProgress;
          if (ok) {
            session.SetStatus(StatusProgramming);
            ok = parallel_flash::Program(parallel, session, image);
          }
        } else {
          P = 0;
          session.window.Select(0);
          session.memoryKind = MemorySerial;
          ok = dataFlash.Program(session, image);
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

    if (!finished && ok && E - done > 0) {
      session.SetStatus(StatusProgramming);
      session.window.Select(P);
      switch (destination) {
        case DestEmbedded:
          session.memoryKind = MemoryEmbedded;
          result = ProgramEmbedded(session, image);
          break;
        case DestEmbeddedParallel:
        case DestParallel:
          session.memoryKind = MemoryParallel;
          if (destination == DestParallel && !erased) {
            // A sector that did not erase would take the image wrongly: the erase status stands.
            if (!parallel_flash::Erase(parallel, session, static_cast<uint32_t>(E))) break;
            session.window.Select(P);
            session.SetStatus(StatusProgramming);
            session.SetProgress(0);
          }
          result = parallel_flash::Program(parallel, session, image);
          break;
        case DestEmbeddedSerial:
        case DestSerial:
          session.memoryKind = MemorySerial;
          result = dataFlash.Program(session, image);
          break;
        case DestQspi:
        case DestMpQspi: {
          FlashDriverQSPI& driver = destination == DestQspi ? qspi : mpQspi;
          session.memoryKind = destination == DestQspi && qspi.dualRequested ? MemoryDualQspi : MemoryQspi;
          (void)driver.Erase(session, static_cast<uint32_t>(E));
          session.window.Select(P);
          session.SetStatus(StatusProgramming);
          session.SetProgress(0);
          result = driver.Program(session, image);
          break;
        }
        case DestNand:
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
          session.memoryKind = MemoryNand;
          result = nand.Program(session, image);
          break;
        default:
          break;
      }
      image.firstWord = F;
    }
  }

  if (result && securityBitRequested) {
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
  EndOperation(session);
  return true;
}

bool ProgrammingJob::VerifyImage(FlashDriverIf& session, std::string& errorText) {
  if (image.size == 0) {
    errorText += "No file selected";
    return false;
  }
  if (!CheckTarget(session, errorText, "Verify in progress")) return false;

  const uint32_t family = session.FamilyCode();
  const int32_t E = image.programLength;
  const int32_t F = image.firstWord;
  uint32_t P = static_cast<uint32_t>(session.window.position);
  StartProgress(session, E - F);

  bool result = false;
  if (family < FAMILY_8X2X) {
    session.SetStatus(StatusVerifying);
    if (destination == DestSerial) {
      session.memoryKind = MemorySerial;
      result = dataFlash.Verify(session, image);
    } else {
      session.memoryKind = MemoryParallel;
      result = parallel_flash::Verify(parallel, session, image);
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
    int32_t done = 0;
    bool ok = true;
    bool finished = false;
    if (family == FAMILY_8X47 &&
        (destination == DestEmbeddedParallel || destination == DestEmbeddedSerial || destination == DestParallel)) {
      session.SetStatus(StatusVerifying);
      if (destination != DestParallel && P < kEmbeddedPartWords) {
        const int32_t n = Min32(E, kEmbeddedPartWords - P);
        image.programLength = std::min(image.size, n);
        session.memoryKind = MemoryEmbedded;
        ok = VerifyEmbedded(session, image);
        if (ok) {
          P += static_cast<uint32_t>(n);
          done = n;
          image.firstWord = F + n;
          session.window.Select(static_cast<uint32_t>(session.window.position + n));
        }
      }
      if (ok && P < kLowRegionWords) {
        const int32_t m = Min32(E - done, kLowRegionWords - P);
        image.programLength = std::min(image.size, done + m);
        session.window.Select(P);
        session.SetStatus(StatusVerifying);
        if (IsParallel(destination)) {
          session.memoryKind = MemoryParallel;
          ok = parallel_flash::Verify(parallel, session, image);
        } else {
          P = 0;
          session.window.Select(0);
          session.memoryKind = MemorySerial;
          ok = dataFlash.Verify(session, image);
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
    if (!finished && ok && E - done > 0) {
      session.SetStatus(StatusVerifying);
      session.window.Select(P);
      switch (destination) {
        case DestEmbedded:
          session.memoryKind = MemoryEmbedded;
          result = VerifyEmbedded(session, image);
          break;
        case DestEmbeddedParallel:
        case DestParallel:
          session.memoryKind = MemoryParallel;
          result = parallel_flash::Verify(parallel, session, image);
          break;
        case DestEmbeddedSerial:
        case DestSerial:
          session.memoryKind = MemorySerial;
          result = dataFlash.Verify(session, image);
          break;
        case DestQspi:
          session.memoryKind = qspi.dualRequested ? MemoryDualQspi : MemoryQspi;
          result = qspi.Verify(session, image);
          break;
        case DestMpQspi:
          session.memoryKind = MemoryQspi;
          result = mpQspi.Verify(session, image);
          break;
        case DestNand:
          session.memoryKind = MemoryNand;
          result = nand.Verify(session, image);
          break;
        default:
          break;
      }
      image.firstWord = F;
    }
  }
  if (result) session.SetStatus(StatusVerified);
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
