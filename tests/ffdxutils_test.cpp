// Capture devices as the machine has them: the Video4Linux video nodes and the ALSA
// capture PCMs, read here from the kernel's own listings (/sys, /proc/asound).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/FFDXUtils.h"

namespace {

using FFDXUtils::EnumDirectShowInputDevices;
using Platform::TStringList;

bool MachineHasVideoNodes() {
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/sys/class/video4linux", ec), end; !ec && it != end;
       it.increment(ec))
    if (it->path().filename().string().rfind("video", 0) == 0) return true;
  return false;
}

bool MachineHasAudioCapture() {
  std::ifstream pcm("/proc/asound/pcm");
  std::string line;
  while (std::getline(pcm, line))
    if (line.find("capture") != std::string::npos) return true;
  return false;
}

TEST(FFDXUtils, DevicesOfEachType) {
  const struct {
    FFDXUtils::TDeviceType Type;
    bool Expected;
    const char* Prefix;
  } types[] = {{FFDXUtils::dtVideo, MachineHasVideoNodes(), "video="},
               {FFDXUtils::dtAudio, MachineHasAudioCapture(), "audio="}};
  for (const auto& t : types) {
    for (bool prefix : {false, true})
      for (bool moniker : {false, true}) {
        SCOPED_TRACE(::testing::Message() << t.Prefix << " prefix " << prefix << " moniker " << moniker);
        TStringList list;
        list.Add("kept");
        EXPECT_EQ(EnumDirectShowInputDevices(list, t.Type, prefix, moniker), t.Expected);
        ASSERT_GE(list.Count(), 1);
        EXPECT_EQ(list[0], "kept");
        if (!t.Expected) {
          EXPECT_EQ(list.Count(), 1);  // nothing added
        }
        for (int i = 1; i < list.Count(); i++) {
          const std::string& line = list[i];
          EXPECT_EQ(line.rfind(t.Prefix, 0) == 0, prefix) << line;
          EXPECT_GT(line.size(), prefix ? 6u : 0u);
          if (moniker) {
            EXPECT_EQ(line.find(':'), std::string::npos) << line;
          }
        }
      }
  }
}

TEST(FFDXUtils, BothTypesWithPrefixes) {
  for (bool moniker : {false, true}) {
    TStringList list;
    const bool expected = MachineHasVideoNodes() || MachineHasAudioCapture();
    EXPECT_EQ(EnumDirectShowInputDevices(list, moniker), expected);
    if (!expected) {
      EXPECT_EQ(list.Count(), 0);
    }
    bool audio_seen = false;
    for (const std::string& line : list.Items()) {
      const bool audio = line.rfind("audio=", 0) == 0;
      EXPECT_TRUE(audio || line.rfind("video=", 0) == 0) << line;
      if (!audio) {
        EXPECT_FALSE(audio_seen) << "video after audio: " << line;
      }
      audio_seen = audio_seen || audio;
    }
  }
}

}  // namespace
