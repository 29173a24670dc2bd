// What each public call costs the host's thread, while a background stream of reports keeps the
// delivery thread busy against a live loopback collector.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench_support.hpp"

namespace quillstone::bench {
namespace {

constexpr std::size_t kFullBreadcrumbList = 20;
constexpr std::size_t kNormalizedAddresses = 64;
constexpr std::size_t kGivenStackFrames = 20;

Quillstone& client() {
  liveClient();
  return Quillstone::shared();
}

// Each benchmark starts with the delivery thread carrying only the background stream.
void waitForDelivery(const benchmark::State&) { liveClient().waitForDelivery(); }

void fillBreadcrumbs() {
  for (std::size_t i = 0; i < kFullBreadcrumbList; ++i) {
    client().addBreadcrumb("ui",
                           R"({"action":"tap","target":"button-)" + std::to_string(i) + R"("})");
  }
}

std::vector<std::uint64_t> sampleAddresses(std::size_t count) {
  std::vector<std::uint64_t> addresses;
  for (std::size_t i = 0; i < count; ++i) addresses.push_back(0x555555554000 + 0x1234 * (i + 1));
  return addresses;
}

void BM_TrackWithoutProps(benchmark::State& state) {
  auto& qs = client();
  for (auto _ : state) qs.track("screen_view", 1.0, std::nullopt);
}
BENCHMARK(BM_TrackWithoutProps)->Teardown(waitForDelivery);

void BM_TrackWithEightProps(benchmark::State& state) {
  auto& qs = client();
  std::map<std::string, std::string> props;
  for (int i = 0; i < 8; ++i)
    props["key" + std::to_string(i)] = "value number " + std::to_string(i);
  for (auto _ : state) qs.track("purchase", 19.99, props);
}
BENCHMARK(BM_TrackWithEightProps)->Teardown(waitForDelivery);

void BM_CaptureWithGivenStack(benchmark::State& state) {
  auto& qs = client();
  fillBreadcrumbs();
  const std::vector<std::uint64_t> addresses = sampleAddresses(kGivenStackFrames);
  const std::string stack = qs.normalize(addresses);
  for (auto _ : state) qs.capture("PaymentError", "card declined", stack);
}
BENCHMARK(BM_CaptureWithGivenStack)->Teardown(waitForDelivery);

void BM_CaptureWithEmptyStack(benchmark::State& state) {
  auto& qs = client();
  fillBreadcrumbs();
  for (auto _ : state) qs.capture("PaymentError", "card declined", "");
}
BENCHMARK(BM_CaptureWithEmptyStack)->Teardown(waitForDelivery);

void BM_AddBreadcrumbOnFullList(benchmark::State& state) {
  auto& qs = client();
  fillBreadcrumbs();
  for (auto _ : state) qs.addBreadcrumb("ui", R"({"action":"tap","target":"buy"})");
}
BENCHMARK(BM_AddBreadcrumbOnFullList)->Teardown(waitForDelivery);

void BM_SetPage(benchmark::State& state) {
  auto& qs = client();
  fillBreadcrumbs();
  std::size_t i = 0;
  for (auto _ : state) qs.setPage((++i & 1) != 0 ? "/checkout" : "/cart");
}
BENCHMARK(BM_SetPage)->Teardown(waitForDelivery);

void BM_SetUser(benchmark::State& state) {
  auto& qs = client();
  std::size_t i = 0;
  for (auto _ : state) qs.setUser((++i & 1) != 0 ? "user-42" : "user-43");
}
BENCHMARK(BM_SetUser)->Teardown(waitForDelivery);

void BM_Normalize64Addresses(benchmark::State& state) {
  auto& qs = client();
  const std::vector<std::uint64_t> addresses = sampleAddresses(kNormalizedAddresses);
  for (auto _ : state) benchmark::DoNotOptimize(qs.normalize(addresses));
}
BENCHMARK(BM_Normalize64Addresses)->Teardown(waitForDelivery);

}  // namespace
}  // namespace quillstone::bench
