#include "platform/loader.hpp"

#include <gtest/gtest.h>

#include "platform/bundle.hpp"

namespace quillstone::platform {
namespace {

int functionInTheMainProgram() { return 42; }

TEST(MainImage, DescribesTheRunningProgram) {
  const MainImage image = mainImage();
  EXPECT_EQ(image.name, executableName());
  const auto code = reinterpret_cast<std::uintptr_t>(&functionInTheMainProgram);
  EXPECT_LE(image.textStart, code);
  EXPECT_LT(code, image.textEnd);
  EXPECT_LE(image.slide, image.textStart);
  // The toolchain writes a SHA-1 build-id into everything that links the library.
  EXPECT_EQ(image.buildId.size(), 20u);
  EXPECT_EQ(functionInTheMainProgram(), 42);
}

}  // namespace
}  // namespace quillstone::platform
