// Input files and the demuxer thread.
//
// Threads and ownership:
//   - ifile_open, ist_add, ist_use, ist_filter_add, dump_attachment and
//     ist_find_available run on the thread that parses the task's command line, before
//     the scheduler starts; they build the records and the scheduler graph.
//   - input_thread runs on the file's scheduler worker. From its start to its end it
//     alone touches the demux-side fields ("Owned by the demuxer thread" in the header)
//     and the format context; the fields set while parsing are only read then.
//   - ifile_close runs after the scheduler has stopped (the task's clean-up), when no
//     worker is left, and reads the counters the thread left behind.
// No lock of this unit's own exists: the hand-over between the parsing thread, the
// worker and the clean-up is the scheduler's start and stop (thread creation and join).
// The only values shared with other threads while the worker runs are the task's
// atomics (FLastRead, FTotalPauseTime, FBroken) and what the scheduler guards itself.
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegDemuxInternal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/intreadwrite.h>
}

#include "engine/FFmpeg.h"
#include "engine/FFmpegDec.h"
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegOpt.h"
#include "platform/Format.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFUtils.h"
#include "runtime/MemoryProtocol.h"

namespace FFmpegDemux {

using AVCodecStubs::av_bsf_flush;
using AVCodecStubs::av_bsf_free;
using AVCodecStubs::av_bsf_init;
using AVCodecStubs::av_bsf_list_parse_str;
using AVCodecStubs::av_bsf_receive_packet;
using AVCodecStubs::av_bsf_send_packet;
using AVCodecStubs::av_codec_is_decoder;
using AVCodecStubs::av_codec_iterate;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_rescale_ts;
using AVCodecStubs::av_packet_side_data_get;
using AVCodecStubs::av_packet_side_data_new;
using AVCodecStubs::av_packet_unref;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_get_class;
using AVCodecStubs::avcodec_get_hw_config;
using AVCodecStubs::avcodec_get_name;
using AVCodecStubs::avcodec_parameters_alloc;
using AVCodecStubs::avcodec_parameters_copy;
using AVCodecStubs::avcodec_parameters_free;
using AVFormatStubs::av_dump_format;
using AVFormatStubs::av_find_input_format;
using AVFormatStubs::av_guess_frame_rate;
using AVFormatStubs::av_pkt_dump_log2;
using AVFormatStubs::av_read_frame;
using AVFormatStubs::av_stream_get_class;
using AVFormatStubs::av_stream_get_parser;
using AVFormatStubs::avformat_alloc_context;
using AVFormatStubs::avformat_close_input;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_open_input;
using AVFormatStubs::avformat_seek_file;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_context_free;
using AVFormatStubs::avio_flush;
using AVFormatStubs::avio_open2;
using AVFormatStubs::avio_write;
using AVUtilStubs::av_channel_layout_compare;
using AVUtilStubs::av_channel_layout_default;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_channel_layout_from_string;
using AVUtilStubs::av_channel_layout_uninit;
using AVUtilStubs::av_compare_ts;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_dict_set_int;
using AVUtilStubs::av_display_matrix_flip;
using AVUtilStubs::av_display_rotation_set;
using AVUtilStubs::av_dynarray_add_nofree;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_copy_props;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_pix_fmt;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_hwdevice_find_type_by_name;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_hwdevice_iterate_types;
using AVUtilStubs::av_log;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_opt_eval_int;
using AVUtilStubs::av_opt_find;
using AVUtilStubs::av_opt_free;
using AVUtilStubs::av_opt_set_defaults;
using AVUtilStubs::av_parse_video_rate;
using AVUtilStubs::av_parse_video_size;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_rescale_q_rnd;
using AVUtilStubs::av_strdup;
using AVUtilStubs::av_usleep;

using CmdUtils::FFmpegException;
using CmdUtils::print_error;
using FFmpegHeader::err_merge;
using FFmpegHeader::PInputFilter;
using FFmpegHeader::TInputFilterOptions;
using FFmpegHeader::TTimestamp;
using FFmpegHeader::TViewSpecifier;
using FFmpegOpt::opt_match_per_stream_dbl;
using FFmpegOpt::opt_match_per_stream_int;
using FFmpegOpt::opt_match_per_stream_str;
using FFmpegSched::SCH_DEC_IN;
using FFmpegSched::SCH_DEC_OUT;
using FFmpegSched::SCH_DSTREAM;
using FFmpegSched::TSchedulerNode;
using Platform::Cardinal;

namespace {

// Packet mark of a subtitle heartbeat (the packet's opaque value).
void* const CPktOpaqueSubHeartbeat = reinterpret_cast<void*>(static_cast<intptr_t>(1));

// ---- Log classes ----------------------------------------------------------------------------

const char* DemuxItemName(void* obj) { return static_cast<TDemux*>(obj)->log_name; }
const char* StreamItemName(void* obj) { return static_cast<TDemuxStream*>(obj)->log_name; }

AVClassCategory DemuxCategory(void*) { return AV_CLASS_CATEGORY_DEMUXER; }

AVClass MakeInputFileClass() {
  AVClass c{};
  c.class_name = "InputFile";
  c.item_name = DemuxItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.category = AV_CLASS_CATEGORY_DEMUXER;
  c.get_category = DemuxCategory;
  return c;
}

AVClass MakeInputStreamClass() {
  AVClass c{};
  c.class_name = "InputStream";
  c.item_name = StreamItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.category = AV_CLASS_CATEGORY_DEMUXER;
  // the stream's messages appear under its file
  c.parent_log_context_offset =
      static_cast<int>(offsetof(TDemuxStream, ist) + offsetof(FFmpegHeader::TInputStream, file_));
  return c;
}

const AVClass CInputFileClass = MakeInputFileClass();
const AVClass CInputStreamClass = MakeInputStreamClass();

// ---- Small helpers --------------------------------------------------------------------------

TDemux* DemuxOf(PInputStream ist) { return demux_from_ifile(ist->file_); }

using FFUtils::TsStr;
using FFUtils::TsTimeStr;

const char* MediaTypeName(AVMediaType type) {
  const char* s = av_get_media_type_string(type);
  return s ? s : "unknown";
}

// ---- Stream release and statistics ----------------------------------------------------------

void ist_free(TDemuxStream*& ds) {
  if (!ds) return;
  FFmpegHeader::TInputStream& ist = ds->ist;
  FFmpegDec::dec_free(ist.decoder);
  av_dict_free(&ds->decoder_opts);
  av_freep(&ds->dec_opts.hwaccel_device);
  avcodec_parameters_free(&ist.par);
  av_frame_free(&ds->decoded_params);
  av_bsf_free(&ds->bsf);
  av_freep(&ist.filters);
  av_freep(&ds);
}

void demux_final_stats(TDemux* d) {
  std::uint64_t total_packets = 0, total_size = 0;
  av_log(&d->f, AV_LOG_VERBOSE, "Input file #%d (%s):\n", d->f.index,
         d->f.ctx ? d->f.ctx->url : "");
  for (int j = 0; j < d->f.nb_streams; j++) {
    TDemuxStream* ds = ds_from_ist(d->f.streams[j]);
    const AVMediaType type = ds->ist.par->codec_type;
    if (ds->discard || type == AVMEDIA_TYPE_ATTACHMENT) continue;
    total_size += ds->data_size;
    total_packets += ds->nb_packets;
    av_log(&d->f, AV_LOG_VERBOSE, "  Input stream #%d:%d (%s): ", d->f.index, j,
           MediaTypeName(type));
    av_log(&d->f, AV_LOG_VERBOSE, "%" PRIu64 " packets read (%" PRIu64 " bytes); ", ds->nb_packets,
           ds->data_size);
    if (ds->decoding_needed && ds->ist.decoder) {
      const FFmpegHeader::TDecoder* dec = ds->ist.decoder;
      av_log(&d->f, AV_LOG_VERBOSE, "%" PRIu64 " frames decoded; %" PRIu64 " decode errors",
             dec->frames_decoded, dec->decode_errors);
      if (type == AVMEDIA_TYPE_AUDIO)
        av_log(&d->f, AV_LOG_VERBOSE, " (%" PRIu64 " samples)", dec->samples_decoded);
      av_log(&d->f, AV_LOG_VERBOSE, "; ");
    }
    av_log(&d->f, AV_LOG_VERBOSE, "\n");
  }
  av_log(&d->f, AV_LOG_VERBOSE, "  Total: %" PRIu64 " packets (%" PRIu64 " bytes) demuxed\n",
         total_packets, total_size);
}

// ---- Demuxer thread: timestamps -------------------------------------------------------------

// Packets of a stream that did not exist when the file was opened (or that nobody
// uses) are dropped; a stream that appears later is reported once.
void report_new_stream(TDemux* d, const AVPacket* pkt) {
  if (pkt->stream_index < d->nb_streams_warn) return;
  const AVStream* st = d->f.ctx->streams[pkt->stream_index];
  av_log(&d->f, AV_LOG_WARNING, "New %s stream with index %d at pos:%" PRId64 " and DTS:%ss\n",
         MediaTypeName(st->codecpar->codec_type), pkt->stream_index, pkt->pos,
         TsTimeStr(pkt->dts, st->time_base).c_str());
  d->nb_streams_warn = pkt->stream_index + 1;
}

void debug_ts_line(TDemuxStream* ds, const char* tag, const AVPacket* pkt) {
  av_log(&ds->ist, AV_LOG_INFO,
         "%s -> ist_index:%d:%d type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s "
         "duration:%s "
         "duration_time:%s\n",
         tag, ds->ist.file_->index, ds->ist.index, MediaTypeName(ds->ist.par->codec_type),
         TsStr(pkt->pts).c_str(), TsTimeStr(pkt->pts, pkt->time_base).c_str(),
         TsStr(pkt->dts).c_str(), TsTimeStr(pkt->dts, pkt->time_base).c_str(),
         TsStr(pkt->duration).c_str(), TsTimeStr(pkt->duration, pkt->time_base).c_str());
}

void ts_discontinuity_detect(TDemux* d, TDemuxStream* ds, AVPacket* pkt) {
  TBaseFFmpeg* task = d->Owner;
  const AVStream* st = ds->ist.st;
  const int fmt_is_discont = d->f.ctx->iformat->flags & AVFMT_TS_DISCONT;
  int disable_correction = task->Fcopy_ts;
  const std::int64_t pkt_dts =
      av_rescale_q_rnd(pkt->dts, pkt->time_base, AV_TIME_BASE_Q,
                       AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  const std::int64_t delta_threshold =
      static_cast<std::int64_t>(task->Fdts_delta_threshold * AV_TIME_BASE);

  // With -copyts a jump is kept, except a wrap of the timestamp counter: a dts that
  // sits far closer to the prediction once unwrapped is corrected after all.
  if (task->Fcopy_ts && ds->next_dts != AV_NOPTS_VALUE && fmt_is_discont &&
      st->pts_wrap_bits < 60) {
    const std::int64_t wrap_dts =
        av_rescale_q_rnd(pkt->dts + (1LL << st->pts_wrap_bits), pkt->time_base, AV_TIME_BASE_Q,
                         AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    if (std::llabs(wrap_dts - ds->next_dts) < std::llabs(pkt_dts - ds->next_dts) / 10)
      disable_correction = 0;
  }

  if (ds->next_dts != AV_NOPTS_VALUE && !disable_correction) {
    std::int64_t delta = pkt_dts - ds->next_dts;
    if (fmt_is_discont) {
      if (std::llabs(delta) > delta_threshold || pkt_dts + AV_TIME_BASE / 10 < ds->dts) {
        d->ts_offset_discont -= delta;
        av_log(&d->f, AV_LOG_WARNING,
               "timestamp discontinuity (stream id=%d): %s, new offset= %s\n", st->id,
               TsStr(delta).c_str(), TsStr(d->ts_offset_discont).c_str());
        pkt->dts -= av_rescale_q(delta, AV_TIME_BASE_Q, pkt->time_base);
        if (pkt->pts != AV_NOPTS_VALUE)
          pkt->pts -= av_rescale_q(delta, AV_TIME_BASE_Q, pkt->time_base);
      }
    } else {
      const std::int64_t error_threshold =
          static_cast<std::int64_t>(task->Fdts_error_threshold * AV_TIME_BASE);
      if (std::llabs(delta) > error_threshold) {
        av_log(&d->f, AV_LOG_WARNING, "DTS %" PRId64 ", next:%" PRId64 " st:%d invalid dropping\n",
               pkt->dts, ds->next_dts, pkt->stream_index);
        pkt->dts = AV_NOPTS_VALUE;
      }
      if (pkt->pts != AV_NOPTS_VALUE) {
        const std::int64_t pkt_pts = av_rescale_q(pkt->pts, pkt->time_base, AV_TIME_BASE_Q);
        delta = pkt_pts - ds->next_dts;
        if (std::llabs(delta) > error_threshold) {
          av_log(&d->f, AV_LOG_WARNING,
                 "PTS %" PRId64 ", next:%" PRId64 " invalid dropping st:%d\n", pkt->pts,
                 ds->next_dts, pkt->stream_index);
          pkt->pts = AV_NOPTS_VALUE;
        }
      }
    }
  } else if (ds->next_dts == AV_NOPTS_VALUE && !task->Fcopy_ts && fmt_is_discont &&
             d->last_ts != AV_NOPTS_VALUE) {
    // the first packet of a stream is compared with the file's last timestamp
    const std::int64_t delta = pkt_dts - d->last_ts;
    if (std::llabs(delta) > delta_threshold) {
      d->ts_offset_discont -= delta;
      av_log(&d->f, AV_LOG_DEBUG, "Inter stream timestamp discontinuity %s, new offset= %s\n",
             TsStr(delta).c_str(), TsStr(d->ts_offset_discont).c_str());
      pkt->dts -= av_rescale_q(delta, AV_TIME_BASE_Q, pkt->time_base);
      if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts -= av_rescale_q(delta, AV_TIME_BASE_Q, pkt->time_base);
    }
  }

  if (pkt->dts != AV_NOPTS_VALUE)
    d->last_ts = av_rescale_q(pkt->dts, pkt->time_base, AV_TIME_BASE_Q);
}

void ts_discontinuity_process(TDemux* d, TDemuxStream* ds, AVPacket* pkt) {
  const std::int64_t offset = av_rescale_q(d->ts_offset_discont, AV_TIME_BASE_Q, pkt->time_base);
  // the corrections found so far apply to every stream of the file
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;

  const AVMediaType type = ds->ist.par->codec_type;
  if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && pkt->dts != AV_NOPTS_VALUE)
    ts_discontinuity_detect(d, ds, pkt);
}

// The dts estimate of the stream: what the decoder and the read-rate pacing go by when
// the container's own timestamps are missing.
int ist_dts_update(TDemuxStream* ds, AVPacket* pkt) {
  const AVCodecParameters* par = ds->ist.par;
  const AVStream* st = ds->ist.st;

  if (!ds->saw_first_ts) {
    ds->first_dts = ds->dts = st->avg_frame_rate.num
                                  ? static_cast<std::int64_t>(-par->video_delay * AV_TIME_BASE /
                                                              av_q2d(st->avg_frame_rate))
                                  : 0;
    if (pkt->pts != AV_NOPTS_VALUE) {
      ds->dts += av_rescale_q(pkt->pts, pkt->time_base, AV_TIME_BASE_Q);
      ds->first_dts = ds->dts;
    }
    ds->saw_first_ts = 1;
  }

  if (ds->next_dts == AV_NOPTS_VALUE) ds->next_dts = ds->dts;
  if (pkt->dts != AV_NOPTS_VALUE)
    ds->next_dts = ds->dts = av_rescale_q(pkt->dts, pkt->time_base, AV_TIME_BASE_Q);

  ds->dts = ds->next_dts;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (par->sample_rate)
        ds->next_dts +=
            static_cast<std::int64_t>(AV_TIME_BASE) * par->frame_size / par->sample_rate;
      else
        ds->next_dts += av_rescale_q(pkt->duration, pkt->time_base, AV_TIME_BASE_Q);
      break;
    case AVMEDIA_TYPE_VIDEO:
      if (ds->ist.framerate.num) {
        // step to the next frame boundary of the forced rate
        const AVRational frame_tb = av_inv_q(ds->ist.framerate);
        const std::int64_t next = av_rescale_q(ds->next_dts, AV_TIME_BASE_Q, frame_tb);
        ds->next_dts = av_rescale_q(next + 1, frame_tb, AV_TIME_BASE_Q);
      } else if (pkt->duration) {
        ds->next_dts += av_rescale_q(pkt->duration, pkt->time_base, AV_TIME_BASE_Q);
      } else if (par->framerate.num != 0) {
        const AVRational field_rate = AVRational{par->framerate.num * 2, par->framerate.den};
        int fields = 2;
        if (ds->codec_desc && (ds->codec_desc->props & AV_CODEC_PROP_FIELDS)) {
          const AVCodecParserContext* parser = av_stream_get_parser(st);
          if (parser) fields = 1 + parser->repeat_pict;
        }
        ds->next_dts += av_rescale_q(fields, av_inv_q(field_rate), AV_TIME_BASE_Q);
      }
      break;
    default:
      break;
  }
  FFmpegHeader::TFrameData* fd = FFmpeg::packet_data(pkt);
  if (!fd) return AVERROR(ENOMEM);
  fd->dts_est = ds->dts;
  return 0;
}

int ts_fixup(TDemux* d, TDemuxStream* ds, AVPacket* pkt) {
  TBaseFFmpeg* task = d->Owner;
  const AVStream* st = ds->ist.st;
  pkt->time_base = st->time_base;

  if (task->Fdebug_ts) debug_ts_line(ds, "demuxer", pkt);

  // A counter that wrapped between the file's start and this packet: take one wrap
  // off until a packet shows that none is left.
  if (!ds->wrap_correction_done && d->f.start_time_effective != AV_NOPTS_VALUE &&
      st->pts_wrap_bits < 64) {
    const std::int64_t stime =
        av_rescale_q(d->f.start_time_effective, AV_TIME_BASE_Q, pkt->time_base);
    // unsigned: the sum may leave the signed range for wide counters, which the
    // comparison below then excludes
    const std::int64_t stime2 =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(stime) + (1ULL << st->pts_wrap_bits));
    const std::int64_t half = static_cast<std::int64_t>(1ULL << (st->pts_wrap_bits - 1));
    ds->wrap_correction_done = 1;
    if (stime2 > stime && pkt->dts != AV_NOPTS_VALUE && pkt->dts > stime + half) {
      pkt->dts = static_cast<std::int64_t>(static_cast<std::uint64_t>(pkt->dts) -
                                           (1ULL << st->pts_wrap_bits));
      ds->wrap_correction_done = 0;
    }
    if (stime2 > stime && pkt->pts != AV_NOPTS_VALUE && pkt->pts > stime + half) {
      pkt->pts = static_cast<std::int64_t>(static_cast<std::uint64_t>(pkt->pts) -
                                           (1ULL << st->pts_wrap_bits));
      ds->wrap_correction_done = 0;
    }
  }

