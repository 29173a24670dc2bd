#include "attribution/utf8.hpp"

#include <utf8proc.h>

namespace quillstone::attribution {

bool isValidUtf8(std::string_view bytes) noexcept {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    utf8proc_int32_t codePoint = -1;
    const utf8proc_ssize_t length = utf8proc_iterate(
        data + offset, static_cast<utf8proc_ssize_t>(bytes.size() - offset), &codePoint);
    if (length <= 0 || codePoint < 0) return false;
    offset += static_cast<std::size_t>(length);
  }
  return true;
}

}  // namespace quillstone::attribution
