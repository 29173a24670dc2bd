// The main screen's size.
#pragma once

namespace quillstone::platform {

struct ScreenMetrics {
  // Native bounds in physical pixels.
  double nativeWidth = 0;
  double nativeHeight = 0;
  // Pixels per point.
  double scale = 1;

  double width() const { return nativeWidth / scale; }
  double height() const { return nativeHeight / scale; }
};

class Screen {
 public:
  virtual ~Screen() = default;
  virtual ScreenMetrics mainScreen() const noexcept = 0;
};

// Reads each variable on its own: a width or height that is missing, unparsable or negative is
// 0; a scale that is missing, unparsable or not positive is 1.
ScreenMetrics screenMetricsFrom(const char* width, const char* height, const char* scale) noexcept;

// The simulated main screen: SIMULATOR_MAINSCREEN_WIDTH, _HEIGHT and _SCALE, read on every call.
Screen& systemScreen() noexcept;

}  // namespace quillstone::platform
