// Filter graphs: set-up, binding, configuration and the filter thread.
//
// Threads and ownership:
//   - Creation, binding and fg_free run on the option-parsing (or clean-up) thread while
//     no worker runs; the records are plain data then.
//   - Once the scheduler starts, a graph's records belong to its filter thread alone: it
//     configures and reconfigures the libavfilter graph, reads the input parameters and
//     writes the outputs' frame-rate state. The scheduler hands frames over through its
//     queues; no lock of this unit exists.
//   - Other threads only read TOutputFilter::nb_frames_dup / nb_frames_drop (updated here
//     with sequentially consistent atomics) and the task's FShowDupOrDrop.
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegFilterInternal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/downmix_info.h>
}

#include "engine/FFmpeg.h"
#include "engine/FFmpegDec.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegOpt.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHW.h"
#include "runtime/FFUtils.h"
#include "runtime/MyUtils.h"

namespace FFmpegFilter {

namespace U = AVUtilStubs;
namespace F = AVFilterStubs;
namespace FMT = AVFormatStubs;

using FFmpegHeader::atomic_fetch_add;
using FFmpegHeader::atomic_load;
using FFmpegHeader::TFrameData;
using FFmpegSched::SCH_ENC;
using FFmpegSched::SCH_FILTER_IN;
using FFmpegSched::SCH_FILTER_OUT;
using FFmpegSched::TSchedulerNode;

namespace {

const char* const CUnit = "FFmpegFilter";

// Reasons for reconfiguring a graph (need_reinit bits of send_frame).
constexpr unsigned VIDEO_CHANGED = 1u << 0;
constexpr unsigned AUDIO_CHANGED = 1u << 1;
constexpr unsigned MATRIX_CHANGED = 1u << 2;
constexpr unsigned DOWNMIX_CHANGED = 1u << 3;
constexpr unsigned HWACCEL_CHANGED = 1u << 4;

// Encoder time-base codes in TOutputFilterPriv::enc_timebase.num.
constexpr int ENC_TIME_BASE_DEMUX = -1;
constexpr int ENC_TIME_BASE_FILTER = -2;

// ---- Small helpers --------------------------------------------------------------------------

std::string ErrText(int AErr) { return CmdUtils::print_error(AErr); }

using FFUtils::TsStr;
using FFUtils::TsTimeStr;

const char* MediaTypeName(AVMediaType t) {
  const char* s = U::av_get_media_type_string(t);
  return s ? s : "unknown";
}

const char* NameOrUnknown(const char* s) { return s ? s : "unknown"; }

// Appends "key=value:" when the output is fixed to one value, else "key=a|b|...:" for the
// list it accepts (AIsEnd marks the list's terminator), else nothing: the argument text
// of the format filters that end a sink chain.
template <class T, class TName, class TIsEnd>
void AppendChoice(std::string& AArgs, const char* AKey, bool AFixed, const T& AValue,
                  const T* AList, TIsEnd AIsEnd, TName AName) {
  if (!AFixed && !AList) return;
  AArgs += AKey;
  AArgs += '=';
  if (AFixed) {
    AArgs += AName(AValue);
  } else {
    for (const T* p = AList; !AIsEnd(*p); p++) {
      if (p != AList) AArgs += '|';
      AArgs += AName(*p);
    }
  }
  AArgs += ':';
}

std::string LayoutName(const AVChannelLayout& ALayout) {
  char buf[256];
  if (U::av_channel_layout_describe(&ALayout, buf, sizeof(buf)) < 0) buf[0] = 0;
  return buf;
}

bool TbValid(AVRational tb) { return tb.num > 0 && tb.den > 0; }

// ---- Log classes ----------------------------------------------------------------------------

const char* FgItemName(void* obj) { return static_cast<TFilterGraphPriv*>(obj)->log_name; }
const char* OfItemName(void* obj) { return static_cast<TOutputFilterPriv*>(obj)->log_name; }

AVClass MakeClass(const char* AName, const char* (*AItemName)(void*), int AParentOffset) {
  AVClass c{};
  c.class_name = AName;
  c.item_name = AItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.parent_log_context_offset = AParentOffset;
  c.category = AV_CLASS_CATEGORY_FILTER;
  return c;
}

const AVClass CFilterGraphClass = MakeClass("FilterGraph", FgItemName, 0);
const AVClass COutputFilterClass = MakeClass(
    "OutputFilter", OfItemName, static_cast<int>(offsetof(TOutputFilterPriv, log_parent)));

// ---- Allocation -----------------------------------------------------------------------------

TInputFilter* ifilter_alloc(TFilterGraph* fg) {
  auto* ifp = static_cast<TInputFilterPriv*>(
      CmdUtils::allocate_array_elem(&fg->inputs, sizeof(TInputFilterPriv), fg->nb_inputs));
  if (!ifp) return nullptr;

  ifp->frame = U::av_frame_alloc();
  if (!ifp->frame) return nullptr;

  ifp->ifilter.graph = fg;
  ifp->ifilter.index = fg->nb_inputs - 1;
  ifp->format = -1;
  ifp->color_space = AVCOL_SPC_UNSPECIFIED;
  ifp->color_range = AVCOL_RANGE_UNSPECIFIED;
  // No trimming until a binding asks for it: a zero start would cut frames with
  // negative timestamps, a zero duration would insert a useless trim filter.
  ifp->opts.trim_start_us = AV_NOPTS_VALUE;
  ifp->opts.trim_end_us = INT64_MAX;

  ifp->frame_queue = U::av_fifo_alloc2(8, sizeof(AVFrame*), AV_FIFO_FLAG_AUTO_GROW);
  if (!ifp->frame_queue) return nullptr;
  return &ifp->ifilter;
}

TOutputFilter* ofilter_alloc(TFilterGraph* fg, AVMediaType type) {
  auto* ofp = static_cast<TOutputFilterPriv*>(
      CmdUtils::allocate_array_elem(&fg->outputs, sizeof(TOutputFilterPriv), fg->nb_outputs));
  if (!ofp) return nullptr;

  ofp->ofilter.class_ = &COutputFilterClass;
  ofp->log_parent = fg;
  ofp->ofilter.graph = fg;
  ofp->ofilter.type_ = type;
  ofp->format = -1;
  ofp->color_space = AVCOL_SPC_UNSPECIFIED;
  ofp->color_range = AVCOL_RANGE_UNSPECIFIED;
  ofp->ofilter.index = fg->nb_outputs - 1;
  // as for inputs: an output bound to another graph is not trimmed
  ofp->trim_start_us = AV_NOPTS_VALUE;
  ofp->trim_duration_us = INT64_MAX;
  std::snprintf(ofp->log_name, sizeof(ofp->log_name), "%co%d", MediaTypeName(type)[0],
                ofp->ofilter.index);
  return &ofp->ofilter;
}

// "filter" when the filter has several pads on that side, else "filter:pad".
char* describe_filter_link(AVFilterInOut* inout, bool in) {
  AVFilterContext* ctx = inout->filter_ctx;
  const AVFilterPad* pads = in ? ctx->input_pads : ctx->output_pads;
  const unsigned nb_pads = in ? ctx->nb_inputs : ctx->nb_outputs;
  if (nb_pads > 1) return U::av_strdup(ctx->filter->name);
  return U::av_asprintf("%s:%s", ctx->filter->name, F::avfilter_pad_get_name(pads, inout->pad_idx));
}

// ---- Parsing with options -------------------------------------------------------------------

// Reads a whole file for a binary option: 0 with data/len, or a negative error.
int read_binary(void* logctx, const char* path, std::uint8_t** data, int* len) {
  AVIOContext* io = nullptr;
  std::int64_t fsize;
  int ret;

  *data = nullptr;
  *len = 0;

  ret = FMT::avio_open2(&io, path, AVIO_FLAG_READ, nullptr, nullptr);
  if (ret < 0) {
    U::av_log(logctx, AV_LOG_ERROR, "Cannot open file \"%s\": %s\n", path, ErrText(ret).c_str());
    return ret;
  }

  fsize = FMT::avio_size(io);
  if (fsize < 0 || fsize > INT_MAX) {
    U::av_log(logctx, AV_LOG_ERROR, "Cannot obtain size of file %s\n", path);
    ret = AVERROR(EIO);
    goto fail;
  }

  *data = static_cast<std::uint8_t*>(U::av_malloc(fsize));
  if (!*data) {
    ret = AVERROR(ENOMEM);
    goto fail;
  }

  ret = FMT::avio_read(io, *data, static_cast<int>(fsize));
  if (ret != fsize) {
    U::av_log(logctx, AV_LOG_ERROR, "Error reading file %s\n", path);
    ret = ret < 0 ? ret : AVERROR(EIO);
    goto fail;
  }

  *len = static_cast<int>(fsize);
  ret = 0;
fail:
  FMT::avio_closep(&io);
  if (ret < 0) {
    U::av_freep(data);
    *len = 0;
  }
  return ret;
}

// Sets one option of a filter. A key of the form "/name" that names no option itself
// loads the value of option "name" from the file the value names: binary options take
// the bytes, others the text.
int filter_opt_apply(void* logctx, AVFilterContext* f, const char* key, const char* val) {
  const AVOption* o = nullptr;
  int ret;

  ret = U::av_opt_set(f, key, val, AV_OPT_SEARCH_CHILDREN);
  if (ret >= 0) return 0;

  if (ret == AVERROR_OPTION_NOT_FOUND && key[0] == '/')
    o = U::av_opt_find(f, key + 1, nullptr, 0, AV_OPT_SEARCH_CHILDREN);
  if (!o) goto err_apply;

  // from here on the value is a file name and the key (without '/') the option
  key++;

  if (o->type == AV_OPT_TYPE_BINARY) {
    std::uint8_t* data;
    int len;

    ret = read_binary(logctx, val, &data, &len);
    if (ret < 0) goto err_load;

    ret = U::av_opt_set_bin(f, key, data, len, AV_OPT_SEARCH_CHILDREN);
    U::av_freep(&data);
  } else {
    char* data = CmdUtils::file_read(val);
    if (!data) {
      ret = AVERROR(EIO);
      goto err_load;
    }

    ret = U::av_opt_set(f, key, data, AV_OPT_SEARCH_CHILDREN);
    U::av_freep(&data);
  }
  if (ret < 0) goto err_apply;

  return 0;

err_apply:
  U::av_log(logctx, AV_LOG_ERROR, "Error applying option \"%s\" to filter \"%s\": %s\n", key,
            f->filter->name, ErrText(ret).c_str());
  return ret;
err_load:
  U::av_log(logctx, AV_LOG_ERROR, "Error loading value for option \"%s\" from file \"%s\"\n", key,
            val);
  return ret;
}

int graph_opts_apply(void* logctx, AVFilterGraphSegment* seg) {
  for (size_t i = 0; i < seg->nb_chains; i++) {
    AVFilterChain* ch = seg->chains[i];

    for (size_t j = 0; j < ch->nb_filters; j++) {
      AVFilterParams* p = ch->filters[j];
      const AVDictionaryEntry* e = nullptr;

      Platform::Check(p->filter != nullptr, CUnit, 839);

      while ((e = U::av_dict_iterate(p->opts, e))) {
        const int ret = filter_opt_apply(logctx, p->filter, e->key, e->value);
        if (ret < 0) return ret;
      }

      U::av_dict_free(&p->opts);
    }
  }
  return 0;
}

// Parses desc into graph, creates its filters (with a hardware device for those that use
// one), applies their options and links them; the unconnected pads come back in
// inputs/outputs.
int graph_parse(void* logctx, AVFilterGraph* graph, const char* desc, AVFilterInOut** inputs,
                AVFilterInOut** outputs, AVBufferRef* hw_device) {
  AVFilterGraphSegment* seg = nullptr;
  int ret;

  *inputs = nullptr;
  *outputs = nullptr;

  ret = F::avfilter_graph_segment_parse(graph, desc, 0, &seg);
  if (ret < 0) return ret;

  ret = F::avfilter_graph_segment_create_filters(seg, 0);
  if (ret < 0) goto fail;

  if (hw_device) {
    for (unsigned i = 0; i < graph->nb_filters; i++) {
      AVFilterContext* f = graph->filters[i];

      if (!(f->filter->flags & AVFILTER_FLAG_HWDEVICE)) continue;
      f->hw_device_ctx = U::av_buffer_ref(hw_device);
      if (!f->hw_device_ctx) {
        ret = AVERROR(ENOMEM);
        goto fail;
      }
    }
  }

  ret = graph_opts_apply(logctx, seg);
  if (ret < 0) goto fail;

  ret = F::avfilter_graph_segment_apply(seg, 0, inputs, outputs);

fail:
  F::avfilter_graph_segment_free(&seg);
  return ret;
}

// ---- Binding helpers ------------------------------------------------------------------------

// Copies the wanted layout; a layout of unknown order is replaced by the first allowed
// layout with as many channels, else by the default layout for that count.
int set_channel_layout(TOutputFilterPriv* f, const AVChannelLayout* layouts_allowed,
                       const AVChannelLayout* layout_requested) {
  int i, err;

  if (layout_requested->order != AV_CHANNEL_ORDER_UNSPEC) {
    // a layout with a known order is taken as it is
    err = U::av_channel_layout_copy(&f->ch_layout, layout_requested);
    return err < 0 ? err : 0;
  }

  // a channel count without a layout: take the first allowed one of that count
  if (layouts_allowed) {
    for (i = 0; layouts_allowed[i].nb_channels; i++) {
      if (layouts_allowed[i].nb_channels == layout_requested->nb_channels) break;
    }
    if (layouts_allowed[i].nb_channels) {
      err = U::av_channel_layout_copy(&f->ch_layout, &layouts_allowed[i]);
      return err < 0 ? err : 0;
    }
  }

  // nothing allowed matches: the default layout for the count
  U::av_channel_layout_default(&f->ch_layout, layout_requested->nb_channels);
  return 0;
}

int fg_complex_bind_input(TFilterGraph* fg, TInputFilter* ifilter) {
  TBaseFFmpeg* Owner = fg->Owner;
  const AVMediaType type = ifilter->type_;
  TViewSpecifier vs{};
  PInputStream ist = nullptr;
  int ret;

  vs.type_ = FFmpegHeader::VIEW_SPECIFIER_TYPE_NONE;

  if (ifilter->linklabel && !std::strncmp(ifilter->linklabel, "dec:", 4)) {
    char* p;
    const long dec_idx = std::strtol(ifilter->linklabel + 4, &p, 0);

    if (dec_idx < 0 || dec_idx >= Owner->Fnb_decoders) {
      U::av_log(fg, AV_LOG_ERROR, "Invalid decoder index %d in filtergraph description %s\n",
                static_cast<int>(dec_idx), fg->graph_desc);
      return AVERROR(EINVAL);
    }

    if (type == AVMEDIA_TYPE_VIDEO) {
      const char* rest = (*p == ':') ? p + 1 : p;
      ret = FFmpegOpt::parse_view_specifier(fg, vs, rest);
      if (ret < 0) return ret;
    }

    ret = ifilter_bind_dec(ifilter, Owner->Fdecoders[dec_idx], &vs);
    if (ret < 0)
      U::av_log(fg, AV_LOG_ERROR, "Error binding a decoder to filtergraph input %s\n",
                ifilter->name);
    return ret;
  } else if (ifilter->linklabel) {
    // an unbound output of another graph with this label comes first
    for (int i = 0; i < Owner->Fnb_filtergraphs; i++) {
      TFilterGraph* fg_src = Owner->Ffiltergraphs[i];

      if (fg == fg_src) continue;

      for (int j = 0; j < fg_src->nb_outputs; j++) {
        TOutputFilter* ofilter = fg_src->outputs[j];

        if (!ofilter->bound && ofilter->linklabel &&
            !std::strcmp(ofilter->linklabel, ifilter->linklabel)) {
          U::av_log(fg, AV_LOG_VERBOSE, "Binding input with label '%s' to filtergraph output %d:%d\n",
                    ifilter->linklabel, i, j);

          ret = ifilter_bind_fg(ifilter, fg_src, j);
          if (ret < 0)
            U::av_log(fg, AV_LOG_ERROR, "Error binding filtergraph input %s\n", ifilter->linklabel);
          return ret;
        }
      }
    }

    // else a stream of an input file: "<file index>[:<stream specifier>]"
    char* p;
    const long file_idx = std::strtol(ifilter->linklabel, &p, 0);
    if (file_idx < 0 || file_idx >= Owner->Fnb_input_files) {
      U::av_log(fg, AV_LOG_FATAL, "Invalid file index %d in filtergraph description %s.\n",
                static_cast<int>(file_idx), fg->graph_desc);
      return AVERROR(EINVAL);
    }
    AVFormatContext* s = Owner->Finput_files[file_idx]->ctx;
    const char* spec = (*p == ':') ? p + 1 : p;

    CmdUtils::TStreamSpecifier ss{};
    ret = CmdUtils::stream_specifier_parse(&ss, spec, 1, fg);
    if (ret < 0) {
      U::av_log(fg, AV_LOG_ERROR, "Invalid stream specifier: %s\n", p);
      return ret;
    }

    if (type == AVMEDIA_TYPE_VIDEO) {
      const char* rest = ss.remainder ? ss.remainder : "";
      ret = FFmpegOpt::parse_view_specifier(fg, vs, rest);
      if (ret < 0) {
        CmdUtils::stream_specifier_uninit(&ss);
        return ret;
      }
    }

    for (unsigned i = 0; i < s->nb_streams; i++) {
      const AVMediaType stream_type = s->streams[i]->codecpar->codec_type;
      if (stream_type != type &&
          !(stream_type == AVMEDIA_TYPE_SUBTITLE && type == AVMEDIA_TYPE_VIDEO))
        continue;
      if (CmdUtils::stream_specifier_match(&ss, s, s->streams[i], fg)) {
        ist = Owner->Finput_files[file_idx]->streams[i];
        break;
      }
    }
    CmdUtils::stream_specifier_uninit(&ss);
    if (!ist) {
      U::av_log(fg, AV_LOG_FATAL,
                "Stream specifier '%s' in filtergraph description %s matches no streams.\n", spec,
                fg->graph_desc);
      return AVERROR(EINVAL);
    }

    U::av_log(fg, AV_LOG_VERBOSE, "Binding input with label '%s' to input stream %d:%d\n",
              ifilter->linklabel, ist->file_->index, ist->index);
  } else {
    ist = FFmpegDemux::ist_find_available(Owner, type);
    if (!ist) {
      U::av_log(fg, AV_LOG_FATAL,
                "Cannot find an unused %s input stream to feed the unlabeled input pad %s.\n",
                MediaTypeName(type), ifilter->name);
      return AVERROR(EINVAL);
    }

    U::av_log(fg, AV_LOG_VERBOSE, "Binding unlabeled input %d to input stream %d:%d\n",
              ifilter->index, ist->file_->index, ist->index);
  }

  ret = ifilter_bind_ist(ifilter, ist, &vs);
  if (ret < 0) {
    U::av_log(fg, AV_LOG_ERROR, "Error binding an input stream to complex filtergraph input %s.\n",
              ifilter->name);
    return ret;
  }
  return 0;
}

// ---- Configuration --------------------------------------------------------------------------

// Creates an instance of f named inst_name with args, links the chain's end (last_filter,
// pad pad_idx) to it, and makes it the chain's end.
int append_filter(AVFilterGraph* graph, AVFilterContext*& last_filter, int& pad_idx,
                  const AVFilter* f, const char* inst_name, const char* args) {
  AVFilterContext* ctx;
  int ret = F::avfilter_graph_create_filter(&ctx, f, inst_name, args, nullptr, graph);
  if (ret < 0) return ret;

  ret = F::avfilter_link(last_filter, pad_idx, ctx, 0);
  if (ret < 0) return ret;

  last_filter = ctx;
  pad_idx = 0;
  return 0;
}

// Appends filter_name (the instance is named like the filter) with args to the chain.
int insert_filter(AVFilterGraph* graph, AVFilterContext** last_filter, int* pad_idx,
                  const char* filter_name, const char* args) {
  const AVFilter* f = F::avfilter_get_by_name(filter_name);
  if (!f) return AVERROR_BUG;
  return append_filter(graph, *last_filter, *pad_idx, f, filter_name, args);
}

int insert_trim(AVFilterGraph* graph, std::int64_t start_time, std::int64_t duration,
                AVFilterContext** last_filter, int* pad_idx, const char* filter_name) {
  AVFilterContext* ctx;
  int ret = 0;

  if (duration == INT64_MAX && start_time == AV_NOPTS_VALUE) return 0;

  const AVMediaType type = F::avfilter_pad_get_type((*last_filter)->output_pads, *pad_idx);
  const char* name = (type == AVMEDIA_TYPE_VIDEO) ? "trim" : "atrim";

  const AVFilter* trim = F::avfilter_get_by_name(name);
  if (!trim) {
    U::av_log(nullptr, AV_LOG_ERROR, "%s filter not present, cannot limit recording time.\n", name);
    return AVERROR_FILTER_NOT_FOUND;
  }

  ctx = F::avfilter_graph_alloc_filter(graph, trim, filter_name);
  if (!ctx) return AVERROR(ENOMEM);

  if (duration != INT64_MAX)
    ret = U::av_opt_set_int(ctx, "durationi", duration, AV_OPT_SEARCH_CHILDREN);
  if (ret >= 0 && start_time != AV_NOPTS_VALUE)
    ret = U::av_opt_set_int(ctx, "starti", start_time, AV_OPT_SEARCH_CHILDREN);
  if (ret < 0) {
    U::av_log(ctx, AV_LOG_ERROR, "Error configuring the %s filter\n", name);
    return ret;
  }

  ret = F::avfilter_init_str(ctx, nullptr);
  if (ret < 0) return ret;

  ret = F::avfilter_link(*last_filter, *pad_idx, ctx, 0);
  if (ret < 0) return ret;

  *last_filter = ctx;
  *pad_idx = 0;
  return 0;
}

// "key=value" pairs joined by sep.
std::string DictToString(const AVDictionary* d, char sep) {
  std::string s;
  const AVDictionaryEntry* e = nullptr;
  while ((e = U::av_dict_iterate(d, e))) {
    if (!s.empty()) s += sep;
    s += e->key;
    s += '=';
    s += e->value;
  }
  return s;
}

// The output's sink (buffersink or abuffersink), named "out_" and the output's name.
int create_sink(AVFilterGraph* graph, TOutputFilter* ofilter, const char* sink) {
  char name[255];
  std::snprintf(name, sizeof(name), "out_%s", ofilter->name);
  return F::avfilter_graph_create_filter(&ofilter->filter, F::avfilter_get_by_name(sink), name,
                                         nullptr, nullptr, graph);
}

int configure_output_video_filter(TFilterGraph* /*fg*/, AVFilterGraph* graph, TOutputFilter* ofilter,
                                  AVFilterInOut* out) {
  TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);
  AVFilterContext* last_filter = out->filter_ctx;
  int pad_idx = out->pad_idx;
  int ret;
  char name[255];

