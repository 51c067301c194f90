// One conversion task: an ffmpeg-style command line parsed once and run once, on the
// caller's thread or on a convert thread of its own, with pause, resume, stop and
// terminate, the task's error text, the terminate notification, the video hooks, the
// periodic preview (a bitmap event or a small window), the transcode loop with its
// progress report, and the per-frame data routines every stage of the engine uses.
//
// Threads and locks of a task
// - The host thread (normally the main thread) calls Start, Stop, Pause, Resume,
//   Terminate, SetPreviewFlags and destroys the task.
// - The job runs on the task's convert thread (asynchronous start) or on the caller of
//   Start (synchronous start): transcode drives the scheduler and prints the reports;
//   the progress event runs there.
// - Decoder and encoder threads of the scheduler call DoVideoHook and DoPreview.
// - FPreviewLock guards only the preview flags and FPreviewFlagsChanged; it is held
//   for a few instructions and never across a hand-over to the main thread, so the
//   main thread may take it at any time (SetPreviewFlags).
// - FPreviewWorkLock serialises the users of FPreviewConverter and of the previewer
//   (encoder threads in DoVideoHook and DoPreview), the encode-side hook picture and the
//   encode-side hooks (the video one read and cleared only under it, the audio one called
//   only under it, as the decode-side hooks are under FHookLock). It is held across the
//   hand-overs to the main thread that a conversion into a bitmap and the preview window need, so
//   the main thread never waits for it (it only tries it, to free a window at once).
//   An encoder thread holds it over the hooks and the preview of one frame (the preview
//   may show what the hook converted), and frees a window switched off meanwhile with
//   its next frame.
// - FHookLock serialises the decode-side hooks (decoder threads): FHookConverter, the
//   hook picture and the clearing of the input-side hooks.
// - FBroken, FPauseState, FRunning, FTerminated and FJobFinished are atomics read by
//   every thread without a lock.
// - FPauseLock keeps a change of FPauseState and the scheduler's pause together
//   (Pause, Resume, Stop, and the job thread when the scheduler starts); a leaf apart
//   from the scheduler's own pause lock taken inside it.
// - FClaimLock (a leaf) decides who takes the task: its one job (Start) or the
//   notification of a task that never ran (Terminate), whatever the threads calling.
// - FParseLock is held for a whole ParseOptions; the destructor takes it (serving the
//   main thread's queue on the main thread) so that it never frees under a parse.
//
// Handlers: the task keeps the handler contract stated once in runtime/MyUtils.h
// ("Handlers"). Its frames on a thread (MyUtils::THandlerScope, object: the task) mark its
// handlers, the thread that runs its job, every worker thread of its scheduler and its
// parse; a free is supported from its terminate handler (on whichever thread), and
// refused from every other frame of the task.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/FFmpegSched.h"
#include "engine/FormatConvert.h"
#include "platform/Bitmap.h"
#include "platform/Method.h"
#include "platform/Object.h"
#include "platform/Sync.h"
#include "platform/Threads.h"
#include "runtime/CircularBuffer.h"
#include "runtime/FFmpegHeader.h"
#include "runtime/FFUtils.h"
#include "runtime/WavePlay.h"

struct SwrContext;

namespace Previewer {
class TPreviewer;
}

