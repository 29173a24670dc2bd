// Which URLs the HTTP session hands to curl, and which redirects it follows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillstone::platform {

// Redirects one request follows at most; a collector behind a proxy or a moved path needs one
// or two, and a loop must end.
inline constexpr int kMaxRedirects = 5;

// Why a request may not go to `url`, or nothing when it may. Only text that names "http" or
// "https" itself, followed by "://", is sent: curl would guess "http" for anything else, so
// "localhost:8080" (whose scheme is "localhost") would go out as plain HTTP.
std::optional<std::string> refusedUrl(std::string_view url);

// Whether a reply with `status` sends its request on to its "Location". Only 307 and 308 keep
// the method and the body; curl would turn a POST answered with 301, 302 or 303 into a GET,
// whose 2xx reply would pass for an accepted report although the report never arrived.
bool isFollowedRedirect(long status) noexcept;

// Why a redirect from `from` to `to` may not be followed, or nothing when it may: the target
// must be a URL `refusedUrl` accepts, and a request sent over https never continues over http.
std::optional<std::string> refusedRedirect(std::string_view from, std::string_view to);

}  // namespace quillstone::platform
