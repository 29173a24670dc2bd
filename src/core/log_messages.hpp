// The library's console lines. Each is a prefix; the detail follows it.
#pragma once

#include <string_view>

namespace quillstone::core {

constexpr std::string_view kLogNetworkFailure = "[qs] 网络失败 ";
constexpr std::string_view kLogCrashUploaded = "[qs] 已上报并删除 ";
constexpr std::string_view kLogCrashUploadFailed = "[qs] 上报失败,留到下次 ";
// The main program has no GNU build-id, so no stack of it can be symbolicated.
constexpr std::string_view kLogNoBuildId = "[qs] 主程序没有 build-id,堆栈无法符号化";

}  // namespace quillstone::core
