#include "symbolicator.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "quillstone/quillstone.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"

namespace quillstone::testing {
namespace {

namespace sym = quillstone::symbolicate;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr char kCrasher[] = QS_CRASHER_PATH;
constexpr char kCrasherSource[] = QS_CRASHER_SOURCE;
constexpr char kCrashLibrary[] = QS_CRASH_LIBRARY_PATH;
constexpr char kCrashLibrarySource[] = QS_CRASH_LIBRARY_SOURCE;

std::string readText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The line of the crasher's source (or another) that carries `marker`, counted from 1.
int sourceLine(std::string_view marker, const char* source = kCrasherSource) {
  std::ifstream file(source);
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.find(marker) != std::string::npos) return number;
  }
  return -1;
}

// Runs the crasher in `mode` (with `argument`, when given) under the current (temporary) home
// and returns the crash file it left, "" when there is none.
std::string crashCrasher(const char* mode, int expectedSignal, std::string_view fileName,
                         const char* argument = nullptr) {
  const ChildResult child = runInChild([mode, argument] {
    ::execl(kCrasher, kCrasher, mode, argument, static_cast<char*>(nullptr));
    ::_exit(127);
  });
  EXPECT_TRUE(child.signaled) << child.describe();
  EXPECT_EQ(child.signal, expectedSignal) << child.describe();
  const char* home = std::getenv("HOME");
  return readText(std::string(home) + "/.cache/symbolicate_crasher/quillstone/" +
                  std::string(fileName));
}

std::unique_ptr<sym::ElfImage> openImage(const std::string& path,
                                         const std::vector<std::string>& debugDirs = {}) {
  std::string error;
  auto image = sym::ElfImage::open(path, debugDirs, error);
  EXPECT_NE(image, nullptr) << error;
  return image;
}

sym::Symbolication symbolicateFile(const std::string& text, const sym::ElfImage& image) {
  auto parsed = sym::parseReport(text);
  EXPECT_TRUE(parsed.report.has_value()) << parsed.error << "\n" << text;
  if (!parsed.report) return {};
  std::string error;
  EXPECT_EQ(sym::matchImage(parsed.report->imageUUID, {&image}, error), &image) << error;
  return sym::symbolicate(std::move(*parsed.report), image);
}

// Crashes the crasher in `mode` and symbolicates the file it left against its own image; no
// frames when either step failed (the failure is reported).
sym::Symbolication symbolicatedCrash(const char* mode, int expectedSignal,
                                     std::string_view fileName) {
  const std::string file = crashCrasher(mode, expectedSignal, fileName);
  const auto image = openImage(kCrasher);
  if (!image) return {};
  auto result = symbolicateFile(file, *image);
  EXPECT_FALSE(result.frames.empty()) << file;
  return result;
}

// The first frame of the program whose outermost function is `function`.
const sym::SymbolicatedFrame* frameOf(const sym::Symbolication& result, std::string_view function) {
  for (const auto& frame : result.frames) {
    if (!frame.symbols.empty() && frame.symbols.back().function == function) return &frame;
  }
  return nullptr;
}

TEST(SymbolicateCrash, ASignalCrashNamesTheFaultingFunctionItsLineAndItsCallers) {
  TempHome home;
  const auto result = symbolicatedCrash("segv", SIGSEGV, "crash-signal.json");
  ASSERT_FALSE(result.frames.empty());

  // The interrupted instruction comes first and is looked up exactly.
  const auto& top = result.frames.front();
  ASSERT_TRUE(top.inImage) << top.text;
  ASSERT_EQ(top.symbols.size(), 1u) << top.text;
  EXPECT_EQ(top.symbols[0].function, "crasher::segvInNamedFunction()");
  EXPECT_THAT(top.symbols[0].file, EndsWith("symbolicate/crasher.cpp"));
  EXPECT_EQ(top.symbols[0].line, sourceLine("// the segv line"));
  EXPECT_NE(frameOf(result, "main"), nullptr) << sym::renderText(result);

  // Other libraries' frames keep the line the handler wrote; without their files they name
  // their image from the list and the address in it.
  bool sawForeign = false;
  for (const auto& frame : result.frames) {
    if (!frame.frame || frame.frame->image != sym::kUnknownImage) continue;
    sawForeign = true;
    EXPECT_FALSE(frame.inImage);
    ASSERT_TRUE(frame.otherImage.has_value()) << frame.text;
    const auto image = std::filesystem::path(result.report.images[*frame.otherImage].path);
    EXPECT_THAT(sym::renderText(result),
                HasSubstr(frame.text + "   " + image.filename().string() + " +0x"));
  }
  EXPECT_TRUE(sawForeign) << sym::renderText(result);
}

