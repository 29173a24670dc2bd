/// \file
/// Quillstone SDK: `quillstone::Url`, a parsed URL reference (the servers and the links the
/// library is given).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillstone/export.h"

namespace quillstone {

/// An RFC 3986 URI reference (absolute or relative), kept as the text it was parsed from.
///
/// A plain value: copies are independent, and no member function changes it, so one object may
/// be read from several threads at once (not while another thread assigns to it). A `Url` is
/// made only by `parse`, which checks the text, or by `appendingPathComponent`, which does not
/// check what it adds. Nothing here is percent-decoded or normalised: two spellings of one
/// address are two different values.
class QUILLSTONE_API Url {
 public:
  /// Parses `text` as an RFC 3986 URI reference; `std::nullopt` unless it is one.
  ///
  /// The text is kept byte for byte. A reference is ASCII only, so text with invalid UTF-8, or
  /// any byte outside ASCII, spaces or control characters, gives `std::nullopt`; so does
  /// running out of memory for a huge text. Any thread, at any time; never throws.
  static std::optional<Url> parse(std::string_view text) noexcept;

  /// The text the URL was parsed from, unchanged.
  const std::string& string() const noexcept { return text_; }
  /// The scheme as written (`"https"`, `"myapp"`), without the ":"; `""` for a relative
  /// reference.
  ///
  /// Parses the text again on each call. Throws only `std::bad_alloc`.
  std::string scheme() const;
  /// The host as written (percent-escapes and letter case kept, an IPv6 address without its
  /// brackets); `""` when the reference has no authority.
  ///
  /// Parses the text again on each call. Throws only `std::bad_alloc`.
  std::string host() const;
  /// The path as written (not percent-decoded): from after the scheme and authority up to the
  /// query or fragment; `""` when there is none.
  ///
  /// Throws only `std::bad_alloc`.
  std::string path() const;
  /// The same URL with `component` added to its path, with exactly one "/" before it.
  ///
  /// Scheme, authority, query and fragment are kept. `component` is inserted as given, not
  /// percent-encoded and not checked, so pass text that is valid in a path (the library passes
  /// fixed names such as "rum"). Throws only `std::bad_alloc`.
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
