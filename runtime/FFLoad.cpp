#include "runtime/FFLoad.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/version.h>
#include <libavdevice/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/log.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/MessageHook.h"
#include "platform/Streams.h"
#include "platform/Sync.h"
#include "platform/Threads.h"
#include "platform/Time.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFUTF8.h"
#include "runtime/MyUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace FFLoad {

TFFLoader* FFLoader = nullptr;
TFFLogWorker* VEDovedo = nullptr;

// The emission reads the handler under the settings lock.
struct TLogAccess {
  static TLogEvent OnLog(const TFFLogWorker& AWorker) { return AWorker.FOnLog; }
};

namespace {

using Platform::HMODULE;
using Platform::TThreadID;

// ---- Library table ---------------------------------------------------------------------

using TFixupProc = void (*)(const std::string& ALibName, HMODULE AHandle);
using TUnfixProc = void (*)();

struct TLibraryRow {
  TLibrary Lib;
  const char* BaseName;
  bool NoPath;           // loaded by bare name, never from the library folder
  int Major;             // -1: none
  const char* FileName;  // the platform's fixed file name; nullptr: "lib" base ".so." major
  TFixupProc Fixup;
  TUnfixProc Unfix;
};

const TLibraryRow CLibraryTable[CLibraryCount] = {
    {avUtil, "avutil", false, 60, nullptr, AVUtilStubs::AVUtilFixupStubs,
     AVUtilStubs::AVUtilUnfixStubs},
    {swScale, "swscale", false, 9, nullptr, SwScaleStubs::SwScaleFixupStubs,
     SwScaleStubs::SwScaleUnfixStubs},
    {swResample, "swresample", false, 6, nullptr, SwResampleStubs::SwResampleFixupStubs,
     SwResampleStubs::SwResampleUnfixStubs},
    {avCodec, "avcodec", false, 62, nullptr, AVCodecStubs::AVCodecFixupStubs,
     AVCodecStubs::AVCodecUnfixStubs},
    {avFormat, "avformat", false, 62, nullptr, AVFormatStubs::AVFormatFixupStubs,
     AVFormatStubs::AVFormatUnfixStubs},
    {avFilter, "avfilter", false, 11, nullptr, AVFilterStubs::AVFilterFixupStubs,
     AVFilterStubs::AVFilterUnfixStubs},
    {avDevice, "avdevice", false, 62, nullptr, AVDeviceStubs::AVDeviceFixupStubs,
     AVDeviceStubs::AVDeviceUnfixStubs},
    {myUtil, "libc", true, -1, "libc.so.6", MyUtilStubs::MyUtilFixupStubs,
     MyUtilStubs::MyUtilUnfixStubs},
    {SDL2, "SDL2", false, -1, "libSDL2-2.0.so.0", SDL2Stubs::SDL2FixupStubs,
     SDL2Stubs::SDL2UnfixStubs},
    {libSoundTouch, "SoundTouch", false, -1, "libSoundTouchDll.so.1",
     SoundTouchStubs::SoundTouchFixupStubs, SoundTouchStubs::SoundTouchUnfixStubs},
};

static_assert(LIBAVUTIL_VERSION_MAJOR == 60 && LIBSWSCALE_VERSION_MAJOR == 9 &&
              LIBSWRESAMPLE_VERSION_MAJOR == 6 && LIBAVCODEC_VERSION_MAJOR == 62 &&
              LIBAVFORMAT_VERSION_MAJOR == 62 && LIBAVFILTER_VERSION_MAJOR == 11 &&
              LIBAVDEVICE_VERSION_MAJOR == 62,
              "the library table's major versions follow the FFmpeg headers");

struct TLibraryStatus {
  TLibrary Lib;
  std::string Name;  // the host's file name override, empty when none
  HMODULE Handle = nullptr;
  bool Fixuped = false;
};

// ---- Log items and queues ------------------------------------------------------------

enum TLogType : std::uint8_t { ltAVLog, ltLogger };

constexpr int CLogMsgSize = 2048;
constexpr int CReporterInfoSize = 256;
constexpr int CExtraFirstSize = 4096;
constexpr int CExtraStep = 2048;
constexpr int CExtraLimit = 10240;
constexpr int CQueueSize = 1024;

// One log line in transit. Copied by value; whoever holds an item owns its ExtraMsg.
struct TLogItem {
  Platform::TDateTime LogTime;
  TLogType LogType;
  const void* Reporter;  // the FFmpeg context (ltAVLog) or the sender object (ltLogger)
  TThreadID ThreadID;
  TLogLevel LogLevel;
  int Repeats;
  char* ExtraMsg;  // malloc'ed text buffer when the text does not fit in LogMsg
  int ExtraSize;
  bool NoPrefix;
  bool MainThread;  // produced on the main thread
  char LogMsg[CLogMsgSize];
  char ReporterInfo[CReporterInfoSize];
};

char* ItemText(TLogItem& AItem) { return AItem.ExtraMsg ? AItem.ExtraMsg : AItem.LogMsg; }
const char* ItemText(const TLogItem& AItem) {
  return AItem.ExtraMsg ? AItem.ExtraMsg : AItem.LogMsg;
}

void ZeroItem(TLogItem& AItem) {
  AItem.LogTime = 0;
  AItem.LogType = ltAVLog;
  AItem.Reporter = nullptr;
  AItem.ThreadID = 0;
  AItem.LogLevel = llQuiet;
  AItem.Repeats = 0;
  AItem.ExtraMsg = nullptr;
  AItem.ExtraSize = 0;
  AItem.NoPrefix = false;
  AItem.MainThread = false;
  AItem.LogMsg[0] = 0;
  AItem.ReporterInfo[0] = 0;
}

// Frees the item's extra text and empties it.
void ClearItem(TLogItem& AItem) {
  std::free(AItem.ExtraMsg);
  ZeroItem(AItem);
}

// Copies the header and the used parts of the texts; ownership of ExtraMsg moves along.
void MoveItem(TLogItem& ADest, const TLogItem& ASrc) {
  ADest.LogTime = ASrc.LogTime;
  ADest.LogType = ASrc.LogType;
  ADest.Reporter = ASrc.Reporter;
  ADest.ThreadID = ASrc.ThreadID;
  ADest.LogLevel = ASrc.LogLevel;
  ADest.Repeats = ASrc.Repeats;
  ADest.ExtraMsg = ASrc.ExtraMsg;
  ADest.ExtraSize = ASrc.ExtraSize;
  ADest.NoPrefix = ASrc.NoPrefix;
  ADest.MainThread = ASrc.MainThread;
  if (ASrc.ExtraMsg)
    ADest.LogMsg[0] = 0;
  else
    std::memcpy(ADest.LogMsg, ASrc.LogMsg, std::strlen(ASrc.LogMsg) + 1);
  std::memcpy(ADest.ReporterInfo, ASrc.ReporterInfo, std::strlen(ASrc.ReporterInfo) + 1);
}

// A copy with its own extra text.
void CopyItem(TLogItem& ADest, const TLogItem& ASrc) {
  MoveItem(ADest, ASrc);
  if (ASrc.ExtraMsg) {
    ADest.ExtraMsg = static_cast<char*>(std::malloc(static_cast<size_t>(ASrc.ExtraSize)));
    if (!ADest.ExtraMsg) throw std::bad_alloc();
    std::memcpy(ADest.ExtraMsg, ASrc.ExtraMsg, std::strlen(ASrc.ExtraMsg) + 1);
  }
}

// Puts AText into the item: into LogMsg when it fits, else into an extra buffer whose
// size is the smallest multiple of 2,048 above the text's length.
void SetItemText(TLogItem& AItem, const char* AText, size_t ALength) {
  if (ALength < static_cast<size_t>(CLogMsgSize)) {
    std::memcpy(AItem.LogMsg, AText, ALength);
    AItem.LogMsg[ALength] = 0;
    return;
  }
  const size_t size = (ALength / CExtraStep + 1) * CExtraStep;
  AItem.ExtraMsg = static_cast<char*>(std::malloc(size));
  if (!AItem.ExtraMsg) throw std::bad_alloc();
  AItem.ExtraSize = static_cast<int>(size);
  std::memcpy(AItem.ExtraMsg, AText, ALength);
  AItem.ExtraMsg[ALength] = 0;
  AItem.LogMsg[0] = 0;
}

// A ring of 1,024 items holding at most 1,023: a push into a full ring drops the oldest.
class TLogQueue {
 public:
  TLogQueue() : FList(new TLogItem[CQueueSize]) {
    for (int i = 0; i < CQueueSize; ++i) ZeroItem(FList[i]);
  }
  ~TLogQueue() {
    for (int i = 0; i < CQueueSize; ++i) std::free(FList[i].ExtraMsg);
  }
  TLogQueue(const TLogQueue&) = delete;
  TLogQueue& operator=(const TLogQueue&) = delete;

