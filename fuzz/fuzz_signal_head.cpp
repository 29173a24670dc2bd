// The signal file is written in pieces by the crash handler: the pre-rendered head (with the crash
// time in place of its "ts" digits), a signal name, stack lines, the crash-time members and the
// tail. Whatever the host's texts and the thread's name, those pieces must make one JSON
// document, also when the head had to be cut to fit its buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "base/json_text.hpp"
#include "base/text.hpp"
#include "crash/crash_files.hpp"
#include "crash/crash_slot.hpp"
#include "platform/log.hpp"

namespace {

using namespace quillstone;

constexpr std::size_t kMaxText = 2048;
constexpr int kMaxFrames = 8;
// Longer than any name the kernel keeps, so that cutting is fuzzed too.
constexpr std::size_t kMaxThreadName = 64;

class SilentLog final : public platform::Log {
 public:
  void write(std::string_view) noexcept override {}
};

// One frame line as the handler writes it: index, gap, image, gap, hexadecimal value, "\n".
std::string frameLine(int index, std::string_view image, std::uint64_t value) {
  char hex[20];
  std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(value));
  return std::to_string(index) + "   " + std::string(image) + "   " + hex + "\\n";
}

// Every string member came from a host text, cut only at a whole character.
void checkMember(const nlohmann::json& file, const char* key, const std::string& raw) {
  const auto& value = file.at(key).get_ref<const std::string&>();
  if (base::sanitizeUtf8(raw).rfind(value, 0) != 0) std::abort();
}

void checkFile(const std::string& head, std::string_view image, int signo,
               const crash::SignalHeadMembers& members, FuzzedDataProvider& input) {
  std::string file = head;
  file += crash::signalName(signo);
  file += crash::kSignalStackKey;
  const int frames = input.ConsumeIntegralInRange(0, kMaxFrames);
  for (int i = 0; i < frames; ++i) {
    file +=
        frameLine(i, input.ConsumeBool() ? image : "???", input.ConsumeIntegral<std::uint64_t>());
  }
  file += crash::kSignalStackEnd;
  crash::CrashFacts facts;
  facts.faultAddress = input.ConsumeIntegral<std::uint64_t>();
  facts.signalCode = input.ConsumeIntegral<int>();
  facts.threadId = input.ConsumeIntegral<std::int64_t>();
  const std::string threadName = input.ConsumeRandomLengthString(kMaxThreadName);
  facts.threadName = threadName;
  char factsText[crash::kCrashFactsCapacity];
  file.append(factsText, crash::renderCrashFacts(facts, factsText, sizeof factsText));
  file += crash::kSignalTail;
  const auto json = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) std::abort();
  const auto& data = json.at("data");
  if (data.at("name") != crash::signalName(signo)) std::abort();
  char address[24];
  std::snprintf(address, sizeof address, "0x%llx",
                static_cast<unsigned long long>(facts.faultAddress));
  if (data.at("faultAddress") != address) std::abort();
  if (data.at("signalCode") != facts.signalCode) std::abort();
  if (data.at("thread").at("id") != facts.threadId) std::abort();
  checkMember(data.at("thread"), "name", threadName);
  checkMember(json, "id", members.appId);
  checkMember(json, "vid", members.installId);
  checkMember(json, "sid", members.sessionId);
  checkMember(json, "release", members.release);
  checkMember(json, "userId", members.userId);
  checkMember(json, "imageUUID", members.imageUUID);
  if (json.at("ts") != members.ts) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static SilentLog log;
  FuzzedDataProvider input(data, size);
  crash::SignalHeadMembers members;
  members.appId = input.ConsumeRandomLengthString(kMaxText);
  members.installId = input.ConsumeRandomLengthString(kMaxText);
  members.sessionId = input.ConsumeRandomLengthString(kMaxText);
  members.release = input.ConsumeRandomLengthString(kMaxText);
  members.userId = input.ConsumeRandomLengthString(kMaxText);
  members.imageUUID = input.ConsumeRandomLengthString(kMaxText);
  members.ts = input.ConsumeIntegral<std::int64_t>();
  const std::string imageName = input.ConsumeRandomLengthString(kMaxText);
  const int signo = input.ConsumeIntegral<int>();

  // Any room the caller might give.
  const std::size_t room = input.ConsumeIntegralInRange<std::size_t>(0, crash::kHeadCapacity);
  if (const auto head = crash::renderSignalHead(members, room)) {
    if (head->size() > room) std::abort();
    // The handler writes the crash time exactly where the prepared time stands.
    const crash::TimeDigits time = crash::signalHeadTimeDigits(*head, members);
    if (head->substr(time.begin, time.end - time.begin) != std::to_string(members.ts)) std::abort();
    checkFile(*head, base::escapeJsonText(imageName, crash::kImageNameCapacity - 1), signo, members,
              input);
  }

  // The slot as the handler reads it.
  crash::SlotContent content;
  content.path = "/nonexistent/crash-signal.json";
  content.members = members;
  content.image.name = imageName;
  content.image.textStart = 0x1000;
  if (crash::prepareCrashSlot(content, log) != crash::PrepareResult::prepared) return 0;
  const crash::SlotPage* page = crash::crashSlot().published();
  const std::string head(page->head, static_cast<std::size_t>(page->headLen));
  const std::string tail(page->tail, static_cast<std::size_t>(page->tailLen));
  if (tail != crash::kSignalTail) std::abort();
  if (head.substr(static_cast<std::size_t>(page->timeBegin),
                  static_cast<std::size_t>(page->timeEnd - page->timeBegin)) !=
      std::to_string(members.ts)) {
    std::abort();
  }
  checkFile(head, std::string_view(page->imageName, static_cast<std::size_t>(page->imageNameLen)),
            signo, members, input);
  return 0;
}
