// Board autodetect: from a connected board with no definition to the text of a board
// definition file. The detection identifies the chip, scans the chip's external memory
// windows for flash devices, lets the user pick one when several answer and looks for a
// DataFlash on P7.15; the result is the input of the "Create BDL from Autodetect" dialog
// (BdlDraft), whose text BuildBdlText writes. Nothing is written to a device: the scan sends
// identification cycles and sets the memory interface registers it needs, which the end of
// the run sets back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "flash/FlashDriverDF.h"
#include "flash/FlashDriverNAND.h"
#include "flash/FlashDriverQSPI.h"

namespace tessaro {

class DeviceCatalogue;
struct DeviceDescription;
class FlashIf;
class FlashHost;
class BoardList;
struct BoardDefinition;

// Messages of the run, as the user sees them.
inline constexpr const char* kNoCpuDetected = "No CPU detected (or Security Fuse set)!";
inline constexpr const char* kCantConnect = "Can't connect target CPU!";
inline constexpr const char* kConnectionLost = "Connection to target CPU lost!";
inline constexpr const char* kNoTitleSet = "No Title set";
// A run the user stopped: shown in the status line, not in a box (the user asked for it).
inline constexpr const char* kAutodetectCancelled = "Auto-Detect cancelled: no board definition made";
// "Unable to detect compatible flash device (XXXX:XXXX)!"
std::string NoDeviceMessage(const std::string& idText);

// One device the memory-map scan found.
struct DetectedDevice {
  std::string window;  // "EXTMEM", "WCS0", "QSPI", "MP QSPI", ...
  uint32_t address = 0;
  const DeviceDescription* description = nullptr;
};

// "WCS1[0200:0000]: Spansion:S29GL064N": the line of the several-devices popup.
std::string DetectedDeviceText(const DetectedDevice& device);
// "Manufacturer:Name" of a catalogue entry.
std::string DeviceFullName(const DeviceDescription& device);

// Picks one of several found devices: its index, or -1 when the user dismissed the choice.
using DeviceChooser = std::function<int(const std::vector<DetectedDevice>&)>;

// Which memories a 9xxx chip may carry, and where its second memory sits. The scan accepts a
// chip only when its model and its two strapped memory kinds have a row here.
//   model        chip model code (LYR9362 -> 0x9362)
//   ext1, ext2   memory kinds of the two external areas (EXT_NONE .. EXT_QNOR)
//   ext2OnCs1    the second memory hangs on chip select 1
struct MemoryConfigRow {
  uint32_t model;
  uint32_t ext1;
  uint32_t ext2;
  bool ext2OnCs1;
};
inline constexpr MemoryConfigRow kMemoryConfigTable[] = {
    // model  ext1       ext2      ext2OnCs1
    {0x9162, EXT_NONE, EXT_QNOR, true},  {0x9162, EXT_QSRAM, EXT_NONE, false}, {0x9362, EXT_SDRAM, EXT_NOR, false},
    {0x9368, EXT_SDRAM, EXT_NOR, false}, {0x9371, EXT_SDRAM, EXT_NOR, false},  {0x9362, EXT_MEM, EXT_NOR, false},
    {0x9368, EXT_MEM, EXT_NOR, false},   {0x9371, EXT_MEM, EXT_NOR, false},    {0x9362, EXT_SDRAM, EXT_NAND, true},
    {0x9368, EXT_SDRAM, EXT_NAND, true}, {0x9371, EXT_SDRAM, EXT_NAND, true},  {0x9362, EXT_MEM, EXT_NAND, true},
    {0x9368, EXT_MEM, EXT_NAND, true},   {0x9371, EXT_MEM, EXT_NAND, true},    {0x9362, EXT_MEM, EXT_NONE, false},
    {0x9368, EXT_MEM, EXT_NONE, true},   {0x9371, EXT_MEM, EXT_NONE, true},    {0x9362, EXT_QSRAM, EXT_QNOR, true},
    {0x9368, EXT_QSRAM, EXT_QNOR, true}, {0x9371, EXT_QSRAM, EXT_QNOR, true},  {0x9468, EXT_SDRAM, EXT_NOR, false},
    {0x9468, EXT_MEM, EXT_NOR, false},   {0x9468, EXT_SDRAM, EXT_NAND, true},  {0x9468, EXT_MEM, EXT_NAND, true},
    {0x9571, EXT_SDRAM, EXT_NOR, true},  {0x9571, EXT_MEM, EXT_NOR, true},     {0x9571, EXT_SDRAM, EXT_NAND, true},
};

// The smallest n with 2^n >= size, clamped to low..high (low when size is below 3).
uint32_t SizeExponent(uint32_t size, uint32_t low, uint32_t high);
// ext2Size of a NAND from its ONFI geometry: 19 plus the significant bits of
// ((pages per block * page bytes) / 1024) * LUNs * blocks per LUN / 2048.
uint32_t NandSizeExponent(uint32_t pagesPerBlock, uint32_t pageBytes, uint32_t lunCount, uint32_t blocksPerLun);

// The scan and the choice, over one session. The session's configuration is the working
// configuration of the run.
class BoardScanner {
 public:
  BoardScanner(FlashIf& session, DeviceCatalogue& catalogue);

