// End-to-end delivery: bursts of reports from four host threads to a loopback collector that
// runs in a child process, so its memory is not counted as ours. For each burst: the host-side
// time, the time until the collector has every report, reports per second, peak resident memory
// and what it costs per waiting report, the most connections open at once, how many reports
// were lost, and the CPU time the process spent per delivered report, all its threads but the
// benchmark's own monitor.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "support/wait.hpp"

namespace quillstone::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHostThreads = 4;
constexpr std::size_t kBursts[] = {1'000, 10'000, 100'000};
constexpr std::chrono::milliseconds kSampleEvery{2};
constexpr std::chrono::seconds kDeliveryWait{300};
constexpr std::chrono::seconds kChildWait{10};
constexpr std::size_t kConnectionCap = 6;
// How many requests may wait for a connection (the library's bound; see README).
constexpr std::size_t kWaitingBound = 10'000;
constexpr double kMiB = 1024.0 * 1024.0;

// Lives in memory shared with the collector's process.
struct Shared {
  std::atomic<int> port{0};
  std::atomic<std::size_t> received{0};
  std::atomic<std::size_t> bodyBytes{0};
  std::atomic<bool> stop{false};
};

[[noreturn]] void runCollector(Shared& shared) {
  {
    testing::Collector collector;
    collector.onRequest([&shared](const testing::RecordedRequest& request) {
      shared.bodyBytes.fetch_add(request.body.size());
      shared.received.fetch_add(1);
    });
    shared.port.store(collector.port());
    // Bounded: the parent stops it long before this.
    testing::waitUntil([&] { return shared.stop.load(); }, std::chrono::hours(1));
  }
  _exit(0);
}

// Client connections to `port` that are established now, as (local port) values.
std::set<unsigned> establishedTo(int port) {
  std::set<unsigned> local;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state;
    fields >> slot >> localAddress >> remoteAddress >> state;
    if (state != "01") continue;
    const auto remotePort =
        std::stoul(remoteAddress.substr(remoteAddress.find(':') + 1), nullptr, 16);
    if (remotePort != static_cast<unsigned long>(port)) continue;
    local.insert(std::stoul(localAddress.substr(localAddress.find(':') + 1), nullptr, 16));
  }
  return local;
}

double seconds(const timespec& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

// User and system time of every thread of this process so far.
double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double threadCpuSeconds() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return seconds(time);
}

struct BurstResult {
  std::size_t reports = 0;
  double hostSeconds = 0;
  double deliveredSeconds = 0;
  std::size_t lost = 0;
  std::size_t peakRss = 0;
  std::size_t baseRss = 0;
  std::size_t maxWaiting = 0;
  std::size_t maxOpenConnections = 0;
  std::size_t connectionsUsed = 0;
  double averageBody = 0;
  double cpuPerReport = 0;
};

