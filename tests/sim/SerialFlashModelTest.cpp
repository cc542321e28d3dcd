// The simulated serial and QSPI flash models and the chip-side controllers in front of them:
// the rules a real part enforces (select, write enable, bits only cleared, erase units, page
// size switch at power-up, memory-mapped reads only in read mode) and what they record as
// host violations.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "sim/SimBoard.h"
#include "sim/devices/QspiController.h"
#include "sim/devices/SpiController.h"
#include "sim/devices/SpiFlashDevice.h"

namespace tessaro::sim {
namespace {

DataFlashDescription Serial(int32_t type, int32_t pageSize, int32_t addressBytes = 3) {
  DataFlashDescription d;
  d.type = type;
  d.sizeBytes = 0x80000;  // 4 Mbit, as the AT45DB041E its ID names
  d.addressBytes = addressBytes;
  d.pageSize = pageSize;
  d.deviceId = 0x1F24;
  return d;
}

void Command(SpiFlashDevice& device, std::initializer_list<uint8_t> bytes) {
  device.Select(true);
  for (uint8_t b : bytes) (void)device.Transfer(b);
  device.Select(false);
}

TEST(SpiFlashModel, BasicFlashNeedsWriteEnableAndOnlyClearsBits) {
  SpiFlashDevice device(Serial(2, 256));
  EXPECT_EQ(device.Transfer(0x9F), 0xFF);  // not selected
  ASSERT_EQ(device.violations().size(), 1u);

  Command(device, {0x02, 0x00, 0x01, 0x00, 0x12});  // no write enable: nothing changes
  EXPECT_EQ(device.memory[0x100], 0xFF);
  EXPECT_EQ(device.violations().size(), 2u);

  Command(device, {0x06});
  Command(device, {0x02, 0x00, 0x01, 0x00, 0xF0, 0x3C});
  Command(device, {0x06});
  Command(device, {0x02, 0x00, 0x01, 0x00, 0x0F});
  EXPECT_EQ(device.memory[0x100], 0x00);  // 0xF0 AND 0x0F
  EXPECT_EQ(device.memory[0x101], 0x3C);

  Command(device, {0x06});
  Command(device, {0x20, 0x00, 0x01, 0x23});  // erases the whole 4 KiB sector
  EXPECT_EQ(device.memory[0x100], 0xFF);
  EXPECT_EQ(device.memory[0x101], 0xFF);
  EXPECT_EQ(device.violations().size(), 2u);
}

TEST(SpiFlashModel, EepromReplacesBytesAndHasNoIdentification) {
  SpiFlashDevice device(Serial(1, 64, 2));
  Command(device, {0x06});
  Command(device, {0x02, 0x00, 0x40, 0x0F});
  Command(device, {0x06});
  Command(device, {0x02, 0x00, 0x40, 0xF0});
  EXPECT_EQ(device.memory[0x40], 0xF0);
  device.Select(true);
  (void)device.Transfer(0x9F);
  EXPECT_EQ(device.Transfer(0), 0xFF);
  device.Select(false);
  EXPECT_TRUE(device.violations().empty());
}

TEST(SpiFlashModel, DataFlashPageSizeSwitchTakesEffectAfterPowerCycle) {
  SpiFlashDevice device(Serial(3, 264));
  EXPECT_EQ(device.PageBytes(), 264u);
  device.Select(true);
  (void)device.Transfer(0xD7);
  EXPECT_EQ(device.Transfer(0), 0x9C);  // ready, 4 Mbit (0111b), 264-byte pages
  device.Select(false);
  Command(device, {0x3D, 0x2A, 0x80, 0xA6});
  EXPECT_TRUE(device.powerOfTwoConfigured);
  EXPECT_EQ(device.PageBytes(), 264u);
  // Page 1 in 264 mode is byte address 1 << 9 and array offset 264.
  Command(device, {0x82, 0x00, 0x02, 0x00, 0x55});
  EXPECT_EQ(device.memory[264], 0x55);
  device.PowerCycle();
  EXPECT_EQ(device.PageBytes(), 256u);
  Command(device, {0x82, 0x00, 0x01, 0x00, 0x66});
  EXPECT_EQ(device.memory[256], 0x66);
  EXPECT_EQ(device.memory[264], 0xFF);  // the built-in erase cleared the rest of that page
  EXPECT_TRUE(device.violations().empty());
}

// Identification bytes (9Fh) and the DataFlash status byte (D7h) of the shipped parts, as their
// datasheets give them.
TEST(SpiFlashModel, IdentificationAndStatusAnswerAsTheParts) {
  struct Case {
    const char* name;
    int32_t type, sizeBytes, pageSize, deviceId;
    std::vector<uint8_t> id;
    uint8_t status;  // DataFlash: ready, density bits, 264/528-byte pages
  };
  const Case cases[] = {
      {"AT45DB041E", 3, 512 << 10, 264, 0x1F24, {0x1F, 0x24, 0x00, 0x01, 0x00}, 0x9C},
      {"AT45DB081E", 3, 1 << 20, 264, 0x1F25, {0x1F, 0x25, 0x00, 0x01, 0x00}, 0xA4},
      {"AT45DB161E", 3, 2 << 20, 528, 0x1F26, {0x1F, 0x26, 0x00, 0x01, 0x00}, 0xAC},
      {"AT45DB321E", 3, 4 << 20, 528, 0x1F27, {0x1F, 0x27, 0x01, 0x01, 0x00}, 0xB4},
      {"AT25SF041", 2, 512 << 10, 256, 0x1F84, {0x1F, 0x84, 0x01}, 0},
      {"W25X40CL", 2, 512 << 10, 256, 0xEF30, {0xEF, 0x30, 0x13}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataFlashDescription d = Serial(c.type, c.pageSize);
    d.sizeBytes = c.sizeBytes;
    d.deviceId = c.deviceId;
    SpiFlashDevice device(d);
    device.Select(true);
    (void)device.Transfer(0x9F);
    std::vector<uint8_t> id;
    for (size_t i = 0; i < c.id.size(); ++i) id.push_back(device.Transfer(0));
    device.Select(false);
    EXPECT_EQ(id, c.id);
    if (c.type == 3) {
      device.Select(true);
      (void)device.Transfer(0xD7);
      EXPECT_EQ(device.Transfer(0), c.status);
      device.Select(false);
    }
    EXPECT_TRUE(device.violations().empty());
  }
}

TEST(SpiControllerModel, DeviceAnswersOnlyThroughARoutedPinAtItsActiveLevel) {
  SimOptions options;
  options.chip = "LYR9468";
  auto board = SimBoard::Create(options);
  ASSERT_NE(board, nullptr);
  PinList pins;
  ASSERT_TRUE(ParsePinList("P7.15:0", pins));
  SpiFlashOptions flashOptions;
  auto attached = AttachSerialFlash(*board, Serial(3, 264), pins.pins[0], flashOptions);
  ASSERT_NE(attached.device, nullptr);
  SpiController& spi = *attached.controller;
  auto readId = [&] {
    spi.WriteIo(0, 0x8700 | 200);
    spi.WriteIo(1, 0x9F00);
    spi.WriteIo(0, 0x9F00 | 200);
    return spi.ReadIo(1);
  };
  // Low data bit, but the pin is not an output yet: nobody answers.
  spi.SetPinWord(0xE7, 0x0000);
  EXPECT_EQ(readId(), 0xFFFF);
  EXPECT_FALSE(attached.device->selected);
  spi.SetPinWord(0xE7, 0x8000);        // idle high
  board->SetIoRegister(0x77, 0x8000);  // now an output
  spi.SetPinWord(0xE7, 0x0000);        // selected
  EXPECT_TRUE(attached.device->selected);
  EXPECT_EQ(readId(), 0x1F24);
  spi.SetPinWord(0xE7, 0x8000);
  EXPECT_FALSE(attached.device->selected);
  spi.WriteIo(0, 0x9F00 | 200);
  spi.WriteIo(1, 0x1200);  // data written in receive mode
  EXPECT_EQ(spi.violations().size(), 1u);
}

TEST(QspiControllerModel, WindowReadsNeedReadModeAndLanesCarryOneDeviceEach) {
  DeviceDescription description;
  description.family = FAMILY_QSPI;
  description.qspi.manufacturerId = 0xEF;
  description.qspi.deviceId = 0x4017;
  description.qspi.sizeBytes = 0x20000;
  description.qspi.pageSize = 256;
  description.qspi.eraseUnit = 0x10000;
  description.qspi.eraseSectorCmd = 0xD8;
  description.qspi.quadIoReadCmd = 0xEB;
  QspiFlashOptions options;
  auto lane0 = std::make_shared<QspiFlashDevice>(description, options);
  auto lane1 = std::make_shared<QspiFlashDevice>(description, options);
  QspiController controller(lane0, lane1);
  EXPECT_EQ(controller.ReadWord(0), 0xFFFF);
  EXPECT_EQ(controller.violations().size(), 1u);  // not in read mode

  // Identification: both lanes answer in one word.
  controller.WriteIo(0, 0x019F);
  controller.WriteIo(2, 0xC90);
  controller.WriteIo(3, 6);
  EXPECT_EQ(controller.ReadIo(2) & 0x0400, 0x0400);  // done
  EXPECT_EQ(controller.ReadWord(0), 0xEFEF);
  EXPECT_EQ(controller.ReadWord(1), 0x4040);

  // Page program without write enable changes nothing; with it, each lane takes its byte.
  controller.WriteIo(0, 0x0203);
  controller.WriteIo(2, 0xC90);
  controller.WriteIo(3, 6);
  controller.WriteWord(0x10, 0x1234);
  EXPECT_EQ(lane0->memory[0x10], 0xFF);
  controller.WriteIo(0, 0x0605);
  controller.WriteIo(2, 0x880);
  controller.WriteIo(3, 6);
  controller.WriteWord(0, 0);
  controller.WriteIo(0, 0x0203);
  controller.WriteIo(2, 0xC90);
  controller.WriteIo(3, 6);
  controller.WriteWord(0x10, 0x1234);
  EXPECT_EQ(lane0->memory[0x10], 0x34);
  EXPECT_EQ(lane1->memory[0x10], 0x12);

  controller.WriteIo(0, 0x2EB);
  controller.WriteIo(3, 0x8002);
  EXPECT_TRUE(controller.mapped);
  EXPECT_EQ(controller.ReadWord(0x10), 0x1234);
  controller.stuckBusy = true;
  EXPECT_EQ(controller.ReadIo(2) & 0x8000, 0x8000);
  EXPECT_EQ(lane0->violations().size() + lane1->violations().size(), 2u);  // the unenabled program
}

}  // namespace
}  // namespace tessaro::sim
