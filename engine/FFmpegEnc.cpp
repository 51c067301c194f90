// Threads and shared state:
//
//   enc_open        runs once, on the thread that delivers the encoder's first frame (a
//                   filter or decoder thread, through the scheduler), before the encoder
//                   thread receives that frame; the scheduler's hand-over orders the two.
//   encoder_thread  owns the codec context and the counters afterwards.
//   quality         written here, read by the progress report: atomic.
//   vstats file     one per task, shared by every video encoder: opened and written
//                   under the task's Fvstats_lock so lines never interleave.
//   statistics      a statistics file has one writer and one lock, shared by every
//                   stream (pre- and post-encoding, muxing) that names its path; each
//                   line is written whole under that lock.
//
// The audio step (hook, preview) runs on the encoder thread; its hook is called under the
// task's FPreviewWorkLock, one encode-side hook handler at a time; the preview part is
// serialised by the task's FAudioPreviewLock (its audio encoders share one resampler and
// one player). The preview's pull callback runs on the wave player's thread and meets the
// encoder side only in the ring buffer (which locks itself) and in the task's atomic flags
// and pull counter.
#include "engine/FFmpegEnc.h"
#include "engine/FFmpegEncInternal.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <string>

#include "engine/FFmpeg.h"
#include "engine/FFmpegMux.h"
#include "platform/Exception.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHW.h"
#include "runtime/SwResampleStubs.h"

namespace FFmpegEnc {

using AVUtilStubs::av_buffer_ref;
using AVUtilStubs::av_channel_layout_compare;
using AVUtilStubs::av_channel_layout_copy;
using AVUtilStubs::av_channel_layout_default;
using AVUtilStubs::av_channel_layout_uninit;
using AVUtilStubs::av_compare_ts;
using AVUtilStubs::av_expr_eval;
using AVUtilStubs::av_fast_malloc;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_make_writable;
using AVUtilStubs::av_frame_side_data_clone;
using AVUtilStubs::av_frame_side_data_desc;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_bytes_per_sample;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_picture_type_char;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_image_copy;
using AVUtilStubs::av_image_fill_arrays;
using AVUtilStubs::av_image_get_buffer_size;
using AVUtilStubs::av_log;
using AVUtilStubs::av_malloc;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_mul_q;
using AVCodecStubs::av_new_packet;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_side_data_get;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_pix_fmt_desc_get;
using AVUtilStubs::av_reduce;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_samples_get_buffer_size;
using AVCodecStubs::av_shrink_packet;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_encode_subtitle;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_get_hw_config;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_alloc;
using AVCodecStubs::avcodec_parameters_from_context;
using AVCodecStubs::avcodec_receive_packet;
using AVCodecStubs::avcodec_send_frame;
using AVFormatStubs::avio_flush;
using AVFormatStubs::avio_w8;
using AVFormatStubs::avio_write;
using SwResampleStubs::swr_alloc_set_opts2;
using SwResampleStubs::swr_convert;
using SwResampleStubs::swr_free;
using SwResampleStubs::swr_init;
using CmdUtils::FFmpegException;
using CmdUtils::print_error;
using FFmpegHeader::TFrameData;
using FFmpeg::PFrameData;
using FFUtils::AV_RL32;
using FFUtils::AV_RL64;

namespace {

const char* const CUnit = "FFmpegEnc";

const char* enc_item_name(void* obj) { return static_cast<TEncoderPriv*>(obj)->log_name; }

AVClass MakeEncClass() {
  AVClass c{};
  c.class_name = "Encoder";
  c.item_name = enc_item_name;
  c.version = LIBAVUTIL_VERSION_INT;
  // The stream that owns the encoder is its parent log context.
  c.parent_log_context_offset = static_cast<int>(offsetof(TEncoderPriv, log_parent));
  return c;
}
const AVClass CEncClass = MakeEncClass();

std::string ErrText(int AErr) { return print_error(AErr); }

using FFUtils::TsStr;
using FFUtils::TsTimeStr;

const char* MediaTypeString(AVMediaType t) {
  const char* s = av_get_media_type_string(t);
  return s ? s : "unknown";
}

PEncoderPriv EncOf(POutputStream ost) { return ep_from_enc(ost->enc); }

FFmpegHeader::TBaseFFmpeg* TaskOf(POutputStream ost) { return FFmpegMux::ost_task(ost); }

// The frame data record of a frame or packet when it has one; never creates one.
const TFrameData* FrameDataPeek(const AVBufferRef* ref) {
  return ref ? reinterpret_cast<const TFrameData*>(ref->data) : nullptr;
}

// Writes text into a statistics writer's I/O context.
void StatsPut(AVIOContext* io, const char* AFormat, ...) __attribute__((format(printf, 2, 3)));
void StatsPut(AVIOContext* io, const char* AFormat, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, AFormat);
  const int n = std::vsnprintf(buf, sizeof(buf), AFormat, ap);
  va_end(ap);
  if (n > 0) avio_write(io, reinterpret_cast<const unsigned char*>(buf),
                        std::min<int>(n, sizeof(buf) - 1));
}

}  // namespace

// ---- Life cycle ---------------------------------------------------------------------------

int enc_alloc(PEncoder& penc, const AVCodec* codec, FFmpegSched::TScheduler* sch,
              Cardinal sch_idx, POutputStream ost) {
  penc = nullptr;
  auto* e = static_cast<PEncoderPriv>(av_mallocz(sizeof(TEncoderPriv)));
  if (!e) return AVERROR(ENOMEM);
  e->e.class_ = &CEncClass;
  e->log_parent = ost;
  e->sch = sch;
  e->sch_idx = sch_idx;
  std::snprintf(e->log_name, sizeof(e->log_name), "enc:%s", codec->name);
  e->e.enc_ctx = avcodec_alloc_context3(codec);
  if (!e->e.enc_ctx) {
    PEncoder p = &e->e;
    enc_free(p);
    return AVERROR(ENOMEM);
  }
  penc = &e->e;
  return 0;
}

void enc_free(PEncoder& penc) {
  if (!penc) return;
  if (penc->enc_ctx) {
    av_freep(&penc->enc_ctx->stats_in);
    avcodec_free_context(&penc->enc_ctx);
  }
  av_freep(&penc);
}

int enc_loopback(PEncoder enc) {
  PEncoderPriv e = ep_from_enc(enc);
  e->attach_par = 1;
  return static_cast<int>(e->sch_idx);
}

