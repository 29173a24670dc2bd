// Quillstone SDK: install attribution.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "quillstone/export.h"
#include "quillstone/url.hpp"

namespace quillstone {

// Tells the host through which channel this installation arrived. The first start after
// installation asks the attribution server once; every later start answers from the stored
// reply without network traffic. Links that open the app may carry a referral code, which rides
// along in that request. Reached only through `shared()`; nothing here throws.
class QUILLSTONE_API Attribution {
 public:
  // The attribution answer. Hosts read it; only the library makes one.
  class QUILLSTONE_API Result {
   public:
    bool matched() const noexcept { return matched_; }
    const std::string& channel() const noexcept { return channel_; }
    const std::string& channelName() const noexcept { return channelName_; }
    const std::string& method() const noexcept { return method_; }
    const std::map<std::string, std::string>& params() const noexcept { return params_; }

   private:
    friend class Attribution;
    Result(bool matched, std::string channel, std::string channelName, std::string method,
           std::map<std::string, std::string> params)
        : matched_(matched),
          channel_(std::move(channel)),
          channelName_(std::move(channelName)),
          method_(std::move(method)),
          params_(std::move(params)) {}

    bool matched_;
    std::string channel_;
    std::string channelName_;
    std::string method_;
    std::map<std::string, std::string> params_;
  };

  // Created on first use and never destroyed.
  static Attribution& shared() noexcept;

  // Records the application id and server, then answers `onResult` exactly once: before
  // returning when this installation was attributed earlier, otherwise when the install request
  // ends (on the HTTP session's thread), with the empty result when it failed.
  void start(std::string appId, Url server, std::function<void(const Result&)> onResult) noexcept;

  // True when `url` carries a non-empty referral code; the code is kept for the install request,
  // which is sent at once while this installation is not attributed yet.
  bool handle(const Url& url) noexcept;

  // The device's identifier in the keychain, created on first use.
  std::string deviceId() const noexcept;

  Attribution(const Attribution&) = delete;
  Attribution& operator=(const Attribution&) = delete;

 private:
  struct Impl;
  Attribution();
  ~Attribution();

  std::unique_ptr<Impl> impl_;
};

}  // namespace quillstone
