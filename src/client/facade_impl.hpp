// What the facade holds: its state and the services it delegates to.
#pragma once

#include "client/client_state.hpp"
#include "client/reports.hpp"
#include "crash/exception_handler.hpp"
#include "device/device_report.hpp"
#include "platform/services.hpp"
#include "quillstone/quillstone.hpp"
#include "transport/delivery.hpp"

namespace quillstone {

struct Quillstone::Impl : std::enable_shared_from_this<Quillstone::Impl> {
  explicit Impl(const platform::Services& services);

  // Renders the current configuration, session and user into the signal crash slot. Without a
  // configuration there is nothing to render and the slot stays as it is.
  void prepareCrashSlot();
  // Renders the current user id into the crash slot, preparing the slot in full when this
  // process has not prepared it for the current configuration.
  void prepareCrashSlotUser();
  // What the uncaught-exception handler records besides the exception.
  crash::CrashContext crashContext();
  // Turns the offline outbox on or off as `config` says.
  void setOutbox(const Config& config);
  // Arms one device report; the armed item refers to this state only weakly.
  void scheduleDeviceReport();

  const platform::Services& services;
  platform::Log& log;
  platform::HttpSession& http;
  platform::DefaultsStore& defaults;
  platform::Worker& worker;
  transport::Delivery delivery;
  client::ClientState state;
  client::Reports reports;
  const device::DeviceReporter deviceReporter;
};

}  // namespace quillstone
