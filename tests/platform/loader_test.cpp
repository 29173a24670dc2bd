#include "platform/loader.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

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

TEST(ImagesHolding, ListsAnImageLoadedAfterAnEarlierLookUp) {
  const auto inLibc = reinterpret_cast<std::uintptr_t>(&std::abort);
  ASSERT_EQ(imagesHolding(std::vector<std::uint64_t>{inLibc}).size(), 2u);
  // A library the test program does not link: loaded only now, after the list was read.
  void* library = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto inLibrary = reinterpret_cast<std::uintptr_t>(dlsym(library, "crypt"));
  ASSERT_NE(inLibrary, 0u);
  const auto images = imagesHolding(std::vector<std::uint64_t>{inLibrary, inLibc});
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0]->path, executablePath());
  // The loader's order: libc was loaded with the program, the library after it.
  EXPECT_NE(images[1]->path.find("libc.so"), std::string::npos) << images[1]->path;
  EXPECT_NE(images[2]->path.find("libcrypt.so.1"), std::string::npos) << images[2]->path;
  EXPECT_EQ(images[2]->buildId.size(), 20u);
  EXPECT_LE(images[2]->textStart, inLibrary);
  EXPECT_LT(inLibrary, images[2]->textEnd);
}

// However many addresses a stack has and in whatever order, each image that holds one is listed
// once, in the loader's order: a short stack and one of hundreds of frames alike.
TEST(ImagesHolding, ListsEachImageOnceWhateverTheOrderAndNumberOfAddresses) {
  const auto inLibc = reinterpret_cast<std::uintptr_t>(&std::abort);
  const auto inProgram = reinterpret_cast<std::uintptr_t>(&functionInTheMainProgram);
  const auto inRuntime = reinterpret_cast<std::uintptr_t>(&std::terminate);
  for (const std::size_t frames : {3u, 500u}) {
    SCOPED_TRACE(frames);
    std::vector<std::uint64_t> addresses(frames, inProgram);
    addresses.front() = inLibc;
    addresses.back() = inRuntime;
    const auto images = imagesHolding(addresses);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0]->path, executablePath());
    const std::string others = images[1]->path + " " + images[2]->path;
    EXPECT_NE(others.find("libc.so"), std::string::npos) << others;
    EXPECT_NE(others.find("libstdc++.so"), std::string::npos) << others;
  }
}

}  // namespace
}  // namespace quillstone::platform
