// Whether the crash handlers write crash files. The handlers stay installed while it is off, so
// the host's own actions keep their place in the chain; they only hand each crash on.
#pragma once

namespace quillstone::crash {

void setCrashFilesEnabled(bool on) noexcept;
// Async-signal-safe: read by the crash handlers.
bool crashFilesEnabled() noexcept;

}  // namespace quillstone::crash
