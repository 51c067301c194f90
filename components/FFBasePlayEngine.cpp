// The player's engine: opening a stream (read thread), feeding the packet queues, the
// decoder threads with their filter graphs, seeking and pausing, and the play loop.
//
// The stream state is shared by the read thread, the decoder threads, SDL's audio thread
// and the play thread; the queues and clocks lock themselves, the seek request has its
// own lock, and the stream lock serialises the play loop against a closing Stop. A stream
// is torn down by protocol: abort the queues, join the read thread, then each decoder
// thread (decoder_abort), close the audio device, and only then free.
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "components/FFBasePlay.h"
#include "components/FFBasePlayAudio.h"
#include "components/FFBasePlayClock.h"
#include "platform/Format.h"
#include "platform/RaceAnnotations.h"
#include "platform/Threads.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFUtils.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/MyUtils.h"
#include "runtime/SDL2Stubs.h"

namespace FFBasePlay {

// The entry points this file calls, bound at run time.
using SDL2Stubs::SDL_CloseAudioDevice;
using SDL2Stubs::SDL_CondSignal;
using SDL2Stubs::SDL_CondWaitTimeout;
using SDL2Stubs::SDL_CreateCond;
using SDL2Stubs::SDL_CreateMutex;
using SDL2Stubs::SDL_CreateThread;
using SDL2Stubs::SDL_DestroyCond;
using SDL2Stubs::SDL_DestroyMutex;
using SDL2Stubs::SDL_GetError;
using SDL2Stubs::SDL_GetHint;
using SDL2Stubs::SDL_LockMutex;
using SDL2Stubs::SDL_PauseAudioDevice;
using SDL2Stubs::SDL_UnlockMutex;
using SDL2Stubs::SDL_WaitThread;
using AVFilterStubs::av_buffersink_get_ch_layout;
using AVFilterStubs::av_buffersink_get_frame_flags;
using AVFilterStubs::av_buffersink_get_frame_rate;
using AVFilterStubs::av_buffersink_get_sample_rate;
using AVFilterStubs::av_buffersink_get_time_base;
using AVFilterStubs::av_buffersrc_add_frame;
using AVFilterStubs::av_buffersrc_parameters_alloc;
using AVFilterStubs::av_buffersrc_parameters_set;
using AVUtilStubs::av_channel_layout_compare;
using AVUtilStubs::av_channel_layout_copy;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_channel_layout_uninit;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_iterate;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_dict_set_int;
using AVFormatStubs::av_dump_format;
using AVFormatStubs::av_find_best_stream;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_get_side_data;
using AVUtilStubs::av_frame_move_ref;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_gettime_relative;
using AVFormatStubs::av_guess_frame_rate;
using AVFormatStubs::av_guess_sample_aspect_ratio;
using AVUtilStubs::av_log;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_opt_free;
using AVUtilStubs::av_opt_set;
using AVUtilStubs::av_opt_set_array;
using AVUtilStubs::av_opt_set_defaults;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_ref;
using AVCodecStubs::av_packet_side_data_get;
using AVCodecStubs::av_packet_unref;
using AVFormatStubs::av_read_frame;
using AVFormatStubs::av_read_pause;
using AVFormatStubs::av_read_play;
using AVUtilStubs::av_strdup;
using AVUtilStubs::av_usleep;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_find_decoder_by_name;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_get_name;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_to_context;
using AVFilterStubs::avfilter_get_by_name;
using AVFilterStubs::avfilter_graph_alloc;
using AVFilterStubs::avfilter_graph_alloc_filter;
using AVFilterStubs::avfilter_graph_config;
using AVFilterStubs::avfilter_graph_create_filter;
using AVFilterStubs::avfilter_graph_free;
using AVFilterStubs::avfilter_graph_parse_ptr;
using AVFilterStubs::avfilter_init_dict;
using AVFilterStubs::avfilter_inout_alloc;
using AVFilterStubs::avfilter_inout_free;
using AVFilterStubs::avfilter_link;
using AVFormatStubs::avformat_alloc_context;
using AVFormatStubs::avformat_close_input;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_open_input;
using AVFormatStubs::avformat_seek_file;
using AVFormatStubs::avio_context_free;
using AVFormatStubs::avio_feof;

using FFLoad::llError;
using FFLoad::llFatal;
using FFLoad::llInfo;
using FFLoad::llWarning;
using MyUtils::GAppTerminated;
using Platform::Format;

namespace {

constexpr int MAX_QUEUE_SIZE = 15 * 1024 * 1024;
constexpr int MIN_FRAMES = 25;

double NowSeconds() { return av_gettime_relative() / 1000000.0; }

TFFBasePlayer* PlayerOf(TVideoState* is) { return static_cast<TFFBasePlayer*>(is->owner); }

bool stream_has_enough_packets(AVStream* st, int stream_id, TPacketQueue* queue) {
  return stream_id < 0 || queue->abort_request ||
         (st->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
         (queue->nb_packets > MIN_FRAMES &&
          (!queue->duration || av_q2d(st->time_base) * queue->duration > 1.0));
}

bool is_realtime(AVFormatContext* s) {
  if (!std::strcmp(s->iformat->name, "rtp") || !std::strcmp(s->iformat->name, "rtsp") ||
      !std::strcmp(s->iformat->name, "sdp"))
    return true;
  if (s->pb && s->url && (!std::strncmp(s->url, "rtp:", 4) || !std::strncmp(s->url, "udp:", 4)))
    return true;
  return false;
}

// "key=value:" pairs of a dictionary, the last colon removed; ARename renames a key.
std::string DictArgs(const AVDictionary* ADict, const char* AFrom = nullptr, const char* ATo = nullptr) {
  std::string s;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_iterate(ADict, e))) {
    const char* key = (AFrom && !std::strcmp(e->key, AFrom)) ? ATo : e->key;
    s += Format("%s=%s:", key, e->value);
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// Links source to sink through AFilters (or directly), and configures the graph.
int configure_filtergraph(AVFilterGraph* graph, const char* filtergraph,
                          AVFilterContext* source_ctx, AVFilterContext* sink_ctx) {
  const unsigned nb_filters = graph->nb_filters;
  AVFilterInOut* outputs = nullptr;
  AVFilterInOut* inputs = nullptr;
  int ret;
  if (filtergraph && *filtergraph) {
    outputs = avfilter_inout_alloc();
    inputs = avfilter_inout_alloc();
    if (!outputs || !inputs) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source_ctx;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_ctx;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    if ((ret = avfilter_graph_parse_ptr(graph, filtergraph, &inputs, &outputs, nullptr)) < 0)
      goto fail;
  } else {
    if ((ret = avfilter_link(source_ctx, 0, sink_ctx, 0)) < 0) goto fail;
  }
  // The filters of the parsed text go first: the graph then runs them in that order.
  for (unsigned i = 0; i < graph->nb_filters - nb_filters; i++)
    std::swap(graph->filters[i], graph->filters[i + nb_filters]);
  ret = avfilter_graph_config(graph, nullptr);
fail:
  avfilter_inout_free(&outputs);
  avfilter_inout_free(&inputs);
  return ret;
}

// The byte position a packet handed to its frames (see decoder_decode_frame).
std::int64_t FramePos(const AVFrame* frame) {
  if (!frame->opaque_ref || frame->opaque_ref->size < static_cast<int>(sizeof(std::int64_t)))
    return -1;
  std::int64_t pos;
  std::memcpy(&pos, frame->opaque_ref->data, sizeof(pos));
  // The last reference may be dropped on another thread (a codec's own, for one).
  Platform::HandedOver(frame->opaque_ref->data);
  return pos;
}

}  // namespace

// ---- Interrupt callback ------------------------------------------------------------------

// The opaque value is the stream state whose input calls: its abort request (a cancelled
// open, or a stream being closed, which the player no longer names as open or opening by
// then) interrupts any I/O of that input.
int TFFBasePlayer::decode_interrupt_cb(void* ctx) {
  auto* is = static_cast<TVideoState*>(ctx);
  TFFBasePlayer* self = PlayerOf(is);
  if (GAppTerminated) return 1;
  if (is->abort_request) {
    if (is->open_result != 1) self->Log(llInfo, "connecting/reading broken");
    return 1;
  }
  const std::int64_t last = self->IOActivityTime;
  if (last == INT64_MAX || self->ReadTimeout <= 0) return 0;
  if (av_gettime_relative() - last > static_cast<std::int64_t>(self->ReadTimeout) * 1000) {
    self->Log(llInfo, last == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
    return 1;
  }
  return 0;
}

// ---- Opening -----------------------------------------------------------------------------

bool TFFBasePlayer::stream_open(const std::string& AFileName, const AVInputFormat* AInputFormat,
                                bool AWaitOpen, bool AStartPaused) {
  TVideoState* is = new (std::nothrow) TVideoState();
  if (!is) {
    ReportError("av_mallocz() failed.", true);
    return false;
  }
  is->owner = this;
  {
    std::lock_guard<std::mutex> o(FOpenLock);
    FOpeningStream = is;
    FOpenCommitted = false;
  }
  if (AStartPaused) {
    is->paused = 1;
    is->step = 1;
    is->first_frame_while_paused = 1;
  }
  is->filename = AFileName;
  is->iformat = AInputFormat;
  is->custom_format = FCustomFormat;
  is->wait_open = AWaitOpen;
  is->memory_stream = reinterpret_cast<void*>(static_cast<std::intptr_t>(memory_stream));
  is->av_sync_type = av_sync_type;
  is->pitch = pitch;
  is->show_mode = ShowMode.load();
  is->filter_nbthreads = filter_nbthreads;

  auto fail = [&] {
    {
      std::lock_guard<std::mutex> o(FOpenLock);
      FOpeningStream = nullptr;
    }
    FreeStream(is);
    return false;
  };
  if (frame_queue_init(&is->pictq, &is->videoq, VIDEO_PICTURE_QUEUE_SIZE, 1, this) < 0 ||
      frame_queue_init(&is->subpq, &is->subtitleq, SUBPICTURE_QUEUE_SIZE, 0, this) < 0 ||
      frame_queue_init(&is->sampq, &is->audioq, SAMPLE_QUEUE_SIZE, 1, this) < 0 ||
      packet_queue_init(&is->videoq, this) < 0 || packet_queue_init(&is->audioq, this) < 0 ||
      packet_queue_init(&is->subtitleq, this) < 0)
    return fail();
  is->continue_read_thread = SDL2Stubs::SDL_CreateCond();
  if (!is->continue_read_thread) {
    Log(llFatal, Format("SDL_CreateCond(): %s", SDL2Stubs::SDL_GetError()));
    return fail();
  }
  init_clock(&is->vidclk, &is->videoq.serial);
  init_clock(&is->audclk, &is->audioq.serial);
  init_clock(&is->extclk, nullptr);
  set_clock_speed(&is->vidclk, speed);
  set_clock_speed(&is->audclk, speed);
  set_clock_speed(&is->extclk, speed);
  if (AStartPaused) {
    set_clock_paused(&is->vidclk, 1);
    set_clock_paused(&is->audclk, 1);
    set_clock_paused(&is->extclk, 1);
  }
  is->audio_clock_serial = -1;

  if (OpenInCaller) {
    const int ret = read_thread_open(is);
    if (ret < 0) {
      if (is->open_result != 1) is->open_result = -1;
      return fail();
    }
  }
  bool started;
  {
    // The read thread waits for its handle to be stored: a failing open hands the stream
    // to the fail thread, which joins the read thread through it and frees the stream
    // (so, without AWaitOpen, nothing here touches the stream afterwards).
    std::lock_guard<std::mutex> g(is->read_tid_lock);
    is->read_tid = SDL2Stubs::SDL_CreateThread(read_thread, "read_thread", is);
    started = is->read_tid != nullptr;
  }
  if (!started) {
    Log(llFatal, Format("SDL_CreateThread(): %s", SDL2Stubs::SDL_GetError()));
    return fail();
  }
  if (!AWaitOpen) return true;

  // The caller waits for the read thread's verdict; a failure is final once the read
  // thread has handed it on (-2). A handler run meanwhile that frees the player releases
  // the stream too (ShutDown): nothing is touched then.
  const MyUtils::THandlerScope waiting(this, CWaitedOpen);
  if (!ServeUntil([is] { return is->open_result != 0; })) return false;
  if (is->open_result < 1) {
    if (!ServeUntil([is] { return is->open_result != -1; })) return false;
    return fail();
  }
  if (!HandOverStream(is, false)) return fail();
  return true;
}

int TFFBasePlayer::read_thread_open(TVideoState* is) {
  AVFormatContext* ic = avformat_alloc_context();
  if (!ic) {
    Log(llFatal, "Could not allocate context.");
    return AVERROR(ENOMEM);
  }
  if (is->custom_format) {
    av_opt_free(ic);
    ic->av_class = FFUtils::GetCustomFormatContextClass();
    av_opt_set_defaults(ic);
  }
  ic->interrupt_callback.callback = decode_interrupt_cb;
  ic->interrupt_callback.opaque = is;
  AVDictionary** format_opts = &FOptions.def_opts.format_opts;
  bool scan_all_pmts_set = false;
  if (!av_dict_get(*format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE)) {
    av_dict_set(format_opts, "scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
    scan_all_pmts_set = true;
  }
  AVIOContext* pb = nullptr;
  if (is->memory_stream) {
    const int ret = MemoryProtocol::memory_open(is->memory_stream, is->filename.c_str(), 0, &pb);
    if (ret < 0) {
      ReportError(CmdUtils::print_error(is->filename, ret), true);
      avformat_free_context(ic);
      return -1;
    }
    ic->pb = pb;
    ic->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  IOActivityTime = av_gettime_relative();
  int err = avformat_open_input(&ic, is->filename.c_str(), is->iformat, format_opts);
  if (scan_all_pmts_set) av_dict_set(format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE);
  if (err < 0) {
    ReportError(CmdUtils::print_error(is->filename, err), true);
    if (pb) {
      av_freep(static_cast<void*>(&pb->buffer));
      avio_context_free(&pb);
      MemoryProtocol::memory_close(is->memory_stream);
    }
    return -1;
  }
  is->ic = ic;
  if (is->abort_request) {
    ReportError(COpenCancelled, true);
    return -1;
  }
  (void)CmdUtils::check_avoptions(*format_opts);
  FOpeningContext = ic;
  if (genpts) ic->flags |= AVFMT_FLAG_GENPTS;

  if (find_stream_info) {
    IOActivityTime = av_gettime_relative();
    AVDictionary** opts = nullptr;
    const unsigned orig_nb_streams = ic->nb_streams;
    if (CmdUtils::setup_find_stream_info_opts(ic, FOptions.def_opts.codec_opts, opts) < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Error setting up avformat_find_stream_info() options\n");
      return -1;
    }
    if (OnBeforeFindStreamInfo.Assigned()) SyncCall(&TFFBasePlayer::RaiseBeforeFindStreamInfoOf);
    IOActivityTime = av_gettime_relative();
    err = avformat_find_stream_info(ic, opts);
    for (unsigned i = 0; i < orig_nb_streams; i++) av_dict_free(&opts[i]);
    av_freep(static_cast<void*>(&opts));
    if (err < 0) {
      ReportError(Format("%s: could not find codec parameters", is->filename.c_str()), true);
      return -1;
    }
  }
  if (ic->pb) {
    ic->pb->eof_reached = 0;
    ic->pb->error = 0;
  }
  if (seek_by_bytes < 0)
    seek_by_bytes = (ic->iformat->flags & AVFMT_NO_BYTE_SEEK) ? 0
                    : ((ic->iformat->flags & AVFMT_TS_DISCONT) && std::strcmp("ogg", ic->iformat->name)) ? 1
                                                                                                          : 0;
  is->max_frame_duration = max_frame_duration > 0 ? max_frame_duration
                           : (ic->iformat->flags & AVFMT_TS_DISCONT) ? 10.0
                                                                     : 3600.0;
  is->is_image2 = !std::strcmp(ic->iformat->name, "image2");
  is->is_live = !std::strcmp(ic->iformat->name, "vfwcap") ||
                !std::strcmp(ic->iformat->name, "vfwcapture") ||
                !std::strcmp(ic->iformat->name, "dshow");
  is->start_time = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  is->duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  const int range_end = RangeEndAction;
  if (start_time != AV_NOPTS_VALUE && is->duration > 0 && start_time >= is->duration &&
      (range_end == reSeekBack || range_end == rePauseSeekBack)) {
    // The range's end is met as soon as it is played, and seeking back to its start
    // meets it again, for ever.
    ReportError(Format("Invalid playing range: the start (-ss) of %g s is not before the end of "
                       "the input (%g s).",
                       static_cast<double>(start_time) / AV_TIME_BASE,
                       static_cast<double>(is->duration) / AV_TIME_BASE),
                true);
    return -1;
  }

  if (start_time != AV_NOPTS_VALUE) {
    std::int64_t timestamp = start_time;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    IOActivityTime = av_gettime_relative();
    if (avformat_seek_file(ic, -1, INT64_MIN, timestamp, INT64_MAX, 0) < 0)
      Log(llWarning, Format("%s: could not seek to position %0.3f", is->filename.c_str(),
                            static_cast<double>(timestamp) / AV_TIME_BASE));
  }
  is->realtime = is_realtime(ic);
  av_dump_format(ic, 0, is->filename.c_str(), 0);

  int st_index[AVMEDIA_TYPE_NB];
  std::memset(st_index, -1, sizeof(st_index));
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    AVStream* st = ic->streams[i];
    const AVMediaType type = st->codecpar->codec_type;
    st->discard = AVDISCARD_ALL;
    if (type >= 0 && wanted_stream_spec[type] && st_index[type] == -1)
      if (CmdUtils::check_stream_specifier(ic, st, wanted_stream_spec[type]) > 0) st_index[type] = static_cast<int>(i);
  }
  for (int i = 0; i < AVMEDIA_TYPE_NB; i++) {
    if (wanted_stream_spec[i] && st_index[i] == -1) {
      Log(llError, Format("Stream specifier %s does not match any %s stream", wanted_stream_spec[i],
                          av_get_media_type_string(static_cast<AVMediaType>(i))));
      st_index[i] = INT_MAX;
    }
  }
  const bool no_video = video_disable || display_disable;
  if (!no_video)
    st_index[AVMEDIA_TYPE_VIDEO] =
        av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, st_index[AVMEDIA_TYPE_VIDEO], -1, nullptr, 0);
  if (!audio_disable)
    st_index[AVMEDIA_TYPE_AUDIO] = av_find_best_stream(
        ic, AVMEDIA_TYPE_AUDIO, st_index[AVMEDIA_TYPE_AUDIO], st_index[AVMEDIA_TYPE_VIDEO], nullptr, 0);
  if (!no_video && !subtitle_disable)
    st_index[AVMEDIA_TYPE_SUBTITLE] = av_find_best_stream(
        ic, AVMEDIA_TYPE_SUBTITLE, st_index[AVMEDIA_TYPE_SUBTITLE],
        st_index[AVMEDIA_TYPE_AUDIO] >= 0 ? st_index[AVMEDIA_TYPE_AUDIO] : st_index[AVMEDIA_TYPE_VIDEO],
        nullptr, 0);

  if (st_index[AVMEDIA_TYPE_VIDEO] >= 0) {
    AVStream* st = ic->streams[st_index[AVMEDIA_TYPE_VIDEO]];
    const AVCodecParameters* par = st->codecpar;
    const AVRational sar = av_guess_sample_aspect_ratio(ic, st, nullptr);
    if (par->width) set_default_window_size(par->width, par->height, sar);
  }

  if (st_index[AVMEDIA_TYPE_AUDIO] >= 0 && st_index[AVMEDIA_TYPE_AUDIO] != INT_MAX)
    stream_component_open(is, st_index[AVMEDIA_TYPE_AUDIO]);
  int ret = -1;
  if (st_index[AVMEDIA_TYPE_VIDEO] >= 0 && st_index[AVMEDIA_TYPE_VIDEO] != INT_MAX)
    ret = stream_component_open(is, st_index[AVMEDIA_TYPE_VIDEO]);
  if (is->show_mode == SHOW_MODE_NONE) {
    if (no_video)
      is->show_mode = is->audio_stream < 0 ? SHOW_MODE_NB : SHOW_MODE_WAVES;
    else
      is->show_mode = ret >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
  }
  if (st_index[AVMEDIA_TYPE_SUBTITLE] >= 0 && st_index[AVMEDIA_TYPE_SUBTITLE] != INT_MAX)
    stream_component_open(is, st_index[AVMEDIA_TYPE_SUBTITLE]);

  if (is->video_stream < 0 && is->audio_stream < 0) {
    std::string text;
    if (audio_disable && no_video)
      text = "There is not any stream to play while audio and video/display disabled at the same time.";
    else if (audio_disable)
      text = "There is no video stream to play while audio disabled.";
    else if (display_disable)
      text = "There is no audio stream to play while display disabled.";
    else if (video_disable)
      text = "There is no audio stream to play while video disabled.";
    else
      text = Format("Failed to open file \"%s\" or configure filtergraph", is->filename.c_str());
    Log(llFatal, text);
    SetLastErrMsg(text);
    return -1;
  }
  is->infinite_buffer = infinite_buffer;
  if (is->infinite_buffer < 0 && is->realtime) is->infinite_buffer = 1;
  FPictureArrived.SetEvent();
  is->open_result = 1;
  return 0;
}

int TFFBasePlayer::read_thread(void* arg) {
  auto* is = static_cast<TVideoState*>(arg);
  TFFBasePlayer* self = PlayerOf(is);
  { std::lock_guard<std::mutex> g(is->read_tid_lock); }
  int ret = 0;
  if (!self->OpenInCaller) ret = self->read_thread_open(is);
  if (ret >= 0 && !is->wait_open) {
    // Nobody waits: the open is completed for this thread, unless a Stop cancelled it
    // first: then it fails as any open that fails here.
    const bool here = !self->TriggerEventInMainThread;
    if (self->HandOverStream(is, here)) {
      self->CompleteOpenLater(here);
    } else {
      is->open_result = -1;
      ret = -1;
    }
  }
  if (ret >= 0) ret = self->read_loop(is);

  // Leaving.
  const bool open_failed = is->open_result != 1;
  if (open_failed) is->open_result = -1;
  self->IOActivityTime = INT64_MAX;
  self->FOpeningContext = nullptr;
  // A stream that is not being closed would stay open without its read thread: the play
  // loop closes it (this covers an error and an abort that came from anywhere but a
  // close).
  if (!open_failed && !is->closing) self->RequestQuit();
  if (open_failed) {
    // The caller of Open (or the fail thread) cleans up; the host hears of it from the
    // fail thread.
    self->StartFailThread(is);
  }
  return 0;
}

int TFFBasePlayer::read_loop(TVideoState* is) {
  AVFormatContext* ic = is->ic;
  AVPacket* pkt = av_packet_alloc();
  if (!pkt) {
    Log(llFatal, "Could not allocate packet.");
    return AVERROR(ENOMEM);
  }
  SDL_mutex* wait_mutex = SDL2Stubs::SDL_CreateMutex();
  if (!wait_mutex) {
    Log(llFatal, Format("SDL_CreateMutex(): %s", SDL2Stubs::SDL_GetError()));
    av_packet_free(&pkt);
    return AVERROR(ENOMEM);
  }
  auto wait_continue = [&](int AMs) {
    SDL2Stubs::SDL_LockMutex(wait_mutex);
    SDL2Stubs::SDL_CondWaitTimeout(is->continue_read_thread, wait_mutex, AMs);
    SDL2Stubs::SDL_UnlockMutex(wait_mutex);
  };
  // The last samples are heard once the callback has found no more and the audio clock
  // has passed their end: the device's buffers still held them when the sample queue
  // ran empty. Only then has playback ended (a range-end action may close the device).
  auto audio_played_out = [&] {
    if (!is->audio_eof) return false;
    const std::int64_t end = is->audio_end_time;
    const double now = get_clock(&is->audclk);
    return end == AV_NOPTS_VALUE || std::isnan(now) || std::llround(now * 1000000.0) >= end;
  };
  int ret = 0;
  for (;;) {
    if (is->abort_request || GAppTerminated) break;
    if (is->paused != is->last_paused) {
      is->last_paused = is->paused;
      is->read_pause_return = is->paused ? av_read_pause(ic) : av_read_play(ic);
    }
    if (is->paused && (!std::strcmp(ic->iformat->name, "rtsp") ||
                       (ic->pb && !std::strncmp(is->filename.c_str(), "mmsh:", 5)))) {
      Platform::Sleep(10);
      continue;
    }
    if (is->seek_req) {
      std::int64_t seek_target, seek_min, seek_max;
      int flags;
      {
        std::lock_guard<std::mutex> g(is->seek_lock);
        seek_target = is->seek_pos;
        seek_min = is->seek_rel > 0 ? seek_target - is->seek_rel + 2 : INT64_MIN;
        seek_max = is->seek_rel < 0 ? seek_target - is->seek_rel - 2 : INT64_MAX;
        flags = is->seek_flags;
      }
      IOActivityTime = av_gettime_relative();
      int r = avformat_seek_file(ic, -1, seek_min, seek_target, seek_max, flags);
      if (r < 0) r = avformat_seek_file(ic, -1, seek_min, seek_target, seek_max, flags ^ AVSEEK_FLAG_BACKWARD);
      if (r < 0) {
        Log(llError, Format("%s: error while seeking", ic->url));
        // A failed seek is served too: whoever waits for it is released, and the
        // pictures of the old position count again.
        is->seek_pending_while_paused = 0;
        VideoSeekPending = false;
      } else {
        if (is->audio_stream >= 0) packet_queue_flush(&is->audioq);
        if (is->subtitle_stream >= 0) packet_queue_flush(&is->subtitleq);
        if (is->video_stream >= 0) {
          packet_queue_flush(&is->videoq);
          // A video thread that has left sends no picture: a waiting seek is released.
          FPictureArrived.ResetEvent();
          if (is->video_ended) FPictureArrived.SetEvent();
        }
        if (flags & AVSEEK_FLAG_BYTE)
          set_clock(&is->extclk, NAN, 0);
        else
          set_clock(&is->extclk, seek_target / static_cast<double>(AV_TIME_BASE), 0);
        is->eof = 0;
        is->ended = false;
        is->pictures_since_seek = 0;
        is->audio_played_since_seek = false;
        is->drop_to_latest = true;
        if (is->video_stream < 0) VideoSeekPending = false;
        // Last: a position report that sees this count reads clocks of the new position.
        is->seeks_served += 1;
      }
      is->seek_req = 0;
      is->queue_attachments_req = 1;
      FSeekServed.SetEvent();
    }
    if (is->queue_attachments_req) {
      if (is->video_st && (is->video_st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        if ((ret = av_packet_ref(pkt, &is->video_st->attached_pic)) < 0) break;
        packet_queue_put(&is->videoq, pkt);
        packet_queue_put_nullpacket(&is->videoq, pkt, is->video_stream);
      }
      is->queue_attachments_req = 0;
    }
    // Enough buffered: wait.
    if (is->infinite_buffer < 1 &&
        (is->audioq.size + is->videoq.size + is->subtitleq.size > MAX_QUEUE_SIZE ||
         (stream_has_enough_packets(is->audio_st, is->audio_stream, &is->audioq) &&
          stream_has_enough_packets(is->video_st, is->video_stream, &is->videoq) &&
          stream_has_enough_packets(is->subtitle_st, is->subtitle_stream, &is->subtitleq)))) {
      wait_continue(10);
      continue;
    }
    if (!is->paused && !is->is_live && !is->ended &&
        (!is->audio_st || (is->auddec.finished == is->audioq.serial && frame_queue_nb_remaining(&is->sampq) == 0 &&
                           audio_played_out())) &&
        (!is->video_st || (is->viddec.finished == is->videoq.serial && frame_queue_nb_remaining(&is->pictq) == 0))) {
      is->ended = true;
      ReportEnd(is);
      if (RangeEndAction != reReportEnd) FEventQueue.Push(MakeUserEvent(FF_RANGE_END_EVENT, is));
    }
    IOActivityTime = av_gettime_relative();
    is->in_read = true;
    ret = av_read_frame(ic, pkt);
    is->in_read = false;
    if (is->abort_request) {
      av_packet_unref(pkt);
      break;
    }
    if (ret < 0) {
      if (is->video_st) FPictureArrived.SetEvent();
      bool at_eof = false;
      if (ret == AVERROR_EOF || ret == AVERROR(EPIPE)) {
        at_eof = true;
      } else if (ret == AVERROR(EAGAIN)) {
        Platform::Sleep(1);
        if (ic->pb) ic->pb->eof_reached = ic->pb->error = 0;
        continue;
      } else if (ic->pb && avio_feof(ic->pb)) {
        if (EndOnIOEof) at_eof = true; else ic->pb->eof_reached = ic->pb->error = 0;
      } else {
        if (!is->error_reported && !is->is_image2) {
          Log(llError, "error while reading file " + is->filename + ": " + CmdUtils::print_error(ret));
          is->error_reported = 1;
        }
        if (ret == AVERROR_EXIT) break;
        if (ret == -1 && EofOnPermError) at_eof = true;
      }
      if (at_eof && !is->eof) {
        if (is->video_stream >= 0) packet_queue_put_nullpacket(&is->videoq, pkt, is->video_stream);
        if (is->audio_stream >= 0) packet_queue_put_nullpacket(&is->audioq, pkt, is->audio_stream);
        if (is->subtitle_stream >= 0) packet_queue_put_nullpacket(&is->subtitleq, pkt, is->subtitle_stream);
        if (is->video_stream >= 0 && is->videoq.nb_packets == 0) {
          is->videoq.finished = 1;
          frame_queue_signal(&is->pictq);
        }
        if (!is->is_image2) Log(llInfo, "reach end of file: " + is->filename);
        is->eof = 1;
      }
      if (ic->pb && ic->pb->error) {
        if (StopOnIOError) break;
        ic->pb->error = 0;
      }
      ret = 0;
      wait_continue(10);
      continue;
    }
    is->eof = 0;
    if (pkt->stream_index == is->audio_stream) {
      packet_queue_put(&is->audioq, pkt);
    } else if (pkt->stream_index == is->video_stream &&
               !(is->video_st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      packet_queue_put(&is->videoq, pkt);
    } else if (pkt->stream_index == is->subtitle_stream) {
      packet_queue_put(&is->subtitleq, pkt);
    } else {
      av_packet_unref(pkt);
    }
  }
  av_packet_free(&pkt);
  SDL2Stubs::SDL_DestroyMutex(wait_mutex);
  return ret;
}

// ---- Stream components -------------------------------------------------------------------

int TFFBasePlayer::stream_component_open(TVideoState* is, int stream_index) {
  AVFormatContext* ic = is->ic;
  if (stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) return -1;
  AVCodecContext* avctx = avcodec_alloc_context3(nullptr);
  if (!avctx) return AVERROR(ENOMEM);
  AVDictionary* opts = nullptr;
  AVChannelLayout ch_layout{};
  const AVCodec* codec;
  const char* forced_codec_name = nullptr;
  int ret = avcodec_parameters_to_context(avctx, ic->streams[stream_index]->codecpar);
  if (ret < 0) goto fail;
  avctx->pkt_timebase = ic->streams[stream_index]->time_base;
  codec = avcodec_find_decoder(avctx->codec_id);
  switch (avctx->codec_type) {
    case AVMEDIA_TYPE_AUDIO: is->last_audio_stream = stream_index; forced_codec_name = audio_codec_name; break;
    case AVMEDIA_TYPE_SUBTITLE: is->last_subtitle_stream = stream_index; forced_codec_name = subtitle_codec_name; break;
    case AVMEDIA_TYPE_VIDEO: is->last_video_stream = stream_index; forced_codec_name = video_codec_name; break;
    default: break;
  }
  if (forced_codec_name) codec = avcodec_find_decoder_by_name(forced_codec_name);
  if (!codec) {
    if (forced_codec_name)
      Log(llWarning, Format("No codec could be found with name '%s'", forced_codec_name));
    else
      Log(llWarning, Format("No decoder could be found for codec %s", avcodec_get_name(avctx->codec_id)));
    ret = AVERROR(EINVAL);
    goto fail;
  }
  if (avctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(codec->id);
    if (!desc || !(desc->props & AV_CODEC_PROP_BITMAP_SUB)) {
      Log(llError, "Only bitmap based subtitles supported.");
      ret = AVERROR(EINVAL);
      goto fail;
    }
  }
  avctx->codec_id = codec->id;
  {
    int stream_lowres = lowres;
    if (stream_lowres > codec->max_lowres) {
      Log(llWarning, Format("The maximum value for lowres supported by the decoder is %d", codec->max_lowres));
      stream_lowres = codec->max_lowres;
    }
    avctx->lowres = stream_lowres;
    if (fast) avctx->flags2 |= AV_CODEC_FLAG2_FAST;
    ret = CmdUtils::filter_codec_opts(FOptions.def_opts.codec_opts, avctx->codec_id, ic,
                                      ic->streams[stream_index], codec, opts, nullptr);
    if (ret < 0) goto fail;
    if (!av_dict_get(opts, "threads", nullptr, 0)) av_dict_set(&opts, "threads", "auto", 0);
    if (stream_lowres) av_dict_set_int(&opts, "lowres", stream_lowres, 0);
    av_dict_set(&opts, "flags", "+copy_opaque", AV_DICT_MULTIKEY);
  }
  if ((ret = avcodec_open2(avctx, codec, &opts)) < 0) {
    Log(llError, "avcodec_open2() failed.");
    goto fail;
  }
  if ((ret = CmdUtils::check_avoptions(opts)) < 0) goto fail;

  is->eof = 0;
  ic->streams[stream_index]->discard = AVDISCARD_DEFAULT;
  switch (avctx->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
      is->audio_filter_src.freq = avctx->sample_rate;
      av_channel_layout_uninit(&is->audio_filter_src.ch_layout);
      if ((ret = av_channel_layout_copy(&is->audio_filter_src.ch_layout, &avctx->ch_layout)) < 0) goto fail;
      is->audio_filter_src.fmt = avctx->sample_fmt;
      if ((ret = configure_audio_filters(is, GetAudioFilters().c_str(), false)) < 0) goto fail;
      AVFilterContext* sink = is->out_audio_filter;
      const int sample_rate = av_buffersink_get_sample_rate(sink);
      if ((ret = av_buffersink_get_ch_layout(sink, &ch_layout)) < 0) goto fail;
      SDL2Stubs::SDLLoader->Lock();
      ret = audio_open(this, is, &ch_layout, sample_rate, &is->audio_tgt);
      SDL2Stubs::SDLLoader->Unlock();
      if (ret < 0) goto fail;
      is->audio_hw_buf_size = ret;
      is->audio_src.freq = is->audio_tgt.freq;
      is->audio_src.fmt = is->audio_tgt.fmt;
      av_channel_layout_uninit(&is->audio_src.ch_layout);
      av_channel_layout_copy(&is->audio_src.ch_layout, &is->audio_tgt.ch_layout);
      is->audio_buf_size = 0;
      is->audio_buf_index = 0;
      is->audio_diff_avg_coef = std::exp(std::log(0.01) / AUDIO_DIFF_AVG_NB);
      is->audio_diff_avg_count = 0;
      // Differences below one device buffer cannot be measured reliably.
      is->audio_diff_threshold = static_cast<double>(is->audio_hw_buf_size) / is->audio_tgt.bytes_per_sec;
      is->audio_stream = stream_index;
      is->audio_st = ic->streams[stream_index];
      if ((ret = decoder_init(&is->auddec, avctx, &is->audioq, is->continue_read_thread)) < 0) goto fail;
      is->auddec.reorder_pts = decoder_reorder_pts;
      if (ic->iformat->flags & (AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK)) {
        is->auddec.start_pts = is->audio_st->start_time;
        is->auddec.start_pts_tb = is->audio_st->time_base;
      }
      if ((ret = decoder_start(&is->auddec, audio_thread, "audio_decoder", is, this)) < 0) goto out;
      SDL2Stubs::SDL_PauseAudioDevice(audio_dev, 0);
      break;
    }
    case AVMEDIA_TYPE_VIDEO:
      is->video_stream = stream_index;
      is->video_st = ic->streams[stream_index];
      if ((ret = decoder_init(&is->viddec, avctx, &is->videoq, is->continue_read_thread)) < 0) goto fail;
      is->viddec.reorder_pts = decoder_reorder_pts;
      if ((ret = decoder_start(&is->viddec, video_thread, "video_decoder", is, this)) < 0) goto out;
      is->queue_attachments_req = 1;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      is->subtitle_stream = stream_index;
      is->subtitle_st = ic->streams[stream_index];
      if ((ret = decoder_init(&is->subdec, avctx, &is->subtitleq, is->continue_read_thread)) < 0) goto fail;
      if ((ret = decoder_start(&is->subdec, subtitle_thread_entry, "subtitle_decoder", is, this)) < 0) goto out;
      break;
    default:
      break;
  }
  goto out;

fail:
  avcodec_free_context(&avctx);
out:
  av_channel_layout_uninit(&ch_layout);
  av_dict_free(&opts);
  return ret;
}

void TFFBasePlayer::stream_component_close(TVideoState* is, int stream_index) {
  AVFormatContext* ic = is->ic;
  if (stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) return;
  AVCodecParameters* codecpar = ic->streams[stream_index]->codecpar;
  switch (codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      decoder_abort(&is->auddec, &is->sampq);
      if (audio_dev) SDL2Stubs::SDL_CloseAudioDevice(audio_dev);
      audio_dev = 0;
      decoder_destroy(&is->auddec);
      audio_release(is);
      break;
    case AVMEDIA_TYPE_VIDEO:
      decoder_abort(&is->viddec, &is->pictq);
      decoder_destroy(&is->viddec);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      decoder_abort(&is->subdec, &is->subpq);
      decoder_destroy(&is->subdec);
      break;
    default:
      break;
  }
  ic->streams[stream_index]->discard = AVDISCARD_ALL;
  switch (codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO: is->audio_st = nullptr; is->audio_stream = -1; break;
    case AVMEDIA_TYPE_VIDEO: is->video_st = nullptr; is->video_stream = -1; break;
    case AVMEDIA_TYPE_SUBTITLE: is->subtitle_st = nullptr; is->subtitle_stream = -1; break;
    default: break;
  }
}

void TFFBasePlayer::stream_close(TVideoState* is) {
  is->closing = true;
  is->abort_request = 1;
  if (is->read_tid) SDL2Stubs::SDL_WaitThread(is->read_tid, nullptr);
  is->read_tid = nullptr;
  if (is->ic) {
    if (is->audio_stream >= 0) stream_component_close(is, is->audio_stream);
    if (is->video_stream >= 0) stream_component_close(is, is->video_stream);
    if (is->subtitle_stream >= 0) stream_component_close(is, is->subtitle_stream);
    // The input closes before the I/O context over the host stream that it reads.
    AVIOContext* pb = is->memory_stream ? is->ic->pb : nullptr;
    avformat_close_input(&is->ic);
    if (pb) {
      av_freep(static_cast<void*>(&pb->buffer));
      avio_context_free(&pb);
    }
  }
  if (is->memory_stream) MemoryProtocol::memory_close(is->memory_stream);
  if (is->videoq.mutex) packet_queue_destroy(&is->videoq);
  if (is->audioq.mutex) packet_queue_destroy(&is->audioq);
  if (is->subtitleq.mutex) packet_queue_destroy(&is->subtitleq);
  if (is->pictq.mutex) frame_queue_destroy(&is->pictq);
  if (is->sampq.mutex) frame_queue_destroy(&is->sampq);
  if (is->subpq.mutex) frame_queue_destroy(&is->subpq);
  if (is->continue_read_thread) SDL2Stubs::SDL_DestroyCond(is->continue_read_thread);
  is->continue_read_thread = nullptr;
  avfilter_graph_free(&is->agraph);
  av_channel_layout_uninit(&is->audio_filter_src.ch_layout);
  audio_release(is);
}

void TFFBasePlayer::FreeStream(TVideoState* is) {
  if (!is) return;
  stream_close(is);
  delete is;
}

void TFFBasePlayer::CloseStream() {
  // The range goes with the stream, before the stream is seen closed: a host that sets
  // the next open's range (and range-end action) once Opened() is False keeps it, while
  // the closing goes on.
  ResetRange();
  TVideoState* is = FStream.exchange(nullptr);
  if (is) {
    FDecoder->SetFormatContext(nullptr);
    FreeStream(is);
  }
  CloseDisplay();
  ResetPlaybackState();
  CmdUtils::uninit_opts(&FOptions);
  InitOptionsContext();
  av_freep(static_cast<void*>(&audio_codec_name));
  av_freep(static_cast<void*>(&subtitle_codec_name));
  av_freep(static_cast<void*>(&video_codec_name));
  av_log(nullptr, AV_LOG_QUIET, "%s", "");
}

// ---- Seeking and pausing -----------------------------------------------------------------

bool TFFBasePlayer::stream_seek(TVideoState* is, int AFlags, std::int64_t ARelative,
                                std::int64_t APosition) {
  if (is->seek_req) return false;
  VideoSeekPending = true;
  is->seek_pending_while_paused = is->paused.load();
  is->step = 0;
  {
    std::lock_guard<std::mutex> g(is->seek_lock);
    is->seek_pos = APosition;
    is->seek_rel = ARelative;
    is->seek_flags = AFlags;
  }
  FSeekServed.ResetEvent();
  is->seek_req = 1;
  SDL2Stubs::SDL_CondSignal(is->continue_read_thread);
  if (FState == FFBaseComponent::psEnd) ReportState(FFBaseComponent::psPlay);
  return true;
}

void TFFBasePlayer::stream_toggle_pause(TVideoState* is) {
  if (FSeekServed.WaitFor(250) != Platform::TWaitResult::wrSignaled) FSeekServed.SetEvent();
  if (FStream.load() != is) return;
  if (is->paused) {
    double last_updated;
    {
      std::lock_guard<std::mutex> g(is->vidclk.lock);
      last_updated = is->vidclk.last_updated;
    }
    if (std::isnan(get_clock_unchecked(&is->vidclk))) {
      std::lock_guard<std::mutex> g(is->extclk.lock);
      last_updated = is->extclk.last_updated;
    }
    is->frame_timer += NowSeconds() - last_updated;
    if (ResumeVideoClock && is->read_pause_return != AVERROR(ENOSYS)) set_clock_paused(&is->vidclk, 0);
    set_clock(&is->vidclk, get_clock(&is->vidclk), get_clock_serial(&is->vidclk));
    is->paused = 0;
  } else {
    if (is->video_st && FPictureArrived.WaitFor(250) != Platform::TWaitResult::wrSignaled)
      FPictureArrived.SetEvent();
    is->paused = 1;
  }
  set_clock(&is->extclk, get_clock(&is->extclk), get_clock_serial(&is->extclk));
  set_clock_paused(&is->audclk, is->paused);
  set_clock_paused(&is->vidclk, is->paused);
  set_clock_paused(&is->extclk, is->paused);
}

// ---- Filters -----------------------------------------------------------------------------

int TFFBasePlayer::configure_audio_filters(TVideoState* is, const char* afilters,
                                           bool force_output_format) {
  avfilter_graph_free(&is->agraph);
  is->agraph = avfilter_graph_alloc();
  if (!is->agraph) return AVERROR(ENOMEM);
  is->agraph->nb_threads = is->filter_nbthreads;
  AVFilterContext* filt_asrc = nullptr;
  AVFilterContext* filt_asink = nullptr;
  char layout[256];
  int ret;
  const std::string swr = DictArgs(FOptions.def_opts.swr_opts);
  av_opt_set(is->agraph, "aresample_swr_opts", swr.c_str(), 0);
  av_channel_layout_describe(&is->audio_filter_src.ch_layout, layout, sizeof(layout));
  const std::string asrc_args =
      Format("sample_rate=%d:sample_fmt=%s:time_base=%d/%d:channel_layout=%s", is->audio_filter_src.freq,
             av_get_sample_fmt_name(is->audio_filter_src.fmt), 1, is->audio_filter_src.freq, layout);
  ret = avfilter_graph_create_filter(&filt_asrc, avfilter_get_by_name("abuffer"), "ffplay_abuffer",
                                     asrc_args.c_str(), nullptr, is->agraph);
  if (ret < 0) goto end;
  filt_asink = avfilter_graph_alloc_filter(is->agraph, avfilter_get_by_name("abuffersink"), "ffplay_abuffersink");
  if (!filt_asink) {
    ret = AVERROR(ENOMEM);
    goto end;
  }
  if ((ret = av_opt_set(filt_asink, "sample_formats", "s16", AV_OPT_SEARCH_CHILDREN)) < 0) goto end;
  if (force_output_format) {
    char tgt_layout[256];
    av_channel_layout_describe(&is->audio_tgt.ch_layout, tgt_layout, sizeof(tgt_layout));
    if ((ret = av_opt_set(filt_asink, "channel_layouts", tgt_layout, AV_OPT_SEARCH_CHILDREN)) < 0) goto end;
    if ((ret = av_opt_set(filt_asink, "samplerates", Format("%d", is->audio_tgt.freq).c_str(),
                          AV_OPT_SEARCH_CHILDREN)) < 0)
      goto end;
  }
  if ((ret = avfilter_init_dict(filt_asink, nullptr)) < 0) goto end;
  if (afilters && *afilters) Log(llInfo, Format("Parse auidio filters: %s", afilters));
  if ((ret = configure_filtergraph(is->agraph, afilters, filt_asrc, filt_asink)) < 0) goto end;
  is->in_audio_filter = filt_asrc;
  is->out_audio_filter = filt_asink;
end:
  if (ret < 0) avfilter_graph_free(&is->agraph);
  return ret;
}

int TFFBasePlayer::configure_video_filters(AVFilterGraph* graph, TVideoState* is,
                                           const char* vfilters, AVFrame* frame) {
  AVFilterContext *filt_src = nullptr, *filt_out = nullptr, *last_filter = nullptr;
  AVCodecParameters* codecpar = is->video_st->codecpar;
  const AVRational fr = av_guess_frame_rate(is->ic, is->video_st, nullptr);
  AVBufferSrcParameters* par = av_buffersrc_parameters_alloc();
  if (!par) return AVERROR(ENOMEM);
  int ret;
  std::vector<AVPixelFormat> pix_fmts;
  {
    const std::string sws = DictArgs(FOptions.def_opts.sws_dict, "sws_flags", "flags");
    graph->scale_sws_opts = av_strdup(sws.c_str());
  }
  {
    std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                              frame->width, frame->height, frame->format, is->video_st->time_base.num,
                              is->video_st->time_base.den, codecpar->sample_aspect_ratio.num,
                              std::max(codecpar->sample_aspect_ratio.den, 1));
    if (fr.num && fr.den) args += Format(":frame_rate=%d/%d", fr.num, fr.den);
    args += Format(":range=%d", frame->color_range);
    if (convert_colorspace) args += Format(":colorspace=%d", frame->colorspace);
    ret = avfilter_graph_create_filter(&filt_src, avfilter_get_by_name("buffer"), "ffplay_buffer",
                                       args.c_str(), nullptr, graph);
    if (ret < 0) goto fail;
  }
  par->hw_frames_ctx = frame->hw_frames_ctx;
  if ((ret = av_buffersrc_parameters_set(filt_src, par)) < 0) goto fail;

  filt_out = avfilter_graph_alloc_filter(graph, avfilter_get_by_name("buffersink"), "ffplay_buffersink");
  if (!filt_out) {
    ret = AVERROR(ENOMEM);
    goto fail;
  }
  // Both sink options are array options: they are set element by element, not as text.
  for (int i = 0; i < CPixelFormatSlots && PixelFormats[i] != -1; ++i)
    if (av_get_pix_fmt_name(static_cast<AVPixelFormat>(PixelFormats[i])))
      pix_fmts.push_back(static_cast<AVPixelFormat>(PixelFormats[i]));
  if (!pix_fmts.empty() &&
      (ret = av_opt_set_array(filt_out, "pixel_formats", AV_OPT_SEARCH_CHILDREN, 0,
                              static_cast<unsigned>(pix_fmts.size()), AV_OPT_TYPE_PIXEL_FMT,
                              pix_fmts.data())) < 0)
    goto fail;
  if (convert_colorspace) {
    static const int colorspaces[] = {AVCOL_SPC_BT709, AVCOL_SPC_BT470BG, AVCOL_SPC_SMPTE170M};
    if ((ret = av_opt_set_array(filt_out, "colorspaces", AV_OPT_SEARCH_CHILDREN, 0, 3, AV_OPT_TYPE_INT,
                                colorspaces)) < 0)
      goto fail;
  }
  if ((ret = avfilter_init_dict(filt_out, nullptr)) < 0) goto fail;

  last_filter = filt_out;
  {
    // Filters inserted here link in front of the previous one: the chain grows from the
    // sink backwards.
    auto insert = [&](const char* name, const char* arg) -> int {
      AVFilterContext* filt_ctx;
      int r = avfilter_graph_create_filter(&filt_ctx, avfilter_get_by_name(name),
                                           Format("ffplay_%s", name).c_str(), arg, nullptr, graph);
      if (r < 0) return r;
      r = avfilter_link(filt_ctx, 0, last_filter, 0);
      if (r < 0) return r;
      last_filter = filt_ctx;
      return 0;
    };
    if (autorotate) {
      const std::int32_t* displaymatrix = nullptr;
      if (const AVFrameSideData* sd = av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX))
        displaymatrix = reinterpret_cast<const std::int32_t*>(sd->data);
      if (!displaymatrix) {
        const AVPacketSideData* psd = av_packet_side_data_get(
            codecpar->coded_side_data, codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
        if (psd) displaymatrix = reinterpret_cast<const std::int32_t*>(psd->data);
      }
      const double theta = displaymatrix ? CmdUtils::get_rotation(displaymatrix) : 0.0;
      if (std::fabs(theta - 90) < 1.0) {
        ret = insert("transpose", displaymatrix[3] > 0 ? "cclock_flip" : "clock");
      } else if (std::fabs(theta - 180) < 1.0) {
        if (displaymatrix[0] < 0) ret = insert("hflip", nullptr);
        if (ret >= 0 && displaymatrix[4] < 0) ret = insert("vflip", nullptr);
      } else if (std::fabs(theta - 270) < 1.0) {
        ret = insert("transpose", displaymatrix[3] < 0 ? "clock_flip" : "cclock");
      } else if (std::fabs(theta) > 1.0) {
        ret = insert("rotate", Format("%f*PI/180", theta).c_str());
      } else if (displaymatrix && displaymatrix[4] < 0) {
        ret = insert("vflip", nullptr);
      }
      if (ret < 0) goto fail;
    }
    const char* hint = SDL2Stubs::SDL_GetHint("SDL_RENDER_DRIVER");
    if (frame->width % 16 == 0 && hint && !std::strcmp(hint, "software"))
      if ((ret = insert("crop", "w=in_w-2:h=in_h:x=1:y=0")) < 0) goto fail;
    if (VerticalFlip && (ret = insert("vflip", nullptr)) < 0) goto fail;
  }
  if (vfilters && *vfilters) Log(llInfo, Format("Parse video filters: %s", vfilters));
  if ((ret = configure_filtergraph(graph, vfilters, filt_src, last_filter)) < 0) goto fail;
  is->in_video_filter = filt_src;
  is->out_video_filter = filt_out;
fail:
  av_freep(static_cast<void*>(&par));
  return ret;
}

// ---- Decoder threads ---------------------------------------------------------------------

int TFFBasePlayer::audio_thread(void* arg) {
  auto* is = static_cast<TVideoState*>(arg);
  TFFBasePlayer* self = PlayerOf(is);
  AVFrame* frame = av_frame_alloc();
  if (!frame) return AVERROR(ENOMEM);
  int last_serial = -1;
  int ret = 0;
  do {
    const int got_frame = decoder_decode_frame(&is->auddec, frame, nullptr);
    if (got_frame < 0) break;
    if (got_frame) {
      const bool reconfigure =
          is->audio_filter_src.fmt != frame->format ||
          av_channel_layout_compare(&is->audio_filter_src.ch_layout, &frame->ch_layout) ||
          is->audio_filter_src.freq != frame->sample_rate || is->auddec.pkt_serial != last_serial;
      if (reconfigure) {
        char buf1[256], buf2[256];
        av_channel_layout_describe(&is->audio_filter_src.ch_layout, buf1, sizeof(buf1));
        av_channel_layout_describe(&frame->ch_layout, buf2, sizeof(buf2));
        self->Log(llInfo,
                  Format("Audio frame changed from rate:%d ch:%d fmt:%s layout:%s serial:%d to "
                         "rate:%d ch:%d fmt:%s layout:%s serial:%d",
                         is->audio_filter_src.freq, is->audio_filter_src.ch_layout.nb_channels,
                         av_get_sample_fmt_name(is->audio_filter_src.fmt), buf1, last_serial,
                         frame->sample_rate, frame->ch_layout.nb_channels,
                         av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format)), buf2,
                         is->auddec.pkt_serial));
        is->audio_filter_src.fmt = static_cast<AVSampleFormat>(frame->format);
        av_channel_layout_uninit(&is->audio_filter_src.ch_layout);
        if ((ret = av_channel_layout_copy(&is->audio_filter_src.ch_layout, &frame->ch_layout)) < 0) break;
        is->audio_filter_src.freq = frame->sample_rate;
        last_serial = is->auddec.pkt_serial;
        if ((ret = self->configure_audio_filters(is, self->GetAudioFilters().c_str(), true)) < 0) break;
      }
      if ((ret = av_buffersrc_add_frame(is->in_audio_filter, frame)) < 0) break;
      while ((ret = av_buffersink_get_frame_flags(is->out_audio_filter, frame, 0)) >= 0) {
        const AVRational tb = av_buffersink_get_time_base(is->out_audio_filter);
        TFrame* af = frame_queue_peek_writable(&is->sampq);
        if (!af) {
          ret = -1;
          break;
        }
        af->pts = frame->pts == AV_NOPTS_VALUE ? NAN : frame->pts * av_q2d(tb);
        af->pos = FramePos(frame);
        af->serial = is->auddec.pkt_serial;
        af->duration = av_q2d(AVRational{frame->nb_samples, frame->sample_rate});
        av_frame_move_ref(af->frame, frame);
        frame_queue_push(&is->sampq);
        if (is->audioq.serial != is->auddec.pkt_serial) break;
      }
      if (ret == -1) break;
      if (ret == AVERROR_EOF) is->auddec.finished = is->auddec.pkt_serial;
    }
  } while (ret >= 0 || ret == AVERROR(EAGAIN) || ret == AVERROR_EOF);
  avfilter_graph_free(&is->agraph);
  av_frame_free(&frame);
  return ret;
}

int TFFBasePlayer::video_thread(void* arg) {
  auto* is = static_cast<TVideoState*>(arg);
  TFFBasePlayer* self = PlayerOf(is);
  // Whatever ends this thread, whoever waits for a picture is released.
  struct TEnded {
    TFFBasePlayer* P;
    TVideoState* S;
    ~TEnded() {
      S->video_ended = true;
      P->FPictureArrived.SetEvent();
    }
  } ended{self, is};
  AVFrame* frame = av_frame_alloc();
  if (!frame) {
    self->Log(llError, "av_frame_alloc() failed: " + CmdUtils::print_error(AVERROR(ENOMEM)));
    return AVERROR(ENOMEM);
  }
  self->FillSupportedPixelFormats(is);
  AVFilterGraph* graph = nullptr;
  AVFilterContext *filt_out = nullptr, *filt_in = nullptr;
  int last_w = 0, last_h = 0, last_format = -2, last_serial = -1;
  std::string last_vfilters;
  int last_generation = self->FilterGeneration;
  AVRational frame_rate = av_guess_frame_rate(is->ic, is->video_st, nullptr);
  bool first_picture = true;
  int ret = 0;
  for (;;) {
    ret = get_video_frame(is, frame);
    if (ret < 0) {
      if (!is->videoq.abort_request)
        self->Log(llError, Format("Error: get_video_frame() return %d", ret));
      break;
    }
    if (!ret) continue;

    const std::string vfilters = self->GetVideoFilters();
    const bool frame_changed = last_w != frame->width || last_h != frame->height ||
                               last_format != frame->format;
    if (!graph || frame_changed || self->RebuildFilters ||
        (last_serial != is->viddec.pkt_serial && self->RebuildOnSeek) || vfilters != last_vfilters ||
        last_generation != self->FilterGeneration) {
      if (frame_changed)
        self->Log(llInfo,
                  Format("Video frame changed from size:%dx%d format:%s serial:%d to "
                         "size:%dx%d format:%s serial:%d",
                         last_w, last_h,
                         av_get_pix_fmt_name(static_cast<AVPixelFormat>(last_format)) ?: "none", last_serial,
                         frame->width, frame->height,
                         av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format)) ?: "none",
                         is->viddec.pkt_serial));
      self->RebuildFilters = false;
      avfilter_graph_free(&graph);
      graph = avfilter_graph_alloc();
      if (!graph) {
        const std::string text = "avfilter_graph_alloc() failed";
        self->Log(llError, text);
        self->DoError(FFBaseComponent::errVideoFilters, text);
        ret = AVERROR(ENOMEM);
        break;
      }
      graph->nb_threads = is->filter_nbthreads;
      if ((ret = self->configure_video_filters(graph, is, vfilters.c_str(), frame)) < 0) {
        const std::string text = "configure_video_filters() failed: " + CmdUtils::print_error(ret);
        self->Log(llError, text);
        self->DoError(FFBaseComponent::errVideoFilters, text);
        break;
      }
      filt_in = is->in_video_filter;
      filt_out = is->out_video_filter;
      last_w = frame->width;
      last_h = frame->height;
      last_format = frame->format;
      last_serial = is->viddec.pkt_serial;
      last_vfilters = vfilters;
      last_generation = self->FilterGeneration;
      frame_rate = av_buffersink_get_frame_rate(filt_out);
    }

