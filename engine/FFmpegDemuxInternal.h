// A demuxer's own records (the private parts behind an input file and its streams) and
// the steps of its thread. Only the demuxer (FFmpegDemux.cpp) and its tests include this
// header; every other unit goes through FFmpegDemux.h.
#pragma once
#include "engine/FFmpegDemux.h"

namespace FFmpegDemux {

// The decoding bit of a stream bound to a complex filter graph's input (beside
// DECODING_FOR_OST).
constexpr int DECODING_FOR_FILTER = 2;

// One input stream. Allocated zero-filled by ist_add, freed by ifile_close.
struct TDemuxStream {
  // The head that other units see; ist.class_ is the log class "InputStream", whose
  // parent log context is the file.
  FFmpegHeader::TInputStream ist;

  // Set while the command line is parsed (one thread), read-only once the task runs.
  char log_name[64];             // "%cist#%d:%d/%s": type letter, file, stream, codec
  std::int32_t sch_idx_stream;   // scheduler stream of the demuxer; -1 until used
  std::int32_t sch_idx_dec;      // scheduler decoder; -1 until a decoder exists
  std::int32_t discard;          // 1 while no consumer uses the stream
  std::int32_t decoding_needed;  // DECODING_FOR_OST | DECODING_FOR_FILTER
  std::int32_t streamcopy_needed;
  std::int32_t have_sub2video;   // feeds subtitles to video: gets heartbeats
  std::int32_t reinit_filters;   // -reinit_filter; -1 when not given
  std::int32_t drop_changed;
  std::int32_t autorotate;
  std::int32_t apply_cropping;   // FFmpegHeader::TCroppingType
  std::int32_t canvas_width;     // -canvas_size of subtitles; 0 when not given
  std::int32_t canvas_height;
  double ts_scale;               // -itsscale, 1.0 by default
  char dec_name[16];             // "%d:%d": the decoder's log name
  AVDictionary* decoder_opts;
  const AVCodecDescriptor* codec_desc;
  FFmpegHeader::TDecoderOpts dec_opts;
  AVFrame* decoded_params;       // frame properties reported by the opened decoder
  AVBSFContext* bsf;             // -bsf chain, or nullptr

  // Owned by the demuxer thread while it runs; read by the final statistics after it.
  std::int32_t finished;         // every consumer is done
  std::int32_t wrap_correction_done;
  std::int32_t saw_first_ts;
  std::int64_t first_dts;        // microseconds
  std::int64_t dts;              // microseconds: estimate of the current packet
  std::int64_t next_dts;         // microseconds: prediction for the next packet
  std::uint64_t data_size;
  std::uint64_t nb_packets;
  std::int64_t lag;              // read-rate lag, resume point (wall clock, stream time)
  std::int64_t resume_wc;
  std::int64_t resume_pts;
  std::int64_t resume_pause;     // the task's paused time at the resume point
};
using PDemuxStream = TDemuxStream*;

// One input file. Allocated zero-filled by ifile_open, freed by ifile_close.
struct TDemux {
  // The head that other units see; f.class_ is the log class "InputFile".
  FFmpegHeader::TInputFile f;

  // Immutable after open.
  char log_name[64];             // "in#%d/%s": file index and the URL's tail
  TBaseFFmpeg* Owner;
  FFmpegSched::TScheduler* sch;
  std::int32_t sch_idx;          // the demuxer's scheduler node
  std::int64_t recording_time;   // microseconds; INT64_MAX: none
  float readrate;                // 0: unpaced unless rate_emu
  double readrate_initial_burst; // seconds
  float readrate_catchup;
  std::int32_t rate_emu;
  std::int32_t accurate_seek;
  std::int32_t bitexact;
  std::int32_t nb_streams_used;  // counted while consumers are bound
  AVIOContext* pb;               // I/O over a host stream, or nullptr
  AVDictionary* opts_used;       // decoder options some stream took (for the check)

  // Owned by the demuxer thread while it runs.
  std::int64_t ts_offset_discont;  // microseconds: accumulated discontinuity correction
  std::int64_t last_ts;            // microseconds: last dts seen in the file
  std::int64_t wallclock_start;    // av_gettime_relative() when reading began
  FFmpegHeader::TTimestamp duration;  // accumulated length of the passes read so far
  FFmpegHeader::TTimestamp min_pts;
  FFmpegHeader::TTimestamp max_pts;
  std::int32_t have_audio_dec;
  std::int32_t loop;               // passes left; -1: forever
  std::int32_t nb_streams_finished;
  std::int32_t nb_streams_warn;    // new-stream report: highest reported index + 1
  std::int32_t read_started;
  AVPacket* pkt_heartbeat;         // subtitle heartbeats, or nullptr
};
using PDemux = TDemux*;

// The records behind the heads the other units hold.
inline TDemux* demux_from_ifile(PInputFile f) { return reinterpret_cast<TDemux*>(f); }
inline TDemuxStream* ds_from_ist(PInputStream ist) { return reinterpret_cast<TDemuxStream*>(ist); }

// Creates the input stream of container stream st and appends it to the file; the new
// record in ist_out. 0 or a negative error (logged).
[[nodiscard]] int ist_add(const TOptionsContext* o, TDemux* d, AVStream* st, PInputStream& ist_out);

// The decoder for stream st of s: by name from the "c"/"codec" options, else for video
// with a requested hardware method the first decoder of the codec that supports it,
// else the default decoder (nullptr when none). 0 or a negative error (an unknown
// name).
[[nodiscard]] int choose_decoder(const TOptionsContext* o, AVFormatContext* s, AVStream* st,
                                 const AVCodec*& codec,
                                 FFmpegHeader::THWAccelID hwaccel_id = FFmpegHeader::HWACCEL_NONE,
                                 AVHWDeviceType hwaccel_device_type = AV_HWDEVICE_TYPE_NONE);

// The demuxer thread's body (arg: the TDemux): 0 at the end of the input or when every
// consumer is done, else a negative error.
int input_thread(void* arg);

}  // namespace FFmpegDemux
