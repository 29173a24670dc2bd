// The main of every Google Benchmark program here: runs the benchmarks, then stops the live
// client's collector and background stream before exit. Left to static destruction, the
// collector's server threads could still be parsing requests after the HTTP library's own
// statics were destroyed.
#include <benchmark/benchmark.h>

#include "bench_support.hpp"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  quillstone::bench::stopLiveClient();
  benchmark::Shutdown();
  return 0;
}
