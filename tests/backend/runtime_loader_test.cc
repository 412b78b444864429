// Finding the runtime library: the search order and a failure message that
// lets a user see every place that was tried.
#include "cuda/runtime.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vesk {
namespace {

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(RuntimeLoaderTest, DefaultSearchPrefersThePrivateFolderAndVersion12) {
  auto c = default_runtime_candidates();
  ASSERT_EQ(c.size(), 7u);
  EXPECT_TRUE(ends_with(c[0], "/../vesk_native.libs/libcudart.so.12")) << c[0];
  EXPECT_TRUE(ends_with(c[1], "/../nvidia/cuda_runtime/lib/libcudart.so.12")) << c[1];
  EXPECT_EQ(c[2], "libcudart.so.12");
  EXPECT_TRUE(ends_with(c[3], "/../vesk_native.libs/libcudart.so.13")) << c[3];
  EXPECT_TRUE(ends_with(c[4], "/../nvidia/cuda_runtime/lib/libcudart.so.13")) << c[4];
  EXPECT_TRUE(ends_with(c[5], "/../nvidia/cu13/lib/libcudart.so.13")) << c[5];
  EXPECT_EQ(c[6], "libcudart.so.13");
  // $ORIGIN is the folder of this test binary.
  EXPECT_EQ(c[0].substr(0, c[0].find("/../")), c[3].substr(0, c[3].find("/../")));
}

TEST(RuntimeLoaderTest, AnExplicitChoiceReplacesTheSearch) {
  ::setenv("VESK_CUDA_RUNTIME", "/opt/cuda/lib64/libcudart.so.12", 1);
  auto chosen = default_runtime_candidates();
  ::setenv("VESK_CUDA_RUNTIME", "", 1);
  auto empty = default_runtime_candidates();
  ::unsetenv("VESK_CUDA_RUNTIME");
  EXPECT_EQ(chosen, std::vector<std::string>{"/opt/cuda/lib64/libcudart.so.12"});
  EXPECT_EQ(empty.size(), 7u);
}

TEST(RuntimeLoaderTest, FailureNamesEveryPlaceTried) {
  auto rt = open_cuda_runtime({"/nonexistent/a/libcudart.so.12", "libvesk-no-such-runtime.so.12", "libm.so.6"});
  ASSERT_FALSE(rt.has_value());
  const std::string& msg = rt.error();
  EXPECT_EQ(msg.rfind("cannot load the CUDA runtime; tried: /nonexistent/a/libcudart.so.12 (", 0), 0u) << msg;
  EXPECT_NE(msg.find("; libvesk-no-such-runtime.so.12 ("), std::string::npos) << msg;
  // A library that loads but lacks the calls is named with what it lacks.
  EXPECT_NE(msg.find("; libm.so.6 (missing cudaMallocHost: "), std::string::npos) << msg;

  auto none = open_cuda_runtime({});
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error(), "cannot load the CUDA runtime: no candidates given");
}

// The stand-in this binary was linked with and bound at start-up (either
// runtime major version).
std::string standin_path() { return cuda().loaded_from; }

TEST(RuntimeLoaderTest, OpensTheFirstCandidateThatWorks) {
  auto rt = open_cuda_runtime({"/nonexistent/libcudart.so.12", standin_path()});
  ASSERT_TRUE(rt.has_value()) << rt.error();
  EXPECT_EQ(rt->loaded_from, standin_path());
  EXPECT_NE(rt->cudaMemcpyAsync, nullptr);
  EXPECT_NE(rt->cudaGetLastError, nullptr);
}

// The test binary already has the stand-in loaded (as libcudart.so.12 or
// .13), as
// a serving framework would have its own runtime. A candidate that would
// load a second copy loses to it, wherever it stands in the list.
TEST(RuntimeLoaderTest, ARuntimeAlreadyLoadedWins) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vesk-loader-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path copy = dir / fs::path(standin_path()).filename();
  fs::copy_file(standin_path(), copy, fs::copy_options::overwrite_existing);

  auto rt = open_cuda_runtime({copy.string(), "libcudart.so.13", "libcudart.so.12"});
  ASSERT_TRUE(rt.has_value()) << rt.error();
  EXPECT_TRUE(fs::equivalent(rt->loaded_from, standin_path())) << rt->loaded_from;
  // The very instance the process uses: the same functions.
  EXPECT_EQ(reinterpret_cast<void*>(rt->cudaGetLastError), reinterpret_cast<void*>(cuda().cudaGetLastError));

  // With nothing of the list loaded, the search loads as before.
  auto fresh = open_cuda_runtime({"/nonexistent/libcudart.so.12", copy.string()});
  ASSERT_TRUE(fresh.has_value()) << fresh.error();
  EXPECT_EQ(fresh->loaded_from, copy.string());
  fs::remove_all(dir);
}

TEST(RuntimeLoaderTest, BindingHappensOnce) {
  // The test entry point bound the stand-in; later loads keep it, even
  // with candidates that would fail.
  auto again = load_cuda_runtime({"/nonexistent/libcudart.so.12"});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, &cuda());
  auto defaults = load_cuda_runtime();
  ASSERT_TRUE(defaults.has_value());
  EXPECT_EQ(*defaults, &cuda());
}

}  // namespace
}  // namespace vesk
