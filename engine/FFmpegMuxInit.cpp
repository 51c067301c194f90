// Output file set-up (see the header for the contract).
//
// Everything here runs on the option-parsing thread before the scheduler starts: no
// lock is taken, and the records built here become shared only when the scheduler
// starts its threads. Ownership: the TMux and its TMuxStream records belong to the
// task's output list from the moment they are appended (mux_alloc, ost_alloc); what is
// hung on them (format context, codec parameters, encoder, filter graph, statistics
// writers) is freed with them by of_free, also after a failure half-way.
#include "engine/FFmpegMuxInit.h"
#include "engine/FFmpegMuxInitInternal.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "engine/FFmpeg.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegEnc.h"
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegOpt.h"
#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFUTF8.h"
#include "runtime/FFUtils.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/MyUtils.h"
#include "runtime/SyncQueue.h"

namespace FFmpegMuxInit {

using AVCodecStubs::av_bsf_list_parse_str;
using AVCodecStubs::av_get_exact_bits_per_sample;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_side_data_new;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_find_encoder;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_get_name;
using AVCodecStubs::avcodec_get_supported_config;
using AVCodecStubs::avcodec_parameters_alloc;
using AVCodecStubs::avcodec_parameters_from_context;
using AVCodecStubs::avcodec_parameters_to_context;
using AVFormatStubs::av_codec_get_id;
using AVFormatStubs::av_codec_get_tag2;
using AVFormatStubs::av_dump_format;
using AVFormatStubs::av_filename_number_test;
using AVFormatStubs::av_guess_codec;
using AVFormatStubs::av_new_program;
using AVFormatStubs::av_program_add_stream_index;
using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avformat_query_codec;
using AVFormatStubs::avformat_stream_group_add_stream;
using AVFormatStubs::avformat_stream_group_create;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_open2;
using AVFormatStubs::avio_read;
using AVFormatStubs::avio_size;
using AVUtilStubs::av_bprint_finalize;
using AVUtilStubs::av_bprint_init;
using AVUtilStubs::av_bprintf;
using AVUtilStubs::av_calloc;
using AVUtilStubs::av_channel_layout_from_string;
using AVUtilStubs::av_channel_layout_uninit;
using AVUtilStubs::av_dict_copy;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_iterate;
using AVUtilStubs::av_dict_parse_string;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_dict_set_int;
using AVUtilStubs::av_expr_parse;
using AVUtilStubs::av_find_best_pix_fmt_of_2;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_pix_fmt;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_iamf_audio_element_add_layer;
using AVUtilStubs::av_iamf_mix_presentation_add_submix;
using AVUtilStubs::av_iamf_param_definition_alloc;
using AVUtilStubs::av_iamf_submix_add_element;
using AVUtilStubs::av_iamf_submix_add_layout;
using AVUtilStubs::av_log;
using AVUtilStubs::av_malloc;
using AVUtilStubs::av_malloc_array;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_opt_eval_flags;
using AVUtilStubs::av_opt_eval_int;
using AVUtilStubs::av_opt_find;
using AVUtilStubs::av_opt_free;
using AVUtilStubs::av_opt_get_int;
using AVUtilStubs::av_opt_is_set_to_default_by_name;
using AVUtilStubs::av_opt_serialize;
using AVUtilStubs::av_opt_set;
using AVUtilStubs::av_opt_set_defaults;
using AVUtilStubs::av_opt_set_dict;
using AVUtilStubs::av_opt_set_dict2;
using AVUtilStubs::av_parse_ratio;
using AVUtilStubs::av_parse_time;
using AVUtilStubs::av_parse_video_rate;
using AVUtilStubs::av_parse_video_size;
using AVUtilStubs::av_pix_fmt_desc_get;
using AVUtilStubs::av_realloc_array;
using AVUtilStubs::av_reduce;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_strdup;
using AVUtilStubs::av_strlcat;
using AVUtilStubs::av_strlcatf;
using AVUtilStubs::av_strstart;
using AVUtilStubs::av_strtok;

using CmdUtils::TSpecifierOptList;
using Platform::Cardinal;
using FFmpegFilter::VSYNC_AUTO;
using FFmpegFilter::VSYNC_CFR;
using FFmpegFilter::VSYNC_DROP;
using FFmpegFilter::VSYNC_PASSTHROUGH;
using FFmpegFilter::VSYNC_VFR;
using FFmpegFilter::VSYNC_VSCFR;
using FFmpegHeader::PPtrIdx;
using FFmpegHeader::TEncStats;
using FFmpegHeader::TEncStatsComponent;
using FFmpegHeader::TEncStatsType;
using FFmpegHeader::TInputFile;
using FFmpegHeader::TInputStream;
using FFmpegHeader::TKeyframeForceCtx;
using FFmpegHeader::TOutputFile;
using FFmpegHeader::TOutputFilter;
using FFmpegHeader::TOutputFilterOptions;
using FFmpegHeader::TOutputStream;
using FFmpegHeader::TStreamMap;
using FFmpegHeader::TViewSpecifier;
using FFmpegMux::ms_from_ost;
using FFmpegMux::mux_from_of;
using FFmpegOpt::opt_match_per_stream_dbl;
using FFmpegOpt::opt_match_per_stream_int;
using FFmpegOpt::opt_match_per_stream_int64;
using FFmpegOpt::opt_match_per_stream_str;
using FFmpegSched::SCH_ENC;
using FFmpegSched::SCH_MSTREAM;
using FFmpegSched::TSchedulerNode;

namespace {

const char* const CUnit = "FFmpegMuxInit";

// Quality scale of -q: the library's lambda per quantiser step.
constexpr int CQP2Lambda = 118;
// Default -max_muxing_queue_size and -muxing_queue_data_threshold.
constexpr int CMaxMuxingQueueSize = 128;
constexpr int CMuxingQueueDataThreshold = 50 * 1024 * 1024;
// The modes of -force_key_frames besides a list of times or an expression.
constexpr int CKfForceSource = 1;

// ---- Log classes --------------------------------------------------------------------------

const char* output_stream_item_name(void* obj) { return ms_from_ost(static_cast<TOutputStream*>(obj))->name; }

AVClass MakeClass(const char* AName, const char* (*AItemName)(void*)) {
  AVClass c{};
  c.class_name = AName;
  c.item_name = AItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.category = AV_CLASS_CATEGORY_MUXER;
  return c;
}

const AVClass COutputFileClass = MakeClass("OutputFile", output_file_item_name);
const AVClass COutputStreamClass = MakeClass("OutputStream", output_stream_item_name);

// ---- Small helpers ------------------------------------------------------------------------

FFmpeg::TCustomFFmpeg* custom_task(TBaseFFmpeg* task) {
  return dynamic_cast<FFmpeg::TCustomFFmpeg*>(task);
}

TBaseFFmpeg* mux_task(TMux* mux) { return mux->owner; }

// A whole integer with base prefix detection (0x.., 0..): true with AValue set.
bool parse_whole_int64(const char* AText, std::int64_t& AValue) {
  if (!AText || !*AText) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(AText, &end, 0);
  if (*end || errno == ERANGE) return false;
  AValue = v;
  return true;
}

// Per-stream option lookups of one stream; the stream is its own log context.
const char* match_str(TOutputStream* ost, const TSpecifierOptList& AList, AVFormatContext* fc) {
  const char* v = nullptr;
  opt_match_per_stream_str(ost, AList, fc, ost->st, v);
  return v;
}

}  // namespace

// ---- Output files -------------------------------------------------------------------------

const char* output_file_item_name(void* obj) { return static_cast<TMux*>(obj)->log_name; }

TMux* mux_alloc(TBaseFFmpeg* task) {
  auto* mux = static_cast<TMux*>(
      CmdUtils::allocate_array_elem(&task->Foutput_files, sizeof(TMux), task->Fnb_output_files));
  if (!mux) return nullptr;
  mux->owner = task;
  mux->of.class_ = &COutputFileClass;
  mux->of.index = task->Fnb_output_files - 1;
  mux->of.recording_time = INT64_MAX;
  mux->of.start_time = AV_NOPTS_VALUE;
  std::snprintf(mux->log_name, sizeof(mux->log_name), "out#%d", mux->of.index);
  return mux;
}

int check_opt_bitexact(void* obj, const AVDictionary* dict, const char* name, int flag) {
  const AVDictionaryEntry* e = av_dict_get(dict, name, nullptr, 0);
  if (e) {
    const AVOption* o = av_opt_find(obj, name, nullptr, 0, 0);
    if (!o) return 0;
    int val = 0;
    av_opt_eval_flags(obj, o, e->value, &val);
    return !!(val & flag);
  }
  return 0;
}


// ---- Output streams -----------------------------------------------------------------------

TMuxStream* ost_alloc(TMux* mux, AVMediaType type) {
  TOutputFile* of = &mux->of;
  auto* ms = static_cast<TMuxStream*>(
      CmdUtils::allocate_array_elem(&of->streams, sizeof(TMuxStream), of->nb_streams));
  if (!ms) return nullptr;
  TOutputStream* ost = &ms->ost;
  ost->class_ = &COutputStreamClass;
  ost->file_ = of;
  ost->type_ = type;
  ost->index = of->nb_streams - 1;
  ost->kf.ref_pts = AV_NOPTS_VALUE;
  ms->sch_idx = -1;
  ms->sch_idx_enc = -1;
  ms->sch_idx_src = -1;
  ms->sq_idx_mux = -1;
  ms->max_frames = INT64_MAX;
  ms->copy_prior_start = -1;
  ms->last_mux_dts = AV_NOPTS_VALUE;
  const char* type_str = av_get_media_type_string(type);
  std::snprintf(ms->name, sizeof(ms->name), "%cost#%d:%d", type_str ? type_str[0] : '?',
                of->index, ost->index);
  return ms;
}

int choose_encoder(const TOptionsContext* o, AVFormatContext* fc, TOutputStream* ost,
                   const AVCodec** enc) {
  TMuxStream* ms = ms_from_ost(ost);
  const AVMediaType type = ost->type_;
  const char* codec_name = match_str(ost, o->codec_names, fc);
  *enc = nullptr;

  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE) {
    if (codec_name && std::strcmp(codec_name, "copy") != 0) {
      const char* type_str = av_get_media_type_string(type);
      av_log(ost, AV_LOG_FATAL,
             "Encoder '%s' specified, but only '-codec copy' supported for %s streams\n",
             codec_name, type_str ? type_str : "unknown");
      return AVERROR(ENOSYS);
    }
    return 0;
  }

  if (!codec_name) {
    ms->par_in->codec_id = av_guess_codec(fc->oformat, nullptr, fc->url, nullptr, type);
    *enc = avcodec_find_encoder(ms->par_in->codec_id);
    if (!*enc) {
      av_log(ost, AV_LOG_FATAL,
             "Automatic encoder selection failed Default encoder for format %s (codec %s) is "
             "probably disabled. Please choose an encoder manually.\n",
             fc->oformat->name, avcodec_get_name(ms->par_in->codec_id));
      return AVERROR_ENCODER_NOT_FOUND;
    }
  } else if (std::strcmp(codec_name, "copy") != 0) {
    const int ret = FFmpegOpt::find_codec(mux_from_of(ost->file_)->owner, ost, codec_name, type,
                                          true, *enc);
    if (ret < 0) return ret;
    ms->par_in->codec_id = (*enc)->id;
  }
  return 0;
}

int get_preset_file_2(const char* preset, const char* codec_name, AVIOContext** pb) {
  // The search folders of this platform: $AVCONV_DATADIR, $HOME/.avconv and the folder of
  // the running program (no trailing slash: the name patterns add one).
  char* datadir = FFUTF8::getenv_utf8("AVCONV_DATADIR");
  char* home = FFUTF8::getenv_utf8("HOME");
  std::string exe_dir = MyUtils::ExePath();
  while (exe_dir.size() > 1 && exe_dir.back() == '/') exe_dir.pop_back();
  const char* bases[3] = {datadir, home, exe_dir.empty() ? nullptr : exe_dir.c_str()};
  static const char* const middles[3] = {"", "/.avconv", ""};
  char filename[1000];
  int ret = AVERROR(ENOENT);

  for (int i = 0; i < 3 && ret < 0; i++) {
    if (!bases[i]) continue;
    if (codec_name) {
      std::snprintf(filename, sizeof(filename), "%s%s/%s-%s.avpreset", bases[i], middles[i],
                    codec_name, preset);
      ret = avio_open2(pb, filename, AVIO_FLAG_READ, nullptr, nullptr);
    }
    if (ret < 0) {
      std::snprintf(filename, sizeof(filename), "%s%s/%s.avpreset", bases[i], middles[i], preset);
      ret = avio_open2(pb, filename, AVIO_FLAG_READ, nullptr, nullptr);
    }
  }
  FFUTF8::freeenv_utf8(datadir);
  FFUTF8::freeenv_utf8(home);
  return ret;
}

namespace {

// Reads a preset file into AOpts: key=value lines, "#" comments and empty lines
// skipped, a key already present kept. 0 or a negative error (logged for a bad line).
int read_preset(TOutputStream* ost, AVIOContext* s, AVDictionary** AOpts) {
  std::string text;
  char buf[4096];
  for (;;) {
    const int n = avio_read(s, reinterpret_cast<unsigned char*>(buf), sizeof(buf));
    if (n == AVERROR_EOF || n == 0) break;
    if (n < 0) return n;
    text.append(buf, static_cast<std::size_t>(n));
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\0') end++;
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      av_log(ost, AV_LOG_FATAL, "Invalid line found in the preset file.\n");
      return AVERROR(EINVAL);
    }
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (av_dict_set(AOpts, key.c_str(), value.c_str(), AV_DICT_DONT_OVERWRITE) < 0)
      return AVERROR(ENOMEM);
  }
  return 0;
}

// One directive of a statistics format.
struct TEncStatsSpec {
  TEncStatsType type_;
  const char* str;
  bool pre_only;
  bool post_only;
  bool need_input_data;
};

const TEncStatsSpec CEncStatsSpecs[] = {
    {FFmpegHeader::ENC_STATS_FILE_IDX, "fidx", false, false, false},
    {FFmpegHeader::ENC_STATS_STREAM_IDX, "sidx", false, false, false},
    {FFmpegHeader::ENC_STATS_FRAME_NUM, "n", false, false, false},
    {FFmpegHeader::ENC_STATS_FRAME_NUM_IN, "ni", false, false, true},
    {FFmpegHeader::ENC_STATS_TIMEBASE, "tb", false, false, false},
    {FFmpegHeader::ENC_STATS_TIMEBASE_IN, "tbi", false, false, true},
    {FFmpegHeader::ENC_STATS_PTS, "pts", false, false, false},
    {FFmpegHeader::ENC_STATS_PTS_TIME, "t", false, false, false},
    {FFmpegHeader::ENC_STATS_PTS_IN, "ptsi", false, false, true},
    {FFmpegHeader::ENC_STATS_PTS_TIME_IN, "ti", false, false, true},
    {FFmpegHeader::ENC_STATS_DTS, "dts", false, true, false},
    {FFmpegHeader::ENC_STATS_DTS_TIME, "dt", false, true, false},
    {FFmpegHeader::ENC_STATS_SAMPLE_NUM, "sn", true, false, false},
    {FFmpegHeader::ENC_STATS_NB_SAMPLES, "samp", true, false, false},
    {FFmpegHeader::ENC_STATS_PKT_SIZE, "size", false, true, false},
    {FFmpegHeader::ENC_STATS_BITRATE, "br", false, true, false},
    {FFmpegHeader::ENC_STATS_AVG_BITRATE, "abr", false, true, false},
    {FFmpegHeader::ENC_STATS_KEYFRAME, "key", false, true, false},
};

// Copies the text at ANext up to (not including) one of ADelims into AOut, a backslash
// taking the next character literally; ANext is left at the delimiter or the end.
void unescape(std::string& AOut, const char*& ANext, const char* ADelims) {
  AOut.clear();
  const char* p = ANext;
  while (*p && !std::strchr(ADelims, *p)) {
    if (*p == '\\' && p[1]) p++;
    AOut.push_back(*p++);
  }
  ANext = p;
}

int enc_stats_add_component(TEncStats* es, TEncStatsType type, const std::string& text) {
  const int ret = CmdUtils::grow_array(es->components, es->nb_components, es->nb_components + 1);
  if (ret < 0) return ret;
  TEncStatsComponent& c = es->components[es->nb_components - 1];
  c.type_ = type;
  if (type == FFmpegHeader::ENC_STATS_LITERAL) {
    c.str = reinterpret_cast<FFmpegHeader::PByte>(av_strdup(text.c_str()));
    if (!c.str) return AVERROR(ENOMEM);
    c.str_len = text.size();
  }
  return 0;
}

}  // namespace