  // The calls below need FLock.
  bool EmptyLocked() const { return FHeader == FTailer; }
  // Takes ownership of AItem's extra text.
  void PushLocked(const TLogItem& AItem) {
    MoveItem(FList[FTailer], AItem);
    FTailer = (FTailer + 1) % CQueueSize;
    if (FTailer == FHeader) {
      ClearItem(FList[FHeader]);
      FHeader = (FHeader + 1) % CQueueSize;
    }
  }
  bool PopLocked(TLogItem& AItem) {
    if (EmptyLocked()) return false;
    MoveItem(AItem, FList[FHeader]);
    ZeroItem(FList[FHeader]);
    FHeader = (FHeader + 1) % CQueueSize;
    return true;
  }
  // Takes out the first item of AThreadID and closes the gap.
  bool TakeThreadLocked(TThreadID AThreadID, TLogItem& AItem) {
    for (int i = FHeader; i != FTailer; i = (i + 1) % CQueueSize) {
      if (FList[i].ThreadID != AThreadID) continue;
      MoveItem(AItem, FList[i]);
      for (int j = i, k = (i + 1) % CQueueSize; k != FTailer; j = k, k = (k + 1) % CQueueSize)
        MoveItem(FList[j], FList[k]);
      FTailer = (FTailer + CQueueSize - 1) % CQueueSize;
      ZeroItem(FList[FTailer]);
      return true;
    }
    return false;
  }

  std::recursive_mutex FLock;
  Platform::TEvent FEvent{true, false};

 private:
  std::unique_ptr<TLogItem[]> FList;
  int FHeader = 0;
  int FTailer = 0;
};

class TLogThread;

// ---- Unit state ------------------------------------------------------------------------

// Everything the unit keeps process-wide, created by the unit's initialization and freed
// by its finalization.
struct TUnitState {
  // loader
  std::string LastErrMsg;
  std::string LibraryPath;
  TLibraryStatus LibStatus[CLibraryCount];
  bool BannerShown = false;

  // log worker. Lock order: callback lock or worker lock, then a queue's lock, then the
  // settings lock.
  Platform::TCriticalSection WorkerLock;
  Platform::TCriticalSection CallbackLock;  // also guards Held and the pending queue's use
  std::mutex SetupLock;                     // creates the queues once
  std::mutex SettingsLock;  // guards LogFile, LogStream and the reading of OnLog
  std::atomic<TLogQueue*> PendingQueue{nullptr};
  std::atomic<TLogQueue*> OutputQueue{nullptr};
  TLogThread* LogThread = nullptr;  // under the output queue's lock
  std::unique_ptr<Platform::TFileStream> LogStream;
  std::string LogFile;
  std::atomic<int> AVLogLevel{AV_LOG_INFO};
  std::atomic<int> LogFlags{3};
  std::atomic<bool> Active{true};
  std::atomic<bool> LogToFile{false};
  std::atomic<bool> LogWithThreadID{true};
  std::atomic<bool> LogWithTime{true};
  std::atomic<bool> Synchronous{false};
  int InstanceCount = 0;
  TLogItem Held;  // the last line, kept for folding repeats

  // Handler calls in progress, so that a handler that SetOnLog replaced is not running
  // any more, nor called again, once SetOnLog has returned. The handler is written
  // under this lock too (after the settings lock); nothing is locked inside it.
  std::mutex HandlerLock;
  std::condition_variable HandlerIdle;
  std::uint64_t HandlerGeneration = 0;  // counts the handler changes
  int CurrentCalls = 0;                 // calls of the handler in force
  int RetiredCalls = 0;                 // calls of handlers replaced since they began

