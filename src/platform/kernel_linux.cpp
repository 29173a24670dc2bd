#include <sys/utsname.h>

#include <cstring>

#include "platform/kernel.hpp"

namespace quillstone::platform {
namespace {

// The fields are NUL-terminated on success; a zeroed record turns a failed call into "".
std::string field(const char (&text)[sizeof(utsname::machine)]) {
  return std::string(text, strnlen(text, sizeof text));
}

class UnameKernel final : public Kernel {
 public:
  KernelNames names() const override {
    utsname record;
    std::memset(&record, 0, sizeof record);
    if (uname(&record) != 0) std::memset(&record, 0, sizeof record);
    return {field(record.sysname), field(record.nodename), field(record.release),
            field(record.version), field(record.machine)};
  }
};

}  // namespace

const Kernel& systemKernel() noexcept {
  static const auto* kernel = new UnameKernel();
  return *kernel;
}

}  // namespace quillstone::platform
