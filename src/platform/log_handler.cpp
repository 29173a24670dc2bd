// The host's log handler. A call of the handler is counted while it runs, so that replacing the
// handler can wait until no call of the old one is left; the lock guards the pointer and the
// counts only and is never held while the handler runs.
#include "platform/log_handler.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/log.hpp"

namespace quillstone::platform {
namespace {

// How often a replaced handler's remaining calls are looked at; replacing a handler is rare.
constexpr std::chrono::milliseconds kReplacedHandlerPoll{1};

struct Installed {
  explicit Installed(LogHandler h) : handler(std::move(h)) {}
  LogHandler handler;
  int calls = 0;
  // Replaced by a handler itself, which could not wait for its own call: the last call deletes it.
  bool orphaned = false;
};

struct Slot {
  std::mutex lock;
  Installed* current = nullptr;
  // Calls begun before a fork() never end in the child; a call counts only in the process (the
  // fork generation) it began in.
  std::uint64_t forkGeneration = 0;
};

// Never destroyed: a library thread may log while the process exits.
Slot& slot() {
  static Slot* instance = new Slot();
  return *instance;
}

// Mirrors `current != nullptr`, so that a line with no handler set takes no lock.
std::atomic<bool> handlerSet{false};

thread_local bool runningHandler = false;

// The lock is never taken in the parent around fork(): a prepare step that waits for a library
// thread which is about to log would deadlock on it. The child re-makes the lock instead; every
// change under it is a single store, so the child never sees one half done.
void remakeInChild() {
  Slot& s = slot();
  new (&s.lock) std::mutex();
  ++s.forkGeneration;
  if (s.current) s.current->calls = 0;
}

void registerForkHandlerOnce() {
  static const bool registered = pthread_atfork(nullptr, nullptr, remakeInChild) == 0;
  (void)registered;
}

}  // namespace

bool passToLogHandler(std::string_view message) noexcept {
  if (runningHandler || !handlerSet.load(std::memory_order_acquire)) return false;
  // A copy of its own, so that the text handed on always ends in a NUL.
  std::string text;
  try {
    text.assign(message);
  } catch (...) {
    return false;
  }
  Slot& s = slot();
  Installed* target;
  std::uint64_t generation;
  {
    std::lock_guard guard(s.lock);
    target = s.current;
    if (!target) return false;
    ++target->calls;
    generation = s.forkGeneration;
  }
  runningHandler = true;
  try {
    target->handler(text);
  } catch (...) {
    // The host's handler failing is no reason to fail the library's caller.
  }
  runningHandler = false;
  bool lastOfOrphan = false;
  {
    std::lock_guard guard(s.lock);
    if (generation == s.forkGeneration) {
      --target->calls;
      lastOfOrphan = target->orphaned && target->calls == 0;
    }
  }
  if (lastOfOrphan) delete target;
  return true;
}

bool logHandlerSet() noexcept { return handlerSet.load(std::memory_order_acquire); }

void setLogHandler(LogHandler handler) noexcept {
  try {
    registerForkHandlerOnce();
    Installed* replacement = handler ? new Installed(std::move(handler)) : nullptr;
    Slot& s = slot();
    Installed* previous;
    {
      std::lock_guard guard(s.lock);
      previous = s.current;
      s.current = replacement;
      handlerSet.store(replacement != nullptr, std::memory_order_release);
      if (previous && runningHandler) {
        // Called from a handler, which cannot wait for its own call: the last call deletes it.
        previous->orphaned = true;
        if (previous->calls > 0) return;
      }
    }
    if (!previous) return;
    for (;;) {
      {
        std::lock_guard guard(s.lock);
        if (previous->calls == 0) break;
      }
      std::this_thread::sleep_for(kReplacedHandlerPoll);
    }
    delete previous;
  } catch (...) {
  }
}

}  // namespace quillstone::platform
