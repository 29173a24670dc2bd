#include "transport/pending_crashes.hpp"

#include "platform/files.hpp"
#include "transport/log_messages.hpp"

namespace quillstone::transport {
namespace {

constexpr std::string_view kCrashFileExtension = "json";

// The name's extension as a path sees it: after the last dot, when the dot does not start the
// name.
bool hasCrashFileExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == kCrashFileExtension;
}

}  // namespace

void uploadPendingCrashes(const std::string& directory, const Delivery& delivery, const Url& server,
                          platform::Log& log) {
  for (const std::string& name : platform::listDirectory(directory)) {
    if (!hasCrashFileExtension(name)) continue;
    std::string path = directory + "/" + name;
    auto bytes = platform::readFile(path);
    if (!bytes) continue;
    std::string body = *bytes;
    delivery.post(
        server, std::move(body),
        [&log, path, name, sent = std::move(*bytes)](bool success) {
          // Runs on the HTTP session's thread.
          if (!success) {
            log.write(std::string(kLogCrashUploadFailed) + name);
            return;
          }
          // A crash written meanwhile under the same name (another instance of the app)
          // has not been sent; it stays for the next upload.
          if (platform::readFile(path) == sent) platform::removeFile(path);
          log.write(std::string(kLogCrashUploaded) + name);
        },
        Waiting::kept);
  }
}

}  // namespace quillstone::transport
