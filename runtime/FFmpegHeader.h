// The records that the parts of the conversion engine hand to each other (files,
// streams, filter graphs with their inputs and outputs, decoders, encoders, statistics,
// key-frame forcing, per-frame data, hardware devices and the options context of one
// option group), the per-task state TBaseFFmpeg, and a few small routines used
// everywhere: indexed access to the pointer arrays, error merging, side-data cloning
// and atomic integer operations.
//
// The records are plain data: they are allocated zero-filled by their creators and
// their pointer arrays (streams / nb_streams ...) are freed by their owners.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/Object.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFTypes.h"
#include "runtime/FFUtils.h"

namespace FFmpegSched {
struct TScheduler;
}

namespace FFmpegHeader {

using FFTypes::PAnsiChar;
using FFTypes::PByte;
using FFTypes::PPAnsiChar;

class TBaseFFmpeg;

// ---- Enumerations -------------------------------------------------------------------------

enum THWAccelID : std::int32_t { HWACCEL_NONE, HWACCEL_AUTO, HWACCEL_GENERIC };

enum TLatencyProbe : std::int32_t {
  LATENCY_PROBE_DEMUX,
  LATENCY_PROBE_DEC_PRE,
  LATENCY_PROBE_DEC_POST,
  LATENCY_PROBE_FILTER_PRE,
  LATENCY_PROBE_FILTER_POST,
  LATENCY_PROBE_ENC_PRE,
  LATENCY_PROBE_ENC_POST,
  LATENCY_PROBE_NB
};

enum TViewSpecifierType : std::int32_t {
  VIEW_SPECIFIER_TYPE_NONE,
  VIEW_SPECIFIER_TYPE_IDX,
  VIEW_SPECIFIER_TYPE_ID,
  VIEW_SPECIFIER_TYPE_POS,
  VIEW_SPECIFIER_TYPE_ALL
};

enum Tforced_keyframes_const : std::int32_t {
  FKF_N,
  FKF_N_FORCED,
  FKF_PREV_FORCED_N,
  FKF_PREV_FORCED_T,
  FKF_T,
  FKF_NB
};

enum TEncStatsType : std::int32_t {
  ENC_STATS_LITERAL,
  ENC_STATS_FILE_IDX,
  ENC_STATS_STREAM_IDX,
  ENC_STATS_FRAME_NUM,
  ENC_STATS_FRAME_NUM_IN,
  ENC_STATS_TIMEBASE,
  ENC_STATS_TIMEBASE_IN,
  ENC_STATS_PTS,
  ENC_STATS_PTS_TIME,
  ENC_STATS_PTS_IN,
  ENC_STATS_PTS_TIME_IN,
  ENC_STATS_DTS,
  ENC_STATS_DTS_TIME,
  ENC_STATS_SAMPLE_NUM,
  ENC_STATS_NB_SAMPLES,
  ENC_STATS_PKT_SIZE,
  ENC_STATS_BITRATE,
  ENC_STATS_AVG_BITRATE,
  ENC_STATS_KEYFRAME
};

enum TCroppingType : std::int32_t { CROP_DISABLED, CROP_ALL, CROP_CODEC, CROP_CONTAINER };

// ---- Pointer types ------------------------------------------------------------------------

struct TInputFile;
struct TInputStream;
struct TOutputFile;
struct TOutputStream;
struct TStreamMap;
struct TViewSpecifier;
struct TFilterGraph;
struct TInputFilter;
struct TOutputFilter;
struct TDecoder;
struct TEncoder;
struct TEncStatsComponent;
struct TEncStatsFile;
struct THWDevice;

using PInputFile = TInputFile*;
using PPInputFile = PInputFile*;
using PInputStream = TInputStream*;
using PPInputStream = PInputStream*;
using POutputFile = TOutputFile*;
using PPOutputFile = POutputFile*;
using POutputStream = TOutputStream*;
using PPOutputStream = POutputStream*;
using PStreamMap = TStreamMap*;
using PViewSpecifier = TViewSpecifier*;
using PFilterGraph = TFilterGraph*;
using PPFilterGraph = PFilterGraph*;
using PInputFilter = TInputFilter*;
using PPInputFilter = PInputFilter*;
using POutputFilter = TOutputFilter*;
using PPOutputFilter = POutputFilter*;
using PDecoder = TDecoder*;
using PPDecoder = PDecoder*;
using PEncoder = TEncoder*;
using PEncStatsComponent = TEncStatsComponent*;
using PEncStatsFile = TEncStatsFile*;
using PHWDevice = THWDevice*;
using PPHWDevice = PHWDevice*;

// ---- Statistics and key frames ------------------------------------------------------------

// One piece of a statistics format: a literal text or one value.
struct TEncStatsComponent {
  TEncStatsType type_;
  PByte str;
  std::size_t str_len;
};

// A parsed statistics format with its output: the writer and the lock of its file (both
// shared by every stream that writes that file, owned by the task's file list).
struct TEncStats {
  PEncStatsComponent components;
  std::int32_t nb_components;
  AVIOContext* io;
  std::mutex* lock;  // taken for each whole line
};

// One statistics file shared by several streams, with the one lock that keeps their
// lines whole (allocated apart: the list of files grows by reallocation).
struct TEncStatsFile {
  PAnsiChar path;
  AVIOContext* io;
  std::mutex* lock;
};

// The state of -force_key_frames.
struct TKeyframeForceCtx {
  std::int32_t type_;  // forcing mode
  std::int64_t ref_pts;
  std::int64_t* pts;
  std::int32_t nb_pts;
  std::int32_t index;
  AVExpr* pexpr;
  double expr_const_values[FKF_NB];
  std::int32_t dropped_keyframe;
};

// ---- Files and streams --------------------------------------------------------------------

struct TViewSpecifier {
  TViewSpecifierType type_;
  std::uint32_t val;
};

struct TInputFile {
  const AVClass* class_;
  std::int32_t index;
  AVFormatContext* ctx;
  std::int64_t input_ts_offset;
  std::int32_t input_sync_ref;
  std::int64_t start_time_effective;
  std::int64_t ts_offset;
  std::int64_t start_time;
  PPInputStream streams;
  std::int32_t nb_streams;
  void* memory_handle;  // the host stream object read through the memory protocol
};

struct TInputStream {
  const AVClass* class_;
  PInputFile file_;
  std::int32_t index;
  AVStream* st;
  std::int32_t user_set_discard;
  AVCodecParameters* par;
  PDecoder decoder;
  const AVCodec* avdec;
  AVRational framerate;
  std::int32_t top_field_first;
  std::int32_t fix_sub_duration;
  PPInputFilter filters;
  std::int32_t nb_filters;
};

struct TOutputFile {
  const AVClass* class_;
  std::int32_t index;
  PAnsiChar url;  // owned (av_strdup), freed with the file
  PPOutputStream streams;
  std::int32_t nb_streams;
  std::int64_t recording_time;
  std::int64_t start_time;
  std::int32_t bitexact;
  void* memory_handle;  // the host stream object written through the memory protocol
};

struct TOutputStream {
  const AVClass* class_;
  AVMediaType type_;
  POutputFile file_;
  std::int32_t index;
  PInputStream ist;
  AVStream* st;
  PEncoder enc;
  std::int32_t top_field_first;
  std::int32_t bitexact;
  std::int32_t bits_per_raw_sample;
  AVRational frame_aspect_ratio;
  TKeyframeForceCtx kf;
  PAnsiChar logfile_prefix;
  void* logfile2pass;  // FILE*
  PFilterGraph fg_simple;
  POutputFilter filter;
  PAnsiChar attachment_filename;
  std::atomic<std::int64_t> packets_written;  // muxer thread writes, progress report reads
  std::atomic<std::int32_t> quality;          // encoder thread writes, progress report reads
  TEncStats enc_stats_pre;
  TEncStats enc_stats_post;
  std::uint32_t fix_sub_duration_heartbeat;
};

// One -map entry.
struct TStreamMap {
  std::int32_t disabled;
  std::int32_t file_index;
  std::int32_t stream_index;
  PAnsiChar linklabel;
  TViewSpecifier vs;
};

// ---- Filters ------------------------------------------------------------------------------

struct TFilterGraph {
  const AVClass* class_;
  std::int32_t index;
  PPInputFilter inputs;
  std::int32_t nb_inputs;
  PPOutputFilter outputs;
  std::int32_t nb_outputs;
  PAnsiChar graph_desc;
  AVBPrint graph_print_buf;
  TBaseFFmpeg* Owner;
};

struct TInputFilter {
  PFilterGraph graph;
  PAnsiChar name;
  std::int32_t index;
  AVMediaType type_;
  AVFilterContext* filter;
  PAnsiChar input_name;
  PAnsiChar linklabel;
};

struct TOutputFilter {
  const AVClass* class_;
  PFilterGraph graph;
  PAnsiChar name;
  std::int32_t index;
  AVFilterContext* filter;
  PAnsiChar output_name;
  std::int32_t bound;
  PAnsiChar linklabel;
  PAnsiChar apad;
  AVMediaType type_;
  std::atomic<std::int64_t> nb_frames_dup;   // written by the filter thread, read by the progress report
  std::atomic<std::int64_t> nb_frames_drop;  // likewise
};

struct TInputFilterOptions {
  std::int64_t trim_start_us;
  std::int64_t trim_end_us;
  PAnsiChar name;
  AVRational framerate;
  std::uint32_t crop_top;
  std::uint32_t crop_bottom;
  std::uint32_t crop_left;
  std::uint32_t crop_right;
  std::int32_t sub2video_width;
  std::int32_t sub2video_height;
  std::uint32_t flags;
  AVFrame* fallback;
};

struct TOutputFilterOptions {
  PAnsiChar name;
  const AVCodec* enc;
  std::int64_t trim_start_us;
  std::int64_t trim_duration_us;
  std::int64_t ts_offset;
  AVRational output_tb;
  AVDictionary* sws_opts;
  AVDictionary* swr_opts;
  std::int64_t nb_threads;
  std::uint32_t flags;
  std::int32_t format;
  std::int32_t width;
  std::int32_t height;
  AVColorSpace color_space;
  AVColorRange color_range;
  std::int32_t vsync_method;  // as -vsync
  AVRational frame_rate;
  AVRational max_frame_rate;
  std::int32_t sample_rate;
  AVChannelLayout ch_layout;
  const std::int32_t* formats;
  const std::int32_t* sample_rates;
  const AVChannelLayout* ch_layouts;
  const AVRational* frame_rates;
  const AVColorSpace* color_spaces;
  const AVColorRange* color_ranges;
  PViewSpecifier vs;
};

// ---- Decoders and encoders ----------------------------------------------------------------

struct TDecoderOpts {
  std::int32_t flags;
  PAnsiChar name;
  void* log_parent;
  const AVCodec* codec;
  const AVCodecParameters* par;
  THWAccelID hwaccel_id;
  AVHWDeviceType hwaccel_device_type;
  PAnsiChar hwaccel_device;
  AVPixelFormat hwaccel_output_format;
  AVRational time_base;
  AVRational framerate;
};

struct TDecoder {
  const AVClass* class_;
  AVMediaType type_;
  PByte subtitle_header;
  std::int32_t subtitle_header_size;
  std::uint64_t frames_decoded;
  std::uint64_t samples_decoded;
  std::uint64_t decode_errors;
};

struct TEncoder {
  const AVClass* class_;
  AVCodecContext* enc_ctx;
  std::uint64_t frames_encoded;
  std::uint64_t samples_encoded;
};

// ---- Per-frame data and timestamps --------------------------------------------------------

struct Tfrom_decoder {
  std::uint64_t frame_num;
  std::int64_t pts;
  AVRational tb;
};

// The opaque data carried with every frame and packet.
struct TFrameData {
  std::int64_t dts_est;
  Tfrom_decoder dec;
  AVRational frame_rate_filter;
  std::int32_t bits_per_raw_sample;
  std::int64_t wallclock[LATENCY_PROBE_NB];
  AVCodecParameters* par_enc;
};

struct TTimestamp {
  std::int64_t ts;
  AVRational tb;
};

// ---- Hardware devices ---------------------------------------------------------------------

// One named device of the registry; name and device_ref are owned.
struct THWDevice {
  PAnsiChar name;
  AVHWDeviceType type_;
  AVBufferRef* device_ref;
};

// ---- The options context ------------------------------------------------------------------

// The values of one option group (one input or output file). Its head is laid out as
// CmdUtils::TDefaultOptions, so the option machinery reaches the task (Owner) and the
// dictionaries; option rows with OPT_FLAG_OFFSET target the fields by offsetof.
struct TOptionsContext {
  const AVClass* av_class;
  TBaseFFmpeg* Owner;
  CmdUtils::TCmdUtilsOpts def_opts;
  CmdUtils::Tshow_help_default show_help_default;

