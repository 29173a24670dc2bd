// The C configuration handle: a locked copy of the C++ configuration, copied again by start.
#include <mutex>
#include <optional>
#include <string>

#include "capi/c_text.hpp"
#include "quillstone/quillstone.h"
#include "quillstone/quillstone.hpp"

using quillstone::Quillstone;
using quillstone::capi::optionalText;
using quillstone::capi::text;

// The lock makes a handle safe to share between threads, as the C interface promises.
struct quillstone_config {
  explicit quillstone_config(Quillstone::Config c) : config(std::move(c)) {}
  mutable std::mutex lock;
  Quillstone::Config config;
};

namespace {

// The C interface's defaults for the switches the C++ constructor takes as arguments.
constexpr bool kReportCrashByDefault = true;
constexpr bool kReportDeviceByDefault = true;
constexpr bool kRequireConsentByDefault = false;

template <typename Change>
void change(quillstone_config_t* handle, Change&& apply) noexcept {
  if (!handle) return;
  try {
    std::lock_guard guard(handle->lock);
    apply(handle->config);
  } catch (...) {
    // Only memory for a copied text can run out: the setting stays as it was.
  }
}

}  // namespace

extern "C" {

quillstone_config_t* quillstone_config_new(const char* app_id, const char* server,
                                           const char* release, const char* env) {
  try {
    return new quillstone_config(Quillstone::Config(
        std::string(text(app_id)), Quillstone::resolveServer(optionalText(server)),
        std::string(text(release)), std::string(text(env)), kReportCrashByDefault,
        kReportDeviceByDefault, kRequireConsentByDefault));
  } catch (...) {
    return nullptr;
  }
}

void quillstone_config_free(quillstone_config_t* config) { delete config; }

void quillstone_config_set_env(quillstone_config_t* config, const char* env) {
  change(config, [env](Quillstone::Config& c) { c.setEnv(std::string(text(env))); });
}

void quillstone_config_set_report_crash(quillstone_config_t* config, int on) {
  change(config, [on](Quillstone::Config& c) { c.setReportCrash(on != 0); });
}

void quillstone_config_set_report_device(quillstone_config_t* config, int on) {
  change(config, [on](Quillstone::Config& c) { c.setReportDevice(on != 0); });
}

void quillstone_config_set_require_consent(quillstone_config_t* config, int on) {
  change(config, [on](Quillstone::Config& c) { c.setRequireConsent(on != 0); });
}

void quillstone_config_set_offline_outbox(quillstone_config_t* config, int on) {
  change(config, [on](Quillstone::Config& c) { c.setOfflineOutbox(on != 0); });
}

void quillstone_start(const quillstone_config_t* config) {
  if (!config) return;
  try {
    // Copied under the lock and started outside it, so the handle is free again at once.
    std::optional<Quillstone::Config> copy;
    {
      std::lock_guard guard(config->lock);
      copy.emplace(config->config);
    }
    Quillstone::shared().start(*copy);
  } catch (...) {
  }
}

}  // extern "C"
