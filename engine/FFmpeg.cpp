// The conversion task: life cycle, error text, terminate notification, video hooks
// and preview; the transcode loop with its progress report; the per-frame data.
//
// Lock order: FPreviewWorkLock (or FHookLock) before FPreviewLock; FPreviewLock is never
// held across anything that may wait for another thread. See FFmpeg.h for what each
// lock guards.
#include "engine/FFmpeg.h"
#include "engine/FFmpegInternal.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "engine/FFmpegDec.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegOpt.h"
#include "engine/Previewer.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHW.h"
#include "runtime/MyUtils.h"
#include "runtime/SwResampleStubs.h"

namespace FFmpeg {

using AVCodecStubs::avcodec_get_class;
using AVCodecStubs::avcodec_parameters_alloc;
using AVCodecStubs::avcodec_parameters_copy;
using AVCodecStubs::avcodec_parameters_free;
using AVFormatStubs::avformat_get_class;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_flush;
using AVFormatStubs::avio_write;
using AVUtilStubs::av_bprint_finalize;
using AVUtilStubs::av_bprint_init;
using AVUtilStubs::av_bprintf;
using AVUtilStubs::av_buffer_create;
using AVUtilStubs::av_buffer_is_writable;
using AVUtilStubs::av_buffer_unref;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_iterate;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_gettime_relative;
using AVUtilStubs::av_log;
using AVUtilStubs::av_malloc;
using AVUtilStubs::av_opt_find;
using AVUtilStubs::av_strdup;
using FFLoad::VEDovedo;
using FFmpegHeader::TFrameData;
using Platform::TCriticalSection;
using Platform::TEvent;

namespace {

constexpr const char* CUnit = "FFmpeg";
// The consistency check that refuses to free a task from inside its own handlers.
constexpr int CLineFreeFromHandler = 866;
constexpr const char* CCheckLog =
    "Please check error log message(reported by VEDovedo) to find out more detail information.";

void LogTask(TCustomFFmpeg* ATask, FFLoad::TLogLevel ALevel, const std::string& AText) {
  if (VEDovedo) VEDovedo->Log(ATask, ALevel, AText);
}

void CheckLibraries(int ALine) {
  Platform::Check(FFLoad::FFLoader && FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries), CUnit,
                  ALine);
}

// The task's frames on a thread (MyUtils::THandlerScope): what the free refusal names.
constexpr char CJobFrame[] = "handler on the thread of its job";
constexpr char CProgressHandler[] = "progress handler";
constexpr char CPreviewHandler[] = "preview handler";
constexpr char CVideoHookHandler[] = "video hook handler";
constexpr char CTerminateHandler[] = "terminate handler";

// The object of the task's frames: the same for the scheduler's worker frames, which
// know the task as its base.
const void* Mark(const TCustomFFmpeg* ATask) {
  return static_cast<const FFmpegHeader::TBaseFFmpeg*>(ATask);
}

// A thread of the task: runs one of the task's thread bodies, starts at once and frees
// itself when the body returns.
class TTaskThread : public Platform::TThread {
 public:
  using TBody = void (TCustomFFmpeg::*)();
  TTaskThread(TCustomFFmpeg* AOwner, TBody ABody)
      : Platform::TThread(true), FOwner(AOwner), FBody(ABody) {
    FreeOnTerminate = true;
    Start();
  }

 protected:
  void Execute() override { (FOwner->*FBody)(); }

 private:
  TCustomFFmpeg* FOwner;
  TBody FBody;
};

// Sets one of the task's events when the scope ends, holding the event: by then the task
// may have been freed (a handler did, or a waiting destroy goes on once it is set).
struct TSetAtEnd {
  const std::shared_ptr<TEvent> Event;
  ~TSetAtEnd() { Event->SetEvent(); }
};

// Steps of the job, defined with the transcode loop below.

// Prints the stream mapping, starts the scheduler and waits on it in steps of the
// statistics period with a progress report after each, until every output has finished,
// the scheduler failed or the task was told to stop; then stops the scheduler, writes
// the trailers and prints the last report. 0 or the merged error of the job.
[[nodiscard]] int transcode(TCustomFFmpeg* ATask, FFmpegSched::TScheduler* sch);
// Frees everything a task built: filter graphs, output and input files, loopback
// decoders, statistics files and this task's holds on hardware devices.
void ffmpeg_cleanup(TCustomFFmpeg* ATask);

}  // namespace

// ---- Threads ----------------------------------------------------------------------------

void TCustomFFmpeg::ConvertThreadBody() {
  // The run event was reset by Start on the caller's thread, before this thread
  // existed: a Stop(True) or a destroy right after Start always waits for this job.
  RunJob();
}

void TCustomFFmpeg::RunJob() {
  // Setting it is no touch of a task that the terminate handler freed (then the
  // destructor has set it already), nor of one that a waiting destroy frees once it is.
  const TSetAtEnd ended{FRunEvent};
  const MyUtils::THandlerScope job(Mark(this), CJobFrame);
  Run();
}

void TCustomFFmpeg::TerminateThreadBody() {
  const TSetAtEnd delivered{FTerminateEvent};
  DoTerminate();
}

// ---- TCustomFFmpeg ------------------------------------------------------------------------

const char TCustomFFmpeg::CParseFrame[] = "handler while it parses its command line";

TCustomFFmpeg::TCustomFFmpeg() {
  CheckLibraries(439);
  FFmpegOpt::BuildOptionTable(this);
  FPreviewLock = std::make_unique<TCriticalSection>();
  FPreviewWorkLock = std::make_unique<TCriticalSection>();
  FHookLock = std::make_unique<TCriticalSection>();
  FAudioBuffer = std::make_unique<CircularBuffer::TCircularBuffer>();
  FWavePlayer = std::make_unique<WavePlay::TWavePlayer>();
  FShowDupOrDrop.store(0);
  FInputDuration.store(-1);
  FOutputDuration.store(-1);
  FLastRead.store(std::numeric_limits<std::int64_t>::max());
  FLastWrite.store(std::numeric_limits<std::int64_t>::max());
  FRunEvent = std::make_shared<TEvent>(true, true);
  FTerminateEvent = std::make_shared<TEvent>(true, true);
  FPreviewInFormat.sample_fmt = -1;
  FPreviewInFormat.sample_rate = -1;
  FHookConverter = std::make_unique<TFormatConverter>();
  FPreviewConverter = std::make_unique<TFormatConverter>();
}

