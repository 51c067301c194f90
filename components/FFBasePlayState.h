// The player's per-stream state and the per-player settings that its engine threads read.
//
// TPlayerCore holds what the decoding, clock and audio routines need of the player: the
// audio settings and hook, the sync and speed settings, the last error and the log
// sender. The player component derives from it, so the engine reaches these through the
// stream state's `owner` without knowing the component.
//
// TVideoState is one open stream (one zero-based allocation per open). Its fields are
// sectioned by who touches them; the queues and clocks lock themselves.
#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <SDL.h>

#include "components/FFBaseComponent.h"
#include "components/FFBasePlayQueues.h"
#include "runtime/FFLoad.h"

struct SwrContext;
struct AVFilterGraph;
struct AVFilterContext;

namespace FFBasePlay {

// ---- Constants of the playback engine ------------------------------------------------------

constexpr double AV_NOSYNC_THRESHOLD = 10.0;      // no A/V correction beyond this (seconds)
constexpr double AV_SYNC_THRESHOLD_MIN = 0.04;
constexpr double AV_SYNC_THRESHOLD_MAX = 0.1;
constexpr double AV_SYNC_FRAMEDUP_THRESHOLD = 0.1;
constexpr double EXTERNAL_CLOCK_SPEED_MIN = 0.900;
constexpr double EXTERNAL_CLOCK_SPEED_MAX = 1.010;
constexpr double EXTERNAL_CLOCK_SPEED_STEP = 0.001;
constexpr int EXTERNAL_CLOCK_MIN_FRAMES = 2;
constexpr int EXTERNAL_CLOCK_MAX_FRAMES = 10;
constexpr int AUDIO_DIFF_AVG_NB = 20;
constexpr int SAMPLE_CORRECTION_PERCENT_MAX = 10;
constexpr double REFRESH_RATE = 0.01;
constexpr int SAMPLE_ARRAY_SIZE = 8 * 65536;  // 16-bit samples of the visualisation ring
constexpr int SDL_AUDIO_MIN_BUFFER_SIZE = 512;
constexpr int SDL_AUDIO_MAX_CALLBACKS_PER_SEC = 30;

enum TSyncType : int { AV_SYNC_AUDIO_MASTER = 0, AV_SYNC_VIDEO_MASTER = 1, AV_SYNC_EXTERNAL_CLOCK = 2 };

// Show modes of the output side.
enum TShowMode : int {
  SHOW_MODE_NONE = 0,   // automatic until the streams are open
  SHOW_MODE_VIDEO = 1,
  SHOW_MODE_WAVES = 2,
  SHOW_MODE_RDFT = 3,
  SHOW_MODE_NB = 4,     // audio only, nothing shown
};

// ---- Clocks -----------------------------------------------------------------------------------

// A clock that runs from the time it was last set, at `speed`. Every field is guarded by
// `lock`: the audio callback, the play loop, the read thread and the position report all
// read and set clocks.
struct TClock {
  std::mutex lock;
  double pts = NAN;         // seconds
  double pts_drift = NAN;   // pts minus the relative time at which it was set
  double last_updated = 0;  // seconds of the relative clock
  double speed = 1.0;
  int serial = -1;
  int paused = 0;
  // The serial of the packet queue the clock follows; a clock of another serial reads
  // NaN while check_serial is on. nullptr: the clock follows its own serial (the
  // external clock), so it never goes stale.
  const std::atomic<int>* queue_serial = nullptr;
  bool check_serial = true;
};

// ---- Audio parameters -------------------------------------------------------------------------

struct TAudioParams {
  int freq = 0;
  AVChannelLayout ch_layout{};
  AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
  int frame_size = 0;
  int bytes_per_sec = 0;
};

// ---- Handler marks ----------------------------------------------------------------------------

// The kinds of the player's handler marks (MyUtils::THandlerScope, whose object is the
// player as its LogSender). Each is the handler's name in the text of a refused free.
// Raised on the main thread; a thread of the player waits for the first three:
extern const char CStateHandler[];       // OnState (the event thread)
extern const char CFileOpenHandler[];    // OnFileOpen (the open completes after it)
extern const char COpenFailedHandler[];  // OnOpenFailed (the fail thread)
// Raised on the player's worker threads, or on the main thread while one of them waits
// for the handler: the player cannot be freed from them.
extern const char CBeforeFindStreamInfoHandler[];  // the read thread
extern const char CErrorHandler[];                 // the video thread
extern const char CFrameHookHandler[];             // the video thread
extern const char CVideoHookHandler[];             // the video thread
extern const char CAudioHookHandler[];             // SDL's audio thread
// Not a handler: the caller of a waited Open while it waits for the read thread's verdict.
extern const char CWaitedOpen[];

// ---- Per-player settings read by the engine ---------------------------------------------

class TPlayerCore {
 public:
  TPlayerCore() = default;
  virtual ~TPlayerCore() = default;
  TPlayerCore(const TPlayerCore&) = delete;
  TPlayerCore& operator=(const TPlayerCore&) = delete;

