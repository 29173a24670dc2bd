#include "core/client_state.hpp"

namespace quillstone::core {

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

void ClientState::appendBreadcrumb(nlohmann::json record) {
  std::lock_guard guard(lock_);
  breadcrumbs_.push_back(std::move(record));
  if (breadcrumbs_.size() > kMaxBreadcrumbs) breadcrumbs_.pop_front();
}

std::vector<nlohmann::json> ClientState::breadcrumbs() const {
  std::lock_guard guard(lock_);
  return {breadcrumbs_.begin(), breadcrumbs_.end()};
}

}  // namespace quillstone::core
