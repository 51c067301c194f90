// The player's audio output: opening the SDL audio device with channel and rate
// fall-backs, turning decoded sample frames into the device's format (resampling with
// sample-count correction towards the master clock, then optional tempo and pitch
// change through SoundTouch), and the SDL audio callback that mixes with volume and
// mute, raises the audio hook and keeps the audio clock.
//
// Threads: audio_open runs on the thread that opens the stream, under SDLLoader's lock
// (device opening is serialised among players). sdl_audio_callback and
// audio_decode_frame run on SDL's audio thread; they own the stream's audio buffers,
// resampler and SoundTouch instance while the device runs, and share the rest of the
// stream state through the sample queue and the clocks. audio_release runs after the
// device was closed.
#pragma once
#include <cstdint>

#include <SDL.h>

#include "components/FFBasePlayState.h"

namespace FFBasePlay {

// Opens APlayer's audio device (its AudioDevice name, or the system default) for
// signed 16-bit samples, with sdl_audio_callback over AOpaque (the stream state). On
// refusal the channel count falls back (7..0 -> 6, 6, 4, 6, 2, 6, 1, 0), then the rate
// (192000, 96000, 48000, 44100 below the wanted one) with the wanted channel count
// again. Fills audio_hw_params, stores the device in APlayer->audio_dev and returns the
// device's buffer size in bytes; -1 when nothing could be opened. The environment
// variable SDL_AUDIO_CHANNELS overrides the wanted channel count. wanted_channel_layout
// is updated to the layout tried last.
[[nodiscard]] int audio_open(TPlayerCore* APlayer, void* AOpaque,
                             AVChannelLayout* wanted_channel_layout, int wanted_sample_rate,
                             TAudioParams* audio_hw_params);

// Whether tempo and pitch change through SoundTouch is available to the stream: the
// player wants it and the loaded SoundTouch is version 1.8 or later, or 1.0 or later with
// a signed 16- or 32-bit output format.
bool SoundTouchUsable(TPlayerCore* APlayer, TVideoState* is);

// Makes the next buffer of device-format audio from the sample queue: is->audio_buf
// then holds the bytes. The byte count; -1 while paused, when the queue was aborted or
// when no frame came in time; AVERROR_EOF at the end of the stream; AVERROR(ENOMEM).
// pts receives the frame's time in seconds.
int audio_decode_frame(TVideoState* is, double& pts, TPlayerCore* APlayer);

// SDL's audio callback; opaque is the stream state.
void sdl_audio_callback(void* opaque, Uint8* stream, int len);

// Frees the resampler, the audio buffers and the SoundTouch instance (after the device
// was closed).
void audio_release(TVideoState* is);

}  // namespace FFBasePlay
