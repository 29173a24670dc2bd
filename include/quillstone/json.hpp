/// \file
/// Quillstone SDK: breadcrumb data given as a `nlohmann::json` object. Optional: only a host that
/// builds its data with nlohmann::json includes it, and links the `Quillstone::json` target.
#pragma once

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillstone/quillstone.hpp"

namespace quillstone {

/// Adds a breadcrumb whose data is a `nlohmann::json` object, as `client.addBreadcrumb(type,
/// text)` does with the object's compact JSON text: `addBreadcrumb(client, "tap", {{"button",
/// "pay"}})` and `client.addBreadcrumb("tap", R"({"button":"pay"})")` add the same breadcrumb.
///
/// Any thread may call it, before `start` too; the same limits apply. Invalid UTF-8 in a key or
/// string becomes U+FFFD. The breadcrumb is dropped silently when the data holds a non-finite
/// number (JSON has no text for it) or cannot be written (memory runs out); nothing is thrown.
inline void addBreadcrumb(Quillstone& client, std::string_view type,
                          const nlohmann::json::object_t& data) noexcept {
  try {
    // The writer would turn NaN and infinities into null, which is not the value reported.
    std::vector<const nlohmann::json*> pending;
    for (const auto& member : data) pending.push_back(&member.second);
    while (!pending.empty()) {
      const nlohmann::json& value = *pending.back();
      pending.pop_back();
      if (value.is_number_float() && !std::isfinite(value.get<double>())) return;
      if (value.is_structured()) {
        for (const auto& element : value) pending.push_back(&element);
      }
    }
    const std::string text =
        nlohmann::json(data).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    client.addBreadcrumb(type, text);
  } catch (...) {
  }
}

}  // namespace quillstone
