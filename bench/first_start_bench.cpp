// What the first start of a process costs its caller's thread: every sample is a fresh process
// (this program run again), which times one Quillstone::shared().start(config) with crash
// capture and the device report on, as a typical host starts it. "First launch" runs in an
// empty home (no defaults file, no keychain, no crash directory); "relaunch" runs in the home
// the first launch just left. The server is a loopback port nothing listens on: start never
// waits on the network, so no collector is needed.
//   first_start_bench [runs]        prints the medians of both, wall and the caller's CPU time
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillstone/quillstone.hpp"
#include "support/temp_home.hpp"

namespace {

using quillstone::Quillstone;

constexpr int kDefaultRuns = 21;
// Long enough for the library's threads to finish what the first launch leaves them (the
// stale-file sweep, the defaults file), so that the relaunch finds what a real one would.
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr double kNanosPerMicro = 1000.0;

long long nanosOf(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// The child: HOME is already the sample's home. Prints the nanoseconds start took, in wall time
// and in CPU time of the calling thread.
int timeOneStart() {
  const Quillstone::Config config("first-start-bench",
                                  Quillstone::resolveServer("http://127.0.0.1:9/"), "1.0.0",
                                  "bench", /*reportCrash=*/true, /*reportDevice=*/true,
                                  /*requireConsent=*/false);
  const long long wallBefore = nanosOf(CLOCK_MONOTONIC);
  const long long cpuBefore = nanosOf(CLOCK_THREAD_CPUTIME_ID);
  Quillstone::shared().start(config);
  const long long cpu = nanosOf(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
  const long long wall = nanosOf(CLOCK_MONOTONIC) - wallBefore;
  std::printf("%lld %lld\n", wall, cpu);
  std::fflush(stdout);
  std::this_thread::sleep_for(kSettle);
  return 0;
}

struct Sample {
  long long wall = -1;
  long long cpu = -1;
};

// Runs this program as a child in `home` and returns what it printed; -1s when it failed.
Sample runChild(const char* self, const std::string& home) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::setenv("HOME", home.c_str(), 1);
    ::execl(self, self, "--child", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[64];
  for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  Sample sample;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(out.c_str(), "%lld %lld", &sample.wall, &sample.cpu) != 2) {
    return {};
  }
  return sample;
}

double medianMicros(std::vector<long long> nanos) {
  std::sort(nanos.begin(), nanos.end());
  const std::size_t n = nanos.size();
  const double middle =
      n % 2 == 1
          ? static_cast<double>(nanos[n / 2])
          : (static_cast<double>(nanos[n / 2 - 1]) + static_cast<double>(nanos[n / 2])) / 2.0;
  return middle / kNanosPerMicro;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--child") return timeOneStart();
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
  // The parent's own home is a scratch one too: removed with everything below it at the end.
  const quillstone::testing::TempHome scratch;
  std::vector<long long> firstWall;
  std::vector<long long> firstCpu;
  std::vector<long long> againWall;
  std::vector<long long> againCpu;
  for (int run = 0; run < runs; ++run) {
    // Interleaved, so both see the same load on a shared machine.
    const std::string home = scratch.path() + "/run-" + std::to_string(run);
    if (::mkdir(home.c_str(), 0700) != 0) return 1;
    const Sample first = runChild("/proc/self/exe", home);
    const Sample again = runChild("/proc/self/exe", home);
    if (first.wall < 0 || again.wall < 0) {
      std::fprintf(stderr, "a child failed\n");
      return 1;
    }
    firstWall.push_back(first.wall);
    firstCpu.push_back(first.cpu);
    againWall.push_back(again.wall);
    againCpu.push_back(again.cpu);
  }
  std::printf("medians of %d processes each\n", runs);
  std::printf("%-36s %12s %12s\n", "benchmark", "median", "median CPU");
  std::printf("%-36s %9.1f us %9.1f us\n", "first start, first launch", medianMicros(firstWall),
              medianMicros(firstCpu));
  std::printf("%-36s %9.1f us %9.1f us\n", "first start, relaunch", medianMicros(againWall),
              medianMicros(againCpu));
  return 0;
}
