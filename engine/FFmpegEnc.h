// Encoders of a conversion task: one per encoded output stream. An encoder is opened
// lazily from the first frame it receives (enc_open, run by the scheduler on the thread
// that delivers that frame), so its parameters always match what the filter graph
// produces; it then runs encoder_thread on its own scheduler thread: forced key frames,
// the encode-side hooks and previews, encoding, statistics, the video statistics file,
// and the packets sent on to the muxer (or to a loopback decoder).
//
// The same unit holds the encode-side audio step (host audio hook and the audio preview
// that plays a running conversion through the task's wave player) and the video step
// (host video, raw-picture hooks and preview).
#pragma once
#include <cstdint>

#include "engine/FFmpeg.h"
#include "engine/FFmpegSched.h"
#include "platform/Types.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegEnc {

using FFmpegHeader::PEncoder;
using FFmpegHeader::POutputFile;
using FFmpegHeader::POutputStream;
using FFmpegHeader::TEncStats;
using FFmpegHeader::TKeyframeForceCtx;
using Platform::Cardinal;

// ---- Life cycle ---------------------------------------------------------------------------
//
// enc_alloc, enc_loopback and enc_free are called by the thread that parses the task's
// command line (enc_free also by the release of the output stream, after the scheduler
// has stopped). The encoder's own record and the steps of its thread are in
// FFmpegEncInternal.h.

// Allocates a zeroed encoder for codec with its codec context, registered as scheduler
// encoder sch_idx, logging under ost. 0 with penc set; AVERROR(ENOMEM) with penc nullptr
// (nothing left allocated).
[[nodiscard]] int enc_alloc(PEncoder& penc, const AVCodec* codec, FFmpegSched::TScheduler* sch,
                            Cardinal sch_idx, POutputStream ost);

// Frees the codec context (with its statistics input text) and the record, and clears
// penc. The encoder owns its codec context: nobody else frees it. nullptr is ignored.
void enc_free(PEncoder& penc);

// The scheduler's open callback (opaque is the output stream): opens the encoder from
// the parameters of its first frame (frame may be nullptr for subtitles). Returns the
// encoder's fixed audio frame size in samples, 0 when it has none or was already open,
// or a negative error.
[[nodiscard]] int enc_open(void* opaque, const AVFrame* frame);

// The encoder's worker routine (arg is the output stream): 0 or a negative error.
[[nodiscard]] int encoder_thread(void* arg);

// Marks the encoder as feeding a loopback decoder (its first packet then carries the codec
// parameters); returns its scheduler index.
int enc_loopback(PEncoder enc);

// ---- Encoding -----------------------------------------------------------------------------

// One line of a statistics writer for frame (pre-encoding) or pkt (post-encoding, or as
// muxed). Any thread: the writer's lock keeps lines whole. Write errors are not reported.
void enc_stats_write(POutputStream ost, TEncStats* es, const AVFrame* frame, const AVPacket* pkt,
                     std::uint64_t frame_num);

}  // namespace FFmpegEnc
