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

// Reads the main program's image from the loader on every call.
MainImage mainImage();

}  // namespace quillstone::platform
