// Unicode helpers for host text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillstone::base {

// The length of the well-formed UTF-8 sequence `text` starts with, or 0 when it starts with
// none (or is empty).
std::size_t utf8SequenceLength(std::string_view text);

// True when `text` is well-formed UTF-8: no overlong forms, surrogates or code points past
// U+10FFFF.
bool isValidUtf8(std::string_view text);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view text);

// The longest prefix of `text` (valid UTF-8) that has at most `maxBytes` bytes and ends at a
// character boundary.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// sanitizeUtf8(text) cut by utf8Prefix to `maxBytes`, without cleaning more of a long text
// than can be kept.
std::string sanitizedPrefix(std::string_view text, std::size_t maxBytes);

// sanitizedPrefix without the copy when `text` is clean already: `text` itself when it is valid
// UTF-8 within `maxBytes`, otherwise the cleaned prefix, kept in `storage`.
std::string_view sanitizedPrefix(std::string_view text, std::size_t maxBytes, std::string& storage);

// `text` without leading and trailing spaces, tabs and other Unicode space separators (Zs).
// Line breaks are kept.
std::string_view trimSpaceSeparators(std::string_view text);

// True when `text` holds nothing but Unicode white space and line breaks.
bool isBlank(std::string_view text);

// The first `count` extended grapheme clusters of `text` (valid UTF-8), or all of it.
std::string graphemePrefix(std::string_view text, std::size_t count);

}  // namespace quillstone::base
