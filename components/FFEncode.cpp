// The encoder component: task list, runs, event trampolines and terminate delivery.
// See FFEncode.h for the threads, the locks and their order.
#include "components/FFEncode.h"

#include <chrono>
#include <exception>
#include <memory>
#include <utility>

#include "components/FFDecode.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Threads.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace FFEncode {

using FFmpeg::TCustomFFmpeg;
using MyUtils::LockServing;
using Platform::Exception;

namespace {

// Stop(True) waits in progress on this thread (tasks pinned by it are on its stack).
thread_local int tPinDepth = 0;

// The component's frames on a thread (MyUtils::THandlerScope, object: the encoder, about:
// the task the event is about). A handler runs on behalf of a task's thread (on that
// thread, or on the main thread while that thread waits for it), often holding its
// family's lock that other tasks' threads wait for: whatever can go on only once the
// handler has returned must not be waited for in it. The texts name them in the refusal
// of a free.
constexpr char CAudioHookHandler[] = "audio hook handler";
constexpr char CVideoHookHandler[] = "video hook handler";
constexpr char CFrameHookHandler[] = "frame hook handler";
constexpr char CPreviewHandler[] = "preview handler";
constexpr char CProgressHandler[] = "progress handler";
constexpr char CBeforeFindStreamInfoHandler[] = "before-find-stream-info handler";
constexpr char CStartHandler[] = "start handler";
// A synchronous run on this thread (inside StartTask): the handlers run inside it.
constexpr char CSynchronousRun[] = "synchronous run";
// The terminate handler called on the reporting thread of a synchronous run (inside
// StartTask), and the ones a delivery thread calls: of a task's end and of the run's end.
constexpr char CRunTerminateHandler[] = "terminate handler of a synchronous run";
constexpr char CTaskEndHandler[] = "terminate handler";
constexpr char CRunEndHandler[] = "final terminate handler";

constexpr const char* CUnit = "FFEncode";
// The consistency check that refuses a free from a handler that cannot support it.
constexpr int CLineFreeFromHandler = 301;

bool IsTerminateHandler(const MyUtils::THandlerFrame& AFrame) {
  return AFrame.Kind == CRunTerminateHandler || AFrame.Kind == CTaskEndHandler ||
         AFrame.Kind == CRunEndHandler;
}

void LogFatal(TObject* ASender, const std::string& AText) {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(ASender, FFLoad::llFatal, AText);
}

// Runs ACall on the main thread through MySynchronize when AInMainThread, else here.
template <class F>
void RunHandler(bool AInMainThread, F& ACall) {
  if (!AInMainThread) {
    ACall();
    return;
  }
  MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction(
      [](void* AData) { (*static_cast<F*>(AData))(); }, &ACall));
}

TCustomFFmpeg* TaskOf(TObject* ASender) { return static_cast<TCustomFFmpeg*>(ASender); }

std::int64_t Microseconds(int AMilliseconds) {
  return static_cast<std::int64_t>(AMilliseconds) * 1000;
}

int ClampInterval(int AValue) { return AValue <= 10 ? 10 : AValue; }

}  // namespace

// A handler call of the encoder on this thread: its mark (MyUtils::THandlerScope: the
// encoder, and the task the event is about) and, on the main thread, the encoder's count
// of such calls. A handler that frees the encoder leaves the count alone.
class THandlerCall {
 public:
  THandlerCall(TCustomEncoder* AEncoder, const char* AKind, const void* AAbout = nullptr)
      : FScope(AEncoder, AKind, AAbout),
        FMainEncoder(Platform::IsMainThread() ? AEncoder : nullptr) {
    if (FMainEncoder) FMainEncoder->EnterMainHandler();
  }
  ~THandlerCall() {
    if (FMainEncoder && !FScope.Freed()) FMainEncoder->LeaveMainHandler();
  }
  THandlerCall(const THandlerCall&) = delete;
  THandlerCall& operator=(const THandlerCall&) = delete;
  // Whether a handler freed the encoder while this call lived.
  bool Freed() const { return FScope.Freed(); }

 private:
  MyUtils::THandlerScope FScope;
  TCustomEncoder* FMainEncoder;
};

// ---- Delivery thread -------------------------------------------------------------------------

// Delivers one terminate event off the reporting thread (on the main thread through
// MySynchronize when asked), then frees the ended task when the encoder's AutoFreeTask
// is set and the task is still listed in the same run. The final event (index -1) first
// waits until every task event handed over before it has been delivered. Starts at once
// and frees itself.
class TDoTerminateThread : public Platform::TThread {
 public:
  TDoTerminateThread(TCustomEncoder* AEncoder, bool AInMainThread, bool AWait,
                     TTerminateInfo AInfo, TTerminateEvent AHandler, TFFmpeg* ATask,
                     std::uint64_t AGeneration)
      : Platform::TThread(true),
        FEncoder(AEncoder),
        FInMainThread(AInMainThread),
        FWait(AWait),
        FInfo(std::move(AInfo)),
        FHandler(AHandler),
        FTask(ATask),
        FGeneration(AGeneration) {
    FreeOnTerminate = true;
    Start();
  }

