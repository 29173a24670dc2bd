#include "symbolicator.hpp"

#include <algorithm>
#include <cctype>
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

std::uint64_t lookupAddress(const FrameLine& frame, std::optional<std::uint64_t> interrupted) {
  const bool exact = frame.fromCrashHandler && interrupted && frame.address == *interrupted;
  return exact || frame.address == 0 ? frame.address : frame.address - 1;
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

std::vector<SymbolicatedFrame> symbolicateStack(std::string_view stack, const ElfImage& image) {
  std::vector<SymbolicatedFrame> frames;
  for (const std::string_view line : splitStackLines(stack)) {
    frames.push_back({std::string(line), parseFrameLine(line), false, {}});
  }
  const auto interrupted = interruptedAddress(frames);
  for (auto& entry : frames) {
    if (!entry.frame || entry.frame->image == kUnknownImage) continue;
    // Formatted stacks name the program on every line, also for other libraries' addresses.
    if (!image.containsText(entry.frame->address)) continue;
    entry.inImage = true;
    entry.symbols = image.resolve(lookupAddress(*entry.frame, interrupted));
  }
  return frames;
}

Symbolication symbolicate(Report report, const ElfImage& image) {
  Symbolication result;
  result.frames = symbolicateStack(report.stack, image);
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
  for (const auto& entry : result.frames) {
    const std::string_view line = trimEnd(entry.text);
    if (!entry.inImage) {
      text.append(line).append("\n");
      continue;
    }
    if (entry.symbols.empty()) {
      text.append(line).append("   ").append(kUnknownSymbol).append("\n");
      continue;
    }
    for (const auto& symbol : entry.symbols) {
      text.append(line).append("   ").append(describe(symbol)).append("\n");
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
    if (entry.inImage) {
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
  constexpr std::size_t kUuidHexDigits = 32;
  constexpr std::size_t kFolderDigits = 2;
  if (hex.size() != kUuidHexDigits) return {};
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