int hw_device_setup_for_encode(PEncoderPriv e, AVBufferRef* frames_ref) {
  AVCodecContext* enc_ctx = e->e.enc_ctx;
  // A frames context in another format than the encoder's is of no use to it.
  if (frames_ref &&
      reinterpret_cast<AVHWFramesContext*>(frames_ref->data)->format != enc_ctx->pix_fmt)
    frames_ref = nullptr;

  FFmpegHeader::PHWDevice dev = nullptr;
  for (int i = 0;; i++) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(enc_ctx->codec, i);
    if (!config) break;
    if (frames_ref && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX) &&
        (config->pix_fmt == AV_PIX_FMT_NONE || config->pix_fmt == enc_ctx->pix_fmt)) {
      av_log(e, AV_LOG_VERBOSE, "Using input frames context (format %s) with %s encoder.\n",
             av_get_pix_fmt_name(enc_ctx->pix_fmt), enc_ctx->codec->name);
      enc_ctx->hw_frames_ctx = av_buffer_ref(frames_ref);
      if (!enc_ctx->hw_frames_ctx) return AVERROR(ENOMEM);
      return 0;
    }
    if (!dev && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX))
      dev = FFmpegHW::hw_device_get_by_type(TaskOf(e->log_parent), config->device_type);
  }
  if (dev) {
    av_log(e, AV_LOG_VERBOSE, "Using device %s (type %s) with %s encoder.\n", dev->name,
           av_hwdevice_get_type_name(dev->type_), enc_ctx->codec->name);
    enc_ctx->hw_device_ctx = av_buffer_ref(dev->device_ref);
    if (!enc_ctx->hw_device_ctx) return AVERROR(ENOMEM);
  }
  return 0;
}

