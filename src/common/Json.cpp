#include "common/Json.h"

#include <cmath>
#include <cstdio>

namespace tessaro {

std::string JsonWriter::Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04X", c);
          out += buffer;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

void JsonWriter::Newline() {
  if (!pretty_) return;
  out_.push_back('\n');
  out_.append(hasElement_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasElement_.empty()) {
    if (hasElement_.back()) out_.push_back(',');
    hasElement_.back() = true;
    Newline();
  }
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  hasElement_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  bool any = hasElement_.back();
  hasElement_.pop_back();
  if (any) Newline();
  out_.push_back('}');
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  hasElement_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() { return EndObject(), out_.back() = ']', *this; }

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  out_ += Escape(key);
  out_ += pretty_ ? ": " : ":";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  out_ += Escape(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Double(double value) {
  BeforeValue();
  if (!std::isfinite(value)) {
    out_ += "null";
    return *this;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", value);
  out_ += buffer;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::OptionalString(const std::optional<std::string>& value) {
  return value ? String(*value) : Null();
}

JsonWriter& JsonWriter::OptionalNumber(const std::optional<int64_t>& value) {
  return value ? Number(*value) : Null();
}

}  // namespace tessaro
