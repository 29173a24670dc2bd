// keychain.json may be damaged or edited by hand. Reading it never fails the host, and adding an
// item afterwards leaves a file that holds it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "attribution/device_id.hpp"
#include "platform/files.hpp"
#include "platform/keychain.hpp"

namespace {

using namespace quillstone;

const std::string& scratchFile() {
  static const std::string path = [] {
    // In memory when possible: every store is fsynced, which on a disk costs more than the run.
    const bool shm = access("/dev/shm", W_OK) == 0;
    std::string directory = std::string(shm ? "/dev/shm" : "/tmp") + "/qs-fuzz-keychain-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) std::abort();
    static std::string scratch = directory;
    std::atexit([] { std::filesystem::remove_all(scratch); });
    return directory + "/keychain.json";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = scratchFile();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!platform::writeFileAtomically(path, bytes, 0600)) std::abort();

  platform::FileKeychain keychain(path);
  (void)keychain.copy(attribution::kDeviceIdAccount);
  (void)keychain.copy("other");
  (void)attribution::keychainGet(keychain, attribution::kDeviceIdAccount);

  // The device id is read back as the value that was stored, whatever the file held before.
  attribution::DeviceIdSource ids(keychain);
  const std::string id = ids.deviceId();
  if (id.empty() || ids.deviceId() != id) std::abort();
  const std::string binary("a\0\xff\x80z", 5);
  keychain.remove("fuzz");
  if (!keychain.add("fuzz", binary) || keychain.copy("fuzz") != binary) std::abort();
  const auto text = platform::readFile(path);
  if (!text || !nlohmann::json::parse(*text, nullptr, false).is_object()) std::abort();
  return 0;
}