int enc_open(void* opaque, const AVFrame* frame) {
  auto ost = static_cast<POutputStream>(opaque);
  PEncoderPriv e = EncOf(ost);
  if (e->opened) return 0;

  POutputFile of = ost->file_;
  AVCodecContext* enc_ctx = e->e.enc_ctx;
  const AVCodec* enc = enc_ctx->codec;
  FFmpegHeader::PDecoder dec = nullptr;
  int ret;

  // Video and audio encoders open from the first frame; only subtitles open without one.
  Platform::Check(frame || (ost->type_ != AVMEDIA_TYPE_VIDEO && ost->type_ != AVMEDIA_TYPE_AUDIO),
                  CUnit, 190);
  const TFrameData* fd = nullptr;
  if (frame) {
    fd = FFmpeg::frame_data_c(const_cast<AVFrame*>(frame));
    Platform::Check(fd != nullptr, CUnit, 194);
    // Side data that describes the whole stream travels with the codec context.
    for (int i = 0; i < frame->nb_side_data; i++) {
      const AVSideDataDescriptor* desc = av_frame_side_data_desc(frame->side_data[i]->type);
      if (!desc || !(desc->props & AV_SIDE_DATA_PROP_GLOBAL)) continue;
      ret = av_frame_side_data_clone(&enc_ctx->decoded_side_data, &enc_ctx->nb_decoded_side_data,
                                     frame->side_data[i], AV_FRAME_SIDE_DATA_FLAG_UNIQUE);
      if (ret < 0) return ret;
    }
  }

  if (ost->ist) dec = ost->ist->decoder;

  if (ost->type_ == AVMEDIA_TYPE_VIDEO || ost->type_ == AVMEDIA_TYPE_AUDIO) {
    enc_ctx->time_base = frame->time_base;
    enc_ctx->framerate = fd->frame_rate_filter;
  }

  switch (ost->type_) {
    case AVMEDIA_TYPE_AUDIO:
      Platform::Check(frame->format != AV_SAMPLE_FMT_NONE && frame->sample_rate > 0 &&
                          frame->ch_layout.nb_channels > 0,
                      CUnit, 215);
      enc_ctx->sample_fmt = static_cast<AVSampleFormat>(frame->format);
      enc_ctx->sample_rate = frame->sample_rate;
      ret = av_channel_layout_copy(&enc_ctx->ch_layout, &frame->ch_layout);
      if (ret < 0) return ret;
      if (ost->bits_per_raw_sample)
        enc_ctx->bits_per_raw_sample = ost->bits_per_raw_sample;
      else
        enc_ctx->bits_per_raw_sample =
            std::min(fd->bits_per_raw_sample, av_get_bytes_per_sample(enc_ctx->sample_fmt) << 3);
      break;

    case AVMEDIA_TYPE_VIDEO: {
      Platform::Check(frame->format != AV_PIX_FMT_NONE && frame->width > 0 && frame->height > 0,
                      CUnit, 228);
      enc_ctx->width = frame->width;
      enc_ctx->height = frame->height;
      if (ost->frame_aspect_ratio.num) {
        const AVRational sar = av_mul_q(ost->frame_aspect_ratio,
                                        AVRational{enc_ctx->height, enc_ctx->width});
        av_reduce(&enc_ctx->sample_aspect_ratio.num, &enc_ctx->sample_aspect_ratio.den, sar.num,
                  sar.den, INT_MAX);
      } else {
        enc_ctx->sample_aspect_ratio = frame->sample_aspect_ratio;
      }
      enc_ctx->pix_fmt = static_cast<AVPixelFormat>(frame->format);
      if (ost->bits_per_raw_sample) {
        enc_ctx->bits_per_raw_sample = ost->bits_per_raw_sample;
      } else {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(enc_ctx->pix_fmt);
        enc_ctx->bits_per_raw_sample = std::min(fd->bits_per_raw_sample, desc->comp[0].depth);
      }
      enc_ctx->color_range = frame->color_range;
      enc_ctx->color_primaries = frame->color_primaries;
      enc_ctx->color_trc = frame->color_trc;
      enc_ctx->colorspace = frame->colorspace;
      enc_ctx->chroma_sample_location = frame->chroma_location;

      if ((enc_ctx->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) ||
          (frame->flags & AV_FRAME_FLAG_INTERLACED) || ost->top_field_first >= 0) {
        const int top_field_first = ost->top_field_first >= 0
                                        ? ost->top_field_first
                                        : !!(frame->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST);
        if (enc->id == AV_CODEC_ID_MJPEG)
          enc_ctx->field_order = top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
        else
          enc_ctx->field_order = top_field_first ? AV_FIELD_TB : AV_FIELD_BT;
      } else {
        enc_ctx->field_order = AV_FIELD_PROGRESSIVE;
      }
      break;
    }

    case AVMEDIA_TYPE_SUBTITLE:
      enc_ctx->time_base = AVRational{1, AV_TIME_BASE};
      if (!enc_ctx->width && ost->ist) {
        enc_ctx->width = ost->ist->par->width;
        enc_ctx->height = ost->ist->par->height;
      }
      Platform::Check(dec != nullptr, CUnit, 272);
      if (dec->subtitle_header) {
        // The subtitle header is text: the encoder expects it zero-terminated.
        enc_ctx->subtitle_header =
            static_cast<std::uint8_t*>(av_mallocz(dec->subtitle_header_size + 1));
        if (!enc_ctx->subtitle_header) return AVERROR(ENOMEM);
        std::memcpy(enc_ctx->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
        enc_ctx->subtitle_header_size = dec->subtitle_header_size;
      }
      break;

    default:
      throw FFmpegException("invalid codec_type of output stream");
  }

  if (ost->bitexact) enc_ctx->flags |= AV_CODEC_FLAG_BITEXACT;
  if (enc->capabilities & AV_CODEC_CAP_ENCODER_REORDERED_OPAQUE)
    enc_ctx->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
  enc_ctx->flags |= AV_CODEC_FLAG_FRAME_DURATION;

  ret = hw_device_setup_for_encode(e, frame ? frame->hw_frames_ctx : nullptr);
  if (ret < 0) {
    av_log(e, AV_LOG_ERROR, "Encoding hardware device setup failed: %s\n", ErrText(ret).c_str());
    return ret;
  }

  ret = avcodec_open2(enc_ctx, enc, nullptr);
  if (ret < 0) {
    if (ret != AVERROR_EXPERIMENTAL)
      av_log(e, AV_LOG_ERROR,
             "Error while opening encoder - maybe incorrect parameters such as bit_rate, rate, "
             "width or height.\n");
    return ret;
  }

  e->opened = 1;
  int frame_size = 0;
  if (enc_ctx->frame_size) frame_size = enc_ctx->frame_size;

  if (enc_ctx->bit_rate && enc_ctx->bit_rate < 1000 && enc_ctx->codec_id != AV_CODEC_ID_CODEC2)
    av_log(e, AV_LOG_WARNING,
           "The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s\n");

  ret = FFmpegMux::of_stream_init(of, ost, enc_ctx);
  if (ret < 0) return ret;
  return frame_size;
}

// ---- Encoding -----------------------------------------------------------------------------

bool check_recording_time(POutputStream ost, std::int64_t ts, AVRational tb) {
  POutputFile of = ost->file_;
  if (of->recording_time != INT64_MAX &&
      av_compare_ts(ts, tb, of->recording_time, AVRational{1, AV_TIME_BASE}) >= 0)
    return false;
  return true;
}

int update_video_stats(POutputStream ost, const AVPacket* pkt, bool write_vstats) {
  PEncoderPriv e = EncOf(ost);
  AVCodecContext* enc = e->e.enc_ctx;
  const AVPacketSideData* sd =
      av_packet_side_data_get(pkt->side_data, pkt->side_data_elems, AV_PKT_DATA_QUALITY_STATS);
  const int quality = sd ? static_cast<int>(AV_RL32(sd->data)) : -1;
  const AVPictureType pict_type = sd ? static_cast<AVPictureType>(sd->data[4])
                                     : AV_PICTURE_TYPE_NONE;
  FFmpegHeader::atomic_store(ost->quality, quality);

  double psnr_val = -1;
  if ((enc->flags & AV_CODEC_FLAG_PSNR) && sd && sd->data[5]) {
    const double error = static_cast<double>(AV_RL64(sd->data + 8));
    const double p = error / (enc->width * enc->height * 255.0 * 255.0);
    if (p >= 0 && p <= 1) psnr_val = -10.0 * std::log10(p);
  }

  if (!write_vstats) return 0;

  FFmpegHeader::TBaseFFmpeg* task = TaskOf(ost);
  std::lock_guard<std::mutex> guard(task->Fvstats_lock);
  if (!task->Fvstats_file) {
    task->Fvstats_file = std::fopen(task->Fvstats_filename, "w");
    if (!task->Fvstats_file) {
      av_log(ost, AV_LOG_ERROR, "fopen() failed with %s\n", task->Fvstats_filename);
      return -1;
    }
  }
  FILE* vstats_file = task->Fvstats_file;
  const std::uint64_t frame_number = e->packets_encoded;
  if (task->Fvstats_version <= 1)
    std::fprintf(vstats_file, "frame= %5" PRIu64 " q= %2.1f ", frame_number,
                 quality / static_cast<float>(FF_QP2LAMBDA));
  else
    std::fprintf(vstats_file, "out= %2d st= %2d frame= %5" PRIu64 " q= %2.1f ",
                 ost->file_->index, ost->index, frame_number,
                 quality / static_cast<float>(FF_QP2LAMBDA));
  if (psnr_val >= 0) std::fprintf(vstats_file, "PSNR= %6.2f ", psnr_val);
  std::fprintf(vstats_file, "f_size= %6d ", pkt->size);
  double ti1 = static_cast<double>(pkt->dts) * av_q2d(pkt->time_base);
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = (pkt->size * 8) / av_q2d(enc->time_base) / 1000.0;
  const double avg_bitrate = static_cast<double>(e->data_size * 8) / ti1 / 1000.0;
  std::fprintf(vstats_file, "s_size= %8.0fKiB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(e->data_size) / 1024, ti1, bitrate, avg_bitrate);
  std::fprintf(vstats_file, "type= %c\n", av_get_picture_type_char(pict_type));
  return 0;
}

void enc_stats_write(POutputStream ost, TEncStats* es, const AVFrame* frame, const AVPacket* pkt,
                     std::uint64_t frame_num) {
  PEncoderPriv e = ost->enc ? EncOf(ost) : nullptr;
  AVIOContext* io = es->io;
  const AVRational tb = frame ? frame->time_base : pkt->time_base;
  const std::int64_t pts = frame ? frame->pts : pkt->pts;
  const TFrameData* fd = frame ? FrameDataPeek(frame->opaque_ref) : FrameDataPeek(pkt->opaque_ref);
  const AVRational tbi = fd ? fd->dec.tb : AVRational{0, 1};
  const std::int64_t ptsi = fd ? fd->dec.pts : AV_NOPTS_VALUE;

  // the file's lock: other streams may write lines into the same file
  std::lock_guard<std::mutex> guard(*es->lock);
  for (int i = 0; i < es->nb_components; i++) {
    const FFmpegHeader::TEncStatsComponent* c = &es->components[i];
    switch (c->type_) {
      case FFmpegHeader::ENC_STATS_LITERAL:
        avio_write(io, c->str, static_cast<int>(c->str_len));
        continue;
      case FFmpegHeader::ENC_STATS_FILE_IDX:
        StatsPut(io, "%d", ost->file_->index);
        continue;
      case FFmpegHeader::ENC_STATS_STREAM_IDX:
        StatsPut(io, "%d", ost->index);
        continue;
      case FFmpegHeader::ENC_STATS_TIMEBASE:
        StatsPut(io, "%d/%d", tb.num, tb.den);
        continue;
      case FFmpegHeader::ENC_STATS_TIMEBASE_IN:
        StatsPut(io, "%d/%d", tbi.num, tbi.den);
        continue;
      case FFmpegHeader::ENC_STATS_PTS:
        StatsPut(io, "%" PRId64, pts);
        continue;
      case FFmpegHeader::ENC_STATS_PTS_IN:
        StatsPut(io, "%" PRId64, ptsi);
        continue;
      case FFmpegHeader::ENC_STATS_PTS_TIME:
        StatsPut(io, "%.6g", static_cast<double>(pts) * av_q2d(tb));
        continue;
      case FFmpegHeader::ENC_STATS_PTS_TIME_IN:
        StatsPut(io, "%.6g", ptsi == AV_NOPTS_VALUE ? INFINITY
                                                    : static_cast<double>(ptsi) * av_q2d(tbi));
        continue;
      case FFmpegHeader::ENC_STATS_FRAME_NUM:
        StatsPut(io, "%" PRIu64, frame_num);
        continue;
      case FFmpegHeader::ENC_STATS_FRAME_NUM_IN:
        StatsPut(io, "%" PRId64, fd ? static_cast<std::int64_t>(fd->dec.frame_num) : -1);
        continue;
      default:
        break;
    }

    if (frame) {
      switch (c->type_) {
        case FFmpegHeader::ENC_STATS_SAMPLE_NUM:
          StatsPut(io, "%" PRIu64, e ? e->e.samples_encoded : 0);
          continue;
        case FFmpegHeader::ENC_STATS_NB_SAMPLES:
          StatsPut(io, "%d", frame->nb_samples);
          continue;
        default:
          break;
      }
    } else {
      switch (c->type_) {
        case FFmpegHeader::ENC_STATS_DTS:
          StatsPut(io, "%" PRId64, pkt->dts);
          continue;
        case FFmpegHeader::ENC_STATS_DTS_TIME:
          StatsPut(io, "%g", static_cast<double>(pkt->dts) * av_q2d(tb));
          continue;
        case FFmpegHeader::ENC_STATS_PKT_SIZE:
          StatsPut(io, "%d", pkt->size);
          continue;
        case FFmpegHeader::ENC_STATS_KEYFRAME:
          StatsPut(io, "%s", (pkt->flags & AV_PKT_FLAG_KEY) ? "K" : "N");
          continue;
        case FFmpegHeader::ENC_STATS_BITRATE: {
          const double duration =
              static_cast<double>(std::max<std::int64_t>(pkt->duration, 1)) * av_q2d(tb);
          StatsPut(io, "%g", 8.0 * pkt->size / duration);
          continue;
        }
        case FFmpegHeader::ENC_STATS_AVG_BITRATE: {
          const double duration = static_cast<double>(pkt->dts) * av_q2d(tb);
          const double data_size = e ? static_cast<double>(e->data_size) : 0.0;
          StatsPut(io, "%g", duration > 0 ? 8.0 * data_size / duration : NAN);
          continue;
        }
        default:
          break;
      }
    }
  }
  avio_w8(io, '\n');
  avio_flush(io);
}

bool forced_kf_apply(void* logctx, TKeyframeForceCtx* kf, const AVFrame* frame) {
  if (kf->ref_pts == AV_NOPTS_VALUE) kf->ref_pts = frame->pts;
  const double pts_time =
      static_cast<double>(frame->pts - kf->ref_pts) * av_q2d(frame->time_base);

  if (kf->index < kf->nb_pts &&
      av_compare_ts(frame->pts, frame->time_base, kf->pts[kf->index], AVRational{1, AV_TIME_BASE}) >=
          0) {
    kf->index++;
  } else if (kf->pexpr) {
    double* v = kf->expr_const_values;
    v[FFmpegHeader::FKF_T] = pts_time;
    const double res = av_expr_eval(kf->pexpr, v, nullptr);
    av_log(logctx, AV_LOG_TRACE,
           "force_key_frame: n:%f n_forced:%f prev_forced_n:%f t:%f prev_forced_t:%f -> res:%f\n",
           v[FFmpegHeader::FKF_N], v[FFmpegHeader::FKF_N_FORCED],
           v[FFmpegHeader::FKF_PREV_FORCED_N], v[FFmpegHeader::FKF_T],
           v[FFmpegHeader::FKF_PREV_FORCED_T], res);
    v[FFmpegHeader::FKF_N] += 1;
    if (res == 0) return false;
    v[FFmpegHeader::FKF_PREV_FORCED_N] = v[FFmpegHeader::FKF_N] - 1;
    v[FFmpegHeader::FKF_PREV_FORCED_T] = v[FFmpegHeader::FKF_T];
    v[FFmpegHeader::FKF_N_FORCED] += 1;
  } else if (kf->type_ == 1 && (frame->flags & AV_FRAME_FLAG_KEY)) {
    // "source": keep the key frames of the input
  } else {
    return false;
  }
  av_log(logctx, AV_LOG_DEBUG, "Forced keyframe at time %f\n", pts_time);
  return true;
}

int encode_frame(POutputFile of, POutputStream ost, AVFrame* frame, AVPacket* pkt) {
  PEncoderPriv e = EncOf(ost);
  AVCodecContext* enc = e->e.enc_ctx;
  FFmpegHeader::TBaseFFmpeg* task = TaskOf(ost);
  const char* type_desc = MediaTypeString(enc->codec_type);
  (void)of;
  int ret;

  if (frame) {
    PFrameData fd = FFmpeg::frame_data(frame);
    if (!fd) return AVERROR(ENOMEM);
    fd->wallclock[FFmpegHeader::LATENCY_PROBE_ENC_PRE] = av_gettime_relative();

    if (ost->enc_stats_pre.io)
      enc_stats_write(ost, &ost->enc_stats_pre, frame, nullptr, e->e.frames_encoded);

    e->e.frames_encoded++;
    e->e.samples_encoded += frame->nb_samples;

    if (task->Fdebug_ts)
      av_log(e, AV_LOG_INFO, "encoder <- type:%s frame_pts:%s frame_pts_time:%s time_base:%d/%d\n",
             type_desc, TsStr(frame->pts).c_str(), TsTimeStr(frame->pts, enc->time_base).c_str(),
             enc->time_base.num, enc->time_base.den);

    if (frame->sample_aspect_ratio.num && !ost->frame_aspect_ratio.num)
      enc->sample_aspect_ratio = frame->sample_aspect_ratio;
  }

  ret = avcodec_send_frame(enc, frame);
  if (ret < 0 && !(ret == AVERROR_EOF && !frame)) {
    av_log(e, AV_LOG_ERROR, "Error submitting %s frame to the encoder %s\n", type_desc,
           ErrText(ret).c_str());
    return ret;
  }

  while (true) {
    av_packet_unref(pkt);
    ret = avcodec_receive_packet(enc, pkt);

    // A pass-1 log receives the encoder's statistics after every packet and at the end.
    if ((ret >= 0 || ret == AVERROR_EOF) && ost->logfile2pass && enc->stats_out)
      std::fprintf(static_cast<FILE*>(ost->logfile2pass), "%s", enc->stats_out);

    if (ret == AVERROR(EAGAIN)) {
      // a flush drains everything: the encoder cannot ask for more input then
      Platform::Check(frame != nullptr, CUnit, 540);
      return 0;
    }
    if (ret == AVERROR_EOF) return ret;
    if (ret < 0) {
      av_log(e, AV_LOG_ERROR, "%s encoding failed\n", type_desc);
      return ret;
    }

    pkt->time_base = enc->time_base;

    PFrameData fd = FFmpeg::packet_data(pkt);
    if (!fd) return AVERROR(ENOMEM);
    fd->wallclock[FFmpegHeader::LATENCY_PROBE_ENC_POST] = av_gettime_relative();

    // A loopback decoder needs the encoder's parameters, which exist only now.
    if (e->attach_par && !e->packets_encoded) {
      fd->par_enc = avcodec_parameters_alloc();
      if (!fd->par_enc) return AVERROR(ENOMEM);
      ret = avcodec_parameters_from_context(fd->par_enc, enc);
      if (ret < 0) return ret;
    }

    pkt->flags |= AV_PKT_FLAG_TRUSTED;

    if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      ret = update_video_stats(ost, pkt, task->Fvstats_filename != nullptr);
      if (ret < 0) return ret;
    }

    if (ost->enc_stats_post.io)
      enc_stats_write(ost, &ost->enc_stats_post, nullptr, pkt, e->packets_encoded);

    if (task->Fdebug_ts)
      av_log(e, AV_LOG_INFO,
             "encoder -> type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s "
             "duration:%s duration_time:%s\n",
             type_desc, TsStr(pkt->pts).c_str(), TsTimeStr(pkt->pts, enc->time_base).c_str(),
             TsStr(pkt->dts).c_str(), TsTimeStr(pkt->dts, enc->time_base).c_str(),
             TsStr(pkt->duration).c_str(), TsTimeStr(pkt->duration, enc->time_base).c_str());

    e->data_size += static_cast<std::uint64_t>(pkt->size);
    e->packets_encoded++;

    ret = FFmpegSched::sch_enc_send(e->sch, e->sch_idx, pkt);
    if (ret < 0) {
      av_packet_unref(pkt);
      return ret;
    }
  }
}

int do_subtitle_out(POutputFile of, POutputStream ost, const AVSubtitle* sub, AVPacket* pkt) {
  constexpr int subtitle_out_max_size = 1024 * 1024;
  PEncoderPriv e = EncOf(ost);
  AVCodecContext* enc = e->e.enc_ctx;
  FFmpegHeader::TBaseFFmpeg* task = TaskOf(ost);

  if (sub->pts == AV_NOPTS_VALUE) {
    av_log(ost, AV_LOG_ERROR, "Subtitle packets must have a pts\n");
    return task->Fexit_on_error ? AVERROR(EINVAL) : 0;
  }
  if (of->start_time != AV_NOPTS_VALUE && sub->pts < of->start_time) return 0;

  // DVB subtitles need one packet to draw and one to clear; ASS one per rectangle.
  int nb;
  if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE)
    nb = 2;
  else if (enc->codec_id == AV_CODEC_ID_ASS)
    nb = std::max<int>(static_cast<int>(sub->num_rects), 1);
  else
    nb = 1;

  std::int64_t pts = sub->pts;
  if (of->start_time != AV_NOPTS_VALUE) pts -= of->start_time;

  for (int i = 0; i < nb; i++) {
    AVSubtitle local_sub = *sub;
    if (!check_recording_time(ost, pts, AVRational{1, AV_TIME_BASE})) return AVERROR_EOF;

    int ret = av_new_packet(pkt, subtitle_out_max_size);
    if (ret < 0) return AVERROR(ENOMEM);

    local_sub.pts = pts;
    // start_display_time is required to be 0
    local_sub.pts += av_rescale_q(local_sub.start_display_time, AVRational{1, 1000},
                                  AVRational{1, AV_TIME_BASE});
    local_sub.end_display_time -= local_sub.start_display_time;
    local_sub.start_display_time = 0;

    if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE && i == 1) local_sub.num_rects = 0;
    else if (enc->codec_id == AV_CODEC_ID_ASS && sub->num_rects > 0) {
      local_sub.num_rects = 1;
      local_sub.rects += i;
    }

    e->e.frames_encoded++;

    const int subtitle_out_size = avcodec_encode_subtitle(enc, pkt->data, pkt->size, &local_sub);
    if (subtitle_out_size < 0) {
      av_log(ost, AV_LOG_FATAL, "Subtitle encoding failed\n");
      return subtitle_out_size;
    }

    av_shrink_packet(pkt, subtitle_out_size);
    pkt->time_base = AVRational{1, AV_TIME_BASE};
    pkt->pts = local_sub.pts;
    pkt->duration = av_rescale_q(local_sub.end_display_time, AVRational{1, 1000}, pkt->time_base);
    if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE) {
      // the pts correction is handled here; the muxer must not correct it again
      if (i == 0)
        pkt->pts += av_rescale_q(local_sub.start_display_time, AVRational{1, 1000}, pkt->time_base);
      else
        pkt->pts += av_rescale_q(local_sub.end_display_time, AVRational{1, 1000}, pkt->time_base);
    }
    pkt->dts = pkt->pts;

    ret = FFmpegSched::sch_enc_send(e->sch, e->sch_idx, pkt);
    if (ret < 0) {
      av_packet_unref(pkt);
      return ret;
    }
  }
  return 0;
}

