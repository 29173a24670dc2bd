#include "crash/stack_format.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <unwind.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>

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

// The images of the C++ runtime and the unwinder (and of a sanitizer that wraps the runtime's
// throw), never the image this code lies in: a runtime linked into the program cannot be told
// apart from the program by image, so its frames are then kept.
const std::vector<std::uint64_t>& runtimeImages() {
  static const auto* images = new std::vector<std::uint64_t>([] {
    const auto own = platform::imageHolding(reinterpret_cast<std::uintptr_t>(&runtimeImages));
    std::vector<std::uint64_t> found;
    for (const void* function : {reinterpret_cast<const void*>(&std::terminate),
                                 reinterpret_cast<const void*>(&abi::__cxa_throw),
                                 reinterpret_cast<const void*>(&abi::__cxa_rethrow),
                                 reinterpret_cast<const void*>(&_Unwind_RaiseException)}) {
      const auto image = platform::imageHolding(reinterpret_cast<std::uintptr_t>(function));
      if (image && image != own) found.push_back(*image);
    }
    return found;
  }());
  return *images;
}

bool inRuntime(std::uint64_t address) {
  const auto image = platform::imageHolding(address);
  const auto& runtime = runtimeImages();
  return image && std::find(runtime.begin(), runtime.end(), *image) != runtime.end();
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

std::vector<std::uint64_t> throwingFrames(std::span<const std::uint64_t> stack,
                                          std::uint64_t handlerReturn) {
  const auto handler = std::find(stack.begin(), stack.end(), handlerReturn);
  if (handler == stack.end()) return {stack.begin(), stack.end()};
  const auto machinery = handler + 1;
  const auto thrower = std::find_if_not(machinery, stack.end(), inRuntime);
  // A stack of nothing but the runtime keeps what it has rather than become empty.
  return {thrower != stack.end() ? thrower : machinery, stack.end()};
}

}  // namespace quillstone::crash
