// Program and verify of serial flash (DataFlash, basic SPI flash, serial EEPROM) through the
// programming job against the simulated board with the device on its SPI pins: what the device
// holds afterwards, the messages and status of every way a run can fail, and that no run hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "session/ProgrammingJob.h"
#include "sim/devices/DataFlashRoutines.h"
#include "sim/devices/SpiController.h"
#include "sim/devices/SpiFlashDevice.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

DataFlashDescription Serial(const char* name) {
  static DeviceCatalogue catalogue;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    EXPECT_TRUE(LoadDriverFolder(catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) << error;
    loaded = true;
  }
  DataFlashDescription block;
  EXPECT_TRUE(catalogue.FindSerialDevice(name, block)) << name;
  return block;
}

std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

PinList Pins(const char* text) {
  PinList list;
  EXPECT_TRUE(ParsePinList(text, list)) << text;
  return list;
}

// A board with one serial flash on its SPI pins and a job whose driver describes it.
struct SerialBoard {
  SerialBoard(const char* chip, const char* device, const char* enable, sim::SpiFlashOptions options = {},
              const char* disable = "")
      : host(chip) {
    const DataFlashDescription description = Serial(device);
    const PinList pins = Pins(enable);
    flash = sim::AttachSerialFlash(*host.board, description, pins.pins[0], options);
    EXPECT_NE(flash.device, nullptr);
    routines = std::dynamic_pointer_cast<sim::DataFlashRoutines>(host.board->RoutineHandler());
    routines->readyTimeout = std::chrono::milliseconds(50);
    job.destination = DestSerial;
    std::string error;
    EXPECT_TRUE(job.dataFlash.SetDevice(description, pins, Pins(disable), host.board->chip(), error)) << error;
    host.Prelink();
  }
  void Load(const std::vector<uint16_t>& words) {
    ResizeImage(job.image, static_cast<int32_t>(words.size()));
    std::copy(words.begin(), words.end(), job.image.words.begin());
  }
  uint32_t Program() {
    FlashIf session(host);
    std::string error;
    EXPECT_TRUE(job.ProgramImage(session, error)) << error;
    return session.statusCode;
  }
  SimHost host;
  sim::SerialFlashAttachment flash;
  std::shared_ptr<sim::DataFlashRoutines> routines;
  ProgrammingJob job;
};

bool Has(const std::vector<std::string>& boxes, const std::string& text) {
  return std::any_of(boxes.begin(), boxes.end(), [&](const std::string& b) { return b.find(text) != std::string::npos; });
}

struct ProgramCase {
  const char* name;
  const char* chip;
  const char* device;
  const char* pin;
  bool powerOfTwo;
  uint32_t start;
  size_t words;
  uint32_t pageWords;  // as the device runs
};

class SerialProgram : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(SerialProgram, DeviceHoldsExactlyTheImageAndVerifies) {
  const ProgramCase& c = GetParam();
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = c.powerOfTwo;
  options.programBusy = std::chrono::milliseconds(1);
  SerialBoard b(c.chip, c.device, c.pin, options);
  b.host.start = c.start;
  const std::vector<uint16_t> words = RandomWords(c.words, c.start + 11);
  b.Load(words);
  EXPECT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();
  sim::SpiFlashDevice& device = *b.flash.device;
  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(device.Word(c.start + static_cast<uint32_t>(i)), words[i]) << i;
  // The rest of the last page was written with the erased value, and nothing around the range.
  const uint32_t end = c.start + static_cast<uint32_t>(words.size());
  const uint32_t pageEnd = (end + c.pageWords - 1) / c.pageWords * c.pageWords;
  for (uint32_t i = end; i < pageEnd + c.pageWords; ++i) ASSERT_EQ(device.Word(i), 0xFFFF) << i;
  for (uint32_t i = 0; i < c.start; ++i) ASSERT_EQ(device.Word(i), 0xFFFF) << i;
  EXPECT_EQ(device.pagesProgrammed, (pageEnd - c.start) / c.pageWords);
  EXPECT_TRUE(device.violations().empty()) << device.violations().front();
  EXPECT_TRUE(b.flash.controller->violations().empty()) << b.flash.controller->violations().front();

  FlashIf session(b.host);
  std::string error;
  ASSERT_TRUE(b.job.VerifyImage(session, error)) << error;
  EXPECT_EQ(session.statusCode, StatusVerified) << b.host.LastStatus();

