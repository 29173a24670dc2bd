#include <gtest/gtest.h>

#include <vector>

#include "quillstone/quillstone.hpp"

namespace quillstone {
namespace {

const std::string kDefault(Quillstone::defaultServer);
const std::string kFallbackLine = "[qs] 服务器地址无法使用,改用内置服务器 ";
const std::string kLongHost(300, 'h');

struct ResolveCase {
  const char* label;
  std::optional<std::string_view> input;
  std::string expected;
  // How the console line names a text that was not blank and not used; none for the others.
  std::optional<std::string> named = std::nullopt;
  friend void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.label; }
};

class ResolveServer : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveServer, ResolvesOrFallsBackToTheBuiltInServerSayingWhichTextWasNotUsed) {
  std::vector<std::string> lines;
  Quillstone::setLogHandler([&lines](std::string_view line) { lines.emplace_back(line); });
  EXPECT_EQ(Quillstone::resolveServer(GetParam().input).string(), GetParam().expected);
  Quillstone::setLogHandler(nullptr);
  std::vector<std::string> expected;
  if (GetParam().named) expected.push_back(kFallbackLine + *GetParam().named);
  EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ResolveServer,
    ::testing::Values(
        ResolveCase{"absent", std::nullopt, kDefault}, ResolveCase{"empty", "", kDefault},
        ResolveCase{"spacesAndTabs", " \t  \t", kDefault},
        ResolveCase{"trimmedSpacesTabs", " \t https://c.example/api \t", "https://c.example/api"},
        ResolveCase{"trimmedIdeographicSpace", "\u3000https://c.example/\u00a0",
                    "https://c.example/"},
        ResolveCase{"onlyLineBreaks", "\r\n", kDefault},
        ResolveCase{"bareHost", "c.example", kDefault, "\"c.example\""},
        ResolveCase{"hostAndPortWithoutScheme", " 127.0.0.1:8788", kDefault, "\" 127.0.0.1:8788\""},
        ResolveCase{"relativePath", "/collect/rum", kDefault, "\"/collect/rum\""},
        ResolveCase{"unusualScheme", "ftp://c.example/x", "ftp://c.example/x"},
        ResolveCase{"customScheme", "myapp:collector", "myapp:collector"},
        // Line breaks are not trimmed, and a URL cannot hold them.
        ResolveCase{"leadingLineBreak", "\nhttps://c.example/", kDefault,
                    "\"\\nhttps://c.example/\""},
        ResolveCase{"trailingLineBreak", "https://c.example/\r\n", kDefault,
                    "\"https://c.example/\\r\\n\""},
        ResolveCase{"notAUrl", "http://exa mple.com/", kDefault, "\"http://exa mple.com/\""},
        ResolveCase{"longTextIsCut", kLongHost, kDefault, "\"" + kLongHost.substr(0, 256) + "\"…"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Config, WithoutServerHoldsTheBuiltInServer) {
  Quillstone::Config config("app", std::nullopt, "1.0", "prod", true, false, true);
  EXPECT_EQ(config.server(), Quillstone::resolveServer(std::nullopt));
  EXPECT_EQ(config.server().string(), kDefault);
  EXPECT_EQ(config.server().scheme(), "https");
}

TEST(Config, KeepsAnExplicitServerAndEveryValueUnchecked) {
  Quillstone::Config config(" app ", Url::parse("collector/path"), "", "", false, true, false);
  EXPECT_EQ(config.server().string(), "collector/path");
  EXPECT_EQ(config.appId(), " app ");
  EXPECT_EQ(config.release(), "");
  EXPECT_FALSE(config.reportCrash());
  EXPECT_TRUE(config.reportDevice());
  EXPECT_FALSE(config.requireConsent());
}

TEST(Config, CopiesAreIndependent) {
  Quillstone::Config original("app", std::nullopt, "1.0", "prod", true, true, true);
  Quillstone::Config copy = original;
  original.setEnv("staging");
  original.setReportCrash(false);
  original.setReportDevice(false);
  original.setRequireConsent(false);
  EXPECT_EQ(copy.env(), "prod");
  EXPECT_TRUE(copy.reportCrash());
  EXPECT_TRUE(copy.reportDevice());
  EXPECT_TRUE(copy.requireConsent());
}

}  // namespace
}  // namespace quillstone
