// The simulated monitor's command trace: one record per decoded command (or violation), kept in
// memory for tests and written as JSON Lines for people debugging a board.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::sim {

// One decoded command (or violation) of the monitor, in the order the monitor took them.
// `fields` keep their order: reg, addr, index, code, count, value, result as the op has them.
struct SimTraceRecord {
  std::string op;
  std::vector<std::pair<std::string, uint64_t>> fields;
  std::vector<uint16_t> data;  // writeBlock and writeFlash
  std::string text;            // a violation's description
  bool resent = false;         // the same command again after a resynchronisation
  std::optional<uint64_t> Field(const std::string& name) const;
  std::string Json() const;
};

}  // namespace tessaro::sim
