#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "platform/bundle.hpp"
#include "platform/fork_safe.hpp"
#include "platform/loader.hpp"

namespace quillstone::platform {
namespace {

// Used as the text end when the program has no executable segment at all.
constexpr std::uint64_t kFallbackTextSize = 64ull << 20;
constexpr char kGnuNoteName[] = "GNU";

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Walks one mapped note segment; leaves `buildId` untouched when it holds no GNU build-id.
void findBuildId(const std::uint8_t* notes, std::uint64_t size, std::uint64_t alignment,
                 std::vector<std::uint8_t>& buildId) {
  std::uint64_t offset = 0;
  // The padding after the last note may run past the segment's end, so `offset` can too.
  while (offset < size && size - offset >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) header;
    std::memcpy(&header, notes + offset, sizeof header);
    const std::uint64_t nameOffset = offset + sizeof header;
    const std::uint64_t descOffset = nameOffset + alignUp(header.n_namesz, alignment);
    const std::uint64_t next = descOffset + alignUp(header.n_descsz, alignment);
    if (descOffset > size || header.n_descsz > size - descOffset) return;
    if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == sizeof kGnuNoteName &&
        std::memcmp(notes + nameOffset, kGnuNoteName, sizeof kGnuNoteName) == 0) {
      buildId.assign(notes + descOffset, notes + descOffset + header.n_descsz);
      return;
    }
    offset = next;
  }
}

// Where an image's loadable segments lie, from its program headers, in link-time addresses.
struct Segments {
  std::uint64_t lowestLoad = 0;
  std::uint64_t textEnd = 0;  // 0 when no segment is executable
};

Segments segmentsOf(const dl_phdr_info& info) {
  Segments segments;
  bool haveLoad = false;
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    if (!haveLoad || segment.p_vaddr < segments.lowestLoad) segments.lowestLoad = segment.p_vaddr;
    haveLoad = true;
    if ((segment.p_flags & PF_X) != 0) {
      segments.textEnd =
          std::max<std::uint64_t>(segments.textEnd, segment.p_vaddr + segment.p_memsz);
    }
  }
  return segments;
}

std::vector<std::uint8_t> buildIdOf(const dl_phdr_info& info) {
  std::vector<std::uint8_t> buildId;
  for (ElfW(Half) i = 0; i < info.dlpi_phnum && buildId.empty(); ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const auto alignment = segment.p_align == 8 ? 8u : 4u;
    findBuildId(reinterpret_cast<const std::uint8_t*>(info.dlpi_addr + segment.p_vaddr),
                segment.p_filesz, alignment, buildId);
  }
  return buildId;
}

int readFirstImage(dl_phdr_info* info, std::size_t, void* out) {
  auto& image = *static_cast<MainImage*>(out);
  image.slide = info->dlpi_addr;
  const Segments segments = segmentsOf(*info);
  image.buildId = buildIdOf(*info);
  image.textStart = info->dlpi_addr + segments.lowestLoad;
  image.textEnd = segments.textEnd != 0 ? info->dlpi_addr + segments.textEnd
                                        : image.textStart + kFallbackTextSize;
  return 1;  // the loader lists the main program first; nothing else is wanted
}

// Images other than the main program, once their build-id has been read: an image stays where
// it was mapped until it is unloaded, so its entry holds until the loader reports an unload.
struct ImageCache {
  ForkSafeMutex lock;
  std::vector<LoadedImage> images;
  unsigned long long unloads = 0;  // the loader's count when the entries were read
};

ImageCache& imageCache() {
  static auto* cache = new ImageCache();
  return *cache;
}

struct HoldingSearch {
  std::span<const std::uint64_t> addresses;
  ImageCache& cache;
  std::vector<LoadedImage> found;
  bool first = true;
};

bool holdsAny(std::span<const std::uint64_t> addresses, std::uint64_t start, std::uint64_t end) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [&](std::uint64_t address) { return start <= address && address < end; });
}

// Runs under the loader's lock, with the cache's lock held by the caller.
int collectHolding(dl_phdr_info* info, std::size_t size, void* out) {
  auto& search = *static_cast<HoldingSearch*>(out);
  if (search.first) {
    search.first = false;
    // Older loaders do not count unloads; their images are then read each time.
    const bool counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
    if (!counted || info->dlpi_subs != search.cache.unloads) {
      search.cache.images.clear();
      search.cache.unloads = counted ? info->dlpi_subs : 0;
    }
    return 0;  // the main program is known already
  }
  const Segments segments = segmentsOf(*info);
  if (segments.textEnd == 0) return 0;
  const std::uint64_t start = info->dlpi_addr + segments.lowestLoad;
  const std::uint64_t end = info->dlpi_addr + segments.textEnd;
  if (!holdsAny(search.addresses, start, end)) return 0;
  auto& images = search.cache.images;
  auto cached = std::find_if(images.begin(), images.end(), [&](const LoadedImage& image) {
    return image.base == info->dlpi_addr && image.textStart == start && image.textEnd == end;
  });
  if (cached == images.end()) {
    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    images.push_back({name, buildIdOf(*info), info->dlpi_addr, start, end});
    cached = images.end() - 1;
  }
  search.found.push_back(*cached);
  return 0;
}

}  // namespace

MainImage mainImage() {
  // The main program is mapped once, before any of our code runs, and never moves or unloads:
  // reading it once spares every report and every crash-slot rendering the loader's lock and a
  // walk over its headers.
  // Never destroyed: the library's threads may still read it while the process exits.
  static const MainImage* image = new MainImage([] {
    MainImage read;
    dl_iterate_phdr(readFirstImage, &read);
    read.name = executableName();
    return read;
  }());
  return *image;
}

}  // namespace quillstone::platform

namespace quillstone::platform {

std::vector<LoadedImage> imagesHolding(std::span<const std::uint64_t> addresses) {
  const MainImage main = mainImage();
  std::vector<LoadedImage> images{
      {executablePath(), main.buildId, main.slide, main.textStart, main.textEnd}};
  ImageCache& cache = imageCache();
  std::lock_guard guard(cache.lock);
  HoldingSearch search{addresses, cache, {}};
  dl_iterate_phdr(collectHolding, &search);
  images.insert(images.end(), search.found.begin(), search.found.end());
  return images;
}

std::optional<std::uint64_t> imageHolding(std::uint64_t address) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(address), &info) == 0 || info.dli_fbase == nullptr) {
    return std::nullopt;
  }
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

}  // namespace quillstone::platform