int frame_encode(POutputStream ost, AVFrame* frame, AVPacket* pkt) {
  POutputFile of = ost->file_;
  PEncoderPriv e = EncOf(ost);
  AVCodecContext* enc = e->e.enc_ctx;

  if (ost->type_ == AVMEDIA_TYPE_SUBTITLE) {
    // the subtitle travels in the frame's first buffer
    const AVSubtitle* subtitle =
        frame && frame->buf[0] ? reinterpret_cast<const AVSubtitle*>(frame->buf[0]->data) : nullptr;
    if (subtitle && subtitle->num_rects) return do_subtitle_out(of, ost, subtitle, pkt);
    return 0;
  }

  if (frame) {
    if (!check_recording_time(ost, frame->pts, frame->time_base)) return AVERROR_EOF;

    if (ost->type_ == AVMEDIA_TYPE_AUDIO) {
      if (!(enc->codec->capabilities & AV_CODEC_CAP_PARAM_CHANGE) &&
          enc->ch_layout.nb_channels != frame->ch_layout.nb_channels) {
        av_log(ost, AV_LOG_ERROR,
               "Audio channel count changed and encoder does not support parameter changes\n");
        return 0;
      }
      enc_audio_hook_process(ost, frame);
    } else if (ost->type_ == AVMEDIA_TYPE_VIDEO) {
      frame->quality = enc->global_quality;
      frame->pict_type = forced_kf_apply(ost, &ost->kf, frame) ? AV_PICTURE_TYPE_I
                                                                 : AV_PICTURE_TYPE_NONE;
      if (ost->top_field_first >= 0) {
        if (ost->top_field_first)
          frame->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
        else
          frame->flags &= ~AV_FRAME_FLAG_TOP_FIELD_FIRST;
      }
      enc_video_hook_step(ost, frame);
    }
  }
  return encode_frame(of, ost, frame, pkt);
}

