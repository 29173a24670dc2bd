#include "crash/crash_slot.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/json_text.hpp"
#include "crash/image_list.hpp"
#include "platform/fork_safe.hpp"
#include "platform/signal_safe_io.hpp"

namespace quillstone::crash {
namespace {

using platform::copyWhole;

// A main program without a known text segment end is taken to span this much from its header.
constexpr std::uint64_t kFallbackTextSize = 0x4000000;

constinit CrashSlot slot;
constinit platform::ReservedFile reserve;

// Where the reservation is a named file, when the file system makes none without a name: beside
// the crash directory, so the directory holds nothing but crash files.
constexpr std::string_view kNamedReserve = "/quillstone-reserve-";

// Serialises preparations; the signal handler never takes it.
platform::ForkSafeMutex preparing;

// What the latest preparation of a process rendered, so that a new user id re-renders the head
// alone. Guarded by `preparing`; never destroyed, as a host thread may prepare during exit.
struct Latest {
  std::uint64_t forkGeneration = 0;
  std::shared_ptr<const void> source;
  SignalHeadMembers members;
  // The range the console was last told of, in process `loggedGeneration`.
  bool logged = false;
  std::uint64_t loggedGeneration = 0;
  std::uint64_t slide = 0;
  std::uint64_t imageStart = 0;
  std::uint64_t imageEnd = 0;
};
Latest& latest() {
  static Latest* const kept = new Latest;
  return *kept;
}

// Whether the range of `page` is news to the console; notes it as told. Under `preparing`.
bool rangeIsNews(Latest& last, const SlotPage& page, std::uint64_t generation) {
  if (last.logged && last.loggedGeneration == generation && last.slide == page.slide &&
      last.imageStart == page.imageStart && last.imageEnd == page.imageEnd) {
    return false;
  }
  last.logged = true;
  last.loggedGeneration = generation;
  last.slide = page.slide;
  last.imageStart = page.imageStart;
  last.imageEnd = page.imageEnd;
  return true;
}

void logRange(platform::Log& log, const SlotPage& page) {
  char line[128];
  std::snprintf(line, sizeof line, "[qs] slide=0x%" PRIx64 " img=[0x%" PRIx64 ",0x%" PRIx64 ")",
                page.slide, page.imageStart, page.imageEnd);
  log.write(line);
}

// Copies the NUL-terminated text of `from` into `to`, both `capacity` bytes.
void copyText(char* to, const char* from, std::size_t capacity) noexcept {
  std::memcpy(to, from, ::strnlen(from, capacity - 1) + 1);
}

}  // namespace

bool CrashSlot::claim(pid_t tid) noexcept {
  pid_t none = 0;
  return claimant_.compare_exchange_strong(none, tid);
}

bool CrashSlot::publish(const SlotPage& rendered) noexcept {
  // A handler that claimed the file before this check reads a page that was published before
  // it claimed; the page written below is the other one, and every later preparation sees the
  // claim and stops. So the handler's page never changes under it.
  if (claimant_.load() != 0) return false;
  const SlotPage* current = published_.load();
  SlotPage* target = current == &pages_[0] ? &pages_[1] : &pages_[0];
  std::memcpy(target, &rendered, sizeof(SlotPage));
  published_.store(target);
  return true;
}

bool CrashSlot::publishHead(std::string_view head, std::int64_t timeBegin,
                            std::int64_t timeEnd) noexcept {
  // As in publish: a claim made after this check reads the current page, never the target.
  if (claimant_.load() != 0) return false;
  const SlotPage* current = published_.load();
  if (current == nullptr || head.size() >= kHeadCapacity) return false;
  SlotPage* target = current == &pages_[0] ? &pages_[1] : &pages_[0];
  // The target holds an older rendering: only the used bytes are brought up to date.
  copyText(target->path, current->path, kPathCapacity);
  copyText(target->tail, current->tail, kTailCapacity);
  target->tailLen = current->tailLen;
  copyText(target->imageName, current->imageName, kImageNameCapacity);
  target->imageNameLen = current->imageNameLen;
  target->slide = current->slide;
  target->imageStart = current->imageStart;
  target->imageEnd = current->imageEnd;
  std::memcpy(target->head, head.data(), head.size());
  target->head[head.size()] = '\0';
  target->headLen = static_cast<std::int64_t>(head.size());
  target->timeBegin = timeBegin;
  target->timeEnd = timeEnd;
  published_.store(target);
  return true;
}

CrashSlot& crashSlot() noexcept { return slot; }

platform::ReservedFile& crashReserve() noexcept { return reserve; }

void prepareCrashReserve(const std::string& directory) {
  const auto slash = directory.rfind('/');
  if (slash == std::string::npos) return;
  reserve.prepare(directory, directory.substr(0, slash) + std::string(kNamedReserve),
                  kCrashReserveBytes, kCrashFileMode);
}

PrepareResult prepareCrashSlot(const SlotContent& content, platform::Log& log) {
  // Everything that allocates or formats happens before the lock.
  const auto head = renderSignalHead(content.members, kHeadCapacity - 1);
  if (!head) return PrepareResult::headTooLong;
  const std::string imageName = base::escapeJsonText(content.image.name, kImageNameCapacity - 1);
  prepareImageList();

  auto page = std::make_unique<SlotPage>();
  if (!copyWhole(page->path, content.path)) return PrepareResult::pathTooLong;
  copyWhole(page->head, *head);
  page->headLen = static_cast<std::int64_t>(head->size());
  const TimeDigits time = signalHeadTimeDigits(*head, content.members);
  page->timeBegin = static_cast<std::int64_t>(time.begin);
  page->timeEnd = static_cast<std::int64_t>(time.end);
  copyWhole(page->tail, kSignalTail);
  page->tailLen = static_cast<std::int64_t>(kSignalTail.size());
  copyWhole(page->imageName, imageName);
  page->imageNameLen = static_cast<std::int64_t>(imageName.size());
  page->slide = content.image.slide;
  page->imageStart = content.image.textStart;
  page->imageEnd = content.image.textEnd != 0 ? content.image.textEnd
                                              : content.image.textStart + kFallbackTextSize;
  const std::uint64_t generation = platform::forkGeneration();
  bool news = false;
  {
    std::lock_guard guard(preparing);
    if (content.image.textStart == 0) {
      // No header from the loader: the text range stays as the last preparation found it.
      const SlotPage* previous = slot.published();
      page->imageStart = previous ? previous->imageStart : 0;
      page->imageEnd = previous ? previous->imageEnd : 0;
    }
    if (!slot.publish(*page)) return PrepareResult::crashInProgress;
    Latest& last = latest();
    last.forkGeneration = generation;
    last.source = content.source;
    last.members = content.members;
    news = rangeIsNews(last, *page, generation);
  }
  // The same line at every preparation would flood the host's log with nothing new.
  if (news) logRange(log, *page);
  return PrepareResult::prepared;
}

PrepareResult prepareCrashSlotUser(const void* source, std::string_view userId, std::int64_t ts) {
  std::lock_guard guard(preparing);
  Latest& last = latest();
  if (last.source == nullptr || last.source.get() != source ||
      last.forkGeneration != platform::forkGeneration()) {
    return PrepareResult::notPrepared;
  }
  last.members.userId = userId;
  last.members.ts = ts;
  // The whole head again, as its members share the room when they do not all fit; the other
  // parts of the page stay as they are.
  const auto head = renderSignalHead(last.members, kHeadCapacity - 1);
  if (!head) return PrepareResult::headTooLong;
  const TimeDigits time = signalHeadTimeDigits(*head, last.members);
  if (!slot.publishHead(*head, static_cast<std::int64_t>(time.begin),
                        static_cast<std::int64_t>(time.end))) {
    return slot.published() == nullptr ? PrepareResult::notPrepared
                                       : PrepareResult::crashInProgress;
  }
  return PrepareResult::prepared;
}

}  // namespace quillstone::crash
