#include "crash/crash_slot.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "crash/crash_dir.hpp"
#include "crash/signal_handler.hpp"
#include "crash_expectations.hpp"
#include "platform/clock.hpp"
#include "platform/loader.hpp"
#include "platform/paths.hpp"
#include "support/child_process.hpp"
#include "support/recording_log.hpp"
#include "support/temp_home.hpp"

namespace quillstone::testing {
namespace {

// Discards the slot's console line.
class NullLog : public platform::Log {
 public:
  void write(std::string_view) noexcept override {}
};

crash::SlotContent contentWith(std::string userId) {
  crash::SlotContent content;
  content.path = crashFile(crash::kSignalFileName);
  content.members = {"app", "VID", "SID", "1.0", std::move(userId), "UUID", 1700000000000};
  content.image = platform::mainImage();
  return content;
}

// Prepares the slot in a child, crashes it, and returns the file it left.
std::optional<std::string> crashAfterPreparing(const std::function<void()>& prepare) {
  const ChildResult child = runInChild([&] {
    prepare();
    crash::installSignalHandler();
    crashWithSegv();
  });
  EXPECT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, SIGSEGV);
  return readCrashFile(crash::kSignalFileName);
}

TEST(CrashSlot, SetUserRendersTheNewUser) {
  TempHome home;
  std::int64_t before = 0;
  const ChildResult child = runInChild([&before] {
    startClient();
    Quillstone::shared().setUser("u1");
    Quillstone::shared().setUser("u2");
    crashWithSegv();
  });
  before = platform::nowMillis() - 60'000;
  ASSERT_TRUE(child.signaled) << child.describe();
  const std::string bytes = readCrashFile(crash::kSignalFileName).value();
  EXPECT_NE(bytes.find(R"("userId":"u2")"), std::string::npos) << bytes;
  EXPECT_GT(nlohmann::json::parse(bytes)["ts"].get<std::int64_t>(), before);
}

TEST(CrashSlot, TsIsTheTimeOfTheCrashNotOfTheLastPreparation) {
  TempHome home;
  const std::string clockFile = home.path() + "/before-crash";
  const ChildResult child = runInChild([&clockFile] {
    startClient();
    Quillstone::shared().setUser("u");
    // The crash comes measurably later than the last preparation.
    const std::int64_t prepared = platform::nowMillis();
    while (platform::nowMillis() < prepared + 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::ofstream(clockFile) << platform::nowMillis();
    crashWithSegv();
  });
  ASSERT_TRUE(child.signaled) << child.describe();
  const std::int64_t beforeCrash = std::stoll(platform::readFile(clockFile).value());
  const auto bytes = readCrashFile(crash::kSignalFileName);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const std::int64_t ts = nlohmann::json::parse(*bytes)["ts"];
  EXPECT_GE(ts, beforeCrash);
  EXPECT_LT(ts, beforeCrash + 1000);
}

TEST(CrashSlot, HostTextThatIsNotCleanJsonStillYieldsAParsableFile) {
  TempHome home;
  const std::string userId = std::string("q\"b\\s\x01\x1f\ttab\xff\xc3 end") + "用户";
  const auto bytes = crashAfterPreparing([&] {
    NullLog log;
    crash::prepareCrashSlot(contentWith(userId), log);
  });
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  EXPECT_EQ(nlohmann::json::parse(*bytes)["userId"],
            "q\"b\\s\x01\x1f\ttab\xef\xbf\xbd\xef\xbf\xbd end用户");
}

TEST(CrashSlot, AnOversizedHeadIsCutToFitAndStillParses) {
  TempHome home;
  // Escapes and multi-byte characters make the cut land where a careless one would split them.
  const std::string longUser = std::string(3000, '"') + std::string(3000, 'x');
  const std::string longApp = "应用" + std::string(5000, '\\');
  const auto bytes = crashAfterPreparing([&] {
    NullLog log;
    crash::SlotContent content = contentWith(longUser);
    content.members.appId = longApp;
    ASSERT_EQ(crash::prepareCrashSlot(content, log), crash::PrepareResult::prepared);
    const crash::SlotPage* page = crash::crashSlot().published();
    ASSERT_LT(page->headLen, static_cast<std::int64_t>(crash::kHeadCapacity));
    ASSERT_EQ(page->head[page->headLen], '\0');
  });
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const auto report = nlohmann::json::parse(*bytes);
  const std::string userId = report["userId"];
  const std::string appId = report["id"];
  EXPECT_FALSE(userId.empty());
  EXPECT_EQ(longUser.rfind(userId, 0), 0u) << "not a prefix of the user id";
  EXPECT_EQ(longApp.rfind(appId, 0), 0u) << "not a prefix of the app id";
  // The short members are whole.
  EXPECT_EQ(report["release"], "1.0");
  EXPECT_EQ(report["vid"], "VID");
  EXPECT_EQ(report["imageUUID"], "UUID");
}

TEST(CrashSlot, APathThatDoesNotFitLeavesTheEarlierPreparationInPlace) {
  TempHome home;
  const auto bytes = crashAfterPreparing([] {
    NullLog log;
    crash::prepareCrashSlot(contentWith("first"), log);
    crash::SlotContent tooLong = contentWith("second");
    tooLong.path = "/tmp/" + std::string(crash::kPathCapacity, 'p') + ".json";
    EXPECT_EQ(crash::prepareCrashSlot(tooLong, log), crash::PrepareResult::pathTooLong);
  });
  ASSERT_TRUE(bytes);
  EXPECT_EQ(nlohmann::json::parse(*bytes)["userId"], "first");
}

TEST(CrashSlot, SetUserBeforeStartLeavesTheSlotUnprepared) {
  TempHome home;
  Quillstone::shared().setUser("early");
  EXPECT_EQ(crash::crashSlot().published(), nullptr);
}

TEST(CrashSlot, HeadAndTailEndExactly) {
  TempHome home;
  NullLog log;
  ASSERT_EQ(crash::prepareCrashSlot(contentWith("u"), log), crash::PrepareResult::prepared);
  const crash::SlotPage& page = *crash::crashSlot().published();
  const std::string_view head(page.head, static_cast<std::size_t>(page.headLen));
  EXPECT_EQ(std::strlen(page.head), head.size());
  EXPECT_TRUE(head.ends_with("\"name\":\""));
  EXPECT_TRUE(head.starts_with("{"));
  EXPECT_EQ(std::string_view(page.tail, static_cast<std::size_t>(page.tailLen)), "}}");
  EXPECT_EQ(std::strlen(page.tail), 2u);
}

TEST(CrashSlot, AnImageNameThatNeedsEscapingIsEscapedInEveryLine) {
  TempHome home;
  const auto bytes = crashAfterPreparing([] {
    NullLog log;
    crash::SlotContent content = contentWith("u");
    content.image.name = "my \"app\\";
    crash::prepareCrashSlot(content, log);
  });
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const std::string stack = nlohmann::json::parse(*bytes)["data"]["stack"];
  EXPECT_EQ(stack.rfind("0   my \"app\\   0x", 0), 0u) << stack;
}

TEST(CrashSlot, ACrashBeforeItsDirectoryIsMadeMakesItAndLeavesTheFile) {
  TempHome home;
  const auto bytes = crashAfterPreparing([] {
    NullLog log;
    crash::prepareCrashSlot(contentWith("u"), log);
    // As in a new home whose directories the worker has not made yet.
    std::filesystem::remove_all(platform::cachesDirectory());
  });
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  for (const auto& made : {platform::cachesDirectory(), crash::crashDirectoryPath()}) {
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all)
        << made;
  }
}

// The page as the handler would write it: everything but the buffers' unused bytes.
std::string pageBytes(const crash::SlotPage& page) {
  return std::string(page.path) + "|" + std::string(page.head, page.headLen) + "|" +
         std::to_string(page.timeBegin) + "," + std::to_string(page.timeEnd) + "|" +
         std::string(page.tail, page.tailLen) + "|" +
         std::string(page.imageName, page.imageNameLen) + "|" + std::to_string(page.slide) + "," +
         std::to_string(page.imageStart) + "," + std::to_string(page.imageEnd);
}

// A home and a slot preparation from one source, as a start makes it.
struct PreparedSlot {
  TempHome home;
  NullLog log;
  std::shared_ptr<int> source = std::make_shared<int>(0);
  crash::SlotContent content = contentWith("first");