// Binds es to the task's writer of path, opening the file on first use; every stream
// that names the same path shares the writer and its lock.
int enc_stats_get_file(TBaseFFmpeg* task, TEncStats* es, const char* path) {
  for (int i = 0; i < task->Fnb_enc_stats_files; i++) {
    if (!std::strcmp(path, task->Fenc_stats_files[i].path)) {
      es->io = task->Fenc_stats_files[i].io;
      es->lock = task->Fenc_stats_files[i].lock;
      return 0;
    }
  }

  // Open first and record afterwards, so that the list never holds an entry without a
  // path or a writer.
  AVIOContext* pb = nullptr;
  task->FLastWrite = av_gettime_relative();
  int ret = avio_open2(&pb, path, AVIO_FLAG_WRITE, &task->FWriteCallback, nullptr);
  if (ret < 0) {
    av_log(nullptr, AV_LOG_ERROR, "Error opening stats file '%s': %s\n", path,
           CmdUtils::print_error(ret).c_str());
    return ret;
  }
  char* path_copy = av_strdup(path);
  std::mutex* lock = path_copy ? new (std::nothrow) std::mutex : nullptr;
  if (!lock) {
    av_free(path_copy);
    avio_closep(&pb);
    return AVERROR(ENOMEM);
  }
  ret = CmdUtils::grow_array(task->Fenc_stats_files, task->Fnb_enc_stats_files,
                             task->Fnb_enc_stats_files + 1);
  if (ret < 0) {
    delete lock;
    av_free(path_copy);
    avio_closep(&pb);
    return ret;
  }
  FFmpegHeader::TEncStatsFile& file = task->Fenc_stats_files[task->Fnb_enc_stats_files - 1];
  file.path = path_copy;
  file.io = pb;
  file.lock = lock;
  es->io = pb;
  es->lock = lock;
  return 0;
}

int enc_stats_init(TBaseFFmpeg* task, TOutputStream* ost, TEncStats* es, const char* fmt,
                   const char* path, int pre) {
  const char* next = fmt;
  std::string val;
  int ret;

  while (*next) {
    // the literal text up to the next opening brace
    unescape(val, next, "{");
    if (!val.empty()) {
      ret = enc_stats_add_component(es, FFmpegHeader::ENC_STATS_LITERAL, val);
      if (ret < 0) return ret;
    }
    if (!*next) break;
    next++;

    // the directive inside the braces
    unescape(val, next, "}");
    if (val.empty()) {
      av_log(nullptr, AV_LOG_ERROR, "Empty formatting directive in: %s\n", fmt);
      return AVERROR(EINVAL);
    }
    if (!*next) {
      av_log(nullptr, AV_LOG_ERROR, "Missing closing brace in: %s\n", fmt);
      return AVERROR(EINVAL);
    }
    next++;

    const TEncStatsSpec* spec = nullptr;
    for (const TEncStatsSpec& s : CEncStatsSpecs)
      if (val == s.str) {
        spec = &s;
        break;
      }
    if (!spec) {
      av_log(nullptr, AV_LOG_ERROR, "Invalid format directive: %s\n", val.c_str());
      return AVERROR(EINVAL);
    }
    if ((pre && spec->post_only) || (!pre && spec->pre_only)) {
      av_log(nullptr, AV_LOG_ERROR, "Format directive \"%s\" may only be used %s-encoding\n",
             val.c_str(), pre ? "post" : "pre");
      return AVERROR(EINVAL);
    }
    if (spec->need_input_data && !ost->ist) {
      av_log(ost, AV_LOG_WARNING,
             "Format directive \"%s\" is unavailable, because this output stream has no "
             "associated input stream\n",
             val.c_str());
    }
    ret = enc_stats_add_component(es, spec->type_, val);
    if (ret < 0) return ret;
  }

  return enc_stats_get_file(task, es, path);
}

namespace {

// The -enc_stats_pre / -enc_stats_post / -mux_stats writers of a video or audio stream.
int ost_stats_init(TMux* mux, TMuxStream* ms, const TOptionsContext* o) {
  TOutputStream* ost = &ms->ost;
  static const char* const CDefaultFormat = "{fidx} {sidx} {n} {t}";
  struct TStatsOpt {
    const TSpecifierOptList* path;
    const TSpecifierOptList* fmt;
    TEncStats* es;
    int pre;
  } const opts[] = {
      {&o->enc_stats_pre, &o->enc_stats_pre_fmt, &ost->enc_stats_pre, 1},
      {&o->enc_stats_post, &o->enc_stats_post_fmt, &ost->enc_stats_post, 0},
      {&o->mux_stats, &o->mux_stats_fmt, &ms->stats, 0},
  };
  for (const TStatsOpt& so : opts) {
    const char* path = match_str(ost, *so.path, mux->fc);
    if (!path) continue;
    const char* format = CDefaultFormat;
    opt_match_per_stream_str(ost, *so.fmt, mux->fc, ost->st, format);
    const int ret = enc_stats_init(mux_task(mux), ost, so.es, format, path, so.pre);
    if (ret < 0) return ret;
  }
  return 0;
}

}  // namespace

AVPixelFormat choose_pixel_fmt(const AVCodecContext* enc_ctx, AVPixelFormat target) {
  const AVPixelFormat* p = nullptr;
  int ret = avcodec_get_supported_config(enc_ctx, nullptr, AV_CODEC_CONFIG_PIX_FORMAT, 0,
                                         reinterpret_cast<const void**>(&p), nullptr);
  if (ret < 0 || !p) return target;

  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(target);
  const int has_alpha = desc ? desc->nb_components % 2 == 0 : 0;
  AVPixelFormat best = AV_PIX_FMT_NONE;
  for (; *p != AV_PIX_FMT_NONE; p++) {
    best = av_find_best_pix_fmt_of_2(best, *p, target, has_alpha, nullptr);
    if (*p == target) break;
  }
  if (*p == AV_PIX_FMT_NONE) {
    if (target != AV_PIX_FMT_NONE)
      av_log(nullptr, AV_LOG_WARNING,
             "Incompatible pixel format '%s' for codec '%s', auto-selecting format '%s'\n",
             av_get_pix_fmt_name(target), enc_ctx->codec->name, av_get_pix_fmt_name(best));
    return best;
  }
  return target;
}

AVPixelFormat pix_fmt_parse(TOutputStream* ost, const char* name) {
  const AVCodecContext* enc_ctx = ost->enc->enc_ctx;
  AVPixelFormat fmt = av_get_pix_fmt(name);
  if (fmt == AV_PIX_FMT_NONE) {
    av_log(ost, AV_LOG_FATAL, "Unknown pixel format requested: %s.\n", name);
    return AV_PIX_FMT_NONE;
  }

  const AVPixelFormat* fmts = nullptr;
  int ret = avcodec_get_supported_config(enc_ctx, nullptr, AV_CODEC_CONFIG_PIX_FORMAT, 0,
                                         reinterpret_cast<const void**>(&fmts), nullptr);
  if (ret < 0) return AV_PIX_FMT_NONE;

  // the encoder's list is unknown: accept the format as it stands
  if (!fmts) return fmt;

  auto supported = [fmts](AVPixelFormat f) {
    for (const AVPixelFormat* p = fmts; *p != AV_PIX_FMT_NONE; p++)
      if (*p == f) return true;
    return false;
  };
  if (supported(fmt)) return fmt;

  // A format asked for without its byte order ("gray16") resolves to the native one;
  // the encoder may still take the other one.
  const char* canon = av_get_pix_fmt_name(fmt);
  const std::size_t len = canon ? std::strlen(canon) : 0;
  if (canon && std::strcmp(name, canon) != 0 && len > 2 &&
      (!std::strcmp(canon + len - 2, "le") || !std::strcmp(canon + len - 2, "be"))) {
    char name_other[64];
    const char endian_other = canon[len - 2] == 'l' ? 'b' : 'l';
    std::snprintf(name_other, sizeof(name_other), "%s%ce", name, endian_other);
    const AVPixelFormat fmt_other = av_get_pix_fmt(name_other);
    if (fmt_other != AV_PIX_FMT_NONE && supported(fmt_other)) {
      av_log(ost, AV_LOG_VERBOSE, "Mapping pixel format %s.%s\n", name, name_other);
      return fmt_other;
    }
  }

  return choose_pixel_fmt(enc_ctx, fmt);
}

int parse_matrix_coeffs(TOutputStream* ost, std::uint16_t* dest, const char* str) {
  const char* p = str;
  for (int i = 0;; i++) {
    dest[i] = static_cast<std::uint16_t>(std::atoi(p));
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p) {
      av_log(ost, AV_LOG_FATAL, "Syntax error in matrix \"%s\" at coeff %d\n", str, i);
      return AVERROR(EINVAL);
    }
    p++;
  }
  return 0;
}

namespace {

int parse_one_matrix(TOutputStream* ost, const TSpecifierOptList& AList, AVFormatContext* fc,
                     std::uint16_t** ADest) {
  const char* text = match_str(ost, AList, fc);
  if (!text) return 0;
  auto* m = static_cast<std::uint16_t*>(av_mallocz(sizeof(std::uint16_t) * 64));
  if (!m) return AVERROR(ENOMEM);
  av_freep(ADest);
  *ADest = m;
  return parse_matrix_coeffs(ost, m, text);
}

int parse_rc_override(TOutputStream* ost, AVCodecContext* enc_ctx, const char* text) {
  const char* p = text;
  for (int i = 0; p; i++) {
    int start, end, q;
    if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3) {
      av_log(ost, AV_LOG_FATAL, "error parsing rc_override\n");
      return AVERROR(EINVAL);
    }
    auto* tmp = static_cast<RcOverride*>(
        av_realloc_array(enc_ctx->rc_override, i + 1, sizeof(RcOverride)));
    if (!tmp) {
      av_log(ost, AV_LOG_FATAL, "Could not (re)allocate memory for rc_override.\n");
      return AVERROR(ENOMEM);
    }
    enc_ctx->rc_override = tmp;
    enc_ctx->rc_override[i].start_frame = start;
    enc_ctx->rc_override[i].end_frame = end;
    if (q > 0) {
      enc_ctx->rc_override[i].qscale = q;
      enc_ctx->rc_override[i].quality_factor = 1.0f;
    } else {
      enc_ctx->rc_override[i].qscale = 0;
      enc_ctx->rc_override[i].quality_factor = -q / 100.0f;
    }
    enc_ctx->rc_override_count = i + 1;
    p = std::strchr(p, '/');
    if (p) p++;
  }
  return 0;
}

}  // namespace

int new_stream_video(TMux* mux, const TOptionsContext* o, TOutputStream* ost, int* keep_pix_fmt,
                     int* vsync_method) {
  TMuxStream* ms = ms_from_ost(ost);
  AVFormatContext* oc = mux->fc;
  TBaseFFmpeg* task = mux_task(mux);
  int ret;

  const char* frame_rate = match_str(ost, o->frame_rates, oc);
  if (frame_rate && av_parse_video_rate(&ms->frame_rate, frame_rate) < 0) {
    av_log(ost, AV_LOG_FATAL, "Invalid framerate value: %s\n", frame_rate);
    return AVERROR(EINVAL);
  }
  const char* max_frame_rate = match_str(ost, o->max_frame_rates, oc);
  if (max_frame_rate && av_parse_video_rate(&ms->max_frame_rate, max_frame_rate) < 0) {
    av_log(ost, AV_LOG_FATAL, "Invalid maximum framerate value: %s\n", max_frame_rate);
    return AVERROR(EINVAL);
  }
  if (frame_rate && max_frame_rate) {
    av_log(ost, AV_LOG_ERROR, "Only one of -fpsmax and -r can be set for a stream.\n");
    return AVERROR(EINVAL);
  }

  const char* aspect = match_str(ost, o->frame_aspect_ratios, oc);
  if (aspect) {
    AVRational q;
    if (av_parse_ratio(&q, aspect, 255, 0, nullptr) < 0 || q.num <= 0 || q.den <= 0) {
      av_log(ost, AV_LOG_FATAL, "Invalid aspect ratio: %s\n", aspect);
      return AVERROR(EINVAL);
    }
    ost->frame_aspect_ratio = q;
  }

  if (!ost->enc) return 0;
  AVCodecContext* video_enc = ost->enc->enc_ctx;

  const char* frame_size = match_str(ost, o->frame_sizes, oc);
  if (frame_size && av_parse_video_size(&video_enc->width, &video_enc->height, frame_size) < 0) {
    av_log(ost, AV_LOG_FATAL, "Invalid frame size: %s.\n", frame_size);
    return AVERROR(EINVAL);
  }

  const char* frame_pix_fmt = match_str(ost, o->frame_pix_fmts, oc);
  if (frame_pix_fmt && *frame_pix_fmt == '+') {
    *keep_pix_fmt = 1;
    if (!*++frame_pix_fmt) frame_pix_fmt = nullptr;
  }
  if (frame_pix_fmt) {
    video_enc->pix_fmt = pix_fmt_parse(ost, frame_pix_fmt);
    if (video_enc->pix_fmt == AV_PIX_FMT_NONE) return AVERROR(EINVAL);
  }

  ret = parse_one_matrix(ost, o->intra_matrices, oc, &video_enc->intra_matrix);
  if (ret < 0) return ret;
  ret = parse_one_matrix(ost, o->chroma_intra_matrices, oc, &video_enc->chroma_intra_matrix);
  if (ret < 0) return ret;
  ret = parse_one_matrix(ost, o->inter_matrices, oc, &video_enc->inter_matrix);
  if (ret < 0) return ret;

  const char* rc_override = match_str(ost, o->rc_overrides, oc);
  if (rc_override) {
    ret = parse_rc_override(ost, video_enc, rc_override);
    if (ret < 0) return ret;
  }

  int do_pass = 0;
  opt_match_per_stream_int(ost, o->pass, oc, ost->st, do_pass);
  if (do_pass) {
    if (do_pass & 1) video_enc->flags |= AV_CODEC_FLAG_PASS1;
    if (do_pass & 2) video_enc->flags |= AV_CODEC_FLAG_PASS2;
  }

  const char* prefix = match_str(ost, o->passlogfiles, oc);
  if (prefix) {
    ost->logfile_prefix = av_strdup(prefix);
    if (!ost->logfile_prefix) return AVERROR(ENOMEM);
  }

  if (do_pass) {
    // the stream's position among all output streams of the task, this one included
    int ost_idx = -1;
    for (int i = 0; i < task->Fnb_output_files; i++)
      ost_idx += PPtrIdx(task->Foutput_files, i)->nb_streams;

    char logfilename[1024];
    std::snprintf(logfilename, sizeof(logfilename), "%s-%d.log",
                  ost->logfile_prefix ? ost->logfile_prefix : "ffmpeg2pass", ost_idx);
    const char* enc_name = video_enc->codec->name;
    if (!std::strcmp(enc_name, "libx264") || !std::strcmp(enc_name, "libvvenc")) {
      if (av_opt_is_set_to_default_by_name(video_enc, "stats", AV_OPT_SEARCH_CHILDREN) > 0)
        av_opt_set(video_enc, "stats", logfilename, AV_OPT_SEARCH_CHILDREN);
    } else {
      if (video_enc->flags & AV_CODEC_FLAG_PASS2) {
        char* logbuffer = CmdUtils::file_read(logfilename);
        if (!logbuffer) {
          av_log(ost, AV_LOG_FATAL, "Error reading log file '%s' for pass-2 encoding\n",
                 logfilename);
          return AVERROR(EIO);
        }
        video_enc->stats_in = logbuffer;
      }
      if (video_enc->flags & AV_CODEC_FLAG_PASS1) {
        FILE* f = FFUTF8::fopen_utf8(logfilename, "wb");
        if (!f) {
          av_log(ost, AV_LOG_FATAL, "Cannot write log file '%s' for pass-1 encoding\n",
                 logfilename);
          return -1;
        }
        ost->logfile2pass = f;
      }
    }
  }

  opt_match_per_stream_int(ost, o->force_fps, oc, ost->st, ms->force_fps);

  ost->top_field_first = -1;
  opt_match_per_stream_int(ost, o->top_field_first, oc, ost->st, ost->top_field_first);
  if (ost->top_field_first >= 0)
    av_log(ost, AV_LOG_WARNING, "-top is deprecated, use the setfield filter instead\n");

  int vsync = task->Fvideo_sync_method;
  const char* fps_mode = match_str(ost, o->fps_mode, oc);
  if (fps_mode) {
    ret = FFmpegOpt::parse_and_set_vsync(task, fps_mode, vsync, mux->of.index, ost->index, false);
    if (ret < 0) return ret;
  }

  if ((ms->frame_rate.num || ms->max_frame_rate.num) &&
      !(vsync == VSYNC_AUTO || vsync == VSYNC_CFR || vsync == VSYNC_VSCFR)) {
    av_log(ost, AV_LOG_FATAL,
           "One of -r/-fpsmax was specified together a non-CFR -vsync/-fps_mode. This is "
           "contradictory.\n");
    return AVERROR(EINVAL);
  }

  if (vsync == VSYNC_AUTO) {
    if (ms->frame_rate.num || ms->max_frame_rate.num)
      vsync = VSYNC_CFR;
    else if (!std::strcmp(oc->oformat->name, "avi"))
      vsync = VSYNC_VFR;
    else if (!(oc->oformat->flags & AVFMT_VARIABLE_FPS))
      vsync = VSYNC_CFR;
    else if (oc->oformat->flags & AVFMT_NOTIMESTAMPS)
      vsync = VSYNC_PASSTHROUGH;
    else
      vsync = VSYNC_VFR;

    // Only an automatically chosen cfr is relaxed to vscfr (which keeps the first
    // timestamp of a single-stream input, or of any input with -copyts): a user who
    // asked for cfr gets cfr.
    if (vsync == VSYNC_CFR) {
      const TInputFile* ifile = ost->ist ? ost->ist->file_ : nullptr;
      if ((ifile && ifile->nb_streams == 1 && ifile->input_ts_offset == 0) || task->Fcopy_ts)
        vsync = VSYNC_VSCFR;
    }
  }
  ms->ts_drop = vsync == VSYNC_DROP;
  *vsync_method = vsync;
  return 0;
}

