#include "platform/http_url.hpp"

#include <gtest/gtest.h>

namespace quillstone::platform {
namespace {

struct RedirectTarget {
  const char* name;
  const char* from;
  const char* to;
  bool followed;
};

void PrintTo(const RedirectTarget& c, std::ostream* out) { *out << c.name; }

class HttpRedirectTarget : public ::testing::TestWithParam<RedirectTarget> {};

// What went out over TLS never continues in clear text; the loopback servers of the other
// tests speak plain HTTP, so this rule is checked here.
TEST_P(HttpRedirectTarget, GoesOnlyToHttpOrHttpsAndNeverFromHttpsToHttp) {
  const auto& c = GetParam();
  EXPECT_EQ(!refusedRedirect(c.from, c.to).has_value(), c.followed);
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, HttpRedirectTarget,
    ::testing::Values(
        RedirectTarget{"HttpToHttps", "http://a.example/rum", "https://b.example/rum", true},
        RedirectTarget{"HttpsToHttps", "https://a.example/rum", "https://b.example/rum", true},
        RedirectTarget{"HttpsToHttp", "https://a.example/rum", "http://a.example/rum", false},
        RedirectTarget{"HttpsToHttpInCapitals", "HTTPS://a.example/rum", "Http://a.example/rum",
                       false},
        RedirectTarget{"ToTextWithoutItsScheme", "http://a.example/rum", "a.example:80/rum",
                       false}));

}  // namespace
}  // namespace quillstone::platform
