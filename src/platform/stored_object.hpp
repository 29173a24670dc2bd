// The one JSON object a file store keeps, read the way both stores read it.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quillstone::platform {

// The object in the file at `path`: empty when the file is missing or was read and holds no
// JSON object. nullopt when the file could not be read: the caller must then leave the file as
// it is (it may hold values this process cannot see) and read it again at its next access.
std::optional<nlohmann::json> readStoredObject(const std::string& path);

// Adds to `stored` each member of `madeMeanwhile` whose key it lacks, and returns those members:
// what was made while the file could not be read never replaces what the file holds.
nlohmann::json adoptMissing(nlohmann::json& stored, const nlohmann::json& madeMeanwhile);

}  // namespace quillstone::platform
