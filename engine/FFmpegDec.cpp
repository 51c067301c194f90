// Threads and ownership
//
// A decoder is built on the parsing thread (dec_alloc, dec_open, dec_create, the view
// requests of filter binding) before the scheduler starts; from then on the record
// belongs to its decoder thread alone: packets come in and frames go out only through
// the scheduler's queues, and the codec callbacks (get_format, get_buffer) run inside
// the codec on that same thread. No lock of this unit guards the record.
//
// The one lock taken here is the task's FHookLock: the decode-side hook handlers of a
// task are called one at a time (the host's handlers need not be re-entrant), and the
// input-side hook fields, which a handler may clear by asking to stop, are read and
// written under it. FHookLock is taken outside the locks that the task's DoVideoHook
// takes; nothing of this unit is held while it waits for it.
//
// The hook picture and converter belong to the decoder, not to the task: two decoders
// running their hooks at once never share a buffer, and the hooked picture is written
// back into the frame's own (writable) buffer, so a frame queued downstream never
// points into memory that the next frame overwrites.
#include "engine/FFmpegDec.h"
#include "engine/FFmpegDecInternal.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/stereo3d.h>
}

#include "engine/FFmpeg.h"
#include "engine/FFmpegEnc.h"
#include "engine/FormatConvert.h"
#include "platform/Exception.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFPtr.h"
#include "runtime/FFmpegHW.h"
#include "runtime/FFUtils.h"

namespace FFmpegDec {

using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_decode_subtitle2;
using AVCodecStubs::avcodec_default_get_buffer2;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_find_decoder_by_name;
using AVCodecStubs::avcodec_flush_buffers;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_get_hw_config;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_to_context;
using AVCodecStubs::avcodec_receive_frame;
using AVCodecStubs::avcodec_send_packet;
using AVCodecStubs::avsubtitle_free;
using AVUtilStubs::av_buffer_create;
using AVUtilStubs::av_calloc;
using AVUtilStubs::av_buffer_ref;
using AVUtilStubs::av_buffer_unref;
using AVUtilStubs::av_channel_layout_copy;
using AVUtilStubs::av_compare_ts;
using AVUtilStubs::av_dict_copy;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_apply_cropping;
using AVUtilStubs::av_frame_copy_props;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_get_side_data;
using AVUtilStubs::av_frame_make_writable;
using AVUtilStubs::av_frame_move_ref;
using AVUtilStubs::av_frame_ref;
using AVUtilStubs::av_frame_side_data_free;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_gcd;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_hwframe_transfer_data;
using AVUtilStubs::av_log;
using AVUtilStubs::av_malloc;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_memdup;
using AVUtilStubs::av_opt_get_array;
using AVUtilStubs::av_opt_get_array_size;
using AVUtilStubs::av_opt_set_array;
using AVUtilStubs::av_opt_set_dict2;
using AVUtilStubs::av_pix_fmt_desc_get;
using AVUtilStubs::av_rescale;
using AVUtilStubs::av_rescale_delta;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_rescale_q_rnd;
using AVUtilStubs::av_strdup;
using AVUtilStubs::av_ts_make_time_string2;
using CmdUtils::ff_log_async;
using CmdUtils::print_error;
using FFmpeg::TCustomFFmpeg;
using FFmpegHeader::PHWDevice;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TFrameData;
using FFmpegSched::SCH_DEC_IN;
using FFmpegSched::SCH_DEC_OUT;
using FFmpegSched::SCH_ENC;

namespace {

const char* const CUnit = "FFmpegDec";

// ---- Log class ------------------------------------------------------------------------------

const char* DecItemName(void* ACtx) { return static_cast<TDecoderPriv*>(ACtx)->log_name; }

AVClass MakeDecoderClass() {
  AVClass c{};
  c.class_name = "Decoder";
  c.item_name = DecItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.parent_log_context_offset = static_cast<int>(offsetof(TDecoderPriv, log_parent));
  c.category = AV_CLASS_CATEGORY_DECODER;
  return c;
}

const AVClass CDecoderClass = MakeDecoderClass();

// ---- Small helpers --------------------------------------------------------------------------

TBaseFFmpeg* Task(const TDecoderPriv* dp) { return dp->Owner; }

bool ExitOnError(const TDecoderPriv* dp) { return dp->Owner && dp->Owner->Fexit_on_error; }

std::string ErrText(int AErr) { return print_error(AErr); }

using FFUtils::TsStr;
using FFUtils::TsTimeStr;

// The names of AVStereo3DView values (packed, left, right, unspecified).
const char* ViewPosName(std::uint32_t APos) {
  static const char* const CNames[] = {"packed", "left", "right", "unspecified"};
  return APos < 4 ? CNames[APos] : "unknown";
}

void LogTask(TDecoderPriv* dp, FFLoad::TLogLevel ALevel, const char* AText) {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(dp->Owner, ALevel, std::string(AText));
}

void dec_free_priv(TDecoderPriv*& dp) {
  if (!dp) return;
  avcodec_free_context(&dp->dec_ctx);
  av_frame_free(&dp->frame);
  av_frame_free(&dp->frame_tmp_ref);
  av_packet_free(&dp->pkt);
  AVUtilStubs::av_dict_free(&dp->standalone_opts);
  for (AVFrame*& f : dp->sub_prev) av_frame_free(&f);
  av_frame_free(&dp->sub_heartbeat);
  av_freep(&dp->parent_name);
  av_freep(&dp->views_requested);
  av_freep(&dp->view_map);
  av_freep(&dp->hook_picture);
  delete dp->hook_converter;
  dp->hook_converter = nullptr;
  av_freep(&dp);
}

// ---- Codec callbacks --------------------------------------------------------------------------

// Rebuilds view_map from the views the decoder offers and those the filters asked for,
// and tells the decoder which views to output.
int multiview_setup(TDecoderPriv* dp, AVCodecContext* dec_ctx) {
  const int nb_req = dp->nb_views_requested;
  if (nb_req == 0 || (nb_req == 1 && dp->views_requested[0].vs.type_ ==
                                          FFmpegHeader::VIEW_SPECIFIER_TYPE_IDX &&
                      dp->views_requested[0].vs.val == 0))
    return 0;

  av_freep(&dp->view_map);
  dp->nb_view_map = 0;

  unsigned nb_views = 0;
  int ret = av_opt_get_array_size(dec_ctx, "view_ids_available", AV_OPT_SEARCH_CHILDREN,
                                  &nb_views);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR,
           "Multiview decoding requested, but decoder '%s' does not support it\n",
           dec_ctx->codec->name);
    return AVERROR(ENOSYS);
  }
  if (nb_views >= static_cast<unsigned>(CMaxViews)) {
    av_log(dp, AV_LOG_ERROR, "Too many views in video: %u\n", nb_views);
    return AVERROR(ENOSYS);
  }

  unsigned view_ids[CMaxViews] = {};
  unsigned view_pos[CMaxViews] = {};
  bool have_pos = false;
  if (nb_views == 0) {
    // a decoder that lists no views outputs one, of id 0 and unknown position
    nb_views = 1;
    view_ids[0] = 0;
    view_pos[0] = AV_STEREO3D_VIEW_UNSPEC;
    have_pos = true;
  } else {
    ret = av_opt_get_array(dec_ctx, "view_ids_available", AV_OPT_SEARCH_CHILDREN, 0, nb_views,
                           AV_OPT_TYPE_UINT, view_ids);
    if (ret < 0) return ret;
    unsigned nb_pos = 0;
    ret = av_opt_get_array_size(dec_ctx, "view_pos_available", AV_OPT_SEARCH_CHILDREN, &nb_pos);
    if (ret >= 0 && nb_pos == nb_views) {
      ret = av_opt_get_array(dec_ctx, "view_pos_available", AV_OPT_SEARCH_CHILDREN, 0, nb_views,
                             AV_OPT_TYPE_UINT, view_pos);
      have_pos = ret >= 0;
    }
  }

