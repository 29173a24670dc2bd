// The dynamic loader's view of the main program (image 0).
#pragma once

#include <cstdint>
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

// The main program's image as the loader mapped it; read once, as it never changes.
MainImage mainImage();

}  // namespace quillstone::platform
