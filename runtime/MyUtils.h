// Process-level services: loading primitives for the bound libraries, the command-line
// splitter, main-thread hand-over, and small path, time, text and integer routines.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Library.h"
#include "platform/Method.h"
#include "platform/Types.h"

namespace MyUtils {

using Platform::Cardinal;
using Platform::HMODULE;
using Platform::HWND;

// ---- Loading and binding -------------------------------------------------------------

// Loads AFileName from ADirectory when that file exists there (putting the directory in
// front of PATH for the rest of the process), otherwise by bare name through the
// system's search. nullptr on failure, with the error code in AErrorCode
// (Platform::SysErrorMessage gives its text).
HMODULE MyLoadLibrary(const std::string& ADirectory, const std::string& AFileName,
                      Cardinal& AErrorCode);
bool MyFreeLibrary(HMODULE AHandle);

// Looks AEntryName up in AHandle and stores it (possibly nullptr) in AVariable. A
// missing entry point that is not optional raises Platform::Exception
// "Load function %s@%s error: %s" (entry point, library name, loader message).
void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               void*& AVariable, bool AOptional);
// The same for an exported data symbol: "Load variable %s@%s error: %s".
void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  void*& AVariable, bool AOptional);

// Typed forms for the binding variables of the stub units.
template <class F>
void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               F& AVariable, bool AOptional) {
  void* p = nullptr;
  FixupStub(ALibName, AHandle, AEntryName, p, AOptional);
  AVariable = reinterpret_cast<F>(p);
}
template <class T>
void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  T*& AVariable, bool AOptional) {
  void* p = nullptr;
  LoadVariable(ALibName, AHandle, AVarName, p, AOptional);
  AVariable = static_cast<T*>(p);
}

}  // namespace MyUtils

// Helpers for the stub units: each unit keeps one list macro of its entry points,
//   #define AVUTIL_ENTRY_POINTS(X) X(av_log) X(av_malloc) ...
// and generates from it the variables (named exactly as the C entry points, typed
// with their prototypes from the library headers), the fixup and the unfix.
#define OSTREVAN_STUB_DECLARE(name) extern decltype(&::name) name;
#define OSTREVAN_STUB_DEFINE(name) decltype(&::name) name = nullptr;
#define OSTREVAN_STUB_FIXUP(name) ::MyUtils::FixupStub(ALibName, AHandle, #name, name, false);
#define OSTREVAN_STUB_FIXUP_OPTIONAL(name) ::MyUtils::FixupStub(ALibName, AHandle, #name, name, true);
#define OSTREVAN_STUB_UNFIX(name) name = nullptr;
// The same for units whose variables have a named procedure type T<name>Proc.
#define OSTREVAN_PROC_DECLARE(name) extern T##name##Proc name;
#define OSTREVAN_PROC_DEFINE(name) T##name##Proc name = nullptr;
