// The muxer: one thread per output file writes the file's packets in the scheduler's
// interleaved order.
//
// Ownership: the TMux and TMuxStream records are built by the output set-up on the
// option-parsing thread and freed by the task's clean-up (of_free). Between the
// scheduler's start and its stop the packet path (muxer_thread down to write_packet)
// runs only on the file's muxer thread; last_filesize and packets_written are also read
// by the progress report, through atomic access. of_stream_init runs on the encoder's
// opening thread (or on the option-parsing thread for copied streams) before any packet
// of the stream reaches the muxer.
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInternal.h"

#include <cerrno>
#include <climits>

#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/FFmpegEnc.h"
#include "engine/FFmpegFilter.h"
#include "platform/Format.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/MyUtils.h"

namespace FFmpegMux {

using AVCodecStubs::av_bsf_init;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::avcodec_parameters_copy;
using AVCodecStubs::avcodec_parameters_from_context;
using AVFormatStubs::avio_closep;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_log;
using AVUtilStubs::av_reduce;
using AVUtilStubs::av_rescale_q;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TOutputFile;
using FFmpegHeader::TOutputStream;

// ---- Record access ------------------------------------------------------------------------

TMuxStream* ms_from_ost(TOutputStream* ost) { return reinterpret_cast<TMuxStream*>(ost); }

TBaseFFmpeg* ost_task(TOutputStream* ost) { return mux_from_of(ost->file_)->owner; }

// ---- Stream initialisation ----------------------------------------------------------------

int bsf_init(TMuxStream* ms) {
  TOutputStream* ost = &ms->ost;
  AVBSFContext* ctx = ms->bsf_ctx;
  int ret;

  if (!ctx) return avcodec_parameters_copy(ost->st->codecpar, ms->par_in);

  ret = avcodec_parameters_copy(ctx->par_in, ms->par_in);
  if (ret < 0) return ret;

  ctx->time_base_in = ost->st->time_base;

  ret = av_bsf_init(ctx);
  if (ret < 0) {
    av_log(ms, AV_LOG_ERROR, "Error initializing bitstream filter: %s\n", ctx->filter->name);
    return ret;
  }

  ret = avcodec_parameters_copy(ost->st->codecpar, ctx->par_out);
  if (ret < 0) return ret;
  ost->st->time_base = ctx->time_base_out;

  ms->bsf_pkt = av_packet_alloc();
  if (!ms->bsf_pkt) return AVERROR(ENOMEM);

  return 0;
}

int of_stream_init(TOutputFile* of, TOutputStream* ost, const AVCodecContext* enc_ctx) {
  TMux* mux = mux_from_of(of);
  TMuxStream* ms = ms_from_ost(ost);
  int ret;

  if (enc_ctx) {
    // An encoder's time base is only the stream's default: a -time_base given on the
    // command line was already put on the stream and wins.
    if (ost->st->time_base.num <= 0 || ost->st->time_base.den <= 0)
      av_reduce(&ost->st->time_base.num, &ost->st->time_base.den, enc_ctx->time_base.num,
                enc_ctx->time_base.den, INT_MAX);

    ost->st->avg_frame_rate = enc_ctx->framerate;
    ost->st->sample_aspect_ratio = enc_ctx->sample_aspect_ratio;

    ret = avcodec_parameters_from_context(ms->par_in, enc_ctx);
    if (ret < 0) {
      av_log(ost, AV_LOG_FATAL, "Error initializing the output stream codec parameters.\n");
      return ret;
    }
  }

  ret = bsf_init(ms);
  if (ret < 0) return ret;

  if (ms->stream_duration) {
    ost->st->duration =
        av_rescale_q(ms->stream_duration, ms->stream_duration_tb, ost->st->time_base);
  }

  if (ms->sch_idx >= 0)
    return FFmpegSched::sch_mux_stream_ready(mux->sch, mux->sch_idx,
                                             static_cast<Cardinal>(ms->sch_idx));

  return 0;
}

// ---- Statistics files ---------------------------------------------------------------------

void of_enc_stats_close(TBaseFFmpeg* task) {
  for (int i = 0; i < task->Fnb_enc_stats_files; i++) {
    av_freep(&task->Fenc_stats_files[i].path);
    avio_closep(&task->Fenc_stats_files[i].io);
    delete task->Fenc_stats_files[i].lock;
    task->Fenc_stats_files[i].lock = nullptr;
  }
  av_freep(&task->Fenc_stats_files);
  task->Fnb_enc_stats_files = 0;
}

// ---- Writing ------------------------------------------------------------------------------

namespace {

using AVCodecStubs::av_bsf_free;
using AVCodecStubs::av_bsf_receive_packet;
using AVCodecStubs::av_bsf_send_packet;
using AVUtilStubs::av_dict_free;
using AVFormatStubs::av_dump_format;
using AVUtilStubs::av_expr_free;
using AVCodecStubs::av_get_audio_frame_duration2;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_gettime_relative;
using AVFormatStubs::av_interleaved_write_frame;
using AVUtilStubs::av_malloc_array;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_rescale_ts;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_rescale_delta;
using AVFormatStubs::av_sdp_create;
using AVFormatStubs::av_write_trailer;
using AVCodecStubs::avcodec_parameters_free;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_write_header;
using AVFormatStubs::avio_context_free;
using AVFormatStubs::avio_open2;
using AVFormatStubs::avio_seek;
using AVFormatStubs::avio_size;
using AVFormatStubs::avio_write;

// The stage of each latency probe, for the -debug_ts line.
const char* const CLatencyStage[8] = {"demux",  "decode", "decode", "filter",
                                      "filter", "encode", "encode", "mux"};

struct TMuxThreadContext {
  AVPacket* pkt;                   // the packet received from the scheduler
  AVPacket* fix_sub_duration_pkt;  // heartbeat for subtitle duration fixing
};

std::string ErrText(int AErr) { return CmdUtils::print_error(AErr); }

using FFUtils::TsStr;
using FFUtils::TsTimeStr;

// Stamps the task's last write for the write time-out watchdog.
void StampWrite(TMux* mux) {
  mux->owner->FLastWrite.store(av_gettime_relative());
}

std::int64_t filesize(AVIOContext* pb) {
  if (!pb) return -1;
  std::int64_t ret = avio_size(pb);
  // not a seekable file: the position is what was written
  if (ret <= 0) ret = avio_seek(pb, 0, SEEK_CUR);
  return ret;
}

void mux_log_debug_ts(TOutputStream* ost, const AVPacket* pkt) {
  std::string latency;

  if (pkt->opaque_ref) {
    const auto* fd = reinterpret_cast<const FFmpegHeader::TFrameData*>(pkt->opaque_ref->data);
    const std::int64_t now = av_gettime_relative();
    std::int64_t total = INT64_MIN;
    for (int i = 0; i < 8; i++) {
      const std::int64_t val = i < FFmpegHeader::LATENCY_PROBE_NB ? fd->wallclock[i] : now;
      if (val == INT64_MIN) continue;
      if (total == INT64_MIN) {
        total = now - val;
        latency += Platform::Format("total:%gms", static_cast<double>(total) / 1000.0);
      }
      int next = i + 1;
      while (next < FFmpegHeader::LATENCY_PROBE_NB && fd->wallclock[next] == INT64_MIN) next++;
      if (next > 7) break;
      const std::int64_t next_val = next < FFmpegHeader::LATENCY_PROBE_NB ? fd->wallclock[next] : now;
      const std::int64_t diff = next_val - val;
      if (100 * diff > 5 * total && total > 0) {
        latency += ", ";
        if (std::strcmp(CLatencyStage[i], CLatencyStage[next]) == 0)
          latency += CLatencyStage[i];
        else
          latency += Platform::Format("%s-%s:", CLatencyStage[i], CLatencyStage[next]);
        latency += Platform::Format(" %gms/%d%%", static_cast<double>(diff) / 1000.0,
                          static_cast<int>(100 * diff / total));
      }
      i = next - 1;
    }
  }
  if (latency.empty()) latency = "N/A";

  const AVRational tb = ost->st->time_base;
  av_log(ost, AV_LOG_INFO,
         "muxer <- pts:%s pts_time:%s dts:%s dts_time:%s duration:%s duration_time:%s size:%d "
         "latency(%s)\n",
         TsStr(pkt->pts).c_str(), TsTimeStr(pkt->pts, tb).c_str(), TsStr(pkt->dts).c_str(),
         TsTimeStr(pkt->dts, tb).c_str(), TsStr(pkt->duration).c_str(),
         TsTimeStr(pkt->duration, tb).c_str(), pkt->size, latency.c_str());
}

int write_packet(TMux* mux, TOutputStream* ost, AVPacket* pkt) {
  TMuxStream* ms = ms_from_ost(ost);
  AVFormatContext* fc = mux->fc;
  std::int64_t fs;
  std::int64_t frame_num;
  int ret;

  fs = filesize(fc->pb);
  FFmpegHeader::atomic_store(mux->last_filesize, fs);
  if (fs >= mux->limit_filesize) {
    ret = AVERROR_EOF;
    goto fail;
  }

  ret = mux_fixup_ts(mux, ms, pkt);
  if (ret < 0) goto fail;

  ms->data_size_mux += pkt->size;
  frame_num = FFmpegHeader::atomic_fetch_add(ost->packets_written, std::int64_t{1});
  pkt->stream_index = ost->index;

  if (ms->stats.io) FFmpegEnc::enc_stats_write(ost, &ms->stats, nullptr, pkt,
                                               static_cast<std::uint64_t>(frame_num));

  StampWrite(mux);
  ret = av_interleaved_write_frame(fc, pkt);
  if (ret < 0) {
    av_log(ost, AV_LOG_ERROR,
           "Error submitting a packet to the muxer: %s\nPlease check error log message(reported "
           "by VEDovedo) to find out more detail information.\n",
           ErrText(ret).c_str());
    goto fail;
  }
  return 0;

fail:
  av_packet_unref(pkt);
  return ret;
}

int sync_queue_process(TMux* mux, TOutputStream* ost, AVPacket* pkt, int* stream_eof) {
  TMuxStream* ms = ms_from_ost(ost);
  if (ms->sq_idx_mux < 0) {
    if (pkt) return write_packet(mux, ost, pkt);
    return 0;
  }

  int ret = SyncQueue::sq_send(mux->sq_mux, static_cast<Cardinal>(ms->sq_idx_mux),
                               SyncQueue::SQPKT(pkt));
  if (ret < 0) {
    if (ret == AVERROR_EOF) *stream_eof = 1;
    return ret;
  }
  while (true) {
    ret = SyncQueue::sq_receive(mux->sq_mux, -1, SyncQueue::SQPKT(mux->sq_pkt));
    if (ret < 0) return ret == AVERROR(EAGAIN) ? 0 : ret;
    ret = write_packet(mux, mux->of.streams[ret], mux->sq_pkt);
    if (ret < 0) return ret;
  }
}

int of_streamcopy(TOutputFile* of, TOutputStream* ost, AVPacket* pkt) {
  TMuxStream* ms = ms_from_ost(ost);
  const auto* fd = pkt->opaque_ref
                       ? reinterpret_cast<const FFmpegHeader::TFrameData*>(pkt->opaque_ref->data)
                       : nullptr;
  const std::int64_t dts = fd ? fd->dts_est : AV_NOPTS_VALUE;
  const std::int64_t start_time = of->start_time == AV_NOPTS_VALUE ? 0 : of->start_time;

  if (of->recording_time != INT64_MAX && dts >= of->recording_time + start_time)
    return AVERROR_EOF;

  if (!ms->streamcopy_started && !(pkt->flags & AV_PKT_FLAG_KEY) &&
      !ms->copy_initial_nonkeyframes)
    return AVERROR(EAGAIN);

  if (!ms->streamcopy_started) {
    if (!ms->copy_prior_start &&
        (pkt->pts == AV_NOPTS_VALUE
             ? dts < ms->ts_copy_start
             : pkt->pts < av_rescale_q(ms->ts_copy_start, AVRational{1, AV_TIME_BASE},
                                       pkt->time_base)))
      return AVERROR(EAGAIN);
    if (of->start_time != AV_NOPTS_VALUE && dts < of->start_time) return AVERROR(EAGAIN);
  }

  const std::int64_t ts_offset =
      av_rescale_q(start_time, AVRational{1, AV_TIME_BASE}, pkt->time_base);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= ts_offset;

  if (pkt->dts == AV_NOPTS_VALUE) {
    pkt->dts = av_rescale_q(dts, AVRational{1, AV_TIME_BASE}, pkt->time_base);
  } else if (ost->st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
    pkt->pts = pkt->dts - ts_offset;
  }
  pkt->dts -= ts_offset;

  ms->streamcopy_started = 1;
  return 0;
}

int mux_packet_filter(TMux* mux, TMuxThreadContext* mt, TOutputStream* ost, AVPacket* pkt,
                      int* stream_eof) {
  TMuxStream* ms = ms_from_ost(ost);
  const char* err_msg = "";
  int ret = 0;

  if (pkt && !ost->enc) {
    ret = of_streamcopy(&mux->of, ost, pkt);
    if (ret == AVERROR(EAGAIN)) return 0;
    if (ret == AVERROR_EOF) {
      av_packet_unref(pkt);
      pkt = nullptr;
      ret = 0;
      *stream_eof = 1;
    } else if (ret < 0) {
      goto fail;
    }
  }

  // Subtitle decoders fixing durations need heartbeats; random access points suffice.
  if (pkt && (pkt->flags & AV_PKT_FLAG_KEY)) {
    mt->fix_sub_duration_pkt->opaque = reinterpret_cast<void*>(std::intptr_t{2});
    mt->fix_sub_duration_pkt->pts = pkt->pts;
    mt->fix_sub_duration_pkt->time_base = pkt->time_base;
    ret = FFmpegSched::sch_mux_sub_heartbeat(mux->sch, mux->sch_idx,
                                             static_cast<Cardinal>(ms->sch_idx),
                                             mt->fix_sub_duration_pkt);
    if (ret < 0) goto fail;
  }

  if (ms->bsf_ctx) {
    int bsf_eof = 0;
    if (pkt) av_packet_rescale_ts(pkt, pkt->time_base, ms->bsf_ctx->time_base_in);
    ret = av_bsf_send_packet(ms->bsf_ctx, pkt);
    if (ret < 0) {
      err_msg = "submitting a packet for bitstream filtering";
      goto fail;
    }
    while (!bsf_eof) {
      ret = av_bsf_receive_packet(ms->bsf_ctx, ms->bsf_pkt);
      if (ret == AVERROR(EAGAIN)) return 0;
      if (ret == AVERROR_EOF) {
        bsf_eof = 1;
      } else if (ret < 0) {
        av_log(ost, AV_LOG_ERROR, "Error applying bitstream filters to a packet: %s\n",
               ErrText(ret).c_str());
        if (mux->owner->Fexit_on_error) return ret;
        continue;
      }
      if (!bsf_eof) ms->bsf_pkt->time_base = ms->bsf_ctx->time_base_out;
      ret = sync_queue_process(mux, ost, bsf_eof ? nullptr : ms->bsf_pkt, stream_eof);
      if (ret < 0) {
        err_msg = "submitting a packet to the muxer";
        goto fail;
      }
    }
    *stream_eof = 1;
    return AVERROR_EOF;
  }

  ret = sync_queue_process(mux, ost, pkt, stream_eof);
  if (ret < 0) {
    err_msg = "submitting a packet to the muxer";
    goto fail;
  }
  return *stream_eof ? AVERROR_EOF : 0;

fail:
  if (ret != AVERROR_EOF)
    av_log(ost, AV_LOG_ERROR, "Error %s: %s\n", err_msg, ErrText(ret).c_str());
  return ret;
}

void enc_stats_uninit(FFmpegHeader::TEncStats* es) {
  for (int i = 0; i < es->nb_components; i++) av_freep(&es->components[i].str);
  av_freep(&es->components);
  es->nb_components = 0;
  // the writer and its lock belong to the task's list of statistics files
  es->io = nullptr;
  es->lock = nullptr;
}

// Deletes the output named url when it is an empty regular file: never a device, a FIFO,
// a socket or a symbolic link (the converter may run with every right on the machine),
// and never a URL of another protocol.
void DeleteEmptyOutput(const char* url) {
  if (!url || !*url) return;
  const char* path = url;
  if (std::strncmp(path, "file:", 5) == 0) {
    path += 5;
  } else {
    // "proto:..." names another protocol; a drive-less path has no colon before a slash
    const char* colon = std::strchr(path, ':');
    const char* slash = std::strchr(path, '/');
    if (colon && (!slash || colon < slash)) return;
  }
  struct stat st {};
  if (lstat(path, &st) != 0) return;
  if (S_ISREG(st.st_mode) && st.st_size == 0) std::remove(path);
}

void mux_final_stats(TMux* mux) {
  TOutputFile* of = &mux->of;
  std::uint64_t total_packets = 0;
  std::uint64_t total_size = 0;
  std::uint64_t video_size = 0, audio_size = 0, subtitle_size = 0, extra_size = 0,
                other_size = 0;

  av_log(mux, AV_LOG_VERBOSE, "Output file #%d (%s):\n", of->index, of->url);

  for (int j = 0; j < of->nb_streams; j++) {
    TOutputStream* ost = of->streams[j];
    TMuxStream* ms = ms_from_ost(ost);
    const AVCodecParameters* par = ost->st->codecpar;
    const AVMediaType type = par->codec_type;
    const std::uint64_t s = static_cast<std::uint64_t>(ms->data_size_mux);

    switch (type) {
      case AVMEDIA_TYPE_VIDEO: video_size += s; break;
      case AVMEDIA_TYPE_AUDIO: audio_size += s; break;
      case AVMEDIA_TYPE_SUBTITLE: subtitle_size += s; break;
      default: other_size += s; break;
    }
    extra_size += static_cast<std::uint64_t>(par->extradata_size);
    total_size += s;
    const std::int64_t packets = FFmpegHeader::atomic_load(ost->packets_written);
    total_packets += static_cast<std::uint64_t>(packets);

    const char* type_name = av_get_media_type_string(type);
    av_log(mux, AV_LOG_VERBOSE, "  Output stream #%d:%d (%s): ", of->index, j,
           type_name ? type_name : "unknown");
    if (ost->enc) {
      av_log(mux, AV_LOG_VERBOSE, "%" PRIu64 " frames encoded", ost->enc->frames_encoded);
      if (type == AVMEDIA_TYPE_AUDIO)
        av_log(mux, AV_LOG_VERBOSE, " (%" PRIu64 " samples)", ost->enc->samples_encoded);
      av_log(mux, AV_LOG_VERBOSE, "; ");
    }
    av_log(mux, AV_LOG_VERBOSE, "%" PRId64 " packets muxed (%" PRIu64 " bytes); \n", packets, s);
  }
  av_log(mux, AV_LOG_VERBOSE, "  Total: %" PRIu64 " packets (%" PRIu64 " bytes) muxed\n",
         total_packets, total_size);

  const std::int64_t file_size = FFmpegHeader::atomic_load(mux->last_filesize);
  char overhead[32] = "unknown";
  if (total_size && file_size > 0 && static_cast<std::uint64_t>(file_size) >= total_size)
    std::snprintf(overhead, sizeof(overhead), "%f%%",
                  100.0 * static_cast<double>(static_cast<std::uint64_t>(file_size) - total_size) /
                      static_cast<double>(total_size));

  av_log(mux, AV_LOG_INFO,
         "video:%1.0fKiB audio:%1.0fKiB subtitle:%1.0fKiB other streams:%1.0fKiB "
         "global headers:%1.0fKiB muxing overhead: %s\n",
         video_size / 1024.0, audio_size / 1024.0, subtitle_size / 1024.0, other_size / 1024.0,
         extra_size / 1024.0, overhead);
}

// Abort flags of -abort_on.
constexpr int CAbortOnEmptyOutput = 1;
constexpr int CAbortOnEmptyOutputStream = 2;

int check_written(TOutputFile* of) {
  TMux* mux = mux_from_of(of);
  TBaseFFmpeg* task = mux->owner;
  std::int64_t total_packets_written = 0;
  bool pass1_used = true;
  int ret = 0;

  for (int i = 0; i < of->nb_streams; i++) {
    TOutputStream* ost = of->streams[i];
    const std::int64_t packets_written = FFmpegHeader::atomic_load(ost->packets_written);
    total_packets_written += packets_written;

    if (ost->enc && ost->enc->enc_ctx &&
        (ost->enc->enc_ctx->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) !=
            AV_CODEC_FLAG_PASS1)
      pass1_used = false;

    if (!packets_written && (task->Fabort_on_flags & CAbortOnEmptyOutputStream)) {
      av_log(ost, AV_LOG_FATAL, "Empty output stream\n");
      ret = FFmpegHeader::err_merge(ret, AVERROR(EINVAL));
    }
  }

  if (!total_packets_written) {
    const int level = (task->Fabort_on_flags & CAbortOnEmptyOutput) ? AV_LOG_FATAL : AV_LOG_WARNING;
    av_log(mux, level, "Output file is empty, nothing was encoded%s\n",
           pass1_used ? "" : "(check -ss / -t / -frames parameters if used)");
    if (level == AV_LOG_FATAL) ret = FFmpegHeader::err_merge(ret, AVERROR(EINVAL));
  }
  return ret;
}

// Releases a stream-backed output's I/O context once: the trailer releases it and the
// clean-up after it must find nothing left to close or free. The host's stream object
// stays recorded (it is not ours), so that the clean-up still knows the output was no file.
void ReleaseMemoryOutput(TMux* mux) {
  AVFormatContext* fc = mux->fc;
  if (!fc->pb) return;
  void* handle = mux->of.memory_handle;
  (void)MemoryProtocol::memory_close(handle);
  av_freep(&fc->pb->buffer);
  avio_context_free(&fc->pb);
}

}  // namespace

int mux_fixup_ts(TMux* mux, TMuxStream* ms, AVPacket* pkt) {
  TOutputStream* ost = &ms->ost;
  TBaseFFmpeg* task = mux->owner;
  const AVOutputFormat* ofmt = mux->fc->oformat;

  if (ost->type_ == AVMEDIA_TYPE_VIDEO && ms->ts_drop) pkt->pts = pkt->dts = AV_NOPTS_VALUE;

  // Copied audio is stamped from its sample count: an input time base coarser than the
  // sample rate would otherwise round every packet's timestamp differently.
  if (ost->type_ == AVMEDIA_TYPE_AUDIO && !ost->enc) {
    const AVCodecParameters* par = ost->st->codecpar;
    int duration = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), pkt->size);
    if (!duration) duration = par->frame_size;
    if (par->sample_rate > 0 && pkt->dts != AV_NOPTS_VALUE) {
      pkt->dts = av_rescale_delta(pkt->time_base, pkt->dts, AVRational{1, par->sample_rate},
                                  duration, &ms->ts_rescale_delta_last, ost->st->time_base);
      pkt->pts = pkt->dts;
      pkt->duration = av_rescale_q(pkt->duration, pkt->time_base, ost->st->time_base);
    } else {
      av_packet_rescale_ts(pkt, pkt->time_base, ost->st->time_base);
    }
  } else {
    av_packet_rescale_ts(pkt, pkt->time_base, ost->st->time_base);
  }
  pkt->time_base = ost->st->time_base;

  if (!(ofmt->flags & AVFMT_NOTIMESTAMPS)) {
    if (pkt->dts != AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE && pkt->dts > pkt->pts) {
      av_log(ost, AV_LOG_WARNING, "Invalid DTS: %" PRId64 " PTS: %" PRId64 ", replacing by guess\n",
             pkt->dts, pkt->pts);
      // the median of pts, dts and the last dts + 1
      const std::int64_t last_next =
          ms->last_mux_dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE + 1 : ms->last_mux_dts + 1;
      pkt->pts = pkt->dts = MyUtils::mid_pred(pkt->pts, pkt->dts, last_next);
    }
    if ((ost->type_ == AVMEDIA_TYPE_AUDIO || ost->type_ == AVMEDIA_TYPE_VIDEO ||
         ost->type_ == AVMEDIA_TYPE_SUBTITLE) &&
        pkt->dts != AV_NOPTS_VALUE && ms->last_mux_dts != AV_NOPTS_VALUE) {
      const std::int64_t max = ms->last_mux_dts + !(ofmt->flags & AVFMT_TS_NONSTRICT);
      if (pkt->dts < max) {
        int loglevel =
            max - pkt->dts > 2 || ost->type_ == AVMEDIA_TYPE_VIDEO ? AV_LOG_WARNING : AV_LOG_DEBUG;
        if (task->Fexit_on_error) loglevel = AV_LOG_ERROR;
        av_log(ost, loglevel, "Non-monotonic DTS; previous: %" PRId64 ", current: %" PRId64 "; ",
               ms->last_mux_dts, pkt->dts);
        if (task->Fexit_on_error) {
          av_log(ost, loglevel, "\n");
          return AVERROR(EINVAL);
        }
        av_log(ost, loglevel,
               "changing to %" PRId64 ". This may result in incorrect timestamps in the output "
               "file.\n",
               max);
        if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
        pkt->dts = max;
      }
    }
  }
  ms->last_mux_dts = pkt->dts;

  if (task->Fdebug_ts) mux_log_debug_ts(ost, pkt);
  return 0;
}

