#include "platform/frame_walk.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unwind.h>

#include <alloca.h>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillstone::platform {
namespace {

using Frames = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // address, stack pointer

constexpr std::size_t kMostFrames = 400;

bool takeFast(void* frames, std::uint64_t address, std::uint64_t stackPointer) {
  auto& taken = *static_cast<Frames*>(frames);
  taken.emplace_back(address, stackPointer);
  return taken.size() < kMostFrames;
}

_Unwind_Reason_Code takeUnwound(_Unwind_Context* context, void* frames) {
  auto& taken = *static_cast<Frames*>(frames);
  taken.emplace_back(_Unwind_GetIP(context), _Unwind_GetCFA(context));
  return taken.size() < kMostFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

struct Walks {
  bool followed[2] = {false, false};
  Frames fast[2];  // cold rules, then remembered ones
  Frames unwound;
};

// All three walks from one function: only their first frames (each its own call) differ.
__attribute__((noinline)) void walkEveryWay(Walks& walks) {
  walks.followed[0] = walkFramesWithCachedRules(takeFast, &walks.fast[0]);
  walks.followed[1] = walkFramesWithCachedRules(takeFast, &walks.fast[1]);
  _Unwind_Backtrace(takeUnwound, &walks.unwound);
  // Not a tail call, which would take this frame off the stack before the unwinder starts.
  asm volatile("" ::: "memory");
}

void expectSameFrames(const Walks& walks, const std::string& where) {
  for (int pass = 0; pass < 2; ++pass) {
    if (!walks.followed[pass]) continue;
    const Frames& fast = walks.fast[pass];
    ASSERT_EQ(fast.size(), walks.unwound.size()) << where << ", pass " << pass;
    ASSERT_FALSE(fast.empty()) << where;
    EXPECT_EQ(fast[0].second, walks.unwound[0].second) << where << ", pass " << pass;
    for (std::size_t i = 1; i < fast.size(); ++i) {
      EXPECT_EQ(fast[i], walks.unwound[i]) << where << ", pass " << pass << ", frame " << i;
    }
  }
}

// Stacks of different shapes: frames without a frame pointer, frames whose CFA follows the frame
// pointer (alloca), deep recursion past the walk's end, another thread, a std::function.
__attribute__((noinline)) void recurse(int depth, Walks& walks) {
  volatile char pad[48];
  pad[depth % 48] = 1;
  if (depth == 0) {
    walkEveryWay(walks);
  } else {
    recurse(depth - 1, walks);
  }
  pad[0] = pad[1];
}

__attribute__((noinline)) void withAlloca(std::size_t size, Walks& walks) {
  auto* buffer = static_cast<volatile char*>(alloca(size));
  buffer[0] = 1;
  walkEveryWay(walks);
  buffer[size - 1] = buffer[0];
}

TEST(FrameWalk, FindsTheUnwindersFramesOnEveryOrdinaryStack) {
  const std::vector<std::pair<std::string, std::function<void(Walks&)>>> shapes = {
      {"test body", [](Walks& walks) { walkEveryWay(walks); }},
      {"10 frames", [](Walks& walks) { recurse(10, walks); }},
      {"past the end", [](Walks& walks) { recurse(500, walks); }},
      {"frame pointer", [](Walks& walks) { withAlloca(1000, walks); }},
      {"other thread", [](Walks& walks) { std::thread([&walks] { recurse(3, walks); }).join(); }},
  };
  for (const auto& [where, walkFrom] : shapes) {
    Walks walks;
    walkFrom(walks);
    EXPECT_TRUE(walks.followed[0] && walks.followed[1]) << where;
    expectSameFrames(walks, where);
  }
}

Walks* inHandler = nullptr;
void walkInHandler(int) { walkEveryWay(*inHandler); }

// The thread sanitizer runs a handler from its own code, on the thread's stack, with no signal
// frame between.
#if defined(__SANITIZE_THREAD__)
constexpr bool kKernelRunsHandlers = false;
#else
constexpr bool kKernelRunsHandlers = true;
#endif

// Through a signal frame, or on a stack that is not the thread's, only the unwinder knows the way.
TEST(FrameWalk, LeavesSignalFramesAndOtherStacksToTheUnwinder) {
  for (const bool alternate : {false, true}) {
    std::vector<char> stackMemory(1 << 16);
    stack_t own{};
    own.ss_sp = stackMemory.data();
    own.ss_size = stackMemory.size();
    stack_t before{};
    ASSERT_EQ(sigaltstack(&own, &before), 0);
    struct sigaction action {};
    action.sa_handler = walkInHandler;
    action.sa_flags = alternate ? SA_ONSTACK : 0;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    Walks walks;
    // Nothing allocates in the handler: the frames have their room, the thread its rules.
    for (Frames* frames : {&walks.fast[0], &walks.fast[1], &walks.unwound}) {
      frames->reserve(kMostFrames);
    }
    Walks warmUp;
    walkEveryWay(warmUp);
    inHandler = &walks;
    raise(SIGUSR2);
    sigaction(SIGUSR2, &previous, nullptr);
    sigaltstack(&before, nullptr);

    const std::string where = alternate ? "alternate stack" : "thread's stack";
    if (kKernelRunsHandlers) {
      EXPECT_FALSE(walks.followed[0] || walks.followed[1]) << where;
    }
    ASSERT_GT(walks.unwound.size(), 3u) << where;
    expectSameFrames(walks, where);
  }
}

}  // namespace
}  // namespace quillstone::platform
