#include "platform/WideCRT.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/Unicode.h"

namespace Platform {

FILE* wfopen(const char16_t* APath, const char16_t* AMode) {
  std::string path, mode;
  if (!APath || !AMode || !Utf16ToUtf8(APath, path) || !Utf16ToUtf8(AMode, mode)) {
    errno = EILSEQ;
    return nullptr;
  }
  return std::fopen(path.c_str(), mode.c_str());
}

char16_t* wgetenv(const char16_t* AName) {
  thread_local std::u16string value;
  std::string name;
  if (!AName || !Utf16ToUtf8(AName, name)) return nullptr;
  const char* v = std::getenv(name.c_str());
  if (!v) return nullptr;
  value = Utf8ToUtf16Lenient(v);
  return value.data();
}

}  // namespace Platform