int muxer_thread(void* arg) {
  auto* mux = static_cast<TMux*>(arg);
  TOutputFile* of = &mux->of;
  TMuxThreadContext mt{};
  int ret = 0;

  mt.pkt = av_packet_alloc();
  mt.fix_sub_duration_pkt = av_packet_alloc();
  if (!mt.pkt || !mt.fix_sub_duration_pkt) {
    ret = AVERROR(ENOMEM);
    goto finish;
  }

  while (true) {
    int stream_eof = 0;
    ret = FFmpegSched::sch_mux_receive(mux->sch, mux->sch_idx, mt.pkt);
    const int stream_idx = mt.pkt->stream_index;
    if (stream_idx < 0) {
      CmdUtils::ff_log_async(mux, AV_LOG_VERBOSE, "All streams finished\n");
      ret = 0;
      break;
    }

    TOutputStream* ost = of->streams[mux->sch_stream_idx[stream_idx]];
    mt.pkt->stream_index = ost->index;
    // the trusted flag is for our own pipeline; nothing from outside may carry it
    mt.pkt->flags &= ~AV_PKT_FLAG_TRUSTED;

    ret = mux_packet_filter(mux, &mt, ost, ret < 0 ? nullptr : mt.pkt, &stream_eof);
    av_packet_unref(mt.pkt);
    if (ret == AVERROR_EOF) {
      if (stream_eof) {
        FFmpegSched::sch_mux_receive_finish(mux->sch, mux->sch_idx,
                                            static_cast<Cardinal>(stream_idx));
      } else {
        av_log(mux, AV_LOG_VERBOSE, "Muxer returned EOF\n");
        ret = 0;
        break;
      }
    } else if (ret < 0) {
      CmdUtils::ff_log_async(mux, AV_LOG_ERROR, "Error muxing a packet\n");
      break;
    }
  }

finish:
  av_packet_free(&mt.pkt);
  av_packet_free(&mt.fix_sub_duration_pkt);
  return ret;
}

