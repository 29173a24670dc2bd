// Alternate signal stacks: where a fault handler runs when the faulting thread's own stack is
// used up, and how the library reaches the threads of the process to give them one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

namespace quillstone::platform {

// The usable size of every alternate stack the library maps; an inaccessible guard page lies
// below it, so a handler that runs past its end faults instead of overwriting what lies beneath.
inline constexpr std::size_t kAlternateStackSize = 0x10000;

// A guarded stack's usable bottom, or nullptr when it cannot be mapped.
void* mapGuardedStack() noexcept;

// Async-signal-safe: unmaps a stack from mapGuardedStack, its guard page included.
void unmapGuardedStack(void* stack) noexcept;

// Async-signal-safe: whether the calling thread has an alternate stack in use.
bool hasAlternateStack() noexcept;

// Async-signal-safe: makes a stack from mapGuardedStack the calling thread's alternate stack.
bool useAlternateStack(void* stack) noexcept;

// Keeps the calling thread's alternate stack, or gives it a guarded one that is released when
// the thread ends (also through pthread_exit or cancellation). Returns whether the thread has an
// alternate stack now.
bool ensureAlternateStack() noexcept;

// The ids of the process's threads other than the caller, as listed at the moment of the call.
std::vector<pid_t> otherThreadIds();

// Whether thread `tid` of this process blocks `signo` (read from what the kernel shows of it);
// true also when that cannot be read, for instance because the thread has ended.
bool threadBlocksSignal(pid_t tid, int signo);

// Sends `signo` to thread `tid` of this process only; false when it could not be sent.
bool signalThread(pid_t tid, int signo) noexcept;

}  // namespace quillstone::platform