  ret = create_sink(graph, ofilter, "buffersink");
  if (ret < 0) return ret;

  if ((ofp->width || ofp->height) && (ofp->flags & OFILTER_FLAG_AUTOSCALE)) {
    std::string args = std::to_string(ofp->width) + ":" + std::to_string(ofp->height);
    if (U::av_dict_count(ofp->sws_opts)) args += ":" + DictToString(ofp->sws_opts, ':');

    std::snprintf(name, sizeof(name), "scaler_out_%s", ofilter->name);
    ret = append_filter(graph, last_filter, pad_idx, F::avfilter_get_by_name("scale"), name,
                        args.c_str());
    if (ret < 0) return ret;
  }

  Platform::Check(!(ofp->flags & OFILTER_FLAG_DISABLE_CONVERT) || ofp->format != -1 ||
                      !ofp->formats,
                  CUnit, 2180);

  std::string args;
  AppendChoice(args, "pix_fmts", ofp->format != -1, ofp->format, ofp->formats,
               [](std::int32_t v) { return v == AV_PIX_FMT_NONE; },
               [](std::int32_t v) {
                 return NameOrUnknown(U::av_get_pix_fmt_name(static_cast<AVPixelFormat>(v)));
               });
  AppendChoice(args, "color_spaces", ofp->color_space != AVCOL_SPC_UNSPECIFIED, ofp->color_space,
               ofp->color_spaces, [](AVColorSpace v) { return v == AVCOL_SPC_UNSPECIFIED; },
               [](AVColorSpace v) { return NameOrUnknown(U::av_color_space_name(v)); });
  AppendChoice(args, "color_ranges", ofp->color_range != AVCOL_RANGE_UNSPECIFIED, ofp->color_range,
               ofp->color_ranges, [](AVColorRange v) { return v == AVCOL_RANGE_UNSPECIFIED; },
               [](AVColorRange v) { return NameOrUnknown(U::av_color_range_name(v)); });

  if (!args.empty()) {
    ret = append_filter(graph, last_filter, pad_idx, F::avfilter_get_by_name("format"), "format",
                        args.c_str());
    if (ret < 0) return ret;
  }

  std::snprintf(name, sizeof(name), "trim_out_%s", ofilter->name);
  ret = insert_trim(graph, ofp->trim_start_us, ofp->trim_duration_us, &last_filter, &pad_idx, name);
  if (ret < 0) return ret;

  return F::avfilter_link(last_filter, pad_idx, ofilter->filter, 0);
}

int configure_output_audio_filter(TFilterGraph* fg, AVFilterGraph* graph, TOutputFilter* ofilter,
                                  AVFilterInOut* out) {
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);
  AVFilterContext* last_filter = out->filter_ctx;
  int pad_idx = out->pad_idx;
  int ret;
  char name[255];

  ret = create_sink(graph, ofilter, "abuffersink");
  if (ret < 0) return ret;

  std::string args;
  AppendChoice(args, "sample_fmts", ofp->format != -1, ofp->format, ofp->formats,
               [](std::int32_t v) { return v == AV_SAMPLE_FMT_NONE; },
               [](std::int32_t v) {
                 return NameOrUnknown(U::av_get_sample_fmt_name(static_cast<AVSampleFormat>(v)));
               });
  AppendChoice(args, "sample_rates", ofp->sample_rate != 0, ofp->sample_rate, ofp->sample_rates,
               [](std::int32_t v) { return v == 0; },
               [](std::int32_t v) { return std::to_string(v); });
  AppendChoice(args, "channel_layouts", U::av_channel_layout_check(&ofp->ch_layout) != 0,
               ofp->ch_layout, ofp->ch_layouts,
               [](const AVChannelLayout& v) { return v.nb_channels == 0; }, LayoutName);

  if (!args.empty()) {
    std::snprintf(name, sizeof(name), "format_out_%s", ofilter->name);
    ret = append_filter(graph, last_filter, pad_idx, F::avfilter_get_by_name("aformat"), name,
                        args.c_str());
    if (ret < 0) return ret;
  }

  if (ofilter->apad) {
    U::av_log(ofp, AV_LOG_INFO, "%s is forwarded to lavfi similarly to -af %s=%s.\n", "-apad",
              "apad", ofilter->apad);
    ret = insert_filter(graph, &last_filter, &pad_idx, "apad", ofilter->apad);
    if (ret < 0) return ret;
    fgp->have_sources = 1;
  }