  // Logs AText at ALevel with the player as sender and, with AKeep, keeps it as the
  // last error.
  void ReportError(const std::string& AText, bool AKeep);
  void Log(FFLoad::TLogLevel ALevel, const std::string& AText);
  std::string LastErrMsg() const;
  void SetLastErrMsg(const std::string& AText);

  // The object named as the sender of log lines and events (the component).
  Platform::TObject* LogSender = nullptr;

  // Audio output. Mute and the volume are read by the audio callback at every call.
  std::atomic<bool> Mute{false};
  std::atomic<int> AudioVolume{SDL_MIX_MAXVOLUME};  // 0 .. 128
  std::atomic<bool> AudioHook{false};
  // Assigned by the host before an open; called on the SDL audio thread.
  FFBaseComponent::TAudioHookEvent OnAudioHook;
  // Tempo and pitch change through SoundTouch when its library allows it.
  bool UseSoundTouch = true;
  // The SDL playback device; empty: the system default.
  std::string AudioDevice;
  // Set by audio_open; read by the close of the audio stream.
  std::atomic<SDL_AudioDeviceID> audio_dev{0};
  // The relative time of the last audio callback, microseconds.
  std::atomic<std::int64_t> audio_callback_time{0};

  // Sync and speed: copied into each new stream state.
  int av_sync_type = AV_SYNC_AUDIO_MASTER;
  float pitch = 1.0f;      // pitch factor
  double speed = 1.0;      // starting speed of the clocks
  // Early and late frame dropping: > 0 always, 0 never, < 0 when video is not the master.
  int framedrop = -1;
  int decoder_reorder_pts = -1;

 private:
  mutable std::mutex FErrLock;
  std::string FLastErrMsg;  // Guarded by FErrLock.
};

// ---- Stream state -----------------------------------------------------------------------------

// A pointer that one thread sets while others read it, with the plain pointer's syntax:
// a stream's AVStream is set when its component opens (the audio callback already runs
// when the video component opens) and cleared when it closes (the video thread still runs
// when the audio component closes).
template <class T>
class TSharedPointer {
 public:
  TSharedPointer() = default;
  TSharedPointer(const TSharedPointer&) = delete;
  TSharedPointer& operator=(const TSharedPointer&) = delete;
  TSharedPointer& operator=(T* AValue) {
    FValue.store(AValue);
    return *this;
  }
  operator T*() const { return FValue.load(); }
  T* operator->() const { return FValue.load(); }

 private:
  std::atomic<T*> FValue{nullptr};
};

struct TVideoState {
  TVideoState() = default;
  TVideoState(const TVideoState&) = delete;
  TVideoState& operator=(const TVideoState&) = delete;

  // Immutable while the stream is open.
  TPlayerCore* owner = nullptr;
  AVFormatContext* ic = nullptr;
  int realtime = 0;
  std::int64_t start_time = 0;   // the input's start time, microseconds (0 when unknown)
  std::int64_t duration = -1;    // the input's duration, microseconds (-1 when unknown)
  double max_frame_duration = 3600.0;
  int av_sync_type = AV_SYNC_AUDIO_MASTER;

  std::atomic<int> abort_request{0};
  // Set by stream_close before it aborts the stream: the read thread then leaves without
  // asking the play loop to quit.
  std::atomic<bool> closing{false};
  std::atomic<int> force_refresh{0};
  std::atomic<int> paused{0};
  int last_paused = 0;
  // Frame stepping: 1 first phase (the next frame is shown, then playback pauses), 2
  // second phase.
  std::atomic<int> step{0};
  std::atomic<int> show_mode{SHOW_MODE_NONE};

  TClock audclk;
  TClock vidclk;
  TClock extclk;

  // The master clock's type, computed once per stream.
  std::mutex master_lock;
  int master_sync_type = AV_SYNC_AUDIO_MASTER;  // Guarded by master_lock.
  bool master_sync_valid = false;               // Guarded by master_lock.

  TFrameQueue pictq;
  TFrameQueue subpq;
  TFrameQueue sampq;

  TDecoder auddec;
  TDecoder viddec;
  TDecoder subdec;

  TPacketQueue audioq;
  TPacketQueue videoq;
  TPacketQueue subtitleq;

  // Set by the component opens (read thread), cleared by their closes; every thread reads.
  std::atomic<int> audio_stream{-1};
  std::atomic<int> video_stream{-1};
  std::atomic<int> subtitle_stream{-1};
  TSharedPointer<AVStream> audio_st;
  TSharedPointer<AVStream> video_st;
  TSharedPointer<AVStream> subtitle_st;