    ret = av_buffersrc_add_frame(filt_in, frame);
    if (ret < 0) break;
    while (ret >= 0) {
      is->frame_last_returned_time = NowSeconds();
      ret = av_buffersink_get_frame_flags(filt_out, frame, 0);
      if (ret < 0) {
        if (ret == AVERROR_EOF) is->viddec.finished = is->viddec.pkt_serial;
        ret = 0;
        break;
      }
      is->frame_last_filter_delay = NowSeconds() - is->frame_last_returned_time;
      if (std::fabs(is->frame_last_filter_delay) > AV_NOSYNC_THRESHOLD / 10.0) is->frame_last_filter_delay = 0;
      const AVRational tb = av_buffersink_get_time_base(filt_out);
      const double duration =
          (frame_rate.num && frame_rate.den) ? av_q2d(AVRational{frame_rate.den, frame_rate.num}) : 0;
      const double pts = frame->pts == AV_NOPTS_VALUE ? NAN : frame->pts * av_q2d(tb);
      if (is->viddec.pkt_serial == is->videoq.serial) {
        // The first picture after a seek: the seek has reached the display.
        if (is->drop_to_latest.exchange(false) && is->seek_pending_while_paused == 1)
          is->seek_pending_while_paused = 2;
        self->VideoSeekPending = false;
      }
      ret = self->queue_picture(is, frame, pts, duration, FramePos(frame), is->viddec.pkt_serial);
      av_frame_unref(frame);
      if (first_picture && is->step == 1) {
        // Opened paused: the first picture is queued. The step moves to its second phase
        // (audio holds), and stays pending so that the play loop keeps refreshing until
        // that picture is on the screen; pausing, resuming or seeking ends it. The play
        // loop reports the paused state, after psPlay.
        is->step = 2;
      }
      first_picture = false;
      self->FPictureArrived.SetEvent();
      if (is->videoq.serial != is->viddec.pkt_serial) break;
    }
    if (ret < 0) break;
  }
  avfilter_graph_free(&graph);
  av_frame_free(&frame);
  return 0;
}

