#include "crash/crash_files.hpp"

#include <gtest/gtest.h>

#include <csignal>

#include <nlohmann/json.hpp>

namespace quillstone::crash {
namespace {

SignalHeadMembers members() { return {"app", "VID", "SID", "2.0", "user", "UUID", 1700000000123}; }

nlohmann::json parseHead(const std::string& head) {
  return nlohmann::json::parse(head + "SIGSEGV" + std::string(kSignalStackKey) +
                               std::string(kSignalStackEnd) + std::string(kSignalTail));
}

TEST(SignalHead, HoldsTheTenMembersAndEndsWithTheDataHead) {
  const std::string head = renderSignalHead(members(), 4095).value();
  EXPECT_TRUE(head.ends_with(kSignalDataHead));
  EXPECT_EQ(kSignalDataHead.size(), 82u);
  const auto report = parseHead(head);
  EXPECT_EQ(report.size(), 11u);
  EXPECT_EQ(report["ts"], 1700000000123);
  EXPECT_EQ(report["userId"], "user");
  EXPECT_EQ(report["type"], "error");
  EXPECT_EQ(report["platform"], "ios");
  EXPECT_EQ(report["sdk"], "1.0.0-ios");
}

TEST(SignalHead, CutsOnlyTheLongValuesAndNeverExceedsTheLimit) {
  SignalHeadMembers big = members();
  big.userId = std::string(900, 'u');
  big.release = std::string(900, '\n');  // each byte escapes to two
  const std::string whole = renderSignalHead(big, SIZE_MAX).value();
  for (std::size_t limit : {whole.size(), whole.size() - 1, std::size_t{600}, std::size_t{420}}) {
    const auto head = renderSignalHead(big, limit);
    ASSERT_TRUE(head) << limit;
    EXPECT_LE(head->size(), limit);
    const auto report = parseHead(*head);
    EXPECT_EQ(report["id"], "app") << limit;
    EXPECT_EQ(report["sid"], "SID") << limit;
  }
  EXPECT_EQ(renderSignalHead(big, whole.size()).value(), whole);
  EXPECT_FALSE(renderSignalHead(big, 100));
}

TEST(SignalName, NamesTheCrashSignalsAndNothingElse) {
  EXPECT_EQ(signalName(SIGILL), "SIGILL");
  EXPECT_EQ(signalName(SIGTRAP), "SIGTRAP");
  EXPECT_EQ(signalName(SIGABRT), "SIGABRT");
  EXPECT_EQ(signalName(SIGFPE), "SIGFPE");
  EXPECT_EQ(signalName(SIGBUS), "SIGBUS");
  EXPECT_EQ(signalName(SIGSEGV), "SIGSEGV");
  EXPECT_EQ(signalName(SIGUSR1), "SIGNAL");
  EXPECT_EQ(signalName(10), "SIGNAL");  // another system's SIGBUS number is SIGUSR1 here
}

}  // namespace
}  // namespace quillstone::crash
