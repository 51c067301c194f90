// The engine half of the player component: a port of the playback tool packaged as a
// component. It owns the option table and option parsing, the public operations (open,
// stop, pause, resume, seek), library and SDL start-up, the player's events and threads,
// and declares the rendering operations that the output class supplies.
//
// Threads of an open player:
// - the caller's thread (normally the main thread): every public operation;
// - the read thread (SDL, "read_thread"): opens the input (unless the open runs in the
//   caller) and feeds the packet queues; it hands an open that was not waited for to
//   the main thread, which completes it (OnFileOpen, the threads below) from its queue;
// - the decoder threads (SDL, "audio_decoder", "video_decoder", "subtitle_decoder");
// - SDL's audio thread: the audio callback;
// - the play thread (TPlayThread): the play loop, which handles the player's event queue
//   and calls video_refresh;
// - the event thread (TFFEventThread): delivers position and state reports to the host
//   through the hidden message window (0x401 posted, 0x402 sent);
// - the fail thread (TFailThread): closes a stream whose open (one that nobody waits for)
//   failed on the read thread and raises OnOpenFailed; a waited Open raises it itself;
// - one SDL event thread per process (TSDLEventThread): pumps SDL and forwards window
//   and quit events to the players.
//
// Locks, in the order they may be taken:
// 1. the stream lock (LockStream): the play loop around event handling and
//    video_refresh (the output side lets go of it while it makes its display, see
//    WithoutStreamLock); Stop's wait while it decides to close from the caller's thread; the
//    public operations while they touch the open stream (a stream that closes on its own
//    is then never freed under them). A stream is closed under it, and closing joins the
//    read and decoder threads: those threads never wait for it (the read thread hands
//    the range-end action to the play loop; a host's call from a handler on one of them
//    only tries it, and gives up once the stream closes);
// 2. FOpenLock: the hand-over of a stream from opening to open (see below);
// 3. the player list's lock (process-wide): registration and the SDL event thread's
//    dispatch; it takes a player's event queue lock inside;
// 4. FPositionLock: the position reports (the play loop's, and the final one that goes
//    ahead of the end of playback on the read thread); it takes the ring's lock inside;
// 5. the queues' own locks, the clocks' locks, the report ring's lock (leaves).
// SDLLoader's lock is held around the audio device open only.
//
// Handlers: the player keeps the handler contract of runtime/MyUtils.h ("Handlers"). Its
// events run on these threads:
// - OnPosition, OnPosition2 and OnState: the main thread, through the hidden window (the
//   event thread waits for OnState);
// - OnFileOpen and OnBeforeFindStreamInfo: the main thread with TriggerEventInMainThread
//   (the read thread waits for OnBeforeFindStreamInfo), else the thread that completes
//   the open (the caller of a waited Open, or the read thread);
// - OnOpenFailed: the caller of Open, or the fail thread's delivery (the main thread with
//   TriggerEventInMainThread; the fail thread waits for it);
// - OnError, OnFrameHook and the output side's video hook: the video thread; OnAudioHook:
//   SDL's audio thread.
// The player may be freed from OnPosition, OnPosition2, OnState, OnOpenFailed (also on
// the fail thread) and from OnFileOpen on the main thread; a free from the other events
// is refused. OnFileOpen runs before the open is complete: a call from there that would
// wait for the completion (a waited Seek, an Open) fails at once (LastErrMsg), and
// Stop(True) closes the stream at once. The stream closes only once a handler on one of
// its threads (OnError, the hooks) has returned: from there Stop(True) asks for the stop
// as Stop(False) does, and a waited Seek or an Open fails at once. A stream that a
// handler replaces (Open, TryOpen) is reported stopped (psStop) before the next one
// plays, whichever handler it was.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "components/FFBaseComponent.h"
#include "components/FFBasePlayQueues.h"
#include "components/FFBasePlayState.h"
#include "components/FFDecode.h"
#include "platform/Dispatcher.h"
#include "platform/Sync.h"
#include "runtime/CmdUtils.h"

namespace FormatConvert {
class TFormatConverter;
}
namespace MyUtils {
struct THandlerFrame;
}

