#include "support/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// The crash handler hands a fault it recorded to the action installed before it, which in this
// build would be the sanitizer's own report-and-exit handler. Children are to die of their
// signal as in a plain build, so the sanitizer leaves the fault signals alone.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0";
}
#endif

namespace quillstone::testing {
namespace {

// True when every thread of this process other than the caller is asleep in the kernel.
bool otherThreadsAsleep() {
  const std::string self = std::to_string(gettid());
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    const std::string tid = entry.path().filename();
    if (tid == self) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // the thread has ended
    const auto afterName = line.rfind(')');
    if (afterName == std::string::npos || afterName + 2 >= line.size()) return false;
    if (line[afterName + 2] != 'S') return false;
  }
  return !error;
}

// The sanitizer's allocator does not take its locks around fork(), so a child forked while a
// server thread of the test allocates inherits a held lock and hangs at its first allocation.
// Forking only while every other thread sleeps (waiting in accept, poll or on a condition)
// closes that window; after a bounded wait the fork goes ahead anyway.
void waitForOtherThreadsToSleep() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int quietChecks = 0;
  while (quietChecks < 2 && std::chrono::steady_clock::now() < deadline) {
    quietChecks = otherThreadsAsleep() ? quietChecks + 1 : 0;
    if (quietChecks < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

std::string ChildResult::describe() const {
  if (timedOut) return "timed out";
  if (signaled)
    return std::string("killed by signal ") + std::to_string(signal) + " (" + strsignal(signal) +
           ")";
  if (exited) return "exited with " + std::to_string(exitCode);
  return "unknown";
}

ChildResult runInChild(const std::function<void()>& body, std::chrono::milliseconds timeout) {
  waitForOtherThreadsToSleep();
  return awaitChild(forkChild(body), timeout);
}

pid_t forkChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    std::exit(0);
  }
  return pid;
}

ChildResult awaitChild(pid_t pid, std::chrono::milliseconds timeout) {
  ChildResult result;
  if (pid < 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace quillstone::testing
