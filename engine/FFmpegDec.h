// Decoders of a conversion task: one per decoded input stream and one per loopback
// decoder ("-dec", fed by an encoder of the same task). Each runs decoder_thread on its
// own scheduler worker thread, turns packets into frames, gives every frame its
// timestamps (audio time base that survives sample-rate changes, video duration
// estimates, aspect-ratio override, cropping, hardware download), runs the task's
// decode-side hooks on it and hands it to the scheduler, which routes it to filter
// inputs. Subtitles are decoded into a subtitle record carried inside a frame.
//
// Ownership: a decoder of an input stream is owned by that stream (dec_free from the
// stream's release), a loopback decoder by the task's decoder list (Fdecoders). The
// record is touched by other threads only through the scheduler's queues; see the
// sections of TDecoderPriv.
#pragma once
#include <cstdint>

#include "engine/FFmpegSched.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpeg {
class TCustomFFmpeg;
}
namespace FormatConvert {
class TFormatConverter;
}

namespace FFmpegDec {

using FFmpegHeader::PDecoder;
using FFmpegHeader::TDecoder;
using FFmpegHeader::TDecoderOpts;
using FFmpegHeader::THWAccelID;
using FFmpegHeader::TInputFilter;
using FFmpegHeader::TInputFilterOptions;
using FFmpegHeader::TOptionsContext;
using FFmpegHeader::TViewSpecifier;
using FFmpegSched::TScheduler;
using FFmpegSched::TSchedulerNode;

// Decoder flags (TDecoderOpts.flags).
constexpr std::int32_t DECODER_FLAG_FIX_SUB_DURATION = 1 << 0;
constexpr std::int32_t DECODER_FLAG_TS_UNRELIABLE = 1 << 1;
constexpr std::int32_t DECODER_FLAG_FRAMERATE_FORCED = 1 << 2;
constexpr std::int32_t DECODER_FLAG_TOP_FIELD_FIRST = 1 << 3;
constexpr std::int32_t DECODER_FLAG_SEND_END_TS = 1 << 4;
constexpr std::int32_t DECODER_FLAG_BITEXACT = 1 << 5;

// Marks carried in the opaque value of the frames a decoder sends on.
constexpr std::intptr_t FRAME_OPAQUE_SUB_HEARTBEAT = 1;
constexpr std::intptr_t FRAME_OPAQUE_EOF = 2;

// ---- Life cycle -----------------------------------------------------------------------------
//
// Each is called by the thread that parses the task's command line, before the scheduler
// starts (dec_free: by the owner's release, after the scheduler has stopped). The
// decoder's own record and the steps of its thread are in FFmpegDecInternal.h.

// Frees the decoder with everything it owns and sets dec to nullptr; nullptr is ignored.
void dec_free(PDecoder& dec);

// The decoder of an input stream: allocates, registers and opens it. The scheduler
// index (>= 0) with dec set, or a negative error (nothing left allocated).
// param_out, when given, receives the decoder's output parameters.
[[nodiscard]] int dec_init(FFmpeg::TCustomFFmpeg* Owner, PDecoder& dec, TScheduler* sch,
                           AVDictionary** dec_opts, const TDecoderOpts* o, AVFrame* param_out);

// The handler of a loopback decoder group ("-dec of:os"): creates the decoder, appends it
// to the task's decoder list and connects the encoder of that output stream to it.
// 0 or a negative error ("Invalid output file index ...", "Invalid output stream index
// ...", "Output stream ... has no encoder", "No such decoder: ...").
[[nodiscard]] int dec_create(FFmpeg::TCustomFFmpeg* Owner, const TOptionsContext* o,
                             const char* arg, TScheduler* sch);

// Binds a filter input to the decoder: names the input "dec<index>" and returns the
// source node for the requested view in src. 0 or a negative error.
[[nodiscard]] int dec_filter_add(PDecoder dec, TInputFilter* ifilter,
                                 TInputFilterOptions* opts, const TViewSpecifier* vs,
                                 TSchedulerNode& src);
// The decoder output carrying the view (vs nullptr: the default view), in src.
// 0; AVERROR(EINVAL) when combined with -view_ids; AVERROR(ENOSYS) for too many views.
[[nodiscard]] int dec_request_view(PDecoder dec, const TViewSpecifier* vs, TSchedulerNode& src);

}  // namespace FFmpegDec