namespace FFBasePlay {

using FFBaseComponent::TPlayState;
using FFBaseComponent::TSeekFlags;
using TNotifyEvent = Platform::TMethod<void(Platform::TObject* Sender)>;

constexpr Platform::Cardinal WM_PLAYER_POSITION = 0x401;  // posted
constexpr Platform::Cardinal WM_PLAYER_STATE = 0x402;     // sent

// What the range-end action does when the "ss"/"t" range or the file ends.
enum TRangeEndAction : int {
  reNothing = 0,
  reStop = 1,
  reSeekBack = 2,
  rePause = 3,
  rePauseSeekBack = 4,
  reReportEnd = 5,
};

// One report for the event thread: a position (microseconds, bytes) or a state.
struct TReport {
  int Kind = 0;  // 0 none, 1 position, 2 state, 3 end of delivery
  std::int64_t Position = 0;
  std::int64_t Bytes = 0;
  TPlayState State = FFBaseComponent::psStop;
};
constexpr int CReportPosition = 1;
constexpr int CReportState = 2;
constexpr int CReportEnd = 3;

// The ring of 10 reports between the engine and the event thread. A report of the same
// kind as the newest one replaces it (positions collapse into the latest), except that
// state reports never replace one another: every state reaches the host. A full ring
// drops its oldest report.
class TReportRing {
 public:
  static constexpr int CCapacity = 10;
  void Push(const TReport& AReport);
  // The oldest report, or one of kind 0 when the ring is empty (its event is then reset).
  TReport Pop();
  void Clear();
  int Count() const;
  // Set while reports wait.
  Platform::TEvent& Event() { return FEvent; }

 private:
  mutable std::mutex FLock;
  // Guarded by FLock.
  TReport FRing[CCapacity];
  int FRead = 0;
  int FCount = 0;
  Platform::TEvent FEvent{true, false};
};

class TPlayThread;
class TFFEventThread;
class TFailThread;

class TFFBasePlayer : public FFBaseComponent::TFFBaseComponent, public TPlayerCore {
 public:
  explicit TFFBasePlayer(Platform::TComponent* AOwner = nullptr);
  // Freed with delete, the player shuts down (ShutDown) before any destructor of its
  // classes runs, so no thread of it calls a virtual operation of a descendant already
  // destroyed. A player that is not freed with delete (a member, on the stack) is shut
  // down by the destructor of each of its classes that calls ShutDown: the output side's
  // and this one, which then frees what the player owns.
  void BeforeDestruction() override;
  ~TFFBasePlayer() override;

  // ---- Libraries ----
  // FFLoader has loaded the player's libraries (the FFmpeg libraries, the C run-time and
  // SDL2).
  bool LibrariesLoaded() const;
  // Loads them from APath, then SoundTouch when present (its absence is only logged).
  bool LoadLibraries(const std::string& APath);

  // ---- Operations (main thread) ----
  // Opens AFileName with the ffplay-style AOptions and waits for the result; raises
  // OnOpenFailed and returns False on failure (LastErrMsg tells why).
  bool Open(const std::string& AFileName, Platform::HWND AScreenHandle = nullptr,
            const std::string& AOptions = "");
  // The same without waiting: the read thread opens the input and the main thread
  // completes the open from its queue, or the fail thread raises OnOpenFailed.
  bool TryOpen(const std::string& AFileName, Platform::HWND AScreenHandle = nullptr,
               const std::string& AOptions = "");
  // Closes the stream: with AWait returns once the play thread has ended. An open in
  // progress (Opening(), until its completion has begun: OnFileOpen is about to be
  // raised) is cancelled instead: it never plays and ends as a failed open (OnOpenFailed,
  // LastErrMsg), and with AWait the call returns once it has ended, nothing of it
  // reaching the host afterwards (not from inside OnBeforeFindStreamInfo, nor for a
  // waited Open, whose caller sees it fail). From OnFileOpen, with AWait, the stream is
  // closed at once (the play thread starts after the handler and ends at once); when
  // the open is completed on the read thread (TriggerEventInMainThread off) that cannot
  // be done there: the quit is only requested and the call fails (LastErrMsg).
  void Stop(bool AWait);
  void Pause();
  void Resume();
  // Seeks to APosition (microseconds from the start, or bytes with sfByte). With AWait
  // returns once the seek was served (and a new picture arrived, with video); from
  // OnFileOpen, where playback has not started yet, the seek is requested and the wait
  // fails at once (LastErrMsg).
  void Seek(TSeekFlags AFlags, bool AWait, std::int64_t APosition);
  void RequestRefresh();
  // Waits up to ATimeout ms for the stream lock. From a handler on a thread of the
  // stream (OnError, the hooks) a wait without limit ends with wrAbandoned once the
  // stream closes (its closer waits for that thread).
  Platform::TWaitResult LockStream(Platform::Cardinal ATimeout);
  void UnlockStream();

