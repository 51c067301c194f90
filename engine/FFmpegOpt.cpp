// The conversion task's option front end.
//
// Every task owns its option table (TBaseFFmpeg::_OptionDef): rows that store into the task
// point at that task's fields, rows that store into a file's options point at offsets of
// TOptionsContext, and function rows call the handlers below, which find their task through
// the Owner of the options context they receive (a TOptionsContext for per-file rows, the
// TGlobalOptionsContext for the others: both begin with CmdUtils::TDefaultOptions). So two
// tasks parse at the same time without sharing anything but the libraries' log settings.
//
// Threads: everything here runs on the thread that calls ParseOptions, before any worker of
// the task exists; nothing is locked.
#include "engine/FFmpegOpt.h"
#include "engine/FFmpegOptInternal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include <sys/stat.h>

#include "engine/FFmpeg.h"
#include "engine/FFmpegDec.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInit.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Time.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHW.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace FFmpegOpt {

using namespace CmdUtils;
using FFmpegHeader::PInputFile;
using FFmpegHeader::PPtrIdx;
using FFmpegHeader::TInputFile;
using FFmpegHeader::TStreamMap;
using FFmpegHeader::TViewSpecifier;

using AVCodecStubs::av_bsf_get_class;
using AVCodecStubs::avcodec_descriptor_get_by_name;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_find_decoder_by_name;
using AVCodecStubs::avcodec_find_encoder;
using AVCodecStubs::avcodec_find_encoder_by_name;
using AVCodecStubs::avcodec_get_class;
using AVFilterStubs::avfilter_get_class;
using AVFormatStubs::avformat_get_class;
using AVFormatStubs::avio_check;
using AVFormatStubs::avio_find_protocol_name;
using AVFormatStubs::avio_open2;
using AVUtilStubs::av_asprintf;
using AVUtilStubs::av_dict_copy;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_token;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_hwdevice_iterate_types;
using AVUtilStubs::av_log;
using AVUtilStubs::av_log_get_flags;
using AVUtilStubs::av_log_get_level;
using AVUtilStubs::av_opt_eval_flags;
using AVUtilStubs::av_opt_find;
using AVUtilStubs::av_parse_time;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_strcasecmp;
using AVUtilStubs::av_strdup;
using SwResampleStubs::swr_get_class;
using SwScaleStubs::sws_get_class;

namespace {

constexpr const char* CUnit = "FFmpegOpt";
constexpr int CLineTypeStrList = 372;
constexpr int CLineListType = 403;
constexpr int CLineSchedulerExists = 2132;

// A handler result that is not an error: the parse goes on after a problem the handler
// reported itself.
constexpr int CResultContinue = 234;

constexpr std::int64_t CInt64Max = std::numeric_limits<std::int64_t>::max();

// Conditions of -abort_on.
constexpr int ABORT_ON_FLAG_EMPTY_OUTPUT = 1;
constexpr int ABORT_ON_FLAG_EMPTY_OUTPUT_STREAM = 2;

// Values of -vsync / -fps_mode.
constexpr int VSYNC_AUTO = -1;
constexpr int VSYNC_PASSTHROUGH = 0;
constexpr int VSYNC_CFR = 1;
constexpr int VSYNC_VFR = 2;
constexpr int VSYNC_DROP = 4;

const TOptionGroupDef CGroups[] = {
    {"output url", nullptr, OPT_OUTPUT},
    {"input url", "i", OPT_INPUT},
    {"loopback decoder", "dec", OPT_DECODER},
};
enum { GROUP_OUTFILE, GROUP_INFILE, GROUP_DECODER };

TBaseFFmpeg* TaskOf(void* ctx) {
  return static_cast<TBaseFFmpeg*>(static_cast<TDefaultOptions*>(ctx)->Owner);
}

void TaskLog(TBaseFFmpeg* ATask, FFLoad::TLogLevel ALevel, const std::string& AText) {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(ATask, ALevel, AText);
}

const char* S(const char* AText) { return AText ? AText : ""; }

// ---- The open steps of other units ------------------------------------------------------

int OpenInput(TBaseFFmpeg* ATask, TOptionsContext* o, const char* arg, TScheduler* sch) {
  return FFmpegDemux::ifile_open(ATask, o, arg, sch);
}
int OpenOutput(TBaseFFmpeg* ATask, TOptionsContext* o, const char* arg, TScheduler* sch) {
  return FFmpegMuxInit::of_open(ATask, o, arg, sch);
}
int OpenDecoder(TBaseFFmpeg* ATask, TOptionsContext* o, const char* arg, TScheduler* sch) {
  // loopback decoders belong to a full conversion task
  auto* task = dynamic_cast<FFmpeg::TCustomFFmpeg*>(ATask);
  if (!task) return AVERROR(EINVAL);
  return FFmpegDec::dec_create(task, o, arg, sch);
}

}  // namespace

// ---- Per-stream option values --------------------------------------------------------------

namespace {

// Position plus 1 of the last entry of AList that matches the stream, 0 when none; warns
// when several matched, naming the canonical option and the value that wins.
int MatchPerStream(void* ALogCtx, TOptionType AType, const TSpecifierOptList& AList,
                   const AVFormatContext* AFormatContext, const AVStream* AStream) {
  Platform::Check(AList.nb_opt == 0 || AList.type_ == AType, CUnit, CLineListType);
  int matches = 0;
  int match_idx = -1;
  for (int i = 0; i < AList.nb_opt; i++)
    if (stream_specifier_match(&AList.opt[i].stream_spec, AFormatContext, AStream, ALogCtx)) {
      match_idx = i;
      matches++;
    }
  if (matches > 1 && AList.opt_canon) {
    const TSpecifierOpt& so = AList.opt[match_idx];
    const char* spec = so.specifier ? so.specifier : "";
    std::string names = std::string("-") + AList.opt_canon->name;
    if (AList.opt_canon->flags & OPT_HAS_ALT)
      for (const char* const* alt = AList.opt_canon->u1.names_alt; *alt; alt++)
        names += std::string("/-") + *alt;
    if (names.size() > 127) names.resize(127);
    std::string value;
    switch (AList.type_) {
      case OPT_TYPE_STRING: value = S(so.u.str); break;
      case OPT_TYPE_INT: value = Platform::Format("%d", so.u.i); break;
      case OPT_TYPE_INT64: value = Platform::Format("%" PRId64, so.u.i64); break;
      case OPT_TYPE_FLOAT: value = Platform::Format("%f", static_cast<double>(so.u.f)); break;
      case OPT_TYPE_DOUBLE: value = Platform::Format("%f", so.u.dbl); break;
      default: throw FFmpegException("never occur.");
    }
    av_log(ALogCtx, AV_LOG_WARNING,
           "Multiple %s options specified for stream %d, only the last option '-%s%s%s %s' will be "
           "used.\n",
           names.c_str(), AStream->index, AList.opt_canon->name, spec[0] ? ":" : "", spec,
           value.c_str());
  }
  return match_idx + 1;
}

}  // namespace

namespace {

// The value of the last matching entry, read from the union member AField.
template <class TField, class TValue>
int MatchPerStreamAs(void* ALogCtx, TOptionType AType, TField TSpecifierOptValue::*AField,
                     const TSpecifierOptList& AList, const AVFormatContext* AFormatContext,
                     const AVStream* AStream, TValue& AValue) {
  const int ret = MatchPerStream(ALogCtx, AType, AList, AFormatContext, AStream);
  if (ret > 0) AValue = AList.opt[ret - 1].u.*AField;
  return ret;
}

}  // namespace

int opt_match_per_stream_str(void* ALogCtx, const TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             const char*& AValue) {
  return MatchPerStreamAs(ALogCtx, OPT_TYPE_STRING, &TSpecifierOptValue::str, AList,
                          AFormatContext, AStream, AValue);
}

int opt_match_per_stream_int(void* ALogCtx, const TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             int& AValue) {
  return MatchPerStreamAs(ALogCtx, OPT_TYPE_INT, &TSpecifierOptValue::i, AList, AFormatContext,
                          AStream, AValue);
}

int opt_match_per_stream_int64(void* ALogCtx, const TSpecifierOptList& AList,
                               const AVFormatContext* AFormatContext, const AVStream* AStream,
                               std::int64_t& AValue) {
  return MatchPerStreamAs(ALogCtx, OPT_TYPE_INT64, &TSpecifierOptValue::i64, AList,
                          AFormatContext, AStream, AValue);
}

int opt_match_per_stream_dbl(void* ALogCtx, const TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             double& AValue) {
  return MatchPerStreamAs(ALogCtx, OPT_TYPE_DOUBLE, &TSpecifierOptValue::dbl, AList,
                          AFormatContext, AStream, AValue);
}

const char* opt_match_per_type_str(const TSpecifierOptList& AList, char AMediaType) {
  Platform::Check(AList.nb_opt == 0 || AList.type_ == OPT_TYPE_STRING, CUnit, CLineTypeStrList);
  for (int i = 0; i < AList.nb_opt; i++) {
    const char* spec = AList.opt[i].specifier;
    if (spec && spec[0] == AMediaType && !spec[1]) return AList.opt[i].u.str;
  }
  return nullptr;
}

// ---- Helpers of the opening units ----------------------------------------------------------

int find_codec(TBaseFFmpeg* ATask, void* ALogCtx, const char* AName, AVMediaType AType,
               bool AEncoder, const AVCodec*& ACodec) {
  const char* kind = AEncoder ? "encoder" : "decoder";
  const AVCodec* codec =
      AEncoder ? avcodec_find_encoder_by_name(AName) : avcodec_find_decoder_by_name(AName);
  if (!codec) {
    // a codec's own name ("h264") finds its first encoder or decoder
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(AName)) {
      codec = AEncoder ? avcodec_find_encoder(desc->id) : avcodec_find_decoder(desc->id);
      if (codec)
        av_log(ALogCtx, AV_LOG_VERBOSE, "Matched %s '%s' for codec '%s'.\n", kind, codec->name,
               AName);
    }
  }
  if (!codec) {
    av_log(ALogCtx, AV_LOG_FATAL, "Unknown %s '%s'\n", kind, AName);
    return AEncoder ? AVERROR_ENCODER_NOT_FOUND : AVERROR_DECODER_NOT_FOUND;
  }
  if (codec->type != AType && !(ATask && ATask->Frecast_media)) {
    av_log(ALogCtx, AV_LOG_FATAL, "Invalid %s type '%s'\n", kind, AName);
    return AVERROR(EINVAL);
  }
  ACodec = codec;
  return 0;
}

