// Turns a report's stack into functions and source lines with the program's ELF files.
#pragma once

#include <cstddef>
#include <memory>
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
  // For an address in another image of the report's list: that image's index in the list, and
  // the address as the image's file has it (runtime address minus the image's load bias).
  std::optional<std::size_t> otherImage;
  std::uint64_t imageAddress = 0;
  std::vector<SourceFrame> symbols;  // from the matched program or the other image's file
};

struct Symbolication {
  Report report;
  std::string binary;  // path of the file that matched the report's build UUID
  // For each of the report's images, the file its frames were resolved with; "" for none (and
  // for the main program, whose file is `binary`).
  std::vector<std::string> imageFiles;
  std::vector<SymbolicatedFrame> frames;
  std::size_t frameLines = 0;  // lines that parsed as frames
};

// The image whose build UUID is the report's. nullptr when none is, with `error` naming the
// report's id and every file's.
const ElfImage* matchImage(std::string_view reportUuid, const std::vector<const ElfImage*>& images,
                           std::string& error);

// The file for each of a report's images other than the main program (entry 0, which is matched
// by imageUUID, stays null), found by the image's whole build-id: one of `candidates`, else the
// path the report recorded when that file has the build-id, else DIR/.build-id/xx/rest.debug in
// `debugDirs`. nullptr for an image without a build-id or a file. Files opened here are kept in
// `opened`.
std::vector<const ElfImage*> findImageFiles(const Report& report,
                                            const std::vector<const ElfImage*>& candidates,
                                            const std::vector<std::string>& debugDirs,
                                            std::vector<std::unique_ptr<ElfImage>>& opened);

// Every line of `stack`, the frames of `image` resolved, and with the report's image list
// (`images`, and `imageFiles` from findImageFiles) also those of the other images whose file
// was found; the others are kept as they are. Stack text gives the main program's addresses
// relative to its load bias, and formatted stacks every address, so those of other images are
// mapped back with the main program's load bias from the list.
std::vector<SymbolicatedFrame> symbolicateStack(
    std::string_view stack, const ElfImage& image, const std::vector<ReportImage>& images = {},
    const std::vector<const ElfImage*>& imageFiles = {});

Symbolication symbolicate(Report report, const ElfImage& image,
                          const std::vector<const ElfImage*>& imageFiles = {});

// A heading (name, message, matched file, the file of each other image used), then one line per
// frame: the line as written, then the function and file:line; an inlined function gets a line of
// its own, above the one it was inlined into. A frame of another image names that image, and
// without its file the address in it.
std::string renderText(const Symbolication& result);
nlohmann::json renderJson(const Symbolication& result);

// The separate debug file whose build-id begins with the bytes of `uuid`, searched in each
// DIR/.build-id/xx/ of `debugDirs`; "" when there is none. Reports carry only the first
// sixteen bytes of the main program's build-id, so the file name is matched by prefix; a whole
// build-id in hexadecimal (as the image list has it) finds its file too.
std::string findDebugFile(const std::vector<std::string>& debugDirs, std::string_view uuid);

}  // namespace quillstone::symbolicate
