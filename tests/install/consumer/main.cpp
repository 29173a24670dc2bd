// A host program built only from the installed package, as C++17, with the main headers alone.
#include <quillstone/attribution.hpp>
#include <quillstone/quillstone.hpp>
#include <quillstone/url.hpp>

#include <cstdint>
#include <cstdio>

#if __cplusplus != 201703L
#error "built as C++17 on purpose: the oldest standard the headers promise"
#endif

int main() {
  using quillstone::Quillstone;
  const auto server = Quillstone::resolveServer("  http://127.0.0.1:9/  ");
  Quillstone::Config config("consumer", server, "1.0", "test", false, false, true);
  Quillstone::shared().start(config);
  Quillstone::shared().addBreadcrumb("tap", R"({"button":"pay"})");
  const std::uint64_t addresses[] = {0x1000};
  const bool normalized = !Quillstone::shared().normalize(addresses, 1).empty();
  const auto same = quillstone::Url::parse("http://127.0.0.1:9/");
  if (!same || config.server() != *same || !(config.server() == *same) || !normalized) {
    std::puts("unexpected result");
    return 1;
  }
  (void)quillstone::Attribution::shared().deviceId();
  std::puts("consumer ok");
  return 0;
}
