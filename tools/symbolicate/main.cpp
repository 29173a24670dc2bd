// quillstone-symbolicate: turns the stack of a crash file or error report into functions and
// source lines, using the program's ELF file and its debug information.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "elf_image.hpp"
#include "report.hpp"
#include "symbolicator.hpp"

namespace {

namespace qs = quillstone::symbolicate;

constexpr int kExitOk = 0;
constexpr int kExitUnreadable = 1;  // nothing could be read from the input
constexpr int kExitUsage = 2;       // bad arguments, unusable or mismatching binaries

constexpr const char* kUsage =
    "usage: quillstone-symbolicate [--binary PATH]... [--debug-dir DIR]... [--json] [REPORT]\n"
    "  REPORT           a crash file or error report; standard input when absent or \"-\"\n"
    "  --binary PATH    the program's ELF file; repeat it to offer several builds, the one\n"
    "                   whose build-id matches the report's imageUUID is used, and the\n"
    "                   files of shared libraries, matched by the build-ids the report lists\n"
    "  --debug-dir DIR  separate debug files laid out as DIR/.build-id/xx/rest.debug; without\n"
    "                   --binary the report's own debug file is looked up there\n"
    "  A library the report lists is also read from the path it was loaded from, when that\n"
    "  file still has the listed build-id.\n"
    "  --json           write the result as JSON\n";

struct Options {
  std::vector<std::string> binaries;
  std::vector<std::string> debugDirs;
  std::optional<std::string> input;
  bool json = false;
};

// nullopt after printing the usage; `exitCode` says with which status to leave.
std::optional<Options> parseArguments(int argc, char** argv, int& exitCode) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--binary" && i + 1 < argc) {
      options.binaries.emplace_back(argv[++i]);
    } else if (arg == "--debug-dir" && i + 1 < argc) {
      options.debugDirs.emplace_back(argv[++i]);
    } else if (arg == "--json") {
      options.json = true;
    } else if ((arg == "-" || arg.empty() || arg.front() != '-') && !options.input) {
      options.input = arg;
    } else {
      std::cerr << kUsage;
      exitCode = arg == "--help" || arg == "-h" ? kExitOk : kExitUsage;
      return std::nullopt;
    }
  }
  if (options.binaries.empty() && options.debugDirs.empty()) {
    std::cerr << "quillstone-symbolicate: give --binary or --debug-dir\n" << kUsage;
    exitCode = kExitUsage;
    return std::nullopt;
  }
  return options;
}

std::optional<std::string> readInput(const std::optional<std::string>& path) {
  if (!path || *path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream file(*path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int run(const Options& options) {
  const auto text = readInput(options.input);
  if (!text) {
    std::cerr << "quillstone-symbolicate: cannot read " << *options.input << "\n";
    return kExitUnreadable;
  }
  auto parsed = qs::parseReport(*text);
  if (!parsed.report) {
    std::cerr << "quillstone-symbolicate: " << parsed.error << "\n";
    return kExitUnreadable;
  }

  std::vector<std::string> paths = options.binaries;
  if (paths.empty()) {
    const std::string found = qs::findDebugFile(options.debugDirs, parsed.report->imageUUID);
    if (found.empty()) {
      std::cerr << "quillstone-symbolicate: no debug file for imageUUID \""
                << parsed.report->imageUUID << "\" under the --debug-dir folders\n";
      return kExitUsage;
    }
    paths.push_back(found);
  }
  std::vector<std::unique_ptr<qs::ElfImage>> images;
  std::vector<const qs::ElfImage*> candidates;
  for (const auto& path : paths) {
    std::string error;
    auto image = qs::ElfImage::open(path, options.debugDirs, error);
    if (!image) {
      std::cerr << "quillstone-symbolicate: cannot read " << error << "\n";
      return kExitUsage;
    }
    candidates.push_back(image.get());
    images.push_back(std::move(image));
  }
  std::string mismatch;
  const qs::ElfImage* image = qs::matchImage(parsed.report->imageUUID, candidates, mismatch);
  if (image == nullptr) {
    std::cerr << "quillstone-symbolicate: " << mismatch << "\n";
    return kExitUsage;
  }

  std::vector<std::unique_ptr<qs::ElfImage>> libraries;
  const auto files = qs::findImageFiles(*parsed.report, candidates, options.debugDirs, libraries);
  const qs::Symbolication result = qs::symbolicate(std::move(*parsed.report), *image, files);
  if (options.json) {
    std::cout << qs::renderJson(result).dump(2, ' ', false,
                                             nlohmann::json::error_handler_t::replace)
              << "\n";
  } else {
    std::cout << qs::renderText(result);
  }
  // Lines that are no frames were passed through; only a stack without a single frame among
  // several lines means nothing could be read.
  if (result.frameLines == 0 && !result.frames.empty()) {
    std::cerr << "quillstone-symbolicate: no line of the stack is a frame line\n";
    return kExitUnreadable;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    int exitCode = kExitOk;
    const auto options = parseArguments(argc, argv, exitCode);
    if (!options) return exitCode;
    return run(*options);
  } catch (const std::exception& error) {
    std::cerr << "quillstone-symbolicate: " << error.what() << "\n";
    return kExitUnreadable;
  }
}
