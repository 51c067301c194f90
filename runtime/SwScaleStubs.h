// Entry points of libswscale, bound at run time by their C names.
#pragma once
#include <string>

extern "C" {
#include <libswscale/swscale.h>
}

#include "runtime/MyUtils.h"

// Every entry point this system calls in the library, in one list.
#define SWSCALE_ENTRY_POINTS(X) \
  X(swscale_version) \
  X(swscale_configuration) \
  X(swscale_license) \
  X(sws_alloc_context) \
  X(sws_freeContext) \
  X(sws_get_class) \
  X(sws_getCachedContext) \
  X(sws_getCoefficients) \
  X(sws_getContext) \
  X(sws_isSupportedInput) \
  X(sws_isSupportedOutput) \
  X(sws_scale) \
  X(sws_setColorspaceDetails)

namespace SwScaleStubs {

SWSCALE_ENTRY_POINTS(OSTREVAN_STUB_DECLARE)

// Binds every entry point of the list from AHandle; ALibName serves the error text.
void SwScaleFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Sets every entry point of the list back to nullptr.
void SwScaleUnfixStubs();

}  // namespace SwScaleStubs
