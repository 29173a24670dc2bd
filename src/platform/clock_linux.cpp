#include <chrono>

#include "platform/clock.hpp"

namespace quillstone::platform {

std::int64_t nowMillis() noexcept {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const double seconds = std::chrono::duration<double>(sinceEpoch).count();
  return static_cast<std::int64_t>(seconds * 1000.0);
}

}  // namespace quillstone::platform
