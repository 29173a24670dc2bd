// quillstone-collector: a local collection server for development. Prints one line per report
// and appends each raw body to a JSON-lines file.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "support/collector.hpp"

namespace {

constexpr int kDefaultPort = 8787;

void usage() {
  std::cerr << "usage: quillstone-collector [--port N] [--out FILE]\n"
               "  --port N    listen on 127.0.0.1:N (default " << kDefaultPort << ")\n"
               "  --out FILE  append every body as one line to FILE (default reports.jsonl)\n";
}

// One line about a report: its kind and what it is about.
std::string summarize(const quillstone::testing::RecordedRequest& request) {
  auto body = nlohmann::json::parse(request.body, nullptr, false);
  std::string line = request.method + " " + request.path;
  if (!body.is_object()) return line + " (" + std::to_string(request.body.size()) + " bytes)";
  const auto text = [&](const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  line += " type=" + text(body, "type");
  if (auto data = body.find("data"); data != body.end() && data->is_object()) {
    if (auto name = text(*data, "name"); !name.empty()) line += " name=" + name;
    if (auto kind = text(*data, "kind"); !kind.empty()) line += " kind=" + kind;
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  int port = kDefaultPort;
  std::string out = "reports.jsonl";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else {
      usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  quillstone::testing::Collector collector(port);
  if (collector.port() <= 0) {
    std::cerr << "quillstone-collector: cannot listen on 127.0.0.1:" << port << "\n";
    return 1;
  }
  std::mutex outputMutex;
  std::ofstream file(out, std::ios::app | std::ios::binary);
  collector.onRequest([&](const quillstone::testing::RecordedRequest& request) {
    std::lock_guard lock(outputMutex);
    std::cout << summarize(request) << std::endl;
    file << request.body << '\n' << std::flush;
  });
  std::cout << "quillstone-collector listening on " << collector.url() << ", writing " << out
            << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}
