#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/bundle.hpp"
#include "platform/fork_safe.hpp"
#include "platform/loader.hpp"

namespace quillstone::platform {
namespace {

// Used as the text end when the program has no executable segment at all.
constexpr std::uint64_t kFallbackTextSize = 64ull << 20;
constexpr char kGnuNoteName[] = "GNU";
// Addresses sorted on the stack for an image search; more are sorted in an allocation.
constexpr std::size_t kSortedOnStack = 256;

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

// The loader's images other than the main program, in its order, as its list stood when it
// last counted `adds` loads and `unloads` unloads: while both counts stay the same, no image
// has come or gone, so each report looks its frames up here instead of in every image's program
// headers. An image's build-id is read once, when a frame first falls into it.
struct CachedImage {
  std::uint64_t base;
  std::uint64_t textStart;
  std::uint64_t textEnd;
  std::shared_ptr<const LoadedImage> read;  // null until a frame has fallen into it
};

struct ImageCache {
  ForkSafeMutex lock;
  std::vector<CachedImage> images;
  bool counted = false;  // older loaders count neither; their list is then read each time
  unsigned long long adds = 0;
  unsigned long long unloads = 0;
};

ImageCache& imageCache() {
  static auto* cache = new ImageCache();
  return *cache;
}

// `addresses` sorted: one search per image rather than a look at every address.
bool holdsAny(std::span<const std::uint64_t> addresses, std::uint64_t start, std::uint64_t end) {
  const auto first = std::lower_bound(addresses.begin(), addresses.end(), start);
  return first != addresses.end() && *first < end;
}

struct HoldingSearch {
  std::span<const std::uint64_t> addresses;
  ImageCache& cache;
  bool relist = false;
  std::size_t index = 0;  // of the next image after the main program
  // The list before a load: its images are still there, and what was read of them holds.
  std::vector<CachedImage> before;
};

// Whether every cached image that holds one of `addresses` has been read already.
bool allHoldingRead(const ImageCache& cache, std::span<const std::uint64_t> addresses) {
  return std::all_of(cache.images.begin(), cache.images.end(), [&](const CachedImage& image) {
    return image.read != nullptr || !holdsAny(addresses, image.textStart, image.textEnd);
  });
}

// Runs under the loader's lock, with the cache's lock held by the caller. Stops at the main
// program when the list is unchanged and nothing is left to read.
int collectHolding(dl_phdr_info* info, std::size_t size, void* out) {
  auto& search = *static_cast<HoldingSearch*>(out);
  ImageCache& cache = search.cache;
  if (search.index == 0 && !search.relist) {
    const bool counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
    if (counted && cache.counted && info->dlpi_adds == cache.adds &&
        info->dlpi_subs == cache.unloads) {
      if (allHoldingRead(cache, search.addresses)) return 1;
    } else {
      search.relist = true;
      if (counted && cache.counted && info->dlpi_subs == cache.unloads) {
        search.before = std::move(cache.images);
      }
      cache.images.clear();
      cache.counted = counted;
      cache.adds = counted ? info->dlpi_adds : 0;
      cache.unloads = counted ? info->dlpi_subs : 0;
    }
    search.index = 1;
    return 0;  // the main program is known already
  }
  const std::size_t at = search.index++ - 1;
  if (search.relist) {
    const Segments segments = segmentsOf(*info);
    CachedImage listed{info->dlpi_addr, info->dlpi_addr + segments.lowestLoad,
                       segments.textEnd != 0 ? info->dlpi_addr + segments.textEnd : 0, nullptr};
    for (const CachedImage& known : search.before) {
      if (known.base == listed.base && known.textStart == listed.textStart &&
          known.textEnd == listed.textEnd) {
        listed.read = known.read;
      }
    }
    cache.images.push_back(std::move(listed));
  }
  if (at >= cache.images.size()) return 1;  // cannot happen while the counts hold
  CachedImage& image = cache.images[at];
  if (image.read != nullptr || image.textEnd == 0) return 0;
  if (!holdsAny(search.addresses, image.textStart, image.textEnd)) return 0;
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  image.read = std::make_shared<const LoadedImage>(
      LoadedImage{name, buildIdOf(*info), image.base, image.textStart, image.textEnd});
  return 0;
}

}  // namespace

const MainImage& mainImage() {
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

std::vector<std::shared_ptr<const LoadedImage>> imagesHolding(
    std::span<const std::uint64_t> addresses) {
  // Never destroyed: the library's threads may still report while the process exits.
  static const auto* main = new std::shared_ptr<const LoadedImage>([] {
    const MainImage& image = mainImage();
    return std::make_shared<const LoadedImage>(
        LoadedImage{executablePath(), image.buildId, image.slide, image.textStart, image.textEnd});
  }());
  std::vector<std::shared_ptr<const LoadedImage>> images;
  // A stack seldom runs through more than a few images: one allocation for all of them.
  images.reserve(4);
  images.push_back(*main);
  // Sorted, so that each image is one search; a walked stack fits the array.
  std::array<std::uint64_t, kSortedOnStack> onStack;
  std::vector<std::uint64_t> onHeap;
  std::span<std::uint64_t> sorted;
  if (addresses.size() <= onStack.size()) {
    sorted = std::span(onStack).first(addresses.size());
  } else {
    onHeap.resize(addresses.size());
    sorted = onHeap;
  }
  std::copy(addresses.begin(), addresses.end(), sorted.begin());
  std::sort(sorted.begin(), sorted.end());
  addresses = sorted;
  ImageCache& cache = imageCache();
  std::lock_guard guard(cache.lock);
  HoldingSearch search{addresses, cache, false, 0, {}};
  dl_iterate_phdr(collectHolding, &search);
  for (const CachedImage& image : cache.images) {
    if (image.read != nullptr && holdsAny(addresses, image.textStart, image.textEnd)) {
      images.push_back(image.read);
    }
  }
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