int mux_check_init(void* arg) {
  auto* mux = static_cast<TMux*>(arg);
  TOutputFile* of = &mux->of;
  AVFormatContext* fc = mux->fc;

  StampWrite(mux);
  int ret = avformat_write_header(fc, &mux->opts);
  if (ret < 0) {
    av_log(mux, AV_LOG_ERROR, "Could not write header (incorrect codec parameters ?): %s\n",
           ErrText(ret).c_str());
    return ret;
  }
  mux->header_written = 1;
  av_dump_format(fc, of->index, fc->url, 1);
  mux->owner->Fnb_output_dumped.fetch_add(1);
  return 0;
}

int print_sdp(TBaseFFmpeg* task, const char* sdp_filename) {
  char sdp[16384];
  int j = 0;
  int ret;
  AVIOContext* sdp_pb = nullptr;
  auto** avc = static_cast<AVFormatContext**>(
      av_malloc_array(static_cast<std::size_t>(std::max(task->Fnb_output_files, 1)),
                      sizeof(AVFormatContext*)));
  if (!avc) return AVERROR(ENOMEM);

  for (int i = 0; i < task->Fnb_output_files; i++) {
    TMux* mux = mux_from_of(task->Foutput_files[i]);
    if (mux->fc && std::strcmp(mux->fc->oformat->name, "rtp") == 0) avc[j++] = mux->fc;
  }

  if (!j) {
    av_log(nullptr, AV_LOG_ERROR, "No output streams in the SDP.\n");
    ret = AVERROR(EINVAL);
    goto fail;
  }

  ret = av_sdp_create(avc, j, sdp, sizeof(sdp));
  if (ret < 0) goto fail;

  if (!sdp_filename) {
    av_log(nullptr, AV_LOG_INFO, "SDP:\n%s\n", sdp);
  } else {
    ret = avio_open2(&sdp_pb, sdp_filename, AVIO_FLAG_WRITE, &task->FWriteCallback, nullptr);
    if (ret < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Failed to open sdp file '%s'\n", sdp_filename);
      goto fail;
    }
    task->FLastWrite.store(av_gettime_relative());
    avio_write(sdp_pb, reinterpret_cast<const unsigned char*>(sdp),
               static_cast<int>(std::strlen(sdp)));
    avio_closep(&sdp_pb);
  }

fail:
  av_freep(&avc);
  return ret;
}