 protected:
  void Execute() override {
    TCustomEncoder* encoder = FEncoder;
    // Nothing is delivered once the encoder shuts down (the final event stops waiting).
    if (FWait) encoder->WaitTaskDeliveries();
    bool freed = false;
    bool deferred = false;
    auto call = [this, encoder, &freed, &deferred] {
      // Delivered on the main thread, the encoder may have begun to shut down since.
      if (encoder->ShuttingDown()) return;
      // Served by a wait inside another handler of the encoder on the main thread (a
      // call of that handler serves the queue): a free from here would take the encoder
      // from under that handler, so the event comes once that handler has returned.
      if (FInMainThread && encoder->InMainHandler()) {
        deferred = true;
        return;
      }
      const THandlerCall scope(encoder, FWait ? CRunEndHandler : CTaskEndHandler,
                               FWait ? nullptr : FTask);
      try {
        FHandler(encoder, FInfo);
      } catch (...) {
        freed = scope.Freed();
        throw;
      }
      freed = scope.Freed();
    };
    if (FHandler.Assigned()) {
      try {
        for (;;) {
          deferred = false;
          if (encoder->ShuttingDown()) break;
          RunHandler(FInMainThread, call);
          if (!deferred) break;
          encoder->WaitMainHandlersOut();
        }
      } catch (const std::exception& e) {
        if (FFLoad::VEDovedo)
          FFLoad::VEDovedo->Log(freed ? nullptr : encoder, FFLoad::llError,
                                std::string("Error occurs OnTerminate event: ") + e.what());
      }
    }
    // Freed by the handler: its shut-down counted this delivery out, and nothing of the
    // encoder is touched any more.
    if (freed) return;
    if (FInfo.TaskIndex >= 0 && encoder->AutoFreeTask)
      encoder->FreeDelivered(FInfo.TaskIndex, FTask, FGeneration);
    // Last touch of the encoder: its destructor may go on from here.
    encoder->DeliveryDone(!FWait);
  }

 private:
  TCustomEncoder* FEncoder;
  bool FInMainThread;
  bool FWait;
  TTerminateInfo FInfo;
  TTerminateEvent FHandler;
  TFFmpeg* FTask;
  std::uint64_t FGeneration;
};

// ---- TFFmpegList ----------------------------------------------------------------------------

TFFmpegList::~TFFmpegList() { Clear(); }

int TFFmpegList::Add(TFFmpeg* ATask) {
  ATask->FOnDestroy = Platform::TNotifyEvent::Bind<&TFFmpegList::TaskDestroyed>(this);
  std::lock_guard<std::mutex> g(FLock);
  FItems.push_back(ATask);
  return static_cast<int>(FItems.size()) - 1;
}

bool TFFmpegList::Take(int AIndex, TFFmpeg* ATask) {
  std::lock_guard<std::mutex> g(FLock);
  if (!ATask || AIndex < 0 || AIndex >= static_cast<int>(FItems.size()) || FItems[AIndex] != ATask)
    return false;
  FItems[AIndex] = nullptr;
  return true;
}

std::vector<TFFmpeg*> TFFmpegList::TakeAll() {
  std::vector<TFFmpeg*> tasks;
  std::lock_guard<std::mutex> g(FLock);
  for (TFFmpeg* task : FItems)
    if (task) tasks.push_back(task);
  FItems.clear();
  return tasks;
}

TFFmpeg* TFFmpegList::Get(int AIndex) {
  std::lock_guard<std::mutex> g(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[AIndex];
}

int TFFmpegList::IndexOf(const TCustomFFmpeg* ATask) {
  if (!ATask) return -1;
  std::lock_guard<std::mutex> g(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] && static_cast<const TCustomFFmpeg*>(FItems[i]) == ATask)
      return static_cast<int>(i);
  return -1;
}

int TFFmpegList::Count() {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FItems.size());
}

void TFFmpegList::Clear() {
  for (;;) {
    TFFmpeg* task = nullptr;
    {
      std::lock_guard<std::mutex> g(FLock);
      for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
        if (*it) {
          task = *it;
          break;
        }
      if (!task) {
        FItems.clear();
        return;
      }
    }
    delete task;  // its destroy notification empties the slot
  }
}

void TFFmpegList::TaskDestroyed(void* ASender) {
  auto* task = static_cast<TCustomFFmpeg*>(ASender);
  // Freed from inside a handler about it, on this thread or on the main thread while
  // the task's thread waits for the handler: the task goes on only once it returns.
  // Its end delivered by a delivery thread has nothing of the task waiting.
  if (const MyUtils::THandlerFrame* frame =
          MyUtils::FindHandler([task](const MyUtils::THandlerFrame& AFrame) {
            return AFrame.About == task && AFrame.Kind != CTaskEndHandler;
          }))
    MyUtils::RefuseFreeFromHandler(CUnit, CLineFreeFromHandler, frame->Kind,
                                   [task](const std::string& AText) { LogFatal(task, AText); });
  std::lock_guard<std::mutex> g(FLock);
  for (TFFmpeg*& item : FItems)
    if (item && static_cast<TCustomFFmpeg*>(item) == task) item = nullptr;
}

// ---- TCustomEncoder ---------------------------------------------------------------------------

TCustomEncoder::TCustomEncoder(Platform::TComponent* AOwner)
    : FFBaseComponent::TFFBaseComponent(AOwner) {}

TCustomEncoder::~TCustomEncoder() {
  Shutdown();
  // Freed by a handler: the frames of this thread below it (a waiting Stop, a delivery)
  // leave the encoder alone from here on.
  MyUtils::MarkFreed(this);
}

void TCustomEncoder::BeforeDestruction() { Shutdown(); }

bool TCustomEncoder::ShuttingDown() const { return FShuttingDown.load(); }