  std::uintptr_t masks[CMaxViews] = {};
  const bool strict = ExitOnError(dp);
  const int level = strict ? AV_LOG_ERROR : AV_LOG_WARNING;
  for (int i = 0; i < nb_req; i++) {
    const TViewRequest& vr = dp->views_requested[i];
    const std::uintptr_t bit = std::uintptr_t(1) << vr.out_idx;
    int sel = -1;
    switch (vr.vs.type_) {
      case FFmpegHeader::VIEW_SPECIFIER_TYPE_IDX:
        if (vr.vs.val >= nb_views) {
          av_log(dp, level,
                 "View with index %u requested, but only %u views available in current video "
                 "sequence (more views may or may not be available in later sequences).\n",
                 vr.vs.val, nb_views);
          if (strict) return AVERROR(EINVAL);
          continue;
        }
        sel = static_cast<int>(vr.vs.val);
        break;
      case FFmpegHeader::VIEW_SPECIFIER_TYPE_ID:
        for (unsigned j = 0; j < nb_views; j++)
          if (view_ids[j] == vr.vs.val) {
            sel = static_cast<int>(j);
            break;
          }
        if (sel < 0) {
          av_log(dp, level, "View with ID %u requested, but is not available in the video sequence\n",
                 vr.vs.val);
          if (strict) return AVERROR(EINVAL);
          continue;
        }
        break;
      case FFmpegHeader::VIEW_SPECIFIER_TYPE_POS:
        if (have_pos)
          for (unsigned j = 0; j < nb_views; j++)
            if (view_pos[j] == vr.vs.val) {
              sel = static_cast<int>(j);
              break;
            }
        if (sel < 0) {
          av_log(dp, level,
                 "View position '%s' requested, but is not available in the video sequence\n",
                 ViewPosName(vr.vs.val));
          if (strict) return AVERROR(EINVAL);
          continue;
        }
        break;
      case FFmpegHeader::VIEW_SPECIFIER_TYPE_ALL:
        for (unsigned j = 0; j < nb_views; j++) masks[j] |= bit;
        continue;
      default:
        continue;
    }
    masks[sel] |= bit;
  }

  int nb_sel = 0;
  for (unsigned j = 0; j < nb_views; j++)
    if (masks[j]) nb_sel++;
  if (!nb_sel) {
    av_log(dp, AV_LOG_ERROR, "No views were selected for decoding\n");
    return AVERROR(EINVAL);
  }

  dp->view_map = static_cast<TViewMapEntry*>(av_mallocz(sizeof(TViewMapEntry) * nb_sel));
  if (!dp->view_map) return AVERROR(ENOMEM);
  unsigned sel_ids[CMaxViews] = {};
  for (unsigned j = 0; j < nb_views; j++) {
    if (!masks[j]) continue;
    sel_ids[dp->nb_view_map] = view_ids[j];
    dp->view_map[dp->nb_view_map++] = TViewMapEntry{view_ids[j], masks[j]};
  }

  // the decoder is told the selection afresh: what an earlier sequence chose goes first
  unsigned nb_old = 0;
  ret = av_opt_get_array_size(dec_ctx, "view_ids", AV_OPT_SEARCH_CHILDREN, &nb_old);
  if (ret < 0) return ret;
  if (nb_old) {
    ret = av_opt_set_array(dec_ctx, "view_ids", AV_OPT_SEARCH_CHILDREN, 0, nb_old,
                           AV_OPT_TYPE_UINT, nullptr);
    if (ret < 0) return ret;
  }
  ret = av_opt_set_array(dec_ctx, "view_ids", AV_OPT_SEARCH_CHILDREN, 0,
                         static_cast<unsigned>(nb_sel), AV_OPT_TYPE_UINT, sel_ids);
  if (ret < 0) return ret;

  if (!dp->frame_tmp_ref) {
    dp->frame_tmp_ref = av_frame_alloc();
    if (!dp->frame_tmp_ref) return AVERROR(ENOMEM);
  }
  return 0;
}

AVPixelFormat get_format(AVCodecContext* s, const AVPixelFormat* pix_fmts) {
  TDecoderPriv* dp = static_cast<TDecoderPriv*>(s->opaque);

  const int ret = multiview_setup(dp, s);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Error setting up multiview decoding: %s\n", ErrText(ret).c_str());
    return AV_PIX_FMT_NONE;
  }

  const AVPixelFormat* p = pix_fmts;
  for (; *p != AV_PIX_FMT_NONE; p++) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*p);
    if (!(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) break;

    if (dp->hwaccel_id == FFmpegHeader::HWACCEL_GENERIC ||
        dp->hwaccel_id == FFmpegHeader::HWACCEL_AUTO) {
      const AVCodecHWConfig* config = nullptr;
      for (int i = 0;; i++) {
        config = avcodec_get_hw_config(s->codec, i);
        if (!config) break;
        if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) continue;
        if (config->pix_fmt == *p) break;
      }
      if (config && config->device_type == dp->hwaccel_device_type) {
        dp->hwaccel_pix_fmt = *p;
        break;
      }
    }
  }
  return *p;
}

int get_buffer(AVCodecContext* dec_ctx, AVFrame* frame, int flags) {
  TDecoderPriv* dp = static_cast<TDecoderPriv*>(dec_ctx->opaque);

  // the output mask of the frame's view rides in its opaque value until
  // video_frame_process picks it up
  if (dp->nb_view_map) {
    const AVFrameSideData* sd = av_frame_get_side_data(frame, AV_FRAME_DATA_VIEW_ID);
    const unsigned id = sd ? *reinterpret_cast<const unsigned*>(sd->data) : 0;
    for (int i = 0; i < dp->nb_view_map; i++)
      if (dp->view_map[i].id == id) {
        frame->opaque = reinterpret_cast<void*>(dp->view_map[i].out_mask);
        break;
      }
  }
  return avcodec_default_get_buffer2(dec_ctx, frame, flags);
}

// ---- Hardware ---------------------------------------------------------------------------------

// The first registered device usable by the codec: its configurations in order, those
// that take a device context, the first whose type has exactly one device.
PHWDevice hw_device_match_by_codec(TBaseFFmpeg* AOwner, const AVCodec* codec) {
  for (int i = 0;; i++) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
    if (!config) return nullptr;
    if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) continue;
    PHWDevice dev = FFmpegHW::hw_device_get_by_type(AOwner, config->device_type);
    if (dev) return dev;
  }
}

// ---- Frame send -------------------------------------------------------------------------------

// Sends the frame to every output of its mask, lowest bit first: every output but the
// last gets a new reference. End of file from the scheduler becomes AVERROR_EXIT.
int dec_send(TDecoderPriv* dp, AVFrame* frame, unsigned outputs) {
  while (outputs) {
    const unsigned pos = static_cast<unsigned>(__builtin_ctz(outputs));
    outputs &= ~(1u << pos);
    AVFrame* to_send = frame;
    if (outputs) {
      const int ret = av_frame_ref(dp->frame_tmp_ref, frame);
      if (ret < 0) return ret;
      to_send = dp->frame_tmp_ref;
    }
    const int ret = FFmpegSched::sch_dec_send(dp->sch, dp->sch_idx, pos, to_send);
    if (ret < 0) {
      av_frame_unref(to_send);
      return ret == AVERROR_EOF ? AVERROR_EXIT : ret;
    }
  }
  return 0;
}

// ---- Subtitles --------------------------------------------------------------------------------

void subtitle_free(void* /*opaque*/, std::uint8_t* data) {
  AVSubtitle* sub = reinterpret_cast<AVSubtitle*>(data);
  avsubtitle_free(sub);
  av_free(sub);
}

const AVSubtitle* FrameSubtitle(const AVFrame* frame) {
  return frame->buf[0] ? reinterpret_cast<const AVSubtitle*>(frame->buf[0]->data) : nullptr;
}

int process_subtitle(TDecoderPriv* dp, AVFrame* frame) {
  const AVSubtitle* subtitle = FrameSubtitle(frame);

  if (dp->flags & DECODER_FLAG_FIX_SUB_DURATION) {
    // The held subtitle ends where this one begins: it goes out now, and this one is
    // held until the next shows when it ends.
    AVSubtitle* sub_prev =
        dp->sub_prev[0]->buf[0] ? reinterpret_cast<AVSubtitle*>(dp->sub_prev[0]->buf[0]->data)
                                : nullptr;
    int end = 1;
    if (sub_prev && subtitle) {
      end = static_cast<int>(av_rescale(subtitle->pts - sub_prev->pts, 1000, AV_TIME_BASE));
      if (end < 0 || static_cast<std::uint32_t>(end) < sub_prev->end_display_time) {
        av_log(dp, AV_LOG_DEBUG, "Subtitle duration reduced from %" PRIu32 " to %d%s\n",
               sub_prev->end_display_time, end, end <= 0 ? ", dropping it" : "");
        sub_prev->end_display_time = static_cast<std::uint32_t>(end < 0 ? 0 : end);
      }
    }
    av_frame_unref(dp->sub_prev[1]);
    av_frame_move_ref(dp->sub_prev[1], frame);
    frame = dp->sub_prev[0];
    subtitle = FrameSubtitle(frame);
    std::swap(dp->sub_prev[0], dp->sub_prev[1]);
    if (end <= 0) {
      av_frame_unref(frame);
      return 0;
    }
  }

  if (!subtitle) return 0;

  const int ret = FFmpegSched::sch_dec_send(dp->sch, dp->sch_idx, 0, frame);
  if (ret < 0) av_frame_unref(frame);
  return ret == AVERROR_EOF ? AVERROR_EXIT : ret;
}

