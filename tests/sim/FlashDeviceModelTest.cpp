// The simulated external flash devices on their own: what a NOR part answers to the AMD and
// Intel command sets, and what the NAND controller does with an ONFI device.
#include <gtest/gtest.h>

#include "sim/devices/NandController.h"
#include "sim/devices/ParallelNorDevice.h"

namespace tessaro::sim {
namespace {

NorGeometry AmdGeometry() {
  NorGeometry g;
  g.manufacturer = 0x01;
  g.device = 0x227E;
  g.extraId = {{14, 0x2221}, {15, 0x2201}};
  g.regions = {{4, 0x10000}};
  g.bufferWords = 256;
  return g;
}

void Unlock(ParallelNorDevice& d) {
  d.WriteWord(0x555, 0xAA);
  d.WriteWord(0x2AA, 0x55);
}

TEST(ParallelNorModel, AmdIdentificationCfiEraseProgramAndBuffer) {
  ParallelNorDevice d(AmdGeometry());
  Unlock(d);
  d.WriteWord(0x555, 0x90);
  EXPECT_EQ(d.ReadWord(0), 0x01);
  EXPECT_EQ(d.ReadWord(1), 0x227E);
  EXPECT_EQ(d.ReadWord(14), 0x2221);
  EXPECT_EQ(d.ReadWord(15), 0x2201);
  d.WriteWord(0x55, 0xF0);
  d.WriteWord(0x55, 0x98);
  EXPECT_EQ(d.ReadWord(0x10), 'Q');
  EXPECT_EQ(d.ReadWord(0x13), 0x02);
  EXPECT_EQ(d.ReadWord(0x2A), 9);  // 512-byte buffer
  EXPECT_EQ(d.ReadWord(0x2C), 1);  // one region
  EXPECT_EQ(d.ReadWord(0x2D), 3);  // of 4 blocks
  EXPECT_EQ(d.ReadWord(0x30), 2);  // of 128 KiB
  d.WriteWord(0x55, 0xF0);

  // Word program clears bits only; the part stays busy for a read, polling shows DQ7 inverted.
  Unlock(d);
  d.WriteWord(0x555, 0xA0);
  d.WriteWord(0x100, 0x1234);
  EXPECT_EQ(d.ReadWord(0x100) & 0x80, (~0x1234) & 0x80);
  EXPECT_EQ(d.ReadWord(0x100), 0x1234);
  // A 1 over a 0 cannot be programmed: DQ5 until reset, the cell keeps its zeros.
  Unlock(d);
  d.WriteWord(0x555, 0xA0);
  d.WriteWord(0x100, 0x00FF);
  (void)d.ReadWord(0x100);
  EXPECT_EQ(d.ReadWord(0x100) & 0x20, 0x20);
  d.WriteWord(0, 0xF0);
  EXPECT_EQ(d.ReadWord(0x100), 0x0034);

  // Write to buffer within one page.
  Unlock(d);
  d.WriteWord(0x10000, 0x25);
  d.WriteWord(0x10000, 1);
  d.WriteWord(0x10010, 0xAAAA);
  d.WriteWord(0x10011, 0x5555);
  d.WriteWord(0x10000, 0x29);
  for (int i = 0; i < 3; ++i) (void)d.ReadWord(0x10011);
  EXPECT_EQ(d.Peek(0x10010), 0xAAAA);
  EXPECT_EQ(d.Peek(0x10011), 0x5555);

  // Sector erase of the second sector leaves the first.
  Unlock(d);
  d.WriteWord(0x555, 0x80);
  Unlock(d);
  d.WriteWord(0x10005, 0x30);
  for (int i = 0; i < 4; ++i) (void)d.ReadWord(0x10010);
  EXPECT_EQ(d.ReadWord(0x10010), 0xFFFF);
  EXPECT_EQ(d.Peek(0x100), 0x0034);
  EXPECT_EQ(d.violations(), std::vector<std::string>{});

  // A buffer load that leaves its page is a host fault.
  Unlock(d);
  d.WriteWord(0x100, 0x25);
  d.WriteWord(0x100, 1);
  d.WriteWord(0x1FF, 1);
  d.WriteWord(0x200, 2);
  EXPECT_EQ(d.violations().size(), 1u);
}

TEST(ParallelNorModel, IntelLockedBlocksStatusErrorsAndClear) {
  NorGeometry g;
  g.intelCommands = true;
  g.manufacturer = 0x89;
  g.device = 0x881B;
  g.regions = {{4, 0x4000}, {2, 0x10000}};
  ParallelNorDevice d(g);
  d.WriteWord(0x4000, 0x20);  // blocks power up locked
  d.WriteWord(0x4000, 0xD0);
  (void)d.ReadWord(0x4000);
  (void)d.ReadWord(0x4000);
  (void)d.ReadWord(0x4000);
  EXPECT_EQ(d.ReadWord(0x4000), 0x80 | 0x20 | 0x02);
  d.WriteWord(0x4000, 0x50);
  EXPECT_EQ(d.ReadWord(0x4000), 0x80);
  d.WriteWord(0x4000, 0x60);
  d.WriteWord(0x4000, 0xD0);
  d.WriteWord(0x4001, 0x40);
  d.WriteWord(0x4001, 0xBEEF);
  EXPECT_EQ(d.ReadWord(0x4001) & 0x80, 0);  // busy
  EXPECT_EQ(d.ReadWord(0x4001), 0x80);
  d.WriteWord(0, 0xFF);
  EXPECT_EQ(d.ReadWord(0x4001), 0xBEEF);
  d.WriteWord(0, 0x90);
  EXPECT_EQ(d.ReadWord(0), 0x89);
  EXPECT_EQ(d.ReadWord(1), 0x881B);
  EXPECT_EQ(d.violations(), std::vector<std::string>{});
}

TEST(NandModel, ControllerRunsOnfiCommandsOnTheDevice) {
  auto device = std::make_shared<NandDevice>(NandGeometry{});
  NandController c(device);
  auto put = [&](uint32_t reg, uint32_t value) {
    c.WriteWord(reg, static_cast<uint16_t>(value & 0xFFFF));
    c.WriteWord(reg + 1, static_cast<uint16_t>(value >> 16));
  };
  auto run = [&](uint32_t command, uint32_t parameters, uint32_t row) {
    put(10, command);
    put(12, parameters);
    put(14, row << 16);
    put(26, row >> 16);
    put(24, 7);
    put(2, 1);
    return c.ReadWord(0);
  };
  put(8, 0x18000000);
  EXPECT_EQ(run(0x310000EC, 0x410000, 0), 2);
  auto& buffer = *c.pageBuffer();
  EXPECT_EQ(buffer.ReadWord(0), 'O' | ('N' << 8));
  EXPECT_EQ(buffer.ReadWord(1), 'F' | ('I' << 8));
  EXPECT_EQ(buffer.ReadWord(46), 64);         // pages per block, bytes 92-93
  EXPECT_EQ(buffer.ReadWord(50) >> 8, 0x23);  // byte 101: 2 column and 3 row cycles

  for (uint32_t i = 0; i < 1024; ++i) buffer.WriteWord(i, static_cast<uint16_t>(i * 3));
  EXPECT_EQ(run(0xBD100080, 0x08684000, 65), 2);  // page 1 of block 1
  EXPECT_EQ(device->Word(65 * 1024 + 7), 21);
  (void)run(0x11000070, 256, 0);
  EXPECT_EQ(buffer.ReadWord(0) & 0x60, 0);  // still busy
  (void)run(0x11000070, 256, 0);
  (void)run(0x11000070, 256, 0);
  EXPECT_EQ(buffer.ReadWord(0) & 0x60, 0x60);
  EXPECT_EQ(run((3u << 29) + 0x05D00060, 0, 64), 2);  // erase block 1
  EXPECT_EQ(device->Word(65 * 1024 + 7), 0xFFFF);
  EXPECT_EQ(c.violations(), std::vector<std::string>{});
  EXPECT_EQ(device->violations().size(), 0u);
  (void)run(0x12345678, 0, 0);
  EXPECT_EQ(c.ReadWord(24) & 0x4, 0x4);
  EXPECT_EQ(c.violations().size(), 1u);
}

}  // namespace
}  // namespace tessaro::sim
