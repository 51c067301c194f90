// Entry points of the C run-time library (libc.so.6), bound at run time. Each variable
// is named my_<C name without its leading underscore>.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "runtime/MyUtils.h"

namespace MyUtilStubs {

using Tmy_atoiProc = int (*)(const char* str);
using Tmy_fcloseProc = int (*)(FILE* stream);
using Tmy_ferrorProc = int (*)(FILE* stream);
using Tmy_fgetsProc = char* (*)(char* s, int n, FILE* stream);
using Tmy_fflushProc = int (*)(FILE* stream);
using Tmy_fopenProc = FILE* (*)(const char* filename, const char* mode);
using Tmy_fprintfProc = int (*)(FILE* stream, const char* format, ...);
using Tmy_fputcProc = int (*)(int c, FILE* stream);
using Tmy_fputsProc = int (*)(const char* s, FILE* stream);
using Tmy_freadProc = size_t (*)(void* ptr, size_t size, size_t n, FILE* stream);
using Tmy_fseekProc = int (*)(FILE* stream, long offset, int whence);
using Tmy_ftellProc = long (*)(FILE* stream);
using Tmy_fwriteProc = size_t (*)(const void* ptr, size_t size, size_t n, FILE* stream);
using Tmy_snprintfProc = int (*)(char* buf, size_t count, const char* format, ...);
using Tmy_sscanfProc = int (*)(const char* s, const char* format, ...);
using Tmy_strchrProc = char* (*)(const char* s, int c);
using Tmy_strcmpProc = int (*)(const char* s1, const char* s2);
using Tmy_strcspnProc = size_t (*)(const char* s, const char* reject);
using Tmy_strncmpProc = int (*)(const char* s1, const char* s2, size_t n);
using Tmy_strrchrProc = char* (*)(const char* s, int c);
using Tmy_strstrProc = char* (*)(const char* haystack, const char* needle);
using Tmy_strtodProc = double (*)(const char* s, char** endptr);
using Tmy_strtokProc = char* (*)(char* s, const char* delim);
using Tmy_strtolProc = long (*)(const char* s, char** endptr, int base);
using Tmy_strtoulProc = unsigned long (*)(const char* s, char** endptr, int base);
using Tmy_vsprintfProc = int (*)(char* buf, const char* format, va_list args);
// A va_list is consumed by one use: va_copy it before every retry of a formatting call.
using Tmy_vsnprintfProc = int (*)(char* buf, size_t count, const char* format, va_list args);
using Tmy_wfopenProc = FILE* (*)(const char16_t* filename, const char16_t* mode);
using Tmy_wgetenvProc = char16_t* (*)(const char16_t* name);

// Variable and exported name of every entry point bound from the C library.
#define MYUTIL_ENTRY_POINTS(X) \
  X(my_atoi, "atoi") \
  X(my_fclose, "fclose") \
  X(my_ferror, "ferror") \
  X(my_fgets, "fgets") \
  X(my_fflush, "fflush") \
  X(my_fopen, "fopen") \
  X(my_fprintf, "fprintf") \
  X(my_fputc, "fputc") \
  X(my_fputs, "fputs") \
  X(my_fread, "fread") \
  X(my_fseek, "fseek") \
  X(my_ftell, "ftell") \
  X(my_fwrite, "fwrite") \
  X(my_snprintf, "snprintf") \
  X(my_sscanf, "sscanf") \
  X(my_strchr, "strchr") \
  X(my_strcmp, "strcmp") \
  X(my_strcspn, "strcspn") \
  X(my_strncmp, "strncmp") \
  X(my_strrchr, "strrchr") \
  X(my_strstr, "strstr") \
  X(my_strtod, "strtod") \
  X(my_strtok, "strtok") \
  X(my_strtol, "strtol") \
  X(my_strtoul, "strtoul") \
  X(my_vsprintf, "vsprintf") \
  X(my_vsnprintf, "vsnprintf")
// The C library here has no wide open and no wide environment lookup: these two are
// the platform layer's own (see platform/WideCRT.h).
#define MYUTIL_OWN_ENTRY_POINTS(X) \
  X(my_wfopen, Platform::wfopen) \
  X(my_wgetenv, Platform::wgetenv)

#define OSTREVAN_MYUTIL_DECLARE(var, name) extern T##var##Proc var;
MYUTIL_ENTRY_POINTS(OSTREVAN_MYUTIL_DECLARE)
MYUTIL_OWN_ENTRY_POINTS(OSTREVAN_MYUTIL_DECLARE)
#undef OSTREVAN_MYUTIL_DECLARE

void MyUtilFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
void MyUtilUnfixStubs();

// Compares ALength bytes as unsigned values: 1, -1 or 0 as the first differing byte of
// ABuf1 is greater or smaller, or all are equal (also for a length of 0). A nullptr
// buffer with a non-zero length fails the consistency check.
int my_memcmp(const void* ABuf1, const void* ABuf2, Platform::Cardinal ALength);

}  // namespace MyUtilStubs
