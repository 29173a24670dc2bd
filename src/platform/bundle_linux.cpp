#include <unistd.h>

#include <climits>

#include "platform/bundle.hpp"
#include "platform/files.hpp"

namespace quillstone::platform {
namespace {

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string readExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

std::string executablePath() {
  // The executable behind a running process never changes; every log line and every path the
  // library resolves would otherwise cost a system call.
  // Never destroyed: the library's threads may still resolve paths while the process exits.
  static const std::string* path = new std::string(readExecutablePath());
  return *path;
}

std::string executableName() {
  const std::string path = executablePath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

nlohmann::json infoDictionary() {
  const std::string path = executablePath();
  if (path.empty()) return nlohmann::json::object();
  const auto text = readFile(directoryOf(path) + "/Info.json");
  if (!text) return nlohmann::json::object();
  auto info = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  return info.is_object() ? info : nlohmann::json::object();
}

std::optional<std::string> bundleIdentifier() {
  const auto info = infoDictionary();
  const auto it = info.find("CFBundleIdentifier");
  if (it == info.end() || !it->is_string()) return std::nullopt;
  auto identifier = it->get<std::string>();
  if (identifier.empty()) return std::nullopt;
  return identifier;
}

std::string appName() {
  // The bundle is read once, like its executable: the name of the app's directories must not
  // change under a running process, and resolving a path must not cost a file read.
  static const std::string* name = new std::string([] {
    // The name becomes a directory name: an identifier that would leave its parent is not used.
    auto identifier = bundleIdentifier();
    if (identifier && identifier->find('/') == std::string::npos && *identifier != "." &&
        *identifier != "..") {
      return *identifier;
    }
    return executableName();
  }());
  return *name;
}

}  // namespace quillstone::platform
