/* Quillstone SDK: the C interface. Plain C99; compiles as C and as C++. */
#ifndef QUILLSTONE_H
#define QUILLSTONE_H

#include <stddef.h>
#include <stdint.h>

#include "quillstone/export.h"

/// @file quillstone.h
/// @brief The C interface: events, handled errors, crash capture, the device report and install
/// attribution, for C hosts and every language with a C foreign-function interface.
///
/// Every function here is the C form of a call of `quillstone::Quillstone` or
/// `quillstone::Attribution` and behaves as that call does; these rules hold for all of them:
///
/// - **Threads.** Every function may be called from any thread, also at the same time as others.
///   Reports leave from the library's own threads: no function waits on the network except
///   quillstone_flush(), which waits as long as its caller asks.
/// - **Text.** Strings are NUL-terminated UTF-8. Invalid UTF-8 becomes U+FFFD before it goes
///   into a report, so a report is never lost to it. Text longer than its limit is cut at a
///   character boundary (the limits are listed in the README: event and error names 1 KiB,
///   messages 8 KiB, pages 2 KiB, property keys and values 8 KiB each, 100 properties per event).
///   The library copies every string it is given before the call returns.
/// - **NULL.** No function crashes on a NULL argument: a NULL string counts as the empty string
///   unless its function says otherwise, and a NULL handle makes the call do nothing (each
///   function names its own fallback).
/// - **Returned strings.** A `char*` the library returns is the caller's, to be released with
///   quillstone_free(); it is NULL only when memory ran out.
/// - **Before start.** Until quillstone_start() has run there is nowhere to send to: events and
///   errors are dropped, while the user, page, breadcrumbs, consent and the reporting switch are
///   kept for later reports.
/// - **fork().** A child may call the library at once, even when another thread of the parent
///   was inside it at the fork. It keeps the parent's configuration, user, page and breadcrumbs,
///   and sends its own reports from its own threads.

#if defined(__GNUC__) || defined(__clang__)
/// Marks quillstone_test_crash(), which never returns.
#define QUILLSTONE_NORETURN __attribute__((noreturn))
#else
/// Marks quillstone_test_crash(), which never returns.
#define QUILLSTONE_NORETURN
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// @name Configuration
/// @{

/// @brief The settings quillstone_start() takes, behind an opaque handle.
///
/// Made by quillstone_config_new() and owned by the caller, who releases it with
/// quillstone_config_free() whenever it likes: quillstone_start() keeps a copy of its own. A
/// handle may be used from any thread, also from several at once. A handle that another thread
/// was changing when the process forked is not to be used in the child.
typedef struct quillstone_config quillstone_config_t;

/// @brief Makes a configuration; release it with quillstone_config_free().
///
/// `app_id` names the application in every report; `release` is its version and `env` its
/// environment ("production", say). These three are sent as given (invalid UTF-8 replaced), with
/// no length limit. `server` is the collection server's URL, read by the rule of
/// quillstone_resolve_server(): NULL or blank text means the built-in server, and text that is
/// not a URL with a scheme (`"localhost:8787"`, say) also falls back to the built-in server and
/// says so in the `[qs] 服务器地址无法使用,改用内置服务器` console line.
///
/// The switches start as: crash reporting on, the device report on, consent not required, the
/// offline outbox off; each has a setter below.
/// @return The new handle, or NULL when memory ran out.
QUILLSTONE_API quillstone_config_t* quillstone_config_new(const char* app_id, const char* server,
                                                          const char* release, const char* env);

/// @brief Releases a configuration made by quillstone_config_new(); NULL is ignored.
///
/// A client started with it keeps its own copy, so this may come right after quillstone_start().
QUILLSTONE_API void quillstone_config_free(quillstone_config_t* config);

/// @brief Sets the environment name sent with every report (NULL: empty). NULL config: nothing.
QUILLSTONE_API void quillstone_config_set_env(quillstone_config_t* config, const char* env);

