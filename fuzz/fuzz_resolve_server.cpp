// The host's server text: resolveServer() always gives a usable absolute URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <quillstone/quillstone.hpp>

using quillstone::Quillstone;
using quillstone::Url;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Url fallback = Quillstone::resolveServer(std::nullopt);
  // The fallback line names the host's text; whatever that holds, it stays one line.
  static const bool quiet = [] {
    Quillstone::setLogHandler([](std::string_view line) {
      if (line.find_first_of("\r\n") != std::string_view::npos) std::abort();
    });
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Url server = Quillstone::resolveServer(text);
  if (server.scheme().empty()) std::abort();
  // Either the built-in server or the host's own text, only trimmed at its ends.
  if (!(server == fallback) && text.find(server.string()) == std::string_view::npos) std::abort();
  const Url endpoint = server.appendingPathComponent("rum");
  if (!Url::parse(endpoint.string())) std::abort();
  return 0;
}
