#include "crash/signal_handler.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>

#include <barrier>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "crash/build_uuid.hpp"
#include "crash/crash_slot.hpp"
#include "crash_expectations.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"

namespace quillstone::testing {
namespace {

using namespace std::chrono_literals;

struct SignalCase {
  const char* name;
  int signo;
  void (*crash)();
  friend void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }
};

class EachCrashSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(EachCrashSignal, DiesOfTheSignalAndLeavesOneFileWithTheExactLayout) {
  TempHome home;
  const std::int64_t before = platform::nowMillis();
  const ChildResult child = runInChild([] {
    startClient();
    Quillstone::shared().setUser("u\"42");
    GetParam().crash();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, GetParam().signo);

  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-signal.json"});
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, GetParam().name));
  const auto report = nlohmann::json::parse(*bytes);
  expectCrashEnvelope(report, "u\"42");
  EXPECT_EQ(report["vid"].get<std::string>().size(), 36u);
  EXPECT_EQ(report["sid"].get<std::string>().size(), 36u);
  EXPECT_GE(report["ts"].get<std::int64_t>(), before);
  EXPECT_EQ(report["data"]["message"], "App 收到致命信号");
  EXPECT_EQ(std::filesystem::status(crashFile(crash::kSignalFileName)).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms(0644) & ~std::filesystem::perms(::umask(022)));
}

INSTANTIATE_TEST_SUITE_P(CrashSignals, EachCrashSignal,
                         ::testing::Values(SignalCase{"SIGSEGV", SIGSEGV, crashWithSegv},
                                           SignalCase{"SIGABRT", SIGABRT, [] { std::abort(); }},
                                           SignalCase{"SIGBUS", SIGBUS, crashWithBus},
                                           SignalCase{"SIGILL", SIGILL, crashWithIll},
                                           SignalCase{"SIGFPE", SIGFPE, crashWithFpe},
                                           SignalCase{"SIGTRAP", SIGTRAP, crashWithTrap}),
                         [](const auto& info) { return std::string(info.param.name); });

// A host handler installed before start reports by its exit code what it found when it ran.
constexpr int kHostFoundTheFile = 71;
constexpr int kHostFoundNoFile = 72;
constexpr int kHostGotOtherInformation = 73;

std::string hostExpectedFile;

[[noreturn]] void exitWithWhatTheHostFinds() {
  const auto bytes = platform::readFile(hostExpectedFile);
  _exit(bytes && nlohmann::json::accept(*bytes) ? kHostFoundTheFile : kHostFoundNoFile);
}

void hostHandler(int) { exitWithWhatTheHostFinds(); }

void hostInfoHandler(int, siginfo_t* info, void*) {
  // The fault itself reaches the host, not a signal some process sent.
  if (info == nullptr || info->si_code != SEGV_MAPERR) _exit(kHostGotOtherInformation);
  exitWithWhatTheHostFinds();
}

[[noreturn]] __attribute__((noinline)) void throwRuntimeError() { throw std::runtime_error("x"); }
[[noreturn]] void throwThroughNoexcept() noexcept { throwRuntimeError(); }

struct HostHandlerCase {
  const char* name;
  void (*install)();
  void (*crash)();
  std::string_view file;
  friend void PrintTo(const HostHandlerCase& c, std::ostream* out) { *out << c.name; }
};

class HostHandlerBeforeStart : public ::testing::TestWithParam<HostHandlerCase> {};

