// The muxer's own steps: the bitstream filters, the timestamp fixing of each packet and
// the release of a stream. Only the muxer (FFmpegMux.cpp) and its tests include this
// header; every other unit goes through FFmpegMux.h.
#pragma once
#include "engine/FFmpegMux.h"

namespace FFmpegMux {

using PMuxStream = TMuxStream*;

using PMux = TMux*;

// Initialises the stream's bitstream filter chain (or copies par_in to the stream when it
// has none). 0 or a negative error code.
[[nodiscard]] int bsf_init(TMuxStream* ms);

// Brings a packet on its way into the muxer to the stream's time base and makes its
// timestamps acceptable to the muxer: no dts after the pts (both replaced by the median
// of pts, dts and the last dts + 1) and, with strict muxers, dts increasing (raised to
// the last dts + 1, with a warning). 0, or AVERROR(EINVAL) for a non-monotonic dts with
// -xerror. Muxer thread only.
[[nodiscard]] int mux_fixup_ts(TMux* mux, TMuxStream* ms, AVPacket* pkt);

// Frees one output stream with its encoder, simple filter graph and statistics writers and
// sets post to nullptr; nullptr is accepted.
void ost_free(FFmpegHeader::TOutputStream*& post);

}  // namespace FFmpegMux
