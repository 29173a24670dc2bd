#include "platform/http_session.hpp"
#include "platform/http_url.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/log_capture.hpp"
#include "support/raw_server.hpp"
#include "support/wait.hpp"

namespace quillstone::platform {
namespace {

using testing::RawServer;
using testing::runInChild;
using testing::waitUntil;

HttpRequest post(const std::string& url, std::string body = "{}") {
  HttpRequest request;
  request.url = url;
  request.body = std::move(body);
  request.headers = {{"Content-Type", "application/json"}};
  return request;
}

// The signal mask of the library thread called `name`, from /proc.
std::string blockedSignalsOf(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  std::string mask;
  while (const dirent* entry = readdir(tasks)) {
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(base + "/comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0) mask = line.substr(7);
    }
  }
  closedir(tasks);
  return mask;
}

bool isBlocked(const std::string& hexMask, int signal) {
  const unsigned long long bits = std::stoull(hexMask, nullptr, 16);
  return (bits >> (signal - 1)) & 1ULL;
}

TEST(HttpSession, ReturnsTheStatusAndBodyOfTheReply) {
  testing::Collector collector;
  collector.setResponse({201, "{\"ok\":true}"});
  std::atomic<bool> done{false};
  HttpResponse response;
  HttpRequest request = post(collector.url() + "x");
  request.keepResponseBody = true;
  systemHttpSession().start(std::move(request), [&](HttpResponse r) {
    response = std::move(r);
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_TRUE(response.isHttp);
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "{\"ok\":true}");
  EXPECT_FALSE(response.error);
}

// Requests beyond six to one host wait for a connection in the session, not as easy handles in
// curl; they must still all run, never more than six at once.
TEST(HttpSession, RunsAtMostSixRequestsToOneHostAtOnceAndCompletesTheRest) {
  constexpr int kRequests = 20;
  constexpr std::size_t kMaxAtOnce = 6;
  testing::Collector collector;
  std::atomic<int> inHandler{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<bool> gateOpen{false};
  collector.onRequest([&](const testing::RecordedRequest&) {
    const int now = ++inHandler;
    int seen = mostAtOnce.load();
    while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
    }
    // The first requests hold their connections until six are open at once, so a seventh
    // would show up here if the session let it through.
    waitUntil([&] { return gateOpen.load() || inHandler.load() >= static_cast<int>(kMaxAtOnce); });
    gateOpen = true;
    --inHandler;
  });
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kRequests; ++i) {
    systemHttpSession().start(post(collector.url() + "rum", std::to_string(i)),
                              [&](HttpResponse r) {
                                if (r.isHttp && r.status == 200) ++succeeded;
                              });
  }
  ASSERT_TRUE(waitUntil([&] { return succeeded.load() == kRequests; }));
  EXPECT_EQ(collector.count(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(static_cast<std::size_t>(mostAtOnce.load()), kMaxAtOnce);
}

// Runs one request on the session and waits (bounded) for its reply.
HttpResponse exchange(HttpRequest request) {
  std::atomic<bool> done{false};
  HttpResponse response;
  systemHttpSession().start(std::move(request), [&](HttpResponse r) {
    response = std::move(r);
    done = true;
  });
  EXPECT_TRUE(waitUntil([&] { return done.load(); }));
  return response;
}

struct RedirectCase {
  const char* name;
  int status;
  // Where the reply to "/rum" points; "{port}" stands for the collector's port.
  std::string location;
  long finalStatus;
  // Requests the collector sees in all, and whether the request ends with a transport error.
  std::size_t requests;
  bool error;
};

void PrintTo(const RedirectCase& c, std::ostream* out) { *out << c.name; }

class HttpRedirect : public ::testing::TestWithParam<RedirectCase> {};

// Only 307 and 308 keep the method and the body; following 301, 302 or 303 would turn the POST
// into a GET whose 2xx would pass for an accepted report.
TEST_P(HttpRedirect, FollowsOnlyRedirectsThatKeepTheMethodAndBody) {
  const auto& c = GetParam();
  testing::Collector collector;
  std::string location = c.location;
  if (const auto at = location.find("{port}"); at != std::string::npos) {
    location.replace(at, 6, std::to_string(collector.port()));
  }
  collector.setResponse("/rum", {c.status, "", "text/plain", {{"Location", location}}});
  const std::string body = "{\"report\":1}";
  const HttpResponse response = exchange(post(collector.url() + "rum", body));
  EXPECT_TRUE(response.isHttp);
  EXPECT_EQ(response.status, c.finalStatus);
  EXPECT_EQ(response.error.has_value(), c.error) << response.error.value_or("");
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), c.requests);
  for (const auto& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
  }
  if (c.finalStatus == 200) {
    EXPECT_EQ(requests.back().path, "/moved/rum");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, HttpRedirect,
    ::testing::Values(
        RedirectCase{"Status307", 307, "/moved/rum", 200, 2, false},
        RedirectCase{"Status308ToAbsoluteUrl", 308, "http://127.0.0.1:{port}/moved/rum", 200, 2,
                     false},
        RedirectCase{"Status301", 301, "/moved/rum", 301, 1, false},
        RedirectCase{"Status302", 302, "/moved/rum", 302, 1, false},
        RedirectCase{"Status303", 303, "/moved/rum", 303, 1, false},
        RedirectCase{"ToAnotherScheme", 307, "ftp://127.0.0.1:{port}/moved/rum", 307, 1, true},
        RedirectCase{"LoopEndsAfterTheLastHop", 307, "/rum", 307, kMaxRedirects + 1, true}));

// A transfer that keeps moving outlasts its timeout: the timeout is for standing still.
// Requests to one URL share what they have in common: one that differs from the request before
// it in anything but its body still goes out, and is answered, as it asked.
struct SettingCase {
  const char* name;
  std::function<void(HttpRequest&)> change;
  std::function<void(const testing::RecordedRequest&, const HttpResponse&)> check;
};

// Named by the case alone, so that the test's name stays the same from build to build.
void PrintTo(const SettingCase& setting, std::ostream* out) { *out << setting.name; }

class HttpSessionSharing : public ::testing::TestWithParam<SettingCase> {};

TEST_P(HttpSessionSharing, ARequestToTheSameUrlKeepsItsOwnSettings) {
  testing::Collector collector;
  collector.setResponse({200, "{\"ok\":true}"});
  ASSERT_EQ(exchange(post(collector.url() + "rum")).status, 200);
  HttpRequest request = post(collector.url() + "rum");
  GetParam().change(request);
  const HttpResponse response = exchange(std::move(request));
  ASSERT_TRUE(collector.waitForRequests(2));
  GetParam().check(collector.requests()[1], response);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, HttpSessionSharing,
    ::testing::Values(SettingCase{"Header",
                                  [](HttpRequest& r) {
                                    r.headers = {{"Content-Type", "text/plain"}};
                                  },
                                  [](const testing::RecordedRequest& sent, const HttpResponse&) {
                                    EXPECT_EQ(sent.header("Content-Type"), "text/plain");
                                  }},
                      SettingCase{"Method", [](HttpRequest& r) { r.method = "GET"; },
                                  [](const testing::RecordedRequest& sent, const HttpResponse&) {
                                    EXPECT_EQ(sent.method, "GET");
                                  }},
                      SettingCase{
                          "KeptReply", [](HttpRequest& r) { r.keepResponseBody = true; },
                          [](const testing::RecordedRequest&, const HttpResponse& response) {
                            EXPECT_EQ(response.body, "{\"ok\":true}");
                          }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpSession, AReplyThatKeepsMovingIsNotCutAtTheTimeout) {
  constexpr int kChunks = 25;
  constexpr auto kChunkPause = std::chrono::milliseconds(100);
  const std::string chunk(64, 'x');
  RawServer server([&](RawServer& self, int client) {
    if (!self.readRequest(client)) return;
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kChunks * chunk.size()) +
        "\r\nConnection: close\r\n\r\n";
    (void)!write(client, head.data(), head.size());
    for (int i = 0; i < kChunks; ++i) {
      // The server's pace, not a wait: 2.5 s of reply, never 1 s without a byte.
      std::this_thread::sleep_for(kChunkPause);
      if (write(client, chunk.data(), chunk.size()) < 0) return;
    }
  });
  HttpRequest request = post(server.url());
  request.timeout = std::chrono::seconds(1);
  const HttpResponse response = exchange(std::move(request));
  EXPECT_FALSE(response.error) << *response.error;
  EXPECT_EQ(response.status, 200);
}

TEST(HttpSession, LibraryThreadsBlockTheHostsAsynchronousSignals) {
  testing::Collector collector;
  std::atomic<bool> done{false};
  systemHttpSession().start(post(collector.url()), [&](HttpResponse) { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  const std::string mask = blockedSignalsOf("qs-http");
  ASSERT_FALSE(mask.empty());
  for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGUSR1, SIGCHLD}) {
    EXPECT_TRUE(isBlocked(mask, signal)) << signal;
  }
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
    EXPECT_FALSE(isBlocked(mask, signal)) << signal;
  }
}

TEST(HttpSession, APeerClosingTheConnectionNeverRaisesSigpipeInTheHost) {
  // The server reads a little and closes, while a large body is still being sent.
  RawServer server([](RawServer&, int client) {
    char buffer[512];
    (void)!read(client, buffer, sizeof buffer);
  });
  const auto result = runInChild([&] {
    std::atomic<int> completions{0};
    for (int i = 0; i < 4; ++i) {
      systemHttpSession().start(post(server.url(), std::string(8 << 20, 'x')), [&](HttpResponse r) {
        if (r.error) ++completions;
      });
    }
    if (!waitUntil([&] { return completions.load() == 4; })) std::_Exit(3);
    std::_Exit(0);
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

TEST(HttpSession, ProcessExitWithRequestsInFlightNeitherCrashesNorHangs) {
  constexpr int kRequests = 6;
  int accepted[2];
  ASSERT_EQ(pipe(accepted), 0);
  // Accepts and never answers; tells the child once every request is connected.
  RawServer server([&](RawServer& self, int client) {
    if (self.accepted() == kRequests) (void)!write(accepted[1], "x", 1);
    self.holdUntilReleased(client);
  });
  const auto result = runInChild(
      [&] {
        for (int i = 0; i < kRequests; ++i) systemHttpSession().start(post(server.url()), nullptr);
        pollfd ready{accepted[0], POLLIN, 0};
        if (poll(&ready, 1, 15000) != 1) std::_Exit(3);
        std::exit(0);  // runs exit handlers and static destructors while requests hang
      },
      std::chrono::seconds(30));
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  close(accepted[0]);
  close(accepted[1]);
}

TEST(HttpSession, ItsThreadOutlivesTheExitHandlersOfAnExitingProcess) {
  testing::Collector collector;
  const auto result = runInChild([&] {
    // Registered before the session's own handler, so it runs after that one and the TLS
    // library's. A session thread that ended now would run its exit-time clean-ups against a
    // library already torn down.
    std::atexit([] {
      const bool ended = waitUntil([] { return blockedSignalsOf("qs-http").empty(); },
                                   std::chrono::milliseconds(300));
      std::_Exit(ended ? 4 : 0);
    });
    std::atomic<bool> done{false};
    systemHttpSession().start(post(collector.url()), [&](HttpResponse) { done = true; });
    if (!waitUntil([&] { return done.load(); })) std::_Exit(3);
    std::exit(0);
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

// A child forked while the parent's session has requests queued: those are the parent's (a crash
// upload's completion deletes its file), so the child neither sends nor completes them, and its
// own request goes out on a session of its own.
TEST(HttpSession, AForkedChildLeavesTheParentsQueuedRequestsToTheParent) {
  testing::Collector collector;
  int completedIn[2];
  ASSERT_EQ(pipe(completedIn), 0);
  // Holds the parent's session thread, so the request below is still queued at the fork. The
  // fork waits until the thread is held: before, it may still be starting up and allocating, and
  // the address sanitizer's allocator is not fork-safe.
  std::atomic<bool> hold{true};
  std::atomic<bool> held{false};
  systemHttpSession().dispatch([&] {
    held = true;
    waitUntil([&] { return !hold.load(); });
  });
  systemHttpSession().start(post(collector.url() + "parent"), [&](HttpResponse) {
    const pid_t self = getpid();
    (void)!write(completedIn[1], &self, sizeof self);
  });
  ASSERT_TRUE(waitUntil([&] { return held.load(); }));
  const pid_t child = testing::forkChild([&] {
    std::atomic<bool> done{false};
    systemHttpSession().start(post(collector.url() + "child"),
                              [&](HttpResponse r) { done = r.status == 200; });
    std::_Exit(waitUntil([&] { return done.load(); }) ? 0 : 3);
  });
  const auto result = testing::awaitChild(child, std::chrono::seconds(30));
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  hold = false;
  pid_t completion = 0;
  ASSERT_EQ(read(completedIn[0], &completion, sizeof completion),
            static_cast<ssize_t>(sizeof completion));
  EXPECT_EQ(completion, getpid());
  pollfd more{completedIn[0], POLLIN, 0};
  EXPECT_EQ(poll(&more, 1, 0), 0) << "a completion ran twice";
  ASSERT_TRUE(collector.waitForRequests(2));
  EXPECT_EQ(collector.requestsTo("/parent").size(), 1u);
  EXPECT_EQ(collector.requestsTo("/child").size(), 1u);
  close(completedIn[0]);
  close(completedIn[1]);
}

// libcurl is initialised on the session's thread at its first request. A fork at that moment
// waits for the initialisation to end, so the child never inherits libcurl's lock held: each
// child forked during the first request's first moments still gets its own request through. Each
// round runs in a process of its own whose session has not been used yet (ctest runs each test
// alone).
TEST(HttpSession, AChildForkedWhileLibcurlInitialisesSendsItsOwnRequests) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator takes no locks around fork(): a child forked while the session's
  // thread allocates (as it does right after the initialisation) hangs in its first allocation,
  // inside the sanitizer, whatever the library does.
  GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe";
#endif
  testing::Collector collector;
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    const auto result = runInChild(
        [&] {
          systemHttpSession().start(post(collector.url() + "parent"), nullptr);
          // Forks spread over the first 1.2 ms, the span the initialisation takes.
          std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
          const pid_t grandchild = testing::forkChild([&] {
            std::atomic<bool> done{false};
            systemHttpSession().start(post(collector.url() + "child"),
                                      [&](HttpResponse r) { done = r.status == 200; });
            std::_Exit(waitUntil([&] { return done.load(); }) ? 0 : 3);
          });
          const auto inner = testing::awaitChild(grandchild, std::chrono::seconds(20));
          std::_Exit(inner.exited ? inner.exitCode : 4);
        },
        std::chrono::seconds(30));
    ASSERT_TRUE(result.exited && result.exitCode == 0)
        << "round " << round << ": " << result.describe();
  }
  EXPECT_TRUE(collector.waitForRequests(2 * kRounds));
  EXPECT_EQ(collector.requestsTo("/child").size(), static_cast<std::size_t>(kRounds));
}

// Requests beyond what may wait for a connection against a server that accepts and never
// answers: count-bound small ones, or byte-bound large ones.
struct WaitingBound {
  const char* name;
  std::size_t bodyBytes;
  std::size_t droppable;
  friend void PrintTo(const WaitingBound& c, std::ostream* out) { *out << c.name; }
};

class HttpSessionWaiting : public ::testing::TestWithParam<WaitingBound> {};

TEST_P(HttpSessionWaiting, DropsTheOldestDroppableBeyondTheBoundAndKeepsTheRest) {
  RawServer server([](RawServer& self, int client) { self.holdUntilReleased(client); });
  testing::StderrCapture console;
  // Completions may outlive a failed assertion: what they touch is shared with them.
  struct Seen {
    std::mutex mutex;
    std::set<std::size_t> dropped;
    std::atomic<std::size_t> completed{0};
    std::atomic<bool> keptCompleted{false};
  };
  auto seen = std::make_shared<Seen>();
  const auto sent = [&](HttpRequest request) {
    request.sender = seen.get();
    return request;
  };
  // Fills the six connections, so everything after waits.
  for (int i = 0; i < 6; ++i) {
    systemHttpSession().start(sent(post(server.url())),
                              [seen](HttpResponse) { ++seen->completed; });
  }
  const HttpRequest kept = sent(post(server.url()));
  systemHttpSession().start(kept, [seen](HttpResponse) {
    seen->keptCompleted = true;
    ++seen->completed;
  });
  const std::size_t count = GetParam().droppable;
  HttpRequest sample = sent(post(server.url(), std::string(GetParam().bodyBytes, 'x')));
  sample.droppable = true;
  for (std::size_t i = 0; i < count; ++i) {
    systemHttpSession().start(sample, [seen, i](HttpResponse r) {
      if (r.dropped && !r.error) {
        std::lock_guard lock(seen->mutex);
        seen->dropped.insert(i);
      }
      ++seen->completed;
    });
  }
  const std::size_t fit = std::min(kMaxWaitingRequests - 1,
                                   (kMaxWaitingBytes - waitingBytes(kept)) / waitingBytes(sample));
  const std::size_t expected = count - fit;
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard lock(seen->mutex);
    return seen->dropped.size() >= expected;
  }));
  std::set<std::size_t> oldest;
  for (std::size_t i = 0; i < expected; ++i) oldest.insert(i);
  {
    std::lock_guard lock(seen->mutex);
    EXPECT_EQ(seen->dropped, oldest);
  }
  EXPECT_FALSE(seen->keptCompleted.load());
  const std::string line = "[qs] 待发送的报告过多,已丢弃最早的 " + std::to_string(expected) + "\n";
  EXPECT_TRUE(console.waitFor(line));
  const std::string text = console.text();
  EXPECT_EQ(text.find("[qs] 待发送的报告过多"), text.rfind("[qs] 待发送的报告过多")) << text;

  // Leaves nothing behind for the next test: what waits is dropped, what runs is let go.
  systemHttpSession().dropWaiting(seen.get());
  server.release();
  EXPECT_TRUE(waitUntil([&] { return seen->completed.load() == count + 7; }));
}

// While the session's thread is kept busy (a slow completion, a starved core), requests handed
// over beyond the bound are dropped and completed at once: nothing of theirs waits for it.
TEST(HttpSessionHandOff, DropsBeyondTheBoundCompleteWithoutTheSessionsThread) {
  testing::StderrCapture console;
  struct Seen {
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    std::atomic<std::size_t> dropped{0};
  };
  auto seen = std::make_shared<Seen>();
  systemHttpSession().dispatch([seen] {
    seen->holding = true;
    waitUntil([&] { return seen->release.load(); }, std::chrono::seconds(60));
  });
  ASSERT_TRUE(waitUntil([&] { return seen->holding.load(); }));
  const std::size_t count = 3 * kMaxWaitingRequests;
  HttpRequest sample = post("http://127.0.0.1:9/");
  sample.droppable = true;
  sample.sender = seen.get();
  for (std::size_t i = 0; i < count; ++i) {
    systemHttpSession().start(sample, [seen](HttpResponse r) {
      if (r.dropped) ++seen->dropped;
    });
  }
  // Before the session's thread runs again.
  EXPECT_GE(seen->dropped.load(), count - kMaxWaitingRequests);
  systemHttpSession().dropWaiting(seen.get());
  seen->release = true;
  EXPECT_TRUE(waitUntil([&] { return seen->dropped.load() == count; }));
  EXPECT_TRUE(console.waitFor("[qs] 待发送的报告过多,已丢弃最早的 " +
                              std::to_string(count - kMaxWaitingRequests) + "\n"));
}

// Ended requests are left for the next report's thread to free; once nothing more is reported,
// the session's own thread frees them, so a burst leaves nothing of itself in use.
TEST(HttpSession, ABurstLeavesNothingOfItselfInUseOnceItHasEnded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator keeps its own count of what is in use";
#endif
  testing::Collector collector;
  collector.keepRequests(false);
  const HttpRequest like = post(collector.url() + "x");
  std::atomic<std::size_t> ended{0};
  systemHttpSession().startLike(like, "{}", [&](HttpResponse) { ++ended; });
  ASSERT_TRUE(waitUntil([&] { return ended.load() == 1; }));
  const auto inUse = [] { return ::mallinfo2().uordblks; };
  const std::size_t before = inUse();
  // 4 MB of bodies, twice what may wait to be freed by a reporting thread.
  constexpr std::size_t kBurst = 2000;
  for (std::size_t i = 0; i < kBurst; ++i) {
    systemHttpSession().startLike(like, std::string(2000, 'x'), [&](HttpResponse) { ++ended; });
  }
  ASSERT_TRUE(waitUntil([&] { return ended.load() == kBurst + 1; }, std::chrono::seconds(60)));
  EXPECT_TRUE(waitUntil([&] { return inUse() < before + 512 * 1024; }))
      << inUse() - before << " bytes still in use";
}

INSTANTIATE_TEST_SUITE_P(Bounds, HttpSessionWaiting,
                         ::testing::Values(WaitingBound{"Count", 2, kMaxWaitingRequests + 49},
                                           WaitingBound{"Bytes", 64 * 1024, 140}),
                         [](const auto& info) { return std::string(info.param.name); });

// A completion holds a small callable in place and allocates a larger one; either way it runs
// with the response, moves without running, and lets its callable go exactly once.
TEST(HttpCompletion, RunsWhatItHoldsAndLetsItGoOnce) {
  long status = 0;
  HttpCompletion small([&status](HttpResponse r) { status = r.status; });
  HttpCompletion moved(std::move(small));
  EXPECT_FALSE(small);
  moved(HttpResponse{true, 204, {}, {}});
  EXPECT_EQ(status, 204);

  auto shared = std::make_shared<long>(0);
  {
    HttpCompletion large([shared, padding = std::string(64, 'x')](HttpResponse r) {
      *shared = r.status + static_cast<long>(padding.size());
    });
    EXPECT_EQ(shared.use_count(), 2);
    HttpCompletion assigned;
    assigned = std::move(large);
    EXPECT_EQ(shared.use_count(), 2);
    assigned(HttpResponse{true, 200, {}, {}});
    EXPECT_EQ(*shared, 264);
  }
  EXPECT_EQ(shared.use_count(), 1);

  EXPECT_FALSE(HttpCompletion(std::function<void(HttpResponse)>()));
  EXPECT_FALSE(HttpCompletion(nullptr));
  HttpCompletion empty;
  empty(HttpResponse{});  // does nothing rather than fail
}

}  // namespace
}  // namespace quillstone::platform
