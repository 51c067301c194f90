#include "PlayerFixture.h"

#include "components/FFBasePlay.h"
#include "runtime/SDL2Stubs.h"

namespace PlayerTestSupport {

std::unique_ptr<TClips> TPlayerFixture::FClips;
std::string TPlayerFixture::FDir;

void TPlayerFixture::MakeClips(const std::string& APrefix) {
  RequirePlayerLibraries();
  FClips = std::make_unique<TClips>(APrefix);
  FDir = FClips->Dir();
  ASSERT_FALSE(FDir.empty()) << "cannot make the clip folder";
}

void TPlayerFixture::TearDownTestSuite() {
  if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
  FClips.reset();
  FDir.clear();
}

void TPlayerFixture::SetUp() {
  if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
}

void TPlayerFixture::Prepare(FFBasePlay::TFFBasePlayer& APlayer) {
  APlayer.SetAudioDriver("dummy");
  APlayer.SetVideoDriver("offscreen");
}

}  // namespace PlayerTestSupport