int new_stream_audio(TMux* mux, const TOptionsContext* o, TOutputStream* ost) {
  TMuxStream* ms = ms_from_ost(ost);
  AVFormatContext* oc = mux->fc;
  if (!ost->enc) return 0;
  AVCodecContext* audio_enc = ost->enc->enc_ctx;

  int channels = 0;
  opt_match_per_stream_int(ost, o->audio_channels, oc, ost->st, channels);
  if (channels) {
    av_channel_layout_uninit(&audio_enc->ch_layout);
    audio_enc->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    audio_enc->ch_layout.nb_channels = channels;
  }

  const char* layout = match_str(ost, o->audio_ch_layouts, oc);
  if (layout && av_channel_layout_from_string(&audio_enc->ch_layout, layout) < 0) {
    av_log(ost, AV_LOG_FATAL, "Unknown channel layout: %s\n", layout);
    return AVERROR(EINVAL);
  }

  const char* sample_fmt = match_str(ost, o->sample_fmts, oc);
  if (sample_fmt && (audio_enc->sample_fmt = av_get_sample_fmt(sample_fmt)) == AV_SAMPLE_FMT_NONE) {
    av_log(ost, AV_LOG_FATAL, "Invalid sample format '%s'\n", sample_fmt);
    return AVERROR(EINVAL);
  }

  opt_match_per_stream_int(ost, o->audio_sample_rate, oc, ost->st, audio_enc->sample_rate);

  // not owned: the options context outlives the file's set-up, and the text is handed
  // to the filter (as a copy) before create_streams ends
  const char* apad = match_str(ost, o->apad, oc);
  ms->apad = const_cast<char*>(apad);
  return 0;
}

int new_stream_subtitle(TMux* mux, const TOptionsContext* o, TOutputStream* ost) {
  if (!ost->enc) return 0;
  AVCodecContext* subtitle_enc = ost->enc->enc_ctx;

  const char* frame_size = match_str(ost, o->frame_sizes, mux->fc);
  if (frame_size &&
      av_parse_video_size(&subtitle_enc->width, &subtitle_enc->height, frame_size) < 0) {
    av_log(ost, AV_LOG_FATAL, "Invalid frame size: %s.\n", frame_size);
    return AVERROR(EINVAL);
  }

  const AVCodecDescriptor* input_descriptor =
      ost->ist ? avcodec_descriptor_get(ost->ist->par->codec_id) : nullptr;
  const AVCodecDescriptor* output_descriptor = avcodec_descriptor_get(subtitle_enc->codec_id);
  const int mask = AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB;
  const int input_props = input_descriptor ? input_descriptor->props & mask : 0;
  const int output_props = output_descriptor ? output_descriptor->props & mask : 0;
  if (input_props && output_props && input_props != output_props) {
    av_log(ost, AV_LOG_ERROR,
           "Subtitle encoding currently only possible from text to text or bitmap to bitmap\n");
    return AVERROR(EINVAL);
  }
  return 0;
}

int ost_get_filters(const TOptionsContext* o, AVFormatContext* oc, TOutputStream* ost,
                    char** dst) {
  const char* filters = match_str(ost, o->filters, oc);
  const char* filters_script = match_str(ost, o->filter_scripts, oc);
  *dst = nullptr;

  if (!ost->ist) {
    if (filters || filters_script) {
      av_log(ost, AV_LOG_ERROR,
             "%s '%s' was specified for a stream fed from a complex filtergraph. Simple and "
             "complex filtering cannot be used together for the same stream.\n",
             filters ? "Filtergraph" : "Filtergraph script", filters ? filters : filters_script);
      return AVERROR(EINVAL);
    }
    return 0;
  }

  if (filters && filters_script) {
    av_log(ost, AV_LOG_ERROR, "Both -filter and -filter_script set\n");
    return AVERROR(EINVAL);
  }

  if (filters_script)
    *dst = CmdUtils::file_read(filters_script);
  else if (filters)
    *dst = av_strdup(filters);
  else
    *dst = av_strdup(ost->type_ == AVMEDIA_TYPE_VIDEO ? "null" : "anull");
  return *dst ? 0 : AVERROR(ENOMEM);
}

int ost_bind_filter(TMux* mux, TMuxStream* ms, TOutputFilter* ofilter, const TOptionsContext* o,
                    AVRational enc_tb, int vsync_method, int keep_pix_fmt, int autoscale,
                    int threads_manual, const TViewSpecifier* vs, TSchedulerNode* src) {
  TOutputStream* ost = &ms->ost;
  AVCodecContext* enc_ctx = ost->enc->enc_ctx;
  char name[16];
  char* filters = nullptr;
  int ret;

  std::snprintf(name, sizeof(name), "#%d:%d", mux->of.index, ost->index);

  TOutputFilterOptions opts{};
  opts.enc = enc_ctx->codec;
  opts.name = name;
  opts.format = ost->type_ == AVMEDIA_TYPE_VIDEO ? static_cast<int>(enc_ctx->pix_fmt)
                                                 : static_cast<int>(enc_ctx->sample_fmt);
  opts.width = enc_ctx->width;
  opts.height = enc_ctx->height;
  opts.color_space = enc_ctx->colorspace;
  opts.color_range = enc_ctx->color_range;
  opts.vsync_method = vsync_method;
  opts.frame_rate = ms->frame_rate;
  opts.max_frame_rate = ms->max_frame_rate;
  opts.sample_rate = enc_ctx->sample_rate;
  opts.ch_layout = enc_ctx->ch_layout;
  opts.sws_opts = o->g->sws_dict;
  opts.swr_opts = o->g->swr_opts;
  opts.output_tb = enc_tb;
  opts.trim_start_us = mux->of.start_time;
  opts.trim_duration_us = mux->of.recording_time;
  opts.ts_offset = mux->of.start_time == AV_NOPTS_VALUE ? 0 : mux->of.start_time;
  opts.vs = const_cast<TViewSpecifier*>(vs);
  opts.nb_threads = -1;
  opts.flags = (keep_pix_fmt ? FFmpegFilter::OFILTER_FLAG_DISABLE_CONVERT : 0) |
               (autoscale ? FFmpegFilter::OFILTER_FLAG_AUTOSCALE : 0) |
               (av_get_exact_bits_per_sample(enc_ctx->codec_id) == 24
                    ? FFmpegFilter::OFILTER_FLAG_AUDIO_24BIT
                    : 0);

  auto get_config = [enc_ctx](AVCodecConfig cfg, const void** out) {
    return avcodec_get_supported_config(enc_ctx, nullptr, cfg, 0, out, nullptr);
  };
  if (ost->type_ == AVMEDIA_TYPE_VIDEO) {
    if (!keep_pix_fmt) {
      ret = get_config(AV_CODEC_CONFIG_PIX_FORMAT, reinterpret_cast<const void**>(&opts.formats));
      if (ret < 0) return ret;
    }
    if (!ms->force_fps) {
      ret = get_config(AV_CODEC_CONFIG_FRAME_RATE,
                       reinterpret_cast<const void**>(&opts.frame_rates));
      if (ret < 0) return ret;
    }
    ret = get_config(AV_CODEC_CONFIG_COLOR_SPACE,
                     reinterpret_cast<const void**>(&opts.color_spaces));
    if (ret < 0) return ret;
    ret = get_config(AV_CODEC_CONFIG_COLOR_RANGE,
                     reinterpret_cast<const void**>(&opts.color_ranges));
    if (ret < 0) return ret;
  } else {
    ret = get_config(AV_CODEC_CONFIG_SAMPLE_FORMAT, reinterpret_cast<const void**>(&opts.formats));
    if (ret < 0) return ret;
    ret = get_config(AV_CODEC_CONFIG_SAMPLE_RATE,
                     reinterpret_cast<const void**>(&opts.sample_rates));
    if (ret < 0) return ret;
    ret = get_config(AV_CODEC_CONFIG_CHANNEL_LAYOUT,
                     reinterpret_cast<const void**>(&opts.ch_layouts));
    if (ret < 0) return ret;
  }

  if (threads_manual) {
    ret = av_opt_get_int(enc_ctx, "threads", 0, &opts.nb_threads);
    if (ret < 0) return ret;
  }

  ret = ost_get_filters(o, mux->fc, ost, &filters);
  if (ret < 0) return ret;

  if (ofilter) {
    ost->filter = ofilter;
    ret = FFmpegFilter::ofilter_bind_enc(ofilter, static_cast<unsigned>(ms->sch_idx_enc), &opts);
  } else {
    // the graph takes the description over
    ret = FFmpegFilter::fg_create_simple(mux_task(mux), &ost->fg_simple, ost->ist, &opts,
                                         static_cast<unsigned>(ms->sch_idx_enc), mux->sch, filters);
    filters = nullptr;
    if (ret >= 0) ost->filter = PPtrIdx(ost->fg_simple->outputs, 0);
  }
  av_freep(&filters);
  if (ret < 0) return ret;

  *src = SCH_ENC(static_cast<Cardinal>(ms->sch_idx_enc));
  return 0;
}

int streamcopy_init(const TOptionsContext* o, TMux* mux, TOutputStream* ost,
                    AVDictionary** encoder_opts) {
  TMuxStream* ms = ms_from_ost(ost);
  const TInputStream* ist = ost->ist;
  const TInputFile* ifile = ist->file_;
  TBaseFFmpeg* task = mux_task(mux);
  AVCodecParameters* par = ms->par_in;
  const std::uint32_t codec_tag = par->codec_tag;
  AVCodecContext* codec_ctx = nullptr;
  AVRational fr = ms->frame_rate;
  int ret = 0;

  const char* filters = match_str(ost, o->filters, mux->fc);
  const char* filters_script = match_str(ost, o->filter_scripts, mux->fc);
  if (filters || filters_script) {
    av_log(ost, AV_LOG_ERROR,
           "%s '%s' was specified, but codec copy was selected. Filtering and streamcopy "
           "cannot be used together.\n",
           filters ? "Filtergraph" : "Filtergraph script", filters ? filters : filters_script);
    return AVERROR(EINVAL);
  }

  // Copied packets are never decoded, so nothing could feed the task's hooks or
  // previews: refuse before any thread starts rather than run without them.
  if (FFmpeg::TCustomFFmpeg* ct = custom_task(task)) {
    if (ost->type_ == AVMEDIA_TYPE_AUDIO) {
      if (ct->FOnAudioInputHook.Assigned() || ct->FOnAudioOutputHook.Assigned()) {
        av_log(ost, AV_LOG_FATAL,
               "-acodec/-c:audio copy and AudioHook are incompatible (frames are not decoded)\n");
        return AVERROR(EINVAL);
      }
      if (ct->FAudioPreview.load()) {
        av_log(ost, AV_LOG_FATAL,
               "-acodec/-c:audio copy and PreviewAudio are incompatible (frames are not "
               "decoded)\n");
        return AVERROR(EINVAL);
      }
    } else if (ost->type_ == AVMEDIA_TYPE_VIDEO) {
      if (ct->FOnVideoInputHook.Assigned() || ct->FOnVideoOutputHook.Assigned()) {
        av_log(ost, AV_LOG_FATAL,
               "-vcodec/-c:video copy and VideoHook are incompatible (frames are not decoded)\n");
        return AVERROR(EINVAL);
      }
      if (ct->FOnFrameInputHook.Assigned() || ct->FOnFrameOutputHook.Assigned()) {
        av_log(ost, AV_LOG_FATAL,
               "-vcodec/-c:video copy and FrameHook are incompatible (frames are not decoded)\n");
        return AVERROR(EINVAL);
      }
      const std::uint8_t flags = ct->PreviewFlags();
      if ((flags & 1) || ((flags & 2) && ct->FOnPreviewBitmap.Assigned())) {
        av_log(ost, AV_LOG_FATAL,
               "-vcodec/-c:video copy and Preview are incompatible (frames are not decoded)\n");
        return AVERROR(EINVAL);
      }
    }
  }

  codec_ctx = avcodec_alloc_context3(nullptr);
  if (!codec_ctx) return AVERROR(ENOMEM);

  ret = avcodec_parameters_to_context(codec_ctx, ist->par);
  if (ret >= 0) ret = av_opt_set_dict(codec_ctx, encoder_opts);
  if (ret < 0) {
    av_log(ost, AV_LOG_FATAL, "Error setting up codec context options.\n");
    goto fail;
  }

  ret = avcodec_parameters_from_context(par, codec_ctx);
  if (ret < 0) {
    av_log(ost, AV_LOG_FATAL, "Error getting reference codec parameters.\n");
    goto fail;
  }

  {
    std::uint32_t tag = codec_tag;
    if (!tag) {
      const AVCodecTag* const* ct = mux->fc->oformat->codec_tag;
      unsigned int codec_tag_tmp;
      if (!ct || av_codec_get_id(ct, par->codec_tag) == par->codec_id ||
          !av_codec_get_tag2(ct, par->codec_id, &codec_tag_tmp))
        tag = par->codec_tag;
    }
    par->codec_tag = tag;
  }

  if (!fr.num) fr = ist->framerate;
  if (fr.num)
    ost->st->avg_frame_rate = fr;
  else
    ost->st->avg_frame_rate = ist->st->avg_frame_rate;

  // the time base of the input, reduced
  if (ost->st->time_base.num <= 0 || ost->st->time_base.den <= 0) {
    if (fr.num)
      ost->st->time_base = AVRational{fr.den, fr.num};
    else
      av_reduce(&ost->st->time_base.num, &ost->st->time_base.den, ist->st->time_base.num,
                ist->st->time_base.den, INT_MAX);
  }

  if (!ms->copy_prior_start) {
    ms->ts_copy_start = mux->of.start_time == AV_NOPTS_VALUE ? 0 : mux->of.start_time;
    if (task->Fcopy_ts && ifile->start_time != AV_NOPTS_VALUE)
      ms->ts_copy_start = std::max(ms->ts_copy_start, ifile->start_time + ifile->ts_offset);
  }

  for (int i = 0; i < ist->st->codecpar->nb_coded_side_data; i++) {
    const AVPacketSideData* sd_src = &ist->st->codecpar->coded_side_data[i];
    AVPacketSideData* sd_dst =
        av_packet_side_data_new(&ost->st->codecpar->coded_side_data,
                                &ost->st->codecpar->nb_coded_side_data, sd_src->type,
                                sd_src->size, 0);
    if (!sd_dst) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }
    std::memcpy(sd_dst->data, sd_src->data, sd_src->size);
  }

  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if ((par->block_align == 1 || par->block_align == 1152 || par->block_align == 576) &&
          par->codec_id == AV_CODEC_ID_MP3)
        par->block_align = 0;
      if (par->codec_id == AV_CODEC_ID_AC3) par->block_align = 0;
      break;
    case AVMEDIA_TYPE_VIDEO: {
      AVRational sar;
      if (ost->frame_aspect_ratio.num) {
        av_reduce(&sar.num, &sar.den,
                  static_cast<std::int64_t>(ost->frame_aspect_ratio.num) * par->height,
                  static_cast<std::int64_t>(ost->frame_aspect_ratio.den) * par->width, INT_MAX);
        av_log(ost, AV_LOG_WARNING,
               "Overriding aspect ratio with stream copy may produce invalid files\n");
      } else if (ist->st->sample_aspect_ratio.num) {
        sar = ist->st->sample_aspect_ratio;
      } else {
        sar = par->sample_aspect_ratio;
      }
      ost->st->sample_aspect_ratio = par->sample_aspect_ratio = sar;
      ost->st->r_frame_rate = ist->st->r_frame_rate;
      break;
    }
    default:
      break;
  }