  CmdUtils::POptionGroup g;

  // input/output options
  std::int64_t start_time;
  std::int64_t start_time_eof;
  std::int32_t seek_timestamp;
  PAnsiChar format;

  CmdUtils::TSpecifierOptList codec_names;
  CmdUtils::TSpecifierOptList audio_ch_layouts;
  CmdUtils::TSpecifierOptList audio_channels;
  CmdUtils::TSpecifierOptList audio_sample_rate;
  CmdUtils::TSpecifierOptList frame_rates;
  CmdUtils::TSpecifierOptList max_frame_rates;
  CmdUtils::TSpecifierOptList frame_sizes;
  CmdUtils::TSpecifierOptList frame_pix_fmts;

  // input options
  std::int64_t input_ts_offset;
  std::int32_t loop;
  std::int32_t rate_emu;
  float readrate;
  float readrate_catchup;
  double readrate_initial_burst;  // seconds; NaN while not given
  std::int32_t accurate_seek;
  std::int32_t thread_queue_size;
  std::int32_t input_sync_ref;
  std::int32_t find_stream_info;

  CmdUtils::TSpecifierOptList ts_scale;
  CmdUtils::TSpecifierOptList dump_attachment;
  CmdUtils::TSpecifierOptList hwaccels;
  CmdUtils::TSpecifierOptList hwaccel_devices;
  CmdUtils::TSpecifierOptList hwaccel_output_formats;
  CmdUtils::TSpecifierOptList autorotate;
  CmdUtils::TSpecifierOptList apply_cropping;