int fix_sub_duration_heartbeat(TDecoderPriv* dp, std::int64_t signal_pts) {
  if (!(dp->flags & DECODER_FLAG_FIX_SUB_DURATION) || !dp->sub_prev[0]->buf[0]) return 0;
  const AVSubtitle* held = FrameSubtitle(dp->sub_prev[0]);
  if (!held->num_rects || signal_pts <= held->pts) return 0;

  av_frame_unref(dp->sub_heartbeat);
  int ret = subtitle_wrap_frame(dp->sub_heartbeat, const_cast<AVSubtitle*>(held), true);
  if (ret < 0) return ret;
  reinterpret_cast<AVSubtitle*>(dp->sub_heartbeat->buf[0]->data)->pts = signal_pts;
  return process_subtitle(dp, dp->sub_heartbeat);
}

// ---- Loopback decoders -------------------------------------------------------------------------

int dec_standalone_open(TDecoderPriv* dp, const AVPacket* pkt) {
  // the encoder attaches its parameters to its first packet
  if (!pkt->opaque_ref) return AVERROR_BUG;
  const TFrameData* fd = reinterpret_cast<const TFrameData*>(pkt->opaque_ref->data);
  if (!fd->par_enc) return AVERROR_BUG;

  TDecoderOpts o{};
  o.par = fd->par_enc;
  o.time_base = pkt->time_base;
  o.hwaccel_output_format = AV_PIX_FMT_NONE;
  o.codec = dp->standalone_codec;
  if (!o.codec) o.codec = avcodec_find_decoder(o.par->codec_id);
  if (!o.codec) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(o.par->codec_id);
    av_log(dp, AV_LOG_ERROR, "Cannot find a decoder for codec ID '%s'\n", desc ? desc->name : "?");
    return AVERROR_DECODER_NOT_FOUND;
  }
  char name[16];
  std::snprintf(name, sizeof name, "dec%d", dp->index);
  o.name = name;
  return dec_open(dp, &dp->standalone_opts, &o, nullptr);
}

}  // namespace

// ---- Life cycle -------------------------------------------------------------------------------

int dec_alloc(FFmpeg::TCustomFFmpeg* Owner, TDecoderPriv*& dp, TScheduler* sch, bool send_end_ts) {
  dp = nullptr;
  TDecoderPriv* d = static_cast<TDecoderPriv*>(av_mallocz(sizeof(TDecoderPriv)));
  if (!d) return AVERROR(ENOMEM);

  int ret = AVERROR(ENOMEM);
  d->frame = av_frame_alloc();
  if (!d->frame) goto fail;
  d->pkt = av_packet_alloc();
  if (!d->pkt) goto fail;

  d->dec.class_ = &CDecoderClass;
  d->index = -1;
  d->hwaccel_pix_fmt = AV_PIX_FMT_NONE;
  d->hwaccel_output_format = AV_PIX_FMT_NONE;
  d->last_frame_pts = AV_NOPTS_VALUE;
  d->last_frame_tb = AVRational{1, 1};
  d->last_filter_in_rescale_delta = AV_NOPTS_VALUE;
  d->last_pkt_dts = AV_NOPTS_VALUE;
  d->last_pkt_tb = AVRational{1, 1};
  d->Owner = Owner;

  ret = FFmpegSched::sch_add_dec(sch, decoder_thread, d, send_end_ts ? 1 : 0);
  if (ret < 0) goto fail;
  d->sch = sch;
  d->sch_idx = static_cast<std::uint32_t>(ret);

  dp = d;
  return 0;
fail:
  dec_free_priv(d);
  return ret;
}

void dec_free(PDecoder& dec) {
  TDecoderPriv* dp = dp_from_dec(dec);
  dec = nullptr;
  dec_free_priv(dp);
}

int dec_init(FFmpeg::TCustomFFmpeg* Owner, PDecoder& dec, TScheduler* sch,
             AVDictionary** dec_opts, const TDecoderOpts* o, AVFrame* param_out) {
  dec = nullptr;
  TDecoderPriv* dp = nullptr;
  int ret = dec_alloc(Owner, dp, sch, (o->flags & DECODER_FLAG_SEND_END_TS) != 0);
  if (ret < 0) return ret;

  multiview_check_manual(dp, dec_opts ? *dec_opts : nullptr);

  ret = dec_open(dp, dec_opts, o, param_out);
  if (ret < 0) {
    // the node goes with the decoder: a start of this task must not run a freed decoder
    FFmpegSched::sch_remove_dec(sch, dp->sch_idx);
    dec_free_priv(dp);
    return ret;
  }
  dec = &dp->dec;
  return static_cast<int>(dp->sch_idx);
}

int dec_open(TDecoderPriv* dp, AVDictionary** dec_opts, const TDecoderOpts* o,
             AVFrame* param_out) {
  AVDictionary* local_opts = nullptr;
  if (!dec_opts) dec_opts = &local_opts;
  int ret = 0;

  dp->flags = static_cast<std::uint32_t>(o->flags);
  dp->log_parent = o->log_parent;
  dp->dec.type_ = o->codec->type;
  dp->framerate_in = o->framerate;
  dp->hwaccel_id = o->hwaccel_id;
  dp->hwaccel_device_type = o->hwaccel_device_type;
  dp->hwaccel_output_format = o->hwaccel_output_format;
  std::snprintf(dp->log_name, sizeof dp->log_name, "dec:%s", o->codec->name);

  av_freep(&dp->parent_name);
  dp->parent_name = av_strdup(o->name ? o->name : "");
  if (!dp->parent_name) {
    ret = AVERROR(ENOMEM);
    goto done;
  }

  if (o->codec->type == AVMEDIA_TYPE_SUBTITLE && (dp->flags & DECODER_FLAG_FIX_SUB_DURATION)) {
    for (AVFrame*& f : dp->sub_prev) {
      f = av_frame_alloc();
      if (!f) {
        ret = AVERROR(ENOMEM);
        goto done;
      }
    }
    dp->sub_heartbeat = av_frame_alloc();
    if (!dp->sub_heartbeat) {
      ret = AVERROR(ENOMEM);
      goto done;
    }
  }

  dp->sar_override = o->par->sample_aspect_ratio;

  dp->dec_ctx = avcodec_alloc_context3(o->codec);
  if (!dp->dec_ctx) {
    ret = AVERROR(ENOMEM);
    goto done;
  }
  ret = avcodec_parameters_to_context(dp->dec_ctx, o->par);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Error initializing the decoder context.\n");
    goto done;
  }
  dp->dec_ctx->opaque = dp;
  dp->dec_ctx->get_format = get_format;
  dp->dec_ctx->get_buffer2 = get_buffer;
  dp->dec_ctx->pkt_timebase = o->time_base;

  if (!av_dict_get(*dec_opts, "threads", nullptr, 0)) {
    ret = av_dict_set(dec_opts, "threads", "auto", 0);
    if (ret < 0) goto done;
  }

  ret = hw_device_setup_for_decode(dp, o->codec, o->hwaccel_device);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Hardware device setup failed for decoder: %s\n",
           ErrText(ret).c_str());
    goto done;
  }

  ret = av_opt_set_dict2(dp->dec_ctx, dec_opts, AV_OPT_SEARCH_CHILDREN);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Error applying decoder options: %s\n", ErrText(ret).c_str());
    goto done;
  }
  ret = CmdUtils::check_avoptions(*dec_opts);
  if (ret < 0) goto done;

  dp->dec_ctx->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
  if (dp->flags & DECODER_FLAG_BITEXACT) dp->dec_ctx->flags |= AV_CODEC_FLAG_BITEXACT;

  // cropping is applied per frame in video_frame_process, so that the hooks and the
  // filters see the cropped picture while the codec keeps its own buffers
  dp->apply_cropping = dp->dec_ctx->apply_cropping;
  dp->dec_ctx->apply_cropping = 0;

  ret = avcodec_open2(dp->dec_ctx, o->codec, nullptr);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Error while opening decoder: %s\n", ErrText(ret).c_str());
    goto done;
  }

  if (dp->dec_ctx->hw_device_ctx) {
    // frames that the filters hold must not starve the decoder's own pool
    if (dp->dec_ctx->extra_hw_frames < 0)
      dp->dec_ctx->extra_hw_frames = 8;
    else
      dp->dec_ctx->extra_hw_frames += 8;
  }

  dp->dec.subtitle_header = dp->dec_ctx->subtitle_header;
  dp->dec.subtitle_header_size = dp->dec_ctx->subtitle_header_size;

  if (param_out) {
    if (dp->dec_ctx->codec_type == AVMEDIA_TYPE_AUDIO) {
      param_out->format = dp->dec_ctx->sample_fmt;
      param_out->sample_rate = dp->dec_ctx->sample_rate;
      ret = av_channel_layout_copy(&param_out->ch_layout, &dp->dec_ctx->ch_layout);
      if (ret < 0) goto done;
    } else if (dp->dec_ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
      param_out->format = dp->dec_ctx->pix_fmt;
      param_out->width = dp->dec_ctx->width;
      param_out->height = dp->dec_ctx->height;
      param_out->sample_aspect_ratio = dp->dec_ctx->sample_aspect_ratio;
      param_out->colorspace = dp->dec_ctx->colorspace;
      param_out->color_range = dp->dec_ctx->color_range;
    }
    av_frame_side_data_free(&param_out->side_data, &param_out->nb_side_data);
    ret = FFmpegHeader::clone_side_data(param_out->side_data, param_out->nb_side_data,
                                        dp->dec_ctx->decoded_side_data,
                                        dp->dec_ctx->nb_decoded_side_data, 0);
    if (ret < 0) goto done;
    param_out->time_base = dp->dec_ctx->pkt_timebase;
  }
  ret = 0;

