#include "integrity/integrity.hpp"

#include <sys/ptrace.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "support/child_process.hpp"

namespace quillstone::integrity {
namespace {

std::string commandOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  std::array<char, 256> buffer;
  while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get())) output += buffer.data();
  return output;
}

TEST(Integrity, SignatureIsTheSha256OfTheRunningExecutable) {
  const auto report = probeIntegrity();
  ASSERT_EQ(report.signature.size(), 64u);
  EXPECT_EQ(commandOutput("sha256sum /proc/" + std::to_string(getpid()) + "/exe").substr(0, 64),
            report.signature);
  EXPECT_EQ(fileSha256("/nonexistent/file"), "");
  EXPECT_FALSE(report.sideloaded);
}

TEST(Integrity, NoticesATracer) {
  EXPECT_FALSE(probeIntegrity().debuggerAttached);
  EXPECT_FALSE(hasTracer("Name:\tx\nTracerPid:\t0\nUid:\t0\n"));
  EXPECT_TRUE(hasTracer("Name:\tx\nTracerPid:\t4021\n"));
  EXPECT_FALSE(hasTracer("Name:\tx\n"));
  // A real tracer: the child asks its parent (this test) to trace it.
  const auto result = testing::runInChild([] {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) std::_Exit(2);
    std::_Exit(probeIntegrity().debuggerAttached ? 0 : 1);
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

TEST(Integrity, NamesTheFirstPreloadedOrToolkitLibrary) {
  const std::vector<std::string> plain = {"/lib/x86_64-linux-gnu/libc.so.6", "linux-vdso.so.1"};
  EXPECT_EQ(hookFrameworkFrom("", plain), "");
  EXPECT_EQ(hookFrameworkFrom("  /opt/hooks/libhook.so:/x/other.so", plain), "libhook.so");
  EXPECT_EQ(hookFrameworkFrom("libshim.so other.so", plain), "libshim.so");
  EXPECT_EQ(hookFrameworkFrom("", {"/lib/libc.so.6", "/tmp/frida-agent-64.so", "/x/substrate.so"}),
            "frida-agent-64.so");
  EXPECT_EQ(hookFrameworkFrom(" : ", {"/usr/lib/libsubstrate.so"}), "libsubstrate.so");
}

}  // namespace
}  // namespace quillstone::integrity
