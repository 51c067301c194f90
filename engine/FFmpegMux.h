// The muxer of a conversion task: the records of one output file (TMux) and of one of its
// output streams (TMuxStream), and the routines that write an output: the muxer thread
// that receives the file's packets from the scheduler, applies stream-copy timing,
// bitstream filters and the packet sync queue, fixes timestamps and hands the packets to
// the interleaving writer; the header (once every stream is ready), the SDP of RTP
// outputs, the trailer with the final statistics, and the freeing of the records.
//
// TMux begins with TOutputFile and TMuxStream with TOutputStream, so a pointer to the
// shared record is a pointer to the muxer's record: the rest of the engine passes the
// shared records around and the muxer (and the output set-up) reaches its own fields
// with a cast (ms_from_ost).
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/FFmpegSched.h"
#include "platform/Types.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/FFmpegHeader.h"
#include "runtime/SyncQueue.h"

extern "C" {
struct AVBSFContext;
}

namespace FFmpegMux {

using Platform::Cardinal;

// The muxer's record of one output stream. Set up by the output set-up (ost_add) on the
// option-parsing thread; from the start of the scheduler on, the packet path fields
// belong to the file's muxer thread.
struct TMuxStream {
  FFmpegHeader::TOutputStream ost;  // must stay first

  // Immutable after the output set-up.
  char name[32];            // "%cost#%d:%d" then "/<encoder>" or "/copy": the log prefix
  AVBSFContext* bsf_ctx;    // -bsf chain, or nullptr
  AVPacket* pkt;            // scratch packet of the stream
  FFmpegHeader::TEncStats stats;  // -mux_stats writer
  AVCodecParameters* par_in;      // parameters as they enter the muxer (before -bsf)
  std::int32_t sch_idx;     // scheduler mux-stream index; -1 for attachments
  std::int32_t sch_idx_enc; // scheduler encoder index; -1 for stream copy
  std::int32_t sch_idx_src; // scheduler index of the feeding node (input streams only)
  std::int32_t sq_idx_mux;  // stream in the file's packet sync queue; -1 without
  std::int64_t max_frames;  // -frames; INT64_MAX: none
  std::int64_t ts_copy_start;  // stream copy: microseconds before which packets are dropped
  std::int64_t stream_duration;       // the input stream's duration, when positive
  AVRational stream_duration_tb;      // and its time base
  std::int32_t copy_initial_nonkeyframes;  // -copyinkf
  std::int32_t copy_prior_start;           // -copypriorss; -1: not given
  std::int32_t ts_drop;                    // frame-rate mode "drop"
  AVRational frame_rate;                   // -r
  AVRational max_frame_rate;               // -fpsmax
  std::int32_t force_fps;                  // -force_fps
  char* apad;                              // -apad, cleared once handed to the filter

  // Owned by the muxer thread.
  std::int64_t last_mux_dts;           // AV_NOPTS_VALUE until the first packet
  std::int64_t data_size_mux;          // payload bytes written
  std::int64_t ts_rescale_delta_last;  // state of the audio stream-copy rescaling
  std::int32_t streamcopy_started;     // the first copied packet was accepted
  AVPacket* bsf_pkt;                   // output packet of bsf_ctx (allocated by bsf_init)
};

// The muxer's record of one output file, one element of the task's output list.
struct TMux {
  FFmpegHeader::TOutputFile of;  // must stay first

  // Immutable after the output set-up (of_open).
  char log_name[32];             // "out#%d/<muxer>": the log prefix of the file
  AVFormatContext* fc;           // owned; freed by of_free
  FFmpegSched::TScheduler* sch;  // the task's scheduler, not owned
  Cardinal sch_idx;              // this muxer's node in the scheduler
  std::int32_t* sch_stream_idx;  // output-stream index per scheduler stream index
  std::int32_t nb_sch_stream_idx;
  AVDictionary* opts;            // muxer and I/O options (the group's format options)
  AVDictionary* enc_opts_used;   // encoder options that some encoder took; set-up only
  std::int64_t limit_filesize;   // -fs, bytes
  SyncQueue::TSyncQueue* sq_mux; // packet sync queue, or nullptr (owned by the muxer thread)
  AVPacket* sq_pkt;              // scratch packet of sq_mux
  FFmpegHeader::TBaseFFmpeg* owner;  // the task (a TCustomFFmpeg) that owns this output

  // Written by the muxer's threads.
  std::int32_t header_written;   // 1 once the header is written
  std::atomic<std::int64_t> last_filesize;  // the muxer thread writes, the progress report reads
};

// ---- Record access ------------------------------------------------------------------------

// The muxer record of a shared output-file or output-stream record (the same address).
inline TMux* mux_from_of(FFmpegHeader::TOutputFile* of) { return reinterpret_cast<TMux*>(of); }
TMuxStream* ms_from_ost(FFmpegHeader::TOutputStream* ost);
// The task that owns the stream's output file.
FFmpegHeader::TBaseFFmpeg* ost_task(FFmpegHeader::TOutputStream* ost);

// ---- The muxer ----------------------------------------------------------------------------

// Body of the file's muxer thread (registered with sch_add_mux; arg is the TMux): 0 when
// every stream has ended, else a negative error code.
int muxer_thread(void* arg);
// The muxer's initialisation (registered with sch_add_mux; arg is the TMux), run by the
// scheduler once every stream of the file is ready: writes the header; 0 or an error.
int mux_check_init(void* arg);

// Completes an output stream's parameters: from the encoder context once the encoder has
// opened, or (enc_ctx nullptr) for a copied stream or an attachment at the end of the
// output set-up; runs the bitstream filter chain's initialisation and reports the stream
// ready to the scheduler. 0 or a negative error code.
[[nodiscard]] int of_stream_init(FFmpegHeader::TOutputFile* of, FFmpegHeader::TOutputStream* ost,
                                 const AVCodecContext* enc_ctx);

// Writes the SDP of the task's RTP outputs into sdp_filename, or logs it when that is
// nullptr (the scheduler's SDP writer). 0, AVERROR(EINVAL) without RTP outputs, or an error.
int print_sdp(FFmpegHeader::TBaseFFmpeg* task, const char* sdp_filename);
// Writes the trailer, closes the byte sink and prints the final statistics. 0, AVERROR_EOF
// when the trailer reported end of file, or a negative error code.
[[nodiscard]] int of_write_trailer(FFmpegHeader::TOutputFile* of);
// Frees an output file with its streams, closes its byte sink (deleting an empty file
// output) and sets pof to nullptr; nullptr is accepted.
void of_free(FFmpegHeader::TOutputFile*& pof);
// The output's size in bytes as last measured by the muxer thread (atomic read).
std::int64_t of_filesize(FFmpegHeader::TOutputFile* of);

// Closes and frees the task's shared statistics files (Fenc_stats_files); run by the
// task's clean-up after every output stream is freed.
void of_enc_stats_close(FFmpegHeader::TBaseFFmpeg* task);

}  // namespace FFmpegMux
