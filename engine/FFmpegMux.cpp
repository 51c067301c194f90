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

#include <cerrno>
#include <climits>

#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFUtils.h"

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
  }
  av_freep(&task->Fenc_stats_files);
  task->Fnb_enc_stats_files = 0;
}

// ---- The muxer (bodies follow with the muxer thread) --------------------------------------

int muxer_thread(void* arg) {
  (void)arg;
  return AVERROR(ENOSYS);
}

int mux_check_init(void* arg) {
  (void)arg;
  return AVERROR(ENOSYS);
}

int print_sdp(TBaseFFmpeg* task, const char* sdp_filename) {
  (void)task;
  (void)sdp_filename;
  return AVERROR(ENOSYS);
}

int of_write_trailer(TOutputFile* of) {
  (void)of;
  return AVERROR(ENOSYS);
}

void ost_free(TOutputStream*& post) { post = nullptr; }

void of_free(TOutputFile*& pof) { pof = nullptr; }

std::int64_t of_filesize(TOutputFile* of) {
  return FFmpegHeader::atomic_load(mux_from_of(of)->last_filesize);
}

}  // namespace FFmpegMux
