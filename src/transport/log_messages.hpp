// The library's console lines. Each is a prefix; the detail follows it.
#pragma once

#include <string_view>

namespace quillstone::transport {

constexpr std::string_view kLogNetworkFailure = "[qs] 网络失败 ";
// Failures after the first of a burst are only counted: "[qs] 网络失败又发生 <count> 次".
constexpr std::string_view kLogNetworkFailuresCountedPrefix = "[qs] 网络失败又发生 ";
constexpr std::string_view kLogNetworkFailuresCountedSuffix = " 次";
constexpr std::string_view kLogCrashUploaded = "[qs] 已上报并删除 ";
constexpr std::string_view kLogCrashUploadFailed = "[qs] 上报失败,留到下次 ";

}  // namespace quillstone::transport
