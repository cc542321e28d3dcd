// Any bytes as a configuration script and as a configuration section (CfgRead, CfgWrite,
// Configure).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/QspiConfigScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  QspiScript script;
  std::string errors;
  (void)CompileScript(bytes, script, errors);
  for (const ScriptCommand& command : script) {
    if (command.count < 0 || command.count > kScriptMaxParams) __builtin_trap();
  }

  IniDocument document;
  std::string text = "[CONFIG.X]\n";
  text.append(bytes);
  (void)document.ParseText(text);
  for (const IniSection& section : document.Sections()) {
    QspiConfig config;
    (void)ParseConfigSection(section, config, errors);
    if ((config.expected & ~config.mask) != 0) __builtin_trap();
  }
  return 0;
}
