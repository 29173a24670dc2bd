// A host program that builds its breadcrumb data with nlohmann::json, as C++17.
#include <quillstone/json.hpp>

#include <cstdio>

int main() {
  using quillstone::Quillstone;
  Quillstone::shared().start(
      Quillstone::Config("consumer", std::nullopt, "1.0", "test", false, false, true));
  quillstone::addBreadcrumb(Quillstone::shared(), "click", {{"button", "pay"}});
  std::puts("json consumer ok");
  return 0;
}