  const std::int64_t offset = av_rescale_q(d->f.ts_offset, AV_TIME_BASE_Q, pkt->time_base);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llrint((pkt->dts + offset) * ds->ts_scale);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llrint((pkt->pts + offset) * ds->ts_scale);

  // later passes of a looped file continue after the earlier ones
  const std::int64_t duration = av_rescale_q(d->duration.ts, d->duration.tb, pkt->time_base);
  if (pkt->pts != AV_NOPTS_VALUE) {
    pkt->pts += duration;
    // with an audio decoder the end comes from the decoder's flush, which counts the
    // last frame's length itself
    const std::int64_t end = pkt->pts + (d->have_audio_dec ? 0 : pkt->duration);
    if (d->max_pts.ts == AV_NOPTS_VALUE ||
        av_compare_ts(d->max_pts.ts, d->max_pts.tb, end, pkt->time_base) < 0)
      d->max_pts = TTimestamp{end, pkt->time_base};
    if (d->min_pts.ts == AV_NOPTS_VALUE ||
        av_compare_ts(d->min_pts.ts, d->min_pts.tb, pkt->pts, pkt->time_base) > 0)
      d->min_pts = TTimestamp{pkt->pts, pkt->time_base};
  }
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += duration;

  if (task->Fdebug_ts) debug_ts_line(ds, "demuxer+tsfixup", pkt);

