// The SDL loader against the real SDL2, with its dummy audio and offscreen video drivers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "LoaderTestSupport.h"
#include "SavedEnvironment.h"
#include "platform/Object.h"
#include "runtime/FFLoad.h"
#include "runtime/SDL2Stubs.h"

namespace {

using SDL2Stubs::SDLLoader;

constexpr Uint32 CStarted = SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO;

// What of timer, audio and video SDL2 runs.
Uint32 Running() { return SDL2Stubs::SDL_WasInit(0) & CStarted; }

class TClient : public Platform::TObject {};

// Loads SDL2 through the loader; afterwards stops it and puts the driver variables back.
class SDLLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::TLibraries{FFLoad::SDL2}))
        << FFLoad::FFLoader->GetLastErrMsg();
    ASSERT_GT(SDLLoader->AudioDrivers().IndexOf("dummy"), -1);
    ASSERT_GT(SDLLoader->VideoDrivers().IndexOf("offscreen"), -1);
  }
  void TearDown() override {
    if (SDL2Stubs::SDL_Quit) SDLLoader->QuitAll();
  }

  TClient FFirst, FSecond;

 private:
  TestEnvironment::TSavedVariables FVariables{"SDL_AUDIODRIVER", "SDL_VIDEODRIVER"};
};

TEST_F(SDLLoaderTest, TwoClientsStartSDLOnceAndStopItWithTheSecondQuit) {
  ASSERT_TRUE(SDLLoader->Init(&FFirst, "dummy", "offscreen", false)) << SDLLoader->LastErrMsg();
  EXPECT_EQ(Running(), SDL_INIT_TIMER | SDL_INIT_AUDIO);
  EXPECT_EQ(SDLLoader->CurrentAudioDriver(), "dummy");
  EXPECT_STREQ(std::getenv("SDL_AUDIODRIVER"), "dummy");
  // SDL2 runs already: the second client is registered as it stands, drivers unchecked.
  EXPECT_TRUE(SDLLoader->Init(&FSecond, "no-such-driver", "", true));
  EXPECT_EQ(Running(), SDL_INIT_TIMER | SDL_INIT_AUDIO);
  SDLLoader->Quit(&FFirst);
  EXPECT_EQ(Running(), SDL_INIT_TIMER | SDL_INIT_AUDIO);
  EXPECT_TRUE(SDLLoader->WasInit(&FSecond));
  SDLLoader->Quit(&FSecond);
  EXPECT_EQ(Running(), 0u);
  EXPECT_FALSE(SDLLoader->WasInit(&FFirst));
  EXPECT_EQ(SDLLoader->CurrentAudioDriver(), "");
}

TEST_F(SDLLoaderTest, StartsWithVideoOnlyWhenAsked) {
  const struct {
    bool WithVideo;
    Uint32 Flags;
  } cases[] = {{false, 17}, {true, 49}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.WithVideo);
    ASSERT_TRUE(SDLLoader->Init(&FFirst, "DUMMY", "offscreen", c.WithVideo)) << SDLLoader->LastErrMsg();
    EXPECT_EQ(Running(), c.Flags);
    EXPECT_EQ(SDLLoader->CurrentVideoDriver(), c.WithVideo ? "offscreen" : "");
    SDLLoader->Quit(&FFirst);
    EXPECT_EQ(Running(), 0u);
  }
}

TEST_F(SDLLoaderTest, UnknownDriverFailsWithoutStartingSDL) {
  const struct {
    const char* Audio;
    const char* Video;
    const char* Error;
  } cases[] = {
      {"no-such-audio", "offscreen", "Audio driver \"no-such-audio\" not available"},
      {"dummy", "no-such-video", "Video driver \"no-such-video\" not available"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Error);
    EXPECT_FALSE(SDLLoader->Init(&FFirst, c.Audio, c.Video, true));
    EXPECT_EQ(SDLLoader->LastErrMsg(), c.Error);
    EXPECT_EQ(Running(), 0u);
    EXPECT_FALSE(SDLLoader->WasInit(&FFirst));
  }
}

TEST_F(SDLLoaderTest, EmptyDriverNameClearsItsVariable) {
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  ::setenv("SDL_VIDEODRIVER", "offscreen", 1);
  // The audio variable goes before the video driver is refused.
  EXPECT_FALSE(SDLLoader->Init(&FFirst, "", "no-such-video", true));
  EXPECT_EQ(std::getenv("SDL_AUDIODRIVER"), nullptr);
  EXPECT_STREQ(std::getenv("SDL_VIDEODRIVER"), "offscreen");
}

TEST_F(SDLLoaderTest, QuitWithoutClientStopsSDLWhateverTheClients) {
  ASSERT_TRUE(SDLLoader->Init(&FFirst, "dummy", "", false)) << SDLLoader->LastErrMsg();
  ASSERT_TRUE(SDLLoader->Init(&FSecond, "dummy", "", false));
  SDLLoader->Quit(nullptr);
  EXPECT_EQ(Running(), 0u);
  EXPECT_FALSE(SDLLoader->WasInit(&FSecond));
}

TEST_F(SDLLoaderTest, RendererTextureFormats) {
  SDL_RendererInfo info{};
  EXPECT_EQ(SDLLoader->GetRendererTextureFormats(info), "");
  info.num_texture_formats = 2;
  info.texture_formats[0] = SDL_PIXELFORMAT_ARGB8888;
  info.texture_formats[1] = SDL_PIXELFORMAT_YV12;
  EXPECT_EQ(SDLLoader->GetRendererTextureFormats(info), "SDL_PIXELFORMAT_ARGB8888, SDL_PIXELFORMAT_YV12");
}

TEST_F(SDLLoaderTest, UnloadingSDLStopsItAndEmptiesTheLists) {
  ASSERT_TRUE(SDLLoader->Init(&FFirst, "dummy", "offscreen", false)) << SDLLoader->LastErrMsg();
  EXPECT_EQ(SDLLoader->SDLVersion().major, 2);
  FFLoad::FFLoader->Unload(FFLoad::SDL2);
  EXPECT_FALSE(SDLLoader->WasInit(&FFirst));
  EXPECT_EQ(SDLLoader->CurrentAudioDriver(), "");
  EXPECT_EQ(SDLLoader->AudioDrivers().Count(), 0);
  EXPECT_EQ(SDLLoader->VideoDrivers().Count(), 0);
  EXPECT_EQ(SDLLoader->SDLVersion().major, 0);
  EXPECT_FALSE(SDLLoader->Init(&FFirst, "dummy", "offscreen", false));
  EXPECT_EQ(SDLLoader->LastErrMsg(), "SDL2 not loaded.");

  ASSERT_TRUE(FFLoad::FFLoader->Load(FFLoad::SDL2)) << FFLoad::FFLoader->GetLastErrMsg();
  EXPECT_GT(SDLLoader->AudioDrivers().IndexOf("dummy"), -1);
  EXPECT_EQ(Running(), 0u);
}

}  // namespace