  // Parses an option string into the option targets: True on success; False with the
  // error text (and a handler's message) in LastErrMsg.
  bool ParseOptions(const std::string& AOptions);
  const std::string& OptionString() const { return FOptionString; }
  CmdUtils::POptionDef OptionDef() const { return FOptionTable.data(); }

  // ---- State ----
  bool Opened() const { return FStream.load() != nullptr; }
  bool Opening() const { return FOpening.load(); }
  bool Paused();
  TPlayState State() const { return FState.load(); }
  std::string FileName() const;
  // The values last delivered to the host (main thread).
  std::int64_t DeliveredPosition() const { return FDeliveredPosition.load(); }
  std::int64_t DeliveredBytes() const { return FDeliveredBytes.load(); }
  TPlayState DeliveredState() const { return FDeliveredState.load(); }
  FFDecode::TVIZoravaz* Decoder() const { return FDecoder; }
  // The open stream's state (nullptr when none); valid while the stream is open.
  TVideoState* Stream() const { return FStream.load(); }
  // The reports waiting for the event thread.
  TReportRing& Reports() { return FReports; }

  // ---- Published settings ----
  // The display's size: the host and the play thread (on a resize of the window) set it,
  // the video thread reads it for the default window size.
  std::atomic<int> ScreenWidth{0};
  std::atomic<int> ScreenHeight{0};
  bool TriggerEventInMainThread = true;
  std::atomic<bool> FrameHook{false};
  std::atomic<bool> VideoHook{false};
  std::string GetAudioDriver() const;
  void SetAudioDriver(const std::string& AValue);
  std::string GetVideoDriver() const;
  void SetVideoDriver(const std::string& AValue);

  // Published events.
  FFBaseComponent::TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
  TNotifyEvent OnOpenFailed;
  FFBaseComponent::TPositionEvent OnPosition;
  FFBaseComponent::TPosition2Event OnPosition2;
  FFBaseComponent::TFrameHookEvent OnFrameHook;
  FFBaseComponent::TPlayStateEvent OnState;
  FFBaseComponent::TFileOpenEvent OnFileOpen;
  FFBaseComponent::TErrorNotifyEvent OnError;

  // ---- Option targets (the option string writes them; Open resets most per open) ----
  std::int32_t audio_disable = 0;
  std::int32_t video_disable = 0;
  std::int32_t subtitle_disable = 0;
  std::int32_t display_disable = 0;
  char* wanted_stream_spec[AVMEDIA_TYPE_NB] = {};
  std::int32_t seek_by_bytes = -1;
  std::int64_t start_time = AV_NOPTS_VALUE;  // microseconds
  std::int64_t duration = AV_NOPTS_VALUE;    // microseconds
  std::int32_t fast = 0;
  std::int32_t genpts = 0;
  std::int32_t lowres = 0;
  std::int32_t infinite_buffer = -1;
  char* audio_codec_name = nullptr;
  char* subtitle_codec_name = nullptr;
  char* video_codec_name = nullptr;
  double rdftspeed = 0.02;  // seconds
  std::int32_t autorotate = 1;
  std::int32_t find_stream_info = 1;
  std::int32_t filter_nbthreads = 0;
  std::int32_t is_full_screen = 0;
  std::int32_t start_paused = 0;
  std::int32_t convert_colorspace = 0;
  double max_frame_duration = 0.0;
  std::int64_t memory_stream = 0;
  const AVInputFormat* file_iformat = nullptr;
  // The target of "rdftspeed": milliseconds, -1 while not given. The setting itself is
  // the Double rdftspeed in seconds, set from it after each parse.
  std::int32_t rdftspeed_ms = -1;