  ts_discontinuity_process(d, ds, pkt);
  return ist_dts_update(ds, pkt);
}

int input_packet_process(TDemux* d, TDemuxStream* ds, AVPacket* pkt, unsigned& send_flags) {
  TBaseFFmpeg* task = d->Owner;
  const int ret = ts_fixup(d, ds, pkt);
  if (ret < 0) return ret;

  if (d->recording_time != INT64_MAX) {
    std::int64_t start_time = 0;
    if (task->Fcopy_ts) {
      if (d->f.start_time != AV_NOPTS_VALUE) start_time += d->f.start_time;
      if (!task->Fstart_at_zero && d->f.start_time_effective != AV_NOPTS_VALUE)
        start_time += d->f.start_time_effective;
    }
    if (ds->dts >= d->recording_time + start_time)
      send_flags |= FFmpegSched::DEMUX_SEND_STREAMCOPY_EOF;
  }

  ds->data_size += pkt->size;
  ds->nb_packets++;

  FFmpegHeader::TFrameData* fd = FFmpeg::packet_data(pkt);
  if (!fd) return AVERROR(ENOMEM);
  fd->wallclock[FFmpegHeader::LATENCY_PROBE_DEMUX] = av_gettime_relative();

  if (task->Fdebug_ts) {
    av_log(&ds->ist, AV_LOG_INFO,
           "demuxer+ffmpeg -> ist_index:%d:%d type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s "
           "pkt_dts_time:%s "
           "duration:%s duration_time:%s off:%s off_time:%s\n",
           d->f.index, pkt->stream_index, MediaTypeName(ds->ist.par->codec_type),
           TsStr(pkt->pts).c_str(), TsTimeStr(pkt->pts, pkt->time_base).c_str(),
           TsStr(pkt->dts).c_str(), TsTimeStr(pkt->dts, pkt->time_base).c_str(),
           TsStr(pkt->duration).c_str(), TsTimeStr(pkt->duration, pkt->time_base).c_str(),
           TsStr(d->f.ts_offset).c_str(), TsTimeStr(d->f.ts_offset, AV_TIME_BASE_Q).c_str());
  }
  return 0;
}

// ---- Demuxer thread: read rate --------------------------------------------------------------

void readrate_sleep(TDemux* d) {
  TBaseFFmpeg* task = d->Owner;
  const double burst = d->readrate_initial_burst >= 0 ? d->readrate_initial_burst : 0.5;
  std::int64_t file_start = 0;
  if (task->Fcopy_ts) {
    if (d->f.start_time_effective != AV_NOPTS_VALUE && !task->Fstart_at_zero)
      file_start += d->f.start_time_effective;
    if (d->f.start_time != AV_NOPTS_VALUE) file_start += d->f.start_time;
  }
  const double rate = d->readrate > 0 ? d->readrate : 1.0;
  // Time spent paused is not reading time: it is taken off the elapsed wall clock, so
  // that neither the limit nor the lag grows while the task is paused.
  const std::int64_t pause = task->FTotalPauseTime.load();
  bool logged = false;

  for (int i = 0; i < d->f.nb_streams; i++) {
    TDemuxStream* ds = ds_from_ist(d->f.streams[i]);
    if (ds->discard) continue;
    const std::int64_t stream_offset = std::max(ds->first_dts, file_start);
    const std::int64_t pts = ds->dts;
    // The initial burst is read at once, as fast as it comes: a packet inside it is not
    // paced, and being behind the limit there is what the burst is for, not a lag (taken
    // for one, it made the reader catch up from the first packet at the catch-up rate
    // instead of bursting).
    if (pts - stream_offset < static_cast<std::int64_t>(burst * AV_TIME_BASE)) continue;
    const std::int64_t now = av_gettime_relative();
    const std::int64_t elapsed = now - d->wallclock_start - pause;
    const std::int64_t max_pts = stream_offset + static_cast<std::int64_t>(burst * AV_TIME_BASE) +
                                 static_cast<std::int64_t>(elapsed * rate);
    const std::int64_t lag = std::max<std::int64_t>(max_pts - pts, 0);

    if ((!ds->lag && lag > 0.3 * AV_TIME_BASE) || lag > ds->lag + 0.3 * AV_TIME_BASE) {
      ds->lag = lag;
      ds->resume_wc = now;
      ds->resume_pts = pts;
      ds->resume_pause = pause;
      av_log(&ds->ist, logged ? AV_LOG_DEBUG : AV_LOG_WARNING,
             "Resumed reading at pts %0.3f with rate %0.3f after a lag of %0.3fs\n",
             static_cast<double>(pts) / AV_TIME_BASE, static_cast<double>(d->readrate_catchup),
             static_cast<double>(lag) / AV_TIME_BASE);
      logged = true;
    }
    if (ds->lag && !lag) ds->lag = ds->resume_wc = ds->resume_pts = ds->resume_pause = 0;

    // While catching up, only the pause accrued since the resume point is taken off.
    const std::int64_t limit_pts =
        ds->resume_wc
            ? ds->resume_pts +
                  static_cast<std::int64_t>((now - ds->resume_wc - (pause - ds->resume_pause)) *
                                            static_cast<double>(d->readrate_catchup))
            : max_pts;
    if (pts > limit_pts)
      av_usleep(static_cast<unsigned>(std::min<std::int64_t>(pts - limit_pts, UINT_MAX)));
  }
}

// ---- Demuxer thread: sending ----------------------------------------------------------------

struct TDemuxThreadContext {
  AVPacket* pkt_demux;  // packet read into
  AVPacket* pkt_bsf;    // packet taken out of a bitstream filter
};

int do_send(TDemux* d, TDemuxStream* ds, AVPacket* pkt, unsigned flags, const char* pkt_desc) {
  pkt->stream_index = ds->sch_idx_stream;
  const int ret =
      FFmpegSched::sch_demux_send(d->sch, static_cast<Cardinal>(d->sch_idx), pkt, flags);
  if (ret == AVERROR_EOF) {
    av_packet_unref(pkt);
    av_log(&ds->ist, AV_LOG_VERBOSE, "All consumers of this stream are done\n");
    ds->finished = 1;
    if (++d->nb_streams_finished == d->nb_streams_used) {
      av_log(&d->f, AV_LOG_VERBOSE, "All consumers are done\n");
      return AVERROR_EOF;
    }
  } else if (ret < 0) {
    if (ret != AVERROR_EXIT)
      av_log(&d->f, AV_LOG_ERROR, "Unable to send %s packet to consumers: %s\n", pkt_desc,
             print_error(ret).c_str());
    return ret;
  }
  return 0;
}

// pkt nullptr flushes the stream's bitstream filter.
int demux_send(TDemux* d, TDemuxThreadContext& dt, TDemuxStream* ds, AVPacket* pkt,
               unsigned flags) {
  // subtitles that feed video are told how far the file has got
  if (d->pkt_heartbeat && pkt && pkt->pts != AV_NOPTS_VALUE) {
    for (int i = 0; i < d->f.nb_streams; i++) {
      TDemuxStream* ds1 = ds_from_ist(d->f.streams[i]);
      if (ds1->finished || !ds1->have_sub2video) continue;
      d->pkt_heartbeat->pts = pkt->pts;
      d->pkt_heartbeat->time_base = pkt->time_base;
      d->pkt_heartbeat->opaque = CPktOpaqueSubHeartbeat;
      const int ret = do_send(d, ds1, d->pkt_heartbeat, 0, "heartbeat");
      if (ret < 0) return ret;
    }
  }

  if (!ds->bsf) return do_send(d, ds, pkt, flags, "demuxed");

  if (pkt) av_packet_rescale_ts(pkt, pkt->time_base, ds->bsf->time_base_in);
  int ret = av_bsf_send_packet(ds->bsf, pkt);
  if (ret < 0) {
    if (pkt) av_packet_unref(pkt);
    av_log(&ds->ist, AV_LOG_ERROR, "Error submitting a packet for filtering: %s\n",
           print_error(ret).c_str());
    return ret;
  }
  while (true) {
    ret = av_bsf_receive_packet(ds->bsf, dt.pkt_bsf);
    if (ret == AVERROR(EAGAIN)) return 0;
    if (ret < 0) {
      if (ret != AVERROR_EOF)
        av_log(&ds->ist, AV_LOG_ERROR, "Error applying bitstream filters to a packet: %s\n",
               print_error(ret).c_str());
      return ret;
    }
    dt.pkt_bsf->time_base = ds->bsf->time_base_out;
    ret = do_send(d, ds, dt.pkt_bsf, flags, "filtered");
    if (ret < 0) {
      av_packet_unref(dt.pkt_bsf);
      return ret;
    }
  }
}

int demux_bsf_flush(TDemux* d, TDemuxThreadContext& dt) {
  for (int i = 0; i < d->f.nb_streams; i++) {
    TDemuxStream* ds = ds_from_ist(d->f.streams[i]);
    if (!ds->bsf || ds->discard) continue;
    int ret = demux_send(d, dt, ds, nullptr, 0);
    // a drained filter ends with AVERROR_EOF; ending any other way is a fault here
    ret = ret == AVERROR_EOF ? 0 : ret < 0 ? ret : AVERROR_BUG;
    if (ret < 0) {
      av_log(&ds->ist, AV_LOG_ERROR, "Error flushing BSFs: %s\n", print_error(ret).c_str());
      return ret;
    }
    av_bsf_flush(ds->bsf);
  }
  return 0;
}

// Rewinds a looping file. end_pts: the end that the decoders reported for the pass.
int seek_to_start(TDemux* d, TTimestamp end_pts) {
  AVFormatContext* is = d->f.ctx;
  const std::int64_t start = is->start_time != AV_NOPTS_VALUE ? is->start_time : 0;
  d->Owner->FLastRead = av_gettime_relative();
  const int ret = avformat_seek_file(is, -1, INT64_MIN, start, start, 0);
  if (ret < 0) return ret;

  if (end_pts.ts != AV_NOPTS_VALUE &&
      (d->max_pts.ts == AV_NOPTS_VALUE ||
       av_compare_ts(d->max_pts.ts, d->max_pts.tb, end_pts.ts, end_pts.tb) < 0))
    d->max_pts = end_pts;

  // The timestamps of this pass already include the earlier passes, so the span read
  // so far is the end minus the first timestamp: the next pass starts right there.
  if (d->max_pts.ts != AV_NOPTS_VALUE) {
    const std::int64_t min_pts = d->min_pts.ts == AV_NOPTS_VALUE
                                     ? 0
                                     : av_rescale_q(d->min_pts.ts, d->min_pts.tb, d->max_pts.tb);
    d->duration = TTimestamp{d->max_pts.ts - min_pts, d->max_pts.tb};
  }

  if (d->loop > 0) d->loop--;
  return 0;
}

// Programs none of whose streams is used are not read.
void discard_unused_programs(TDemux* d) {
  AVFormatContext* ctx = d->f.ctx;
  for (unsigned j = 0; j < ctx->nb_programs; j++) {
    AVProgram* p = ctx->programs[j];
    AVDiscard discard = AVDISCARD_ALL;
    for (unsigned k = 0; k < p->nb_stream_indexes; k++) {
      const unsigned idx = p->stream_index[k];
      if (idx < static_cast<unsigned>(d->f.nb_streams) &&
          !ds_from_ist(d->f.streams[idx])->discard) {
        discard = AVDISCARD_DEFAULT;
        break;
      }
    }
    p->discard = discard;
  }
}

void dump_packet(TDemux* d, AVPacket* pkt) {
  // the dump is long: queue it for the log thread instead of waiting for the host
  FFLoad::TThreadLogDelivery delivery(FFLoad::ldAsynchronous);
  av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, d->Owner->Fdo_hex_dump,
                   d->f.ctx->streams[pkt->stream_index]);
}

