#include "crash/stack_format.hpp"

#include <execinfo.h>

#include <cstdio>

#include "platform/loader.hpp"

namespace quillstone::crash {
namespace {

// Deep enough for any realistic host stack; backtrace cuts longer ones.
constexpr int kMaxFrames = 256;
constexpr int kIndexWidth = 3;
constexpr std::string_view kNameGap = "   0x";

void appendLine(std::string& out, std::size_t index, std::string_view imageName,
                std::uint64_t address) {
  char number[24];
  const int length = std::snprintf(number, sizeof number, "%-*zu ", kIndexWidth, index);
  out.append(number, static_cast<std::size_t>(length));
  out.append(imageName);
  out.append(kNameGap);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(address));
  out.append(hex, 16);
}

}  // namespace

std::string formatStack(std::span<const std::uint64_t> addresses, std::uint64_t slide,
                        std::string_view imageName) {
  std::string text;
  text.reserve(addresses.size() * (imageName.size() + 26));
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (i != 0) text += '\n';
    const std::uint64_t address = addresses[i];
    // Addresses of other images are shifted by the main program's slide too: a symbolicator
    // that knows the images can undo it, and the text stays one simple rule.
    appendLine(text, i, imageName, address >= slide ? address - slide : address);
  }
  return text;
}

std::string normalize(std::span<const std::uint64_t> addresses) {
  const platform::MainImage image = platform::mainImage();
  return formatStack(addresses, image.slide, image.name);
}

// Kept out of line so that the first frame it drops is always its own.
__attribute__((noinline)) std::vector<std::uint64_t> currentReturnAddresses() {
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  std::vector<std::uint64_t> addresses;
  if (count <= 1) return addresses;
  addresses.reserve(static_cast<std::size_t>(count - 1));
  for (int i = 1; i < count; ++i) {
    addresses.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
  }
  return addresses;
}

}  // namespace quillstone::crash
