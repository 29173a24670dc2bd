/* A host that loads the shared library with dlopen, starts it with crash capture on, sends a
 * report and unloads it: the library must stay mapped, since its signal handlers, its
 * pthread_create wrapper and its threads keep running its code. Exit status 0 when it stayed. */
#include <dlfcn.h>
#include <stdio.h>

#include "quillstone/quillstone.h"

/* A closed port on the loopback interface: the report fails at once, without a network. */
#define PROBE_SERVER "http://127.0.0.1:9/"
#define PROBE_FLUSH_MS 5000L

/* POSIX's idiom for a function pointer from dlsym, which ISO C cannot convert to. */
#define LOOK_UP(handle, name, pointer) (*(void**)(&(pointer)) = dlsym((handle), (name)))

int main(void) {
  quillstone_config_t* (*config_new)(const char*, const char*, const char*, const char*) = NULL;
  void (*config_free)(quillstone_config_t*) = NULL;
  void (*start)(const quillstone_config_t*) = NULL;
  void (*track)(const char*, double, const quillstone_property_t*, size_t) = NULL;
  int (*flush)(long) = NULL;
  quillstone_config_t* config;
  void* library = dlopen(QS_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    printf("cannot load %s: %s\n", QS_LIBRARY_PATH, dlerror());
    return 1;
  }
  if (!LOOK_UP(library, "quillstone_config_new", config_new) ||
      !LOOK_UP(library, "quillstone_config_free", config_free) ||
      !LOOK_UP(library, "quillstone_start", start) ||
      !LOOK_UP(library, "quillstone_track", track) ||
      !LOOK_UP(library, "quillstone_flush", flush)) {
    printf("a C function is not exported: %s\n", dlerror());
    return 1;
  }
  config = config_new("dlclose-probe", PROBE_SERVER, "1.0", "test");
  start(config);
  config_free(config);
  track("loaded", 1, NULL, 0);
  flush(PROBE_FLUSH_MS);
  dlclose(library);
  if (!dlopen(QS_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD)) {
    printf("the library was unloaded by dlclose\n");
    return 1;
  }
  /* Still mapped: a call through the old pointer runs. */
  track("after dlclose", 1, NULL, 0);
  printf("the library stayed loaded\n");
  return 0;
}
