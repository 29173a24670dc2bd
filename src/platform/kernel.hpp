// The kernel's names for itself and the machine (uname).
#pragma once

#include <string>

namespace quillstone::platform {

// The five uname fields; each is "" when uname fails.
struct KernelNames {
  std::string sysname;
  std::string nodename;
  std::string release;
  std::string version;
  std::string machine;
};

class Kernel {
 public:
  virtual ~Kernel() = default;
  virtual KernelNames names() const = 0;
};

// The running kernel, asked on every call.
const Kernel& systemKernel() noexcept;

}  // namespace quillstone::platform