namespace {

// The path that a URL of the "file" protocol opens: the name without a "file:" prefix.
const char* LocalPath(const char* AUrl) {
  return std::strncmp(AUrl, "file:", 5) == 0 ? AUrl + 5 : AUrl;
}

// True when the two names reach one existing regular file (one device, one inode), however
// each is written: "dir/./in.mp4", "sub/../dir/in.mp4", a link or a "file:" prefix.
bool SameLocalFile(const char* AName1, const char* AName2) {
  struct stat st1, st2;
  if (::stat(LocalPath(AName1), &st1) != 0 || !S_ISREG(st1.st_mode)) return false;
  if (::stat(LocalPath(AName2), &st2) != 0 || !S_ISREG(st2.st_mode)) return false;
  return st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

bool IsFileProtocol(const char* AUrl) {
  const char* proto_name = avio_find_protocol_name(AUrl);
  return proto_name && std::strcmp(proto_name, "file") == 0;
}

}  // namespace

int assert_file_overwrite(TBaseFFmpeg* ATask, const char* AFilename) {
  if (ATask->Ffile_overwrite && ATask->Fno_file_overwrite) {
    av_log(nullptr, AV_LOG_ERROR, "Error, both -y and -n supplied. Exiting.\n");
    return AVERROR(EINVAL);
  }
  if (!IsFileProtocol(AFilename)) return 0;
  // Nobody can be asked here: without -n an existing file is overwritten.
  if (!ATask->Ffile_overwrite && ATask->Fno_file_overwrite && avio_check(AFilename, 0) == 0) {
    // what -n asks for: the task ends here, as after -h, without a failure
    av_log(nullptr, AV_LOG_FATAL, "File '%s' already exists. Exiting.\n", AFilename);
    return AVERROR_EXIT;
  }
  for (int i = 0; i < ATask->Fnb_input_files; i++) {
    const TInputFile* file = PPtrIdx(ATask->Finput_files, i);
    if (!file->ctx || !file->ctx->iformat || (file->ctx->iformat->flags & AVFMT_NOFILE)) continue;
    // Names alone miss the same file reached by another path: local files are compared
    // by identity, other inputs by name.
    if (file->ctx->url &&
        (std::strcmp(AFilename, file->ctx->url) == 0 ||
         (IsFileProtocol(file->ctx->url) && SameLocalFile(AFilename, file->ctx->url)))) {
      av_log(nullptr, AV_LOG_FATAL, "Output %s same as Input #%d - exiting\n", AFilename, i);
      av_log(nullptr, AV_LOG_WARNING, "Cannot edit existing files in-place.\n");
      return AVERROR(EINVAL);
    }
  }
  return 0;
}

int parse_and_set_vsync(TBaseFFmpeg* ATask, const char* AArg, int& AVsync, int AFileIdx, int AStIdx,
                        bool AIsGlobal) {
  bool named = true;
  if (av_strcasecmp(AArg, "cfr") == 0)
    AVsync = VSYNC_CFR;
  else if (av_strcasecmp(AArg, "vfr") == 0)
    AVsync = VSYNC_VFR;
  else if (av_strcasecmp(AArg, "passthrough") == 0)
    AVsync = VSYNC_PASSTHROUGH;
  else if (av_strcasecmp(AArg, "drop") == 0) {
    av_log(nullptr, AV_LOG_WARNING, "-vsync/fps_mode drop is deprecated\n");
    AVsync = VSYNC_DROP;
  } else if (!AIsGlobal && av_strcasecmp(AArg, "auto") == 0)
    AVsync = VSYNC_AUTO;
  else if (!AIsGlobal) {
    TaskLog(ATask, FFLoad::llFatal,
            Platform::Format("Invalid value %s specified for fps_mode of #%d:%d.", AArg, AFileIdx,
                             AStIdx));
    return AVERROR(EINVAL);
  } else
    named = false;
  // The old numeric form of -vsync. It is read whenever no name matched, not only while
  // the method is still "auto": else a second -vsync with a number, or with text that is
  // neither, would be dropped without a word.
  if (!named) {
    double num = 0;
    const int ret = parse_number(nullptr, "vsync", AArg, OPT_TYPE_INT, VSYNC_AUTO, 3, num);
    if (ret < 0) return ret;
    AVsync = static_cast<int>(num);
    TaskLog(ATask, FFLoad::llWarning,
            "Passing a number to -vsync is deprecated, use a string argument as described in the "
            "manual.");
  }
  return 0;
}

int parse_view_specifier(void* ALogCtx, TViewSpecifier& AVs, const char*& ASpec) {
  const char* spec = ASpec;
  char* endptr = nullptr;
  auto starts = [&spec](const char* APrefix) {
    const std::size_t n = std::strlen(APrefix);
    if (std::strncmp(spec, APrefix, n) != 0) return false;
    spec += n;
    return true;
  };
  // The view number at spec into AVs.val; logs "Invalid view <AWhat>" when there is none.
  auto number = [&](const char* AWhat) {
    const unsigned long v = std::strtoul(spec, &endptr, 0);
    if (endptr == spec) {
      av_log(ALogCtx, AV_LOG_ERROR, "Invalid view %s: %s\n", AWhat, spec);
      return false;
    }
    AVs.val = static_cast<std::uint32_t>(v);
    spec = endptr;
    return true;
  };
  if (starts("view:")) {
    if (std::strncmp(spec, "all", 3) == 0) {
      spec += 3;
      AVs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_ALL;
      AVs.val = 0;
    } else {
      AVs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_ID;
      if (!number("ID")) return AVERROR(EINVAL);
    }
  } else if (starts("vidx:")) {
    AVs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_IDX;
    if (!number("index")) return AVERROR(EINVAL);
  } else if (starts("vpos:")) {
    AVs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_POS;
    if (std::strncmp(spec, "left", 4) == 0 && !cmdutils_isalnum(spec[4])) {
      AVs.val = 1;  // the stereo3d left view
      spec += 4;
    } else if (std::strncmp(spec, "right", 5) == 0 && !cmdutils_isalnum(spec[5])) {
      AVs.val = 2;
      spec += 5;
    } else {
      av_log(ALogCtx, AV_LOG_ERROR, "Invalid view position: %s\n", spec);
      return AVERROR(EINVAL);
    }
  } else {
    AVs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_NONE;
    AVs.val = 0;
  }
  ASpec = spec;
  return 0;
}

// ---- Handlers ------------------------------------------------------------------------------

namespace {

TOptionsContext* FileCtx(void* o) { return static_cast<TOptionsContext*>(o); }
TGlobalOptionsContext* GlobalCtx(void* o) { return static_cast<TGlobalOptionsContext*>(o); }

// Re-enters the option parser with another option name, so that the value lands in that
// row's list.
int StoreAs(void* o, const char* AOpt, const char* AArg) {
  const int ret = parse_option(o, AOpt, AArg, TaskOf(o)->FOptionDef);
  return ret < 0 ? ret : 0;
}

// An AVOption of the libraries, kept in the group's own codec and format dictionaries.
int opt_default_new(TOptionsContext* o, const char* AOpt, const char* AArg) {
  TDefaultOptions tmp{};
  tmp.av_class = get_options_context_class();
  tmp.Owner = o->Owner;
  const int ret = opt_default(&tmp, AOpt, AArg);
  int ret2 = 0;
  if (o->g) {
    ret2 = av_dict_copy(&o->g->codec_opts, tmp.def_opts.codec_opts, 0);
    if (ret2 >= 0) ret2 = av_dict_copy(&o->g->format_opts, tmp.def_opts.format_opts, 0);
  }
  uninit_opts(&tmp);
  return ret < 0 ? ret : ret2;
}

// Sets a codec option in the group's codec dictionary.
int SetGroupCodecOpt(TOptionsContext* o, const char* AKey, const char* AValue) {
  if (!o->g) return AVERROR(EINVAL);
  return av_dict_set(&o->g->codec_opts, AKey, AValue, 0);
}

int opt_map(void* optctx, const char* opt, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  TBaseFFmpeg* task = TaskOf(optctx);
  const char* const whole = arg;
  TStreamSpecifier ss{};
  TStreamMap* m = nullptr;
  bool negative = false, disabled = false, allow_unused = false;
  int ret = 0;
  (void)opt;

  if (*arg == '-') {
    negative = true;
    arg++;
  }
  if (arg[0] == '[') {
    // an output of a complex filter graph
    const char* c = arg + 1;
    ret = grow_array(o->stream_maps, o->nb_stream_maps, o->nb_stream_maps + 1);
    if (ret < 0) goto fail;
    m = &o->stream_maps[o->nb_stream_maps - 1];
    m->linklabel = av_get_token(&c, "]");
    if (!m->linklabel || !m->linklabel[0]) {
      av_log(nullptr, AV_LOG_ERROR, "Invalid output link label: %s.\n", whole);
      av_freep(&m->linklabel);
      o->nb_stream_maps--;  // no half-made entry stays behind
      ret = AVERROR(EINVAL);
      goto fail;
    }
  } else {
    TViewSpecifier vs{};
    char* endptr = nullptr;
    const long file_idx = std::strtol(arg, &endptr, 0);
    if (file_idx >= task->Fnb_input_files || file_idx < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Invalid input file index: %d.\n", static_cast<int>(file_idx));
      ret = AVERROR(EINVAL);
      goto fail;
    }
    arg = endptr;
    ret = stream_specifier_parse(&ss, *arg == ':' ? arg + 1 : arg, 1, nullptr);
    if (ret < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Invalid stream specifier: %s\n", arg);
      goto fail;
    }
    const char* rest = ss.remainder ? ss.remainder : "";
    ret = parse_view_specifier(nullptr, vs, rest);
    if (ret < 0) goto fail;
    if (*rest) {
      if (std::strcmp(rest, "?") == 0)
        allow_unused = true;
      else {
        av_log(nullptr, AV_LOG_ERROR, "Trailing garbage after stream specifier: %s\n", rest);
        ret = AVERROR(EINVAL);
        goto fail;
      }
    }
    TInputFile* f = PPtrIdx(task->Finput_files, static_cast<int>(file_idx));
    if (negative) {
      // A negative map is allowed to disable nothing once there are maps to look at.
      for (int i = 0; i < o->nb_stream_maps; i++) {
        m = &o->stream_maps[i];
        if (m->linklabel || m->file_index != file_idx) continue;  // label maps have no stream
        if (stream_specifier_match(&ss, f->ctx, f->ctx->streams[m->stream_index], nullptr))
          m->disabled = 1;
      }
    } else {
      for (int i = 0; i < f->nb_streams; i++) {
        if (!stream_specifier_match(&ss, f->ctx, f->ctx->streams[i], nullptr)) continue;
        if (PPtrIdx(f->streams, i)->user_set_discard == AVDISCARD_ALL) {
          disabled = true;
          continue;
        }
        ret = grow_array(o->stream_maps, o->nb_stream_maps, o->nb_stream_maps + 1);
        if (ret < 0) goto fail;
        m = &o->stream_maps[o->nb_stream_maps - 1];
        m->file_index = static_cast<int>(file_idx);
        m->stream_index = i;
        m->vs = vs;
      }
    }
  }

  if (!m) {
    if (allow_unused) {
      TaskLog(task, FFLoad::llVerbose,
              Platform::Format("Stream map '%s' matches no streams; ignoring.", whole));
    } else if (disabled) {
      av_log(nullptr, AV_LOG_FATAL,
             "Stream map '%s' matches disabled streams.\nTo ignore this, add a trailing '?' to the "
             "map.\n",
             whole);
      ret = AVERROR(EINVAL);
      goto fail;
    } else {
      av_log(
          nullptr, AV_LOG_FATAL,
          "Stream map '%s' matches no streams.\nTo ignore this, add a trailing '?' to the map.\n",
          whole);
      ret = AVERROR(EINVAL);
      goto fail;
    }
  }
  ret = 0;
fail:
  stream_specifier_uninit(&ss);
  return ret;
}

int opt_recording_timestamp(void* optctx, const char* opt, const char* arg) {
  std::int64_t us = 0;
  const int ret = av_parse_time(&us, arg, 0);
  if (ret < 0) return ret;
  const std::int64_t seconds = static_cast<std::int64_t>(std::llround(us / 1e6));
  const std::string text =
      "creation_time=" +
      Platform::FormatDateTime("yyyy-mm-dd hh:nn:ss", MyUtils::UnixToDateTimeEx(seconds)) + " " +
      MyUtils::GetTimeZoneAbbreviation();
  const int r = StoreAs(optctx, "metadata", text.c_str());
  if (r < 0) return r;
  TaskLog(TaskOf(optctx), FFLoad::llWarning,
          Platform::Format("%s is deprecated, set the 'creation_time' metadata tag instead.", opt));
  return 0;
}

int opt_data_frames(void* o, const char*, const char* arg) { return StoreAs(o, "frames:d", arg); }
int opt_video_frames(void* o, const char*, const char* arg) { return StoreAs(o, "frames:v", arg); }
int opt_audio_frames(void* o, const char*, const char* arg) { return StoreAs(o, "frames:a", arg); }

int opt_progress(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  if (std::strcmp(arg, "-") == 0) arg = "pipe:";
  task->FLastWrite = av_gettime_relative();
  AVIOContext* avio = nullptr;
  const int ret = avio_open2(&avio, arg, AVIO_FLAG_WRITE, &task->FWriteCallback, nullptr);
  if (ret < 0) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to open progress URL \"%s\": %s\n", arg,
           print_error(ret).c_str());
    return ret;
  }
  // a second -progress replaces the first: the earlier target is closed, not leaked
  if (task->Fprogress_avio) AVFormatStubs::avio_closep(&task->Fprogress_avio);
  task->Fprogress_avio = avio;
  return 0;
}