TEST_P(HostHandlerBeforeStart, RunsAfterTheCrashFileIsWritten) {
  TempHome home;
  const ChildResult child = runInChild([] {
    hostExpectedFile = crashFile(GetParam().file);
    GetParam().install();
    startClient();
    // A second start keeps the host's handler rather than taking the library's own for it.
    startClient();
    GetParam().crash();
  });
  EXPECT_TRUE(child.exited && child.exitCode == kHostFoundTheFile) << child.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, HostHandlerBeforeStart,
    ::testing::Values(HostHandlerCase{"SigactionWithInfoForAFault",
                                      [] {
                                        struct sigaction action {};
                                        action.sa_sigaction = hostInfoHandler;
                                        action.sa_flags = SA_SIGINFO;
                                        sigaction(SIGSEGV, &action, nullptr);
                                      },
                                      crashWithSegv, crash::kSignalFileName},
                      HostHandlerCase{"SignalForAFault", [] { signal(SIGSEGV, hostHandler); },
                                      crashWithSegv, crash::kSignalFileName},
                      HostHandlerCase{"SignalForAnAbort", [] { signal(SIGABRT, hostHandler); },
                                      [] { std::abort(); }, crash::kSignalFileName},
                      HostHandlerCase{"TerminateHandler",
                                      [] { std::set_terminate(exitWithWhatTheHostFinds); },
                                      throwThroughNoexcept, crash::kExceptionFileName}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SignalHandler, AFaultInTheProgramStartsTheStackWithTheProgramCounterInTheProgram) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    crashWithSegv();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  const auto report = nlohmann::json::parse(readCrashFile(crash::kSignalFileName).value());
  const std::string stack = report["data"]["stack"];
  EXPECT_EQ(stack.rfind("0   crash_tests   0x", 0), 0u) << stack;
  EXPECT_EQ(stack.back(), '\n');
}

TEST(SignalHandler, ListsTheMainProgramFirstAndTheImageOfEveryFrameOutsideIt) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    crashWithSegv();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  const auto report = nlohmann::json::parse(readCrashFile(crash::kSignalFileName).value());
  const auto& images = report["data"]["images"];
  ASSERT_TRUE(images.is_array()) << report.dump();
  EXPECT_EQ(images[0], mainImageEntry());
  ASSERT_GE(images.size(), 2u) << images.dump();  // at least the C library, which called main

  // Each frame outside the program lies in a listed image, and each listed image holds one.
  std::vector<bool> holdsFrame(images.size());
  const std::string stack = report["data"]["stack"];
  static const std::regex foreign("   \\?\\?\\?   0x([0-9a-f]+)\n");
  for (std::sregex_iterator it(stack.begin(), stack.end(), foreign), end; it != end; ++it) {
    const std::uint64_t address = std::stoull((*it)[1].str(), nullptr, 16);
    bool listed = false;
    for (std::size_t i = 1; i < images.size(); ++i) {
      // Shared objects are linked at 0: their text starts at their load bias.
      const std::uint64_t base = std::stoull(images[i]["base"].get<std::string>(), nullptr, 16);
      if (address < base || address - base >= images[i]["size"].get<std::uint64_t>()) continue;
      listed = holdsFrame[i] = true;
    }
    EXPECT_TRUE(listed) << std::hex << address << " in " << images.dump();
  }
  for (std::size_t i = 1; i < images.size(); ++i) EXPECT_TRUE(holdsFrame[i]) << images[i].dump();
}

TEST(SignalHandler, AnUnreadableEntryInTheLoadersListEndsTheImageListNotTheFile) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    link_map* entry = nullptr;
    ASSERT_EQ(::dlinfo(::dlopen(nullptr, RTLD_NOW), RTLD_DI_LINKMAP, &entry), 0);
    while (entry->l_next != nullptr) entry = entry->l_next;
    // As a heap overrun might leave it: the last entry leads into the unmapped first page.
    entry->l_next = reinterpret_cast<link_map*>(std::uintptr_t{0x10});
    crashWithSegv();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes) << "no crash file";
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const auto images = nlohmann::json::parse(*bytes)["data"]["images"];
  EXPECT_EQ(images[0], mainImageEntry());
  EXPECT_GE(images.size(), 2u) << "the entries before the damage are listed";
}

TEST(SignalHandler, ACrashOnASecondaryThreadIsRecorded) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    std::thread([] { crashWithSegv(); }).join();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
}

[[noreturn]] QS_REAL_FAULT void crashAt0x1234() {
  volatile int* volatile there = reinterpret_cast<int*>(0x1234);
  *there = 1;
  std::abort();
}

