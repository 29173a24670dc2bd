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

void ClientState::appendBreadcrumb(nlohmann::json record, std::string text) {
  auto crumb = std::make_shared<const Breadcrumb>(Breadcrumb{std::move(record), std::move(text)});
  std::shared_ptr<const Breadcrumb> dropped;  // released after the lock
  std::lock_guard guard(lock_);
  breadcrumbs_.push_back(std::move(crumb));
  if (breadcrumbs_.size() > kMaxBreadcrumbs) {
    dropped = std::move(breadcrumbs_.front());
    breadcrumbs_.pop_front();
  }
}

std::vector<std::shared_ptr<const ClientState::Breadcrumb>> ClientState::breadcrumbList() const {
  std::lock_guard guard(lock_);
  return {breadcrumbs_.begin(), breadcrumbs_.end()};
}

std::vector<nlohmann::json> ClientState::breadcrumbs() const {
  std::vector<nlohmann::json> records;
  for (const auto& crumb : breadcrumbList()) records.push_back(crumb->record);
  return records;
}

std::string ClientState::breadcrumbsJson() const {
  const auto list = breadcrumbList();
  std::size_t size = 2 + list.size();
  for (const auto& crumb : list) size += crumb->text.size();
  std::string text;
  text.reserve(size);
  text += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) text += ',';
    text += list[i]->text;
  }
  text += ']';
  return text;
}

}  // namespace quillstone::client
