// The unit tests' entry: GoogleTest, with the platform told of the arguments
// where it keeps them itself.
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
  platform_keep_arguments(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
