// Temporary files that writers killed mid-write left beside the stores and in the crash
// directory, swept once a process starts.
#pragma once

#include <chrono>

#include "platform/worker.hpp"

namespace quillstone::client {

// Far beyond any write in progress: a temporary file untouched this long has no writer left.
inline constexpr std::chrono::hours kStaleTemporaryAge{1};

// Removes the stale temporaries beside defaults.json and keychain.json, in the outbox and in the
// crash directory; never a store, a stored report, a crash file or the crash reserve. Disk work:
// not for the host's thread.
void sweepStaleTemporaries();

// Runs the sweep on `worker`, once per process.
void scheduleStaleTemporarySweep(platform::Worker& worker);

}  // namespace quillstone::client
