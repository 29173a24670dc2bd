#include "crash/alternate_stacks.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "platform/alternate_stack.hpp"

namespace quillstone::crash {
namespace {

// Above the numbers hosts and runtimes reach for first (SIGRTMIN itself, timers' first few).
constexpr int kStackRequestOffset = 8;

using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Off until the first start with crash capture: before it the wrapper adds nothing.
std::atomic<bool> coveringNewThreads{false};

// The pthread_create the wrapper forwards to: the next definition after the library's own, which
// is a sanitizer's interceptor when one is loaded and the C library's otherwise. Resolved on first
// use; two threads racing to resolve it find the same value.
CreateThread nextCreateThread() noexcept {
  static std::atomic<CreateThread> next{nullptr};
  CreateThread found = next.load(std::memory_order_acquire);
  if (found == nullptr) {
    found = reinterpret_cast<CreateThread>(::dlsym(RTLD_NEXT, "pthread_create"));
    next.store(found, std::memory_order_release);
  }
  return found;
}

struct ThreadStart {
  void* (*routine)(void*);
  void* argument;
};

// A covered thread's first frame: its alternate stack, then the host's routine. Not noexcept,
// since cancellation and pthread_exit unwind through it.
void* startCovered(void* raw) {
  const ThreadStart start = *static_cast<ThreadStart*>(raw);
  std::free(raw);
  platform::ensureAlternateStack();
  return start.routine(start.argument);
}

enum : int { kOffered, kAnswered };

// A stack mapped at start for one thread that existed then. Whoever moves it out of kOffered
// owns it: the thread's answer (takes it, or unmaps it when it has a stack already) or the
// request, when the signal could not be sent.
struct PreparedStack {
  pid_t tid = 0;
  void* stack = nullptr;
  std::atomic<int> state{kOffered};
};

struct StackRequest {
  std::unique_ptr<PreparedStack[]> stacks;
  std::size_t count = 0;
};

// Never freed: a thread may answer long after start. A forked child's request replaces its
// parent's, whose threads it does not have.
std::atomic<StackRequest*> publishedRequest{nullptr};
// The process that asked its threads; a forked child asks its own.
std::atomic<pid_t> askingProcess{0};

// Async-signal-safe: a thread's answer to the request.
void takePreparedStack(int, siginfo_t* info, void* context) {
  // Only the library's own request, sent to this very thread from this process.
  if (info == nullptr || info->si_code != SI_TKILL || info->si_pid != ::getpid()) return;
  const int savedErrno = errno;
  const StackRequest* request = publishedRequest.load(std::memory_order_acquire);
  const pid_t self = ::gettid();
  for (std::size_t i = 0; request != nullptr && i < request->count; ++i) {
    PreparedStack& prepared = request->stacks[i];
    if (prepared.tid != self) continue;
    int offered = kOffered;
    if (prepared.state.compare_exchange_strong(offered, kAnswered)) {
      // A thread that already has an alternate stack keeps it.
      if (platform::hasAlternateStack() || !platform::useAlternateStack(prepared.stack)) {
        platform::unmapGuardedStack(prepared.stack);
      } else if (context != nullptr) {
        // Returning from a handler restores the alternate stack the thread had when the signal
        // came, so the stack is also written where that restoration reads it.
        stack_t& restored = static_cast<ucontext_t*>(context)->uc_stack;
        restored.ss_sp = prepared.stack;
        restored.ss_size = platform::kAlternateStackSize;
        restored.ss_flags = 0;
      }
    }
    break;
  }
  errno = savedErrno;
}

void askExistingThreads() {
  const pid_t self = ::getpid();
  if (askingProcess.exchange(self) == self) return;

  const int signo = stackRequestSignal();
  struct sigaction current {};
  if (::sigaction(signo, nullptr, &current) != 0) return;
  const bool ours =
      (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == takePreparedStack;
  if (!ours && current.sa_handler != SIG_DFL) return;  // the host's signal

  std::vector<pid_t> threads = platform::otherThreadIds();
  // Such a thread could not answer, and the signal would wait for it, maybe for the host's
  // sigwait.
  std::erase_if(threads, [signo](pid_t tid) { return platform::threadBlocksSignal(tid, signo); });
  if (threads.empty()) return;

  auto* request = new (std::nothrow) StackRequest;
  if (request == nullptr) return;
  request->stacks.reset(new (std::nothrow) PreparedStack[threads.size()]);
  if (!request->stacks) {
    delete request;
    return;
  }
  // Every stack is mapped before any thread is asked: the answer must not allocate.
  for (const pid_t tid : threads) {
    void* stack = platform::mapGuardedStack();
    if (stack == nullptr) continue;
    request->stacks[request->count].tid = tid;
    request->stacks[request->count].stack = stack;
    ++request->count;
  }
  publishedRequest.store(request, std::memory_order_release);

  bool installed = ours;
  if (!ours) {
    struct sigaction action {};
    action.sa_sigaction = takePreparedStack;
    sigemptyset(&action.sa_mask);
    // Restarted, so that the request costs a host's blocking read no EINTR. Kept installed for
    // good: a late answer must never meet the default action, which ends the process.
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    installed = ::sigaction(signo, &action, nullptr) == 0;
  }
  for (std::size_t i = 0; i < request->count; ++i) {
    PreparedStack& prepared = request->stacks[i];
    if (installed && platform::signalThread(prepared.tid, signo)) continue;
    // No answer will come: the thread has ended, or nothing would have answered.
    int offered = kOffered;
    if (prepared.state.compare_exchange_strong(offered, kAnswered)) {
      platform::unmapGuardedStack(prepared.stack);
    }
  }
}

}  // namespace

int stackRequestSignal() noexcept { return SIGRTMIN + kStackRequestOffset; }

void coverEveryThread() noexcept {
  platform::ensureAlternateStack();
  // Before the listing, so that a thread created meanwhile is covered by one or the other.
  coveringNewThreads.store(true, std::memory_order_release);
  try {
    askExistingThreads();
  } catch (...) {
    // Without the listing only the threads already created before start go without a stack.
  }
}

bool prepareCurrentThread() noexcept { return platform::ensureAlternateStack(); }

}  // namespace quillstone::crash

// The library's definition of pthread_create, exported (see cmake/quillstone.map) so that the
// host's thread creations reach it: once crash capture is on, each new thread starts by taking
// an alternate stack. Everything else is left to the next definition.
extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* __restrict thread, const pthread_attr_t* __restrict attributes,
    void* (*routine)(void*), void* __restrict argument) noexcept {
  using namespace quillstone::crash;
  const CreateThread next = nextCreateThread();
  if (next == nullptr) return EAGAIN;
  if (!coveringNewThreads.load(std::memory_order_acquire)) {
    return next(thread, attributes, routine, argument);
  }
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  // Without its small record the thread is still created, only without a stack of ours.
  if (start == nullptr) return next(thread, attributes, routine, argument);
  start->routine = routine;
  start->argument = argument;
  const int result = next(thread, attributes, startCovered, start);
  if (result != 0) std::free(start);
  return result;
}
