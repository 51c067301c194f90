// Environment variables that a test changes (SDL's driver choices, for one), put back as
// they were when the test ends.
#pragma once
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace TestEnvironment {

// Notes the values (or the absence) of the named variables when made; sets each back, or
// removes it again, when destroyed. A fixture member: it outlives SetUp and TearDown.
class TSavedVariables {
 public:
  TSavedVariables(std::initializer_list<const char*> ANames) {
    for (const char* name : ANames) {
      const char* value = std::getenv(name);
      FSaved.push_back({name, value != nullptr, value ? value : ""});
    }
  }
  ~TSavedVariables() {
    for (const TVariable& v : FSaved) {
      if (v.Set)
        ::setenv(v.Name.c_str(), v.Value.c_str(), 1);
      else
        ::unsetenv(v.Name.c_str());
    }
  }
  TSavedVariables(const TSavedVariables&) = delete;
  TSavedVariables& operator=(const TSavedVariables&) = delete;

 private:
  struct TVariable {
    std::string Name;
    bool Set;
    std::string Value;
  };
  std::vector<TVariable> FSaved;
};

}  // namespace TestEnvironment
