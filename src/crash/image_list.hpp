// The "images" member of crash files and error reports: where each image that a stack's frames
// fall into was loaded and which file it was, so that every frame can still be mapped to a file
// and symbolicated after the process has gone. The main program is always listed first, since
// stack text gives every address relative to its load bias.
//
// Each entry is {"base":"0x…","buildId":"…","path":"…","size":N}: the load bias, the whole GNU
// build-id in lower-case hexadecimal ("" without one), the file as the loader knows it (the
// executable's path for the main program) and the bytes from the lowest loadable segment to the
// end of the text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillstone::crash {

// The JSON array for a stack's return addresses (runtime addresses, innermost first).
std::string imageListJson(std::span<const std::uint64_t> addresses);

// Readies the crash handler's list: renders the main program's entry once and finds the loader's
// list of images. Called with every preparation of the crash slot, before it is published.
void prepareImageList();

// Async-signal-safe: remembers an address outside the main program that the crash file's stack
// holds, so that writeImageList lists its image. Called by the thread that writes the file.
void noteForeignFrame(std::uint64_t address) noexcept;

// Async-signal-safe: writes `,"images":[…]` to `fd`, listing the main program and each image
// that holds a noted address, as the loader's list has them at the time of the crash. An image
// that cannot be read ends the list early; the member itself is always complete.
void writeImageList(int fd) noexcept;

}  // namespace quillstone::crash