int opt_target(void* optctx, const char* opt, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  TBaseFFmpeg* task = TaskOf(optctx);
  enum { PAL, NTSC, FILM, UNKNOWN } norm = UNKNOWN;
  static const char* const CFrameRates[] = {"25", "30000/1001", "24000/1001"};
  (void)opt;

  if (std::strncmp(arg, "pal-", 4) == 0) {
    norm = PAL;
    arg += 4;
  } else if (std::strncmp(arg, "ntsc-", 5) == 0) {
    norm = NTSC;
    arg += 5;
  } else if (std::strncmp(arg, "film-", 5) == 0) {
    norm = FILM;
    arg += 5;
  } else {
    // guess the norm from the frame rate of the first video input that has a known one
    for (int j = 0; j < task->Fnb_input_files && norm == UNKNOWN; j++) {
      const TInputFile* f = PPtrIdx(task->Finput_files, j);
      for (int i = 0; i < f->nb_streams; i++) {
        const AVStream* st = f->ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || st->time_base.num <= 0) continue;
        const long long fr =
            std::llround(1000.0 * st->time_base.den / static_cast<double>(st->time_base.num));
        if (fr == 25000)
          norm = PAL;
        else if (fr == 29970 || fr == 23976)
          norm = NTSC;
        else
          continue;
        break;
      }
    }
    if (norm != UNKNOWN)
      TaskLog(task, FFLoad::llInfo,
              Platform::Format("Assuming %s for target.", norm == PAL ? "PAL" : "NTSC"));
  }

  if (norm == UNKNOWN) {
    av_log(nullptr, AV_LOG_FATAL, "Could not determine norm (PAL/NTSC/NTSC-Film) for target.\n");
    av_log(nullptr, AV_LOG_FATAL, "Please prefix target with 'pal-', 'ntsc-' or 'film-',\n");
    av_log(nullptr, AV_LOG_FATAL, "or set a framerate with '-r xxx'.\n");
    // Converting with none of the requested settings would be a silent wrong result.
    return AVERROR(EINVAL);
  }

  const bool pal = norm == PAL;
  const char* rate = CFrameRates[norm];
  // File options through the parser, codec and format options into the context's own
  // dictionaries, which are merged into the group's below without overriding the user.
  int ret = 0;
  auto file_opt = [&](const char* AName, const char* AValue) {
    if (ret >= 0) ret = StoreAs(optctx, AName, AValue);
  };
  auto av_opt = [&](const char* AName, const char* AValue) {
    if (ret >= 0) ret = opt_default(optctx, AName, AValue);
  };

  if (std::strcmp(arg, "vcd") == 0) {
    file_opt("c:v", "mpeg1video");
    file_opt("c:a", "mp2");
    file_opt("f", "vcd");
    file_opt("s", pal ? "352x288" : "352x240");
    file_opt("r", rate);
    av_opt("g", pal ? "15" : "18");
    av_opt("b:v", "1150000");
    av_opt("maxrate:v", "1150000");
    av_opt("minrate:v", "1150000");
    av_opt("bufsize:v", "327680");  // 40 * 1024 * 8
    av_opt("b:a", "224000");
    file_opt("ar", "44100");
    file_opt("ac", "2");
    av_opt("packetsize", "2324");
    av_opt("muxrate", "1411200");  // 2352 * 75 * 8
    // The VCD standard says the first packets start 0.44 s after the system clock (SCR
    // vs. PTS); with a higher preload some decoders cannot play the start.
    o->mux_preload = (36000 + 3 * 1200) / 90000.0f;  // 0.44
  } else if (std::strcmp(arg, "svcd") == 0) {
    file_opt("c:v", "mpeg2video");
    file_opt("c:a", "mp2");
    file_opt("f", "svcd");
    file_opt("s", pal ? "480x576" : "480x480");
    file_opt("r", rate);
    file_opt("pix_fmt", "yuv420p");
    av_opt("g", pal ? "15" : "18");
    av_opt("b:v", "2040000");
    av_opt("maxrate:v", "2516000");
    av_opt("minrate:v", "0");
    av_opt("bufsize:v", "1835008");  // 224 * 1024 * 8
    av_opt("scan_offset", "1");
    av_opt("b:a", "224000");
    file_opt("ar", "44100");
    av_opt("packetsize", "2324");
  } else if (std::strcmp(arg, "dvd") == 0) {
    file_opt("c:v", "mpeg2video");
    file_opt("c:a", "ac3");
    file_opt("f", "dvd");
    file_opt("s", pal ? "720x576" : "720x480");
    file_opt("r", rate);
    file_opt("pix_fmt", "yuv420p");
    av_opt("g", pal ? "15" : "18");
    av_opt("b:v", "6000000");
    av_opt("maxrate:v", "9000000");
    av_opt("minrate:v", "0");
    av_opt("bufsize:v", "1835008");
    av_opt("packetsize", "2048");   // the DVD sector size
    av_opt("muxrate", "10080000");  // 1260000 bytes per second
    av_opt("b:a", "448000");
    file_opt("ar", "48000");
  } else if (std::strcmp(arg, "dv") == 0 || std::strcmp(arg, "dv50") == 0) {
    file_opt("f", "dv");
    file_opt("s", pal ? "720x576" : "720x480");
    file_opt("pix_fmt", std::strcmp(arg, "dv50") == 0 ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    file_opt("r", rate);
    file_opt("ar", "48000");
    file_opt("ac", "2");
  } else {
    av_log(nullptr, AV_LOG_ERROR, "Unknown target: %s\n", arg);
    return AVERROR(EINVAL);
  }
  if (ret < 0) return ret;

  if (o->g) {
    ret = av_dict_copy(&o->g->codec_opts, o->def_opts.codec_opts, AV_DICT_DONT_OVERWRITE);
    if (ret >= 0)
      ret = av_dict_copy(&o->g->format_opts, o->def_opts.format_opts, AV_DICT_DONT_OVERWRITE);
  }
  return ret < 0 ? ret : 0;
}

// The one option of -abort_on, evaluated by the AVOption flag parser.
const AVOption CAbortOnOptions[] = {
    {"abort_on", nullptr, 0, AV_OPT_TYPE_FLAGS, {.i64 = 0}, 0, INT_MAX, 0, "flags"},
    {"empty_output",
     nullptr,
     0,
     AV_OPT_TYPE_CONST,
     {.i64 = ABORT_ON_FLAG_EMPTY_OUTPUT},
     0,
     0,
     0,
     "flags"},
    {"empty_output_stream",
     nullptr,
     0,
     AV_OPT_TYPE_CONST,
     {.i64 = ABORT_ON_FLAG_EMPTY_OUTPUT_STREAM},
     0,
     0,
     0,
     "flags"},
    {},
};

const char* AbortOnItemName(void*) { return "abort_on"; }

