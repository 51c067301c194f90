// Binding of the real libraries by entry-point name, and the loading primitives.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>

#include "TestLibraries.h"
#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace {

using Platform::HMODULE;

struct TBinding {
  const char* FileName;
  const char* Directory;  // nullptr: by bare name through the system search
  std::function<void(const std::string&, HMODULE)> Fixup;
  std::function<void()> Unfix;
  std::function<bool()> FirstBound;  // a representative variable is set
};

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? buf : "";
}

// Every unit binds against the real library and clears again; the FFmpeg libraries
// are loaded in dependency order and stay loaded for the units after them.
TEST(Stubs, EveryUnitBindsTheRealLibraryAndUnbinds) {
  const TBinding bindings[] = {
      {"libavutil.so.60", OSTREVAN_LIBAV_DIR, AVUtilStubs::AVUtilFixupStubs,
       AVUtilStubs::AVUtilUnfixStubs, [] { return AVUtilStubs::av_log != nullptr; }},
      {"libswscale.so.9", OSTREVAN_LIBAV_DIR, SwScaleStubs::SwScaleFixupStubs,
       SwScaleStubs::SwScaleUnfixStubs, [] { return SwScaleStubs::sws_scale != nullptr; }},
      {"libswresample.so.6", OSTREVAN_LIBAV_DIR, SwResampleStubs::SwResampleFixupStubs,
       SwResampleStubs::SwResampleUnfixStubs, [] { return SwResampleStubs::swr_init != nullptr; }},
      {"libavcodec.so.62", OSTREVAN_LIBAV_DIR, AVCodecStubs::AVCodecFixupStubs,
       AVCodecStubs::AVCodecUnfixStubs,
       [] { return AVCodecStubs::av_container_fifo_alloc_avpacket != nullptr; }},
      {"libavformat.so.62", OSTREVAN_LIBAV_DIR, AVFormatStubs::AVFormatFixupStubs,
       AVFormatStubs::AVFormatUnfixStubs,
       [] { return AVFormatStubs::avpriv_set_pts_info != nullptr; }},
      {"libavfilter.so.11", OSTREVAN_LIBAV_DIR, AVFilterStubs::AVFilterFixupStubs,
       AVFilterStubs::AVFilterUnfixStubs, [] { return AVFilterStubs::avfilter_graph_alloc != nullptr; }},
      {"libavdevice.so.62", OSTREVAN_LIBAV_DIR, AVDeviceStubs::AVDeviceFixupStubs,
       AVDeviceStubs::AVDeviceUnfixStubs,
       [] { return AVDeviceStubs::avdevice_free_list_devices != nullptr; }},
      {"libc.so.6", nullptr, MyUtilStubs::MyUtilFixupStubs, MyUtilStubs::MyUtilUnfixStubs,
       [] { return MyUtilStubs::my_vsnprintf != nullptr && MyUtilStubs::my_wfopen != nullptr; }},
      {"libSDL2-2.0.so.0", nullptr, SDL2Stubs::SDL2FixupStubs, SDL2Stubs::SDL2UnfixStubs,
       [] { return SDL2Stubs::SDL_Init != nullptr && SDL2Stubs::SDL_SetYUVConversionMode != nullptr; }},
      {"libSoundTouchDll.so.1", nullptr, SoundTouchStubs::SoundTouchFixupStubs,
       SoundTouchStubs::SoundTouchUnfixStubs,
       [] { return SoundTouchStubs::soundtouch_receiveSamples_i16 != nullptr; }},
  };
  std::vector<HMODULE> handles;
  for (const TBinding& b : bindings) {
    SCOPED_TRACE(b.FileName);
    Platform::Cardinal code = 1;
    HMODULE h = MyUtils::MyLoadLibrary(b.Directory ? b.Directory : "", b.FileName, code);
    ASSERT_NE(h, nullptr) << Platform::SysErrorMessage(code);
    EXPECT_EQ(code, 0u);
    ASSERT_NO_THROW(b.Fixup(b.FileName, h));
    EXPECT_TRUE(b.FirstBound());
    handles.push_back(h);
  }
  // The bound entry points work.
  EXPECT_EQ(AVUtilStubs::avutil_version() >> 16, 60u);
  EXPECT_STREQ(AVCodecStubs::avcodec_get_name(AV_CODEC_ID_MPEG4), "mpeg4");
  char buf[32];
  EXPECT_EQ(MyUtilStubs::my_snprintf(buf, sizeof buf, "%d-%s", 42, "x"), 4);
  EXPECT_STREQ(buf, "42-x");
  EXPECT_GT(SoundTouchStubs::SoundTouchVersion, 10000u);

  for (size_t i = std::size(bindings); i-- > 0;) {
    bindings[i].Unfix();
    EXPECT_FALSE(bindings[i].FirstBound()) << bindings[i].FileName;
  }
  EXPECT_EQ(SoundTouchStubs::SoundTouchVersion, 0u);
  for (size_t i = handles.size(); i-- > 0;) EXPECT_TRUE(MyUtils::MyFreeLibrary(handles[i]));
}

