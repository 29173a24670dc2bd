#include "client/reports.hpp"

#include <cmath>

#include "base/input_limits.hpp"
#include "base/json_text.hpp"
#include "base/text.hpp"
#include "crash/build_uuid.hpp"
#include "crash/image_list.hpp"
#include "crash/stack_format.hpp"
#include "device/device_info.hpp"
#include "device/install_id.hpp"
#include "platform/clock.hpp"
#include "report/breadcrumb_data.hpp"
#include "report/envelope.hpp"

namespace quillstone::client {
namespace {

constexpr std::string_view kEventType = "event";

// The envelope's members where they are held.
report::EnvelopeView envelopeView(const Quillstone::Config& config, const ClientState& state,
                                  std::string_view installId) {
  return {config.appId(), installId, state.sessionId(), config.release()};
}

}  // namespace

void Reports::track(std::string_view name, double value,
                    const std::optional<report::Properties>& props) {
  const auto config = state_.config();
  if (!config) return;               // nowhere to send it before start
  if (!delivery_.enabled()) return;  // the host turned reporting off
  if (!std::isfinite(value)) return;
  // Judged on the whole name, so a long run of spaces before the text still counts as a name.
  // An invalid byte is not blank, and neither is its replacement.
  if (base::isBlank(name)) return;
  std::string nameStorage;
  const std::string_view cleanName = base::sanitizedPrefix(name, base::kMaxNameBytes, nameStorage);
  const std::string path = state_.currentPage();
  const auto context = envelopeView(*config, state_, installId_.get());
  // A report is sent once; whether it arrived is not looked at.
  delivery_.post(config->server(),
                 report::eventReport(kEventType, context, platform::nowMillis(),
                                     {cleanName, value, props, path}),
                 nullptr);
}

void Reports::capture(std::string_view name, std::string_view message, std::string_view stack) {
  const auto config = state_.config();
  if (!config || !delivery_.enabled()) return;
  std::string stackStorage;
  std::string_view stackText;
  std::string stackJson;
  std::string images;
  if (stack.empty()) {
    const auto addresses = crash::currentReturnAddresses();
    // Written as JSON at once: a walked stack's lines need no escape but in the image's name.
    stackJson = crash::normalizeAsJson(addresses);
    images = crash::imageListJson(addresses);
  } else {
    stackText = base::sanitizedPrefix(stack, base::kMaxStackBytes, stackStorage);
  }
  const std::string path = state_.currentPage();
  const auto device = deviceInfo_.get(services_, config->release());
  std::string nameStorage;
  std::string messageStorage;
  const std::string_view cleanName = base::sanitizedPrefix(name, base::kMaxNameBytes, nameStorage);
  const std::string_view cleanMessage =
      base::sanitizedPrefix(message, base::kMaxMessageBytes, messageStorage);
  const auto context = envelopeView(*config, state_, installId_.get());
  delivery_.post(
      config->server(),
      report::errorReport(context, state_.userId(), crash::imageUUID(), platform::nowMillis(),
                          {cleanName,
                           cleanMessage,
                           stackText,
                           path,
                           *device,
                           {},
                           images,
                           [this](std::string& out) { state_.appendBreadcrumbsJson(out); },
                           stackJson}),
      nullptr);
}

void Reports::setUser(std::string_view userId) {
  // Cutting the bytes first keeps the same characters and spares cleaning a long text whole.
  state_.setUserId(base::graphemePrefix(base::sanitizedPrefix(userId, base::kMaxUserIdBytes),
                                        base::kMaxUserIdGraphemes));
}

void Reports::setPage(std::string_view page) {
  std::string cleanPage = base::sanitizedPrefix(page, base::kMaxPageBytes);
  // A page fits within the data limit even when every character takes an escape.
  std::string text(report::kBreadcrumbTextStart);
  text += "{\"to\":";
  base::appendJsonString(text, cleanPage);
  text += '}';
  state_.setCurrentPage(std::move(cleanPage));
  keepBreadcrumb(kRouteBreadcrumb, text);
}

bool Reports::addBreadcrumb(std::string_view type, std::string_view data) {
  // Reused by this thread's every breadcrumb, so the usual one costs no allocation. Nothing that
  // could call back into the host runs while it holds a text of use.
  thread_local std::string text;
  text.assign(report::kBreadcrumbTextStart);
  using Verdict = report::BreadcrumbData::Verdict;
  const Verdict verdict = report::appendBreadcrumbData(text, data);
  if (verdict == Verdict::notAnObject) {
    // Said, because the host's own code made the mistake and would otherwise never learn why its
    // breadcrumbs are missing.
    std::string line(kLogBreadcrumbNotAnObject);
    base::appendLoggedText(line, type);
    services_.log.write(line);
  }
  if (verdict != Verdict::kept) return false;
  keepBreadcrumb(type, text);
  return true;
}

void Reports::keepBreadcrumb(std::string_view type, std::string& text) {
  const std::int64_t t = platform::nowMillis();
  if (type.size() <= base::kMaxNameBytes && base::isValidUtf8(type)) {
    report::finishBreadcrumbText(text, t, type);
  } else {
    report::finishBreadcrumbText(text, t, base::sanitizedPrefix(type, base::kMaxNameBytes));
  }
  state_.appendBreadcrumb(text);
}

}  // namespace quillstone::client
