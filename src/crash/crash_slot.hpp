// The signal crash slot: every byte of the signal file that is known before a crash, rendered in
// advance into fixed buffers that the signal handler only copies.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "crash/crash_files.hpp"
#include "platform/loader.hpp"
#include "platform/log.hpp"
#include "platform/reserved_file.hpp"

namespace quillstone::crash {

constexpr std::size_t kPathCapacity = 1024;
constexpr std::size_t kHeadCapacity = 4096;
constexpr std::size_t kTailCapacity = 512;
constexpr std::size_t kImageNameCapacity = 256;

// One complete rendering. The handler reads only a page that was fully written before it was
// published, so it never sees a half-rendered head.
struct SlotPage {
  char path[kPathCapacity];  // NUL-terminated path of the signal file
  char head[kHeadCapacity];  // NUL-terminated, up to and including `"name":"`
  std::int64_t headLen;
  // [timeBegin, timeEnd) of head: the digits of "ts", which the handler replaces by the crash
  // time.
  std::int64_t timeBegin;
  std::int64_t timeEnd;
  char tail[kTailCapacity];  // NUL-terminated `}}`
  std::int64_t tailLen;
  std::uint64_t slide;       // load bias of the main program
  std::uint64_t imageStart;  // [imageStart, imageEnd): the main program's text
  std::uint64_t imageEnd;
  char imageName[kImageNameCapacity];  // JSON-escaped file name of the main program
  std::int64_t imageNameLen;
};

// Lives in static storage for the whole process: its buffers exist before any code runs and
// never move. Two pages: preparation renders into the one the handler is not reading and then
// publishes it with one atomic store.
class CrashSlot {
 public:
  // The latest complete rendering, or null before the first preparation ("not ready").
  // Async-signal-safe.
  const SlotPage* published() const noexcept { return published_.load(); }

  // Set once an uncaught exception is being recorded: the abort that follows writes no signal
  // file. Async-signal-safe.
  bool exceptionSeen() const noexcept { return exceptionThread_.load() != 0; }
  // The thread recording the exception.
  pid_t exceptionThread() const noexcept { return exceptionThread_.load(); }
  void markExceptionSeen(pid_t tid) noexcept { exceptionThread_.store(tid); }
  // Set when the exception's file is written (or could not be): until then another thread's
  // fatal signal waits rather than end the process under the writer. Async-signal-safe.
  bool exceptionRecorded() const noexcept { return exceptionRecorded_.load(); }
  void markExceptionRecorded() noexcept { exceptionRecorded_.store(true); }

  // Claims the right to write the signal file for thread `tid`; only the first caller in the
  // process gets it. Once claimed, preparations stop touching the pages. Async-signal-safe.
  bool claim(pid_t tid) noexcept;
  // The thread that claimed the file, or 0. Async-signal-safe.
  pid_t claimant() const noexcept { return claimant_.load(); }

  // Copies a rendering into the page the handler is not reading and publishes it. Returns false
  // (slot untouched) when a crash is already being written. Callers serialise among themselves.
  bool publish(const SlotPage& rendered) noexcept;
  // Publishes the published page again with `head` (shorter than kHeadCapacity, its "ts" digits
  // at [timeBegin, timeEnd)) in place of its head, written into the page the handler is not
  // reading. False (slot untouched) when a crash is being written or nothing was published yet.
  // Callers serialise among themselves and with publish.
  bool publishHead(std::string_view head, std::int64_t timeBegin, std::int64_t timeEnd) noexcept;

 private:
  SlotPage pages_[2]{};
  std::atomic<const SlotPage*> published_{nullptr};
  std::atomic<pid_t> exceptionThread_{0};
  std::atomic<bool> exceptionRecorded_{false};
  std::atomic<pid_t> claimant_{0};

  static_assert(std::atomic<const SlotPage*>::is_always_lock_free);
  static_assert(std::atomic<bool>::is_always_lock_free);
  static_assert(std::atomic<pid_t>::is_always_lock_free);
};

// The process's one slot.
CrashSlot& crashSlot() noexcept;

// What a preparation renders.
struct SlotContent {
  std::string path;  // of "crash-signal.json" in the crash directory
  SignalHeadMembers members;
  platform::MainImage image;
  // What the members were read from; only a preparation from the same source is re-rendered by
  // prepareCrashSlotUser. Kept alive with the preparation, so its address is never another's.
  std::shared_ptr<const void> source;
};

enum class PrepareResult {
  prepared,
  pathTooLong,      // the handler could not hold the path; the slot keeps its previous state
  headTooLong,      // not even the fixed parts fit; the slot keeps its previous state
  crashInProgress,  // a signal is being handled; the pages are left alone
  notPrepared,      // no preparation of this process from that source to re-render
};

// Renders `content` and publishes it, then logs the image range. Safe to call from any thread,
// at any time, while a signal may arrive.
// The console hears of the image range only when it differs from the one this process last
// logged (its first preparation, and a forked child's first), not at every preparation.
PrepareResult prepareCrashSlot(const SlotContent& content, platform::Log& log);

// Publishes the latest preparation of this process again with `userId` and `ts` in place of its
// members: the bytes prepareCrashSlot would publish for that content, without reading the
// directory, the loader or the console again. notPrepared when this process (not the one it was
// forked from) has no preparation from `source`. Safe to call from any thread, at any time.
PrepareResult prepareCrashSlotUser(const void* source, std::string_view userId, std::int64_t ts);

// Room for one crash file, reserved while the process is healthy so that a crash still leaves a
// complete file on a full disk or with no descriptor free. The signal file (head, 64 frames and
// the members after them) and a usual exception file fit several times over.
constexpr std::size_t kCrashReserveBytes = 64 * 1024;

// The process's one reservation for a crash file.
platform::ReservedFile& crashReserve() noexcept;

// Reserves a descriptor and kCrashReserveBytes for a crash file in the crash directory
// `directory`, or keeps the reservation this process holds there. Safe to call from any thread.
void prepareCrashReserve(const std::string& directory);

}  // namespace quillstone::crash