void TCustomEncoder::Shutdown() {
  if (FShutDown) return;
  // The frames of this encoder on this thread: its end events delivered here are
  // supported (their delivery threads touch nothing of it once the handler returns);
  // any other handler of it runs while a task's thread or a run on this thread waits
  // for it, and goes on once it returns.
  int ownDeliveries = 0, ownTaskDeliveries = 0;
  const MyUtils::THandlerFrame* refused = nullptr;
  (void)MyUtils::FindHandler([&](const MyUtils::THandlerFrame& AFrame) {
    if (AFrame.Object != this) return false;
    if (AFrame.Kind == CTaskEndHandler || AFrame.Kind == CRunEndHandler) {
      ++ownDeliveries;
      if (AFrame.Kind == CTaskEndHandler) ++ownTaskDeliveries;
    } else if (!refused) {
      refused = &AFrame;
    }
    return false;
  });
  if (refused)
    MyUtils::RefuseFreeFromHandler(CUnit, CLineFreeFromHandler, refused->Kind,
                                   [this](const std::string& AText) { LogFatal(this, AText); });
  FShutDown = true;
  {
    // No delivery calls a handler from here on; the ones whose handler freed the
    // encoder on this thread are counted out here, as they touch nothing more.
    std::lock_guard<std::mutex> g(FDeliveryLock);
    FShuttingDown.store(true);
    FLiveDeliveries -= ownDeliveries;
    FTaskDeliveries -= ownTaskDeliveries;
    FDeliveryCond.notify_all();
  }
  // Each handler is cleared under the lock its trampoline reads it under, so a running
  // task's thread either sees it before or not at all.
  {
    auto g = LockServing(FBeforeFindStreamInfoLock);
    OnBeforeFindStreamInfo = nullptr;
  }
  {
    auto g = LockServing(FProgressLock);
    OnProgress = nullptr;
  }
  {
    auto g = LockServing(FPreviewLock);
    OnPreviewBitmap = nullptr;
  }
  {
    auto g = LockServing(FAudioHookLock);
    OnAudioInputHook = nullptr;
    OnAudioOutputHook = nullptr;
  }
  {
    auto g = LockServing(FVideoHookLock);
    OnVideoInputHook = nullptr;
    OnVideoOutputHook = nullptr;
  }
  {
    auto g = LockServing(FFrameHookLock);
    OnFrameInputHook = nullptr;
    OnFrameOutputHook = nullptr;
  }
  {
    auto term = LockServing(FTerminateLock);
    OnStart = nullptr;
    OnTerminate = nullptr;
    FPendingStarts = 0;
    FOwedStarts = 0;
    ++FGeneration;  // nothing starts, and deliveries still out free nothing
    // The pins of a Stop(True) waiting on this thread below the handler: that Stop
    // returns touching nothing once the handler does, and its tasks go here.
    for (auto it = FPinned.begin(); it != FPinned.end();)
      it = it->Thread == Platform::GetCurrentThreadId() ? FPinned.erase(it) : it + 1;
  }
  // Each task stops and is waited for, out of the list and with no lock held: its
  // threads may still be inside a handler that walks the list.
  WaitUnpinned();
  std::vector<TFFmpeg*> tasks;
  {
    auto free = LockFree();
    tasks = FTaskList.TakeAll();
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    tasks.insert(tasks.begin(), FDeferredFrees.begin(), FDeferredFrees.end());
    FDeferredFrees.clear();
  }
  FreeTasks(tasks);
  // Delivery threads still running touch this object until their last step.
  (void)MyUtils::WaitServing([this](Platform::Cardinal AMilliseconds) {
    std::unique_lock<std::mutex> g(FDeliveryLock);
    if (AMilliseconds == 0) return FLiveDeliveries == 0;
    FDeliveryCond.wait(g, [this] { return FLiveDeliveries == 0; });
    return true;
  });
}

std::unique_lock<std::recursive_mutex> TCustomEncoder::LockFree() {
  return LockServing(FFreeLock);
}

void TCustomEncoder::FreeTasks(std::vector<TFFmpeg*>& ATasks) {
  while (!ATasks.empty()) {
    TFFmpeg* task = ATasks.back();
    ATasks.pop_back();
    delete task;
  }
}

bool TCustomEncoder::Pinned(const TFFmpeg* ATask) const {
  for (const TPin& pin : FPinned)
    if (pin.Task == ATask) return true;
  return false;
}

void TCustomEncoder::WaitUnpinned() {
  (void)MyUtils::WaitServing([this](Platform::Cardinal AMilliseconds) {
    for (;;) {
      {
        std::unique_lock<std::recursive_mutex> term(FTerminateLock, std::try_to_lock);
        if (term.owns_lock() && FPinned.empty()) return true;
      }
      if (AMilliseconds == 0) return false;
      // Unpin notifies the condition once it changed the pins (a change between the
      // look above and this wait is seen within the slice).
      std::unique_lock<std::mutex> g(FDeliveryLock);
      FDeliveryCond.wait_for(g, std::chrono::milliseconds(5));
    }
  });
}

template <class F>
void TCustomEncoder::ForEachTask(F AAction) {
  const int count = FTaskList.Count();
  for (int i = 0; i < count; ++i)
    if (TFFmpeg* task = FTaskList.Get(i)) AAction(task);
}

bool TCustomEncoder::LibrariesLoaded() const {
  return FFLoad::FFLoader && FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries);
}

bool TCustomEncoder::LoadLibraries(const std::string& APath) {
  FFLoad::FFLoader->SetLibraryPath(APath);
  const bool ok = FFLoad::FFLoader->Load(FFLoad::CEncoderLibraries);
  if (!ok) FLastErrMsg = FFLoad::FFLoader->GetLastErrMsg();
  return ok;
}

