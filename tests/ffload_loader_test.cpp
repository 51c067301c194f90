// The process-wide library loader against the real libraries of the LibAV folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/version.h>
}

#include "LoaderTestSupport.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/FFLoad.h"

namespace {

using namespace FFLoad;

TFFLoader& Loader() { return *FFLoader; }

// Loads the FFmpeg libraries and the C library; afterwards drops the overrides a test set
// and loads them again from the LibAV folder.
class FFLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(CDecoderLibraries)) << Loader().GetLastErrMsg();
  }
  void TearDown() override {
    for (TLibrary lib : FOverridden) Loader().SetLibraryName(lib, "");
    EXPECT_TRUE(LoaderTestSupport::RequireLoaded(CDecoderLibraries)) << Loader().GetLastErrMsg();
  }
  void Override(TLibrary ALibrary, const std::string& AName) {
    FOverridden.push_back(ALibrary);
    Loader().SetLibraryName(ALibrary, AName);
  }

 private:
  std::vector<TLibrary> FOverridden;
};

TEST_F(FFLoaderTest, FileNamesFollowThePlatform) {
  const struct {
    TLibrary Lib;
    const char* FileName;
  } cases[] = {
      {avUtil, "libavutil.so.60"},       {swScale, "libswscale.so.9"},
      {swResample, "libswresample.so.6"}, {avCodec, "libavcodec.so.62"},
      {avFormat, "libavformat.so.62"},   {avFilter, "libavfilter.so.11"},
      {avDevice, "libavdevice.so.62"},   {myUtil, "libc.so.6"},
      {SDL2, "libSDL2-2.0.so.0"},        {libSoundTouch, "libSoundTouchDll.so.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Loader().GetLibraryName(c.Lib), c.FileName);
}

TEST_F(FFLoaderTest, OverrideWithADirectoryLoadsFromThereWhateverTheLibraryPath) {
  ASSERT_TRUE(Loader().Loaded(avCodec));
  const std::string override = std::string(OSTREVAN_LIBAV_DIR) + "/libavcodec.so.62";
  Override(avCodec, override);
  EXPECT_FALSE(Loader().Loaded(avCodec)) << "setting an override unloads the library";
  EXPECT_EQ(AVCodecStubs::avcodec_version, nullptr);
  EXPECT_EQ(Loader().GetLibraryName(avCodec), override);

  Loader().SetLibraryPath("/nonexistent-ostrevan-folder");
  ASSERT_TRUE(Loader().Load(avCodec)) << Loader().GetLastErrMsg();
  EXPECT_EQ(AVCodecStubs::avcodec_version(), static_cast<unsigned>(LIBAVCODEC_VERSION_INT));
  // A loaded library loads again without its file.
  EXPECT_TRUE(Loader().Load(avUtil));

  Override(avCodec, "/nonexistent-ostrevan-folder/libavcodec-custom.so");
  EXPECT_FALSE(Loader().Load(avCodec));
  const std::string error = Loader().GetLastErrMsg();
  EXPECT_EQ(error.rfind("Load library /nonexistent-ostrevan-folder/libavcodec-custom.so error(#79): ", 0), 0u)
      << error;
  EXPECT_NE(error.find("libavcodec-custom.so"), std::string::npos) << error;
  EXPECT_FALSE(Loader().Loaded(avCodec));
}

TEST_F(FFLoaderTest, FailedSetUnloadsOnlyWhatItLoaded) {
  ASSERT_TRUE(Loader().Loaded(CFFmpegLibraries));
  Loader().Unload(myUtil);
  ASSERT_FALSE(Loader().Loaded(myUtil));
  Override(SDL2, "libSDL2-missing.so.0");

  EXPECT_FALSE(Loader().Load(CPlayerLibraries));
  const std::string error = Loader().GetLastErrMsg();
  EXPECT_EQ(error.rfind(std::string("Load library ") + OSTREVAN_LIBAV_DIR + "/libSDL2-missing.so.0 error(#79): ", 0), 0u)
      << error;
  EXPECT_NE(error.find("libSDL2-missing.so.0: cannot open shared object file"), std::string::npos) << error;
  // The FFmpeg libraries were loaded before this call and stay usable ...
  EXPECT_TRUE(Loader().Loaded(CFFmpegLibraries));
  EXPECT_NE(AVUtilStubs::av_log, nullptr);
  EXPECT_STREQ(AVCodecStubs::avcodec_get_name(AV_CODEC_ID_MPEG4), "mpeg4");
  // ... while the C library, which this call loaded, is unloaded again.
  EXPECT_FALSE(Loader().Loaded(myUtil));
  EXPECT_EQ(MyUtilStubs::my_vsnprintf, nullptr);
  EXPECT_FALSE(Loader().Loaded(SDL2));
}

TEST_F(FFLoaderTest, BuildAndFileVersions) {
  const std::string built = Platform::Format("%d.%d.%d", LIBAVCODEC_VERSION_MAJOR,
                                             LIBAVCODEC_VERSION_MINOR, LIBAVCODEC_VERSION_MICRO);
  EXPECT_EQ(Loader().GetLibBuildVerStr(avCodec), built);
  EXPECT_EQ(Loader().GetLibBuildVer(avUtil), static_cast<Cardinal>(LIBAVUTIL_VERSION_INT));
  EXPECT_EQ(Loader().GetLibFileVerStr(avCodec), built) << "the LibAV folder holds the build's own libraries";
  EXPECT_EQ((AV_VERSION_MAJOR)(Loader().GetLibFileVer(avUtil)), 60u);
  for (TLibrary lib : {myUtil, SDL2, libSoundTouch}) {
    EXPECT_EQ(Loader().GetLibBuildVer(lib), 0xFFFFFFFFu);
    EXPECT_EQ(Loader().GetLibFileVer(lib), 0u);
    EXPECT_EQ(Loader().GetLibBuildVerStr(lib), "N/A");
    EXPECT_EQ(Loader().GetLibFileVerStr(lib), "N/A");
    EXPECT_EQ(Loader().GetLibLicense(lib), "");
    EXPECT_EQ(Loader().GetLibConfiguration(lib), "");
  }
  EXPECT_NE(Loader().GetLibLicense(avUtil).find("GPL"), std::string::npos) << Loader().GetLibLicense(avUtil);
  EXPECT_FALSE(Loader().GetLibConfiguration(avCodec).empty());
  EXPECT_TRUE(Loader().CheckLibConfigurations());
}

TEST_F(FFLoaderTest, CheckLibAVNamesTheFirstMissingLibrary) {
  EXPECT_NO_THROW(Loader().CheckLibAV(CDecoderLibraries));
  Loader().Unload(TLibraries{SDL2, libSoundTouch});
  try {
    Loader().CheckLibAV(CAllLibraries);
    FAIL() << "no exception";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(e.Message(), "Library SDL2 not loaded.");
  }
  Loader().Unload(avCodec);
  try {
    Loader().CheckLibAV(TLibraries{avFormat, avCodec, SDL2});
    FAIL() << "no exception";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(e.Message(), "Library avcodec not loaded.");
  }
}

TEST_F(FFLoaderTest, EmptySetsAreConsistencyFailures) {
  const struct {
    const char* Message;
    std::function<void()> Call;
  } cases[] = {
      {"Assertion failure (FFLoad, line 786)", [] { Loader().Load(TLibraries{}); }},
      {"Assertion failure (FFLoad, line 816)", [] { Loader().Loaded(TLibraries{}); }},
      {"Assertion failure (FFLoad, line 862)", [] { Loader().Unload(TLibraries{}); }},
  };
  for (const auto& c : cases) {
    try {
      c.Call();
      ADD_FAILURE() << c.Message << ": no exception";
    } catch (const Platform::EAssertionFailed& e) {
      EXPECT_EQ(e.Message(), c.Message);
    }
  }
  EXPECT_TRUE(Loader().Loaded(CDecoderLibraries));
}

// Counts the banners the log worker delivers while the FFmpeg libraries are loaded,
// unloaded and loaded again; the exit code is that count. Runs in a fresh process.
[[noreturn]] void CountBanners() {
  static int banners = 0;
  static std::string banner;
  auto handler = [](void*, Platform::TObject*, int, TLogLevel, const std::string& AMsg) {
    if (AMsg.find("FFmpeg library version 8.0") != std::string::npos) {
      ++banners;
      banner = AMsg;
    }
  };
  VEDovedo->SetOnLog(TLogEvent::FromFunction(handler, nullptr));
  LoaderTestSupport::RequireLoaded(CFFmpegLibraries);
  const std::string expected =
      Platform::Format("  lib%-11s %2d.%3d.%3d / %2d.%3d.%3d", "avcodec", LIBAVCODEC_VERSION_MAJOR,
                       LIBAVCODEC_VERSION_MINOR, LIBAVCODEC_VERSION_MICRO, LIBAVCODEC_VERSION_MAJOR,
                       LIBAVCODEC_VERSION_MINOR, LIBAVCODEC_VERSION_MICRO);
  if (banner.find(expected) == std::string::npos) {
    std::fprintf(stderr, "banner: %s\n", banner.c_str());
    std::_Exit(100);
  }
  FFLoader->Unload(CFFmpegLibraries);
  LoaderTestSupport::RequireLoaded(CFFmpegLibraries);
  VEDovedo->SetOnLog(nullptr);
  std::_Exit(banners);
}

TEST(FFLoaderBanner, LoggedOnceAcrossUnloadAndReload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CountBanners(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