BurstResult runBurst(Shared& shared, std::size_t reports) {
  BurstResult result;
  result.reports = reports;
  const std::size_t receivedBefore = shared.received.load();
  const std::size_t bytesBefore = shared.bodyBytes.load();
  std::atomic<std::size_t> sent{0};
  std::atomic<bool> monitoring{true};
  std::set<unsigned> used;

  resetPeakResident();
  result.baseRss = residentBytes();
  double monitorCpu = 0;
  const double cpuBefore = processCpuSeconds();
  std::thread monitor([&] {
    for (int i = 0; i < 1'000'000 && monitoring.load(); ++i) {
      const std::size_t waiting = sent.load() - (shared.received.load() - receivedBefore);
      result.maxWaiting = std::max(result.maxWaiting, waiting);
      const auto open = establishedTo(shared.port.load());
      result.maxOpenConnections = std::max(result.maxOpenConnections, open.size());
      used.insert(open.begin(), open.end());
      std::this_thread::sleep_for(kSampleEvery);
    }
    monitorCpu = threadCpuSeconds();
  });

  const auto start = Clock::now();
  std::vector<std::thread> hosts;
  for (int t = 0; t < kHostThreads; ++t) {
    hosts.emplace_back([&, t] {
      const std::size_t share = reports / kHostThreads + (t == 0 ? reports % kHostThreads : 0);
      for (std::size_t i = 0; i < share; ++i) {
        Quillstone::shared().track("delivery", static_cast<double>(i), std::nullopt);
        sent.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto& host : hosts) host.join();
  const auto hostDone = Clock::now();
  // Every report has ended, delivered or dropped (a burst larger than may wait drops its
  // oldest): the collector has counted each delivered one before it answered.
  Quillstone::shared().flush(kDeliveryWait);
  const auto delivered = Clock::now();
  monitoring.store(false);
  monitor.join();
  const double cpu = processCpuSeconds() - cpuBefore - monitorCpu;

  const std::size_t received = shared.received.load() - receivedBefore;
  result.hostSeconds = std::chrono::duration<double>(hostDone - start).count();
  result.deliveredSeconds = std::chrono::duration<double>(delivered - start).count();
  result.lost = received >= reports ? 0 : reports - received;
  result.peakRss = peakResidentBytes();
  result.connectionsUsed = used.size();
  result.cpuPerReport = received == 0 ? 0 : cpu / static_cast<double>(received);
  result.averageBody = received == 0 ? 0
                                     : static_cast<double>(shared.bodyBytes.load() - bytesBefore) /
                                           static_cast<double>(received);
  return result;
}

int run() {
  void* memory =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  auto* shared = new (memory) Shared;
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) runCollector(*shared);
  if (!testing::waitUntil([&] { return shared->port.load() > 0; }, kChildWait)) return 1;

  const std::size_t rssBeforeStart = residentBytes();
  testing::TempHome home;
  Quillstone::shared().start(
      benchConfig("http://127.0.0.1:" + std::to_string(shared->port.load()) + "/"));
  // One report opens the first connection and loads what the delivery path needs.
  Quillstone::shared().track("warm-up", 0, std::nullopt);
  testing::waitUntil([&] { return shared->received.load() >= 1; });
  const std::size_t rssAfterStart = residentBytes();

  std::printf("resident before start %.2f MiB, after start and one report %.2f MiB\n",
              static_cast<double>(rssBeforeStart) / kMiB,
              static_cast<double>(rssAfterStart) / kMiB);
  std::printf("%-8s %9s %12s %10s %6s %10s %11s %13s %9s %9s %11s\n", "reports", "host ms",
              "delivered ms", "reports/s", "lost", "peak MiB", "max waiting", "B/waiting rpt",
              "max conns", "conns", "CPU us/rpt");
  bool healthy = true;
  for (const std::size_t reports : kBursts) {
    const BurstResult r = runBurst(*shared, reports);
    const double grown = static_cast<double>(r.peakRss) - static_cast<double>(r.baseRss);
    const double perWaiting =
        r.maxWaiting == 0 ? 0 : grown / static_cast<double>(r.maxWaiting) - r.averageBody;
    std::printf("%-8zu %9.1f %12.1f %10.0f %6zu %10.2f %11zu %13.0f %9zu %9zu %11.1f\n", r.reports,
                r.hostSeconds * 1e3, r.deliveredSeconds * 1e3,
                static_cast<double>(r.reports) / r.deliveredSeconds, r.lost,
                static_cast<double>(r.peakRss) / kMiB, r.maxWaiting, perWaiting,
                r.maxOpenConnections, r.connectionsUsed, r.cpuPerReport * 1e6);
    std::fflush(stdout);
    // Only a burst larger than may wait at once loses reports, and those are dropped on purpose.
    const bool fits = r.reports * 2 <= kWaitingBound;
    healthy = healthy && (!fits || r.lost == 0) && r.maxOpenConnections <= kConnectionCap;
  }
  std::printf("average report body %.0f bytes\n",
              static_cast<double>(shared->bodyBytes.load()) /
                  static_cast<double>(std::max<std::size_t>(shared->received.load(), 1)));

  shared->stop.store(true);
  int status = 0;
  waitpid(child, &status, 0);
  if (!healthy) {
    std::printf("FAILED: reports lost within the waiting bound, or more than %zu connections\n",
                kConnectionCap);
  }
  return healthy ? 0 : 2;
}

}  // namespace
}  // namespace quillstone::bench

int main() { return quillstone::bench::run(); }
