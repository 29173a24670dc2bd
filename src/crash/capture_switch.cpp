#include "crash/capture_switch.hpp"

#include <atomic>

namespace quillstone::crash {
namespace {

// A lock-free atomic is what a signal handler may read.
std::atomic<bool> gCrashFilesEnabled{true};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void setCrashFilesEnabled(bool on) noexcept { gCrashFilesEnabled.store(on); }

bool crashFilesEnabled() noexcept { return gCrashFilesEnabled.load(); }

}  // namespace quillstone::crash