const AVClass CAbortOnClass = [] {
  AVClass c{};
  c.class_name = "";
  c.item_name = AbortOnItemName;
  c.option = CAbortOnOptions;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

int opt_abort_on(void* optctx, const char*, const char* arg) {
  const AVClass* pclass = &CAbortOnClass;
  const AVOption* o = av_opt_find(&pclass, "abort_on", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  if (!o) return AVERROR(EINVAL);
  int flags = 0;
  const int ret = av_opt_eval_flags(&pclass, o, arg, &flags);
  if (ret < 0) return ret;
  TaskOf(optctx)->Fabort_on_flags = flags;
  return 0;
}

int opt_qscale(void* optctx, const char* opt, const char* arg) {
  if (std::strcmp(opt, "qscale") == 0) {
    TaskLog(TaskOf(optctx), FFLoad::llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
    return StoreAs(optctx, "q:v", arg);
  }
  const std::string name = std::string("q") + (opt + 6);  // "qscale:a" -> "q:a"
  return StoreAs(optctx, name.c_str(), arg);
}

int opt_profile(void* optctx, const char* opt, const char* arg) {
  if (std::strcmp(opt, "profile") == 0) {
    TaskLog(TaskOf(optctx), FFLoad::llWarning,
            "Please use -profile:a or -profile:v, -profile is ambiguous");
    return SetGroupCodecOpt(FileCtx(optctx), "profile:v", arg);
  }
  return SetGroupCodecOpt(FileCtx(optctx), opt, arg);
}

int opt_filter_threads(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  char* s = av_strdup(arg);
  if (!s) return AVERROR(ENOMEM);
  av_free(task->Ffilter_nbthreads);
  task->Ffilter_nbthreads = s;
  return 0;
}

int AddGraphDesc(TGlobalOptionsContext* go, char* ADesc) {
  const int ret = grow_array(go->filtergraphs, go->nb_filtergraphs, go->nb_filtergraphs + 1);
  if (ret < 0) {
    av_free(ADesc);
    return ret;
  }
  go->filtergraphs[go->nb_filtergraphs - 1] = ADesc;
  return 0;
}

int opt_filter_complex(void* optctx, const char*, const char* arg) {
  char* desc = av_strdup(arg);
  if (!desc) return AVERROR(ENOMEM);
  return AddGraphDesc(GlobalCtx(optctx), desc);
}

int opt_filter_complex_script(void* optctx, const char* opt, const char* arg) {
  char* desc = file_read(arg);
  if (!desc) return AVERROR(EINVAL);
  av_log(nullptr, AV_LOG_WARNING, "-%s is deprecated, use -/filter_complex %s instead\n", opt, arg);
  return AddGraphDesc(GlobalCtx(optctx), desc);
}

int opt_stats_period(void* optctx, const char*, const char* arg) {
  std::int64_t period = 0;
  const int ret = av_parse_time(&period, arg, 1);
  if (ret < 0) return ret;
  if (period <= 0) {
    av_log(nullptr, AV_LOG_ERROR, "stats_period %s must be positive.\n", arg);
    return AVERROR(EINVAL);
  }
  TaskOf(optctx)->Fstats_period = period;
  av_log(nullptr, AV_LOG_INFO, "ffmpeg stats and -progress period set to %s.\n", arg);
  return 0;
}

int opt_attach(void* optctx, const char*, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  char* name = av_strdup(arg);
  if (!name) return AVERROR(ENOMEM);
  const int ret = grow_array(o->attachments, o->nb_attachments, o->nb_attachments + 1);
  if (ret < 0) {
    av_free(name);
    return ret;
  }
  o->attachments[o->nb_attachments - 1] = name;
  return 0;
}

int opt_video_codec(void* o, const char*, const char* arg) { return StoreAs(o, "codec:v", arg); }
int opt_audio_codec(void* o, const char*, const char* arg) { return StoreAs(o, "codec:a", arg); }
int opt_subtitle_codec(void* o, const char*, const char* arg) { return StoreAs(o, "codec:s", arg); }
int opt_data_codec(void* o, const char*, const char* arg) { return StoreAs(o, "codec:d", arg); }

int opt_timecode(void* optctx, const char*, const char* arg) {
  const std::string tcr = std::string("timecode=") + arg;
  const int ret = StoreAs(optctx, "metadata:g", tcr.c_str());
  if (ret < 0) return ret;
  return SetGroupCodecOpt(FileCtx(optctx), "gop_timecode", arg);
}

int opt_vstats_file(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  char* s = av_strdup(arg);
  if (!s) return AVERROR(ENOMEM);
  av_free(task->Fvstats_filename);
  task->Fvstats_filename = s;
  return 0;
}

int opt_vstats(void* optctx, const char* opt, const char*) {
  const std::string name = "vstats_" + Platform::FormatDateTime("hhnnss", Platform::Now()) + ".log";
  return opt_vstats_file(optctx, opt, name.c_str());
}

int opt_video_filters(void* o, const char*, const char* arg) { return StoreAs(o, "filter:v", arg); }
int opt_audio_filters(void* o, const char*, const char* arg) { return StoreAs(o, "filter:a", arg); }

int opt_old2new(void* optctx, const char* opt, const char* arg) {
  // "vtag" -> "tag:v"
  const std::string name = std::string(opt + 1) + ":" + opt[0];
  return StoreAs(optctx, name.c_str(), arg);
}

int opt_streamid(void* optctx, const char* opt, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  const char* colon = std::strchr(arg, ':');
  if (!colon) {
    av_log(nullptr, AV_LOG_ERROR,
           "Invalid value '%s' for option '%s', required syntax is 'index:value'\n", arg, opt);
    return AVERROR(EINVAL);
  }
  const std::string idx(arg, static_cast<std::size_t>(colon - arg));
  return av_dict_set(&o->streamid, idx.c_str(), colon + 1, 0);
}

int opt_bitrate(void* optctx, const char* opt, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  if (std::strcmp(opt, "ab") == 0) return SetGroupCodecOpt(o, "b:a", arg);
  if (std::strcmp(opt, "b") == 0) {
    TaskLog(TaskOf(optctx), FFLoad::llWarning, "Please use -b:a or -b:v, -b is ambiguous");
    return SetGroupCodecOpt(o, "b:v", arg);
  }
  return SetGroupCodecOpt(o, opt, arg);
}

std::string HWDeviceTypeList() {
  std::string s;
  for (AVHWDeviceType t = av_hwdevice_iterate_types(AV_HWDEVICE_TYPE_NONE);
       t != AV_HWDEVICE_TYPE_NONE; t = av_hwdevice_iterate_types(t)) {
    s += av_hwdevice_get_type_name(t);
    s += "\n";
  }
  return s;
}

int show_hwaccels(void*, const char*, const char*) {
  av_log(nullptr, AV_LOG_INFO, "%s",
         ("Hardware acceleration methods:\n" + HWDeviceTypeList()).c_str());
  return 0;
}

int opt_audio_qscale(void* o, const char*, const char* arg) { return StoreAs(o, "q:a", arg); }

int opt_sdp_file(void* optctx, const char*, const char* arg) {
  TGlobalOptionsContext* go = GlobalCtx(optctx);
  if (!go->sch) return AVERROR(EINVAL);
  return FFmpegSched::sch_sdp_filename(go->sch, arg);
}

int opt_preset(void* optctx, const char* opt, const char* arg) {
  TOptionsContext* o = FileCtx(optctx);
  char filename[1000] = "";
  char line[1000];
  // the codec chosen for the preset's media type ("a", "v", "s"; "f" names a file)
  const char* codec_name = opt_match_per_type_str(o->codec_names, opt[0]);
  FILE* f = get_preset_file(filename, sizeof filename, arg, opt[0] == 'f', codec_name);
  if (!f) {
    if (std::strncmp(arg, "libx264-lossless", 16) == 0)
      av_log(nullptr, AV_LOG_FATAL, "Please use -preset <speed> -qp 0\n");
    else
      av_log(nullptr, AV_LOG_FATAL, "File for preset '%s' not found\n", arg);
    return AVERROR(ENOENT);
  }
  int ret = 0;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strcspn(line, "#\n\r") == 0) continue;  // comment or empty line
    std::string text(line);
    const std::size_t eq = text.find('=');
    const std::size_t end = text.find_first_of("\r\n");
    const std::string key = text.substr(0, eq);
    const std::string value =
        eq == std::string::npos
            ? ""
            : text.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
    const std::string shown = text.substr(0, end);
    if (eq == std::string::npos || key.empty() || value.empty()) {
      av_log(nullptr, AV_LOG_FATAL, "%s: Invalid syntax: '%s'\n", filename, shown.c_str());
      ret = AVERROR(EINVAL);
      break;
    }
    av_log(nullptr, AV_LOG_DEBUG, "ffpreset[%s]: set '%s' = '%s'\n", filename, key.c_str(),
           value.c_str());
    int r;
    if (key == "acodec")
      r = opt_audio_codec(optctx, key.c_str(), value.c_str());
    else if (key == "vcodec")
      r = opt_video_codec(optctx, key.c_str(), value.c_str());
    else if (key == "scodec")
      r = opt_subtitle_codec(optctx, key.c_str(), value.c_str());
    else if (key == "dcodec")
      r = opt_data_codec(optctx, key.c_str(), value.c_str());
    else
      r = opt_default_new(o, key.c_str(), value.c_str());
    if (r < 0) {
      av_log(nullptr, AV_LOG_FATAL, "%s: Invalid option or argument: '%s', parsed as '%s' = '%s'\n",
             filename, shown.c_str(), key.c_str(), value.c_str());
      ret = AVERROR(EINVAL);
      break;
    }
  }
  std::fclose(f);
  return ret;
}

int opt_qsv_device(void* optctx, const char*, const char* arg) {
  char* name = av_asprintf("%s%s", "qsv=__qsv_device:hw_any,child_device=", arg);
  if (!name) return AVERROR(ENOMEM);
  const int ret = FFmpegHW::hw_device_init_from_string(TaskOf(optctx), name, nullptr);
  av_free(name);
  return ret;
}

int opt_init_hw_device(void* optctx, const char*, const char* arg) {
  if (std::strcmp(arg, "list") == 0) {
    av_log(nullptr, AV_LOG_INFO, "%s",
           ("Supported hardware device types:\n" + HWDeviceTypeList()).c_str());
    return AVERROR_EXIT;
  }
  return FFmpegHW::hw_device_init_from_string(TaskOf(optctx), arg, nullptr);
}

int opt_filter_hw_device(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  if (task->Ffilter_hw_device) {
    TaskLog(task, FFLoad::llError, "Only one filter device can be used.");
    return AVERROR(EINVAL);
  }
  task->Ffilter_hw_device = FFmpegHW::hw_device_get_by_name(task, arg);
  if (!task->Ffilter_hw_device) {
    TaskLog(task, FFLoad::llError, Platform::Format("Invalid filter device %s.", arg));
    return AVERROR(EINVAL);
  }
  return 0;
}

int opt_deprecated_no_effect(void*, const char* opt, const char*) {
  av_log(nullptr, AV_LOG_WARNING, "Option -%s is deprecated and has no effect\n", opt);
  return 0;
}

int opt_vsync(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  TaskLog(task, FFLoad::llWarning, "-vsync is deprecated. Use -fps_mode");
  return parse_and_set_vsync(task, arg, task->Fvideo_sync_method, -1, -1, true);
}

int opt_video_hook_bits_pixel(void* optctx, const char*, const char* arg) {
  TBaseFFmpeg* task = TaskOf(optctx);
  try {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(arg, &end, 10);
    if (end == arg || *end || errno == ERANGE || v < INT_MIN || v > INT_MAX)
      throw Platform::Exception(Platform::Format("'%s' is not a valid integer value", arg));
    task->SetVideoHookBitsPixel(static_cast<int>(v));
  } catch (const std::exception& e) {
    av_log(nullptr, AV_LOG_ERROR, "%s\n", e.what());
    return CResultContinue;
  }
  return 0;
}

}  // namespace

// ---- The option table ----------------------------------------------------------------------

namespace {

const char* const CAltCodec[] = {"c", "acodec", "vcodec", "scodec", nullptr};
const char* const CAltPre[] = {"apre", "vpre", "spre", nullptr};
const char* const CAltFrames[] = {"aframes", "vframes", "dframes", nullptr};
const char* const CAltTag[] = {"atag", "vtag", "stag", nullptr};
const char* const CAltQscale[] = {"q", nullptr};
const char* const CAltFilter[] = {"af", "vf", nullptr};
const char* const CAltChLayout[] = {"ch_layout", nullptr};

TOptionNames Alt(const char* const* ANames) {
  TOptionNames n{};
  n.names_alt = ANames;
  return n;
}
TOptionNames Canon(const char* AName) {
  TOptionNames n{};
  n.name_canon = AName;
  return n;
}

}  // namespace