bool TCustomEncoder::Working() {
  std::lock_guard<std::recursive_mutex> term(FTerminateLock);
  return FWorking;
}

bool TCustomEncoder::AllDone() {
  std::lock_guard<std::recursive_mutex> term(FTerminateLock);
  return FAllDone;
}

TFFmpeg* TCustomEncoder::GetTask(int AIndex) { return FTaskList.Get(AIndex); }

int TCustomEncoder::TaskCount() { return FTaskList.Count(); }

// ---- Building tasks -------------------------------------------------------------------------

int TCustomEncoder::AddTask(const std::string& ACommandLine, const THookChoice* AHooks) {
  if (!LibrariesLoaded()) throw Exception("FFmpeg libraries not loaded.");
  {
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    if (FWorking) throw Exception(Platform::Format("Cannot %s while working.", "AddTask"));
  }
  std::unique_ptr<TFFmpeg> task(new TFFmpeg);
  task->FPreviewInterval.store(Microseconds(FPreviewInterval.load()));
  task->Fstats_period.store(Microseconds(FProgressInterval.load()));
  task->FOnBeforeFindStreamInfo =
      TBeforeFindStreamInfoEvent::Bind<&TCustomEncoder::DoBeforeFindStreamInfo>(this);
  task->FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::Bind<&TCustomEncoder::DoPreviewBitmap>(this);
  task->FEncoder = this;
  task->FAudioPreview.store(FPreviewAudio.load());
  try {
    std::uint8_t flags = task->PreviewFlags();
    flags = FPreviewVideo ? (flags | FFmpeg::PREVIEW_WINDOW) : (flags & ~FFmpeg::PREVIEW_WINDOW);
    flags = FPreviewBitmap ? (flags | FFmpeg::PREVIEW_BITMAP) : (flags & ~FFmpeg::PREVIEW_BITMAP);
    task->SetPreviewFlags(flags);
    task->FReadTimeout.store(ReadTimeout);
    task->FWriteTimeout.store(WriteTimeout);

    // A hook not chosen stays unset, so the engine never prepares frames for it.
    if (AHooks) {
      const THookChoice& h = *AHooks;
      using FFmpeg::TTaskAudioHookEvent;
      using FFmpeg::TTaskFrameHookEvent;
      using FFmpeg::TTaskVideoHookEvent;
      if (h[hkAudioInput])
        task->FOnAudioInputHook = TTaskAudioHookEvent::Bind<&TCustomEncoder::DoAudioInputHook>(this);
      if (h[hkAudioOutput])
        task->FOnAudioOutputHook =
            TTaskAudioHookEvent::Bind<&TCustomEncoder::DoAudioOutputHook>(this);
      if (h[hkVideoInput])
        task->FOnVideoInputHook = TTaskVideoHookEvent::Bind<&TCustomEncoder::DoVideoInputHook>(this);
      if (h[hkVideoOutput])
        task->FOnVideoOutputHook =
            TTaskVideoHookEvent::Bind<&TCustomEncoder::DoVideoOutputHook>(this);
      if (h[hkFrameInput])
        task->FOnFrameInputHook = TTaskFrameHookEvent::Bind<&TCustomEncoder::DoFrameInputHook>(this);
      if (h[hkFrameOutput])
        task->FOnFrameOutputHook =
            TTaskFrameHookEvent::Bind<&TCustomEncoder::DoFrameOutputHook>(this);
    }

    const int ret = task->ParseOptions(ACommandLine);
    if (ret < 0) {
      FLastErrMsg = task->LastErrMsg();
      return ret;  // the task goes with its unique_ptr; nothing is listed
    }

    // One decoder component per input, lent the task's opened input.
    for (int i = 0; i < task->Fnb_input_files; ++i) {
      auto* decoder = new FFDecode::TVIZoravaz(nullptr);
      task->FDecoders.push_back(decoder);
      decoder->SetFormatContext(task->Finput_files[i]->ctx);
    }

    task->FOnProgress = FFmpeg::TTaskProgressEvent::Bind<&TCustomEncoder::DoProgress>(this);
    task->FOnTerminate = Platform::TNotifyEvent::Bind<&TCustomEncoder::DoTerminate>(this);
  } catch (const Exception& e) {
    FLastErrMsg = e.what();
    return -1;
  }
  return FTaskList.Add(task.release());
}

void TCustomEncoder::ClearTasks() {
  std::vector<TFFmpeg*> tasks;
  for (;;) {
    {
      auto free = LockFree();
      std::lock_guard<std::recursive_mutex> term(FTerminateLock);
      // Inside a walk, inside a waiting Stop or inside StartTask (a handler of a
      // synchronous run) a task of the run may still be on the stack.
      if ((FWorking && !FAllDone) || FStartDepth > 0 || FWalkDepth > 0 || tPinDepth > 0)
        throw Exception("Cannot ClearTasks while working.");
      if (FPinned.empty()) {
        ++FGeneration;  // deliveries still out no longer free anything
        tasks = FTaskList.TakeAll();
        FTerminatedCount = 0;
        FNextIndex = -1;
        FPendingStarts = 0;
        FOwedStarts = 0;
        FRunLength = 0;
        FRunSlots.clear();
        FAllDone = false;
        FLimited = false;
        FWorking = false;
        FPaused = false;
        break;
      }
    }
    // Another thread's Stop(True) still waits for some of them.
    WaitUnpinned();
  }
  FLastErrMsg.clear();
  // Out of the list: freed (each waited for) with no lock held.
  FreeTasks(tasks);
}

// ---- Runs -----------------------------------------------------------------------------------

