#include "crash/crash_files.hpp"

#include <algorithm>
#include <array>
#include <csignal>

#include "base/constants.hpp"
#include "base/digits.hpp"
#include "base/json_text.hpp"

namespace quillstone::crash {
namespace {

struct Member {
  std::string_view key;
  std::string_view raw;
  std::string value;  // escaped, without quotes
};

// Async-signal-safe: text appended to a fixed buffer, cut at its end.
struct FixedText {
  char* out;
  std::size_t capacity;
  std::size_t length = 0;

  void append(std::string_view text) {
    for (const char c : text) {
      if (length == capacity) return;
      out[length++] = c;
    }
  }

  void appendDecimal(std::int64_t value) {
    // Through the unsigned magnitude, so the smallest value has one too.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char digits[base::kMaxDecimalDigits];
    if (value < 0) append("-");
    append(base::decimalDigits(magnitude, digits));
  }

  void appendHex(std::uint64_t value) {
    char digits[base::kMaxHexDigits];
    append("0x");
    append(base::hexDigits(value, digits));
  }
};

constexpr std::string_view kThreadEnd = "\"}";

constexpr std::size_t kMemberCount = 9;
// The bytes around one string member besides key and value: `"`, `":"`, `",`.
constexpr std::size_t kMemberPunctuation = 6;

}  // namespace

std::optional<std::string> renderSignalHead(const SignalHeadMembers& members,
                                            std::size_t maxBytes) {
  std::array<Member, kMemberCount> all{{{"id", members.appId, {}},
                                        {"type", base::kErrorType, {}},
                                        {"platform", base::kPlatform, {}},
                                        {"vid", members.installId, {}},
                                        {"sid", members.sessionId, {}},
                                        {"release", members.release, {}},
                                        {"sdk", base::kSdkVersion, {}},
                                        {"userId", members.userId, {}},
                                        {"imageUUID", members.imageUUID, {}}}};
  const std::string ts = "\"ts\":" + std::to_string(members.ts) + ",";

  // `{`, each `"key":"value",`, the ts member and the data head.
  std::size_t fixed = 1 + ts.size() + kSignalDataHead.size();
  std::size_t values = 0;
  for (Member& member : all) {
    member.value = base::escapeJsonText(member.raw);
    fixed += member.key.size() + kMemberPunctuation;
    values += member.value.size();
  }
  if (fixed > maxBytes) return std::nullopt;

  if (fixed + values > maxBytes) {
    // Share the room left evenly, shortest values first, so a short value keeps all of it and
    // only the long ones are cut.
    std::size_t room = maxBytes - fixed;
    std::array<Member*, kMemberCount> byLength{};
    for (std::size_t i = 0; i < all.size(); ++i) byLength[i] = &all[i];
    std::stable_sort(byLength.begin(), byLength.end(), [](const Member* a, const Member* b) {
      return a->value.size() < b->value.size();
    });
    std::size_t left = byLength.size();
    for (Member* member : byLength) {
      const std::size_t share = room / left--;
      if (member->value.size() > share) member->value = base::escapeJsonText(member->raw, share);
      room -= member->value.size();
    }
  }

  std::string head = "{";
  for (const Member& member : all) {
    head.append("\"").append(member.key).append("\":\"").append(member.value).append("\",");
  }
  head.append(ts).append(kSignalDataHead);
  return head;
}

TimeDigits signalHeadTimeDigits(std::string_view head, const SignalHeadMembers& members) {
  const std::size_t end = head.size() - kSignalDataHead.size() - 1;
  return {end - std::to_string(members.ts).size(), end};
}

std::size_t renderCrashFacts(const CrashFacts& facts, char* out, std::size_t capacity) noexcept {
  FixedText text{out, capacity};
  text.append(",\"faultAddress\":\"");
  text.appendHex(facts.faultAddress);
  text.append("\",\"signalCode\":");
  text.appendDecimal(facts.signalCode);
  text.append(",\"thread\":{\"id\":");
  text.appendDecimal(facts.threadId);
  text.append(",\"name\":\"");
  const std::size_t room = text.capacity - text.length;
  if (room > kThreadEnd.size()) {
    text.length += base::escapeJsonInto(facts.threadName, text.out + text.length,
                                        room - kThreadEnd.size(), base::InvalidUtf8::eachByte)
                       .written;
  }
  text.append(kThreadEnd);
  return text.length;
}

std::string_view signalName(int signo) noexcept {
  switch (signo) {
    case SIGILL:
      return "SIGILL";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGABRT:
      return "SIGABRT";
    case SIGFPE:
      return "SIGFPE";
    case SIGBUS:
      return "SIGBUS";
    case SIGSEGV:
      return "SIGSEGV";
    default:
      return "SIGNAL";
  }
}

}  // namespace quillstone::crash