TEST(SymbolicateCrash, TheInterruptedInstructionIsLookedUpExactlyEvenAtAFunctionsFirstByte) {
  TempHome home;
  const auto result = symbolicatedCrash("trap-at-entry", SIGILL, "crash-signal.json");
  ASSERT_FALSE(result.frames.empty());
  // Written first, and met again in the backtrace right after the signal frame.
  int seen = 0;
  for (const auto& frame : result.frames) {
    if (!frame.frame || frame.frame->address != result.frames.front().frame->address) continue;
    ++seen;
    ASSERT_FALSE(frame.symbols.empty()) << frame.text;
    EXPECT_EQ(frame.symbols[0].function, "crasher::trapAtEntry()") << frame.text;
    EXPECT_EQ(frame.symbols[0].line, sourceLine("// the trap line"));
  }
  EXPECT_EQ(seen, 2) << sym::renderText(result);
}

TEST(SymbolicateCrash, AnInlinedFunctionIsListedAboveTheFunctionItWasInlinedInto) {
  TempHome home;
  const auto result = symbolicatedCrash("inlined-segv", SIGSEGV, "crash-signal.json");
  ASSERT_FALSE(result.frames.empty());

  const auto& symbols = result.frames.front().symbols;
  ASSERT_EQ(symbols.size(), 2u) << sym::renderText(result);
  EXPECT_EQ(symbols[0].function, "crasher::storeThrough(int volatile*)");
  EXPECT_TRUE(symbols[0].inlined);
  EXPECT_EQ(symbols[0].line, sourceLine("// the inlined segv line"));
  EXPECT_EQ(symbols[1].function, "crasher::segvThroughInlinedHelper()");
  EXPECT_FALSE(symbols[1].inlined);
  EXPECT_EQ(symbols[1].line, sourceLine("// the inlined call line"));
  EXPECT_THAT(symbols[1].file, EndsWith("symbolicate/crasher.cpp"));
  EXPECT_THAT(sym::renderText(result), HasSubstr("crasher::storeThrough(int volatile*) at "));
}

TEST(SymbolicateCrash, AnUncaughtExceptionNamesTheThrowingFunctionAtItsThrowLine) {
  TempHome home;
  const auto result = symbolicatedCrash("throw", SIGABRT, "crash-exception.json");
  ASSERT_FALSE(result.frames.empty());

  // The stack begins where the exception was thrown: none of the terminate handler's frames
  // nor the runtime's terminate and throw machinery come before it.
  const auto& top = result.frames.front();
  ASSERT_FALSE(top.symbols.empty()) << sym::renderText(result);
  EXPECT_EQ(top.symbols.back().function, "crasher::throwRuntimeError(char const*)")
      << sym::renderText(result);
  EXPECT_EQ(top.symbols.back().line, sourceLine("// the runtime error line"));

  // The call to the runtime's throw never returns, so its return address may already lie in
  // the next function; only a lookup just before it names the thrower.
  const auto* thrower = frameOf(result, "crasher::throwFromNamedFunction()");
  ASSERT_NE(thrower, nullptr) << sym::renderText(result);
  EXPECT_THAT(thrower->symbols.back().file, EndsWith("symbolicate/crasher.cpp"));
  EXPECT_EQ(thrower->symbols.back().line, sourceLine("// the throw line"));
  EXPECT_NE(frameOf(result, "main"), nullptr);
  // The C library's frames that called main carry the program's name but lie outside it.
  EXPECT_TRUE(std::any_of(result.frames.begin(), result.frames.end(), [](const auto& frame) {
    return frame.frame && !frame.inImage;
  })) << sym::renderText(result);
}