  std::snprintf(name, sizeof(name), "trim for output %s", ofilter->name);
  ret = insert_trim(graph, ofp->trim_start_us, ofp->trim_duration_us, &last_filter, &pad_idx, name);
  if (ret < 0) return ret;

  return F::avfilter_link(last_filter, pad_idx, ofilter->filter, 0);
}

int configure_output_filter(TFilterGraph* fg, AVFilterGraph* graph, TOutputFilter* ofilter,
                            AVFilterInOut* out) {
  switch (ofilter->type_) {
    case AVMEDIA_TYPE_VIDEO: return configure_output_video_filter(fg, graph, ofilter, out);
    case AVMEDIA_TYPE_AUDIO: return configure_output_audio_filter(fg, graph, ofilter, out);
    default: throw CmdUtils::FFmpegException("Never occur");
  }
}

void sub2video_prepare(TInputFilterPriv* ifp) {
  ifp->sub2video_last_pts = INT64_MIN;
  ifp->sub2video_end_pts = INT64_MIN;
  // the canvas is pushed (blank) with the first heartbeat or subtitle
  ifp->sub2video_initialize = 1;
}

int configure_input_video_filter(TFilterGraph* fg, AVFilterGraph* graph, TInputFilter* ifilter,
                                 AVFilterInOut* in) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  AVFilterContext* last_filter;
  const AVFilter* buffer_filt = F::avfilter_get_by_name("buffer");
  const AVPixFmtDescriptor* desc;
  AVBufferSrcParameters* par;
  char name[255];
  int ret, pad_idx = 0;

  if (ifp->type_src == AVMEDIA_TYPE_SUBTITLE) sub2video_prepare(ifp);

  std::snprintf(name, sizeof(name), "graph %d input from stream %s", fg->index, ifp->opts.name);
  ifilter->filter = F::avfilter_graph_alloc_filter(graph, buffer_filt, name);
  if (!ifilter->filter) return AVERROR(ENOMEM);

  par = F::av_buffersrc_parameters_alloc();
  if (!par) return AVERROR(ENOMEM);
  par->format = ifp->format;
  par->time_base = ifp->time_base;
  par->width = ifp->width;
  par->height = ifp->height;
  par->sample_aspect_ratio =
      ifp->sample_aspect_ratio.den > 0 ? ifp->sample_aspect_ratio : AVRational{0, 1};
  par->frame_rate = ifp->opts.framerate;
  par->color_space = ifp->color_space;
  par->color_range = ifp->color_range;
  par->hw_frames_ctx = ifp->hw_frames_ctx;
  par->side_data = ifp->side_data;
  par->nb_side_data = ifp->nb_side_data;
  ret = F::av_buffersrc_parameters_set(ifilter->filter, par);
  U::av_freep(&par);
  if (ret < 0) return ret;

  ret = F::avfilter_init_dict(ifilter->filter, nullptr);
  if (ret < 0) return ret;

  last_filter = ifilter->filter;

  desc = U::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(ifp->format));
  Platform::Check(desc != nullptr, CUnit, 2445);

  if (ifp->opts.flags & IFILTER_FLAG_CROP) {
    // six values of up to ten digits each: the text is sized to them
    const std::string crop_desc =
        Platform::Format("w=iw-%u-%u:h=ih-%u-%u:x=%u:y=%u", ifp->opts.crop_left,
                         ifp->opts.crop_right, ifp->opts.crop_top, ifp->opts.crop_bottom,
                         ifp->opts.crop_left, ifp->opts.crop_top);
    ret = insert_filter(graph, &last_filter, &pad_idx, "crop", crop_desc.c_str());
    if (ret < 0) return ret;
  }

  // the display matrix is applied by filters only for software frames
  ifp->displaymatrix_applied = 0;
  if ((ifp->opts.flags & IFILTER_FLAG_AUTOROTATE) && !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
    const std::int32_t* displaymatrix = ifp->displaymatrix;
    // without a matrix there is nothing to turn (and no angle to compute)
    const double theta =
        CmdUtils::get_rotation(ifp->displaymatrix_present ? displaymatrix : nullptr);

    if (std::fabs(theta - 90) < 1.0) {
      ret = insert_filter(graph, &last_filter, &pad_idx, "transpose",
                          displaymatrix[3] > 0 ? "cclock_flip" : "clock");
    } else if (std::fabs(theta - 180) < 1.0) {
      if (displaymatrix[0] < 0) {
        ret = insert_filter(graph, &last_filter, &pad_idx, "hflip", nullptr);
        if (ret < 0) return ret;
      }
      if (displaymatrix[4] < 0) ret = insert_filter(graph, &last_filter, &pad_idx, "vflip", nullptr);
    } else if (std::fabs(theta - 270) < 1.0) {
      ret = insert_filter(graph, &last_filter, &pad_idx, "transpose",
                          displaymatrix[3] < 0 ? "clock_flip" : "cclock");
    } else if (std::fabs(theta) > 1.0) {
      char rotate_buf[64];
      std::snprintf(rotate_buf, sizeof(rotate_buf), "%f*PI/180", theta);
      ret = insert_filter(graph, &last_filter, &pad_idx, "rotate", rotate_buf);
    } else if (std::fabs(theta) < 1.0) {
      if (ifp->displaymatrix_present && displaymatrix[4] < 0)
        ret = insert_filter(graph, &last_filter, &pad_idx, "vflip", nullptr);
    }
    if (ret < 0) return ret;

    ifp->displaymatrix_applied = 1;
  }

  std::snprintf(name, sizeof(name), "trim_in_%s", ifp->opts.name);
  ret = insert_trim(graph, ifp->opts.trim_start_us, ifp->opts.trim_end_us, &last_filter, &pad_idx,
                    name);
  if (ret < 0) return ret;

  return F::avfilter_link(last_filter, 0, in->filter_ctx, in->pad_idx);
}

int configure_input_audio_filter(TFilterGraph* fg, AVFilterGraph* graph, TInputFilter* ifilter,
                                 AVFilterInOut* in) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  AVFilterContext* last_filter;
  AVBufferSrcParameters* par;
  const AVFilter* abuffer_filt = F::avfilter_get_by_name("abuffer");
  char name[255];
  int ret, pad_idx = 0;

  std::string args = "time_base=" + std::to_string(ifp->time_base.num) + "/" +
                     std::to_string(ifp->time_base.den) +
                     ":sample_rate=" + std::to_string(ifp->sample_rate) + ":sample_fmt=" +
                     NameOrUnknown(U::av_get_sample_fmt_name(static_cast<AVSampleFormat>(ifp->format)));
  if (U::av_channel_layout_check(&ifp->ch_layout) &&
      ifp->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
    char buf[256];
    if (U::av_channel_layout_describe(&ifp->ch_layout, buf, sizeof(buf)) < 0) buf[0] = 0;
    args += ":channel_layout=";
    args += buf;
  } else {
    args += ":channels=" + std::to_string(ifp->ch_layout.nb_channels);
  }

  std::snprintf(name, sizeof(name), "graph_%d_in_%s", fg->index, ifp->opts.name);
  ifilter->filter = F::avfilter_graph_alloc_filter(graph, abuffer_filt, name);
  if (!ifilter->filter) return AVERROR(ENOMEM);

  par = F::av_buffersrc_parameters_alloc();
  if (!par) return AVERROR(ENOMEM);
  par->side_data = ifp->side_data;
  par->nb_side_data = ifp->nb_side_data;
  ret = F::av_buffersrc_parameters_set(ifilter->filter, par);
  U::av_freep(&par);
  if (ret < 0) return ret;

  ret = F::avfilter_init_str(ifilter->filter, args.c_str());
  if (ret < 0) return ret;
  last_filter = ifilter->filter;

  std::snprintf(name, sizeof(name), "trim for input stream %s", ifp->opts.name);
  ret = insert_trim(graph, ifp->opts.trim_start_us, ifp->opts.trim_end_us, &last_filter, &pad_idx,
                    name);
  if (ret < 0) return ret;

  return F::avfilter_link(last_filter, 0, in->filter_ctx, in->pad_idx);
}

int configure_input_filter(TFilterGraph* fg, AVFilterGraph* graph, TInputFilter* ifilter,
                           AVFilterInOut* in) {
  switch (ifilter->type_) {
    case AVMEDIA_TYPE_VIDEO: return configure_input_video_filter(fg, graph, ifilter, in);
    case AVMEDIA_TYPE_AUDIO: return configure_input_audio_filter(fg, graph, ifilter, in);
    default: throw CmdUtils::FFmpegException("Never occur");
  }
}

bool graph_is_meta(AVFilterGraph* graph) {
  for (unsigned i = 0; i < graph->nb_filters; i++) {
    const AVFilterContext* f = graph->filters[i];

    // a graph is meta when every filter is metadata-only, a sink or a buffer source
    if (!((f->filter->flags & AVFILTER_FLAG_METADATA_ONLY) || f->nb_outputs == 0 ||
          (f->nb_inputs == 0 &&
           (!std::strcmp(f->filter->name, "buffer") || !std::strcmp(f->filter->name, "abuffer")))))
      return false;
  }
  return true;
}

// ---- Subtitle canvas ------------------------------------------------------------------------

int sub2video_get_blank_frame(TInputFilterPriv* ifp) {
  AVFrame* frame = ifp->sub2video_frame;
  int ret;

  U::av_frame_unref(frame);

  frame->width = ifp->width;
  frame->height = ifp->height;
  frame->format = ifp->format;
  frame->colorspace = ifp->color_space;
  frame->color_range = ifp->color_range;

  ret = U::av_frame_get_buffer(frame, 0);
  if (ret < 0) return ret;

  std::memset(frame->data[0], 0, static_cast<size_t>(frame->height) * frame->linesize[0]);
  return 0;
}

// Paints one bitmap rectangle onto the canvas; anything else is reported (to the task's
// log) and skipped.
void sub2video_copy_rect(TBaseFFmpeg* Owner, std::uint8_t* dst, int dst_linesize, int w, int h,
                         const AVSubtitleRect* r) {
  if (r->type != SUBTITLE_BITMAP) {
    if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(Owner, FFLoad::llWarning, "sub2video: non-bitmap subtitle");
    return;
  }
  if (r->x < 0 || r->x + r->w > w || r->y < 0 || r->y + r->h > h) {
    if (FFLoad::VEDovedo)
      FFLoad::VEDovedo->Log(Owner, FFLoad::llWarning,
                            "sub2video: rectangle (%d %d %d %d) overflowing %d %d", r->x, r->y,
                            r->w, r->h, w, h);
    return;
  }

  dst += r->y * dst_linesize + r->x * 4;
  const std::uint8_t* src = r->data[0];
  const auto* pal = reinterpret_cast<const std::uint32_t*>(r->data[1]);
  for (int y = 0; y < r->h; y++) {
    auto* dst2 = reinterpret_cast<std::uint32_t*>(dst);
    const std::uint8_t* src2 = src;
    for (int x = 0; x < r->w; x++) *(dst2++) = pal[*(src2++)];
    dst += dst_linesize;
    src += r->linesize[0];
  }
}

void sub2video_push_ref(TInputFilterPriv* ifp, std::int64_t pts) {
  AVFrame* frame = ifp->sub2video_frame;

  frame->pts = pts;
  ifp->sub2video_last_pts = pts;
  // the canvas is kept: it is pushed again by later heartbeats
  if (!ifp->ifilter.filter) return;
  const int ret = F::av_buffersrc_add_frame_flags(
      ifp->ifilter.filter, frame, AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
  if (ret != AVERROR_EOF && ret < 0)
    U::av_log(nullptr, AV_LOG_WARNING, "Error while add the frame to buffer source(%s).\n",
              ErrText(ret).c_str());
}

void sub2video_update(TInputFilterPriv* ifp, std::int64_t heartbeat_pts, const AVSubtitle* sub) {
  AVFrame* frame = ifp->sub2video_frame;
  std::int64_t pts, end_pts;
  unsigned num_rects;

  if (sub) {
    pts = U::av_rescale_q(sub->pts + sub->start_display_time * 1000LL, AV_TIME_BASE_Q, ifp->time_base);
    end_pts = U::av_rescale_q(sub->pts + sub->end_display_time * 1000LL, AV_TIME_BASE_Q, ifp->time_base);
    num_rects = sub->num_rects;
  } else {
    // A first (blank) canvas starts at the heartbeat; otherwise the blank canvas
    // replaces the subtitle that just ended. Either lasts until the next subtitle.
    pts = ifp->sub2video_initialize ? heartbeat_pts : ifp->sub2video_end_pts;
    end_pts = INT64_MAX;
    num_rects = 0;
  }
  if (sub2video_get_blank_frame(ifp) < 0) {
    U::av_log(nullptr, AV_LOG_ERROR, "Impossible to get a blank canvas.\n");
    return;
  }
  for (unsigned i = 0; i < num_rects; i++)
    sub2video_copy_rect(ifp->ifilter.graph->Owner, frame->data[0], frame->linesize[0], frame->width,
                        frame->height, sub->rects[i]);
  sub2video_push_ref(ifp, pts);
  ifp->sub2video_end_pts = end_pts;
  ifp->sub2video_initialize = 0;
}

void sub2video_heartbeat(TInputFilterPriv* ifp, std::int64_t pts, AVRational tb) {
  // One tick before the heartbeat: subtitle packets normally arrive ahead of the other
  // streams, so the canvas must already be there when the pictures of that time come.
  const std::int64_t pts2 = U::av_rescale_q(pts, tb, ifp->time_base) - 1;

  // a canvas at or after that time was already pushed
  if (pts2 <= ifp->sub2video_last_pts) return;

  if (pts2 >= ifp->sub2video_end_pts || ifp->sub2video_initialize)
    // at the end of the current picture, or before the first one: a new canvas
    sub2video_update(ifp, pts2 + 1, nullptr);
  else
    sub2video_push_ref(ifp, pts2);
}

int sub2video_frame(TInputFilterPriv* ifp, AVFrame* frame, bool buffer) {
  int ret;

  if (buffer) {
    if (!frame) return 0;

    AVFrame* tmp = U::av_frame_alloc();
    if (!tmp) return AVERROR(ENOMEM);
    U::av_frame_move_ref(tmp, frame);

    ret = U::av_fifo_write(ifp->frame_queue, &tmp, 1);
    if (ret < 0) {
      U::av_frame_free(&tmp);
      return ret;
    }
    return 0;
  }

  // a heartbeat
  if (frame && !frame->buf[0]) {
    sub2video_heartbeat(ifp, frame->pts, frame->time_base);
    return 0;
  }

  if (!frame) {
    if (ifp->sub2video_end_pts < INT64_MAX) sub2video_update(ifp, INT64_MAX, nullptr);
    return ifp->ifilter.filter ? F::av_buffersrc_add_frame(ifp->ifilter.filter, nullptr) : 0;
  }

  ifp->width = frame->width ? frame->width : ifp->width;
  ifp->height = frame->height ? frame->height : ifp->height;

  sub2video_update(ifp, INT64_MIN, reinterpret_cast<const AVSubtitle*>(frame->buf[0]->data));
  return 0;
}

// ---- Run time -------------------------------------------------------------------------------

int ifilter_parameters_from_frame(TInputFilterPriv* ifp, const AVFrame* frame) {
  const AVFrameSideData* sd;
  int ret;

  ret = U::av_buffer_replace(&ifp->hw_frames_ctx, frame->hw_frames_ctx);
  if (ret < 0) return ret;

  ifp->time_base = (ifp->ifilter.type_ == AVMEDIA_TYPE_AUDIO) ? AVRational{1, frame->sample_rate}
                   : (ifp->opts.flags & IFILTER_FLAG_CFR) ? av_inv_q(ifp->opts.framerate)
                                                          : frame->time_base;

  ifp->format = frame->format;
  ifp->width = frame->width;
  ifp->height = frame->height;
  ifp->sample_aspect_ratio = frame->sample_aspect_ratio;
  ifp->color_space = frame->colorspace;
  ifp->color_range = frame->color_range;

  ifp->sample_rate = frame->sample_rate;
  ret = U::av_channel_layout_copy(&ifp->ch_layout, &frame->ch_layout);
  if (ret < 0) return ret;

  U::av_frame_side_data_free(&ifp->side_data, &ifp->nb_side_data);
  for (int i = 0; i < frame->nb_side_data; i++) {
    const AVSideDataDescriptor* desc = U::av_frame_side_data_desc(frame->side_data[i]->type);
    if (!desc || !(desc->props & AV_SIDE_DATA_PROP_GLOBAL)) continue;
    ret = U::av_frame_side_data_clone(&ifp->side_data, &ifp->nb_side_data, frame->side_data[i], 0);
    if (ret < 0) return ret;
  }

  sd = U::av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX);
  if (sd && sd->size >= sizeof(ifp->displaymatrix))
    std::memcpy(ifp->displaymatrix, sd->data, sizeof(ifp->displaymatrix));
  ifp->displaymatrix_present = sd && sd->size >= sizeof(ifp->displaymatrix);

  sd = U::av_frame_get_side_data(frame, AV_FRAME_DATA_DOWNMIX_INFO);
  if (sd) {
    ret = U::av_frame_side_data_clone(&ifp->side_data, &ifp->nb_side_data, sd, AV_FRAME_SIDE_DATA_FLAG_REPLACE);
    if (ret < 0) return ret;
    std::memset(ifp->downmixinfo, 0, sizeof(ifp->downmixinfo));
    std::memcpy(ifp->downmixinfo, sd->data, std::min(sd->size, sizeof(ifp->downmixinfo)));
  }
  ifp->downmixinfo_present = !!sd;

  return 0;
}

int choose_input(const TFilterGraph* fg, const TFilterGraphThread* fgt) {
  int nb_requests, nb_requests_max = -1;
  int best_input = -1;

  for (int i = 0; i < fg->nb_inputs; i++) {
    TInputFilter* ifilter = fg->inputs[i];

    if (fgt->eof_in[i] || !ifilter->filter) continue;

    nb_requests = static_cast<int>(F::av_buffersrc_get_nb_failed_requests(ifilter->filter));
    if (nb_requests > nb_requests_max) {
      nb_requests_max = nb_requests;
      best_input = i;
    }
  }

  Platform::Check(best_input >= 0, CUnit, 3050);
  return best_input;
}

int close_output(TOutputFilterPriv* ofp, TFilterGraphThread* fgt) {
  TFilterGraph* fg = ofp->ofilter.graph;
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  int ret;

  // No frame ever left this graph: an empty frame with the output's parameters still
  // lets the consumer open (an encoder opens from its first frame).
  if (!fgt->got_frame) {
    AVFrame* frame = fgt->frame;
    TFrameData* fd;

    U::av_frame_unref(frame);
    frame->time_base = ofp->tb_out;
    frame->format = ofp->format;

    frame->width = ofp->width;
    frame->height = ofp->height;
    frame->sample_aspect_ratio = ofp->sample_aspect_ratio;

    frame->sample_rate = ofp->sample_rate;
    if (ofp->ch_layout.nb_channels) {
      ret = U::av_channel_layout_copy(&frame->ch_layout, &ofp->ch_layout);
      if (ret < 0) return ret;
    }
    ret = FFmpegHeader::clone_side_data(frame->side_data, frame->nb_side_data, ofp->side_data,
                                        ofp->nb_side_data, 0);
    if (ret < 0) {
      U::av_frame_unref(frame);
      return ret;
    }

    fd = FFmpeg::frame_data(frame);
    if (!fd) {
      U::av_frame_unref(frame);
      return AVERROR(ENOMEM);
    }
    fd->frame_rate_filter = ofp->framerate;

    Platform::Check(!frame->buf[0], CUnit, 3389);

    U::av_log(ofp, AV_LOG_WARNING,
              "No filtered frames for output stream, trying to initialize anyway.\n");

    ret = FFmpegSched::sch_filter_send(fgp->sch, fgp->sch_idx, ofp->ofilter.index, frame);
    if (ret < 0) {
      U::av_frame_unref(frame);
      return ret;
    }
  }

  if (!fgt->eof_out[ofp->ofilter.index]) {
    fgt->eof_out[ofp->ofilter.index] = 1;
    fgp->nb_outputs_done++;
  }

  // A graph reading this output learns of its end only from a frame: without it, it
  // would keep asking this (finished) input for more while its other inputs stay
  // choked, and filters such as concat would never move on.
  if (ofp->bound_to_graph) {
    AVFrame* frame = fgt->frame;
    U::av_frame_unref(frame);
    frame->time_base = ofp->tb_out;
    frame->pts = TbValid(ofp->tb_out) ? ofp->next_pts : AV_NOPTS_VALUE;
    frame->opaque = reinterpret_cast<void*>(FRAME_OPAQUE_EOF);
    ret = FFmpegSched::sch_filter_send(fgp->sch, fgp->sch_idx, ofp->ofilter.index, frame);
    U::av_frame_unref(frame);
    if (ret < 0 && ret != AVERROR_EOF) return ret;
  }

  ret = FFmpegSched::sch_filter_send(fgp->sch, fgp->sch_idx, ofp->ofilter.index, nullptr);
  return (ret == AVERROR_EOF) ? 0 : ret;
}

// One frame out of one sink: 0 when a frame was handled, 1 when the sink has nothing
// now (or has ended), or a negative error.
int fg_output_step(TOutputFilterPriv* ofp, TFilterGraphThread* fgt, AVFrame* frame) {
  TFilterGraph* fg = ofp->ofilter.graph;
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  AVFilterContext* filter = ofp->ofilter.filter;
  TFrameData* fd;
  int ret;

  ret = F::av_buffersink_get_frame_flags(filter, frame, AV_BUFFERSINK_FLAG_NO_REQUEST);
  if (ret == AVERROR_EOF && !fgt->eof_out[ofp->ofilter.index]) {
    ret = fg_output_frame(ofp, fgt, nullptr);
    return (ret < 0) ? ret : 1;
  } else if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
    return 1;
  } else if (ret < 0) {
    U::av_log(ofp, AV_LOG_WARNING, "Error in retrieving a frame from the filtergraph: %s\n",
              ErrText(ret).c_str());
    return ret;
  }

  if (fgt->eof_out[ofp->ofilter.index]) {
    U::av_frame_unref(frame);
    return 0;
  }

  frame->time_base = F::av_buffersink_get_time_base(filter);

  if (fg->Owner->Fdebug_ts)
    U::av_log(ofp, AV_LOG_INFO, "filter_raw -> pts:%s pts_time:%s time_base:%d/%d\n",
              TsStr(frame->pts).c_str(), TsTimeStr(frame->pts, frame->time_base).c_str(),
              frame->time_base.num, frame->time_base.den);

  // the first frame out decides the time base towards the consumer
  if (!ofp->tb_out_locked) {
    ret = choose_out_timebase(ofp, frame);
    if (ret < 0) {
      U::av_log(ofp, AV_LOG_ERROR, "Could not choose an output time base\n");
      U::av_frame_unref(frame);
      return ret;
    }
  }

  fd = FFmpeg::frame_data(frame);
  if (!fd) {
    U::av_frame_unref(frame);
    return AVERROR(ENOMEM);
  }

  fd->wallclock[FFmpegHeader::LATENCY_PROBE_FILTER_POST] = U::av_gettime_relative();

  // only metadata-only graphs keep the decoder's sample depth meaningful
  if (!fgp->is_meta) fd->bits_per_raw_sample = 0;

  if (ofp->ofilter.type_ == AVMEDIA_TYPE_VIDEO) {
    if (!frame->duration) {
      const AVRational fr = F::av_buffersink_get_frame_rate(filter);
      if (fr.num > 0 && fr.den > 0) frame->duration = U::av_rescale_q(1, av_inv_q(fr), frame->time_base);
    }

    fd->frame_rate_filter = ofp->framerate;
  }

  ret = fg_output_frame(ofp, fgt, frame);
  U::av_frame_unref(frame);
  if (ret < 0) return ret;

  return 0;
}

// True when the graph holds a sink that belongs to none of the outputs (nullsink,
// anullsink ...): every output has exactly one sink of its own.
bool has_sinks_of_its_own(const TFilterGraph* fg, const AVFilterGraph* graph) {
  unsigned sinks = 0;
  for (unsigned i = 0; i < graph->nb_filters; i++)
    if (graph->filters[i]->nb_outputs == 0) sinks++;
  return sinks > static_cast<unsigned>(fg->nb_outputs);
}

// Asks the graph to bring a frame to some output: 0 when one may be there, AVERROR(EAGAIN)
// when the graph needs input, AVERROR_EOF when every output is finished, or an error.
// The library's oldest-sink request drives every sink of the graph and returns only once
// the oldest one has received a frame; it is meant for graphs under normal circumstances,
// not as their sole scheduling. A source that feeds a sink of its own (nullsrc,nullsink)
// while the outputs wait for input keeps it busy for ever, and nothing could stop the task.
// Such a sink has nothing to do with the outputs: a graph that holds one is asked through
// the outputs' sinks alone.
int request_frame(TFilterGraph* fg, TFilterGraphThread* fgt) {
  if (!has_sinks_of_its_own(fg, fgt->graph)) return F::avfilter_graph_request_oldest(fgt->graph);
  int ret = AVERROR_EOF;
  for (int i = 0; i < fg->nb_outputs; i++) {
    AVFilterContext* sink = fg->outputs[i]->filter;
    if (!sink || fgt->eof_out[i]) continue;
    const int r = F::av_buffersink_get_frame_flags(sink, nullptr, AV_BUFFERSINK_FLAG_PEEK);
    if (r >= 0) return 0;
    if (r == AVERROR_EOF) continue;
    if (r != AVERROR(EAGAIN)) return r;
    ret = r;
  }
  return ret;
}

// Reaps every output, then asks the graph for more: 0 when the graph needs input
// (next_in says which), AVERROR_EOF when every output is finished, or an error.
int read_frames(TFilterGraph* fg, TFilterGraphThread* fgt, AVFrame* frame) {
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  int did_step = 0;

  // without a graph only the input whose format is still missing can help
  if (!fgt->graph) {
    for (int i = 0; i < fg->nb_inputs; i++) {
      TInputFilterPriv* ifp = ifp_from_ifilter(fg->inputs[i]);
      if (ifp->format < 0 && !fgt->eof_in[i]) {
        fgt->next_in = i;
        return 0;
      }
    }

    // Every input knows its format or has ended, yet there is no graph: configuration
    // would have been triggered already, so this cannot happen.
    Platform::AssertionFailure(CUnit, 3659);
  }

  while (fgp->nb_outputs_done < fg->nb_outputs) {
    int ret;

    for (int i = 0; i < fg->nb_outputs; i++) {
      TOutputFilterPriv* ofp = ofp_from_ofilter(fg->outputs[i]);

      // take whatever this sink has ready, without asking the graph for more
      while (true) {
        ret = fg_output_step(ofp, fgt, frame);
        if (ret < 0) return ret;
        if (ret) break;
      }
    }

    // a graph with sources could run ahead of its consumers: hand back to the scheduler
    if (did_step && fgp->have_sources) return 0;

    ret = request_frame(fg, fgt);
    if (ret == AVERROR(EAGAIN)) {
      fgt->next_in = choose_input(fg, fgt);
      return 0;
    } else if (ret < 0) {
      if (ret == AVERROR_EOF)
        U::av_log(fg, AV_LOG_VERBOSE, "Filtergraph returned EOF, finishing\n");
      else
        U::av_log(fg, AV_LOG_ERROR, "Error requesting a frame from the filtergraph: %s\n",
                  ErrText(ret).c_str());
      return ret;
    }
    fgt->next_in = fg->nb_inputs;

    did_step = 1;
  }

  return AVERROR_EOF;
}

