// What the facade holds: its state and the services it delegates to.
#pragma once

#include "core/client_state.hpp"
#include "core/reports.hpp"
#include "crash/exception_handler.hpp"
#include "device/device_report.hpp"
#include "platform/defaults_store.hpp"
#include "platform/http_session.hpp"
#include "platform/log.hpp"
#include "platform/worker.hpp"
#include "quillstone/quillstone.hpp"
#include "transport/delivery.hpp"

namespace quillstone {

struct Quillstone::Impl : std::enable_shared_from_this<Quillstone::Impl> {
  Impl();

  // Renders the current configuration, session and user into the signal crash slot. Without a
  // configuration there is nothing to render and the slot stays as it is.
  void prepareCrashSlot();
  // What the uncaught-exception handler records besides the exception.
  crash::CrashContext crashContext();
  // Arms one device report; the armed item refers to this state only weakly.
  void scheduleDeviceReport();

  platform::Log& log;
  platform::HttpSession& http;
  platform::DefaultsStore& defaults;
  platform::Worker& worker;
  transport::Delivery delivery;
  core::ClientState state;
  core::Reports reports;
  const device::DeviceReporter deviceReporter;
};

}  // namespace quillstone
