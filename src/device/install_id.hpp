// The per-installation id sent as "vid".
#pragma once

#include <string>

#include "platform/defaults_store.hpp"

namespace quillstone::device {

// The id stored under "qs_device_id", created and stored on first use. Concurrent first reads
// in one process get the same id.
std::string installId(platform::DefaultsStore& defaults);

}  // namespace quillstone::device
