// Per-chip facts the simulated board needs and the chip catalogue does not carry yet: the
// 9xxx package code, how many 64K-word RAM banks the bank test finds, and what I/O register
// 250 reads on chips outside the 9xxx family. Kept together in one table so they can move into
// the catalogue in one piece.
#pragma once

#include <cstdint>

#include "chips/ChipCatalogue.h"

namespace tessaro::sim {

// 9xxx: the low 4 bits of I/O register 250 (15 for a chip without a known package).
uint32_t PackageCode(const ChipInfo& chip);
// Distinct 64K-word banks below 0x8400000 (0: none, as on the 74xx chips).
uint32_t BankCount(const ChipInfo& chip);
// I/O register 250 of a chip outside the 9xxx family.
uint16_t IdentityRegister(const ChipInfo& chip);
// Whether `address` lies in an external memory window of the chip (its chip selects decode
// it): without a device there a write goes out on the bus and is lost, as on a real board,
// and a read sees the pull-ups (0xFFFF).
bool ExternalBusAddress(const ChipInfo& chip, uint32_t address);

}  // namespace tessaro::sim
