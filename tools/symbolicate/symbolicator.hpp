// Turns a report's stack into functions and source lines with the program's ELF files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "elf_image.hpp"
#include "report.hpp"
#include "stack_lines.hpp"

namespace quillstone::symbolicate {

struct SymbolicatedFrame {
  std::string text;                // the stack line as written
  std::optional<FrameLine> frame;  // nullopt for a line that is no frame line
  bool inImage = false;            // the address belongs to the matched program
  std::vector<SourceFrame> symbols;
};

struct Symbolication {
  Report report;
  std::string binary;  // path of the file that matched the report's build UUID
  std::vector<SymbolicatedFrame> frames;
  std::size_t frameLines = 0;  // lines that parsed as frames
};

// The image whose build UUID is the report's. nullptr when none is, with `error` naming the
// report's id and every file's.
const ElfImage* matchImage(std::string_view reportUuid, const std::vector<const ElfImage*>& images,
                           std::string& error);

// Every line of `stack`, the frames of `image` resolved, the others kept as they are.
std::vector<SymbolicatedFrame> symbolicateStack(std::string_view stack, const ElfImage& image);

Symbolication symbolicate(Report report, const ElfImage& image);

// A heading (name, message, matched file), then one line per frame: the line as written, then the
// function and file:line; an inlined function gets a line of its own, above the one it was inlined
// into.
std::string renderText(const Symbolication& result);
nlohmann::json renderJson(const Symbolication& result);

// The separate debug file whose build-id begins with the bytes of `uuid`, searched in each
// DIR/.build-id/xx/ of `debugDirs`; "" when there is none. Reports carry only the first
// sixteen bytes of the build-id, so the file name is matched by prefix.
std::string findDebugFile(const std::vector<std::string>& debugDirs, std::string_view uuid);

}  // namespace quillstone::symbolicate