done:
  AVUtilStubs::av_dict_free(&local_opts);
  return ret;
}

int dec_create(FFmpeg::TCustomFFmpeg* Owner, const TOptionsContext* o, const char* arg,
               TScheduler* sch) {
  TDecoderPriv* dp = nullptr;
  int ret = dec_alloc(Owner, dp, sch, false);
  if (ret < 0) return ret;

  dp->index = Owner->Fnb_decoders;
  {
    int count = Owner->Fnb_decoders;
    ret = CmdUtils::grow_array(Owner->Fdecoders, count, count + 1);
    if (ret < 0) {
      dec_free_priv(dp);
      return ret;
    }
    Owner->Fdecoders[count - 1] = &dp->dec;
    Owner->Fnb_decoders = count;
  }
  // from here on the task's clean-up frees the decoder

  char* p = nullptr;
  const long of_index = std::strtol(arg, &p, 0);
  if (of_index < 0 || of_index >= Owner->Fnb_output_files) {
    av_log(dp, AV_LOG_ERROR, "Invalid output file index '%d' in %s\n", static_cast<int>(of_index),
           arg);
    return AVERROR(EINVAL);
  }
  FFmpegHeader::POutputFile of = Owner->Foutput_files[of_index];

  // "of:os": without the separator there is no stream index to read
  if (!*p) {
    av_log(dp, AV_LOG_ERROR, "Missing output stream index in %s\n", arg);
    return AVERROR(EINVAL);
  }
  const long ost_index = std::strtol(p + 1, nullptr, 0);
  if (ost_index < 0 || ost_index >= of->nb_streams) {
    av_log(dp, AV_LOG_ERROR, "Invalid output stream index '%d' in %s\n",
           static_cast<int>(ost_index), arg);
    return AVERROR(EINVAL);
  }
  FFmpegHeader::POutputStream ost = of->streams[ost_index];

  if (!ost->enc) {
    av_log(dp, AV_LOG_ERROR, "Output stream %s has no encoder\n", arg);
    return AVERROR(EINVAL);
  }

  dp->dec.type_ = ost->type_;

  ret = FFmpegEnc::enc_loopback(ost->enc);
  if (ret < 0) return ret;
  ret = FFmpegSched::sch_connect(sch, SCH_ENC(static_cast<unsigned>(ret)), SCH_DEC_IN(dp->sch_idx));
  if (ret < 0) return ret;

  ret = av_dict_copy(&dp->standalone_opts, o->g ? o->g->codec_opts : nullptr, 0);
  if (ret < 0) return ret;

  multiview_check_manual(dp, dp->standalone_opts);

  if (o->codec_names.nb_opt) {
    const char* name = o->codec_names.opt[o->codec_names.nb_opt - 1].u.str;
    dp->standalone_codec = avcodec_find_decoder_by_name(name);
    if (!dp->standalone_codec) {
      av_log(dp, AV_LOG_ERROR, "No such decoder: %s\n", name);
      return AVERROR_DECODER_NOT_FOUND;
    }
  }
  return 0;
}

int dec_filter_add(PDecoder dec, TInputFilter* /*ifilter*/, TInputFilterOptions* opts,
                   const TViewSpecifier* vs, TSchedulerNode& src) {
  TDecoderPriv* dp = dp_from_dec(dec);
  char name[16];
  std::snprintf(name, sizeof name, "dec%d", dp->index);
  opts->name = av_strdup(name);
  if (!opts->name) return AVERROR(ENOMEM);
  return dec_request_view(dec, vs, src);
}

int dec_request_view(PDecoder dec, const TViewSpecifier* vs, TSchedulerNode& src) {
  TDecoderPriv* dp = dp_from_dec(dec);

  if (dp->multiview_user_config) {
    if (!vs || vs->type_ == FFmpegHeader::VIEW_SPECIFIER_TYPE_NONE) {
      src = SCH_DEC_OUT(dp->sch_idx, 0);
      return 0;
    }
    av_log(dp, AV_LOG_ERROR,
           "Manually selecting views with -view_ids cannot be combined with view selection via "
           "stream specifiers. It is strongly recommended you always use stream specifiers "
           "only.\n");
    return AVERROR(EINVAL);
  }

  TViewSpecifier want{FFmpegHeader::VIEW_SPECIFIER_TYPE_IDX, 0};
  if (vs && vs->type_ != FFmpegHeader::VIEW_SPECIFIER_TYPE_NONE) want = *vs;

  for (int i = 0; i < dp->nb_views_requested; i++) {
    const TViewRequest& vr = dp->views_requested[i];
    if (vr.vs.type_ == want.type_ &&
        (want.type_ == FFmpegHeader::VIEW_SPECIFIER_TYPE_ALL || vr.vs.val == want.val)) {
      src = SCH_DEC_OUT(dp->sch_idx, vr.out_idx);
      return 0;
    }
  }

  if (dp->nb_views_requested >= CMaxViews) {
    av_log(dp, AV_LOG_ERROR, "Too many view specifiers\n");
    return AVERROR(ENOSYS);
  }

  std::uint32_t out_idx = 0;
  if (dp->nb_views_requested > 0) {
    const int ret = FFmpegSched::sch_add_dec_output(dp->sch, dp->sch_idx);
    if (ret < 0) return ret;
    out_idx = static_cast<std::uint32_t>(ret);
  }

  int count = dp->nb_views_requested;
  const int ret = CmdUtils::grow_array(dp->views_requested, count, count + 1);
  if (ret < 0) return ret;
  dp->views_requested[count - 1] = TViewRequest{want, out_idx};
  dp->nb_views_requested = count;

  src = SCH_DEC_OUT(dp->sch_idx, out_idx);
  return 0;
}

void multiview_check_manual(TDecoderPriv* dp, const AVDictionary* dec_opts) {
  if (av_dict_get(dec_opts, "view_ids", nullptr, 0)) {
    av_log(dp, AV_LOG_WARNING,
           "Manually selecting views with -view_ids is not recommended, use view specifiers "
           "instead\n");
    dp->multiview_user_config = 1;
  }
}

// ---- Hardware -----------------------------------------------------------------------------

