// A crash on a full disk or with every descriptor in use still leaves its complete file: the room
// and the descriptor were reserved while the process was healthy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>

#include "crash/crash_slot.hpp"
#include "crash_expectations.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone::testing {
namespace {

// Takes every descriptor the process may still open.
void exhaustDescriptors() {
  const rlimit low{256, 256};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  while (open("/dev/null", O_RDONLY) >= 0) {
  }
  ASSERT_EQ(errno, EMFILE);
}

// Fills the file system that holds `home` until no byte fits.
void fillFileSystem(const std::string& home) {
  const int fd = open((home + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  static const char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  while (write(fd, block, 1) > 0) {
  }
  ASSERT_EQ(errno, ENOSPC);
}

[[noreturn]] __attribute__((noinline)) void throwRuntimeError() { throw std::runtime_error("x"); }
[[noreturn]] void throwUncaught() noexcept { throwRuntimeError(); }

// The sanitizer build also checks dynamic types, and the checker reads memory through a pipe of
// its own, which an exhausted descriptor table refuses: it stops the exception writer there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kTypeChecksNeedDescriptors = true;
#else
constexpr bool kTypeChecksNeedDescriptors = false;
#endif

struct ReserveCase {
  const char* name;
  bool fullDisk;  // else no free descriptor
  void (*crash)();
  int signal;
  std::string_view file;
  friend void PrintTo(const ReserveCase& c, std::ostream* out) { *out << c.name; }
};

class CrashReserve : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(CrashReserve, LeavesTheCompleteFile) {
  if (kTypeChecksNeedDescriptors && !GetParam().fullDisk &&
      GetParam().file == crash::kExceptionFileName) {
    GTEST_SKIP() << "the sanitizer's type checks need a free descriptor";
  }
  TempHome home;
  struct Unmount {
    std::string path;
    ~Unmount() {
      if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
    }
  } unmount;
  if (GetParam().fullDisk) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    if (mount("qs-full", home.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    }
    unmount.path = home.path();
  }
  const ChildResult child = runInChild([&home] {
    startClient();
    // The reservation is made on the library's worker, a moment after start.
    if (!waitUntil([] { return crash::crashReserve().size() > 0; })) std::_Exit(5);
    if (GetParam().fullDisk) {
      fillFileSystem(home.path());
    } else {
      exhaustDescriptors();
    }
    GetParam().crash();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, GetParam().signal);
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{std::string(GetParam().file)});
  const auto bytes = readCrashFile(GetParam().file);
  ASSERT_TRUE(bytes);
  if (GetParam().file == crash::kSignalFileName) {
    EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  } else {
    ASSERT_TRUE(nlohmann::json::accept(*bytes)) << *bytes;
    EXPECT_EQ(nlohmann::json::parse(*bytes)["data"]["name"], "std::runtime_error");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, CrashReserve,
    ::testing::Values(ReserveCase{"SignalOnAFullDisk", true, crashWithSegv, SIGSEGV,
                                  crash::kSignalFileName},
                      ReserveCase{"ExceptionOnAFullDisk", true, throwUncaught, SIGABRT,
                                  crash::kExceptionFileName},
                      ReserveCase{"SignalWithoutAFreeDescriptor", false, crashWithSegv, SIGSEGV,
                                  crash::kSignalFileName},
                      ReserveCase{"ExceptionWithoutAFreeDescriptor", false, throwUncaught, SIGABRT,
                                  crash::kExceptionFileName}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillstone::testing