int enc_thread_init(TEncoderThread* et) {
  et->frame = av_frame_alloc();
  et->pkt = av_packet_alloc();
  if (!et->frame || !et->pkt) {
    enc_thread_uninit(et);
    return AVERROR(ENOMEM);
  }
  return 0;
}

void enc_thread_uninit(TEncoderThread* et) {
  av_frame_free(&et->frame);
  av_packet_free(&et->pkt);
}

int encoder_thread(void* arg) {
  auto ost = static_cast<POutputStream>(arg);
  PEncoderPriv e = EncOf(ost);
  TEncoderThread et{};
  int ret = enc_thread_init(&et);
  if (ret < 0) return ret;

  // Subtitle encoders have no first frame to open from.
  if (ost->type_ != AVMEDIA_TYPE_VIDEO && ost->type_ != AVMEDIA_TYPE_AUDIO) {
    ret = enc_open(ost, nullptr);
    if (ret < 0) goto finish;
    ret = 0;
  }

  while (true) {
    int input_status = FFmpegSched::sch_enc_receive(e->sch, e->sch_idx, et.frame);
    if (input_status < 0) {
      if (input_status == AVERROR_EOF) {
        av_log(e, AV_LOG_VERBOSE, "Encoder thread received EOF\n");
        if (e->opened) break;
        av_log(e, AV_LOG_ERROR, "Could not open encoder before EOF\n");
        ret = AVERROR(EINVAL);
        goto finish;
      }
      av_log(e, AV_LOG_ERROR, "Error receiving a frame for encoding: %s\n",
             ErrText(input_status).c_str());
      ret = input_status;
      goto finish;
    }

    ret = frame_encode(ost, et.frame, et.pkt);
    av_packet_unref(et.pkt);
    av_frame_unref(et.frame);
    if (ret < 0) {
      if (ret == AVERROR_EOF)
        av_log(e, AV_LOG_VERBOSE, "Encoder returned EOF, finishing\n");
      else
        av_log(e, AV_LOG_ERROR, "Error encoding a frame: %s\n", ErrText(ret).c_str());
      break;
    }
    if (input_status > 0) break;
  }

  // flush the encoder
  if (ret == 0 || ret == AVERROR_EOF) {
    ret = frame_encode(ost, nullptr, et.pkt);
    if (ret < 0 && ret != AVERROR_EOF)
      av_log(e, AV_LOG_ERROR, "Error flushing encoder: %s\n", ErrText(ret).c_str());
  }

  // EOF is the normal end of an encoder
  if (ret == AVERROR_EOF) ret = 0;

finish:
  enc_thread_uninit(&et);
  return ret;
}

