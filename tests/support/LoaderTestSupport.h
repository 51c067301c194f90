// Loading through the process-wide loader in tests. Other tests bind and unbind the
// stub units directly, so the loader may believe a library loaded whose entry points
// are cleared: such a library is unloaded first and loaded again.
#pragma once
#include <string>

#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtilStubs.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace LoaderTestSupport {

inline bool Bound(FFLoad::TLibrary ALibrary) {
  switch (ALibrary) {
    case FFLoad::avUtil: return AVUtilStubs::avutil_version != nullptr;
    case FFLoad::swScale: return SwScaleStubs::swscale_version != nullptr;
    case FFLoad::swResample: return SwResampleStubs::swresample_version != nullptr;
    case FFLoad::avCodec: return AVCodecStubs::avcodec_version != nullptr;
    case FFLoad::avFormat: return AVFormatStubs::avformat_version != nullptr;
    case FFLoad::avFilter: return AVFilterStubs::avfilter_version != nullptr;
    case FFLoad::avDevice: return AVDeviceStubs::avdevice_version != nullptr;
    case FFLoad::myUtil: return MyUtilStubs::my_vsnprintf != nullptr;
    case FFLoad::SDL2: return SDL2Stubs::SDL_Init != nullptr;
    case FFLoad::libSoundTouch: return SoundTouchStubs::soundtouch_getVersionId != nullptr;
  }
  return false;
}

// Loads ALibraries from the LibAV folder with the platform's file names; True on success.
inline bool RequireLoaded(FFLoad::TLibraries ALibraries) {
  FFLoad::TFFLoader& loader = *FFLoad::FFLoader;
  loader.SetLibraryPath(OSTREVAN_LIBAV_DIR);
  for (int i = 0; i < FFLoad::CLibraryCount; ++i) {
    const auto lib = static_cast<FFLoad::TLibrary>(i);
    if (ALibraries.Contains(lib) && loader.Loaded(lib) && !Bound(lib)) loader.Unload(lib);
  }
  return loader.Load(ALibraries);
}

// The log worker's settings when it was made; Restore puts them back.
class TLogWorkerSettings {
 public:
  TLogWorkerSettings()
      : FActive(W().GetActive()),
        FLogFile(W().GetLogFile()),
        FFlags(W().GetLogFlags()),
        FLevel(W().GetLogLevel()),
        FToFile(W().GetLogToFile()),
        FWithThreadID(W().GetLogWithThreadID()),
        FWithTime(W().GetLogWithTime()),
        FSynchronous(W().GetSynchronous()),
        FInMainThread(W().GetTriggerEventInMainThread()),
        FOnLog(W().GetOnLog()) {}

  void Restore() const {
    W().SetOnLog(FOnLog);
    W().SetSynchronous(FSynchronous);
    W().SetTriggerEventInMainThread(FInMainThread);
    W().SetLogWithTime(FWithTime);
    W().SetLogWithThreadID(FWithThreadID);
    W().SetLogFlags(FFlags);
    W().SetLogLevel(FLevel);
    W().SetLogToFile(FToFile);
    W().SetLogFile(FLogFile);
    W().SetActive(FActive);
  }

 private:
  static FFLoad::TFFLogWorker& W() { return *FFLoad::VEDovedo; }

  bool FActive;
  std::string FLogFile;
  int FFlags;
  FFLoad::TLogLevel FLevel;
  bool FToFile, FWithThreadID, FWithTime, FSynchronous, FInMainThread;
  FFLoad::TLogEvent FOnLog;
};

}  // namespace LoaderTestSupport
