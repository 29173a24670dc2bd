#include <cmath>
#include <cstdlib>

#include "platform/screen.hpp"

namespace quillstone::platform {
namespace {

// The whole text must be a finite number.
bool parseNumber(const char* text, double& number) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(parsed)) return false;
  number = parsed;
  return true;
}

double lengthFrom(const char* text) {
  double value = 0;
  return parseNumber(text, value) && value >= 0 ? value : 0;
}

double scaleFrom(const char* text) {
  double value = 1;
  return parseNumber(text, value) && value > 0 ? value : 1;
}

class EnvironmentScreen final : public Screen {
 public:
  ScreenMetrics mainScreen() const noexcept override {
    return screenMetricsFrom(std::getenv("SIMULATOR_MAINSCREEN_WIDTH"),
                             std::getenv("SIMULATOR_MAINSCREEN_HEIGHT"),
                             std::getenv("SIMULATOR_MAINSCREEN_SCALE"));
  }
};

}  // namespace

ScreenMetrics screenMetricsFrom(const char* width, const char* height, const char* scale) noexcept {
  return ScreenMetrics{lengthFrom(width), lengthFrom(height), scaleFrom(scale)};
}

Screen& systemScreen() noexcept {
  static auto* screen = new EnvironmentScreen();
  return *screen;
}

}  // namespace quillstone::platform
