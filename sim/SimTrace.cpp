#include "sim/SimTrace.h"

#include "common/Json.h"

namespace tessaro::sim {

std::optional<uint64_t> SimTraceRecord::Field(const std::string& name) const {
  for (const auto& [key, value] : fields)
    if (key == name) return value;
  return std::nullopt;
}

std::string SimTraceRecord::Json() const {
  JsonWriter json(false);
  json.BeginObject().Field("op", op);
  for (const auto& [key, value] : fields) json.Field(key, static_cast<unsigned long long>(value));
  if (op == "writeBlock" || op == "writeFlash") {
    json.Key("data").BeginArray();
    for (uint16_t word : data) json.Unsigned(word);
    json.EndArray();
  }
  if (!text.empty()) json.Field("text", text);
  if (resent) json.Field("resent", true);
  json.EndObject();
  return json.Finish();
}

}  // namespace tessaro::sim
