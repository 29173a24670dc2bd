// The demo's install-attribution part.
#pragma once

#include "support/collector.hpp"

// Opens a deep link, starts attribution against `collector` and prints the result, then starts
// again to show the stored answer.
void runAttributionDemo(quillstone::testing::Collector& collector);