TEST(SymbolicateCrash, AFrameInALibraryLoadedAfterStartIsResolvedThroughTheImageList) {
  TempHome home;
  const std::string file =
      crashCrasher("library-segv", SIGSEGV, "crash-signal.json", kCrashLibrary);
  const auto parsed = sym::parseReport(file);
  ASSERT_TRUE(parsed.report.has_value()) << parsed.error << "\n" << file;
  const sym::Report& report = *parsed.report;
  const auto crasher = openImage(kCrasher);
  const auto library = openImage(kCrashLibrary);
  ASSERT_NE(crasher, nullptr);
  ASSERT_NE(library, nullptr);

  // The main program first, then the library with its path and whole build-id.
  ASSERT_GE(report.images.size(), 2u) << file;
  EXPECT_TRUE(std::filesystem::equivalent(report.images[0].path, kCrasher)) << file;
  EXPECT_EQ(report.images[0].buildId, crasher->buildIdHex());
  const auto listed = std::find_if(report.images.begin(), report.images.end(),
                                   [](const auto& image) { return image.path == kCrashLibrary; });
  ASSERT_NE(listed, report.images.end()) << file;
  EXPECT_EQ(listed->buildId, library->buildIdHex());

  std::vector<std::unique_ptr<sym::ElfImage>> opened;
  for (const auto& offered : {std::vector<const sym::ElfImage*>{crasher.get(), library.get()},
                              // Without the file offered, the recorded path has the same build.
                              std::vector<const sym::ElfImage*>{crasher.get()}}) {
    const auto files = sym::findImageFiles(report, offered, {}, opened);
    const auto result = sym::symbolicate(report, *crasher, files);
    const auto inLibrary =
        std::find_if(result.frames.begin(), result.frames.end(), [&](const auto& frame) {
          return frame.otherImage && result.report.images[*frame.otherImage].path == kCrashLibrary;
        });
    ASSERT_NE(inLibrary, result.frames.end()) << sym::renderText(result);
    ASSERT_FALSE(inLibrary->symbols.empty()) << sym::renderText(result);
    EXPECT_EQ(inLibrary->symbols[0].function, "crashlib::segvInLibrary()")
        << sym::renderText(result);
    EXPECT_THAT(inLibrary->symbols[0].file, EndsWith("symbolicate/crash_library.cpp"));
    EXPECT_EQ(inLibrary->symbols[0].line,
              sourceLine("// the library segv line", kCrashLibrarySource));
  }
}

TEST(SymbolicateCrash, AStrippedProgramFindsItsSeparateDebugFileByBuildId) {
  TempHome home;
  const std::string file = crashCrasher("segv", SIGSEGV, "crash-signal.json");
  const std::string stripped = std::string(kCrasher) + ".stripped";
  const auto full = openImage(kCrasher);
  ASSERT_NE(full, nullptr);

  // Without its debug file the stripped program cannot name the function.
  const auto bare = openImage(stripped);
  ASSERT_NE(bare, nullptr);
  const auto unnamed = symbolicateFile(file, *bare);
  ASSERT_FALSE(unnamed.frames.empty());
  EXPECT_TRUE(unnamed.frames.front().symbols.empty() ||
              unnamed.frames.front().symbols[0].function != "crasher::segvInNamedFunction()");

  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (const auto byte : full->buildId()) (id += kHex[byte >> 4]) += kHex[byte & 0xF];
  ASSERT_GT(id.size(), 2u);
  const auto folder = std::filesystem::path(home.path()) / "debug" / ".build-id" / id.substr(0, 2);
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(std::string(kCrasher) + ".debug", folder / (id.substr(2) + ".debug"));
  const std::string debugDir = home.path() + "/debug";

  const auto withDebug = openImage(stripped, {debugDir});
  ASSERT_NE(withDebug, nullptr);
  const auto result = symbolicateFile(file, *withDebug);
  ASSERT_FALSE(result.frames.empty());
  ASSERT_FALSE(result.frames.front().symbols.empty()) << sym::renderText(result);
  EXPECT_EQ(result.frames.front().symbols[0].function, "crasher::segvInNamedFunction()");
  EXPECT_EQ(result.frames.front().symbols[0].line, sourceLine("// the segv line"));

  // The report's sixteen bytes are enough to find that debug file without the program.
  EXPECT_EQ(sym::findDebugFile({debugDir}, sym::parseReport(file).report->imageUUID),
            (folder / (id.substr(2) + ".debug")).string());
  EXPECT_EQ(sym::findDebugFile({debugDir}, "00000000-0000-0000-0000-000000000000"), "");
}

