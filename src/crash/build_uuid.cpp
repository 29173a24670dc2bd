#include "crash/build_uuid.hpp"

#include "platform/loader.hpp"

namespace quillstone::crash {
namespace {

constexpr std::size_t kUuidBytes = 16;

bool hyphenBefore(std::size_t byteIndex) {
  return byteIndex == 4 || byteIndex == 6 || byteIndex == 8 || byteIndex == 10;
}

}  // namespace

std::string formatBuildUuid(std::span<const std::uint8_t> buildId) {
  if (buildId.size() < kUuidBytes) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < kUuidBytes; ++i) {
    if (hyphenBefore(i)) text += '-';
    text += kHex[buildId[i] >> 4];
    text += kHex[buildId[i] & 0x0F];
  }
  return text;
}

const std::string& imageUUID() {
  // Never destroyed: the library's threads may still report while the process exits.
  static const std::string* uuid = new std::string(formatBuildUuid(platform::mainImage().buildId));
  return *uuid;
}

}  // namespace quillstone::crash
