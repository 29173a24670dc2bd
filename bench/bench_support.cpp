#include "bench_support.hpp"

#include <chrono>
#include <fstream>
#include <memory>
#include <string_view>

namespace quillstone::bench {
namespace {

// A bound on the background stream, so a benchmark that never stops it still ends.
constexpr std::size_t kMaxBackgroundReports = 10'000'000;
constexpr char kDeliveryMarker[] = "bench-delivery-marker";
constexpr std::chrono::seconds kDeliveryWait{300};

struct Live {
  LiveClient client;
  BackgroundReports background;  // after the client: stops first
};

std::unique_ptr<Live>& live() {
  static std::unique_ptr<Live> instance;
  return instance;
}

std::size_t statusKilobytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stoul(line.substr(field.size())) * 1024;
  }
  return 0;
}

}  // namespace

Quillstone::Config benchConfig(const std::string& collectorUrl) {
  return Quillstone::Config("bench-app", Quillstone::resolveServer(collectorUrl), "1.0.0", "bench",
                            /*reportCrash=*/true, /*reportDevice=*/false,
                            /*requireConsent=*/false);
}

LiveClient::LiveClient()
    : collector_(std::make_unique<testing::Collector>()), config_(benchConfig(collector_->url())) {
  collector_->keepRequests(false);
  collector_->onRequest([this](const testing::RecordedRequest& request) {
    if (request.body.find(kDeliveryMarker) != std::string::npos) markersSeen_.fetch_add(1);
  });
  Quillstone::shared().start(config_);
}

void LiveClient::waitForDelivery() {
  // Reports leave in the order they were queued, so once the marker arrives at most the few
  // sent beside it on the other connections are still under way.
  Quillstone::shared().track(kDeliveryMarker, 0, std::nullopt);
  ++markersSent_;
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryWait;
  while (markersSeen_.load() < markersSent_ && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

LiveClient::~LiveClient() = default;

BackgroundReports::BackgroundReports(std::chrono::microseconds period)
    : thread_([this, period] {
        for (std::size_t i = 0; i < kMaxBackgroundReports && !stop_.load(); ++i) {
          Quillstone::shared().track("background", static_cast<double>(i), std::nullopt);
          sent_.fetch_add(1);
          std::this_thread::sleep_for(period);
        }
      }) {}

BackgroundReports::~BackgroundReports() {
  stop_.store(true);
  thread_.join();
}

LiveClient& liveClient() {
  // Benchmarks run one after another on the main thread; no lock needed.
  if (!live()) live() = std::make_unique<Live>();
  return live()->client;
}

void stopLiveClient() { live().reset(); }

std::size_t residentBytes() { return statusKilobytes("VmRSS:"); }
std::size_t peakResidentBytes() { return statusKilobytes("VmHWM:"); }

void resetPeakResident() {
  // "5" resets the high-water mark of the resident set.
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace quillstone::bench
