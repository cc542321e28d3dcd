#include "tools/Autodetect.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/Text.h"
#include "definitions/BoardDefinition.h"
#include "definitions/DeviceCatalogue.h"
#include "flash/FlashDriverPAR.h"
#include "link/LinkResult.h"
#include "link/SerialPort.h"
#include "session/Destinations.h"
#include "session/FlashIf.h"

namespace tessaro {

namespace {

constexpr uint32_t kQspiWindow = 0x40000000;
constexpr uint32_t kMpQspiWindow = 0xC0000000;
// The memory interface registers the 9xxx scan sets and the end of the run sets back (8 first,
// separately, because its bit 4 belongs to the chip).
constexpr uint32_t kMemoryInterfaceRegisters[] = {9, 11, 12, 13, 19, 20, 22, 23, 24, 25, 26, 27};
constexpr uint32_t kSdramControl = 23;
constexpr uint32_t kSdramInitStart = 0x40;
constexpr uint32_t kSdramInitDone = 0x80;
constexpr int kSdramInitPolls = 1000;

uint32_t SignificantBits(uint32_t value) {
  uint32_t bits = 0;
  while (value != 0) {
    ++bits;
    value >>= 1;
  }
  return bits;
}

uint16_t WithBit4Of(uint16_t value, uint32_t chipValue) {
  return static_cast<uint16_t>((value & ~0x10u) | (chipValue & 0x10u));
}

// The host as the detection's session sees it: everything passes through, except that a link
// attempt failing the way a secured chip does is not answered with a chip erase. The chip
// answered moments before, so such a failure is a lost link, and a detection erases nothing.
class DetectionHost : public FlashHost {
 public:
  explicit DetectionHost(FlashHost& host) : host_(host) {}

  SerialPort& Link() override { return host_.Link(); }
  BoardConfig& Configuration() override { return host_.Configuration(); }
  ProgressBarIf* ProgressBar() override { return host_.ProgressBar(); }
  CLyrComIf* LinkCallback() override { return host_.LinkCallback(); }
  uint32_t PortNumber() override { return host_.PortNumber(); }
  bool DoubleBaud() override { return host_.DoubleBaud(); }
  uint32_t StartAddress() override { return host_.StartAddress(); }
  void SetStartAddress(uint32_t address) override { host_.SetStartAddress(address); }
  void ShowStatusLine(const std::string& text, int colourClass) override { host_.ShowStatusLine(text, colourClass); }
  void ShowPositionText(const std::string& text) override { host_.ShowPositionText(text); }
  PromptAnswer Ask(const std::string& text, const char* caption, PromptButtons buttons) override {
    if (text == kEraseSecuredQuestion) return PromptAnswer::No;
    return host_.Ask(text, caption, buttons);
  }
  bool CancelRequested() override { return host_.CancelRequested(); }
  void StartConnectionPoll() override { host_.StartConnectionPoll(); }
  void StopConnectionPoll() override { host_.StopConnectionPoll(); }
  void* Window() override { return host_.Window(); }

