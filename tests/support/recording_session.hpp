// An HTTP session that keeps its requests and lets the test complete them by hand.
#pragma once

#include <functional>
#include <vector>

#include "platform/http_session.hpp"

namespace quillstone::testing {

class RecordingSession final : public platform::HttpSession {
 public:
  void start(platform::HttpRequest request, Completion completion) override {
    requests.push_back(std::move(request));
    completions.push_back(std::move(completion));
  }
  void dispatch(std::function<void()> task) override { task(); }
  // Every recorded request waits until the test completes it.
  void dropWaiting(const void*) override {}

  std::vector<platform::HttpRequest> requests;
  std::vector<Completion> completions;
};

}  // namespace quillstone::testing