fail:
  avcodec_free_context(&codec_ctx);
  return ret;
}

int set_encoder_id(TOutputStream* ost, const AVCodec* codec) {
  const TOutputFile* of = ost->file_;
  if (av_dict_get(ost->st->metadata, "encoder", nullptr, 0)) return 0;
  const char* ident = (of->bitexact || ost->bitexact) ? "Lavc " : "Lavc62.11.100 ";
  std::string encoder = std::string(ident) + codec->name;
  return av_dict_set(&ost->st->metadata, "encoder", encoder.c_str(), 0);
}

namespace {

// Creates one output stream of the file with at most one source: an input stream `ist`,
// a complex-graph output `ofilter`, or none (attachments). `vs` is the view specifier of
// a -map entry (may be nullptr). `post`, when given, receives the new stream. 0 or a
// negative error code.
int ost_add(TMux* mux, const TOptionsContext* o, AVMediaType type, TInputStream* ist,
            TOutputFilter* ofilter, const TViewSpecifier* vs, TOutputStream** post) {
  AVFormatContext* oc = mux->fc;
  TBaseFFmpeg* task = mux_task(mux);
  const AVCodec* enc = nullptr;
  AVDictionary* encoder_opts = nullptr;
  AVRational enc_tb{0, 0};
  int keep_pix_fmt = 0, autoscale = 1, threads_manual = 0, vsync_method = VSYNC_AUTO;
  TSchedulerNode src{FFmpegSched::SCH_NODE_TYPE_NONE, 0, 0};
  int ret;

  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) return AVERROR(ENOMEM);

  TMuxStream* ms = ost_alloc(mux, type);
  if (!ms) return AVERROR(ENOMEM);
  TOutputStream* ost = &ms->ost;

  if (ist || ofilter) {
    ret = FFmpegSched::sch_add_mux_stream(mux->sch, mux->sch_idx);
    if (ret < 0) return ret;
    ms->sch_idx = ret;
    ret = CmdUtils::grow_array(mux->sch_stream_idx, mux->nb_sch_stream_idx, ms->sch_idx + 1);
    if (ret < 0) return ret;
    mux->sch_stream_idx[ms->sch_idx] = ost->index;
    if (mux->nb_sch_stream_idx != ms->sch_idx + 1) Platform::AssertionFailure(CUnit, 661);
  }

  {
    char idx_str[16];
    std::snprintf(idx_str, sizeof(idx_str), "%d", ost->index);
    const AVDictionaryEntry* e = av_dict_get(o->streamid, idx_str, nullptr, 0);
    if (e) {
      std::int64_t id;
      if (!parse_whole_int64(e->value, id)) {
        av_log(ost, AV_LOG_FATAL, "Invalid stream id: %s\n", e->value);
        return AVERROR(EINVAL);
      }
      st->id = static_cast<int>(id);
    }
  }

  ms->par_in = avcodec_parameters_alloc();
  if (!ms->par_in) return AVERROR(ENOMEM);
  ms->par_in->codec_type = type;
  st->codecpar->codec_type = type;
  ost->st = st;
  ost->ist = ist;

  ret = choose_encoder(o, oc, ost, &enc);
  if (ret < 0) {
    av_log(ost, AV_LOG_FATAL, "Error selecting an encoder\n");
    return ret;
  }

  if (enc) {
    ret = FFmpegSched::sch_add_enc(mux->sch, FFmpegEnc::encoder_thread, ost,
                                   type == AVMEDIA_TYPE_SUBTITLE ? nullptr : FFmpegEnc::enc_open);
    if (ret < 0) return ret;
    ms->sch_idx_enc = ret;

    ret = FFmpegEnc::enc_alloc(ost->enc, enc, mux->sch, static_cast<Cardinal>(ms->sch_idx_enc), ost);
    if (ret < 0) return ret;

    av_strlcatf(ms->name, sizeof(ms->name), "/%s", enc->name);
  } else {
    if (ofilter) {
      av_log(ost, AV_LOG_ERROR,
             "Streamcopy requested for output stream fed from a complex filtergraph. Filtering "
             "and streamcopy cannot be used together.\n");
      return AVERROR(EINVAL);
    }
    av_strlcatf(ms->name, sizeof(ms->name), "/copy");
  }

  {
    const char* type_str = av_get_media_type_string(type);
    av_log(ost, AV_LOG_VERBOSE, "Created %s stream from ", type_str ? type_str : "unknown");
    if (ist)
      av_log(ost, AV_LOG_VERBOSE, "input stream %d:%d\n", ist->file_->index, ist->index);
    else if (ofilter)
      av_log(ost, AV_LOG_VERBOSE, "complex filtergraph %d:[%s]\n", ofilter->graph->index,
             ofilter->name);
    else if (type == AVMEDIA_TYPE_ATTACHMENT)
      av_log(ost, AV_LOG_VERBOSE, "attached file\n");
    else
      throw CmdUtils::FFmpegException("should never occur");
  }

  ms->pkt = av_packet_alloc();
  if (!ms->pkt) return AVERROR(ENOMEM);

  if (enc) {
    AVCodecContext* enc_ctx = ost->enc->enc_ctx;

    ret = CmdUtils::filter_codec_opts(o->g->codec_opts, enc->id, oc, st, enc, encoder_opts,
                                      &mux->enc_opts_used);
    if (ret < 0) goto fail;

    {
      const char* preset = match_str(ost, o->presets, oc);
      opt_match_per_stream_int(ost, o->autoscale, oc, st, autoscale);
      if (preset) {
        AVIOContext* s = nullptr;
        ret = get_preset_file_2(preset, enc->name, &s);
        if (ret < 0) {
          av_log(ost, AV_LOG_FATAL, "Preset %s specified, but could not be opened.\n", preset);
          goto fail;
        }
        ret = read_preset(ost, s, &encoder_opts);
        avio_closep(&s);
        if (ret < 0) goto fail;
      }
    }

    if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) {
      ret = ost_stats_init(mux, ms, o);
      if (ret < 0) goto fail;
    }

    {
      const char* enc_time_base = match_str(ost, o->enc_time_bases, oc);
      if (enc_time_base && type == AVMEDIA_TYPE_SUBTITLE) {
        av_log(ost, AV_LOG_WARNING, "-enc_time_base not supported for subtitles, ignoring\n");
      } else if (enc_time_base) {
        AVRational q;
        if (!std::strcmp(enc_time_base, "demux")) {
          q = AVRational{-1, 0};
        } else if (!std::strcmp(enc_time_base, "filter")) {
          q = AVRational{-2, 0};
        } else {
          ret = av_parse_ratio(&q, enc_time_base, INT_MAX, 0, nullptr);
          if (ret < 0 || q.den <= 0) {
            av_log(ost, AV_LOG_FATAL, "Invalid time base: %s\n", enc_time_base);
            ret = ret < 0 ? ret : AVERROR(EINVAL);
            goto fail;
          }
          if (q.num < 0)
            av_log(ost, AV_LOG_WARNING,
                   "-enc_time_base -1 is deprecated, use -enc_time_base demux\n");
        }
        enc_tb = q;
      }
    }

    threads_manual = !!av_dict_get(encoder_opts, "threads", nullptr, 0);

    ret = av_opt_set_dict2(enc_ctx, &encoder_opts, AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) {
      av_log(ost, AV_LOG_ERROR, "Error applying encoder options: %s\n",
             CmdUtils::print_error(ret).c_str());
      goto fail;
    }

    ret = CmdUtils::check_avoptions(encoder_opts);
    if (ret < 0) goto fail;

    // Unless the user asked for a thread count, let the encoder choose.
    if (!threads_manual) enc_ctx->thread_count = 0;
  } else {
    ret = CmdUtils::filter_codec_opts(o->g->codec_opts, AV_CODEC_ID_NONE, oc, st, nullptr,
                                      encoder_opts, nullptr);
    if (ret < 0) goto fail;
  }

  if (o->bitexact)
    ost->bitexact = 1;
  else if (ost->enc)
    ost->bitexact = !!(ost->enc->enc_ctx->flags & AV_CODEC_FLAG_BITEXACT);

  if (enc) {
    ret = set_encoder_id(ost, enc);
    if (ret < 0) goto fail;
  }

  {
    const char* time_base = match_str(ost, o->time_bases, oc);
    if (time_base) {
      AVRational q;
      if (av_parse_ratio(&q, time_base, INT_MAX, 0, nullptr) < 0 || q.num <= 0 || q.den <= 0) {
        av_log(ost, AV_LOG_FATAL, "Invalid time base: %s\n", time_base);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      st->time_base = q;
    }
  }

  ms->max_frames = INT64_MAX;
  opt_match_per_stream_int64(ost, o->max_frames, oc, st, ms->max_frames);
  for (int i = 0; i < o->max_frames.nb_opt; i++) {
    const char* p = o->max_frames.opt[i].specifier;
    if (!p || !*p) {
      if (type != AVMEDIA_TYPE_VIDEO)
        av_log(ost, AV_LOG_WARNING,
               "Applying unspecific -frames to non video streams, maybe you meant -vframes ?\n");
      break;
    }
  }

  ms->copy_prior_start = -1;
  opt_match_per_stream_int(ost, o->copy_prior_start, oc, st, ms->copy_prior_start);

  {
    const char* bsfs = match_str(ost, o->bitstream_filters, oc);
    if (bsfs && *bsfs) {
      ret = av_bsf_list_parse_str(bsfs, &ms->bsf_ctx);
      if (ret < 0) {
        av_log(ost, AV_LOG_ERROR, "Error parsing bitstream filter sequence '%s': %s\n", bsfs,
               CmdUtils::print_error(ret).c_str());
        goto fail;
      }
    }
  }

  {
    const char* codec_tag = match_str(ost, o->codec_tags, oc);
    if (codec_tag) {
      char* next = nullptr;
      std::uint32_t tag = static_cast<std::uint32_t>(std::strtol(codec_tag, &next, 0));
      if (*next) {
        std::uint8_t buf[4] = {0, 0, 0, 0};
        std::memcpy(buf, codec_tag, std::min<std::size_t>(sizeof(buf), std::strlen(codec_tag)));
        tag = FFUtils::AV_RL32(buf);
      }
      st->codecpar->codec_tag = tag;
      ms->par_in->codec_tag = tag;
      if (ost->enc) ost->enc->enc_ctx->codec_tag = tag;
    }
  }

  {
    double qscale = -1;
    opt_match_per_stream_dbl(ost, o->qscale, oc, st, qscale);
    if (ost->enc && qscale >= 0) {
      ost->enc->enc_ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ost->enc->enc_ctx->global_quality = static_cast<int>(CQP2Lambda * qscale);
    }
  }

  if (ms->sch_idx >= 0) {
    int max_muxing_queue_size = CMaxMuxingQueueSize;
    int muxing_queue_data_threshold = CMuxingQueueDataThreshold;
    opt_match_per_stream_int(ost, o->max_muxing_queue_size, oc, st, max_muxing_queue_size);
    opt_match_per_stream_int(ost, o->muxing_queue_data_threshold, oc, st,
                             muxing_queue_data_threshold);
    FFmpegSched::sch_mux_stream_buffering(mux->sch, mux->sch_idx,
                                          static_cast<Cardinal>(ms->sch_idx),
                                          static_cast<std::size_t>(muxing_queue_data_threshold),
                                          max_muxing_queue_size);
  }

  opt_match_per_stream_int(ost, o->bits_per_raw_sample, oc, st, ost->bits_per_raw_sample);
  {
    int heartbeat = 0;
    opt_match_per_stream_int(ost, o->fix_sub_duration_heartbeat, oc, st, heartbeat);
    ost->fix_sub_duration_heartbeat = static_cast<std::uint32_t>(heartbeat);
  }
  if (ost->enc && (oc->oformat->flags & AVFMT_GLOBALHEADER))
    ost->enc->enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  opt_match_per_stream_int(ost, o->copy_initial_nonkeyframes, oc, st,
                           ms->copy_initial_nonkeyframes);

  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      ret = new_stream_video(mux, o, ost, &keep_pix_fmt, &vsync_method);
      break;
    case AVMEDIA_TYPE_AUDIO:
      ret = new_stream_audio(mux, o, ost);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      ret = new_stream_subtitle(mux, o, ost);
      break;
    default:
      ret = 0;
      break;
  }
  if (ret < 0) goto fail;

  if (ost->enc && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)) {
    ret = ost_bind_filter(mux, ms, ofilter, o, enc_tb, vsync_method, keep_pix_fmt, autoscale,
                          threads_manual, vs, &src);
    if (ret < 0) goto fail;
  } else if (ost->ist) {
    ret = FFmpegDemux::ist_use(task, ost->ist, ost->enc ? FFmpegDemux::DECODING_FOR_OST : 0, src,
                               vs);
    if (ret < 0) {
      av_log(ost, AV_LOG_ERROR, "Error binding an input stream\n");
      goto fail;
    }
    ms->sch_idx_src = static_cast<int>(src.idx);

    // an encoded (subtitle) stream is fed by the decoder through its encoder
    if (ost->enc) {
      ret = FFmpegSched::sch_connect(mux->sch, src, SCH_ENC(static_cast<Cardinal>(ms->sch_idx_enc)));
      if (ret < 0) goto fail;
      src = SCH_ENC(static_cast<Cardinal>(ms->sch_idx_enc));
    }
  }

  if (src.type_ != FFmpegSched::SCH_NODE_TYPE_NONE) {
    ret = FFmpegSched::sch_connect(
        mux->sch, src, SCH_MSTREAM(mux->sch_idx, static_cast<Cardinal>(ms->sch_idx)));
    if (ret < 0) goto fail;
  } else if (!(type == AVMEDIA_TYPE_ATTACHMENT && ms->sch_idx < 0)) {
    Platform::AssertionFailure(CUnit, 940);
  }

  if (ost->ist && !ost->enc) {
    ret = streamcopy_init(o, mux, ost, &encoder_opts);
    if (ret < 0) goto fail;
  }

  if (ist && ist->st->duration > 0) {
    ms->stream_duration = ist->st->duration;
    ms->stream_duration_tb = ist->st->time_base;
  }

  if (post) *post = ost;
  ret = 0;

fail:
  av_dict_free(&encoder_opts);
  return ret;
}

}  // namespace

// ---- Stream mapping, attachments and sync queues ------------------------------------------

namespace {

bool discarded(const TInputStream* ist) { return ist->user_set_discard == AVDISCARD_ALL; }

constexpr std::int64_t CScoreNewPackets = 100000000LL;  // a stream that appeared later
constexpr std::int64_t CScoreDefault = 5000000LL;       // the default disposition

struct TAutoScore {
  std::int64_t score;     // 0: never chosen
  std::int64_t in_file;   // the part of score that counts only within the stream's file
};

// The stream of type_ that the automatic selection picks: the best-scoring stream of
// each input file (the first of equal scores), then the best of those over the files,
// where the in_file part of a file's best score no longer counts; nullptr when none.
template <class TScoreOf>
TInputStream* best_auto_stream(TBaseFFmpeg* task, AVMediaType type_, TScoreOf score_of) {
  TInputStream* best_ist = nullptr;
  std::int64_t best_score = 0;
  for (int j = 0; j < task->Fnb_input_files; j++) {
    TInputFile* ifile = PPtrIdx(task->Finput_files, j);
    TAutoScore file_best{0, 0};
    TInputStream* file_best_ist = nullptr;
    for (int i = 0; i < ifile->nb_streams; i++) {
      TInputStream* ist = PPtrIdx(ifile->streams, i);
      if (discarded(ist) || ist->st->codecpar->codec_type != type_) continue;
      const TAutoScore score = score_of(ist->st);
      if (score.score > file_best.score) {
        file_best = score;
        file_best_ist = ist;
      }
    }
    if (file_best_ist && file_best.score - file_best.in_file > best_score) {
      best_score = file_best.score - file_best.in_file;
      best_ist = file_best_ist;
    }
  }
  return best_ist;
}

// The usual score: a size (pixels, channels), a large bonus for a stream that appeared
// later and a smaller one for the default disposition, which counts only within its file.
TAutoScore usual_score(const AVStream* st, std::int64_t size) {
  const std::int64_t by_default = CScoreDefault * !!(st->disposition & AV_DISPOSITION_DEFAULT);
  return TAutoScore{
      size + CScoreNewPackets * !!(st->event_flags & AVSTREAM_EVENT_FLAG_NEW_PACKETS) + by_default,
      by_default};
}

// Adds an output stream fed by the stream that best_auto_stream picks, if any.
template <class TScoreOf>
int map_auto_best(TMux* mux, const TOptionsContext* o, AVMediaType type_, TScoreOf score_of) {
  TInputStream* best_ist = best_auto_stream(mux_task(mux), type_, score_of);
  if (best_ist) return ost_add(mux, o, type_, best_ist, nullptr, nullptr, nullptr);
  return 0;
}

}  // namespace

