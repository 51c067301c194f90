// A filter graph's own records (the private parts behind the graph, its inputs and
// outputs) and the steps of its filter thread: binding, configuration, output time base,
// video sync. Only the filter unit (FFmpegFilter.cpp) and its tests include this header;
// every other unit goes through FFmpegFilter.h.
#pragma once
#include "engine/FFmpegFilter.h"

namespace FFmpegFilter {

// A graph. Allocated zero-filled; the head is what other units see.
struct TFilterGraphPriv {
  TFilterGraph fg;

  // Immutable after creation.
  char log_name[32];  // "fc#%d"; for a simple graph "%cf%s"
  std::int32_t is_simple;
  std::int32_t disable_conversions;
  std::int32_t nb_threads;  // filter threads of a simple graph; -1: not set
  FFmpegSched::TScheduler* sch;
  unsigned sch_idx;

  // Owned by the filter thread once the scheduler runs.
  std::int32_t is_meta;       // every filter only touches metadata
  std::int32_t have_sources;  // a source filter or apad: yield after each step
  std::int32_t nb_outputs_done;
  AVFrame* frame;      // work frame
  AVFrame* frame_enc;  // frame handed to the encoder
};

// A graph input. Allocated zero-filled.
struct TInputFilterPriv {
  TInputFilter ifilter;

  // Set while binding.
  TInputFilterOptions opts;
  AVFrame* frame;         // work frame
  AVMediaType type_src;   // subtitle for a subtitle stream rendered onto video
  std::int32_t eof;
  std::int32_t bound;

  // Owned by the filter thread.
  std::int32_t drop_warned;
  std::uint64_t nb_dropped;  // frames dropped instead of reconfiguring

  // The parameters currently configured.
  std::int32_t format;  // -1: not yet received
  std::int32_t width;
  std::int32_t height;
  AVRational sample_aspect_ratio;
  AVColorSpace color_space;
  AVColorRange color_range;
  std::int32_t sample_rate;
  AVChannelLayout ch_layout;
  AVRational time_base;
  AVFrameSideData** side_data;
  std::int32_t nb_side_data;

  AVFifo* frame_queue;  // frames waiting for the graph to be configured
  AVBufferRef* hw_frames_ctx;

  std::int32_t displaymatrix_present;
  std::int32_t displaymatrix_applied;
  std::int32_t displaymatrix[9];

  std::int32_t downmixinfo_present;
  std::uint8_t downmixinfo[48];  // an AVDownmixInfo record

  // Subtitle canvas.
  AVFrame* sub2video_frame;
  std::int64_t sub2video_last_pts;
  std::int64_t sub2video_end_pts;
  std::uint32_t sub2video_initialize;
};

// A graph output. Allocated zero-filled.
struct TOutputFilterPriv {
  TOutputFilter ofilter;

  void* log_parent;  // the graph; nullptr for a simple graph
  char log_name[32];

  // Wanted stream properties; the lists point into the encoder's lists and are used
  // only when no single value is set.
  std::int32_t format;  // -1: any
  std::int32_t width;
  std::int32_t height;
  std::int32_t sample_rate;
  AVChannelLayout ch_layout;
  AVColorSpace color_space;  // AVCOL_SPC_UNSPECIFIED: any
  AVColorRange color_range;  // AVCOL_RANGE_UNSPECIFIED: any
  AVFrameSideData** side_data;
  std::int32_t nb_side_data;

  AVRational tb_out;  // time base towards the encoder
  std::int32_t tb_out_locked;

  AVRational sample_aspect_ratio;
  AVDictionary* sws_opts;
  AVDictionary* swr_opts;

  const std::int32_t* formats;
  const AVChannelLayout* ch_layouts;
  const std::int32_t* sample_rates;
  const AVColorSpace* color_spaces;
  const AVColorRange* color_ranges;

  AVRational enc_timebase;  // numerator -1: the demuxer's, -2: the filter's
  std::int64_t trim_start_us;
  std::int64_t trim_duration_us;
  std::int64_t ts_offset;
  std::int64_t next_pts;

  // Frame-rate conversion, owned by the filter thread.
  AVFrame* last_frame;
  std::int64_t frame_number;
  std::int64_t frames_prev_hist[3];
  std::uint64_t dup_warning;
  std::int32_t last_dropped;
  std::int32_t dropped_keyframe;
  std::int32_t vsync_method;
  AVRational framerate;
  AVRational framerate_max;
  const AVRational* framerate_supported;
  std::int32_t framerate_clip;

