// The crash-time walk over the dynamic loader's list of images (its r_debug link map). It runs in
// a signal handler, possibly on a broken heap that the list lives on, so every byte of it is read
// through process_vm_readv on this process: a bad pointer then fails the read instead of
// faulting, and the walk ends where the list stops making sense.
#include <elf.h>
#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/loader.hpp"

namespace quillstone::platform {
namespace {

constexpr int kMaxEntries = 4096;  // a list longer than this is taken to be a broken one
constexpr int kMaxProgramHeaders = 64;
constexpr int kMaxNotes = 64;  // notes looked at per note segment
constexpr std::size_t kMaxPathBytes = 1024;
constexpr std::size_t kMaxBuildIdBytes = 256;
constexpr std::uint64_t kPageSize = 4096;  // the smallest page: reads never cross one needlessly
constexpr char kGnuNoteName[] = "GNU";

std::atomic<const r_debug*> loaderDebug{nullptr};

// Async-signal-safe: copies `size` bytes of this process at `address`; false, without faulting,
// when any of them is not readable.
bool readMemory(std::uint64_t address, void* out, std::size_t size) noexcept {
  if (size == 0) return true;
  if (address == 0) return false;
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// Async-signal-safe: the NUL-terminated text at `address`, cut to fit `out`; "" when unreadable.
void readText(std::uint64_t address, char (&out)[kMaxPathBytes]) noexcept {
  std::size_t length = 0;
  while (length < sizeof out - 1) {
    // Up to the end of the page only, so a text that ends just before an unmapped page reads.
    const std::uint64_t at = address + length;
    const std::size_t room = sizeof out - 1 - length;
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(room, kPageSize - at % kPageSize));
    if (!readMemory(at, out + length, chunk)) break;
    const void* end = std::memchr(out + length, '\0', chunk);
    if (end != nullptr) return;
    length += chunk;
  }
  out[length] = '\0';
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Async-signal-safe: the GNU build-id in one note segment; 0 when there is none.
std::size_t readBuildId(std::uint64_t notes, std::uint64_t size, std::uint64_t alignment,
                        std::uint8_t (&out)[kMaxBuildIdBytes]) noexcept {
  std::uint64_t offset = 0;
  for (int i = 0; i < kMaxNotes && offset < size && size - offset >= sizeof(ElfW(Nhdr)); ++i) {
    ElfW(Nhdr) header;
    if (!readMemory(notes + offset, &header, sizeof header)) return 0;
    const std::uint64_t nameOffset = offset + sizeof header;
    const std::uint64_t descOffset = nameOffset + alignUp(header.n_namesz, alignment);
    if (descOffset > size || header.n_descsz > size - descOffset) return 0;
    char name[sizeof kGnuNoteName];
    if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == sizeof kGnuNoteName &&
        readMemory(notes + nameOffset, name, sizeof name) &&
        std::memcmp(name, kGnuNoteName, sizeof name) == 0) {
      if (header.n_descsz > sizeof out)
        return 0;  // no room for the whole id: none rather than part
      return readMemory(notes + descOffset, out, header.n_descsz) ? header.n_descsz : 0;
    }
    offset = descOffset + alignUp(header.n_descsz, alignment);
  }
  return 0;
}

struct Headers {
  ElfW(Phdr) segments[kMaxProgramHeaders];
  int count = 0;
};

// Async-signal-safe: the program headers of the image whose ELF header is mapped at `header`
// (its first loadable segment starts at link-time address 0, as a shared object's does).
bool readHeaders(std::uint64_t header, Headers& out) noexcept {
  ElfW(Ehdr) elf;
  if (!readMemory(header, &elf, sizeof elf)) return false;
  if (std::memcmp(elf.e_ident, ELFMAG, SELFMAG) != 0 || elf.e_ident[EI_CLASS] != ELFCLASS64 ||
      elf.e_phentsize != sizeof(ElfW(Phdr)) || elf.e_phnum > kMaxProgramHeaders) {
    return false;
  }
  out.count = elf.e_phnum;
  return readMemory(header + elf.e_phoff, out.segments, sizeof(ElfW(Phdr)) * elf.e_phnum);
}

// Async-signal-safe: reads one entry's image and offers it to the visitor; false ends the walk.
bool offer(const link_map& entry, const MappedImageVisitor& visitor) noexcept {
  static_assert(sizeof(ElfW(Addr)) == sizeof(std::uint64_t));
  const std::uint64_t base = entry.l_addr;
  Headers headers;
  if (!readHeaders(base, headers)) return true;  // not laid out as expected: skip this image
  bool haveLoad = false;
  std::uint64_t lowestLoad = 0;
  std::uint64_t textEnd = 0;
  for (int i = 0; i < headers.count; ++i) {
    const ElfW(Phdr)& segment = headers.segments[i];
    if (segment.p_type != PT_LOAD) continue;
    if (!haveLoad || segment.p_vaddr < lowestLoad) lowestLoad = segment.p_vaddr;
    haveLoad = true;
    if ((segment.p_flags & PF_X) != 0 && segment.p_vaddr + segment.p_memsz > textEnd) {
      textEnd = segment.p_vaddr + segment.p_memsz;
    }
  }
  if (textEnd == 0 || !visitor.wants(visitor.context, base + lowestLoad, base + textEnd))
    return true;

  char path[kMaxPathBytes];
  readText(reinterpret_cast<std::uintptr_t>(entry.l_name), path);
  std::uint8_t buildId[kMaxBuildIdBytes];
  std::size_t buildIdSize = 0;
  for (int i = 0; i < headers.count && buildIdSize == 0; ++i) {
    const ElfW(Phdr)& segment = headers.segments[i];
    if (segment.p_type != PT_NOTE) continue;
    buildIdSize = readBuildId(base + segment.p_vaddr, segment.p_filesz,
                              segment.p_align == 8 ? 8 : 4, buildId);
  }
  return visitor.visit(visitor.context,
                       {path, base, base + lowestLoad, base + textEnd, buildId, buildIdSize});
}

// The loader's record of its list, from the main program's DT_DEBUG entry. The `_r_debug`
// symbol is no substitute: a position-independent program that names it gets a copy of it that
// the loader never updates.
int findLoaderDebug(dl_phdr_info* info, std::size_t, void* out) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
    const auto* dynamic =
        reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    for (; dynamic->d_tag != DT_NULL; ++dynamic) {
      if (dynamic->d_tag == DT_DEBUG) {
        *static_cast<const r_debug**>(out) = reinterpret_cast<const r_debug*>(dynamic->d_un.d_ptr);
      }
    }
  }
  return 1;  // the main program comes first
}

}  // namespace

void prepareImageWalk() {
  if (loaderDebug.load() != nullptr) return;
  const r_debug* debug = nullptr;
  dl_iterate_phdr(findLoaderDebug, &debug);
  loaderDebug.store(debug);
}

void walkMappedImages(const MappedImageVisitor& visitor) noexcept {
  const r_debug* where = loaderDebug.load();
  if (where == nullptr) return;
  r_debug debug;
  if (!readMemory(reinterpret_cast<std::uintptr_t>(where), &debug, sizeof debug)) return;
  // In the middle of a dlopen or dlclose the list may be half linked.
  if (debug.r_version < 1 || debug.r_state != r_debug::RT_CONSISTENT) return;
  std::uint64_t next = reinterpret_cast<std::uintptr_t>(debug.r_map);
  for (int index = 0; index < kMaxEntries && next != 0; ++index) {
    link_map entry;
    if (!readMemory(next, &entry, sizeof entry)) return;
    // The first entry, with an empty name, is the main program.
    if (index != 0 && !offer(entry, visitor)) return;
    next = reinterpret_cast<std::uintptr_t>(entry.l_next);
  }
}

}  // namespace quillstone::platform
