// Shared objects: open, look up, close (dlopen/dlsym/dlclose), with readable errors.
#pragma once
#include <string>

#include "platform/Types.h"

namespace Platform {

// The error code that LoadLibrary, GetProcAddress and FreeLibrary report on failure.
// The dynamic loader gives no numeric code, only a text: the code is always ELIBACC and
// SysErrorMessage(ELIBACC) returns the calling thread's last loader text.
constexpr Cardinal ERROR_LOADER = 79;  // ELIBACC

// dlopen(AFileName, RTLD_NOW | RTLD_LOCAL); nullptr on failure (see GetLastError).
HMODULE LoadLibrary(const std::string& AFileName);
// dlsym; nullptr when absent (see GetLastError).
void* GetProcAddress(HMODULE AModule, const char* AName);
// dlclose; False on failure.
bool FreeLibrary(HMODULE AModule);

// The calling thread's last error code of the functions above (0 after success).
Cardinal GetLastError();
// The text for an error code: for ERROR_LOADER the thread's last loader message,
// otherwise the C library's text of the errno value.
std::string SysErrorMessage(Cardinal ACode);

}  // namespace Platform