int input_thread_body(TDemux* d, TDemuxThreadContext& dt) {
  TBaseFFmpeg* task = d->Owner;
  AVFormatContext* ctx = d->f.ctx;
  AVPacket* pkt = dt.pkt_demux;
  int ret = 0;

  discard_unused_programs(d);
  d->read_started = 1;
  d->wallclock_start = av_gettime_relative();

  while (true) {
    unsigned send_flags = 0;

    // After a stop nothing more is read: the read interrupt would cut the next packet
    // short, which the demuxer reports as an error of the file.
    if (task->FBroken.load()) {
      CmdUtils::ff_log_async(&d->f, AV_LOG_VERBOSE, "Reading stopped\n");
      ret = 0;
      break;
    }
    task->FLastRead = av_gettime_relative();
    ret = av_read_frame(ctx, pkt);
    if (ret == AVERROR(EAGAIN)) {
      av_usleep(10000);
      continue;
    }
    if (ret < 0) {
      if (ret == AVERROR_EOF) {
        CmdUtils::ff_log_async(&d->f, AV_LOG_VERBOSE, "EOF while reading input\n");
      } else if (task->FBroken.load()) {
        // Stop interrupted the read: the input ends here, which is no error (and the
        // scheduler is about to end, so nothing is flushed or looped).
        CmdUtils::ff_log_async(&d->f, AV_LOG_VERBOSE, "Reading stopped\n");
        ret = 0;
        break;
      } else {
        CmdUtils::ff_log_async(&d->f, AV_LOG_ERROR, "Error during demuxing: %s\n",
                               print_error(ret).c_str());
        if (!task->Fexit_on_error) ret = AVERROR_EOF;
      }
      const int ret_bsf = demux_bsf_flush(d, dt);
      ret = err_merge(ret == AVERROR_EOF ? 0 : ret, ret_bsf);

      if (ret >= 0 && d->loop) {
        // let the decoders drain this pass and report where it ended
        av_packet_unref(pkt);
        pkt->stream_index = -1;
        ret = FFmpegSched::sch_demux_send(d->sch, static_cast<Cardinal>(d->sch_idx), pkt, 0);
        if (ret >= 0) ret = seek_to_start(d, TTimestamp{pkt->pts, pkt->time_base});
        av_packet_unref(pkt);
        if (ret >= 0) continue;
      }
      break;
    }

    // A stop asked for while the packet was being read may have cut it short: the
    // interrupted read returns what had arrived, and not every demuxer flags it corrupt
    // (NUT does not). Decoded, it would end the output on a damaged picture or fail as
    // too small; the input ends before it, whole or not.
    if (task->FBroken.load()) {
      CmdUtils::ff_log_async(&d->f, AV_LOG_VERBOSE, "Reading stopped\n");
      av_packet_unref(pkt);
      ret = 0;
      break;
    }

    if (task->Fdo_pkt_dump) dump_packet(d, pkt);

    if (pkt->stream_index >= d->f.nb_streams ||
        ds_from_ist(d->f.streams[pkt->stream_index])->discard ||
        ds_from_ist(d->f.streams[pkt->stream_index])->finished) {
      report_new_stream(d, pkt);
      av_packet_unref(pkt);
      continue;
    }
    TDemuxStream* ds = ds_from_ist(d->f.streams[pkt->stream_index]);

    if (pkt->flags & AV_PKT_FLAG_CORRUPT) {
      CmdUtils::ff_log_async(&d->f, task->Fexit_on_error ? AV_LOG_FATAL : AV_LOG_WARNING,
                             "corrupt input packet in stream %d\n", pkt->stream_index);
      if (task->Fexit_on_error) {
        av_packet_unref(pkt);
        ret = AVERROR_INVALIDDATA;
        break;
      }
    }

    ret = input_packet_process(d, ds, pkt, send_flags);
    if (ret < 0) break;

    if (d->readrate > 0 || d->rate_emu) readrate_sleep(d);

    ret = demux_send(d, dt, ds, pkt, send_flags);
    if (ret < 0) break;
  }

  // the end of the file and the scheduler's termination are normal ends
  return ret == AVERROR_EOF || ret == AVERROR_EXIT ? 0 : ret;
}

}  // namespace

// ---- Demuxer thread -------------------------------------------------------------------------

int input_thread(void* arg) {
  TDemux* d = static_cast<TDemux*>(arg);
  TDemuxThreadContext dt{};
  int ret;
  dt.pkt_demux = av_packet_alloc();
  dt.pkt_bsf = av_packet_alloc();
  if (!dt.pkt_demux || !dt.pkt_bsf)
    ret = AVERROR(ENOMEM);
  else
    ret = input_thread_body(d, dt);
  av_packet_free(&dt.pkt_demux);
  av_packet_free(&dt.pkt_bsf);
  return ret;
}

// ---- Input streams --------------------------------------------------------------------------

int choose_decoder(const TOptionsContext* o, AVFormatContext* s, AVStream* st,
                   const AVCodec*& codec, FFmpegHeader::THWAccelID hwaccel_id,
                   AVHWDeviceType hwaccel_device_type) {
  // the options context is a log context too (it names the task)
  void* logctx = const_cast<TOptionsContext*>(o);
  const char* codec_name = nullptr;
  codec = nullptr;
  opt_match_per_stream_str(logctx, o->codec_names, s, st, codec_name);
  if (codec_name) {
    const int ret =
        FFmpegOpt::find_codec(o->Owner, logctx, codec_name, st->codecpar->codec_type, false, codec);
    if (ret < 0) return ret;
    // the probe and the decoder go by the codec the user named
    st->codecpar->codec_id = codec->id;
    if (o->Owner->Frecast_media && st->codecpar->codec_type != codec->type)
      st->codecpar->codec_type = codec->type;
    return 0;
  }

  if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
      hwaccel_id == FFmpegHeader::HWACCEL_GENERIC && hwaccel_device_type != AV_HWDEVICE_TYPE_NONE) {
    void* i = nullptr;
    const AVCodec* c;
    while ((c = av_codec_iterate(&i))) {
      if (c->id != st->codecpar->codec_id || !av_codec_is_decoder(c)) continue;
      for (int j = 0;; j++) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(c, j);
        if (!config) break;
        if (config->device_type == hwaccel_device_type) {
          av_log(logctx, AV_LOG_VERBOSE,
                 "Selecting decoder '%s' because of requested hwaccel method %s\n", c->name,
                 av_hwdevice_get_type_name(hwaccel_device_type));
          codec = c;
          return 0;
        }
      }
    }
  }

  codec = avcodec_find_decoder(st->codecpar->codec_id);
  return 0;
}

