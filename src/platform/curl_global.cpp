#include "platform/curl_global.hpp"

#include <curl/curl.h>
#include <pthread.h>
#include <time.h>

#include <atomic>

namespace quillstone::platform {
namespace {

enum : int { kNotBegun, kRunning, kDone };
std::atomic<int> state{kNotBegun};

// How long a fork() waits at most for the initialisation to end, in steps.
constexpr long kForkWaitStepNanoseconds = 50'000;
constexpr int kForkWaitSteps = 20'000;

// Runs in the forking thread before fork(). libcurl (7.84 and later) guards its initialisation
// with a lock of its own: a child forked while the network thread holds it would spin on it for
// ever at its first request, and the TLS library's state would be half made. The wait is bounded
// in case the initialisation itself waits on something the forking thread holds.
void waitForInitialisation() {
  const timespec step{0, kForkWaitStepNanoseconds};
  for (int i = 0; i < kForkWaitSteps && state.load(std::memory_order_acquire) == kRunning; ++i)
    ::nanosleep(&step, nullptr);
}

}  // namespace

void initialiseCurl() noexcept {
  int expected = kNotBegun;
  if (!state.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel)) return;
  // Registered before the work begins, so a fork that starts meanwhile waits for it.
  ::pthread_atfork(waitForInitialisation, nullptr, nullptr);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  state.store(kDone, std::memory_order_release);
}

}  // namespace quillstone::platform
