#include "crash/image_list.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/digits.hpp"
#include "base/json_text.hpp"
#include "platform/bundle.hpp"
#include "platform/loader.hpp"
#include "platform/signal_safe_io.hpp"

namespace quillstone::crash {
namespace {

constexpr std::string_view kBaseKey = "{\"base\":\"";
constexpr std::string_view kBuildIdKey = "\",\"buildId\":\"";
constexpr std::string_view kPathKey = "\",\"path\":\"";
constexpr std::string_view kSizeKey = "\",\"size\":";
constexpr std::string_view kEntryEnd = "}";
constexpr std::string_view kListStart = ",\"images\":[";
constexpr std::string_view kListEnd = "]";
using base::kHexDigits;

// A path longer than this is cut (at a whole character) in the crash handler's list.
constexpr std::size_t kMaxEscapedPath = 1024;
constexpr std::size_t kMaxBuildIdHex = 512;
constexpr std::size_t kEntryCapacity = 2048;
// The handler's stack has at most this many frames outside the main program worth listing.
constexpr std::size_t kMaxNotedFrames = 128;
// Room for an entry with a SHA-1 build-id and a path of a hundred bytes.
constexpr std::size_t kTypicalEntryBytes = 200;

// Async-signal-safe: one entry rendered into a fixed buffer on the caller's stack.
struct Entry {
  char bytes[kEntryCapacity];
  std::size_t length = 0;

  void append(std::string_view text) noexcept {
    const std::size_t count = std::min(text.size(), sizeof bytes - length);
    std::memcpy(bytes + length, text.data(), count);
    length += count;
  }

  void appendHex(std::uint64_t value) noexcept {
    char digits[base::kMaxHexDigits];
    append("0x");
    append(base::hexDigits(value, digits));
  }

  void appendDecimal(std::uint64_t value) noexcept {
    char digits[base::kMaxDecimalDigits];
    append(base::decimalDigits(value, digits));
  }

  void appendBytesHex(const std::uint8_t* data, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size && 2 * i < kMaxBuildIdHex; ++i) {
      const char pair[2] = {kHexDigits[data[i] >> 4], kHexDigits[data[i] & 0xF]};
      append({pair, 2});
    }
  }

  void appendEscaped(std::string_view text) noexcept {
    const std::size_t room = std::min(kMaxEscapedPath, sizeof bytes - length);
    length += base::escapeJsonInto(text, bytes + length, room, base::InvalidUtf8::eachByte).written;
  }

  // The room is sized for the longest entry, so the end always fits.
  void appendImage(const platform::MappedImage& image) noexcept {
    append(kBaseKey);
    appendHex(image.base);
    append(kBuildIdKey);
    appendBytesHex(image.buildId, image.buildIdSize);
    append(kPathKey);
    appendEscaped(image.path);
    append(kSizeKey);
    appendDecimal(image.textEnd - image.textStart);
    append(kEntryEnd);
  }
};
static_assert(kEntryCapacity > kBaseKey.size() + 18 + kBuildIdKey.size() + kMaxBuildIdHex +
                                   kPathKey.size() + kMaxEscapedPath + kSizeKey.size() + 20 +
                                   kEntryEnd.size() + 1);

// The main program's entry, rendered once before any crash; it never changes.
Entry mainEntry;
std::atomic<bool> mainEntryReady{false};

// Written and read only by the one thread that writes the crash file.
std::uint64_t notedFrames[kMaxNotedFrames];
std::size_t notedCount = 0;

using platform::writeAll;

// Async-signal-safe: writes an entry for each wanted image, each after a comma.
struct ListWriter {
  int fd;
  std::size_t listed = 0;

  static bool wants(void* context, std::uint64_t textStart, std::uint64_t textEnd) noexcept {
    (void)context;
    for (std::size_t i = 0; i < notedCount; ++i) {
      if (textStart <= notedFrames[i] && notedFrames[i] < textEnd) return true;
    }
    return false;
  }

  static bool visit(void* context, const platform::MappedImage& image) noexcept {
    auto& writer = *static_cast<ListWriter*>(context);
    Entry entry;
    entry.append(",");
    entry.appendImage(image);
    writeAll(writer.fd, entry.bytes, entry.length);
    // No more images can hold a frame than there are frames.
    return ++writer.listed < notedCount;
  }
};

// Each entry as the JSON writer would write it, straight into the list: one buffer for the
// whole member rather than one per entry and per field.
void appendEntry(std::string& list, const platform::LoadedImage& image) {
  char digits[base::kMaxHexDigits];
  list += R"({"base":"0x)";
  list += base::hexDigits(image.base, digits);
  list += R"(","buildId":")";
  for (const std::uint8_t byte : image.buildId) {
    (list += kHexDigits[byte >> 4]) += kHexDigits[byte & 0xF];
  }
  list += R"(","path":)";
  base::appendJsonString(list, image.path);
  list += R"(,"size":)";
  base::appendJsonNumber(list, static_cast<std::int64_t>(image.textEnd - image.textStart));
  list += '}';
}

// Entries a thread has rendered, kept while it reports: a stack runs through the same few images
// report after report, and rendering an entry (its build-id in hex, its path escaped) was most of
// the list's cost. The hold on each image keeps its address from passing to another image while
// its entry is kept. Per thread, so reporting threads share no lock.
struct RenderedEntry {
  std::shared_ptr<const platform::LoadedImage> image;
  std::string json;
};
constexpr std::size_t kMaxRenderedEntries = 16;

// Valid until the calling thread's next call.
const std::string& entryOf(const std::shared_ptr<const platform::LoadedImage>& image) {
  thread_local std::vector<RenderedEntry> rendered;
  for (const RenderedEntry& entry : rendered) {
    if (entry.image == image) return entry.json;
  }
  // Images come and go only with a library loaded or unloaded: starting over is rare and cheap.
  if (rendered.size() == kMaxRenderedEntries) rendered.clear();
  std::string json;
  appendEntry(json, *image);
  rendered.push_back({image, std::move(json)});
  return rendered.back().json;
}

}  // namespace

std::string imageListJson(std::span<const std::uint64_t> addresses) {
  const auto images = platform::imagesHolding(addresses);
  std::string list;
  list.reserve(images.size() * kTypicalEntryBytes);
  list += '[';
  for (const auto& image : images) {
    if (list.size() > 1) list += ',';
    list += entryOf(image);
  }
  list += ']';
  return list;
}

void prepareImageList() {
  platform::prepareImageWalk();
  if (mainEntryReady.load()) return;
  static const bool rendered = [] {
    const platform::MainImage& main = platform::mainImage();
    const std::string path = platform::executablePath();
    mainEntry.appendImage({path.c_str(), main.slide, main.textStart, main.textEnd,
                           main.buildId.data(), main.buildId.size()});
    mainEntryReady.store(true);
    return true;
  }();
  (void)rendered;
}

void noteForeignFrame(std::uint64_t address) noexcept {
  if (notedCount < kMaxNotedFrames) notedFrames[notedCount++] = address;
}

void writeImageList(int fd) noexcept {
  writeAll(fd, kListStart);
  // Never unready once a crash slot was published; the other entries follow it after commas.
  if (mainEntryReady.load()) {
    writeAll(fd, mainEntry.bytes, mainEntry.length);
    ListWriter writer{fd};
    if (notedCount > 0) {
      platform::walkMappedImages({&writer, &ListWriter::wants, &ListWriter::visit});
    }
  }
  writeAll(fd, kListEnd);
}

}  // namespace quillstone::crash
