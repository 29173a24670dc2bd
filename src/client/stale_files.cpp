#include "client/stale_files.hpp"

#include <atomic>
#include <string>

#include "crash/crash_dir.hpp"
#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/keychain.hpp"
#include "platform/outbox_files.hpp"
#include "platform/paths.hpp"

namespace quillstone::client {

void sweepStaleTemporaries() {
  const std::chrono::seconds age = kStaleTemporaryAge;
  // The app's own directories may hold the host's files too: only the stores' temporaries.
  platform::removeStaleTemporaries(platform::configDirectory(), platform::kDefaultsFileName, age);
  platform::removeStaleTemporaries(platform::dataDirectory(), platform::kKeychainFileName, age);
  // The outbox is the library's alone, and its reports are no temporaries.
  platform::removeStaleTemporaries(platform::outboxDirectory(), {}, age);
  // The crash directory is the library's alone; the reserve lies beside it, or has no name.
  platform::removeStaleTemporaries(crash::crashDirectoryPath(), {}, age);
}

void scheduleStaleTemporarySweep(platform::Worker& worker) {
  static std::atomic<bool> scheduled{false};
  if (scheduled.exchange(true)) return;
  worker.schedule(std::chrono::milliseconds(0), [] {
    try {
      sweepStaleTemporaries();
    } catch (...) {
    }
  });
}

}  // namespace quillstone::client
