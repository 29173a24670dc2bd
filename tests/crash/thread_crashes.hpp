// Threads for crash tests: one made where the library's pthread_create does not see it, a stack
// that overflows for real, and a gate that holds a thread until the test lets it crash.
#pragma once

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "crash_expectations.hpp"

namespace quillstone::testing {

// Makes a thread through the pthread_create that comes after this program's own definition, as
// a library that resolved pthread_create before the library was loaded does, or as a thread that
// existed before start was made: the library's wrapper never sees it.
inline pthread_t startUnseenThread(void* (*routine)(void*), void* argument = nullptr) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
  pthread_t thread{};
  if (create == nullptr || create(&thread, nullptr, routine, argument) != 0) std::abort();
  return thread;
}

inline volatile bool stopOverflowing = false;

// Recurses until the thread's stack is used up and the next frame faults.
QS_REAL_FAULT inline int overflowTheStack(int depth) {
  if (stopOverflowing) return depth;
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return overflowTheStack(depth + 1) + frame[0];
}

// Holds a thread: it says it runs, then waits, awake in short sleeps, until it is let go.
struct Gate {
  std::atomic<bool> running{false};
  std::atomic<bool> open{false};

  void arriveAndWait() {
    running = true;
    while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

}  // namespace quillstone::testing
