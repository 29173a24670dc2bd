// The library's console lines as the host meets them: on a stderr that is broken or full, and
// through the host's own log handler.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <quillstone/quillstone.hpp>
#include <thread>
#include <vector>

#include "platform/http_session.hpp"
#include "platform/log.hpp"
#include "support/child_process.hpp"
#include "support/closed_port.hpp"
#include "support/collector.hpp"
#include "support/log_capture.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"
#include "transport/delivery.hpp"

namespace quillstone {
namespace {

using testing::waitUntil;

struct BrokenStderr {
  const char* label;
  // Makes the pipe's read end `reader` and write end `writer` what the host's stderr will be.
  void (*spoil)(int reader, int writer);
  friend void PrintTo(const BrokenStderr& c, std::ostream* os) { *os << c.label; }
};

class HostStderr : public ::testing::TestWithParam<BrokenStderr> {};

// "[qs] slide=…" is written on the caller's thread at the first start.
TEST_P(HostStderr, ConsoleLinesNeitherKillNorHoldTheHost) {
  testing::TempHome home;
  const auto server = "http://127.0.0.1:" + std::to_string(testing::closedLoopbackPort()) + "/";
  const auto result = testing::runInChild([&] {
    // The host's defaults: a SIGPIPE would end the process.
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);
    int ends[2];
    if (pipe(ends) != 0) std::_Exit(3);
    GetParam().spoil(ends[0], ends[1]);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    Quillstone::Config config("console-app", Url::parse(server), "1.0", "test", true, false, false);
    Quillstone::shared().start(config);
    Quillstone::shared().setUser("user-1");
    Quillstone::shared().setUser("user-2");
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, HostStderr,
    ::testing::Values(BrokenStderr{"readerGone", [](int reader, int) { close(reader); }},
                      BrokenStderr{"fullAndNeverRead",
                                   [](int, int writer) {
                                     // Filled without blocking, then blocking again, as a host's
                                     // stderr is.
                                     const int flags = fcntl(writer, F_GETFL);
                                     fcntl(writer, F_SETFL, flags | O_NONBLOCK);
                                     const std::string block(4096, 'x');
                                     while (write(writer, block.data(), block.size()) > 0) {
                                     }
                                     fcntl(writer, F_SETFL, flags);
                                   }}),
    [](const auto& info) { return std::string(info.param.label); });

// resolveServer writes a line on the caller's thread when it does not use the host's text.
TEST(LogHandler, ReceivesEachLineOnTheThreadThatWritesItAndStderrIsBackOnceUnset) {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::thread::id> threads;
  Quillstone::setLogHandler([&](std::string_view line) {
    std::lock_guard guard(mutex);
    lines.emplace_back(line);
    threads.push_back(std::this_thread::get_id());
  });
  Quillstone::resolveServer("127.0.0.1:8788");
  Quillstone::setLogHandler(nullptr);
  testing::StderrCapture capture;
  Quillstone::resolveServer("127.0.0.2:8788");
  ASSERT_TRUE(capture.waitFor("\"127.0.0.2:8788\""));
  std::lock_guard guard(mutex);
  EXPECT_EQ(lines,
            std::vector<std::string>{"[qs] 服务器地址无法使用,改用内置服务器 \"127.0.0.1:8788\""});
  EXPECT_EQ(threads, std::vector<std::thread::id>{std::this_thread::get_id()});
}

TEST(LogHandler, UnsetWaitsForACallInProgressAndNoCallComesAfter) {
  std::atomic<int> calls{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> unsetReturned{false};
  std::atomic<bool> ranAfterUnset{false};
  Quillstone::setLogHandler([&](std::string_view) {
    if (unsetReturned) ranAfterUnset = true;
    ++calls;
    entered = true;
    waitUntil([&] { return release.load(); });
    if (unsetReturned) ranAfterUnset = true;
  });
  std::jthread logger([] { Quillstone::resolveServer("not a server"); });
  ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
  std::jthread unsetter([&] {
    Quillstone::setLogHandler(nullptr);
    unsetReturned = true;
  });
  // The handler is still running, so the unset must not have returned.
  EXPECT_FALSE(waitUntil([&] { return unsetReturned.load(); }, std::chrono::milliseconds(300)));
  release = true;
  logger.join();
  unsetter.join();
  testing::StderrCapture capture;
  Quillstone::resolveServer("still not a server");
  EXPECT_FALSE(ranAfterUnset);
  EXPECT_EQ(calls, 1);
}

// A line from the thread that drives the network reaches the handler elsewhere: a handler that
// blocks on it holds up no report.
TEST(LogHandler, AHandlerBlockedOnANetworkLineHoldsUpNoReport) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> entered{false};
  Quillstone::setLogHandler([&entered, release](std::string_view) {
    entered = true;
    // Bounded beyond the test's own wait, so a handler on the network thread fails the test.
    waitUntil([&] { return release->load(); }, std::chrono::seconds(60));
  });
  testing::Collector collector;
  transport::Delivery delivery(platform::systemHttpSession(), platform::systemLog());
  const auto closed = "http://127.0.0.1:" + std::to_string(testing::closedLoopbackPort()) + "/";
  delivery.post(Url::parse(closed), "{}", nullptr);
  ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
  delivery.post(Url::parse(collector.url()), "{}", nullptr);
  EXPECT_TRUE(collector.waitForRequests(1));
  *release = true;
  Quillstone::setLogHandler(nullptr);
}

}  // namespace
}  // namespace quillstone
