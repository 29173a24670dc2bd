/// \file
/// Quillstone SDK: events, handled errors, crash capture and the device report,
/// `quillstone::Quillstone`.
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

/// Everything the library declares for its hosts.
namespace quillstone {

/// The client: named events, handled errors, crash capture and the once-per-launch device
/// report, each sent to the collection server as one JSON report.
///
/// Reached through `shared()`. Every call may come from any thread, at any time, never throws,
/// and (but for `flush`, which is there to wait) never waits on the network: events and errors
/// are built on the calling thread and go out on the library's HTTP thread. Before `start`
/// there is nowhere to send to: events and errors are dropped, while the user, page, breadcrumbs,
/// consent and the reporting switch are kept for later. Host text is UTF-8; invalid sequences
/// become U+FFFD, and text longer than its limit is cut at a character boundary (README, "How much
/// of your text a report carries").
///
/// After `fork()` the child may call the library at once, even when another thread of the
/// parent was inside it at the fork. The child keeps the parent's configuration, user, page and
/// breadcrumbs, reports in a session of its own on an HTTP thread of its own, and never sends
/// or completes what the parent had queued.
class QUILLSTONE_API Quillstone {
 public:
  /// What the host tells the client at start-up.
  ///
  /// A plain value: `start` keeps its own copy, so changing a `Config` afterwards changes
  /// nothing until it is passed to `start` again. Like any value, one object may be read from
  /// several threads, but not changed while another thread reads it.
  class QUILLSTONE_API Config {
   public:
    /// Holds the values as given; nothing is checked here.
    ///
    /// An absent `server` means the built-in collection server (`defaultServer`); to turn a
    /// server text of the host's into a `Url`, use `resolveServer`. The texts are sent as given
    /// (invalid UTF-8 as U+FFFD) and are not cut. Throws only `std::bad_alloc`.
    Config(std::string appId, std::optional<Url> server, std::string release, std::string env,
           bool reportCrash, bool reportDevice, bool requireConsent);

    /// The application's id, sent in every report's `"id"`.
    const std::string& appId() const noexcept { return appId_; }
    /// The collection server; every report is a POST to its `rum` endpoint.
    ///
    /// It must name `http://` or `https://` itself: a server of any other scheme refuses every
    /// report before anything is sent (the `[qs] 网络失败` console line).
    const Url& server() const noexcept { return server_; }
    /// The app's version, sent in every report's `"release"`.
    const std::string& release() const noexcept { return release_; }
    /// The deployment environment (`"production"`, say): kept with the configuration for the
    /// host; no report carries it.
    const std::string& env() const noexcept { return env_; }
    /// Replaces `env()`.
    void setEnv(std::string env) noexcept { env_ = std::move(env); }
    /// Whether `start` uploads the crash files of earlier runs and installs the crash handlers
    /// (fatal signals and uncaught exceptions).
    ///
    /// A later `start` with it off uninstalls nothing an earlier one installed.
    bool reportCrash() const noexcept { return reportCrash_; }
    /// Replaces `reportCrash()`.
    void setReportCrash(bool on) noexcept { reportCrash_ = on; }
    /// Whether one device profile is sent per launch, 2 seconds after `start` (or after
    /// `setConsent(true)`, with `requireConsent()` on), from the library's worker thread.
    bool reportDevice() const noexcept { return reportDevice_; }
    /// Replaces `reportDevice()`.
    void setReportDevice(bool on) noexcept { reportDevice_ = on; }
    /// Whether the device profile waits for `setConsent(true)`.
    ///
    /// Events, errors and crash uploads never wait for consent.
    bool requireConsent() const noexcept { return requireConsent_; }
    /// Replaces `requireConsent()`.
    void setRequireConsent(bool on) noexcept { requireConsent_ = on; }
    /// The offline outbox, off by default.
    ///
    /// While on, an event, handled error or device report whose request never reached the
    /// server (its host did not resolve, no connection was made) is kept on disk, from the
    /// library's HTTP thread, and sent again at a later start or flush once the server answers.
    /// A `flush` still counts it as not delivered. A report that may have reached the server
    /// is never kept, so the server never gets one twice. Read by `start`; README
    /// ("Delivery, flush and the reporting switch") gives its bounds and files.
    bool offlineOutbox() const noexcept { return offlineOutbox_; }
    /// Replaces `offlineOutbox()`.
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

  /// The one client of the process: created on first use and never destroyed, so the library's
  /// threads and a host's late calls may use it until the process ends. Any thread.
  static Quillstone& shared() noexcept;

