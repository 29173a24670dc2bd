// One ELF file of the program a report came from, and what its debug information says about an
// address in it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillstone::symbolicate {

// One function on the way to an address: the innermost comes first, and every entry marked
// `inlined` was inlined into the one after it.
struct SourceFrame {
  std::string function;  // demangled; "" when unknown
  std::string file;      // "" when unknown
  int line = 0;          // 0 when unknown
  bool inlined = false;
};

// The build-id's first sixteen bytes as upper-case 8-4-4-4-12 text, the way reports carry it;
// "" for a build-id shorter than that.
std::string buildUuidText(const std::vector<std::uint8_t>& buildId);

class ElfImage {
 public:
  // Reads `path`; its debug information comes from the file itself or, when it has been
  // stripped, from `debugDirs` (DIR/.build-id/xx/rest.debug) or the system's usual places.
  // nullptr, with `error` set, when the file cannot be read as ELF.
  static std::unique_ptr<ElfImage> open(const std::string& path,
                                        const std::vector<std::string>& debugDirs,
                                        std::string& error);
  ~ElfImage();
  ElfImage(const ElfImage&) = delete;
  ElfImage& operator=(const ElfImage&) = delete;

  const std::string& path() const;
  const std::vector<std::uint8_t>& buildId() const;  // empty when the file has none
  std::string buildUuid() const { return buildUuidText(buildId()); }
  // The whole build-id in lower-case hexadecimal, as a report's image list carries it.
  std::string buildIdHex() const;

  // Whether a link-time address lies in the program's text, the range the library tests
  // before it attributes an address to the main program.
  bool containsText(std::uint64_t address) const;
  // The link-time address of the lowest loadable segment, where an image's listed size counts
  // from.
  std::uint64_t loadStart() const;

  // Whether the code at a link-time address is the kernel's signal return (rt_sigreturn): a
  // signal handler returns there, so the frame after it in a stack is the interrupted
  // instruction itself rather than a return address.
  bool isSignalReturn(std::uint64_t address) const;

  // The functions at a link-time address, innermost first; empty when nothing is known.
  std::vector<SourceFrame> resolve(std::uint64_t address) const;

 private:
  struct State;
  explicit ElfImage(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace quillstone::symbolicate