namespace {

int guess_input_channel_layout(TDemuxStream* ds, AVCodecParameters* par, int guess_layout_max) {
  if (par->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) return 1;
  if (par->ch_layout.nb_channels > guess_layout_max) return 0;
  const int nb_channels = par->ch_layout.nb_channels;
  av_channel_layout_uninit(&par->ch_layout);
  av_channel_layout_default(&par->ch_layout, nb_channels);
  if (par->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) return 0;
  char layout_name[256];
  av_channel_layout_describe(&par->ch_layout, layout_name, sizeof(layout_name));
  av_log(&ds->ist, AV_LOG_WARNING, "Guessed Channel Layout: %s\n", layout_name);
  return 1;
}

int add_display_matrix_to_stream(const TOptionsContext* o, AVFormatContext* ctx, TDemuxStream* ds) {
  AVStream* st = ds->ist.st;
  double rotation = 0;
  int hflip = 0, vflip = 0;
  const bool rotation_set =
      opt_match_per_stream_dbl(&ds->ist, o->display_rotations, ctx, st, rotation);
  const bool hflip_set = opt_match_per_stream_int(&ds->ist, o->display_hflips, ctx, st, hflip);
  const bool vflip_set = opt_match_per_stream_int(&ds->ist, o->display_vflips, ctx, st, vflip);
  if (!rotation_set && !hflip_set && !vflip_set) return 0;

  AVPacketSideData* sd =
      av_packet_side_data_new(&st->codecpar->coded_side_data, &st->codecpar->nb_coded_side_data,
                              AV_PKT_DATA_DISPLAYMATRIX, sizeof(std::int32_t) * 9, 0);
  if (!sd) {
    av_log(&ds->ist, AV_LOG_FATAL, "Failed to generate a display matrix!\n");
    return AVERROR(ENOMEM);
  }
  std::int32_t* buf = reinterpret_cast<std::int32_t*>(sd->data);
  // the option counts counter-clockwise, the matrix clockwise
  av_display_rotation_set(buf, rotation_set ? -rotation : -0.0);
  av_display_matrix_flip(buf, hflip_set ? hflip : 0, vflip_set ? vflip : 0);
  return 0;
}

// Video hardware acceleration: "-hwaccel", "-hwaccel_output_format", "-hwaccel_device".
int parse_hwaccel(const TOptionsContext* o, AVFormatContext* ic, TDemuxStream* ds) {
  AVStream* st = ds->ist.st;
  FFmpegHeader::TDecoderOpts& dopts = ds->dec_opts;
  const char* hwaccel = nullptr;
  const char* output_format = nullptr;
  opt_match_per_stream_str(&ds->ist, o->hwaccels, ic, st, hwaccel);
  opt_match_per_stream_str(&ds->ist, o->hwaccel_output_formats, ic, st, output_format);

  if (!output_format && hwaccel && !std::strcmp(hwaccel, "cuvid")) {
    av_log(&ds->ist, AV_LOG_WARNING,
           "WARNING: defaulting hwaccel_output_format to cuda for compatibility with old "
           "commandlines. This behaviour "
           "is DEPRECATED and will be removed in the future. Please explicitly set "
           "\"-hwaccel_output_format "
           "cuda\".\n");
    output_format = "cuda";
  } else if (!output_format && hwaccel && !std::strcmp(hwaccel, "qsv")) {
    av_log(&ds->ist, AV_LOG_WARNING,
           "WARNING: defaulting hwaccel_output_format to qsv for compatibility with old "
           "commandlines. This behaviour "
           "is DEPRECATED and will be removed in the future. Please explicitly set "
           "\"-hwaccel_output_format "
           "qsv\".\n");
    output_format = "qsv";
  } else if (!output_format && hwaccel && !std::strcmp(hwaccel, "mediacodec")) {
    // mediacodec keeps its frames on the device unless asked otherwise
    output_format = "mediacodec";
  }

  dopts.hwaccel_id = FFmpegHeader::HWACCEL_NONE;
  dopts.hwaccel_device_type = AV_HWDEVICE_TYPE_NONE;
  dopts.hwaccel_output_format = AV_PIX_FMT_NONE;

  if (hwaccel) {
    // both old names of the CUDA decoding route lead to the device type
    if (!std::strcmp(hwaccel, "nvdec") || !std::strcmp(hwaccel, "cuvid")) hwaccel = "cuda";

    if (!std::strcmp(hwaccel, "none")) {
      dopts.hwaccel_id = FFmpegHeader::HWACCEL_NONE;
    } else if (!std::strcmp(hwaccel, "auto")) {
      dopts.hwaccel_id = FFmpegHeader::HWACCEL_AUTO;
    } else {
      const AVHWDeviceType type = av_hwdevice_find_type_by_name(hwaccel);
      if (type != AV_HWDEVICE_TYPE_NONE) {
        dopts.hwaccel_id = FFmpegHeader::HWACCEL_GENERIC;
        dopts.hwaccel_device_type = type;
      }
      if (dopts.hwaccel_id == FFmpegHeader::HWACCEL_NONE) {
        av_log(&ds->ist, AV_LOG_FATAL, "Unrecognized hwaccel: %s.\n", hwaccel);
        av_log(&ds->ist, AV_LOG_FATAL, "Supported hwaccels: ");
        AVHWDeviceType t = AV_HWDEVICE_TYPE_NONE;
        while ((t = av_hwdevice_iterate_types(t)) != AV_HWDEVICE_TYPE_NONE)
          av_log(&ds->ist, AV_LOG_FATAL, "%s ", av_hwdevice_get_type_name(t));
        av_log(&ds->ist, AV_LOG_FATAL, "\n");
        return AVERROR(EINVAL);
      }
    }

    if (output_format) {
      dopts.hwaccel_output_format = av_get_pix_fmt(output_format);
      if (dopts.hwaccel_output_format == AV_PIX_FMT_NONE) {
        av_log(&ds->ist, AV_LOG_FATAL, "Unrecognised hwaccel output format: %s\n", output_format);
        return AVERROR(EINVAL);
      }
    }
  }

  const char* device = nullptr;
  opt_match_per_stream_str(&ds->ist, o->hwaccel_devices, ic, st, device);
  if (device) {
    dopts.hwaccel_device = av_strdup(device);
    if (!dopts.hwaccel_device) return AVERROR(ENOMEM);
  }
  return 0;
}

}  // namespace

int ist_add(const TOptionsContext* o, TDemux* d, AVStream* st, PInputStream& ist_out) {
  AVFormatContext* ic = d->f.ctx;
  AVCodecParameters* par = st->codecpar;
  int ret;
  ist_out = nullptr;

  TDemuxStream* ds = static_cast<TDemuxStream*>(
      CmdUtils::allocate_array_elem(&d->f.streams, sizeof(TDemuxStream), d->f.nb_streams));
  if (!ds) return AVERROR(ENOMEM);
  FFmpegHeader::TInputStream& ist = ds->ist;
  ist.class_ = &CInputStreamClass;
  ist.file_ = &d->f;
  ist.index = st->index;
  ist.st = st;
  ist.top_field_first = -1;
  ist.user_set_discard = AVDISCARD_NONE;
  {
    const char* type_name = av_get_media_type_string(par->codec_type);
    std::snprintf(ds->log_name, sizeof(ds->log_name), "%cist#%d:%d/%s",
                  type_name ? type_name[0] : '?', d->f.index, st->index,
                  avcodec_get_name(par->codec_id));
  }
  ds->sch_idx_stream = -1;
  ds->sch_idx_dec = -1;
  // unused until a consumer binds it: nothing of it is read or decoded
  ds->discard = 1;
  st->discard = AVDISCARD_ALL;
  ds->first_dts = AV_NOPTS_VALUE;
  ds->next_dts = AV_NOPTS_VALUE;
  ds->dec_opts.time_base = st->time_base;
  ds->ts_scale = 1.0;
  ds->autorotate = 1;
  std::snprintf(ds->dec_name, sizeof(ds->dec_name), "%d:%d", d->f.index, st->index);
  ds->reinit_filters = -1;
  ds->apply_cropping = FFmpegHeader::CROP_ALL;
  ist_out = &ist;

  opt_match_per_stream_dbl(&ds->ist, o->ts_scale, ic, st, ds->ts_scale);
  opt_match_per_stream_int(&ds->ist, o->autorotate, ic, st, ds->autorotate);

  const char* apply_cropping = nullptr;
  opt_match_per_stream_str(&ds->ist, o->apply_cropping, ic, st, apply_cropping);
  if (apply_cropping) {
    struct TCropName {
      const char* name;
      FFmpegHeader::TCroppingType type;
    };
    static const TCropName CCropNames[] = {{"none", FFmpegHeader::CROP_DISABLED},
                                           {"all", FFmpegHeader::CROP_ALL},
                                           {"codec", FFmpegHeader::CROP_CODEC},
                                           {"container", FFmpegHeader::CROP_CONTAINER}};
    bool found = false;
    for (const TCropName& c : CCropNames)
      if (!std::strcmp(apply_cropping, c.name)) {
        ds->apply_cropping = c.type;
        found = true;
      }
    if (!found) {
      av_log(&ist, AV_LOG_ERROR, "Invalid apply_cropping value '%s'.\n", apply_cropping);
      return AVERROR(EINVAL);
    }
  }

  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    ret = add_display_matrix_to_stream(o, ic, ds);
    if (ret < 0) return ret;
    ret = parse_hwaccel(o, ic, ds);
    if (ret < 0) return ret;
  }

  ret = choose_decoder(o, ic, st, ist.avdec, ds->dec_opts.hwaccel_id,
                       ds->dec_opts.hwaccel_device_type);
  if (ret < 0) return ret;

  if (ist.avdec) {
    ret = CmdUtils::filter_codec_opts(o->g->codec_opts, ist.avdec->id, ic, st, ist.avdec,
                                      ds->decoder_opts, &d->opts_used);
    if (ret < 0) return ret;
  }

  opt_match_per_stream_int(&ds->ist, o->reinit_filters, ic, st, ds->reinit_filters);
  opt_match_per_stream_int(&ds->ist, o->drop_changed, ic, st, ds->drop_changed);
  if (ds->drop_changed && ds->reinit_filters > 0) {
    av_log(&ist, AV_LOG_ERROR,
           "drop_changed and reinit_filters both enabled. These are mutually exclusive.\n");
    return AVERROR(EINVAL);
  }
  // dropping changed frames replaces re-initialising the graph on them
  if (ds->drop_changed) ds->reinit_filters = 0;

  if ((o->video_disable && par->codec_type == AVMEDIA_TYPE_VIDEO) ||
      (o->audio_disable && par->codec_type == AVMEDIA_TYPE_AUDIO) ||
      (o->subtitle_disable && par->codec_type == AVMEDIA_TYPE_SUBTITLE) ||
      (o->data_disable && par->codec_type == AVMEDIA_TYPE_DATA))
    ist.user_set_discard = AVDISCARD_ALL;

  const char* discard_str = nullptr;
  opt_match_per_stream_str(&ds->ist, o->discard, ic, st, discard_str);
  if (discard_str) {
    const AVClass* sc = av_stream_get_class();
    const AVOption* discard_opt = av_opt_find(&sc, "discard", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    if (!discard_opt || av_opt_eval_int(&sc, discard_opt, discard_str, &ist.user_set_discard) < 0) {
      av_log(&ist, AV_LOG_ERROR, "Error parsing discard %s.\n", discard_str);
      return AVERROR(EINVAL);
    }
  }

  if (ist.avdec) {
    // cropping from the container is applied by the filters, from the codec by the decoder
    ret = av_dict_set_int(&ds->decoder_opts, "apply_cropping",
                          ds->apply_cropping && ds->apply_cropping != FFmpegHeader::CROP_CONTAINER,
                          0);
    if (ret < 0) return ret;
    if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) {
      ret = av_dict_set(&ds->decoder_opts, "thread_type", "frame", 0);
      if (ret < 0) return ret;
    }
  }

  switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      const char* framerate = nullptr;
      opt_match_per_stream_str(&ds->ist, o->frame_rates, ic, st, framerate);
      if (framerate && av_parse_video_rate(&ist.framerate, framerate) < 0) {
        av_log(&ist, AV_LOG_ERROR, "Error parsing framerate %s.\n", framerate);
        return AVERROR(EINVAL);
      }
      opt_match_per_stream_int(&ds->ist, o->top_field_first, ic, st, ist.top_field_first);
      break;
    }
    case AVMEDIA_TYPE_AUDIO: {
      int guess_layout_max = INT_MAX;
      const char* ch_layout_str = nullptr;
      opt_match_per_stream_int(&ds->ist, o->guess_layout_max, ic, st, guess_layout_max);
      opt_match_per_stream_str(&ds->ist, o->audio_ch_layouts, ic, st, ch_layout_str);
      if (ch_layout_str) {
        AVChannelLayout ch_layout{};
        if (av_channel_layout_from_string(&ch_layout, ch_layout_str) < 0) {
          av_log(&ist, AV_LOG_ERROR, "Error parsing channel layout %s.\n", ch_layout_str);
          return AVERROR(EINVAL);
        }
        if (par->ch_layout.nb_channels <= 0 ||
            par->ch_layout.nb_channels == ch_layout.nb_channels) {
          av_channel_layout_uninit(&par->ch_layout);
          par->ch_layout = ch_layout;
        } else {
          av_log(&ist, AV_LOG_ERROR,
                 "Specified channel layout '%s' has %d channels, but input has %d channels.\n",
                 ch_layout_str, ch_layout.nb_channels, par->ch_layout.nb_channels);
          av_channel_layout_uninit(&ch_layout);
          return AVERROR(EINVAL);
        }
      } else {
        guess_input_channel_layout(ds, par, guess_layout_max);
      }
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
      opt_match_per_stream_int(&ds->ist, o->fix_sub_duration, ic, st, ist.fix_sub_duration);
      const char* canvas_size = nullptr;
      opt_match_per_stream_str(&ds->ist, o->canvas_sizes, ic, st, canvas_size);
      if (canvas_size &&
          av_parse_video_size(&ds->canvas_width, &ds->canvas_height, canvas_size) < 0) {
        av_log(&ist, AV_LOG_FATAL, "Invalid canvas size: %s.\n", canvas_size);
        return AVERROR(EINVAL);
      }
      break;
    }
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
    case AVMEDIA_TYPE_UNKNOWN:
      break;
    default:
      throw FFmpegException("Never occur");
  }

  ist.par = avcodec_parameters_alloc();
  if (!ist.par || avcodec_parameters_copy(ist.par, par) < 0) {
    av_log(&ist, AV_LOG_ERROR, "Error exporting stream parameters.\n");
    return AVERROR(ENOMEM);
  }
  ds->codec_desc = avcodec_descriptor_get(ist.par->codec_id);

  const char* bsfs = nullptr;
  opt_match_per_stream_str(&ds->ist, o->bitstream_filters, ic, st, bsfs);
  if (bsfs) {
    ret = av_bsf_list_parse_str(bsfs, &ds->bsf);
    if (ret < 0) {
      av_log(&ist, AV_LOG_ERROR, "Error parsing bitstream filter sequence '%s': %s\n", bsfs,
             print_error(ret).c_str());
      return ret;
    }
    ret = avcodec_parameters_copy(ds->bsf->par_in, ist.par);
    if (ret < 0) return ret;
    ds->bsf->time_base_in = st->time_base;
    ret = av_bsf_init(ds->bsf);
    if (ret < 0) {
      av_log(&ist, AV_LOG_ERROR, "Error initializing bitstream filters: %s\n",
             print_error(ret).c_str());
      return ret;
    }
    // what the consumers get is what leaves the filters
    ret = avcodec_parameters_copy(ist.par, ds->bsf->par_out);
    if (ret < 0) return ret;
  }
  return 0;
}

