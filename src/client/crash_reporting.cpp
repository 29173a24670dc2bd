// What the facade hands to crash capture: its state, read at the moment it is needed.
#include "client/facade_impl.hpp"
#include "crash/alternate_stacks.hpp"
#include "crash/build_uuid.hpp"
#include "crash/crash_dir.hpp"
#include "crash/crash_files.hpp"
#include "crash/crash_slot.hpp"
#include "device/device_info.hpp"
#include "device/install_id.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/loader.hpp"

namespace quillstone {

void Quillstone::Impl::prepareCrashSlot() {
  const auto config = state.config();
  if (!config) return;
  crash::SlotContent content;
  const std::string directory = crash::crashDirectoryPath();
  content.path = directory + "/" + std::string(crash::kSignalFileName);
  content.members = {
      config->appId(), device::installId(defaults), state.sessionId(),    config->release(),
      state.userId(),  crash::imageUUID(),          platform::nowMillis()};
  content.image = platform::mainImage();
  content.source = config;
  crash::prepareCrashSlot(content, log);
  // Held only while crash capture is on; a fork prepares its own here. Making the directory
  // (a new home's dearest step) and the reserved file (a relaunch's) is the worker's; until
  // they are there, a moment later, a crash is written the ordinary way and makes the directory
  // itself.
  if (!config->reportCrash()) return;
  const auto prepareDirectory = [directory] {
    platform::makePrivateDirectories(directory);
    crash::prepareCrashReserve(directory);
  };
  try {
    worker.schedule(std::chrono::milliseconds(0), [prepareDirectory] {
      try {
        prepareDirectory();
      } catch (...) {
      }
    });
  } catch (...) {
    prepareDirectory();
  }
}

void Quillstone::Impl::prepareCrashSlotUser() {
  const auto config = state.config();
  if (!config) return;
  const auto result =
      crash::prepareCrashSlotUser(config.get(), state.userId(), platform::nowMillis());
  if (result == crash::PrepareResult::notPrepared) prepareCrashSlot();
}

crash::CrashContext Quillstone::Impl::crashContext() {
  crash::CrashContext context;
  const auto config = state.config();
  const std::string release = config ? config->release() : std::string();
  context.envelope = {config ? config->appId() : std::string(), device::installId(defaults),
                      state.sessionId(), release};
  context.userId = state.userId();
  context.imageUUID = crash::imageUUID();
  context.page = state.currentPage();
  auto device = nlohmann::json::parse(device::deviceInfo(services, release), nullptr, false);
  context.device = device.is_discarded() ? nlohmann::json::object() : std::move(device);
  context.breadcrumbs = state.breadcrumbs();
  return context;
}

void Quillstone::prepareCurrentThreadForCrashes() noexcept { crash::prepareCurrentThread(); }

}  // namespace quillstone
