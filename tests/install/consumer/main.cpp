// A host program built only from the installed package.
#include <quillstone/quillstone.hpp>

#include <cstdio>

int main() {
  using quillstone::Quillstone;
  const auto server = Quillstone::resolveServer("  http://127.0.0.1:9/  ");
  Quillstone::Config config("consumer", server, "1.0", "test", false, false, true);
  Quillstone::shared().start(config);
  if (config.server().string() != "http://127.0.0.1:9/") {
    std::puts("unexpected server");
    return 1;
  }
  std::puts("consumer ok");
  return 0;
}
