#include "crash/signal_handler.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "crash/alternate_stacks.hpp"
#include "crash/crash_slot.hpp"
#include "crash/image_list.hpp"

namespace quillstone::crash {
namespace {

constexpr int kMaxFrames = 64;
constexpr std::size_t kDecimalBufferSize = 24;  // a 64-bit value has at most 20 digits
constexpr std::size_t kHexBufferSize = 20;      // "0x" and at most 16 digits
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kUnknownImage[] = "???";
constexpr char kFieldGap[] = "   ";
constexpr char kLineEnd[] = "\\n";  // an escaped line break inside the JSON string
// A frame line: index, gap, image name, gap, hexadecimal value, line end.
constexpr std::size_t kLineBufferSize =
    kDecimalBufferSize + 3 + kImageNameCapacity + 3 + kHexBufferSize + 2;

// A thread that faults while another one writes the file waits this long, in steps, for the
// process to end before it gives up and lets its own signal end the process.
constexpr long kWaitStepNanoseconds = 10'000'000;
constexpr int kWaitSteps = 500;

// Async-signal-safe: writes all of `bytes`, resuming after short writes and interruptions.
void writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
}

// Async-signal-safe: a growing line in a fixed buffer on the handler's stack.
struct Line {
  char bytes[kLineBufferSize];
  std::size_t length = 0;

  void append(const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count && length < sizeof bytes; ++i) bytes[length++] = text[i];
  }

  void appendDecimal(std::uint64_t value) {
    char digits[kDecimalBufferSize];
    std::size_t at = sizeof digits;
    do {
      digits[--at] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    append(digits + at, sizeof digits - at);
  }

  void appendHex(std::uint64_t value) {
    char digits[kHexBufferSize];
    std::size_t at = sizeof digits;
    do {
      digits[--at] = kHexDigits[value & 0xF];
      value >>= 4;
    } while (value != 0);
    digits[--at] = 'x';
    digits[--at] = '0';
    append(digits + at, sizeof digits - at);
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

// Async-signal-safe.
void writeStack(int fd, const SlotPage& page, void* context) {
  std::uint64_t index = 0;
  const std::uint64_t pc = programCounter(context);
  if (pc != 0 && inImage(page, pc)) writeFrame(fd, page, index++, true, pc - page.slide);

  void* frames[kMaxFrames] = {};
  const int count = ::backtrace(frames, kMaxFrames);
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

// Async-signal-safe.
void writeCrashFile(const SlotPage& page, int signo, void* context) {
  const int fd = ::open(page.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCrashFileMode);
  if (fd < 0) return;
  writeAll(fd, page.head, static_cast<std::size_t>(page.headLen));
  const std::string_view name = signalName(signo);
  writeAll(fd, name.data(), name.size());
  writeAll(fd, kSignalStackKey.data(), kSignalStackKey.size());
  writeStack(fd, page, context);
  writeAll(fd, kSignalStackEnd.data(), kSignalStackEnd.size());
  writeImageList(fd);
  writeAll(fd, page.tail, static_cast<std::size_t>(page.tailLen));
  ::close(fd);
}

// Async-signal-safe: another thread is writing a crash file; give it time to finish and end
// the process. Bounded, so a writer that never finishes cannot keep the process alive.
template <typename Done>
void waitForOtherWriter(Done done) {
  const timespec step{0, kWaitStepNanoseconds};
  for (int i = 0; i < kWaitSteps && !done(); ++i) ::nanosleep(&step, nullptr);
}

// Async-signal-safe.
void dieOfSignal(int signo) {
  ::signal(signo, SIG_DFL);
  ::raise(signo);
}

}  // namespace

void crashSignalHandler(int signo, siginfo_t*, void* context) {
  const int savedErrno = errno;
  CrashSlot& slot = crashSlot();
  const pid_t self = ::gettid();
  if (slot.exceptionSeen()) {
    // The exception's record is the report; let its writer finish before the process ends.
    if (slot.exceptionThread() != self)
      waitForOtherWriter([&] { return slot.exceptionRecorded(); });
  } else if (slot.claim(self)) {
    if (const SlotPage* page = slot.published()) writeCrashFile(*page, signo, context);
  } else if (slot.claimant() != self) {
    // Another thread writes the file; two writers would interleave their bytes.
    waitForOtherWriter([] { return false; });
  }
  dieOfSignal(signo);
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
  for (const int signo : kCrashSignals) ::sigaction(signo, &action, nullptr);
}

}  // namespace quillstone::crash
