// Text crossing the C boundary: NULL-tolerant views of the host's strings, and strings handed
// back that the host releases with quillstone_free.
#pragma once

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quillstone::capi {

// A NULL string counts as the empty one.
inline std::string_view text(const char* s) noexcept { return s ? std::string_view(s) : ""; }

// A NULL string counts as absent, where the C++ call tells absent from empty.
inline std::optional<std::string_view> optionalText(const char* s) noexcept {
  if (!s) return std::nullopt;
  return std::string_view(s);
}

// A copy the host owns; NULL when memory ran out. Allocated with malloc, so quillstone_free is
// free() whatever the host's C++ runtime does with new.
inline char* hostCopy(std::string_view s) noexcept {
  auto* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (!out) return nullptr;
  std::memcpy(out, s.data(), s.size());
  out[s.size()] = '\0';
  return out;
}

}  // namespace quillstone::capi