void TCustomEncoder::StartTask(int AN) {
  {
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    if (FWorking) throw Exception(Platform::Format("Cannot %s while working.", "StartTask"));
    FTerminatedCount = 0;
    FNextIndex = 0;
    FRunLength = FTaskList.Count();
    FRunSlots.clear();
    for (int i = 0; i < FRunLength; ++i) FRunSlots.push_back(FTaskList.Get(i));
    FPendingStarts = FRunLength;
    FOwedStarts = AN > 0 ? AN : 0;
    FAllDone = false;
    FLimited = AN > 0;
    FWorking = true;
    FPaused = false;
    ++FStartDepth;
  }
  struct TDepth {
    TCustomEncoder* Self;
    ~TDepth() {
      std::lock_guard<std::recursive_mutex> term(Self->FTerminateLock);
      --Self->FStartDepth;
    }
  } depth{this};

  if (AN > 0) {
    // The first N; the ends reported meanwhile owe one start each, which this thread
    // (holding the start token) makes too, so a task ending early never starts one
    // more than N, and the starts keep the list's order.
    RunStarts();
    return;
  }
  // One task after another on this thread; the lock is not held while a task runs.
  // Whatever runs meanwhile on this thread runs inside the run, which goes on after it.
  const THandlerCall run(this, CSynchronousRun);
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> term(FTerminateLock);
      if (FPendingStarts <= 0) break;
    }
    StartNextTask();
  }
  std::lock_guard<std::recursive_mutex> term(FTerminateLock);
  CheckRunEnd();
}

bool TCustomEncoder::PickNext(int& AIndex, TFFmpeg*& ATask) {
  for (;;) {
    if (FPendingStarts <= 0) return false;
    --FPendingStarts;
    AIndex = FNextIndex++;
    ATask = FTaskList.Get(AIndex);
    if (ATask) return true;
    ++FTerminatedCount;  // an empty slot never reports: it counts as ended
  }
}

void TCustomEncoder::StartNextTask() {
  int index = -1;
  TFFmpeg* task = nullptr;
  TStartEvent onStart;
  {
    // The position is taken before the task starts: a task that cannot start reports
    // its end inside Start.
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    if (!PickNext(index, task)) return;
    onStart = OnStart;
  }
  if (onStart.Assigned()) {
    const THandlerCall scope(this, CStartHandler, task);
    onStart(this, index);
  }
  task->Start(false);
}

void TCustomEncoder::RunStarts() {
  std::unique_lock<std::recursive_mutex> term(FTerminateLock);
  const std::uint64_t generation = FGeneration;
  if (!FWorking || !FLimited) return;
  if (FStarter && FStarterGeneration == generation) return;  // the holder starts them
  FStarter = true;
  FStarterGeneration = generation;
  struct TToken {
    TCustomEncoder* Self;
    std::uint64_t Generation;
    ~TToken() {
      if (Self->FStarterGeneration == Generation) Self->FStarter = false;
    }
  };
  {
    TToken token{this, generation};
    for (;;) {
      int index = -1;
      TFFmpeg* task = nullptr;
      if (FGeneration != generation || FOwedStarts <= 0 || !PickNext(index, task)) break;
      --FOwedStarts;
      const std::uint64_t stops = FStopCount;
      const TStartEvent onStart = OnStart;
      // The handler may call any method of the component: no lock of it is held.
      term.unlock();
      try {
        if (onStart.Assigned()) {
          const THandlerCall scope(this, CStartHandler, task);
          onStart(this, index);
        }
      } catch (...) {
        term.lock();
        if (FGeneration == generation && FStopCount == stops) {
          // The position goes back: the next end starts it.
          --FNextIndex;
          ++FPendingStarts;
          ++FOwedStarts;
        }
        throw;
      }
      term.lock();
      if (FGeneration != generation) break;  // cleared meanwhile: nothing of it is ours
      // Stopped meanwhile: Stop told the task to end, and it reports its end itself.
      if (FStopCount != stops) continue;
      if (FTaskList.Get(index) != task) {
        ++FTerminatedCount;  // freed meanwhile: an empty slot
        continue;
      }
      task->Start(true);
      if (FPaused) task->Pause();  // a run paused meanwhile holds its new task too
    }
  }
  CheckRunEnd();
}

void TCustomEncoder::CheckRunEnd() {
  if (!FWorking || FAllDone || FPendingStarts > 0 || FTerminatedCount < FRunLength) return;
  FAllDone = true;
  if (!OnTerminate.Assigned()) return;
  FTerminateInfo = TTerminateInfo{-1, true, false, std::string()};
  Deliver(FTerminateInfo, nullptr, true);
}

void TCustomEncoder::Deliver(const TTerminateInfo& AInfo, TFFmpeg* ATask, bool AFinal) {
  if (FLimited || !FWorking) {
    {
      std::lock_guard<std::mutex> g(FDeliveryLock);
      if (!AFinal) ++FTaskDeliveries;
      ++FLiveDeliveries;
    }
    try {
      new TDoTerminateThread(this, TriggerEventInMainThread, AFinal, AInfo, OnTerminate, ATask,
                             FGeneration);
    } catch (...) {
      DeliveryDone(!AFinal);
      throw;
    }
    return;
  }
  // A synchronous run: on the reporting thread.
  const THandlerCall scope(this, CRunTerminateHandler);
  OnTerminate(this, AInfo);
}

