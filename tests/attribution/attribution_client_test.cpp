// The client's decisions, with a session that records requests instead of sending them.
#include "attribution/attribution_client.hpp"

#include <gtest/gtest.h>

#include <vector>

#include <nlohmann/json.hpp>

#include "support/inline_worker.hpp"
#include "support/recording_session.hpp"
#include "support/temp_home.hpp"

namespace quillstone::attribution {
namespace {

using testing::RecordingSession;

class AttributionClientTest : public ::testing::Test {
 protected:
  AttributionClient client() {
    return AttributionClient(session, worker, defaults, deviceIds, [] { return DeviceFacts{}; });
  }
  nlohmann::json body(std::size_t i) const {
    return nlohmann::json::parse(session.requests.at(i).body);
  }

  testing::TempHome home;
  RecordingSession session;
  testing::InlineWorker worker;
  platform::FileDefaultsStore defaults{home.path() + "/defaults.json"};
  platform::FileKeychain keychain{home.path() + "/keychain.json"};
  DeviceIdSource deviceIds{keychain};
  const Url server = *Url::parse("https://attrib.example.com/base/");
};

TEST_F(AttributionClientTest, RequestIsAnEightSecondPostWithOnlyAContentType) {
  auto c = client();
  c.start("app", server, nullptr);
  ASSERT_EQ(session.requests.size(), 1u);
  const auto& request = session.requests[0];
  EXPECT_EQ(request.url, "https://attrib.example.com/base/attrib/install");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.timeout, std::chrono::seconds(8));
  EXPECT_EQ(request.headers, (decltype(request.headers){{"Content-Type", "application/json"}}));
}

TEST_F(AttributionClientTest, LinkBeforeStartSendsNothingAndIsCarriedByStart) {
  auto c = client();
  EXPECT_TRUE(c.handle("myapp://open/a/EARLY"));
  EXPECT_TRUE(session.requests.empty());
  c.start("app", server, nullptr);
  ASSERT_EQ(session.requests.size(), 1u);
  EXPECT_EQ(body(0).at("referrer"), "la_code=EARLY");
}

TEST_F(AttributionClientTest, LinkWithoutACodeChangesNothing) {
  auto c = client();
  EXPECT_TRUE(c.handle("myapp://open/a/KEPT"));
  EXPECT_FALSE(c.handle("myapp://open/a/OTHER?la_code="));
  EXPECT_FALSE(c.handle("myapp://open/b/OTHER"));
  c.start("app", server, nullptr);
  EXPECT_EQ(body(0).at("referrer"), "la_code=KEPT");
}

TEST_F(AttributionClientTest, LinkAfterAttributionKeepsTheCodeAndSendsNothing) {
  defaults.setValue(kDoneKey, true);
  auto c = client();
  c.start("app", server, nullptr);
  EXPECT_TRUE(c.handle("myapp://open/?_la=LATE"));
  EXPECT_TRUE(session.requests.empty());

  // Only visible once the installation asks again.
  defaults.setValue(kDoneKey, false);
  c.start("app", server, nullptr);
  ASSERT_EQ(session.requests.size(), 1u);
  EXPECT_EQ(body(0).at("referrer"), "la_code=LATE");
}

TEST_F(AttributionClientTest, FailedLinkRequestKeepsTheCodeForTheNextStart) {
  auto c = client();
  c.start("app", server, nullptr);
  EXPECT_TRUE(c.handle("myapp://open/a/AGAIN"));
  ASSERT_EQ(session.requests.size(), 2u);
  session.completions[1](platform::HttpResponse{false, 0, {}, "Could not connect"});
  c.start("app", server, nullptr);
  ASSERT_EQ(session.requests.size(), 3u);
  EXPECT_EQ(body(2).at("referrer"), "la_code=AGAIN");
}

TEST_F(AttributionClientTest, TransportErrorIsNotAnAnswerEvenWithA2xxStatus) {
  auto c = client();
  std::vector<ParsedResponse> results;
  c.start("app", server, [&](const ParsedResponse& r) { results.push_back(r); });
  // A reply cut off mid-body: the status line came, then the connection failed.
  session.completions[0](
      platform::HttpResponse{true, 200, R"({"matched":true})", "Connection reset"});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], ParsedResponse{});
  EXPECT_FALSE(defaults.boolean(kDoneKey));
}

// Records the order of writes, so a crash between them can be reasoned about.
class RecordingDefaults final : public platform::DefaultsStore {
 public:
  std::optional<nlohmann::json> value(const std::string&) override { return std::nullopt; }
  void setValue(const std::string& key, nlohmann::json value) override {
    writes.emplace_back(key, std::move(value));
  }
  std::vector<std::pair<std::string, nlohmann::json>> writes;
};

TEST_F(AttributionClientTest, ReplyTextIsStoredBeforeTheFlag) {
  // Were the flag first, a process dying between the writes would keep an empty answer for good.
  RecordingDefaults recording;
  AttributionClient c(session, worker, recording, deviceIds, [] { return DeviceFacts{}; });
  c.start("app", server, nullptr);
  session.completions.at(0)(platform::HttpResponse{true, 200, R"({"matched":true})", {}});
  ASSERT_EQ(recording.writes.size(), 2u);
  EXPECT_EQ(recording.writes[0].first, kResultKey);
  EXPECT_EQ(recording.writes[0].second, R"({"matched":true})");
  EXPECT_EQ(recording.writes[1].first, kDoneKey);
  EXPECT_EQ(recording.writes[1].second, true);
}

TEST_F(AttributionClientTest, HostCallbackThatThrowsDoesNotUnwindIntoTheClient) {
  defaults.setValue(kDoneKey, true);
  auto c = client();
  EXPECT_NO_THROW(c.start("app", server, [](const ParsedResponse&) { throw 42; }));
}

TEST_F(AttributionClientTest, InvalidUtf8HostTextStillGivesAParsableBody) {
  auto c = client();
  EXPECT_TRUE(c.handle("myapp://open/a/%FF%FE"));
  c.start(std::string("app\xff"), server, nullptr);
  const auto parsed = nlohmann::json::parse(session.requests.at(0).body, nullptr, false);
  ASSERT_TRUE(parsed.is_object());
  EXPECT_EQ(parsed.at("id"), "app\xEF\xBF\xBD");
  EXPECT_EQ(parsed.at("referrer"), "la_code=\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quillstone::attribution
