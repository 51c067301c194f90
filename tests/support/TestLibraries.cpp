#include "TestLibraries.h"

#include <mutex>
#include <string>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace TestLibraries {

namespace {

struct TUnit {
  const char* FileName;
  const char* Directory;  // empty: by bare name through the system search
  void (*Fixup)(const std::string&, Platform::HMODULE);
  bool (*Bound)();
  Platform::HMODULE Handle;
};

TUnit gUnits[] = {
    {"libavutil.so.60", OSTREVAN_LIBAV_DIR, AVUtilStubs::AVUtilFixupStubs,
     [] { return AVUtilStubs::av_log != nullptr; }, nullptr},
    {"libswscale.so.9", OSTREVAN_LIBAV_DIR, SwScaleStubs::SwScaleFixupStubs,
     [] { return SwScaleStubs::sws_scale != nullptr; }, nullptr},
    {"libswresample.so.6", OSTREVAN_LIBAV_DIR, SwResampleStubs::SwResampleFixupStubs,
     [] { return SwResampleStubs::swr_init != nullptr; }, nullptr},
    {"libavcodec.so.62", OSTREVAN_LIBAV_DIR, AVCodecStubs::AVCodecFixupStubs,
     [] { return AVCodecStubs::avcodec_version != nullptr; }, nullptr},
    {"libavformat.so.62", OSTREVAN_LIBAV_DIR, AVFormatStubs::AVFormatFixupStubs,
     [] { return AVFormatStubs::avformat_version != nullptr; }, nullptr},
    {"libavfilter.so.11", OSTREVAN_LIBAV_DIR, AVFilterStubs::AVFilterFixupStubs,
     [] { return AVFilterStubs::avfilter_version != nullptr; }, nullptr},
    {"libavdevice.so.62", OSTREVAN_LIBAV_DIR, AVDeviceStubs::AVDeviceFixupStubs,
     [] { return AVDeviceStubs::avdevice_version != nullptr; }, nullptr},
    {"libc.so.6", "", MyUtilStubs::MyUtilFixupStubs,
     [] { return MyUtilStubs::my_fopen != nullptr; }, nullptr},
};

std::mutex gLock;

}  // namespace

void RequireFFmpegLibraries() {
  std::lock_guard<std::mutex> g(gLock);
  for (TUnit& unit : gUnits) {
    if (!unit.Handle) {
      Platform::Cardinal code = 0;
      unit.Handle = MyUtils::MyLoadLibrary(unit.Directory, unit.FileName, code);
      if (!unit.Handle)
        throw Platform::Exception(Platform::Format("Cannot load %s: %s", unit.FileName,
                                                   Platform::SysErrorMessage(code).c_str()));
    }
    if (!unit.Bound()) unit.Fixup(unit.FileName, unit.Handle);
  }
}

}  // namespace TestLibraries
