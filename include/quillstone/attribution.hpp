/// \file
/// Quillstone SDK: install attribution, `quillstone::Attribution`.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "quillstone/export.h"
#include "quillstone/url.hpp"

namespace quillstone {

/// Tells the host through which channel this installation arrived.
///
/// The first start after installation asks the attribution server once (a POST to the server's
/// `attrib/install`); once the server has answered, every later start answers from the stored
/// reply without network traffic. Links that open the app may carry a referral code, which rides
/// along in that request. Reached only through `shared()`; every call may come from any thread,
/// and nothing here throws.
///
/// Independent of `Quillstone`: it needs no `Quillstone::start`, and `Quillstone::setEnabled`
/// does not cover it (it answers only the host's own calls). After `fork()` a child may call it
/// at once; an install request the parent had in flight stays the parent's, and its answer
/// reaches the parent's callback only.
class QUILLSTONE_API Attribution {
 public:
  /// The attribution answer, handed to the callback of `start`.
  ///
  /// Hosts read it; only the library makes one. When no answer could be had (the install
  /// request failed, or the server's reply was not a 2xx with valid UTF-8 text), or the reply
  /// was no JSON object, it is the empty result: not matched, empty channel and name, method
  /// `"none"`, no parameters. Its text is always valid UTF-8. Read it on any thread; a copy
  /// outlives the callback.
  class QUILLSTONE_API Result {
   public:
    /// True when the server matched this installation to a channel (its `"matched"` was `true`
    /// or `1`).
    bool matched() const noexcept { return matched_; }
    /// The channel's code (the reply's `channel.code`); `""` when there is none.
    const std::string& channel() const noexcept { return channel_; }
    /// The channel's readable name (the reply's `channel.name`); `""` when there is none.
    const std::string& channelName() const noexcept { return channelName_; }
    /// How the server matched (the reply's `"method"`); `"none"` when it did not say.
    const std::string& method() const noexcept { return method_; }
    /// The reply's `"params"` as text: strings as they are, Booleans as `"1"` or `"0"`,
    /// integral numbers without a fraction, any other value as compact JSON text.
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

  /// The one attribution client of the process: created on first use and never destroyed, so
  /// it may be used until the process ends.
  static Attribution& shared() noexcept;

  /// Records the application id and the attribution server, then answers `onResult` exactly
  /// once.
  ///
  /// When this installation was attributed earlier, `onResult` runs before `start` returns, on
  /// the calling thread, with the stored answer. Otherwise the install request is built on the
  /// calling thread (it reads the device identifier) and goes out on the library's HTTP thread,
  /// and `start` returns at once; `onResult` then runs on the library's worker thread when the
  /// request ends, with the empty result when it failed (a later `start` asks again). `appId`
  /// goes into the install request as given (invalid UTF-8 is sent as U+FFFD); `server` is used
  /// as is, and the request goes to its `attrib/install`. Each call replaces the id and server
  /// of the last one and sends a request of its own while the installation is not attributed.
  /// An empty `onResult` is allowed; an exception it throws is caught and dropped. The callback
  /// may call the library, but should return promptly: it holds up other callbacks and log
  /// lines on the worker thread (never delivery).
  void start(std::string appId, Url server, std::function<void(const Result&)> onResult) noexcept;

  /// Takes the referral code from a link that opened the app; true when `url` carries a
  /// non-empty one.
  ///
  /// The code is the path's second segment when its first is `a` or `al`
  /// (`myapp://open/a/SPRING24`), or the value of a `_la` or `la_code` query item, which wins
  /// over the path; it is percent-decoded and kept whole, replacing the code of an earlier link.
  /// While this installation is not attributed, the install request is sent at once with it (once
  /// `start` has named the server; a link handled before that rides along in the request of the
  /// first `start`); its answer is stored, and the host gets it from the next `start`. Once
  /// attributed, the code is kept but sent nowhere. Any thread; returns without waiting for the
  /// network (the request is built on the calling thread).
  bool handle(const Url& url) noexcept;

  /// The device's identifier, kept in the keychain file (see README) and created on first use;
  /// `""` when it could be neither read nor made (no memory).
  ///
  /// Reads the keychain file on the calling thread. When the file cannot be read or written,
  /// an identifier made in memory serves the process. Any thread; concurrent first calls get
  /// the same identifier.
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