  // output options
  PStreamMap stream_maps;
  std::int32_t nb_stream_maps;
  PPAnsiChar attachments;
  std::int32_t nb_attachments;

  std::int32_t chapters_input_file;

  std::int64_t recording_time;
  std::int64_t stop_time;
  std::int64_t limit_filesize;
  float mux_preload;
  float mux_max_delay;
  float shortest_buf_duration;
  std::int32_t shortest;
  std::int32_t bitexact;

  std::int32_t video_disable;
  std::int32_t audio_disable;
  std::int32_t subtitle_disable;
  std::int32_t data_disable;

  // indexed by output file stream index
  AVDictionary* streamid;

  CmdUtils::TSpecifierOptList metadata;
  CmdUtils::TSpecifierOptList max_frames;
  CmdUtils::TSpecifierOptList bitstream_filters;
  CmdUtils::TSpecifierOptList codec_tags;
  CmdUtils::TSpecifierOptList sample_fmts;
  CmdUtils::TSpecifierOptList qscale;
  CmdUtils::TSpecifierOptList forced_key_frames;
  CmdUtils::TSpecifierOptList fps_mode;
  CmdUtils::TSpecifierOptList force_fps;
  CmdUtils::TSpecifierOptList frame_aspect_ratios;
  CmdUtils::TSpecifierOptList display_rotations;
  CmdUtils::TSpecifierOptList display_hflips;
  CmdUtils::TSpecifierOptList display_vflips;
  CmdUtils::TSpecifierOptList rc_overrides;
  CmdUtils::TSpecifierOptList intra_matrices;
  CmdUtils::TSpecifierOptList inter_matrices;
  CmdUtils::TSpecifierOptList chroma_intra_matrices;
  CmdUtils::TSpecifierOptList top_field_first;
  CmdUtils::TSpecifierOptList metadata_map;
  CmdUtils::TSpecifierOptList presets;
  CmdUtils::TSpecifierOptList copy_initial_nonkeyframes;
  CmdUtils::TSpecifierOptList copy_prior_start;
  CmdUtils::TSpecifierOptList filters;
  CmdUtils::TSpecifierOptList filter_scripts;
  CmdUtils::TSpecifierOptList reinit_filters;
  CmdUtils::TSpecifierOptList drop_changed;
  CmdUtils::TSpecifierOptList fix_sub_duration;
  CmdUtils::TSpecifierOptList fix_sub_duration_heartbeat;
  CmdUtils::TSpecifierOptList canvas_sizes;
  CmdUtils::TSpecifierOptList pass;
  CmdUtils::TSpecifierOptList passlogfiles;
  CmdUtils::TSpecifierOptList max_muxing_queue_size;
  CmdUtils::TSpecifierOptList muxing_queue_data_threshold;
  CmdUtils::TSpecifierOptList guess_layout_max;
  CmdUtils::TSpecifierOptList apad;
  CmdUtils::TSpecifierOptList discard;
  CmdUtils::TSpecifierOptList disposition;
  CmdUtils::TSpecifierOptList program_;
  CmdUtils::TSpecifierOptList stream_groups;
  CmdUtils::TSpecifierOptList time_bases;
  CmdUtils::TSpecifierOptList enc_time_bases;
  CmdUtils::TSpecifierOptList autoscale;
  CmdUtils::TSpecifierOptList bits_per_raw_sample;
  CmdUtils::TSpecifierOptList enc_stats_pre;
  CmdUtils::TSpecifierOptList enc_stats_post;
  CmdUtils::TSpecifierOptList mux_stats;
  CmdUtils::TSpecifierOptList enc_stats_pre_fmt;
  CmdUtils::TSpecifierOptList enc_stats_post_fmt;
  CmdUtils::TSpecifierOptList mux_stats_fmt;