int TFFBasePlayer::subtitle_thread_entry(void* arg) {
  auto* is = static_cast<TVideoState*>(arg);
  return PlayerOf(is)->subtitle_thread(is);
}

// ---- Play loop ---------------------------------------------------------------------------

bool TFFBasePlayer::refresh_loop_wait_event(SDL_Event& AEvent) {
  double remaining_time = 0.0;
  while (!FEventQueue.Pop(AEvent)) {
    if (GAppTerminated) return false;
    if (!FStream.load()) return false;
    if (remaining_time > 0.0) av_usleep(static_cast<unsigned>(remaining_time * 1000000.0));
    remaining_time = REFRESH_RATE;
    // The stream may have been closed and freed meanwhile (Stop closes it from another
    // thread when the loop is slow to quit): its state is read under the stream lock.
    std::unique_lock<std::recursive_mutex> g(FStreamLock);
    TVideoState* is = FStream.load();
    if (!is) return false;
    if (!is->paused || is->force_refresh || is->seek_pending_while_paused || is->step) {
      video_refresh(is, remaining_time);
      // The range's end is looked for at every step, whether a display shows the
      // pictures (and reports positions) or not.
      if (FStream.load() == is) CheckRangeEnd(is);
    }
  }
  return true;
}

void TFFBasePlayer::event_loop() {
  FPlayLoopStarted = true;
  ReportPlaying();
  for (;;) {
    if (GAppTerminated) return;
    SDL_Event event;
    if (!refresh_loop_wait_event(event)) return;
    std::unique_lock<std::recursive_mutex> g(FStreamLock);
    TVideoState* is = FStream.load();
    if (!is) return;
    switch (event.type) {
      case SDL_QUIT:
      case FF_QUIT_EVENT:
        CloseStream();
        return;
      case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_RESIZED) {
          ScreenWidth = is->width = event.window.data1;
          ScreenHeight = is->height = event.window.data2;
          is->force_refresh = 1;
        } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED) {
          is->force_refresh = 1;
        }
        break;
      case FF_USER_EVENT:
        HandleUserEvent(is, event);
        break;
      case FF_REFRESH_EVENT:
      case FF_REFRESH2_EVENT:
        is->force_refresh = 1;
        break;
      case FF_RANGE_END_EVENT:
        // From the read thread; only for the stream that ended.
        if (event.user.data1 == is) DoRangeEnd();
        break;
      default:
        break;
    }
  }
}

}  // namespace FFBasePlay
