// defaults.json may have been left by anything: an older build, a full disk, a hand edit. Loading
// it never fails the host, and the next change replaces it with a parseable file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/defaults_store.hpp"
#include "platform/files.hpp"

namespace {

using namespace quillstone::platform;

const std::string& scratchFile() {
  static const std::string path = [] {
    // In memory when possible: every store is fsynced, which on a disk costs more than the run.
    const bool shm = access("/dev/shm", W_OK) == 0;
    std::string directory = std::string(shm ? "/dev/shm" : "/tmp") + "/qs-fuzz-defaults-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) std::abort();
    static std::string scratch = directory;
    std::atexit([] { std::filesystem::remove_all(scratch); });
    return directory + "/defaults.json";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = scratchFile();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!writeFileAtomically(path, bytes, 0600)) std::abort();

  const auto original = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  {
    FileDefaultsStore store(path);
    const auto found = store.value("qs_device_id");
    // What was there is what the store reads, when the file held an object.
    if (original.is_object() && original.contains("qs_device_id") &&
        found != original["qs_device_id"]) {
      std::abort();
    }
    (void)store.string("quillstone_attrib_result");
    (void)store.boolean("quillstone_attrib_done");
    store.setValue("quillstone_attrib_done", true);
    (void)store.stringOrInsert("qs_device_id", "ID");
  }
  // After a change the file is an object holding the change, and nothing else is lost.
  const auto rewritten = readFile(path);
  if (!rewritten) std::abort();
  const auto json = nlohmann::json::parse(*rewritten, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object() || json["quillstone_attrib_done"] != true) std::abort();
  if (original.is_object() && json.size() < original.size()) std::abort();
  FileDefaultsStore reread(path);
  if (reread.boolean("quillstone_attrib_done") != true) std::abort();
  return 0;
}
