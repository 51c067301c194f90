#include <gtest/gtest.h>

#include "DriverPin.h"
#include "platform/Dispatcher.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSTREVAN_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTREVAN_LEAK_CHECKED 1
#endif
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The test runner's thread pumps the dispatcher where a test needs the main thread.
  Platform::SetMainThreadToCurrent();
#ifdef OSTREVAN_LEAK_CHECKED
  // The GL driver that SDL loads and unloads stays, so that the leak check at exit can
  // still name what it holds.
  DriverPin::PinGraphicsDriver();
#endif
  return RUN_ALL_TESTS();
}
