#include <pthread.h>

#include "platform/fork_safe.hpp"

namespace quillstone::platform {
namespace {

// Constant-initialised, so it is valid before any static constructor runs.
std::atomic<std::uint64_t> generation{0};

void countFork() { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered while the library loads, before the host can fork with a library thread running.
// Only the child counts: the parent prepares nothing and takes no lock around fork(), so
// forking costs the host nothing more.
const bool registered = pthread_atfork(nullptr, nullptr, countFork) == 0;

}  // namespace

std::uint64_t forkGeneration() noexcept {
  (void)registered;
  return generation.load(std::memory_order_acquire);
}

}  // namespace quillstone::platform