  TUnitState() {
    for (int i = 0; i < CLibraryCount; ++i) LibStatus[i].Lib = static_cast<TLibrary>(i);
    ZeroItem(Held);
  }
};

int GInitCount = 0;                       // constant-initialized: safe before any constructor
TUnitState* GState = nullptr;             // alive between initialization and finalization
std::atomic<TFFLogWorker*> GWorker{nullptr};  // VEDovedo as the log paths see it

TUnitState& S() { return *GState; }

constexpr int CFoldRepeats = 1;  // log flag: fold repeated lines
constexpr int CPrintLevel = 2;   // log flag: print the level name

const char* const CLevelNames[] = {"Quiet", "Panic",   "Fatal", "Error", "Warning",
                                   "Info",  "Verbose", "Debug", "Trace"};

TLogQueue* GetQueue(std::atomic<TLogQueue*>& AQueue) {
  TLogQueue* q = AQueue.load(std::memory_order_acquire);
  if (q) return q;
  std::lock_guard<std::mutex> g(S().SetupLock);
  q = AQueue.load(std::memory_order_acquire);
  if (!q) {
    q = new TLogQueue;
    AQueue.store(q, std::memory_order_release);
  }
  return q;
}

// ---- Delivery ------------------------------------------------------------------------

// A handler call or a message box that has to wait for the main thread. While a thread
// holds any of the log locks it does not wait for the main thread (which may be
// logging itself): such calls are kept here and run when the thread's outermost log
// entry has released its locks.
struct TDeferred {
  bool IsMessage;
  std::string Text;
  TLogEvent Handler;
  Platform::TObject* Sender;
  int ThreadID;
  TLogLevel LogLevel;
};

thread_local TLogDelivery t_Delivery = ldDefault;  // see TThreadLogDelivery
thread_local int t_LogDepth = 0;
thread_local bool t_RunningDeferred = false;
thread_local std::vector<TDeferred> t_Deferred;
// The frame of an OnLog call on the thread that runs it (MyUtils::THandlerScope, object:
// the worker).
constexpr char CLogHandler[] = "log handler";

// Calls the handler of ACall unless it was replaced since the line took it (the call
// may have waited for the main thread meanwhile). Errors of the handler are not the
// producer's: they are dropped.
void CallHandler(const TDeferred& ACall) {
  TUnitState& s = S();
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> g(s.HandlerLock);
    TFFLogWorker* worker = GWorker.load(std::memory_order_acquire);
    if (!worker || !(TLogAccess::OnLog(*worker) == ACall.Handler)) return;
    generation = s.HandlerGeneration;
    ++s.CurrentCalls;
  }
  try {
    const MyUtils::THandlerScope handler(GWorker.load(std::memory_order_acquire), CLogHandler);
    ACall.Handler(ACall.Sender, ACall.ThreadID, ACall.LogLevel, ACall.Text);
  } catch (...) {
  }
  bool retired;
  {
    std::lock_guard<std::mutex> g(s.HandlerLock);
    retired = generation != s.HandlerGeneration;
    --(retired ? s.RetiredCalls : s.CurrentCalls);
  }
  if (retired) {
    s.HandlerIdle.notify_all();
    Platform::NotifyMainThread();
  }
}

// Returns once no call of a replaced handler runs any more. A thread inside a handler
// call does not wait (its own call cannot end meanwhile); the main thread serves its
// queue while it waits, as a running handler may be waiting for the main thread.
void WaitForRetiredHandlerCalls() {
  if (MyUtils::FindHandler(
          [](const MyUtils::THandlerFrame& AFrame) { return AFrame.Kind == CLogHandler; }))
    return;
  TUnitState& s = S();
  (void)MyUtils::WaitServing([&s](Platform::Cardinal AMilliseconds) {
    std::unique_lock<std::mutex> g(s.HandlerLock);
    if (AMilliseconds == 0) return s.RetiredCalls == 0;
    s.HandlerIdle.wait(g, [&s] { return s.RetiredCalls == 0; });
    return true;
  });
}

struct THandlerCall {
  const TDeferred* Call;
  void Run() { CallHandler(*Call); }
};

// Calls the handler on the main thread (or directly where MySynchronize does so).
void DeliverOnMainThread(const TDeferred& ACall) {
  THandlerCall call{&ACall};
  try {
    MyUtils::MySynchronize(Platform::TThreadMethod::Bind<&THandlerCall::Run>(&call));
  } catch (...) {
  }
}

void ShowFailure(const std::string& AText) {
  try {
    Platform::ShowInformationBox(AText, "Information");
  } catch (...) {
  }
}

void RunDeferred() {
  if (t_RunningDeferred) return;
  t_RunningDeferred = true;
  // Handlers may log and so append; run until nothing is left.
  for (size_t i = 0; i < t_Deferred.size(); ++i) {
    const TDeferred call = t_Deferred[i];
    if (call.IsMessage)
      ShowFailure(call.Text);
    else
      DeliverOnMainThread(call);
  }
  t_Deferred.clear();
  t_RunningDeferred = false;
}

// Marks a log entry point (callback, Log, FlushRepeats); declared before the locks so
// that its destructor runs after they are released.
struct TLogEntry {
  TLogEntry() { ++t_LogDepth; }
  ~TLogEntry() {
    if (--t_LogDepth == 0 && !t_Deferred.empty()) RunDeferred();
  }
  TLogEntry(const TLogEntry&) = delete;
  TLogEntry& operator=(const TLogEntry&) = delete;
};

bool MustWaitForMainThread(bool ATriggerInMainThread) {
  return ATriggerInMainThread && MyUtils::GEnabledSynchronize.load() &&
         !Platform::IsMainThread();
}

// ---- Emission --------------------------------------------------------------------------

