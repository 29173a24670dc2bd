// Environment integrity probes. They are only reported in the device profile, never acted on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillstone::integrity {

struct IntegrityReport {
  std::string signature;  // SHA-256 of the main executable, lower-case hex; "" if unreadable
  bool debuggerAttached = false;
  std::string hookFramework;  // file name of an injected library; "" when none is seen
  bool sideloaded = false;
};

// Runs every probe, in the order the profile reports them.
IntegrityReport probeIntegrity();

// Lower-case hexadecimal SHA-256 of the file's bytes, "" when it cannot be read.
std::string fileSha256(const std::string& path);

// True when a /proc/<pid>/status text names a tracer (a debugger or another ptrace user).
bool hasTracer(std::string_view procStatus);

// The file name of the first library in LD_PRELOAD (entries separated by spaces or colons);
// else of the first mapped library whose path names a known hooking toolkit; else "".
std::string hookFrameworkFrom(std::string_view ldPreload,
                              const std::vector<std::string>& mappedLibraries);

}  // namespace quillstone::integrity
