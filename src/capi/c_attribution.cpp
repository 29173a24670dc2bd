// The C forms of install attribution. The answer reaches the C callback as a struct that points
// into the C++ result, valid for the callback's duration.
#include <functional>
#include <string>
#include <vector>

#include "capi/c_text.hpp"
#include "quillstone/attribution.hpp"
#include "quillstone/quillstone.h"
#include "quillstone/quillstone.hpp"

using quillstone::Attribution;
using quillstone::Quillstone;
using quillstone::capi::hostCopy;
using quillstone::capi::optionalText;
using quillstone::capi::text;

namespace {

void answer(const Attribution::Result& result, quillstone_attribution_callback_t callback,
            void* userData) {
  std::vector<quillstone_property_t> params;
  try {
    params.reserve(result.params().size());
    for (const auto& [key, value] : result.params()) params.push_back({key.c_str(), value.c_str()});
  } catch (...) {
    // The callback still runs once, without the parameters there was no room for.
    params.clear();
  }
  const quillstone_attribution_result_t view{result.matched() ? 1 : 0,
                                             result.channel().c_str(),
                                             result.channelName().c_str(),
                                             result.method().c_str(),
                                             params.empty() ? nullptr : params.data(),
                                             params.size()};
  callback(&view, userData);
}

}  // namespace

extern "C" {

void quillstone_attribution_start(const char* app_id, const char* server,
                                  quillstone_attribution_callback_t callback, void* user_data) {
  try {
    std::function<void(const Attribution::Result&)> onResult;
    if (callback) {
      onResult = [callback, user_data](const Attribution::Result& result) {
        answer(result, callback, user_data);
      };
    }
    Attribution::shared().start(std::string(text(app_id)),
                                Quillstone::resolveServer(optionalText(server)),
                                std::move(onResult));
  } catch (...) {
    // Only the copy of the application id can fail; nothing was started.
  }
}

int quillstone_attribution_handle(const char* url) {
  if (!url) return 0;
  const auto parsed = quillstone::Url::parse(url);
  return parsed && Attribution::shared().handle(*parsed) ? 1 : 0;
}

char* quillstone_attribution_device_id(void) { return hostCopy(Attribution::shared().deviceId()); }

}  // extern "C"