int hw_device_setup_for_decode(TDecoderPriv* dp, const AVCodec* codec,
                               const char* hwaccel_device) {
  TBaseFFmpeg* task = Task(dp);
  PHWDevice dev = nullptr;
  int err = 0;
  bool auto_device = false;

  if (hwaccel_device) {
    dev = FFmpegHW::hw_device_get_by_name(task, hwaccel_device);
    if (!dev) {
      if (dp->hwaccel_id == FFmpegHeader::HWACCEL_AUTO) {
        auto_device = true;
      } else if (dp->hwaccel_id == FFmpegHeader::HWACCEL_GENERIC) {
        err = FFmpegHW::hw_device_init_from_type(task, dp->hwaccel_device_type, hwaccel_device,
                                                 &dev);
      } else {
        // the device is used by filters only
        return 0;
      }
    } else {
      if (dp->hwaccel_id == FFmpegHeader::HWACCEL_AUTO) {
        dp->hwaccel_device_type = dev->type_;
      } else if (dp->hwaccel_device_type != dev->type_) {
        av_log(dp, AV_LOG_ERROR,
               "Invalid hwaccel device specified for decoder: device %s of type %s is not usable "
               "with hwaccel %s.\n",
               dev->name, av_hwdevice_get_type_name(dev->type_),
               av_hwdevice_get_type_name(dp->hwaccel_device_type));
        return AVERROR(EINVAL);
      }
    }
  } else {
    if (dp->hwaccel_id == FFmpegHeader::HWACCEL_AUTO) {
      auto_device = true;
    } else if (dp->hwaccel_id == FFmpegHeader::HWACCEL_GENERIC) {
      dev = FFmpegHW::hw_device_get_by_type(task, dp->hwaccel_device_type);
      if (!dev && dp->hwaccel_device_type == AV_HWDEVICE_TYPE_QSV)
        dev = FFmpegHW::hw_device_get_by_name(task, "__qsv_device");
      if (!dev) err = FFmpegHW::hw_device_init_from_type(task, dp->hwaccel_device_type, nullptr, &dev);
    } else {
      dev = hw_device_match_by_codec(task, codec);
      if (!dev) {
        // no device for this codec: decode in software
        return 0;
      }
    }
  }

  if (auto_device) {
    if (!avcodec_get_hw_config(codec, 0)) {
      // the decoder has no hardware support at all: nothing to say
      return 0;
    }
    const AVCodecHWConfig* config = nullptr;
    for (int i = 0; !dev; i++) {
      config = avcodec_get_hw_config(codec, i);
      if (!config) break;
      if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) continue;
      dev = FFmpegHW::hw_device_get_by_type(task, config->device_type);
      if (dev)
        av_log(dp, AV_LOG_INFO, "Using auto hwaccel type %s with existing device %s.\n",
               av_hwdevice_get_type_name(config->device_type), dev->name);
    }
    for (int i = 0; !dev; i++) {
      config = avcodec_get_hw_config(codec, i);
      if (!config) break;
      if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) continue;
      // a device that cannot be created here is skipped: the next type may work
      err = FFmpegHW::hw_device_init_from_type(task, config->device_type, hwaccel_device, &dev);
      if (err < 0) {
        dev = nullptr;
        continue;
      }
      if (hwaccel_device)
        av_log(dp, AV_LOG_INFO, "Using auto hwaccel type %s with new device created from %s.\n",
               av_hwdevice_get_type_name(config->device_type), hwaccel_device);
      else
        av_log(dp, AV_LOG_INFO, "Using auto hwaccel type %s with new default device.\n",
               av_hwdevice_get_type_name(config->device_type));
    }
    if (dev) {
      dp->hwaccel_device_type = config->device_type;
    } else {
      av_log(dp, AV_LOG_INFO, "Auto hwaccel disabled: no device found.\n");
      dp->hwaccel_id = FFmpegHeader::HWACCEL_NONE;
      return 0;
    }
  }

  if (!dev) {
    av_log(dp, AV_LOG_ERROR, "No device available for decoder: device type %s needed for codec %s.\n",
           av_hwdevice_get_type_name(dp->hwaccel_device_type), codec->name);
    return err;
  }

  dp->dec_ctx->hw_device_ctx = av_buffer_ref(dev->device_ref);
  if (!dp->dec_ctx->hw_device_ctx) return AVERROR(ENOMEM);
  return 0;
}

int hwaccel_retrieve_data(AVCodecContext* avctx, AVFrame* input) {
  TDecoderPriv* dp = static_cast<TDecoderPriv*>(avctx->opaque);
  if (input->format == dp->hwaccel_output_format) return 0;

  AVFrame* output = av_frame_alloc();
  if (!output) return AVERROR(ENOMEM);
  output->format = dp->hwaccel_output_format;

  int err = av_hwframe_transfer_data(output, input, 0);
  if (err < 0) {
    av_log(avctx, AV_LOG_ERROR, "Failed to transfer data to output frame: %d.\n", err);
    goto fail;
  }
  err = av_frame_copy_props(output, input);
  if (err < 0) {
    av_frame_unref(output);
    goto fail;
  }
  av_frame_unref(input);
  av_frame_move_ref(input, output);
  av_frame_free(&output);
  return 0;
fail:
  av_frame_free(&output);
  return err;
}

// ---- Decoded-frame processing ----------------------------------------------------------------

AVRational audio_samplerate_update(TDecoderPriv* dp, const AVFrame* frame) {
  const int prev = dp->last_frame_tb.den;
  const int sr = frame->sample_rate;

  if (sr == dp->last_frame_sample_rate || sr <= 0) return dp->last_frame_tb;

  // The new base counts samples of the old and the new rate exactly (their least
  // common multiple), so timestamps computed before the change stay exact.
  AVRational tb_new;
  const std::int64_t gcd = av_gcd(prev, sr);
  if (prev / gcd >= INT_MAX / sr) {
    av_log(dp, AV_LOG_WARNING,
           "Audio timestamps cannot be represented exactly after sample rate change: %d -> %d\n",
           prev, sr);
    // the least common multiple of all the usual sample rates
    tb_new = AVRational{1, 28224000};
  } else {
    tb_new = AVRational{1, static_cast<int>(prev / gcd * sr)};
  }

  // a finer time base from the container is kept when it is a multiple of the new one
  if (frame->time_base.num == 1 && frame->time_base.den > tb_new.den &&
      !(frame->time_base.den % tb_new.den))
    tb_new = frame->time_base;

  if (dp->last_frame_pts != AV_NOPTS_VALUE)
    dp->last_frame_pts = av_rescale_q(dp->last_frame_pts, dp->last_frame_tb, tb_new);
  dp->last_frame_duration_est =
      av_rescale_q(dp->last_frame_duration_est, dp->last_frame_tb, tb_new);

  dp->last_frame_tb = tb_new;
  dp->last_frame_sample_rate = sr;
  return tb_new;
}

void audio_ts_process(TDecoderPriv* dp, AVFrame* frame) {
  const AVRational tb_filter{1, frame->sample_rate};
  const AVRational tb = audio_samplerate_update(dp, frame);
  const std::int64_t pts_pred = dp->last_frame_pts == AV_NOPTS_VALUE
                                    ? 0
                                    : dp->last_frame_pts + dp->last_frame_duration_est;

  if (frame->pts == AV_NOPTS_VALUE) {
    frame->pts = pts_pred;
    frame->time_base = tb;
  } else if (dp->last_frame_pts != AV_NOPTS_VALUE &&
             frame->pts > av_rescale_q_rnd(pts_pred, tb, frame->time_base, AV_ROUND_UP)) {
    // a gap in the timestamps: the rescaling starts afresh
    dp->last_filter_in_rescale_delta = AV_NOPTS_VALUE;
  }

  frame->pts = av_rescale_delta(frame->time_base, frame->pts, tb, frame->nb_samples,
                                &dp->last_filter_in_rescale_delta, tb);

  dp->last_frame_pts = frame->pts;
  dp->last_frame_duration_est = av_rescale_q(frame->nb_samples, tb_filter, tb);

  // filters work in 1/sample_rate
  frame->pts = av_rescale_q(frame->pts, tb, tb_filter);
  frame->duration = frame->nb_samples;
  frame->time_base = tb_filter;
}

std::int64_t video_duration_estimate(const TDecoderPriv* dp, const AVFrame* frame) {
  const bool ts_unreliable = dp->flags & DECODER_FLAG_TS_UNRELIABLE;
  const bool fr_forced = dp->flags & DECODER_FLAG_FRAMERATE_FORCED;
  std::int64_t codec_duration = 0;

  const std::int64_t ts_diff =
      (frame->pts != AV_NOPTS_VALUE && dp->last_frame_pts != AV_NOPTS_VALUE)
          ? frame->pts - dp->last_frame_pts
          : -1;

  // a duration of 1 with larger timestamp steps was most likely made up by the demuxer
  const bool duration_unreliable = frame->duration == 1 && ts_diff > 2;

  if (fr_forced || (frame->duration > 0 && !ts_unreliable && !duration_unreliable))
    return frame->duration;

  if (dp->dec_ctx && dp->dec_ctx->framerate.num > 0 && dp->dec_ctx->framerate.den > 0) {
    const int fields = frame->repeat_pict + 2;
    const AVRational field_rate{dp->dec_ctx->framerate.num * 2, dp->dec_ctx->framerate.den};
    codec_duration = av_rescale_q(fields, AVRational{field_rate.den, field_rate.num},
                                  frame->time_base);
  }

  if (codec_duration > 0 && ts_unreliable) return codec_duration;

  if (ts_diff > 0) return ts_diff;
  if (frame->duration > 0) return frame->duration;
  if (codec_duration > 0) return codec_duration;

  if (dp->framerate_in.num > 0 && dp->framerate_in.den > 0) {
    const std::int64_t d = av_rescale_q(1, AVRational{dp->framerate_in.den, dp->framerate_in.num},
                                        frame->time_base);
    if (d > 0) return d;
  }

  return dp->last_frame_duration_est > 1 ? dp->last_frame_duration_est : 1;
}