  // One word changed anywhere in the range is found at its address with both values.
  const size_t at = words.size() - 1 - (words.size() / 3);
  device.memory[2 * (c.start + at)] ^= 0x40;
  FlashIf again(b.host);
  ASSERT_TRUE(b.job.VerifyImage(again, error)) << error;
  EXPECT_EQ(again.statusCode, StatusVerifyFailed);
  EXPECT_EQ(again.failureAddress, static_cast<int32_t>(c.start + at));
  EXPECT_EQ(again.expectedValue, words[at]);
  EXPECT_EQ(again.readValue, words[at] ^ 0x40);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SerialProgram,
    ::testing::Values(
        // 264-byte pages kept (the question answered No): 132-word pages
        ProgramCase{"DataFlash264", "LYR9468", "AT45DB041E", "P7.15:0", false, 0, 300, 132},
        ProgramCase{"DataFlashPowerOfTwo", "LYR9468", "AT45DB041E", "P7.15:0", true, 3 * 128, 300, 128},
        ProgramCase{"DataFlashOnSelect", "LYR9162", "AT45DB161E", "SEL0:0", true, 256, 1000, 256},
        ProgramCase{"BasicSpiFlash", "LYR9468", "W25X40CL", "P7.15:0", false, 2048 - 128, 700, 128},
        ProgramCase{"Eeprom", "LYR9468", "25LC256", "P7.15:0", false, 64, 100, 32},
        ProgramCase{"DataFlashOn8x47", "LYR8547", "AT45DB041E", "P0.9:0", false, 132, 133, 132},
        ProgramCase{"BasicSpiFlashOn8x2x", "LYR8326", "AT25SF041", "DFCS", false, 0, 129, 128}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST(SerialFlashFailures, NoDeviceOnThePinsEndsWithAnErrorAndChangesNothing) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  // The board's device sits on another pin than the one the job drives.
  b.job.dataFlash.Reset();
  std::string error;
  ASSERT_TRUE(b.job.dataFlash.SetDevice(Serial("AT45DB041E"), Pins("P7.14:0"), PinList{}, b.host.board->chip(), error));
  b.Load(RandomWords(200, 3));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Unable to detect DataFlash"));
  EXPECT_TRUE(Has(b.host.boxes, "Error programming Device"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashFailures, WrongDeviceIsRefusedByTheTargetDriver) {
  // The board carries 528-byte pages, the job describes 264-byte pages.
  SerialBoard b("LYR9468", "AT45DB161E", "P7.15:0");
  b.job.dataFlash.Reset();
  std::string error;
  ASSERT_TRUE(b.job.dataFlash.SetDevice(Serial("AT45DB041E"), Pins("P7.15:0"), PinList{}, b.host.board->chip(), error));
  b.Load(RandomWords(200, 4));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Error programming Device"));
  EXPECT_EQ(b.routines->lastRefusal, "page size does not match the device");
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashFailures, BusyDeviceAtStartIsReported) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  b.flash.device->HoldBusy(true);
  b.Load(RandomWords(200, 5));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Device busy!"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashFailures, DeviceStuckBusyAfterAPageFailsTheRun) {
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  options.stuckBusy = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  b.Load(RandomWords(400, 6));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Error programming Device"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 1u);
}

TEST(SerialFlashFailures, PageOverUnerasedDataFailsTheQuickVerify) {
  sim::SpiFlashOptions options;
  options.eraseFails = true;
  SerialBoard b("LYR9468", "W25X40CL", "P7.15:0", options);
  std::fill(b.flash.device->memory.begin(), b.flash.device->memory.begin() + 512, uint8_t{0x0F});
  const std::vector<uint16_t> words = RandomWords(256, 7);
  b.Load(words);
  EXPECT_EQ(b.Program(), StatusQuickVerifyFailed);
  // Programming only cleared bits: the device holds the AND of old and new data.
  EXPECT_EQ(b.flash.device->Word(5), words[5] & 0x0F0F);
}

TEST(SerialFlashFailures, CancelStopsProgramAndVerify) {
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  b.Load(RandomWords(128 * 8, 8));
  b.host.cancel = [](int polls) { return polls >= 3; };
  FlashIf session(b.host);
  std::string error;
  ASSERT_TRUE(b.job.ProgramImage(session, error)) << error;
  EXPECT_EQ(session.statusCode, StatusAborted);
  EXPECT_LT(b.flash.device->pagesProgrammed, 8u);
  b.host.cancelPolls = 0;
  FlashIf verify(b.host);
  ASSERT_TRUE(b.job.VerifyImage(verify, error)) << error;
  EXPECT_NE(verify.statusCode, StatusVerified);
}

TEST(SerialFlashFailures, StartOffAPageIsRefused) {
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  b.host.start = 100;
  b.Load(RandomWords(50, 9));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Device Address not on a Page Boundary (multiple of 128/0x0080 Words)"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashPageSize, SwitchTo256NeedsAPowerCycleThenProgramsPowerOfTwoPages) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  b.host.yesNoAnswer = PromptAnswer::Yes;
  const std::vector<uint16_t> words = RandomWords(300, 10);
  b.Load(words);
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(Has(b.host.boxes, "Device programmed to use 256 Bytes per page"));
  EXPECT_TRUE(b.flash.device->powerOfTwoConfigured);
  EXPECT_FALSE(b.flash.device->powerOfTwo);
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);

  b.flash.device->PowerCycle();
  b.host.boxes.clear();
  EXPECT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();
  EXPECT_TRUE(b.host.boxes.empty());
  for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(b.flash.device->Word(static_cast<uint32_t>(i)), words[i]) << i;
  EXPECT_EQ(b.flash.device->pagesProgrammed, 3u);  // 128-word pages now
}

TEST(SerialFlashSplit, EmbeddedPlusSerialOn8x47PutsTheRestIntoTheDataFlash) {
  // Without the 9xxx status check the host keeps the described 264-byte pages.
  SerialBoard b("LYR8547", "AT45DB041E", "P0.9:0");
  b.job.destination = DestEmbeddedSerial;
  std::vector<uint16_t> words = RandomWords(kEmbeddedPartWords + 300, 12);
  words[2] = 0x1234;  // no firmware header: no fuse word
  b.Load(words);
  EXPECT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();
  for (uint32_t i = 0; i < kEmbeddedPartWords; ++i) ASSERT_EQ(b.host.board->FlashWord(i), words[i]) << i;
  for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(b.flash.device->Word(i), words[kEmbeddedPartWords + i]) << i;
  EXPECT_EQ(b.flash.device->Word(300), 0xFFFF);
  EXPECT_TRUE(b.flash.device->violations().empty());
}


// Read and blank check of a DataFlash through the job: reads give the device's words also from
// inside pages, the blank check (target checksums of whole pages, read-back only where a sum
// differs) names the first written word, and erase is refused (the page program erases).
TEST(SerialFlashRange, ReadAndBlankCheckFollowTheDevice) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  const std::vector<uint16_t> words = RandomWords(300, 9);
  b.Load(words);
  ASSERT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();
  const sim::SpiFlashDevice& device = *b.flash.device;
  std::string error;
  std::vector<uint16_t> read;
  {
    FlashIf session(b.host);
    ASSERT_TRUE(b.job.ReadRange(session, 100, 150, read, error)) << error;
  }
  ASSERT_EQ(read.size(), 150u);
  for (uint32_t i = 0; i < read.size(); ++i) ASSERT_EQ(read[i], device.Word(100 + i)) << i;
  EXPECT_EQ(std::vector<uint16_t>(read.begin(), read.end()), std::vector<uint16_t>(words.begin() + 100, words.begin() + 250));

  uint32_t lastWritten = 299;
  while (words[lastWritten] == 0xFFFF) --lastWritten;
  // Legend: range start and length, status, first word that is not 0xFFFF.
  struct BlankCase {
    uint32_t start, words, status, firstWritten;
  };
  const BlankCase cases[] = {
      {300, 132 * 20, StatusEmpty, 0},  // starts inside a page, crosses a checksum chunk
      {0, 300, StatusNotBlank, 0},
      {lastWritten, 40, StatusNotBlank, lastWritten},
  };
  for (const BlankCase& c : cases) {
    FlashIf session(b.host);
    ASSERT_TRUE(b.job.CheckBlankRange(session, c.start, c.words, error)) << error;
    EXPECT_EQ(session.statusCode, c.status) << c.start << " " << b.host.LastStatus();
    if (c.status == StatusNotBlank) {
      EXPECT_EQ(static_cast<uint32_t>(session.failureAddress), c.firstWritten);
      EXPECT_EQ(session.readValue, device.Word(c.firstWritten));
    }
  }
  FlashIf session(b.host);
  EXPECT_FALSE(b.job.EraseRange(session, 0, 10, error));
  EXPECT_EQ(device.Word(0), words[0]);
}

}  // namespace
}  // namespace tessaro
