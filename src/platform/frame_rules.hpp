// How to step from one x86-64 stack frame to its caller's, read from the unwind tables the
// compiler left for the code at a return address.
#pragma once

#include <cstdint>

namespace quillstone::platform {

// The few rules ordinary compiled code needs: the caller's stack pointer (the frame's canonical
// frame address, CFA) is the stack pointer or the frame pointer plus an offset, the return address
// lies at a fixed offset from the CFA, and the frame pointer is either untouched or saved at a
// fixed offset from it. Anything else (a signal frame, a CFA or a register given by an expression,
// a register kept in another register, code outside the loader's images) is `unsupported`, and
// the stack is left to the unwinder.
struct FrameRule {
  enum class Kind : std::uint8_t {
    unsupported,  // not these rules, or no unwind information for the address
    step,         // the rules below lead to the caller
    outermost,    // the return address is undefined: the first frame of the thread
  };
  Kind kind = Kind::unsupported;
  bool cfaFromFramePointer = false;  // otherwise from the stack pointer
  bool framePointerSaved = false;    // otherwise the caller's is the frame's own
  std::int32_t cfaOffset = 0;
  std::int32_t returnAddressOffset = 0;  // from the CFA
  std::int32_t framePointerOffset = 0;   // from the CFA, when saved
};

// The rule for the frame whose return address (the address after its call) is `returnAddress`,
// found and interpreted the way libgcc's unwinder does for a frame that is not a signal frame.
FrameRule frameRuleFor(std::uintptr_t returnAddress) noexcept;

}  // namespace quillstone::platform
