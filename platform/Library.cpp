#include "platform/Library.h"

#include <dlfcn.h>

#include <cstring>

namespace Platform {

namespace {
thread_local Cardinal tLastError = 0;
thread_local std::string tLastLoaderText;

void SetLoaderError() {
  const char* text = dlerror();
  tLastLoaderText = text ? text : "unknown dynamic loader error";
  tLastError = ERROR_LOADER;
}
}  // namespace

HMODULE LoadLibrary(const std::string& AFileName) {
  dlerror();
  HMODULE h = dlopen(AFileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h)
    SetLoaderError();
  else
    tLastError = 0;
  return h;
}

void* GetProcAddress(HMODULE AModule, const char* AName) {
  dlerror();
  void* p = AModule ? dlsym(AModule, AName) : nullptr;
  if (!p) {
    if (!AModule) {
      tLastLoaderText = "invalid module handle";
      tLastError = ERROR_LOADER;
    } else {
      SetLoaderError();
    }
  } else {
    tLastError = 0;
  }
  return p;
}

bool FreeLibrary(HMODULE AModule) {
  dlerror();
  if (!AModule || dlclose(AModule) != 0) {
    SetLoaderError();
    return false;
  }
  tLastError = 0;
  return true;
}

Cardinal GetLastError() { return tLastError; }

std::string SysErrorMessage(Cardinal ACode) {
  if (ACode == ERROR_LOADER && !tLastLoaderText.empty()) return tLastLoaderText;
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf
  return strerror_r(static_cast<int>(ACode), buf, sizeof buf);
}

}  // namespace Platform
