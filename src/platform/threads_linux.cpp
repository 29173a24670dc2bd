#include <pthread.h>
#include <signal.h>

#include "platform/alternate_stack.hpp"
#include "platform/threads.hpp"

namespace quillstone::platform {
namespace {

thread_local bool tLibraryThread = false;
thread_local bool tNetworkThread = false;

}  // namespace

std::thread startLibraryThread(std::string name, std::function<void()> body) {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) sigdelset(&blocked, fault);
  sigset_t previous;
  // The new thread inherits the mask, so no signal can reach it before it runs.
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  std::thread thread([name = std::move(name), body = std::move(body)] {
    tLibraryThread = true;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    // Blocking every asynchronous signal keeps out the request that gives the host's threads
    // their alternate stack at start, so a library thread takes its own, whenever it starts.
    ensureAlternateStack();
    body();
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

bool onLibraryThread() noexcept { return tLibraryThread; }

void markNetworkThread() noexcept { tNetworkThread = true; }

bool onNetworkThread() noexcept { return tNetworkThread; }

}  // namespace quillstone::platform