 private:
  FlashHost& host_;
};

}  // namespace

std::string NoDeviceMessage(const std::string& idText) {
  return "Unable to detect compatible flash device (" + idText + ")!";
}

std::string DeviceFullName(const DeviceDescription& device) {
  const std::string manufacturer = device.manufacturer != nullptr ? device.manufacturer->DisplayName() : "";
  return manufacturer + ":" + device.name;
}

std::string DetectedDeviceText(const DetectedDevice& device) {
  std::string text =
      device.window + "[" + HexFixed(device.address >> 16, 4) + ":" + HexFixed(device.address & 0xFFFF, 4) + "]: ";
  if (device.description != nullptr) text += DeviceFullName(*device.description);
  return text;
}

uint32_t SizeExponent(uint32_t size, uint32_t low, uint32_t high) {
  if (size < 3) return low;
  uint32_t n = 0;
  while (n < 32 && (uint64_t{1} << n) < size) ++n;
  return std::clamp(n, low, high);
}

uint32_t NandSizeExponent(uint32_t pagesPerBlock, uint32_t pageBytes, uint32_t lunCount, uint32_t blocksPerLun) {
  const uint64_t v = uint64_t{pagesPerBlock} * pageBytes / 1024 * lunCount * blocksPerLun / 2048;
  return 19 + SignificantBits(static_cast<uint32_t>(std::min<uint64_t>(v, 0xFFFFFFFFu)));
}

// ---- scan ----

BoardScanner::BoardScanner(FlashIf& flashSession, DeviceCatalogue& deviceCatalogue)
    : session(flashSession), catalogue(deviceCatalogue) {}

bool BoardScanner::Stopped() { return session.host.CancelRequested(); }

void BoardScanner::Add(const char* window, uint32_t address, const DeviceDescription* description) {
  found.push_back(DetectedDevice{window, address, description});
}

const DeviceDescription* BoardScanner::ProbeParallel(uint32_t address, uint32_t* sizeWords) {
  session.window.Attach(session);
  session.window.Select(address);
  return parallel_flash::DetectParallelDevice(catalogue, session, sizeWords);
}

void BoardScanner::ProbeQspi(FlashDriverQSPI& driver, bool dual) {
  session.deviceId = driver.ReadId(session, dual, false);
  if (session.deviceId == 0) session.deviceId = driver.ReadId(session, dual, true);
}

std::vector<DetectedDevice> BoardScanner::ScanMemoryMap() {
  found.clear();
  if (!session.EnsureLinked()) return found;
  const int32_t savedDestination = destination;
  destination = DestParallel;
  session.SetStartAddress(0);
  const uint32_t family = session.FamilyCode();
  auto probe = [this](uint32_t address, const char* name) {
    if (Stopped()) return;
    if (const DeviceDescription* device = ProbeParallel(address)) Add(name, address, device);
  };
  switch (family) {
    case FAMILY_73XX: probe(0x10000, "EXTMEM"); break;
    case FAMILY_74XX:
      probe(0x4000000, "WCS0");
      session.SetStartAddress(0x6000000);
      probe(0x6000000, "WCS1");
      break;
    case FAMILY_8X2X:
      probe(0, "EXTMEM");
      session.SetStartAddress(0x2000000);
      probe(0x2000000, "WCS1");
      break;
    case FAMILY_8X47: ScanFamily8x47(); break;
    case FAMILY_9XXX: Scan9xxx(); break;
    default: break;  // 8721: nothing outside the chip
  }
  destination = savedDestination;
  return found;
}

void BoardScanner::ScanFamily8x47() {
  BoardConfig& config = *session.configuration;
  SerialPort& link = *session.link;
  if (config.ext1Kind == 1) {
    uint32_t size = 0;
    if (const DeviceDescription* device = ProbeParallel(0x20000, &size)) {
      const uint32_t r = link.ReadIoRegister(19) & 0xFF;
      Add("WCS0", 0, device);
      const uint32_t n = size <= 2 ? 1 : SizeExponent(size, 0, 32);
      link.WriteIoRegister(19, r | 0x1B00);
      const DeviceDescription* d1 = ProbeParallel(0x1000000);
      const DeviceDescription* d2 = ProbeParallel(0x2000000);
      const DeviceDescription* d3 = ProbeParallel(0x3000000);
      if (d1 != nullptr) {
        const uint32_t k = static_cast<uint32_t>(std::clamp(static_cast<int32_t>(n) - 18, 0, 6));
        config.nandOrHost = 3 + 4 * k;
        Add("WCS0.1", 0x40000u << k, d1);
        if (d2 != nullptr) Add("WCS0.2", 0x80000u << k, d2);
        if (d3 != nullptr) Add("WCS0.3", 0xC0000u << k, d3);
      } else if (d2 != nullptr && d3 == nullptr) {
        const uint32_t k = static_cast<uint32_t>(std::clamp(static_cast<int32_t>(n) - 19, 0, 7));
        config.nandOrHost = 2 + 4 * k;
        Add("WCS0.2", 0x80000u << k, d2);
      } else if (d2 == nullptr && d3 == nullptr) {
        config.nandOrHost = 0;
      }
      link.WriteIoRegister(19, (config.nandOrHost * 256) | r);
      session.SetStartAddress(0);
    }
  }
  if (config.ext1Size == 1) {
    if (const DeviceDescription* device = ProbeParallel(0x10000000)) Add("WCS1", 0x10000000, device);
  }
}

void BoardScanner::Scan9xxx() {
  BoardConfig& config = *session.configuration;
  SerialPort& link = *session.link;
  // The chip's strapping tells which memories it carries; identification reads it into the
  // link's configuration, which is put back afterwards.
  const BoardConfig linkConfig = link.config();
  BoardConfig probe;
  probe.chip = DefaultChip();
  (void)ApplyDefaults(probe, MEM_INTRAM);
  if (link.IdentifyChip()) {
    probe.chip = link.config().chip;
    probe.ext1Kind = link.config().ext1Kind;
    probe.ext2Kind = link.config().ext2Kind;
    probe.ext2OnCs1 = link.config().ext2OnCs1;
  }
  link.config() = linkConfig;
  const uint32_t b4 = link.ReadIoRegister(8);
  const uint32_t model = probe.chip != nullptr ? probe.chip->modelCode : 0;

  for (const MemoryConfigRow& row : kMemoryConfigTable) {
    if (row.model != model || row.ext1 != probe.ext1Kind || row.ext2 != probe.ext2Kind) continue;
    if (Stopped()) return;
    config.ext2OnCs1 = row.ext2OnCs1;
    config.ext1Kind = row.ext1;
    config.ext2Kind = row.ext2;
    config.ext2First = false;
    link.WriteIoRegister(8, WithBit4Of(ConfigRegisterValue(probe, 8), b4));
    link.WriteIoRegister(9, ConfigRegisterValue(probe, 9));
    link.WriteIoRegister(11, ConfigRegisterValue(probe, 11));
    const bool nor = probe.ext2Kind == EXT_NOR;
    link.WriteIoRegister(12, nor ? 0xFFFF : 0);
    link.WriteIoRegister(13, nor ? 0x0800 : 0);
    link.WriteIoRegister(19, MemoryConfigWord(probe));
    for (uint32_t reg : {20u, 22u, 23u, 24u, 25u, 26u, 27u}) link.WriteIoRegister(reg, ConfigRegisterValue(probe, reg));

    if (probe.ext1Kind == EXT_SDRAM) {
      // The SDRAM must be initialised before the second memory answers behind it.
      link.WriteIoRegister(kSdramControl, ConfigRegisterValue(probe, kSdramControl) | kSdramInitStart);
      int polls = 0;
      while (polls < kSdramInitPolls && (link.ReadIoRegister(kSdramControl) & kSdramInitDone) == 0 && link.linked() &&
             !Stopped()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++polls;
      }
      if (polls == kSdramInitPolls || !link.linked() || Stopped()) {
        link.WriteIoRegister(kSdramControl, 0);
        continue;
      }
    }

    session.SetStartAddress(kQspiWindow);
    session.window.Select(kQspiWindow);
    if (probe.ext2Kind == EXT_QNOR) {
      destination = DestQspi;
      ProbeQspi(qspi, true);
      if (session.deviceId != 0) {
        if (const DeviceDescription* device = catalogue.FindDeviceById(session.deviceId, session.deviceIdBytes)) {
          uint32_t size = device->qspi.sizeBytes / 2;
          if (qspi.dualDetected) size *= 2;
          config.ext2Size = SizeExponent(size, 10, 26);
          Add(qspi.dualDetected ? "DQSPI" : "QSPI", kQspiWindow, device);
        }
      }
    } else if (probe.ext2Kind == EXT_NOR) {
      destination = DestParallel;
      uint32_t size = 0;
      if (const DeviceDescription* device = ProbeParallel(kQspiWindow, &size)) {
        config.ext2Size = SizeExponent(size, 10, 26);
        Add("DevB", kQspiWindow, device);
      }
    } else if (probe.ext2Kind == EXT_NAND) {
      destination = DestNand;
      std::string errorText;
      if (nand.Detect(session, errorText) && catalogue.GenericNand() != nullptr)
        Add("DevB", kQspiWindow, catalogue.GenericNand());
    }
    if (config.ext1Kind == EXT_SDRAM) link.WriteIoRegister(kSdramControl, 0);
  }

  if (Stopped()) return;
  session.SetStartAddress(kMpQspiWindow);
  session.window.Select(kMpQspiWindow);
  ProbeQspi(mpQspi, false);
  if (session.deviceId != 0) {
    if (const DeviceDescription* device = catalogue.FindDeviceById(session.deviceId, session.deviceIdBytes)) {
      destination = DestMpQspi;
      Add("MP QSPI", kMpQspiWindow, device);
    }
  }
}

const DeviceDescription* BoardScanner::SelectDetectedDevice(const DeviceChooser& choose) {
  chosen = -1;
  const uint32_t start = session.GetStartAddress();
  (void)ScanMemoryMap();
  if (found.empty() || Stopped()) {
    session.SetStartAddress(start);
    return nullptr;
  }
  const int32_t savedDestination = destination;
  destination = DestParallel;
  session.SetStartAddress(0);
  int index = 0;
  if (found.size() > 1) index = choose ? choose(found) : -1;
  const DeviceDescription* result = nullptr;
  if (index >= 0 && static_cast<size_t>(index) < found.size()) {
    chosen = index;
    const DetectedDevice& entry = found[static_cast<size_t>(index)];
    session.SetStartAddress(entry.address);
    session.window.Select(entry.address);
    switch (entry.description->family) {
      case FAMILY_QSPI:
        if (entry.address == kMpQspiWindow) {
          ProbeQspi(mpQspi, false);
        } else {
          ProbeQspi(qspi, true);
        }
        result = entry.description;
        break;
      case FAMILY_NAND:
        session.configuration->ext2Size =
            NandSizeExponent(nand.pagesPerBlock, nand.pageBytes, nand.lunCount, nand.blocksPerLun);
        result = entry.description;
        break;
      default: result = ProbeParallel(entry.address); break;
    }
  }
  session.SetStartAddress(start);
  destination = savedDestination;
  return result;
}

// ---- the file text ----

std::string BuildBdlText(const BdlDraft& draft) {
  std::string text = "[" + (draft.title.empty() ? std::string("<NoTitle>") : draft.title) + "]\r\n";
  text += "Config=" + FormatBoardConfig(draft.config) + "\r\n";
  const int32_t family = draft.device != nullptr ? draft.device->family : FAMILY_PARALLEL;
  if (family == FAMILY_QSPI) {
    if (draft.dual) text += "DualQSPI=Yes\r\n";
    if (draft.multiPurpose) text += "Mp";
    text += "QspiDevice=";
  } else if (family == FAMILY_NAND) {
    text += "NandDevice=";
  } else {
    text += "FlashDevice=";
  }
  if (draft.device != nullptr) text += DeviceFullName(*draft.device);
  if (draft.dfDevice != nullptr && !draft.dfEnable.empty())
    text += "\r\nDfDevice=" + draft.dfDevice->name + "\r\nDfEnable=" + draft.dfEnable;
  return text;
}

std::vector<const ChipInfo*> ChipChoices(const BoardConfig& config) {
  std::vector<const ChipInfo*> chips;
  if (config.chip == nullptr) return chips;
  for (const ChipInfo& row : ChipCatalogue())
    if (row.familyCode == config.chip->familyCode) chips.push_back(&row);
  return chips;
}

bool SaveBdlFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const std::string content = text + "\r\n";
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && written;
}