namespace {

// The stream's decoder, created on its first decoding use.
int ist_create_decoder(TBaseFFmpeg* Owner, TDemux* d, TDemuxStream* ds) {
  FFmpegHeader::TInputStream* ist = &ds->ist;
  FFmpegHeader::TDecoderOpts& dopts = ds->dec_opts;
  const AVMediaType type = ist->par->codec_type;
  auto* task = dynamic_cast<FFmpeg::TCustomFFmpeg*>(Owner);
  if (!task) throw FFmpegException("Never occur");

  dopts.flags = 0;
  if (ist->fix_sub_duration) dopts.flags |= FFmpegDec::DECODER_FLAG_FIX_SUB_DURATION;
  if (d->f.ctx->iformat->flags & AVFMT_NOTIMESTAMPS)
    dopts.flags |= FFmpegDec::DECODER_FLAG_TS_UNRELIABLE;
  // a looping file needs each pass's audio end to continue the next pass seamlessly
  if (d->loop && type == AVMEDIA_TYPE_AUDIO) dopts.flags |= FFmpegDec::DECODER_FLAG_SEND_END_TS;
  if (d->bitexact) dopts.flags |= FFmpegDec::DECODER_FLAG_BITEXACT;
  if (ist->framerate.num) {
    dopts.framerate = ist->framerate;
    dopts.flags |= FFmpegDec::DECODER_FLAG_FRAMERATE_FORCED;
  } else {
    dopts.framerate = av_guess_frame_rate(d->f.ctx, ist->st, nullptr);
  }
  if (ist->top_field_first >= 0) dopts.flags |= FFmpegDec::DECODER_FLAG_TOP_FIELD_FIRST;

  if (ist->par->codec_id == AV_CODEC_ID_DVB_SUBTITLE && (ds->decoding_needed & DECODING_FOR_OST)) {
    // subtitles for an output need their end times, which the decoder computes itself
    int ret = av_dict_set(&ds->decoder_opts, "compute_edt", "1", AV_DICT_DONT_OVERWRITE);
    if (ret < 0) return ret;
    if (ds->decoding_needed & DECODING_FOR_FILTER)
      av_log(ist, AV_LOG_WARNING,
             "Warning using DVB subtitles for filtering and output at the same time is not fully "
             "supported, also "
             "see -compute_edt [0or1]\n");
  }

  dopts.name = ds->dec_name;
  dopts.codec = ist->avdec;
  dopts.par = ist->par;
  dopts.log_parent = ist;

  ds->decoded_params = av_frame_alloc();
  if (!ds->decoded_params) return AVERROR(ENOMEM);

  int ret = FFmpegDec::dec_init(task, ist->decoder, d->sch, &ds->decoder_opts, &dopts,
                                ds->decoded_params);
  if (ret < 0) return ret;
  ds->sch_idx_dec = ret;

  ret = FFmpegSched::sch_connect(
      d->sch,
      SCH_DSTREAM(static_cast<Cardinal>(d->sch_idx), static_cast<Cardinal>(ds->sch_idx_stream)),
      SCH_DEC_IN(static_cast<Cardinal>(ds->sch_idx_dec)));
  if (ret < 0) return ret;

  if (type == AVMEDIA_TYPE_AUDIO) d->have_audio_dec = 1;
  return 0;
}

}  // namespace

int ist_use(TBaseFFmpeg* Owner, PInputStream ist, int decoding, TSchedulerNode& src,
            const TViewSpecifier* vs) {
  TDemuxStream* ds = ds_from_ist(ist);
  TDemux* d = DemuxOf(ist);

  if (ist->user_set_discard == AVDISCARD_ALL) {
    av_log(ist, AV_LOG_ERROR, "Cannot %s a disabled input stream\n",
           decoding ? "decode" : "streamcopy");
    return AVERROR(EINVAL);
  }
  if (decoding && !ist->avdec) {
    av_log(ist, AV_LOG_ERROR, "Decoding requested, but no decoder found for: %s\n",
           avcodec_get_name(ist->par->codec_id));
    return AVERROR(EINVAL);
  }

  if (ds->sch_idx_stream < 0) {
    const int ret = FFmpegSched::sch_add_demux_stream(d->sch, static_cast<Cardinal>(d->sch_idx));
    if (ret < 0) return ret;
    ds->sch_idx_stream = ret;
  }
  if (ds->discard) {
    ds->discard = 0;
    d->nb_streams_used++;
  }
  ist->st->discard = static_cast<AVDiscard>(ist->user_set_discard);

  ds->decoding_needed |= decoding;
  ds->streamcopy_needed |= !decoding;

  if (decoding && ds->sch_idx_dec < 0) {
    const int ret = ist_create_decoder(Owner, d, ds);
    if (ret < 0) return ret;
  }

  if (!decoding) {
    src = SCH_DSTREAM(static_cast<Cardinal>(d->sch_idx), static_cast<Cardinal>(ds->sch_idx_stream));
    return 0;
  }
  if (vs) return FFmpegDec::dec_request_view(ist->decoder, vs, src);
  src = SCH_DEC_OUT(static_cast<Cardinal>(ds->sch_idx_dec), 0);
  return 0;
}

int ist_filter_add(TBaseFFmpeg* Owner, PInputStream ist, PInputFilter ifilter, TSchedulerNode& src,
                   TInputFilterOptions& opts, const TViewSpecifier* vs, int is_simple) {
  TDemuxStream* ds = ds_from_ist(ist);
  TDemux* d = DemuxOf(ist);
  TBaseFFmpeg* task = d->Owner;
  int ret = ist_use(Owner, ist, is_simple ? DECODING_FOR_OST : DECODING_FOR_FILTER, src, vs);
  if (ret < 0) return ret;

  ret = av_dynarray_add_nofree(&ist->filters, &ist->nb_filters, ifilter);
  if (ret < 0) return ret;

  const AVCodecParameters* par = ist->par;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (ist->framerate.num) {
      opts.framerate = ist->framerate;
      opts.flags |= FFmpegFilter::IFILTER_FLAG_CFR;
    } else {
      opts.framerate = av_guess_frame_rate(d->f.ctx, ist->st, nullptr);
    }
    const AVPacketSideData* sd =
        av_packet_side_data_get(ist->st->codecpar->coded_side_data,
                                ist->st->codecpar->nb_coded_side_data, AV_PKT_DATA_FRAME_CROPPING);
    if (sd && sd->size >= static_cast<std::size_t>(4 * sizeof(std::uint32_t))) {
      opts.crop_top = AV_RL32(sd->data + 0);
      opts.crop_bottom = AV_RL32(sd->data + 4);
      opts.crop_left = AV_RL32(sd->data + 8);
      opts.crop_right = AV_RL32(sd->data + 12);
      if (ds->apply_cropping && ds->apply_cropping != FFmpegHeader::CROP_CODEC &&
          (opts.crop_top | opts.crop_bottom | opts.crop_left | opts.crop_right))
        opts.flags |= FFmpegFilter::IFILTER_FLAG_CROP;
    }
  } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    opts.sub2video_width = ds->canvas_width;
    opts.sub2video_height = ds->canvas_height;
    // without a canvas size, the largest video of the file sets it
    if (!(opts.sub2video_width && opts.sub2video_height)) {
      for (int j = 0; j < d->f.nb_streams; j++) {
        const AVCodecParameters* par1 = d->f.streams[j]->par;
        if (par1->codec_type == AVMEDIA_TYPE_VIDEO) {
          opts.sub2video_width = std::max(opts.sub2video_width, par1->width);
          opts.sub2video_height = std::max(opts.sub2video_height, par1->height);
        }
      }
    }
    if (!(opts.sub2video_width && opts.sub2video_height)) {
      opts.sub2video_width = std::max(opts.sub2video_width, 720);
      opts.sub2video_height = std::max(opts.sub2video_height, 576);
    }
    if (!d->pkt_heartbeat) {
      d->pkt_heartbeat = av_packet_alloc();
      if (!d->pkt_heartbeat) return AVERROR(ENOMEM);
    }
    ds->have_sub2video = 1;
  }

  if (opts.fallback && ds->decoded_params) {
    const AVFrame* p = ds->decoded_params;
    AVFrame* fb = opts.fallback;
    ret = av_frame_copy_props(fb, p);
    if (ret < 0) return ret;
    fb->format = p->format;
    fb->width = p->width;
    fb->height = p->height;
    fb->sample_aspect_ratio = p->sample_aspect_ratio;
    fb->sample_rate = p->sample_rate;
    ret = AVUtilStubs::av_channel_layout_copy(&fb->ch_layout, &p->ch_layout);
    if (ret < 0) return ret;
  }

  std::int64_t tsoffset = 0;
  if (task->Fcopy_ts) {
    tsoffset = d->f.start_time == AV_NOPTS_VALUE ? 0 : d->f.start_time;
    if (!task->Fstart_at_zero && d->f.start_time_effective != AV_NOPTS_VALUE)
      tsoffset += d->f.start_time_effective;
  }
  opts.trim_start_us =
      (d->f.start_time == AV_NOPTS_VALUE || !d->accurate_seek) ? AV_NOPTS_VALUE : tsoffset;
  opts.trim_end_us = d->recording_time;

  opts.name = av_strdup(ds->dec_name);
  if (!opts.name) return AVERROR(ENOMEM);

  opts.flags |= (ds->autorotate ? FFmpegFilter::IFILTER_FLAG_AUTOROTATE : 0) |
                (ds->reinit_filters ? FFmpegFilter::IFILTER_FLAG_REINIT : 0) |
                (ds->drop_changed ? FFmpegFilter::IFILTER_FLAG_DROPCHANGED : 0);
  return 0;
}

