#include "crash/exception_handler.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

#include "base/text.hpp"
#include "crash/capture_switch.hpp"
#include "crash/crash_dir.hpp"
#include "crash/crash_files.hpp"
#include "crash/crash_slot.hpp"
#include "crash/image_list.hpp"
#include "crash/stack_format.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"

namespace quillstone::crash {
namespace {

std::atomic<CrashContextProvider> contextProvider{nullptr};
// The terminate handler installed before the library's, never the library's own.
std::atomic<std::terminate_handler> previousTerminate{nullptr};

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> readable(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return status == 0 && readable ? std::string(readable.get()) : std::string(mangled);
}

std::string activeExceptionName() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  return type != nullptr ? demangle(type->name()) : std::string();
}

// what() of a std::exception, "" for anything else.
std::string reasonOf(const std::exception_ptr& exception) {
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return {};
}

void recordActiveException(const std::exception_ptr& exception, std::uint64_t handlerReturn) {
  const CrashContextProvider provider = contextProvider.load();
  if (provider == nullptr) return;
  // An exception that found no handler has not unwound: below this handler and the runtime's
  // terminate machinery lies the throwing stack.
  const auto frames = throwingFrames(currentReturnAddresses(), handlerReturn);
  persist(kCrashKind, kCrashLevel, activeExceptionName(), reasonOf(exception), normalize(frames),
          kExceptionFileName, provider(), imageListJson(frames));
}

[[noreturn]] void terminateHandler() noexcept {
  // Only the first exception of the process is recorded; one that escapes on another thread
  // meanwhile aborts, and the signal handler lets the first record finish.
  static std::atomic<bool> entered{false};
  // Where the runtime called this handler: the frames above it are the library's own.
  const auto handlerReturn = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const std::exception_ptr exception = std::current_exception();
  if (exception && crashFilesEnabled() && !entered.exchange(true)) {
    CrashSlot& slot = crashSlot();
    // First, so that even a failure below leaves no signal file for the coming abort.
    slot.markExceptionSeen(::gettid());
    try {
      recordActiveException(exception, handlerReturn);
    } catch (...) {
    }
    slot.markExceptionRecorded();
  }
  // The host's handler ends the process as it would have without the library (the runtime's
  // default one prints the exception and aborts); abort in case it returns.
  if (const std::terminate_handler previous = previousTerminate.load()) previous();
  std::abort();
}

}  // namespace

void installExceptionHandler(CrashContextProvider provider) {
  contextProvider.store(provider);
  const std::terminate_handler previous = std::set_terminate(terminateHandler);
  if (previous != terminateHandler) previousTerminate.store(previous);
}

bool persist(std::string_view kind, std::string_view level, std::string_view name,
             std::string_view message, std::string_view stack, std::string_view file,
             const CrashContext& context, std::string_view images) {
  nlohmann::json data = {
      {"kind", base::sanitizeUtf8(kind)},      {"level", base::sanitizeUtf8(level)},
      {"name", base::sanitizeUtf8(name)},      {"message", base::sanitizeUtf8(message)},
      {"stack", base::sanitizeUtf8(stack)},    {"path", base::sanitizeUtf8(context.page)},
      {"extra", {{"device", context.device}}}, {"breadcrumbs", context.breadcrumbs},
  };
  if (!images.empty()) {
    auto list = nlohmann::json::parse(images, nullptr, /*allow_exceptions=*/false);
    if (list.is_array()) data["images"] = std::move(list);
  }
  std::optional<std::string> dataText;
  try {
    dataText = report::serialize(data);
  } catch (...) {
  }
  if (!dataText) {
    // A breadcrumb value without a JSON form must not cost the crash report: write it with
    // such values as null and bad text replaced.
    dataText = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  const report::EnvelopeContext envelope{
      base::sanitizeUtf8(context.envelope.appId), base::sanitizeUtf8(context.envelope.installId),
      base::sanitizeUtf8(context.envelope.sessionId), base::sanitizeUtf8(context.envelope.release)};
  const std::string text = report::errorEnvelope(envelope, base::sanitizeUtf8(context.userId),
                                                 base::sanitizeUtf8(context.imageUUID),
                                                 platform::nowMillis(), *dataText);
  // Replaced as a whole, so a process killed during the write leaves the earlier file intact.
  const std::string path = crashDirectory() + "/" + std::string(file);
  if (platform::writeFileAtomically(path, text, kCrashFileMode)) return true;
  // No room or no descriptor for a new file: the reservation made while the process was healthy.
  return crashReserve().writeWhole(path, text, kCrashFileMode);
}

}  // namespace quillstone::crash