TEST(SignalHandler, RecordsTheFaultAddressTheSignalCodeAndTheCrashingThread) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    std::thread([] {
      // The name carries the thread's id, and a quote that must be escaped.
      pthread_setname_np(pthread_self(), ("w\"" + std::to_string(gettid())).c_str());
      crashAt0x1234();
    }).join();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const auto data = nlohmann::json::parse(*bytes)["data"];
  EXPECT_EQ(data["faultAddress"], "0x1234");
  EXPECT_EQ(data["signalCode"], SEGV_MAPERR);
  const std::string name = data["thread"]["name"];
  ASSERT_EQ(name.rfind("w\"", 0), 0u) << name;
  EXPECT_EQ(data["thread"]["id"], std::stoll(name.substr(2)));
}

volatile bool stopRecursing = false;

QS_REAL_FAULT int recurseForever(int depth) {
  if (stopRecursing) return depth;
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return recurseForever(depth + 1) + frame[0];
}

TEST(SignalHandler, AStackOverflowOnTheStartUpThreadIsRecordedOnTheAlternateStack) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    recurseForever(0);
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes) << "the handler could not run on the overflowed stack";
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
}

struct CorruptStackCase {
  const char* name;
  void (*crash)();
  friend void PrintTo(const CorruptStackCase& c, std::ostream* out) { *out << c.name; }
};

class CorruptStack : public ::testing::TestWithParam<CorruptStackCase> {};

TEST_P(CorruptStack, LeavesAFileThatParsesAndStillDiesOfTheSignal) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    GetParam().crash();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
}

INSTANTIATE_TEST_SUITE_P(Stacks, CorruptStack,
                         ::testing::Values(CorruptStackCase{"GarbageStackPointer",
                                                            crashWithGarbageStackPointer},
                                           CorruptStackCase{"SmashedStack", crashWithSmashedStack}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignalHandler, TestCrashEndsTheProcessWithSigill) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    Quillstone::shared().testCrash();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGILL);
  EXPECT_TRUE(matchesSignalLayout(readCrashFile(crash::kSignalFileName).value(), "SIGILL"));
}

TEST(SignalHandler, TerminateWithoutAnExceptionIsReportedAsSigabrt) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    std::terminate();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-signal.json"});
  EXPECT_TRUE(matchesSignalLayout(readCrashFile(crash::kSignalFileName).value(), "SIGABRT"));
}

TEST(SignalHandler, ASignalBeforeAnyPreparationLeavesNoFileAndStillKills) {
  TempHome home;
  const ChildResult child = runInChild([] {
    // Installed but never prepared; a setUser before start has no configuration to render.
    Quillstone::shared().setUser("early");
    crash::installSignalHandler();
    crashWithSegv();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  EXPECT_TRUE(crashDirEntries().empty());
}

TEST(SignalHandler, WithoutCrashReportingNothingIsInstalled) {
  TempHome home;
  // Compared with what the process had before: a sanitizer installs handlers of its own.
  const std::terminate_handler terminateBefore = std::get_terminate();
  struct sigaction actionsBefore[std::size(crash::kCrashSignals)]{};
  for (std::size_t i = 0; i < std::size(crash::kCrashSignals); ++i) {
    ASSERT_EQ(sigaction(crash::kCrashSignals[i], nullptr, &actionsBefore[i]), 0);
  }
  stack_t alternateBefore{};
  ASSERT_EQ(sigaltstack(nullptr, &alternateBefore), 0);

  startClient(false);

  for (std::size_t i = 0; i < std::size(crash::kCrashSignals); ++i) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(crash::kCrashSignals[i], nullptr, &current), 0);
    EXPECT_NE(current.sa_sigaction, crash::crashSignalHandler) << crash::kCrashSignals[i];
    EXPECT_EQ(current.sa_sigaction, actionsBefore[i].sa_sigaction) << crash::kCrashSignals[i];
  }
  stack_t alternate{};
  ASSERT_EQ(sigaltstack(nullptr, &alternate), 0);
  EXPECT_EQ(alternate.ss_sp, alternateBefore.ss_sp);
  EXPECT_EQ(alternate.ss_flags, alternateBefore.ss_flags);
  EXPECT_EQ(std::get_terminate(), terminateBefore);
}

