#include "symbolicator.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace quillstone::symbolicate {
namespace {

constexpr std::string_view kUnknownSymbol = "??";

// The crash handler writes the interrupted instruction first (index 0, inside the program) and
// meets it again in the backtrace, right after the signal frame. Those addresses are exact;
// every other one is a return address, one past the call, and would name the line after it.
std::optional<std::uint64_t> interruptedAddress(const std::vector<SymbolicatedFrame>& frames) {
  for (const auto& entry : frames) {
    if (!entry.frame) continue;
    const FrameLine& frame = *entry.frame;
    if (frame.fromCrashHandler && frame.index == 0 && frame.image != kUnknownImage) {
      return frame.address;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::uint64_t lookupAddress(std::uint64_t address, bool exact) {
  return exact || address == 0 ? address : address - 1;
}

// Where one frame's address lies: the file to resolve it with (null when none) and the address
// as that file has it.
struct Placement {
  const ElfImage* file = nullptr;
  std::uint64_t address = 0;
};

// The other image of the list whose mapped text holds the runtime address `address`.
std::optional<std::size_t> imageHolding(const std::vector<ReportImage>& images,
                                        const std::vector<const ElfImage*>& files,
                                        std::uint64_t address) {
  for (std::size_t i = 1; i < images.size(); ++i) {
    const ElfImage* file = i < files.size() ? files[i] : nullptr;
    // Shared objects load from link-time address 0; the file says when one does not.
    const std::uint64_t start = images[i].base + (file != nullptr ? file->loadStart() : 0);
    if (start <= address && address - start < images[i].size) return i;
  }
  return std::nullopt;
}

// Places a frame that is not the main program's in one of the list's other images.
void placeInOtherImage(SymbolicatedFrame& entry, const std::vector<ReportImage>& images,
                       const std::vector<const ElfImage*>& files) {
  if (images.size() < 2) return;
  const FrameLine& frame = *entry.frame;
  // The crash handler writes other images' addresses as they were; formatted stacks take the
  // main program's load bias off every address that is not below it.
  const std::uint64_t slide = images[0].base;
  std::uint64_t runtime = frame.image == kUnknownImage ? frame.address : frame.address + slide;
  auto index = imageHolding(images, files, runtime);
  if (!index && frame.image != kUnknownImage && frame.address < slide) {
    runtime = frame.address;
    index = imageHolding(images, files, runtime);
  }
  if (!index) return;
  entry.otherImage = index;
  entry.imageAddress = runtime - images[*index].base;
}

std::string fileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string hexText(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string_view trimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string describe(const SourceFrame& symbol) {
  std::string text = symbol.function.empty() ? std::string(kUnknownSymbol) : symbol.function;
  if (!symbol.file.empty()) {
    text += " at ";
    text += symbol.file;
    if (symbol.line > 0) {
      text += ':';
      text += std::to_string(symbol.line);
    }
  }
  if (symbol.inlined) text += " [inlined]";
  return text;
}

}  // namespace

const ElfImage* matchImage(std::string_view reportUuid, const std::vector<const ElfImage*>& images,
                           std::string& error) {
  for (const ElfImage* image : images) {
    if (!reportUuid.empty() && image->buildUuid() == reportUuid) return image;
  }
  error = reportUuid.empty()
              ? "the report carries no imageUUID, so no binary can be matched to it"
              : "build-id mismatch: the report's imageUUID is " + std::string(reportUuid);
  for (const ElfImage* image : images) {
    const std::string uuid = image->buildUuid();
    error += "; " + image->path() + " has " + (uuid.empty() ? "no build-id" : uuid);
  }
  return nullptr;
}

std::vector<const ElfImage*> findImageFiles(const Report& report,
                                            const std::vector<const ElfImage*>& candidates,
                                            const std::vector<std::string>& debugDirs,
                                            std::vector<std::unique_ptr<ElfImage>>& opened) {
  std::vector<const ElfImage*> files(report.images.size(), nullptr);
  for (std::size_t i = 1; i < report.images.size(); ++i) {
    const ReportImage& image = report.images[i];
    if (image.buildId.empty()) continue;  // nothing to tell a file of another build by
    for (const ElfImage* candidate : candidates) {
      if (candidate->buildIdHex() == image.buildId) files[i] = candidate;
    }
    if (files[i] != nullptr) continue;
    for (const std::string& path : {image.path, findDebugFile(debugDirs, image.buildId)}) {
      if (path.empty()) continue;
      std::string error;
      auto file = ElfImage::open(path, debugDirs, error);
      if (!file || file->buildIdHex() != image.buildId) continue;
      files[i] = file.get();
      opened.push_back(std::move(file));
      break;
    }
  }
  return files;
}

std::vector<SymbolicatedFrame> symbolicateStack(std::string_view stack, const ElfImage& image,
                                                const std::vector<ReportImage>& images,
                                                const std::vector<const ElfImage*>& imageFiles) {
  std::vector<SymbolicatedFrame> frames;
  for (const std::string_view line : splitStackLines(stack)) {
    frames.push_back({std::string(line), parseFrameLine(line), false, std::nullopt, 0, {}});
  }
  std::vector<Placement> placements(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto& entry = frames[i];
    if (!entry.frame) continue;
    // Formatted stacks name the program on every line, also for other libraries' addresses.
    if (entry.frame->image != kUnknownImage && image.containsText(entry.frame->address)) {
      entry.inImage = true;
      placements[i] = {&image, entry.frame->address};
      continue;
    }
    placeInOtherImage(entry, images, imageFiles);
    if (entry.otherImage && *entry.otherImage < imageFiles.size()) {
      placements[i] = {imageFiles[*entry.otherImage], entry.imageAddress};
    }
  }

  const auto interrupted = interruptedAddress(frames);
  bool afterSignalReturn = false;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto& entry = frames[i];
    const Placement& place = placements[i];
    if (!entry.frame) continue;
    // A signal handler "returns" to the first byte of the signal return, and the interrupted
    // instruction follows it.
    const bool signalReturn = place.file != nullptr && place.file->isSignalReturn(place.address);
    const bool exact = signalReturn || afterSignalReturn ||
                       (entry.inImage && entry.frame->fromCrashHandler && interrupted &&
                        entry.frame->address == *interrupted);
    afterSignalReturn = signalReturn;
    if (place.file == nullptr) continue;
    entry.symbols = place.file->resolve(lookupAddress(place.address, exact));
  }
  return frames;
}

Symbolication symbolicate(Report report, const ElfImage& image,
                          const std::vector<const ElfImage*>& imageFiles) {
  Symbolication result;
  result.frames = symbolicateStack(report.stack, image, report.images, imageFiles);
  result.imageFiles.resize(report.images.size());
  for (std::size_t i = 1; i < report.images.size() && i < imageFiles.size(); ++i) {
    if (imageFiles[i] != nullptr) result.imageFiles[i] = imageFiles[i]->path();
  }
  result.report = std::move(report);
  result.binary = image.path();
  for (const auto& entry : result.frames) {
    if (entry.frame) ++result.frameLines;
  }
  return result;
}

std::string renderText(const Symbolication& result) {
  std::string text;
  if (!result.report.name.empty() || !result.report.message.empty()) {
    text += result.report.name + ": " + result.report.message + "\n";
  }
  text += "imageUUID " + result.report.imageUUID + " is " + result.binary + "\n";
  for (std::size_t i = 1; i < result.imageFiles.size(); ++i) {
    if (result.imageFiles[i].empty()) continue;
    const ReportImage& image = result.report.images[i];
    text += "image " + image.path + " " + image.buildId + " is " + result.imageFiles[i] + "\n";
  }
  for (const auto& entry : result.frames) {
    const std::string_view line = trimEnd(entry.text);
    std::string where;
    if (entry.otherImage) {
      where = " in " + fileName(result.report.images[*entry.otherImage].path);
    }
    if (!entry.inImage && !entry.otherImage) {
      text.append(line).append("\n");
      continue;
    }
    if (entry.symbols.empty()) {
      text.append(line).append("   ");
      if (entry.otherImage) {
        text.append(fileName(result.report.images[*entry.otherImage].path))
            .append(" +")
            .append(hexText(entry.imageAddress));
      } else {
        text.append(kUnknownSymbol);
      }
      text.append("\n");
      continue;
    }
    for (const auto& symbol : entry.symbols) {
      text.append(line).append("   ").append(describe(symbol)).append(where).append("\n");
    }
  }
  return text;
}

nlohmann::json renderJson(const Symbolication& result) {
  auto frames = nlohmann::json::array();
  for (const auto& entry : result.frames) {
    nlohmann::json frame{{"line", entry.text}};
    if (entry.frame) {
      frame["index"] = entry.frame->index;
      frame["image"] = entry.frame->image;
      frame["address"] = entry.frame->addressText;
      frame["inImage"] = entry.inImage;
    }
    if (entry.otherImage) {
      frame["imagePath"] = result.report.images[*entry.otherImage].path;
      frame["imageAddress"] = hexText(entry.imageAddress);
    }
    if (entry.inImage || entry.otherImage) {
      auto symbols = nlohmann::json::array();
      for (const auto& symbol : entry.symbols) {
        nlohmann::json item{{"function", symbol.function}, {"inlined", symbol.inlined}};
        if (!symbol.file.empty()) item["file"] = symbol.file;
        if (symbol.line > 0) item["line"] = symbol.line;
        symbols.push_back(std::move(item));
      }
      frame["symbols"] = std::move(symbols);
    }
    frames.push_back(std::move(frame));
  }
  return {{"imageUUID", result.report.imageUUID},
          {"binary", result.binary},
          {"name", result.report.name},
          {"message", result.report.message},
          {"frames", std::move(frames)}};
}

std::string findDebugFile(const std::vector<std::string>& debugDirs, std::string_view uuid) {
  std::string hex;
  for (const char c : uuid) {
    if (c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  constexpr std::size_t kFolderDigits = 2;
  if (hex.size() <= kFolderDigits) return {};
  const std::string rest = hex.substr(kFolderDigits);
  for (const auto& dir : debugDirs) {
    const std::filesystem::path folder =
        std::filesystem::path(dir) / ".build-id" / hex.substr(0, kFolderDigits);
    std::error_code error;
    std::vector<std::string> candidates;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(rest) && name.ends_with(".debug")) {
        candidates.push_back(entry.path().string());
      }
    }
    if (!candidates.empty()) return *std::min_element(candidates.begin(), candidates.end());
  }
  return {};
}

}  // namespace quillstone::symbolicate