int map_auto_video(TMux* mux, const TOptionsContext* o) {
  AVFormatContext* oc = mux->fc;

  if (av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO) == AV_CODEC_ID_NONE)
    return 0;

  // A format that takes only attached pictures as video (cover art) answers "APIC".
  const int qcr = avformat_query_codec(oc->oformat, oc->oformat->video_codec, 0);
  const bool apic_only = static_cast<std::uint32_t>(qcr) == (CmdUtils::MKTAG)('A', 'P', 'I', 'C');

  return map_auto_best(mux, o, AVMEDIA_TYPE_VIDEO, [apic_only](const AVStream* st) {
    const bool pic = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
    if (apic_only && !pic) return TAutoScore{0, 0};
    // an attached picture comes last where real video is wanted
    if (!apic_only && pic) return TAutoScore{1, 0};
    return usual_score(st, static_cast<std::int64_t>(st->codecpar->width) * st->codecpar->height);
  });
}

int map_auto_audio(TMux* mux, const TOptionsContext* o) {
  AVFormatContext* oc = mux->fc;

  if (av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO) == AV_CODEC_ID_NONE)
    return 0;

  return map_auto_best(mux, o, AVMEDIA_TYPE_AUDIO, [](const AVStream* st) {
    return usual_score(st, st->codecpar->ch_layout.nb_channels);
  });
}

int map_auto_subtitle(TMux* mux, const TOptionsContext* o) {
  AVFormatContext* oc = mux->fc;
  TBaseFFmpeg* task = mux_task(mux);
  const char* subtitle_codec_name = FFmpegOpt::opt_match_per_type_str(o->codec_names, 's');
  const AVCodec* output_codec = avcodec_find_encoder(oc->oformat->subtitle_codec);

  if (!output_codec && !subtitle_codec_name) return 0;

  const AVCodecDescriptor* output_descriptor =
      output_codec ? avcodec_descriptor_get(output_codec->id) : nullptr;
  const int mask = AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB;
  const int output_props = output_descriptor ? output_descriptor->props & mask : 0;

  for (int j = 0; j < task->Fnb_input_files; j++) {
    TInputFile* ifile = PPtrIdx(task->Finput_files, j);
    for (int i = 0; i < ifile->nb_streams; i++) {
      TInputStream* ist = PPtrIdx(ifile->streams, i);
      if (ist->st->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE || discarded(ist)) continue;
      const AVCodecDescriptor* input_descriptor = avcodec_descriptor_get(ist->st->codecpar->codec_id);
      const int input_props = input_descriptor ? input_descriptor->props & mask : 0;
      // A stream of neither class (teletext) goes to any subtitle encoder.
      if (subtitle_codec_name || (input_props & output_props) ||
          (input_descriptor && output_descriptor &&
           (!input_descriptor->props || !output_descriptor->props)))
        return ost_add(mux, o, AVMEDIA_TYPE_SUBTITLE, ist, nullptr, nullptr, nullptr);
    }
  }
  return 0;
}

int map_auto_data(TMux* mux, const TOptionsContext* o) {
  AVFormatContext* oc = mux->fc;
  TBaseFFmpeg* task = mux_task(mux);
  const AVCodecID codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_DATA);
  if (codec_id == AV_CODEC_ID_NONE) return 0;

  for (int j = 0; j < task->Fnb_input_files; j++) {
    TInputFile* ifile = PPtrIdx(task->Finput_files, j);
    for (int i = 0; i < ifile->nb_streams; i++) {
      TInputStream* ist = PPtrIdx(ifile->streams, i);
      if (discarded(ist)) continue;
      if (ist->st->codecpar->codec_type == AVMEDIA_TYPE_DATA && ist->st->codecpar->codec_id == codec_id) {
        const int ret = ost_add(mux, o, AVMEDIA_TYPE_DATA, ist, nullptr, nullptr, nullptr);
        if (ret < 0) return ret;
      }
    }
  }
  return 0;
}

int map_manual(TMux* mux, const TOptionsContext* o, const TStreamMap* map) {
  TBaseFFmpeg* task = mux_task(mux);

  if (map->disabled) return 0;

  if (map->linklabel) {
    FFmpegHeader::TFilterGraph* fg = nullptr;
    TOutputFilter* ofilter = nullptr;
    for (int j = 0; j < task->Fnb_filtergraphs && !ofilter; j++) {
      fg = PPtrIdx(task->Ffiltergraphs, j);
      for (int k = 0; k < fg->nb_outputs; k++) {
        TOutputFilter* of = PPtrIdx(fg->outputs, k);
        if (of->linklabel && !std::strcmp(of->linklabel, map->linklabel) && !of->bound) {
          ofilter = of;
          break;
        }
      }
    }
    if (!ofilter) {
      av_log(mux, AV_LOG_FATAL,
             "Output with label '%s' does not exist in any defined filter graph, or was already "
             "used elsewhere.\n",
             map->linklabel);
      return AVERROR(EINVAL);
    }
    av_log(mux, AV_LOG_VERBOSE,
           "Creating output stream from an explicitly mapped complex filtergraph %d, output [%s]\n",
           fg->index, map->linklabel);
    return ost_add(mux, o, ofilter->type_, nullptr, ofilter, nullptr, nullptr);
  }

  TInputStream* ist = PPtrIdx(PPtrIdx(task->Finput_files, map->file_index)->streams, map->stream_index);
  if (discarded(ist)) {
    av_log(mux, AV_LOG_FATAL, "Stream #%d:%d is disabled and cannot be mapped.\n", map->file_index,
           map->stream_index);
    return AVERROR(EINVAL);
  }

  const AVMediaType type = ist->st->codecpar->codec_type;
  // the user disabled this type: skip it silently
  if ((o->subtitle_disable && type == AVMEDIA_TYPE_SUBTITLE) ||
      (o->audio_disable && type == AVMEDIA_TYPE_AUDIO) ||
      (o->video_disable && type == AVMEDIA_TYPE_VIDEO) ||
      (o->data_disable && type == AVMEDIA_TYPE_DATA))
    return 0;

  if (type == AVMEDIA_TYPE_UNKNOWN && !task->Fcopy_unknown_streams) {
    if (task->Fignore_unknown_streams) {
      av_log(mux, AV_LOG_WARNING, "Cannot map stream #%d:%d - unsupported type.\n",
             map->file_index, map->stream_index);
      return 0;
    }
    av_log(mux, AV_LOG_FATAL, "Cannot map stream #%d:%d - unsupported type.\n", map->file_index,
           map->stream_index);
    av_log(mux, AV_LOG_FATAL,
           "If you want unsupported types ignored instead of failing, please use the "
           "-ignore_unknown option\nIf you want them copied, please use -copy_unknown\n");
    return AVERROR(EINVAL);
  }

  if (map->vs.type_ != FFmpegHeader::VIEW_SPECIFIER_TYPE_NONE && type != AVMEDIA_TYPE_VIDEO) {
    const char* type_str = av_get_media_type_string(type);
    av_log(mux, AV_LOG_ERROR, "View specifier given for mapping a %s input stream\n",
           type_str ? type_str : "unknown");
    return AVERROR(EINVAL);
  }

  return ost_add(mux, o, type, ist, nullptr, &map->vs, nullptr);
}

int of_add_attachments(TMux* mux, const TOptionsContext* o) {
  TBaseFFmpeg* task = mux_task(mux);

  for (int i = 0; i < o->nb_attachments; i++) {
    const char* path = o->attachments[i];
    AVIOContext* pb = nullptr;
    std::uint8_t* attachment = nullptr;
    char* attachment_filename = nullptr;
    TOutputStream* ost = nullptr;
    std::int64_t len;
    int err;

    task->FLastRead = av_gettime_relative();
    err = avio_open2(&pb, path, AVIO_FLAG_READ, &task->FReadCallback, nullptr);
    if (err < 0) {
      av_log(mux, AV_LOG_FATAL, "Could not open attachment file %s.\n", path);
      return err;
    }

    len = avio_size(pb);
    if (len <= 0) {
      av_log(mux, AV_LOG_FATAL, "Could not get size of the attachment %s.\n", path);
      err = len ? static_cast<int>(len) : AVERROR_INVALIDDATA;
      goto read_fail;
    }
    if (len > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
      av_log(mux, AV_LOG_FATAL, "Attachment %s too large.\n", path);
      err = AVERROR(ERANGE);
      goto read_fail;
    }

    attachment = static_cast<std::uint8_t*>(av_malloc(len + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!attachment) {
      err = AVERROR(ENOMEM);
      goto read_fail;
    }

    task->FLastRead = av_gettime_relative();
    err = avio_read(pb, attachment, static_cast<int>(len));
    if (err < 0) {
      av_log(mux, AV_LOG_FATAL, "Error reading attachment file %s: %s\n", path,
             CmdUtils::print_error(err).c_str());
    } else if (err != len) {
      av_log(mux, AV_LOG_FATAL, "Could not read all %s bytes for attachment file %s\n",
             std::to_string(len).c_str(), path);
      err = AVERROR(EIO);
    }

  read_fail:
    avio_closep(&pb);
    if (err < 0) {
      av_freep(&attachment);
      return err;
    }

    std::memset(attachment + len, 0, AV_INPUT_BUFFER_PADDING_SIZE);

    av_log(mux, AV_LOG_VERBOSE, "Creating attachment stream from file %s\n", path);

    attachment_filename = av_strdup(path);
    if (!attachment_filename) {
      av_freep(&attachment);
      return AVERROR(ENOMEM);
    }

    err = ost_add(mux, o, AVMEDIA_TYPE_ATTACHMENT, nullptr, nullptr, nullptr, &ost);
    if (err < 0) {
      av_freep(&attachment_filename);
      av_freep(&attachment);
      return err;
    }

    // The data goes into the parameters that the stream takes when it is initialised.
    TMuxStream* ms = ms_from_ost(ost);
    ost->attachment_filename = attachment_filename;
    ms->par_in->extradata = attachment;
    ms->par_in->extradata_size = static_cast<int>(len);

    // The file's own name, without its folder; this platform separates folders with "/"
    // only (a back slash is an ordinary character of a file name here).
    const char* p = std::strrchr(path, '/');
    av_dict_set(&ost->st->metadata, "filename", (p && p[1]) ? p + 1 : path, AV_DICT_DONT_OVERWRITE);
  }
  return 0;
}

int create_streams(TMux* mux, const TOptionsContext* o) {
  TBaseFFmpeg* task = mux_task(mux);
  AVFormatContext* oc = mux->fc;
  int ret;

  static const AVMediaType CMaskTypes[4] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                            AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_SUBTITLE};
  auto mask_bit = [](AVMediaType type) -> unsigned {
    for (unsigned i = 0; i < 4; i++)
      if (CMaskTypes[i] == type) return 1u << i;
    return 0;
  };
  unsigned mask = (o->video_disable ? 1u : 0u) | (o->audio_disable ? 2u : 0u) |
                  (o->data_disable ? 4u : 0u) | (o->subtitle_disable ? 8u : 0u);

  // unlabeled outputs of complex filter graphs
  for (int i = 0; i < task->Fnb_filtergraphs; i++) {
    FFmpegHeader::TFilterGraph* fg = PPtrIdx(task->Ffiltergraphs, i);
    for (int j = 0; j < fg->nb_outputs; j++) {
      TOutputFilter* ofilter = PPtrIdx(fg->outputs, j);
      if (ofilter->linklabel || ofilter->bound) continue;

      av_log(mux, AV_LOG_VERBOSE,
             "Creating output stream from unlabeled output of complex filtergraph %d.", fg->index);
      if (!o->nb_stream_maps) {
        const char* type_str = av_get_media_type_string(ofilter->type_);
        av_log(mux, AV_LOG_VERBOSE, " This overrides automatic %s mapping.",
               type_str ? type_str : "unknown");
      }
      av_log(mux, AV_LOG_VERBOSE, "\n");

      ret = ost_add(mux, o, ofilter->type_, nullptr, ofilter, nullptr, nullptr);
      if (ret < 0) return ret;
      mask |= mask_bit(ofilter->type_);
    }
  }

  if (o->nb_stream_maps > 0) {
    av_log(mux, AV_LOG_VERBOSE, "Adding streams from explicit maps...\n");
    for (int i = 0; i < o->nb_stream_maps; i++) {
      ret = map_manual(mux, o, &o->stream_maps[i]);
      if (ret < 0) return ret;
    }
  } else {
    av_log(mux, AV_LOG_VERBOSE, "No explicit maps, mapping streams automatically...\n");
    if (!(mask & 1u) && (ret = map_auto_video(mux, o)) < 0) return ret;
    if (!(mask & 2u) && (ret = map_auto_audio(mux, o)) < 0) return ret;
    if (!(mask & 8u) && (ret = map_auto_subtitle(mux, o)) < 0) return ret;
    if (!(mask & 4u) && (ret = map_auto_data(mux, o)) < 0) return ret;
  }

  ret = of_add_attachments(mux, o);
  if (ret < 0) return ret;

  // subtitle heartbeats: streams that give the beat to encoded subtitles whose input
  // wants -fix_sub_duration
  for (int i = 0; i < mux->of.nb_streams; i++) {
    TOutputStream* ost = PPtrIdx(mux->of.streams, i);
    TMuxStream* ms = ms_from_ost(ost);
    if (!ost->fix_sub_duration_heartbeat || ms->sch_idx < 0) continue;
    for (int j = 0; j < mux->of.nb_streams; j++) {
      TOutputStream* ost1 = PPtrIdx(mux->of.streams, j);
      TMuxStream* ms1 = ms_from_ost(ost1);
      if (ost1 == ost || ost1->type_ != AVMEDIA_TYPE_SUBTITLE || !ost1->enc || !ost1->ist ||
          !ost1->ist->fix_sub_duration || ms1->sch_idx_src < 0)
        continue;
      ret = FFmpegSched::sch_mux_sub_heartbeat_add(mux->sch, mux->sch_idx,
                                                   static_cast<Cardinal>(ms->sch_idx),
                                                   static_cast<Cardinal>(ms1->sch_idx_src));
      if (ret < 0) return ret;
    }
  }

  // With -shortest, -apad pads the audio up to the end of the video: the filter does it.
  if (o->shortest) {
    bool have_video = false;
    for (int i = 0; i < mux->of.nb_streams; i++)
      if (PPtrIdx(mux->of.streams, i)->type_ == AVMEDIA_TYPE_VIDEO) have_video = true;
    if (have_video) {
      for (int i = 0; i < mux->of.nb_streams; i++) {
        TOutputStream* ost = PPtrIdx(mux->of.streams, i);
        TMuxStream* ms = ms_from_ost(ost);
        if (ost->type_ != AVMEDIA_TYPE_AUDIO || !ms->apad || !ost->filter) continue;
        av_freep(&ost->filter->apad);
        ost->filter->apad = av_strdup(ms->apad);
        if (!ost->filter->apad) return AVERROR(ENOMEM);
      }
    }
  }
  for (int i = 0; i < mux->of.nb_streams; i++) ms_from_ost(PPtrIdx(mux->of.streams, i))->apad = nullptr;

  if (!mux->of.nb_streams && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
    av_dump_format(oc, task->Fnb_output_files - 1, oc->url, 1);
    av_log(mux, AV_LOG_ERROR, "Output file does not contain any stream\n");
    return AVERROR(EINVAL);
  }
  return 0;
}