PInputStream ist_find_available(TBaseFFmpeg* Owner, AVMediaType type) {
  for (int i = 0; i < Owner->Fnb_input_files; i++) {
    PInputFile f = Owner->Finput_files[i];
    for (int j = 0; j < f->nb_streams; j++) {
      PInputStream ist = f->streams[j];
      if (ist->user_set_discard == AVDISCARD_ALL) continue;
      if (ist->st->codecpar->codec_type == type && ds_from_ist(ist)->discard) return ist;
    }
  }
  return nullptr;
}

int dump_attachment(PInputStream ist, const char* filename) {
  AVStream* st = ist->st;
  TDemux* d = DemuxOf(ist);
  if (!st->codecpar->extradata_size) {
    av_log(ist, AV_LOG_WARNING, "No extradata to dump.\n");
    return 0;
  }
  if (!filename || !*filename) {
    const AVDictionaryEntry* e = av_dict_get(st->metadata, "filename", nullptr, 0);
    if (e) filename = e->value;
  }
  if (!filename || !*filename) {
    av_log(ist, AV_LOG_FATAL, "No filename specified and no 'filename' tag\n");
    return AVERROR(EINVAL);
  }
  int ret = FFmpegOpt::assert_file_overwrite(d->Owner, filename);
  if (ret < 0) return ret;
  AVIOContext* out = nullptr;
  ret = avio_open2(&out, filename, AVIO_FLAG_WRITE, &d->Owner->FWriteCallback, nullptr);
  if (ret < 0) {
    av_log(ist, AV_LOG_FATAL, "Could not open file %s for writing.\n", filename);
    return ret;
  }
  avio_write(out, st->codecpar->extradata, st->codecpar->extradata_size);
  avio_flush(out);
  ret = avio_closep(&out);
  if (ret < 0) return ret;
  av_log(ist, AV_LOG_INFO, "Wrote attachment (%d bytes) to '%s'\n", st->codecpar->extradata_size,
         filename);
  return 0;
}

// ---- Input files ----------------------------------------------------------------------------

namespace {

// Releases a format context together with a host stream's I/O context, which the
// library leaves to its opener.
void close_input(AVFormatContext*& ic, AVIOContext*& pb) {
  if (ic) avformat_close_input(&ic);
  if (pb) {
    av_freep(&pb->buffer);
    avio_context_free(&pb);
  }
}

// Whether the input format named on the command line declares AKey as its own option.
bool format_has_opt(const AVInputFormat* fmt, const char* key) {
  if (!fmt || !fmt->priv_class) return false;
  const AVClass* pc = fmt->priv_class;
  return av_opt_find(&pc, key, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

// The last value given of a per-file list, as everywhere on a command line.
const CmdUtils::TSpecifierOpt* last_opt(const CmdUtils::TSpecifierOptList& l) {
  return l.nb_opt > 0 ? &l.opt[l.nb_opt - 1] : nullptr;
}

// The input options that reach the demuxer as its own options. The sample rate, picture
// size and pixel format always go (a raw demuxer chosen by the file's extension needs
// them as much as a named one); the channel count and layout and the frame rate only to a
// named format that declares them, since other demuxers would take them for nothing.
int open_demux_options(const TOptionsContext* o, const AVInputFormat* fmt) {
  AVDictionary** dict = &o->g->format_opts;
  int ret = 0;
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->audio_sample_rate)) {
    ret = av_dict_set_int(dict, "sample_rate", so->u.i, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->audio_channels);
      so && format_has_opt(fmt, "ch_layout")) {
    // a count alone is a layout of unspecified order with that many channels
    char layout[32];
    std::snprintf(layout, sizeof layout, "%dC", so->u.i);
    ret = av_dict_set(dict, "ch_layout", layout, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->audio_ch_layouts);
      so && format_has_opt(fmt, "ch_layout")) {
    ret = av_dict_set(dict, "ch_layout", so->u.str, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->frame_rates);
      so && format_has_opt(fmt, "framerate")) {
    ret = av_dict_set(dict, "framerate", so->u.str, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->frame_sizes)) {
    ret = av_dict_set(dict, "video_size", so->u.str, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->frame_pix_fmts)) {
    ret = av_dict_set(dict, "pixel_format", so->u.str, 0);
    if (ret < 0) return ret;
  }
  if (const CmdUtils::TSpecifierOpt* so = last_opt(o->sample_fmts)) {
    ret = av_dict_set(dict, "sample_fmt", so->u.str, 0);
    if (ret < 0) return ret;
  }
  return 0;
}

}  // namespace