  // Owned by the audio callback (SDL's audio thread) while the device runs.
  double audio_clock = NAN;
  int audio_clock_serial = -1;
  double audio_diff_cum = 0;        // used for A/V difference average computation
  double audio_diff_avg_coef = 0;
  double audio_diff_threshold = 0;
  int audio_diff_avg_count = 0;
  int audio_hw_buf_size = 0;
  std::uint8_t* audio_buf = nullptr;    // points into audio_buf1, st_buf or a frame
  std::uint8_t* audio_buf1 = nullptr;   // the resampler's output (av_fast_malloc)
  unsigned int audio_buf1_size = 0;
  unsigned int audio_buf_size = 0;      // bytes
  int audio_buf_index = 0;              // bytes
  std::atomic<int> audio_write_buf_size{0};
  std::atomic<bool> audio_eof{false};   // the last decode ended the stream
  // Where the decoded audio ended (stream time, microseconds): the end of its last frame,
  // known once the audio has run out; AV_NOPTS_VALUE before.
  std::atomic<std::int64_t> audio_end_time{AV_NOPTS_VALUE};
  TAudioParams audio_src;
  TAudioParams audio_tgt;
  SwrContext* swr_ctx = nullptr;
  // SoundTouch: the instance and what it was last given.
  void* soundtouch = nullptr;
  unsigned int st_channels = 0;
  unsigned int st_rate = 0;
  double st_tempo = 1.0;
  float st_pitch = 1.0f;
  std::uint8_t* st_buf = nullptr;
  unsigned int st_buf_size = 0;
  float pitch = 1.0f;  // the stream's pitch factor, from the player

  // The visualisation ring: written by the audio callback, read by the display.
  std::mutex sample_lock;
  std::int16_t sample_array[SAMPLE_ARRAY_SIZE]{};  // Guarded by sample_lock.
  int sample_array_index = 0;                       // Guarded by sample_lock.

  // Set by the video thread when it leaves (a filter graph that cannot be built, an
  // error, the close): no picture comes any more, so nothing waits for one.
  std::atomic<bool> video_ended{false};
  // Owned by the video thread.
  int frame_drops_early = 0;
  double frame_last_returned_time = 0;
  double frame_last_filter_delay = 0;
  int frame_width = 0;
  int frame_height = 0;

  // Owned by the play loop.
  double frame_timer = 0;
  double last_vis_time = 0;
  std::atomic<int> frame_drops_late{0};
  int width = 0, height = 0, xleft = 0, ytop = 0;

  // ---- The engine's part (read thread, decoder threads, play loop) ----
  std::mutex read_tid_lock;  // held while the read thread is created and its handle stored
  SDL_Thread* read_tid = nullptr;
  const AVInputFormat* iformat = nullptr;  // forced input format
  std::string filename;                    // UTF-8
  bool custom_format = false;              // iformat comes from the custom registry
  int last_video_stream = -1, last_audio_stream = -1, last_subtitle_stream = -1;

  // The seek request: set by stream_seek, served by the read thread. Guarded by
  // seek_lock; seek_req is read without it as the wake-up test.
  std::mutex seek_lock;
  std::atomic<int> seek_req{0};
  int seek_flags = 0;
  std::int64_t seek_pos = 0;
  std::int64_t seek_rel = 0;
  std::atomic<int> read_pause_return{0};
  std::atomic<int> queue_attachments_req{0};
  SDL_cond* continue_read_thread = nullptr;

  // 0 pending, 1 open, -1 failed, -2 failure handed to the fail thread.
  std::atomic<int> open_result{0};
  bool wait_open = false;  // the caller of Open waits for the result
  void* memory_stream = nullptr;  // the host stream object behind the memory protocol
  std::atomic<int> eof{0};
  int error_reported = 0;
  bool is_image2 = false;
  bool is_live = false;  // a live capture input: never ends
  std::atomic<bool> in_read{false};  // inside av_read_frame
  std::atomic<bool> ended{false};    // the end of playback was reported

  // Position-report bookkeeping.
  std::atomic<int> pictures_since_seek{0};  // pictures shown (output side), reset by a seek
  std::atomic<bool> audio_played_since_seek{false};
  // Seeks served by the read thread, and (play loop) the count when the position last
  // reached the playing range's end: the range-end action runs once per reached end.
  std::atomic<int> seeks_served{0};
  int range_end_seeks = -1;
  // (Position lock) the count of served seeks when a current clock reading was last
  // reported, and whether the output side has reported a position of this stream.
  int position_seeks = -1;
  bool reports_positions = false;
  // (Stream lock) the play loop has reported psPlay: Pause and Resume report from then on.
  bool play_reported = false;

  // Display flags of the output side (see the picture timing).
  std::atomic<int> seek_pending_while_paused{0};
  std::atomic<int> first_frame_while_paused{0};
  std::atomic<bool> drop_to_latest{false};
  bool no_late_drop = false;

  // Filter graphs.
  int filter_nbthreads = 0;  // the player's "filter_threads" when the stream opened
  int infinite_buffer = -1;  // the player's "infbuf", 1 for real-time inputs
  AVFilterGraph* agraph = nullptr;  // Owned by the audio decoder thread.
  AVFilterContext* in_audio_filter = nullptr;
  AVFilterContext* out_audio_filter = nullptr;
  TAudioParams audio_filter_src;
  AVFilterContext* in_video_filter = nullptr;   // Owned by the video decoder thread.
  AVFilterContext* out_video_filter = nullptr;
};

}  // namespace FFBasePlay
