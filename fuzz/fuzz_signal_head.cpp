// The signal file is written in pieces by the crash handler: the pre-rendered head, a signal name,
// stack lines and the tail. Whatever the host's texts, those pieces must make one JSON document,
// also when the head had to be cut to fit its buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
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
  file += crash::kSignalTail;
  const auto json = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) std::abort();
  if (json.at("data").at("name") != crash::signalName(signo)) std::abort();
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
  checkFile(head, std::string_view(page->imageName, static_cast<std::size_t>(page->imageNameLen)),
            signo, members, input);
  return 0;
}