int setup_sync_queues(TMux* mux, AVFormatContext* fc, std::int64_t buf_size_us, int shortest) {
  TOutputFile* of = &mux->of;
  int nb_interleaved = 0, nb_av_enc = 0, nb_audio_fs = 0;
  bool limit_frames = false, limit_frames_av_enc = false;
  (void)fc;

  auto is_interleaved = [](AVMediaType type) { return type != AVMEDIA_TYPE_ATTACHMENT; };
  auto is_av_enc = [](const TOutputStream* ost) {
    return ost->enc && (ost->type_ == AVMEDIA_TYPE_VIDEO || ost->type_ == AVMEDIA_TYPE_AUDIO);
  };

  for (int i = 0; i < of->nb_streams; i++) {
    TOutputStream* ost = PPtrIdx(of->streams, i);
    TMuxStream* ms = ms_from_ost(ost);
    ms->sq_idx_mux = -1;
    nb_interleaved += is_interleaved(ost->type_);
    nb_av_enc += is_av_enc(ost);
    // an audio encoder of fixed frame size needs its frames cut by the encoder queue
    nb_audio_fs += ost->enc && ost->type_ == AVMEDIA_TYPE_AUDIO &&
                   !(ost->enc->enc_ctx->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    limit_frames |= ms->max_frames < INT64_MAX;
    limit_frames_av_enc |= ms->max_frames < INT64_MAX && is_av_enc(ost);
  }

  if (!((nb_interleaved > 1 && shortest) || (nb_interleaved > 0 && limit_frames) || nb_audio_fs))
    return 0;

  // The encoder queue keeps the encoded audio and video in step (and cuts fixed-size
  // audio frames); the muxer queue is needed only when some stream reaches the muxer
  // without passing an encoder.
  if ((shortest && nb_av_enc > 1) || limit_frames_av_enc || nb_audio_fs) {
    const int sq_idx = FFmpegSched::sch_add_sq_enc(mux->sch, buf_size_us, mux);
    if (sq_idx < 0) return sq_idx;
    for (int i = 0; i < of->nb_streams; i++) {
      TOutputStream* ost = PPtrIdx(of->streams, i);
      TMuxStream* ms = ms_from_ost(ost);
      if (!is_av_enc(ost)) continue;
      const int ret = FFmpegSched::sch_sq_add_enc(
          mux->sch, static_cast<Cardinal>(sq_idx), static_cast<Cardinal>(ms->sch_idx_enc),
          shortest || ms->max_frames < INT64_MAX, ms->max_frames);
      if (ret < 0) return ret;
    }
  }

  if (nb_interleaved > nb_av_enc) {
    mux->sq_mux = SyncQueue::sq_alloc(SyncQueue::SYNC_QUEUE_PACKETS, buf_size_us, mux);
    if (!mux->sq_mux) return AVERROR(ENOMEM);
    mux->sq_pkt = av_packet_alloc();
    if (!mux->sq_pkt) return AVERROR(ENOMEM);

    for (int i = 0; i < of->nb_streams; i++) {
      TOutputStream* ost = PPtrIdx(of->streams, i);
      TMuxStream* ms = ms_from_ost(ost);
      if (!is_interleaved(ost->type_)) continue;
      ms->sq_idx_mux = SyncQueue::sq_add_stream(mux->sq_mux, shortest || ms->max_frames < INT64_MAX);
      if (ms->sq_idx_mux < 0) return ms->sq_idx_mux;
      if (ms->max_frames != INT64_MAX)
        SyncQueue::sq_limit_frames(mux->sq_mux, static_cast<Cardinal>(ms->sq_idx_mux), ms->max_frames);
    }
  }
  return 0;
}

// ---- Stream groups and programs -----------------------------------------------------------

namespace {

// Sub-block idx of a parameter definition (the library's inline accessor asserts through
// a logging entry point that is only reachable through the bound table).
void* param_subblock(const AVIAMFParamDefinition* par, unsigned idx) {
  return const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(par)) +
         par->subblocks_offset + idx * par->subblock_size;
}

// The leading blanks of the item after a separator do not belong to it.
void skip_blanks(char*& ptr) {
  if (ptr) ptr += std::strspn(ptr, " \n\t\r");
}

// Appends the text of bp to the part list, with ":" between two non-empty parts.
void append_part(AVBPrint* bp, const std::string& part, bool& first) {
  if (part.empty()) return;
  if (!first) av_bprintf(bp, ":");
  av_bprintf(bp, "%s", part.c_str());
  first = false;
}

}  // namespace

int of_serialize_options(TMux* mux, void* obj, std::string& text) {
  char* ptr = nullptr;
  const int ret = av_opt_serialize(obj, 0, AV_OPT_SERIALIZE_SKIP_DEFAULTS, &ptr, '=', ':');
  if (ret < 0) {
    av_log(mux, AV_LOG_ERROR, "Failed to serialize group\n");
    return ret;
  }
  text = ptr ? ptr : "";
  av_free(ptr);
  return static_cast<int>(text.size());
}

std::int64_t get_stream_group_index_from_id(TMux* mux, std::int64_t id) {
  const AVFormatContext* oc = mux->fc;
  for (unsigned i = 0; i < oc->nb_stream_groups; i++)
    if (oc->stream_groups[i]->id == id) return i;
  return AVERROR(EINVAL);
}

namespace {

// The options of a parameter definition followed by those of its sub-blocks.
int serialize_param_definition(TMux* mux, AVIAMFParamDefinition* param, AVBPrint* bp, bool& first) {
  std::string part;
  int ret = of_serialize_options(mux, param, part);
  if (ret < 0) return ret;
  append_part(bp, part, first);
  for (unsigned j = 0; j < param->nb_subblocks; j++) {
    ret = of_serialize_options(mux, param_subblock(param, j), part);
    if (ret < 0) return ret;
    append_part(bp, part, first);
  }
  return 0;
}

}  // namespace

int of_map_group(TMux* mux, AVDictionary** dict, AVBPrint* bp, const char* map) {
  TBaseFFmpeg* task = mux_task(mux);
  char* ptr = nullptr;
  int ret;

  const long file_idx = std::strtol(map, &ptr, 0);
  if (ptr == map || file_idx < 0 || file_idx >= task->Fnb_input_files) {
    av_log(mux, AV_LOG_ERROR, "Invalid input file index: %d.\n", static_cast<int>(file_idx));
    return AVERROR(EINVAL);
  }
  const AVFormatContext* ic = PPtrIdx(task->Finput_files, static_cast<int>(file_idx))->ctx;
  const char* group_text = *ptr == '=' ? ptr + 1 : ptr;
  const long stream_idx = std::strtol(group_text, &ptr, 0);
  if (ptr == group_text || *ptr || stream_idx < 0 ||
      stream_idx >= static_cast<long>(ic->nb_stream_groups)) {
    av_log(mux, AV_LOG_ERROR, "Invalid input stream group index: %d.\n", static_cast<int>(stream_idx));
    return AVERROR(EINVAL);
  }
  AVStreamGroup* stg = ic->stream_groups[stream_idx];

  std::string part;
  ret = of_serialize_options(mux, stg, part);
  if (ret < 0) return ret;
  if (!part.empty() && av_dict_parse_string(dict, part.c_str(), "=", ":", 0) < 0)
    av_log(mux, AV_LOG_ERROR, "Error parsing mapped group specification %s\n", part.c_str());
  av_dict_set_int(dict, "type", stg->type, 0);

  switch (stg->type) {
    case AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT: {
      AVIAMFAudioElement* audio_element = stg->params.iamf_audio_element;
      if (audio_element->demixing_info) {
        bool first = true;
        av_bprintf(bp, ",demixing=");
        ret = serialize_param_definition(mux, audio_element->demixing_info, bp, first);
        if (ret < 0) return ret;
      }
      if (audio_element->recon_gain_info) {
        bool first = true;
        av_bprintf(bp, ",recon_gain=");
        ret = serialize_param_definition(mux, audio_element->recon_gain_info, bp, first);
        if (ret < 0) return ret;
      }
      for (unsigned i = 0; i < audio_element->nb_layers; i++) {
        ret = of_serialize_options(mux, audio_element->layers[i], part);
        if (ret < 0) return ret;
        av_bprintf(bp, ",layer=%s", part.c_str());
      }
      break;
    }
    case AV_STREAM_GROUP_PARAMS_IAMF_MIX_PRESENTATION: {
      AVIAMFMixPresentation* mix = stg->params.iamf_mix_presentation;
      for (unsigned i = 0; i < mix->nb_submixes; i++) {
        AVIAMFSubmix* submix = mix->submixes[i];
        bool first = true;
        av_bprintf(bp, ",submix=");
        ret = of_serialize_options(mux, submix, part);
        if (ret < 0) return ret;
        append_part(bp, part, first);
        if (submix->output_mix_config) {
          for (unsigned j = 0; j < submix->output_mix_config->nb_subblocks; j++) {
            ret = of_serialize_options(
                mux, param_subblock(submix->output_mix_config, j), part);
            if (ret < 0) return ret;
            append_part(bp, part, first);
          }
        }
        for (unsigned j = 0; j < submix->nb_elements; j++) {
          AVIAMFSubmixElement* element = submix->elements[j];
          bool efirst = true;
          av_bprintf(bp, "|element=");
          ret = of_serialize_options(mux, element, part);
          if (ret < 0) return ret;
          append_part(bp, part, efirst);
          if (element->element_mix_config) {
            ret = serialize_param_definition(mux, element->element_mix_config, bp, efirst);
            if (ret < 0) return ret;
          }
          const std::int64_t idx = get_stream_group_index_from_id(mux, element->audio_element_id);
          if (idx < 0) {
            av_log(mux, AV_LOG_ERROR, "Invalid or missing stream group index insubmix element");
            return AVERROR(EINVAL);
          }
          append_part(bp, "stg=" + std::to_string(idx), efirst);
        }
        for (unsigned j = 0; j < submix->nb_layouts; j++) {
          ret = of_serialize_options(mux, submix->layouts[j], part);
          if (ret < 0) return ret;
          av_bprintf(bp, "|layout=%s", part.c_str());
        }
      }
      break;
    }
    default:
      av_log(mux, AV_LOG_ERROR, "Unsupported mapped group type %d.\n", stg->type);
      return AVERROR(EINVAL);
  }
  return 0;
}

int of_parse_iamf_audio_element_layers(TMux* mux, AVStreamGroup* stg, char* ptr) {
  AVIAMFAudioElement* audio_element = stg->params.iamf_audio_element;
  AVDictionary* dict = nullptr;
  int ret = 0;
  (void)mux;

  audio_element->demixing_info =
      av_iamf_param_definition_alloc(AV_IAMF_PARAMETER_DEFINITION_DEMIXING, 1, nullptr);
  audio_element->recon_gain_info =
      av_iamf_param_definition_alloc(AV_IAMF_PARAMETER_DEFINITION_RECON_GAIN, 1, nullptr);
  if (!audio_element->demixing_info || !audio_element->recon_gain_info) return AVERROR(ENOMEM);

  char* token = av_strtok(ptr, ",", &ptr);
  while (token) {
    const char* rest = token;
    bool layer = false, demixing = false, recon_gain = false;
    skip_blanks(ptr);

    if (av_strstart(token, "layer=", &rest))
      layer = true;
    else if (av_strstart(token, "demixing=", &rest))
      demixing = true;
    else if (av_strstart(token, "recon_gain=", &rest))
      recon_gain = true;

    av_dict_free(&dict);
    ret = av_dict_parse_string(&dict, rest, "=", ":", 0);
    if (ret < 0) {
      av_log(mux, AV_LOG_ERROR, "Error parsing audio element specification %s\n", token);
      goto fail;
    }

    if (layer) {
      AVIAMFLayer* audio_layer = av_iamf_audio_element_add_layer(audio_element);
      if (!audio_layer) {
        av_log(mux, AV_LOG_ERROR, "Error adding layer to stream group %d\n", stg->index);
        ret = AVERROR(ENOMEM);
        goto fail;
      }
      av_opt_set_dict(audio_layer, &dict);
    } else if (demixing || recon_gain) {
      AVIAMFParamDefinition* param =
          demixing ? audio_element->demixing_info : audio_element->recon_gain_info;
      void* subblock = param_subblock(param, 0);
      av_opt_set_dict(param, &dict);
      av_opt_set_dict(subblock, &dict);
    }

    // every key must have been taken
    if (const AVDictionaryEntry* e = av_dict_iterate(dict, nullptr)) {
      av_log(mux, AV_LOG_FATAL, "Unknown layer key %s.\n", e->key);
      ret = AVERROR(EINVAL);
      goto fail;
    }
    token = av_strtok(nullptr, ",", &ptr);
  }

fail:
  av_dict_free(&dict);
  if (!ret && !audio_element->nb_layers) {
    av_log(mux, AV_LOG_ERROR, "No layer in audio element specification\n");
    ret = AVERROR(EINVAL);
  }
  return ret;
}

int of_parse_iamf_submixes(TMux* mux, AVStreamGroup* stg, char* ptr) {
  AVFormatContext* oc = mux->fc;
  AVIAMFMixPresentation* mix = stg->params.iamf_mix_presentation;
  AVDictionary* dict = nullptr;
  char* submix_str = nullptr;
  int ret = 0;

  char* token = av_strtok(ptr, ",", &ptr);
  while (token) {
    AVIAMFSubmix* submix = nullptr;
    const char* rest = token;
    char* subptr = nullptr;
    char* subtoken;
    skip_blanks(ptr);

    // Anything but a submix here is a mistake in the user's group text: fail instead of
    // ending the parse with a half-built mix presentation reported as a success.
    if (!av_strstart(token, "submix=", &rest)) {
      av_log(mux, AV_LOG_ERROR, "No submix in mix presentation specification \"%s\"\n", token);
      ret = AVERROR(EINVAL);
      goto fail;
    }

    submix_str = av_strdup(rest);
    if (!submix_str) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }

    submix = av_iamf_mix_presentation_add_submix(mix);
    if (!submix) {
      av_log(mux, AV_LOG_ERROR, "Error adding submix to stream group %d\n", stg->index);
      ret = AVERROR(ENOMEM);
      goto fail;
    }
    submix->output_mix_config =
        av_iamf_param_definition_alloc(AV_IAMF_PARAMETER_DEFINITION_MIX_GAIN, 0, nullptr);
    if (!submix->output_mix_config) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }

    subtoken = av_strtok(submix_str, "|", &subptr);
    while (subtoken) {
      const char* subrest = subtoken;
      bool element = false, layout = false;
      skip_blanks(subptr);

      if (av_strstart(subtoken, "element=", &subrest))
        element = true;
      else if (av_strstart(subtoken, "layout=", &subrest))
        layout = true;

      av_dict_free(&dict);
      ret = av_dict_parse_string(&dict, subrest, "=", ":", 0);
      if (ret < 0) {
        av_log(mux, AV_LOG_ERROR, "Error parsing submix specification \"%s\"\n", subtoken);
        goto fail;
      }

      if (element) {
        const AVDictionaryEntry* e = av_dict_get(dict, "stg", nullptr, 0);
        std::int64_t idx = -1;
        if (!e || !parse_whole_int64(e->value, idx) || idx < 0 ||
            idx >= static_cast<std::int64_t>(oc->nb_stream_groups) ||
            oc->stream_groups[idx]->type != AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT) {
          av_log(mux, AV_LOG_ERROR,
                 "Invalid or missing stream group index in submix element specification \"%s\"\n",
                 subtoken);
          ret = AVERROR(EINVAL);
          goto fail;
        }
        AVIAMFSubmixElement* submix_element = av_iamf_submix_add_element(submix);
        if (!submix_element) {
          av_log(mux, AV_LOG_ERROR, "Error adding element to submix\n");
          ret = AVERROR(ENOMEM);
          goto fail;
        }
        submix_element->audio_element_id = static_cast<unsigned>(oc->stream_groups[idx]->id);
        submix_element->element_mix_config =
            av_iamf_param_definition_alloc(AV_IAMF_PARAMETER_DEFINITION_MIX_GAIN, 0, nullptr);
        if (!submix_element->element_mix_config) {
          ret = AVERROR(ENOMEM);
          goto fail;
        }
        av_dict_set(&dict, "stg", nullptr, 0);
        av_opt_set_dict2(submix_element, &dict, AV_OPT_SEARCH_CHILDREN);
      } else if (layout) {
        AVIAMFSubmixLayout* submix_layout = av_iamf_submix_add_layout(submix);
        if (!submix_layout) {
          av_log(mux, AV_LOG_ERROR, "Error adding layout to submix\n");
          ret = AVERROR(ENOMEM);
          goto fail;
        }
        av_opt_set_dict(submix_layout, &dict);
      } else {
        av_opt_set_dict2(submix, &dict, AV_OPT_SEARCH_CHILDREN);
      }

      if (const AVDictionaryEntry* e = av_dict_iterate(dict, nullptr)) {
        av_log(mux, AV_LOG_FATAL, "Unknown submix key %s.\n", e->key);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      subtoken = av_strtok(nullptr, "|", &subptr);
    }
    av_freep(&submix_str);

    if (!submix->nb_elements) {
      av_log(mux, AV_LOG_ERROR, "No audio elements in submix specification \"%s\"\n", token);
      ret = AVERROR(EINVAL);
      goto fail;
    }
    token = av_strtok(nullptr, ",", &ptr);
  }

fail:
  av_dict_free(&dict);
  av_free(submix_str);
  return ret;
}

