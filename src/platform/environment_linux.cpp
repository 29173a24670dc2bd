#include <cstdlib>

#include "platform/environment.hpp"

namespace quillstone::platform {
namespace {

class ProcessEnvironment final : public Environment {
 public:
  std::optional<std::string> value(const std::string& name) const override {
    const char* found = std::getenv(name.c_str());
    if (found == nullptr) return std::nullopt;
    return std::string(found);
  }
};

}  // namespace

const Environment& systemEnvironment() noexcept {
  static const auto* environment = new ProcessEnvironment();
  return *environment;
}

}  // namespace quillstone::platform