  // Every device the chip's windows answer with, in scan order; empty when the link fails.
  std::vector<DetectedDevice> ScanMemoryMap();
  // Runs the scan and lets `choose` pick among several devices; null when nothing was found or
  // the choice was dismissed.
  const DeviceDescription* SelectDetectedDevice(const DeviceChooser& choose);
  // The parallel device at target word address `address`, or null; its size in words goes to
  // `sizeWords` when given.
  const DeviceDescription* ProbeParallel(uint32_t address, uint32_t* sizeWords = nullptr);

  FlashIf& session;
  DeviceCatalogue& catalogue;
  FlashDriverQSPI qspi;    // the QSPI window (first driver)
  FlashDriverQSPI mpQspi;  // the multi-purpose window (second driver)
  FlashDriverNAND nand;
  int32_t destination = 0;  // destination code while scanning
  std::vector<DetectedDevice> found;
  int chosen = -1;  // index into `found` of the device taken

 private:
  // The user asked to stop: the scan ends where it is.
  bool Stopped();
  void ScanFamily8x47();
  void Scan9xxx();
  void ProbeQspi(FlashDriverQSPI& driver, bool dual);
  void Add(const char* window, uint32_t address, const DeviceDescription* description);
};

// What the detection hands to the dialog.
struct BdlDraft {
  BoardConfig config;  // working configuration; the dialog may change its chip
  const DeviceDescription* device = nullptr;
  bool dual = false;
  bool multiPurpose = false;
  const DeviceDescription* dfDevice = nullptr;
  std::string dfEnable;  // "P7.15" or ""
  std::string title;
};

// The file text with CR LF line ends (no line end after the last line).
std::string BuildBdlText(const BdlDraft& draft);
// The chips the dialog's CPU list offers: the catalogue rows of the configuration chip's family.
std::vector<const ChipInfo*> ChipChoices(const BoardConfig& config);

struct AutodetectResult {
  bool detected = false;   // a device was chosen: the draft is ready for the dialog
  bool cancelled = false;  // the user stopped the run; nothing was detected
  std::string message;     // the message shown when the run ended without a draft
  const ChipInfo* chip = nullptr;
  std::string idText;  // "XXXX:XXXX" of the session's device ID
  std::vector<DetectedDevice> devices;
  int chosen = -1;
  BdlDraft draft;
};

// The whole detection over the host's link, configuration and prompt. Messages go through the
// host's message box as well as into the result. The host's own configuration is not changed;
// on a 9xxx chip its memory interface registers are set back from it at the end.
AutodetectResult RunAutodetect(FlashHost& host, DeviceCatalogue& catalogue, const DeviceChooser& choose);

// Writes the dialog's text and a final CR LF to `path` (replacing a file). False when the file
// cannot be written.
[[nodiscard]] bool SaveBdlFile(const std::string& path, const std::string& text);

// After a save: the board to select in the reloaded list, named by the dialog's title (by the
// "Board" setting when the title is empty): the first board of that name ignoring case, or null.
const BoardDefinition* BoardToSelect(const BoardList& boards, const std::string& title, const std::string& setting);

}  // namespace tessaro