namespace {

// The option class that evaluates a group's "type" with its named constants.
struct TGroupTypeCtx {
  const AVClass* cls;
  int type;
};

const AVOption CGroupTypeOptions[] = {
    {"type", "Set group type", offsetof(TGroupTypeCtx, type), AV_OPT_TYPE_INT, {.i64 = 0}, 0,
     INT_MAX, AV_OPT_FLAG_ENCODING_PARAM, "type"},
    {"iamf_audio_element", nullptr, 0, AV_OPT_TYPE_CONST,
     {.i64 = AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT}, 0, 0, AV_OPT_FLAG_ENCODING_PARAM, "type"},
    {"iamf_mix_presentation", nullptr, 0, AV_OPT_TYPE_CONST,
     {.i64 = AV_STREAM_GROUP_PARAMS_IAMF_MIX_PRESENTATION}, 0, 0, AV_OPT_FLAG_ENCODING_PARAM, "type"},
    {nullptr, nullptr, 0, AV_OPT_TYPE_INT, {.i64 = 0}, 0, 0, 0, nullptr},
};

AVClass MakeGroupTypeClass() {
  AVClass c{};
  c.class_name = "StreamGroupType";
  c.item_name = AVUtilStubs::av_default_item_name;
  c.option = CGroupTypeOptions;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}

}  // namespace

int of_parse_group_token(TMux* mux, const char* token, char* ptr) {
  AVFormatContext* oc = mux->fc;
  AVDictionary* dict = nullptr;
  AVDictionary* tmp = nullptr;
  char* mapped_string = nullptr;
  const AVDictionaryEntry* e;
  AVStreamGroup* stg;
  int type = 0, ret;

  // AVClass with a stub as item name: built when first used, after the libraries are bound
  const AVClass group_class = MakeGroupTypeClass();
  TGroupTypeCtx type_ctx{&group_class, 0};

  ret = av_dict_parse_string(&dict, token, "=", ":", AV_DICT_MULTIKEY);
  if (ret < 0) {
    av_log(mux, AV_LOG_ERROR, "Error parsing group specification %s\n", token);
    return ret;
  }
  ret = av_dict_copy(&tmp, dict, 0);
  if (ret < 0) goto end;

  e = av_dict_get(dict, "map", nullptr, 0);
  if (e) {
    AVBPrint bp;
    if (ptr) {
      av_log(mux, AV_LOG_ERROR, "Unexpected extra parameters when mapping a stream group\n");
      ret = AVERROR(EINVAL);
      goto end;
    }
    av_bprint_init(&bp, 0, AV_BPRINT_SIZE_UNLIMITED);
    ret = of_map_group(mux, &tmp, &bp, e->value);
    if (ret < 0) {
      av_bprint_finalize(&bp, nullptr);
      goto end;
    }
    av_bprint_finalize(&bp, &mapped_string);
    ptr = mapped_string;
  }

  // "type" is not an option of the group itself: it decides what the group is
  e = av_dict_get(tmp, "type", nullptr, 0);
  if (!e) {
    av_log(mux, AV_LOG_ERROR, "No type specified for Stream Group in \"%s\"\n", token);
    ret = AVERROR(EINVAL);
    goto end;
  }
  ret = av_opt_eval_int(&type_ctx, &CGroupTypeOptions[0], e->value, &type);
  if (!ret && type != AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT &&
      type != AV_STREAM_GROUP_PARAMS_IAMF_MIX_PRESENTATION)
    ret = AVERROR(EINVAL);
  if (ret < 0) {
    av_log(mux, AV_LOG_ERROR, "Invalid group type \"%s\"\n", e->value);
    goto end;
  }

  {
    // the group takes what it knows out of the copy
    AVDictionary* group_opts = nullptr;
    ret = av_dict_copy(&group_opts, tmp, 0);
    if (ret < 0) goto end;
    av_dict_set(&group_opts, "map", nullptr, 0);
    av_dict_set(&group_opts, "type", nullptr, 0);
    av_dict_set(&group_opts, "st", nullptr, 0);
    av_dict_set(&group_opts, "stg", nullptr, 0);
    stg = avformat_stream_group_create(oc, static_cast<AVStreamGroupParamsType>(type), &group_opts);
    if (!stg) {
      av_dict_free(&group_opts);
      ret = AVERROR(ENOMEM);
      goto end;
    }
    // keys the group did not take stay for the final check
    av_dict_free(&tmp);
    tmp = group_opts;
  }

  e = nullptr;
  while ((e = av_dict_get(dict, "st", e, 0))) {
    std::int64_t idx;
    if (!parse_whole_int64(e->value, idx) || idx < 0 || idx >= oc->nb_streams) {
      av_log(mux, AV_LOG_ERROR, "Invalid stream index %s\n", e->value);
      ret = AVERROR(EINVAL);
      goto end;
    }
    ret = avformat_stream_group_add_stream(stg, oc->streams[idx]);
    if (ret < 0) goto end;
  }
  e = nullptr;
  while ((e = av_dict_get(dict, "stg", e, 0))) {
    std::int64_t idx;
    // only groups made before this one
    if (!parse_whole_int64(e->value, idx) || idx < 0 ||
        idx >= static_cast<std::int64_t>(oc->nb_stream_groups) - 1) {
      av_log(mux, AV_LOG_ERROR, "Invalid stream group index %s\n", e->value);
      ret = AVERROR(EINVAL);
      goto end;
    }
    for (unsigned j = 0; j < oc->stream_groups[idx]->nb_streams; j++) {
      ret = avformat_stream_group_add_stream(stg, oc->stream_groups[idx]->streams[j]);
      if (ret < 0) goto end;
    }
  }

  switch (type) {
    case AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT:
      ret = of_parse_iamf_audio_element_layers(mux, stg, ptr);
      break;
    case AV_STREAM_GROUP_PARAMS_IAMF_MIX_PRESENTATION:
      ret = of_parse_iamf_submixes(mux, stg, ptr);
      break;
    default:
      av_log(mux, AV_LOG_FATAL, "Unknown group type %d.\n", type);
      ret = AVERROR(EINVAL);
      break;
  }
  if (ret < 0) goto end;

  e = nullptr;
  while ((e = av_dict_iterate(tmp, e))) {
    av_log(mux, AV_LOG_FATAL, "Unknown group key %s.\n", e->key);
    ret = AVERROR(EINVAL);
    goto end;
  }
  ret = 0;

end:
  av_free(mapped_string);
  av_dict_free(&dict);
  av_dict_free(&tmp);
  return ret;
}

int of_add_groups(TMux* mux, const TOptionsContext* o) {
  for (int i = 0; i < o->stream_groups.nb_opt; i++) {
    char* str = av_strdup(o->stream_groups.opt[i].u.str);
    if (!str) return AVERROR(ENOMEM);
    char* ptr = nullptr;
    int ret = 0;
    char* token = av_strtok(str, ",", &ptr);
    if (token) {
      skip_blanks(ptr);
      ret = of_parse_group_token(mux, token, ptr);
    }
    av_free(str);
    if (ret < 0) return ret;
  }
  return 0;
}

int of_add_programs(TMux* mux, const TOptionsContext* o) {
  AVFormatContext* oc = mux->fc;
  for (int i = 0; i < o->program_.nb_opt; i++) {
    AVDictionary* dict = nullptr;
    const AVDictionaryEntry* e;
    int progid = i + 1;
    int ret = av_dict_parse_string(&dict, o->program_.opt[i].u.str, "=", ":", AV_DICT_MULTIKEY);
    if (ret < 0) {
      av_log(mux, AV_LOG_ERROR, "Error parsing program specification %s\n", o->program_.opt[i].u.str);
      return ret;
    }

    e = av_dict_get(dict, "program_num", nullptr, 0);
    if (e) {
      progid = static_cast<int>(std::strtol(e->value, nullptr, 0));
      av_dict_set(&dict, "program_num", nullptr, 0);
    }

    AVProgram* program = av_new_program(oc, progid);
    if (!program) {
      av_dict_free(&dict);
      return AVERROR(ENOMEM);
    }

    e = av_dict_get(dict, "title", nullptr, 0);
    if (e) {
      av_dict_set(&program->metadata, "title", e->value, 0);
      av_dict_set(&dict, "title", nullptr, 0);
    }

    e = nullptr;
    while ((e = av_dict_get(dict, "st", e, 0))) {
      const int st_num = static_cast<int>(std::strtol(e->value, nullptr, 0));
      av_program_add_stream_index(oc, progid, static_cast<unsigned>(st_num));
    }

    e = nullptr;
    while ((e = av_dict_iterate(dict, e))) {
      if (!std::strcmp(e->key, "st")) continue;
      av_log(mux, AV_LOG_FATAL, "Unknown program key %s.\n", e->key);
      av_dict_free(&dict);
      return AVERROR(EINVAL);
    }
    av_dict_free(&dict);
  }
  return 0;
}

// ---- Metadata, chapters, dispositions and forced key frames -------------------------------

int parse_meta_type(void* logctx, const char* arg, char* type, int* index, const char** stream_spec) {
  if (*arg) {
    *type = *arg;
    switch (*arg) {
      case 'g':
        break;
      case 's':
        if (*(++arg) && *arg != ':') {
          av_log(logctx, AV_LOG_FATAL, "Invalid metadata specifier %s.\n", arg);
          return AVERROR(EINVAL);
        }
        *stream_spec = *arg == ':' ? arg + 1 : "";
        break;
      case 'c':
      case 'p':
        if (*(++arg) == ':') *index = static_cast<int>(std::strtol(++arg, nullptr, 0));
        break;
      default:
        av_log(logctx, AV_LOG_FATAL, "Invalid metadata type %s.\n", arg);
        return AVERROR(EINVAL);
    }
  } else {
    *type = 'g';
  }
  return 0;
}

int copy_metadata(TMux* mux, AVFormatContext* ic, const char* outspec, const char* inspec,
                  int* metadata_chapters_manual, int* metadata_streams_manual,
                  int* metadata_global_manual) {
  AVFormatContext* oc = mux->fc;
  AVDictionary** meta_in = nullptr;
  AVDictionary** meta_out = nullptr;
  char type_in, type_out;
  const char* istream_spec = nullptr;
  const char* ostream_spec = nullptr;
  int idx_in = 0, idx_out = 0;
  int ret;

  ret = parse_meta_type(mux, inspec, &type_in, &idx_in, &istream_spec);
  if (ret < 0) return ret;
  ret = parse_meta_type(mux, outspec, &type_out, &idx_out, &ostream_spec);
  if (ret < 0) return ret;

  // "-map_metadata -1" (no source, no output specifier) stops every automatic copy
  const bool disable_all = !*outspec && !ic;
  if (type_in == 'g' || type_out == 'g' || disable_all) *metadata_global_manual = 1;
  if (type_in == 's' || type_out == 's' || disable_all) *metadata_streams_manual = 1;
  if (type_in == 'c' || type_out == 'c' || disable_all) *metadata_chapters_manual = 1;

  if (!ic) return 0;

  auto set_dict = [mux](char type, AVDictionary**& meta, AVFormatContext* ctx, int index) -> int {
    switch (type) {
      case 'g':
        meta = &ctx->metadata;
        break;
      case 'c':
        if (index < 0 || index >= static_cast<int>(ctx->nb_chapters)) {
          av_log(mux, AV_LOG_FATAL, "Invalid %s index %d while processing metadata maps.\n",
                 "chapter", index);
          return AVERROR(EINVAL);
        }
        meta = &ctx->chapters[index]->metadata;
        break;
      case 'p':
        if (index < 0 || index >= static_cast<int>(ctx->nb_programs)) {
          av_log(mux, AV_LOG_FATAL, "Invalid %s index %d while processing metadata maps.\n",
                 "program", index);
          return AVERROR(EINVAL);
        }
        meta = &ctx->programs[index]->metadata;
        break;
      default:  // 's': matched below
        break;
    }
    return 0;
  };
  ret = set_dict(type_in, meta_in, ic, idx_in);
  if (ret < 0) return ret;
  ret = set_dict(type_out, meta_out, oc, idx_out);
  if (ret < 0) return ret;

  // from the first matching input stream
  if (type_in == 's') {
    for (unsigned i = 0; i < ic->nb_streams; i++) {
      ret = CmdUtils::check_stream_specifier(ic, ic->streams[i], istream_spec);
      if (ret > 0) {
        meta_in = &ic->streams[i]->metadata;
        break;
      }
      if (ret < 0) return ret;
    }
    if (!meta_in) {
      av_log(mux, AV_LOG_FATAL, "Stream specifier %s does not match any streams.\n", istream_spec);
      return AVERROR(EINVAL);
    }
  }

  if (type_out == 's') {
    for (unsigned i = 0; i < oc->nb_streams; i++) {
      ret = CmdUtils::check_stream_specifier(oc, oc->streams[i], ostream_spec);
      if (ret > 0) {
        ret = av_dict_copy(&oc->streams[i]->metadata, *meta_in, AV_DICT_DONT_OVERWRITE);
        if (ret < 0) return ret;
      } else if (ret < 0) {
        return ret;
      }
    }
  } else {
    ret = av_dict_copy(meta_out, *meta_in, AV_DICT_DONT_OVERWRITE);
    if (ret < 0) return ret;
  }
  return 0;
}

int copy_chapters(TInputFile* ifile, TMux* mux, AVFormatContext* os, int copy_metadata) {
  const TOutputFile* of = &mux->of;
  AVFormatContext* is = ifile->ctx;
  if (!is->nb_chapters) return 0;

  auto** tmp = static_cast<AVChapter**>(
      av_realloc_array(os->chapters, is->nb_chapters + os->nb_chapters, sizeof(*os->chapters)));
  if (!tmp) return AVERROR(ENOMEM);
  os->chapters = tmp;

  for (unsigned i = 0; i < is->nb_chapters; i++) {
    const AVChapter* in_ch = is->chapters[i];
    const std::int64_t start_time = of->start_time == AV_NOPTS_VALUE ? 0 : of->start_time;
    const std::int64_t ts_off =
        av_rescale_q(start_time - ifile->ts_offset, AV_TIME_BASE_Q, in_ch->time_base);
    const std::int64_t rt = of->recording_time == INT64_MAX
                                ? INT64_MAX
                                : av_rescale_q(of->recording_time, AV_TIME_BASE_Q, in_ch->time_base);

    if (in_ch->end < ts_off) continue;
    if (rt != INT64_MAX && in_ch->start > rt + ts_off) break;

    auto* out_ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!out_ch) return AVERROR(ENOMEM);
    out_ch->id = in_ch->id;
    out_ch->time_base = in_ch->time_base;
    out_ch->start = std::max<std::int64_t>(0, in_ch->start - ts_off);
    out_ch->end = std::min(rt, in_ch->end - ts_off);
    os->chapters[os->nb_chapters++] = out_ch;
    if (copy_metadata) {
      const int ret = av_dict_copy(&out_ch->metadata, in_ch->metadata, 0);
      if (ret < 0) return ret;
    }
  }
  return 0;
}

int copy_meta(TMux* mux, const TOptionsContext* o) {
  TOutputFile* of = &mux->of;
  AVFormatContext* oc = mux->fc;
  TBaseFFmpeg* task = mux_task(mux);
  int chapters_input_file = o->chapters_input_file;
  int metadata_global_manual = 0, metadata_streams_manual = 0, metadata_chapters_manual = 0;
  int ret;

  for (int i = 0; i < o->metadata_map.nb_opt; i++) {
    const char* value = o->metadata_map.opt[i].u.str;
    char* p = nullptr;
    const int in_file_index = static_cast<int>(std::strtol(value, &p, 0));
    if (in_file_index >= task->Fnb_input_files) {
      av_log(mux, AV_LOG_FATAL, "Invalid input file index %d while processing metadata maps\n",
             in_file_index);
      return AVERROR(EINVAL);
    }
    ret = copy_metadata(mux,
                        in_file_index >= 0 ? PPtrIdx(task->Finput_files, in_file_index)->ctx : nullptr,
                        o->metadata_map.opt[i].specifier, *p ? p + 1 : p, &metadata_chapters_manual,
                        &metadata_streams_manual, &metadata_global_manual);
    if (ret < 0) return ret;
  }

  if (chapters_input_file >= task->Fnb_input_files) {
    if (chapters_input_file == INT_MAX) {
      // the first input file that has chapters
      chapters_input_file = -1;
      for (int i = 0; i < task->Fnb_input_files; i++)
        if (PPtrIdx(task->Finput_files, i)->ctx->nb_chapters) {
          chapters_input_file = i;
          break;
        }
    } else {
      av_log(mux, AV_LOG_FATAL, "Invalid input file index %d in chapter mapping.\n",
             chapters_input_file);
      return AVERROR(EINVAL);
    }
  }
  if (chapters_input_file >= 0) {
    ret = copy_chapters(PPtrIdx(task->Finput_files, chapters_input_file), mux, oc,
                        !metadata_chapters_manual);
    if (ret < 0) return ret;
  }

  if (!metadata_global_manual && task->Fnb_input_files) {
    ret = av_dict_copy(&oc->metadata, PPtrIdx(task->Finput_files, 0)->ctx->metadata,
                       AV_DICT_DONT_OVERWRITE);
    if (ret < 0) return ret;
    if (of->recording_time != INT64_MAX) av_dict_set(&oc->metadata, "duration", nullptr, 0);
    av_dict_set(&oc->metadata, "creation_time", nullptr, 0);
    av_dict_set(&oc->metadata, "company_name", nullptr, 0);
    av_dict_set(&oc->metadata, "product_name", nullptr, 0);
    av_dict_set(&oc->metadata, "product_version", nullptr, 0);
  }

  if (!metadata_streams_manual) {
    for (int i = 0; i < of->nb_streams; i++) {
      TOutputStream* ost = PPtrIdx(of->streams, i);
      if (!ost->ist) continue;
      ret = av_dict_copy(&ost->st->metadata, ost->ist->st->metadata, AV_DICT_DONT_OVERWRITE);
      if (ret < 0) return ret;
    }
  }
  return 0;
}

