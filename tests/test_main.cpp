#include <gtest/gtest.h>

#include "platform/Dispatcher.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The test runner's thread pumps the dispatcher where a test needs the main thread.
  Platform::SetMainThreadToCurrent();
  return RUN_ALL_TESTS();
}
