#include "crash_demo.hpp"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "support/child_process.hpp"
#include "support/wait.hpp"

namespace {

using quillstone::Quillstone;

constexpr auto kCrashWait = std::chrono::seconds(15);

}  // namespace

bool runCrashDemo(const quillstone::testing::Collector& collector,
                  const Quillstone::Config& config) {
  std::cout << "crash demo: a child run crashes with testCrash()" << std::endl;
  const auto child =
      quillstone::testing::runInChild([] { Quillstone::shared().testCrash(); }, kCrashWait);
  std::cout << "crash demo: the child ended: " << child.describe() << std::endl;
  if (!child.signaled || child.signal != SIGILL) return false;

  const std::size_t before = collector.count();
  std::cout << "crash demo: restarting; the start uploads the crash file" << std::endl;
  Quillstone::shared().start(config);
  if (!collector.waitForRequests(before + 1, kCrashWait)) {
    std::cerr << "demo: the crash file did not arrive in time" << std::endl;
    return false;
  }
  const auto crash = collector.requests()[before];
  if (crash.body.find("\"name\":\"SIGILL\"") == std::string::npos) {
    std::cerr << "demo: the upload was not the crash file" << std::endl;
    return false;
  }
  std::cout << "crash demo: the collector received the SIGILL crash file" << std::endl;
  return true;
}
