#include "platform/frame_rules.hpp"

#include <dlfcn.h>

#include <cstring>

// libgcc's own lookup (with the loader's _dl_find_object behind it): the same entry the unwinder
// would interpret for the address, so the rules cannot differ from its walk by where they came
// from. Declared here as libgcc exports it; no public header does.
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

namespace quillstone::platform {
namespace {

// x86-64 DWARF register numbers.
constexpr std::uint64_t kFramePointer = 6;
constexpr std::uint64_t kStackPointer = 7;
constexpr std::uint64_t kReturnAddress = 16;

// Call-frame instructions, as the tables hold them.
enum : std::uint8_t {
  kAdvanceLoc = 0x40,
  kOffset = 0x80,
  kRestore = 0xc0,
  kNop = 0x00,
  kAdvanceLoc1 = 0x02,
  kAdvanceLoc2 = 0x03,
  kAdvanceLoc4 = 0x04,
  kOffsetExtended = 0x05,
  kRestoreExtended = 0x06,
  kUndefined = 0x07,
  kSameValue = 0x08,
  kRegister = 0x09,
  kRememberState = 0x0a,
  kRestoreState = 0x0b,
  kDefCfa = 0x0c,
  kDefCfaRegister = 0x0d,
  kDefCfaOffset = 0x0e,
  kDefCfaExpression = 0x0f,
  kExpression = 0x10,
  kOffsetExtendedSf = 0x11,
  kDefCfaSf = 0x12,
  kDefCfaOffsetSf = 0x13,
  kValOffset = 0x14,
  kValOffsetSf = 0x15,
  kValExpression = 0x16,
  kGnuArgsSize = 0x2e,
  kGnuNegativeOffsetExtended = 0x2f,
};

// An operand times its alignment factor, wrapping as the unwinder's arithmetic does rather than
// overflowing on a corrupt table.
std::int64_t factored(std::uint64_t operand, std::int64_t factor) {
  return static_cast<std::int64_t>(operand * static_cast<std::uint64_t>(factor));
}

// How one of the three registers that matter is recovered.
enum class How : std::uint8_t { unchanged, atOffset, undefined, other };

struct RegisterRule {
  How how = How::unchanged;
  std::int64_t offset = 0;
};

struct State {
  bool cfaByExpression = false;
  std::uint64_t cfaRegister = kStackPointer;
  std::int64_t cfaOffset = 0;
  RegisterRule framePointer;
  RegisterRule stackPointer;
  RegisterRule returnAddress;
};

// Deep enough for compiled code, which nests remember/restore a level or two.
constexpr int kMaxRemembered = 8;

struct Reader {
  const std::uint8_t* at;
  const std::uint8_t* end;
  bool failed = false;

