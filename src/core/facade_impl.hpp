// What the facade holds: its state and the services it delegates to.
#pragma once

#include "core/client_state.hpp"
#include "core/delivery.hpp"
#include "core/reports.hpp"
#include "platform/defaults_store.hpp"
#include "platform/http_session.hpp"
#include "platform/log.hpp"
#include "platform/worker.hpp"
#include "quillstone/quillstone.hpp"

namespace quillstone {

struct Quillstone::Impl {
  Impl();

  platform::Log& log;
  platform::HttpSession& http;
  platform::DefaultsStore& defaults;
  platform::Worker& worker;
  core::Delivery delivery;
  core::ClientState state;
  core::Reports reports;
};

}  // namespace quillstone
