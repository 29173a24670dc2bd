// The two crash files: their names and their bytes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillstone::crash {

constexpr std::string_view kSignalFileName = "crash-signal.json";
constexpr std::string_view kExceptionFileName = "crash-exception.json";
constexpr mode_t kCrashFileMode = 0644;

constexpr std::string_view kCrashKind = "crash";
constexpr std::string_view kCrashLevel = "fatal";

// The bytes of the signal file that follow the envelope members and precede the signal name.
constexpr std::string_view kSignalDataHead =
    "\"data\":{\"kind\":\"crash\",\"level\":\"fatal\",\"message\":\"App 收到致命信号\",\"name\":\"";
// Between the signal name and the first stack line.
constexpr std::string_view kSignalStackKey = "\",\"stack\":\"";
// Closes the stack string; the members known only at crash time follow it.
constexpr std::string_view kSignalStackEnd = "\"";
// Closes "data" and the file.
constexpr std::string_view kSignalTail = "}}";

// What the handler learns about the crash besides its stack.
struct CrashFacts {
  std::uint64_t faultAddress = 0;  // 0 for a signal that a process sent
  int signalCode = 0;
  std::int64_t threadId = 0;
  std::string_view threadName;
};

// Room for renderCrashFacts with a thread name as the kernel keeps it (15 bytes, each escaped
// as at most six).
constexpr std::size_t kCrashFactsCapacity = 256;

// Writes the "data" members `,"faultAddress":"0x…","signalCode":…,"thread":{"id":…,"name":"…"}`
// into `out` and returns their length; a name that does not fit whole is cut at a character.
// `capacity` must be at least kCrashFactsCapacity. Allocates nothing: async-signal-safe.
std::size_t renderCrashFacts(const CrashFacts& facts, char* out, std::size_t capacity) noexcept;

// The envelope members of a signal file that are known before the crash.
struct SignalHeadMembers {
  std::string appId;
  std::string installId;
  std::string sessionId;
  std::string release;
  std::string userId;
  std::string imageUUID;
  std::int64_t ts = 0;
};

// Everything of the signal file up to and including `"name":"`, at most `maxBytes` long. "ts" is
// its last member before "data", so the handler can write the crash time in its place.
// When the members do not fit whole, the longest string values are cut (at whole characters)
// until the head fits, sharing the room evenly, so the file still parses; nullopt only when
// even the fixed parts do not fit.
std::optional<std::string> renderSignalHead(const SignalHeadMembers& members, std::size_t maxBytes);

// Where the digits of "ts" lie in a head that renderSignalHead made from `members`: the
// offsets of the first digit and of the comma after the last.
struct TimeDigits {
  std::size_t begin = 0;
  std::size_t end = 0;
};
TimeDigits signalHeadTimeDigits(std::string_view head, const SignalHeadMembers& members);

// The name written for a signal number; "SIGNAL" for a number outside the crash signals.
// Async-signal-safe.
std::string_view signalName(int signo) noexcept;

}  // namespace quillstone::crash
