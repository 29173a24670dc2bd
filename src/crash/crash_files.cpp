#include "crash/crash_files.hpp"

#include <algorithm>
#include <array>
#include <csignal>

#include "core/constants.hpp"
#include "core/envelope.hpp"
#include "core/text.hpp"

namespace quillstone::crash {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kFirstPrintable = 0x20;

// The escape sequence of one byte, or "" when the byte stands for itself.
std::string escapeOf(unsigned char byte) {
  switch (byte) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  if (byte >= kFirstPrintable) return {};
  return std::string("\\u00") + kHexDigits[byte >> 4] + kHexDigits[byte & 0xF];
}

// Length of the UTF-8 sequence that starts with `lead` (the text is valid UTF-8 here).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

struct Member {
  std::string_view key;
  std::string_view raw;
  std::string value;  // escaped, without quotes
};

constexpr std::size_t kMemberCount = 9;
// The bytes around one string member besides key and value: `"`, `":"`, `",`.
constexpr std::size_t kMemberPunctuation = 6;

}  // namespace

std::string escapeJsonText(std::string_view text, std::size_t maxBytes) {
  const std::string clean = core::sanitizeUtf8(text);
  std::string escaped;
  escaped.reserve(std::min(clean.size(), maxBytes));
  for (std::size_t offset = 0; offset < clean.size();) {
    const auto lead = static_cast<unsigned char>(clean[offset]);
    const std::size_t length = std::min(sequenceLength(lead), clean.size() - offset);
    std::string escape = length == 1 ? escapeOf(lead) : std::string();
    const std::string_view piece =
        escape.empty() ? std::string_view(clean).substr(offset, length) : std::string_view(escape);
    if (escaped.size() + piece.size() > maxBytes) break;
    escaped.append(piece);
    offset += length;
  }
  return escaped;
}

std::optional<std::string> renderSignalHead(const SignalHeadMembers& members,
                                            std::size_t maxBytes) {
  std::array<Member, kMemberCount> all{{{"id", members.appId, {}},
                                        {"type", core::kErrorType, {}},
                                        {"platform", core::kPlatform, {}},
                                        {"vid", members.installId, {}},
                                        {"sid", members.sessionId, {}},
                                        {"release", members.release, {}},
                                        {"sdk", core::kSdkVersion, {}},
                                        {"userId", members.userId, {}},
                                        {"imageUUID", members.imageUUID, {}}}};
  const std::string ts = "\"ts\":" + std::to_string(members.ts) + ",";

  // `{`, each `"key":"value",`, the ts member and the data head.
  std::size_t fixed = 1 + ts.size() + kSignalDataHead.size();
  std::size_t values = 0;
  for (Member& member : all) {
    member.value = escapeJsonText(member.raw);
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
      if (member->value.size() > share) member->value = escapeJsonText(member->raw, share);
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