void TCustomFFmpeg::BeforeDestruction() {
  if (FDestroying) return;
  FDestroying = true;
  NotifyDestroy();
  WaitIdle();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  BeforeDestruction();
  // A Stop or Terminate on another thread may still be inside its locked step (the
  // job ended and its terminate handler freed the task meanwhile): it leaves first.
  { const std::lock_guard<std::mutex> pause(FPauseLock); }
  { const std::lock_guard<std::mutex> claim(FClaimLock); }
  ResetJob();
  // The owned parts go in this order, here rather than in reverse order of their
  // declarations: the job and every terminate thread are gone (WaitIdle), and the
  // wave player's thread pulls from FAudioBuffer, so the player closes before the
  // buffer goes; the locks go last, after everything they guard.
  FHookConverter.reset();
  FPreviewConverter.reset();
  // Waits for them on other threads end, holding the events.
  FRunEvent->SetEvent();
  FTerminateEvent->SetEvent();
  FRunEvent.reset();
  FTerminateEvent.reset();
  FWavePlayer.reset();
  FAudioBuffer.reset();
  FHookLock.reset();
  FPreviewWorkLock.reset();
  FPreviewLock.reset();
  av_freep(&FPreviewSamples);
  if (FPreviewInFormat.swr_ctx) SwResampleStubs::swr_free(&FPreviewInFormat.swr_ctx);
  // Freed by a handler: the frames of this thread below it (the job, a wait) leave the
  // task alone from here on.
  MyUtils::MarkFreed(Mark(this));
}

void TCustomFFmpeg::NotifyDestroy() {
  TNotifyEvent notify = FOnDestroy;
  FOnDestroy = nullptr;
  if (notify.Assigned()) notify(this);
}

bool TCustomFFmpeg::WaitWouldHang() const {
  const void* self = Mark(this);
  const auto* task = dynamic_cast<const TFFmpeg*>(this);
  // The encoder's handlers hold locks that every task of the encoder may wait for.
  const void* encoder = task ? task->FEncoder : nullptr;
  return MyUtils::FindHandler([self, encoder](const MyUtils::THandlerFrame& AFrame) {
           return AFrame.Object == self || AFrame.About == self ||
                  (encoder && AFrame.Object == encoder);
         }) != nullptr;
}

void TCustomFFmpeg::WaitIdle() {
  const void* self = Mark(this);
  if (const MyUtils::THandlerFrame* frame = MyUtils::FindHandler(
          [self](const MyUtils::THandlerFrame& AFrame) { return AFrame.Object == self; })) {
    // Inside the terminate handler the job (or the terminate step) has ended; what is
    // left of it is on this thread's stack, and leaves the task alone (MarkFreed).
    if (frame->Kind == CTerminateHandler) return;
    // Any other frame of the task runs while its job (or its parse) goes on, which then
    // goes on touching the task once the handler returns: there is nothing to wait for
    // that could end first, and nothing safe to free.
    MyUtils::RefuseFreeFromHandler(CUnit, CLineFreeFromHandler, frame->Kind,
                                   [this](const std::string& AText) {
                                     LogTask(this, FFLoad::llFatal, AText);
                                     if (VEDovedo) VEDovedo->FlushRepeats();
                                   });
  }
  // A parse on another thread reads and builds what the destructor frees: it ends first
  // (it may hand a handler to the main thread meanwhile). Nothing of what it builds is
  // read before.
  (void)MyUtils::LockServing(FParseLock);
  Stop(true);
  // The job, and a terminate thread (Terminate without waiting), hold the task: nothing
  // may be freed or cleared under them.
  (void)MyUtils::WaitServing(*FRunEvent);
  (void)MyUtils::WaitServing(*FTerminateEvent);
}

int TCustomFFmpeg::GetVideoHookBitsPixel() {
  // The depth that was set: 15 (5-5-5) and 16 (5-6-5) are both stored in 16 bits per
  // pixel, but they are different bitmaps, so the stored size would not say which.
  Platform::Check(FHookConverter->RequestedBitsPixel() == FPreviewConverter->RequestedBitsPixel(),
                  CUnit, 812);
  return FHookConverter->RequestedBitsPixel();
}

void TCustomFFmpeg::SetVideoHookBitsPixel(int AValue) {
  // The hook and preview workers hold these locks across their hand-overs to the main
  // thread (a bitmap's scan line, the preview window, a handler handed over): on the
  // main thread they are taken while serving its queue.
  const auto hook = MyUtils::LockServing(*FHookLock);
  const auto work = MyUtils::LockServing(*FPreviewWorkLock);
  FHookConverter->SetBitsPixel(AValue);
  FPreviewConverter->SetBitsPixel(AValue);
}

std::string TCustomFFmpeg::ErrorText() {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FErrorText;
}

void TCustomFFmpeg::RecordError(const std::string& AText) {
  LogTask(this, FFLoad::llError, AText);
  {
    std::lock_guard<std::mutex> g(FErrorLock);
    FErrorText = AText;  // a later error replaces an earlier one
  }
  FHasError.store(true);
}

void TCustomFFmpeg::Start(bool AAsync) {
  const bool job = Fnb_output_files > 0;
  {
    // One run per task: the first Start (or Terminate of a task that never ran) takes
    // the task, every later call finds it taken, whatever the threads and their order.
    std::lock_guard<std::mutex> g(FClaimLock);
    if (FClaim != TClaim::Untaken) return;
    FClaim = TClaim::Job;
    if (job) {
      FRunning.store(true);
      FBroken.store(false);
      FJobFinished.store(false);
      FTerminated.store(false);
      FPauseState.store(0);
      FPauseStart.store(0);
      FTotalPauseTime.store(0);
      FRunEvent->ResetEvent();
    }
  }
  if (job) {
    if (AAsync) {
      try {
        new TTaskThread(this, &TCustomFFmpeg::ConvertThreadBody);
      } catch (...) {
        std::lock_guard<std::mutex> g(FClaimLock);
        FClaim = TClaim::Untaken;
        FRunEvent->SetEvent();
        FRunning.store(false);
        throw;
      }
      return;
    }
    RunJob();  // the terminate handler may free the task: nothing of it is touched after
    return;
  }
  ResetJob();
  try {
    throw CmdUtils::FFmpegException("At least one output file must be specified");
  } catch (const CmdUtils::FFmpegException& e) {
    RecordError(e.what());
    DoTerminate();
  }
}