void BuildOptionTable(TBaseFFmpeg* ATask) {
  TBaseFFmpeg* t = ATask;
  TOptionDef* row = OptCommon::InitCommonOptions(t->_OptionDef);
  auto add = [&row](const char* AName, TOptionType AType, int AFlags, TOptionTarget ATarget,
                    const char* AHelp, const char* AArgName, TOptionNames ANames = {}) {
    *row++ = TOptionDef{AName, AType, AFlags, ATarget, AHelp, AArgName, ANames};
  };
#define OFF(field) OptOff(offsetof(TOptionsContext, field))
  constexpr TOptionType FUNC = OPT_TYPE_FUNC, BOOL = OPT_TYPE_BOOL, STRING = OPT_TYPE_STRING,
                        INT = OPT_TYPE_INT, INT64 = OPT_TYPE_INT64, FLOAT = OPT_TYPE_FLOAT,
                        DOUBLE = OPT_TYPE_DOUBLE, TIME = OPT_TYPE_TIME;

  add("f", STRING, OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT, OFF(format),
      "force container format (auto-detected otherwise)", "fmt");
  add("y", BOOL, 0, OptDst(&t->Ffile_overwrite), "overwrite output files", nullptr);
  add("n", BOOL, 0, OptDst(&t->Fno_file_overwrite), "never overwrite output files", nullptr);
  add("ignore_unknown", BOOL, OPT_EXPERT, OptDst(&t->Fignore_unknown_streams),
      "Ignore unknown stream types", nullptr);
  add("copy_unknown", BOOL, OPT_EXPERT, OptDst(&t->Fcopy_unknown_streams),
      "Copy unknown stream types", nullptr);
  add("recast_media", BOOL, OPT_EXPERT, OptDst(&t->Frecast_media),
      "allow recasting stream type in order to force a decoder of different media type", nullptr);
  add("c", STRING,
      OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT | OPT_OUTPUT |
          OPT_HAS_CANON | OPT_DECODER,
      OFF(codec_names), "select encoder/decoder ('copy' to copy stream without reencoding)",
      "codec", Canon("codec"));
  add("codec", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT | OPT_HAS_ALT | OPT_DECODER,
      OFF(codec_names), "alias for -c (select encoder/decoder)", "codec", Alt(CAltCodec));
  add("pre", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT |
          OPT_HAS_ALT,
      OFF(presets), "preset name", "preset", Alt(CAltPre));
  add("map", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_map),
      "select input streams for the output file ('-' disables, a trailing '?' allows no match) or "
      "a "
      "labelled filter graph output",
      "[-]input_file_id[:stream_specifier][:view_specifier][?] | [linklabel]");
  add("map_metadata", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_OUTPUT, OFF(metadata_map),
      "set metadata information of outfile from infile", "outfile[,metadata]:infile[,metadata]");
  add("map_chapters", INT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT,
      OFF(chapters_input_file), "set chapters mapping", "input_file_index");
  add("t", TIME, OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT, OFF(recording_time),
      "stop transcoding after specified duration", "duration");
  add("to", TIME, OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT, OFF(stop_time),
      "stop transcoding after specified time is reached", "time_stop");
  add("fs", INT64, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT, OFF(limit_filesize),
      "set the limit file size in bytes", "limit_size");
  add("ss", TIME, OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT, OFF(start_time),
      "start transcoding at specified time", "time_off");
  add("sseof", TIME, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT, OFF(start_time_eof),
      "set the start time offset relative to EOF", "time_off");
  add("seek_timestamp", INT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(seek_timestamp), "enable/disable seeking by timestamp with -ss", nullptr);
  add("accurate_seek", BOOL, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(accurate_seek), "enable/disable accurate seeking with -ss", nullptr);
  add("isync", INT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT, OFF(input_sync_ref),
      "Indicate the input index for sync reference", "sync ref");
  add("itsoffset", TIME, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(input_ts_offset), "set the input ts offset", "time_off");
  add("itsscale", DOUBLE,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(ts_scale), "set the input ts scale", "scale");
  add("timestamp", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT,
      OptFunc(opt_recording_timestamp),
      "set the recording timestamp ('now' to set the current time)", "time");
  add("metadata", STRING, OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_OUTPUT, OFF(metadata),
      "add metadata", "key=value");
  add("program", STRING, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_OUTPUT,
      OFF(program_), "add program with specified streams", "title=string:st=number...");
  add("stream_group", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_OUTPUT, OFF(stream_groups),
      "add stream group with specified streams and group type-specific arguments",
      "id=number:st=number...");
  add("dframes", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_data_frames), "set the number of data frames to output", "number",
      Canon("frames"));
  add("progress", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_progress),
      "write program-readable progress information", "url");
  add("dump", BOOL, OPT_EXPERT, OptDst(&t->Fdo_pkt_dump), "dump each input packet", nullptr);
  add("hex", BOOL, OPT_EXPERT, OptDst(&t->Fdo_hex_dump),
      "when dumping packets, also dump the payload", nullptr);
  add("re", BOOL, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT, OFF(rate_emu),
      "read input at native frame rate; equivalent to -readrate 1", "");
  add("readrate", FLOAT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT, OFF(readrate),
      "read input at specified rate", "speed");
  add("readrate_initial_burst", DOUBLE, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(readrate_initial_burst),
      "The initial amount of input to burst read before imposing any readrate", "seconds");
  add("readrate_catchup", FLOAT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(readrate_catchup),
      "Temporary readrate used to catch up if an input lags behind the specified readrate",
      "speed");
  add("target", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_target),
      "set codecs, sizes, rates and muxer options for a target: vcd, svcd, dvd, dv or dv50, "
      "optionally "
      "prefixed with pal-, ntsc- or film-",
      "target");
  add("frame_drop_threshold", FLOAT, OPT_EXPERT, OptDst(&t->Fframe_drop_threshold),
      "frame drop threshold", "");
  add("copyts", BOOL, OPT_EXPERT, OptDst(&t->Fcopy_ts), "copy timestamps", nullptr);
  add("start_at_zero", BOOL, OPT_EXPERT, OptDst(&t->Fstart_at_zero),
      "shift input timestamps to start at 0 when using copyts", nullptr);
  add("copytb", INT, OPT_EXPERT, OptDst(&t->Fcopy_tb),
      "copy input stream time base when stream copying", "mode");
  add("shortest", BOOL, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT, OFF(shortest),
      "finish encoding within shortest input", nullptr);
  add("shortest_buf_duration", FLOAT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT,
      OFF(shortest_buf_duration),
      "maximum buffering duration (in seconds) for the -shortest option", nullptr);
  add("bitexact", BOOL, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(bitexact), "bitexact mode", nullptr);
  add("dts_delta_threshold", FLOAT, OPT_EXPERT, OptDst(&t->Fdts_delta_threshold),
      "timestamp discontinuity delta threshold", "threshold");
  add("dts_error_threshold", FLOAT, OPT_EXPERT, OptDst(&t->Fdts_error_threshold),
      "timestamp error delta threshold", "threshold");
  add("xerror", BOOL, OPT_EXPERT, OptDst(&t->Fexit_on_error), "exit on error", "error");
  add("abort_on", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_abort_on),
      "abort on the specified condition flags", "flags");
  add("copyinkf", BOOL,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(copy_initial_nonkeyframes), "copy initial non-keyframes", nullptr);
  add("copypriorss", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(copy_prior_start), "copy or discard frames before start time", nullptr);
  add("frames", INT64,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT |
          OPT_HAS_ALT,
      OFF(max_frames), "set the number of frames to output", "number", Alt(CAltFrames));
  add("tag", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT | OPT_HAS_ALT,
      OFF(codec_tags), "force codec tag/fourcc", "fourcc/tag", Alt(CAltTag));
  add("q", DOUBLE,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT |
          OPT_HAS_CANON,
      OFF(qscale), "use fixed quality scale (VBR)", "q", Canon("qscale"));
  add("qscale", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_ALT,
      OptFunc(opt_qscale), "use fixed quality scale (VBR)", "q", Alt(CAltQscale));
  add("profile", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_profile),
      "set profile", "profile");
  add("filter", STRING,
      OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT | OPT_HAS_ALT,
      OFF(filters), "apply specified filters to audio/video", "filter_graph", Alt(CAltFilter));
  add("filter_threads", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_filter_threads),
      "number of non-complex filter threads", nullptr);
  add("filter_buffered_frames", INT, OPT_EXPERT, OptDst(&t->Ffilter_buffered_frames),
      "maximum number of buffered frames in a filter graph", nullptr);
  add("filter_script", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(filter_scripts), "deprecated, use -/filter", "filename");
  add("reinit_filter", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(reinit_filters), "reinit filtergraph on input parameter changes", "");
  add("drop_changed", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(drop_changed), "drop frame instead of reiniting filtergraph on input parameter changes",
      "");
  add("filter_complex", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_filter_complex),
      "create a complex filtergraph", "graph_description");
  add("filter_complex_threads", INT, OPT_EXPERT, OptDst(&t->Ffilter_complex_nbthreads),
      "number of threads for -filter_complex", nullptr);
  add("lavfi", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_filter_complex),
      "create a complex filtergraph", "graph_description");
  add("filter_complex_script", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_filter_complex_script),
      "deprecated, use -/filter_complex instead", "filename");
  add("auto_conversion_filters", BOOL, OPT_EXPERT, OptDst(&t->Fauto_conversion_filters),
      "enable automatic conversion filters globally", nullptr);
  add("stats", BOOL, 0, OptDst(&t->Fprint_stats), "print progress report during encoding", nullptr);
  add("stats_period", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_stats_period),
      "set the period at which ffmpeg updates stats and -progress output", "time");
  add("attach", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_attach),
      "add an attachment to the output file", "filename");
  add("dump_attachment", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_INPUT, OFF(dump_attachment),
      "extract an attachment into a file", "filename");
  add("stream_loop", INT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT, OFF(loop),
      "set number of times input stream shall be looped", "loop count");
  add("debug_ts", BOOL, OPT_EXPERT, OptDst(&t->Fdebug_ts), "print timestamp debugging info",
      nullptr);
  add("max_error_rate", FLOAT, OPT_EXPERT, OptDst(&t->Fmax_error_rate),
      "ratio of decoding errors (0.0: no errors, 1.0: 100% errors) above which ffmpeg returns an "
      "error instead "
      "of success.",
      "maximum error rate");
  add("discard", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(discard), "discard", "");
  add("disposition", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(disposition), "disposition", "");
  add("thread_queue_size", INT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(thread_queue_size), "set the maximum number of queued packets from the demuxer", nullptr);
  add("find_stream_info", BOOL, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT,
      OFF(find_stream_info),
      "read and decode the streams to fill missing information with heuristics", nullptr);
  add("bits_per_raw_sample", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(bits_per_raw_sample), "set the number of bits per raw sample", "number");
  add("stats_enc_pre", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(enc_stats_pre), "write encoding stats before encoding", nullptr);
  add("stats_enc_post", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(enc_stats_post), "write encoding stats after encoding", nullptr);
  add("stats_mux_pre", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(mux_stats), "write packets stats before muxing", nullptr);
  add("stats_enc_pre_fmt", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(enc_stats_pre_fmt), "format of the stats written with -stats_enc_pre", nullptr);
  add("stats_enc_post_fmt", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(enc_stats_post_fmt), "format of the stats written with -stats_enc_post", nullptr);
  add("stats_mux_pre_fmt", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(mux_stats_fmt), "format of the stats written with -stats_mux_pre", nullptr);
  // video
  add("vframes", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_video_frames), "set the number of video frames to output", "number",
      Canon("frames"));
  add("r", STRING,
      OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT,
      OFF(frame_rates),
      "override input framerate/convert to given output framerate (Hz value, fraction or "
      "abbreviation)",
      "rate");
  add("fpsmax", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(max_frame_rates), "set max frame rate (Hz value, fraction or abbreviation)", "rate");
  add("s", STRING,
      OPT_VIDEO | OPT_SUBTITLE | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC |
          OPT_FLAG_PERSTREAM | OPT_INPUT | OPT_OUTPUT,
      OFF(frame_sizes), "set frame size (WxH or abbreviation)", "size");
  add("aspect", STRING,
      OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(frame_aspect_ratios), "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)", "aspect");
  add("pix_fmt", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT | OPT_OUTPUT,
      OFF(frame_pix_fmts), "set pixel format", "format");
  add("display_rotation", DOUBLE,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(display_rotations), "set pure counter-clockwise rotation in degrees for stream(s)",
      "angle");
  add("display_hflip", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(display_hflips),
      "set display horizontal flip for stream(s) (overrides any display rotation if it is not set)",
      nullptr);
  add("display_vflip", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(display_vflips),
      "set display vertical flip for stream(s) (overrides any display rotation if it is not set)",
      nullptr);
  add("vn", BOOL, OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(video_disable), "disable video", nullptr);
  add("rc_override", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(rc_overrides), "rate control override for specific intervals", "override");
  add("vcodec", FUNC,
      OPT_FUNC_ARG | OPT_VIDEO | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_video_codec), "alias for -c:v (select encoder/decoder for video streams)",
      "codec", Canon("codec"));
  add("timecode", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT,
      OptFunc(opt_timecode), "set initial TimeCode value.", "hh:mm:ss[:;.]ff");
  add("pass", INT,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(pass), "select the pass number (1 to 3)", "n");
  add("passlogfile", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(passlogfiles), "select two pass log file name prefix", "prefix");
  add("vstats", FUNC, OPT_EXPERT | OPT_VIDEO, OptFunc(opt_vstats),
      "dump video coding statistics to file", nullptr);
  add("vstats_file", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO, OptFunc(opt_vstats_file),
      "dump video coding statistics to file", "file");
  add("vstats_version", INT, OPT_EXPERT | OPT_VIDEO, OptDst(&t->Fvstats_version),
      "Version of the vstats format to use.", nullptr);
  add("vf", FUNC, OPT_FUNC_ARG | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_video_filters), "alias for -filter:v (apply filters to video streams)",
      "filter_graph", Canon("filter"));
  add("intra_matrix", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(intra_matrices), "specify intra matrix coeffs", "matrix");
  add("inter_matrix", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(inter_matrices), "specify inter matrix coeffs", "matrix");
  add("chroma_intra_matrix", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(chroma_intra_matrices), "specify intra matrix coeffs", "matrix");
  add("vtag", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_old2new), "force video tag/fourcc", "fourcc/tag", Canon("tag"));
  add("fps_mode", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(fps_mode), "set framerate mode for matching video streams; overrides vsync", nullptr);
  add("force_fps", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(force_fps),
      "force the selected framerate, disable the best supported framerate selection", nullptr);
  add("streamid", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT,
      OptFunc(opt_streamid), "set the value of an outfile streamid", "streamIndex:value");
  add("force_key_frames", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(forced_key_frames), "force key frames at specified timestamps", "timestamps");
  add("b", FUNC, OPT_FUNC_ARG | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_bitrate),
      "video bitrate (please use -b:v)", "bitrate");
  add("hwaccel", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(hwaccels), "use HW accelerated decoding", "hwaccel name");
  add("hwaccel_device", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(hwaccel_devices), "select a device for HW acceleration", "devicename");
  add("hwaccel_output_format", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(hwaccel_output_formats), "select output format used with HW accelerated decoding",
      "format");
  add("hwaccels", FUNC, OPT_EXIT | OPT_EXPERT, OptFunc(show_hwaccels),
      "show available HW acceleration methods", nullptr);
  add("autorotate", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(autorotate), "automatically insert correct rotate filters", nullptr);
  add("autoscale", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(autoscale), "automatically insert a scale filter at the end of the filter graph",
      nullptr);
  add("apply_cropping", STRING,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(apply_cropping), "select the cropping to apply", nullptr);
  add("fix_sub_duration_heartbeat", BOOL,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(fix_sub_duration_heartbeat),
      "set this video output stream to be a heartbeat stream for fix_sub_duration, according to "
      "which subtitles "
      "should be split at random access points",
      nullptr);
  // audio
  add("aframes", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_audio_frames), "set the number of audio frames to output", "number",
      Canon("frames"));
  add("aq", FUNC, OPT_FUNC_ARG | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_audio_qscale),
      "set audio quality (codec-specific)", "quality");
  add("ar", INT,
      OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT,
      OFF(audio_sample_rate), "set audio sampling rate (in Hz)", "rate");
  add("ac", INT,
      OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT,
      OFF(audio_channels), "set number of audio channels", "channels");
  add("an", BOOL, OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(audio_disable), "disable audio", nullptr);
  add("acodec", FUNC,
      OPT_FUNC_ARG | OPT_AUDIO | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_audio_codec), "alias for -c:a (select encoder/decoder for audio streams)",
      "codec", Canon("codec"));
  add("ab", FUNC, OPT_FUNC_ARG | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT, OptFunc(opt_bitrate),
      "alias for -b:a (select bitrate for audio streams)", "bitrate");
  add("apad", STRING,
      OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_OUTPUT,
      OFF(apad), "audio pad", "");
  add("atag", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_old2new), "force audio tag/fourcc", "fourcc/tag", Canon("tag"));
  add("sample_fmt", STRING,
      OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT | OPT_OUTPUT,
      OFF(sample_fmts), "set sample format", "format");
  add("channel_layout", STRING,
      OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT | OPT_OUTPUT | OPT_HAS_ALT,
      OFF(audio_ch_layouts), "set channel layout", "layout", Alt(CAltChLayout));
  add("ch_layout", STRING,
      OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OFF(audio_ch_layouts), "set channel layout", "layout", Canon("channel_layout"));
  add("af", FUNC, OPT_FUNC_ARG | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_audio_filters), "alias for -filter:a (apply filters to audio streams)",
      "filter_graph", Canon("filter"));
  add("guess_layout_max", INT,
      OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT,
      OFF(guess_layout_max),
      "set the maximum number of channels to try to guess the channel layout", nullptr);
  // subtitles
  add("sn", BOOL, OPT_SUBTITLE | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(subtitle_disable), "disable subtitle", nullptr);
  add("scodec", FUNC,
      OPT_FUNC_ARG | OPT_SUBTITLE | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_subtitle_codec), "alias for -c:s (select encoder/decoder for subtitle streams)",
      "codec", Canon("codec"));
  add("stag", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_SUBTITLE | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_old2new), "force subtitle tag/fourcc", "fourcc/tag", Canon("tag"));
  add("fix_sub_duration", BOOL,
      OPT_EXPERT | OPT_SUBTITLE | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC |
          OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(fix_sub_duration), "fix subtitles duration", nullptr);
  add("canvas_size", STRING,
      OPT_EXPERT | OPT_SUBTITLE | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC |
          OPT_FLAG_PERSTREAM | OPT_INPUT,
      OFF(canvas_sizes), "set canvas size (WxH or abbreviation)", "size");
  // muxer
  add("muxdelay", FLOAT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT,
      OFF(mux_max_delay), "set the maximum demux-decode delay", "seconds");
  add("muxpreload", FLOAT, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_OUTPUT,
      OFF(mux_preload), "set the initial demux-decode delay", "seconds");
  add("sdp_file", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_OUTPUT, OptFunc(opt_sdp_file),
      "specify a file in which to print sdp information", "file");
  add("time_base", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(time_bases),
      "set the desired time base hint for output stream (1:24, 1:48000 or 0.04166, 2.0833e-5)",
      "ratio");
  add("enc_time_base", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(enc_time_bases),
      "set the desired time base for the encoder (1:24, 1:48000 or 0.04166, 2.0833e-5). two "
      "special values are "
      "defined - 0 = use frame rate (video) or sample rate (audio),-1 = match source time base",
      "ratio");
  add("bsf", STRING,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_INPUT |
          OPT_OUTPUT,
      OFF(bitstream_filters), "A comma-separated list of bitstream filters", "bitstream_filters");
  add("apre", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_AUDIO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_preset), "set the audio options to the indicated preset", "preset", Canon("pre"));
  add("vpre", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_preset), "set the video options to the indicated preset", "preset", Canon("pre"));
  add("spre", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_SUBTITLE | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_preset), "set the subtitle options to the indicated preset", "preset",
      Canon("pre"));
  add("fpre", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_PERFILE | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_preset), "set options from indicated preset file", "filename", Canon("pre"));
  add("max_muxing_queue_size", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(max_muxing_queue_size),
      "maximum number of packets that can be buffered while waiting for all streams to initialize",
      "packets");
  add("muxing_queue_data_threshold", INT,
      OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_OUTPUT,
      OFF(muxing_queue_data_threshold),
      "set the threshold after which max_muxing_queue_size is taken into account", "bytes");
  // data
  add("dcodec", FUNC,
      OPT_FUNC_ARG | OPT_EXPERT | OPT_DATA | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON,
      OptFunc(opt_data_codec), "alias for -c:d (select encoder/decoder for data streams)", "codec",
      Canon("codec"));
  add("dn", BOOL, OPT_DATA | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(data_disable), "disable data", nullptr);
  // hardware
  add("qsv_device", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_qsv_device),
      "set QSV hardware device (DirectX adapter index, DRM path or X11 display name)", "device");
  add("init_hw_device", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_init_hw_device),
      "initialise hardware device", "args");
  add("filter_hw_device", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_filter_hw_device),
      "set hardware device used when filtering", "device");
  // deprecated
  add("adrift_threshold", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_deprecated_no_effect),
      "deprecated, does nothing", "threshold");
  add("top", INT,
      OPT_EXPERT | OPT_VIDEO | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM |
          OPT_INPUT | OPT_OUTPUT,
      OFF(top_field_first), "deprecated, use the setfield video filter", "");
  add("qphist", FUNC, OPT_EXPERT | OPT_VIDEO, OptFunc(opt_deprecated_no_effect),
      "deprecated, does nothing", nullptr);
  add("vsync", FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(opt_vsync),
      "set video sync method globally; deprecated, use -fps_mode", "");
  // kept for command lines written for the converter; a task has nothing to do for them
  add("hide_banner", BOOL, OPT_EXPERT, OptDst(&t->Fhide_banner), "do not show program banner",
      "hide_banner");
  add("stdin", BOOL, OPT_EXPERT, OptDst(&t->Fstdin_interaction),
      "enable or disable interaction on standard input", nullptr);
  // this system's own
  add("VideoHookBitsPixel", FUNC, OPT_FUNC_ARG | OPT_EXPERT | OPT_VIDEO,
      OptFunc(opt_video_hook_bits_pixel),
      "specifies the number of adjacent color bits on each plane needed to define a pixel. one of "
      "(8, "
      "15[555, BI_RGB], 16[565, BI_BITFIELDS], 24, 32), default to 32",
      "bpp");
  add("memory", INT64, OPT_EXPERT | OPT_PERFILE | OPT_FLAG_OFFSET | OPT_INPUT | OPT_OUTPUT,
      OFF(memory_access), "memory access via stream object", "integer value of stream object");
