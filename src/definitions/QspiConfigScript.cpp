#include "definitions/QspiConfigScript.h"

namespace tessaro {

namespace {

struct CommandName {
  std::string_view name;
  ScriptKind kind;
};

constexpr CommandName kCommands[] = {
    {"Delay", SCRIPT_DELAY}, {"WaitIdle", SCRIPT_WAIT_IDLE}, {"Cmd", SCRIPT_CMD},
    {"Read", SCRIPT_READ},   {"Write", SCRIPT_WRITE},
};

bool AppendFault(std::string& errorText, std::string_view message) {
  errorText += message;
  return true;
}

bool IsScriptBlank(char c) { return static_cast<unsigned char>(c) < static_cast<unsigned char>('!'); }

// One parameter text: a placeholder %0..%3 or a byte value.
bool ParseParameter(std::string_view text, uint16_t& value) {
  if (text.size() == 2 && text[0] == '%' && text[1] >= '0' && text[1] <= '3') {
    value = static_cast<uint16_t>(kScriptPlaceholder + (text[1] - '0'));
    return true;
  }
  if (text.size() > kScriptParamLimit) return false;
  int32_t number = ParseValue(text);
  if (number < 0 || number > 255) return false;
  value = static_cast<uint16_t>(number);
  return true;
}

}  // namespace

bool CompileScript(std::string_view text, QspiScript& script, std::string& errorText) {
  script.clear();
  bool failed = false;
  size_t position = 0;
  while (position < text.size()) {
    while (position < text.size() && (text[position] == ' ' || text[position] == '\t')) ++position;
    if (position >= text.size()) break;
    const size_t itemStart = position;
    std::string_view rest = text.substr(itemStart);

    // Scan to the next comma outside parentheses.
    int depth = 0;
    bool unmatchedClose = false;
    while (position < text.size()) {
      char c = text[position];
      if (c == ',' && depth == 0) break;
      if (c == '(') ++depth;
      if (c == ')') {
        if (depth == 0) {
          unmatchedClose = true;
          break;
        }
        --depth;
      }
      ++position;
    }
    std::string item;
    for (size_t i = itemStart; i < position; ++i) {
      if (!IsScriptBlank(text[i])) item.push_back(text[i]);
    }
    if (position < text.size() && text[position] == ',') ++position;

    // A stray ")" or an over-long item would otherwise end the script silently at this item,
    // leaving the commands behind it out of a script that writes device registers.
    if (unmatchedClose) {
      errorText += "Missing Parenthesis:" + std::string(rest) + "\r\n";
      return false;
    }
    if (item.size() > kScriptItemLimit) {
      errorText += "Invalid Command:" + std::string(rest) + "\r\n";
      return false;
    }
    if (item.empty()) continue;

    size_t open = item.find('(');
    if (item.back() != ')' || open == std::string::npos) {
      errorText += "Missing Parenthesis:" + std::string(rest) + "\r\n";
      return false;
    }
    std::string_view name = std::string_view(item).substr(0, open);
    std::string_view inside = std::string_view(item).substr(open + 1, item.size() - open - 2);

    const CommandName* command = nullptr;
    for (const CommandName& candidate : kCommands) {
      if (EqualsNoCase(name, candidate.name)) command = &candidate;
    }

    ScriptCommand compiled;
    compiled.kind = command ? command->kind : 0;
    bool itemFault = false;
    if (!inside.empty()) {
      std::string_view params = inside;
      for (;;) {
        size_t comma = params.find(',');
        std::string_view param = params.substr(0, comma);
        if (compiled.count == kScriptMaxParams) {
          errorText += "Too many Parameters in ";
          itemFault = true;
          break;
        }
        uint16_t value = 0;
        if (ParseParameter(param, value)) {
          compiled.params[static_cast<size_t>(compiled.count)] = value;
        } else {
          errorText += "Invalid Parameter Token " + std::string(param) + "\r\n";
          itemFault = true;
        }
        ++compiled.count;
        if (comma == std::string_view::npos) break;
        params.remove_prefix(comma + 1);
      }
    }

    if (!command) {
      errorText += "Invalid Command:" + std::string(rest) + "\r\n";
      return false;
    }
    if (!itemFault) {
      switch (command->kind) {
        case SCRIPT_WAIT_IDLE:
          if (compiled.count != 0) itemFault = AppendFault(errorText, "Unexpected Parameters ");
          break;
        case SCRIPT_CMD:
          if (compiled.count != 1) itemFault = AppendFault(errorText, "Missing Command Code ");
          break;
        case SCRIPT_READ:
          if (compiled.count < 2) itemFault = AppendFault(errorText, "Empty Read Command ");
          break;
        case SCRIPT_WRITE:
          if (compiled.count < 2) itemFault = AppendFault(errorText, "Empty Write Command ");
          break;
        default: break;
      }
    }
    if (itemFault) {
      failed = true;
      continue;
    }
    script.push_back(compiled);
  }
  if (failed) errorText += "\r\n";
  return !failed;
}

namespace {

// One "[hi:lo]:value" or "[bit]:value" item.
bool ParseBitAssignment(std::string_view item, uint32_t& bits, uint32_t& value) {
  item = TrimBlanks(item);
  if (item.empty() || item.front() != '[') return false;
  size_t close = item.find(']');
  if (close == std::string_view::npos) return false;
  std::string_view range = item.substr(1, close - 1);
  std::string_view after = TrimLeadingBlanks(item.substr(close + 1));
  if (after.empty() || after.front() != ':') return false;
  int32_t number = ParseValue(TrimBlanks(after.substr(1)));
  if (!IsValidValue(number)) return false;

  int32_t hi = 0;
  int32_t lo = 0;
  if (size_t colon = range.find(':'); colon != std::string_view::npos) {
    hi = ParseValue(TrimBlanks(range.substr(0, colon)));
    lo = ParseValue(TrimBlanks(range.substr(colon + 1)));
  } else {
    hi = lo = ParseValue(TrimBlanks(range));
  }
  if (!IsValidValue(hi) || !IsValidValue(lo) || lo < 0 || lo > hi || hi > 31) return false;
  int width = hi - lo + 1;
  uint64_t limit = uint64_t{1} << width;
  uint32_t unsignedValue = static_cast<uint32_t>(number);
  if (unsignedValue >= limit) return false;
  bits = static_cast<uint32_t>((limit - 1) << lo);
  value = unsignedValue << lo;
  return true;
}

}  // namespace

bool ParseConfigSection(const IniSection& section, QspiConfig& config, std::string& errorText) {
  config = QspiConfig{};
  bool ok = true;
  if (const std::string* read = section.Value("CfgRead")) ok = CompileScript(*read, config.readScript, errorText) && ok;
  if (const std::string* write = section.Value("CfgWrite")) {
    ok = CompileScript(*write, config.writeScript, errorText) && ok;
  }
  if (const std::string* configure = section.Value("Configure")) {
    std::string_view text = *configure;
    size_t position = 0;
    while (position < text.size()) {
      // Items are separated by commas outside the brackets.
      size_t start = position;
      bool inBracket = false;
      while (position < text.size() && (inBracket || text[position] != ',')) {
        if (text[position] == '[') inBracket = true;
        if (text[position] == ']') inBracket = false;
        ++position;
      }
      std::string_view item = text.substr(start, position - start);
      if (position < text.size()) ++position;
      uint32_t bits = 0;
      uint32_t value = 0;
      if (!ParseBitAssignment(item, bits, value) || (bits & config.mask) != 0) {
        errorText += "Invalid Bit Assignment " + std::string(TrimLeadingBlanks(text.substr(start))) + "\r\n";
        ok = false;
        break;
      }
      config.mask |= bits;
      config.expected |= value;
    }
  }
  return ok;
}

const QspiConfig* FindQspiConfig(const QspiConfigList& list, std::string_view name) {
  for (const NamedQspiConfig& entry : list) {
    if (EqualsNoCase(entry.name, name)) return &entry.config;
  }
  return nullptr;
}

}  // namespace tessaro
