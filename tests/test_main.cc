// Test entry point: binds the stand-in runtime before any test runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "cuda/runtime.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH});
  if (!rt) {
    std::fprintf(stderr, "cannot load the stand-in runtime: %s\n", rt.error().c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}