#undef OFF
  *row = TOptionDef{};  // the terminating row
}

// ---- Options contexts ----------------------------------------------------------------------

void init_options(TBaseFFmpeg* ATask, TOptionsContext& o) {
  o = TOptionsContext{};
  o.av_class = get_options_context_class();
  o.Owner = ATask;
  o.show_help_default = show_help_default;
  o.start_time = AV_NOPTS_VALUE;
  o.start_time_eof = AV_NOPTS_VALUE;
  o.recording_time = CInt64Max;
  o.stop_time = CInt64Max;
  o.limit_filesize = CInt64Max;
  o.chapters_input_file = std::numeric_limits<std::int32_t>::max();
  o.accurate_seek = 1;
  o.thread_queue_size = 0;
  o.input_sync_ref = -1;
  // not given: any number typed, 0 included, is the user's choice
  o.readrate_initial_burst = std::numeric_limits<double>::quiet_NaN();
  o.find_stream_info = 1;
  o.mux_max_delay = 0.7f;
  o.shortest_buf_duration = 10.0f;
}

void uninit_options(TBaseFFmpeg* ATask, TOptionsContext& o) {
  // Rows sharing one target (-c and -codec...) find it emptied the second time.
  for (POptionDef po = ATask->FOptionDef; po->name; po++) {
    if (!(po->flags & OPT_FLAG_OFFSET)) continue;
    void* dst = reinterpret_cast<std::uint8_t*>(&o) + po->u.off;
    if (po->flags & OPT_FLAG_SPEC) {
      auto* sol = static_cast<TSpecifierOptList*>(dst);
      for (int i = 0; i < sol->nb_opt; i++) {
        TSpecifierOpt& so = sol->opt[i];
        av_freep(&so.specifier);
        if (po->flags & OPT_FLAG_PERSTREAM) stream_specifier_uninit(&so.stream_spec);
        if (po->type_ == OPT_TYPE_STRING) av_freep(&so.u.str);
      }
      av_freep(&sol->opt);
      sol->nb_opt = 0;
    } else if (po->type_ == OPT_TYPE_STRING) {
      av_freep(dst);
    }
  }
  for (int i = 0; i < o.nb_stream_maps; i++) av_freep(&o.stream_maps[i].linklabel);
  av_freep(&o.stream_maps);
  o.nb_stream_maps = 0;
  for (int i = 0; i < o.nb_attachments; i++) av_freep(&o.attachments[i]);
  av_freep(&o.attachments);
  o.nb_attachments = 0;
  av_dict_free(&o.streamid);
  uninit_opts(&o);
}

