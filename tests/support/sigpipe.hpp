// Test servers write to sockets that the client under test may already have closed: a refused
// certificate, a request given up on, a reset. On Linux such a write raises SIGPIPE, whose default
// action ends the whole test program, so one test server's write would hide every verdict.
// Each server thread blocks the signal for itself instead of ignoring it for the process: a
// SIGPIPE that the library raises on a host thread must still end the test and show.
#pragma once

#include <signal.h>

namespace quillstone::testing {

// Blocks SIGPIPE on the calling thread and on the threads it starts from then on (they inherit
// the mask). A write to a closed socket then fails with EPIPE; the signal stays pending on this
// thread, is never delivered, and goes with the thread when it ends.
inline void blockSigpipeOnThisThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace quillstone::testing
