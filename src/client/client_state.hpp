// The client's mutable state and the one lock that guards it.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/fork_safe.hpp"
#include "quillstone/quillstone.hpp"

namespace quillstone::client {

// Every accessor holds the lock for the field operation alone, so no caller can hold it while
// calling into another module.
class ClientState {
 public:
  static constexpr std::size_t kMaxBreadcrumbs = 20;
  static constexpr std::string_view kInitialPage = "/";

  // `newSessionId` makes the session id of each process.
  explicit ClientState(std::string (*newSessionId)()) : newSessionId_(newSessionId) {}

  // Fixed for the life of the process: one id per run. A forked child is a run of its own.
  const std::string& sessionId() const noexcept;

  // The configuration stored by the latest start, or null before the first.
  std::shared_ptr<const Quillstone::Config> config() const;
  void setConfig(const Quillstone::Config& config);

  std::string currentPage() const;
  void setCurrentPage(std::string page);

  std::string userId() const;
  void setUserId(std::string userId);

  bool consented() const;
  void setConsented(bool consented);

  // Notes that start or flushPendingCrashes left the crash files alone while reporting was off;
  // true, once, for the caller that takes that note back.
  void holdCrashUpload();
  bool takeHeldCrashUpload();

  bool deviceReported() const;
  // Sets deviceReported; true only for the one caller that changed it from false.
  bool claimDeviceReport();

  // Appends the compact JSON text of a breadcrumb record, dropping the oldest beyond
  // kMaxBreadcrumbs. With the list full, the text takes the place of the oldest without
  // allocating unless it is longer than any text that place held before.
  void appendBreadcrumb(std::string_view text);
  // The records, read back from their texts.
  std::vector<nlohmann::json> breadcrumbs() const;
  // Appends the records as the compact JSON array an error report carries, byte for byte what
  // serialising breadcrumbs() would give.
  void appendBreadcrumbsJson(std::string& out) const;

 private:
  std::string (*const newSessionId_)();
  // Made on first use in each process and never changed there after.
  mutable platform::ForkRenewal sessionRenewal_;
  mutable std::string sessionId_;
  mutable platform::ForkSafeMutex lock_;
  std::shared_ptr<const Quillstone::Config> config_;
  // Each record is written once, as text, when it is added: every error report carries all
  // twenty. A ring, oldest at firstBreadcrumb_, whose places keep their buffers.
  std::array<std::string, kMaxBreadcrumbs> breadcrumbs_;
  std::size_t firstBreadcrumb_ = 0;
  std::size_t breadcrumbCount_ = 0;
  std::vector<std::string> breadcrumbTexts() const;
  std::string currentPage_{kInitialPage};
  std::string userId_;
  bool consented_ = false;
  bool crashUploadHeld_ = false;
  bool deviceReported_ = false;
};

}  // namespace quillstone::client
