// A host linked with a build-id of its own choosing: prints the image UUID the library reads
// after start, so a test can compare it with what the linker was told.
#include <cstdio>

#include <quillstone/quillstone.hpp>

int main() {
  using quillstone::Quillstone;
  Quillstone::Config config("build-id-host", Quillstone::resolveServer("http://127.0.0.1:9/"),
                            "1.0", "test", false, false, false);
  Quillstone::shared().start(config);
  std::printf("uuid=%s\n", Quillstone::imageUUID().c_str());
  return 0;
}