TEST(SymbolicateCrash, AProgramOfAnotherBuildIsRefusedNamingBothIds) {
  TempHome home;
  const std::string file = crashCrasher("segv", SIGSEGV, "crash-signal.json");
  const auto report = sym::parseReport(file).report;
  ASSERT_TRUE(report.has_value());
  const auto crasher = openImage(kCrasher);
  const auto other = openImage("/proc/self/exe");
  ASSERT_NE(crasher, nullptr);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(other->buildUuid(), "");

  std::string error;
  EXPECT_EQ(sym::matchImage(report->imageUUID, {other.get()}, error), nullptr);
  EXPECT_THAT(error, HasSubstr(report->imageUUID));
  EXPECT_THAT(error, HasSubstr(other->buildUuid()));
  // Among several builds the matching one is chosen.
  EXPECT_EQ(sym::matchImage(report->imageUUID, {other.get(), crasher.get()}, error), crasher.get());
  // A report without an id matches nothing, not even a program without a build-id.
  EXPECT_EQ(sym::matchImage("", {other.get()}, error), nullptr);
  EXPECT_THAT(error, HasSubstr("no imageUUID"));
}

__attribute__((noinline)) void captureHandledError() {
  Quillstone::shared().capture("CheckoutFailed", "card declined", "");
}

TEST(SymbolicateReport, AHandledErrorReportNamesTheCallerOfCapture) {
  TempHome home;
  Collector collector;
  Quillstone::shared().start(Quillstone::Config("symbolicate-tests",
                                                Quillstone::resolveServer(collector.url()), "1.0",
                                                "test", false, false, false));
  captureHandledError();
  ASSERT_TRUE(collector.waitForRequests(1));
  const auto image = openImage("/proc/self/exe");
  ASSERT_NE(image, nullptr);
  const auto result = symbolicateFile(collector.requests().front().body, *image);
  EXPECT_EQ(result.report.name, "CheckoutFailed");
  const auto* caller =
      frameOf(result, "quillstone::testing::(anonymous namespace)::captureHandledError()");
  ASSERT_NE(caller, nullptr) << sym::renderText(result);
  EXPECT_THAT(caller->symbols.back().file, EndsWith("symbolicator_test.cpp"));
}

TEST(SymbolicateReport, LinesThatAreNoFramesOrLieOutsideTheProgramPassThroughUnchanged) {
  const auto image = openImage(kCrasher);
  ASSERT_NE(image, nullptr);
  sym::Report report;
  report.imageUUID = image->buildUuid();
  report.stack =
      "not a frame at all\n"
      "0   symbolicate_crasher   0x00007ffff7a2b4c0\n"
      "1   ???   0x7ff80001a2b4\n"
      "2   symbolicate_crasher   0xzz\n";
  const auto result = sym::symbolicate(report, *image);
  ASSERT_EQ(result.frames.size(), 4u);
  EXPECT_EQ(result.frameLines, 2u);
  for (const auto& frame : result.frames) EXPECT_FALSE(frame.inImage) << frame.text;
  const std::string text = sym::renderText(result);
  EXPECT_THAT(text, EndsWith("\n" + report.stack));

  const auto json = sym::renderJson(result);
  EXPECT_EQ(json["frames"][0], nlohmann::json({{"line", "not a frame at all"}}));
  EXPECT_EQ(json["frames"][2]["address"], "0x7ff80001a2b4");
  EXPECT_EQ(json["frames"][2]["inImage"], false);
}

}  // namespace
}  // namespace quillstone::testing
