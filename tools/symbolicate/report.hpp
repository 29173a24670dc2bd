// The parts of a crash file or error report that symbolication needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillstone::symbolicate {

struct Report {
  std::string imageUUID;  // "" when the report carries none
  std::string name;       // the signal or exception name, or the handled error's name
  std::string message;
  std::string stack;
};

struct ReportOrError {
  std::optional<Report> report;
  std::string error;  // why there is no report
};

// Reads any of the report shapes the library writes: a signal crash file, an exception crash
// file or a handled-error report. Fails, with a reason, on text that is not a JSON object or
// holds no "data"."stack" string.
ReportOrError parseReport(std::string_view text);

}  // namespace quillstone::symbolicate
