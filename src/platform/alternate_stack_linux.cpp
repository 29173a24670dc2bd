#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/single_threaded.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/alternate_stack.hpp"

namespace quillstone::platform {
namespace {

constexpr char kTaskDirectory[] = "/proc/self/task";
constexpr char kBlockedSignalsField[] = "SigBlk:";
constexpr int kHexBase = 16;

// Async-signal-safe: the size of the guard page below each stack.
std::size_t guardSize() noexcept { return static_cast<std::size_t>(::getauxval(AT_PAGESZ)); }

void releaseAtThreadEnd(void* stack);

pthread_key_t stackKey;
bool stackKeyMade = false;

void makeStackKey() noexcept {
  stackKeyMade = ::pthread_key_create(&stackKey, releaseAtThreadEnd) == 0;
}

// The thread-exit destructor of a stack ensureAlternateStack mapped. The thread may still take a
// signal while destructors run, so the kernel is told to stop using the stack before it goes.
void releaseAtThreadEnd(void* stack) {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack &&
      (current.ss_flags & SS_DISABLE) == 0) {
    if ((current.ss_flags & SS_ONSTACK) != 0) return;  // running on it: leave it mapped
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (::sigaltstack(&off, nullptr) != 0) return;
  }
  unmapGuardedStack(stack);
}

}  // namespace

void* mapGuardedStack() noexcept {
  const std::size_t guard = guardSize();
  // Mapped, not allocated: a crash may come while the allocator is broken, and the mapping
  // is returned whole when it is released.
  void* mapping = ::mmap(nullptr, guard + kAlternateStackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  if (::mprotect(mapping, guard, PROT_NONE) != 0) {
    ::munmap(mapping, guard + kAlternateStackSize);
    return nullptr;
  }
  return static_cast<char*>(mapping) + guard;
}

void unmapGuardedStack(void* stack) noexcept {
  if (stack == nullptr) return;
  const std::size_t guard = guardSize();
  ::munmap(static_cast<char*>(stack) - guard, guard + kAlternateStackSize);
}

bool hasAlternateStack() noexcept {
  stack_t current{};
  return ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

bool useAlternateStack(void* stack) noexcept {
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = kAlternateStackSize;
  alternate.ss_flags = 0;
  return ::sigaltstack(&alternate, nullptr) == 0;
}

bool ensureAlternateStack() noexcept {
  if (hasAlternateStack()) return true;
  static pthread_once_t keyOnce = PTHREAD_ONCE_INIT;
  ::pthread_once(&keyOnce, makeStackKey);
  // Without the destructor every ended thread would leave its stack behind.
  if (!stackKeyMade) return false;
  void* stack = mapGuardedStack();
  if (stack == nullptr) return false;
  if (::pthread_setspecific(stackKey, stack) != 0) {
    unmapGuardedStack(stack);
    return false;
  }
  if (!useAlternateStack(stack)) {
    ::pthread_setspecific(stackKey, nullptr);
    unmapGuardedStack(stack);
    return false;
  }
  return true;
}

std::vector<pid_t> otherThreadIds() {
  std::vector<pid_t> ids;
  // The C library knows when it never created a thread: a host that starts the library before
  // its own threads, as most do, is spared listing /proc at its start.
  if (__libc_single_threaded != 0) return ids;
  DIR* directory = ::opendir(kTaskDirectory);
  if (directory == nullptr) return ids;
  const pid_t self = ::gettid();
  while (const dirent* entry = ::readdir(directory)) {
    char* end = nullptr;
    const long id = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || id <= 0) continue;  // "." and ".."
    if (static_cast<pid_t>(id) != self) ids.push_back(static_cast<pid_t>(id));
  }
  ::closedir(directory);
  return ids;
}

bool threadBlocksSignal(pid_t tid, int signo) {
  std::ifstream status(std::string(kTaskDirectory) + "/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(kBlockedSignalsField, 0) != 0) continue;
    char* end = nullptr;
    const unsigned long long mask =
        std::strtoull(line.c_str() + sizeof kBlockedSignalsField - 1, &end, kHexBase);
    if (end == line.c_str() + sizeof kBlockedSignalsField - 1) return true;
    return ((mask >> (signo - 1)) & 1U) != 0;
  }
  return true;
}

bool signalThread(pid_t tid, int signo) noexcept { return ::tgkill(::getpid(), tid, signo) == 0; }

}  // namespace quillstone::platform
