// The offline outbox, through the client against real loopback servers: what never reached the
// server is kept on disk and sent again, byte for byte; nothing that may have reached it is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <quillstone/quillstone.hpp>
#include <string>
#include <vector>

#include "platform/files.hpp"
#include "platform/outbox_files.hpp"
#include "support/closed_port.hpp"
#include "support/collector.hpp"
#include "support/raw_server.hpp"
#include "support/temp_home.hpp"

namespace quillstone {
namespace {

constexpr std::chrono::seconds kFlushTimeout{15};

// The stored reports' bytes, oldest first.
std::vector<std::string> storedReports() {
  const std::string directory = platform::outboxDirectory();
  auto names = platform::listDirectory(directory);
  std::sort(names.begin(), names.end());
  std::vector<std::string> bodies;
  for (const auto& name : names)
    bodies.push_back(platform::readFile(directory + "/" + name).value_or("?"));
  return bodies;
}

Quillstone::Config configFor(const std::string& server, bool outbox) {
  Quillstone::Config config("app-7", Quillstone::resolveServer(server), "4.5.6", "test", false,
                            false, false);
  if (outbox) config.setOfflineOutbox(true);
  return config;
}

void sendReports() {
  Quillstone::shared().track("first", 1, std::nullopt);
  Quillstone::shared().capture("Second", "message", "stack");
  Quillstone::shared().track("third", 3, {{{"k", "v"}}});
}

TEST(Outbox, KeepsWhatCouldNotConnectAndSendsItByteForByteOnceTheServerAnswers) {
  testing::TempHome home;
  const int port = testing::closedLoopbackPort();
  const std::string server = "http://127.0.0.1:" + std::to_string(port) + "/";
  Quillstone::shared().start(configFor(server, true));
  sendReports();
  EXPECT_FALSE(Quillstone::shared().flush(kFlushTimeout));
  const auto stored = storedReports();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_NE(stored[0].find("\"first\""), std::string::npos);
  EXPECT_NE(stored[2].find("\"third\""), std::string::npos);

  testing::Collector collector(port);
  EXPECT_TRUE(Quillstone::shared().flush(kFlushTimeout));
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i].body, stored[i]) << i;
  EXPECT_TRUE(storedReports().empty());
}

// Nothing is kept when the request may have reached the server, nor while the outbox is off.
enum class Server { answers500, hangsUpAfterReading, closedPort };
struct NotKept {
  const char* name;
  Server server;
  bool outbox;
  friend void PrintTo(const NotKept& c, std::ostream* out) { *out << c.name; }
};

class OutboxKeepsNothing : public ::testing::TestWithParam<NotKept> {};

TEST_P(OutboxKeepsNothing, WhenTheRequestMayHaveArrivedOrTheOutboxIsOff) {
  testing::TempHome home;
  std::unique_ptr<testing::Collector> collector;
  std::unique_ptr<testing::RawServer> raw;
  std::string server;
  switch (GetParam().server) {
    case Server::answers500:
      collector = std::make_unique<testing::Collector>();
      collector->setResponse({500, "{}"});
      server = collector->url();
      break;
    case Server::hangsUpAfterReading:
      raw = std::make_unique<testing::RawServer>([](testing::RawServer& self, int client) {
        if (self.readRequest(client)) testing::RawServer::reset(client);
      });
      server = raw->base();
      break;
    case Server::closedPort:
      server = "http://127.0.0.1:" + std::to_string(testing::closedLoopbackPort()) + "/";
      break;
  }
  Quillstone::shared().start(configFor(server, GetParam().outbox));
  sendReports();
  // Only a wait: a report that failed before the call is not counted by it.
  Quillstone::shared().flush(kFlushTimeout);
  if (collector) {
    EXPECT_EQ(collector->count(), 3u);
  }
  if (raw) {
    EXPECT_GE(raw->received(), 3);
  }
  EXPECT_TRUE(storedReports().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, OutboxKeepsNothing,
                         ::testing::Values(NotKept{"Answers500", Server::answers500, true},
                                           NotKept{"HangsUpAfterReading",
                                                   Server::hangsUpAfterReading, true},
                                           NotKept{"OffByDefault", Server::closedPort, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillstone
