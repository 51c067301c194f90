// Entry points of libswresample, bound at run time by their C names.
#pragma once
#include <string>

extern "C" {
#include <libswresample/swresample.h>
}

#include "runtime/MyUtils.h"

// Every entry point this system calls in the library, in one list.
#define SWRESAMPLE_ENTRY_POINTS(X) \
  X(swresample_version) \
  X(swresample_configuration) \
  X(swresample_license) \
  X(swr_alloc) \
  X(swr_alloc_set_opts2) \
  X(swr_convert) \
  X(swr_free) \
  X(swr_get_class) \
  X(swr_init) \
  X(swr_set_compensation)

namespace SwResampleStubs {

SWRESAMPLE_ENTRY_POINTS(OSTREVAN_STUB_DECLARE)

// Binds every entry point of the list from AHandle; ALibName serves the error text.
void SwResampleFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Sets every entry point of the list back to nullptr.
void SwResampleUnfixStubs();

}  // namespace SwResampleStubs
