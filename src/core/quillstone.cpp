// The facade: holds the client's state and delegates every call to its module.
#include "core/facade_impl.hpp"
#include "core/pending_crashes.hpp"
#include "crash/crash_dir.hpp"
#include "crash/exception_handler.hpp"
#include "crash/signal_handler.hpp"
#include "platform/random.hpp"

namespace quillstone {

Quillstone::Impl::Impl()
    : log(platform::systemLog()),
      http(platform::systemHttpSession()),
      defaults(platform::systemDefaults()),
      worker(platform::systemWorker()),
      delivery(http, log),
      state(platform::newUuid()) {}

Quillstone::Quillstone() : impl_(std::make_unique<Impl>()) {}
Quillstone::~Quillstone() = default;

Quillstone& Quillstone::shared() noexcept {
  // Never destroyed: the library's threads may still use it while the process exits.
  static Quillstone* instance = new Quillstone();
  return *instance;
}

void Quillstone::start(const Config& config) noexcept {
  try {
    impl_->state.setConfig(config);
    if (config.reportCrash()) {
      // The listing comes before this run's handlers, so it holds only earlier runs' files.
      flushPendingCrashes();
      impl_->prepareCrashSlot();
      crash::installExceptionHandler([] { return shared().impl_->crashContext(); });
      crash::installSignalHandler();
    }
  } catch (...) {
    // Start-up never fails the host.
  }
}

void Quillstone::setConsent(bool consent) noexcept {
  try {
    impl_->state.setConsented(consent);
    if (!consent) return;
    const auto config = impl_->state.config();
    if (!config) return;
  } catch (...) {
  }
}

void Quillstone::flushPendingCrashes() noexcept {
  try {
    // Before the first start there is no server: the files wait for it.
    const auto config = impl_->state.config();
    if (!config) return;
    core::uploadPendingCrashes(crash::crashDirectory(), impl_->delivery, config->server(),
                               impl_->log);
  } catch (...) {
  }
}

}  // namespace quillstone
