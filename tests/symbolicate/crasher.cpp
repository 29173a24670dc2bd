// A small program with debug information that crashes on request through the library's own
// crash capture, so that the symbolication tests read real crash files.
//   symbolicate_crasher segv | trap-at-entry | inlined-segv | throw | library-segv LIBRARY
#include <dlfcn.h>
#include <quillstone/quillstone.hpp>

#include <stdexcept>
#include <string_view>

// The fault must really happen: no undefined-behaviour check in its way, no inlining that would
// take the named function out of the stack.
#define CRASHER_REAL_FAULT __attribute__((noinline, no_sanitize("undefined")))

#if defined(__SANITIZE_ADDRESS__)
// The crash handler hands a recorded fault to the action installed before it; the sanitizer's
// would exit instead of letting the crasher die of its signal.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0";
}
#endif

namespace crasher {

CRASHER_REAL_FAULT void segvInNamedFunction() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;  // the segv line
}

// The trap is the function's first byte, as in an optimised build of a function that only
// traps: the address just before it belongs to another function.
__attribute__((naked, noinline)) void trapAtEntry() {
  asm volatile("ud2");  // the trap line
}

// Inlined even without optimisation, so the debug information records an inlined call.
__attribute__((always_inline)) inline void storeThrough(volatile int* target) {
  *target = 2;  // the inlined segv line
}

CRASHER_REAL_FAULT void segvThroughInlinedHelper() {
  volatile int* volatile nowhere = nullptr;
  storeThrough(nowhere);  // the inlined call line
}

[[noreturn]] __attribute__((noinline)) void throwRuntimeError(const char* what) {
  throw std::runtime_error(what);  // the runtime error line
}

// The call that never returns is its last instruction: the return address it leaves on the
// stack is the first byte of whatever follows it in the program.
// noipa: the optimiser must not learn that it never returns and turn the call into a jump.
__attribute__((noinline, noipa)) void throwFromNamedFunction() {
  throwRuntimeError("thrown by the crasher");  // the throw line
}

}  // namespace crasher

int main(int argc, char** argv) {
  using quillstone::Quillstone;
  // Nothing listens on the discard port: the crash file stays on disk for the test.
  Quillstone::shared().start(Quillstone::Config("symbolicate-crasher",
                                                Quillstone::resolveServer("http://127.0.0.1:9/"),
                                                "1.0.0", "test", true, false, false));
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "segv") crasher::segvInNamedFunction();
  if (mode == "trap-at-entry") crasher::trapAtEntry();
  if (mode == "inlined-segv") crasher::segvThroughInlinedHelper();
  // No handler anywhere: the exception ends the process where it was thrown.
  if (mode == "throw") crasher::throwFromNamedFunction();
  // Loaded after start: only the image list written at the time of the crash knows where.
  if (mode == "library-segv" && argc > 2) {
    void* library = ::dlopen(argv[2], RTLD_NOW);
    auto* run = library != nullptr ? reinterpret_cast<void (*)()>(::dlsym(library, "crashlib_run"))
                                   : nullptr;
    if (run != nullptr) run();
  }
  return 2;
}