  // ---- Public settings ----
  // The ffplay-style filter descriptions; the decoder threads read them while playing (a
  // changed video filter text rebuilds the video graph).
  std::string GetVideoFilters() const;
  void SetVideoFilters(const std::string& AValue);
  std::string GetAudioFilters() const;
  void SetAudioFilters(const std::string& AValue);
  std::atomic<bool> RebuildFilters{false};
  bool RebuildOnSeek = false;
  std::atomic<int> FilterGeneration{0};
  std::atomic<int> RangeEndAction{reNothing};
  std::int64_t PositionThreshold = 30000;  // microseconds
  bool ResumeVideoClock = false;
  bool PreferAudioPosition = false;
  bool EndOnIOEof = true;
  bool StopOnIOError = true;
  bool EofOnPermError = true;
  bool VerticalFlip = false;
  bool OpenInCaller = false;
  std::atomic<int> ShowMode{SHOW_MODE_NONE};
  // The I/O watchdog's time of the last activity (microseconds); INT64_MAX disables it,
  // 0 cancels a blocking open.
  std::atomic<std::int64_t> IOActivityTime{INT64_MAX};
  // The accepted pixel formats of the video filters' output, ended by -1: at most 18
  // formats. The output side fills it (FillSupportedPixelFormats) with
  // ClearPixelFormats and AddPixelFormat, which keep the end mark in place.
  static constexpr int CPixelFormatSlots = 19;
  int PixelFormats[CPixelFormatSlots];
  void ClearPixelFormats();
  // Appends AFormat; False (nothing changed) when the list is full.
  bool AddPixelFormat(int AFormat);
  int PixelFormatCount() const;
  // The display background colour (red, green, blue).
  std::uint8_t BackgroundColor[3] = {255, 255, 255};

  // ---- For the output side and the engine's threads ----
  // Reports the state to the host (through the event thread).
  void ReportState(TPlayState AState);
  // Reports the position of the open stream (after each display step).
  void ReportPosition();
  // Reports the end of playback (read thread): the final position first, when positions
  // are reported (a display, or a report came), then psEnd.
  void ReportEnd(TVideoState* is);
  // Runs the range-end action once the position has passed the "ss"/"t" range (play
  // loop, after each refresh step, with or without a display).
  void CheckRangeEnd(TVideoState* is);
  // The range-end action (the "ss"/"t" range or the file has ended).
  void DoRangeEnd();
  // Logs AText as an error; with AKeep keeps it as LastErrMsg.
  using TPlayerCore::ReportError;
  // The picture-arrived event: set by the video thread after each picture.
  Platform::TEvent& PictureArrived() { return FPictureArrived; }
  // Raises OnError (video thread).
  void DoError(FFBaseComponent::TErrorType AError, const std::string& AMessage);
  // Raises OnFrameHook for a picture when FrameHook is on (video thread).
  void DoFrameHook(AVFrame* AFrame, double APts);
  // The "seek pending" flag of the video thread.
  std::atomic<bool> VideoSeekPending{false};
  // Asks the play loop to close the stream (the quit event).
  void RequestQuit();
  // Queues a window event of this player's SDL window (SDL event thread).
  void ForwardWindowEvent(const SDL_Event& AEvent);
  // Queues an event for the play loop.
  void PushEvent(const SDL_Event& AEvent);
  // The SDL window the output side renders into (0: none); set by the output side.
  std::atomic<Uint32> FWindowID{0};
  // Raises the state and position events (the hidden window's message method).
  void WndProc(Platform::TMessage& AMessage);

  // ---- Rendering operations of the output class ----
  // Runs the hooks on a decoded picture and queues it; 0, or -1 when the queue was
  // aborted (video thread).
  virtual int queue_picture(TVideoState* is, AVFrame* src_frame, double pts, double duration,
                            std::int64_t pos, int serial) = 0;
  // The subtitle decoding loop (subtitle thread).
  virtual int subtitle_thread(TVideoState* is) = 0;
  // One display step; lowers remaining_time to the time until the next due action (play
  // loop, under the stream lock).
  virtual void video_refresh(TVideoState* is, double& remaining_time) = 0;
  virtual void HandleUserEvent(TVideoState* is, const SDL_Event& AEvent);
  virtual void FillSupportedPixelFormats(TVideoState* is);
  virtual void show_usage();
  virtual void DoFileOpen() = 0;
  virtual void SetShowMode(int AMode) = 0;
  virtual bool GetCurrentBitmap(Platform::TBitmap*& ABitmap, std::int64_t& APTS) = 0;
  virtual void SetScreenHandle(Platform::HWND AHandle);
  virtual void CloseDisplay();

