#include "client/client_state.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/breadcrumb_data.hpp"
#include "report/report_data.hpp"

namespace quillstone::client {
namespace {

// Error reports carry the breadcrumbs' texts; an uncaught exception's crash file carries the
// records read back from them. Both must be the same bytes, over a list that went round its ring.
TEST(ClientState, BreadcrumbRecordsWriteTheTextsErrorReportsCarry) {
  ClientState state([] { return std::string("session"); });
  const std::vector<std::string> data = {
      R"({"f":1.50,"e":1E+2,"z":-0.0,"n":-1e-1,"big":12345678901234567890})",
      R"({"s":"日本 \" \\ \u0001","nested":{"b":[true,null],"a":{}}})",
      "{\"bad\":\"\xff\xe4\xb8\"}",
      R"({"neg":-9223372036854775808,"tiny":5e-324,"max":1.7976931348623157e308})"};
  for (std::size_t i = 0; i < ClientState::kMaxBreadcrumbs + data.size(); ++i) {
    const auto parsed = report::parseBreadcrumbData(data[i % data.size()]);
    ASSERT_EQ(parsed.verdict, report::BreadcrumbData::Verdict::kept);
    state.appendBreadcrumb(
        report::breadcrumbText(static_cast<std::int64_t>(i), "tap", parsed.text));
  }
  std::string texts;
  state.appendBreadcrumbsJson(texts);
  EXPECT_EQ(nlohmann::json(state.breadcrumbs()).dump(), texts);
  // The oldest were dropped.
  EXPECT_EQ(state.breadcrumbs().front()["t"], data.size());
}

}  // namespace
}  // namespace quillstone::client
