#include "components/FFBasePlayAudio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libswresample/swresample.h>
}

#include "components/FFBasePlayClock.h"
#include "platform/Format.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"
#include "runtime/SwResampleStubs.h"

namespace FFBasePlay {

// The entry points this file calls, bound at run time.
using SDL2Stubs::SDL_CloseAudioDevice;
using SDL2Stubs::SDL_GetError;
using SDL2Stubs::SDL_MixAudioFormat;
using SDL2Stubs::SDL_OpenAudio;
using SDL2Stubs::SDL_OpenAudioDevice;
using SDL2Stubs::SDL_getenv;
using AVUtilStubs::av_channel_layout_compare;
using AVUtilStubs::av_channel_layout_copy;
using AVUtilStubs::av_channel_layout_default;
using AVUtilStubs::av_channel_layout_uninit;
using AVUtilStubs::av_fast_malloc;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_bytes_per_sample;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_log2;
using AVUtilStubs::av_samples_get_buffer_size;
using AVUtilStubs::av_usleep;
using SoundTouchStubs::soundtouch_createInstance;
using SoundTouchStubs::soundtouch_destroyInstance;
using SoundTouchStubs::soundtouch_putSamples_i16;
using SoundTouchStubs::soundtouch_receiveSamples_i16;
using SoundTouchStubs::soundtouch_setChannels;
using SoundTouchStubs::soundtouch_setPitch;
using SoundTouchStubs::soundtouch_setSampleRate;
using SoundTouchStubs::soundtouch_setTempo;
using SwResampleStubs::swr_alloc_set_opts2;
using SwResampleStubs::swr_convert;
using SwResampleStubs::swr_free;
using SwResampleStubs::swr_init;
using SwResampleStubs::swr_set_compensation;

using FFLoad::llError;
using FFLoad::llInfo;
using FFLoad::llWarning;
using Platform::Format;

namespace {

void Log(TPlayerCore* APlayer, FFLoad::TLogLevel ALevel, const std::string& AText) {
  if (APlayer)
    APlayer->Log(ALevel, AText);
  else
    FFLoad::VEDovedo->Log(nullptr, ALevel, AText);
}

// Raises the player's audio hook for a new buffer of device-format audio.
void DoAudioHook(TVideoState* is, TPlayerCore* APlayer, double APts, std::uint8_t* ABuf,
                 int ASize) {
  if (!APlayer->AudioHook || !APlayer->OnAudioHook.Assigned()) return;
  const std::int64_t pts =
      std::isnan(APts) ? AV_NOPTS_VALUE : std::llround(APts * 1000000.0) - is->start_time;
  const MyUtils::THandlerScope mark(APlayer->LogSender, CAudioHookHandler);
  APlayer->OnAudioHook(APlayer->LogSender, pts, ABuf, ASize, is->audio_tgt.freq,
                       is->audio_tgt.ch_layout.nb_channels);
}

}  // namespace

int audio_open(TPlayerCore* APlayer, void* AOpaque, AVChannelLayout* wanted_channel_layout,
               int wanted_sample_rate, TAudioParams* audio_hw_params) {
  static const int next_nb_channels[] = {0, 0, 1, 6, 2, 6, 4, 6};
  static const int next_sample_rates[] = {0, 44100, 48000, 96000, 192000};
  int next_sample_rate_idx = static_cast<int>(std::size(next_sample_rates)) - 1;

  int wanted_nb_channels = wanted_channel_layout->nb_channels;
  if (const char* env = SDL_getenv("SDL_AUDIO_CHANNELS")) {
    wanted_nb_channels = std::atoi(env);
    av_channel_layout_uninit(wanted_channel_layout);
    av_channel_layout_default(wanted_channel_layout, wanted_nb_channels);
  }
  if (wanted_channel_layout->order != AV_CHANNEL_ORDER_NATIVE) {
    av_channel_layout_uninit(wanted_channel_layout);
    av_channel_layout_default(wanted_channel_layout, wanted_nb_channels);
  }
  wanted_nb_channels = wanted_channel_layout->nb_channels;

  SDL_AudioSpec wanted_spec{};
  SDL_AudioSpec spec{};
  if (wanted_sample_rate <= 0 || wanted_nb_channels <= 0 || wanted_nb_channels > 255) {
    Log(APlayer, llError, "Invalid sample rate or channel count!");
    return -1;
  }
  wanted_spec.channels = static_cast<Uint8>(wanted_nb_channels);
  wanted_spec.freq = wanted_sample_rate;
  while (next_sample_rate_idx && next_sample_rates[next_sample_rate_idx] >= wanted_spec.freq)
    next_sample_rate_idx--;
  wanted_spec.format = AUDIO_S16SYS;
  wanted_spec.silence = 0;
  wanted_spec.samples = static_cast<Uint16>(
      std::max(SDL_AUDIO_MIN_BUFFER_SIZE,
               2 << av_log2(static_cast<unsigned>(wanted_spec.freq / SDL_AUDIO_MAX_CALLBACKS_PER_SEC))));
  wanted_spec.callback = sdl_audio_callback;
  wanted_spec.userdata = AOpaque;

  const std::string device = APlayer ? APlayer->AudioDevice : std::string();
  const char* device_name = device.empty() ? nullptr : device.c_str();
  SDL_AudioDeviceID dev;
  while (!(dev = SDL_OpenAudioDevice(device_name, 0, &wanted_spec, &spec,
                                     SDL_AUDIO_ALLOW_FREQUENCY_CHANGE |
                                         SDL_AUDIO_ALLOW_CHANNELS_CHANGE))) {
    Log(APlayer, llWarning,
        Format("SDL_OpenAudio (%d channels, %d Hz): %s", wanted_spec.channels, wanted_spec.freq,
               SDL_GetError()));
    wanted_spec.channels = static_cast<Uint8>(next_nb_channels[std::min<int>(7, wanted_spec.channels)]);
    if (!wanted_spec.channels) {
      wanted_spec.freq = next_sample_rates[next_sample_rate_idx];
      if (next_sample_rate_idx > 0) next_sample_rate_idx--;
      wanted_spec.channels = static_cast<Uint8>(wanted_nb_channels);
      if (!wanted_spec.freq) {
        Log(APlayer, llError, "No more combinations to try, audio open failed");
        return -1;
      }
    }
    av_channel_layout_uninit(wanted_channel_layout);
    av_channel_layout_default(wanted_channel_layout, wanted_spec.channels);
  }
  if (spec.format != AUDIO_S16SYS) {
    Log(APlayer, llError, Format("SDL advised audio format %d is not supported!", spec.format));
    SDL_CloseAudioDevice(dev);
    return -1;
  }
  if (spec.channels != wanted_spec.channels) {
    av_channel_layout_uninit(wanted_channel_layout);
    av_channel_layout_default(wanted_channel_layout, spec.channels);
    if (wanted_channel_layout->order != AV_CHANNEL_ORDER_NATIVE) {
      Log(APlayer, llError, Format("SDL advised channel count %d is not supported!", spec.channels));
      SDL_CloseAudioDevice(dev);
      return -1;
    }
    Log(APlayer, llInfo,
        Format("Audio channels changed from %d to %d (SDL advised)", wanted_spec.channels,
               spec.channels));
  }
  if (spec.freq != wanted_spec.freq)
    Log(APlayer, llInfo,
        Format("Audio sample rate changed from %d to %d (SDL advised)", wanted_spec.freq,
               spec.freq));

  audio_hw_params->fmt = AV_SAMPLE_FMT_S16;
  audio_hw_params->freq = spec.freq;
  av_channel_layout_uninit(&audio_hw_params->ch_layout);
  if (av_channel_layout_copy(&audio_hw_params->ch_layout, wanted_channel_layout) < 0) {
    SDL_CloseAudioDevice(dev);
    return -1;
  }
  const int channels = audio_hw_params->ch_layout.nb_channels;
  audio_hw_params->frame_size =
      av_samples_get_buffer_size(nullptr, channels, 1, audio_hw_params->fmt, 1);
  audio_hw_params->bytes_per_sec =
      av_samples_get_buffer_size(nullptr, channels, audio_hw_params->freq, audio_hw_params->fmt, 1);
  if (audio_hw_params->bytes_per_sec <= 0 || audio_hw_params->frame_size <= 0) {
    Log(APlayer, llError, "av_samples_get_buffer_size failed");
    SDL_CloseAudioDevice(dev);
    return -1;
  }
  if (APlayer) APlayer->audio_dev = dev;
  Log(APlayer, llInfo,
      Format("Current audio device [SDL audio id %u]: %s", dev,
             device_name ? device_name : "system default"));
  return static_cast<int>(spec.size);
}

bool SoundTouchUsable(TPlayerCore* APlayer, TVideoState* is) {
  if (!APlayer || !APlayer->UseSoundTouch) return false;
  if (!soundtouch_createInstance) return false;
  if (SoundTouchStubs::SoundTouchVersion >= 10800) return true;
  return SoundTouchStubs::SoundTouchVersion >= 10000 &&
         (is->audio_tgt.fmt == AV_SAMPLE_FMT_S16 || is->audio_tgt.fmt == AV_SAMPLE_FMT_S32);
}

int audio_decode_frame(TVideoState* is, double& pts, TPlayerCore* APlayer) {
  pts = NAN;
  if (is->paused) {
    // A frame step in its first phase still needs the audio of its frame; without a
    // picture to wait for, the step moves on at once.
    if (is->step != 1) return -1;
    if (!is->video_st) is->step = 2;
  }
  if (is->audioq.abort_request) return -1;

  TFrame* af;
  do {
    // Wait for a frame, but not longer than half the device buffer's play time since the
    // callback began: silence then keeps the device fed.
    const std::int64_t wait_limit = is->audio_tgt.bytes_per_sec > 0
        ? 1000000LL * is->audio_hw_buf_size / is->audio_tgt.bytes_per_sec / 2
        : 0;
    while (frame_queue_nb_remaining(&is->sampq) == 0) {
      if (is->audioq.abort_request) return -1;
      // The end: the decoder has drained the queue of the current serial (or the queue
      // was marked finished). The decoder pushes its last frames before it marks the end,
      // so the queue is looked at again after.
      if ((is->audioq.finished || is->auddec.finished == is->audioq.serial) &&
          frame_queue_nb_remaining(&is->sampq) == 0) {
        if (!std::isnan(is->audio_clock) && is->audio_clock_serial == is->audioq.serial)
          is->audio_end_time = std::llround(is->audio_clock * 1000000.0);
        return AVERROR_EOF;
      }
      if (av_gettime_relative() - APlayer->audio_callback_time > wait_limit) return -1;
      av_usleep(1000);
    }
    af = frame_queue_peek_readable(&is->sampq);
    if (!af) return -1;
    frame_queue_next(&is->sampq);
  } while (af->serial != is->audioq.serial);

  AVFrame* frame = af->frame;
  const int channels = frame->ch_layout.nb_channels;
  const int data_size = av_samples_get_buffer_size(nullptr, channels, frame->nb_samples,
                                                   static_cast<AVSampleFormat>(frame->format), 1);
  if (data_size < 0) return -1;

  // How many samples this frame should yield.
  const bool ext_master = get_master_sync_type(is) == AV_SYNC_EXTERNAL_CLOCK;
  const double ext_speed = get_clock_speed(&is->extclk);
  const bool speed_change = ext_master && ext_speed != 1.0;
  const bool st_usable = SoundTouchUsable(APlayer, is);
  int wanted_nb_samples;
  if (speed_change) {
    // With SoundTouch the tempo changes below and the pitch stays; without it the
    // resampler's compensation changes speed and pitch together.
    wanted_nb_samples = st_usable
        ? frame->nb_samples
        : static_cast<int>(std::lround(frame->nb_samples / ext_speed));
  } else {
    wanted_nb_samples = synchronize_audio(is, frame->nb_samples);
  }

  if (frame->format != is->audio_src.fmt ||
      av_channel_layout_compare(&frame->ch_layout, &is->audio_src.ch_layout) ||
      frame->sample_rate != is->audio_src.freq ||
      (wanted_nb_samples != frame->nb_samples && !is->swr_ctx)) {
    swr_free(&is->swr_ctx);
    int ret = swr_alloc_set_opts2(&is->swr_ctx, &is->audio_tgt.ch_layout, is->audio_tgt.fmt,
                                  is->audio_tgt.freq, &frame->ch_layout,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate,
                                  0, nullptr);
    if (ret < 0 || swr_init(is->swr_ctx) < 0) {
      Log(APlayer, llError,
          Format("Cannot create sample rate converter for conversion of %d Hz %s %d channels "
                 "to %d Hz %s %d channels!",
                 frame->sample_rate,
                 av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format)), channels,
                 is->audio_tgt.freq, av_get_sample_fmt_name(is->audio_tgt.fmt),
                 is->audio_tgt.ch_layout.nb_channels));
      swr_free(&is->swr_ctx);
      return -1;
    }
    av_channel_layout_uninit(&is->audio_src.ch_layout);
    if (av_channel_layout_copy(&is->audio_src.ch_layout, &frame->ch_layout) < 0) return -1;
    is->audio_src.freq = frame->sample_rate;
    is->audio_src.fmt = static_cast<AVSampleFormat>(frame->format);
  }

  int resampled_data_size;
  if (is->swr_ctx) {
    const std::uint8_t** in = const_cast<const std::uint8_t**>(frame->extended_data);
    const int out_count = static_cast<int>(static_cast<std::int64_t>(wanted_nb_samples) *
                                           is->audio_tgt.freq / frame->sample_rate) + 256;
    const int out_size = av_samples_get_buffer_size(
        nullptr, is->audio_tgt.ch_layout.nb_channels, out_count, is->audio_tgt.fmt, 0);
    if (out_size < 0) {
      Log(APlayer, llError, "av_samples_get_buffer_size() failed");
      return -1;
    }
    if (wanted_nb_samples != frame->nb_samples) {
      if (swr_set_compensation(
              is->swr_ctx,
              (wanted_nb_samples - frame->nb_samples) * is->audio_tgt.freq / frame->sample_rate,
              wanted_nb_samples * is->audio_tgt.freq / frame->sample_rate) < 0) {
        Log(APlayer, llError, "swr_set_compensation() failed");
        return -1;
      }
    }
    av_fast_malloc(&is->audio_buf1, &is->audio_buf1_size, static_cast<size_t>(out_size));
    if (!is->audio_buf1) {
      Log(APlayer, llError, "av_fast_malloc() failed");
      return AVERROR(ENOMEM);
    }
    std::uint8_t** out = &is->audio_buf1;
    const int len2 = swr_convert(is->swr_ctx, out, out_count, in, frame->nb_samples);
    if (len2 < 0) {
      Log(APlayer, llError, "swr_convert() failed");
      return -1;
    }
    if (len2 == out_count) {
      Log(APlayer, llWarning, "audio buffer is probably too small");
      if (swr_init(is->swr_ctx) < 0) swr_free(&is->swr_ctx);
    }
    is->audio_buf = is->audio_buf1;
    resampled_data_size = len2 * is->audio_tgt.ch_layout.nb_channels *
                          av_get_bytes_per_sample(is->audio_tgt.fmt);
  } else {
    is->audio_buf = frame->data[0];
    resampled_data_size = data_size;
  }

  // Tempo (external clock speed) and pitch through SoundTouch.
  if ((speed_change || is->pitch != 1.0f) && st_usable) {
    if (is->audio_tgt.fmt != AV_SAMPLE_FMT_S16) {
      Log(APlayer, llError,
          "Invalidate audio format for changing playback speed and/or audio pitch.");
      return -1;
    }
    const int out_channels = is->audio_tgt.ch_layout.nb_channels;
    const int frame_bytes = out_channels * static_cast<int>(sizeof(std::int16_t));
    const int nb_samples = resampled_data_size / frame_bytes;
    int capacity = nb_samples;
    if (speed_change) capacity = static_cast<int>(std::ceil(nb_samples / ext_speed));
    av_fast_malloc(&is->st_buf, &is->st_buf_size,
                   static_cast<size_t>(std::max(capacity, 1)) * frame_bytes);
    if (!is->st_buf) return AVERROR(ENOMEM);

    const double tempo = speed_change ? ext_speed : 1.0;
    const auto rate = static_cast<unsigned>(is->audio_tgt.freq);
    if (!is->soundtouch) {
      is->soundtouch = soundtouch_createInstance();
      if (!is->soundtouch) {
        Log(APlayer, llError, "soundtouch_createInstance() failed");
        return AVERROR(ENOMEM);
      }
      soundtouch_setChannels(is->soundtouch, static_cast<unsigned>(out_channels));
      soundtouch_setSampleRate(is->soundtouch, rate);
      soundtouch_setTempo(is->soundtouch, static_cast<float>(tempo));
      soundtouch_setPitch(is->soundtouch, is->pitch);
      is->st_channels = static_cast<unsigned>(out_channels);
      is->st_rate = rate;
      is->st_tempo = tempo;
      is->st_pitch = is->pitch;
    } else {
      if (is->st_channels != static_cast<unsigned>(out_channels)) {
        soundtouch_setChannels(is->soundtouch, static_cast<unsigned>(out_channels));
        is->st_channels = static_cast<unsigned>(out_channels);
      }
      if (is->st_rate != rate) {
        soundtouch_setSampleRate(is->soundtouch, rate);
        is->st_rate = rate;
      }
      if (is->st_tempo != tempo) {
        soundtouch_setTempo(is->soundtouch, static_cast<float>(tempo));
        is->st_tempo = tempo;
      }
      if (is->st_pitch != is->pitch) {
        soundtouch_setPitch(is->soundtouch, is->pitch);
        is->st_pitch = is->pitch;
      }
    }
    // The library computes in floats; the _i16 entry points take and give the signed
    // 16-bit samples we hold (the float ones would read twice the buffer).
    soundtouch_putSamples_i16(is->soundtouch, reinterpret_cast<const std::int16_t*>(is->audio_buf),
                              static_cast<unsigned>(nb_samples));
    const unsigned received = soundtouch_receiveSamples_i16(
        is->soundtouch, reinterpret_cast<std::int16_t*>(is->st_buf), static_cast<unsigned>(capacity));
    // SoundTouch holds samples back while it fills its window: until output comes, the
    // frame yields nothing, rather than the unprocessed samples that would then be heard
    // twice.
    is->audio_buf = is->st_buf;
    resampled_data_size = static_cast<int>(received) * frame_bytes;
  }

  pts = af->pts;
  if (!std::isnan(af->pts))
    is->audio_clock = af->pts + static_cast<double>(frame->nb_samples) / frame->sample_rate;
  else
    is->audio_clock = NAN;
  is->audio_clock_serial = af->serial;
  return resampled_data_size;
}

