// What the player's tests share: the libraries a player needs, a stream state on the heap,
// and sample frames of a lavfi sine made through the bound libraries.
#pragma once
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "components/FFBasePlayState.h"

namespace PlayerTestSupport {

// The FFmpeg libraries, SDL2 and (when present) SoundTouch, bound. Raises
// Platform::Exception when the FFmpeg libraries or SDL2 cannot be loaded.
void RequirePlayerLibraries();

// A zero-state stream state owned by APlayer (the stream state is too large for the stack).
std::unique_ptr<FFBasePlay::TVideoState> NewStreamState(FFBasePlay::TPlayerCore* APlayer);

struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const;
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;

// Signed 16-bit mono frames of ANSamples samples each (the last may be shorter) of the
// lavfi source "sine" at AFrequency Hz and ASampleRate for ADuration seconds; pts in
// 1/ASampleRate. Empty on failure.
std::vector<TFramePtr> SineFrames(int AFrequency, int ASampleRate, double ADuration,
                                  int ANSamples = 1024);

}  // namespace PlayerTestSupport
