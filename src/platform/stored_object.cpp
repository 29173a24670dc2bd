#include "platform/stored_object.hpp"

#include "platform/files.hpp"

namespace quillstone::platform {

std::optional<nlohmann::json> readStoredObject(const std::string& path) {
  const auto file = readFileChecked(path);
  if (file.status == FileRead::Status::failed) return std::nullopt;
  if (file.status == FileRead::Status::missing) return nlohmann::json::object();
  auto parsed = nlohmann::json::parse(file.bytes, nullptr, /*allow_exceptions=*/false);
  return parsed.is_object() ? std::move(parsed) : nlohmann::json::object();
}

nlohmann::json adoptMissing(nlohmann::json& stored, const nlohmann::json& madeMeanwhile) {
  auto adopted = nlohmann::json::object();
  for (const auto& [key, value] : madeMeanwhile.items()) {
    if (stored.contains(key)) continue;
    stored[key] = value;
    adopted[key] = value;
  }
  return adopted;
}

}  // namespace quillstone::platform
