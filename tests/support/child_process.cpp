#include "support/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace quillstone::testing {

std::string ChildResult::describe() const {
  if (timedOut) return "timed out";
  if (signaled) return std::string("killed by signal ") + std::to_string(signal) + " (" +
                       strsignal(signal) + ")";
  if (exited) return "exited with " + std::to_string(exitCode);
  return "unknown";
}

ChildResult runInChild(const std::function<void()>& body, std::chrono::milliseconds timeout) {
  ChildResult result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    body();
    std::exit(0);
  }
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