int send_eof(TFilterGraphThread* fgt, TInputFilter* ifilter, std::int64_t pts, AVRational tb) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  TFilterGraph* fg = ifilter->graph;
  int ret;

  if (fgt->eof_in[ifilter->index]) return 0;

  fgt->eof_in[ifilter->index] = 1;

  if (ifilter->filter) {
    pts = U::av_rescale_q_rnd(pts, tb, ifp->time_base,
                              static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));

    ret = F::av_buffersrc_close(ifilter->filter, pts, AV_BUFFERSRC_FLAG_PUSH);
    if (ret < 0) return ret;
  } else {
    if (ifp->format < 0 && ifp->opts.fallback) {
      // The graph was never configured and this input saw no frame: take the
      // decoder's parameters so that the graph can still be built.
      const AVFrame* fb = ifp->opts.fallback;

      ifp->format = fb->format;
      ifp->sample_rate = fb->sample_rate;
      ifp->width = fb->width;
      ifp->height = fb->height;
      ifp->sample_aspect_ratio = fb->sample_aspect_ratio;
      ifp->color_space = fb->colorspace;
      ifp->color_range = fb->color_range;
      ifp->time_base = fb->time_base;

      ret = U::av_channel_layout_copy(&ifp->ch_layout, &fb->ch_layout);
      if (ret < 0) return ret;

      U::av_frame_side_data_free(&ifp->side_data, &ifp->nb_side_data);
      ret = FFmpegHeader::clone_side_data(ifp->side_data, ifp->nb_side_data, fb->side_data,
                                          fb->nb_side_data, 0);
      if (ret < 0) return ret;

      if (ifilter_has_all_input_formats(fg)) {
        ret = configure_filtergraph(fg->Owner, fg, fgt);
        if (ret < 0) {
          U::av_log(fg, AV_LOG_ERROR, "Error initializing filters!\n");
          return ret;
        }
      }
    }

    if (ifp->format < 0) {
      U::av_log(fg, AV_LOG_ERROR, "Cannot determine format of input stream %s after EOF\n",
                ifilter->name);
      return AVERROR_INVALIDDATA;
    }
  }

  return 0;
}

int send_frame(TFilterGraph* fg, TFilterGraphThread* fgt, TInputFilter* ifilter, AVFrame* frame) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  TFrameData* fd;
  const AVFrameSideData* sd;
  unsigned need_reinit = 0;
  int ret;

  // which parameters of this input differ from the configured ones
  switch (ifilter->type_) {
    case AVMEDIA_TYPE_AUDIO:
      if (ifp->format != frame->format || ifp->sample_rate != frame->sample_rate ||
          U::av_channel_layout_compare(&ifp->ch_layout, &frame->ch_layout))
        need_reinit |= AUDIO_CHANGED;
      break;
    case AVMEDIA_TYPE_VIDEO:
      if (ifp->format != frame->format || ifp->width != frame->width ||
          ifp->height != frame->height || ifp->color_space != frame->colorspace ||
          ifp->color_range != frame->color_range)
        need_reinit |= VIDEO_CHANGED;
      break;
    default: break;
  }

  if ((sd = U::av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX))) {
    if (!ifp->displaymatrix_present || sd->size < sizeof(ifp->displaymatrix) ||
        std::memcmp(sd->data, ifp->displaymatrix, sizeof(ifp->displaymatrix)))
      need_reinit |= MATRIX_CHANGED;
  } else if (ifp->displaymatrix_present) {
    need_reinit |= MATRIX_CHANGED;
  }

  if ((sd = U::av_frame_get_side_data(frame, AV_FRAME_DATA_DOWNMIX_INFO))) {
    if (!ifp->downmixinfo_present ||
        std::memcmp(sd->data, ifp->downmixinfo, std::min(sd->size, sizeof(ifp->downmixinfo))))
      need_reinit |= DOWNMIX_CHANGED;
  } else if (ifp->downmixinfo_present) {
    need_reinit |= DOWNMIX_CHANGED;
  }

  if (need_reinit && fgt->graph && (ifp->opts.flags & IFILTER_FLAG_DROPCHANGED)) {
    ifp->nb_dropped++;
    U::av_log(fg, ifp->drop_warned ? AV_LOG_DEBUG : AV_LOG_WARNING,
              "Avoiding reinit; dropping frame pts: %s bound for %s\n", TsStr(frame->pts).c_str(),
              ifilter->name);
    ifp->drop_warned = 1;
    U::av_frame_unref(frame);
    return 0;
  }

  if (!(ifp->opts.flags & IFILTER_FLAG_REINIT) && fgt->graph) need_reinit = 0;

  if (!!ifp->hw_frames_ctx != !!frame->hw_frames_ctx ||
      (ifp->hw_frames_ctx && ifp->hw_frames_ctx->data != frame->hw_frames_ctx->data))
    need_reinit |= HWACCEL_CHANGED;

  if (need_reinit) {
    ret = ifilter_parameters_from_frame(ifp, frame);
    if (ret < 0) return ret;
  }

  // a first or changed format: build the graph when every input knows its format,
  // else keep the frame until then
  if (need_reinit || !fgt->graph) {
    if (!ifilter_has_all_input_formats(fg)) {
      AVFrame* tmp = U::av_frame_alloc();
      if (!tmp) return AVERROR(ENOMEM);
      U::av_frame_move_ref(tmp, frame);

      ret = U::av_fifo_write(ifp->frame_queue, &tmp, 1);
      if (ret < 0) U::av_frame_free(&tmp);
      return ret;
    }

    if (fgt->graph) {
      // what the old graph still holds goes out first; frame is the caller's, so the
      // outputs are reaped into a frame of their own
      AVFrame* tmp = U::av_frame_alloc();
      if (!tmp) return AVERROR(ENOMEM);
      ret = read_frames(fg, fgt, tmp);
      U::av_frame_free(&tmp);
      if (ret < 0) return ret;

      std::string reason;
      if (need_reinit & AUDIO_CHANGED) {
        char layout[256];
        if (U::av_channel_layout_describe(&frame->ch_layout, layout, sizeof(layout)) < 0) layout[0] = 0;
        reason += "audio parameters changed to " + std::to_string(frame->sample_rate) + " Hz, " +
                  layout + ", " +
                  NameOrUnknown(U::av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format))) +
                  ", ";
      }
      if (need_reinit & VIDEO_CHANGED) {
        reason += std::string("video parameters changed to ") +
                  NameOrUnknown(U::av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format))) +
                  "(" + NameOrUnknown(U::av_color_range_name(frame->color_range)) + ", " +
                  NameOrUnknown(U::av_color_space_name(frame->colorspace)) + "), " +
                  std::to_string(frame->width) + "x" + std::to_string(frame->height) + ", ";
      }
      if (need_reinit & MATRIX_CHANGED) reason += "display matrix changed, ";
      if (need_reinit & DOWNMIX_CHANGED) reason += "downmix medatata changed, ";
      if (need_reinit & HWACCEL_CHANGED) reason += "hwaccel changed, ";
      if (!reason.empty()) {
        reason.resize(reason.size() - 2);  // remove last comma
        U::av_log(fg, AV_LOG_INFO, "Reconfiguring filter graph because %s\n", reason.c_str());
      } else {
        U::av_log(fg, AV_LOG_INFO, "Reconfiguring filter graph\n");
      }
    }

    ret = configure_filtergraph(fg->Owner, fg, fgt);
    if (ret < 0) {
      U::av_log(fg, AV_LOG_ERROR, "Error reinitializing filters!\n");
      return ret;
    }
  }

  frame->pts = U::av_rescale_q(frame->pts, frame->time_base, ifp->time_base);
  frame->duration = U::av_rescale_q(frame->duration, frame->time_base, ifp->time_base);
  frame->time_base = ifp->time_base;

  if (ifp->displaymatrix_applied) U::av_frame_remove_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX);

  fd = FFmpeg::frame_data(frame);
  if (!fd) return AVERROR(ENOMEM);
  fd->wallclock[FFmpegHeader::LATENCY_PROBE_FILTER_PRE] = U::av_gettime_relative();

  ret = F::av_buffersrc_add_frame_flags(ifilter->filter, frame, AV_BUFFERSRC_FLAG_PUSH);
  if (ret < 0) {
    U::av_frame_unref(frame);
    if (ret != AVERROR_EOF)
      U::av_log(fg, AV_LOG_ERROR, "Error while filtering: %s\n", ErrText(ret).c_str());
    return ret;
  }

  return 0;
}

}  // namespace

// ---- Set-up and binding ---------------------------------------------------------------------

int fg_create(TBaseFFmpeg* Owner, PFilterGraph* pfg, char* graph_desc,
              FFmpegSched::TScheduler* sch) {
  TFilterGraphPriv* fgp;
  TFilterGraph* fg;
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  AVFilterGraph* graph = nullptr;
  int ret = 0;

  fgp = static_cast<TFilterGraphPriv*>(U::av_mallocz(sizeof(TFilterGraphPriv)));
  if (!fgp) {
    U::av_freep(&graph_desc);
    return AVERROR(ENOMEM);
  }
  fg = &fgp->fg;

  if (pfg) {
    *pfg = fg;
    fg->index = -1;
  } else {
    ret = CmdUtils::grow_array(Owner->Ffiltergraphs, Owner->Fnb_filtergraphs,
                               Owner->Fnb_filtergraphs + 1);
    if (ret < 0) {
      U::av_freep(&graph_desc);
      U::av_freep(&fgp);
      return ret;
    }
    fg->index = Owner->Fnb_filtergraphs - 1;
    Owner->Ffiltergraphs[fg->index] = fg;
  }

  fg->class_ = &CFilterGraphClass;
  fg->Owner = Owner;
  fg->graph_desc = graph_desc;
  fgp->disable_conversions = !Owner->Fauto_conversion_filters;
  fgp->nb_threads = -1;
  fgp->sch = sch;

  std::snprintf(fgp->log_name, sizeof(fgp->log_name), "fc#%d", fg->index);

  fgp->frame = U::av_frame_alloc();
  fgp->frame_enc = U::av_frame_alloc();
  if (!fgp->frame || !fgp->frame_enc) return AVERROR(ENOMEM);

  // The graph is parsed once here only to learn which inputs and outputs it has; the
  // real one is built on the filter thread when the input formats are known.
  graph = F::avfilter_graph_alloc();
  if (!graph) return AVERROR(ENOMEM);
  graph->nb_threads = 1;

  ret = graph_parse(fg, graph, fg->graph_desc, &inputs, &outputs,
                    FFmpegHW::hw_device_for_filter(Owner, Owner->Ffilter_hw_device));
  if (ret < 0) goto fail;

  for (unsigned i = 0; i < graph->nb_filters; i++) {
    const AVFilter* f = graph->filters[i]->filter;
    if ((!F::avfilter_filter_pad_count(f, 0) && !(f->flags & AVFILTER_FLAG_DYNAMIC_INPUTS)) ||
        !std::strcmp(f->name, "apad")) {
      fgp->have_sources = 1;
      break;
    }
  }

  for (AVFilterInOut* cur = inputs; cur; cur = cur->next) {
    TInputFilter* const ifilter = ifilter_alloc(fg);
    if (!ifilter) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }

    ifilter->linklabel = cur->name;
    cur->name = nullptr;

    ifilter->type_ = F::avfilter_pad_get_type(cur->filter_ctx->input_pads, cur->pad_idx);

    if (ifilter->type_ != AVMEDIA_TYPE_VIDEO && ifilter->type_ != AVMEDIA_TYPE_AUDIO) {
      U::av_log(fg, AV_LOG_FATAL, "Only video and audio filters supported currently.\n");
      ret = AVERROR(ENOSYS);
      goto fail;
    }

    ifilter->name = describe_filter_link(cur, true);
    if (!ifilter->name) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }
  }

  for (AVFilterInOut* cur = outputs; cur; cur = cur->next) {
    const AVMediaType type = F::avfilter_pad_get_type(cur->filter_ctx->output_pads, cur->pad_idx);
    TOutputFilter* const ofilter = ofilter_alloc(fg, type);
    if (!ofilter) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }

    ofilter->linklabel = cur->name;
    cur->name = nullptr;

    ofilter->name = describe_filter_link(cur, false);
    if (!ofilter->name) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }
  }

  if (!fg->nb_outputs) {
    U::av_log(fg, AV_LOG_FATAL, "A filtergraph has zero outputs, this is not supported\n");
    ret = AVERROR(ENOSYS);
    goto fail;
  }

  ret = FFmpegSched::sch_add_filtergraph(sch, fg->nb_inputs, fg->nb_outputs, filter_thread, fg);
  if (ret < 0) goto fail;
  fgp->sch_idx = static_cast<unsigned>(ret);
  ret = 0;

fail:
  F::avfilter_inout_free(&inputs);
  F::avfilter_inout_free(&outputs);
  F::avfilter_graph_free(&graph);

  return ret;
}

