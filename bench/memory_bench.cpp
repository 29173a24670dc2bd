// Resident memory of a small host: at main, then after start and one delivered report. The same
// program can instead do only what libcurl itself needs for one transfer (--curl-only), to show
// how much of the figure is the HTTP stack rather than this library, or send a million events to
// a server that accepts connections and never answers (--silent-server), to show that the
// reports waiting for a connection stay within their bound. Links nothing but the library, so
// the figures are those of an app, not of a test harness. The loopback server runs in a child
// process, so its memory is not counted. --per-waiting measures what one waiting report holds:
// the heap bytes in use that a few thousand events add while they wait, divided by their number.
#include <curl/curl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/http_session.hpp"
#include "quillstone/quillstone.hpp"

namespace {

constexpr double kKiBPerMiB = 1024.0;
constexpr auto kDeliveryWait = std::chrono::seconds(10);
constexpr int kSilentReports = 1000000;
// Well below the waiting bound, so that none of them is dropped.
constexpr int kMeasuredWaiting = 9000;
// Enough for the six connections and for the queues to reach their steady shape.
constexpr int kWarmUpReports = 200;
// How often, and how long at most, the heap is read until it stops changing.
constexpr auto kSettleStep = std::chrono::milliseconds(200);
constexpr int kSettleSteps = 25;

long residentField(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = field;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return 0;
}

long residentKiB() { return residentField("VmRSS:"); }
// The most the process was resident at any time so far.
long peakResidentKiB() { return residentField("VmHWM:"); }

// Reads one request (headers and a Content-Length body) and answers 200; tells the parent
// through `done` that a report arrived.
void serveOne(int connection, int done) {
  std::string request;
  char buffer[4096];
  for (;;) {
    const auto headerEnd = request.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
      const auto at = request.find("Content-Length: ");
      const std::size_t length = at == std::string::npos ? 0 : std::stoul(request.substr(at + 16));
      if (request.size() >= headerEnd + 4 + length) break;
    }
    const ssize_t got = read(connection, buffer, sizeof buffer);
    if (got <= 0) return;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  if (write(connection, kAnswer, sizeof kAnswer - 1) < 0) return;
  if (write(done, "x", 1) < 0) return;
}

struct Server {
  int port = -1;
  int doneRead = -1;  // a byte arrives for each request answered
  pid_t pid = -1;
};

// Forks a loopback server that answers every request, or, `silent`, accepts connections and
// never reads or answers.
Server startServer(bool silent) {
  Server server;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return server;
  }
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return server;
  server.pid = fork();
  if (server.pid == 0) {
    close(pipeFds[0]);
    for (;;) {
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) _exit(0);
      if (silent) continue;  // held open, never answered
      serveOne(connection, pipeFds[1]);
      close(connection);
    }
  }
  close(listener);
  close(pipeFds[1]);
  server.doneRead = pipeFds[0];
  server.port = server.pid > 0 ? ntohs(address.sin_port) : -1;
  return server;
}

bool waitForOneRequest(int doneRead) {
  pollfd ready{doneRead, POLLIN, 0};
  char byte;
  return poll(&ready, 1, static_cast<int>(kDeliveryWait.count() * 1000)) == 1 &&
         read(doneRead, &byte, 1) == 1;
}

// A fresh home, so the library's files do not land in the real one.
std::string makeScratchHome() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/qs-memory-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  setenv("HOME", pattern.c_str(), 1);
  for (const char* variable : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
    unsetenv(variable);
  }
  return pattern;
}

// libcurl alone: global initialisation and one POST, as the library's session would do.
void curlOnly(const std::string& url) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, (url + "rum").c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "{}");
  curl_easy_perform(easy);
  curl_easy_cleanup(easy);
}

