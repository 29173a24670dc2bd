// Quillstone SDK: events, handled errors, crash capture and the device report.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#if __cplusplus >= 202002L
#include <span>
#endif

#include "quillstone/export.h"
#include "quillstone/url.hpp"

namespace quillstone {

class QUILLSTONE_API Quillstone {
 public:
  // What the host tells the client at start-up. A plain value: the client keeps its own copy.
  class QUILLSTONE_API Config {
   public:
    // An absent `server` means the built-in collection server.
    Config(std::string appId, std::optional<Url> server, std::string release, std::string env,
           bool reportCrash, bool reportDevice, bool requireConsent);

    const std::string& appId() const noexcept { return appId_; }
    const Url& server() const noexcept { return server_; }
    const std::string& release() const noexcept { return release_; }
    const std::string& env() const noexcept { return env_; }
    void setEnv(std::string env) noexcept { env_ = std::move(env); }
    bool reportCrash() const noexcept { return reportCrash_; }
    void setReportCrash(bool on) noexcept { reportCrash_ = on; }
    bool reportDevice() const noexcept { return reportDevice_; }
    void setReportDevice(bool on) noexcept { reportDevice_ = on; }
    bool requireConsent() const noexcept { return requireConsent_; }
    void setRequireConsent(bool on) noexcept { requireConsent_ = on; }
    // The offline outbox, off by default. While on, an event, handled error or device report
    // whose request never reached the server (its host did not resolve, no connection was made)
    // is kept on disk and sent again at a later start or flush once the server answers. Its
    // done callback, if any, still says false. A report that may have reached the server is
    // never kept, so the server never gets one twice.
    bool offlineOutbox() const noexcept { return offlineOutbox_; }
    void setOfflineOutbox(bool on) noexcept { offlineOutbox_ = on; }

   private:
    std::string appId_;
    Url server_;
    std::string release_;
    std::string env_;
    bool reportCrash_;
    bool reportDevice_;
    bool requireConsent_;
    bool offlineOutbox_ = false;
  };

  // The one client of the process: created on first use, never destroyed.
  static Quillstone& shared() noexcept;

  // The built-in collection server.
  static constexpr std::string_view defaultServer = "https://collect.quillstone.dev/";
  // Turns a server text of the host's into a URL; falls back to the built-in server when the
  // text is absent, blank, unparsable or has no scheme.
  static Url resolveServer(std::optional<std::string_view> text) noexcept;

  static std::string imageUUID() noexcept;
  static std::string machineId() noexcept;
  static std::string cpuArch() noexcept;
  static std::string networkType() noexcept;
  static bool isJailbroken() noexcept;

  // Gives the calling thread an alternate signal stack, released when the thread ends, so that a
  // stack overflow on it is still recorded; a thread that has one already keeps it. Not needed for
  // threads created with pthread_create after a start with crash reporting, nor for threads that
  // exist at that start and do not block real-time signals: those are prepared by the library.
  // It is for a thread made in a way the library does not see (a library loaded with dlopen that
  // resolved pthread_create before this one, a raw clone) that starts after start or blocks
  // signals. Any thread may call it, at any time.
  static void prepareCurrentThreadForCrashes() noexcept;

  // Console lines. By default each line the library writes goes to stderr. A handler set here
  // receives each line's text instead ("[qs] …", without time stamp or line break; its characters
  // are followed by a NUL), on the thread that writes it: the caller's own for some lines, a
  // library thread (the one driving the network, say) for others. It must return promptly, must
  // not throw, and must not call back into the library. An empty handler restores stderr. Once
  // the call returns, the handler it replaced is running nowhere and is never called again, so
  // whatever it refers to may go.
  using LogHandler = std::function<void(std::string_view line)>;
  static void setLogHandler(LogHandler handler) noexcept;

  void start(const Config& config) noexcept;
  void setConsent(bool consent) noexcept;
  void flushPendingCrashes() noexcept;
  void track(std::string_view name, double value,
             std::optional<std::map<std::string, std::string>> props) noexcept;
  void capture(std::string_view name, std::string_view message, std::string_view stack) noexcept;
  void setUser(std::string_view userId) noexcept;
  void setPage(std::string_view page) noexcept;
  /// Adds a breadcrumb to the list that every later handled error, and the report of an uncaught
  /// C++ exception, carries.
  ///
  /// `data` is the text of a JSON object, such as `{"button":"pay"}`; empty text stands for `{}`.
  /// The list keeps the latest 20 breadcrumbs, oldest first, each stamped with the time it was
  /// added. Any thread may call it, before `start` too; a child made by `fork` keeps the list it
  /// had. `type` is cut to 1 KiB at a whole character. Invalid UTF-8 becomes U+FFFD in `type` and
  /// in the strings and keys of `data` (elsewhere in `data` it is no JSON). The breadcrumb is
  /// dropped, and the list left as it was, when `data` is not a JSON object (one console line says
  /// so, naming `type`), and silently when `data` is longer than 1 MiB, nests deeper than 128
  /// levels or takes more than 16 KiB as compact JSON text. Its members come out in key order (a
  /// repeated key keeps its last value). `quillstone/json.hpp` takes the data as a `nlohmann::json`
  /// object.
  void addBreadcrumb(std::string_view type, std::string_view data) noexcept;
  void testEvent() noexcept;
  [[noreturn]] void testCrash() noexcept;
  /// The stack text a handled error carries, made from the `count` return addresses at
  /// `addresses` (innermost first): one line per address, `<index> <program name>   0x<16 hex
  /// digits>`, each address made relative to where the main program was loaded (kept as it is
  /// when below that), lines joined by "\n" with none after the last. Any thread may call it,
  /// before `start` too. Empty when `count` is 0, `addresses` is null, or memory runs out.
  std::string normalize(const std::uint64_t* addresses, std::size_t count) const noexcept;
#if __cplusplus >= 202002L
  /// `normalize(addresses.data(), addresses.size())`, for a span or a vector of addresses.
  std::string normalize(std::span<const std::uint64_t> addresses) const noexcept {
    return normalize(addresses.data(), addresses.size());
  }
#endif

  // Waits until every report queued before the call (events, errors, crash uploads, a device
  // report whose delay has passed) has been answered or has failed, or until `timeout` has
  // passed. True when all of them were delivered. Called on one of the library's threads (from a
  // callback, say) it returns false at once rather than wait for itself.
  bool flush(std::chrono::milliseconds timeout) noexcept;

  // The switch for all reporting, on at every launch. While off nothing is sent or queued:
  // reports are dropped (reports waiting for a connection too), crash files are neither written
  // nor uploaded, and the device report waits. Stored values stay. On again, everything
  // resumes: crash files a start left while it was off are uploaded, the device report is sent.
  void setEnabled(bool enabled) noexcept;

  Quillstone(const Quillstone&) = delete;
  Quillstone& operator=(const Quillstone&) = delete;

 private:
  Quillstone();
  ~Quillstone();
  struct Impl;
  // Shared so that delayed work can refer to the state weakly.
  std::shared_ptr<Impl> impl_;
};

}  // namespace quillstone
