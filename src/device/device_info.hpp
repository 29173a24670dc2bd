// The basic device map carried under "device" by error reports and crash files.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/fork_safe.hpp"
#include "platform/services.hpp"

namespace quillstone::device {

// Four entries: "platform", "model", "osVersion" ("iOS " + system version), "appVersion", as
// compact JSON text.
std::string deviceInfo(const platform::Services& services, const std::string& release);

// deviceInfo() for one report after another, made again only when what it is made of changes:
// the release, or the variables that name the model and the system. The kernel's names do not
// change while a process runs. Thread-safe.
class DeviceInfoCache {
 public:
  // Shared, not copied: the rendering lives as long as a report still reads it.
  std::shared_ptr<const std::string> get(const platform::Services& services,
                                         const std::string& release);

 private:
  platform::ForkSafeMutex mutex_;
  bool filled_ = false;
  std::string release_;
  std::optional<std::string> model_;
  std::optional<std::string> version_;
  std::shared_ptr<const std::string> text_;
};

}  // namespace quillstone::device