// ---- Encode-side hooks and audio preview --------------------------------------------------

namespace {

FFmpeg::TCustomFFmpeg* CustomTaskOf(POutputStream ost) {
  return static_cast<FFmpeg::TCustomFFmpeg*>(TaskOf(ost));
}

void LogTask(FFmpeg::TCustomFFmpeg* task, FFLoad::TLogLevel ALevel, const std::string& AMsg) {
  FFLoad::VEDovedo->Log(task, ALevel, AMsg);
}

// Most sound the preview may hold unplayed: beyond it a frame's sound is dropped, so the
// encoder never waits for the player (the ring would block a writer once full).
constexpr std::int64_t CPreviewMaxBacklog = 1048576;

// The wave player's signed 16-bit little-endian sample format.
constexpr std::uint16_t CWaveFormatS16 = 0x8010;

}  // namespace

bool audio_preview_open(FFmpeg::TCustomFFmpeg* task, const AVFrame* frame) {
  FFmpeg::TAudioPreviewInFormat& in = task->FPreviewInFormat;
  av_channel_layout_uninit(&in.ch_layout);
  in.sample_fmt = -1;
  in.sample_rate = -1;
  swr_free(&in.swr_ctx);

  // The wave player cannot take every channel count (it plays 1, 2, 4 or 6): the
  // preview is always played as stereo, which any count downmixes to.
  FFmpeg::TAudioPreviewOutFormat& out = task->FPreviewOutFormat;
  av_channel_layout_uninit(&out.ch_layout);
  av_channel_layout_default(&out.ch_layout, 2);
  out.sample_rate = frame->sample_rate;
  out.sample_fmt = AV_SAMPLE_FMT_S16;

  WavePlay::TFF_AudioSpec spec{};
  spec.freq = frame->sample_rate;
  spec.format = CWaveFormatS16;
  spec.channels = static_cast<std::uint8_t>(out.ch_layout.nb_channels);
  spec.callback = audio_preview_pull;
  spec.userdata = task;
  if (!task->FWavePlayer->Open(&spec, nullptr)) {
    LogTask(task, FFLoad::llError, "WaveOpen() failed: " + task->FWavePlayer->LastErrMsg());
    return false;
  }
  return true;
}