int video_frame_process(TDecoderPriv* dp, AVFrame* frame, unsigned& outputs) {
  if (dp->flags & DECODER_FLAG_TOP_FIELD_FIRST) {
    av_log(dp, AV_LOG_WARNING, "-top is deprecated, use the setfield filter instead\n");
    frame->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
  }

  if (frame->format == dp->hwaccel_pix_fmt) {
    const int err = hwaccel_retrieve_data(dp->dec_ctx, frame);
    if (err < 0) return err;
  }

  frame->pts = frame->best_effort_timestamp;

  // forced frame rate: the frames are simply counted
  if (dp->flags & DECODER_FLAG_FRAMERATE_FORCED) {
    frame->pts = AV_NOPTS_VALUE;
    frame->duration = 1;
    frame->time_base = AVRational{dp->framerate_in.den, dp->framerate_in.num};
  }

  // no timestamp: the frame follows the previous one
  if (frame->pts == AV_NOPTS_VALUE)
    frame->pts = dp->last_frame_pts == AV_NOPTS_VALUE
                     ? 0
                     : dp->last_frame_pts + dp->last_frame_duration_est;

  dp->last_frame_duration_est = video_duration_estimate(dp, frame);
  dp->last_frame_pts = frame->pts;
  dp->last_frame_tb = frame->time_base;

  if (Task(dp) && Task(dp)->Fdebug_ts)
    av_log(dp, AV_LOG_INFO,
           "decoder -> pts:%s pts_time:%s pkt_dts:%s pkt_dts_time:%s duration:%s "
           "duration_time:%s keyframe:%d frame_type:%d time_base:%d/%d\n",
           TsStr(frame->pts).c_str(), TsTimeStr(frame->pts, frame->time_base).c_str(),
           TsStr(frame->pkt_dts).c_str(), TsTimeStr(frame->pkt_dts, frame->time_base).c_str(),
           TsStr(frame->duration).c_str(), TsTimeStr(frame->duration, frame->time_base).c_str(),
           !!(frame->flags & AV_FRAME_FLAG_KEY), static_cast<int>(frame->pict_type),
           frame->time_base.num, frame->time_base.den);

  if (dp->sar_override.num) frame->sample_aspect_ratio = dp->sar_override;

  if (dp->apply_cropping) {
    // the filters take unaligned planes, so no pixels are moved
    const int ret = av_frame_apply_cropping(frame, AV_FRAME_CROP_UNALIGNED);
    if (ret < 0) {
      av_log(dp, AV_LOG_ERROR, "Error applying decoder cropping\n");
      return ret;
    }
  }

  // The view's output mask came through the opaque value; downstream reads that value
  // as a mark (heartbeat, end of stream), so it leaves the frame here.
  if (frame->opaque) {
    outputs = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(frame->opaque));
    frame->opaque = nullptr;
  }
  return 0;
}

void video_hook_process(TDecoderPriv* dp, AVFrame* frame) {
  TCustomFFmpeg* task = dp->Owner;
  if (!task || !task->FHookLock) return;

  // The host's handlers are called one at a time per task; the input-side hook fields
  // (which a handler may clear) are guarded by the same lock.
  std::lock_guard<Platform::TCriticalSection> guard(*task->FHookLock);
  if (!task->FOnFrameInputHook.Assigned() && !task->FOnVideoInputHook.Assigned()) return;

  // the frame's own format and size: after a hardware download or cropping they are
  // no longer the decoder's
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(frame->format);
  const int width = frame->width;
  const int height = frame->height;

  const int size = FFUtils::avpicture_get_size(fmt, width, height);
  if (size < 0) {
    LogTask(dp, FFLoad::llError, "avpicture_get_size() returns error.");
    return;
  }
  if (dp->hook_picture && dp->hook_picture_size < size) {
    av_freep(&dp->hook_picture);
    dp->hook_picture_size = 0;
  }
  if (!dp->hook_picture) {
    dp->hook_picture = static_cast<std::uint8_t*>(av_malloc(static_cast<size_t>(size)));
    if (!dp->hook_picture) {
      LogTask(dp, FFLoad::llError, "memory malloc error in video_hook_process().");
      return;
    }
    dp->hook_picture_size = size;
  }

  FFUtils::TAVPicture picture{};
  FFUtils::avpicture_fill(&picture, dp->hook_picture, fmt, width, height);
  FFUtils::TAVPicture src{};
  for (int i = 0; i < AV_NUM_DATA_POINTERS; i++) {
    src.data[i] = frame->data[i];
    src.linesize[i] = frame->linesize[i];
  }
  FFUtils::av_picture_copy(&picture, &src, fmt, width, height);

  const int frame_number = static_cast<int>(dp->dec.frames_decoded + 1);
  const std::int64_t pts = frame->pts;

  if (task->FOnFrameInputHook.Assigned())
    task->FOnFrameInputHook(task, &picture, fmt, frame_number, width, height, pts);

  if (task->FOnVideoInputHook.Assigned()) {
    if (!dp->hook_converter) {
      // the task's converter holds the layout the host chose (BitsPixel would give 16,
      // a 5-6-5 bitmap, for a host that asked for 15)
      dp->hook_converter = new FormatConvert::TFormatConverter();
      if (task->FHookConverter)
        dp->hook_converter->SetBitsPixel(task->FHookConverter->RequestedBitsPixel());
    }
    bool converted = false;
    task->DoVideoHook(true, dp->hook_converter, converted, frame_number, pts, fmt, width, height,
                      &picture);
  }

  // The hooked picture goes back into the frame itself. The codec may still hold the
  // frame's buffer as a reference picture, so a shared buffer is copied first.
  const int ret = av_frame_make_writable(frame);
  if (ret < 0) {
    LogTask(dp, FFLoad::llError, "memory malloc error in video_hook_process().");
    return;
  }
  FFUtils::TAVPicture dst{};
  for (int i = 0; i < AV_NUM_DATA_POINTERS; i++) {
    dst.data[i] = frame->data[i];
    dst.linesize[i] = frame->linesize[i];
  }
  FFUtils::av_picture_copy(&dst, &picture, fmt, width, height);
}

// ---- Decoding ---------------------------------------------------------------------------------

// Whether a stop ended the input of this video decoder, which an input stream feeds: its
// drain may then return pictures that the stop cut off from the ones before them. Not
// with a forced input frame rate, whose pictures are counted, not timed.
bool stopped_video_input(const TDecoderPriv* dp) {
  return dp->dec.type_ == AVMEDIA_TYPE_VIDEO && dp->index < 0 && dp->Owner &&
         !(dp->flags & DECODER_FLAG_FRAMERATE_FORCED) && dp->Owner->FBroken.load();
}

// Whether a picture that the draining codec returned lies beyond the end of a stopped
// input. Packets come in decoding order, pictures leave in presentation order: a stop
// may cut the input after a picture that later ones refer to (a P picture) and before
// the pictures shown ahead of it (its B pictures). Drained, the codec would still return
// the P picture, and the output would jump over the pictures that were never read. No
// picture shown before the last packet's decoding timestamp can be missing (each was
// decoded no later than shown, so its packet came before that one): the pictures up to
// it are an unbroken run from the start, and after a stop the drain ends there.
bool stop_cuts_frame(const TDecoderPriv* dp, const AVFrame* frame) {
  if (dp->last_pkt_dts == AV_NOPTS_VALUE || frame->best_effort_timestamp == AV_NOPTS_VALUE)
    return false;
  if (!stopped_video_input(dp)) return false;
  if (av_compare_ts(frame->best_effort_timestamp, dp->dec_ctx->pkt_timebase, dp->last_pkt_dts,
                    dp->last_pkt_tb) <= 0)
    return false;
  av_log(const_cast<TDecoderPriv*>(dp), AV_LOG_VERBOSE,
         "Stopped: picture at %s dropped, the pictures before it were not read\n",
         TsStr(frame->best_effort_timestamp).c_str());
  return true;
}

