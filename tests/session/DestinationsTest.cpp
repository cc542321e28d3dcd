// The destination table: every code once and in order, names that resolve back to their code,
// the start-address window, and which destinations a board offers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "chips/BoardConfig.h"
#include "chips/ChipCatalogue.h"
#include "definitions/BoardDefinition.h"
#include "session/Destinations.h"

namespace tessaro {
namespace {

TEST(Destinations, TableRowsAreUniqueOrderedAndResolveByName) {
  int32_t previous = -1;
  std::set<std::string> names;
  for (const DestinationInfo& row : DestinationTable()) {
    EXPECT_GT(row.code, previous);
    previous = row.code;
    EXPECT_EQ(FindDestination(row.code), &row);
    EXPECT_STRNE(DestinationText(row.code), "");
    if (row.code == DestNone) continue;
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_EQ(FindDestinationByName(std::string(row.name)), &row);
    // Only the embedded flash works without an external driver.
    EXPECT_EQ(row.driver == DriverSlot::None, row.code == DestEmbedded) << row.code;
  }
  EXPECT_EQ(DestinationTable().size(), 9u);
  EXPECT_EQ(FindDestination(4), nullptr);
  EXPECT_EQ(FindDestinationByName(""), nullptr);
  EXPECT_EQ(FindDestinationByName("QSPI")->code, DestQspi);
  EXPECT_STREQ(DestinationText(7), "");
}

TEST(Destinations, StartAddressIsMaskedIntoTheDestinationsWindow) {
  EXPECT_EQ(DestinationStartAddress(DestMpQspi, 0x1234), 0xC0001234u);
  EXPECT_EQ(DestinationStartAddress(DestQspi, 0xC0001234), 0x00001234u);
  EXPECT_EQ(DestinationStartAddress(DestEmbedded, 0xFFFFFFFF), 0x3FFFFFFFu);
  EXPECT_EQ(DestinationStartAddress(77, 0x80000010), 0x10u);
}

TEST(Destinations, OfferedFollowTheBoardsMemoriesAndTheChip) {
  BoardDefinition board;
  board.config = InitBoardConfig();
  board.config.chip = FindChipByName("LYR8547");
  ASSERT_NE(board.config.chip, nullptr);
  EXPECT_EQ(OfferedDestinations(board.config, &board), (std::vector<int32_t>{DestEmbedded}));
  board.flashDeviceNames = "NOR";
  board.dfDevice = "AT45DB";
  EXPECT_EQ(OfferedDestinations(board.config, &board),
            (std::vector<int32_t>{DestEmbedded, DestEmbeddedParallel, DestParallel}))
      << "a serial device without select pins is not offered";
  board.dfEnable.count = 1;
  board.qspiDevice = "Q";
  board.mpQspiDevice = "M";
  board.nandDevice = "N";
  EXPECT_EQ(OfferedDestinations(board.config, &board),
            (std::vector<int32_t>{DestEmbedded, DestEmbeddedParallel, DestEmbeddedSerial, DestParallel, DestSerial,
                                  DestQspi, DestMpQspi, DestNand}));
  board.config.chip = FindChipByName("LYR9162");
  ASSERT_NE(board.config.chip, nullptr);
  EXPECT_EQ(OfferedDestinations(board.config, &board),
            (std::vector<int32_t>{DestParallel, DestSerial, DestQspi, DestMpQspi, DestNand}));
  EXPECT_TRUE(OfferedDestinations(board.config, nullptr).empty());
}

}  // namespace
}  // namespace tessaro