  // the value of the option "memory": the integer form of a host stream object
  std::int64_t memory_access;
};
using POptionsContext = TOptionsContext*;

static_assert(std::is_standard_layout_v<TOptionsContext>);
static_assert(std::is_trivially_copyable_v<TOptionsContext>);
static_assert(offsetof(TOptionsContext, av_class) == offsetof(CmdUtils::TDefaultOptions, av_class));
static_assert(offsetof(TOptionsContext, Owner) == offsetof(CmdUtils::TDefaultOptions, Owner));
static_assert(offsetof(TOptionsContext, def_opts) == offsetof(CmdUtils::TDefaultOptions, def_opts));
static_assert(offsetof(TOptionsContext, show_help_default) ==
              offsetof(CmdUtils::TDefaultOptions, show_help_default));

// ---- Routines -----------------------------------------------------------------------------

// Element AIndex of a pointer array (PPtrIdx) and the address of element AIndex of an
// array (PtrIdx), without bounds check.
using FFUtils::PPtrIdx;
using FFUtils::PtrIdx;

// Merges two results: a real error wins over end of file, and the first real error
// over a later one; two successes give 0.
int err_merge(int err0, int err1);

// Clones the ANbSrc side-data entries of ASrc into ADst/ANbDst with AFlags; the first
// negative result stops it and is returned, else 0.
int clone_side_data(AVFrameSideData**& ADst, int& ANbDst, AVFrameSideData* const* ASrc,
                    int ANbSrc, unsigned AFlags);

// Atomic operations on plain Integer and Int64 variables (fields of the zero-filled
// records above): atomic_init is a plain store, the others are sequentially consistent.
inline void atomic_init(std::int32_t& AVar, std::int32_t AValue) { AVar = AValue; }
inline void atomic_init(std::int64_t& AVar, std::int64_t AValue) { AVar = AValue; }
inline void atomic_store(std::int32_t& AVar, std::int32_t AValue) {
  std::atomic_ref<std::int32_t>(AVar).store(AValue);
}
inline void atomic_store(std::int64_t& AVar, std::int64_t AValue) {
  std::atomic_ref<std::int64_t>(AVar).store(AValue);
}
inline std::int32_t atomic_load(std::int32_t& AVar) {
  return std::atomic_ref<std::int32_t>(AVar).load();
}
inline std::int64_t atomic_load(std::int64_t& AVar) {
  return std::atomic_ref<std::int64_t>(AVar).load();
}
// The same calls on std::atomic fields, so that a flag can be made atomic by type without
// touching the code that uses it.
template <class T>
inline void atomic_init(std::atomic<T>& AVar, std::type_identity_t<T> AValue) {
  AVar.store(AValue, std::memory_order_relaxed);
}
template <class T>
inline void atomic_store(std::atomic<T>& AVar, std::type_identity_t<T> AValue) {
  AVar.store(AValue);
}
template <class T>
inline T atomic_load(const std::atomic<T>& AVar) {
  return AVar.load();
}
template <class T>
inline T atomic_fetch_add(std::atomic<T>& AVar, std::type_identity_t<T> AValue) {
  return AVar.fetch_add(AValue);
}
// Returns the value before the addition.
inline std::int32_t atomic_fetch_add(std::int32_t& AVar, std::int32_t AValue) {
  return std::atomic_ref<std::int32_t>(AVar).fetch_add(AValue);
}
inline std::int64_t atomic_fetch_add(std::int64_t& AVar, std::int64_t AValue) {
  return std::atomic_ref<std::int64_t>(AVar).fetch_add(AValue);
}

// ---- The per-task state -------------------------------------------------------------------

// Capacity of a task's option table (rows, the terminating one included).
constexpr int COptionDefCapacity = 2024;

// The state of one conversion: every value that the conversion tool would keep in a
// global lives here, so that several conversions run side by side in one process.
// Option rows of the task's table point at fields of the task itself, so a task is
// neither copied nor moved. The fields are in sections by who writes them; the rule: a
// field that is not atomic is written while the command line is parsed (before any
// worker starts), or during the run by the job thread alone, or under the lock that
// its section names. The others, which worker threads and the host touch while the
// conversion runs, are atomic.
class TBaseFFmpeg : public Platform::TObject {
 public:
  TBaseFFmpeg();
  ~TBaseFFmpeg() override;
  TBaseFFmpeg(const TBaseFFmpeg&) = delete;
  TBaseFFmpeg& operator=(const TBaseFFmpeg&) = delete;