int audio_preview_resample(FFmpeg::TCustomFFmpeg* task, const AVFrame* frame,
                           FFmpeg::TAudioPreviewInFormat& in_format, std::uint8_t*& out_data) {
  FFmpeg::TAudioPreviewOutFormat& out = task->FPreviewOutFormat;
  int ret;

  if (av_channel_layout_compare(&frame->ch_layout, &in_format.ch_layout) != 0 ||
      frame->sample_rate != in_format.sample_rate || frame->format != in_format.sample_fmt) {
    swr_free(&in_format.swr_ctx);
    av_channel_layout_uninit(&in_format.ch_layout);
    ret = av_channel_layout_copy(&in_format.ch_layout, &frame->ch_layout);
    if (ret < 0) return ret;
    in_format.sample_rate = frame->sample_rate;
    in_format.sample_fmt = frame->format;
  }

  const int out_channels = out.ch_layout.nb_channels;
  const int out_bps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(out.sample_fmt));

  if (av_channel_layout_compare(&in_format.ch_layout, &out.ch_layout) == 0 &&
      in_format.sample_rate == out.sample_rate && in_format.sample_fmt == out.sample_fmt) {
    // Already in the player's format. Only the real samples count: the plane's line size
    // may carry padding, which would be played as noise.
    out_data = frame->data[0];
    return frame->nb_samples * out_channels * out_bps;
  }

  if (!in_format.swr_ctx) {
    ret = swr_alloc_set_opts2(
        &in_format.swr_ctx, &out.ch_layout, static_cast<AVSampleFormat>(out.sample_fmt),
        out.sample_rate, &in_format.ch_layout, static_cast<AVSampleFormat>(in_format.sample_fmt),
        in_format.sample_rate, 0, nullptr);
    if (ret < 0) {
      LogTask(task, FFLoad::llError, "swr_alloc_set_opts2() failed");
      return ret;
    }
    ret = swr_init(in_format.swr_ctx);
    if (ret < 0) {
      LogTask(task, FFLoad::llFatal, "swr_init() failed");
      swr_free(&in_format.swr_ctx);
      return ret;
    }
    const char* in_name =
        av_get_sample_fmt_name(static_cast<AVSampleFormat>(in_format.sample_fmt));
    const char* out_name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(out.sample_fmt));
    char msg[256];
    std::snprintf(msg, sizeof(msg),
                  "need resample %d Hz %s %d channels to %d Hz %s %d channels for audio preview",
                  in_format.sample_rate, in_name ? in_name : "?", in_format.ch_layout.nb_channels,
                  out.sample_rate, out_name ? out_name : "?", out_channels);
    LogTask(task, FFLoad::llInfo, msg);
  }

  const std::int64_t capacity64 =
      static_cast<std::int64_t>(frame->nb_samples) * out.sample_rate / in_format.sample_rate + 256;
  if (capacity64 > INT_MAX / 16) return AVERROR(EINVAL);
  const int capacity = static_cast<int>(capacity64);
  const int size = av_samples_get_buffer_size(nullptr, out_channels, capacity,
                                              static_cast<AVSampleFormat>(out.sample_fmt), 0);
  if (size < 0) return size;
  av_fast_malloc(&task->FPreviewSamples, &task->FPreviewSamplesSize, static_cast<std::size_t>(size));
  if (!task->FPreviewSamples) {
    LogTask(task, FFLoad::llError, "av_fast_malloc() failed");
    return AVERROR(ENOMEM);
  }

  std::uint8_t* dst = task->FPreviewSamples;
  const int n = swr_convert(
      in_format.swr_ctx, &dst, capacity, const_cast<const std::uint8_t**>(frame->extended_data),
      frame->nb_samples);
  if (n < 0) {
    LogTask(task, FFLoad::llError, "swr_convert() failed: " + ErrText(n));
    return n;
  }
  if (n == capacity) LogTask(task, FFLoad::llError, "warning: audio buffer is probably too small");

  out_data = task->FPreviewSamples;
  return n * out_channels * out_bps;
}

void audio_preview_pull(void* userdata, std::uint8_t* stream, int len) {
  auto* task = static_cast<FFmpeg::TCustomFFmpeg*>(userdata);
  CircularBuffer::TCircularBuffer* buf = task->FAudioBuffer.get();
  int pos = 0;

  while (pos < len) {
    if (task->FTerminated || task->FJobFinished || task->FBroken || !task->FAudioPreview) {
      std::memset(stream + pos, 0, static_cast<std::size_t>(len - pos));
      return;
    }
    const std::int64_t avail = buf->DataSize();
    if (avail > 0) {
      const int n = buf->Read(stream + pos, static_cast<int>(std::min<std::int64_t>(avail, len - pos)));
      if (n <= 0) {
        std::memset(stream + pos, 0, static_cast<std::size_t>(len - pos));
        return;
      }
      pos += n;
    } else {
      // Starved: tell the encoder side to queue again, and look once more shortly.
      task->FAudioPullCount = 0;
      Platform::Sleep(10);
    }
  }

  // A backlog that outlives eight pulls is thrown away, so the preview catches up with
  // the conversion; while one exists the encoder side adds no sound.
  const int count = ++task->FAudioPullCount;
  if (count < 8 && buf->DataSize() > 8191) return;
  if (count >= 8) (void)buf->Discard(static_cast<int>(std::min<std::int64_t>(buf->DataSize(), INT_MAX)));
  task->FAudioPullCount = 0;
}