/// @brief Whether quillstone_start() uploads earlier crash files and captures crashes (nonzero:
/// yes, the default). NULL config: nothing.
///
/// Capture covers fatal signals (SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE, SIGTRAP) and uncaught
/// C++ exceptions; the handlers that were in place before start run after the crash file is
/// written.
QUILLSTONE_API void quillstone_config_set_report_crash(quillstone_config_t* config, int on);

/// @brief Whether one device profile is sent per launch, 2 s after start (nonzero: yes, the
/// default). NULL config: nothing.
QUILLSTONE_API void quillstone_config_set_report_device(quillstone_config_t* config, int on);

/// @brief Whether the device report waits for quillstone_set_consent() with a nonzero value
/// (nonzero: it waits; the default is 0). Events, errors and crash uploads never wait for consent.
/// NULL config: nothing.
QUILLSTONE_API void quillstone_config_set_require_consent(quillstone_config_t* config, int on);

/// @brief Turns the offline outbox on (nonzero) or off (0, the default). NULL config: nothing.
///
/// While on, an event, handled error or device report whose request never reached the server
/// (its host did not resolve, no connection was made) is kept on disk and sent again at a later
/// start or flush once the server answers. A report that may have reached the server is never
/// kept, so the server never gets one twice.
QUILLSTONE_API void quillstone_config_set_offline_outbox(quillstone_config_t* config, int on);

/// @}

/// @name Client
/// @{

/// @brief Starts the client with a copy of `config`; NULL config: nothing happens.
///
/// Uploads crash files left by earlier runs and installs the crash handlers (when crash
/// reporting is on), and arms the device report (when it is on and consent is not required). The
/// caller's handle stays the caller's: it may be changed or freed as soon as this returns. A later
/// call replaces the configuration. Returns without waiting on the network.
QUILLSTONE_API void quillstone_start(const quillstone_config_t* config);

/// @brief Gives (nonzero) or withdraws (0) the user's consent to the device report.
///
/// With consent required, giving it arms the device report when it has not been sent in this
/// launch. May be called before start; the answer is kept for it.
QUILLSTONE_API void quillstone_set_consent(int consent);

/// @brief Uploads the crash files earlier runs left, in the background.
///
/// quillstone_start() does this itself when crash reporting is on. Before the first start there
/// is no server and the files wait; while reporting is switched off they wait for it to be on.
QUILLSTONE_API void quillstone_flush_pending_crashes(void);

/// @brief One key/value pair of an event's properties.
typedef struct quillstone_property {
  const char* key;    ///< The property's name (UTF-8); a pair whose key is NULL is skipped.
  const char* value;  ///< Its value (UTF-8); a pair whose value is NULL is skipped.
} quillstone_property_t;

/// @brief Sends the event `name` with `value` and `count` properties.
///
/// Dropped before start, while reporting is switched off, when `name` is NULL or blank, and when
/// `value` is NaN or infinite. `properties` may be NULL (with any `count`) for none; a key given
/// twice keeps its later value; beyond 100 properties only the first 100 in key order are sent.
/// `count` must not exceed the array's length.
QUILLSTONE_API void quillstone_track(const char* name, double value,
                                     const quillstone_property_t* properties, size_t count);

/// @brief Sends a handled error `name` with `message` and `stack` text.
///
/// A NULL or empty `stack` means the calling thread's own stack, taken here, with the images its
/// frames lie in. The report carries the user, page and the last 20 breadcrumbs. Dropped before
/// start and while reporting is switched off.
QUILLSTONE_API void quillstone_capture(const char* name, const char* message, const char* stack);

/// @brief Sets the user id carried by later error and crash reports (NULL: none).
///
/// Cut to 120 characters as the user perceives them.
QUILLSTONE_API void quillstone_set_user(const char* user_id);

