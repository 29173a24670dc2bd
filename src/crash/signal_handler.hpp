// The fatal-signal handler: writes "crash-signal.json" from the crash slot while the process
// dies, then hands the signal to the action the host had installed before, so it takes the
// signal as it would have without the library (by default the signal ends the process).
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
// crashSignalHandler for the crash signals. The actions installed before are kept (never the
// library's own, so calling this again keeps the host's) and take each signal once its file is
// written. Loads the unwinder first so that no crash has to.
void installSignalHandler();

}  // namespace quillstone::crash
