// The operating-system services the library uses, gathered in one place. The client creates
// them once and hands each subsystem the ones it needs, so no subsystem reaches for a
// process-wide service itself and a test can hand it fakes instead.
#pragma once

#include "platform/defaults_store.hpp"
#include "platform/environment.hpp"
#include "platform/http_session.hpp"
#include "platform/kernel.hpp"
#include "platform/keychain.hpp"
#include "platform/locale.hpp"
#include "platform/log.hpp"
#include "platform/reachability.hpp"
#include "platform/resources.hpp"
#include "platform/screen.hpp"
#include "platform/time_zone.hpp"
#include "platform/worker.hpp"

namespace quillstone::platform {

struct Services {
  Log& log;
  HttpSession& http;
  DefaultsStore& defaults;
  Worker& worker;
  Keychain& keychain;
  Screen& screen;
  LocaleSettings& locale;
  TimeZone& timeZone;
  Resources& resources;
  const Environment& environment;
  const Kernel& kernel;
  const Reachability& reachability;
};

// This process's services, created on first use and never destroyed.
const Services& systemServices() noexcept;

}  // namespace quillstone::platform
