// The facade: holds the client's state and delegates every call to its module.
#include <mutex>

#include "client/device_reporting.hpp"
#include "client/facade_impl.hpp"
#include "client/stale_files.hpp"
#include "crash/alternate_stacks.hpp"
#include "crash/build_uuid.hpp"
#include "crash/capture_switch.hpp"
#include "crash/crash_dir.hpp"
#include "crash/exception_handler.hpp"
#include "crash/signal_handler.hpp"
#include "crash/stack_format.hpp"
#include "device/identity.hpp"
#include "platform/log.hpp"
#include "platform/outbox_files.hpp"
#include "platform/random.hpp"
#include "platform/threads.hpp"
#include "transport/pending_crashes.hpp"

namespace quillstone {

Quillstone::Impl::Impl(const platform::Services& services)
    : services(services),
      log(services.log),
      http(services.http),
      defaults(services.defaults),
      worker(services.worker),
      delivery(http, log),
      state(&platform::newUuid),
      reports(state, delivery, services),
      deviceReporter(client::deviceReporter(state, delivery, services)) {}

void Quillstone::Impl::setOutbox(const Config& config) {
  // The directory is named here; it is made, listed and written on the worker's thread.
  if (!config.offlineOutbox()) {
    delivery.setOutbox({});
    return;
  }
  delivery.setOutbox(
      {std::make_shared<const platform::OutboxFiles>(platform::outboxDirectory()), &worker});
}

void Quillstone::Impl::scheduleDeviceReport() {
  // Shares the facade's own ownership of this state, then weakens it: a pending item keeps
  // nothing alive.
  device::scheduleDeviceReport(
      worker, std::shared_ptr<const device::DeviceReporter>(shared_from_this(), &deviceReporter));
}

Quillstone::Quillstone() : impl_(std::make_shared<Impl>(platform::systemServices())) {}
Quillstone::~Quillstone() = default;

Quillstone& Quillstone::shared() noexcept {
  // Never destroyed: the library's threads may still use it while the process exits.
  static Quillstone* instance = new Quillstone();
  return *instance;
}

void Quillstone::start(const Config& config) noexcept {
  // Start-up never fails the host, and a failed crash step does not cost the device report.
  try {
    impl_->state.setConfig(config);
  } catch (...) {
    return;
  }
  try {
    // Said once per process: the host's link choice does not change while it runs.
    static std::once_flag buildIdChecked;
    std::call_once(buildIdChecked, [this] {
      if (crash::imageUUID().empty()) impl_->log.write(crash::kLogNoBuildId);
    });
  } catch (...) {
  }
  // Handlers that could write nothing would only stand between the host and its signals.
  bool captureCrashes = false;
  std::string crashDirectory;
  if (config.reportCrash()) {
    try {
      crashDirectory = crash::crashDirectoryPath();
      captureCrashes = crash::crashDirectoryWritable(crashDirectory);
      // Before the library's own threads start below: they then take their alternate stacks as
      // they are made, instead of being listed and signalled from this thread afterwards.
      if (captureCrashes) crash::coverEveryThread();
    } catch (...) {
    }
  }
  try {
    // Off the host's thread: it lists four directories.
    client::scheduleStaleTemporarySweep(impl_->worker);
  } catch (...) {
  }
  try {
    impl_->setOutbox(config);
    impl_->delivery.resendOutbox(config.server());
  } catch (...) {
  }
  if (config.reportCrash()) {
    try {
      // The listing comes before this run's handlers, so it holds only earlier runs' files.
      flushPendingCrashes();
      if (captureCrashes) {
        impl_->prepareCrashSlot();
        crash::installExceptionHandler([] { return shared().impl_->crashContext(); });
        crash::installSignalHandler();
      } else {
        impl_->log.write(std::string(crash::kLogCrashCaptureOff) + crashDirectory);
      }
    } catch (...) {
    }
  }
  try {
    // With consent required, only setConsent(true) asks for the device report.
    if (config.reportDevice() && !config.requireConsent()) impl_->scheduleDeviceReport();
  } catch (...) {
  }
}

void Quillstone::setConsent(bool consent) noexcept {
  try {
    impl_->state.setConsented(consent);
    if (!consent) return;
    const auto config = impl_->state.config();
    if (!config) return;
    // Only an early test: the armed item claims the flag again, and that claim alone decides.
    if (config->reportDevice() && !impl_->state.deviceReported()) impl_->scheduleDeviceReport();
  } catch (...) {
  }
}

void Quillstone::flushPendingCrashes() noexcept {
  try {
    // Before the first start there is no server: the files wait for it.
    const auto config = impl_->state.config();
    if (!config) return;
    // While reporting is off the files stay; turning it on uploads them.
    if (!impl_->delivery.enabled()) {
      impl_->state.holdCrashUpload();
      return;
    }
    // A directory not made yet holds no files to send.
    transport::uploadPendingCrashes(crash::crashDirectoryPath(), impl_->delivery, config->server(),
                                    impl_->log);
  } catch (...) {
  }
}

bool Quillstone::flush(std::chrono::milliseconds timeout) noexcept {
  try {
    // The reports may wait for this very thread.
    if (platform::onLibraryThread()) return false;
    if (const auto config = impl_->state.config()) impl_->delivery.resendOutbox(config->server());
    return impl_->delivery.flush(timeout);
  } catch (...) {
    return false;
  }
}

void Quillstone::setEnabled(bool enabled) noexcept {
  try {
    crash::setCrashFilesEnabled(enabled);
    const bool wasEnabled = impl_->delivery.setEnabled(enabled);
    if (!enabled || wasEnabled) return;
    if (impl_->state.takeHeldCrashUpload()) flushPendingCrashes();
    // The device report armed while reporting was off did nothing: arm it again.
    const auto config = impl_->state.config();
    if (!config || !config->reportDevice() || impl_->state.deviceReported()) return;
    if (!config->requireConsent() || impl_->state.consented()) impl_->scheduleDeviceReport();
  } catch (...) {
  }
}

void Quillstone::track(std::string_view name, double value,
                       std::optional<std::map<std::string, std::string>> props) noexcept {
  try {
    impl_->reports.track(name, value, props);
  } catch (...) {
    // A report that cannot be built is dropped; the host goes on.
  }
}

void Quillstone::capture(std::string_view name, std::string_view message,
                         std::string_view stack) noexcept {
  try {
    impl_->reports.capture(name, message, stack);
  } catch (...) {
  }
}

void Quillstone::setUser(std::string_view userId) noexcept {
  try {
    impl_->reports.setUser(userId);
    // A later signal crash file must carry the new user id.
    impl_->prepareCrashSlotUser();
  } catch (...) {
  }
}

void Quillstone::setPage(std::string_view page) noexcept {
  try {
    impl_->reports.setPage(page);
  } catch (...) {
  }
}

void Quillstone::addBreadcrumb(std::string_view type, std::string_view data) noexcept {
  try {
    impl_->reports.addBreadcrumb(type, data);
  } catch (...) {
  }
}

void Quillstone::testEvent() noexcept {
  // Left empty, the stack becomes the caller's own, which shows symbolication working too.
  capture(client::kTestEventName, client::kTestEventMessage, "");
}

void Quillstone::testCrash() noexcept {
  // The undefined-instruction trap: the kernel delivers SIGILL on this very thread, which is
  // what the crash handler is there to catch. No exception, no file, no log line of our own.
  asm volatile("ud2");
  __builtin_unreachable();
}

std::string Quillstone::normalize(const std::uint64_t* addresses,
                                  std::size_t count) const noexcept {
  try {
    if (addresses == nullptr) return {};
    return crash::normalize({addresses, count});
  } catch (...) {
    return {};
  }
}

std::string Quillstone::imageUUID() noexcept {
  try {
    return crash::imageUUID();
  } catch (...) {
    return {};
  }
}

std::string Quillstone::machineId() noexcept {
  try {
    const auto& services = platform::systemServices();
    return device::machineId(services.environment, services.kernel);
  } catch (...) {
    return {};
  }
}

std::string Quillstone::cpuArch() noexcept {
  try {
    return device::cpuArch();
  } catch (...) {
    return {};
  }
}

std::string Quillstone::networkType() noexcept {
  try {
    return device::networkType(platform::systemServices().reachability);
  } catch (...) {
    return {};
  }
}

bool Quillstone::isJailbroken() noexcept { return device::isJailbroken(); }

void Quillstone::setLogHandler(LogHandler handler) noexcept {
  platform::setLogHandler(std::move(handler));
}

}  // namespace quillstone
