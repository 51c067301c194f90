// What the tests of the handler contract (runtime/MyUtils.h, "Handlers") share.
#pragma once
#include <string>

namespace HandlerTestSupport {

// The pattern (for EXPECT_DEATH) of the one text that refuses to free an object from its
// own AHandler, checked by AUnit at ALine.
inline std::string RefusedFree(const std::string& AUnit, int ALine, const std::string& AHandler) {
  return "Assertion failure \\(" + AUnit + ", line " + std::to_string(ALine) +
         "\\): an object cannot be freed from its own " + AHandler +
         ": that handler runs on a thread of the object, which goes on only once the handler "
         "has returned\\.";
}

}  // namespace HandlerTestSupport