void TCustomEncoder::DoTerminate(void* ASender) {
  if (!ASender) return;
  auto* task = static_cast<TCustomFFmpeg*>(ASender);
  bool startMore = false;
  {
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    int index = FTaskList.IndexOf(task);
    if (index < 0 && FWorking) {
      // A task of the run that is being destroyed (it left its slot first) still ends
      // its position.
      for (std::size_t i = 0; i < FRunSlots.size(); ++i)
        if (FRunSlots[i] && static_cast<TCustomFFmpeg*>(FRunSlots[i]) == task) {
          index = static_cast<int>(i);
          break;
        }
    }
    if (index < 0) return;  // not one of ours
    if (OnTerminate.Assigned()) {
      FTerminateInfo =
          TTerminateInfo{index, task->JobFinished(), task->HasError(), task->ErrorText()};
      Deliver(FTerminateInfo, FTaskList.Get(index), false);
    }
    if (!FWorking) return;
    ++FTerminatedCount;
    if (FLimited && FPendingStarts > 0) {
      ++FOwedStarts;
      startMore = true;
    }
    CheckRunEnd();
  }
  // With no lock held (unless this thread starts tasks already: then it starts this one
  // too once back in its loop).
  if (startMore) RunStarts();
}

void TCustomEncoder::WaitTaskDeliveries() {
  std::unique_lock<std::mutex> g(FDeliveryLock);
  FDeliveryCond.wait(g, [this] { return FTaskDeliveries == 0 || FShuttingDown.load(); });
}

void TCustomEncoder::FreeDelivered(int AIndex, TFFmpeg* ATask, std::uint64_t AGeneration) {
  {
    auto free = LockFree();
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    if (AGeneration != FGeneration) return;  // cleared since: the task is gone
    if (!FTaskList.Take(AIndex, ATask)) return;
    if (Pinned(ATask)) {
      FDeferredFrees.push_back(ATask);  // the Stop waiting for it frees it
      return;
    }
  }
  // Out of the list, with no lock held: its convert thread may still be inside a
  // handler that calls the component.
  delete ATask;
}

void TCustomEncoder::DeliveryDone(bool ATaskDelivery) {
  {
    std::lock_guard<std::mutex> g(FDeliveryLock);
    if (ATaskDelivery) --FTaskDeliveries;
    --FLiveDeliveries;
    FDeliveryCond.notify_all();
  }
  Platform::NotifyMainThread();
}

void TCustomEncoder::EnterMainHandler() {
  std::lock_guard<std::mutex> g(FDeliveryLock);
  ++FMainHandlers;
}

void TCustomEncoder::LeaveMainHandler() {
  std::lock_guard<std::mutex> g(FDeliveryLock);
  if (--FMainHandlers == 0) FDeliveryCond.notify_all();
}

bool TCustomEncoder::InMainHandler() {
  std::lock_guard<std::mutex> g(FDeliveryLock);
  return FMainHandlers > 0;
}

void TCustomEncoder::WaitMainHandlersOut() {
  std::unique_lock<std::mutex> g(FDeliveryLock);
  FDeliveryCond.wait(g, [this] { return FMainHandlers == 0 || FShuttingDown.load(); });
}

void TCustomEncoder::Pause() {
  auto free = LockFree();
  std::lock_guard<std::recursive_mutex> term(FTerminateLock);
  if (!FWorking || FPaused) return;
  ForEachTask([](TFFmpeg* ATask) { ATask->Pause(); });
  FPaused = true;
}

void TCustomEncoder::Resume() {
  auto free = LockFree();
  std::lock_guard<std::recursive_mutex> term(FTerminateLock);
  if (!FWorking || !FPaused) return;
  ForEachTask([](TFFmpeg* ATask) { ATask->Resume(); });
  FPaused = false;
}

void TCustomEncoder::Stop(bool AWait) {
  std::vector<TFFmpeg*> pinned;
  {
    auto free = LockFree();
    ++FWalkDepth;
    struct TWalk {
      int& Depth;
      ~TWalk() { --Depth; }
    } walk{FWalkDepth};
    // Nothing starts any more; every task is told to stop without waiting, so the ends
    // that the tasks report meanwhile are counted at once.
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    if (FPendingStarts > 0) {
      // The empty slots among the positions never taken would never report.
      for (int i = FNextIndex; i >= 0 && i < FRunLength; ++i)
        if (!FTaskList.Get(i)) ++FTerminatedCount;
    }
    FPendingStarts = 0;
    FOwedStarts = 0;
    ++FStopCount;
    if (!FWorking) return;
    ForEachTask([](TFFmpeg* ATask) { ATask->Terminate(false); });
    CheckRunEnd();
    // Inside a terminate handler of a synchronous run the ends are counted only after
    // the handler returns, and inside any other handler of this component the task it
    // reports on (and every task waiting for the family's lock it holds) goes on only
    // once the handler has returned: waiting there would wait for itself. The ends are
    // reported as usual once the handlers return.
    if (!AWait || MyUtils::InHandler(this) || MyUtils::FindHandler(IsTerminateHandler)) return;
    ForEachTask([&pinned](TFFmpeg* ATask) { pinned.push_back(ATask); });
    for (TFFmpeg* task : pinned) FPinned.push_back(TPin{task, Platform::GetCurrentThreadId()});
  }
  // The waits hold no lock: the tasks' threads may call the component meanwhile. The
  // pinned tasks stay until the waits are done. A handler run meanwhile on this thread
  // (the main thread serves its queue) may free the encoder, and its tasks with it:
  // then nothing of either is touched any more.
  const MyUtils::THandlerScope watch(this, nullptr);
  ++tPinDepth;
  struct TDepth {
    ~TDepth() { --tPinDepth; }
  } depth;
  std::vector<TFFmpeg*> frees;
  try {
    for (TFFmpeg* task : pinned) {
      task->Terminate(true);
      if (watch.Freed()) return;
    }
  } catch (...) {
    if (watch.Freed()) throw;
    frees = Unpin(pinned);
    FreeTasks(frees);
    throw;
  }
  frees = Unpin(pinned);
  FreeTasks(frees);
}