TEST(SignalHandler, StartUpInstallsTheHandlerForEveryCrashSignalWithAnAlternateStack) {
  TempHome home;
  // A sanitizer may have given the thread an alternate stack already; the thread keeps it.
  stack_t before{};
  ASSERT_EQ(sigaltstack(nullptr, &before), 0);
  startClient();
  struct sigaction current {};
  for (const int signo : crash::kCrashSignals) {
    ASSERT_EQ(sigaction(signo, nullptr, &current), 0);
    EXPECT_EQ(current.sa_sigaction, crash::crashSignalHandler) << signo;
    EXPECT_EQ(current.sa_flags & (SA_SIGINFO | SA_ONSTACK), SA_SIGINFO | SA_ONSTACK);
  }
  stack_t alternate{};
  ASSERT_EQ(sigaltstack(nullptr, &alternate), 0);
  EXPECT_FALSE(alternate.ss_flags & SS_DISABLE);
  if (before.ss_flags & SS_DISABLE) {
    EXPECT_EQ(alternate.ss_size, crash::kAlternateStackSize);
  } else {
    EXPECT_EQ(alternate.ss_sp, before.ss_sp);
  }
}

TEST(SignalHandler, ASecondCrashReplacesTheFirstFile) {
  TempHome home;
  ASSERT_TRUE(runInChild([] {
                startClient();
                crashWithSegv();
              }).signaled);
  const ChildResult second = runInChild([] {
    // The client would upload the first file; nothing listens, so it stays until overwritten.
    startClient();
    crashWithFpe();
  });
  ASSERT_TRUE(second.signaled) << second.describe();
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-signal.json"});
  EXPECT_TRUE(matchesSignalLayout(readCrashFile(crash::kSignalFileName).value(), "SIGFPE"));
}

TEST(SignalHandler, TwentyThreadsFaultingAtOnceLeaveOneCompleteFile) {
  TempHome home;
  constexpr int kThreads = 20;
  for (int round = 0; round < 5; ++round) {
    const ChildResult child = runInChild(
        [] {
          startClient();
          std::barrier start(kThreads);
          std::vector<std::thread> threads;
          for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&start] {
              start.arrive_and_wait();
              crashWithSegv();
            });
          }
          for (auto& thread : threads) thread.join();
        },
        20s);
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGSEGV);
    const auto bytes = readCrashFile(crash::kSignalFileName);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  }
}

TEST(SignalHandler, EveryFileWrittenWhileTheUserChangesHasACompleteHead) {
  TempHome home;
  constexpr int kRounds = 40;
  // Below the 120 characters that setUser keeps, so every id ends with its counter.
  constexpr int kMaxPadding = 100;
  for (int round = 0; round < kRounds; ++round) {
    const ChildResult child = runInChild(
        [round] {
          startClient();
          std::atomic<bool> running{true};
          std::atomic<bool> changing{false};
          std::thread changer([&running, &changing] {
            // Lengths vary so a torn head would show as a broken member.
            for (int i = 0; running; ++i) {
              Quillstone::shared().setUser(
                  std::string(static_cast<std::size_t>(i % kMaxPadding), 'a' + i % 26) + "\"\\\n" +
                  std::to_string(i));
              changing = true;
            }
          });
          while (!changing) {
          }
          // Crash somewhere in the middle of the refreshes.
          const auto until =
              std::chrono::steady_clock::now() + std::chrono::microseconds(500 + 97 * round);
          while (std::chrono::steady_clock::now() < until) {
          }
          crashWithSegv();
        },
        20s);
    ASSERT_TRUE(child.signaled) << child.describe();
    const auto bytes = readCrashFile(crash::kSignalFileName);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV")) << "round " << round;
    const std::string userId = nlohmann::json::parse(*bytes)["userId"];
    ASSERT_FALSE(userId.empty());
    const std::string number = userId.substr(userId.rfind('\n') + 1);
    const int i = std::stoi(number);
    EXPECT_EQ(userId, std::string(static_cast<std::size_t>(i % kMaxPadding), 'a' + i % 26) +
                          "\"\\\n" + number);
  }
}

}  // namespace
}  // namespace quillstone::testing