void TCustomFFmpeg::Stop(bool AWait) {
  // Once the job is told to stop, its terminate handler may free the task at any time:
  // from then on only the lock that the destructor takes first, and the event held here.
  std::shared_ptr<TEvent> ended;
  {
    std::lock_guard<std::mutex> pause(FPauseLock);
    if (!Fsch) return;
    // Inside a handler (or on a thread of the job) the end cannot come before this call
    // returns: it only asks.
    if (AWait && FPauseState.load() != -1 && !WaitWouldHang()) ended = FRunEvent;
    // Broken before the pause gate opens: a source released by it sees the stop before
    // it starts another read, which the stop would only interrupt (an error of the file).
    FBroken.store(true);
    FFmpegSched::sch_set_paused(Fsch, 0);
    int expected = 1;
    FPauseState.compare_exchange_strong(expected, 0);
  }
  if (ended) (void)MyUtils::WaitServing(*ended, Mark(this));
}

void TCustomFFmpeg::Terminate(bool AWait) {
  TClaim claim;
  // Held here: the terminate handler may free the task before the wait begins.
  std::shared_ptr<TEvent> delivered;
  {
    std::lock_guard<std::mutex> g(FClaimLock);
    claim = FClaim;
    if (claim == TClaim::Untaken) {
      // A task that never ran: its notification comes on a thread of its own, and no
      // Start runs the job any more. The event is reset before the thread exists, so
      // a waiter (and the destructor) never passes before the notification is out.
      FClaim = TClaim::Terminate;
      FTerminateEvent->ResetEvent();
    }
    // Inside a handler (its terminate handler too) the notification cannot be out
    // before this call returns: it only asks.
    if (AWait && claim != TClaim::Job && !WaitWouldHang()) delivered = FTerminateEvent;
  }
  switch (claim) {
    case TClaim::Untaken:
      try {
        new TTaskThread(this, &TCustomFFmpeg::TerminateThreadBody);
      } catch (...) {
        std::lock_guard<std::mutex> g(FClaimLock);
        FClaim = TClaim::Untaken;
        FTerminateEvent->SetEvent();
        throw;
      }
      break;
    case TClaim::Job:
      // Started: stopped while it runs; once ended, nothing (the notification is out).
      if (FRunning.load()) Stop(AWait);
      break;
    case TClaim::Terminate:
      break;  // a terminate thread delivers (or has delivered) the notification
  }
  if (delivered) (void)MyUtils::WaitServing(*delivered, Mark(this));
}

void TCustomFFmpeg::Pause() {
  if (!Fsch) return;
  // Before the job thread has started the scheduler, the scheduler ignores the pause:
  // the job thread applies it once the scheduler runs (transcode).
  {
    std::lock_guard<std::mutex> pause(FPauseLock);
    int expected = 0;
    if (!FPauseState.compare_exchange_strong(expected, 1)) return;
    FPauseStart.store(av_gettime_relative());
    FFmpegSched::sch_set_paused(Fsch, 1);
  }
  FWavePlayer->Pause();
}

void TCustomFFmpeg::Resume() {
  if (!Fsch) return;
  {
    std::lock_guard<std::mutex> pause(FPauseLock);
    int expected = 1;
    if (!FPauseState.compare_exchange_strong(expected, 0)) return;
    FTotalPauseTime.fetch_add(av_gettime_relative() - FPauseStart.load());
    FFmpegSched::sch_set_paused(Fsch, 0);
  }
  FWavePlayer->Resume();
}

void TCustomFFmpeg::ApplyPreviewFlags(std::uint8_t AFlags) {
  if (AFlags == FPreviewFlags) return;
  FPreviewFlags = AFlags;
}

void TCustomFFmpeg::FreePreviewer() {
  Previewer::TPreviewer* p = FPreviewer;
  FPreviewer = nullptr;
  delete p;
}

void TCustomFFmpeg::SetPreviewFlags(std::uint8_t AFlags) {
  {
    std::lock_guard<TCriticalSection> g(*FPreviewLock);
    ApplyPreviewFlags(AFlags);
    FPreviewFlagsChanged = true;
  }
  // The window goes at once when no worker is delivering a frame; otherwise the
  // worker frees it after its delivery (it sees bit 0 cleared). Never wait here: the
  // worker may be waiting for this (the main) thread.
  if (!(AFlags & PREVIEW_WINDOW) && FPreviewWorkLock->TryEnter()) {
    std::uint8_t now;
    {
      std::lock_guard<TCriticalSection> g(*FPreviewLock);
      now = FPreviewFlags;
    }
    if (!(now & PREVIEW_WINDOW)) FreePreviewer();
    FPreviewWorkLock->Leave();
  }
}

std::uint8_t TCustomFFmpeg::PreviewFlags() {
  std::lock_guard<TCriticalSection> g(*FPreviewLock);
  return FPreviewFlags;
}

void TCustomFFmpeg::DoTerminate() {
  FRunning.store(false);
  FTerminated.store(true);
  if (!FOnTerminate.Assigned()) return;
  // The handler may free the task: its last touch is this call.
  const MyUtils::THandlerScope handler(Mark(this), CTerminateHandler);
  FOnTerminate(this);
}

void TCustomFFmpeg::Run() {
  FJobFinished.store(false);
  if (FOutputDuration.load() < 0) FOutputDuration.store(FInputDuration.load());
  try {
    const int ret = transcode(this, Fsch);
    // End of file is a normal end of the job, not a failure.
    if (ret < 0 && ret != AVERROR_EOF) RecordError(CmdUtils::print_error(ret) + "\r\n" + CCheckLog);
  } catch (const std::exception& e) {
    RecordError(e.what());
  }
  FAudioBuffer->EndWriting();
  FWavePlayer->Close();
  const MyUtils::THandlerScope watch(Mark(this), nullptr);
  try {
    DoTerminate();
  } catch (const std::exception& e) {
    // A handler that freed the task and then failed: the text has no task to go to.
    if (watch.Freed())
      LogTask(nullptr, FFLoad::llError, e.what());
    else
      RecordError(e.what());
  }
  // Freed by its terminate handler: the host may end the process as soon as it sees the
  // free, so this thread touches nothing more, not even the log.
  if (watch.Freed()) return;
  av_log(nullptr, AV_LOG_QUIET, "%s", "");
}