const BoardDefinition* BoardToSelect(const BoardList& boards, const std::string& title, const std::string& setting) {
  return boards.Find(title.empty() ? setting : title);
}

// ---- the whole command ----

AutodetectResult RunAutodetect(FlashHost& host, DeviceCatalogue& catalogue, const DeviceChooser& choose) {
  AutodetectResult result;
  DetectionHost detectionHost(host);
  FlashIf session(detectionHost);
  const uint32_t start = host.StartAddress();
  SerialPort& link = host.Link();
  // A stop the user asked for shows as what it is: the link aborts its wait on a cancel, which
  // would otherwise read as a lost link or as a board with nothing on it.
  auto stopped = [&] {
    if (!host.CancelRequested()) return false;
    result.cancelled = true;
    result.message = kAutodetectCancelled;
    host.ShowStatusLine(kAutodetectCancelled, ColourYellow);
    return true;
  };
  auto fail = [&](const std::string& message) {
    if (stopped()) return;
    result.message = message;
    (void)host.Ask(message, nullptr, PromptButtons::Ok);
  };

  BoardConfig working = host.Configuration();
  session.configuration = &working;
  const ChipInfo* chip = link.ProbePort(host.LinkCallback(), host.PortNumber(), host.DoubleBaud());
  if (chip == nullptr) {
    fail(kNoCpuDetected);
    return result;
  }
  result.chip = chip;
  if (stopped()) return result;
  working.chip = chip;
  (void)ApplyDefaults(working, MEM_INTRAM);
  switch (chip->modelCode) {
    case 0x9162:
      working.ext1Kind = EXT_NONE;
      working.ext2OnCs1 = true;
      working.ext2Kind = EXT_QNOR;
      break;
    case 0x9362:
    case 0x9371:
      working.ext1Kind = EXT_QSRAM;
      working.ext2OnCs1 = true;
      working.ext2Kind = EXT_QNOR;
      break;
    case 0x9468:
      working.ext2OnCs1 = false;
      working.ext2Kind = EXT_NOR;
      working.ext1Kind = EXT_MEM;
      break;
    case 0x9571:
      working.ext2OnCs1 = true;
      working.ext2Kind = EXT_NOR;
      working.ext1Kind = EXT_MEM;
      break;
    default: break;
  }
  if (link.Connect(host.LinkCallback(), host.PortNumber(), host.DoubleBaud(), working) != LINK_OK) {
    fail(kCantConnect);
    return result;
  }
  if (stopped()) return result;

  BoardScanner scanner(session, catalogue);
  const DeviceDescription* device = scanner.SelectDetectedDevice(choose);
  result.devices = scanner.found;
  result.chosen = scanner.chosen;
  if (!link.linked()) {
    fail(kConnectionLost);
    return result;
  }
  result.idText = HexFixed(session.deviceId >> 16, 4) + ":" + HexFixed(session.deviceId & 0xFFFF, 4);
  const uint32_t position = static_cast<uint32_t>(session.window.position);
  if (stopped()) {
    // told in the status line; the memory interface is still put back below
  } else if (device == nullptr) {
    fail(NoDeviceMessage(result.idText));
  } else {
    switch (chip->familyCode) {
      case FAMILY_73XX:
      case FAMILY_8X2X: (void)ApplyDefaults(working, MEM_COM); break;
      case FAMILY_9XXX:
        working.mode = MEM_INTRAM;
        if (position == kQspiWindow) working.ext2First = true;
        break;
      default: working.mode = MEM_FLASH_EXT; break;
    }
    BdlDraft& draft = result.draft;
    if (position != kMpQspiWindow) {
      FlashDriverDF dataFlash;
      std::string errorText;
      draft.dfDevice = dataFlash.AutoDetect(session, catalogue, errorText);
      if (draft.dfDevice != nullptr) draft.dfEnable = "P7.15";
    }
    draft.device = device;
    draft.dual = scanner.qspi.dualDetected && position != kMpQspiWindow;
    draft.multiPurpose = position == kMpQspiWindow;
    draft.config = working;
    // Stopped during the DataFlash search: no half-made definition goes to the dialog.
    result.detected = !stopped();
  }

  if (chip->familyCode == FAMILY_9XXX && link.linked()) {
    // Back to the memory interface of the window's own configuration.
    const BoardConfig& own = host.Configuration();
    const uint32_t current = link.ReadIoRegister(8);
    link.WriteIoRegister(8, WithBit4Of(ConfigRegisterValue(own, 8), current));
    for (uint32_t reg : kMemoryInterfaceRegisters) link.WriteIoRegister(reg, ConfigRegisterValue(own, reg));
  }
  host.SetStartAddress(start);
  return result;
}

}  // namespace tessaro
