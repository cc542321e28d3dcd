// Any bytes as a sectioned definition file, then every value through the value and list
// parsers and every section through the command-sequence reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/DefinitionReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  IniDocument document;
  (void)document.ParseText(bytes);
  std::string errors;
  for (const IniSection& section : document.Sections()) {
    (void)document.FindSection(section.name);
    for (const IniKey& key : section.keys) {
      (void)KeyNumber(section, key.name);
      (void)ParseValue(key.value);
      std::string_view rest = key.value;
      while (!rest.empty()) (void)ParseValue(NextListItem(rest, ':'));
      ValuePairList list;
      (void)list.ParseAddressList(key.value, static_cast<int>(key.value.size() & 31));
      (void)list.ParseDataList(key.value);
      (void)list.ParseSectorLayout(key.value);
      for (int32_t i = 0; i < list.AddressCount(); ++i) (void)list.Address(i);
    }
    ValuePairList commands;
    (void)ReadCommandSection(document, section.name, commands, (size & 1) != 0, errors);
  }
  return 0;
}