// Every line break (CR LF, LF alone, CR alone) becomes CR LF.
std::string AdjustLineBreaks(const std::string& AText) {
  std::string result;
  result.reserve(AText.size() + 8);
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (c == '\r') {
      result += "\r\n";
      if (i + 1 < AText.size() && AText[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      result += "\r\n";
    } else {
      result += c;
    }
  }
  return result;
}

bool FileExists(const std::string& APath) {
  struct stat st;
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Appends ALine and CR LF to the log file, opening it on first use. Needs SettingsLock.
void WriteLogFile(const std::string& ALine) {
  TUnitState& s = S();
  if (!s.LogStream) {
    if (FileExists(s.LogFile)) {
      s.LogStream = std::make_unique<Platform::TFileStream>(s.LogFile, Platform::fmOpenReadWrite);
      s.LogStream->Seek(0, Platform::TSeekOrigin::soEnd);
    } else {
      s.LogStream = std::make_unique<Platform::TFileStream>(s.LogFile, Platform::fmCreate);
    }
  }
  const std::string data = ALine + "\r\n";
  s.LogStream->WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
}

// Formats one item into its line, writes it to the log file and raises OnLog.
// The item's extra text stays with the caller.
void EmitItem(const TLogItem& AItem) {
  TUnitState& s = S();
  std::string line;
  if (!AItem.NoPrefix) {
    if (s.LogWithTime.load(std::memory_order_relaxed))
      line = Platform::FormatDateTime("hh:nn:ss.zzz ", AItem.LogTime);
    if (s.LogWithThreadID.load(std::memory_order_relaxed))
      line += Platform::Format(AItem.MainThread ? "[%.8x]* " : "[%.8x] ",
                               static_cast<unsigned>(AItem.ThreadID));
    line += AItem.ReporterInfo;
    if (s.LogFlags.load(std::memory_order_relaxed) & CPrintLevel) {
      line += '[';
      line += LogLevelName(AItem.LogLevel);
      line += "] ";
    }
  }
  line += AdjustLineBreaks(FFUTF8::my_utf8_decode(ItemText(AItem)));
  if (AItem.Repeats > 1) line += Platform::Format(" (repeated %d times)", AItem.Repeats);

  std::string failure;
  TDeferred call{false, std::string(), TLogEvent(), nullptr,
                 static_cast<int>(AItem.ThreadID), AItem.LogLevel};
  bool inMainThread = false;
  {
    std::lock_guard<std::mutex> g(s.SettingsLock);
    if (s.LogToFile.load() && !s.LogFile.empty()) {
      try {
        WriteLogFile(line);
      } catch (const std::exception& e) {
        s.LogToFile.store(false);
        s.LogStream.reset();
        failure = e.what();
      }
    }
    if (TFFLogWorker* worker = GWorker.load(std::memory_order_acquire)) {
      call.Handler = TLogAccess::OnLog(*worker);
      inMainThread = worker->GetTriggerEventInMainThread();
      call.Sender = AItem.LogType == ltLogger
                        ? static_cast<Platform::TObject*>(const_cast<void*>(AItem.Reporter))
                        : worker;
    }
  }

  if (!failure.empty()) {
    if (t_LogDepth > 0)
      t_Deferred.push_back(TDeferred{true, failure, TLogEvent(), nullptr, 0, llQuiet});
    else
      ShowFailure(failure);
  }
  if (!call.Handler.Assigned()) return;
  call.Text = std::move(line);
  if (MustWaitForMainThread(inMainThread)) {
    if (t_LogDepth > 0)
      t_Deferred.push_back(std::move(call));
    else
      DeliverOnMainThread(call);
  } else {
    CallHandler(call);
  }
}

// Drains the output queue: one item at a time, waiting in slices of 10 ms.
class TLogThread : public Platform::TThread {
 public:
  explicit TLogThread(TLogQueue* AQueue) : TThread(true), FQueue(AQueue) {}

 protected:
  void Execute() override {
    while (!Terminated()) {
      TLogItem item;
      bool got;
      {
        std::lock_guard<std::recursive_mutex> g(FQueue->FLock);
        got = FQueue->PopLocked(item);
        if (FQueue->EmptyLocked()) FQueue->FEvent.ResetEvent();
      }
      if (got) {
        try {
          EmitItem(item);
        } catch (...) {
        }
        std::free(item.ExtraMsg);
      }
      while (!FQueue->FEvent.IsSignaled() && !Terminated()) FQueue->FEvent.WaitFor(10);
    }
  }

 private:
  TLogQueue* FQueue;
};

// Hands a finished item on: emitted at once in synchronous mode, else queued for the
// log thread. Takes ownership of the item's extra text.
void OutputItem(const TLogItem& AItem) {
  TUnitState& s = S();
  TLogQueue* q = GetQueue(s.OutputQueue);
  std::lock_guard<std::recursive_mutex> g(q->FLock);
  const bool synchronous =
      t_Delivery == ldDefault ? s.Synchronous.load() : t_Delivery == ldSynchronous;
  if (synchronous) {
    struct TFreeExtra {
      char* Extra;
      ~TFreeExtra() { std::free(Extra); }
    } owner{AItem.ExtraMsg};
    EmitItem(AItem);
    return;
  }
  if (!s.LogThread) {
    s.LogThread = new TLogThread(q);
    s.LogThread->Start();
  }
  // The event is signalled exactly while the queue holds items (the log thread resets it
  // when it takes the last one), so only the first item wakes the log thread.
  const bool wasEmpty = q->EmptyLocked();
  q->PushLocked(AItem);
  if (wasEmpty) q->FEvent.SetEvent();
}

// ---- The FFmpeg callback ---------------------------------------------------------------

int FormatV(char* ABuffer, size_t ACount, const char* AFormat, va_list AArgs) {
  if (MyUtilStubs::my_vsnprintf) return MyUtilStubs::my_vsnprintf(ABuffer, ACount, AFormat, AArgs);
  return std::vsnprintf(ABuffer, ACount, AFormat, AArgs);
}

// Appends "[%s @ %p] " (or "[%s] ") to the prefix being built; keeps it within 255 bytes.
void AppendPrefix(char* APrefix, size_t& ALength, const char* AName, const void* APointer) {
  const size_t room = CReporterInfoSize - ALength;
  if (room <= 1) return;
  int n;
  if (MyUtilStubs::my_snprintf) {
    n = APointer ? MyUtilStubs::my_snprintf(APrefix + ALength, room, "[%s @ %p] ", AName, APointer)
                 : MyUtilStubs::my_snprintf(APrefix + ALength, room, "[%s] ", AName);
  } else {
    const std::string text =
        APointer ? Platform::Format("[%s @ %.8" PRIxPTR "] ", AName,
                                    reinterpret_cast<std::uintptr_t>(APointer))
                 : Platform::Format("[%s] ", AName);
    n = std::snprintf(APrefix + ALength, room, "%s", text.c_str());
  }
  if (n < 0) {
    APrefix[ALength] = 0;
    return;
  }
  ALength += std::min(static_cast<size_t>(n), room - 1);
}

const char* ItemName(const AVClass* AClass, void* AContext) {
  const char* name = nullptr;
  if (AClass->item_name)
    name = AClass->item_name(AContext);
  else if (AVUtilStubs::av_default_item_name)
    name = AVUtilStubs::av_default_item_name(AContext);
  else
    name = AClass->class_name;
  return name ? name : "";
}

void BuildAVPrefix(TLogItem& AItem, void* AContext) {
  AItem.ReporterInfo[0] = 0;
  if (!AContext) return;
  const AVClass* avc = *static_cast<const AVClass* const*>(AContext);
  if (!avc) return;
  size_t length = 0;
  if (avc->parent_log_context_offset) {
    void* parent =
        *reinterpret_cast<void* const*>(static_cast<std::uint8_t*>(AContext) + avc->parent_log_context_offset);
    if (parent) {
      const AVClass* pc = *static_cast<const AVClass* const*>(parent);
      if (pc) AppendPrefix(AItem.ReporterInfo, length, ItemName(pc, parent), parent);
    }
  }
  const bool own = avc->class_name && std::strcmp(avc->class_name, "LantorObject") == 0;
  AppendPrefix(AItem.ReporterInfo, length, ItemName(avc, AContext), own ? nullptr : AContext);
}

void NewAVItem(TLogItem& AItem, void* AContext, int ALevel, TThreadID AThreadID) {
  ZeroItem(AItem);
  AItem.LogType = ltAVLog;
  AItem.Reporter = AContext;
  AItem.ThreadID = AThreadID;
  AItem.MainThread = Platform::IsMainThread();
  AItem.LogLevel = IntToLogLevel(ALevel);
  AItem.LogTime = Platform::Now();
  BuildAVPrefix(AItem, AContext);
}

// Appends the formatted text after the text the item holds, growing the buffer up to
// 10,240 bytes. True when the text had to be cut there.
bool AppendFormatted(TLogItem& AItem, const char* AFormat, va_list AArgs) {
  char* buffer = ItemText(AItem);
  const size_t size = AItem.ExtraMsg ? static_cast<size_t>(AItem.ExtraSize) : CLogMsgSize;
  const size_t length = std::strlen(buffer);
  va_list args;
  va_copy(args, AArgs);
  int n = FormatV(buffer + length, size - length, AFormat, args);
  va_end(args);
  if (n < 0) {
    buffer[length] = 0;
    return false;
  }
  if (static_cast<size_t>(n) < size - length) return false;
  if (size >= static_cast<size_t>(CExtraLimit)) return true;

  size_t newSize = AItem.ExtraMsg ? size + CExtraStep : CExtraFirstSize;
  while (newSize < length + static_cast<size_t>(n) + 1 && newSize < static_cast<size_t>(CExtraLimit))
    newSize += CExtraStep;
  if (AItem.ExtraMsg) {
    char* grown = static_cast<char*>(std::realloc(AItem.ExtraMsg, newSize));
    if (!grown) {
      AItem.ExtraMsg[length] = 0;
      return false;
    }
    AItem.ExtraMsg = grown;
  } else {
    AItem.ExtraMsg = static_cast<char*>(std::malloc(newSize));
    if (!AItem.ExtraMsg) {
      AItem.LogMsg[length] = 0;
      return false;
    }
    std::memcpy(AItem.ExtraMsg, AItem.LogMsg, length);
    AItem.LogMsg[0] = 0;
  }
  AItem.ExtraSize = static_cast<int>(newSize);
  va_copy(args, AArgs);
  n = FormatV(AItem.ExtraMsg + length, newSize - length, AFormat, args);
  va_end(args);
  if (n < 0) {
    AItem.ExtraMsg[length] = 0;
    return false;
  }
  return static_cast<size_t>(n) >= newSize - length;
}

void MaskControlBytes(char* AText) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(AText); *p; ++p)
    if ((*p >= 1 && *p <= 7) || (*p >= 14 && *p <= 31)) *p = '?';
}