std::vector<TFFmpeg*> TCustomEncoder::Unpin(const std::vector<TFFmpeg*>& ATasks) {
  std::vector<TFFmpeg*> frees;
  {
    std::lock_guard<std::recursive_mutex> term(FTerminateLock);
    const Platform::TThreadID self = Platform::GetCurrentThreadId();
    for (TFFmpeg* task : ATasks)
      for (auto it = FPinned.begin(); it != FPinned.end(); ++it)
        if (it->Task == task && it->Thread == self) {
          FPinned.erase(it);
          break;
        }
    for (auto it = FDeferredFrees.begin(); it != FDeferredFrees.end();) {
      if (Pinned(*it)) {
        ++it;
      } else {
        frees.push_back(*it);
        it = FDeferredFrees.erase(it);
      }
    }
  }
  {
    std::lock_guard<std::mutex> g(FDeliveryLock);
    FDeliveryCond.notify_all();
  }
  Platform::NotifyMainThread();
  return frees;
}

// ---- Settings -------------------------------------------------------------------------------

void TCustomEncoder::SetOnProgress(const TEncProgressEvent& AHandler) {
  if (MyUtils::InHandler(this, CProgressHandler)) {
    // From inside the progress handler: the lock is held for this very call (by this
    // thread, or by the task's thread that waits for it), which read its handler
    // before it began, and no other call starts before it returns.
    OnProgress = AHandler;
    return;
  }
  auto g = LockServing(FProgressLock);
  OnProgress = AHandler;
}

void TCustomEncoder::SetOnTerminate(const TTerminateEvent& AHandler) {
  auto term = LockServing(FTerminateLock);
  OnTerminate = AHandler;
}

void TCustomEncoder::SetReadTimeout(int AValue) {
  TFFBaseComponent::SetReadTimeout(AValue);
  auto free = LockFree();
  ForEachTask([AValue](TFFmpeg* ATask) { ATask->FReadTimeout.store(AValue); });
}

void TCustomEncoder::SetWriteTimeout(int AValue) {
  TFFBaseComponent::SetWriteTimeout(AValue);
  auto free = LockFree();
  ForEachTask([AValue](TFFmpeg* ATask) { ATask->FWriteTimeout.store(AValue); });
}

// The stored value and every listed task's are changed under FFreeLock together, so
// setters on two threads leave them agreeing.
void TCustomEncoder::SetPreviewAudio(bool AValue) {
  auto free = LockFree();
  FPreviewAudio.store(AValue);
  ForEachTask([AValue](TFFmpeg* ATask) { ATask->FAudioPreview.store(AValue); });
}

void TCustomEncoder::SetPreviewVideo(bool AValue) {
  auto free = LockFree();
  FPreviewVideo.store(AValue);
  ForEachTask([AValue](TFFmpeg* ATask) {
    const std::uint8_t flags = ATask->PreviewFlags();
    ATask->SetPreviewFlags(AValue ? (flags | FFmpeg::PREVIEW_WINDOW)
                                  : (flags & ~FFmpeg::PREVIEW_WINDOW));
  });
}

void TCustomEncoder::SetPreviewBitmap(bool AValue) {
  auto free = LockFree();
  FPreviewBitmap.store(AValue);
  ForEachTask([AValue](TFFmpeg* ATask) {
    const std::uint8_t flags = ATask->PreviewFlags();
    ATask->SetPreviewFlags(AValue ? (flags | FFmpeg::PREVIEW_BITMAP)
                                  : (flags & ~FFmpeg::PREVIEW_BITMAP));
  });
}

void TCustomEncoder::SetPreviewInterval(int AValue) {
  const int value = ClampInterval(AValue);
  const std::int64_t us = Microseconds(value);
  auto free = LockFree();
  FPreviewInterval.store(value);
  ForEachTask([us](TFFmpeg* ATask) { ATask->FPreviewInterval.store(us); });
}

void TCustomEncoder::SetProgressInterval(int AValue) {
  const int value = ClampInterval(AValue);
  const std::int64_t us = Microseconds(value);
  auto free = LockFree();
  FProgressInterval.store(value);
  ForEachTask([us](TFFmpeg* ATask) { ATask->Fstats_period.store(us); });
}

// ---- Trampolines ----------------------------------------------------------------------------

void TCustomEncoder::AudioHook(const TEncAudioHookEvent& AHandler, TObject* Sender,
                               const std::int64_t& APTS, AVFrame* AFrame, int ASize,
                               int ASampleRate, int AChannels, AVSampleFormat ASampleFormat) {
  std::lock_guard<std::mutex> g(FAudioHookLock);
  if (!AHandler.Assigned()) return;
  const THandlerCall scope(this, CAudioHookHandler, TaskOf(Sender));
  AHandler(this, FTaskList.IndexOf(TaskOf(Sender)), APTS, AFrame, ASize, ASampleRate, AChannels,
           ASampleFormat);
}

void TCustomEncoder::DoAudioInputHook(TObject* Sender, const std::int64_t& APTS, AVFrame* AFrame,
                                      int ASize, int ASampleRate, int AChannels,
                                      AVSampleFormat ASampleFormat) {
  AudioHook(OnAudioInputHook, Sender, APTS, AFrame, ASize, ASampleRate, AChannels, ASampleFormat);
}

