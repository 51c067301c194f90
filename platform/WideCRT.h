// The two wide-character C run-time routines that the C library here lacks.
// Paths, modes and names are UTF-16; the C library sees their UTF-8 form.
#pragma once
#include <cstdio>

namespace Platform {

// fopen of the UTF-8 form of APath and AMode; nullptr (errno EILSEQ) on invalid UTF-16.
FILE* wfopen(const char16_t* APath, const char16_t* AMode);
// The UTF-16 value of an environment variable, nullptr when unset. The text belongs to
// the calling thread and stays valid until its next call.
char16_t* wgetenv(const char16_t* AName);

}  // namespace Platform