  virtual int GetVideoHookBitsPixel() = 0;
  virtual void SetVideoHookBitsPixel(int AValue) = 0;

  const std::string& LastErrMsg() const { return FLastErrMsg; }
  std::int64_t OutputDuration() const { return FOutputDuration.load(); }
  int VideoHookBitsPixel() { return GetVideoHookBitsPixel(); }

  // ---- Set at construction or while the command line is parsed (ParseOptions); read
  // ---- by every thread during the run.
  CmdUtils::TOptionDef _OptionDef[COptionDefCapacity] = {};
  CmdUtils::POptionDef FOptionDef = _OptionDef;  // the table handed to the option parser
  AVIOInterruptCB FReadCallback;   // for inputs; opaque is the task
  AVIOInterruptCB FWriteCallback;  // for outputs; opaque is the task

  std::string FCmdOptions;       // the command line given to ParseOptions
  char** FCmdLineBuf = nullptr;  // the argument vector of parse_cmdline (one block)
  std::string FLastErrMsg;
  FFmpegSched::TScheduler* Fsch = nullptr;

  PPInputFile Finput_files = nullptr;
  std::int32_t Fnb_input_files = 0;
  PPOutputFile Foutput_files = nullptr;
  std::int32_t Fnb_output_files = 0;
  PPFilterGraph Ffiltergraphs = nullptr;
  std::int32_t Fnb_filtergraphs = 0;
  PPDecoder Fdecoders = nullptr;
  std::int32_t Fnb_decoders = 0;
  PEncStatsFile Fenc_stats_files = nullptr;
  std::int32_t Fnb_enc_stats_files = 0;
  PHWDevice Ffilter_hw_device = nullptr;

