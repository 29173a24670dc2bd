// What handling an opened link costs the host's thread. After the first install request has been
// answered, a link with a referral code is only kept; before it, each one sends a request.
#include <benchmark/benchmark.h>

#include "bench_support.hpp"
#include "quillstone/attribution.hpp"
#include "support/wait.hpp"

namespace quillstone::bench {
namespace {

const Url& linkWithCode() {
  static const Url url = *Url::parse("myapp://open/product/7?ref=spring-campaign");
  return url;
}

const Url& linkWithoutCode() {
  static const Url url = *Url::parse("myapp://open/product/7?utm=none");
  return url;
}

// The install request has been answered: handle only keeps the code.
void attributed() {
  static const bool done = [] {
    auto& client = liveClient();
    client.collector().setResponse(
        "/attrib/install",
        {200, R"({"matched":true,"channel":"c1","channelName":"Spring","method":"link"})"});
    std::atomic<bool> answered{false};
    Attribution::shared().start("bench-app", *Url::parse(client.collector().url()),
                                [&](const Attribution::Result&) { answered.store(true); });
    return testing::waitUntil([&] { return answered.load(); });
  }();
  benchmark::DoNotOptimize(done);
}

void BM_HandleLinkWithCode(benchmark::State& state) {
  attributed();
  for (auto _ : state) benchmark::DoNotOptimize(Attribution::shared().handle(linkWithCode()));
}
BENCHMARK(BM_HandleLinkWithCode);

void BM_HandleLinkWithoutCode(benchmark::State& state) {
  attributed();
  for (auto _ : state) benchmark::DoNotOptimize(Attribution::shared().handle(linkWithoutCode()));
}
BENCHMARK(BM_HandleLinkWithoutCode);

}  // namespace
}  // namespace quillstone::bench
