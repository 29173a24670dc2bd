// Url on uriparser: strict RFC 3986 references.
#include <uriparser/Uri.h>

#include "quillstone/url.hpp"

namespace quillstone {
namespace {

std::string rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return std::string(range.first, range.afterLast);
}

// Parses `text`, hands the parsed form to `read`, and frees it.
template <typename Read>
bool withParsed(std::string_view text, Read read) {
  UriUriA uri;
  const char* errorPosition = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) !=
      URI_SUCCESS) {
    return false;
  }
  read(uri);
  uriFreeUriMembersA(&uri);
  return true;
}

// Where the path starts: after "scheme:" and after a "//authority".
std::size_t pathStart(const std::string& text, std::size_t schemeLength) {
  std::size_t position = schemeLength == 0 ? 0 : schemeLength + 1;
  if (text.compare(position, 2, "//") == 0) {
    position = text.find_first_of("/?#", position + 2);
    if (position == std::string::npos) position = text.size();
  }
  return position;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) noexcept {
  try {
    if (!withParsed(text, [](const UriUriA&) {})) return std::nullopt;
    return Url(std::string(text));
  } catch (...) {
    return std::nullopt;
  }
}

std::string Url::scheme() const {
  std::string scheme;
  withParsed(text_, [&](const UriUriA& uri) { scheme = rangeText(uri.scheme); });
  return scheme;
}

std::string Url::host() const {
  std::string host;
  withParsed(text_, [&](const UriUriA& uri) { host = rangeText(uri.hostText); });
  return host;
}

std::string Url::path() const {
  const std::size_t start = pathStart(text_, scheme().size());
  const std::size_t end = text_.find_first_of("?#", start);
  return text_.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

Url Url::appendingPathComponent(std::string_view component) const {
  const std::size_t start = pathStart(text_, scheme().size());
  std::size_t end = text_.find_first_of("?#", start);
  if (end == std::string::npos) end = text_.size();
  std::string joined = text_.substr(0, end);
  if (end == start || joined.back() != '/') joined += '/';
  joined += component;
  joined += text_.substr(end);
  return Url(std::move(joined));
}

}  // namespace quillstone
