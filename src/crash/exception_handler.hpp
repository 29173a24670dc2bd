// The uncaught-exception handler: records an exception that nobody caught in
// "crash-exception.json" before the process aborts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/envelope.hpp"

namespace quillstone::crash {

// What the client knows when a crash is recorded.
struct CrashContext {
  report::EnvelopeContext envelope;
  std::string userId;
  std::string imageUUID;
  std::string page;
  nlohmann::json device;
  std::vector<nlohmann::json> breadcrumbs;
};

// Gathers the context; called on the throwing thread while the process is ending.
using CrashContextProvider = CrashContext (*)();

// Makes the process's terminate handler record the active exception (its demangled type name,
// what() for std::exception types, the stack) and mark the crash slot so the abort that follows
// writes no signal file, then calls the terminate handler installed before (kept across repeated
// calls, never the library's own). Without an active exception the handler records nothing
// and hands over at once, so the signal handler reports the abort.
void installExceptionHandler(CrashContextProvider provider);

// Writes one crash report, the envelope with a "data" object of kind, level, name, message,
// stack, path, extra.device and breadcrumbs, and "images" when `images` (JSON array text, as
// imageListJson writes it) is not empty, to `file` in the crash directory, replacing an earlier
// one. Returns false when nothing was written.
bool persist(std::string_view kind, std::string_view level, std::string_view name,
             std::string_view message, std::string_view stack, std::string_view file,
             const CrashContext& context, std::string_view images = {});

}  // namespace quillstone::crash
