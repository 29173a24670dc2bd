#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <gelf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "elf_image.hpp"

namespace quillstone::symbolicate {
namespace {

constexpr std::size_t kUuidBytes = 16;
// libdwfl's own search path: beside the file, its .debug folder, then the system's.
constexpr std::string_view kSystemDebugPath = ":.debug:/usr/lib/debug";

std::string demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || readable == nullptr) return name;
  std::string text(readable);
  std::free(readable);
  return text;
}

const char* stringAttribute(Dwarf_Die* die, unsigned int name) {
  Dwarf_Attribute attribute;
  return dwarf_formstring(dwarf_attr_integrate(die, name, &attribute));
}

// The declaration a function DIE stands for: an inlined or out-of-line instance names its
// abstract origin, a member function's definition its declaration inside the class.
Dwarf_Die declarationOf(Dwarf_Die* die) {
  Dwarf_Die current = *die;
  for (const unsigned int link : {DW_AT_abstract_origin, DW_AT_specification}) {
    Dwarf_Attribute attribute;
    Dwarf_Die target;
    if (dwarf_attr(&current, link, &attribute) != nullptr &&
        dwarf_formref_die(&attribute, &target) != nullptr) {
      current = target;
    }
  }
  return current;
}

bool isNamingScope(int tag) {
  return tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type ||
         tag == DW_TAG_union_type;
}

// "ns::Class::name" from the enclosing scopes, for functions the compiler gave no linkage name
// (internal linkage, such as anything in an anonymous namespace).
std::string qualifiedName(Dwarf_Die* die) {
  const char* name = dwarf_diename(die);
  if (name == nullptr) return {};
  Dwarf_Die declaration = declarationOf(die);
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes_die(&declaration, &scopes);
  std::string qualified;
  for (int i = count - 1; i > 0; --i) {
    if (!isNamingScope(dwarf_tag(&scopes[i]))) continue;
    const char* scope = dwarf_diename(&scopes[i]);
    qualified += scope != nullptr ? scope : "(anonymous namespace)";
    qualified += "::";
  }
  std::free(scopes);
  return qualified + name;
}

// The qualified, demangled name: from the linkage name when the compiler recorded one, else
// from the symbol table for the function that holds the address (it has no symbol when it
// was inlined), else from the enclosing scopes.
std::string functionName(Dwfl_Module* module, Dwarf_Addr address, Dwarf_Die* die) {
  for (const unsigned int attribute : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name}) {
    if (const char* linkage = stringAttribute(die, attribute)) return demangle(linkage);
  }
  if (dwarf_tag(die) == DW_TAG_subprogram) {
    GElf_Off offset = 0;
    GElf_Sym symbol;
    const char* name =
        dwfl_module_addrinfo(module, address, &offset, &symbol, nullptr, nullptr, nullptr);
    if (name != nullptr) return demangle(name);
  }
  return qualifiedName(die);
}

bool isFunction(int tag) { return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine; }

struct Location {
  std::string file;
  int line = 0;
};

// Where an inlined call was made, from its call-site attributes.
Location callSite(Dwarf_Die* cu, Dwarf_Die* inlined) {
  Location site;
  Dwarf_Attribute attribute;
  Dwarf_Word value = 0;
  if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_line, &attribute), &value) == 0) {
    site.line = static_cast<int>(value);
  }
  Dwarf_Files* files = nullptr;
  std::size_t count = 0;
  if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_file, &attribute), &value) == 0 &&
      dwarf_getsrcfiles(cu, &files, &count) == 0 && value < count) {
    if (const char* file = dwarf_filesrc(files, value, nullptr, nullptr)) site.file = file;
  }
  return site;
}

Location lineAt(Dwfl_Module* module, Dwarf_Addr address) {
  Location location;
  Dwfl_Line* line = dwfl_module_getsrc(module, address);
  if (line == nullptr) return location;
  int number = 0;
  if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
    location.file = file;
    location.line = number;
  }
  return location;
}

// The innermost function DIE among `scopes`, skipping the first `from`.
bool firstFunction(Dwarf_Die* scopes, int count, int from, Dwarf_Die& function) {
  for (int i = from; i < count; ++i) {
    if (isFunction(dwarf_tag(&scopes[i]))) {
      function = scopes[i];
      return true;
    }
  }
  return false;
}

// The address's function and the functions inlined into it, innermost first.
std::vector<SourceFrame> fromScopes(Dwfl_Module* module, Dwarf_Addr address) {
  std::vector<SourceFrame> frames;
  Dwarf_Addr bias = 0;
  Dwarf_Die* cu = dwfl_module_addrdie(module, address, &bias);
  if (cu == nullptr) return frames;
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes(cu, address - bias, &scopes);
  Dwarf_Die function;
  bool found = firstFunction(scopes, count, 0, function);
  std::free(scopes);
  Location location = lineAt(module, address);
  while (found) {
    const int tag = dwarf_tag(&function);
    frames.push_back({functionName(module, address, &function), location.file, location.line,
                      tag == DW_TAG_inlined_subroutine});
    if (tag != DW_TAG_inlined_subroutine) break;
    location = callSite(cu, &function);
    // Past an inlined call, the scopes above it in the concrete tree lead to its caller (the
    // list dwarf_getscopes gave continues in the inlined function's abstract definition).
    Dwarf_Die* outer = nullptr;
    const int outerCount = dwarf_getscopes_die(&function, &outer);
    found = firstFunction(outer, outerCount, 1, function);
    std::free(outer);
  }
  return frames;
}