  std::int32_t Fwant_sdp = 1;
  PAnsiChar Fvstats_filename = nullptr;
  float Fdts_delta_threshold = 10.0f;
  float Fdts_error_threshold = 3600.0f * 30.0f;
  std::int32_t Fvideo_sync_method = -1;  // auto
  float Fframe_drop_threshold = 0.0f;
  std::int32_t Fdo_hex_dump = 0;
  std::int32_t Fdo_pkt_dump = 0;
  std::int32_t Fcopy_ts = 0;
  std::int32_t Fstart_at_zero = 0;
  std::int32_t Fcopy_tb = -1;
  std::int32_t Fdebug_ts = 0;
  std::int32_t Fexit_on_error = 0;
  std::int32_t Fabort_on_flags = 0;
  std::int32_t Fprint_stats = -1;  // -1: not given
  float Fmax_error_rate = 2.0f / 3.0f;
  PAnsiChar Ffilter_nbthreads = nullptr;
  std::int32_t Ffilter_complex_nbthreads = 0;
  std::int32_t Ffilter_buffered_frames = 0;
  std::int32_t Fvstats_version = 2;
  std::int32_t Fauto_conversion_filters = 1;

  std::int32_t Ffile_overwrite = 0;
  std::int32_t Fno_file_overwrite = 0;
  std::int32_t Fignore_unknown_streams = 0;
  std::int32_t Fcopy_unknown_streams = 0;
  std::int32_t Frecast_media = 0;
  // -hide_banner and -stdin/-nostdin, taken from command lines written for the converter:
  // a task logs no banner of its own and reads no terminal, so they change nothing.
  std::int32_t Fhide_banner = 0;
  std::int32_t Fstdin_interaction = 1;

