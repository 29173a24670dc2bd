#include "platform/services.hpp"

namespace quillstone::platform {

const Services& systemServices() noexcept {
  // Never destroyed, like each service in it: the library's threads may use them while the
  // process exits.
  static const Services* services =
      new Services{systemLog(),       systemHttpSession(), systemDefaults(), systemWorker(),
                   systemKeychain(),  systemScreen(),      systemLocale(),   systemTimeZone(),
                   systemResources(), systemEnvironment(), systemKernel(),   systemReachability()};
  return *services;
}

}  // namespace quillstone::platform