  std::uint32_t flags;

  // Bound to another graph's input: the end is announced there with an end-of-stream
  // frame, as decoders announce theirs (the scheduler passes on only frames).
  std::int32_t bound_to_graph;
};

inline TFilterGraphPriv* fgp_from_fg(TFilterGraph* fg) {
  return reinterpret_cast<TFilterGraphPriv*>(fg);
}
inline TInputFilterPriv* ifp_from_ifilter(TInputFilter* ifilter) {
  return reinterpret_cast<TInputFilterPriv*>(ifilter);
}
inline TOutputFilterPriv* ofp_from_ofilter(TOutputFilter* ofilter) {
  return reinterpret_cast<TOutputFilterPriv*>(ofilter);
}

// Binds a graph input to an input stream / a loopback decoder / output out_idx of another
// graph. vs may be nullptr. 0 or AVERROR(EINVAL) for a type mismatch; binding twice is an
// assertion.
[[nodiscard]] int ifilter_bind_ist(PInputFilter ifilter, PInputStream ist,
                                   const TViewSpecifier* vs);
[[nodiscard]] int ifilter_bind_dec(PInputFilter ifilter, PDecoder dec, const TViewSpecifier* vs);
[[nodiscard]] int ifilter_bind_fg(PInputFilter ifilter, PFilterGraph fg_src, int out_idx);

// Binds a graph output to another graph's input.
[[nodiscard]] int ofilter_bind_ifilter(POutputFilter ofilter, PInputFilter ifilter,
                                       const TOutputFilterOptions* opts);

// "Filter '%s' has output %d (%s) unconnected" for the first unbound output of any
// complex graph: AVERROR(EINVAL); else 0.
[[nodiscard]] int check_filter_outputs(TBaseFFmpeg* Owner);

// True when every input's format is known.
bool ifilter_has_all_input_formats(TFilterGraph* fg);

// The scheduler's thread body of a graph (arg is the TFilterGraph): 0 or a negative error.
int filter_thread(void* arg);

// The filter thread's state, on its stack.
struct TFilterGraphThread {
  AVFilterGraph* graph;  // the configured graph or nullptr
  AVFrame* frame;        // work frame
  unsigned next_in;      // the input to read next; nb_inputs: any
  std::int32_t got_frame;  // some frame was sent to some output
  std::uint8_t* eof_in;    // per input: end of stream given to the graph
  std::uint8_t* eof_out;   // per output: finished
};

// Allocates / frees the thread state of fg (AVERROR(ENOMEM)).
[[nodiscard]] int fg_thread_init(TFilterGraphThread* fgt, const TFilterGraph* fg);
void fg_thread_uninit(TFilterGraphThread* fgt);

// Frees fgt->graph and clears every input's and output's filter pointer.
void cleanup_filtergraph(TFilterGraph* fg, TFilterGraphThread* fgt);

// Chooses the output's time base (and for video its frame rate) from its first frame.
[[nodiscard]] int choose_out_timebase(TOutputFilterPriv* ofp, AVFrame* frame);

// The frame's pts moved to tb_dst less start_time (microseconds), as a float with the
// fractional part kept; AV_NOPTS_VALUE for a frame without pts. The frame itself gets the
// integer pts and tb_dst.
double adjust_frame_pts_to_encoder_tb(TBaseFFmpeg* Owner, AVFrame* frame, AVRational tb_dst,
                                      std::int64_t start_time);

// Video sync: how many times (nb_frames) to send the frame, of which the first
// nb_frames_prev as copies of the previous frame. frame nullptr: flush.
void video_sync_process(TOutputFilterPriv* ofp, AVFrame* frame, std::int64_t& nb_frames,
                        std::int64_t& nb_frames_prev);

// Sends frame (nullptr: end of stream) to the output's consumer after video sync.
// 0, or a negative error; a consumer's end of file finishes the output and gives 0.
[[nodiscard]] int fg_output_frame(TOutputFilterPriv* ofp, TFilterGraphThread* fgt,
                                  AVFrame* frame);

// Builds and configures the libavfilter graph of fg into fgt->graph: 0 or a negative error
// (no graph left then).
[[nodiscard]] int configure_filtergraph(TBaseFFmpeg* Owner, TFilterGraph* fg,
                                        TFilterGraphThread* fgt);

}  // namespace FFmpegFilter
