#include "crash/signal_handler.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include "base/digits.hpp"
#include "crash/alternate_stacks.hpp"
#include "crash/capture_switch.hpp"
#include "crash/crash_slot.hpp"
#include "crash/image_list.hpp"
#include "platform/files.hpp"
#include "platform/fork_safe.hpp"
#include "platform/signal_safe_io.hpp"

namespace quillstone::crash {
namespace {

constexpr int kMaxFrames = 64;
constexpr char kUnknownImage[] = "???";
constexpr char kFieldGap[] = "   ";
constexpr char kLineEnd[] = "\\n";  // an escaped line break inside the JSON string
// A frame line: index, gap, image name, gap, hexadecimal value, line end.
constexpr std::size_t kLineBufferSize =
    base::kMaxDecimalDigits + 3 + kImageNameCapacity + 3 + 2 + base::kMaxHexDigits + 2;

// A thread that faults while another one writes the file waits this long, in steps, for the
// process to end before it gives up and lets its own signal end the process.
constexpr long kWaitStepNanoseconds = 10'000'000;
constexpr int kWaitSteps = 500;

// The action each crash signal had before the library's own was installed, in the order of
// kCrashSignals. Never one of ours, so a second start cannot make the handler chain to itself.
// A host that installs its own handler between two starts gets it kept in the other copy, which is
// then published: a crash meanwhile reads the copy published before, never one half written.
struct PreviousAction {
  std::atomic<int> published{-1};
  struct sigaction copies[2]{};
};
PreviousAction previousActions[std::size(kCrashSignals)];
// Starts on several threads at once install one after another.
platform::ForkSafeMutex installing;

constexpr int signalIndex(int signo) {
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    if (kCrashSignals[i] == signo) return static_cast<int>(i);
  }
  return -1;
}

bool sameAction(const struct sigaction& a, const struct sigaction& b) {
  return a.sa_handler == b.sa_handler && a.sa_flags == b.sa_flags &&
         std::memcmp(&a.sa_mask, &b.sa_mask, sizeof a.sa_mask) == 0;
}

bool isOwnAction(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == crashSignalHandler;
}

using platform::writeAll;

// Async-signal-safe: a growing line in a fixed buffer on the handler's stack.
struct Line {
  char bytes[kLineBufferSize];
  std::size_t length = 0;

  void append(const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count && length < sizeof bytes; ++i) bytes[length++] = text[i];
  }

  void append(std::string_view text) { append(text.data(), text.size()); }

  void appendDecimal(std::uint64_t value) {
    char digits[base::kMaxDecimalDigits];
    append(base::decimalDigits(value, digits));
  }

  void appendHex(std::uint64_t value) {
    char digits[base::kMaxHexDigits];
    append("0x");
    append(base::hexDigits(value, digits));
  }
};

// Async-signal-safe.
void writeFrame(int fd, const SlotPage& page, std::uint64_t index, bool inImage,
                std::uint64_t value) {
  Line line;
  line.appendDecimal(index);
  line.append(kFieldGap, sizeof kFieldGap - 1);
  if (inImage) {
    line.append(page.imageName, static_cast<std::size_t>(page.imageNameLen));
  } else {
    line.append(kUnknownImage, sizeof kUnknownImage - 1);
    noteForeignFrame(value);
  }
  line.append(kFieldGap, sizeof kFieldGap - 1);
  line.appendHex(value);
  line.append(kLineEnd, sizeof kLineEnd - 1);
  writeAll(fd, line.bytes, line.length);
}

// Async-signal-safe.
bool inImage(const SlotPage& page, std::uint64_t address) {
  return page.imageStart <= address && address < page.imageEnd;
}

// Async-signal-safe: the interrupted program counter, or 0.
std::uint64_t programCounter(void* context) {
  if (context == nullptr) return 0;
  const auto* user = static_cast<const ucontext_t*>(context);
  return static_cast<std::uint64_t>(user->uc_mcontext.gregs[REG_RIP]);
}

// A corrupt stack (smashed, or a garbage stack pointer) makes the walk read unmapped memory.
// That fault comes back to the handler on the walking thread, which jumps back into walkStack,
// so the file is still finished with the frames read until then. Only the thread that claimed
// the file walks, once, so these need no more than one instance.
sigjmp_buf walkInterrupted;
std::atomic<pid_t> walkingThread{0};
// Static rather than on the stack, so its contents are well defined after the jump.
void* walkFrames[kMaxFrames];

