// Links that open the app come from anywhere: Url::parse and the client's handle() must take any
// text. handle() runs against in-memory services, so no request leaves the process.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include <quillstone/url.hpp>

#include "attribution/attribution_client.hpp"
#include "attribution/deep_link.hpp"
#include "platform/worker.hpp"

namespace {

using namespace quillstone;

class MemoryDefaults final : public platform::DefaultsStore {
 public:
  std::optional<nlohmann::json> value(const std::string& key) override {
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValue(const std::string& key, nlohmann::json value) override {
    values_[key] = std::move(value);
  }

 private:
  std::map<std::string, nlohmann::json> values_;
};

// Answers every request at once with a fixed reply, on the calling thread.
class InstantHttp final : public platform::HttpSession {
 public:
  void start(platform::HttpRequest request, Completion completion) override {
    // The request body is built from the handled code: it must be JSON whatever the code was.
    if (!nlohmann::json::accept(request.body)) std::abort();
    if (completion) completion(platform::HttpResponse{true, 500, "{}", std::nullopt});
  }
  void dispatch(std::function<void()> task) override { task(); }
  void dropWaiting(const void*) override {}
};

// Runs every piece of work at once, on the calling thread.
class InstantWorker final : public platform::Worker {
 public:
  void schedule(std::chrono::milliseconds, std::function<void()> work) override { work(); }
};

class MemoryKeychain final : public platform::Keychain {
 public:
  std::optional<std::string> copy(const std::string& account) noexcept override {
    const auto it = items_.find(account);
    if (it == items_.end()) return std::nullopt;
    return it->second;
  }
  bool remove(const std::string& account) noexcept override { return items_.erase(account) > 0; }
  bool add(const std::string& account, std::string_view data) noexcept override {
    return items_.emplace(account, std::string(data)).second;
  }

 private:
  std::map<std::string, std::string> items_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemoryDefaults defaults;
  static InstantHttp http;
  static InstantWorker worker;
  static MemoryKeychain keychain;
  static attribution::DeviceIdSource deviceIds(keychain);
  static attribution::AttributionClient* client = [] {
    auto* created = new attribution::AttributionClient(http, worker, defaults, deviceIds,
                                                       [] { return attribution::DeviceFacts{}; });
    created->start("app", *Url::parse("http://127.0.0.1:9/"), nullptr);
    return created;
  }();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto url = Url::parse(text);
  if (!url) return 0;
  // A parsed reference keeps its text, and that text parses to the same reference.
  if (url->string() != text || Url::parse(url->string()) != url) std::abort();
  (void)url->scheme();
  (void)url->host();
  (void)url->path();
  (void)url->appendingPathComponent("rum");
  const auto code = attribution::referralCode(url->string());
  if (code && code->empty()) std::abort();
  if (client->handle(url->string()) != code.has_value()) std::abort();
  return 0;
}
