// The demo's crash scenario.
#pragma once

#include <quillstone/quillstone.hpp>

#include "support/collector.hpp"

// Crashes a child run of the demo, then starts the client again, as the next launch would, and
// waits until the crash file has reached `collector` and left the crash directory. False when a
// step did not happen in time.
bool runCrashDemo(const quillstone::testing::Collector& collector,
                  const quillstone::Quillstone::Config& config);