// Folds a finished line into the held one or outputs it. Needs the callback lock.
void FinishLine(TLogItem& AItem) {
  TUnitState& s = S();
  TLogItem& held = s.Held;
  const bool fold = (s.LogFlags.load() & CFoldRepeats) != 0;
  if (fold && held.ThreadID == AItem.ThreadID && held.Reporter == AItem.Reporter &&
      std::strcmp(ItemText(held), ItemText(AItem)) == 0) {
    ++held.Repeats;
    held.LogTime = Platform::Now();
    std::free(AItem.ExtraMsg);
    AItem.ExtraMsg = nullptr;
    return;
  }
  if (held.Repeats > 0) {
    OutputItem(held);  // the queue owns its extra text now
    ZeroItem(held);
  }
  if (fold) {
    ClearItem(held);
    CopyItem(held, AItem);
  }
  OutputItem(AItem);
}

void LogCallback(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
  if (!GState || ALevel > S().AVLogLevel.load(std::memory_order_relaxed)) return;
  TFFLogWorker* worker = GWorker.load(std::memory_order_acquire);
  if (!worker || worker->Skipping() || !AFormat) return;
  try {
    TLogEntry entry;
    TUnitState& s = S();
    std::lock_guard<Platform::TCriticalSection> g(s.CallbackLock);
    if (!GWorker.load(std::memory_order_acquire)) return;
    const TThreadID tid = Platform::GetCurrentThreadId();
    TLogQueue* pending = GetQueue(s.PendingQueue);

    TLogItem item;
    bool found;
    {
      std::lock_guard<std::recursive_mutex> q(pending->FLock);
      found = pending->TakeThreadLocked(tid, item);
    }
    if (!found) NewAVItem(item, AContext, ALevel, tid);
    const bool cut = AppendFormatted(item, AFormat, AArgs);
    char* text = ItemText(item);
    MaskControlBytes(text);

    char* lf = std::strrchr(text, '\n');
    if (cut) {
      // A text cut at the limit ends its line here: the rest of it is lost, and so the
      // thread's next message starts a line of its own.
      const size_t length = std::strlen(text);
      if (length > 0 && text[length - 1] == '\n') text[length - 1] = 0;
    } else if (!lf) {
      std::lock_guard<std::recursive_mutex> q(pending->FLock);
      pending->PushLocked(item);
      return;
    } else {
      const char* rest = lf + 1;
      if (*rest) {
        TLogItem next;
        NewAVItem(next, AContext, ALevel, tid);
        SetItemText(next, rest, std::strlen(rest));
        std::lock_guard<std::recursive_mutex> q(pending->FLock);
        pending->PushLocked(next);
      }
      *lf = 0;
    }
    FinishLine(item);
  } catch (...) {
    // Nothing may escape into the C library.
  }
}

// The context prefix of a line logged by ASender.
void BuildLoggerPrefix(TLogItem& AItem, Platform::TObject* ASender) {
  AItem.ReporterInfo[0] = 0;
  if (!ASender) return;
  std::string prefix;
  if (auto* component = dynamic_cast<Platform::TComponent*>(ASender))
    prefix = Platform::Format("[%s.%s] ", component->ClassName().c_str(), component->Name().c_str());
  else
    prefix = Platform::Format("[%s] ", ASender->ClassName().c_str());
  const size_t length = std::min(prefix.size(), static_cast<size_t>(CReporterInfoSize - 1));
  std::memcpy(AItem.ReporterInfo, prefix.data(), length);
  AItem.ReporterInfo[length] = 0;
}

void OutputLoggerLine(Platform::TObject* ASender, TLogLevel ALogLevel, bool ANoPrefix,
                      const std::string& AMsg) {
  TLogEntry entry;
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  TLogItem item;
  ZeroItem(item);
  item.LogType = ltLogger;
  item.Reporter = ASender;
  item.ThreadID = Platform::GetCurrentThreadId();
  item.MainThread = Platform::IsMainThread();
  item.LogLevel = ALogLevel;
  item.LogTime = Platform::Now();
  item.NoPrefix = ANoPrefix;
  if (!ANoPrefix) BuildLoggerPrefix(item, ASender);
  SetItemText(item, AMsg.c_str(), std::strlen(AMsg.c_str()));
  OutputItem(item);
}

}  // namespace

// ---- Per-thread delivery --------------------------------------------------------------

TThreadLogDelivery::TThreadLogDelivery(TLogDelivery ADelivery) : FPrevious(t_Delivery) {
  t_Delivery = ADelivery;
}

TThreadLogDelivery::~TThreadLogDelivery() { t_Delivery = FPrevious; }

void AVLogCallback(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
  LogCallback(AContext, ALevel, AFormat, AArgs);
}

// ---- Log levels ----------------------------------------------------------------------

int LogLevelToInt(TLogLevel ALogLevel) { return static_cast<int>(ALogLevel) * 8 - 8; }

TLogLevel IntToLogLevel(int ALevel) {
  const int q = ALevel / 8;
  if (q < -1) return llQuiet;
  if (q < 7) return static_cast<TLogLevel>(q + 1);
  return llTrace;
}

const char* LogLevelName(TLogLevel ALogLevel) {
  return ALogLevel <= llTrace ? CLevelNames[ALogLevel] : "";
}

// ---- TFFLogWorker ----------------------------------------------------------------------

TFFLogWorker::TFFLogWorker() {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  if (s.InstanceCount > 0)
    throw Platform::EAssertionFailed(
        "Allow creating only one instance of TFFLogWorker. (FFLoad, line 1343)");
  ++s.InstanceCount;
  UpdateSkip();
  FTriggerEventInMainThread = true;
}