int fg_create_simple(TBaseFFmpeg* Owner, PFilterGraph* pfg, PInputStream ist,
                     const TOutputFilterOptions* opts, unsigned sched_idx_enc,
                     FFmpegSched::TScheduler* sch, char* graph_desc) {
  TFilterGraph* fg;
  TFilterGraphPriv* fgp;
  int ret;

  ret = fg_create(Owner, pfg, graph_desc, sch);
  if (ret < 0) return ret;
  fg = *pfg;
  fgp = fgp_from_fg(fg);

  fgp->is_simple = 1;

  std::snprintf(fgp->log_name, sizeof(fgp->log_name), "%cf%s",
                MediaTypeName(ist->par->codec_type)[0], opts->name ? opts->name : "");

  if (fg->nb_inputs != 1 || fg->nb_outputs != 1) {
    U::av_log(fg, AV_LOG_ERROR,
              "Simple filtergraph '%s' was expected to have exactly 1 input and 1 output. "
              "However, it had %d input(s) and %d output(s). Please adjust, or use a complex "
              "filtergraph (-filter_complex) instead.\n",
              fg->graph_desc, fg->nb_inputs, fg->nb_outputs);
    return AVERROR(EINVAL);
  }
  if (fg->outputs[0]->type_ != ist->par->codec_type) {
    U::av_log(fg, AV_LOG_ERROR, "Filtergraph has a %s output, cannot connect it to %s output stream\n",
              MediaTypeName(fg->outputs[0]->type_), MediaTypeName(ist->par->codec_type));
    return AVERROR(EINVAL);
  }

  ret = ifilter_bind_ist(fg->inputs[0], ist, opts->vs);
  if (ret < 0) return ret;

  ret = ofilter_bind_enc(fg->outputs[0], sched_idx_enc, opts);
  if (ret < 0) return ret;

  if (opts->nb_threads >= 0) fgp->nb_threads = static_cast<std::int32_t>(opts->nb_threads);

  return 0;
}

int ifilter_bind_ist(PInputFilter ifilter, PInputStream ist, const TViewSpecifier* vs) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  TFilterGraphPriv* fgp = fgp_from_fg(ifilter->graph);
  TSchedulerNode src{};
  int ret;

  Platform::Check(!ifp->bound, CUnit, 1017);
  ifp->bound = 1;

  if (ifilter->type_ != ist->par->codec_type &&
      !(ifilter->type_ == AVMEDIA_TYPE_VIDEO && ist->par->codec_type == AVMEDIA_TYPE_SUBTITLE)) {
    U::av_log(fgp, AV_LOG_ERROR, "Tried to connect %s stream to %s filtergraph input\n",
              MediaTypeName(ist->par->codec_type), MediaTypeName(ifilter->type_));
    return AVERROR(EINVAL);
  }

  ifp->type_src = ist->par->codec_type;

  ifp->opts.fallback = U::av_frame_alloc();
  if (!ifp->opts.fallback) return AVERROR(ENOMEM);

  ret = FFmpegDemux::ist_filter_add(ifilter->graph->Owner, ist, ifilter, src, ifp->opts, vs,
                                    fgp->is_simple);
  if (ret < 0) return ret;

  U::av_freep(&ifilter->name);
  ifilter->name = U::av_strdup(ifp->opts.name);
  if (!ifilter->name) return AVERROR(EINVAL);

  ret = FFmpegSched::sch_connect(fgp->sch, src, SCH_FILTER_IN(fgp->sch_idx, ifilter->index));
  if (ret < 0) return ret;

  if (ifp->type_src == AVMEDIA_TYPE_SUBTITLE) {
    ifp->sub2video_frame = U::av_frame_alloc();
    if (!ifp->sub2video_frame) return AVERROR(ENOMEM);

    ifp->width = ifp->opts.sub2video_width;
    ifp->height = ifp->opts.sub2video_height;

    // The canvas is packed RGB with alpha: each rectangle brings its own palette, and
    // those need not agree, so the rectangles are painted in true colour.
    ifp->format = AV_PIX_FMT_RGB32;

    ifp->time_base = AV_TIME_BASE_Q;

    U::av_log(fgp, AV_LOG_VERBOSE, "sub2video: using %dx%d canvas\n", ifp->width, ifp->height);
  }

  return 0;
}

int ifilter_bind_dec(PInputFilter ifilter, PDecoder dec, const TViewSpecifier* vs) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  TFilterGraphPriv* fgp = fgp_from_fg(ifilter->graph);
  TSchedulerNode src{};
  int ret;

  Platform::Check(!ifp->bound, CUnit, 1094);
  ifp->bound = 1;

  if (ifilter->type_ != dec->type_) {
    U::av_log(fgp, AV_LOG_ERROR, "Tried to connect %s decoder to %s filtergraph input\n",
              MediaTypeName(dec->type_), MediaTypeName(ifilter->type_));
    return AVERROR(EINVAL);
  }

  ifp->type_src = ifilter->type_;

  ret = FFmpegDec::dec_filter_add(dec, ifilter, &ifp->opts, vs, src);
  if (ret < 0) return ret;

  U::av_freep(&ifilter->name);
  ifilter->name = U::av_strdup(ifp->opts.name);
  if (!ifilter->name) return AVERROR(EINVAL);

  return FFmpegSched::sch_connect(fgp->sch, src, SCH_FILTER_IN(fgp->sch_idx, ifilter->index));
}

int ifilter_bind_fg(PInputFilter ifilter, PFilterGraph fg_src, int out_idx) {
  TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);
  TFilterGraphPriv* fgp = fgp_from_fg(ifilter->graph);
  TFilterGraphPriv* fgp_src = fgp_from_fg(fg_src);
  TOutputFilter* ofilter_src = fg_src->outputs[out_idx];
  TOutputFilterOptions opts{};
  char name[32];
  int ret;

  Platform::Check(!ifp->bound, CUnit, 1371);
  ifp->bound = 1;

  if (ifilter->type_ != ofilter_src->type_) {
    U::av_log(fgp, AV_LOG_ERROR, "Tried to connect %s output to %s input\n",
              MediaTypeName(ofilter_src->type_), MediaTypeName(ifilter->type_));
    return AVERROR(EINVAL);
  }

  ifp->type_src = ifilter->type_;

  std::snprintf(name, sizeof(name), "fg:%d:%d", ifilter->graph->index, ifilter->index);
  opts.name = name;

  // the input is named after the link, like inputs fed by streams and decoders
  U::av_freep(&ifp->opts.name);
  ifp->opts.name = U::av_strdup(name);
  if (!ifp->opts.name) return AVERROR(ENOMEM);

  ret = ofilter_bind_ifilter(ofilter_src, ifilter, &opts);
  if (ret < 0) return ret;

  return FFmpegSched::sch_connect(fgp->sch, SCH_FILTER_OUT(fgp_src->sch_idx, out_idx),
                                  SCH_FILTER_IN(fgp->sch_idx, ifilter->index));
}

int ofilter_bind_ifilter(POutputFilter ofilter, PInputFilter ifilter,
                         const TOutputFilterOptions* opts) {
  TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);

  Platform::Check(!ofilter->bound, CUnit, 1342);
  Platform::Check(ofilter->type_ == ifilter->type_, CUnit, 1343);

  ofilter->bound = 1;
  U::av_freep(&ofilter->linklabel);

  U::av_freep(&ofilter->name);
  ofilter->name = U::av_strdup(opts->name);
  if (!ofilter->name) return AVERROR(EINVAL);

  U::av_strlcatf(ofp->log_name, sizeof(ofp->log_name), ".%s", ofilter->name);
  ofp->bound_to_graph = 1;
  return 0;
}

int ofilter_bind_enc(POutputFilter ofilter, unsigned sched_idx_enc,
                     const TOutputFilterOptions* opts) {
  TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);
  TFilterGraph* fg = ofilter->graph;
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  int ret;

  Platform::Check(!ofilter->bound, CUnit, 1213);
  Platform::Check(!opts->enc || ofilter->type_ == opts->enc->type, CUnit, 1215);

  ofilter->bound = 1;
  U::av_freep(&ofilter->linklabel);

  ofp->flags = opts->flags;
  ofp->ts_offset = opts->ts_offset;
  ofp->enc_timebase = opts->output_tb;

  ofp->trim_start_us = opts->trim_start_us;
  ofp->trim_duration_us = opts->trim_duration_us;

  U::av_freep(&ofilter->name);
  ofilter->name = U::av_strdup(opts->name);
  if (!ofilter->name) return AVERROR(EINVAL);

  ret = U::av_dict_copy(&ofp->sws_opts, opts->sws_opts, 0);
  if (ret < 0) return ret;

  ret = U::av_dict_copy(&ofp->swr_opts, opts->swr_opts, 0);
  if (ret < 0) return ret;

  if (opts->flags & OFILTER_FLAG_AUDIO_24BIT) {
    ret = U::av_dict_set(&ofp->swr_opts, "output_sample_bits", "24", 0);
    if (ret < 0) return ret;
  }

  if (fgp->is_simple) {
    // the only output of a simple graph logs under the graph's own name
    ofp->log_parent = nullptr;
    U::av_strlcpy(ofp->log_name, fgp->log_name, sizeof(ofp->log_name));
  } else {
    U::av_strlcatf(ofp->log_name, sizeof(ofp->log_name), ".%s", ofilter->name);
  }

  switch (ofilter->type_) {
    case AVMEDIA_TYPE_VIDEO:
      ofp->width = opts->width;
      ofp->height = opts->height;
      if (opts->format != AV_PIX_FMT_NONE)
        ofp->format = opts->format;
      else
        ofp->formats = opts->formats;

      if (opts->color_space != AVCOL_SPC_UNSPECIFIED)
        ofp->color_space = opts->color_space;
      else
        ofp->color_spaces = opts->color_spaces;

      if (opts->color_range != AVCOL_RANGE_UNSPECIFIED)
        ofp->color_range = opts->color_range;
      else
        ofp->color_ranges = opts->color_ranges;

      fgp->disable_conversions |= !!(ofp->flags & OFILTER_FLAG_DISABLE_CONVERT);

      ofp->last_frame = U::av_frame_alloc();
      if (!ofp->last_frame) return AVERROR(ENOMEM);

      ofp->vsync_method = opts->vsync_method;
      ofp->framerate = opts->frame_rate;
      ofp->framerate_max = opts->max_frame_rate;
      ofp->framerate_supported = opts->frame_rates;

      // MPEG-4 part 2 stores the time base in 16-bit fields
      if (opts->enc && opts->enc->id == AV_CODEC_ID_MPEG4) ofp->framerate_clip = 65535;

      ofp->dup_warning = 1000;
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (opts->format != AV_SAMPLE_FMT_NONE)
        ofp->format = opts->format;
      else
        ofp->formats = opts->formats;

      if (opts->sample_rate)
        ofp->sample_rate = opts->sample_rate;
      else
        ofp->sample_rates = opts->sample_rates;

      if (opts->ch_layout.nb_channels) {
        ret = set_channel_layout(ofp, opts->ch_layouts, &opts->ch_layout);
        if (ret < 0) return ret;
      } else {
        ofp->ch_layouts = opts->ch_layouts;
      }
      break;
    default: break;
  }

  return FFmpegSched::sch_connect(fgp->sch, SCH_FILTER_OUT(fgp->sch_idx, ofilter->index),
                                  SCH_ENC(sched_idx_enc));
}

int check_filter_outputs(TBaseFFmpeg* Owner) {
  for (int i = 0; i < Owner->Fnb_filtergraphs; i++) {
    TFilterGraph* fg = Owner->Ffiltergraphs[i];
    for (int j = 0; j < fg->nb_outputs; j++) {
      TOutputFilter* output = fg->outputs[j];
      if (!output->bound) {
        U::av_log(fg, AV_LOG_FATAL, "Filter '%s' has output %d (%s) unconnected\n", output->name, j,
                  output->linklabel ? output->linklabel : "unlabeled");
        return AVERROR(EINVAL);
      }
    }
  }
  return 0;
}

int fg_finalise_bindings(TBaseFFmpeg* Owner) {
  for (int i = 0; i < Owner->Fnb_filtergraphs; i++) {
    TFilterGraph* fg = Owner->Ffiltergraphs[i];

    for (int j = 0; j < fg->nb_inputs; j++) {
      TInputFilter* ifilter = fg->inputs[j];
      if (ifp_from_ifilter(ifilter)->bound) continue;

      const int ret = fg_complex_bind_input(fg, ifilter);
      if (ret < 0) return ret;
    }
  }

  return check_filter_outputs(Owner);
}

void fg_free(PFilterGraph& pfg) {
  TFilterGraph* fg = pfg;
  if (!fg) return;
  TFilterGraphPriv* fgp = fgp_from_fg(fg);

  for (int j = 0; j < fg->nb_inputs; j++) {
    TInputFilter* ifilter = fg->inputs[j];
    TInputFilterPriv* ifp = ifp_from_ifilter(ifilter);

    if (ifp->frame_queue) {
      AVFrame* frame;
      while (U::av_fifo_read(ifp->frame_queue, &frame, 1) >= 0) U::av_frame_free(&frame);
      U::av_fifo_freep2(&ifp->frame_queue);
    }
    U::av_frame_free(&ifp->sub2video_frame);

    U::av_frame_free(&ifp->opts.fallback);
    U::av_frame_free(&ifp->frame);

    U::av_buffer_unref(&ifp->hw_frames_ctx);
    U::av_freep(&ifp->opts.name);
    U::av_freep(&ifilter->linklabel);
    U::av_frame_side_data_free(&ifp->side_data, &ifp->nb_side_data);
    U::av_channel_layout_uninit(&ifp->ch_layout);
    U::av_freep(&ifilter->name);
    U::av_freep(&ifilter->input_name);
    U::av_freep(&fg->inputs[j]);
  }
  U::av_freep(&fg->inputs);
  fg->nb_inputs = 0;

  for (int j = 0; j < fg->nb_outputs; j++) {
    TOutputFilter* ofilter = fg->outputs[j];
    TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);

    U::av_frame_free(&ofp->last_frame);
    U::av_dict_free(&ofp->sws_opts);
    U::av_dict_free(&ofp->swr_opts);

    U::av_freep(&ofilter->linklabel);
    U::av_freep(&ofilter->name);
    U::av_freep(&ofilter->output_name);
    U::av_freep(&ofilter->apad);
    U::av_channel_layout_uninit(&ofp->ch_layout);
    U::av_frame_side_data_free(&ofp->side_data, &ofp->nb_side_data);
    U::av_freep(&fg->outputs[j]);
  }
  U::av_freep(&fg->outputs);
  fg->nb_outputs = 0;

  U::av_freep(&fg->graph_desc);

  U::av_frame_free(&fgp->frame);
  U::av_frame_free(&fgp->frame_enc);

  U::av_freep(&pfg);
}

