// A walk of the calling thread's stack that remembers, per return address, how to step to the
// caller, so that a report's stack costs a table look-up per frame rather than interpreting the
// unwind tables again each time.
#pragma once

#include <cstdint>

namespace quillstone::platform {

// Takes one frame: its return address and its stack pointer (the canonical frame address of the
// frame it called, as libgcc's _Unwind_GetCFA gives it). False ends the walk.
using FrameVisitor = bool (*)(void* context, std::uint64_t address, std::uint64_t stackPointer);

// Gives `visit` the frames _Unwind_Backtrace would give a callback if the caller of this
// function called it instead, from that caller's own frame outward, until `visit` returns false
// or the stack ends. False when the walk needs what only the unwinder does (a signal frame, a
// frame without unwind tables or with rules other than plain offsets, a stack other than the
// thread's own): `visit` may have been given some frames already, and the caller starts over
// with the unwinder.
bool walkFramesWithCachedRules(FrameVisitor visit, void* context);

}  // namespace quillstone::platform
