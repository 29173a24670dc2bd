// Threads the library starts for itself.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace quillstone::platform {

// Starts a thread on which every asynchronous signal is blocked, so the host's own SIGINT,
// SIGTERM or SIGPIPE handling never runs on (or is swallowed by) a library thread. The fault
// signals stay deliverable, and the thread has an alternate signal stack, so that a crash there
// (a stack overflow included) is still captured.
std::thread startLibraryThread(std::string name, std::function<void()> body);

// Whether the calling thread is one that startLibraryThread started: a call that waits for the
// library's threads must not wait on one of them.
bool onLibraryThread() noexcept;

// Marks the calling thread as the one that drives the network. No host code runs there, so that
// a slow host callback can never hold up delivery.
void markNetworkThread() noexcept;
bool onNetworkThread() noexcept;

}  // namespace quillstone::platform
