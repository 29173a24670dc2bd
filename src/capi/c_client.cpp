// The C forms of the client's calls: each turns its arguments into the C++ call's and forwards.
#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "capi/c_text.hpp"
#include "quillstone/quillstone.h"
#include "quillstone/quillstone.hpp"

using quillstone::Quillstone;
using quillstone::capi::hostCopy;
using quillstone::capi::optionalText;
using quillstone::capi::text;

namespace {

// Far beyond any wait a host means, and far enough below the clock's range that the deadline
// the wait computes from it cannot overflow.
constexpr std::chrono::milliseconds kLongestFlush = std::chrono::hours(24 * 365 * 100);

// The properties of a C call: NULL or no pairs is none; a pair with a NULL side is skipped.
std::optional<std::map<std::string, std::string>> propertyMap(const quillstone_property_t* pairs,
                                                              size_t count) {
  if (!pairs || count == 0) return std::nullopt;
  std::map<std::string, std::string> props;
  for (const auto& pair : std::span(pairs, count)) {
    if (!pair.key || !pair.value) continue;
    props.insert_or_assign(pair.key, pair.value);
  }
  return props;
}

}  // namespace

extern "C" {

void quillstone_set_consent(int consent) { Quillstone::shared().setConsent(consent != 0); }

void quillstone_flush_pending_crashes(void) { Quillstone::shared().flushPendingCrashes(); }

void quillstone_track(const char* name, double value, const quillstone_property_t* properties,
                      size_t count) {
  try {
    Quillstone::shared().track(text(name), value, propertyMap(properties, count));
  } catch (...) {
    // Without memory for the properties' copy the event is dropped, as the C++ call drops it.
  }
}

void quillstone_capture(const char* name, const char* message, const char* stack) {
  Quillstone::shared().capture(text(name), text(message), text(stack));
}

void quillstone_set_user(const char* user_id) { Quillstone::shared().setUser(text(user_id)); }

void quillstone_set_page(const char* page) { Quillstone::shared().setPage(text(page)); }

void quillstone_add_breadcrumb(const char* type, const char* data) {
  Quillstone::shared().addBreadcrumb(text(type), text(data));
}

void quillstone_test_event(void) { Quillstone::shared().testEvent(); }

void quillstone_test_crash(void) { Quillstone::shared().testCrash(); }

char* quillstone_normalize(const uint64_t* addresses, size_t count) {
  if (!addresses) count = 0;
  const std::span<const std::uint64_t> list(addresses, count);
  return hostCopy(Quillstone::shared().normalize(list));
}

int quillstone_flush(long timeout_ms) {
  const auto timeout = std::clamp(std::chrono::milliseconds(timeout_ms),
                                  std::chrono::milliseconds(0), kLongestFlush);
  return Quillstone::shared().flush(timeout) ? 1 : 0;
}

void quillstone_set_enabled(int enabled) { Quillstone::shared().setEnabled(enabled != 0); }

void quillstone_set_log_handler(quillstone_log_handler_t handler, void* user_data) {
  if (!handler) {
    Quillstone::setLogHandler(nullptr);
    return;
  }
  try {
    // The C++ handler's line is followed by a NUL, so its characters are the C string.
    Quillstone::setLogHandler(
        [handler, user_data](std::string_view line) { handler(line.data(), user_data); });
  } catch (...) {
    // Without memory for the handler the one in place stays.
  }
}

char* quillstone_resolve_server(const char* server) {
  return hostCopy(Quillstone::resolveServer(optionalText(server)).string());
}

char* quillstone_image_uuid(void) { return hostCopy(Quillstone::imageUUID()); }

char* quillstone_machine_id(void) { return hostCopy(Quillstone::machineId()); }

char* quillstone_cpu_arch(void) { return hostCopy(Quillstone::cpuArch()); }

char* quillstone_network_type(void) { return hostCopy(Quillstone::networkType()); }

int quillstone_is_jailbroken(void) { return Quillstone::isJailbroken() ? 1 : 0; }

void quillstone_prepare_current_thread_for_crashes(void) {
  Quillstone::prepareCurrentThreadForCrashes();
}

void quillstone_free(char* text) { std::free(text); }

}  // extern "C"