  /// The built-in collection server, used when the configuration names none.
  static constexpr std::string_view defaultServer = "https://collect.quillstone.dev/";
  /// Turns a server text of the host's into a URL; falls back to the built-in server
  /// (`defaultServer`) when the text is absent, blank, unparsable or has no scheme.
  ///
  /// Space around the text is ignored. A text that is not blank but falls back (invalid UTF-8,
  /// say, or `"127.0.0.1:8788"`) is named, escaped as in JSON and cut after 256 bytes, in the
  /// console line `[qs] 服务器地址无法使用,改用内置服务器 "<text>"`, written on the calling
  /// thread. A text with any scheme is taken: `"localhost:8787"` has the scheme `localhost`,
  /// and reports to it are refused when they are sent. Any thread, also before `start`.
  static Url resolveServer(std::optional<std::string_view> text) noexcept;

  /// The main program's GNU build-id as crash reports name it: its first 16 bytes as upper-case
  /// 8-4-4-4-12 text; `""` when the program has none or a shorter one. Any thread.
  static std::string imageUUID() noexcept;
  /// The device model: the `SIMULATOR_MODEL_IDENTIFIER` environment variable when set and not
  /// empty, else the kernel's machine name (`uname -m`, such as `"x86_64"`). Any thread.
  static std::string machineId() noexcept;
  /// The processor architecture the library was built for: `"x86_64"`, `"arm64"`, `"i386"`,
  /// `"armv7"` or `"unknown"`. Any thread.
  static std::string cpuArch() noexcept;
  /// The network the device is on now: `"wifi"`, `"cellular"` (a `wwan`, `ppp`, `rmnet` or
  /// `ccmni` interface), `"none"`, or `""` when the interfaces cannot be read. Reads them on the
  /// calling thread. Any thread.
  static std::string networkType() noexcept;
  /// Always false on Linux; kept so that a host calls the same API on every platform.
  static bool isJailbroken() noexcept;

  /// Gives the calling thread an alternate signal stack, released when the thread ends, so that
  /// a stack overflow on it is still recorded; a thread that has one already keeps it.
  ///
  /// Not needed for threads created with pthread_create after a start with crash reporting, nor
  /// for threads that exist at that start and do not block real-time signals: those are
  /// prepared by the library. It is for a thread made in a way the library does not see (a
  /// library loaded with dlopen that resolved pthread_create before this one, a raw clone) that
  /// starts after start or blocks signals. Any thread may call it, at any time, also before
  /// `start`.
  static void prepareCurrentThreadForCrashes() noexcept;

  /// A receiver of the library's console lines; see `setLogHandler`.
  using LogHandler = std::function<void(std::string_view line)>;
  /// Sends the library's console lines to `handler` instead of stderr; an empty handler
  /// restores stderr.
  ///
  /// The handler receives each line's text (`"[qs] …"`, without time stamp or line break; its
  /// characters are followed by a NUL) on the thread that writes it: the caller's own for some
  /// lines (`start`, `setUser`, `resolveServer`), a library thread for others. The thread that
  /// drives the network never runs it: its lines (network failures, crash uploads, dropped
  /// reports) reach the handler in order on the library's worker thread. It must return
  /// promptly, must not throw (an exception is caught and dropped) and must not call back into
  /// the library; a line written while it runs on the same thread goes to stderr. Once the call
  /// returns, the handler it replaced is running nowhere and is never called again, so whatever
  /// it refers to may go. Any thread, also before `start`; a forked child keeps the handler.
  static void setLogHandler(LogHandler handler) noexcept;