void TCustomFFmpeg::ResetJob() {
  CheckLibraries(841);
  ffmpeg_cleanup(this);
  FFmpegSched::sch_free(Fsch);
  {
    std::lock_guard<TCriticalSection> g(*FHookLock);
    av_freep(&FHookPicture);
    FHookPictureSize = 0;
  }
  std::lock_guard<TCriticalSection> g(*FPreviewWorkLock);
  av_freep(&FOutHookPicture);
  FOutHookPictureSize = 0;
  FreePreviewer();
  FLastPreviewTime = 0;
  FNowPreviewTime = 0;
}

void TCustomFFmpeg::DoVideoHook(bool AInputSide, TFormatConverter* AConverter, bool& AConverted,
                                int AFrameNumber, std::int64_t APTS, AVPixelFormat APixFmt,
                                int AWidth, int AHeight, PAVPicture APicture) {
  // Each side's hook (and its clearing) is serialised with the side's other users.
  TCriticalSection& lock = AInputSide ? *FHookLock : *FPreviewWorkLock;
  std::lock_guard<TCriticalSection> g(lock);
  TTaskVideoHookEvent& hook = AInputSide ? FOnVideoInputHook : FOnVideoOutputHook;

  const bool converted =
      AConverter->ToRGB(APicture->data, APicture->linesize, true, AHeight, AWidth, APixFmt);
  AConverted = converted;
  bool stopHook = !converted;
  if (!converted) LogTask(this, FFLoad::llError, AConverter->LastErrMsg());
  if (!hook.Assigned()) return;

  // After a failed conversion the bitmap holds an older picture (or none): the
  // handler is not shown it, and the hook of this side ends.
  if (converted) {
    bool update = true;
    try {
      const MyUtils::THandlerScope handler(Mark(this), CVideoHookHandler);
      hook(this, AConverter->Bitmap(), AFrameNumber, APTS, update, stopHook);
    } catch (const std::exception& e) {
      LogTask(this, FFLoad::llError, std::string("Error occurs VideoHook event: ") + e.what());
      update = false;
    }
    if (update) {
      AConverter->BitmapToPicture();
      if (AConverter->Attached() == AConverter->GetPicture()) {
        if (!AConverter->FromRGB(APicture->data, APicture->linesize, AHeight, AWidth, APixFmt)) {
          LogTask(this, FFLoad::llError, AConverter->LastErrMsg());
          stopHook = true;
        }
      }
    } else if (PreviewFlags() != 0) {
      AConverted = false;  // the preview converts the unchanged frame afresh
    }
  }
  if (stopHook) hook = nullptr;
}

void TCustomFFmpeg::DoPreview(const std::uint8_t* const AData[], const int ALineSize[],
                              AVPixelFormat APixFmt, int AWidth, int AHeight, bool AConverted,
                              int AFrameNumber, std::int64_t APTS) {
  std::lock_guard<TCriticalSection> work(*FPreviewWorkLock);
  std::uint8_t flags;
  bool changed;
  {
    std::lock_guard<TCriticalSection> g(*FPreviewLock);
    flags = FPreviewFlags;
    changed = FPreviewFlagsChanged;
  }

  std::uint8_t drop = 0;
  const bool bitmapEvent = (flags & PREVIEW_BITMAP) && FOnPreviewBitmap.Assigned();
  if (bitmapEvent || (flags & PREVIEW_WINDOW)) {
    FNowPreviewTime = av_gettime_relative();
    if (FNowPreviewTime - FLastPreviewTime > FPreviewInterval.load()) {
      // The bitmap already holds this frame when the video hook converted it and the
      // flags did not change since the last preview.
      bool ok = true;
      if (!AConverted || changed)
        ok = FPreviewConverter->ToRGB(AData, ALineSize, true, AHeight, AWidth, APixFmt);
      if (!ok) LogTask(this, FFLoad::llError, FPreviewConverter->LastErrMsg());
      if (bitmapEvent) {
        if (ok) {
          const MyUtils::THandlerScope handler(Mark(this), CPreviewHandler);
          FOnPreviewBitmap(this, FPreviewConverter->Bitmap(), AFrameNumber, APTS);
        } else {
          drop |= PREVIEW_BITMAP;
        }
      } else if (ok) {
        if (!FPreviewer) FPreviewer = new Previewer::TPreviewer;
        if (!FPreviewer->Show(FPreviewConverter->Bitmap(), AFrameNumber, APTS))
          drop |= PREVIEW_WINDOW;
      } else {
        drop |= PREVIEW_WINDOW;
      }
      FLastPreviewTime = FNowPreviewTime;
    }
  }

  std::uint8_t now;
  {
    std::lock_guard<TCriticalSection> g(*FPreviewLock);
    // Only the bits this delivery dropped: the host may have changed the flags meanwhile,
    // and then they stay "changed" for the next frame.
    ApplyPreviewFlags(FPreviewFlags & static_cast<std::uint8_t>(~drop));
    if (FPreviewFlags == (flags & static_cast<std::uint8_t>(~drop))) FPreviewFlagsChanged = false;
    now = FPreviewFlags;
  }
  if (!(now & PREVIEW_WINDOW) && FPreviewer) FreePreviewer();
}

// ---- TFFmpeg --------------------------------------------------------------------------------

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() {
  // Run by delete already; here for a task that was not freed with it. The events are
  // cleared only once no thread of the task can be calling them.
  BeforeDestruction();
  FOnAudioInputHook = nullptr;
  FOnAudioOutputHook = nullptr;
  FOnVideoInputHook = nullptr;
  FOnVideoOutputHook = nullptr;
  FOnFrameInputHook = nullptr;
  FOnFrameOutputHook = nullptr;
  FOnPreviewBitmap = nullptr;
  FOnProgress = nullptr;
  FOnTerminate = nullptr;
  for (TObject* d : FDecoders) delete d;
  FDecoders.clear();
}

