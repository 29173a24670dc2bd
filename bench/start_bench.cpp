// What start costs the host's thread: with an empty crash directory, and with two crash files of
// earlier runs waiting for upload. Runs in a temporary home against a live loopback collector.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "bench_support.hpp"

namespace quillstone::bench {
namespace {

// Where the client keeps crash files for this program, under the temporary home.
std::string crashDirectory() {
  const char* home = std::getenv("HOME");
  const char* self = program_invocation_short_name;
  return std::string(home != nullptr ? home : "") + "/.cache/" + self + "/quillstone";
}

void writePendingCrash(const std::string& path, int number) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      << R"({"id":"bench-app","type":"error","platform":"iOS","ts":)" << number
      << R"(,"data":{"kind":"crash","level":"fatal","name":"SIGSEGV","stack":"0   start_bench   0x0000000000001234"}})";
}

void BM_StartWithEmptyCrashDirectory(benchmark::State& state) {
  auto& client = liveClient();
  for (auto _ : state) Quillstone::shared().start(client.config());
}
BENCHMARK(BM_StartWithEmptyCrashDirectory)->Unit(benchmark::kMicrosecond);

void BM_StartWithTwoPendingCrashFiles(benchmark::State& state) {
  auto& client = liveClient();
  const std::string directory = crashDirectory();
  int number = 0;
  for (auto _ : state) {
    state.PauseTiming();
    writePendingCrash(directory + "/crash-signal.json", ++number);
    writePendingCrash(directory + "/crash-exception.json", ++number);
    state.ResumeTiming();
    Quillstone::shared().start(client.config());
  }
}
BENCHMARK(BM_StartWithTwoPendingCrashFiles)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillstone::bench