bool ifilter_has_all_input_formats(TFilterGraph* fg) {
  for (int i = 0; i < fg->nb_inputs; i++) {
    const TInputFilterPriv* ifp = ifp_from_ifilter(fg->inputs[i]);
    if (ifp->format < 0) return false;
  }
  return true;
}

bool filtergraph_is_simple(const TFilterGraph* fg) {
  return reinterpret_cast<const TFilterGraphPriv*>(fg)->is_simple != 0;
}

// ---- Configuration --------------------------------------------------------------------------

void cleanup_filtergraph(TFilterGraph* fg, TFilterGraphThread* fgt) {
  for (int i = 0; i < fg->nb_outputs; i++) fg->outputs[i]->filter = nullptr;
  for (int i = 0; i < fg->nb_inputs; i++) fg->inputs[i]->filter = nullptr;
  F::avfilter_graph_free(&fgt->graph);
}

int configure_filtergraph(TBaseFFmpeg* Owner, TFilterGraph* fg, TFilterGraphThread* fgt) {
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  AVBufferRef* hw_device;
  AVFilterInOut *inputs = nullptr, *outputs = nullptr, *cur;
  const bool simple = filtergraph_is_simple(fg);
  int ret, i;
  bool have_input_eof = false;
  const char* graph_desc = fg->graph_desc;

  cleanup_filtergraph(fg, fgt);
  fgt->graph = F::avfilter_graph_alloc();
  if (!fgt->graph) return AVERROR(ENOMEM);

  if (simple) {
    TOutputFilterPriv* ofp = ofp_from_ofilter(fg->outputs[0]);

    if (Owner->Ffilter_nbthreads) {
      ret = U::av_opt_set(fgt->graph, "threads", Owner->Ffilter_nbthreads, 0);
      if (ret < 0) goto fail;
    } else if (fgp->nb_threads >= 0) {
      ret = U::av_opt_set_int(fgt->graph, "threads", fgp->nb_threads, 0);
      if (ret < 0) goto fail;
    }

    if (U::av_dict_count(ofp->sws_opts)) {
      const std::string args = DictToString(ofp->sws_opts, ':');
      U::av_freep(&fgt->graph->scale_sws_opts);
      fgt->graph->scale_sws_opts = U::av_strdup(args.c_str());
      if (!fgt->graph->scale_sws_opts) {
        ret = AVERROR(ENOMEM);
        goto fail;
      }
    }

    if (U::av_dict_count(ofp->swr_opts)) {
      const std::string args = DictToString(ofp->swr_opts, ':');
      ret = U::av_opt_set(fgt->graph, "aresample_swr_opts", args.c_str(), 0);
      if (ret < 0) goto fail;
    }
  } else {
    fgt->graph->nb_threads = Owner->Ffilter_complex_nbthreads;
  }

  if (Owner->Ffilter_buffered_frames) {
    ret = U::av_opt_set_int(fgt->graph, "max_buffered_frames", Owner->Ffilter_buffered_frames, 0);
    if (ret < 0) goto fail;
  }

  hw_device = FFmpegHW::hw_device_for_filter(Owner, Owner->Ffilter_hw_device);

  ret = graph_parse(fg, fgt->graph, graph_desc, &inputs, &outputs, hw_device);
  if (ret < 0) goto fail;

  for (cur = inputs, i = 0; cur; cur = cur->next, i++) {
    if (i >= fg->nb_inputs) {
      ret = AVERROR_BUG;
      goto fail;
    }
    ret = configure_input_filter(fg, fgt->graph, fg->inputs[i], cur);
    if (ret < 0) goto fail;
  }
  F::avfilter_inout_free(&inputs);

  for (cur = outputs, i = 0; cur; cur = cur->next, i++) {
    if (i >= fg->nb_outputs) {
      ret = AVERROR_BUG;
      goto fail;
    }
    ret = configure_output_filter(fg, fgt->graph, fg->outputs[i], cur);
    if (ret < 0) goto fail;
  }
  F::avfilter_inout_free(&outputs);

  if (fgp->disable_conversions) F::avfilter_graph_set_auto_convert(fgt->graph, AVFILTER_AUTO_CONVERT_NONE);
  ret = F::avfilter_graph_config(fgt->graph, nullptr);
  if (ret < 0) goto fail;

  fgp->is_meta = graph_is_meta(fgt->graph);

  // What the sinks settled on becomes the outputs' fixed wish: a later reconfiguration
  // must hand the consumer (an encoder opened with these values) the same format.
  for (i = 0; i < fg->nb_outputs; i++) {
    TOutputFilter* ofilter = fg->outputs[i];
    TOutputFilterPriv* ofp = ofp_from_ofilter(ofilter);
    AVFilterContext* sink = ofilter->filter;

    ofp->format = F::av_buffersink_get_format(sink);
    ofp->width = F::av_buffersink_get_w(sink);
    ofp->height = F::av_buffersink_get_h(sink);
    ofp->color_space = F::av_buffersink_get_colorspace(sink);
    ofp->color_range = F::av_buffersink_get_color_range(sink);

    // Tentative timing, not locked: used only when the output never gets a frame (the
    // empty frame of close_output carries it).
    if (!ofp->tb_out_locked) {
      const AVRational fr = F::av_buffersink_get_frame_rate(sink);
      if (!(ofp->framerate.num > 0 && ofp->framerate.den > 0) && fr.num > 0 && fr.den > 0)
        ofp->framerate = fr;
      ofp->tb_out = F::av_buffersink_get_time_base(sink);
    }
    ofp->sample_aspect_ratio = F::av_buffersink_get_sample_aspect_ratio(sink);

    ofp->sample_rate = F::av_buffersink_get_sample_rate(sink);
    U::av_channel_layout_uninit(&ofp->ch_layout);
    ret = F::av_buffersink_get_ch_layout(sink, &ofp->ch_layout);
    if (ret < 0) goto fail;

    U::av_frame_side_data_free(&ofp->side_data, &ofp->nb_side_data);
    int nb_sd = 0;
    const AVFrameSideData* const* sd = F::av_buffersink_get_side_data(sink, &nb_sd);
    for (int j = 0; j < nb_sd; j++) {
      ret = U::av_frame_side_data_clone(&ofp->side_data, &ofp->nb_side_data, sd[j], 0);
      if (ret < 0) {
        U::av_frame_side_data_free(&ofp->side_data, &ofp->nb_side_data);
        goto fail;
      }
    }
  }

  for (i = 0; i < fg->nb_inputs; i++) {
    TInputFilterPriv* ifp = ifp_from_ifilter(fg->inputs[i]);
    AVFrame* tmp;
    while (U::av_fifo_read(ifp->frame_queue, &tmp, 1) >= 0) {
      if (ifp->type_src == AVMEDIA_TYPE_SUBTITLE) {
        ret = sub2video_frame(ifp, tmp, !fgt->graph);
      } else {
        // The frame waited in its own time base, which the input's need not be (a
        // forced input frame rate, or an input whose parameters came from another
        // frame): carry its timestamps over as send_frame does.
        if (TbValid(tmp->time_base) && TbValid(ifp->time_base) &&
            av_cmp_q(tmp->time_base, ifp->time_base)) {
          tmp->pts = U::av_rescale_q(tmp->pts, tmp->time_base, ifp->time_base);
          tmp->duration = U::av_rescale_q(tmp->duration, tmp->time_base, ifp->time_base);
          tmp->time_base = ifp->time_base;
        }
        if (ifp->type_src == AVMEDIA_TYPE_VIDEO && ifp->displaymatrix_applied)
          U::av_frame_remove_side_data(tmp, AV_FRAME_DATA_DISPLAYMATRIX);
        ret = F::av_buffersrc_add_frame(ifp->ifilter.filter, tmp);
      }
      U::av_frame_free(&tmp);
      if (ret < 0) goto fail;
    }
  }

  // inputs that ended before this graph existed end in it too
  for (i = 0; i < fg->nb_inputs; i++) {
    if (fgt->eof_in[i]) {
      ret = F::av_buffersrc_add_frame(fg->inputs[i]->filter, nullptr);
      if (ret < 0) goto fail;
      have_input_eof = true;
    }
  }

  if (have_input_eof) {
    // one request carries those ends through to the sinks
    ret = request_frame(fg, fgt);
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) goto fail;
  }

  return 0;
fail:
  F::avfilter_inout_free(&inputs);
  F::avfilter_inout_free(&outputs);
  cleanup_filtergraph(fg, fgt);
  return ret;
}

// ---- Run time -------------------------------------------------------------------------------

int fg_thread_init(TFilterGraphThread* fgt, const TFilterGraph* fg) {
  *fgt = TFilterGraphThread{};

  fgt->frame = U::av_frame_alloc();
  if (!fgt->frame) goto fail;

  fgt->eof_in = static_cast<std::uint8_t*>(U::av_calloc(fg->nb_inputs + 1, sizeof(*fgt->eof_in)));
  if (!fgt->eof_in) goto fail;

  fgt->eof_out = static_cast<std::uint8_t*>(U::av_calloc(fg->nb_outputs + 1, sizeof(*fgt->eof_out)));
  if (!fgt->eof_out) goto fail;

  return 0;
fail:
  fg_thread_uninit(fgt);
  return AVERROR(ENOMEM);
}

void fg_thread_uninit(TFilterGraphThread* fgt) {
  U::av_frame_free(&fgt->frame);
  U::av_freep(&fgt->eof_in);
  U::av_freep(&fgt->eof_out);
  F::avfilter_graph_free(&fgt->graph);
  *fgt = TFilterGraphThread{};
}

int choose_out_timebase(TOutputFilterPriv* ofp, AVFrame* frame) {
  TOutputFilter* ofilter = &ofp->ofilter;
  AVRational tb{0, 0};
  AVRational fr;

  if (ofp->enc_timebase.num > 0) {
    tb = ofp->enc_timebase;
  } else if (ofp->enc_timebase.num == ENC_TIME_BASE_DEMUX) {
    const TFrameData* fd = FFmpeg::frame_data_c(frame);
    if (!fd || !TbValid(fd->dec.tb)) {
      U::av_log(ofp, AV_LOG_ERROR,
                "Demuxing timebase not available - cannot use it for encoding\n");
      return AVERROR(EINVAL);
    }
    tb = fd->dec.tb;
  } else if (ofp->enc_timebase.num == ENC_TIME_BASE_FILTER) {
    tb = frame->time_base;
  }

  if (ofilter->type_ == AVMEDIA_TYPE_AUDIO) {
    if (!TbValid(tb)) tb = AVRational{1, frame->sample_rate};
    goto finish;
  }

  fr = ofp->framerate;
  if (!fr.num && ofilter->filter) {
    const AVRational fr_sink = F::av_buffersink_get_frame_rate(ofilter->filter);
    if (fr_sink.num > 0 && fr_sink.den > 0) fr = fr_sink;
  }

  if (ofp->vsync_method == VSYNC_CFR || ofp->vsync_method == VSYNC_VSCFR) {
    if (!fr.num && !ofp->framerate_max.num) {
      fr = AVRational{25, 1};
      U::av_log(ofp, AV_LOG_WARNING,
                "No information about the input framerate is available. Falling back to a "
                "default value of 25fps. Use the -r option if you want a different "
                "framerate.\n");
    }

    if (ofp->framerate_max.num && (av_q2d(fr) > av_q2d(ofp->framerate_max) || !fr.den))
      fr = ofp->framerate_max;
  }

  if (fr.num > 0 && fr.den > 0) {
    if (ofp->framerate_supported) {
      const int idx = U::av_find_nearest_q_idx(fr, ofp->framerate_supported);
      fr = ofp->framerate_supported[idx];
    }
    if (ofp->framerate_clip) U::av_reduce(&fr.num, &fr.den, fr.num, fr.den, ofp->framerate_clip);
  }

  // Both fallbacks apply whatever is known of the frame rate: without a usable rate the
  // frame's own time base still gives the encoder a valid one.
  if (!TbValid(tb)) tb = av_inv_q(fr);
  if (!TbValid(tb)) tb = frame->time_base;

  ofp->framerate = fr;
finish:
  ofp->tb_out = tb;
  ofp->tb_out_locked = 1;

  return 0;
}

double adjust_frame_pts_to_encoder_tb(TBaseFFmpeg* Owner, AVFrame* frame, AVRational tb_dst,
                                      std::int64_t start_time) {
  double float_pts = AV_NOPTS_VALUE;  // the new pts with its fraction kept

  const AVRational tb = frame->time_base;
  AVRational filter_tb = tb;

  if (frame->pts != AV_NOPTS_VALUE) {
    const int extra_bits = av_clip(29 - U::av_log2(tb_dst.den), 0, 16);

    filter_tb = tb_dst;
    filter_tb.den <<= extra_bits;
    float_pts = static_cast<double>(U::av_rescale_q(frame->pts, tb, filter_tb) -
                                    U::av_rescale_q(start_time, AV_TIME_BASE_Q, filter_tb));
    float_pts /= 1 << extra_bits;
    // a value with a fraction is nudged away from zero so that it never sits exactly
    // on a rounding midpoint
    if (float_pts != std::llrint(float_pts)) float_pts += FFSIGN(float_pts) * 1.0 / (1 << 17);

    frame->pts = U::av_rescale_q(frame->pts, tb, tb_dst) - U::av_rescale_q(start_time, AV_TIME_BASE_Q, tb_dst);
    frame->time_base = tb_dst;
  }

  if (Owner && Owner->Fdebug_ts)
    U::av_log(nullptr, AV_LOG_INFO, "filter -> pts:%s pts_time:%s exact:%f time_base:%d/%d\n",
              TsStr(frame->pts).c_str(), TsTimeStr(frame->pts, tb_dst).c_str(), float_pts,
              tb_dst.num, tb_dst.den);

  return float_pts;
}