// Async-signal-safe: the return addresses of the calling thread (backtrace's), or as many as
// were read before the walk faulted.
int walkStack() {
  for (void*& frame : walkFrames) frame = nullptr;
  // Saves the handler's mask, with the fault signals blocked again after a jump.
  if (sigsetjmp(walkInterrupted, 1) != 0) {
    walkingThread.store(0);
    // backtrace fills the array in order, so the frames read before the fault come first.
    int count = 0;
    while (count < kMaxFrames && walkFrames[count] != nullptr) ++count;
    return count;
  }
  // The handler runs with its own signal blocked; blocked, a fault in the walk would end the
  // process at once.
  sigset_t faults;
  sigemptyset(&faults);
  sigaddset(&faults, SIGSEGV);
  sigaddset(&faults, SIGBUS);
  sigset_t handlerMask;
  walkingThread.store(::gettid());
  ::pthread_sigmask(SIG_UNBLOCK, &faults, &handlerMask);
  const int count = ::backtrace(walkFrames, kMaxFrames);
  ::pthread_sigmask(SIG_SETMASK, &handlerMask, nullptr);
  walkingThread.store(0);
  return count;
}

// Async-signal-safe.
void writeStack(int fd, const SlotPage& page, void* context) {
  std::uint64_t index = 0;
  const std::uint64_t pc = programCounter(context);
  if (pc != 0 && inImage(page, pc)) writeFrame(fd, page, index++, true, pc - page.slide);

  void* const* frames = walkFrames;
  const int count = walkStack();
  bool wroteAny = false;
  for (int i = 0; i < count; ++i) {
    const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
    if (address == 0) continue;
    const bool inside = inImage(page, address);
    // Until the first written line, frames inside the program are this handler's own.
    if (!wroteAny && inside) continue;
    writeFrame(fd, page, index++, inside, inside ? address - page.slide : address);
    wroteAny = true;
  }
}

// Async-signal-safe: the head with the crash time as "ts", in milliseconds since the epoch; the
// time of the preparation only when the clock cannot be read.
void writeHead(int fd, const SlotPage& page) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0 || page.timeEnd == 0) {
    writeAll(fd, page.head, static_cast<std::size_t>(page.headLen));
    return;
  }
  Line millis;
  millis.appendDecimal(static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                       static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000);
  writeAll(fd, page.head, static_cast<std::size_t>(page.timeBegin));
  writeAll(fd, millis.bytes, millis.length);
  writeAll(fd, page.head + page.timeEnd, static_cast<std::size_t>(page.headLen - page.timeEnd));
}

// Async-signal-safe: the fault address, the signal's code and the crashing thread's id and name.
void writeCrashFacts(int fd, const siginfo_t* info) {
  CrashFacts facts;
  if (info != nullptr) {
    facts.signalCode = info->si_code;
    // For a signal that a process sent, the same bytes hold the sender's ids instead.
    if (info->si_code > 0) facts.faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
  }
  facts.threadId = ::gettid();
  char name[17] = {};  // the kernel's 16 bytes and a NUL in any case
  if (::prctl(PR_GET_NAME, name) == 0) facts.threadName = name;
  char text[kCrashFactsCapacity];
  writeAll(fd, text, renderCrashFacts(facts, text, sizeof text));
}

// Async-signal-safe: opens the crash file the ordinary way. A crash in the first instant of a new
// home can come before the worker has made the crash directory, so a missing directory is made
// here rather than the crash lost.
int openCrashFile(const SlotPage& page) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  int fd = ::open(page.path, kFlags, kCrashFileMode);
  if (fd < 0 && errno == ENOENT) {
    platform::makeParentDirectories(page.path, platform::kPrivateDirectoryMode);
    fd = ::open(page.path, kFlags, kCrashFileMode);
  }
  return fd;
}

// Async-signal-safe.
void writeCrashFile(const SlotPage& page, int signo, siginfo_t* info, void* context) {
  // The reservation works when the disk is full or no descriptor is free; a process without one
  // (a fork that has not prepared again, a host that closed it) opens the file.
  platform::ReservedFile& reserve = crashReserve();
  const int reserved = reserve.take();
  const int fd = reserved >= 0 ? reserved : openCrashFile(page);
  if (fd < 0) return;
  writeHead(fd, page);
  const std::string_view name = signalName(signo);
  writeAll(fd, name.data(), name.size());
  writeAll(fd, kSignalStackKey.data(), kSignalStackKey.size());
  writeStack(fd, page, context);
  writeAll(fd, kSignalStackEnd.data(), kSignalStackEnd.size());
  writeCrashFacts(fd, info);
  writeImageList(fd);
  writeAll(fd, page.tail, static_cast<std::size_t>(page.tailLen));
  if (fd == reserved) {
    reserve.place(fd, page.path);
  } else {
    ::close(fd);
  }
}

