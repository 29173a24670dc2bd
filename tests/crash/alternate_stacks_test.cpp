#include "crash/alternate_stacks.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/signal_handler.hpp"
#include "crash_expectations.hpp"
#include "platform/worker.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"
#include "thread_crashes.hpp"

namespace quillstone::testing {
namespace {

// Every way a thread can come to exist, each overflowing its stack after start.
struct OverflowCase {
  const char* name;
  void (*run)();
  friend void PrintTo(const OverflowCase& c, std::ostream* out) { *out << c.name; }
};

void* overflowWhenLetGo(void* gate) {
  static_cast<Gate*>(gate)->arriveAndWait();
  overflowTheStack(0);
  return nullptr;
}

void* overflowAfterPreparing(void*) {
  Quillstone::prepareCurrentThreadForCrashes();
  overflowTheStack(0);
  return nullptr;
}

class StackOverflowOn : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(StackOverflowOn, LeavesACompleteFileAndDiesOfSigsegv) {
  TempHome home;
  const ChildResult child = runInChild(GetParam().run);
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes) << "the handler had no stack to run on";
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
}

INSTANTIATE_TEST_SUITE_P(
    Threads, StackOverflowOn,
    ::testing::Values(
        OverflowCase{"AThreadThatExistedAtStart",
                     [] {
                       Gate gate;
                       const pthread_t thread = startUnseenThread(overflowWhenLetGo, &gate);
                       ASSERT_TRUE(waitUntil([&] { return gate.running.load(); }));
                       startClient();
                       gate.open = true;
                       pthread_join(thread, nullptr);
                     }},
        OverflowCase{"AThreadCreatedAfterStart",
                     [] {
                       startClient();
                       std::thread([] { overflowTheStack(0); }).join();
                     }},
        // Made after start where the library cannot see it: only the host's own call helps.
        OverflowCase{"AThreadTheHostPreparedItself",
                     [] {
                       startClient();
                       pthread_join(startUnseenThread(overflowAfterPreparing), nullptr);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::string protection;  // "rw-p", "---p", ...
};

std::vector<Mapping> mappings() {
  std::vector<Mapping> all;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    Mapping mapping;
    char dash = 0;
    fields >> std::hex >> mapping.start >> dash >> mapping.end >> mapping.protection;
    all.push_back(mapping);
  }
  return all;
}

// The protection of the mapping that holds `address`, "" when none does.
std::string protectionAt(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  for (const Mapping& mapping : mappings()) {
    if (mapping.start <= at && at < mapping.end) return mapping.protection;
  }
  return "";
}

// Stacks shaped like the library's: one inaccessible page right below an alternate stack's size.
std::size_t guardedStackCount() {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::vector<Mapping> all = mappings();
  std::size_t count = 0;
  for (std::size_t i = 1; i < all.size(); ++i) {
    const Mapping& guard = all[i - 1];
    const Mapping& stack = all[i];
    count += guard.protection == "---p" && guard.end - guard.start == page &&
             stack.start == guard.end && stack.protection == "rw-p" &&
             stack.end - stack.start == crash::kAlternateStackSize;
  }
  return count;
}

// A plain value the test reads after the child that wrote it has ended.
template <typename T>
T& sharedWithChild() {
  void* memory =
      mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) std::abort();
  return *new (memory) T{};
}

struct Protection {
  char text[8] = {};
  void operator=(const std::string& protection) { protection.copy(text, sizeof text - 1); }
  std::string str() const { return text; }
};

// What a thread saw of its alternate stack while it ran, and what was left of it after.
struct SeenStack {
  Gate gate;
  void* bottom = nullptr;
  std::size_t size = 0;
  Protection protection;       // of the stack itself
  Protection guardProtection;  // of the byte below it
  Protection protectionAfter;
  Protection guardProtectionAfter;

  void look() {
    stack_t current{};
    sigaltstack(nullptr, &current);
    if ((current.ss_flags & SS_DISABLE) != 0) return;
    bottom = current.ss_sp;
    size = current.ss_size;
    protection = protectionAt(bottom);
    guardProtection = protectionAt(static_cast<char*>(bottom) - 1);
  }
};

struct EndCase {
  const char* name;
  void* (*body)(void*);
  bool cancel;
  friend void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }
};

class ThreadEndingBy : public ::testing::TestWithParam<EndCase> {};

TEST_P(ThreadEndingBy, GivesBackTheGuardedStackItWasGiven) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer gives each thread an alternate stack of its own first";
#endif
  TempHome home;
  SeenStack& seen = sharedWithChild<SeenStack>();
  const ChildResult child = runInChild([&seen] {
    startClient();
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, GetParam().body, &seen) != 0) return;
    while (!seen.gate.running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (GetParam().cancel) pthread_cancel(thread);
    seen.gate.open = true;
    pthread_join(thread, nullptr);
    if (seen.bottom == nullptr) return;
    seen.protectionAfter = protectionAt(seen.bottom);
    seen.guardProtectionAfter = protectionAt(static_cast<char*>(seen.bottom) - 1);
  });
  ASSERT_TRUE(child.exited) << child.describe();

  ASSERT_NE(seen.bottom, nullptr) << "the thread had no alternate stack";
  EXPECT_EQ(seen.size, crash::kAlternateStackSize);
  EXPECT_EQ(seen.protection.str(), "rw-p");
  EXPECT_EQ(seen.guardProtection.str(), "---p");
  EXPECT_EQ(seen.protectionAfter.str(), "") << "the stack outlived its thread";
  EXPECT_EQ(seen.guardProtectionAfter.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Ends, ThreadEndingBy,
                         ::testing::Values(EndCase{"Returning",
                                                   [](void* raw) -> void* {
                                                     auto& seen = *static_cast<SeenStack*>(raw);
                                                     seen.look();
                                                     seen.gate.arriveAndWait();
                                                     return nullptr;
                                                   },
                                                   false},
                                           EndCase{"PthreadExit",
                                                   [](void* raw) -> void* {
                                                     auto& seen = *static_cast<SeenStack*>(raw);
                                                     seen.look();
                                                     seen.gate.arriveAndWait();
                                                     pthread_exit(nullptr);
                                                   },
                                                   false},
                                           EndCase{"Cancellation",
                                                   [](void* raw) -> void* {
                                                     auto& seen = *static_cast<SeenStack*>(raw);
                                                     seen.look();
                                                     seen.gate.running = true;
                                                     for (;;) pause();  // a cancellation point
                                                   },
                                                   true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AlternateStacks, ASecondStartMapsNothingNew) {
  TempHome home;
  struct Seen {
    void* firstStack = nullptr;
    void* secondStack = nullptr;
    std::size_t stacksBefore = 0;
    std::size_t stacksAfter = 0;
  };
  Seen& seen = sharedWithChild<Seen>();
  const ChildResult child = runInChild([&seen] {
    Gate gate;
    const pthread_t thread = startUnseenThread(
        [](void* raw) -> void* {
          static_cast<Gate*>(raw)->arriveAndWait();
          return nullptr;
        },
        &gate);
    while (!gate.running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    startClient();
    // The first start has the library's worker thread do some disk work; that thread takes a
    // stack of its own once, whenever it starts. Let it run before counting.
    std::atomic<bool> workerRan{false};
    platform::systemWorker().schedule(std::chrono::milliseconds(0), [&] { workerRan = true; });
    if (!waitUntil([&] { return workerRan.load(); })) return;
    stack_t current{};
    sigaltstack(nullptr, &current);
    seen.firstStack = current.ss_sp;
    seen.stacksBefore = guardedStackCount();
    startClient();
    seen.stacksAfter = guardedStackCount();
    sigaltstack(nullptr, &current);
    seen.secondStack = current.ss_sp;
    gate.open = true;
    pthread_join(thread, nullptr);
  });
  ASSERT_TRUE(child.exited) << child.describe();
  EXPECT_NE(seen.firstStack, nullptr);
  EXPECT_EQ(seen.secondStack, seen.firstStack);
  EXPECT_EQ(seen.stacksAfter, seen.stacksBefore);
}

}  // namespace
}  // namespace quillstone::testing