// ---- Iteration ----------------------------------------------------------------------------

namespace {

// The output (input) stream after prev (nullptr: the first), over the files in order
// and the streams of each file in order; nullptr after the last.
POutputStream ost_iter(FFmpegHeader::TBaseFFmpeg* ATask, POutputStream prev) {
  int of_idx = prev ? prev->file_->index : 0;
  int ost_idx = prev ? prev->index + 1 : 0;
  for (; of_idx < ATask->Fnb_output_files; of_idx++) {
    FFmpegHeader::POutputFile of = ATask->Foutput_files[of_idx];
    if (ost_idx < of->nb_streams) return of->streams[ost_idx];
    ost_idx = 0;
  }
  return nullptr;
}

PInputStream ist_iter(FFmpegHeader::TBaseFFmpeg* ATask, PInputStream prev) {
  int if_idx = prev ? prev->file_->index : 0;
  int ist_idx = prev ? prev->index + 1 : 0;
  for (; if_idx < ATask->Fnb_input_files; if_idx++) {
    FFmpegHeader::PInputFile f = ATask->Finput_files[if_idx];
    if (ist_idx < f->nb_streams) return f->streams[ist_idx];
    ist_idx = 0;
  }
  return nullptr;
}

}  // namespace

// ---- Per-frame data -----------------------------------------------------------------------

namespace {

// The record's buffer is shared between threads and freed by whichever drops the last
// reference; the reference count lives in libavutil, which ThreadSanitizer does not see.
// Dropping a reference here is marked as a release and the free as its acquire, so a
// read of the record before the drop is not taken for a race with the free.
#if defined(__SANITIZE_THREAD__)
void RefReleased(const void* AData) { __tsan_release(const_cast<void*>(AData)); }
void RefFreed(const void* AData) { __tsan_acquire(const_cast<void*>(AData)); }
#else
void RefReleased(const void*) {}
void RefFreed(const void*) {}
#endif

void frame_data_free(void* /*opaque*/, std::uint8_t* data) {
  RefFreed(data);
  auto* fd = reinterpret_cast<TFrameData*>(data);
  avcodec_parameters_free(&fd->par_enc);
  av_free(data);
}

// Makes sure ARef holds a TFrameData record (writable when asked): 0, or
// AVERROR(ENOMEM) / the error of copying the encoder parameters.
[[nodiscard]] int frame_data_ensure(AVBufferRef*& ARef, bool AWritable) {
  AVBufferRef* src = ARef;
  if (src) {
    if (!AWritable) return 0;
    if (av_buffer_is_writable(src)) return 0;
  }
  auto* fd = static_cast<TFrameData*>(av_malloc(sizeof(TFrameData)));
  if (!fd) return AVERROR(ENOMEM);
  AVBufferRef* ref = av_buffer_create(reinterpret_cast<std::uint8_t*>(fd), sizeof(TFrameData),
                                      frame_data_free, nullptr, 0);
  if (!ref) {
    av_free(fd);
    return AVERROR(ENOMEM);
  }
  if (src) {
    const auto* fd_src = reinterpret_cast<const TFrameData*>(src->data);
    std::memcpy(fd, fd_src, sizeof(*fd));
    fd->par_enc = nullptr;
    if (fd_src->par_enc) {
      int ret = 0;
      fd->par_enc = avcodec_parameters_alloc();
      ret = fd->par_enc ? avcodec_parameters_copy(fd->par_enc, fd_src->par_enc) : AVERROR(ENOMEM);
      if (ret < 0) {
        RefReleased(src->data);
        av_buffer_unref(&ARef);
        av_buffer_unref(&ref);
        return ret;
      }
    }
    RefReleased(src->data);
    av_buffer_unref(&ARef);
  } else {
    std::memset(fd, 0, sizeof(*fd));
    fd->dec.frame_num = std::numeric_limits<std::uint64_t>::max();
    fd->dec.pts = AV_NOPTS_VALUE;
    for (std::int64_t& w : fd->wallclock) w = std::numeric_limits<std::int64_t>::min();
  }
  ARef = ref;
  return 0;
}

}  // namespace

PFrameData frame_data(AVFrame* AFrame) {
  const int ret = frame_data_ensure(AFrame->opaque_ref, true);
  return ret < 0 ? nullptr : reinterpret_cast<PFrameData>(AFrame->opaque_ref->data);
}

const TFrameData* frame_data_c(AVFrame* AFrame) {
  const int ret = frame_data_ensure(AFrame->opaque_ref, false);
  return ret < 0 ? nullptr : reinterpret_cast<const TFrameData*>(AFrame->opaque_ref->data);
}

PFrameData packet_data(AVPacket* APacket) {
  const int ret = frame_data_ensure(APacket->opaque_ref, true);
  return ret < 0 ? nullptr : reinterpret_cast<PFrameData>(APacket->opaque_ref->data);
}

