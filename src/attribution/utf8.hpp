// UTF-8 validation for texts that arrive as bytes (server replies, keychain items).
#pragma once

#include <string_view>

namespace quillstone::attribution {

// True when every byte of `bytes` belongs to a well-formed UTF-8 sequence.
bool isValidUtf8(std::string_view bytes) noexcept;

}  // namespace quillstone::attribution
