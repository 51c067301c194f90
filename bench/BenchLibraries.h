// The FFmpeg libraries for the benchmarks, loaded once through the process-wide loader
// from the LibAV folder of the build.
#pragma once
#include <cstdio>

#include "runtime/FFLoad.h"

namespace BenchLibraries {

// True when the decoder set is loaded; prints the loader's text otherwise.
inline bool Load() {
  static const bool loaded = [] {
    FFLoad::FFLoader->SetLibraryPath(OSTREVAN_LIBAV_DIR);
    if (!FFLoad::FFLoader->Load(FFLoad::CDecoderLibraries)) {
      std::fprintf(stderr, "%s\n", FFLoad::FFLoader->GetLastErrMsg().c_str());
      return false;
    }
    return true;
  }();
  return loaded;
}

}  // namespace BenchLibraries
