// Where crash files wait for their upload.
#pragma once

#include <string>

namespace quillstone::crash {

// The private crash directory, <caches>/quillstone, created (0700) on every call. The path is
// returned even when the directory could not be created.
std::string crashDirectory();

}  // namespace quillstone::crash