int ifile_open(TBaseFFmpeg* Owner, const TOptionsContext* o, const char* filename,
               FFmpegSched::TScheduler* sch) {
  int ret;
  // "-" is standard input, as the output "-" is standard output.
  if (filename && std::strcmp(filename, "-") == 0) filename = "pipe:";

  TDemux* d = static_cast<TDemux*>(
      CmdUtils::allocate_array_elem(&Owner->Finput_files, sizeof(TDemux), Owner->Fnb_input_files));
  if (!d) return AVERROR(ENOMEM);
  d->f.class_ = &CInputFileClass;
  d->f.index = Owner->Fnb_input_files - 1;
  d->f.start_time = AV_NOPTS_VALUE;
  d->f.start_time_effective = AV_NOPTS_VALUE;
  std::snprintf(d->log_name, sizeof(d->log_name), "in#%d", d->f.index);
  d->Owner = Owner;
  d->sch = sch;
  d->recording_time = INT64_MAX;
  d->last_ts = AV_NOPTS_VALUE;
  d->duration = TTimestamp{0, AVRational{1, 1}};
  d->min_pts = TTimestamp{AV_NOPTS_VALUE, AVRational{1, 1}};
  d->max_pts = TTimestamp{AV_NOPTS_VALUE, AVRational{1, 1}};
  d->readrate_initial_burst = -1;

  ret = FFmpegSched::sch_add_demux(sch, input_thread, d);
  if (ret < 0) return ret;
  d->sch_idx = ret;

  std::int64_t recording_time = o->recording_time;
  std::int64_t start_time = o->start_time;
  if (o->stop_time != INT64_MAX && recording_time != INT64_MAX) {
    av_log(&d->f, AV_LOG_WARNING, "-t and -to cannot be used together; using -t.\n");
  } else if (o->stop_time != INT64_MAX) {
    const std::int64_t start = start_time == AV_NOPTS_VALUE ? 0 : start_time;
    if (o->stop_time <= start) {
      av_log(&d->f, AV_LOG_ERROR, "-to value smaller than -ss; aborting.\n");
      return AVERROR(EINVAL);
    }
    recording_time = o->stop_time - start;
  }

  const AVInputFormat* file_iformat = nullptr;
  bool custom_format = false;
  if (o->format) {
    file_iformat = FFUtils::FindInputFormat(o->format);
    custom_format = file_iformat != nullptr;
    if (!file_iformat) file_iformat = av_find_input_format(o->format);
    if (!file_iformat) {
      av_log(&d->f, AV_LOG_FATAL, "Unknown input format: '%s'\n", o->format);
      return AVERROR(EINVAL);
    }
  }

  // The context stays local until the library has opened it: a failed open frees it.
  AVFormatContext* ic = avformat_alloc_context();
  AVIOContext* pb = nullptr;
  if (!ic) return AVERROR(ENOMEM);
  if (custom_format) {
    av_opt_free(ic);
    ic->av_class = FFUtils::GetCustomFormatContextClass();
    av_opt_set_defaults(ic);
  }

  ret = open_demux_options(o, file_iformat);
  if (ret < 0) {
    close_input(ic, pb);
    return ret;
  }

  // the decoders named per media type are forced on the probe as well
  struct TForcedCodec {
    char letter;
    AVMediaType type;
  };
  static const TForcedCodec CForced[] = {{'v', AVMEDIA_TYPE_VIDEO},
                                         {'a', AVMEDIA_TYPE_AUDIO},
                                         {'s', AVMEDIA_TYPE_SUBTITLE},
                                         {'d', AVMEDIA_TYPE_DATA}};
  for (const TForcedCodec& fc : CForced) {
    const char* name = FFmpegOpt::opt_match_per_type_str(o->codec_names, fc.letter);
    if (!name) continue;
    const AVCodec* codec = nullptr;
    ret =
        FFmpegOpt::find_codec(Owner, const_cast<TOptionsContext*>(o), name, fc.type, false, codec);
    if (ret < 0) {
      close_input(ic, pb);
      return ret;
    }
    switch (fc.type) {
      case AVMEDIA_TYPE_VIDEO:
        ic->video_codec = codec;
        ic->video_codec_id = codec->id;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ic->audio_codec = codec;
        ic->audio_codec_id = codec->id;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ic->subtitle_codec = codec;
        ic->subtitle_codec_id = codec->id;
        break;
      default:
        ic->data_codec = codec;
        ic->data_codec_id = codec->id;
        break;
    }
  }

  ic->flags |= AVFMT_FLAG_NONBLOCK;
  if (o->bitexact) ic->flags |= AVFMT_FLAG_BITEXACT;
  ic->interrupt_callback = Owner->FReadCallback;

  bool scan_all_pmts_set = false;
  if (!av_dict_get(o->g->format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE)) {
    av_dict_set(&o->g->format_opts, "scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
    scan_all_pmts_set = true;
  }

  if (o->memory_access) {
    void* stream = reinterpret_cast<void*>(static_cast<intptr_t>(o->memory_access));
    ret = MemoryProtocol::memory_open(stream, filename, 0, &pb);
    if (ret < 0) {
      close_input(ic, pb);
      if (ret == -1) ret = AVERROR(EINVAL);
      av_log(&d->f, AV_LOG_ERROR, "Error opening input: %s\n", print_error(ret).c_str());
      return ret;
    }
    ic->pb = pb;
    ic->flags |= AVFMT_FLAG_CUSTOM_IO;
    d->f.memory_handle = stream;
  }

  Owner->FLastRead = av_gettime_relative();
  ret = avformat_open_input(&ic, filename, file_iformat, &o->g->format_opts);
  if (ret < 0) {
    // the library has freed the context, but not a host stream's I/O context
    ic = nullptr;
    close_input(ic, pb);
    if (ret != AVERROR_EXIT) {
      av_log(&d->f, AV_LOG_ERROR, "Error opening input: %s\n", print_error(ret).c_str());
      if (ret == AVERROR_PROTOCOL_NOT_FOUND)
        av_log(&d->f, AV_LOG_ERROR, "Did you mean file:%s?\n", filename);
    }
    return ret;
  }
  d->f.ctx = ic;
  d->pb = pb;

  {
    const char* p = std::strrchr(filename, '/');
    std::snprintf(d->log_name, sizeof(d->log_name), "in#%d/%s", d->f.index, p ? p + 1 : filename);
  }
  if (scan_all_pmts_set)
    av_dict_set(&o->g->format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE);

  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodec* dummy = nullptr;
    ret = choose_decoder(o, ic, ic->streams[i], dummy);
    if (ret < 0) return ret;
  }

  if (o->find_stream_info) {
    AVDictionary** opts = nullptr;
    const unsigned orig_nb_streams = ic->nb_streams;
    ret = CmdUtils::setup_find_stream_info_opts(ic, o->g->codec_opts, opts);
    if (ret < 0) return ret;
    // the host may adjust the context (probe size, options) before the probe
    if (auto* task = dynamic_cast<FFmpeg::TCustomFFmpeg*>(Owner);
        task && task->FOnBeforeFindStreamInfo)
      task->FOnBeforeFindStreamInfo(task, ic);
    Owner->FLastRead = av_gettime_relative();
    ret = avformat_find_stream_info(ic, opts);
    for (unsigned i = 0; i < orig_nb_streams; i++) av_dict_free(&opts[i]);
    av_freep(&opts);
    if (ret < 0) {
      av_log(&d->f, AV_LOG_FATAL, "could not find codec parameters\n");
      if (ic->nb_streams == 0) return ret;
    }
  }

  if (start_time != AV_NOPTS_VALUE && o->start_time_eof != AV_NOPTS_VALUE) {
    av_log(&d->f, AV_LOG_WARNING, "Cannot use -ss and -sseof both, using -ss\n");
  } else if (o->start_time_eof != AV_NOPTS_VALUE) {
    if (o->start_time_eof >= 0) {
      av_log(&d->f, AV_LOG_ERROR, "-sseof value must be negative; aborting\n");
      return AVERROR(EINVAL);
    }
    if (ic->duration > 0) {
      start_time = o->start_time_eof + ic->duration;
      if (start_time < 0) {
        av_log(&d->f, AV_LOG_WARNING, "-sseof value seeks to before start of file; ignored\n");
        start_time = 0;
      }
    } else {
      av_log(&d->f, AV_LOG_WARNING, "Cannot use -sseof, file duration not known\n");
    }
  }

  if (ic->duration != AV_NOPTS_VALUE) {
    const std::int64_t dur = ic->duration - (start_time == AV_NOPTS_VALUE ? 0 : start_time);
    std::int64_t cur = Owner->FInputDuration.load();
    while (dur > cur && !Owner->FInputDuration.compare_exchange_weak(cur, dur)) {
    }
  }

  std::int64_t timestamp = start_time == AV_NOPTS_VALUE ? 0 : start_time;
  if (!o->seek_timestamp && ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;

  if (start_time != AV_NOPTS_VALUE) {
    std::int64_t seek_timestamp = timestamp;
    // A seek by dts lands before the wanted frame for streams with reordering delay:
    // aim a little earlier so that the first frame wanted is still decodable.
    if (!(ic->iformat->flags & AVFMT_SEEK_TO_PTS)) {
      bool dts_heuristic = false;
      for (unsigned i = 0; i < ic->nb_streams; i++)
        if (ic->streams[i]->codecpar->video_delay) dts_heuristic = true;
      if (dts_heuristic) seek_timestamp -= 3 * AV_TIME_BASE / 23;
    }
    Owner->FLastRead = av_gettime_relative();
    ret = avformat_seek_file(ic, -1, INT64_MIN, seek_timestamp, seek_timestamp, 0);
    if (ret < 0)
      av_log(&d->f, AV_LOG_WARNING, "could not seek to position %0.3f\n",
             static_cast<double>(timestamp) / AV_TIME_BASE);
  }

  d->f.start_time = start_time;
  d->f.start_time_effective = ic->start_time;
  d->recording_time = recording_time;
  d->f.input_sync_ref = o->input_sync_ref;
  d->f.input_ts_offset = o->input_ts_offset;
  // -copyts keeps the file's timestamps (with -start_at_zero, shifted to start at 0);
  // otherwise the output starts at 0 at the point where reading starts
  d->f.ts_offset =
      o->input_ts_offset -
      (Owner->Fcopy_ts
           ? (Owner->Fstart_at_zero && ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0)
           : timestamp);
  d->accurate_seek = o->accurate_seek;
  d->bitexact = o->bitexact;
  d->loop = o->loop;
  d->nb_streams_warn = static_cast<int>(ic->nb_streams);

  d->readrate = o->readrate;
  if (d->readrate < 0) {
    av_log(&d->f, AV_LOG_ERROR, "Option -readrate is %0.3f; it must be non-negative.\n",
           d->readrate);
    return AVERROR(EINVAL);
  }
  if (o->rate_emu) {
    if (d->readrate) {
      av_log(&d->f, AV_LOG_WARNING, "Both -readrate and -re set. Using -readrate %0.3f.\n",
             d->readrate);
    } else {
      d->readrate = 1.0f;
      d->rate_emu = 1;
      Owner->Frate_emu_on_the_fly = 1;
    }
  }
  if (d->readrate) {
    // 0 is a valid choice (no burst); only an option not given takes the default
    d->readrate_initial_burst =
        std::isnan(o->readrate_initial_burst) ? 0.5 : o->readrate_initial_burst;
    if (d->readrate_initial_burst < 0) {
      av_log(&d->f, AV_LOG_ERROR,
             "Option -readrate_initial_burst is %0.3f; it must be non-negative.\n",
             d->readrate_initial_burst);
      return AVERROR(EINVAL);
    }
    d->readrate_catchup = o->readrate_catchup ? o->readrate_catchup : d->readrate * 1.05f;
    if (d->readrate_catchup < d->readrate) {
      av_log(&d->f, AV_LOG_ERROR,
             "Option -readrate_catchup is %0.3f; it must be at least equal to %0.3f.\n",
             d->readrate_catchup, d->readrate);
      return AVERROR(EINVAL);
    }
  } else {
    if (!std::isnan(o->readrate_initial_burst))
      av_log(&d->f, AV_LOG_WARNING,
             "Option -readrate_initial_burst ignored since neither -readrate nor -re were given\n");
    if (o->readrate_catchup)
      av_log(&d->f, AV_LOG_WARNING,
             "Option -readrate_catchup ignored since neither -readrate nor -re were given\n");
  }

  for (unsigned i = 0; i < ic->nb_streams; i++) {
    PInputStream ist = nullptr;
    ret = ist_add(o, d, ic->streams[i], ist);
    if (ret < 0) return ret;
  }

  av_dump_format(ic, d->f.index, filename, 0);

  ret = FFmpeg::check_avoptions_used(o->g->codec_opts, d->opts_used, &d->f, true);
  if (ret < 0) return ret;

  for (int i = 0; i < o->dump_attachment.nb_opt; i++) {
    const CmdUtils::TSpecifierOpt& so = o->dump_attachment.opt[i];
    for (int j = 0; j < d->f.nb_streams; j++) {
      PInputStream ist = d->f.streams[j];
      if (CmdUtils::check_stream_specifier(ic, ist->st, so.specifier ? so.specifier : "") == 1) {
        ret = dump_attachment(ist, so.u.str);
        if (ret < 0) return ret;
      }
    }
  }
  return 0;
}

void ifile_close(PInputFile& pf) {
  TDemux* d = demux_from_ifile(pf);
  if (!d) return;

  if (d->read_started) demux_final_stats(d);

  for (int i = 0; i < d->f.nb_streams; i++) {
    TDemuxStream* ds = ds_from_ist(d->f.streams[i]);
    ist_free(ds);
  }
  av_freep(&d->f.streams);
  d->f.nb_streams = 0;

  close_input(d->f.ctx, d->pb);
  if (d->f.memory_handle) (void)MemoryProtocol::memory_close(d->f.memory_handle);

  av_packet_free(&d->pkt_heartbeat);
  av_dict_free(&d->opts_used);
  av_freep(&pf);
}

}  // namespace FFmpegDemux