TEST(Stubs, MissingMandatoryEntryPointNamesItAndTheLibrary) {
  const std::string file = std::string(OSTREVAN_FIXTURE_DIR) + "/libSoundTouchMissing.so";
  Platform::Cardinal code = 0;
  HMODULE h = MyUtils::MyLoadLibrary("", file, code);
  ASSERT_NE(h, nullptr) << Platform::SysErrorMessage(code);
  try {
    SoundTouchStubs::SoundTouchFixupStubs("libSoundTouchDll.so.1", h);
    FAIL() << "binding succeeded without soundtouch_clear";
  } catch (const Platform::Exception& e) {
    const std::string msg = e.Message();
    EXPECT_EQ(msg.rfind("Load function soundtouch_clear@libSoundTouchDll.so.1 error: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("undefined symbol: soundtouch_clear"), std::string::npos) << msg;
  }
  // Entry points bound before the missing one keep their values until the unfix.
  EXPECT_NE(SoundTouchStubs::soundtouch_putSamples_i16, nullptr);
  SoundTouchStubs::SoundTouchUnfixStubs();
  EXPECT_EQ(SoundTouchStubs::soundtouch_putSamples_i16, nullptr);
  EXPECT_TRUE(MyUtils::MyFreeLibrary(h));
}

TEST(Stubs, OptionalEntryPointMayBeMissing) {
  Platform::Cardinal code = 0;
  HMODULE h = MyUtils::MyLoadLibrary(OSTREVAN_FIXTURE_DIR, "libSDLNoYUV.so", code);
  ASSERT_NE(h, nullptr) << Platform::SysErrorMessage(code);
  EXPECT_NO_THROW(SDL2Stubs::SDL2FixupStubs("libSDLNoYUV.so", h));
  EXPECT_NE(SDL2Stubs::SDL_Init, nullptr);
  EXPECT_EQ(SDL2Stubs::SDL_SetYUVConversionMode, nullptr);
  SDL2Stubs::SDL2UnfixStubs();
  EXPECT_EQ(SDL2Stubs::SDL_Init, nullptr);
  EXPECT_TRUE(MyUtils::MyFreeLibrary(h));
}

TEST(Stubs, LoadVariableBindsDataAndNamesAMissingOne) {
  Platform::Cardinal code = 0;
  HMODULE h = MyUtils::MyLoadLibrary("", "libc.so.6", code);
  ASSERT_NE(h, nullptr);
  char*** env = nullptr;
  MyUtils::LoadVariable("libc.so.6", h, "environ", env, false);
  EXPECT_EQ(env, dlsym(h, "environ"));
  ASSERT_NE(env, nullptr);
  int* missing = reinterpret_cast<int*>(1);
  MyUtils::LoadVariable("libc.so.6", h, "no_such_variable", missing, true);
  EXPECT_EQ(missing, nullptr);
  try {
    MyUtils::LoadVariable("libc.so.6", h, "no_such_variable", missing, false);
    FAIL();
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(e.Message().rfind("Load variable no_such_variable@libc.so.6 error: ", 0), 0u);
  }
  MyUtils::MyFreeLibrary(h);
}

TEST(Stubs, LoadFromFolderPutsItInPathOnceAndKeepsTheCurrentDirectory) {
  const std::string dir = OSTREVAN_FIXTURE_DIR;
  const std::string cwd = CurrentDirectory();
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath ? oldPath : "";
  ::setenv("PATH", "/usr/bin:/bin", 1);

  Platform::Cardinal code = 0;
  HMODULE h = MyUtils::MyLoadLibrary(dir, "libSDLNoYUV.so", code);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(std::string(std::getenv("PATH")), dir + ":/usr/bin:/bin");
  EXPECT_EQ(CurrentDirectory(), cwd);
  HMODULE again = MyUtils::MyLoadLibrary(dir + "/", "libSDLNoYUV.so", code);
  EXPECT_EQ(again, h);
  EXPECT_EQ(std::string(std::getenv("PATH")), dir + ":/usr/bin:/bin");
  MyUtils::MyFreeLibrary(again);
  MyUtils::MyFreeLibrary(h);
  ::setenv("PATH", saved.c_str(), 1);
}

TEST(Stubs, FolderWithoutTheFileFallsBackToTheSystemSearch) {
  Platform::Cardinal code = 0;
  HMODULE h = MyUtils::MyLoadLibrary(OSTREVAN_FIXTURE_DIR, "libc.so.6", code);
  ASSERT_NE(h, nullptr);
  MyUtils::MyFreeLibrary(h);

  h = MyUtils::MyLoadLibrary(OSTREVAN_FIXTURE_DIR, "libNoSuchLibrary.so.1", code);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(code, Platform::ERROR_LOADER);
  EXPECT_NE(Platform::SysErrorMessage(code).find("libNoSuchLibrary.so.1"), std::string::npos);
}

TEST(Stubs, MyMemcmpComparesUnsignedBytes) {
  const unsigned char a[] = {1, 2, 0x80}, b[] = {1, 2, 0x7F}, c[] = {1, 2, 0x80};
  EXPECT_EQ(MyUtilStubs::my_memcmp(a, c, 3), 0);
  EXPECT_EQ(MyUtilStubs::my_memcmp(a, b, 3), 1);
  EXPECT_EQ(MyUtilStubs::my_memcmp(b, a, 3), -1);
  EXPECT_EQ(MyUtilStubs::my_memcmp(a, b, 0), 0);
  EXPECT_EQ(MyUtilStubs::my_memcmp(nullptr, nullptr, 0), 0);
  EXPECT_THROW(MyUtilStubs::my_memcmp(nullptr, a, 3), Platform::EAssertionFailed);
}

// Formatted text reaches an I/O context byte for byte; without avio_write it is a
// programming error that names the unit and its line.
TEST(Stubs, AvioPrintfWritesTheFormattedBytes) {
  TestLibraries::RequireFFmpegLibraries();
  AVIOContext* pb = nullptr;
  ASSERT_EQ(AVFormatStubs::avio_open_dyn_buf(&pb), 0);
  AVFormatStubs::avio_printf_lantor(pb, "%s=%d size=%" PRId64 " %s\n", "frame", 7,
                                    INT64_C(1) << 40, "Gr\xc3\xb6\xc3\x9f" "e");
  AVFormatStubs::avio_printf_lantor(pb, "%s", "");
  std::uint8_t* bytes = nullptr;
  const int size = AVFormatStubs::avio_close_dyn_buf(pb, &bytes);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)),
            "frame=7 size=1099511627776 Gr\xc3\xb6\xc3\x9f" "e\n");
  AVUtilStubs::av_free(bytes);

  const auto bound = AVFormatStubs::avio_write;
  AVFormatStubs::avio_write = nullptr;
  try {
    AVFormatStubs::avio_printf_lantor(nullptr, "x");
    ADD_FAILURE() << "no assertion failure";
  } catch (const Platform::EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("AVFormatStubs"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("269"), std::string::npos) << e.what();
  }
  AVFormatStubs::avio_write = bound;
}

// The shared library exports the run-time units under unit-qualified names.
TEST(Stubs, SharedLibraryExportsUnitQualifiedNames) {
  void* lib = dlopen(OSTREVAN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  // AVUtilStubs::av_log, SDL2Stubs::SDL_Init, MyUtilStubs::my_memcmp(void const*, void const*, unsigned)
  EXPECT_NE(dlsym(lib, "_ZN11AVUtilStubs6av_logE"), nullptr);
  EXPECT_NE(dlsym(lib, "_ZN9SDL2Stubs8SDL_InitE"), nullptr);
  EXPECT_NE(dlsym(lib, "_ZN11MyUtilStubs9my_memcmpEPKvS1_j"), nullptr);
  // AVFormatStubs::avio_printf_lantor(AVIOContext*, char const*, ...)
  EXPECT_NE(dlsym(lib, "_ZN13AVFormatStubs18avio_printf_lantorEP11AVIOContextPKcz"), nullptr);
  dlclose(lib);
}

}  // namespace