void TCustomEncoder::DoAudioOutputHook(TObject* Sender, const std::int64_t& APTS,
                                       AVFrame* AFrame, int ASize, int ASampleRate,
                                       int AChannels, AVSampleFormat ASampleFormat) {
  AudioHook(OnAudioOutputHook, Sender, APTS, AFrame, ASize, ASampleRate, AChannels,
            ASampleFormat);
}

void TCustomEncoder::VideoHook(const TEncVideoHookEvent& AHandler, TObject* Sender,
                               TBitmap* ABitmap, int AFrameNumber, const std::int64_t& APTS,
                               bool& AUpdate, bool& AStopHook) {
  std::lock_guard<std::mutex> g(FVideoHookLock);
  if (!AHandler.Assigned()) return;
  FHookInfo = THookInfo{FTaskList.IndexOf(TaskOf(Sender)), ABitmap, AFrameNumber, APTS, AUpdate,
                        AStopHook};
  {
    const THandlerCall scope(this, CVideoHookHandler, TaskOf(Sender));
    AHandler(this, &FHookInfo);
  }
  AUpdate = FHookInfo.Update;
  AStopHook = FHookInfo.StopHook;
}

void TCustomEncoder::DoVideoInputHook(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                                      const std::int64_t& APTS, bool& AUpdate, bool& AStopHook) {
  VideoHook(OnVideoInputHook, Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::DoVideoOutputHook(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                                       const std::int64_t& APTS, bool& AUpdate,
                                       bool& AStopHook) {
  VideoHook(OnVideoOutputHook, Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::FrameHook(const TEncFrameHookEvent& AHandler, TObject* Sender,
                               PAVPicture APicture, AVPixelFormat APixFmt, int AFrameNumber,
                               int AWidth, int AHeight, const std::int64_t& APTS) {
  std::lock_guard<std::mutex> g(FFrameHookLock);
  if (!AHandler.Assigned()) return;
  FFrameHookInfo = TFrameHookInfo{FTaskList.IndexOf(TaskOf(Sender)), AFrameNumber, APicture,
                                  APixFmt, AWidth, AHeight, APTS};
  const THandlerCall scope(this, CFrameHookHandler, TaskOf(Sender));
  AHandler(this, &FFrameHookInfo);
}

void TCustomEncoder::DoFrameInputHook(TObject* Sender, PAVPicture APicture, AVPixelFormat APixFmt,
                                      int AFrameNumber, int AWidth, int AHeight,
                                      const std::int64_t& APTS) {
  FrameHook(OnFrameInputHook, Sender, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

void TCustomEncoder::DoFrameOutputHook(TObject* Sender, PAVPicture APicture,
                                       AVPixelFormat APixFmt, int AFrameNumber, int AWidth,
                                       int AHeight, const std::int64_t& APTS) {
  FrameHook(OnFrameOutputHook, Sender, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

void TCustomEncoder::DoPreviewBitmap(TObject* Sender, TBitmap* ABitmap, int AFrameNumber,
                                     const std::int64_t& APTS) {
  std::lock_guard<std::mutex> g(FPreviewLock);
  const TEncPreviewBitmapEvent handler = OnPreviewBitmap;
  if (!handler.Assigned()) return;
  FPreviewInfo = TPreviewInfo{FTaskList.IndexOf(TaskOf(Sender)), ABitmap, AFrameNumber, APTS};
  auto call = [this, &handler, Sender] {
    // Handed to the main thread, it may come when the encoder has begun to shut down.
    if (ShuttingDown()) return;
    const THandlerCall scope(this, CPreviewHandler, TaskOf(Sender));
    handler(this, FPreviewInfo);
  };
  RunHandler(TriggerEventInMainThread, call);
}

void TCustomEncoder::DoProgress(TObject* Sender, int AFileIndex, int AFrameNumber, int AFPS,
                                float AQuality, float ABitRate, const std::int64_t& ATotalSize,
                                const std::int64_t& ACurrentDuration,
                                const std::int64_t& ATotalDuration) {
  std::lock_guard<std::mutex> g(FProgressLock);
  const TEncProgressEvent handler = OnProgress;
  if (!handler.Assigned()) return;
  FProgressInfo = TProgressInfo{FTaskList.IndexOf(TaskOf(Sender)), AFileIndex, AFrameNumber, AFPS,
                                AQuality, ABitRate, ATotalSize, ACurrentDuration, ATotalDuration};
  auto call = [this, &handler, Sender] {
    if (ShuttingDown()) return;  // as in DoPreviewBitmap
    const THandlerCall scope(this, CProgressHandler, TaskOf(Sender));
    handler(this, &FProgressInfo);
  };
  RunHandler(TriggerEventInMainThread, call);
}

void TCustomEncoder::DoBeforeFindStreamInfo(TObject* Sender, AVFormatContext* AFormatContext) {
  std::lock_guard<std::mutex> g(FBeforeFindStreamInfoLock);
  const TBeforeFindStreamInfoEvent handler = OnBeforeFindStreamInfo;
  if (!handler.Assigned()) return;
  FPendingSender = Sender;
  FPendingFormatContext = AFormatContext;
  auto call = [this, &handler] {
    if (ShuttingDown()) return;  // as in DoPreviewBitmap
    const THandlerCall scope(this, CBeforeFindStreamInfoHandler, TaskOf(FPendingSender));
    handler(FPendingSender, FPendingFormatContext);
  };
  RunHandler(TriggerEventInMainThread, call);
}

}  // namespace FFEncode
