// Upload of crash files that earlier runs left behind.
#pragma once

#include <string>

#include "transport/delivery.hpp"

namespace quillstone::transport {

// Posts every "*.json" file directly inside `directory`, byte for byte, and deletes each one
// only after the server accepted it. Returns once every upload has started.
void uploadPendingCrashes(const std::string& directory, const Delivery& delivery, const Url& server,
                          platform::Log& log);

}  // namespace quillstone::transport
