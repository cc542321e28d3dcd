// Program and verify of serial flash (DataFlash, basic SPI flash, serial EEPROM) through the
// programming job against the simulated board with the device on its SPI pins: what the device
// holds afterwards, the messages and status of every way a run can fail, and that no run hangs.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <random>

#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "flash/DriverImage.h"
#include "flash/FlashDriverDF.h"
#include "session/ProgrammingJob.h"
#include "sim/devices/DataFlashRoutines.h"
#include "sim/devices/SpiController.h"
#include "sim/devices/SpiFlashDevice.h"
#include "tests/session/ExternalFlashSupport.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::HasText;
using testing::Pins;
using testing::RandomWords;
using testing::SimHost;

DataFlashDescription Serial(const char* name) { return testing::SerialDevice(name); }

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
// The case as test names and failure messages show it.
void PrintTo(const ProgramCase& c, std::ostream* out) { *out << c.name; }

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
        // The last pages of parts in 264/528-byte page mode: 2048 x 264 and 4096 x 528 bytes
        ProgramCase{"DataFlash264LastPages", "LYR9468", "AT45DB041E", "P7.15:0", false, 2046 * 132, 2 * 132, 132},
        ProgramCase{"DataFlash528LastPage", "LYR9162", "AT45DB161E", "SEL0:0", false, 4095 * 264, 264, 264},
        ProgramCase{"DataFlashOnSelect", "LYR9162", "AT45DB161E", "SEL0:0", true, 256, 1000, 256},
        ProgramCase{"BasicSpiFlash", "LYR9468", "W25X40CL", "P7.15:0", false, 2048 - 128, 700, 128},
        ProgramCase{"Eeprom", "LYR9468", "25LC256", "P7.15:0", false, 64, 100, 32},
        ProgramCase{"DataFlashOn8x47", "LYR8547", "AT45DB041E", "P0.9:0", false, 132, 133, 132},
        ProgramCase{"BasicSpiFlashOn8x2x", "LYR8326", "AT25SF041", "DFCS", false, 0, 129, 128}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

