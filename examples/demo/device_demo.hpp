// The demo's device report scenario.
#pragma once

#include "support/collector.hpp"

// Gives consent, which the demo's configuration requires before the device report, and waits
// until the report has reached `collector`. False when it did not arrive in time.
bool runDeviceDemo(const quillstone::testing::Collector& collector);