// A million events against the silent server: what waits for a connection is bounded.
int silentServer(const std::string& url) {
  auto& client = quillstone::Quillstone::shared();
  client.start(quillstone::Quillstone::Config(
      "memory-bench", quillstone::Quillstone::resolveServer(url), "1.0.0", "bench",
      /*reportCrash=*/false, /*reportDevice=*/false, /*requireConsent=*/false));
  client.track("warm-up", 0, std::nullopt);
  const long before = residentKiB();
  for (int i = 0; i < kSilentReports; ++i) client.track("silent", i, std::nullopt);
  // The drops happen on the library's thread: let it take the last of them up.
  client.flush(std::chrono::seconds(2));
  const long peak = peakResidentKiB();
  // Where requests are handed to the library's thread and where they wait for a connection.
  const double bound =
      2.0 * static_cast<double>(quillstone::platform::kMaxWaitingBytes) / 1024 / 1024;
  std::printf(
      "silent server: %d events, resident before %6.2f MiB, peak %6.2f MiB (+%.2f MiB); "
      "bound 2 x %zu reports, %.0f MiB in all\n",
      kSilentReports, before / kKiBPerMiB, peak / kKiBPerMiB, (peak - before) / kKiBPerMiB,
      quillstone::platform::kMaxWaitingRequests, bound);
  return 0;
}

std::size_t heapInUse() { return mallinfo2().uordblks; }

// The heap in use once the library's threads are done with what they were given: the same
// figure twice in a row. Connections that are still being set up add their buffers meanwhile.
std::size_t settledHeapInUse() {
  std::size_t last = heapInUse();
  for (int i = 0; i < kSettleSteps; ++i) {
    std::this_thread::sleep_for(kSettleStep);
    const std::size_t now = heapInUse();
    if (now == last) break;
    last = now;
  }
  return last;
}

// Events against the silent server, all of them kept waiting for a connection: the heap they
// add, per event, once the library's thread has taken them up.
int perWaiting(const std::string& url) {
  auto& client = quillstone::Quillstone::shared();
  client.start(quillstone::Quillstone::Config(
      "memory-bench", quillstone::Quillstone::resolveServer(url), "1.0.0", "bench",
      /*reportCrash=*/false, /*reportDevice=*/false, /*requireConsent=*/false));
  for (int i = 0; i < kWarmUpReports; ++i) client.track("waiting", i, std::nullopt);
  const std::size_t before = settledHeapInUse();
  for (int i = 0; i < kMeasuredWaiting; ++i) client.track("waiting", i, std::nullopt);
  const std::size_t after = settledHeapInUse();
  std::printf("per waiting report: %d events, %.0f bytes in use each\n", kMeasuredWaiting,
              static_cast<double>(after - before) / kMeasuredWaiting);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool curlAlone = argc > 1 && std::strcmp(argv[1], "--curl-only") == 0;
  const bool perReport = argc > 1 && std::strcmp(argv[1], "--per-waiting") == 0;
  const bool silent = perReport || (argc > 1 && std::strcmp(argv[1], "--silent-server") == 0);
  const long atMain = residentKiB();
  const std::string home = makeScratchHome();
  const Server server = startServer(silent);
  if (home.empty() || server.port < 0) return 1;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/";

  if (silent) {
    const int status = perReport ? perWaiting(url) : silentServer(url);
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
  }
  if (curlAlone) {
    curlOnly(url);
  } else {
    auto& client = quillstone::Quillstone::shared();
    client.start(quillstone::Quillstone::Config(
        "memory-bench", quillstone::Quillstone::resolveServer(url), "1.0.0", "bench",
        /*reportCrash=*/true, /*reportDevice=*/false, /*requireConsent=*/false));
    client.track("warm-up", 0, std::nullopt);
  }
  const bool delivered = waitForOneRequest(server.doneRead);
  const long after = residentKiB();
  kill(server.pid, SIGKILL);
  waitpid(server.pid, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  if (!delivered) return 1;
  std::printf("%-28s at main %6.2f MiB, after %s %6.2f MiB (+%.2f MiB)\n",
              curlAlone ? "libcurl alone:" : "library:", atMain / kKiBPerMiB,
              curlAlone ? "one transfer         " : "start and one report", after / kKiBPerMiB,
              (after - atMain) / kKiBPerMiB);
  return 0;
}