int of_add_metadata(TOutputFile* of, AVFormatContext* oc, const TOptionsContext* o) {
  for (int i = 0; i < o->metadata.nb_opt; i++) {
    const char* entry = o->metadata.opt[i].u.str;
    const char* eq = std::strchr(entry, '=');
    char type = 0;
    int index = 0;
    const char* stream_spec = nullptr;
    int ret;

    if (!eq) {
      av_log(of, AV_LOG_FATAL, "No '=' character in metadata string %s.\n", entry);
      return AVERROR(EINVAL);
    }
    const std::string key(entry, static_cast<std::size_t>(eq - entry));
    const char* val = eq + 1;

    ret = parse_meta_type(of, o->metadata.opt[i].specifier, &type, &index, &stream_spec);
    if (ret < 0) return ret;

    if (type == 's') {
      for (unsigned j = 0; j < oc->nb_streams; j++) {
        ret = CmdUtils::check_stream_specifier(oc, oc->streams[j], stream_spec);
        if (ret > 0) {
          av_dict_set(&oc->streams[j]->metadata, key.c_str(), *val ? val : nullptr, 0);
        } else if (ret < 0) {
          return ret;
        }
      }
      continue;
    }

    AVDictionary** m = nullptr;
    switch (type) {
      case 'g':
        m = &oc->metadata;
        break;
      case 'c':
        if (index < 0 || index >= static_cast<int>(oc->nb_chapters)) {
          av_log(of, AV_LOG_FATAL, "Invalid chapter index %d in metadata specifier.\n", index);
          return AVERROR(EINVAL);
        }
        m = &oc->chapters[index]->metadata;
        break;
      case 'p':
        if (index < 0 || index >= static_cast<int>(oc->nb_programs)) {
          av_log(of, AV_LOG_FATAL, "Invalid program index %d in metadata specifier.\n", index);
          return AVERROR(EINVAL);
        }
        m = &oc->programs[index]->metadata;
        break;
      default:
        av_log(of, AV_LOG_FATAL, "Invalid metadata specifier %s.\n", o->metadata.opt[i].specifier);
        return AVERROR(EINVAL);
    }
    av_dict_set(m, key.c_str(), *val ? val : nullptr, 0);
  }
  return 0;
}

int set_dispositions(TMux* mux, const TOptionsContext* o) {
  TOutputFile* of = &mux->of;
  AVFormatContext* ctx = mux->fc;
  int nb_streams[AVMEDIA_TYPE_NB] = {};
  int have_default[AVMEDIA_TYPE_NB] = {};
  bool have_manual = false;
  int ret = 0;
  auto known = [](AVMediaType t) { return t >= 0 && t < AVMEDIA_TYPE_NB; };

  auto** dispositions = static_cast<const char**>(av_calloc(ctx->nb_streams ? ctx->nb_streams : 1, sizeof(char*)));
  if (!dispositions) return AVERROR(ENOMEM);

  // the input's dispositions first
  for (int i = 0; i < of->nb_streams; i++) {
    TOutputStream* ost = PPtrIdx(of->streams, i);
    if (known(ost->type_)) nb_streams[ost->type_]++;
    opt_match_per_stream_str(ost, o->disposition, ctx, ost->st, dispositions[i]);
    have_manual |= dispositions[i] != nullptr;
    if (ost->ist) {
      ost->st->disposition = ost->ist->st->disposition;
      if ((ost->st->disposition & AV_DISPOSITION_DEFAULT) && known(ost->type_))
        have_default[ost->type_] = 1;
    }
  }

  if (have_manual) {
    // given dispositions replace the copied ones
    for (int i = 0; i < of->nb_streams; i++) {
      TOutputStream* ost = PPtrIdx(of->streams, i);
      if (!dispositions[i]) continue;
      ret = av_opt_set(ost->st, "disposition", dispositions[i], 0);
      if (ret < 0) break;
    }
  } else {
    // For each type with several streams and no default one, the first stream that is
    // not a cover picture becomes the default.
    for (int i = 0; i < of->nb_streams; i++) {
      TOutputStream* ost = PPtrIdx(of->streams, i);
      const AVMediaType type = ost->type_;
      if (!known(type) || nb_streams[type] < 2 || have_default[type] ||
          (ost->st->disposition & AV_DISPOSITION_ATTACHED_PIC))
        continue;
      ost->st->disposition |= AV_DISPOSITION_DEFAULT;
      have_default[type] = 1;
    }
  }

  av_freep(&dispositions);
  return ret;
}

namespace {

int compare_int64(const void* a, const void* b) {
  const std::int64_t va = *static_cast<const std::int64_t*>(a);
  const std::int64_t vb = *static_cast<const std::int64_t*>(b);
  return va < vb ? -1 : va > vb ? 1 : 0;
}

const char* const CForcedKeyframesConstNames[] = {"n", "n_forced", "prev_forced_n",
                                                  "prev_forced_t", "t", nullptr};

}  // namespace

int parse_forced_key_frames(void* log, TKeyframeForceCtx* kf, const TMux* mux, const char* spec) {
  int n = 1, size, index = 0, ret = 0;
  std::int64_t t;

  for (const char* p = spec; *p; p++)
    if (*p == ',') n++;
  size = n;
  auto* pts = static_cast<std::int64_t*>(av_malloc_array(size, sizeof(std::int64_t)));
  if (!pts) return AVERROR(ENOMEM);

  std::string text(spec);
  char* p = text.data();
  for (int i = 0; i < n; i++) {
    char* next = std::strchr(p, ',');
    if (next) *next++ = 0;

    if (std::strstr(p, "chapters") == p) {
      AVChapter* const* ch = mux->fc->chapters;
      const unsigned nb_ch = mux->fc->nb_chapters;
      if (nb_ch > static_cast<unsigned>(INT_MAX - size)) {
        ret = AVERROR(ERANGE);
        goto fail;
      }
      size += static_cast<int>(nb_ch) - 1;
      if (size > 0) {
        auto* grown = static_cast<std::int64_t*>(av_realloc_array(pts, size, sizeof(std::int64_t)));
        if (!grown) {
          ret = AVERROR(ENOMEM);
          goto fail;
        }
        pts = grown;
      }

      if (p[8]) {
        ret = av_parse_time(&t, p + 8, 1);
        if (ret < 0) {
          av_log(log, AV_LOG_ERROR, "Invalid chapter time offset: %s\n", p + 8);
          goto fail;
        }
      } else {
        t = 0;
      }

      for (unsigned j = 0; j < nb_ch; j++) {
        const AVChapter* c = ch[j];
        pts[index++] = av_rescale_q(c->start, c->time_base, AV_TIME_BASE_Q) + t;
      }
    } else {
      ret = av_parse_time(&t, p, 1);
      if (ret < 0) {
        av_log(log, AV_LOG_ERROR, "Invalid keyframe time: %s\n", p);
        goto fail;
      }
      pts[index++] = t;
    }
    p = next;
  }

  if (index != size) Platform::AssertionFailure(CUnit, 1701);
  std::qsort(pts, static_cast<std::size_t>(size), sizeof(std::int64_t), compare_int64);
  av_freep(&kf->pts);
  kf->nb_pts = size;
  kf->pts = pts;
  return 0;

fail:
  av_freep(&pts);
  return ret;
}

int process_forced_keyframes(TMux* mux, const TOptionsContext* o) {
  for (int i = 0; i < mux->of.nb_streams; i++) {
    TOutputStream* ost = PPtrIdx(mux->of.streams, i);
    const char* forced_keyframes = match_str(ost, o->forced_key_frames, mux->fc);
    if (!(ost->type_ == AVMEDIA_TYPE_VIDEO && ost->enc && forced_keyframes)) continue;

    if (!std::strncmp(forced_keyframes, "expr:", 5)) {
      const int ret = av_expr_parse(&ost->kf.pexpr, forced_keyframes + 5, CForcedKeyframesConstNames,
                                    nullptr, nullptr, nullptr, nullptr, 0, nullptr);
      if (ret < 0) {
        av_log(ost, AV_LOG_ERROR, "Invalid force_key_frames expression \"%s\"\n", forced_keyframes + 5);
        return ret;
      }
      ost->kf.expr_const_values[FFmpegHeader::FKF_N] = 0;
      ost->kf.expr_const_values[FFmpegHeader::FKF_N_FORCED] = 0;
      ost->kf.expr_const_values[FFmpegHeader::FKF_PREV_FORCED_N] = NAN;
      ost->kf.expr_const_values[FFmpegHeader::FKF_PREV_FORCED_T] = NAN;
    } else if (!std::strcmp(forced_keyframes, "source")) {
      ost->kf.type_ = CKfForceSource;
    } else if (!std::strcmp(forced_keyframes, "source_no_drop")) {
      av_log(ost, AV_LOG_WARNING,
             "The 'source_no_drop' value for -force_key_frames is deprecated, use just 'source'\n");
      ost->kf.type_ = CKfForceSource;
    } else {
      const int ret = parse_forced_key_frames(ost, &ost->kf, mux, forced_keyframes);
      if (ret < 0) return ret;
    }
  }
  return 0;
}

// ---- Opening the output -------------------------------------------------------------------

int of_open(TBaseFFmpeg* task, const TOptionsContext* o, const char* filename,
            FFmpegSched::TScheduler* sch) {
  // "-" is standard output, as on the command line of any such tool: never a file
  // named "-" in the current folder.
  if (filename && std::strcmp(filename, "-") == 0) filename = "pipe:";
  std::int64_t recording_time = o->recording_time;
  std::int64_t stop_time = o->stop_time;
  int ret;

  TMux* mux = mux_alloc(task);
  if (!mux) return AVERROR(ENOMEM);
  TOutputFile* of = &mux->of;

  if (stop_time != INT64_MAX && recording_time != INT64_MAX) {
    stop_time = INT64_MAX;
    av_log(mux, AV_LOG_WARNING, "-t and -to cannot be used together; using -t.\n");
  }
  if (stop_time != INT64_MAX && recording_time == INT64_MAX) {
    const std::int64_t start_time = o->start_time == AV_NOPTS_VALUE ? 0 : o->start_time;
    if (stop_time <= start_time) {
      av_log(mux, AV_LOG_ERROR, "-to value smaller than -ss; aborting.\n");
      return AVERROR(EINVAL);
    }
    recording_time = stop_time - start_time;
  }

  of->recording_time = recording_time;
  of->start_time = o->start_time;
  mux->limit_filesize = o->limit_filesize;
  ret = av_dict_copy(&mux->opts, o->g->format_opts, 0);
  if (ret < 0) return ret;

  AVFormatContext* oc = nullptr;
  const AVOutputFormat* custom = o->format ? FFUtils::FindOutputFormat(o->format) : nullptr;
  ret = avformat_alloc_output_context2(&oc, custom, o->format, filename);
  if (!oc) {
    if (ret >= 0) ret = AVERROR(ENOMEM);
    av_log(mux, AV_LOG_FATAL, "Error initializing the muxer for %s: %s\n", filename,
           CmdUtils::print_error(ret).c_str());
    return ret;
  }
  if (custom) {
    // A registered format's context carries the custom class with its own option.
    av_opt_free(oc);
    oc->av_class = FFUtils::GetCustomFormatContextClass();
    av_opt_set_defaults(oc);
  }
  mux->fc = oc;

  av_strlcatf(mux->log_name, sizeof(mux->log_name), "/%s", oc->oformat->name);

  if (recording_time != INT64_MAX) {
    oc->duration = recording_time;
    std::int64_t cur = task->FOutputDuration.load();
    while (cur < recording_time && !task->FOutputDuration.compare_exchange_weak(cur, recording_time)) {
    }
  }

  oc->interrupt_callback = task->FWriteCallback;

  if (o->bitexact) {
    oc->flags |= AVFMT_FLAG_BITEXACT;
    of->bitexact = 1;
  } else {
    of->bitexact = check_opt_bitexact(oc, mux->opts, "fflags", AVFMT_FLAG_BITEXACT);
  }

  ret = FFmpegSched::sch_add_mux(sch, FFmpegMux::muxer_thread, FFmpegMux::mux_check_init, mux,
                                 !std::strcmp(oc->oformat->name, "rtp"),
                                 static_cast<Cardinal>(o->thread_queue_size));
  if (ret < 0) return ret;
  mux->sch = sch;
  mux->sch_idx = static_cast<Cardinal>(ret);

  ret = create_streams(mux, o);
  if (ret < 0) return ret;

  ret = FFmpeg::check_avoptions_used(o->g->codec_opts, mux->enc_opts_used, mux, false);
  av_dict_free(&mux->enc_opts_used);
  if (ret < 0) return ret;

  if ((oc->oformat->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(oc->url)) {
    av_log(mux, AV_LOG_FATAL,
           "Output filename '%s' does not contain a numeric pattern like '%%d', which is "
           "required by output format '%s'.\n",
           oc->url, oc->oformat->name);
    return AVERROR(EINVAL);
  }

  if (oc->oformat->flags & AVFMT_NOFILE) {
    // a single picture written over and over: the same file is overwritten each time
    if (!std::strcmp(oc->oformat->name, "image2") && !av_filename_number_test(filename)) {
      ret = FFmpegOpt::assert_file_overwrite(task, filename);
      if (ret < 0) return ret;
    }
  } else {
    ret = FFmpegOpt::assert_file_overwrite(task, filename);
    if (ret < 0) return ret;

    if (!o->memory_access) {
      task->FLastWrite = av_gettime_relative();
      ret = avio_open2(&oc->pb, filename, AVIO_FLAG_WRITE, &oc->interrupt_callback, &mux->opts);
      if (ret < 0) {
        av_log(mux, AV_LOG_FATAL, "Error opening output %s: %s\n", filename,
               CmdUtils::print_error(ret).c_str());
        return ret;
      }
    } else {
      void* stream = reinterpret_cast<void*>(static_cast<std::intptr_t>(o->memory_access));
      AVIOContext* pb = nullptr;
      ret = MemoryProtocol::memory_open(stream, filename, AVIO_FLAG_WRITE, &pb);
      if (ret < 0) return ret;
      of->memory_handle = stream;
      oc->pb = pb;
      oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
  }

  if (o->mux_preload) {
    ret = av_dict_set_int(&mux->opts, "preload",
                          static_cast<std::int64_t>(o->mux_preload * AV_TIME_BASE), 0);
    if (ret < 0) return ret;
  }
  oc->max_delay = static_cast<int>(o->mux_max_delay * AV_TIME_BASE);

  ret = copy_meta(mux, o);
  if (ret < 0) return ret;
  ret = of_add_groups(mux, o);
  if (ret < 0) return ret;
  ret = of_add_programs(mux, o);
  if (ret < 0) return ret;
  ret = of_add_metadata(of, oc, o);
  if (ret < 0) return ret;

  ret = set_dispositions(mux, o);
  if (ret < 0) {
    av_log(mux, AV_LOG_FATAL, "Error setting output stream dispositions\n");
    return ret;
  }

  // forced key frames may refer to the chapters, which exist now
  ret = process_forced_keyframes(mux, o);
  if (ret < 0) {
    av_log(mux, AV_LOG_FATAL, "Error processing forced keyframes\n");
    return ret;
  }

  ret = setup_sync_queues(mux, oc, static_cast<std::int64_t>(o->shortest_buf_duration * AV_TIME_BASE),
                          o->shortest);
  if (ret < 0) {
    av_log(mux, AV_LOG_FATAL, "Error setting up output sync queues\n");
    return ret;
  }

  // The output's own copy: the argument block that holds the name is replaced by the
  // next ParseOptions, even one that is refused while this output still exists.
  of->url = av_strdup(filename);
  if (!of->url) return AVERROR(ENOMEM);

  // Streams without an encoder (copies, attachments) are complete now; encoded ones
  // are completed when their encoder opens on its first frame.
  for (int i = 0; i < of->nb_streams; i++) {
    TOutputStream* ost = PPtrIdx(of->streams, i);
    if (ost->enc) continue;
    ret = FFmpegMux::of_stream_init(of, ost, nullptr);
    if (ret < 0) return ret;
  }
  return 0;
}
}  // namespace FFmpegMuxInit