void video_sync_process(TOutputFilterPriv* ofp, AVFrame* frame, std::int64_t& nb_frames,
                        std::int64_t& nb_frames_prev) {
  TOutputFilter* ofilter = &ofp->ofilter;
  TBaseFFmpeg* Owner = ofilter->graph->Owner;
  double delta0, delta, sync_ipts, duration;

  if (!frame) {
    nb_frames_prev = nb_frames =
        MyUtils::mid_pred(ofp->frames_prev_hist[0], ofp->frames_prev_hist[1], ofp->frames_prev_hist[2]);

    if (!nb_frames && ofp->last_dropped) {
      atomic_fetch_add(ofilter->nb_frames_drop, 1);
      ofp->last_dropped++;
    }

    goto finish;
  }

  duration = frame->duration * av_q2d(frame->time_base) / av_q2d(ofp->tb_out);

  sync_ipts = adjust_frame_pts_to_encoder_tb(Owner, frame, ofp->tb_out, ofp->ts_offset);
  // delta0: how far this frame lies after the next output slot; delta: the same for
  // the frame's end.
  delta0 = sync_ipts - ofp->next_pts;
  delta = delta0 + duration;

  // one copy unless the method says otherwise
  nb_frames = 1;
  nb_frames_prev = 0;

  if (delta0 < 0 && delta > 0 && ofp->vsync_method != VSYNC_PASSTHROUGH &&
      ofp->vsync_method != VSYNC_DROP) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.6f", -delta0);
    if (delta0 < -0.6)
      U::av_log(ofp, AV_LOG_VERBOSE, "Past duration %s too large\n", buf);
    else
      U::av_log(ofp, AV_LOG_DEBUG, "Clipping frame in rate conversion by %s\n", buf);
    sync_ipts = static_cast<double>(ofp->next_pts);
    duration += delta0;
    delta0 = 0;
  }

  switch (ofp->vsync_method) {
    case VSYNC_VSCFR:
      if (ofp->frame_number == 0 && delta0 >= 0.5) {
        U::av_log(ofp, AV_LOG_DEBUG, "Not duplicating %d initial frames\n",
                  static_cast<int>(std::lrint(delta0)));
        delta = duration;
        delta0 = 0;
        ofp->next_pts = std::llrint(sync_ipts);
      }
      [[fallthrough]];
    case VSYNC_CFR:
      // a frame ending too soon after the last one sent is dropped when asked for
      if (Owner->Fframe_drop_threshold && delta < Owner->Fframe_drop_threshold &&
          ofp->frame_number) {
        nb_frames = 0;
      } else if (delta < -1.1) {
        nb_frames = 0;
      } else if (delta > 1.1) {
        nb_frames = std::llrint(delta);
        if (delta0 > 1.1) nb_frames_prev = std::llrint(delta0 - 0.6);
      }
      frame->duration = 1;
      break;
    case VSYNC_VFR:
      if (delta <= -0.6)
        nb_frames = 0;
      else if (delta > 0.6)
        ofp->next_pts = std::llrint(sync_ipts);
      frame->duration = std::llrint(duration);
      break;
    case VSYNC_DROP:
    case VSYNC_PASSTHROUGH:
      ofp->next_pts = std::llrint(sync_ipts);
      frame->duration = std::llrint(duration);
      break;
    default: throw CmdUtils::FFmpegException("Never occur");
  }

finish:
  std::memmove(ofp->frames_prev_hist + 1, ofp->frames_prev_hist,
               sizeof(ofp->frames_prev_hist[0]) * (FF_ARRAY_ELEMS(ofp->frames_prev_hist) - 1));
  ofp->frames_prev_hist[0] = nb_frames_prev;

  if (nb_frames_prev == 0 && ofp->last_dropped) {
    atomic_fetch_add(ofilter->nb_frames_drop, 1);
    Owner->FShowDupOrDrop = 1;
    U::av_log(ofp, AV_LOG_VERBOSE, "*** dropping frame %" PRId64 " at ts %" PRId64 "\n",
              ofp->frame_number, ofp->last_frame ? ofp->last_frame->pts : AV_NOPTS_VALUE);
  }
  if (nb_frames > (nb_frames_prev && ofp->last_dropped) + (nb_frames > nb_frames_prev)) {
    // A hold is filled with copies up to the dts error threshold: that one says how far
    // timestamps may jump before they are considered broken. (The much smaller delta
    // threshold would drop every frame after a pause of a few seconds.)
    if (nb_frames > Owner->Fdts_error_threshold * 30) {
      U::av_log(ofp, AV_LOG_ERROR, "%" PRId64 " frame duplication too large, skipping\n",
                nb_frames - 1);
      atomic_fetch_add(ofilter->nb_frames_drop, 1);
      nb_frames = 0;
      return;
    }
    const std::int64_t dups_before = atomic_fetch_add(
        ofilter->nb_frames_dup,
        nb_frames - (nb_frames_prev && ofp->last_dropped) - (nb_frames > nb_frames_prev));
    Owner->FShowDupOrDrop = 1;
    U::av_log(ofp, AV_LOG_VERBOSE, "*** %" PRId64 " dup!\n", nb_frames - 1);
    if (dups_before > static_cast<std::int64_t>(ofp->dup_warning)) {
      U::av_log(ofp, AV_LOG_WARNING, "More than %" PRIu64 " frames duplicated\n", ofp->dup_warning);
      ofp->dup_warning *= 10;
    }
  }

  ofp->last_dropped = nb_frames == nb_frames_prev && frame;
  ofp->dropped_keyframe |= ofp->last_dropped && frame && (frame->flags & AV_FRAME_FLAG_KEY);
}

int fg_output_frame(TOutputFilterPriv* ofp, TFilterGraphThread* fgt, AVFrame* frame) {
  TOutputFilter* ofilter = &ofp->ofilter;
  TFilterGraphPriv* fgp = fgp_from_fg(ofilter->graph);
  AVFrame* frame_prev = ofp->last_frame;
  const AVMediaType type = ofilter->type_;

  std::int64_t nb_frames = !!frame, nb_frames_prev = 0;

  if (type == AVMEDIA_TYPE_VIDEO && (frame || fgt->got_frame))
    video_sync_process(ofp, frame, nb_frames, nb_frames_prev);

  for (std::int64_t i = 0; i < nb_frames; i++) {
    AVFrame* frame_out;
    int ret;

    if (type == AVMEDIA_TYPE_VIDEO) {
      AVFrame* frame_in = (i < nb_frames_prev && frame_prev && frame_prev->buf[0]) ? frame_prev : frame;
      if (!frame_in) break;

      frame_out = fgp->frame_enc;
      ret = U::av_frame_ref(frame_out, frame_in);
      if (ret < 0) return ret;

      frame_out->pts = ofp->next_pts;

      if (ofp->dropped_keyframe) {
        frame_out->flags |= AV_FRAME_FLAG_KEY;
        ofp->dropped_keyframe = 0;
      }
    } else {
      frame->pts = (frame->pts == AV_NOPTS_VALUE)
                       ? ofp->next_pts
                       : U::av_rescale_q(frame->pts, frame->time_base, ofp->tb_out) -
                             U::av_rescale_q(ofp->ts_offset, AV_TIME_BASE_Q, ofp->tb_out);

      frame->time_base = ofp->tb_out;
      frame->duration =
          U::av_rescale_q(frame->nb_samples, AVRational{1, frame->sample_rate}, ofp->tb_out);

      ofp->next_pts = frame->pts + frame->duration;

      frame_out = frame;
    }

    ret = FFmpegSched::sch_filter_send(fgp->sch, fgp->sch_idx, ofilter->index, frame_out);
    if (ret < 0) {
      U::av_frame_unref(frame_out);

      if (!fgt->eof_out[ofilter->index]) {
        fgt->eof_out[ofilter->index] = 1;
        fgp->nb_outputs_done++;
      }

      return ret == AVERROR_EOF ? 0 : ret;
    }

    if (type == AVMEDIA_TYPE_VIDEO) {
      ofp->frame_number++;
      ofp->next_pts++;

      if (i == nb_frames_prev && frame) frame->flags &= ~AV_FRAME_FLAG_KEY;
    }

    fgt->got_frame = 1;
  }

  // Only outputs with frame-rate conversion keep the previous frame (audio outputs and
  // outputs into other graphs have none).
  if (frame && frame_prev) {
    U::av_frame_unref(frame_prev);
    U::av_frame_move_ref(frame_prev, frame);
  }

  if (!frame) return close_output(ofp, fgt);

  return 0;
}

namespace {

int filter_thread_body(TFilterGraph* fg, TFilterGraphThread& fgt) {
  TFilterGraphPriv* fgp = fgp_from_fg(fg);
  TInputFilterPriv* ifp = nullptr;
  int ret;

  // inputs bound to streams of known format let the graph be built before any frame
  if (ifilter_has_all_input_formats(fg)) {
    ret = configure_filtergraph(fg->Owner, fg, &fgt);
    if (ret < 0) {
      U::av_log(fg, AV_LOG_ERROR, "Error configuring filter graph: %s\n", ErrText(ret).c_str());
      return ret;
    }
  }

  while (true) {
    unsigned input_idx = fgt.next_in;

    ret = FFmpegSched::sch_filter_receive(fgp->sch, fgp->sch_idx, input_idx, fgt.frame);
    if (ret == AVERROR_EOF) {
      U::av_log(fg, AV_LOG_VERBOSE, "Filtering thread received EOF\n");
      break;
    } else if (ret == AVERROR(EAGAIN)) {
      // the graph may run without input now
      Platform::Check(fgt.next_in == static_cast<unsigned>(fg->nb_inputs), CUnit, 4210);
      ifp = nullptr;
    } else {
      Platform::Check(ret >= 0, CUnit, 4213);

      ifp = ifp_from_ifilter(fg->inputs[input_idx]);
      const std::intptr_t mark = reinterpret_cast<std::intptr_t>(fgt.frame->opaque);

      if (ifp->type_src == AVMEDIA_TYPE_SUBTITLE) {
        const bool keep = fgt.frame->buf[0] || mark == FRAME_OPAQUE_SUB_HEARTBEAT;
        ret = sub2video_frame(ifp, keep ? fgt.frame : nullptr, !fgt.graph);
        // The end of a subtitle stream is remembered like that of other inputs: a graph
        // configured later (or again) closes this source as well, instead of waiting
        // forever for canvases - and holding back every frame of the other inputs.
        if (!keep) fgt.eof_in[input_idx] = 1;
      } else if (fgt.frame->buf[0]) {
        ret = send_frame(fg, &fgt, &ifp->ifilter, fgt.frame);
      } else {
        // a frame without data ends its input
        ret = send_eof(&fgt, &ifp->ifilter, fgt.frame->pts, fgt.frame->time_base);
      }
      U::av_frame_unref(fgt.frame);
      if (ret == AVERROR_EOF) {
        U::av_log(fg, AV_LOG_VERBOSE, "Input %u no longer accepts new data\n", input_idx);
        FFmpegSched::sch_filter_receive_finish(fgp->sch, fgp->sch_idx, input_idx);
        continue;
      }
      if (ret < 0) return ret;
    }

    ret = read_frames(fg, &fgt, fgt.frame);
    if (ret == AVERROR_EOF) {
      U::av_log(fg, AV_LOG_VERBOSE, "All consumers returned EOF\n");
      if (ifp && (ifp->opts.flags & IFILTER_FLAG_DROPCHANGED))
        U::av_log(fg, AV_LOG_INFO, "Total changed input frames dropped : %" PRId64 "\n",
                  static_cast<std::int64_t>(ifp->nb_dropped));
      break;
    } else if (ret < 0) {
      U::av_log(fg, AV_LOG_ERROR, "Error sending frames to consumers: %s\n", ErrText(ret).c_str());
      return ret;
    }
  }

  // flush what the graph still holds
  for (int i = 0; i < fg->nb_outputs; i++) {
    TOutputFilterPriv* ofp = ofp_from_ofilter(fg->outputs[i]);

    if (fgt.eof_out[i] || !fgt.graph) continue;

    ret = fg_output_frame(ofp, &fgt, nullptr);
    if (ret < 0) return ret;
  }

  return 0;
}

}  // namespace

int filter_thread(void* arg) {
  TFilterGraph* fg = static_cast<TFilterGraph*>(arg);
  TFilterGraphThread fgt{};
  int ret;

  ret = fg_thread_init(&fgt, fg);
  if (ret < 0) return ret;

  try {
    ret = filter_thread_body(fg, fgt);
  } catch (...) {
    // the scheduler reports the exception; the graph's state is released here
    cleanup_filtergraph(fg, &fgt);
    fg_thread_uninit(&fgt);
    throw;
  }

  cleanup_filtergraph(fg, &fgt);
  fg_thread_uninit(&fgt);

  // the end of the inputs or outputs is a normal end
  if (ret == AVERROR_EOF) ret = 0;
  return ret;
}

}  // namespace FFmpegFilter