  /// Starts reporting with `config`: sends what earlier runs left and arms this run's reports.
  ///
  /// The client keeps a copy of `config`; a later `start` replaces it, and reports made after
  /// that use the new one. Each `start` sends the offline outbox's reports again (when it is
  /// on). With `reportCrash` on it uploads the crash files earlier runs left (listed and read on
  /// the calling thread, sent on the library's HTTP thread) and installs the crash handlers;
  /// when the crash directory cannot be written it says so in a console line and installs none
  /// (a later `start` tries again). With `reportDevice` on, and `requireConsent` off, the
  /// device profile goes out 2 seconds later from the library's worker thread, once per launch.
  /// Any thread; returns without waiting for the network. Reporting stays off when
  /// `setEnabled(false)` came first.
  void start(const Config& config) noexcept;
  /// Records whether the user consented to the device profile; `true` asks for it when
  /// `requireConsent` held it back.
  ///
  /// With `reportDevice` on and no device report sent yet in this launch, `true` sends it 2
  /// seconds later from the worker thread. `false` withdraws nothing already asked for. Before
  /// `start` the consent is recorded but asks for nothing: call it after `start`. Events,
  /// errors and crash uploads never wait for consent. Any thread.
  void setConsent(bool consent) noexcept;
  /// Uploads the crash files waiting in the crash directory; `start` does this itself when
  /// `reportCrash` is on.
  ///
  /// The files are listed and read on the calling thread and sent from the library's HTTP
  /// thread. A file is deleted once the server accepted it (a 2xx); otherwise it stays for the
  /// next upload. Crash uploads are never dropped from the queue of waiting reports. Before
  /// `start` it does nothing; while reporting is off the files stay, and `setEnabled(true)`
  /// uploads them. Any thread.
  void flushPendingCrashes() noexcept;
  /// Sends a named event with a value and optional properties; the current page rides along.
  ///
  /// Dropped, without a line: before `start`, while reporting is off, when `value` is NaN or
  /// infinite, and when `name` is blank (only white space, judged on the whole name). The name
  /// is cut at 1 KiB; of the properties the first 100 in key order are sent, each key and
  /// value cut at 8 KiB (two keys that become the same keep the later value); invalid UTF-8
  /// becomes U+FFFD. Any thread; returns at once. The report may still be dropped while it
  /// waits for a connection to a server that does not answer (README, "Delivery, flush and
  /// the reporting switch").
  void track(std::string_view name, double value,
             std::optional<std::map<std::string, std::string>> props) noexcept;
  /// Sends a handled error: its name, message and stack, with the current page, the user id,
  /// the last 20 breadcrumbs and the device's details.
  ///
  /// An empty `stack` takes the calling thread's own stack, with the list of loaded images its
  /// frames lie in, for symbolication; otherwise the text given is sent, cut at 256 KiB. The
  /// name is cut at 1 KiB and the message at 8 KiB; invalid UTF-8 becomes U+FFFD. Dropped
  /// before `start` and while reporting is off. Any thread; the report is built on it, and
  /// sent from the library's HTTP thread.
  void capture(std::string_view name, std::string_view message, std::string_view stack) noexcept;
  /// Sets the user id that error reports and crash files carry from now on; `""` clears it.
  ///
  /// Cut at 120 characters as the user perceives them (grapheme clusters) and at 8 KiB;
  /// invalid UTF-8 becomes U+FFFD. Kept when called before `start`. Any thread.
  void setUser(std::string_view userId) noexcept;
  /// Sets the current page (screen or route), which events and error reports carry, and adds
  /// a `"route"` breadcrumb `{"to": page}`.
  ///
  /// Cut at 2 KiB; invalid UTF-8 becomes U+FFFD. Kept when called before `start`. Any thread.
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
  /// Sends a handled error named `"TestEvent"` with a fixed message and the caller's stack, to
  /// check the integration end to end; as `capture` otherwise.
  void testEvent() noexcept;
  /// Crashes the process on purpose, to check crash capture: executes an undefined instruction,
  /// so the kernel raises SIGILL on the calling thread. Never returns.
  ///
  /// With crash capture on, the crash file is written, the signal goes on to what was installed
  /// before `start`, and the next `start` with `reportCrash` on uploads the file; without it
  /// the process ends by SIGILL. For tests and demos only.
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

  /// Waits until every report queued before the call (events, errors, crash uploads, a device
  /// report whose delay has passed) has been answered or has failed, or until `timeout` has
  /// passed; true when all of them were delivered.
  ///
  /// It first has the offline outbox's reports sent again (when it is on) and waits for them
  /// too. True at once when nothing is waiting (before `start`, say). Called on one of the
  /// library's threads (from a callback, say) it returns false at once rather than wait for
  /// itself. In a forked child it waits for the child's own reports only. Any other thread.
  bool flush(std::chrono::milliseconds timeout) noexcept;

  /// The switch for all reporting, on at every launch.
  ///
  /// While off nothing is sent or queued: reports are dropped (reports waiting for a
  /// connection too), crash files are neither written (the handlers stay installed and pass
  /// each crash on) nor uploaded, and the device report waits. Stored values stay. On again,
  /// everything resumes: crash files a start left while it was off are uploaded, the device
  /// report is sent. The switch is not stored: a host that keeps its user's choice calls
  /// `setEnabled(false)` before `start`. `Attribution` is not covered. Any thread.
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