TFFLogWorker::~TFFLogWorker() {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  --s.InstanceCount;
  std::lock_guard<std::mutex> settings(s.SettingsLock);
  {
    std::lock_guard<std::mutex> handler(s.HandlerLock);
    FOnLog = nullptr;
  }
  s.LogStream.reset();
}

void TFFLogWorker::Log(const std::string& AMsg) {
  if (Skipping()) return;
  OutputLoggerLine(nullptr, llQuiet, true, AMsg);
}

void TFFLogWorker::Log(Platform::TObject* ASender, TLogLevel ALogLevel, const std::string& AMsg) {
  if (Skipping() || LogLevelToInt(ALogLevel) > S().AVLogLevel.load()) return;
  OutputLoggerLine(ASender, ALogLevel, false, AMsg);
}

void TFFLogWorker::LogV(Platform::TObject* ASender, TLogLevel ALogLevel, const char* AFormat,
                        va_list AArgs) {
  if (Skipping() || LogLevelToInt(ALogLevel) > S().AVLogLevel.load()) return;
  OutputLoggerLine(ASender, ALogLevel, false, Platform::FormatV(AFormat, AArgs));
}

void TFFLogWorker::Log(Platform::TObject* ASender, TLogLevel ALogLevel, const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  try {
    LogV(ASender, ALogLevel, AFormat, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

void TFFLogWorker::FlushRepeats() {
  TLogEntry entry;
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.CallbackLock);
  if (s.Held.Repeats <= 0) return;
  TFFLogWorker* worker = GWorker.load();
  if (worker && !worker->Skipping()) {
    // The held line goes out with the full count, as when a different line follows.
    OutputItem(s.Held);
    ZeroItem(s.Held);
  } else {
    ClearItem(s.Held);
  }
}

void TFFLogWorker::ClearLogFile() {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  std::lock_guard<std::mutex> settings(s.SettingsLock);
  if (s.LogStream) {
    s.LogStream->SetSize(0);
    s.LogStream->Seek(0, Platform::TSeekOrigin::soBeginning);
  } else if (!s.LogFile.empty() && FileExists(s.LogFile)) {
    ::unlink(s.LogFile.c_str());
  }
}

void TFFLogWorker::InstallAVLogCallback() {
  using AVUtilStubs::av_log_set_callback;
  using AVUtilStubs::av_log_set_flags;
  using AVUtilStubs::av_log_set_level;
  Platform::Check(av_log_set_callback && av_log_set_flags && av_log_set_level, "FFLoad", 1372);
  av_log_set_callback(LogCallback);
  av_log_set_flags(S().LogFlags.load());
  av_log_set_level(S().AVLogLevel.load());
}

void TFFLogWorker::UpdateSkip() {
  TUnitState& s = S();
  bool toFile;
  {
    std::lock_guard<std::mutex> settings(s.SettingsLock);
    toFile = s.LogToFile.load() && !s.LogFile.empty();
    toFile = FOnLog.Assigned() || toFile;
  }
  FSkip.store(!(s.Active.load() && toFile));
}

bool TFFLogWorker::GetActive() const { return S().Active.load(); }

void TFFLogWorker::SetActive(bool AValue) {
  std::lock_guard<Platform::TCriticalSection> g(S().WorkerLock);
  S().Active.store(AValue);
  UpdateSkip();
}

std::string TFFLogWorker::GetLogFile() const {
  std::lock_guard<Platform::TCriticalSection> g(S().WorkerLock);
  return S().LogFile;
}

void TFFLogWorker::SetLogFile(const std::string& AValue) {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  {
    std::lock_guard<std::mutex> settings(s.SettingsLock);
    if (s.LogFile == AValue) return;
    s.LogFile = AValue;
    s.LogStream.reset();
  }
  UpdateSkip();
}

int TFFLogWorker::GetLogFlags() const { return S().LogFlags.load(); }

void TFFLogWorker::SetLogFlags(int AValue) {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  if (s.LogFlags.load() == AValue) return;
  s.LogFlags.store(AValue);
  if (AVUtilStubs::av_log_set_flags) AVUtilStubs::av_log_set_flags(AValue);
}

TLogLevel TFFLogWorker::GetLogLevel() const { return IntToLogLevel(S().AVLogLevel.load()); }

void TFFLogWorker::SetLogLevel(TLogLevel AValue) {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  const int level = LogLevelToInt(AValue);
  if (s.AVLogLevel.load() == level) return;
  s.AVLogLevel.store(level);
  if (AVUtilStubs::av_log_set_level) AVUtilStubs::av_log_set_level(level);
}

bool TFFLogWorker::GetLogToFile() const { return S().LogToFile.load(); }

void TFFLogWorker::SetLogToFile(bool AValue) {
  TUnitState& s = S();
  std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
  {
    std::lock_guard<std::mutex> settings(s.SettingsLock);
    if (s.LogToFile.load() == AValue) return;
    s.LogToFile.store(AValue);
    s.LogStream.reset();
  }
  UpdateSkip();
}

bool TFFLogWorker::GetLogWithLevel() const { return (S().LogFlags.load() & CPrintLevel) != 0; }

void TFFLogWorker::SetLogWithLevel(bool AValue) {
  std::lock_guard<Platform::TCriticalSection> g(S().WorkerLock);
  const int flags = S().LogFlags.load();
  SetLogFlags(AValue ? flags | CPrintLevel : flags & ~CPrintLevel);
}

bool TFFLogWorker::GetLogWithThreadID() const { return S().LogWithThreadID.load(); }
void TFFLogWorker::SetLogWithThreadID(bool AValue) { S().LogWithThreadID.store(AValue); }
bool TFFLogWorker::GetLogWithTime() const { return S().LogWithTime.load(); }
void TFFLogWorker::SetLogWithTime(bool AValue) { S().LogWithTime.store(AValue); }
bool TFFLogWorker::GetSynchronous() const { return S().Synchronous.load(); }
void TFFLogWorker::SetSynchronous(bool AValue) { S().Synchronous.store(AValue); }

TLogEvent TFFLogWorker::GetOnLog() const {
  std::lock_guard<std::mutex> settings(S().SettingsLock);
  return FOnLog;
}

void TFFLogWorker::SetOnLog(TLogEvent AValue) {
  TUnitState& s = S();
  {
    std::lock_guard<Platform::TCriticalSection> g(s.WorkerLock);
    {
      std::lock_guard<std::mutex> settings(s.SettingsLock);
      std::lock_guard<std::mutex> handler(s.HandlerLock);
      FOnLog = AValue;
      ++s.HandlerGeneration;
      s.RetiredCalls += s.CurrentCalls;
      s.CurrentCalls = 0;
    }
    UpdateSkip();
  }
  WaitForRetiredHandlerCalls();
}

// ---- TFFLoader -------------------------------------------------------------------------

namespace {

std::string ExtractFilePath(const std::string& AName) {
  const size_t slash = AName.rfind('/');
  return slash == std::string::npos ? std::string() : AName.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& AName) {
  const size_t slash = AName.rfind('/');
  return slash == std::string::npos ? AName : AName.substr(slash + 1);
}

std::string IncludeTrailingPathDelimiter(const std::string& APath) {
  return !APath.empty() && APath.back() == '/' ? APath : APath + '/';
}

std::string VersionString(Cardinal AVersion) {
  return Platform::Format("%u.%u.%u", (AV_VERSION_MAJOR)(AVersion), (AV_VERSION_MINOR)(AVersion),
                          (AV_VERSION_MICRO)(AVersion));
}

std::string Text8(const char* AText) { return AText ? std::string(AText) : std::string(); }

}  // namespace

TFFLoader::TFFLoader() = default;

std::string TFFLoader::GetLastErrMsg() const { return S().LastErrMsg; }
std::string TFFLoader::GetLibraryPath() const { return S().LibraryPath; }
void TFFLoader::SetLibraryPath(const std::string& APath) { S().LibraryPath = APath; }

std::string TFFLoader::GetLibraryName(TLibrary ALibrary) const {
  const TLibraryStatus& st = S().LibStatus[ALibrary];
  if (!st.Name.empty()) return st.Name;
  const TLibraryRow& row = CLibraryTable[ALibrary];
  if (row.FileName) return row.FileName;
  return Platform::Format("lib%s.so.%d", row.BaseName, row.Major);
}

void TFFLoader::SetLibraryName(TLibrary ALibrary, const std::string& AName) {
  Unload(ALibrary);
  S().LibStatus[ALibrary].Name = AName;
}

Cardinal TFFLoader::GetLibBuildVer(TLibrary ALibrary) const {
  switch (ALibrary) {
    case avUtil: return LIBAVUTIL_VERSION_INT;
    case swScale: return LIBSWSCALE_VERSION_INT;
    case swResample: return LIBSWRESAMPLE_VERSION_INT;
    case avCodec: return LIBAVCODEC_VERSION_INT;
    case avFormat: return LIBAVFORMAT_VERSION_INT;
    case avFilter: return LIBAVFILTER_VERSION_INT;
    case avDevice: return LIBAVDEVICE_VERSION_INT;
    default: return 0xFFFFFFFFu;
  }
}

Cardinal TFFLoader::GetLibFileVer(TLibrary ALibrary) const {
  switch (ALibrary) {
    case avUtil: return AVUtilStubs::avutil_version ? AVUtilStubs::avutil_version() : 0;
    case swScale: return SwScaleStubs::swscale_version ? SwScaleStubs::swscale_version() : 0;
    case swResample:
      return SwResampleStubs::swresample_version ? SwResampleStubs::swresample_version() : 0;
    case avCodec: return AVCodecStubs::avcodec_version ? AVCodecStubs::avcodec_version() : 0;
    case avFormat: return AVFormatStubs::avformat_version ? AVFormatStubs::avformat_version() : 0;
    case avFilter: return AVFilterStubs::avfilter_version ? AVFilterStubs::avfilter_version() : 0;
    case avDevice: return AVDeviceStubs::avdevice_version ? AVDeviceStubs::avdevice_version() : 0;
    default: return 0;
  }
}

std::string TFFLoader::GetLibBuildVerStr(TLibrary ALibrary) const {
  return CFFmpegLibraries.Contains(ALibrary) ? VersionString(GetLibBuildVer(ALibrary)) : "N/A";
}

std::string TFFLoader::GetLibFileVerStr(TLibrary ALibrary) const {
  return CFFmpegLibraries.Contains(ALibrary) ? VersionString(GetLibFileVer(ALibrary)) : "N/A";
}

std::string TFFLoader::GetLibLicense(TLibrary ALibrary) const {
#define OSTREVAN_LICENSE(unit, fn) return unit::fn ? Text8(unit::fn()) : std::string();
  switch (ALibrary) {
    case avUtil: OSTREVAN_LICENSE(AVUtilStubs, avutil_license)
    case swScale: OSTREVAN_LICENSE(SwScaleStubs, swscale_license)
    case swResample: OSTREVAN_LICENSE(SwResampleStubs, swresample_license)
    case avCodec: OSTREVAN_LICENSE(AVCodecStubs, avcodec_license)
    case avFormat: OSTREVAN_LICENSE(AVFormatStubs, avformat_license)
    case avFilter: OSTREVAN_LICENSE(AVFilterStubs, avfilter_license)
    case avDevice: OSTREVAN_LICENSE(AVDeviceStubs, avdevice_license)
    default: return std::string();
  }
#undef OSTREVAN_LICENSE
}

std::string TFFLoader::GetLibConfiguration(TLibrary ALibrary) const {
#define OSTREVAN_CONFIGURATION(unit, fn) return unit::fn ? Text8(unit::fn()) : std::string();
  switch (ALibrary) {
    case avUtil: OSTREVAN_CONFIGURATION(AVUtilStubs, avutil_configuration)
    case swScale: OSTREVAN_CONFIGURATION(SwScaleStubs, swscale_configuration)
    case swResample: OSTREVAN_CONFIGURATION(SwResampleStubs, swresample_configuration)
    case avCodec: OSTREVAN_CONFIGURATION(AVCodecStubs, avcodec_configuration)
    case avFormat: OSTREVAN_CONFIGURATION(AVFormatStubs, avformat_configuration)
    case avFilter: OSTREVAN_CONFIGURATION(AVFilterStubs, avfilter_configuration)
    case avDevice: OSTREVAN_CONFIGURATION(AVDeviceStubs, avdevice_configuration)
    default: return std::string();
  }
#undef OSTREVAN_CONFIGURATION
}

bool TFFLoader::CheckLibConfigurations() const {
  static constexpr TLibrary order[] = {avUtil, avCodec, avFormat, avDevice,
                                       avFilter, swScale, swResample};
  std::string reference;
  for (TLibrary lib : order) {
    reference = GetLibConfiguration(lib);
    if (!reference.empty()) break;
  }
  if (reference.empty()) return true;
  for (TLibrary lib : order) {
    const std::string configuration = GetLibConfiguration(lib);
    if (!configuration.empty() && configuration != reference) return false;
  }
  return true;
}

bool TFFLoader::Load(TLibrary ALibrary) {
  TUnitState& s = S();
  TLibraryStatus& st = s.LibStatus[ALibrary];
  const TLibraryRow& row = CLibraryTable[ALibrary];
  if (!st.Handle) {
    std::string name = GetLibraryName(ALibrary);
    std::string directory = ExtractFilePath(name);
    if (directory.empty() && !s.LibraryPath.empty() && !row.NoPath)
      directory = IncludeTrailingPathDelimiter(s.LibraryPath);
    name = ExtractFileName(name);
    Cardinal code = 0;
    HMODULE handle = MyUtils::MyLoadLibrary(directory, name, code);
    if (!handle) {
      std::string message = Platform::SysErrorMessage(code);
      const std::string full = directory + name;
      for (size_t at = message.find("%1"); at != std::string::npos;
           at = message.find("%1", at + full.size()))
        message.replace(at, 2, full);
      s.LastErrMsg = Platform::Format("Load library %s error(#%d): %s", full.c_str(),
                                      static_cast<int>(code), message.c_str());
      return false;
    }
    st.Handle = handle;
  }
  if (!st.Fixuped) {
    Platform::Check(row.Fixup != nullptr, "FFLoad", 759);
    try {
      row.Fixup(GetLibraryName(ALibrary), st.Handle);
      st.Fixuped = true;
    } catch (const std::exception& e) {
      if (row.Unfix) row.Unfix();
      s.LastErrMsg = e.what();
    }
  }
  if (!st.Fixuped) Unload(ALibrary);
  const bool result = st.Fixuped;
  if (result && ALibrary == avUtil && FInstallLogger && VEDovedo) VEDovedo->InstallAVLogCallback();
  if (!s.BannerShown && Loaded(CFFmpegLibraries)) {
    s.BannerShown = true;
    OptCommon::show_banner();
  }
  return result;
}

bool TFFLoader::Load(TLibraries ALibraries) {
  Platform::Check(!ALibraries.Empty(), "FFLoad", 786);
  TLibraries loadedHere;
  for (int i = 0; i < CLibraryCount; ++i) {
    const TLibrary lib = static_cast<TLibrary>(i);
    if (!ALibraries.Contains(lib)) continue;
    const bool before = Loaded(lib);
    if (!Load(lib)) {
      // Only what this call loaded goes again: earlier users keep their libraries.
      if (!loadedHere.Empty()) Unload(loadedHere);
      return false;
    }
    if (!before) loadedHere = loadedHere + TLibraries{lib};
  }
  return true;
}

bool TFFLoader::Loaded(TLibrary ALibrary) const {
  const TLibraryStatus& st = S().LibStatus[ALibrary];
  return st.Handle != nullptr && st.Fixuped;
}

bool TFFLoader::Loaded(TLibraries ALibraries) const {
  Platform::Check(!ALibraries.Empty(), "FFLoad", 816);
  for (int i = 0; i < CLibraryCount; ++i) {
    const TLibrary lib = static_cast<TLibrary>(i);
    if (ALibraries.Contains(lib) && !Loaded(lib)) return false;
  }
  return true;
}

void TFFLoader::Unload(TLibrary ALibrary) {
  TLibraryStatus& st = S().LibStatus[ALibrary];
  const TLibraryRow& row = CLibraryTable[ALibrary];
  if (st.Fixuped) {
    if (row.Unfix) row.Unfix();
    st.Fixuped = false;
  }
  if (st.Handle) {
    MyUtils::MyFreeLibrary(st.Handle);
    st.Handle = nullptr;
  }
}

void TFFLoader::Unload(TLibraries ALibraries) {
  Platform::Check(!ALibraries.Empty(), "FFLoad", 862);
  for (int i = 0; i < CLibraryCount; ++i) {
    const TLibrary lib = static_cast<TLibrary>(i);
    if (ALibraries.Contains(lib)) Unload(lib);
  }
}

void TFFLoader::CheckLibAV(TLibraries ALibraries) const {
  for (int i = 0; i < CLibraryCount; ++i) {
    const TLibrary lib = static_cast<TLibrary>(i);
    if (ALibraries.Contains(lib) && !Loaded(lib))
      throw Platform::Exception(
          Platform::Format("Library %s not loaded.", CLibraryTable[lib].BaseName));
  }
}

#define OSTREVAN_LIST_METHOD(method, printer)                   \
  int TFFLoader::method(Platform::TStringList& AList) {         \
    CheckLibAV(CFFmpegLibraries + TLibraries{myUtil});          \
    return OptCommon::printer(AList);                           \
  }
OSTREVAN_LIST_METHOD(GetBSFs, show_bsfs)
OSTREVAN_LIST_METHOD(GetCodecs, show_codecs)
OSTREVAN_LIST_METHOD(GetDecoders, show_decoders)
OSTREVAN_LIST_METHOD(GetDemuxers, show_demuxers)
OSTREVAN_LIST_METHOD(GetDevices, show_devices)
OSTREVAN_LIST_METHOD(GetEncoders, show_encoders)
OSTREVAN_LIST_METHOD(GetFilters, show_filters)
OSTREVAN_LIST_METHOD(GetFormats, show_formats)
OSTREVAN_LIST_METHOD(GetLayouts, show_layouts)
OSTREVAN_LIST_METHOD(GetMuxers, show_muxers)
OSTREVAN_LIST_METHOD(GetPixFmts, show_pix_fmts)
OSTREVAN_LIST_METHOD(GetProtocols, show_protocols)
OSTREVAN_LIST_METHOD(GetSampleFmts, show_sample_fmts)
OSTREVAN_LIST_METHOD(GetDispositions, show_dispositions)
OSTREVAN_LIST_METHOD(GetColors, show_colors)
#undef OSTREVAN_LIST_METHOD

// ---- Initialization and finalization ---------------------------------------------------

namespace {

void InitializeUnit() {
  GState = new TUnitState;
  FFLoader = new TFFLoader;
  VEDovedo = new TFFLogWorker;
  GWorker.store(VEDovedo, std::memory_order_release);
}

void FinalizeUnit() {
  TUnitState& s = S();
  // The log worker first: no line is delivered from now on.
  TFFLogWorker* worker = VEDovedo;
  {
    std::lock_guard<std::mutex> settings(s.SettingsLock);
    GWorker.store(nullptr, std::memory_order_release);
  }
  VEDovedo = nullptr;
  delete worker;
  // A callback that got in before stays until it leaves.
  { std::lock_guard<Platform::TCriticalSection> g(s.CallbackLock); }

  // Then the log thread; lines still queued are dropped with the queues.
  TLogQueue* output = s.OutputQueue.load();
  TLogThread* thread = nullptr;
  if (output) {
    std::lock_guard<std::recursive_mutex> g(output->FLock);
    thread = s.LogThread;
    s.LogThread = nullptr;
  }
  if (thread) {
    thread->Terminate();
    thread->WaitFor();
    delete thread;
  }
  delete s.OutputQueue.exchange(nullptr);
  delete s.PendingQueue.exchange(nullptr);
  ClearItem(s.Held);

  // The loader last.
  delete FFLoader;
  FFLoader = nullptr;
  {
    std::lock_guard<std::mutex> settings(s.SettingsLock);
    s.LogStream.reset();
  }
  delete GState;
  GState = nullptr;
}

}  // namespace

TUnitInit::TUnitInit() {
  if (GInitCount++ == 0) InitializeUnit();
}

TUnitInit::~TUnitInit() {
  if (--GInitCount == 0) FinalizeUnit();
}

}  // namespace FFLoad
