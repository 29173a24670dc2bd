// Stack text from arbitrary addresses, slides and image names: one well-formed line per address.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <quillstone/quillstone.hpp>

#include "crash/stack_format.hpp"

namespace {

constexpr std::size_t kMaxAddresses = 300;
constexpr std::size_t kHexDigits = 16;

std::size_t countLines(const std::string& text) {
  if (text.empty()) return 0;
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint64_t slide = input.ConsumeIntegral<std::uint64_t>();
  // Image names never hold a line break: they come from the file name of the executable.
  std::string image = input.ConsumeRandomLengthString(64);
  for (char& c : image) c = c == '\n' ? '_' : c;
  std::vector<std::uint64_t> addresses;
  while (input.remaining_bytes() >= sizeof(std::uint64_t) && addresses.size() < kMaxAddresses) {
    addresses.push_back(input.ConsumeIntegral<std::uint64_t>());
  }

  const std::string text = quillstone::crash::formatStack(addresses, slide, image);
  if (countLines(text) != addresses.size()) std::abort();
  std::size_t start = 0;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    const std::uint64_t expected = addresses[i] >= slide ? addresses[i] - slide : addresses[i];
    const std::string hex = line.substr(line.size() - kHexDigits);
    if (std::stoull(line) != i || std::stoull(hex, nullptr, 16) != expected) std::abort();
    if (line.find(image) == std::string::npos) std::abort();
    start = end + 1;
  }

  // The public call uses the running program's own slide and name.
  const std::string normalized = quillstone::Quillstone::shared().normalize(addresses);
  if (countLines(normalized) != addresses.size()) std::abort();
  return 0;
}