  std::uint8_t byte() {
    if (at >= end) {
      failed = true;
      return 0;
    }
    return *at++;
  }
  template <class T>
  T fixed() {
    if (end - at < static_cast<std::ptrdiff_t>(sizeof(T))) {
      failed = true;
      at = end;
      return 0;
    }
    T value;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
  }
  std::uint64_t uleb() {
    unsigned shift = 0;
    std::uint8_t last = 0;
    return leb(shift, last);
  }
  std::int64_t sleb() {
    unsigned shift = 0;
    std::uint8_t last = 0;
    std::uint64_t value = leb(shift, last);
    if (shift < 64 && (last & 0x40) != 0) value |= ~std::uint64_t{0} << shift;
    return static_cast<std::int64_t>(value);
  }
  // The bits of a LEB128 number; `shift` ends past its last group, `last` is its last byte.
  std::uint64_t leb(unsigned& shift, std::uint8_t& last) {
    std::uint64_t value = 0;
    do {
      last = byte();
      if (shift < 64) value |= static_cast<std::uint64_t>(last & 0x7f) << shift;
      shift += 7;
    } while ((last & 0x80) != 0 && !failed);
    return value;
  }
  void skip(std::uint64_t count) {
    if (static_cast<std::uint64_t>(end - at) < count) {
      failed = true;
      at = end;
      return;
    }
    at += count;
  }
};

// Skips a pointer of `encoding` whose value is not needed (the FDE's start comes from the
// lookup). False for encodings compiled code does not use here.
bool skipEncoded(Reader& reader, std::uint8_t encoding) {
  constexpr std::uint8_t kAligned = 0x50;
  if (encoding == 0xff) return true;  // omitted
  if ((encoding & 0x70) == kAligned) return false;
  switch (encoding & 0x0f) {
    case 0x00:
      reader.skip(8);
      return true;  // absolute pointer
    case 0x01:
      reader.uleb();
      return true;
    case 0x02:
    case 0x0a:
      reader.skip(2);
      return true;
    case 0x03:
    case 0x0b:
      reader.skip(4);
      return true;
    case 0x04:
    case 0x0c:
      reader.skip(8);
      return true;
    case 0x09:
      reader.sleb();
      return true;
    default:
      return false;
  }
}

struct Cie {
  std::uint64_t codeAlign = 0;
  std::int64_t dataAlign = 0;
  std::uint8_t fdeEncoding = 0;  // absolute pointer unless 'R' says otherwise
  bool hasAugmentationData = false;
  const std::uint8_t* instructions = nullptr;
  const std::uint8_t* end = nullptr;
};

bool readCie(const std::uint8_t* at, Cie& cie) {
  std::uint32_t length;
  std::memcpy(&length, at, sizeof length);
  if (length == 0 || length == 0xffffffff) return false;  // none, or the 64-bit format
  Reader reader{at + 4, at + 4 + length};
  if (reader.fixed<std::uint32_t>() != 0) return false;  // not a CIE
  const std::uint8_t version = reader.byte();
  if (version != 1 && version != 3) return false;
  const char* augmentation = reinterpret_cast<const char*>(reader.at);
  const std::size_t augmentationLength = ::strnlen(augmentation, reader.end - reader.at);
  reader.skip(augmentationLength + 1);
  cie.codeAlign = reader.uleb();
  cie.dataAlign = reader.sleb();
  const std::uint64_t returnColumn = version == 1 ? reader.byte() : reader.uleb();
  if (returnColumn != kReturnAddress) return false;
  if (augmentation[0] == 'z') {
    cie.hasAugmentationData = true;
    const std::uint64_t dataLength = reader.uleb();
    Reader data{reader.at, reader.at};
    reader.skip(dataLength);
    data.end = reader.at;
    for (std::size_t i = 1; i < augmentationLength; ++i) {
      switch (augmentation[i]) {
        case 'R':
          cie.fdeEncoding = data.byte();
          break;
        case 'L':
          data.byte();
          break;
        case 'P':
          if (!skipEncoded(data, data.byte())) return false;
          break;
        default:
          return false;  // 'S' (a signal frame) and anything unknown
      }
    }
    if (data.failed) return false;
  } else if (augmentationLength != 0) {
    return false;  // "eh" and other old forms
  }
  if (reader.failed) return false;
  cie.instructions = reader.at;
  cie.end = reader.end;
  return true;
}

RegisterRule* ruleOf(State& state, std::uint64_t reg) {
  switch (reg) {
    case kFramePointer:
      return &state.framePointer;
    case kStackPointer:
      return &state.stackPointer;
    case kReturnAddress:
      return &state.returnAddress;
    default:
      return nullptr;
  }
}

// Runs the instructions from `reader` on `state` while the location stays before `until`.
// False on an instruction this does not follow.
bool execute(Reader reader, const Cie& cie, State& state, std::uintptr_t location,
             std::uintptr_t until) {
  State remembered[kMaxRemembered];
  int depth = 0;
  while (reader.at < reader.end && location < until) {
    const std::uint8_t instruction = reader.byte();
    const std::uint8_t operand = instruction & 0x3f;
    std::uint64_t reg = 0;
    switch (instruction & 0xc0) {
      case kAdvanceLoc:
        location += operand * cie.codeAlign;
        continue;
      case kOffset:
        if (RegisterRule* rule = ruleOf(state, operand)) {
          *rule = {How::atOffset, factored(reader.uleb(), cie.dataAlign)};
        } else {
          reader.uleb();
        }
        continue;
      case kRestore:
        // As the unwinder does it: back to unsaved, not to the entry's initial rule.
        if (RegisterRule* rule = ruleOf(state, operand)) *rule = {How::unchanged, 0};
        continue;
      default:
        break;
    }
    switch (instruction) {
      case kNop:
        break;
      case kAdvanceLoc1:
        location += reader.fixed<std::uint8_t>() * cie.codeAlign;
        break;
      case kAdvanceLoc2:
        location += reader.fixed<std::uint16_t>() * cie.codeAlign;
        break;
      case kAdvanceLoc4:
        location += reader.fixed<std::uint32_t>() * cie.codeAlign;
        break;
      case kOffsetExtended:
      case kOffsetExtendedSf:
      case kGnuNegativeOffsetExtended: {
        reg = reader.uleb();
        std::uint64_t operand = instruction == kOffsetExtendedSf
                                    ? static_cast<std::uint64_t>(reader.sleb())
                                    : reader.uleb();
        if (instruction == kGnuNegativeOffsetExtended) operand = 0 - operand;
        const std::int64_t offset = factored(operand, cie.dataAlign);
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::atOffset, offset};
        break;
      }
      case kRestoreExtended:
        reg = reader.uleb();
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::unchanged, 0};
        break;
      case kUndefined:
        // The unwinder treats an undefined callee-saved register as unchanged; only the return
        // address's marks the outermost frame.
        reg = reader.uleb();
        if (reg == kReturnAddress) state.returnAddress = {How::undefined, 0};
        if (reg == kFramePointer) state.framePointer = {How::unchanged, 0};
        if (reg == kStackPointer) state.stackPointer = {How::unchanged, 0};
        break;
      case kSameValue:
        reg = reader.uleb();
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::unchanged, 0};
        break;
      case kRegister:
        reg = reader.uleb();
        reader.uleb();
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::other, 0};
        break;
      case kRememberState:
        if (depth == kMaxRemembered) return false;
        remembered[depth++] = state;
        break;
      case kRestoreState:
        if (depth == 0) return false;
        state = remembered[--depth];
        break;
      case kDefCfa:
        state.cfaRegister = reader.uleb();
        state.cfaOffset = static_cast<std::int64_t>(reader.uleb());
        state.cfaByExpression = false;
        break;
      case kDefCfaSf:
        state.cfaRegister = reader.uleb();
        state.cfaOffset = factored(static_cast<std::uint64_t>(reader.sleb()), cie.dataAlign);
        state.cfaByExpression = false;
        break;
      case kDefCfaRegister:
        state.cfaRegister = reader.uleb();
        state.cfaByExpression = false;
        break;
      case kDefCfaOffset:
        state.cfaOffset = static_cast<std::int64_t>(reader.uleb());
        break;
      case kDefCfaOffsetSf:
        state.cfaOffset = factored(static_cast<std::uint64_t>(reader.sleb()), cie.dataAlign);
        break;
      case kDefCfaExpression:
        reader.skip(reader.uleb());
        state.cfaByExpression = true;
        break;
      case kExpression:
      case kValExpression:
        reg = reader.uleb();
        reader.skip(reader.uleb());
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::other, 0};
        break;
      case kValOffset:
      case kValOffsetSf:
        reg = reader.uleb();
        if (instruction == kValOffset) {
          reader.uleb();
        } else {
          reader.sleb();
        }
        if (RegisterRule* rule = ruleOf(state, reg)) *rule = {How::other, 0};
        break;
      case kGnuArgsSize:
        reader.uleb();
        break;
      default:
        return false;  // DW_CFA_set_loc and anything else compiled code here never uses
    }
    if (reader.failed) return false;
  }
  return !reader.failed;
}

