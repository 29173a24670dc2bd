// quillstone-collector: a local collection and attribution server for development. Prints one
// line per report and appends each raw body to a JSON-lines file; answers install requests with
// a configurable attribution reply. Given the program's ELF files, it also prints the stacks of
// crash and error reports as functions and source lines.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "elf_image.hpp"
#include "report.hpp"
#include "support/collector.hpp"
#include "symbolicator.hpp"

namespace {

constexpr int kDefaultPort = 8787;
constexpr const char* kInstallPath = "/attrib/install";
// A matched answer, so a host sees a full attribution result without any set-up.
constexpr const char* kDefaultAttribReply =
    R"({"matched":true,"channel":{"code":"dev","name":"Local development"},)"
    R"("method":"link","params":{"campaign":"local","source":"quillstone-collector"}})";

void usage() {
  std::cerr
      << "usage: quillstone-collector [--port N] [--out FILE] [--attrib-response TEXT|@FILE]\n"
         "                            [--attrib-status N] [--binary PATH]... [--debug-dir DIR]...\n"
         "  --port N                 listen on 127.0.0.1:N (default "
      << kDefaultPort
      << ")\n"
         "  --out FILE               append every body as one line to FILE (default "
         "reports.jsonl)\n"
         "  --attrib-response TEXT   body of the answer to attrib/install, sent as given;\n"
         "                           @FILE reads it from FILE (default: a matched answer)\n"
         "  --attrib-status N        HTTP status of that answer (default 200)\n"
         "  --binary PATH            the reporting program's ELF file: crash and error stacks\n"
         "                           are printed as functions and source lines; repeatable\n"
         "  --debug-dir DIR          separate debug files as DIR/.build-id/xx/rest.debug\n";
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
  if (request.path == kInstallPath) {
    for (const char* key : {"id", "deviceId", "referrer"}) {
      if (auto value = text(body, key); !value.empty()) {
        line += std::string(" ") + key + "=" + value;
      }
    }
    return line;
  }
  line += " type=" + text(body, "type");
  if (auto data = body.find("data"); data != body.end() && data->is_object()) {
    if (auto name = text(*data, "name"); !name.empty()) line += " name=" + name;
    if (auto kind = text(*data, "kind"); !kind.empty()) line += " kind=" + kind;
  }
  return line;
}

// The symbolicated stack of a report that has one, "" for any other body.
std::string symbolicated(const std::string& body,
                         const std::vector<const quillstone::symbolicate::ElfImage*>& images,
                         const std::vector<std::string>& debugDirs) {
  namespace qs = quillstone::symbolicate;
  if (images.empty()) return {};
  auto parsed = qs::parseReport(body);
  if (!parsed.report) return {};
  std::string mismatch;
  const qs::ElfImage* image = qs::matchImage(parsed.report->imageUUID, images, mismatch);
  if (image == nullptr) return "  cannot symbolicate: " + mismatch + "\n";
  std::vector<std::unique_ptr<qs::ElfImage>> libraries;
  const auto files = qs::findImageFiles(*parsed.report, images, debugDirs, libraries);
  return qs::renderText(qs::symbolicate(std::move(*parsed.report), *image, files));
}

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  int port = kDefaultPort;
  std::string out = "reports.jsonl";
  quillstone::testing::CannedResponse attribReply{200, kDefaultAttribReply};
  std::vector<std::string> binaries;
  std::vector<std::string> debugDirs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--attrib-response" && i + 1 < argc) {
      const std::string value = argv[++i];
      if (!value.empty() && value.front() == '@') {
        auto content = readWholeFile(value.substr(1));
        if (!content) {
          std::cerr << "quillstone-collector: cannot read " << value.substr(1) << "\n";
          return 2;
        }
        attribReply.body = std::move(*content);
      } else {
        attribReply.body = value;
      }
    } else if (arg == "--attrib-status" && i + 1 < argc) {
      attribReply.status = std::atoi(argv[++i]);
    } else if (arg == "--binary" && i + 1 < argc) {
      binaries.emplace_back(argv[++i]);
    } else if (arg == "--debug-dir" && i + 1 < argc) {
      debugDirs.emplace_back(argv[++i]);
    } else {
      usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  std::vector<std::unique_ptr<quillstone::symbolicate::ElfImage>> images;
  std::vector<const quillstone::symbolicate::ElfImage*> imageList;
  for (const auto& path : binaries) {
    std::string error;
    auto image = quillstone::symbolicate::ElfImage::open(path, debugDirs, error);
    if (!image) {
      std::cerr << "quillstone-collector: cannot read " << error << "\n";
      return 2;
    }
    imageList.push_back(image.get());
    images.push_back(std::move(image));
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
  collector.setResponse(kInstallPath, attribReply);
  std::mutex outputMutex;
  std::ofstream file(out, std::ios::app | std::ios::binary);
  collector.onRequest([&](const quillstone::testing::RecordedRequest& request) {
    std::lock_guard lock(outputMutex);
    std::cout << summarize(request) << "\n"
              << symbolicated(request.body, imageList, debugDirs) << std::flush;
    file << request.body << '\n' << std::flush;
  });
  std::cout << "quillstone-collector listening on " << collector.url() << ", writing " << out
            << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}
