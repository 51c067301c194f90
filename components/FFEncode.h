// The encoder component: an ordered list of conversion tasks, each built from one
// command line of the conversion tool, run either one after another inside StartTask
// or asynchronously with at most N at a time; every engine event of every task reaches
// one event of the component with the task's position in the list, and the end of each
// task and, once, the end of the whole run (task index -1) are reported.
//
// Threads and locks
// - The host calls every method on its main thread. In a limited run (StartTask with
//   N > 0) the later tasks are started from the thread on which the previous task's end
//   was reported (its convert thread, or the engine's terminate thread).
// - FTerminateLock (re-entrant) guards the run state (FWorking ... FRunLength, the
//   starts owed, the pins). It is held across counting an end and handing it to a
//   delivery thread, which serialises the ends of concurrently running tasks. It must
//   be re-entrant: a task that cannot start (no output file) reports its end inside
//   Start, on the starting thread, which holds it to start the task. No handler of a
//   limited run runs under it: OnStart is called between taking a position and
//   starting its task, with the lock released, by one starting thread at a time (the
//   one that holds the start token), so the start events keep the order of the list.
// - FFreeLock (re-entrant) is held by every walk over the listed tasks (Pause, Resume,
//   Stop, the setters) and by every take-out of listed tasks (a delivery thread's free,
//   ClearTasks, the destructor), so a task is never taken out while a walk uses it.
//   Nothing waits for a task's threads under it: a task is freed only once it is out
//   of the list, with no lock held, and Stop(True) pins the tasks it waits for and
//   waits without it (a pinned task that a delivery thread would free is freed by the
//   unpinning Stop instead). A task's threads may therefore call any method from
//   their handlers while the main thread waits for them. It is re-entrant because a
//   handler run from a walk may walk the list again.
// - The list's own lock guards only its slots and is held for a few instructions.
// - One plain lock per event family (audio hooks, video hooks, frame hooks, preview,
//   progress, before-find-stream-info) is held while the family's record is filled and
//   for the whole handler call, so two tasks never overwrite one record while a handler
//   reads it and the handlers of one family never run concurrently. A trampoline reads
//   its handler under the lock, and the setters and the destructor change it under the
//   lock. The main thread takes them serving its queue while it waits, so a hand-over
//   to the main thread under them cannot deadlock.
// - FDeliveryLock guards the delivery counters: the final event (index -1) waits until
//   every task event handed to a delivery thread before it has been delivered (and its
//   task freed), so it never overtakes a late task's event.
// - Handlers: the component keeps the handler contract stated once in runtime/MyUtils.h
//   ("Handlers"). Its handler calls are marked on the thread that runs them (the main
//   thread too, while a task's thread waits for it there) with the one mark
//   (MyUtils::THandlerScope: the encoder, and the task the event is about), and so is a
//   synchronous run. From inside a handler nothing waits for what goes on only once the
//   handler returns: Stop does not wait for the tasks, SetOnProgress does not take the
//   lock held for its own call. The encoder may be freed from its end events (a task's
//   and the final one) delivered by a delivery thread, on the main thread or on the
//   delivery thread; a task of it from its own end event. Any other free from a handler
//   of the encoder, or of a task from a handler about it, is refused. An end event for
//   the main thread never runs inside another handler of the encoder there (served by a
//   wait that handler's call makes): it comes once that handler has returned.
// Lock order: FFreeLock, then FTerminateLock, then the list's lock or FDeliveryLock.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "components/FFBaseComponent.h"
#include "engine/FFmpeg.h"
#include "platform/Bitmap.h"
#include "platform/Method.h"

