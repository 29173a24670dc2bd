#include "platform/frame_walk.hpp"

#include <link.h>
#include <pthread.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>

#include "platform/frame_rules.hpp"

// Stores the caller's return address, its stack pointer after the return and its frame pointer,
// in that order: the state of the calling frame at the call, which its unwind rules describe.
extern "C" void quillstone_caller_registers(std::uint64_t* out);
asm(R"(
  .pushsection .text
  .p2align 4
  .hidden quillstone_caller_registers
  .type quillstone_caller_registers, @function
quillstone_caller_registers:
  .cfi_startproc
  movq (%rsp), %rax
  movq %rax, 0(%rdi)
  leaq 8(%rsp), %rax
  movq %rax, 8(%rdi)
  movq %rbp, 16(%rdi)
  ret
  .cfi_endproc
  .size quillstone_caller_registers, .-quillstone_caller_registers
  .popsection
)");

namespace quillstone::platform {
namespace {

// A stack seldom has more distinct return addresses than this on one thread's busy paths; a
// collision only costs reading the tables again.
constexpr std::size_t kCachedRules = 256;

struct CachedRule {
  std::uintptr_t address = 0;
  FrameRule rule;
};

struct ThreadRules {
  // The rules hold while no image has been unloaded since they were read: a later image may be
  // mapped where an unloaded one was.
  unsigned long long unloads = 0;
  bool counted = false;
  std::uintptr_t stackLow = 0;  // the thread's stack, [stackLow, stackTop); both 0 when unknown
  std::uintptr_t stackTop = 0;
  std::array<CachedRule, kCachedRules> rules{};
};

struct LoaderCount {
  bool counted = false;
  unsigned long long unloads = 0;
};

int countUnloads(dl_phdr_info* info, std::size_t size, void* out) {
  auto& count = *static_cast<LoaderCount*>(out);
  count.counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
  if (count.counted) count.unloads = info->dlpi_subs;
  return 1;  // the first image carries the counts
}

void findStackOfThisThread(ThreadRules& rules) {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (::pthread_attr_getstack(&attributes, &low, &size) == 0) {
    rules.stackLow = reinterpret_cast<std::uintptr_t>(low);
    rules.stackTop = rules.stackLow + size;
  }
  ::pthread_attr_destroy(&attributes);
}

// This thread's rules, emptied when an image has been unloaded since they were read; null when
// there is no memory for them.
ThreadRules* rulesOfThisThread() {
  thread_local std::unique_ptr<ThreadRules> rules;
  if (!rules) {
    // Without the room, the unwinder walks as it always did.
    rules.reset(new (std::nothrow) ThreadRules());
    if (!rules) return nullptr;
    findStackOfThisThread(*rules);
  }
  LoaderCount count;
  dl_iterate_phdr(countUnloads, &count);
  if (!count.counted || !rules->counted || count.unloads != rules->unloads) {
    rules->rules.fill(CachedRule{});
    rules->counted = count.counted;
    rules->unloads = count.unloads;
  }
  return rules.get();
}

const FrameRule& ruleFor(ThreadRules& rules, std::uintptr_t address) {
  CachedRule& cached = rules.rules[(address ^ (address >> 8)) % kCachedRules];
  if (cached.address != address) {
    cached.rule = frameRuleFor(address);
    cached.address = address;
  }
  return cached.rule;
}

struct Frame {
  std::uint64_t address;
  std::uint64_t stackPointer;
  std::uint64_t framePointer;
};

// The stack between the walk's first frame and the thread's top: every slot a rule names must lie
// in it, so a walk never reads beyond the thread's own stack whatever the rules say.
struct StackSpan {
  std::uint64_t low;
  std::uint64_t high;

  bool holds(std::uint64_t slot) const { return slot >= low && slot <= high - sizeof(slot); }
};

// The frames' saved words lie outside every variable's bounds, where the address sanitizer has
// nothing to say.
__attribute__((no_sanitize("address"))) std::uint64_t readSlot(std::uint64_t slot) {
  std::uint64_t value;
  __builtin_memcpy(&value, reinterpret_cast<const void*>(slot), sizeof value);
  return value;
}

// Steps from `frame` to its caller's as the unwinder would; false when a rule leads out of the
// stack or not outward.
bool stepOut(Frame& frame, const FrameRule& rule, const StackSpan& stack) {
  const std::uint64_t base = rule.cfaFromFramePointer ? frame.framePointer : frame.stackPointer;
  const std::uint64_t cfa = base + static_cast<std::uint64_t>(std::int64_t{rule.cfaOffset});
  if (cfa <= frame.stackPointer || cfa > stack.high) return false;
  if (rule.kind == FrameRule::Kind::outermost) {
    frame = {0, cfa, frame.framePointer};
    return true;
  }
  const std::uint64_t returnSlot =
      cfa + static_cast<std::uint64_t>(std::int64_t{rule.returnAddressOffset});
  if (!stack.holds(returnSlot)) return false;
  std::uint64_t framePointer = frame.framePointer;
  if (rule.framePointerSaved) {
    const std::uint64_t saved =
        cfa + static_cast<std::uint64_t>(std::int64_t{rule.framePointerOffset});
    if (!stack.holds(saved)) return false;
    framePointer = readSlot(saved);
  }
  frame = {readSlot(returnSlot), cfa, framePointer};
  return true;
}

}  // namespace

__attribute__((noinline)) bool walkFramesWithCachedRules(FrameVisitor visit, void* context) {
  std::uint64_t registers[3];
  quillstone_caller_registers(registers);
  Frame frame{registers[0], registers[1], registers[2]};
  ThreadRules* rules = rulesOfThisThread();
  if (rules == nullptr) return false;
  // A stack of the host's own making (a coroutine's, an alternate signal stack) is not the
  // thread's: its bounds are unknown.
  if (frame.stackPointer < rules->stackLow || frame.stackPointer >= rules->stackTop) return false;
  const StackSpan stack{frame.stackPointer, rules->stackTop};
  // This function's own frame first: its caller's is the first one given.
  const FrameRule& own = ruleFor(*rules, frame.address);
  if (own.kind != FrameRule::Kind::step || !stepOut(frame, own, stack)) return false;
  for (;;) {
    // The unwinder gives the frame above the outermost one too, with a null address.
    const bool outermost = frame.address == 0;
    FrameRule rule;
    if (!outermost) {
      rule = ruleFor(*rules, frame.address);
      if (rule.kind == FrameRule::Kind::unsupported) return false;
    }
    if (!visit(context, frame.address, frame.stackPointer)) return true;
    if (outermost) return true;
    if (!stepOut(frame, rule, stack)) return false;
  }
}

}  // namespace quillstone::platform