int open_files(TBaseFFmpeg* ATask, TOptionGroupList* AGroups, const char* AKind,
               TOpenGroupFunc AOpen, TScheduler* sch) {
  for (int i = 0; i < AGroups->nb_groups; i++) {
    TOptionGroup* g = &AGroups->groups[i];
    TOptionsContext o;
    init_options(ATask, o);
    o.g = g;
    int ret = parse_optgroup(&o, g, ATask->FOptionDef);
    if (ret < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Error parsing options for %s file %s.\n", AKind, S(g->arg));
      uninit_options(ATask, o);
      return ret;
    }
    av_log(nullptr, AV_LOG_DEBUG, "Opening an %s file: %s.\n", AKind, S(g->arg));
    try {
      ret = AOpen(ATask, &o, g->arg, sch);
    } catch (...) {
      uninit_options(ATask, o);
      throw;
    }
    uninit_options(ATask, o);
    if (ret < 0) {
      // an immediate exit (-n with an existing output) has said why already
      if (ret != AVERROR_EXIT)
        av_log(nullptr, AV_LOG_ERROR, "Error opening %s file %s.\n", AKind, S(g->arg));
      return ret;
    }
    av_log(nullptr, AV_LOG_DEBUG, "Successfully opened the file.\n");
  }
  return 0;
}

// ---- Help ------------------------------------------------------------------------------------

void show_usage() {
  av_log(nullptr, AV_LOG_INFO,
         "Ostrevan conversion task: converts media files like the ffmpeg tool\n");
  av_log(nullptr, AV_LOG_INFO,
         "usage: VEDavirev.AddTask([options] [[infile options] -i infile]... {[outfile options] "
         "outfile}...)\n\n");
}