namespace FFEncode {

using FFBaseComponent::TBeforeFindStreamInfoEvent;
using FFmpeg::TFFmpeg;
using FFUtils::PAVPicture;
using Platform::TBitmap;
using Platform::TObject;

// ---- Records handed to the handlers (times in microseconds) -------------------------------

struct TProgressInfo {
  std::int32_t TaskIndex;
  std::int32_t FileIndex;     // the engine passes -1
  std::int32_t FrameNumber;   // frames of the first video output, -1 without video
  std::int32_t FPS;           // rounded
  float Quality;              // -1 when none
  float BitRate;              // kbit/s, -1 when the engine has none
  std::int64_t TotalSize;     // bytes written
  std::int64_t CurrentDuration;  // output time reached
  std::int64_t TotalDuration;    // expected output duration, 0 or less when unknown
};
using PProgressInfo = TProgressInfo*;

struct TPreviewInfo {
  std::int32_t TaskIndex;
  TBitmap* Bitmap;
  std::int32_t FrameNumber;
  std::int64_t PTS;
};

struct THookInfo {
  std::int32_t TaskIndex;
  TBitmap* Bitmap;
  std::int32_t FrameNumber;
  std::int64_t PTS;
  bool Update;    // in/out: True writes the bitmap back into the frame
  bool StopHook;  // in/out: True stops this hook for the task
};
using PHookInfo = THookInfo*;

struct TFrameHookInfo {
  std::int32_t TaskIndex;
  std::int32_t FrameNumber;
  PAVPicture Picture;
  AVPixelFormat PixFmt;
  std::int32_t Width;
  std::int32_t Height;
  std::int64_t PTS;
};
using PFrameHookInfo = TFrameHookInfo*;

struct TTerminateInfo {
  std::int32_t TaskIndex;  // -1: every task of the run has ended
  bool Finished;
  bool HasException;
  std::string ExceptionMsg;
};

// ---- Events (Sender is the encoder) ------------------------------------------------------

using TEncAudioHookEvent = Platform::TMethod<void(
    TObject* Sender, int ATaskIndex, const std::int64_t& APTS, AVFrame* AFrame, int ASize,
    int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
using TEncVideoHookEvent = Platform::TMethod<void(TObject* Sender, PHookInfo AHookInfo)>;
using TEncFrameHookEvent = Platform::TMethod<void(TObject* Sender, PFrameHookInfo AHookInfo)>;
using TEncPreviewBitmapEvent =
    Platform::TMethod<void(TObject* Sender, const TPreviewInfo& APreviewInfo)>;
using TEncProgressEvent = Platform::TMethod<void(TObject* Sender, PProgressInfo AProgressInfo)>;
using TStartEvent = Platform::TMethod<void(TObject* Sender, int ATaskIndex)>;
using TTerminateEvent =
    Platform::TMethod<void(TObject* Sender, const TTerminateInfo& ATerminateInfo)>;

// Indexes of the hook choices given to AddTask.
enum THookKind : int {
  hkAudioInput, hkAudioOutput, hkVideoInput, hkVideoOutput, hkFrameInput, hkFrameOutput
};
using THookChoice = std::array<bool, 6>;

// ---- The task list -------------------------------------------------------------------------

// An owning list of tasks whose slots never move: a task destroyed while listed empties
// its slot, so every other task keeps its index. Any thread.
class TFFmpegList {
 public:
  TFFmpegList() = default;
  // Frees every listed task.
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  // Appends ATask (taking it over) and returns its index.
  int Add(TFFmpeg* ATask);
  // Empties the slot at AIndex when it holds ATask and hands the task over to the
  // caller; False when it does not hold it.
  bool Take(int AIndex, TFFmpeg* ATask);
  // Hands every listed task over to the caller, in list order, and forgets the slots.
  std::vector<TFFmpeg*> TakeAll();
  // The task at AIndex; nullptr for an empty slot or an index out of range.
  TFFmpeg* Get(int AIndex);
  // The index of ATask; -1 when it is not listed.
  int IndexOf(const FFmpeg::TCustomFFmpeg* ATask);
  int Count();
  // Frees every listed task (last first), then forgets the slots.
  void Clear();

 private:
  void TaskDestroyed(void* ASender);

  std::mutex FLock;
  // Guarded by FLock.
  std::vector<TFFmpeg*> FItems;
};

// ---- The component -------------------------------------------------------------------------

class TDoTerminateThread;

class TCustomEncoder : public FFBaseComponent::TFFBaseComponent {
 public:
  explicit TCustomEncoder(Platform::TComponent* AOwner = nullptr);
  // Freed with delete, before any destructor of the component's classes: Shutdown. On
  // the main thread it serves the main thread's queue meanwhile. From the component's
  // own handlers, see "Threads and locks" above.
  void BeforeDestruction() override;
  // Shutdown, when delete did not run it.
  ~TCustomEncoder() override;

  void SetReadTimeout(int AValue) override;
  void SetWriteTimeout(int AValue) override;

  // FFLoader has loaded the encoder's libraries.
  bool LibrariesLoaded() const;
  // Loads the encoder's libraries from APath; False with LastErrMsg from the loader.
  bool LoadLibraries(const std::string& APath);

  // Builds a task from ACommandLine; AHooks (may be nullptr) chooses which hook events
  // the task raises. The task's index, or a negative error code with LastErrMsg set
  // (the engine's code for a parse failure, -1 for another failure); a failed call
  // lists nothing. Raises Platform::Exception "FFmpeg libraries not loaded." and
  // "Cannot AddTask while working." once a run was started (until ClearTasks).
  [[nodiscard]] int AddTask(const std::string& ACommandLine, const THookChoice* AHooks = nullptr);
  // Frees every task and resets the run state. Raises "Cannot ClearTasks while working."
  // while a run has not ended, inside StartTask and inside a walk of Stop.
  void ClearTasks();
  // Starts the run: with AN > 0 at most AN tasks at once on convert threads, returning at
  // once; with AN <= 0 one after another on this thread, returning after every event of
  // the run. Empty slots count as ended; a run without tasks ends at once. Raises
  // "Cannot StartTask while working." once a run was started (until ClearTasks).
  void StartTask(int AN);
  // The published handlers of progress and of the terminate events, changed under the
  // lock their deliveries read them under: once the setter returns, no call of the
  // old handler is under way or starts any more (a terminate event already handed to
  // a delivery thread still reaches the handler that was set when the task ended).
  // Called from inside the progress handler, SetOnProgress applies at once: the call
  // under way is the caller's own.
  void SetOnProgress(const TEncProgressEvent& AHandler);
  void SetOnTerminate(const TTerminateEvent& AHandler);
  // Pause and resume every task of the run; only while working.
  void Pause();
  void Resume();
  // No further task starts; every listed task is told to stop (a task not yet started
  // reports its end with Finished False). With AWait returns once each task has ended,
  // or once a handler run meanwhile on this thread freed the component; except inside
  // one of the component's handlers (on whichever thread it runs): there it returns at
  // once, as the task it reports on cannot end before the handler returns; the ends
  // are reported as usual afterwards.
  void Stop(bool AWait);
  // The task at AIndex; nullptr for an empty slot.
  TFFmpeg* GetTask(int AIndex);
  // The number of slots, empty ones included.
  int TaskCount();

  const std::string& LastErrMsg() const { return FLastErrMsg; }
  // A run was started and ClearTasks has not been called since.
  bool Working();
  // Every position of the run has reported its end (the final event is raised or on its
  // way); ClearTasks is allowed again.
  bool AllDone();

  // Published properties; any thread (handlers on several threads may set them at once).
  bool GetPreviewAudio() const { return FPreviewAudio.load(); }
  void SetPreviewAudio(bool AValue);
  bool GetPreviewVideo() const { return FPreviewVideo.load(); }
  void SetPreviewVideo(bool AValue);
  bool GetPreviewBitmap() const { return FPreviewBitmap.load(); }
  void SetPreviewBitmap(bool AValue);
  // Milliseconds; values of 10 or less are taken as 10.
  int GetPreviewInterval() const { return FPreviewInterval.load(); }
  void SetPreviewInterval(int AValue);
  int GetProgressInterval() const { return FProgressInterval.load(); }
  void SetProgressInterval(int AValue);
  bool TriggerEventInMainThread = true;

  // Free a task once its end was delivered on a delivery thread (limited runs).
  bool AutoFreeTask = true;

  // Published events.
  TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
  TStartEvent OnStart;
  TEncProgressEvent OnProgress;
  TEncPreviewBitmapEvent OnPreviewBitmap;
  TTerminateEvent OnTerminate;
  TEncAudioHookEvent OnAudioInputHook;
  TEncAudioHookEvent OnAudioOutputHook;
  TEncVideoHookEvent OnVideoInputHook;
  TEncVideoHookEvent OnVideoOutputHook;
  TEncFrameHookEvent OnFrameInputHook;
  TEncFrameHookEvent OnFrameOutputHook;

 protected:
  virtual void DoVideoInputHook(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                                const std::int64_t& APTS, bool& AUpdate, bool& AStopHook);
  virtual void DoVideoOutputHook(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                                 const std::int64_t& APTS, bool& AUpdate, bool& AStopHook);
  virtual void DoFrameInputHook(TObject* Sender, PAVPicture APicture, AVPixelFormat APixFmt,
                                int AFrameNumber, int AWidth, int AHeight,
                                const std::int64_t& APTS);
  virtual void DoFrameOutputHook(TObject* Sender, PAVPicture APicture, AVPixelFormat APixFmt,
                                 int AFrameNumber, int AWidth, int AHeight,
                                 const std::int64_t& APTS);
  virtual void DoPreviewBitmap(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                               const std::int64_t& APTS);
  virtual void DoProgress(TObject* Sender, int AFileIndex, int AFrameNumber, int AFPS,
                          float AQuality, float ABitRate, const std::int64_t& ATotalSize,
                          const std::int64_t& ACurrentDuration,
                          const std::int64_t& ATotalDuration);
  // The task's terminate notification (ASender is the task).
  virtual void DoTerminate(void* ASender);

  // The shut-down: clears the handlers, stops and frees every task (waiting for each)
  // and waits until no delivery thread runs; no handler is called from then on. The
  // tasks' threads call the virtual trampolines above, so it runs before any destructor
  // (BeforeDestruction); later calls do nothing. From a handler of the component that
  // cannot support the free it ends the process (MyUtils::RefuseFreeFromHandler).
  void Shutdown();

 private:
  friend class TDoTerminateThread;
  friend class THandlerCall;

  void DoAudioInputHook(TObject* Sender, const std::int64_t& APTS, AVFrame* AFrame, int ASize,
                        int ASampleRate, int AChannels, AVSampleFormat ASampleFormat);
  void DoAudioOutputHook(TObject* Sender, const std::int64_t& APTS, AVFrame* AFrame, int ASize,
                         int ASampleRate, int AChannels, AVSampleFormat ASampleFormat);
  void DoBeforeFindStreamInfo(TObject* Sender, AVFormatContext* AFormatContext);
  void AudioHook(const TEncAudioHookEvent& AHandler, TObject* Sender, const std::int64_t& APTS,
                 AVFrame* AFrame, int ASize, int ASampleRate, int AChannels,
                 AVSampleFormat ASampleFormat);
  void VideoHook(const TEncVideoHookEvent& AHandler, TObject* Sender, TBitmap* ABitmap,
                 int AFrameNumber, const std::int64_t& APTS, bool& AUpdate, bool& AStopHook);
  void FrameHook(const TEncFrameHookEvent& AHandler, TObject* Sender, PAVPicture APicture,
                 AVPixelFormat APixFmt, int AFrameNumber, int AWidth, int AHeight,
                 const std::int64_t& APTS);

  // FTerminateLock held for all of these.
  // Takes the next position that holds a task (empty ones count as ended); False when
  // none is pending.
  bool PickNext(int& AIndex, TFFmpeg*& ATask);
  void CheckRunEnd();
  void Deliver(const TTerminateInfo& AInfo, TFFmpeg* ATask, bool AFinal);
  bool Pinned(const TFFmpeg* ATask) const;

  // A synchronous run's next task: OnStart, then the task on this thread.
  void StartNextTask();
  // A limited run: starts the owed tasks, one after another, unless another thread
  // holds the start token (it starts them then). FTerminateLock not held by the caller
  // unless it holds the token already.
  void RunStarts();
  // Waits until no Stop(True) pins a task (FFreeLock and FTerminateLock not held).
  void WaitUnpinned();
  // Ends a Stop(True)'s pins on ATasks; the tasks to free that only the pins held back.
  std::vector<TFFmpeg*> Unpin(const std::vector<TFFmpeg*>& ATasks);
  // Frees tasks taken out of the list (no lock held), the last first.
  static void FreeTasks(std::vector<TFFmpeg*>& ATasks);

  // Takes FFreeLock; on the main thread it serves the main thread's queue while it
  // waits, as a delivery thread freeing a task may need the main thread.
  std::unique_lock<std::recursive_mutex> LockFree();
  // Runs AAction for every listed task (FFreeLock held).
  template <class F>
  void ForEachTask(F AAction);

  // Delivery threads (see TDoTerminateThread).
  // Whether the shut-down has begun: no handler is called any more.
  bool ShuttingDown() const;
  void WaitTaskDeliveries();
  void FreeDelivered(int AIndex, TFFmpeg* ATask, std::uint64_t AGeneration);
  void DeliveryDone(bool ATaskDelivery);
  // Handler calls of the encoder running on the main thread (THandlerCall counts them):
  // an end event delivered there from inside one of them waits until none runs.
  void EnterMainHandler();
  void LeaveMainHandler();
  bool InMainHandler();
  // Until no handler call of the encoder runs on the main thread, or the shut-down began.
  void WaitMainHandlersOut();

  std::string FLastErrMsg;
  bool FShutDown = false;  // the destroying thread only
  std::atomic<bool> FPreviewAudio{false};
  std::atomic<bool> FPreviewVideo{false};
  std::atomic<bool> FPreviewBitmap{false};
  std::atomic<int> FPreviewInterval{100};
  std::atomic<int> FProgressInterval{500};

  // Guarded by the family locks.
  std::mutex FAudioHookLock;
  std::mutex FVideoHookLock;
  std::mutex FFrameHookLock;
  std::mutex FPreviewLock;
  std::mutex FProgressLock;
  std::mutex FBeforeFindStreamInfoLock;
  TObject* FPendingSender = nullptr;              // guarded by FBeforeFindStreamInfoLock
  AVFormatContext* FPendingFormatContext = nullptr;  // guarded by FBeforeFindStreamInfoLock
  TProgressInfo FProgressInfo{};                  // guarded by FProgressLock
  TPreviewInfo FPreviewInfo{};                    // guarded by FPreviewLock
  THookInfo FHookInfo{};                          // guarded by FVideoHookLock
  TFrameHookInfo FFrameHookInfo{};                // guarded by FFrameHookLock
  TTerminateInfo FTerminateInfo{};                // guarded by FTerminateLock

  TFFmpegList FTaskList;

  std::recursive_mutex FFreeLock;
  // Guarded by FFreeLock: walks in progress on the thread that holds it.
  int FWalkDepth = 0;

  std::recursive_mutex FTerminateLock;
  // Guarded by FTerminateLock.
  int FTerminatedCount = 0;   // positions whose end was counted in this run
  int FNextIndex = -1;        // position of the next task to start
  int FPendingStarts = 0;     // positions not yet started in this run
  int FRunLength = 0;         // slots of the list when the run started
  std::vector<TFFmpeg*> FRunSlots;  // the tasks of the run's positions (identity only)
  bool FAllDone = false;      // the run's end (index -1) was raised
  bool FLimited = false;      // the run was started with N > 0
  bool FWorking = false;      // a run was started; cleared only by ClearTasks
  bool FPaused = false;
  int FStartDepth = 0;        // StartTask calls in progress
  std::uint64_t FGeneration = 0;  // changed by ClearTasks
  int FOwedStarts = 0;        // starts owed in a limited run (N at StartTask, one per end)
  bool FStarter = false;      // a thread holds the start token of run FStarterGeneration
  std::uint64_t FStarterGeneration = 0;
  std::uint64_t FStopCount = 0;  // changed by Stop
  struct TPin {
    TFFmpeg* Task;
    Platform::TThreadID Thread;  // of the waiting Stop
  };
  std::vector<TPin> FPinned;             // tasks a Stop(True) waits for (once per wait)
  std::vector<TFFmpeg*> FDeferredFrees;  // out of the list, freed when unpinned

  std::mutex FDeliveryLock;
  std::condition_variable FDeliveryCond;
  // Guarded by FDeliveryLock.
  int FTaskDeliveries = 0;  // task events handed to delivery threads, not yet done
  int FLiveDeliveries = 0;  // delivery threads that still touch the encoder
  int FMainHandlers = 0;    // handler calls of the encoder running on the main thread
  // Set (under FDeliveryLock, for the waits on FDeliveryCond) once the shut-down began.
  std::atomic<bool> FShuttingDown{false};
};

// Publishes the encoder's properties and events; adds nothing.
class TVEDavirev : public TCustomEncoder {
 public:
  using TCustomEncoder::TCustomEncoder;
  ~TVEDavirev() override { Shutdown(); }
};

}  // namespace FFEncode