int of_write_trailer(TOutputFile* of) {
  TMux* mux = mux_from_of(of);
  AVFormatContext* fc = mux->fc;
  int ret, mux_result = 0;

  if (!mux->header_written) {
    av_log(mux, AV_LOG_ERROR,
           "Nothing was written into output file, because at least one of its streams received "
           "no packets.\n");
    return AVERROR(EINVAL);
  }

  StampWrite(mux);
  ret = av_write_trailer(fc);
  if (ret < 0) {
    av_log(mux, AV_LOG_ERROR, "Error writing trailer: %s\n", ErrText(ret).c_str());
    mux_result = ret;
  }

  FFmpegHeader::atomic_store(mux->last_filesize, filesize(fc->pb));

  if (!(fc->oformat->flags & AVFMT_NOFILE) && fc->pb) {
    if (of->memory_handle) {
      ReleaseMemoryOutput(mux);
    } else {
      ret = avio_closep(&fc->pb);
      if (ret < 0) {
        av_log(mux, AV_LOG_ERROR, "Error closing file: %s\n", ErrText(ret).c_str());
        if (mux_result >= 0 || mux_result == AVERROR_EOF) mux_result = ret;
      }
    }
  }

  mux_final_stats(mux);

  ret = check_written(of);
  if (mux_result < 0 && mux_result != AVERROR_EOF) return mux_result;
  if (ret < 0) return ret;
  return mux_result == AVERROR_EOF ? AVERROR_EOF : 0;
}