int check_avoptions_used(const AVDictionary* AOpts, const AVDictionary* AOptsUsed,
                         void* ALogCtx, bool ADecode) {
  const AVClass* cc = avcodec_get_class();
  const AVClass* fc = avformat_get_class();
  const int flag = ADecode ? AV_OPT_FLAG_DECODING_PARAM : AV_OPT_FLAG_ENCODING_PARAM;

  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_iterate(AOpts, e))) {
    if (av_dict_get(AOptsUsed, e->key, nullptr, 0)) continue;

    char* optname = av_strdup(e->key);
    if (!optname) return AVERROR(ENOMEM);
    if (char* p = std::strchr(optname, ':')) *p = 0;

    const AVOption* option =
        av_opt_find(&cc, optname, nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
    const AVOption* foption =
        av_opt_find(&fc, optname, nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
    av_freep(&optname);
    if (!option || foption) continue;

    if (!(option->flags & flag)) {
      av_log(ALogCtx, AV_LOG_ERROR,
             "Codec AVOption %s (%s) is not a %s option.\n", e->key,
             option->help ? option->help : "", ADecode ? "decoding" : "encoding");
      return AVERROR(EINVAL);
    }

    av_log(ALogCtx, AV_LOG_WARNING,
           "Codec AVOption %s (%s) has not been used for any stream. The most likely reason is "
           "either wrong type (e.g. a video option with no video streams) or that it is a "
           "private option of some decoder which was not actually used for any stream.\n",
           e->key, option->help ? option->help : "");
  }
  return 0;
}

// ---- Transcode loop and progress report ---------------------------------------------------

namespace {

// "native" when a decoder or encoder carries its codec's own name.
const char* ImplName(const AVCodec* ACodec, AVCodecID AId) {
  if (!ACodec) return "?";
  const AVCodecDescriptor* desc = AVCodecStubs::avcodec_descriptor_get(AId);
  if (desc && std::strcmp(ACodec->name, desc->name) == 0) return "native";
  return ACodec->name;
}

const char* CodecName(AVCodecID AId) {
  const AVCodecDescriptor* desc = AVCodecStubs::avcodec_descriptor_get(AId);
  return desc ? desc->name : "?";
}

std::string Caption(AVMediaType AType) { return FFUtils::AVMediaTypeCaption(AType); }

void print_stream_maps(TCustomFFmpeg* ATask) {
  using FFmpegHeader::PFilterGraph;
  std::string s = "Stream mapping:\n";
  const bool manyGraphs = ATask->Fnb_filtergraphs > 1;

  for (PInputStream ist = ist_iter(ATask, nullptr); ist; ist = ist_iter(ATask, ist)) {
    for (int j = 0; j < ist->nb_filters; j++) {
      FFmpegHeader::PInputFilter ifilter = ist->filters[j];
      if (!ifilter || FFmpegFilter::filtergraph_is_simple(ifilter->graph)) continue;
      s += Platform::Format("  Stream #%d:%d (%s) -> %s", ist->file_->index, ist->index,
                            ist->avdec ? ist->avdec->name : "?",
                            ifilter->name ? ifilter->name : "");
      if (manyGraphs) s += Platform::Format(" (graph %d)", ifilter->graph->index);
      s += "\n";
    }
  }

  for (POutputStream ost = ost_iter(ATask, nullptr); ost; ost = ost_iter(ATask, ost)) {
    const AVCodecContext* enc_ctx = ost->enc ? ost->enc->enc_ctx : nullptr;
    if (ost->attachment_filename) {
      s += Platform::Format("  File %s -> Stream #%d:%d\n", ost->attachment_filename,
                            ost->file_->index, ost->index);
      continue;
    }
    if (ost->filter && ost->filter->graph && !FFmpegFilter::filtergraph_is_simple(ost->filter->graph)) {
      s += Platform::Format("  %s", ost->filter->name ? ost->filter->name : "");
      if (manyGraphs) s += Platform::Format(" (graph %d)", ost->filter->graph->index);
      s += Platform::Format(" -> Stream #%d:%d (%s)", ost->file_->index, ost->index,
                            enc_ctx && enc_ctx->codec ? enc_ctx->codec->name : "?");
      if (enc_ctx) s += " (" + Caption(enc_ctx->codec_type) + ")";
      s += "\n";
      continue;
    }
    PInputStream ist = ost->ist;
    if (ist)
      s += Platform::Format("  Stream #%d:%d -> #%d:%d", ist->file_->index, ist->index,
                            ost->file_->index, ost->index);
    else
      s += Platform::Format("  Stream -> #%d:%d", ost->file_->index, ost->index);
    if (enc_ctx) {
      const AVCodecID in_id = ist && ist->par ? ist->par->codec_id : AV_CODEC_ID_NONE;
      s += Platform::Format(" (%s (%s) -> %s (%s))", CodecName(in_id),
                            ist ? ImplName(ist->avdec, in_id) : "?", CodecName(enc_ctx->codec_id),
                            ImplName(enc_ctx->codec, enc_ctx->codec_id));
      s += " (" + Caption(enc_ctx->codec_type) + ")\n";
    } else {
      s += " (copy)";
      if (ist && ist->decoder) s += " (" + Caption(ist->decoder->type_) + ")";
      s += "\n";
    }
  }
  CmdUtils::ff_log(nullptr, AV_LOG_INFO, s);
}

}  // namespace

void print_report(TCustomFFmpeg* ATask, bool AIsLast, std::int64_t APts, std::int64_t ACurTime,
                  std::int64_t ATimerStart) {
  const bool hasEvent = ATask->FOnProgress.Assigned();
  if (!ATask->Fprint_stats && !AIsLast && !ATask->Fprogress_avio && !hasEvent) return;

  if (!AIsLast) {
    if (ATask->Flast_time == -1) ATask->Flast_time = ACurTime;
    if ((ACurTime - ATask->Flast_time < ATask->Fstats_period.load() && !ATask->Ffirst_report) ||
        (ATask->Ffirst_report && ATask->Fnb_output_dumped.load() < ATask->Fnb_output_files))
      return;
    ATask->Flast_time = ACurTime;
  }

  const double t = (ACurTime - ATimerStart) / 1000000.0;
  const std::int64_t total_size =
      ATask->Fnb_output_files > 0 ? FFmpegMux::of_filesize(ATask->Foutput_files[0]) : -1;

  AVBPrint buf, buf_script;
  av_bprint_init(&buf, 0, AV_BPRINT_SIZE_AUTOMATIC);
  av_bprint_init(&buf_script, 0, AV_BPRINT_SIZE_AUTOMATIC);

  // The reporting video stream: the first one that wrote a packet gives the line its
  // "frame=" and the event its frame number. The block has its frame keys from the
  // start: from that stream, or before any video packet from the first video stream with
  // no frames yet, so that a reader of the progress finds every key in every block.
  POutputStream reporting = nullptr, first_video = nullptr;
  for (POutputStream ost = ost_iter(ATask, nullptr); ost; ost = ost_iter(ATask, ost)) {
    if (ost->type_ != AVMEDIA_TYPE_VIDEO) continue;
    if (!first_video) first_video = ost;
    if (FFmpegHeader::atomic_load(ost->packets_written) > 0) {
      reporting = ost;
      break;
    }
  }
  const POutputStream script_frames = reporting ? reporting : first_video;

  float q = -1;
  std::int64_t frame_number = -1;
  // frames per second once a second has passed: over a shorter time the rate says little
  double fps = 0;
  std::int64_t nb_frames_dup = 0, nb_frames_drop = 0;
  bool vid = false;
  for (POutputStream ost = ost_iter(ATask, nullptr); ost; ost = ost_iter(ATask, ost)) {
    q = ost->enc ? FFmpegHeader::atomic_load(ost->quality) / float(FF_QP2LAMBDA) : -1;
    if (ost->type_ != AVMEDIA_TYPE_VIDEO) continue;
    if (vid) av_bprintf(&buf, "q=%2.1f ", q);
    if (ost == reporting) {
      frame_number = FFmpegHeader::atomic_load(ost->packets_written);
      fps = t > 1 ? frame_number / t : 0;
      av_bprintf(&buf, "frame=%5" PRId64 " fps=%3.*f q=%3.1f ", frame_number, fps < 9.95, fps,
                 q);
      if (AIsLast) av_bprintf(&buf, "L");
      if (ost->filter) {
        nb_frames_dup = FFmpegHeader::atomic_load(ost->filter->nb_frames_dup);
        nb_frames_drop = FFmpegHeader::atomic_load(ost->filter->nb_frames_drop);
      }
      vid = true;
    }
    if (ost == script_frames) {
      av_bprintf(&buf_script, "frame=%" PRId64 "\n", std::max<std::int64_t>(frame_number, 0));
      av_bprintf(&buf_script, "fps=%.2f\n", fps);
    }
    av_bprintf(&buf_script, "stream_%d_%d_q=%.1f\n", ost->file_->index, ost->index, q);
  }

  std::int64_t pts = APts;
  if (ATask->Fcopy_ts) {
    std::int64_t first = ATask->Fcopy_ts_first_pts.load();
    if (first == AV_NOPTS_VALUE && pts > 1) {
      ATask->Fcopy_ts_first_pts.store(pts);
      first = pts;
    }
    if (first != AV_NOPTS_VALUE) pts -= first;
  }

  const std::int64_t us = pts == AV_NOPTS_VALUE ? 0 : std::llabs(pts);
  const int secs = int(us / 1000000 % 60);
  const int mins = int(us / 1000000 / 60 % 60);
  const int hours = int(us / 1000000 / 3600);
  const int micros = int(us % 1000000);
  const int millis = int(std::int64_t(micros) * 1000 / 1000000);
  const char* hours_sign = pts < 0 && pts != AV_NOPTS_VALUE ? "-" : "";

  const double bitrate =
      pts != AV_NOPTS_VALUE && pts && total_size >= 0 ? total_size * 8 / (pts / 1000.0) : -1;
  const double speed = pts != AV_NOPTS_VALUE && t != 0.0 ? double(pts) / 1000000 / t : -1;

  if (total_size < 0)
    av_bprintf(&buf, "size=N/A time=");
  else
    av_bprintf(&buf, "size=%8.0fKiB time=", total_size / 1024.0);
  if (pts == AV_NOPTS_VALUE)
    av_bprintf(&buf, "N/A ");
  else
    av_bprintf(&buf, "%s%02d:%02d:%02d.%03d ", hours_sign, hours, mins, secs, millis);

  if (bitrate < 0) {
    av_bprintf(&buf, "bitrate=N/A");
    av_bprintf(&buf_script, "bitrate=N/A\n");
  } else {
    av_bprintf(&buf, "bitrate=%6.1fkbits/s", bitrate);
    av_bprintf(&buf_script, "bitrate=%6.1fkbits/s\n", bitrate);
  }

  if (total_size < 0)
    av_bprintf(&buf_script, "total_size=N/A\n");
  else
    av_bprintf(&buf_script, "total_size=%" PRId64 "\n", total_size);
  if (pts == AV_NOPTS_VALUE) {
    av_bprintf(&buf_script, "out_time_us=N/A\n");
    av_bprintf(&buf_script, "out_time_ms=N/A\n");
    av_bprintf(&buf_script, "out_time=N/A\n");
  } else {
    av_bprintf(&buf_script, "out_time_us=%" PRId64 "\n", pts);
    av_bprintf(&buf_script, "out_time_ms=%" PRId64 "\n", pts);
    av_bprintf(&buf_script, "out_time=%s%02d:%02d:%02d.%06d\n", hours_sign, hours, mins, secs,
               micros);
  }

  bool forceLog = false;
  if (nb_frames_dup || nb_frames_drop) {
    av_bprintf(&buf, " dup=%" PRId64 " drop=%" PRId64, nb_frames_dup, nb_frames_drop);
    if (ATask->FShowDupOrDrop.load() && hasEvent) {
      ATask->FShowDupOrDrop.store(0);
      forceLog = true;
    }
  }
  av_bprintf(&buf_script, "dup_frames=%" PRId64 "\n", nb_frames_dup);
  av_bprintf(&buf_script, "drop_frames=%" PRId64 "\n", nb_frames_drop);

  if (speed < 0) {
    av_bprintf(&buf, " speed=N/A");
    av_bprintf(&buf_script, "speed=N/A\n");
  } else {
    av_bprintf(&buf, " speed=%4.3gx", speed);
    av_bprintf(&buf_script, "speed=%4.3gx\n", speed);
  }

  {
    const int et_secs = int(t);
    const int et_millis = int((t - et_secs) * 1000);
    av_bprintf(&buf, " elapsed=%d:%02d:%02d.%02d", et_secs / 3600, et_secs / 60 % 60,
               et_secs % 60, et_millis / 10);
  }

  if (hasEvent) {
    const std::int64_t eventPts = pts == AV_NOPTS_VALUE ? 0 : pts;
    const std::int64_t eventSize = total_size < 0 ? 0 : total_size;
    const std::int64_t duration = ATask->FOutputDuration.load();
    const MyUtils::THandlerScope handler(Mark(ATask), CProgressHandler);
    ATask->FOnProgress(ATask, -1, int(frame_number), int(std::lrint(fps)), q, float(bitrate),
                       eventSize, eventPts, duration);
  }

  if ((ATask->Fprint_stats && !hasEvent) || AIsLast || forceLog)
    CmdUtils::ff_log(nullptr, AV_LOG_INFO, std::string(buf.str) + "\n");

  if (ATask->Fprogress_avio) {
    av_bprintf(&buf_script, "progress=%s\n", AIsLast ? "end" : "continue");
    avio_write(ATask->Fprogress_avio, reinterpret_cast<const unsigned char*>(buf_script.str),
               int(std::min<unsigned>(buf_script.len, buf_script.size - 1)));
    avio_flush(ATask->Fprogress_avio);
    if (AIsLast) {
      const int ret = avio_closep(&ATask->Fprogress_avio);
      if (ret < 0)
        LogTask(ATask, FFLoad::llError,
                "Error closing progress log, loss of information possible: " +
                    CmdUtils::print_error(ret));
    }
  }

  av_bprint_finalize(&buf, nullptr);
  av_bprint_finalize(&buf_script, nullptr);
  ATask->Ffirst_report = 0;
}

namespace {

// Stops the scheduler on a thread of its own while this (the main) thread serves its
// queue. Stopping joins the workers, and a worker may be waiting for the main thread
// right then (a hook's bitmap, a preview, a handler handed over): a synchronous run on
// the main thread that joined them itself would wait for a worker that waits for it.
int sch_stop_serving(FFmpegSched::TScheduler* sch, std::int64_t* finish_ts) {
  class TStopThread : public Platform::TThread {
   public:
    TStopThread(FFmpegSched::TScheduler* ASch, std::int64_t* AFinishTs)
        : Platform::TThread(true), FSch(ASch), FFinishTs(AFinishTs) {}
    int Result = 0;

   protected:
    void Execute() override { Result = FFmpegSched::sch_stop(FSch, FFinishTs); }

   private:
    FFmpegSched::TScheduler* FSch;
    std::int64_t* FFinishTs;
  } stopper(sch, finish_ts);
  stopper.Start();
  stopper.WaitFor();  // serves the main thread's queue meanwhile
  if (stopper.FatalException()) std::rethrow_exception(stopper.FatalException());
  return stopper.Result;
}

int transcode(TCustomFFmpeg* ATask, FFmpegSched::TScheduler* sch) {
  if (!sch) return AVERROR(EINVAL);
  print_stream_maps(ATask);
  ATask->Ftranscode_init_done.store(1);

  int ret = FFmpegSched::sch_start(sch);
  if (ret < 0) return ret;
  {
    // A pause asked for while the scheduler was not yet running (Pause right after an
    // asynchronous Start) holds the job from here.
    std::lock_guard<std::mutex> pause(ATask->FPauseLock);
    if (ATask->FPauseState.load() == 1) FFmpegSched::sch_set_paused(sch, 1);
  }

  const std::int64_t timer_start = av_gettime_relative();
  ATask->FLooping.store(true);
  std::int64_t transcode_ts = 0;

  // A synchronous run on the main thread must keep serving the calls that the job's
  // threads hand to the main thread (hooks, preview, bitmap events), or both sides
  // wait for each other. It never sleeps in the pause gate, where nothing could be
  // served.
  const bool serve = Platform::IsMainThread() && MyUtils::GEnabledSynchronize.load();
  for (;;) {
    const std::uint64_t period =
        std::uint64_t(std::max<std::int64_t>(ATask->Fstats_period.load(), 0));
    if (serve) {
      // Sleep on the main thread's queue (a hand-over wakes it at once) and look at the
      // scheduler without waiting; the end of the job is seen within 20 ms.
      MyUtils::MyProcessMessages();
      if (ATask->FBroken.load()) break;
      if (ATask->FPauseState.load() != 1 && FFmpegSched::sch_wait(sch, 0, transcode_ts)) break;
      if (ATask->FBroken.load()) break;
      if (ATask->FPauseState.load() != 1)
        print_report(ATask, false, transcode_ts, av_gettime_relative(), timer_start);
      Platform::WaitForMainThreadWork(int(std::clamp<std::uint64_t>(period / 1000, 1, 20)));
      continue;
    }
    if (FFmpegSched::sch_wait(sch, period, transcode_ts)) break;
    if (ATask->FBroken.load()) break;
    print_report(ATask, false, transcode_ts, av_gettime_relative(), timer_start);
  }
  ATask->FLooping.store(false);

  ret = serve ? sch_stop_serving(sch, &transcode_ts) : FFmpegSched::sch_stop(sch, &transcode_ts);

  for (int i = 0; i < ATask->Fnb_output_files; i++) {
    const int err = FFmpegMux::of_write_trailer(ATask->Foutput_files[i]);
    ret = FFmpegHeader::err_merge(ret, err);
  }

  print_report(ATask, true, transcode_ts, av_gettime_relative(), timer_start);
  ATask->FJobFinished.store(!ATask->FBroken.load());
  return ret;
}

void ffmpeg_cleanup(TCustomFFmpeg* ATask) {
  for (int i = 0; i < ATask->Fnb_filtergraphs; i++) FFmpegFilter::fg_free(ATask->Ffiltergraphs[i]);
  av_freep(&ATask->Ffiltergraphs);
  ATask->Fnb_filtergraphs = 0;

  for (int i = 0; i < ATask->Fnb_output_files; i++) FFmpegMux::of_free(ATask->Foutput_files[i]);
  ATask->Fnb_output_files = 0;

  for (int i = 0; i < ATask->Fnb_input_files; i++) FFmpegDemux::ifile_close(ATask->Finput_files[i]);
  ATask->Fnb_input_files = 0;

  for (int i = 0; i < ATask->Fnb_decoders; i++) FFmpegDec::dec_free(ATask->Fdecoders[i]);
  av_freep(&ATask->Fdecoders);
  ATask->Fnb_decoders = 0;

  if (ATask->Fvstats_file) {
    if (std::fclose(ATask->Fvstats_file))
      LogTask(ATask, FFLoad::llError,
              "Error closing vstats file, loss of information possible: " +
                  CmdUtils::print_error(AVERROR(errno)));
    ATask->Fvstats_file = nullptr;
  }
  av_freep(&ATask->Fvstats_filename);

  FFmpegMux::of_enc_stats_close(ATask);

  // A task that was parsed but never ran still holds its "-progress" output.
  if (ATask->Fprogress_avio) avio_closep(&ATask->Fprogress_avio);

  // Only this task's holds: the devices of tasks still running stay.
  FFmpegHW::hw_device_free_all(ATask);

  av_freep(&ATask->Ffilter_nbthreads);
  av_freep(&ATask->Finput_files);
  av_freep(&ATask->Foutput_files);
}

}  // namespace

}  // namespace FFmpeg