/// @brief Sets the current page carried by later reports and adds a "route" breadcrumb to it
/// (NULL: the empty page).
QUILLSTONE_API void quillstone_set_page(const char* page);

/// @brief Sends the handled error "TestEvent" with a fixed message and the calling thread's
/// stack, to check that reports arrive and symbolicate.
QUILLSTONE_API void quillstone_test_event(void);

/// @brief Crashes the process with SIGILL on the calling thread, to try crash capture.
QUILLSTONE_API QUILLSTONE_NORETURN void quillstone_test_crash(void);

/// @brief The stack text of `count` return addresses, as reports carry it.
///
/// Addresses in the main program are made relative to its load address. NULL `addresses` counts
/// as none. The text is the caller's: release it with quillstone_free().
QUILLSTONE_API char* quillstone_normalize(const uint64_t* addresses, size_t count);

/// @brief Waits until every report queued before the call has been answered or has failed, or
/// until `timeout_ms` milliseconds have passed (a negative timeout counts as 0).
///
/// Covers events, errors, crash uploads and a device report whose 2 s delay has passed, and sends
/// the offline outbox's reports again first. Called on one of the library's threads (from a
/// callback) it returns 0 at once instead of waiting for itself.
/// @return Nonzero when all of them were delivered.
QUILLSTONE_API int quillstone_flush(long timeout_ms);

/// @brief The switch for all reporting (nonzero: on), on at every launch.
///
/// While off nothing is sent or queued: reports are dropped (those waiting for a connection
/// too), crash files are neither written nor uploaded, and the device report waits. Stored values
/// stay. On again, crash files a start left meanwhile are uploaded and the device report is sent.
/// A host that keeps its user's choice calls it before quillstone_start().
QUILLSTONE_API void quillstone_set_enabled(int enabled);

/// @brief A receiver of the library's console lines.
///
/// `line` is one line's text ("[qs] …", without time stamp or line break), NUL-terminated and
/// valid only during the call; `user_data` is the pointer given to quillstone_set_log_handler().
typedef void (*quillstone_log_handler_t)(const char* line, void* user_data);

/// @brief Sends the library's console lines to `handler` instead of stderr; NULL restores stderr.
///
/// The handler runs on the thread that writes the line: the caller's own for some lines
/// (quillstone_start(), quillstone_set_user(), quillstone_add_breadcrumb(), a server text that
/// falls back), the library's worker thread for others; never on the thread that drives the
/// network. It must return promptly and
/// must not call back into the library (a line written meanwhile on that thread goes to stderr).
/// Once this call returns, the handler it replaced runs on no thread and is never called again,
/// so its `user_data` may be released.
QUILLSTONE_API void quillstone_set_log_handler(quillstone_log_handler_t handler, void* user_data);

/// @}

/// @name Breadcrumbs
/// @{

/// @brief Adds a breadcrumb of `type` with `data`, the text of a JSON object such as
/// `{"button":"pay"}`, to the list later handled errors and uncaught-exception reports carry.
///
/// NULL or empty `data` means no data (`{}`). The list keeps the latest 20, oldest first, and is
/// kept before start too. `type` is cut to 1 KiB; invalid UTF-8 in either text becomes U+FFFD.
/// The breadcrumb is dropped, the list left as it was, when `data` is not a JSON object (a
/// number, an array, broken text; a console line says so, naming `type`), and silently when
/// `data` is longer than 1 MiB, nests deeper than 128 levels or takes more than 16 KiB as compact
/// JSON text. A repeated key keeps its last value.
QUILLSTONE_API void quillstone_add_breadcrumb(const char* type, const char* data);

/// @}

/// @name Device and process facts
/// @{

/// @brief The URL text the rule of the configuration's `server` makes of `text`.
///
/// NULL or blank text gives the built-in server; text that is not a URL with a scheme gives it
/// too and says so in the `[qs] 服务器地址无法使用,改用内置服务器` console line; otherwise the
/// trimmed text itself. Release the result with quillstone_free().
QUILLSTONE_API char* quillstone_resolve_server(const char* text);