void ost_free(TOutputStream*& post) {
  if (!post) return;
  TOutputStream* ost = post;
  TMuxStream* ms = ms_from_ost(ost);

  // The encoder owns its codec context: enc_free releases both.
  FFmpegEnc::enc_free(ost->enc);
  FFmpegFilter::fg_free(ost->fg_simple);

  if (ost->logfile2pass) {
    if (std::fclose(static_cast<FILE*>(ost->logfile2pass)))
      av_log(ms, AV_LOG_ERROR, "Error closing logfile, loss of information possible\n");
    ost->logfile2pass = nullptr;
  }

  avcodec_parameters_free(&ms->par_in);
  av_bsf_free(&ms->bsf_ctx);
  av_packet_free(&ms->bsf_pkt);
  av_packet_free(&ms->pkt);

  av_freep(&ost->kf.pts);
  av_expr_free(ost->kf.pexpr);
  ost->kf.pexpr = nullptr;
  av_freep(&ost->logfile_prefix);
  av_freep(&ost->attachment_filename);

  enc_stats_uninit(&ost->enc_stats_pre);
  enc_stats_uninit(&ost->enc_stats_post);
  enc_stats_uninit(&ms->stats);

  av_freep(&post);
}

void of_free(TOutputFile*& pof) {
  if (!pof) return;
  TOutputFile* of = pof;
  TMux* mux = mux_from_of(of);

  SyncQueue::sq_free(mux->sq_mux);

  for (int i = 0; i < of->nb_streams; i++) {
    try {
      ost_free(of->streams[i]);
    } catch (const std::exception& E) {
      FFLoad::VEDovedo->Log(nullptr, FFLoad::llError, "ost_free() exception: %s", E.what());
      break;
    }
  }
  av_freep(&of->streams);
  of->nb_streams = 0;
  av_freep(&mux->sch_stream_idx);
  av_freep(&of->url);
  av_dict_free(&mux->opts);
  av_dict_free(&mux->enc_opts_used);
  av_packet_free(&mux->sq_pkt);

  // Close the output; a file output left empty (nothing was ever written into it) is
  // removed, whether the trailer closed it already or not.
  AVFormatContext* fc = mux->fc;
  if (fc) {
    if (!(fc->oformat->flags & AVFMT_NOFILE)) {
      if (of->memory_handle) {
        ReleaseMemoryOutput(mux);
      } else {
        // Only a file this task opened (still open, or closed by the trailer): an
        // existing file that the overwrite check refused to touch stays.
        const bool opened = fc->pb != nullptr || mux->header_written;
        if (fc->pb) (void)avio_closep(&fc->pb);
        // the context's own copy of the name: the command line may be gone by now
        if (opened) DeleteEmptyOutput(fc->url);
      }
    }
    avformat_free_context(fc);
    mux->fc = nullptr;
  }

  av_freep(&pof);
}

std::int64_t of_filesize(TOutputFile* of) {
  return FFmpegHeader::atomic_load(mux_from_of(of)->last_filesize);
}

}  // namespace FFmpegMux