  // ---- The job thread only, during the run (its progress reports and clean-up).
  std::int64_t Flast_time = -1;    // av_gettime_relative() of the last report; -1: none yet
  std::int32_t Ffirst_report = 1;  // no report has been made
  AVIOContext* Fprogress_avio = nullptr;  // opened by -progress while parsing

  // ---- Guarded by Fvstats_lock: the video encoders open and write the file, the job
  // ---- thread's clean-up closes it once they have ended.
  std::mutex Fvstats_lock;
  FILE* Fvstats_file = nullptr;

  // ---- Any thread, atomic.
  std::atomic<std::int32_t> Fnb_output_dumped{0};
  std::atomic<std::int32_t> Ftranscode_init_done{0};
  std::atomic<std::int64_t> Fcopy_ts_first_pts{AV_NOPTS_VALUE};
  std::atomic<std::int64_t> Fstats_period{500000};     // microseconds between progress reports
  std::atomic<std::int64_t> FPreviewInterval{100000};  // microseconds between previews
  std::atomic<std::int32_t> Frate_emu_on_the_fly{0};
  std::atomic<bool> FBroken{false};   // told to stop: every loop and worker ends
  std::atomic<bool> FLooping{false};  // the transcode loop runs
  std::atomic<std::int32_t> FShowDupOrDrop{0};
  std::atomic<std::int64_t> FTotalPauseTime{0};  // microseconds

  // I/O watchdog: time-outs in milliseconds (0 or less: off), last progress in
  // av_gettime_relative() microseconds (the largest Int64: no operation under way).
  std::atomic<std::int32_t> FReadTimeout{30000};
  std::atomic<std::int32_t> FWriteTimeout{30000};
  std::atomic<std::int64_t> FLastRead{0};
  std::atomic<std::int64_t> FLastWrite{0};

  std::atomic<std::int64_t> FInputDuration{0};   // microseconds
  std::atomic<std::int64_t> FOutputDuration{0};  // microseconds; negative: not determined
};

// The interrupt routines held in FReadCallback and FWriteCallback (AOpaque is the
// task): 1 aborts the blocked operation, 0 lets it go on.
int read_interrupt_callback(void* AOpaque);
int write_interrupt_callback(void* AOpaque);

}  // namespace FFmpegHeader
