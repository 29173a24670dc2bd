// Where crash files wait for their upload.
#pragma once

#include <string>
#include <string_view>

namespace quillstone::crash {

// The private crash directory, <caches>/quillstone, created (0700) on every call. The path is
// returned even when the directory could not be created.
std::string crashDirectory();

// The crash directory's path, without creating it.
std::string crashDirectoryPath();

// Whether crash files can be written in `directory`: it is a writable directory, or it can be
// made. Makes nothing, so that a first start does not wait for the disk: the worker makes the
// directory, and a crash that comes before makes it itself.
bool crashDirectoryWritable(const std::string& directory);

// Said at start, followed by the directory, when crash files cannot be written there (a read-only
// home, say): crash capture stays off for the process.
constexpr std::string_view kLogCrashCaptureOff = "[qs] 无法创建崩溃目录,崩溃捕获已关闭 ";

}  // namespace quillstone::crash
