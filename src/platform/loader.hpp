// The dynamic loader's view of the main program (image 0) and of the other images it mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillstone::platform {

struct MainImage {
  std::uint64_t slide = 0;            // load bias
  std::string name;                   // file name of the executable
  std::uint64_t textStart = 0;        // where the ELF header is mapped
  std::uint64_t textEnd = 0;          // end of the highest executable segment
  std::vector<std::uint8_t> buildId;  // GNU build-id note, empty when there is none
};

// The main program's image as the loader mapped it; read once, as it never changes, and never
// destroyed.
const MainImage& mainImage();

// One mapped image: where it lies, and what identifies its file.
struct LoadedImage {
  std::string path;                   // as the loader knows it; the executable's path for image 0
  std::vector<std::uint8_t> buildId;  // GNU build-id, empty when there is none
  std::uint64_t base = 0;             // load bias: runtime address minus link-time address
  std::uint64_t textStart = 0;        // runtime address of the lowest loadable segment
  std::uint64_t textEnd = 0;          // end of the highest executable segment
};

// The main program, always and first, then each other image that holds one of `addresses`, in
// the loader's order. Each image is read once and shared until the loader reports a change.
std::vector<std::shared_ptr<const LoadedImage>> imagesHolding(
    std::span<const std::uint64_t> addresses);

// The load address of the image that holds `address`; nullopt when no image does.
std::optional<std::uint64_t> imageHolding(std::uint64_t address);

// What the crash-time walk tells of one image. The pointers are valid during the visit only.
struct MappedImage {
  const char* path;  // NUL-terminated; "" when the loader recorded none
  std::uint64_t base;
  std::uint64_t textStart;
  std::uint64_t textEnd;
  const std::uint8_t* buildId;
  std::size_t buildIdSize;  // 0 when there is none
};

// Plain function pointers rather than virtual calls: the walk runs in the crash handler, where
// the sanitizers' dynamic-type checks of a virtual call cannot be trusted to work (they may need
// a free descriptor or memory the crash left unusable).
struct MappedImageVisitor {
  void* context;
  // Whether the image whose text is [textStart, textEnd) is wanted; only a wanted image's path
  // and build-id are read.
  bool (*wants)(void* context, std::uint64_t textStart, std::uint64_t textEnd) noexcept;
  // False ends the walk.
  bool (*visit)(void* context, const MappedImage& image) noexcept;
};

// Finds the loader's list of images for walkMappedImages. Call before a crash can happen;
// repeated calls are cheap.
void prepareImageWalk();

// Async-signal-safe: visits the images in the loader's list, in load order, except the main
// program (known in advance), while the loader reports the list consistent. Allocates nothing,
// takes no lock, and reads the loader's memory only through a system call that fails instead
// of faulting: an unreadable entry ends the walk. Bounded in entries and in bytes per entry.
void walkMappedImages(const MappedImageVisitor& visitor) noexcept;

}  // namespace quillstone::platform
