// A streaming JSON writer for machine-readable output (CLI --json, simulator stats and trace),
// built on nlohmann-json: callers open containers and add keys and values in order, and the
// document keeps that order. Strings are 8-bit text: bytes 0x80-0xFF are written as \u00XX
// so the output is always valid UTF-8 whatever a definition file held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

class JsonWriter {
 public:
  explicit JsonWriter(bool pretty = true);
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);

  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Unsigned(uint64_t value);
  // Six significant digits; NaN and infinities as null.
  JsonWriter& Double(double value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  JsonWriter& OptionalString(const std::optional<std::string>& value);
  JsonWriter& OptionalNumber(const std::optional<int64_t>& value);

  // Shorthands for "key": value inside an object.
  JsonWriter& Field(std::string_view key, std::string_view value) { return Key(key).String(value); }
  JsonWriter& Field(std::string_view key, const char* value) { return Key(key).String(value); }
  JsonWriter& Field(std::string_view key, const std::string& value) { return Key(key).String(value); }
  JsonWriter& Field(std::string_view key, bool value) { return Key(key).Bool(value); }
  JsonWriter& Field(std::string_view key, int value) { return Key(key).Number(value); }
  JsonWriter& Field(std::string_view key, long value) { return Key(key).Number(value); }
  JsonWriter& Field(std::string_view key, long long value) { return Key(key).Number(value); }
  JsonWriter& Field(std::string_view key, unsigned value) { return Key(key).Unsigned(value); }
  JsonWriter& Field(std::string_view key, unsigned long value) { return Key(key).Unsigned(value); }
  JsonWriter& Field(std::string_view key, unsigned long long value) { return Key(key).Unsigned(value); }
  JsonWriter& Field(std::string_view key, double value) { return Key(key).Double(value); }

  // The document so far (containers still open are shown closed).
  const std::string& str() const;
  // The document followed by a line end.
  std::string Finish() const { return str() + "\n"; }

  // `text` (8-bit) as a JSON string literal, quotes included.
  static std::string Escape(std::string_view text);

 private:
  struct Document;  // the nlohmann tree and the containers open in it
  std::unique_ptr<Document> document_;
  bool pretty_;
  mutable std::string out_;
};

}  // namespace tessaro
