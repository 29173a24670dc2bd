// A host that forks while its other threads are inside the library: the child's calls work and
// its reports arrive, and nothing the parent had queued is sent a second time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <quillstone/json.hpp>
#include <quillstone/quillstone.hpp>
#include <thread>
#include <vector>

#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"

namespace quillstone {
namespace {

using Json = nlohmann::json;

Quillstone& client() { return Quillstone::shared(); }

Quillstone::Config configFor(const testing::Collector& collector) {
  return Quillstone::Config("app-7", Quillstone::resolveServer(collector.url()), "4.5.6", "test",
                            false, false, false);
}

TEST(Fork, ChildrenForkedWhileOtherThreadsReportCallTheLibraryAndExit) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator takes no locks around fork(): a child forked while another thread
  // allocates hangs in its first allocation, inside the sanitizer, whatever the library does.
  GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe";
#endif
  constexpr int kForks = 50;
  constexpr int kReportingThreads = 3;
  testing::TempHome home;
  testing::Collector collector;
  collector.keepRequests(false);
  client().start(configFor(collector));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kReportingThreads; ++t) {
    threads.emplace_back([&stop, t] {
      for (int i = 0; !stop.load(); ++i) {
        client().track("busy", i, std::map<std::string, std::string>{{"t", std::to_string(t)}});
        client().setUser("user-" + std::to_string(i % 7));
        addBreadcrumb(client(), "tap", {{"i", i}});
      }
    });
  }
  std::vector<std::string> failures;
  for (int i = 0; i < kForks; ++i) {
    const pid_t pid = testing::forkChild([] {
      client().track("child", 1, std::nullopt);
      client().setUser("child");
      client().addBreadcrumb("child", {});
      client().capture("E", "m", "s");
      // Not exit(): the leak check of a sanitizer build would count what the parent's threads
      // held on their stacks, which a child never frees.
      std::_Exit(0);
    });
    const auto result = testing::awaitChild(pid, std::chrono::seconds(20));
    if (!result.exited || result.exitCode != 0) {
      failures.push_back("child " + std::to_string(i) + ": " + result.describe());
    }
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << kForks << ", first "
                                << (failures.empty() ? "" : failures.front());
}

TEST(Fork, AChildsReportArrivesOnceInASessionOfItsOwnAndTheParentsOnesOnlyOnce) {
  constexpr int kParentReports = 40;
  testing::TempHome home;
  testing::Collector collector;
  client().start(configFor(collector));
  for (int i = 0; i < kParentReports; ++i) {
    client().track("parent-" + std::to_string(i), i, std::nullopt);
  }
  // Forked with the parent's reports still on their way, once the other threads wait (see
  // runInChild).
  const auto child = testing::runInChild([] {
    client().track("child", 1, std::nullopt);
    // Waits for the child's own report only: the parent's are the parent's to send.
    std::_Exit(client().flush(std::chrono::seconds(15)) ? 0 : 4);
  });
  EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
  client().track("last", 0, std::nullopt);
  EXPECT_TRUE(client().flush(std::chrono::seconds(15)));

  std::map<std::string, int> arrivals;
  std::map<std::string, std::string> sessions;
  for (const auto& request : collector.requestsTo("/rum")) {
    const Json report = Json::parse(request.body);
    const std::string name = report["data"]["name"];
    ++arrivals[name];
    sessions[name] = report["sid"];
  }
  for (int i = 0; i < kParentReports; ++i) {
    EXPECT_EQ(arrivals["parent-" + std::to_string(i)], 1) << i;
  }
  EXPECT_EQ(arrivals["child"], 1);
  EXPECT_EQ(arrivals["last"], 1);
  EXPECT_EQ(arrivals.size(), kParentReports + 2u);
  EXPECT_NE(sessions["child"], sessions["parent-0"]);
  EXPECT_EQ(sessions["last"], sessions["parent-0"]);
}

}  // namespace
}  // namespace quillstone