  crash::PrepareResult prepare() {
    content.source = source;
    return crash::prepareCrashSlot(content, log);
  }
};

struct UserCase {
  std::string label;
  std::string userId;
};

void PrintTo(const UserCase& c, std::ostream* os) { *os << c.label; }

class UserOnlyRendering : public ::testing::TestWithParam<UserCase> {};

// A new user id re-renders the head alone; the page must be the one a whole preparation of the
// same content publishes, also when the head has to be cut to fit.
TEST_P(UserOnlyRendering, PublishesWhatAWholePreparationWould) {
  PreparedSlot prepared;
  ASSERT_EQ(prepared.prepare(), crash::PrepareResult::prepared);
  constexpr std::int64_t kLater = 1800000000123;
  ASSERT_EQ(crash::prepareCrashSlotUser(prepared.source.get(), GetParam().userId, kLater),
            crash::PrepareResult::prepared);
  const std::string userOnly = pageBytes(*crash::crashSlot().published());
  prepared.content.members.userId = GetParam().userId;
  prepared.content.members.ts = kLater;
  ASSERT_EQ(prepared.prepare(), crash::PrepareResult::prepared);
  EXPECT_EQ(userOnly, pageBytes(*crash::crashSlot().published()));
}

INSTANTIATE_TEST_SUITE_P(Users, UserOnlyRendering,
                         ::testing::Values(UserCase{"plain", "u2"}, UserCase{"empty", ""},
                                           UserCase{"escaped", "q\"b\\\n用户"},
                                           UserCase{"cutToFit", std::string(3000, '"') +
                                                                    std::string(3000, 'x')}),
                         [](const auto& info) { return info.param.label; });

TEST(CrashSlot, UserOnlyRenderingNeedsThisProcesssPreparationFromTheSameSource) {
  PreparedSlot prepared;
  ASSERT_EQ(prepared.prepare(), crash::PrepareResult::prepared);
  const auto& source = prepared.source;
  const auto other = std::make_shared<int>(0);
  EXPECT_EQ(crash::prepareCrashSlotUser(other.get(), "u", 1), crash::PrepareResult::notPrepared);
  // A forked child has its own session: its first preparation is a whole one.
  const ChildResult child = runInChild([&source] {
    std::_Exit(
        crash::prepareCrashSlotUser(source.get(), "u", 1) == crash::PrepareResult::notPrepared ? 0
                                                                                               : 1);
  });
  EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

// Preparations repeat at every start; the console hears of the image range only when it is news.
TEST(CrashSlot, TheImageRangeIsLoggedOnlyWhenItChangesAndOnceMoreInAForkedChild) {
  TempHome home;
  RecordingLog log;
  crash::SlotContent content = contentWith("u");
  content.image.slide = 0;
  content.image.textStart = 0x10000;
  content.image.textEnd = 0x20000;
  crash::prepareCrashSlot(content, log);
  crash::prepareCrashSlot(content, log);
  content.image.slide = 0x1000;
  crash::prepareCrashSlot(content, log);
  crash::prepareCrashSlot(content, log);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[qs] slide=0x0 img=[0x10000,0x20000)");
  EXPECT_EQ(lines[1], "[qs] slide=0x1000 img=[0x10000,0x20000)");
  const ChildResult child = runInChild([&] {
    RecordingLog childLog;
    crash::prepareCrashSlot(content, childLog);
    crash::prepareCrashSlot(content, childLog);
    std::_Exit(childLog.lines().size() == 1 ? 0 : 1);
  });
  EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

TEST(CrashSlot, AnAddressAtTheEndOfTheTextCountsAsOutside) {
  TempHome home;
  const auto bytes = crashAfterPreparing([] {
    NullLog log;
    crash::SlotContent content = contentWith("u");
    // The faulting instruction lies inside the test program; a range that ends at it must not
    // claim it.
    const auto fault = reinterpret_cast<std::uintptr_t>(&crashWithSegv);
    content.image.textEnd = fault;
    crash::prepareCrashSlot(content, log);
  });
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(matchesSignalLayout(*bytes, "SIGSEGV"));
  const std::string stack = nlohmann::json::parse(*bytes)["data"]["stack"];
  EXPECT_EQ(stack.rfind("0   ???   0x", 0), 0u) << stack;
}

}  // namespace
}  // namespace quillstone::testing
