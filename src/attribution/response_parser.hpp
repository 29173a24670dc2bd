// Turning the attribution server's reply into the answer the host receives.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace quillstone::attribution {

// The fields of an attribution answer; a default-constructed one is the empty result.
struct ParsedResponse {
  bool matched = false;
  std::string channel;
  std::string channelName;
  std::string method = "none";
  std::map<std::string, std::string> params;

  friend bool operator==(const ParsedResponse&, const ParsedResponse&) = default;
};

// Whatever the text, an answer comes out: anything that is not a JSON object gives the empty
// result. Never throws.
ParsedResponse parseResponse(std::string_view text) noexcept;

}  // namespace quillstone::attribution