// Only code the loader mapped has rules that stay put while its image does: a JIT's code, with
// the unwind entries it registered, may be replaced in place without the loader knowing.
bool inLoadedImage(std::uintptr_t address) {
#ifdef DLFO_EH_SEGMENT_TYPE
  dl_find_object found;
  return _dl_find_object(reinterpret_cast<void*>(address), &found) == 0;
#else
  Dl_info info;
  return dladdr(reinterpret_cast<const void*>(address), &info) != 0;
#endif
}

bool fitsInt32(std::int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

}  // namespace

FrameRule frameRuleFor(std::uintptr_t returnAddress) noexcept {
  FrameRule rule;
  if (returnAddress == 0 || !inLoadedImage(returnAddress - 1)) return rule;
  dwarf_eh_bases bases{};
  // The call's own instruction, not the one after it, as the unwinder looks it up.
  const auto* fde = static_cast<const std::uint8_t*>(
      _Unwind_Find_FDE(reinterpret_cast<void*>(returnAddress - 1), &bases));
  if (fde == nullptr) return rule;
  std::uint32_t length;
  std::memcpy(&length, fde, sizeof length);
  if (length == 0xffffffff) return rule;
  std::uint32_t cieDistance;
  std::memcpy(&cieDistance, fde + 4, sizeof cieDistance);
  Cie cie;
  if (cieDistance == 0 || !readCie(fde + 4 - cieDistance, cie)) return rule;

  State state;
  if (!execute(Reader{cie.instructions, cie.end}, cie, state, 0, UINTPTR_MAX)) return rule;
  Reader reader{fde + 8, fde + 4 + length};
  if (!skipEncoded(reader, cie.fdeEncoding) || !skipEncoded(reader, cie.fdeEncoding & 0x0f)) {
    return rule;
  }
  if (cie.hasAugmentationData) reader.skip(reader.uleb());
  if (reader.failed) return rule;
  if (!execute(reader, cie, state, reinterpret_cast<std::uintptr_t>(bases.func), returnAddress)) {
    return rule;
  }

  if (state.cfaByExpression || state.stackPointer.how != How::unchanged) return rule;
  if (state.cfaRegister != kStackPointer && state.cfaRegister != kFramePointer) return rule;
  if (state.framePointer.how != How::unchanged && state.framePointer.how != How::atOffset) {
    return rule;
  }
  if (!fitsInt32(state.cfaOffset) || !fitsInt32(state.framePointer.offset) ||
      !fitsInt32(state.returnAddress.offset)) {
    return rule;
  }
  rule.cfaFromFramePointer = state.cfaRegister == kFramePointer;
  rule.cfaOffset = static_cast<std::int32_t>(state.cfaOffset);
  rule.framePointerSaved = state.framePointer.how == How::atOffset;
  rule.framePointerOffset = static_cast<std::int32_t>(state.framePointer.offset);
  if (state.returnAddress.how == How::undefined) {
    rule.kind = FrameRule::Kind::outermost;
  } else if (state.returnAddress.how == How::atOffset) {
    rule.returnAddressOffset = static_cast<std::int32_t>(state.returnAddress.offset);
    rule.kind = FrameRule::Kind::step;
  }
  return rule;
}

}  // namespace quillstone::platform
