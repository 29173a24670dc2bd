// Quillstone SDK: a parsed URL reference.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillstone/export.h"

namespace quillstone {

// An RFC 3986 URI reference (absolute or relative), kept as the text it was parsed from.
class QUILLSTONE_API Url {
 public:
  // nullopt unless `text` is an RFC 3986 URI reference.
  static std::optional<Url> parse(std::string_view text) noexcept;

  const std::string& string() const noexcept { return text_; }
  // "" for a relative reference.
  std::string scheme() const;
  std::string host() const;
  // The path as written (not percent-decoded).
  std::string path() const;
  // The same URL with `component` added to its path, with exactly one "/" before it.
  // Scheme, authority, query and fragment are kept.
  Url appendingPathComponent(std::string_view component) const;

  /// True when both URLs hold the same text, byte for byte (no normalisation).
  friend bool operator==(const Url& a, const Url& b) noexcept { return a.text_ == b.text_; }
  /// True when the texts differ.
  friend bool operator!=(const Url& a, const Url& b) noexcept { return !(a == b); }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace quillstone
