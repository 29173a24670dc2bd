#include "attribution/deep_link.hpp"

#include <uriparser/Uri.h>

#include <vector>

namespace quillstone::attribution {
namespace {

// What the first path segments must read for the second to be a code.
constexpr std::string_view kPathMarkers[] = {"a", "al"};
constexpr std::string_view kQueryNames[] = {"_la", "la_code"};

// Frees uriparser's structures whichever way the function is left.
struct ParsedUri {
  UriUriA uri{};
  bool valid = false;
  ~ParsedUri() {
    if (valid) uriFreeUriMembersA(&uri);
  }
};

struct QueryList {
  UriQueryListA* head = nullptr;
  ~QueryList() {
    if (head != nullptr) uriFreeQueryListA(head);
  }
};

std::string decode(const char* first, const char* afterLast) {
  if (first == nullptr || afterLast == nullptr || first == afterLast) return {};
  // Decoded in place, so "%00" keeps everything after it.
  std::string text(first, afterLast);
  const char* end = uriUnescapeInPlaceExA(text.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  text.resize(static_cast<std::size_t>(end - text.data()));
  return text;
}

bool isOneOf(std::string_view piece, const auto& candidates) {
  for (std::string_view candidate : candidates) {
    if (piece == candidate) return true;
  }
  return false;
}

// The path is decoded before it is split, so an escaped "/" separates pieces too; empty pieces
// from leading, trailing or doubled slashes are dropped.
std::optional<std::string> pathCode(const UriUriA& uri) {
  std::vector<std::string> pieces;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    const std::string decoded = decode(segment->text.first, segment->text.afterLast);
    std::size_t start = 0;
    while (start <= decoded.size()) {
      std::size_t slash = decoded.find('/', start);
      if (slash == std::string::npos) slash = decoded.size();
      if (slash > start) pieces.push_back(decoded.substr(start, slash - start));
      if (pieces.size() >= 2) break;
      start = slash + 1;
    }
    if (pieces.size() >= 2) break;
  }
  if (pieces.size() < 2 || !isOneOf(pieces[0], kPathMarkers)) return std::nullopt;
  return pieces[1];
}

// nullopt: no matching item, or the first one has no "=" and so leaves the path code standing.
std::optional<std::string> queryCode(const UriUriA& uri) {
  if (uri.query.first == nullptr || uri.query.afterLast == nullptr) return std::nullopt;
  QueryList list;
  int count = 0;
  if (uriDissectQueryMallocExA(&list.head, &count, uri.query.first, uri.query.afterLast, URI_FALSE,
                               URI_BR_DONT_TOUCH) != URI_SUCCESS) {
    return std::nullopt;
  }
  for (const UriQueryListA* item = list.head; item != nullptr; item = item->next) {
    if (item->key == nullptr || !isOneOf(item->key, kQueryNames)) continue;
    if (item->value == nullptr) return std::nullopt;
    return std::string(item->value);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> referralCode(std::string_view urlText) noexcept {
  try {
    ParsedUri parsed;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&parsed.uri, urlText.data(), urlText.data() + urlText.size(),
                             &errorPosition) != URI_SUCCESS) {
      return std::nullopt;
    }
    parsed.valid = true;
    std::optional<std::string> code = pathCode(parsed.uri);
    if (auto fromQuery = queryCode(parsed.uri)) code = std::move(fromQuery);
    if (!code || code->empty()) return std::nullopt;
    return code;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace quillstone::attribution