 protected:
  // Ends the player before its parts go: from here on no event reaches the host, an
  // open in progress is cancelled (its completion raises nothing), the stream is closed
  // and every thread of the player has ended. It may run more than once. Called from a
  // handler, it leaves the thread that waits for that handler to end by itself; called
  // from a handler that a free cannot be supported from, it ends the process with
  // MyUtils::RefuseFreeFromHandler's text.
  void ShutDown();
  // Raises OnFileOpen for DoFileOpen; False when a handler freed the player (the caller
  // returns at once then, touching nothing of it).
  bool RaiseFileOpen(std::int64_t ADuration, int AFrameWidth, int AFrameHeight, int& AWidth,
                     int& AHeight);
  // Sets the default window size from a picture's size and aspect (used at open).
  void set_default_window_size(int width, int height, AVRational sar);
  // Written by the read and video threads, read by the play loop when it opens the display.
  std::atomic<int> default_width{640};
  std::atomic<int> default_height{480};
  Platform::HWND FScreenHandle = nullptr;
  // For the play loop's display step, which holds the stream lock once (around
  // video_refresh): runs AWork with the stream lock let go, so that the host's calls do
  // not wait for slow work of the output side. True when AStream is still the open stream
  // afterwards; else it was closed meanwhile and is gone.
  template <class F>
  bool WithoutStreamLock(TVideoState* AStream, F&& AWork) {
    {
      FStreamLock.unlock();
      struct TRelock {
        std::recursive_mutex& M;
        ~TRelock() { M.lock(); }
      } relock{FStreamLock};
      AWork();
    }
    return FStream.load() == AStream;
  }
  // The open stream under the stream lock, for AWork; False without a stream (or, from a
  // handler on a thread of the stream, once it closes). The stream cannot close meanwhile.
  template <class F>
  bool WithStream(F&& AWork) {
    std::unique_lock<std::recursive_mutex> g(FStreamLock, std::defer_lock);
    if (!LockStreamFromCall(g)) return false;
    TVideoState* is = FStream.load();
    if (!is) return false;
    AWork(is);
    return true;
  }

 private:
  // Shared with whoever must know, after a handler returned, whether the player still
  // exists: True until the destructor has run.
  using TLife = std::shared_ptr<std::atomic<bool>>;
  friend class TPlayThread;
  friend class TFFEventThread;
  friend class TFailThread;
  friend struct TEngineAccess;

