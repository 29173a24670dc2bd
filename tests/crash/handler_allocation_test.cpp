// The signal handler must not allocate: a crash can come while the allocator's own lock is held
// or its heap is broken. This test program replaces the allocator's entry points with ones that
// end the process with a telling exit code once a crash is under way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <thread>

#include "crash_expectations.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"
#include "thread_crashes.hpp"

namespace {

[[maybe_unused]] constexpr int kAllocatedDuringCrash = 97;
// Set on the thread that is about to crash (or that runs what must not allocate): the library's
// other threads, like the host's, may go on allocating meanwhile.
thread_local bool trappedThread = false;

[[maybe_unused]] void refuseDuringCrash() {
  if (trappedThread) _exit(kAllocatedDuringCrash);
}

}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);

void* malloc(std::size_t size) {
  refuseDuringCrash();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  refuseDuringCrash();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  refuseDuringCrash();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  refuseDuringCrash();
  return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  refuseDuringCrash();
  return __libc_memalign(alignment, size);
}
}
#endif

namespace quillstone::testing {
namespace {

struct AllocationCase {
  const char* name;
  void (*crash)();
  int signo;
  friend void PrintTo(const AllocationCase& c, std::ostream* out) { *out << c.name; }
};

class HandlerAllocation : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(HandlerAllocation, WritesTheFileWithoutAllocating) {
  QS_SKIP_WITH_SANITIZER_ALLOCATOR();
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    trappedThread = true;
    GetParam().crash();
  });
  ASSERT_FALSE(child.exited && child.exitCode == kAllocatedDuringCrash) << "the handler allocated";
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, GetParam().signo);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(matchesSignalLayout(*bytes, std::string(crash::signalName(GetParam().signo))));
}

INSTANTIATE_TEST_SUITE_P(Crashes, HandlerAllocation,
                         ::testing::Values(AllocationCase{"Fault", crashWithSegv, SIGSEGV},
                                           AllocationCase{"Abort", [] { std::abort(); }, SIGABRT},
                                           AllocationCase{"Trap", crashWithIll, SIGILL},
                                           // The walk faults and the handler finishes the file.
                                           AllocationCase{"CorruptStack",
                                                          crashWithGarbageStackPointer, SIGSEGV}),
                         [](const auto& info) { return std::string(info.param.name); });

// A thread that existed at start takes the stack prepared for it inside a signal handler, and
// later overflows onto it: both on a thread that may not allocate from before start.
TEST(HandlerAllocation, AThreadThatExistedAtStartTakesItsStackAndRecordsItsOverflow) {
  QS_SKIP_WITH_SANITIZER_ALLOCATOR();
  TempHome home;
  const ChildResult child = runInChild([] {
    Gate gate;
    const pthread_t thread = startUnseenThread(
        [](void* raw) -> void* {
          trappedThread = true;
          static_cast<Gate*>(raw)->arriveAndWait();
          overflowTheStack(0);
          return nullptr;
        },
        &gate);
    ASSERT_TRUE(waitUntil([&] { return gate.running.load(); }));
    startClient();
    gate.open = true;
    pthread_join(thread, nullptr);
  });
  ASSERT_FALSE(child.exited && child.exitCode == kAllocatedDuringCrash) << "the thread allocated";
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
}

}  // namespace
}  // namespace quillstone::testing
