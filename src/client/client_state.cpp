#include "client/client_state.hpp"

#include <utility>

namespace quillstone::client {

const std::string& ClientState::sessionId() const noexcept {
  sessionRenewal_.renewIfForked([this] {
    try {
      sessionId_ = newSessionId_();
    } catch (...) {
      // Without memory for an id the reports carry none; a report needs memory anyway.
    }
  });
  return sessionId_;
}

std::shared_ptr<const Quillstone::Config> ClientState::config() const {
  std::lock_guard guard(lock_);
  return config_;
}

void ClientState::setConfig(const Quillstone::Config& config) {
  auto copy = std::make_shared<const Quillstone::Config>(config);
  std::lock_guard guard(lock_);
  config_ = std::move(copy);
}

std::string ClientState::currentPage() const {
  std::lock_guard guard(lock_);
  return currentPage_;
}

void ClientState::setCurrentPage(std::string page) {
  std::lock_guard guard(lock_);
  currentPage_ = std::move(page);
}

std::string ClientState::userId() const {
  std::lock_guard guard(lock_);
  return userId_;
}

void ClientState::setUserId(std::string userId) {
  std::lock_guard guard(lock_);
  userId_ = std::move(userId);
}

bool ClientState::consented() const {
  std::lock_guard guard(lock_);
  return consented_;
}

void ClientState::setConsented(bool consented) {
  std::lock_guard guard(lock_);
  consented_ = consented;
}

void ClientState::holdCrashUpload() {
  std::lock_guard guard(lock_);
  crashUploadHeld_ = true;
}

bool ClientState::takeHeldCrashUpload() {
  std::lock_guard guard(lock_);
  return std::exchange(crashUploadHeld_, false);
}

bool ClientState::deviceReported() const {
  std::lock_guard guard(lock_);
  return deviceReported_;
}

bool ClientState::claimDeviceReport() {
  std::lock_guard guard(lock_);
  if (deviceReported_) return false;
  deviceReported_ = true;
  return true;
}

void ClientState::appendBreadcrumb(std::string_view text) {
  std::lock_guard guard(lock_);
  if (breadcrumbCount_ < kMaxBreadcrumbs) {
    breadcrumbs_[(firstBreadcrumb_ + breadcrumbCount_++) % kMaxBreadcrumbs].assign(text);
    return;
  }
  breadcrumbs_[firstBreadcrumb_].assign(text);
  firstBreadcrumb_ = (firstBreadcrumb_ + 1) % kMaxBreadcrumbs;
}

std::vector<std::string> ClientState::breadcrumbTexts() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> texts;
  texts.reserve(breadcrumbCount_);
  for (std::size_t i = 0; i < breadcrumbCount_; ++i) {
    texts.push_back(breadcrumbs_[(firstBreadcrumb_ + i) % kMaxBreadcrumbs]);
  }
  return texts;
}

std::vector<nlohmann::json> ClientState::breadcrumbs() const {
  // Each text is the library's own dump of its record, so reading it back gives a value that
  // dumps to the same text.
  std::vector<nlohmann::json> records;
  for (const auto& text : breadcrumbTexts()) {
    auto record = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (record.is_object()) records.push_back(std::move(record));
  }
  return records;
}

void ClientState::appendBreadcrumbsJson(std::string& out) const {
  std::lock_guard guard(lock_);
  std::size_t size = 2 + breadcrumbCount_;
  for (std::size_t i = 0; i < breadcrumbCount_; ++i) {
    size += breadcrumbs_[(firstBreadcrumb_ + i) % kMaxBreadcrumbs].size();
  }
  out.reserve(out.size() + size);
  out += '[';
  for (std::size_t i = 0; i < breadcrumbCount_; ++i) {
    if (i != 0) out += ',';
    out += breadcrumbs_[(firstBreadcrumb_ + i) % kMaxBreadcrumbs];
  }
  out += ']';
}

}  // namespace quillstone::client