  bool DoOpen(const std::string& AFileName, Platform::HWND AScreenHandle,
              const std::string& AOptions, bool AWaitOpen);
  void OpenFailed();
  // Completes an open: OnFileOpen, then the event and play threads. AOnReadThread: run by
  // the read thread itself (TriggerEventInMainThread off).
  void OpenCompleted(bool AOnReadThread);
  // The read thread's hand-over of a completed open that nobody waits for: completed on
  // the main thread (posted, so that the read thread never waits for a handler) or, with
  // AOnReadThread (TriggerEventInMainThread off), on the read thread.
  void CompleteOpenLater(bool AOnReadThread);
  // Under FOpenLock: makes the stream whose input was opened the open stream; False when
  // a Stop cancelled the open meanwhile (reported; the stream stays with the opener,
  // whose open fails). ACommit: the completion follows on this thread at once, and a
  // Stop from then on stops the stream.
  bool HandOverStream(TVideoState* is, bool ACommit);
  // A Stop cancelled the open before its completion began (main thread): the stream is
  // closed and the open fails.
  void CancelCompletion();
  // Waits, serving the main thread's queue, until a cancelled open has ended and its
  // failure has been raised.
  void WaitOpenEnded();
  // Waits for the fail thread to end (it may still be raising OnOpenFailed).
  void JoinFailThread();
  static void RaiseBeforeFindStreamInfoOf(TFFBasePlayer* APlayer);
  static constexpr const char* COpenCancelled = "The open was cancelled by Stop.";
  static void RaiseFileOpenOf(TFFBasePlayer* APlayer);
  // The handler that runs on the calling thread when that thread is one of the stream's
  // own (OnError and the hooks: the video thread, SDL's audio thread), which closing the
  // stream waits for; nullptr otherwise. A call from there never waits for the stream.
  const MyUtils::THandlerFrame* StreamThreadHandler() const;
  // Takes the stream lock into ALock. From a StreamThreadHandler it gives up (False) once
  // the stream closes: its closer holds the lock while it waits for that thread.
  bool LockStreamFromCall(std::unique_lock<std::recursive_mutex>& ALock);
  // Waits until ADone holds or the process terminates, serving the main thread's queue
  // (MyUtils::WaitServing); False when a handler run meanwhile freed the player: the
  // caller then returns at once, touching nothing of it.
  bool ServeUntil(const std::function<bool()>& ADone);
  // The state of the player without a stream (the range apart).
  void ResetPlaybackState();
  // Unless FKeepRange is on: no range ("ss", "t"), range-end action 0, byte seeking
  // automatic.
  void ResetRange();
  void InitOptionsContext();
  void FreeOptionStrings();
  int ParseStep(int argc, char** argv);
  bool StartSDL();
  void SyncCall(void (*AFunc)(TFFBasePlayer*));
  static void RaiseOpenFailedOf(TFFBasePlayer* APlayer);
  void StopEventThread();
  void StartFailThread(TVideoState* is);
  static bool TryLockStreamFor(std::unique_lock<std::recursive_mutex>& ALock,
                               Platform::Cardinal AMilliseconds);
  // The calling thread holds the stream lock through LockStream.
  bool HoldsStreamLock() const;
  void JoinWorkerThreads();
  void PushReport(const TReport& AReport);
  // The position of the open stream by the clock the reports follow: UseAudio tells
  // which; Clock is read with its serial check off, Current with it (NaN while the clock
  // still shows the time before a seek); Position in microseconds from the start.
  struct TPositionReading {
    bool UseAudio = false;
    double Clock = 0;
    double Current = 0;
    std::int64_t Position = 0;
  };
  // False while there is none (no audio played since the last seek).
  bool ReadPosition(TVideoState* is, TPositionReading& AReading);
  // The byte position of the last frame shown of the reports' source (else of the other
  // source, else the input's offset); -1 when unknown.
  std::int64_t BytePosition(TVideoState* is, bool AUseAudio);
  // Reports psPlay, then psPause when the stream is paused already (play loop).
  void ReportPlaying();
  static void ShowHelpDefault(void* AOptionsCtx, const char* ATopic, const char* AParam);

  // Option handlers.
  static int opt_width(void* o, const char* opt, const char* arg);
  static int opt_height(void* o, const char* opt, const char* arg);
  static int opt_format(void* o, const char* opt, const char* arg);
  static int opt_codec(void* o, const char* opt, const char* arg);

  // ---- The engine (FFBasePlayEngine.cpp) ----
  bool stream_open(const std::string& AFileName, const AVInputFormat* AInputFormat,
                   bool AWaitOpen, bool AStartPaused);
  static int read_thread(void* arg);
  int read_thread_open(TVideoState* is);
  int read_loop(TVideoState* is);
  int stream_component_open(TVideoState* is, int stream_index);
  void stream_component_close(TVideoState* is, int stream_index);
  void stream_close(TVideoState* is);
  // Requests a seek; False when one is pending already.
  bool stream_seek(TVideoState* is, int AFlags, std::int64_t ARelative, std::int64_t APosition);
  void stream_toggle_pause(TVideoState* is);
  int configure_video_filters(AVFilterGraph* graph, TVideoState* is, const char* vfilters,
                              AVFrame* frame);
  int configure_audio_filters(TVideoState* is, const char* afilters, bool force_output_format);
  static int audio_thread(void* arg);
  static int video_thread(void* arg);
  static int subtitle_thread_entry(void* arg);
  static int decode_interrupt_cb(void* ctx);
  void event_loop();
  bool refresh_loop_wait_event(SDL_Event& AEvent);
  void CloseStream();
  void FreeStream(TVideoState* is);

