// What every benchmark shares: a temporary home, a loopback collector, a started client and a
// background stream of reports that keeps the delivery thread busy while host calls are timed.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "quillstone/quillstone.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"

namespace quillstone::bench {

// The configuration every benchmark starts the client with: crash capture on (so setUser
// re-renders the crash slot), no device report, no consent gate.
Quillstone::Config benchConfig(const std::string& collectorUrl);

// One per benchmark program. HOME points at a fresh directory before the client is first used,
// so the defaults file and the crash directory land there.
class LiveClient {
 public:
  LiveClient();
  ~LiveClient();
  LiveClient(const LiveClient&) = delete;
  LiveClient& operator=(const LiveClient&) = delete;

  testing::Collector& collector() { return *collector_; }
  const Quillstone::Config& config() const { return config_; }

  // Waits (bounded) until the collector has what was sent before the call, so a benchmark that
  // queued many reports does not leave the next one to run beside its backlog.
  void waitForDelivery();

 private:
  std::atomic<std::size_t> markersSeen_{0};
  std::size_t markersSent_ = 0;
  testing::TempHome home_;
  std::unique_ptr<testing::Collector> collector_;
  Quillstone::Config config_;
};

// Sends one small event every `period` from its own thread until destroyed.
class BackgroundReports {
 public:
  explicit BackgroundReports(std::chrono::microseconds period = std::chrono::microseconds(1000));
  ~BackgroundReports();
  BackgroundReports(const BackgroundReports&) = delete;
  BackgroundReports& operator=(const BackgroundReports&) = delete;

  std::size_t sent() const { return sent_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

// The started client and a background stream of reports, made on first use and shared by the
// benchmarks of one program.
LiveClient& liveClient();
// Stops the background stream and the collector; call before the program exits.
void stopLiveClient();

// Current and peak resident set of this process, in bytes (from /proc/self/status).
std::size_t residentBytes();
std::size_t peakResidentBytes();
// Makes the next peakResidentBytes() count from now.
void resetPeakResident();

}  // namespace quillstone::bench
