// A shared library with debug information that the symbolication crasher loads after the
// library's start and crashes in, so that a frame outside the main program is symbolicated
// through the crash file's image list.

namespace crashlib {

// no_sanitize: the fault must really happen, with no undefined-behaviour check in its way.
__attribute__((noinline, no_sanitize("undefined"))) void segvInLibrary() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 3;  // the library segv line
}

}  // namespace crashlib

extern "C" __attribute__((visibility("default"))) void crashlib_run() { crashlib::segvInLibrary(); }
