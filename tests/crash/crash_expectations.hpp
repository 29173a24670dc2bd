// What crash tests share: a configured client in a child, crash producers and the strict check of
// the signal file's bytes.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash/build_uuid.hpp"
#include "crash/crash_dir.hpp"
#include "crash/crash_files.hpp"
#include "platform/bundle.hpp"
#include "platform/files.hpp"
#include "platform/loader.hpp"
#include "quillstone/quillstone.hpp"

namespace quillstone::testing {

// Address and thread sanitizers bring their own allocator, which the allocation test cannot
// replace.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerAllocator = true;
#else
constexpr bool kSanitizerAllocator = false;
#endif

#define QS_SKIP_WITH_SANITIZER_ALLOCATOR()                                                  \
  if (::quillstone::testing::kSanitizerAllocator)                                           \
  GTEST_SKIP() << "the sanitizer's allocator cannot be replaced to catch an allocation in " \
                  "the handler"

inline constexpr char kAppId[] = "crash-app";
inline constexpr char kRelease[] = "3.1.4";
// Nothing listens here; crash tests do not upload.
inline constexpr char kNowhere[] = "http://127.0.0.1:9/";

inline Quillstone::Config crashConfig(bool reportCrash = true,
                                      const std::string& server = kNowhere) {
  return Quillstone::Config(kAppId, Quillstone::resolveServer(server), kRelease, "test",
                            reportCrash, false, false);
}

inline void startClient(bool reportCrash = true) {
  Quillstone::shared().start(crashConfig(reportCrash));
}

inline std::string crashFile(std::string_view name) {
  return crash::crashDirectory() + "/" + std::string(name);
}

inline std::set<std::string> crashDirEntries() {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(crash::crashDirectory(), ignored)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

inline std::optional<std::string> readCrashFile(std::string_view name) {
  return platform::readFile(crashFile(name));
}

// Real crashes. The volatile pointers keep the compiler from seeing the fault in advance, and the
// undefined-behaviour checker is kept out of the way so that the fault itself happens.
// The envelope members both crash writers share, as a client started by startClient() fills them.
inline void expectCrashEnvelope(const nlohmann::json& report, const std::string& userId) {
  EXPECT_EQ(report["id"], kAppId);
  EXPECT_EQ(report["release"], kRelease);
  EXPECT_EQ(report["type"], "error");
  EXPECT_EQ(report["platform"], "ios");
  EXPECT_EQ(report["sdk"], "1.0.0-ios");
  EXPECT_EQ(report["userId"], userId);
  EXPECT_EQ(report["imageUUID"], crash::imageUUID());
}

// The main program's entry of an "images" list, from the loader's view of this process (a forked
// child shares it).
inline nlohmann::json mainImageEntry() {
  const platform::MainImage image = platform::mainImage();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string buildId;
  for (const auto byte : image.buildId) (buildId += kHex[byte >> 4]) += kHex[byte & 0xF];
  char base[24];
  std::snprintf(base, sizeof base, "0x%llx", static_cast<unsigned long long>(image.slide));
  return {{"base", base},
          {"buildId", buildId},
          {"path", platform::executablePath()},
          {"size", image.textEnd - image.textStart}};
}

#define QS_REAL_FAULT __attribute__((no_sanitize("undefined"), noinline))

[[noreturn]] QS_REAL_FAULT inline void crashWithSegv() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
  std::abort();
}

[[noreturn]] QS_REAL_FAULT inline void crashWithBus() {
  // Touching a shared mapping beyond the end of its file.
  char path[] = "/tmp/qs-bus-XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  void* mapping = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  volatile char* volatile byte = static_cast<char*>(mapping);
  *byte = 1;
  std::abort();
}

[[noreturn]] QS_REAL_FAULT inline void crashWithFpe() {
  // Both operands volatile: the compiler turns `1 / x` into a comparison without a division.
  volatile int dividend = 7;
  volatile int zero = 0;
  volatile int quotient = dividend / zero;
  (void)quotient;
  std::abort();
}

[[noreturn]] inline void crashWithTrap() {
  asm volatile("int3");
  std::abort();
}

[[noreturn]] inline void crashWithIll() { __builtin_trap(); }

// A store through a null pointer after the stack and frame pointers were set to unmapped
// memory: unwinding the interrupted frames reads from there.
[[noreturn]] inline void crashWithGarbageStackPointer() {
  asm volatile(
      "xor %%eax, %%eax\n"
      "mov $0x18, %%rsp\n"
      "mov $0x18, %%rbp\n"
      "movl %%eax, (%%rax)\n" ::
          : "rax", "memory");
  __builtin_unreachable();
}

#define QS_UNCHECKED_OVERRUN \
  __attribute__((noinline, no_sanitize("address", "undefined"), optimize("no-stack-protector")))

// Writes `count` bytes of a pattern from `from` upwards. Its own frame lies below the buffer it
// overruns, so the overrun cannot cut the loop short.
QS_UNCHECKED_OVERRUN inline void fillUpwards(volatile char* from, int count) {
  for (int i = 0; i < count; ++i) from[i] = 0x41;
}

// Overruns a local buffer over the saved frame pointer, the return address and the callers'
// frames, then returns into the overwritten address. Kept from the checks that would stop the
// overrun before it happens.
QS_UNCHECKED_OVERRUN inline void smashTheStackAndReturn() {
  char buffer[16];
  fillUpwards(buffer, 512);
}

[[noreturn]] inline void crashWithSmashedStack() {
  smashTheStackAndReturn();
  std::abort();
}

inline std::string regexEscape(std::string_view text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(std::string(text), special, R"(\$&)");
}

// The signal file's bytes, exactly: `{`, ten `"key":value,` members, the data head, the signal
// The signal file's bytes, exactly: `{`, ten `"key":value,` members, the data head, the signal
// name, the stack lines, the end of the stack, the crash-time members, the image list and the
// tail; it parses, has the eleven members and the "data" members in their order, and its frame
// indexes count up from 0.
inline ::testing::AssertionResult matchesSignalLayout(const std::string& bytes,
                                                      std::string_view signal) {
  static const std::string member =
      R"re((?:"(?:id|type|platform|vid|sid|release|sdk|userId|imageUUID)":"(?:[^"\\]|\\.)*",|"ts":[0-9]+,))re";
  static const std::string line =
      R"re((?:0|[1-9][0-9]*)   (?:[^"\\]|\\.)+?   0x(?:0|[1-9a-f][0-9a-f]*)\\n)re";
  static const std::string facts =
      R"re(,"faultAddress":"0x(?:0|[1-9a-f][0-9a-f]*)","signalCode":-?[0-9]+,"thread":\{"id":[1-9][0-9]*,"name":"(?:[^"\\]|\\.)*"\})re";
  static const std::string image =
      R"re(\{"base":"0x(?:0|[1-9a-f][0-9a-f]*)","buildId":"(?:[0-9a-f]{2})*","path":"(?:[^"\\]|\\.)*","size":(?:0|[1-9][0-9]*)\})re";
  const std::regex layout("\\{" + member + "{10}" + regexEscape(crash::kSignalDataHead) +
                          std::string(signal) + regexEscape(crash::kSignalStackKey) +
                          "((?:" + line + ")*)" + regexEscape(crash::kSignalStackEnd) + facts +
                          ",\"images\":\\[" + image + "(?:," + image + ")*\\]" +
                          regexEscape(crash::kSignalTail));
  std::smatch match;
  if (!std::regex_match(bytes, match, layout)) {
    return ::testing::AssertionFailure() << "layout does not match: " << bytes;
  }
  nlohmann::ordered_json parsed;
  try {
    parsed = nlohmann::ordered_json::parse(bytes);
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "does not parse (" << e.what() << "): " << bytes;
  }
  if (parsed.size() != 11) return ::testing::AssertionFailure() << "not 11 members: " << bytes;
  const auto& data = parsed["data"];
  std::vector<std::string> keys;
  for (const auto& [key, value] : data.items()) keys.push_back(key);
  if (keys != std::vector<std::string>{"kind", "level", "message", "name", "stack", "faultAddress",
                                       "signalCode", "thread", "images"}) {
    return ::testing::AssertionFailure() << "data members: " << data.dump();
  }
  const std::string stack = data["stack"];
  std::size_t expected = 0;
  for (std::size_t start = 0; start < stack.size();) {
    const std::size_t end = stack.find('\n', start);
    const std::string index = stack.substr(start, stack.find(' ', start) - start);
    if (index != std::to_string(expected++)) {
      return ::testing::AssertionFailure() << "frame index " << index << " in " << stack;
    }
    start = end + 1;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace quillstone::testing