/// @brief The main program's build id as upper-case 8-4-4-4-12 text, "" when it has none.
/// Release it with quillstone_free().
QUILLSTONE_API char* quillstone_image_uuid(void);

/// @brief The machine's model: `SIMULATOR_MODEL_IDENTIFIER` when set and non-empty, else the
/// kernel's machine name (`uname -m`). Release it with quillstone_free().
QUILLSTONE_API char* quillstone_machine_id(void);

/// @brief The architecture the library was built for ("x86_64", "arm64", …). Release it with
/// quillstone_free().
QUILLSTONE_API char* quillstone_cpu_arch(void);

/// @brief The network connection now: "wifi", "cellular", "none", or "" when the interfaces
/// cannot be listed. Release it with quillstone_free().
QUILLSTONE_API char* quillstone_network_type(void);

/// @brief Whether the system looks modified to run code it should not; always 0 on Linux.
QUILLSTONE_API int quillstone_is_jailbroken(void);

/// @brief Gives the calling thread an alternate signal stack, so that a stack overflow on it is
/// still recorded.
///
/// Needed only for a thread made in a way the library does not see (by a library loaded with
/// dlopen that resolved pthread_create before this one, or a raw clone) that starts after start
/// or blocks signals; a thread that has one keeps it. Any thread, at any time.
QUILLSTONE_API void quillstone_prepare_current_thread_for_crashes(void);

/// @}

/// @name Install attribution
/// @{

/// @brief The attribution answer handed to a quillstone_attribution_callback_t.
///
/// It and every string it points to belong to the library and are valid until the callback
/// returns; copy what you keep. Strings are UTF-8, never NULL.
typedef struct quillstone_attribution_result {
  int matched;                          ///< Nonzero when the installation was attributed.
  const char* channel;                  ///< The channel's code, "" when none.
  const char* channel_name;             ///< The channel's display name, "" when none.
  const char* method;                   ///< How it was matched, "" when unknown.
  const quillstone_property_t* params;  ///< Further parameters, sorted by key; NULL when none.
  size_t param_count;                   ///< How many `params` there are.
} quillstone_attribution_result_t;

/// @brief Receives the attribution answer once; `user_data` is the pointer given with it.
typedef void (*quillstone_attribution_callback_t)(const quillstone_attribution_result_t* result,
                                                  void* user_data);

/// @brief Starts install attribution for `app_id` against `server` and answers `callback` once.
///
/// `server` follows the same rule as quillstone_resolve_server(). When this installation was
/// attributed at an earlier start, the stored answer is given on the calling thread before this
/// returns, without network traffic. Otherwise the install request is sent now and the answer
/// comes on the library's worker thread when it ends; when it failed, the answer is empty (not
/// matched, empty strings, no parameters). A NULL callback receives nothing; the request is
/// still made. Not covered by quillstone_set_enabled().
QUILLSTONE_API void quillstone_attribution_start(const char* app_id, const char* server,
                                                 quillstone_attribution_callback_t callback,
                                                 void* user_data);

/// @brief Looks for a referral code in `url`, a link that opened the app.
///
/// The code (a path "/a/<code>" or "/al/<code>", or a query item "_la" or "la_code") is kept for
/// the install request, which is sent at once while this installation is not attributed yet (or
/// at quillstone_attribution_start() when it comes first).
/// @return Nonzero when `url` is a URL reference carrying a non-empty code; 0 for NULL.
QUILLSTONE_API int quillstone_attribution_handle(const char* url);

/// @brief The device's identifier from the keychain file, created on first use. Release it with
/// quillstone_free().
QUILLSTONE_API char* quillstone_attribution_device_id(void);

/// @}

/// @brief Releases a string this library returned; NULL is ignored.
QUILLSTONE_API void quillstone_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* QUILLSTONE_H */
