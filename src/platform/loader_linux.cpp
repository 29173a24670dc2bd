#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>

#include "platform/bundle.hpp"
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

int readFirstImage(dl_phdr_info* info, std::size_t, void* out) {
  auto& image = *static_cast<MainImage*>(out);
  image.slide = info->dlpi_addr;
  bool haveLoad = false;
  std::uint64_t lowestLoad = 0;
  std::uint64_t textEnd = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      if (!haveLoad || segment.p_vaddr < lowestLoad) lowestLoad = segment.p_vaddr;
      haveLoad = true;
      if ((segment.p_flags & PF_X) != 0) {
        textEnd = std::max<std::uint64_t>(textEnd, segment.p_vaddr + segment.p_memsz);
      }
    } else if (segment.p_type == PT_NOTE && image.buildId.empty()) {
      const auto alignment = segment.p_align == 8 ? 8u : 4u;
      findBuildId(reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + segment.p_vaddr),
                  segment.p_filesz, alignment, image.buildId);
    }
  }
  image.textStart = info->dlpi_addr + lowestLoad;
  image.textEnd = textEnd != 0 ? info->dlpi_addr + textEnd : image.textStart + kFallbackTextSize;
  return 1;  // the loader lists the main program first; nothing else is wanted
}

}  // namespace

MainImage mainImage() {
  // The main program is mapped once, before any of our code runs, and never moves or unloads:
  // reading it once spares every report and every crash-slot rendering the loader's lock and a
  // walk over its headers.
  static const MainImage image = [] {
    MainImage read;
    dl_iterate_phdr(readFirstImage, &read);
    read.name = executableName();
    return read;
  }();
  return image;
}

}  // namespace quillstone::platform
