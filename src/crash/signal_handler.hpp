// The fatal-signal handler: writes "crash-signal.json" from the crash slot while the process
// dies, then lets the signal end the process as it would have without a handler.
#pragma once

#include <csignal>
#include <cstddef>

#include "platform/alternate_stack.hpp"

namespace quillstone::crash {

// In installation order.
constexpr int kCrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

constexpr std::size_t kAlternateStackSize = platform::kAlternateStackSize;

// Async-signal-safe: the handler installed for every crash signal.
void crashSignalHandler(int signo, siginfo_t* info, void* context);

// Gives every thread an alternate signal stack (see alternate_stacks.hpp) and installs
// crashSignalHandler for the crash signals, replacing whatever was installed before. Loads the
// unwinder first so that no crash has to.
void installSignalHandler();

}  // namespace quillstone::crash
