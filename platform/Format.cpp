#include "platform/Format.h"

#include <cstdio>
#include <unistd.h>
#include <sys/syscall.h>

#include "platform/Exception.h"
#include "platform/Types.h"

namespace Platform {

std::string FormatV(const char* AFormat, va_list AArgs) {
  char small[256];
  va_list copy;
  va_copy(copy, AArgs);
  int n = std::vsnprintf(small, sizeof small, AFormat, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string result(static_cast<size_t>(n), '\0');
  va_copy(copy, AArgs);
  std::vsnprintf(result.data(), result.size() + 1, AFormat, copy);
  va_end(copy);
  return result;
}

std::string Format(const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  std::string result = FormatV(AFormat, args);
  va_end(args);
  return result;
}

std::string AssertionText(const char* AUnit, int ALine, const std::string& AReason) {
  std::string text = Format("Assertion failure (%s, line %d)", AUnit, ALine);
  if (!AReason.empty()) text += ": " + AReason;
  return text;
}

void AssertionFailure(const char* AUnit, int ALine, const std::string& AReason) {
  throw EAssertionFailed(AssertionText(AUnit, ALine, AReason));
}

TThreadID GetCurrentThreadId() {
  thread_local const TThreadID id = static_cast<TThreadID>(::syscall(SYS_gettid));
  return id;
}

}  // namespace Platform
