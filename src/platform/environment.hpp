// The process environment.
#pragma once

#include <optional>
#include <string>

namespace quillstone::platform {

class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value, nullopt when it is not set.
  virtual std::optional<std::string> value(const std::string& name) const = 0;
};

// The environment of this process, read afresh on every call.
const Environment& systemEnvironment() noexcept;

}  // namespace quillstone::platform
