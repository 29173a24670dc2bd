// libcurl's process-wide initialisation, made on the network thread rather than on the host's:
// with its TLS library it costs about 0.6 ms, most of a first start.
#pragma once

namespace quillstone::platform {

// Initialises libcurl and its TLS library once per process; later calls return at once. A
// fork() while it runs waits for it to end (at most a second), so that the child never inherits
// libcurl's initialisation lock held; every other fork() costs one atomic load.
void initialiseCurl() noexcept;

}  // namespace quillstone::platform
