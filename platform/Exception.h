// The exception class of the system: an exception with a message text.
#pragma once
#include <stdexcept>
#include <string>

namespace Platform {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& AMessage) : std::runtime_error(AMessage) {}
  std::string Message() const { return what(); }
};

// A failed consistency check: a programming error, not a run-time result.
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

// The text of a failed check: "Assertion failure (<unit>, line <line>)", followed by
// ": <reason>" when a reason is given. Units pass their own name and a fixed line number
// so the text stays stable across edits.
std::string AssertionText(const char* AUnit, int ALine, const std::string& AReason = "");

// Raises EAssertionFailed with AssertionText(AUnit, ALine, AReason).
[[noreturn]] void AssertionFailure(const char* AUnit, int ALine, const std::string& AReason = "");

// Checks ACondition; fails with AssertionFailure(AUnit, ALine) when it is false.
inline void Check(bool ACondition, const char* AUnit, int ALine) {
  if (!ACondition) AssertionFailure(AUnit, ALine);
}

}  // namespace Platform