void sdl_audio_callback(void* opaque, Uint8* stream, int len) {
  auto* is = static_cast<TVideoState*>(opaque);
  TPlayerCore* player = is->owner;
  const std::int64_t callback_time = av_gettime_relative();
  player->audio_callback_time = callback_time;

  while (len > 0) {
    if (is->audio_buf_index >= static_cast<int>(is->audio_buf_size)) {
      double pts;
      const int audio_size = audio_decode_frame(is, pts, player);
      if (is->audioq.abort_request) {
        // Closing: the device gets silence for the rest of this call.
        std::memset(stream, 0, static_cast<size_t>(len));
        return;
      }
      is->audio_eof = audio_size == AVERROR_EOF;
      if (audio_size < 0) {
        // An error, or nothing in time: output silence.
        is->audio_buf = nullptr;
        const int frame_size = std::max(is->audio_tgt.frame_size, 1);
        is->audio_buf_size = static_cast<unsigned>(SDL_AUDIO_MIN_BUFFER_SIZE / frame_size * frame_size);
      } else {
        is->audio_played_since_seek = true;
        if (audio_size > 0) {
          DoAudioHook(is, player, pts, is->audio_buf, audio_size);
          if (is->show_mode != SHOW_MODE_VIDEO)
            update_sample_display(is, reinterpret_cast<const std::int16_t*>(is->audio_buf),
                                  audio_size);
        }
        is->audio_buf_size = static_cast<unsigned>(audio_size);
      }
      is->audio_buf_index = 0;
    }
    int len1 = static_cast<int>(is->audio_buf_size) - is->audio_buf_index;
    if (len1 > len) len1 = len;
    const bool muted = player->Mute;
    const int volume = player->AudioVolume;
    if (!muted && is->audio_buf && volume == SDL_MIX_MAXVOLUME) {
      std::memcpy(stream, is->audio_buf + is->audio_buf_index, static_cast<size_t>(len1));
    } else {
      std::memset(stream, 0, static_cast<size_t>(len1));
      if (!muted && is->audio_buf)
        SDL_MixAudioFormat(stream, is->audio_buf + is->audio_buf_index, AUDIO_S16SYS,
                           static_cast<Uint32>(len1), volume);
    }
    len -= len1;
    stream += len1;
    is->audio_buf_index += len1;
  }
  is->audio_write_buf_size = static_cast<int>(is->audio_buf_size) - is->audio_buf_index;
  // The clock is what the device plays now: the end of the last frame minus what is
  // still buffered (assuming the device holds two periods).
  if (!std::isnan(is->audio_clock) && !is->audio_eof) {
    set_clock_at(&is->audclk,
                 is->audio_clock - static_cast<double>(2 * is->audio_hw_buf_size +
                                                       is->audio_write_buf_size) /
                                       is->audio_tgt.bytes_per_sec,
                 is->audio_clock_serial, static_cast<double>(callback_time) / 1000000.0);
    sync_clock_to_slave(&is->extclk, &is->audclk);
  }
}

void audio_release(TVideoState* is) {
  swr_free(&is->swr_ctx);
  av_freep(&is->audio_buf1);
  is->audio_buf1_size = 0;
  av_freep(&is->st_buf);
  is->st_buf_size = 0;
  is->audio_buf = nullptr;
  is->audio_buf_size = 0;
  is->audio_buf_index = 0;
  if (is->soundtouch && soundtouch_destroyInstance) soundtouch_destroyInstance(is->soundtouch);
  is->soundtouch = nullptr;
  av_channel_layout_uninit(&is->audio_src.ch_layout);
  av_channel_layout_uninit(&is->audio_tgt.ch_layout);
}

}  // namespace FFBasePlay
