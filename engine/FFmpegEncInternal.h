// An encoder's own record and the steps of its thread: encoding, statistics, forced key
// frames, the encode-side hooks and the audio preview. Only the encoder (FFmpegEnc.cpp)
// and its tests include this header; every other unit goes through FFmpegEnc.h.
#pragma once
#include "engine/FFmpegEnc.h"

namespace FFmpegEnc {

// The private record behind TEncoder: the shared head first, so that a PEncoder is a
// pointer to both.
//
// Immutable after enc_alloc: class_, log_parent, log_name, sch, sch_idx.
// Written by the thread that runs enc_open (the first frame's sender) before the
// encoder thread touches the codec context: enc_ctx's parameters, opened.
// Owned by the encoder thread afterwards: enc_ctx, frames_encoded, samples_encoded,
// data_size, packets_encoded.
// attach_par is set while the graph is built (enc_loopback), before any thread runs.
struct TEncoderPriv {
  FFmpegHeader::TEncoder e;

  POutputStream log_parent;  // the stream that owns the encoder; nests its log lines
  char log_name[32];         // "enc:<encoder name>"

  std::uint64_t data_size;        // bytes of all packets received from the encoder
  std::uint64_t packets_encoded;  // packets received from the encoder

  std::int32_t opened;      // 1 once enc_open succeeded; never returns to 0
  std::int32_t attach_par;  // the first packet carries the codec parameters (loopback)

  FFmpegSched::TScheduler* sch;  // not owned
  Cardinal sch_idx;
};
using PEncoderPriv = TEncoderPriv*;

inline PEncoderPriv ep_from_enc(PEncoder AEnc) { return reinterpret_cast<PEncoderPriv>(AEnc); }

// The reusable frame and packet of one encoder thread.
struct TEncoderThread {
  AVFrame* frame;
  AVPacket* pkt;
};

// True when the file has no recording time or ts (in tb) lies before it.
[[nodiscard]] bool check_recording_time(POutputStream ost, std::int64_t ts, AVRational tb);

// One frame (nullptr: flush) through the hooks and the encoder: 0, AVERROR_EOF when the
// stream has reached its recording time or the encoder ended, or a negative error.
[[nodiscard]] int frame_encode(POutputStream ost, AVFrame* frame, AVPacket* pkt);
[[nodiscard]] int encode_frame(POutputFile of, POutputStream ost, AVFrame* frame, AVPacket* pkt);
[[nodiscard]] int do_subtitle_out(POutputFile of, POutputStream ost, const AVSubtitle* sub,
                                  AVPacket* pkt);

// Quality and PSNR of a video packet into the stream; with write_vstats a line into the
// task's -vstats file. 0, or -1 when that file cannot be opened.
int update_video_stats(POutputStream ost, const AVPacket* pkt, bool write_vstats);

// True when frame must be coded as a key frame (-force_key_frames); logctx is the stream.
[[nodiscard]] bool forced_kf_apply(void* logctx, TKeyframeForceCtx* kf, const AVFrame* frame);

// Gives the encoder the input's hardware frames context or the task's device of a
// suitable type; without either it runs in software. 0 or AVERROR(ENOMEM).
[[nodiscard]] int hw_device_setup_for_encode(PEncoderPriv e, AVBufferRef* frames_ref);

// 0, or AVERROR(ENOMEM) with nothing left allocated.
[[nodiscard]] int enc_thread_init(TEncoderThread* et);
void enc_thread_uninit(TEncoderThread* et);

// The audio step before encoding: the host's encode-side audio hook, then the audio
// preview. Failures of the preview switch it off; nothing here stops the conversion.
void enc_audio_hook_process(POutputStream ost, AVFrame* frame);

// Opens the task's wave player at the frame's sample rate, signed 16-bit stereo (every
// channel count is played as stereo: the player cannot take all counts). False (logged)
// on failure.
[[nodiscard]] bool audio_preview_open(FFmpeg::TCustomFFmpeg* task, const AVFrame* frame);

// Converts the frame's samples to the wave player's format (the resampler is made anew
// when the source format changes, and in_format follows the frame). 0 or more: the
// number of PCM bytes ready at out_data; a negative error (logged).
[[nodiscard]] int audio_preview_resample(FFmpeg::TCustomFFmpeg* task, const AVFrame* frame,
                                         FFmpeg::TAudioPreviewInFormat& in_format,
                                         std::uint8_t*& out_data);

// The wave player's pull callback (userdata is the task): fills len bytes at stream from
// the task's ring buffer, waiting in 10 ms steps while it is empty, silence once the
// task stops or the preview is off.
void audio_preview_pull(void* userdata, std::uint8_t* stream, int len);

// The video step before encoding: host video and raw-picture hooks, then the preview.
void enc_video_hook_step(POutputStream ost, AVFrame* frame);

// What the video step knows of one frame: its number, its time in microseconds, and
// whether the preview converter's bitmap already holds it (set by the video hook).
struct TVideoHookStep {
  int frame_number;
  std::int64_t pts;
  bool converted;
};

// Copies the frame into the task's packed hook picture, calls the host's video hook
// (as a bitmap) and raw-picture hook on it, and copies the picture, as the hooks left
// it, back into the frame's own (made writable) buffers, so that the encoder codes the
// hooks' changes. A failure is logged and skips the hooks for this frame.
void enc_video_hook_process(FFmpeg::TCustomFFmpeg* task, AVFrame* frame,
                            const AVCodecContext* codec_ctx, TVideoHookStep& state);

}  // namespace FFmpegEnc
