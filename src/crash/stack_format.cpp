#include "crash/stack_format.hpp"

#include <cxxabi.h>
#include <unwind.h>

#include <algorithm>
#include <exception>
#include <optional>

#include "base/digits.hpp"
#include "base/json_text.hpp"
#include "platform/frame_walk.hpp"
#include "platform/loader.hpp"

namespace quillstone::crash {
namespace {

constexpr std::size_t kIndexWidth = 3;
constexpr std::size_t kHexWidth = 16;
constexpr std::string_view kNameGap = "   0x";

// Written by hand rather than with snprintf: formatting was a third of an error report's cost.
void appendLine(std::string& out, std::size_t index, std::string_view imageName,
                std::uint64_t address) {
  char decimal[base::kMaxDecimalDigits];
  const std::string_view number = base::decimalDigits(index, decimal);
  out.append(number);
  // Left-aligned in a column of three, then one space.
  out.append(number.size() < kIndexWidth ? kIndexWidth - number.size() + 1 : 1, ' ');
  out.append(imageName);
  out.append(kNameGap);
  char hex[kHexWidth];
  for (std::size_t i = kHexWidth; i-- > 0; address >>= 4) hex[i] = base::kHexDigits[address & 0xF];
  out.append(hex, kHexWidth);
}

// What backtrace() collects, by the same rules, without the C library's indirection: the first
// frame (the walk's own caller) is passed over, a frame that repeats the one before it at the
// same stack address ends the walk, and so does the array's end.
struct Walk {
  std::uint64_t* frames;
  int size;
  int count = -1;
  std::uint64_t cfa = 0;
};

// Whether the walk goes on after the frame at `address` whose stack pointer is `cfa`.
bool takeFrame(Walk& walk, std::uint64_t address, std::uint64_t cfa) {
  if (walk.count != -1) {
    walk.frames[walk.count] = address;
    if (walk.count > 0 && walk.frames[walk.count - 1] == address && cfa == walk.cfa) return false;
    walk.cfa = cfa;
  }
  return ++walk.count != walk.size;
}

bool takeWalkedFrame(void* argument, std::uint64_t address, std::uint64_t cfa) {
  return takeFrame(*static_cast<Walk*>(argument), address, cfa);
}

_Unwind_Reason_Code walkFrame(_Unwind_Context* context, void* argument) {
  const bool more =
      takeFrame(*static_cast<Walk*>(argument), _Unwind_GetIP(context), _Unwind_GetCFA(context));
  return more ? _URC_NO_REASON : _URC_END_OF_STACK;
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
                        std::string_view imageName, std::string_view separator) {
  std::string text;
  text.reserve(addresses.size() * (imageName.size() + 26));
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (i != 0) text += separator;
    const std::uint64_t address = addresses[i];
    // Addresses of other images are shifted by the main program's slide too: a symbolicator
    // that knows the images can undo it, and the text stays one simple rule.
    appendLine(text, i, imageName, address >= slide ? address - slide : address);
  }
  return text;
}

std::string normalize(std::span<const std::uint64_t> addresses) {
  const platform::MainImage& image = platform::mainImage();
  return formatStack(addresses, image.slide, image.name);
}

std::string normalizeAsJson(std::span<const std::uint64_t> addresses) {
  const platform::MainImage& image = platform::mainImage();
  // The lines' other bytes need no escape: only the name does, the same in every line.
  // Never destroyed: the library's threads may still report while the process exits.
  static const auto* escapedName = new std::string([&image] {
    std::string name;
    base::appendJsonEscaped(name, image.name, base::InvalidUtf8::likeJsonLibrary);
    return name;
  }());
  std::string text = formatStack(addresses, image.slide, *escapedName, "\\n");
  text.insert(text.begin(), '"');
  text += '"';
  return text;
}

// Kept out of line so that the frame the walk passes over is always its own.
__attribute__((noinline)) ReturnAddresses currentReturnAddresses() {
  // backtrace() was given kMaxFrames and called from here, and this frame was then dropped.
  ReturnAddresses addresses;
  Walk walk{addresses.frames.data(), kMaxFrames - 1};
  // The rules remembered from earlier walks give the same frames at a fraction of the cost; a
  // stack they cannot follow is walked again by the unwinder.
  if (!platform::walkFramesWithCachedRules(takeWalkedFrame, &walk)) {
    walk = Walk{addresses.frames.data(), kMaxFrames - 1};
    _Unwind_Backtrace(walkFrame, &walk);
  }
  int count = walk.count != -1 ? walk.count : 0;
  // The unwinder reports a null address above the outermost frame.
  if (count > 0 && addresses.frames[static_cast<std::size_t>(count) - 1] == 0) --count;
  addresses.count = static_cast<std::size_t>(count);
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
