// Runs code in a forked child process and reports how the child ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace quillstone::testing {

struct ChildResult {
  bool exited = false;  // ended through exit()
  int exitCode = -1;
  bool signaled = false;  // ended by a signal
  int signal = 0;
  bool timedOut = false;  // killed by us after the timeout
  std::string describe() const;
};

// Forks; the child runs `body` and then exits with status 0. Waits for the child with a bounded
// poll and kills it after `timeout`.
ChildResult runInChild(const std::function<void()>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Forks at once, whatever the other threads are doing; the child runs `body` and then exits with
// status 0. The result goes to awaitChild.
pid_t forkChild(const std::function<void()>& body);

// Waits for the child `pid` with a bounded poll and kills it after `timeout`.
ChildResult awaitChild(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace quillstone::testing
