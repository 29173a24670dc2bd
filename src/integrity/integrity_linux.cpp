// Where the probes look on Linux.
#include <link.h>

#include <cstdlib>

#include "integrity/integrity.hpp"
#include "platform/files.hpp"

namespace quillstone::integrity {
namespace {

std::vector<std::string> loadedLibraries() {
  std::vector<std::string> names;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
          static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name);
        }
        return 0;
      },
      &names);
  return names;
}

}  // namespace

IntegrityReport probeIntegrity() {
  IntegrityReport report;
  // The executable file as it is on disk now: a repackaged or patched build hashes differently.
  report.signature = fileSha256("/proc/self/exe");
  // A debugger (or any other ptrace user) shows as the tracer of this process.
  report.debuggerAttached = hasTracer(platform::readFile("/proc/self/status").value_or(""));
  // Injected code arrives through the loader's preload list or as a mapped toolkit library.
  const char* preload = std::getenv("LD_PRELOAD");
  report.hookFramework = hookFrameworkFrom(preload ? preload : "", loadedLibraries());
  // There is no provisioning profile on this platform, so nothing is side-loaded.
  report.sideloaded = false;
  return report;
}

}  // namespace quillstone::integrity