// Verify lets the target sum the pages and reads back only a page whose sum differs: an
// unchanged device sends little more than acknowledges and sums; a changed word is still named
// with its address and both values; a word past the image in its last page is not compared.
TEST(SerialFlashVerify, ReadsBackOnlyAPageWhoseSumDiffers) {
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  constexpr uint32_t kPageWords = 128;
  const std::vector<uint16_t> words = RandomWords(64 * kPageWords - 5, 41);
  b.Load(words);
  ASSERT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();
  sim::SpiFlashDevice& device = *b.flash.device;
  struct Case {
    const char* name;
    uint32_t word;  // the device word changed before the verify (none: the image's length + 5)
    uint16_t flip;
    bool differs;
  };
  const uint32_t size = static_cast<uint32_t>(words.size());
  const Case cases[] = {
      {"unchanged", size + 5, 0, false},
      {"past the image in its last page", size + 2, 0x1234, false},
      {"page 40", 40 * kPageWords + 17, 0x0100, true},
      {"first word", 0, 0x8000, true},
      {"last word", size - 1, 0x0001, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device.memory[2 * c.word] ^= static_cast<uint8_t>(c.flip);
    device.memory[2 * c.word + 1] ^= static_cast<uint8_t>(c.flip >> 8);
    const uint64_t readsBefore = b.routines->pageReads;
    const sim::WireCounters before = b.host.board->Counters();
    FlashIf session(b.host);
    std::string error;
    ASSERT_TRUE(b.job.VerifyImage(session, error)) << error;
    const uint64_t received = b.host.board->Counters().targetToHost - before.targetToHost;
    if (!c.differs) {
      EXPECT_EQ(session.statusCode, StatusVerified) << b.host.LastStatus();
      EXPECT_EQ(b.routines->pageReads, readsBefore);
      EXPECT_LT(received, words.size() * 2 / 16) << "page data crossed the link";
    } else {
      EXPECT_EQ(session.statusCode, StatusVerifyFailed);
      EXPECT_EQ(session.failureAddress, static_cast<int32_t>(c.word));
      EXPECT_EQ(session.expectedValue, words[c.word]);
      EXPECT_EQ(session.readValue, words[c.word] ^ c.flip);
      EXPECT_EQ(b.routines->pageReads, readsBefore + 1);
    }
    device.memory[2 * c.word] ^= static_cast<uint8_t>(c.flip);
    device.memory[2 * c.word + 1] ^= static_cast<uint8_t>(c.flip >> 8);
  }
  EXPECT_EQ(b.host.link.roundTrips(), b.host.board->Counters().roundTrips)
      << "the board counted other round trips than the host waited for";
  EXPECT_TRUE(device.violations().empty()) << device.violations().front();
}

// The host's writes for a DataFlash on P7.15 of a 9xxx chip, already in power-of-two pages, and
// an image of one page and two words: pin routing, identification and status through the SPI
// registers, the driver upload and its parameter block, one buffer load and page-program call
// per page, then the quick verify's checksum calls over the same pieces.
TEST(SerialWire, ProgramWritesFollowTheProtocol) {
  using testing::WireWrite;
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  const std::vector<uint16_t> words = RandomWords(130, 31);
  b.Load(words);
  b.host.board->ClearTrace();
  ASSERT_EQ(b.Program(), StatusProgramVerified) << b.host.LastStatus();

  const DataFlashDescription d = Serial("AT45DB041E");
  const ChipInfo& chip = *b.host.board->chip();
  const std::span<const uint16_t> driver = BuiltInDriverImage(kDriverImageDataFlash);
  ASSERT_GT(driver.size(), 12u);
  const uint32_t buffer = driver[8], programPage = driver[3], checksum = driver[11];
  // P7.15 on 9xxx: data bit 15 of I/O 0xE7, direction I/O 0x77, select code 0x8005 (bit 5 of
  // I/O 11 cleared); selected low, idle high.
  const WireWrite select = WireWrite::IoBit(0xE7, 15, false), deselect = WireWrite::IoBit(0xE7, 15, true);
  constexpr uint32_t kControl = 200;  // fast part on 9xxx
  const WireWrite transmit = WireWrite::Io(28, kControl | 0x8700), receive = WireWrite::Io(28, kControl | 0x9F00);
  std::vector<WireWrite> expected = {
      WireWrite::IoBit(11, 5, false), WireWrite::IoBit(0x77, 15, true), deselect, select,
      WireWrite::IoBit(11, 4, true),  WireWrite::IoBit(11, 5, false),   transmit, WireWrite::Io(29, 0x9F00)};
  for (int i = 0; i < 5; ++i) expected.push_back(receive);
  for (const WireWrite& w : {deselect, select, transmit, WireWrite::Io(29, 0xD700), receive, deselect})
    expected.push_back(w);
  expected.push_back(WireWrite::Block(0, std::vector<uint16_t>(driver.begin(), driver.end())));
  std::vector<uint16_t> block(kDfBlockWords, 0);
  block[0] = 0xDD1D;
  block[1] = static_cast<uint16_t>(chip.FindRomSymbol("ROM$DBGRETURN"));
  block[2] = static_cast<uint16_t>(chip.FindRomSymbol("ST$SENDBYTE"));
  block[3] = 28;
  block[4] = 1;
  block[8] = static_cast<uint16_t>(d.type);
  block[9] = static_cast<uint16_t>(d.addressBytes);
  block[10] = static_cast<uint16_t>((d.sizeBytes / 2) & 0xFFFF);
  block[11] = static_cast<uint16_t>((d.sizeBytes / 2) >> 16);
  block[12] = 128;  // 256-byte pages
  block[13] = kControl;
  block[15] = 1;
  block[16] = 0xE7;
  block[18] = 0x820F;  // bit 15, selected low, idle high
  for (uint32_t i = 0; i < kDfBlockWords; ++i) expected.push_back(WireWrite::Reg(64 + i, block[i]));
  // Page addresses: the page number above the 8 bits of a byte within the page. The last page
  // is filled up with the erased value.
  std::vector<uint16_t> lastPage(128, 0xFFFF);
  std::copy(words.begin() + 128, words.end(), lastPage.begin());
  const std::vector<std::vector<uint16_t>> pages = {{words.begin(), words.begin() + 128}, lastPage};
  for (uint32_t page = 0; page < 2; ++page) {
    for (const WireWrite& w : {WireWrite::Reg(56, page << 8), WireWrite::Reg(57, 0),
                               WireWrite::Block(buffer, pages[page]), WireWrite::Call(programPage)})
      expected.push_back(w);
  }
  expected.push_back(WireWrite::Reg(61, 0));
  expected.push_back(WireWrite::Reg(62, 0));
  // The quick verify sums every word of each page, the padding of the last one included.
  for (uint32_t page = 0; page < 2; ++page) {
    for (const WireWrite& w :
         {WireWrite::Reg(63, 128), WireWrite::Reg(56, page << 8), WireWrite::Reg(57, 0), WireWrite::Call(checksum)})
      expected.push_back(w);
  }
  testing::ExpectWireWrites(testing::WireWrites(b.host.board->Trace()), expected);
}

TEST(SerialFlashFailures, NoDeviceOnThePinsEndsWithAnErrorAndChangesNothing) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  // The board's device sits on another pin than the one the job drives.
  b.job.dataFlash.Reset();
  std::string error;
  ASSERT_TRUE(b.job.dataFlash.SetDevice(Serial("AT45DB041E"), Pins("P7.14:0"), PinList{}, b.host.board->chip(), error));
  b.Load(RandomWords(200, 3));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(HasText(b.host.boxes, "Unable to detect DataFlash"));
  EXPECT_TRUE(HasText(b.host.boxes, "Error programming Device"));
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
  EXPECT_TRUE(HasText(b.host.boxes, "Error programming Device"));
  EXPECT_EQ(b.routines->lastRefusal, "page size does not match the device");
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashFailures, BusyDeviceAtStartIsReported) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  b.flash.device->HoldBusy(true);
  b.Load(RandomWords(200, 5));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(HasText(b.host.boxes, "Device busy!"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashFailures, DeviceStuckBusyAfterAPageFailsTheRun) {
  sim::SpiFlashOptions options;
  options.powerOfTwoPages = true;
  options.stuckBusy = true;
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
  b.Load(RandomWords(400, 6));
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(HasText(b.host.boxes, "Error programming Device"));
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

TEST(SerialFlashFailures, TheErasedPaddingOfTheLastPageIsVerifiedToo) {
  // The last page is programmed whole, the erased value past the image's end. Over data an
  // erase did not clear, image words that program right still leave a wrong padding: the
  // quick verify covers every word the run wrote.
  sim::SpiFlashOptions options;
  options.eraseFails = true;
  SerialBoard b("LYR9468", "W25X40CL", "P7.15:0", options);
  std::fill(b.flash.device->memory.begin(), b.flash.device->memory.begin() + 512, uint8_t{0x0F});
  std::vector<uint16_t> words = RandomWords(150, 9);  // a page of 128 words and 22 more
  for (uint16_t& w : words) w &= 0x0F0F;
  b.Load(words);
  EXPECT_EQ(b.Program(), StatusQuickVerifyFailed);
  for (uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(b.flash.device->Word(i), words[i]) << i;
  EXPECT_EQ(b.flash.device->Word(150), 0x0F0F);
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
  EXPECT_TRUE(HasText(b.host.boxes, "Device Address not on a Page Boundary (multiple of 128/0x0080 Words)"));
  EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
}

TEST(SerialFlashPageSize, SwitchTo256NeedsAPowerCycleThenProgramsPowerOfTwoPages) {
  SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0");
  b.host.yesNoAnswer = PromptAnswer::Yes;
  const std::vector<uint16_t> words = RandomWords(300, 10);
  b.Load(words);
  EXPECT_NE(b.Program(), StatusProgramVerified);
  EXPECT_TRUE(HasText(b.host.boxes, "Device programmed to use 256 Bytes per page"));
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

// A part that never comes back from the page-size switch: the status poll ends at its time-out
// or at the user's cancel, with the failure message, and the run fails.
TEST(SerialFlashPageSize, SwitchThatNeverFinishesEndsTheRun) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "timed out");
    sim::SpiFlashOptions options;
    options.stuckBusy = true;  // the switch's busy time never ends
    SerialBoard b("LYR9468", "AT45DB041E", "P7.15:0", options);
    b.host.yesNoAnswer = PromptAnswer::Yes;
    if (cancel) b.host.cancel = [](int polls) { return polls > 20; };
    b.Load(RandomWords(300, 14));
    const auto begin = std::chrono::steady_clock::now();
    const uint32_t status = b.Program();
    EXPECT_LT(std::chrono::steady_clock::now() - begin,
              std::chrono::milliseconds(cancel ? kDfPageSwitchTimeoutMs / 2 : kDfPageSwitchTimeoutMs + 2000));
    EXPECT_EQ(status, cancel ? StatusAborted : StatusProgramFailed) << b.host.LastStatus();
    if (!cancel) {
      EXPECT_TRUE(HasText(b.host.boxes, "FAILED to switch Device into 256 Bytes per page mode"));
    }
    EXPECT_EQ(b.flash.device->pagesProgrammed, 0u);
  }
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
// inside pages, and the blank check (target checksums of whole pages, read-back only where a
// sum differs) names the first written word.
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
  EXPECT_EQ(std::vector<uint16_t>(read.begin(), read.end()),
            std::vector<uint16_t>(words.begin() + 100, words.begin() + 250));

  uint32_t lastWritten = 299;
  while (words[lastWritten] == 0xFFFF) --lastWritten;
  testing::ExpectBlankChecks(b.job, b.host,
                             {{300, 132 * 20, StatusEmpty, 0},  // starts inside a page, crosses a checksum chunk
                              {0, 300, StatusNotBlank, 0},
                              {lastWritten, 40, StatusNotBlank, lastWritten}},
                             [&](uint32_t at) { return device.Word(at); });
}

// Erase through the job: the units a range overlaps read 0xFFFF afterwards (pages of a DataFlash
// or EEPROM, 4 KiB sectors of a basic SPI flash) and everything around them is kept.
TEST(SerialFlashErase, ClearsTheUnitsTheRangeOverlaps) {
  struct Case {
    const char* name;
    const char* device;
    bool powerOfTwo;
    uint32_t start, words;  // the range asked for
    uint32_t first, last;   // the words that end up erased
  } cases[] = {
      {"DataFlash 264-byte pages", "AT45DB041E", false, 140, 130, 132, 3 * 132},
      {"DataFlash power-of-two pages", "AT45DB041E", true, 127, 2, 0, 256},
      {"basic SPI flash sector", "W25X40CL", false, 2100, 10, 2048, 4096},
      {"EEPROM page", "25LC256", false, 40, 1, 32, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SpiFlashOptions options;
    options.powerOfTwoPages = c.powerOfTwo;
    SerialBoard b("LYR9468", c.device, "P7.15:0", options);
    sim::SpiFlashDevice& device = *b.flash.device;
    const uint32_t span = 5000;
    std::fill_n(device.memory.begin(), 2 * span, uint8_t{0x5A});
    FlashIf session(b.host);
    std::string error;
    ASSERT_TRUE(b.job.EraseRange(session, c.start, c.words, error)) << error;
    EXPECT_EQ(session.statusCode, StatusErased) << b.host.LastStatus();
    for (uint32_t i = 0; i < span; ++i) {
      const bool erased = i >= c.first && i < c.last;
      ASSERT_EQ(device.Word(i), erased ? 0xFFFF : 0x5A5A) << i;
    }
    EXPECT_TRUE(device.violations().empty()) << device.violations().front();
  }
}

TEST(SerialFlashErase, AnEraseThatDoesNotTakeIsReportedAtItsSector) {
  sim::SpiFlashOptions options;
  options.eraseFails = true;
  SerialBoard b("LYR9468", "W25X40CL", "P7.15:0", options);
  std::fill_n(b.flash.device->memory.begin(), 8192, uint8_t{0x00});
  FlashIf session(b.host);
  std::string error;
  ASSERT_TRUE(b.job.EraseRange(session, 3000, 10, error)) << error;
  EXPECT_EQ(session.statusCode, StatusSectorEraseFailed) << b.host.LastStatus();
  EXPECT_EQ(session.failureAddress, 2048);
}

}  // namespace
}  // namespace tessaro
