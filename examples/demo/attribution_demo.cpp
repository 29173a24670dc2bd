#include "attribution_demo.hpp"

#include <quillstone/attribution.hpp>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using quillstone::Attribution;

constexpr const char* kAppId = "demo-app";
constexpr const char* kDeepLink = "quillstone-demo://open/a/DEMO-CODE?utm_source=demo";
constexpr const char* kInstallReply =
    R"({"matched":true,"channel":{"code":"demo","name":"Demo link"},"method":"link",)"
    R"("params":{"campaign":"launch","clicks":3}})";
// Longer than the install request's own timeout, so its answer always arrives first.
constexpr auto kAnswerWait = std::chrono::seconds(15);

void print(const char* origin, const Attribution::Result& result) {
  std::cout << "attribution (" << origin << "): matched=" << (result.matched() ? "yes" : "no")
            << " channel=\"" << result.channel() << "\" name=\"" << result.channelName()
            << "\" method=" << result.method();
  for (const auto& [key, value] : result.params()) std::cout << " " << key << "=" << value;
  std::cout << std::endl;
}

// Waits for one answer; it comes on the HTTP session's thread, or before start returns when the
// installation was attributed by an earlier run.
class AnswerWaiter {
 public:
  std::function<void(const Attribution::Result&)> callback() {
    return [this](const Attribution::Result& result) {
      std::lock_guard lock(mutex_);
      result_.emplace(result);
      sameThread_ = std::this_thread::get_id() == caller_;
      arrived_.notify_all();
    };
  }
  void await(const char* what) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, kAnswerWait, [&] { return result_.has_value(); })) {
      std::cout << what << ": no answer" << std::endl;
      return;
    }
    print(sameThread_ ? "stored answer, delivered inside start" : "from the server", *result_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<Attribution::Result> result_;
  std::thread::id caller_ = std::this_thread::get_id();
  bool sameThread_ = false;
};

}  // namespace

void runAttributionDemo(quillstone::testing::Collector& collector) {
  collector.setResponse("/attrib/install", {200, kInstallReply});
  auto& attribution = Attribution::shared();
  std::cout << "attribution device id " << attribution.deviceId() << std::endl;

  const auto link = quillstone::Url::parse(kDeepLink);
  const bool carriesCode = link && attribution.handle(*link);
  std::cout << "opened " << kDeepLink << ": referral code " << (carriesCode ? "kept" : "not found")
            << std::endl;

  const auto server = quillstone::Url::parse(collector.url());
  if (!server) return;
  AnswerWaiter first;
  attribution.start(kAppId, *server, first.callback());
  first.await("first start");

  AnswerWaiter again;
  attribution.start(kAppId, *server, again.callback());
  again.await("second start");
}