// Whether a picture that the draining codec returned may be the last one and unpaired,
// when there is no time to judge it by. Inputs that carry decoding times only (AVI, raw
// video streams) give the picture that a reordering codec held back no time of its own:
// it leaves at the drain untimed and would take the time of the first B picture the
// stop left unread. It is the last picture of the drain (every picture read before it is
// shown before it), so the drain looks one picture ahead, and after a stop ends without
// it: whether the pictures shown before it were all read, nothing tells.
bool stop_may_unpair_frame(const TDecoderPriv* dp, const AVFrame* frame) {
  return frame->best_effort_timestamp == AV_NOPTS_VALUE && dp->dec_ctx->has_b_frames > 0 &&
         stopped_video_input(dp);
}

int packet_decode(TDecoderPriv* dp, AVPacket* pkt, AVFrame* frame) {
  AVCodecContext* dec = dp->dec_ctx;
  const bool exit_on_error = ExitOnError(dp);

  if (dec->codec_type == AVMEDIA_TYPE_SUBTITLE) return transcode_subtitles(dp, pkt, frame);

  // A packet without payload carries nothing to decode, and the codec would refuse it
  // (or take it for a drain): it is dropped, and decoding goes on with the next one.
  if (pkt && pkt->size == 0) return 0;

  if (pkt && (dp->flags & DECODER_FLAG_TS_UNRELIABLE)) {
    pkt->pts = AV_NOPTS_VALUE;
    pkt->dts = AV_NOPTS_VALUE;
  }

  if (pkt) {
    TFrameData* fd = FFmpeg::packet_data(pkt);
    if (!fd) return AVERROR(ENOMEM);
    fd->wallclock[FFmpegHeader::LATENCY_PROBE_DEC_PRE] = av_gettime_relative();
    dp->last_pkt_dts = pkt->dts;
    dp->last_pkt_tb = pkt->time_base.num ? pkt->time_base : dec->pkt_timebase;
  }

  int ret = avcodec_send_packet(dec, pkt);
  if (ret < 0 && !(ret == AVERROR_EOF && !pkt)) {
    // Every frame is taken out below before the next packet goes in, so the codec
    // can never be full here: "again" means a broken codec.
    if (ret == AVERROR(EAGAIN)) {
      av_log(dp, AV_LOG_FATAL,
             "A decoder returned an unexpected error code. This is a bug, please report it.\n");
      return AVERROR_BUG;
    }
    av_log(dp, AV_LOG_ERROR, "Error submitting %s to decoder: %s\n", pkt ? "packet" : "EOF",
           ErrText(ret).c_str());
    if (ret == AVERROR_EOF) return ret;
    dp->dec.decode_errors++;
    if (exit_on_error) return ret;
  }

  FFPtr::TFramePtr ahead;  // after a stop, the drain's next picture, taken before its turn
  int ahead_ret = 1;       // the result of taking it; 1: nothing taken
  for (;;) {
    unsigned outputs = 1;

    if (ahead_ret <= 0) {
      ret = ahead_ret;
      ahead_ret = 1;
      if (ret >= 0) av_frame_move_ref(frame, ahead.get());
    } else {
      ret = avcodec_receive_frame(dec, frame);
    }
    if (ret == AVERROR(EAGAIN)) {
      Platform::Check(pkt != nullptr, CUnit, 1165);
      return 0;
    }
    if (ret == AVERROR_EOF) return ret;
    if (ret < 0) {
      av_log(dp, AV_LOG_ERROR, "Decoding error: %s\n", ErrText(ret).c_str());
      dp->dec.decode_errors++;
      if (exit_on_error) return ret;
      continue;
    }

    if (!pkt && stop_cuts_frame(dp, frame)) {
      av_frame_unref(frame);
      continue;
    }
    if (!pkt && stop_may_unpair_frame(dp, frame)) {
      if (!ahead) ahead.reset(av_frame_alloc());
      if (!ahead) {
        av_frame_unref(frame);
        return AVERROR(ENOMEM);
      }
      ahead_ret = avcodec_receive_frame(dec, ahead.get());
      if (ahead_ret == AVERROR_EOF) {
        av_log(dp, AV_LOG_VERBOSE,
               "Stopped: last picture dropped, the pictures before it may not have been read\n");
        av_frame_unref(frame);
        return AVERROR_EOF;
      }
    }

    if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) {
      av_log(dp, exit_on_error ? AV_LOG_FATAL : AV_LOG_WARNING, "corrupt decoded frame\n");
      if (exit_on_error) {
        av_frame_unref(frame);
        return AVERROR_INVALIDDATA;
      }
    }

    TFrameData* fd = FFmpeg::frame_data(frame);
    if (!fd) {
      av_frame_unref(frame);
      return AVERROR(ENOMEM);
    }
    fd->dec.pts = frame->pts;
    fd->dec.tb = dec->pkt_timebase;
    fd->dec.frame_num = static_cast<std::uint64_t>(dec->frame_num - 1);
    fd->bits_per_raw_sample = dec->bits_per_raw_sample;
    fd->wallclock[FFmpegHeader::LATENCY_PROBE_DEC_POST] = av_gettime_relative();

    frame->time_base = dec->pkt_timebase;

    if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
      dp->dec.samples_decoded += static_cast<std::uint64_t>(frame->nb_samples);
      TCustomFFmpeg* task = dp->Owner;
      if (task && task->FHookLock) {
        // one decode-side hook handler of the task at a time, as for the video hooks
        std::lock_guard<Platform::TCriticalSection> guard(*task->FHookLock);
        if (task->FOnAudioInputHook.Assigned())
          task->FOnAudioInputHook(task, frame->pts, frame, frame->linesize[0], dec->sample_rate,
                                  dec->ch_layout.nb_channels, dec->sample_fmt);
      }
      audio_ts_process(dp, frame);
    } else {
      ret = video_frame_process(dp, frame, outputs);
      if (ret < 0) {
        av_log(dp, AV_LOG_FATAL, "Error while processing the decoded data\n");
        av_frame_unref(frame);
        return ret;
      }
      video_hook_process(dp, frame);
    }

    dp->dec.frames_decoded++;

    ret = dec_send(dp, frame, outputs);
    if (ret < 0) return ret;
  }
}