// Without DWARF for the address: the symbol table's name, and a line if there is one.
std::vector<SourceFrame> fromSymbols(Dwfl_Module* module, Dwarf_Addr address) {
  GElf_Off offset = 0;
  GElf_Sym symbol;
  const char* name =
      dwfl_module_addrinfo(module, address, &offset, &symbol, nullptr, nullptr, nullptr);
  const Location location = lineAt(module, address);
  if (name == nullptr && location.file.empty()) return {};
  return {SourceFrame{demangle(name), location.file, location.line, false}};
}

}  // namespace

std::string buildUuidText(const std::vector<std::uint8_t>& buildId) {
  if (buildId.size() < kUuidBytes) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < kUuidBytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[buildId[i] >> 4];
    text += kHex[buildId[i] & 0x0F];
  }
  return text;
}

struct ElfImage::State {
  std::string path;
  std::string debugPath;  // libdwfl keeps a pointer to it
  char* debugPathPointer = nullptr;
  Dwfl_Callbacks callbacks{};
  Dwfl* dwfl = nullptr;
  Dwfl_Module* module = nullptr;
  std::vector<std::uint8_t> buildId;
  std::uint64_t textStart = 0;
  std::uint64_t textEnd = 0;

  ~State() {
    if (dwfl != nullptr) dwfl_end(dwfl);
  }
};

namespace {

// The same range the library computes at run time, in link-time addresses.
void readTextRange(Dwfl_Module* module, std::uint64_t& start, std::uint64_t& end) {
  GElf_Addr bias = 0;
  Elf* elf = dwfl_module_getelf(module, &bias);
  std::size_t count = 0;
  if (elf == nullptr || elf_getphdrnum(elf, &count) != 0) return;
  bool haveLoad = false;
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr header;
    if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) continue;
    if (header.p_type != PT_LOAD) continue;
    if (!haveLoad || header.p_vaddr < start) start = header.p_vaddr;
    haveLoad = true;
    if ((header.p_flags & PF_X) != 0) end = std::max(end, header.p_vaddr + header.p_memsz);
  }
}

}  // namespace

std::unique_ptr<ElfImage> ElfImage::open(const std::string& path,
                                         const std::vector<std::string>& debugDirs,
                                         std::string& error) {
  auto state = std::make_unique<State>();
  state->path = path;
  // libdwfl looks for DIR/.build-id/xx/rest.debug under every absolute folder of this list.
  for (const auto& dir : debugDirs) {
    std::error_code ignored;
    state->debugPath += std::filesystem::absolute(dir, ignored).string();
    state->debugPath += ':';
  }
  state->debugPath += kSystemDebugPath;
  state->debugPathPointer = state->debugPath.data();
  state->callbacks.find_elf = dwfl_build_id_find_elf;
  state->callbacks.find_debuginfo = dwfl_standard_find_debuginfo;
  state->callbacks.section_address = dwfl_offline_section_address;
  state->callbacks.debuginfo_path = &state->debugPathPointer;

  state->dwfl = dwfl_begin(&state->callbacks);
  if (state->dwfl == nullptr) {
    error = dwfl_errmsg(-1);
    return nullptr;
  }
  // Base 0: a position-independent program then sits at its link-time addresses, which is
  // what reports hold once the load bias is taken off.
  state->module = dwfl_report_elf(state->dwfl, path.c_str(), path.c_str(), -1, 0, true);
  if (state->module == nullptr || dwfl_report_end(state->dwfl, nullptr, nullptr) != 0) {
    error = path + ": " + dwfl_errmsg(-1);
    return nullptr;
  }
  const unsigned char* bits = nullptr;
  GElf_Addr noteAddress = 0;
  const int length = dwfl_module_build_id(state->module, &bits, &noteAddress);
  if (length > 0) state->buildId.assign(bits, bits + length);
  readTextRange(state->module, state->textStart, state->textEnd);
  return std::unique_ptr<ElfImage>(new ElfImage(std::move(state)));
}

ElfImage::ElfImage(std::unique_ptr<State> state) : state_(std::move(state)) {}
ElfImage::~ElfImage() = default;

const std::string& ElfImage::path() const { return state_->path; }
const std::vector<std::uint8_t>& ElfImage::buildId() const { return state_->buildId; }

std::string ElfImage::buildIdHex() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : state_->buildId) (text += kHex[byte >> 4]) += kHex[byte & 0x0F];
  return text;
}

bool ElfImage::containsText(std::uint64_t address) const {
  return state_->textStart <= address && address < state_->textEnd;
}

std::uint64_t ElfImage::loadStart() const { return state_->textStart; }

bool ElfImage::isSignalReturn(std::uint64_t address) const {
  // x86-64: mov $15 (rt_sigreturn), %rax; syscall.
  static constexpr unsigned char kSigreturn[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00,
                                                 0x00, 0x00, 0x0f, 0x05};
  GElf_Addr bias = 0;
  Elf* elf = dwfl_module_getelf(state_->module, &bias);
  std::size_t count = 0;
  std::size_t fileSize = 0;
  const char* file = elf != nullptr ? elf_rawfile(elf, &fileSize) : nullptr;
  if (file == nullptr || elf_getphdrnum(elf, &count) != 0) return false;
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr header;
    if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) continue;
    if (header.p_type != PT_LOAD || address < header.p_vaddr ||
        address - header.p_vaddr + sizeof kSigreturn > header.p_filesz) {
      continue;
    }
    const std::uint64_t offset = header.p_offset + (address - header.p_vaddr);
    return offset + sizeof kSigreturn <= fileSize &&
           std::memcmp(file + offset, kSigreturn, sizeof kSigreturn) == 0;
  }
  return false;
}

std::vector<SourceFrame> ElfImage::resolve(std::uint64_t address) const {
  auto frames = fromScopes(state_->module, address);
  if (frames.empty()) frames = fromSymbols(state_->module, address);
  return frames;
}

}  // namespace quillstone::symbolicate
