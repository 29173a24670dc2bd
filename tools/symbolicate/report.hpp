// The parts of a crash file or error report that symbolication needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillstone::symbolicate {

// One entry of a report's "images": where an image lay in the process the report came from.
struct ReportImage {
  std::string path;        // as the loader knew it; the executable's path for the main program
  std::string buildId;     // the whole GNU build-id in lower-case hexadecimal, "" without one
  std::uint64_t base = 0;  // load bias
  std::uint64_t size = 0;  // bytes from the lowest loadable segment to the end of the text
};

struct Report {
  std::string imageUUID;  // "" when the report carries none
  std::string name;       // the signal or exception name, or the handled error's name
  std::string message;
  std::string stack;
  // The main program first, then each other image a frame falls into; empty for a report
  // without the list (a stack the host gave, or a library that did not write one).
  std::vector<ReportImage> images;
};

struct ReportOrError {
  std::optional<Report> report;
  std::string error;  // why there is no report
};

// Reads any of the report shapes the library writes: a signal crash file, an exception crash
// file or a handled-error report. Fails, with a reason, on text that is not a JSON object or
// holds no "data"."stack" string. A malformed "images" list is read as no list.
ReportOrError parseReport(std::string_view text);

}  // namespace quillstone::symbolicate
