#include "crash/exception_handler.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "crash/build_uuid.hpp"
#include "crash_expectations.hpp"
#include "platform/clock.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"

namespace quillstone::testing {
namespace {

struct NotAStdException {};

[[noreturn]] void throwUncaught(const std::function<void()>& thrower) {
  // A noexcept boundary: the exception finds no handler and terminate runs with it active.
  [&]() noexcept { thrower(); }();
  std::abort();
}

nlohmann::json crashAndReadExceptionFile(const std::function<void()>& thrower) {
  const ChildResult child = runInChild([&] {
    startClient();
    Quillstone::shared().setUser("u7");
    Quillstone::shared().setPage("/checkout");
    Quillstone::shared().addBreadcrumb("tap", R"({"button":"pay"})");
    throwUncaught(thrower);
  });
  EXPECT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-exception.json"});
  const auto bytes = readCrashFile(crash::kExceptionFileName);
  if (!bytes) return {};
  return nlohmann::json::parse(*bytes);
}

TEST(ExceptionHandler, AnUncaughtExceptionLeavesOnlyTheExceptionFile) {
  TempHome home;
  const std::int64_t before = platform::nowMillis();
  const auto report =
      crashAndReadExceptionFile([] { throw std::runtime_error("bad \"input\" — 失败\n"); });
  ASSERT_FALSE(report.is_null());
  EXPECT_EQ(report.size(), 11u);
  expectCrashEnvelope(report, "u7");
  EXPECT_GE(report["ts"].get<std::int64_t>(), before);

  const auto& data = report["data"];
  EXPECT_EQ(data.size(), 9u);
  ASSERT_TRUE(data["images"].is_array()) << data.dump();
  EXPECT_EQ(data["images"][0], mainImageEntry());
  EXPECT_EQ(data["kind"], "crash");
  EXPECT_EQ(data["level"], "fatal");
  EXPECT_EQ(data["name"], "std::runtime_error");
  EXPECT_EQ(data["message"], "bad \"input\" — 失败\n");
  EXPECT_EQ(data["path"], "/checkout");
  EXPECT_EQ(data["extra"]["device"]["appVersion"], kRelease);
  EXPECT_EQ(data["extra"]["device"]["platform"], "ios");
  ASSERT_EQ(data["breadcrumbs"].size(), 2u);  // the route of setPage and the tap
  EXPECT_EQ(data["breadcrumbs"][1]["type"], "tap");
  const std::string stack = data["stack"];
  EXPECT_EQ(stack.rfind("0   crash_tests   0x", 0), 0u) << stack;
}

TEST(ExceptionHandler, AnExceptionThatIsNoStdExceptionHasItsTypeAndNoMessage) {
  TempHome home;
  const auto report = crashAndReadExceptionFile([] { throw NotAStdException(); });
  ASSERT_FALSE(report.is_null());
  EXPECT_EQ(report["data"]["name"], "quillstone::testing::(anonymous namespace)::NotAStdException");
  EXPECT_EQ(report["data"]["message"], "");
}

TEST(ExceptionHandler, AMessageThatIsNotUtf8StillYieldsAParsableFile) {
  TempHome home;
  const auto report = crashAndReadExceptionFile([] { throw std::logic_error("cut \xe6\x94"); });
  ASSERT_FALSE(report.is_null());
  const std::string message = report["data"]["message"];
  EXPECT_EQ(message.rfind("cut \xef\xbf\xbd", 0), 0u) << message;
}

TEST(ExceptionHandler, AnExceptionOnASecondaryThreadIsRecorded) {
  TempHome home;
  const ChildResult child = runInChild([] {
    startClient();
    std::thread([] { throwUncaught([] { throw std::out_of_range("index 9"); }); }).join();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-exception.json"});
  const auto report = nlohmann::json::parse(readCrashFile(crash::kExceptionFileName).value());
  EXPECT_EQ(report["data"]["name"], "std::out_of_range");
  EXPECT_EQ(report["userId"], "");
}

TEST(ExceptionHandler, ANewExceptionReplacesAnUndeliveredOne) {
  TempHome home;
  for (const char* message : {"first", "second"}) {
    const ChildResult child = runInChild([message] {
      startClient(), throwUncaught([message] { throw std::runtime_error(message); });
    });
    ASSERT_TRUE(child.signaled) << child.describe();
  }
  const auto report = nlohmann::json::parse(readCrashFile(crash::kExceptionFileName).value());
  EXPECT_EQ(report["data"]["message"], "second");
}

TEST(Persist, WritesTheReportAndReplacesAnEarlierFile) {
  TempHome home;
  crash::CrashContext context;
  context.envelope = {"app", "VID", "SID", "1.0"};
  context.userId = "u";
  context.page = "/";
  context.device = nlohmann::json::object();
  ASSERT_TRUE(crash::persist("crash", "fatal", "a", "m1", "", "crash-exception.json", context));
  ASSERT_TRUE(crash::persist("crash", "fatal", "b", "m2", "", "crash-exception.json", context));
  const auto report = nlohmann::json::parse(readCrashFile(crash::kExceptionFileName).value());
  EXPECT_EQ(report["data"]["name"], "b");
  EXPECT_EQ(report["data"]["breadcrumbs"], nlohmann::json::array());
  EXPECT_EQ(crashDirEntries(), std::set<std::string>{"crash-exception.json"});
}

TEST(Persist, ABreadcrumbWithoutAJsonFormDoesNotCostTheReport) {
  TempHome home;
  crash::CrashContext context;
  context.envelope = {"app", "VID", "SID", "1.0"};
  context.breadcrumbs = {{{"t", 1}, {"type", "x"}, {"data", {{"v", std::nan("")}}}}};
  ASSERT_TRUE(crash::persist("crash", "fatal", "n", "m", "", "crash-exception.json", context));
  const auto report = nlohmann::json::parse(readCrashFile(crash::kExceptionFileName).value());
  EXPECT_EQ(report["data"]["name"], "n");
  EXPECT_TRUE(report["data"]["breadcrumbs"][0]["data"]["v"].is_null());
}

}  // namespace
}  // namespace quillstone::testing
