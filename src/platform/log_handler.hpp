// The host's log handler, when it set one (see setLogHandler in log.hpp).
#pragma once

#include <string_view>

namespace quillstone::platform {

// Hands `message` to the host's handler on the calling thread and returns true; returns false,
// having called nothing, when no handler is set or this thread is already running it.
bool passToLogHandler(std::string_view message) noexcept;

// Whether the host has set a handler.
bool logHandlerSet() noexcept;

}  // namespace quillstone::platform