namespace FFmpeg {

using FFmpegHeader::PInputStream;
using FFmpegHeader::POutputStream;
using FFUtils::PAVPicture;
using FFUtils::TAVPicture;
using FormatConvert::TFormatConverter;
using Platform::TBitmap;
using Platform::TObject;
using PFrameData = FFmpegHeader::TFrameData*;

// ---- Task events ----------------------------------------------------------------------
// Method pointers (code and receiving object); a pointer counts as assigned when its
// code is set. Sender is the task. Times are microseconds unless said otherwise.

// A bitmap of the frame: the handler may paint on it (AUpdate left True writes it back
// into the frame) or ask never to be called again for this task (AStopHook).
using TTaskVideoHookEvent =
    Platform::TMethod<void(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                           const std::int64_t& APTS, bool& AUpdate, bool& AStopHook)>;
// The raw packed picture of the frame; changes reach the output on the encode side.
using TTaskFrameHookEvent =
    Platform::TMethod<void(TObject* Sender, PAVPicture APicture, AVPixelFormat APixFmt,
                           int AFrameNumber, int AWidth, int AHeight,
                           const std::int64_t& APTS)>;
using TTaskPreviewEvent = Platform::TMethod<void(TObject* Sender, TBitmap* ABitmap,
                                                 int AFrameNumber, const std::int64_t& APTS)>;
// AFileIndex -1; AFrameNumber -1 without video; ATotalSize 0 while unknown;
// ACurrentDuration the output time; ATotalDuration the expected output duration.
using TTaskProgressEvent = Platform::TMethod<void(
    TObject* Sender, int AFileIndex, int AFrameNumber, int AFPS, float AQuality, float ABitRate,
    const std::int64_t& ATotalSize, const std::int64_t& ACurrentDuration,
    const std::int64_t& ATotalDuration)>;
// ASize: the line size of the frame's plane 0 in bytes.
using TTaskAudioHookEvent =
    Platform::TMethod<void(TObject* Sender, const std::int64_t& APTS, AVFrame* AFrame, int ASize,
                           int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
// Called by input opening before the streams are probed.
using TBeforeFindStreamInfoEvent =
    Platform::TMethod<void(TObject* Sender, AVFormatContext* AFormatContext)>;
using Platform::TNotifyEvent;

// Bits of the preview flags.
constexpr std::uint8_t PREVIEW_WINDOW = 0x01;  // the task's own preview window
constexpr std::uint8_t PREVIEW_BITMAP = 0x02;  // the preview-bitmap event

// The audio preview's source format with its resampler, and the wave player's format.
struct TAudioPreviewInFormat {
  AVChannelLayout ch_layout;
  std::int32_t sample_fmt;   // -1: none seen yet
  std::int32_t sample_rate;  // -1: none seen yet
  SwrContext* swr_ctx;       // nullptr until a conversion is needed; freed with swr_free
};
struct TAudioPreviewOutFormat {
  AVChannelLayout ch_layout;
  std::int32_t sample_fmt;
  std::int32_t sample_rate;
};

// Life cycle: created (FPauseState -1) -> ParseOptions -> Start -> running (0) <->
// paused (1) -> ended (FRunning False, FTerminated True) -> destroyed. A terminated task
// ignores Start. The loader must have the encoder library set loaded before a task is
// created (assertion otherwise).
class TCustomFFmpeg : public FFmpegHeader::TBaseFFmpeg {
 public:
  TCustomFFmpeg();
  // Freed with delete, before any destructor of the task's classes: fires FOnDestroy,
  // then, unless freed from its own terminate handler, waits for a parse under way on
  // another thread, stops the job and waits for it and for a terminate thread. Once.
  void BeforeDestruction() override;
  // BeforeDestruction (when delete did not run it), then frees what the job built
  // (ResetJob) and the task's own objects; waits of Stop(True) and Terminate(True) on
  // other threads return, touching nothing of the task.
  ~TCustomFFmpeg() override;

  // The bitmaps' depth of the video hooks and the preview, as set (8, 15, 16, 24 or 32;
  // 32 until set): 15 reads back as 15, the 5-5-5 bitmap it asks for. Set on the main
  // thread while a worker converts a frame, it serves the main thread until the worker
  // is done with the converters.
  int GetVideoHookBitsPixel() override;
  void SetVideoHookBitsPixel(int AValue) override;

  // Parses the command line: creates the scheduler, opens inputs and outputs. 0 or a
  // negative error code, with the text in LastErrMsg. A task parses one command line: a
  // second call is refused ("Assertion failure (FFmpeg, line 2132): ..." says why)
  // until ResetJob. (Defined with the option table.)
  [[nodiscard]] int ParseOptions(const std::string& ACommandLine);

  // Starts the job: at once on a convert thread (AAsync) or on the calling thread,
  // returning once the job has ended and FOnTerminate has fired on this thread. A task
  // runs once: Start does nothing once the task was started or terminated, also when
  // several threads call Start and Terminate at once (the first call takes the task).
  // Without output files the terminate notification reports "At least one output file
  // must be specified".
  void Start(bool AAsync);
  // Tells the job to stop (the outputs are still finished). With AWait, returns once
  // the job has ended, or once a handler freed the task meanwhile; on the main thread
  // it keeps serving main-thread calls meanwhile. Inside a handler of the task or of its
  // encoder, and on the job's own threads, it asks without waiting. Nothing before
  // ParseOptions.
  void Stop(bool AWait);
  // Stops a running task; a task that never ran gets its terminate notification on a
  // thread of its own (with AWait: returns after it has been delivered, or where Stop
  // would not wait, at once), and no Start runs its job any more.
  void Terminate(bool AWait);
  // Closes / opens the scheduler's pause gate; only while running / paused.
  void Pause();
  void Resume();
  // Bit 0: preview window, bit 1: preview-bitmap event. Any thread. Switching the window
  // off closes it at once, unless a worker is showing a frame right then (the worker
  // closes it after that frame). The window is the main thread's: off the main thread the
  // call returns only once the main thread has closed it, so that thread must be serving
  // its queue meanwhile (a host's main thread waiting for this call without serving would
  // wait for ever).
  void SetPreviewFlags(std::uint8_t AFlags);
  std::uint8_t PreviewFlags();

  // Stops the job and returns once no job and no terminate thread holds the task any
  // more (the destructor's step; on the main thread it serves main-thread calls).
  // Inside the terminate handler it returns at once: the job has ended, and what
  // remains of it on this thread touches the task no more once the handler freed it.
  // Inside any other frame of the task it refuses the free
  // (MyUtils::RefuseFreeFromHandler).
  void WaitIdle();

  // The terminate notification: FRunning False, FTerminated True, then
  // FOnTerminate.
  void DoTerminate();
  // The body of one job (synchronous or on the convert thread).
  void Run();
  // Frees everything the job built: the output and input files, filter graphs,
  // decoders (ffmpeg_cleanup), the scheduler, the hook pictures and the previewer.
  void ResetJob();

  // The video hook of one side: converts the packed picture (APixFmt, AWidth x AHeight)
  // into AConverter's bitmap, calls the side's handler and, when it leaves AUpdate set,
  // writes the bitmap back into APicture. AConverted tells whether AConverter's bitmap
  // now holds this frame. A failed conversion is logged and the handler is not called;
  // a handler asking to stop (or a failed conversion) clears the side's hook.
  // Input side: decoder threads with FHookConverter; output side: encoder threads with
  // FPreviewConverter.
  void DoVideoHook(bool AInputSide, TFormatConverter* AConverter, bool& AConverted,
                   int AFrameNumber, std::int64_t APTS, AVPixelFormat APixFmt, int AWidth,
                   int AHeight, PAVPicture APicture);
  // The periodic preview of one encoded video frame (encoder threads, while the preview
  // flags are not 0): the bitmap event when bit 1 is set and FOnPreviewBitmap assigned,
  // else the preview window when bit 0 is set; at most once per FPreviewInterval.
  // AConverted: what DoVideoHook left for this frame (False when no hook ran).
  void DoPreview(const std::uint8_t* const AData[], const int ALineSize[], AVPixelFormat APixFmt,
                 int AWidth, int AHeight, bool AConverted, int AFrameNumber, std::int64_t APTS);

  bool Running() const { return FRunning.load(); }
  bool Terminated() const { return FTerminated.load(); }
  bool JobFinished() const { return FJobFinished.load(); }
  bool HasError() const { return FHasError.load(); }
  // The job's error text (valid once the job ended with HasError).
  std::string ErrorText();
  int PauseState() const { return FPauseState.load(); }

  // ---- Fields (after those of TBaseFFmpeg) ------------------------------------------

  // Audio preview (encoder threads and the wave player's thread).
  std::atomic<bool> FAudioPreview{false};
  std::atomic<std::int32_t> FAudioPullCount{0};
  // Owned; made by the constructor, freed by the destructor (see there for the order).
  std::unique_ptr<CircularBuffer::TCircularBuffer> FAudioBuffer;  // 1 MiB
  std::unique_ptr<WavePlay::TWavePlayer> FWavePlayer;
  std::uint8_t* FPreviewSamples = nullptr;  // av_freep
  Platform::Cardinal FPreviewSamplesSize = 0;
  TAudioPreviewInFormat FPreviewInFormat{};
  TAudioPreviewOutFormat FPreviewOutFormat{};

  std::atomic<std::int64_t> FPauseStart{0};  // av_gettime_relative() when the pause began
  std::atomic<bool> FJobFinished{false};     // the last run ended without being stopped
  std::atomic<bool> FTerminated{false};      // the notification is out; no start again

  // Guarded by FPreviewLock.
  std::uint8_t FPreviewFlags = 0;

  // Decode-side hook picture (decoder threads, under FHookLock) and encode-side one
  // (encoder threads, under FPreviewWorkLock); av_freep by ResetJob.
  std::uint8_t* FHookPicture = nullptr;
  Platform::Cardinal FHookPictureSize = 0;
  std::uint8_t* FOutHookPicture = nullptr;
  Platform::Cardinal FOutHookPictureSize = 0;
  std::unique_ptr<TFormatConverter> FHookConverter;     // owned; guarded by FHookLock
  std::unique_ptr<TFormatConverter> FPreviewConverter;  // owned; guarded by FPreviewWorkLock
  Previewer::TPreviewer* FPreviewer = nullptr;    // guarded by FPreviewWorkLock
  std::int64_t FLastPreviewTime = 0;              // guarded by FPreviewWorkLock
  std::int64_t FNowPreviewTime = 0;               // guarded by FPreviewWorkLock

  // Set by the host before Start; a side's video hook is cleared by the hook thread
  // when its handler asks to stop, so while a job runs the input-side one is read only
  // under FHookLock and the output-side one only under FPreviewWorkLock.
  TTaskAudioHookEvent FOnAudioInputHook;
  TTaskAudioHookEvent FOnAudioOutputHook;
  TTaskVideoHookEvent FOnVideoInputHook;
  TTaskVideoHookEvent FOnVideoOutputHook;
  TTaskFrameHookEvent FOnFrameInputHook;
  TTaskFrameHookEvent FOnFrameOutputHook;

  // Shared with the waits of Stop(True) and Terminate(True), which outlive a free by a
  // handler meanwhile (the destructor sets both).
  std::shared_ptr<Platform::TEvent> FRunEvent;        // manual, set; reset while a job runs
  std::shared_ptr<Platform::TEvent> FTerminateEvent;  // manual, set; reset while a terminate
                                                      // thread delivers the notification
  std::atomic<std::int32_t> FPauseState{-1};    // -1 never started, 0 running, 1 paused
  std::mutex FPauseLock;
  bool FPreviewFlagsChanged = false;            // guarded by FPreviewLock
  // Owned, like the events and converters above.
  std::unique_ptr<Platform::TCriticalSection> FPreviewLock;
  std::unique_ptr<Platform::TCriticalSection> FPreviewWorkLock;
  std::unique_ptr<Platform::TCriticalSection> FHookLock;
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FHasError{false};
  std::string FErrorText;  // guarded by FErrorLock
  std::mutex FErrorLock;
  // Serialises the audio-preview step of the task's audio encoder threads (they share
  // one resampler, sample buffer and player).
  std::mutex FAudioPreviewLock;

  TTaskPreviewEvent FOnPreviewBitmap;
  TTaskProgressEvent FOnProgress;
  TNotifyEvent FOnTerminate;
  TNotifyEvent FOnDestroy;
  TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;

  // Who took the task: its one job (Start) or the notification of a task that never
  // ran (Terminate). Guarded by FClaimLock. Set once, by the first Start or Terminate;
  // cleared again only when the thread that the claim needs cannot be created: that
  // call throws, and leaves the task as if it had not been made.
  enum class TClaim { Untaken, Job, Terminate };
  std::mutex FClaimLock;
  TClaim FClaim = TClaim::Untaken;

 private:
  // The kind of the task's frame held for a whole ParseOptions.
  static const char CParseFrame[];
  // BeforeDestruction has run (the destroying thread only).
  bool FDestroying = false;
  // Fires FOnDestroy once, before any part of the task is torn down.
  void NotifyDestroy();
  // Whether this thread runs something the end of the job waits for: a handler of the
  // task or of its encoder, a thread of its job, its parse. A wait there would wait for
  // itself.
  bool WaitWouldHang() const;
  void ApplyPreviewFlags(std::uint8_t AFlags);
  void RecordError(const std::string& AText);
  // Frees the previewer (FPreviewWorkLock held).
  void FreePreviewer();
  // Who parses the command line: ParseOptions holds FParseLock, and the destructor waits
  // for it (a parse reads and builds what the destructor frees).
  std::mutex FParseLock;
  // The bodies of the task's own threads, each started by the task and freeing itself
  // at its end: the asynchronous job (Run, then the run event is set) and the terminate
  // notification of a task that never ran (DoTerminate, then the terminate event is set).
  void ConvertThreadBody();
  void TerminateThreadBody();
  // Runs the job on this thread (the convert thread, or the caller of a synchronous
  // Start) and sets the run event at its end.
  void RunJob();
};

// A task of the encoder component: adds the component's link and the per-input
// decoder components (created on demand by the component, owned by the task).
class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg();
  // BeforeDestruction (when delete did not run it): no thread of the task runs any more;
  // then clears the hook, preview, progress and terminate events and frees the decoders.
  ~TFFmpeg() override;

  TObject* FEncoder = nullptr;
  std::vector<TObject*> FDecoders;
};

// ---- Per-frame data ------------------------------------------------------------------

// The record of a frame or packet, created when missing; nullptr when that fails.
PFrameData frame_data(AVFrame* AFrame);          // writable
const FFmpegHeader::TFrameData* frame_data_c(AVFrame* AFrame);  // read only
PFrameData packet_data(AVPacket* APacket);       // writable

// Warns of codec options that no stream used; AVERROR(EINVAL) for an option of the
// wrong direction (an encoding option given to an input, or the reverse).
[[nodiscard]] int check_avoptions_used(const AVDictionary* AOpts, const AVDictionary* AOptsUsed,
                                       void* ALogCtx, bool ADecode);

}  // namespace FFmpeg