int decoder_thread(void* arg) {
  TDecoderPriv* dp = static_cast<TDecoderPriv*>(arg);
  int ret = 0;
  int input_status = 0;

  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  if (!frame || !pkt) {
    ret = AVERROR(ENOMEM);
    goto finish;
  }

  while (!input_status) {
    input_status = FFmpegSched::sch_dec_receive(dp->sch, dp->sch_idx, pkt);
    const std::intptr_t mark = reinterpret_cast<std::intptr_t>(pkt->opaque);
    const bool have_data =
        input_status >= 0 && (pkt->buf || pkt->side_data_elems ||
                              mark == PKT_OPAQUE_SUB_HEARTBEAT || mark == PKT_OPAQUE_FIX_SUB_DURATION);
    bool flush_buffers = input_status >= 0 && !have_data;
    if (!have_data)
      ff_log_async(dp, AV_LOG_VERBOSE, "Decoder thread received %s packet\n",
                   flush_buffers ? "flush" : "EOF");

    // a loopback decoder opens with the parameters its first packet brings
    if (!dp->dec_ctx) {
      if (flush_buffers) continue;
      if (input_status < 0) {
        av_log(dp, AV_LOG_ERROR, "Cannot initialize a standalone decoder\n");
        ret = input_status;
        goto finish;
      }
      ret = dec_standalone_open(dp, pkt);
      if (ret < 0) goto finish;
    }

    ret = packet_decode(dp, have_data ? pkt : nullptr, frame);

    av_packet_unref(pkt);
    av_frame_unref(frame);

    // everything downstream has finished: no need to flush, just end
    if (ret == AVERROR_EXIT) {
      ret = AVERROR_EOF;
      flush_buffers = false;
    }

    if (ret == AVERROR_EOF) {
      ff_log_async(dp, AV_LOG_VERBOSE, "Decoder returned EOF, %s\n",
                   flush_buffers ? "resetting" : "finishing");
      if (!flush_buffers) break;

      // The end of the last audio frame goes back to the scheduler with the next
      // receive, so that a looping demuxer can place the next round after it.
      if (dp->dec.type_ == AVMEDIA_TYPE_AUDIO) {
        pkt->pts = dp->last_frame_pts == AV_NOPTS_VALUE
                       ? AV_NOPTS_VALUE
                       : dp->last_frame_pts + dp->last_frame_duration_est;
        pkt->time_base = dp->last_frame_tb;
      }
      avcodec_flush_buffers(dp->dec_ctx);
      ret = 0;
    } else if (ret < 0) {
      ff_log_async(dp, AV_LOG_ERROR, "Error processing packet in decoder: %s\n",
                   ErrText(ret).c_str());
      break;
    }
  }

  // the end of the input is the normal way out
  if (ret == AVERROR_EOF) ret = 0;

  if (ret >= 0) {
    // the end timestamp of the stream, for the filters
    av_frame_unref(frame);
    frame->opaque = reinterpret_cast<void*>(FRAME_OPAQUE_EOF);
    frame->pts = dp->last_frame_pts == AV_NOPTS_VALUE
                     ? AV_NOPTS_VALUE
                     : dp->last_frame_pts + dp->last_frame_duration_est;
    frame->time_base = dp->last_frame_tb;
    ret = FFmpegSched::sch_dec_send(dp->sch, dp->sch_idx, 0, frame);
    if (ret < 0 && ret != AVERROR_EOF) {
      av_log(dp, AV_LOG_FATAL, "Error signalling EOF timestamp: %s\n", ErrText(ret).c_str());
      goto finish;
    }
    ret = 0;

    const double errors = static_cast<double>(dp->dec.decode_errors);
    const double total = static_cast<double>(dp->dec.frames_decoded) + errors;
    const double err_rate = total > 0 ? errors / total : 0.0;
    const double max_rate = dp->Owner ? dp->Owner->Fmax_error_rate : 2.0 / 3.0;
    if (err_rate > max_rate) {
      av_log(dp, AV_LOG_FATAL, "Decode error rate %g exceeds maximum %g\n", err_rate, max_rate);
      ret = AVERROR_DECODE_ERROR_RATE;
    } else if (err_rate) {
      av_log(dp, AV_LOG_VERBOSE, "Decode error rate %g\n", err_rate);
    }
  }

finish:
  av_packet_free(&pkt);
  av_frame_free(&frame);
  return ret;
}

// ---- Subtitles --------------------------------------------------------------------------------

int transcode_subtitles(TDecoderPriv* dp, const AVPacket* pkt, AVFrame* frame) {
  const std::intptr_t mark = pkt ? reinterpret_cast<std::intptr_t>(pkt->opaque) : 0;

  if (mark == PKT_OPAQUE_SUB_HEARTBEAT) {
    frame->pts = pkt->pts;
    frame->time_base = pkt->time_base;
    frame->opaque = reinterpret_cast<void*>(FRAME_OPAQUE_SUB_HEARTBEAT);
    const int ret = FFmpegSched::sch_dec_send(dp->sch, dp->sch_idx, 0, frame);
    return ret == AVERROR_EOF ? AVERROR_EXIT : ret;
  }
  if (mark == PKT_OPAQUE_FIX_SUB_DURATION)
    return fix_sub_duration_heartbeat(dp, av_rescale_q(pkt->pts, pkt->time_base, AV_TIME_BASE_Q));

  AVPacket* flush_pkt = nullptr;
  if (!pkt) {
    flush_pkt = av_packet_alloc();
    if (!flush_pkt) return AVERROR(ENOMEM);
  }

  AVSubtitle subtitle{};
  int got_output = 0;
  int ret = avcodec_decode_subtitle2(dp->dec_ctx, &subtitle, &got_output, pkt ? pkt : flush_pkt);
  av_packet_free(&flush_pkt);
  if (ret < 0) {
    av_log(dp, AV_LOG_ERROR, "Error decoding subtitles: %s\n", ErrText(ret).c_str());
    dp->dec.decode_errors++;
    return ExitOnError(dp) ? ret : 0;
  }

  if (!got_output) {
    if (pkt) return 0;
    // At the drain the held subtitle has no successor to end it: it goes out with the
    // duration it came with instead of being lost.
    if ((dp->flags & DECODER_FLAG_FIX_SUB_DURATION) && dp->sub_prev[0]->buf[0]) {
      ret = FFmpegSched::sch_dec_send(dp->sch, dp->sch_idx, 0, dp->sub_prev[0]);
      if (ret < 0) {
        av_frame_unref(dp->sub_prev[0]);
        return ret == AVERROR_EOF ? AVERROR_EXIT : ret;
      }
    }
    return AVERROR_EOF;
  }

  dp->dec.frames_decoded++;

  // the queues carry frames: the subtitle travels in the frame's first buffer
  ret = subtitle_wrap_frame(frame, &subtitle, false);
  if (ret < 0) {
    avsubtitle_free(&subtitle);
    return ret;
  }
  frame->width = dp->dec_ctx->width;
  frame->height = dp->dec_ctx->height;

  return process_subtitle(dp, frame);
}

int subtitle_wrap_frame(AVFrame* frame, AVSubtitle* subtitle, bool copy) {
  AVSubtitle* sub;
  if (copy) {
    sub = static_cast<AVSubtitle*>(av_mallocz(sizeof(*sub)));
    if (!sub) return AVERROR(ENOMEM);
    const int ret = copy_av_subtitle(sub, subtitle);
    if (ret < 0) {
      av_freep(&sub);
      return ret;
    }
  } else {
    sub = static_cast<AVSubtitle*>(av_memdup(subtitle, sizeof(*subtitle)));
    if (!sub) return AVERROR(ENOMEM);
    std::memset(subtitle, 0, sizeof(*subtitle));
  }

  AVBufferRef* buf = av_buffer_create(reinterpret_cast<std::uint8_t*>(sub), sizeof(*sub),
                                      subtitle_free, nullptr, 0);
  if (!buf) {
    avsubtitle_free(sub);
    av_freep(&sub);
    return AVERROR(ENOMEM);
  }
  frame->buf[0] = buf;
  return 0;
}

int copy_av_subtitle(AVSubtitle* dst, const AVSubtitle* src) {
  int ret = AVERROR(ENOMEM);
  AVSubtitle tmp{};
  tmp.format = src->format;
  tmp.start_display_time = src->start_display_time;
  tmp.end_display_time = src->end_display_time;
  tmp.num_rects = 0;
  tmp.rects = nullptr;
  tmp.pts = src->pts;

  if (!src->num_rects) goto success;

  tmp.rects = static_cast<AVSubtitleRect**>(av_calloc(src->num_rects, sizeof(*tmp.rects)));
  if (!tmp.rects) goto cleanup;

  for (unsigned i = 0; i < src->num_rects; i++) {
    const AVSubtitleRect* src_rect = src->rects[i];
    AVSubtitleRect* dst_rect =
        static_cast<AVSubtitleRect*>(av_mallocz(sizeof(*dst_rect)));
    if (!dst_rect) goto cleanup;
    tmp.rects[i] = dst_rect;
    tmp.num_rects++;

    dst_rect->x = src_rect->x;
    dst_rect->y = src_rect->y;
    dst_rect->w = src_rect->w;
    dst_rect->h = src_rect->h;
    dst_rect->nb_colors = src_rect->nb_colors;
    dst_rect->type = src_rect->type;
    dst_rect->flags = src_rect->flags;

    if (src_rect->text) {
      dst_rect->text = av_strdup(src_rect->text);
      if (!dst_rect->text) goto cleanup;
    }
    if (src_rect->ass) {
      dst_rect->ass = av_strdup(src_rect->ass);
      if (!dst_rect->ass) goto cleanup;
    }

    for (int j = 0; j < 4; j++) {
      // the second plane of a bitmap subtitle is its palette
      const std::size_t buf_size = (src_rect->type == SUBTITLE_BITMAP && j == 1)
                                       ? AVPALETTE_SIZE
                                       : static_cast<std::size_t>(src_rect->h) *
                                             static_cast<std::size_t>(src_rect->linesize[j]);
      if (!src_rect->data[j]) continue;
      dst_rect->data[j] = static_cast<std::uint8_t*>(av_memdup(src_rect->data[j], buf_size));
      if (!dst_rect->data[j]) goto cleanup;
      dst_rect->linesize[j] = src_rect->linesize[j];
    }
  }

success:
  *dst = tmp;
  return 0;

cleanup:
  avsubtitle_free(&tmp);
  return ret;
}

}  // namespace FFmpegDec
