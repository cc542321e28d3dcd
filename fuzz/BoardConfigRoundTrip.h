// The round-trip property of the configuration string, shared by the unit tests and the fuzz
// target: formatting a record the parser produced and parsing the text again gives the same
// record.
#pragma once

#include <string>
#include <string_view>

#include "chips/BoardConfig.h"

namespace tessaro {

// Records that behave the same: the SDRAM geometry only takes part when the first memory of a
// 9xxx board is an SDRAM (no register reads it otherwise, and the text has no place for it).
inline bool SameBehaviour(BoardConfig a, BoardConfig b) {
  if (a.chip && a.chip->familyCode == FAMILY_9XXX && a.ext1Kind != EXT_SDRAM && b.ext1Kind != EXT_SDRAM) {
    a.sdram = 0;
    b.sdram = 0;
  }
  return a == b;
}

// Parses `text` on a fresh record, formats it, parses the result again. Returns "" when the
// round trip holds, else a description of the difference. The formatter's "Invalid XCSDEC=7"
// marker is not meant to be read back and is skipped.
inline std::string CheckRoundTrip(std::string_view text) {
  BoardConfig first = InitBoardConfig();
  (void)ParseBoardConfig(first, text);
  const std::string formatted = FormatBoardConfig(first);
  if (formatted.find("Invalid XCSDEC") != std::string::npos) return "";
  BoardConfig second = InitBoardConfig();
  ConfigParseResult result = ParseBoardConfig(second, formatted);
  if (!result.ok) return "formatted text '" + formatted + "' stops at " + std::to_string(result.stop);
  if (!SameBehaviour(first, second))
    return "formatted text '" + formatted + "' reads back differently (reformatted '" + FormatBoardConfig(second) +
           "')";
  if (FormatBoardConfig(second) != formatted) return "formatting is not stable for '" + formatted + "'";
  return "";
}

}  // namespace tessaro
