#include "integrity/integrity.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <memory>

namespace quillstone::integrity {
namespace {

// Injection toolkits that load themselves as a shared library into the target process.
constexpr std::array<std::string_view, 2> kHookToolkits = {"frida", "substrate"};

std::string_view fileNameOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string fileSha256(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return {};
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  std::array<unsigned char, 65536> buffer;
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    if (EVP_DigestUpdate(context.get(), buffer.data(), got) != 1) return {};
  }
  if (std::ferror(file.get())) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

bool hasTracer(std::string_view procStatus) {
  constexpr std::string_view kField = "TracerPid:";
  const auto at = procStatus.find(kField);
  if (at == std::string_view::npos) return false;
  for (std::size_t i = at + kField.size(); i < procStatus.size() && procStatus[i] != '\n'; ++i) {
    const char c = procStatus[i];
    if (c >= '1' && c <= '9') return true;
  }
  return false;
}

std::string hookFrameworkFrom(std::string_view ldPreload,
                              const std::vector<std::string>& mappedLibraries) {
  const auto start = ldPreload.find_first_not_of(" :");
  if (start != std::string_view::npos) {
    const auto end = ldPreload.find_first_of(" :", start);
    return std::string(fileNameOf(ldPreload.substr(start, end - start)));
  }
  for (const auto& library : mappedLibraries) {
    const std::string_view name = fileNameOf(library);
    for (const auto toolkit : kHookToolkits) {
      if (name.find(toolkit) != std::string_view::npos) return std::string(name);
    }
  }
  return {};
}

}  // namespace quillstone::integrity