// Async-signal-safe: another thread is writing a crash file; give it time to finish and end
// the process. Bounded, so a writer that never finishes cannot keep the process alive.
template <typename Done>
void waitForOtherWriter(Done done) {
  const timespec step{0, kWaitStepNanoseconds};
  for (int i = 0; i < kWaitSteps && !done(); ++i) ::nanosleep(&step, nullptr);
}

// Async-signal-safe: whether returning from the handler runs the faulting instruction again,
// so that the fault recurs under the restored action. A signal sent by a process, a trap
// (reported after its instruction) and an asynchronous memory error do not recur.
bool faultRecurs(int signo, const siginfo_t* info) {
  if (info == nullptr || info->si_code <= 0) return false;
  if (signo == SIGTRAP) return false;
  if (signo == SIGBUS && info->si_code == BUS_MCEERR_AO) return false;
  return true;
}

// Async-signal-safe: sends the signal again to this thread with the same information, so the
// restored action sees what the first delivery carried. It stays pending until the handler
// returns.
void resend(int signo, siginfo_t* info) {
  if (info != nullptr &&
      ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), signo, info) == 0) {
    return;
  }
  ::raise(signo);
}

// Async-signal-safe: puts back the action the host had before the library's and lets the signal
// take it, as if the library had never been there: the default action ends the process by the
// signal, an ignored signal that a process sent stays ignored, and a host handler runs with the
// original information.
void handOver(int signo, siginfo_t* info) {
  struct sigaction previous {};
  previous.sa_handler = SIG_DFL;
  const int index = signalIndex(signo);
  if (index >= 0) {
    const int copy = previousActions[index].published.load(std::memory_order_acquire);
    if (copy >= 0) previous = previousActions[index].copies[copy];
  }
  // The kernel does not let a fault be ignored: it ends the process by the default action.
  const bool recurs = faultRecurs(signo, info);
  if (info != nullptr && info->si_code > 0 && previous.sa_handler == SIG_IGN) {
    previous.sa_handler = SIG_DFL;
    previous.sa_flags &= ~SA_SIGINFO;
  }
  ::sigaction(signo, &previous, nullptr);
  // A fault that recurs reaches a host handler as the original fault once this handler
  // returns. The default action is always sent again: the process must end even when the
  // instruction does not fault a second time.
  if (!recurs || previous.sa_handler == SIG_DFL) resend(signo, info);
}

}  // namespace

void crashSignalHandler(int signo, siginfo_t* info, void* context) {
  const pid_t self = ::gettid();
  // A fault while this thread walks its own corrupt stack: finish the file without the rest.
  if (walkingThread.load() == self) siglongjmp(walkInterrupted, 1);
  const int savedErrno = errno;
  CrashSlot& slot = crashSlot();
  if (!crashFilesEnabled()) {
    // The host turned reporting off: the crash goes on as if the library were not there.
  } else if (slot.exceptionSeen()) {
    // The exception's record is the report; let its writer finish before the process ends.
    if (slot.exceptionThread() != self)
      waitForOtherWriter([&] { return slot.exceptionRecorded(); });
  } else if (slot.claim(self)) {
    if (const SlotPage* page = slot.published()) writeCrashFile(*page, signo, info, context);
  } else if (slot.claimant() != self) {
    // Another thread writes the file; two writers would interleave their bytes.
    waitForOtherWriter([] { return false; });
  }
  handOver(signo, info);
  errno = savedErrno;
}

void installSignalHandler() {
  // The first backtrace() loads the unwinder, which allocates; do it now rather than in a
  // crash.
  void* frames[1];
  ::backtrace(frames, 1);

  // A stack overflow runs the handler on an alternate stack, on whichever thread it happens.
  coverEveryThread();

  struct sigaction action {};
  action.sa_sigaction = crashSignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  const std::lock_guard<platform::ForkSafeMutex> lock(installing);
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    // Kept before ours replaces it, so a crash in between still finds it.
    struct sigaction current {};
    if (::sigaction(kCrashSignals[i], nullptr, &current) == 0 && !isOwnAction(current)) {
      PreviousAction& kept = previousActions[i];
      const int copy = kept.published.load(std::memory_order_relaxed);
      if (copy < 0 || !sameAction(kept.copies[copy], current)) {
        const int next = copy == 0 ? 1 : 0;
        kept.copies[next] = current;
        kept.published.store(next, std::memory_order_release);
      }
    }
    ::sigaction(kCrashSignals[i], &action, nullptr);
  }
}

}  // namespace quillstone::crash
