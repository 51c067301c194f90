// A decoder's own record and the steps of its thread: one packet through the codec, the
// timestamps of the frames it gives, subtitles and hardware download. Only the decoder
// (FFmpegDec.cpp) and its tests include this header; every other unit goes through
// FFmpegDec.h.
#pragma once
#include "engine/FFmpegDec.h"

namespace FFmpegDec {

// Marks carried in the opaque value of packets from upstream.
constexpr std::intptr_t PKT_OPAQUE_SUB_HEARTBEAT = 1;
constexpr std::intptr_t PKT_OPAQUE_FIX_SUB_DURATION = 2;

// The decode error rate exceeded -max_error_rate (tag "ERED", negated).
constexpr int AVERROR_DECODE_ERROR_RATE = -1145393733;

// At most this many distinct view specifiers per decoder, and views per video.
constexpr int CMaxViews = 32;

// A view requested by a filter input, and the decoder output that carries it.
struct TViewRequest {
  TViewSpecifier vs;
  std::uint32_t out_idx;
};

// A view id of the current video sequence and the decoder outputs (bit i: output i)
// that receive its frames.
struct TViewMapEntry {
  std::uint32_t id;
  std::uintptr_t out_mask;
};

// The private record of a decoder; its head is the public TDecoder. Allocated zeroed by
// dec_alloc, freed by dec_free.
struct TDecoderPriv {
  TDecoder dec;

  // Owned by the decoder thread once the scheduler runs (before: by the parsing thread).
  AVCodecContext* dec_ctx;  // nullptr until opened (a loopback decoder: first packet)
  AVFrame* frame;
  AVFrame* frame_tmp_ref;  // extra reference for frames that go to several outputs
  AVPacket* pkt;

  // Immutable after open.
  AVRational sar_override;
  AVRational framerate_in;
  std::uint32_t flags;
  std::int32_t apply_cropping;

  // Hardware decoding; hwaccel_pix_fmt is written by get_format on the decoder thread.
  AVPixelFormat hwaccel_pix_fmt;
  THWAccelID hwaccel_id;
  AVHWDeviceType hwaccel_device_type;
  AVPixelFormat hwaccel_output_format;

  // Timestamp state, owned by the decoder thread.
  std::int64_t last_frame_pts;
  std::int64_t last_frame_duration_est;
  AVRational last_frame_tb;
  std::int64_t last_filter_in_rescale_delta;
  std::int32_t last_frame_sample_rate;
  // The decoding timestamp of the last packet given to the codec, in last_pkt_tb.
  std::int64_t last_pkt_dts;
  AVRational last_pkt_tb;

  // Subtitle duration fixing (only with DECODER_FLAG_FIX_SUB_DURATION).
  AVFrame* sub_prev[2];
  AVFrame* sub_heartbeat;

  // Immutable after registration.
  TScheduler* sch;
  std::uint32_t sch_idx;
  std::int32_t index;  // position in the task's decoder list; -1 for an input stream's
  void* log_parent;
  char log_name[32];
  char* parent_name;

  // Multiview. views_requested is filled while the graph is built; view_map belongs
  // to the codec callbacks (get_format, get_buffer) on the decoder thread.
  std::int32_t multiview_user_config;
  TViewRequest* views_requested;
  std::int32_t nb_views_requested;
  TViewMapEntry* view_map;
  std::int32_t nb_view_map;

  // Loopback decoders open on their first packet with these.
  AVDictionary* standalone_opts;
  const AVCodec* standalone_codec;

  FFmpeg::TCustomFFmpeg* Owner;

  // Decode-side video hooks, owned by the decoder thread. Each decoder has its own
  // packed picture and converter, so decoders running at once never share them.
  std::uint8_t* hook_picture;
  int hook_picture_size;
  FormatConvert::TFormatConverter* hook_converter;
};
using PDecoderPriv = TDecoderPriv*;

inline TDecoderPriv* dp_from_dec(PDecoder d) { return reinterpret_cast<TDecoderPriv*>(d); }

// Allocates a decoder and registers it with the scheduler (send_end_ts: the decoder
// reports the end timestamp of each flushed segment). 0 with dp set;
// AVERROR(ENOMEM) or the scheduler's error (nothing allocated then).
[[nodiscard]] int dec_alloc(FFmpeg::TCustomFFmpeg* Owner, TDecoderPriv*& dp, TScheduler* sch,
                            bool send_end_ts);

// Opens the codec context with the options; 0 or a negative error (logged).
[[nodiscard]] int dec_open(TDecoderPriv* dp, AVDictionary** dec_opts, const TDecoderOpts* o,
                           AVFrame* param_out);

// The body of the decoder's scheduler thread (arg: the TDecoderPriv). 0 at the end of
// input; AVERROR_DECODE_ERROR_RATE when too many packets failed; another error.
int decoder_thread(void* arg);

// Warns about a manual "view_ids" codec option and remembers it.
void multiview_check_manual(TDecoderPriv* dp, const AVDictionary* dec_opts);

// Decodes one packet (nullptr: drain) and sends the frames on. 0 when more input is
// wanted; AVERROR_EOF after a drain; AVERROR_EXIT when downstream has finished;
// another error stops the decoder.
[[nodiscard]] int packet_decode(TDecoderPriv* dp, AVPacket* pkt, AVFrame* frame);

// Picks the decoder's device for hardware decoding (none here unless asked and found).
// 0 or a negative error (logged).
[[nodiscard]] int hw_device_setup_for_decode(TDecoderPriv* dp, const AVCodec* codec,
                                             const char* hwaccel_device);
// Downloads a hardware frame into hwaccel_output_format, replacing the frame.
[[nodiscard]] int hwaccel_retrieve_data(AVCodecContext* avctx, AVFrame* input);

// The internal audio time base after the frame's sample rate (updates the decoder's
// timestamp state when the rate changed).
AVRational audio_samplerate_update(TDecoderPriv* dp, const AVFrame* frame);
// Gives an audio frame continuous timestamps in 1/sample_rate.
void audio_ts_process(TDecoderPriv* dp, AVFrame* frame);
// The estimated duration of a video frame in its own time base.
std::int64_t video_duration_estimate(const TDecoderPriv* dp, const AVFrame* frame);
// Timestamps, duration, aspect ratio, cropping and hardware download of a video frame;
// outputs receives the frame's output mask when multiview set one. 0 or an error.
[[nodiscard]] int video_frame_process(TDecoderPriv* dp, AVFrame* frame, unsigned& outputs);
// Runs the task's decode-side frame and video hooks on the frame; the hooked picture
// is written back into the frame's own buffer. Hook problems are logged, never fatal.
void video_hook_process(TDecoderPriv* dp, AVFrame* frame);

// Decodes one subtitle packet (nullptr: drain) or passes on a heartbeat. 0, AVERROR_EOF
// after a drain, AVERROR_EXIT when downstream has finished, or an error.
[[nodiscard]] int transcode_subtitles(TDecoderPriv* dp, const AVPacket* pkt, AVFrame* frame);
// Puts the subtitle into the frame's first buffer: a deep copy with copy, else the
// subtitle's contents move (subtitle is zeroed). 0 or AVERROR(ENOMEM).
[[nodiscard]] int subtitle_wrap_frame(AVFrame* frame, AVSubtitle* subtitle, bool copy);
// Deep copy of a subtitle into a zeroed dst. 0 or AVERROR(ENOMEM) (dst freed).
[[nodiscard]] int copy_av_subtitle(AVSubtitle* dst, const AVSubtitle* src);

}  // namespace FFmpegDec