void show_help_default(void* AOptionsCtx, const char* ATopic, const char*) {
  TBaseFFmpeg* task = TaskOf(AOptionsCtx);
  const POptionDef table = task->FOptionDef;
  const bool topic_given = ATopic && *ATopic;
  const bool full = topic_given && std::strcmp(ATopic, "full") == 0;
  const bool long_ = topic_given && std::strcmp(ATopic, "long") == 0;
  if (topic_given && !full && !long_)
    av_log(nullptr, AV_LOG_ERROR, "Unknown help option '%s'.\n", ATopic);
  const bool advanced = full || long_;

  show_usage();
  av_log(nullptr, AV_LOG_INFO,
         "Getting help:\n"
         "    -h      -- print basic options\n"
         "    -h long -- print more options\n"
         "    -h full -- print all options (including all format and codec specific options, very "
         "long)\n"
         "    -h type=name -- print all options for the named "
         "decoder/encoder/demuxer/muxer/filter/bsf/protocol\n\n"
         "Per-stream options can be followed by :<stream_spec> to apply that option to specific "
         "streams only. "
         "<stream_spec> can be a stream index, or v/a/s for video/audio/subtitle (see manual for "
         "full syntax).\n\n");

  struct TSection {
    const char* Title;
    int Required, Rejected;
    bool Advanced;
  };
  // Each section lists the options whose flags hold all of Required and none of
  // Rejected; a plain section leaves out the expert options that its advanced twin lists.
  constexpr int CKinds = OPT_VIDEO | OPT_AUDIO | OPT_SUBTITLE | OPT_DATA;
  constexpr int CNotPerFile = OPT_EXIT | OPT_FLAG_PERSTREAM | CKinds;
  static const TSection CSections[] = {
      {"Print help / information / capabilities:", OPT_EXIT, OPT_EXPERT, false},
      {"Advanced information / capabilities:", OPT_EXIT | OPT_EXPERT, 0, true},
      {"Global options (affect whole program instead of just one file):", 0,
       OPT_EXIT | OPT_EXPERT | OPT_PERFILE, false},
      {"Advanced global options:", OPT_EXPERT, OPT_EXIT | OPT_PERFILE, true},
      {"Per-file options (input and output):", OPT_PERFILE | OPT_INPUT | OPT_OUTPUT,
       OPT_EXPERT | CNotPerFile, false},
      {"Advanced per-file options (input and output):",
       OPT_PERFILE | OPT_INPUT | OPT_OUTPUT | OPT_EXPERT, CNotPerFile, true},
      {"Per-file options (input-only):", OPT_PERFILE | OPT_INPUT,
       OPT_OUTPUT | OPT_EXPERT | CNotPerFile, false},
      {"Advanced per-file options (input-only):", OPT_PERFILE | OPT_INPUT | OPT_EXPERT,
       OPT_OUTPUT | CNotPerFile, true},
      {"Per-file options (output-only):", OPT_PERFILE | OPT_OUTPUT,
       OPT_INPUT | OPT_EXPERT | CNotPerFile, false},
      {"Advanced per-file options (output-only):", OPT_PERFILE | OPT_OUTPUT | OPT_EXPERT,
       OPT_INPUT | CNotPerFile, true},
      {"Per-stream options:", OPT_FLAG_PERSTREAM, OPT_EXIT | OPT_EXPERT | CKinds, false},
      {"Advanced per-stream options:", OPT_FLAG_PERSTREAM | OPT_EXPERT, OPT_EXIT | CKinds, true},
      {"Video options:", OPT_VIDEO, OPT_EXPERT | (CKinds & ~OPT_VIDEO), false},
      {"Advanced Video options:", OPT_VIDEO | OPT_EXPERT, CKinds & ~OPT_VIDEO, true},
      {"Audio options:", OPT_AUDIO, OPT_EXPERT | (CKinds & ~OPT_AUDIO), false},
      {"Advanced Audio options:", OPT_AUDIO | OPT_EXPERT, CKinds & ~OPT_AUDIO, true},
      {"Subtitle options:", OPT_SUBTITLE, OPT_EXPERT | (CKinds & ~OPT_SUBTITLE), false},
      {"Advanced Subtitle options:", OPT_SUBTITLE | OPT_EXPERT, CKinds & ~OPT_SUBTITLE, true},
      {"Data stream options:", OPT_DATA, CKinds & ~OPT_DATA, true},
  };
  for (const TSection& s : CSections)
    if (!s.Advanced || advanced)
      OptCommon::show_help_options(table, s.Title, s.Required, s.Rejected);

  if (full) {
    av_log(nullptr, AV_LOG_INFO, "\n");
    OptCommon::show_help_children(avcodec_get_class(),
                                  AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    OptCommon::show_help_children(avformat_get_class(),
                                  AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    OptCommon::show_help_children(sws_get_class(),
                                  AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    OptCommon::show_help_children(swr_get_class(), AV_OPT_FLAG_AUDIO_PARAM);
    OptCommon::show_help_children(avfilter_get_class(), AV_OPT_FLAG_VIDEO_PARAM |
                                                            AV_OPT_FLAG_AUDIO_PARAM |
                                                            AV_OPT_FLAG_FILTERING_PARAM);
    OptCommon::show_help_children(av_bsf_get_class(), AV_OPT_FLAG_VIDEO_PARAM |
                                                          AV_OPT_FLAG_AUDIO_PARAM |
                                                          AV_OPT_FLAG_BSF_PARAM);
  }
}

// ---- Start times -----------------------------------------------------------------------------

namespace {

// Formats with discontinuous timestamps (MPEG-TS...) may report a container start time that
// none of the used streams starts at: the inputs are shifted by the earliest stream start.
void correct_input_start_times(TBaseFFmpeg* ATask) {
  for (int i = 0; i < ATask->Fnb_input_files; i++) {
    TInputFile* ifile = PPtrIdx(ATask->Finput_files, i);
    const AVFormatContext* is = ifile->ctx;
    ifile->start_time_effective = is->start_time;
    if (is->start_time == AV_NOPTS_VALUE || !(is->iformat->flags & AVFMT_TS_DISCONT)) continue;
    std::int64_t new_start_time = CInt64Max;
    for (unsigned j = 0; j < is->nb_streams; j++) {
      const AVStream* st = is->streams[j];
      if (st->discard == AVDISCARD_ALL || st->start_time == AV_NOPTS_VALUE) continue;
      new_start_time =
          std::min(new_start_time, av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q));
    }
    // No stream to measure: shifting by "the largest Int64" would ruin every timestamp.
    if (new_start_time == CInt64Max) continue;
    const std::int64_t diff = new_start_time - is->start_time;
    if (!diff) continue;
    ff_log(nullptr, AV_LOG_VERBOSE, "Correcting start time of Input #%d by %" PRId64 " us.\n", i,
           diff);
    ifile->start_time_effective = new_start_time;
    if (ATask->Fcopy_ts && ATask->Fstart_at_zero) {
      ifile->ts_offset = -new_start_time;
    } else if (!ATask->Fcopy_ts) {
      const std::int64_t abs_start_seek =
          is->start_time + (ifile->start_time != AV_NOPTS_VALUE ? ifile->start_time : 0);
      ifile->ts_offset = abs_start_seek > new_start_time ? -abs_start_seek : -new_start_time;
    } else {
      ifile->ts_offset = 0;
    }
    ifile->ts_offset += ifile->input_ts_offset;
  }
}

int apply_sync_offsets(TBaseFFmpeg* ATask) {
  for (int i = 0; i < ATask->Fnb_input_files; i++) {
    TInputFile* self = PPtrIdx(ATask->Finput_files, i);
    const int ref_idx = self->input_sync_ref;
    if (ref_idx == -1 || ref_idx == i) continue;
    if (ref_idx >= ATask->Fnb_input_files || ref_idx < -1) {
      TaskLog(
          ATask, FFLoad::llFatal,
          Platform::Format("-isync for input %d references non-existent input %d.", i, ref_idx));
      return AVERROR(EINVAL);
    }
    if (ATask->Fcopy_ts && !ATask->Fstart_at_zero) {
      TaskLog(ATask, FFLoad::llFatal,
              "Use of -isync requires that start_at_zero be set if copyts is set.");
      return AVERROR(EINVAL);
    }
    const TInputFile* ref = PPtrIdx(ATask->Finput_files, ref_idx);
    if (ref->input_sync_ref != -1 && ref->input_sync_ref != ref_idx) {
      TaskLog(ATask, FFLoad::llError,
              Platform::Format("-isync for input %d references a resynced input %d. Sync not set.",
                               i, ref_idx));
      continue;
    }
    std::int64_t self_start, ref_start;
    if (self->ctx->start_time_realtime != AV_NOPTS_VALUE &&
        ref->ctx->start_time_realtime != AV_NOPTS_VALUE) {
      self_start = self->ctx->start_time_realtime;
      ref_start = ref->ctx->start_time_realtime;
    } else if (self->start_time_effective != AV_NOPTS_VALUE &&
               ref->start_time_effective != AV_NOPTS_VALUE) {
      self_start = self->start_time_effective;
      ref_start = ref->start_time_effective;
    } else {
      TaskLog(
          ATask, FFLoad::llInfo,
          Platform::Format(
              "Unable to identify start times for Inputs #%d and %d both. No sync adjustment made.",
              i, ref_idx));
      continue;
    }
    const std::int64_t self_seek = self->start_time == AV_NOPTS_VALUE ? 0 : self->start_time;
    const std::int64_t ref_seek = ref->start_time == AV_NOPTS_VALUE ? 0 : ref->start_time;
    const std::int64_t adjustment = (self_start - ref_start) +
                                    (ATask->Fcopy_ts ? 0 : self_seek - ref_seek) +
                                    ref->input_ts_offset;
    self->ts_offset += adjustment;
    TaskLog(ATask, FFLoad::llInfo,
            Platform::Format("Adjusted ts offset for Input #%d by %" PRId64
                             " us to sync with Input #%d.",
                             i, adjustment, ref_idx));
  }
  return 0;
}

}  // namespace

// ---- Parsing a command line ------------------------------------------------------------------

int ffmpeg_parse_options(TBaseFFmpeg* ATask, int argc, char** argv, TScheduler* sch) {
  TOptionParseContext octx{};
  TGlobalOptionsContext go{};
  const char* errmsg = "";
  int ret;
  // What this call owns goes also when another unit's set-up raises.
  auto release = [&octx, &go] {
    for (int i = 0; i < go.nb_filtergraphs; i++) av_freep(&go.filtergraphs[i]);
    av_freep(&go.filtergraphs);
    go.nb_filtergraphs = 0;
    uninit_opts(&go);
    TDefaultOptions tmp{};
    uninit_parse_context(&tmp, &octx);
  };

  try {
    {
      TOptionsContext split;
      init_options(ATask, split);
      ret = split_commandline(&split, &octx, argc, argv, ATask->FOptionDef, CGroups,
                              static_cast<int>(std::size(CGroups)));
      uninit_options(ATask, split);
    }
    if (ret < 0) {
      errmsg = "splitting the argument list";
      goto fail;
    }

    go.av_class = get_options_context_class();
    go.Owner = ATask;
    go.show_help_default = show_help_default;
    go.sch = sch;
    ret = parse_optgroup(&go, &octx.global_opts, ATask->FOptionDef);
    uninit_opts(&go);
    if (ret < 0) {
      errmsg = "parsing global options";
      goto fail;
    }

    // complex filter graphs first: inputs and outputs bind to their labels
    for (int i = 0; i < go.nb_filtergraphs; i++) {
      char* desc = go.filtergraphs[i];
      go.filtergraphs[i] = nullptr;  // the graph owns its text, also when it fails
      ret = FFmpegFilter::fg_create(ATask, nullptr, desc, sch);
      if (ret < 0) goto fail;
    }

    ret = open_files(ATask, &octx.groups[GROUP_INFILE], "input", OpenInput, sch);
    if (ret < 0) {
      errmsg = "opening input files";
      goto fail;
    }
    ret = open_files(ATask, &octx.groups[GROUP_OUTFILE], "output", OpenOutput, sch);
    if (ret < 0) {
      errmsg = "opening output files";
      goto fail;
    }
    ret = open_files(ATask, &octx.groups[GROUP_DECODER], "decoder", OpenDecoder, sch);
    if (ret < 0) {
      errmsg = "creating loopback decoders";
      goto fail;
    }
    ret = FFmpegFilter::fg_finalise_bindings(ATask);
    if (ret < 0) {
      errmsg = "binding filtergraph inputs/outputs";
      goto fail;
    }
    correct_input_start_times(ATask);
    ret = apply_sync_offsets(ATask);
  } catch (...) {
    release();
    throw;
  }

fail:
  release();
  if (ret < 0 && ret != AVERROR_EXIT)
    av_log(nullptr, AV_LOG_FATAL, "Error %s: %s\n", errmsg, print_error(ret).c_str());
  return ret;
}

namespace {

int ParseStep(void* AData, int argc, char** argv) {
  auto* task = static_cast<TBaseFFmpeg*>(AData);
  task->FLastErrMsg.clear();
  std::string error_text;
  int ret;

  {
    TOptionsContext o;
    init_options(task, o);
    parse_loglevel(&o, argc, argv, task->FOptionDef);
    uninit_options(task, o);
  }
  // One log worker serves the process: the last parsed task's log options win.
  if (FFLoad::VEDovedo) {
    FFLoad::VEDovedo->SetLogFlags(av_log_get_flags());
    FFLoad::VEDovedo->SetLogLevel(FFLoad::IntToLogLevel(av_log_get_level()));
  }

  try {
    // A task parses one command line: a second one would be added to the files, streams
    // and scheduler of the first. The check's text says so (ResetJob frees them first).
    if (task->Fsch)
      Platform::AssertionFailure("FFmpeg", CLineSchedulerExists,
                                 "the task has parsed a command line already; a task parses "
                                 "one command line");
    task->Fsch = FFmpegSched::sch_alloc(task, FFmpegMux::print_sdp);
    ret = task->Fsch ? ffmpeg_parse_options(task, argc, argv, task->Fsch) : AVERROR(ENOMEM);
    if (ret < 0) {
      error_text = print_error(ret);
      // an information option's exit is what was asked for, not a failure
      if (ret != AVERROR_EXIT) TaskLog(task, FFLoad::llError, error_text);
    } else if (task->Fnb_output_files == 0 && task->Fnb_input_files == 0) {
      show_usage();
      error_text = "Please refer to the demos and/or Docs/GettingStarted/Encoder.txt";
      TaskLog(task, FFLoad::llWarning, error_text);
      ret = -1;
    } else if (task->Fnb_output_files == 0) {
      error_text = "At least one output file must be specified";
      TaskLog(task, FFLoad::llFatal, error_text);
      ret = -1;
    }
  } catch (const FFmpegException&) {
    ret = -1;  // logged where it was raised
  } catch (const std::exception& e) {
    ret = -1;
    error_text = e.what();
    TaskLog(task, FFLoad::llFatal, error_text);
  }
  if (!error_text.empty()) {
    if (!task->FLastErrMsg.empty()) task->FLastErrMsg += "\r\n";
    task->FLastErrMsg += error_text;
  }
  return ret;
}

}  // namespace

int ParseTaskOptions(TBaseFFmpeg* ATask, const std::string& ACommandLine) {
  ATask->FCmdOptions = ACommandLine;
  TaskLog(ATask, FFLoad::llInfo, "ParseOptions: " + ACommandLine);
  if (ATask->FCmdLineBuf) {
    MyUtils::free_cmdline(ATask->FCmdLineBuf);
    ATask->FCmdLineBuf = nullptr;
  }
  const int ret =
      MyUtils::parse_cmdline(ACommandLine, ATask->FCmdLineBuf,
                             MyUtils::Tparse_cmdline_callback::FromFunction(ParseStep, ATask));
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->FlushRepeats();
  return ret;
}

}  // namespace FFmpegOpt

namespace FFmpeg {

int TCustomFFmpeg::ParseOptions(const std::string& ACommandLine) {
  // Held for the whole parse: a destroy on another thread waits for it.
  std::lock_guard<std::mutex> parse(FParseLock);
  const MyUtils::THandlerScope parsing(static_cast<FFmpegHeader::TBaseFFmpeg*>(this), CParseFrame);
  return FFmpegOpt::ParseTaskOptions(this, ACommandLine);
}

}  // namespace FFmpeg