  // Guarded by the caller (main thread).
  std::vector<CmdUtils::TOptionDef> FOptionTable;
  CmdUtils::TDefaultOptions FOptions{};
  std::string FOptionString;
  char** FArgv = nullptr;
  mutable std::mutex FFileNameLock;
  std::string FFileName;  // Guarded by FFileNameLock (the play thread clears it).
  mutable std::mutex FDriversLock;
  std::string FAudioDriver, FVideoDriver;  // Guarded by FDriversLock.

  // The hand-over of a stream from opening to open (the read thread or the caller of a
  // waited Open), the fail thread's release of a stream whose open failed, and Stop's
  // choice between quitting the open stream and cancelling the opening one happen under
  // FOpenLock, so that Stop never reaches a freed stream nor misses one in between. A
  // stream published in FStream stays there until CloseStream (under the stream lock).
  std::mutex FOpenLock;
  std::atomic<TVideoState*> FStream{nullptr};         // the open stream
  std::atomic<TVideoState*> FOpeningStream{nullptr};  // a stream being opened
  // Guarded by FOpenLock: the completion of the open stream's open has begun (a Stop
  // before it cancels the open; a Stop after it stops the stream).
  bool FOpenCommitted = false;
  AVFormatContext* FOpeningContext = nullptr;  // for OnBeforeFindStreamInfo (read thread)
  std::atomic<bool> FOpening{false};
  // Set by a read thread whose open failed for a caller that waits (Open raises
  // OnOpenFailed once it has closed the stream).
  bool FOpenFailedOnReadThread = false;
  std::atomic<bool> FPlayLoopStarted{false};
  // Set first by ShutDown: no event reaches the host any more.
  std::atomic<bool> FDestroying{false};
  // For the threads and the queued calls that outlive a handler that freed the player.
  TLife FLife = std::make_shared<std::atomic<bool>>(true);
  // The open being completed runs on its own read thread.
  std::atomic<bool> FCompletionOnReadThread{false};
  // Set while Open closes the previous stream: what was just parsed is kept.
  std::atomic<bool> FKeepRange{false};
  mutable std::mutex FFiltersLock;
  std::string FVideoFilters;  // Guarded by FFiltersLock.
  std::string FAudioFilters;  // Guarded by FFiltersLock.
  bool FCustomFormat = false;  // "f" named a format of the custom registry
  std::atomic<TPlayState> FState{FFBaseComponent::psStop};
  // The throttle of the position reports: the reports write it under FPositionLock.
  std::mutex FPositionLock;
  std::atomic<std::int64_t> FLastPosition{AV_NOPTS_VALUE};
  std::atomic<std::int64_t> FLastBytes{-1};
  // Written by the event thread, read by the message method on the main thread.
  std::atomic<std::int64_t> FDeliveredPosition{0};
  std::atomic<std::int64_t> FDeliveredBytes{0};
  std::atomic<TPlayState> FDeliveredState{FFBaseComponent::psStop};

  FFDecode::TVIZoravaz* FDecoder = nullptr;  // owned (a component of this player)
  std::unique_ptr<FormatConvert::TFormatConverter> FConverter1, FConverter2;
  TEventQueue FEventQueue;
  // Re-entrant: the range-end action runs the public operations from inside the play
  // loop's display step, which holds it already.
  std::recursive_mutex FStreamLock;
  // The thread that holds the stream lock through LockStream, and how often (the depth
  // is guarded by the lock itself).
  std::atomic<std::thread::id> FHostLockOwner{};
  int FHostLockDepth = 0;
  Platform::TEvent FSeekServed{true, true};
  Platform::TEvent FPictureArrived{true, true};
  Platform::TEvent FPlayDone{true, true};
  TReportRing FReports;
  Platform::HWND FMsgWnd = nullptr;
  bool FUseMsgWnd = true;

  // The threads this player owns; joined before the next open and by the destructor.
  std::unique_ptr<TFFEventThread> FEventThread;
  std::unique_ptr<TPlayThread> FPlayThread;
  std::mutex FFailLock;
  std::unique_ptr<TFailThread> FFailThread;  // Guarded by FFailLock.
};

// The process-wide list of players (the SDL event thread dispatches to it).
void RegisterPlayer(TFFBasePlayer* APlayer);
void UnregisterPlayer(TFFBasePlayer* APlayer);

}  // namespace FFBasePlay
