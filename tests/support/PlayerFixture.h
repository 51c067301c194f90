// The fixture of tests that run players on SDL's dummy audio and offscreen video drivers,
// with a folder of clips made once for their suite.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "PlayerTestSupport.h"
#include "SavedEnvironment.h"

namespace FFBasePlay {
class TFFBasePlayer;
}

namespace PlayerTestSupport {

// Every test starts SDL afresh (another test may have left it running on another driver)
// and gets the drivers' variables back as they were. A suite's SetUpTestSuite calls
// MakeClips, then writes its clips through FClips; they go with the suite.
class TPlayerFixture : public ::testing::Test {
 protected:
  // Checks the player's libraries, then makes the suite's clip folder (APrefix_XXXXXX)
  // and sets FDir to it.
  static void MakeClips(const std::string& APrefix);
  static void TearDownTestSuite();
  void SetUp() override;

  // Puts APlayer on the dummy audio and offscreen video drivers.
  static void Prepare(FFBasePlay::TFFBasePlayer& APlayer);

  static std::unique_ptr<TClips> FClips;
  static std::string FDir;

 private:
  TestEnvironment::TSavedVariables FVariables{"SDL_AUDIODRIVER", "SDL_VIDEODRIVER"};
};

}  // namespace PlayerTestSupport
