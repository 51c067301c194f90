#include "runtime/MyUtils.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/Format.h"

namespace MyUtils {

namespace {
bool FileExists(const std::string& APath) {
  struct stat st;
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// PATH gets ADirectory in front unless it already lists it.
void PutDirectoryInPath(const std::string& ADirectory) {
  const char* old = std::getenv("PATH");
  const std::string path = old ? old : "";
  std::string dir = ADirectory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
    if (entry == dir) return;
    start = end + 1;
  }
  const std::string value = path.empty() ? ADirectory : ADirectory + ":" + path;
  ::setenv("PATH", value.c_str(), 1);
}
}  // namespace

HMODULE MyLoadLibrary(const std::string& ADirectory, const std::string& AFileName,
                      Cardinal& AErrorCode) {
  HMODULE handle;
  std::string full;
  if (!ADirectory.empty()) {
    full = ADirectory;
    if (full.back() != '/') full += '/';
    full += AFileName;
  }
  if (!full.empty() && FileExists(full)) {
    // A full path: the library's own dependencies come from its folder through its
    // run path, or from the libraries of that folder loaded before it.
    PutDirectoryInPath(ADirectory);
    handle = Platform::LoadLibrary(full);
  } else {
    handle = Platform::LoadLibrary(AFileName);
  }
  AErrorCode = handle ? 0 : Platform::GetLastError();
  return handle;
}

bool MyFreeLibrary(HMODULE AHandle) { return Platform::FreeLibrary(AHandle); }

void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               void*& AVariable, bool AOptional) {
  AVariable = Platform::GetProcAddress(AHandle, AEntryName.c_str());
  if (!AVariable && !AOptional)
    throw Platform::Exception(Platform::Format(
        "Load function %s@%s error: %s", AEntryName.c_str(), ALibName.c_str(),
        Platform::SysErrorMessage(Platform::GetLastError()).c_str()));
}

void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  void*& AVariable, bool AOptional) {
  AVariable = Platform::GetProcAddress(AHandle, AVarName.c_str());
  if (!AVariable && !AOptional)
    throw Platform::Exception(Platform::Format(
        "Load variable %s@%s error: %s", AVarName.c_str(), ALibName.c_str(),
        Platform::SysErrorMessage(Platform::GetLastError()).c_str()));
}

}  // namespace MyUtils