void enc_audio_hook_process(POutputStream ost, AVFrame* frame) {
  FFmpeg::TCustomFFmpeg* task = CustomTaskOf(ost);
  const AVCodecContext* enc = EncOf(ost)->e.enc_ctx;

  {
    // one encode-side hook handler of the task at a time, as for the video hooks: the
    // task's audio and video encoder threads all come here
    std::lock_guard<Platform::TCriticalSection> guard(*task->FPreviewWorkLock);
    if (task->FOnAudioOutputHook.Assigned()) {
      const std::int64_t pts =
          av_rescale_q(frame->pts, enc->time_base, AVRational{1, AV_TIME_BASE});
      task->FOnAudioOutputHook(task, pts, frame, frame->linesize[0], frame->sample_rate,
                               frame->ch_layout.nb_channels,
                               static_cast<AVSampleFormat>(frame->format));
    }
  }

  std::lock_guard<std::mutex> guard(task->FAudioPreviewLock);
  if (task->FAudioPreview) {
    if (!task->FWavePlayer->Opened()) {
      task->FAudioBuffer->Reset();
      if (!audio_preview_open(task, frame)) task->FAudioPreview = false;
      task->FAudioPullCount = 0;
      if (!task->FWavePlayer->Opened()) return;
    }
    std::uint8_t* data = nullptr;
    const int n = audio_preview_resample(task, frame, task->FPreviewInFormat, data);
    if (n >= 0) {
      if ((task->FAudioPullCount == 0 || task->Frate_emu_on_the_fly == 1) && n > 0 &&
          task->FAudioBuffer->DataSize() + n <= CPreviewMaxBacklog)
        (void)task->FAudioBuffer->Write(data, n);
      if (task->FWavePlayer->Paused()) task->FWavePlayer->Resume();
      return;
    }
    task->FAudioPreview = false;
    task->FWavePlayer->Close();
    task->FAudioBuffer->Reset();
  } else if (task->FWavePlayer->Opened()) {
    task->FWavePlayer->Close();
    task->FAudioBuffer->Reset();
  }
}

void enc_video_hook_process(FFmpeg::TCustomFFmpeg* task, AVFrame* frame,
                            const AVCodecContext* codec_ctx, TVideoHookStep& state) {
  (void)codec_ctx;
  // The frame's own format and size: they describe the planes copied below (the
  // encoder was opened from the same values).
  const auto pix_fmt = static_cast<AVPixelFormat>(frame->format);
  const int width = frame->width;
  const int height = frame->height;

  // The hook picture is shared by the task's video encoders.
  std::lock_guard<Platform::TCriticalSection> guard(*task->FPreviewWorkLock);

  const int size = av_image_get_buffer_size(pix_fmt, width, height, 1);
  if (size < 0) {
    LogTask(task, FFLoad::llError, "avpicture_get_size() returns error.");
    return;
  }
  if (!task->FOutHookPicture || task->FOutHookPictureSize < static_cast<Cardinal>(size)) {
    av_freep(&task->FOutHookPicture);
    task->FOutHookPictureSize = 0;
    task->FOutHookPicture = static_cast<std::uint8_t*>(av_malloc(static_cast<std::size_t>(size)));
    if (!task->FOutHookPicture) {
      LogTask(task, FFLoad::llError, "hook buf malloc error.");
      return;
    }
    task->FOutHookPictureSize = static_cast<Cardinal>(size);
  }

  FFUtils::TAVPicture pic{};
  if (av_image_fill_arrays(pic.data, pic.linesize, task->FOutHookPicture, pix_fmt, width, height,
                           1) < 0)
    return;
  av_image_copy(pic.data, pic.linesize, const_cast<const std::uint8_t**>(frame->data),
                frame->linesize, pix_fmt, width, height);

  if (task->FOnVideoOutputHook.Assigned())
    task->DoVideoHook(false, task->FPreviewConverter.get(), state.converted, state.frame_number,
                      state.pts, pix_fmt, width, height, &pic);
  if (task->FOnFrameOutputHook.Assigned())
    task->FOnFrameOutputHook(task, &pic, pix_fmt, state.frame_number, width, height, state.pts);

  // The hooks' picture goes back into the frame's own buffer: pointing the frame at the
  // shared hook picture would let the next frame overwrite pixels that the encoder may
  // still hold (encoders keep reference frames and queue frames for B-frames).
  const int ret = av_frame_make_writable(frame);
  if (ret < 0) {
    LogTask(task, FFLoad::llError, "hook picture not written back: " + ErrText(ret));
    return;
  }
  av_image_copy(frame->data, frame->linesize, const_cast<const std::uint8_t**>(pic.data),
                pic.linesize, pix_fmt, width, height);
}

void enc_video_hook_step(POutputStream ost, AVFrame* frame) {
  FFmpeg::TCustomFFmpeg* task = CustomTaskOf(ost);
  PEncoderPriv e = EncOf(ost);
  const AVCodecContext* enc = e->e.enc_ctx;

  TVideoHookStep state{};
  state.frame_number = static_cast<int>(e->packets_encoded + 1);
  state.pts = av_rescale_q(frame->pts, enc->time_base, AVRational{1, AV_TIME_BASE});
  state.converted = false;

  // One hold of FPreviewWorkLock over the hooks and the preview: the preview may show the
  // bitmap that the video hook converted into the shared FPreviewConverter, and another
  // video encoder of the task must not convert its own frame into it in between. Any of
  // these threads may also clear the video hook (its handler asked to stop), so the hooks
  // are looked at under the same lock.
  std::lock_guard<Platform::TCriticalSection> guard(*task->FPreviewWorkLock);
  if (task->FOnVideoOutputHook.Assigned() || task->FOnFrameOutputHook.Assigned())
    enc_video_hook_process(task, frame, enc, state);

  // A window switched off while a hook or preview held the lock stays with the task
  // (SetPreviewFlags only tries the lock): DoPreview frees it with the next frame, even
  // when no preview is left on.
  if (task->PreviewFlags() != 0 || task->FPreviewer)
    task->DoPreview(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                    frame->width, frame->height, state.converted, state.frame_number, state.pts);
}

}  // namespace FFmpegEnc
