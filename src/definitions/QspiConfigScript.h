// QSPI configuration scripts: the "CONFIG.<name>" sections of a QSPI description file. A
// configuration reads a device setting into a 32-bit value with one small command script,
// writes it back with another, and names the bits that must be set (key Configure).
//
// Script language: a comma list of commands at parenthesis depth 0, e.g.
//   Cmd(0x06), Write(0x01, %0, %1), WaitIdle()
// Commands: Delay(...), WaitIdle(), Cmd(code), Read(code, byte...), Write(code, byte...).
// A parameter is a byte 0..255 or a placeholder %0..%3 for byte n (0 = least significant) of
// the script's 32-bit value. Blanks inside an item are ignored.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/DefinitionReader.h"

namespace tessaro {

enum ScriptKind : int32_t {
  SCRIPT_DELAY = 1,
  SCRIPT_WAIT_IDLE = 2,
  SCRIPT_CMD = 3,
  SCRIPT_READ = 4,
  SCRIPT_WRITE = 5,
};

// A parameter at or above this value is a placeholder for byte (value - kScriptPlaceholder).
inline constexpr uint16_t kScriptPlaceholder = 0x8000;
inline constexpr int kScriptMaxParams = 8;

struct ScriptCommand {
  int32_t kind = 0;
  int32_t count = 0;  // parameters used, 0..8
  std::array<uint16_t, kScriptMaxParams> params{};

  friend bool operator==(const ScriptCommand&, const ScriptCommand&) = default;
};

using QspiScript = std::vector<ScriptCommand>;

struct QspiConfig {
  uint32_t mask = 0;      // bits of the device setting that matter
  uint32_t expected = 0;  // their required values
  QspiScript readScript;
  QspiScript writeScript;

  bool Empty() const { return mask == 0 && readScript.empty() && writeScript.empty(); }
  friend bool operator==(const QspiConfig&, const QspiConfig&) = default;
};

// The configurations of one description file read so far, in file order.
struct NamedQspiConfig {
  std::string name;
  QspiConfig config;
};
using QspiConfigList = std::vector<NamedQspiConfig>;

// Longest script item (after the blanks are dropped) and parameter text the compiler takes.
inline constexpr size_t kScriptItemLimit = 99;
inline constexpr size_t kScriptParamLimit = 49;

// Compiles `text` into `script` (replacing its content). Faults append their messages to
// `errorText`; false when there was any. An unknown command or an item without parentheses
// stops the compile at once; parameter faults drop their command and compilation goes on.
[[nodiscard]] bool CompileScript(std::string_view text, QspiScript& script, std::string& errorText);

// Reads CfgRead, CfgWrite and Configure ("[hi:lo]:value" or "[bit]:value" items) of one
// configuration section into `config`; false, with messages, when any of them is faulty.
[[nodiscard]] bool ParseConfigSection(const IniSection& section, QspiConfig& config, std::string& errorText);

// First configuration of that name (case-insensitive), or null.
const QspiConfig* FindQspiConfig(const QspiConfigList& list, std::string_view name);

}  // namespace tessaro
