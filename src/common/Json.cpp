#include "common/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessaro {

namespace {

using Value = nlohmann::ordered_json;

// The 8-bit text read as Latin-1, in UTF-8: every byte stays one character, so nothing a
// definition file holds can make the document invalid (nlohmann refuses invalid UTF-8).
std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// nlohmann writes \u escapes in lower case; ours have always been upper case, and the output
// is compared byte for byte by scripts. Only escapes start with a backslash in a dump.
std::string Dump(const Value& value, bool pretty) {
  std::string text = value.dump(pretty ? 2 : -1, ' ', true);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '\\') continue;
    if (text[i + 1] == 'u')
      for (size_t k = i + 2; k < i + 6 && k < text.size(); ++k)
        if (text[k] >= 'a' && text[k] <= 'f') text[k] = static_cast<char>(text[k] - 'a' + 'A');
    ++i;  // skip the escaped character
  }
  return text;
}

}  // namespace

struct JsonWriter::Document {
  Value root;
  bool hasRoot = false;
  std::vector<Value*> open;  // innermost last; only the innermost grows, so these stay valid
  std::string key;
  bool hasKey = false;

  // Adds `value` where the writer stands; returns where it went.
  Value* Put(Value value) {
    if (open.empty()) {
      root = std::move(value);
      hasRoot = true;
      return &root;
    }
    Value& container = *open.back();
    if (container.is_object()) {
      // A value without a key inside an object would be lost; it gets an empty key.
      Value& slot = container[hasKey ? key : std::string()];
      hasKey = false;
      slot = std::move(value);
      return &slot;
    }
    container.push_back(std::move(value));
    return &container.back();
  }
};

JsonWriter::JsonWriter(bool pretty) : document_(std::make_unique<Document>()), pretty_(pretty) {}

JsonWriter::~JsonWriter() = default;

std::string JsonWriter::Escape(std::string_view text) { return Dump(Value(Latin1ToUtf8(text)), false); }

const std::string& JsonWriter::str() const {
  out_ = document_->hasRoot ? Dump(document_->root, pretty_) : std::string();
  return out_;
}

JsonWriter& JsonWriter::BeginObject() {
  document_->open.push_back(document_->Put(Value::object()));
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  if (!document_->open.empty()) document_->open.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  document_->open.push_back(document_->Put(Value::array()));
  return *this;
}

JsonWriter& JsonWriter::EndArray() { return EndObject(); }

JsonWriter& JsonWriter::Key(std::string_view key) {
  document_->key = Latin1ToUtf8(key);
  document_->hasKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  document_->Put(Value(Latin1ToUtf8(value)));
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  document_->Put(Value(value));
  return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value) {
  document_->Put(Value(value));
  return *this;
}

JsonWriter& JsonWriter::Double(double value) {
  if (!std::isfinite(value)) return Null();
  // Six significant digits, and whole values without a fraction, as the output always had.
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", value);
  const double rounded = std::strtod(buffer, nullptr);
  if (rounded == std::trunc(rounded) && std::fabs(rounded) < 9.0e15)
    document_->Put(Value(static_cast<int64_t>(rounded)));
  else
    document_->Put(Value(rounded));
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  document_->Put(Value(value));
  return *this;
}

JsonWriter& JsonWriter::Null() {
  document_->Put(Value(nullptr));
  return *this;
}

JsonWriter& JsonWriter::OptionalString(const std::optional<std::string>& value) {
  return value ? String(*value) : Null();
}

JsonWriter& JsonWriter::OptionalNumber(const std::optional<int64_t>& value) { return value ? Number(*value) : Null(); }

}  // namespace tessaro
