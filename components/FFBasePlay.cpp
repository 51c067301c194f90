#include "components/FFBasePlay.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>

#include "components/FFBasePlayClock.h"
#include "engine/FormatConvert.h"
#include "platform/Format.h"
#include "platform/Threads.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/FFUtils.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"
#include "runtime/SDL2Stubs.h"

namespace FFBasePlay {

// The entry points this file calls, bound at run time.
using SDL2Stubs::SDL_GetError;
using SDL2Stubs::SDL_GetNumRenderDrivers;
using SDL2Stubs::SDL_GetRenderDriverInfo;
using SDL2Stubs::SDL_PeepEvents;
using SDL2Stubs::SDL_PumpEvents;
using AVUtilStubs::av_dict_set;
using AVFormatStubs::av_find_input_format;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_log;
using AVUtilStubs::av_log_get_flags;
using AVUtilStubs::av_log_get_level;
using AVUtilStubs::av_strdup;
using AVCodecStubs::avcodec_get_class;
using AVFilterStubs::avfilter_get_class;
using AVFormatStubs::avformat_get_class;
using AVFormatStubs::avio_seek;

using CmdUtils::OptDst;
using CmdUtils::OptFunc;
using CmdUtils::TOptionDef;
using FFBaseComponent::psEnd;
using FFBaseComponent::psPause;
using FFBaseComponent::psPlay;
using FFBaseComponent::psResume;
using FFBaseComponent::psStop;
using FFLoad::llError;
using FFLoad::llFatal;
using FFLoad::llInfo;
using FFLoad::llWarning;
using MyUtils::GAppTerminated;
using MyUtils::GEnabledSynchronize;
using Platform::Format;
using SDL2Stubs::SDLLoader;

namespace {

// Runs AMethod's work with GEnabledSynchronize off: the main thread is about to wait for
// threads that might otherwise block on it.
class TSynchronizeOff {
 public:
  TSynchronizeOff() : FSaved(GEnabledSynchronize.exchange(false)) {}
  ~TSynchronizeOff() { GEnabledSynchronize = FSaved; }

 private:
  bool FSaved;
};

// The handlers that run on a thread of the stream, which closing the stream waits for.
const char* const CStreamThreadHandlers[] = {CErrorHandler, CFrameHookHandler,
                                             CVideoHookHandler, CAudioHookHandler};

bool IsStreamThreadHandler(const char* AKind) {
  return std::find(std::begin(CStreamThreadHandlers), std::end(CStreamThreadHandlers), AKind) !=
         std::end(CStreamThreadHandlers);
}

// The process-wide list of players and the SDL event thread.
std::mutex gPlayersLock;
std::vector<TFFBasePlayer*> gPlayers;  // Guarded by gPlayersLock.

}  // namespace

// ---- Report ring -------------------------------------------------------------------------

void TReportRing::Push(const TReport& AReport) {
  {
    std::lock_guard<std::mutex> g(FLock);
    const int newest = (FRead + FCount - 1 + CCapacity) % CCapacity;
    if (FCount > 0 && AReport.Kind == CReportPosition && FRing[newest].Kind == CReportPosition) {
      // Positions waiting for the host collapse into the latest one.
      FRing[newest] = AReport;
    } else if (FCount == CCapacity) {
      FRing[FRead] = AReport;
      FRead = (FRead + 1) % CCapacity;
    } else {
      FRing[(FRead + FCount) % CCapacity] = AReport;
      ++FCount;
    }
  }
  FEvent.SetEvent();
}

TReport TReportRing::Pop() {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount == 0) {
    // A clear sets the event with nothing waiting: the event thread sleeps again.
    FEvent.ResetEvent();
    return TReport{};
  }
  TReport r = FRing[FRead];
  FRing[FRead] = TReport{};
  FRead = (FRead + 1) % CCapacity;
  if (--FCount == 0) FEvent.ResetEvent();
  return r;
}

void TReportRing::Clear() {
  {
    std::lock_guard<std::mutex> g(FLock);
    for (TReport& r : FRing) r = TReport{};
    FRead = 0;
    FCount = 0;
  }
  FEvent.SetEvent();
}

int TReportRing::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return FCount;
}

// ---- Threads -----------------------------------------------------------------------------

// Runs the play loop; reports psPlay at its start and psStop at its end, and sets the
// play-done event whatever happens.
class TPlayThread : public Platform::TThread {
 public:
  explicit TPlayThread(TFFBasePlayer* APlayer) : FPlayer(APlayer) {}

 protected:
  void Execute() override {
    // The play-done event was reset when the stream was handed over (Stop waits on it
    // from then on).
    struct TDone {
      TFFBasePlayer* P;
      ~TDone() { P->FPlayDone.SetEvent(); }
    } done{FPlayer};
    // Gone before the play-done event is set: SDL2 may be unloaded once it is.
    const SDL2Stubs::TThreadDataRelease sdl_data;
    try {
      FPlayer->event_loop();
    } catch (const Platform::Exception& e) {
      FPlayer->Log(llFatal, std::string("PlayThread Exception: ") + e.what());
      std::unique_lock<std::recursive_mutex> g(FPlayer->FStreamLock);
      FPlayer->CloseStream();
    }
    // A loop that ended for another reason (the process terminating) leaves the stream
    // for Stop to close.
    FPlayer->FPlayLoopStarted = true;
    FPlayer->ReportState(psStop);
  }

 private:
  TFFBasePlayer* FPlayer;
};

// Delivers the player's reports to the host: positions posted (0x401), states sent
// (0x402) to the hidden window, or raised directly when the window is not used.
class TFFEventThread : public Platform::TThread {
 public:
  explicit TFFEventThread(TFFBasePlayer* APlayer) : FPlayer(APlayer), FLife(APlayer->FLife) {}
  // Called from the state handler that this thread waits for, when the player lets go of
  // it: once the handler returns the thread ends, touching nothing of the player, and
  // frees itself.
  void Orphan() { FOrphaned = true; }
  // The state of the last (or current) state delivery.
  TPlayState Delivering() const { return FDelivering.load(); }

 protected:
  void Execute() override {
    bool stop_delivered = false;
    while (!GAppTerminated && !Terminated()) {
      const TReport r = FPlayer->FReports.Pop();
      if (r.Kind == CReportPosition) {
        FPlayer->FDeliveredPosition = r.Position;
        FPlayer->FDeliveredBytes = r.Bytes;
        Deliver(WM_PLAYER_POSITION);
        if (LeftBehind()) return;
      } else if (r.Kind == CReportState) {
        FPlayer->FDeliveredState = r.State;
        FDelivering = r.State;
        Deliver(WM_PLAYER_STATE);
        if (LeftBehind()) return;
        if (r.State == psStop) {
          stop_delivered = true;
          break;
        }
      } else if (r.Kind == CReportEnd) {
        break;
      }
      if (r.Kind == 0 || r.Kind == CReportPosition || r.Kind == CReportState) {
        while (!GAppTerminated && !Terminated() &&
               FPlayer->FReports.Event().WaitFor(10) != Platform::TWaitResult::wrSignaled) {
        }
      }
    }
    if (!stop_delivered && !GAppTerminated && FPlayer->OnState.Assigned()) {
      FPlayer->FDeliveredState = psStop;
      FDelivering = psStop;
      Deliver(WM_PLAYER_STATE);
      (void)LeftBehind();
    }
  }

 private:
  // The handler just run let go of this thread, or freed the player: nothing of the
  // player may be touched any more.
  bool LeftBehind() {
    if (FOrphaned) {
      FreeOnTerminate = true;
      return true;
    }
    return !*FLife;
  }

  // A state goes with this thread as its wParam: the state handler's mark tells which
  // event thread waits for it.
  void Deliver(Platform::Cardinal AMsg) {
    const Platform::WPARAM sender = reinterpret_cast<Platform::WPARAM>(this);
    if (FPlayer->FUseMsgWnd && FPlayer->FMsgWnd) {
      if (AMsg == WM_PLAYER_POSITION)
        Platform::PostMessage(FPlayer->FMsgWnd, AMsg, 0, 0);
      else
        Platform::SendMessage(FPlayer->FMsgWnd, AMsg, sender, 0);
    } else {
      Platform::TMessage m{AMsg, sender, 0, 0};
      FPlayer->WndProc(m);
    }
  }

  TFFBasePlayer* FPlayer;
  const TFFBasePlayer::TLife FLife;
  std::atomic<bool> FOrphaned{false};
  std::atomic<TPlayState> FDelivering{psStop};
};

// Closes a stream whose open failed on the read thread and raises OnOpenFailed.
class TFailThread : public Platform::TThread {
 public:
  TFailThread(TFFBasePlayer* APlayer, TVideoState* AStream) : FPlayer(APlayer), FStream(AStream) {}
  // Called from OnOpenFailed, which this thread waits for, when the player lets go of it:
  // the thread then frees itself.
  void Orphan() { FOrphaned = true; }

 protected:
  void Execute() override {
    // Nobody waits for this open (a waited one fails in its caller): the half-built
    // stream is ours to free, once Stop can no longer reach it.
    {
      std::lock_guard<std::mutex> g(FPlayer->FOpenLock);
      TVideoState* expected = FStream;
      FPlayer->FOpeningStream.compare_exchange_strong(expected, nullptr);
    }
    FPlayer->FreeStream(FStream);
    // Nothing of the player is touched after the handler: it may have freed the player.
    FPlayer->SyncCall(&TFFBasePlayer::RaiseOpenFailedOf);
    if (FOrphaned) FreeOnTerminate = true;
  }

 private:
  TFFBasePlayer* FPlayer;
  TVideoState* FStream;
  std::atomic<bool> FOrphaned{false};
};

namespace {

// Pumps SDL and hands quit events to every player and window events to the player whose
// window they concern. One runs per process.
class TSDLEventThread : public Platform::TThread {
 protected:
  void Execute() override;
};

std::mutex gSDLThreadLock;
std::unique_ptr<TSDLEventThread> gSDLThread;  // Guarded by gSDLThreadLock.

void DispatchToPlayers(const SDL_Event& AEvent) {
  std::lock_guard<std::mutex> g(gPlayersLock);
  for (TFFBasePlayer* p : gPlayers) {
    if (AEvent.type == SDL_QUIT) {
      p->RequestQuit();
    } else if (AEvent.type == SDL_WINDOWEVENT) {
      p->ForwardWindowEvent(AEvent);
    }
  }
}

void TSDLEventThread::Execute() {
  const SDL2Stubs::TThreadDataRelease sdl_data;
  while (!GAppTerminated && !Terminated()) {
    SDL_PumpEvents();
    SDL_Event event;
    const int n = SDL_PeepEvents(&event, 1, SDL_GETEVENT, 0, 0xFFFF);
    if (n < 0) {
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      DispatchToPlayers(quit);
      FFLoad::VEDovedo->Log(nullptr, llInfo, Format("SDL_PeepEvents(): %s", SDL_GetError()));
      break;
    }
    if (n == 0) {
      Platform::Sleep(1);
      continue;
    }
    if (event.type == SDL_QUIT) {
      DispatchToPlayers(event);
      break;
    }
    if (event.type == SDL_WINDOWEVENT && (event.window.event == SDL_WINDOWEVENT_EXPOSED ||
                                          event.window.event == SDL_WINDOWEVENT_RESIZED))
      DispatchToPlayers(event);
  }
}

void EnsureSDLEventThread() {
  std::lock_guard<std::mutex> g(gSDLThreadLock);
  if (gSDLThread && !gSDLThread->Finished()) return;
  if (gSDLThread) gSDLThread->WaitFor();
  gSDLThread = std::make_unique<TSDLEventThread>();
  gSDLThread->Start();
}

// Stops the SDL event thread before SDL itself goes.
void StopSDLEventThread() {
  std::unique_ptr<TSDLEventThread> t;
  {
    std::lock_guard<std::mutex> g(gSDLThreadLock);
    t = std::move(gSDLThread);
  }
  if (t) {
    t->Terminate();
    t->WaitFor();
  }
}

struct TModuleFinal {
  ~TModuleFinal() { StopSDLEventThread(); }
} gModuleFinal;

}  // namespace

void RegisterPlayer(TFFBasePlayer* APlayer) {
  std::lock_guard<std::mutex> g(gPlayersLock);
  gPlayers.push_back(APlayer);
}

void UnregisterPlayer(TFFBasePlayer* APlayer) {
  bool last;
  {
    std::lock_guard<std::mutex> g(gPlayersLock);
    gPlayers.erase(std::remove(gPlayers.begin(), gPlayers.end(), APlayer), gPlayers.end());
    last = gPlayers.empty();
  }
  if (last) StopSDLEventThread();
}

// ---- Construction ------------------------------------------------------------------------

TFFBasePlayer::TFFBasePlayer(Platform::TComponent* AOwner) : TFFBaseComponent(AOwner) {
  LogSender = this;
  // The option table: the common rows (log level, help ...), then the player's 33.
  FOptionTable.resize(OptCommon::CCommonOptionCount);
  OptCommon::InitCommonOptions(FOptionTable.data());
  const std::int32_t E = CmdUtils::OPT_EXPERT;
  const TOptionDef rows[] = {
      {"x", CmdUtils::OPT_TYPE_FUNC, CmdUtils::OPT_FUNC_ARG, OptFunc(opt_width), "force displayed width", "width", {}},
      {"y", CmdUtils::OPT_TYPE_FUNC, CmdUtils::OPT_FUNC_ARG, OptFunc(opt_height), "force displayed height", "height", {}},
      {"fs", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&is_full_screen), "force full screen", nullptr, {}},
      {"an", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&audio_disable), "disable audio", nullptr, {}},
      {"vn", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&video_disable), "disable video", nullptr, {}},
      {"sn", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&subtitle_disable), "disable subtitling", nullptr, {}},
      {"ast", CmdUtils::OPT_TYPE_STRING, E, OptDst(&wanted_stream_spec[AVMEDIA_TYPE_AUDIO]), "select desired audio stream", "stream_specifier", {}},
      {"vst", CmdUtils::OPT_TYPE_STRING, E, OptDst(&wanted_stream_spec[AVMEDIA_TYPE_VIDEO]), "select desired video stream", "stream_specifier", {}},
      {"sst", CmdUtils::OPT_TYPE_STRING, E, OptDst(&wanted_stream_spec[AVMEDIA_TYPE_SUBTITLE]), "select desired subtitle stream", "stream_specifier", {}},
      {"ss", CmdUtils::OPT_TYPE_TIME, 0, OptDst(&start_time), "seek to a given position in seconds", "pos", {}},
      {"t", CmdUtils::OPT_TYPE_TIME, 0, OptDst(&duration), "play  \"duration\" seconds of audio/video", "duration", {}},
      {"bytes", CmdUtils::OPT_TYPE_INT, 0, OptDst(&seek_by_bytes), "seek by bytes 0=off 1=on -1=auto", "val", {}},
      {"nodisp", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&display_disable), "disable graphical display", nullptr, {}},
      {"f", CmdUtils::OPT_TYPE_FUNC, CmdUtils::OPT_FUNC_ARG, OptFunc(opt_format), "force format", "fmt", {}},
      {"fast", CmdUtils::OPT_TYPE_BOOL, E, OptDst(&fast), "non spec compliant optimizations", "", {}},
      {"genpts", CmdUtils::OPT_TYPE_BOOL, E, OptDst(&genpts), "generate pts", "", {}},
      {"drp", CmdUtils::OPT_TYPE_INT, E, OptDst(&decoder_reorder_pts), "let decoder reorder pts 0=off 1=on -1=auto", "", {}},
      {"lowres", CmdUtils::OPT_TYPE_INT, E, OptDst(&lowres), "", "", {}},
      {"framedrop", CmdUtils::OPT_TYPE_BOOL, E, OptDst(&framedrop), "drop frames when cpu is too slow", "", {}},
      {"infbuf", CmdUtils::OPT_TYPE_BOOL, E, OptDst(&infinite_buffer), "don't limit the input buffer size (useful with realtime streams)", "", {}},
      {"rdftspeed", CmdUtils::OPT_TYPE_INT, CmdUtils::OPT_AUDIO | E, OptDst(&rdftspeed_ms), "rdft speed", "msecs", {}},
      {"codec", CmdUtils::OPT_TYPE_FUNC, CmdUtils::OPT_FUNC_ARG, OptFunc(opt_codec), "force decoder", "decoder_name", {}},
      {"c", CmdUtils::OPT_TYPE_FUNC, CmdUtils::OPT_FUNC_ARG, OptFunc(opt_codec), "force decoder", "decoder_name", {}},
      {"acodec", CmdUtils::OPT_TYPE_STRING, E, OptDst(&audio_codec_name), "force audio decoder", "decoder_name", {}},
      {"scodec", CmdUtils::OPT_TYPE_STRING, E, OptDst(&subtitle_codec_name), "force subtitle decoder", "decoder_name", {}},
      {"vcodec", CmdUtils::OPT_TYPE_STRING, E, OptDst(&video_codec_name), "force video decoder", "decoder_name", {}},
      {"autorotate", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&autorotate), "automatically rotate video", "", {}},
      {"find_stream_info", CmdUtils::OPT_TYPE_BOOL, CmdUtils::OPT_INPUT | E, OptDst(&find_stream_info), "read and decode the streams to fill missing information with heuristics", nullptr, {}},
      {"filter_threads", CmdUtils::OPT_TYPE_INT, E, OptDst(&filter_nbthreads), "number of filter threads per graph", nullptr, {}},
      {"pause", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&start_paused), "open paused", nullptr, {}},
      {"convert_colorspace", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&convert_colorspace), "convert colorspace", nullptr, {}},
      {"max_frame_duration", CmdUtils::OPT_TYPE_DOUBLE, E, OptDst(&max_frame_duration), "maximum duration of a frame - above this, we consider the jump a timestamp discontinuity", nullptr, {}},
      {"memory", CmdUtils::OPT_TYPE_INT64, E, OptDst(&memory_stream), "memory access via stream object", "integer value of stream object", {}},
  };
  static_assert(std::size(rows) == 33);
  for (const TOptionDef& r : rows) FOptionTable.push_back(r);
  FOptionTable.push_back(TOptionDef{});  // the terminator

  InitOptionsContext();
  FMsgWnd = MyUtils::AllocMsgHWnd(Platform::TWndMethod::Bind<&TFFBasePlayer::WndProc>(this));
  FUseMsgWnd = true;
  FDecoder = new FFDecode::TVIZoravaz(this);
  AudioVolume = SDL_MIX_MAXVOLUME;
  Mute = false;
  FConverter1 = std::make_unique<FormatConvert::TFormatConverter>();
  FConverter2 = std::make_unique<FormatConvert::TFormatConverter>();
  PixelFormats[0] = AV_PIX_FMT_YUV420P;
  for (int i = 1; i < CPixelFormatSlots; ++i) PixelFormats[i] = -1;
  ResetPlaybackState();
  ResetRange();
  RegisterPlayer(this);
}

void TFFBasePlayer::ShutDown() {
  // A thread of the player that runs a handler (or waits for it: OnBeforeFindStreamInfo
  // on the main thread, OnFileOpen of an open completed on the read thread) goes on
  // using the player once the handler returns, and cannot end before: a free from there
  // is refused.
  if (const MyUtils::THandlerFrame* f = MyUtils::FindHandler([this](const MyUtils::THandlerFrame& AFrame) {
        return AFrame.Object == this &&
               (IsStreamThreadHandler(AFrame.Kind) || AFrame.Kind == CBeforeFindStreamInfoHandler ||
                (AFrame.Kind == CFileOpenHandler && FCompletionOnReadThread));
      }))
    MyUtils::RefuseFreeFromHandler("FFBasePlay", __LINE__, f->Kind,
                                   [this](const std::string& AText) { Log(llFatal, AText); });
  FDestroying = true;
  // An open still in progress is cancelled and runs out first (its read thread uses this
  // player until then; its completion raises nothing now). An open whose OnFileOpen or
  // OnOpenFailed runs on this thread is over once that handler returns.
  if (!MyUtils::InHandler(this, CFileOpenHandler) && !MyUtils::InHandler(this, COpenFailedHandler)) {
    if (FOpening && !FStream.load()) Stop(false);
    if (MyUtils::InHandler(this, CWaitedOpen)) {
      // A waited Open on this thread waits below for the read thread's verdict, and
      // touches nothing once this free returns: its stream is released here.
      if (TVideoState* is = FOpeningStream.load()) {
        (void)ServeUntil([is] { return is->open_result != 0 && is->open_result != -1; });
        {
          std::lock_guard<std::mutex> o(FOpenLock);
          FOpeningStream = nullptr;
        }
        FreeStream(is);
      }
      FOpening = false;
    }
    (void)ServeUntil([this] { return !FOpening; });
  }
  // Then the stream is closed and every thread of this player has ended before anything
  // it uses goes.
  Stop(true);
  JoinWorkerThreads();
  StopEventThread();
}

void TFFBasePlayer::BeforeDestruction() {
  ShutDown();
  TFFBaseComponent::BeforeDestruction();
}

TFFBasePlayer::~TFFBasePlayer() {
  ShutDown();
  UnregisterPlayer(this);
  FReports.Clear();
  if (FMsgWnd) Platform::DestroyWindow(FMsgWnd);
  FMsgWnd = nullptr;
  // The decoder is a component of this player: destroyed now, while the player is whole.
  DestroyComponents();
  FDecoder = nullptr;
  FreeOptionStrings();
  if (AVUtilStubs::av_dict_free) CmdUtils::uninit_opts(&FOptions);
  MyUtils::free_cmdline(FArgv);
  if (SDLLoader && SDL2Stubs::SDL_Quit) SDLLoader->Quit(this);
  // Whoever returns from a handler that freed the player learns it here.
  MyUtils::MarkFreed(this);
  *FLife = false;
}

void TFFBasePlayer::InitOptionsContext() {
  std::memset(static_cast<void*>(&FOptions), 0, sizeof(FOptions));
  FOptions.av_class = CmdUtils::get_options_context_class();
  FOptions.Owner = this;
  FOptions.show_help_default = ShowHelpDefault;
}

void TFFBasePlayer::FreeOptionStrings() {
  if (!AVUtilStubs::av_freep) return;
  for (char*& s : wanted_stream_spec) AVUtilStubs::av_freep(static_cast<void*>(&s));
  AVUtilStubs::av_freep(static_cast<void*>(&audio_codec_name));
  AVUtilStubs::av_freep(static_cast<void*>(&subtitle_codec_name));
  AVUtilStubs::av_freep(static_cast<void*>(&video_codec_name));
}

void TFFBasePlayer::ResetPlaybackState() {
  FState = psStop;
  FLastPosition = AV_NOPTS_VALUE;
  FLastBytes = -1;
  {
    std::lock_guard<std::mutex> g(FFileNameLock);
    FFileName.clear();
  }
  FSeekServed.SetEvent();
  VideoSeekPending = false;
}

void TFFBasePlayer::ResetRange() {
  if (FKeepRange) return;
  seek_by_bytes = -1;
  start_time = AV_NOPTS_VALUE;
  duration = AV_NOPTS_VALUE;
  RangeEndAction = reNothing;
}

std::string TFFBasePlayer::FileName() const {
  std::lock_guard<std::mutex> g(FFileNameLock);
  return FFileName;
}

bool TFFBasePlayer::Paused() {
  bool paused = false;
  WithStream([&](TVideoState* is) { paused = is->paused != 0; });
  return paused;
}

std::string TFFBasePlayer::GetAudioDriver() const {
  return SDLLoader ? SDLLoader->CurrentAudioDriver() : std::string();
}

std::string TFFBasePlayer::GetVideoDriver() const {
  return SDLLoader ? SDLLoader->CurrentVideoDriver() : std::string();
}

void TFFBasePlayer::SetAudioDriver(const std::string& AValue) {
  std::lock_guard<std::mutex> g(FDriversLock);
  FAudioDriver = AValue;
}

void TFFBasePlayer::SetVideoDriver(const std::string& AValue) {
  std::lock_guard<std::mutex> g(FDriversLock);
  FVideoDriver = AValue;
}

// ---- Virtual operations with a default -----------------------------------------------------

void TFFBasePlayer::HandleUserEvent(TVideoState*, const SDL_Event&) {}
void TFFBasePlayer::FillSupportedPixelFormats(TVideoState*) {}
void TFFBasePlayer::SetScreenHandle(Platform::HWND AHandle) { FScreenHandle = AHandle; }
void TFFBasePlayer::CloseDisplay() {}

void TFFBasePlayer::show_usage() {
  AVUtilStubs::av_log(nullptr, AV_LOG_INFO, "%s\n", GetProductTitle().c_str());
}

void TFFBasePlayer::ShowHelpDefault(void* AOptionsCtx, const char*, const char*) {
  auto* self = static_cast<TFFBasePlayer*>(static_cast<CmdUtils::TDefaultOptions*>(AOptionsCtx)->Owner);
  self->show_usage();
  OptCommon::show_help_options(self->OptionDef(), "Main options:", 0, CmdUtils::OPT_EXPERT);
  OptCommon::show_help_options(self->OptionDef(), "Advanced options:", CmdUtils::OPT_EXPERT, 0);
  AVUtilStubs::av_log(nullptr, AV_LOG_INFO, "\n");
  OptCommon::show_help_children(AVCodecStubs::avcodec_get_class(), AV_OPT_FLAG_DECODING_PARAM);
  OptCommon::show_help_children(AVFormatStubs::avformat_get_class(), AV_OPT_FLAG_DECODING_PARAM);
  OptCommon::show_help_children(AVFilterStubs::avfilter_get_class(), AV_OPT_FLAG_FILTERING_PARAM);
}

// ---- Option handlers ---------------------------------------------------------------------

namespace {

TFFBasePlayer* OwnerOf(void* o) {
  return static_cast<TFFBasePlayer*>(static_cast<CmdUtils::TDefaultOptions*>(o)->Owner);
}

}  // namespace

int TFFBasePlayer::opt_width(void* o, const char* opt, const char* arg) {
  double num;
  const int ret = CmdUtils::parse_number(o, opt, arg, CmdUtils::OPT_TYPE_INT64, 1, INT32_MAX, num);
  if (ret < 0) return ret;
  OwnerOf(o)->ScreenWidth = static_cast<int>(num);
  return 0;
}

int TFFBasePlayer::opt_height(void* o, const char* opt, const char* arg) {
  double num;
  const int ret = CmdUtils::parse_number(o, opt, arg, CmdUtils::OPT_TYPE_INT64, 1, INT32_MAX, num);
  if (ret < 0) return ret;
  OwnerOf(o)->ScreenHeight = static_cast<int>(num);
  return 0;
}

int TFFBasePlayer::opt_format(void* o, const char*, const char* arg) {
  TFFBasePlayer* self = OwnerOf(o);
  const AVInputFormat* fmt = FFUtils::FindInputFormat(arg);
  if (fmt) {
    self->FCustomFormat = true;
  } else {
    fmt = AVFormatStubs::av_find_input_format(arg);
  }
  if (!fmt) {
    self->ReportError(Format("Unknown input format: %s", arg), true);
    return AVERROR(EINVAL);
  }
  self->file_iformat = fmt;
  return 0;
}

int TFFBasePlayer::opt_codec(void* o, const char* opt, const char* arg) {
  TFFBasePlayer* self = OwnerOf(o);
  const char* spec = std::strchr(opt, ':');
  if (!spec) {
    self->ReportError(Format("No media specifier was specified in '%s' in option '%s'", arg, opt), true);
    return AVERROR(EINVAL);
  }
  spec++;
  char** name;
  switch (*spec) {
    case 'a': name = &self->audio_codec_name; break;
    case 's': name = &self->subtitle_codec_name; break;
    case 'v': name = &self->video_codec_name; break;
    default:
      self->ReportError(Format("Invalid media specifier '%s' in option '%s'", spec, opt), true);
      return AVERROR(EINVAL);
  }
  AVUtilStubs::av_freep(static_cast<void*>(name));
  *name = AVUtilStubs::av_strdup(arg);
  return *name ? 0 : AVERROR(ENOMEM);
}

// ---- Option parsing ----------------------------------------------------------------------

bool TFFBasePlayer::ParseOptions(const std::string& AOptions) {
  if (AOptions.empty()) return true;
  Log(llInfo, "ParseOptions: " + AOptions);
  MyUtils::free_cmdline(FArgv);
  FArgv = nullptr;
  const int ret = MyUtils::parse_cmdline(
      AOptions, FArgv, MyUtils::Tparse_cmdline_callback::Bind<&TFFBasePlayer::ParseStep>(this));
  FFLoad::VEDovedo->FlushRepeats();
  if (ret < 0) return false;
  FOptionString = AOptions;
  return true;
}

int TFFBasePlayer::ParseStep(int argc, char** argv) {
  SetLastErrMsg("");
  // The log level acts process-wide, before anything else is parsed.
  CmdUtils::TDefaultOptions tmp{};
  tmp.av_class = CmdUtils::get_options_context_class();
  tmp.Owner = this;
  std::string text;
  int ret;
  try {
    CmdUtils::parse_loglevel(&tmp, argc, argv, OptionDef());
    CmdUtils::uninit_opts(&tmp);
    FFLoad::VEDovedo->SetLogFlags(AVUtilStubs::av_log_get_flags());
    FFLoad::VEDovedo->SetLogLevel(FFLoad::IntToLogLevel(AVUtilStubs::av_log_get_level()));

    CmdUtils::uninit_opts(&FOptions);
    InitOptionsContext();
    AVUtilStubs::av_dict_set(&FOptions.def_opts.sws_dict, "flags", "bicubic", 0);
    rdftspeed_ms = -1;
    ret = CmdUtils::parse_options(&FOptions, argc, argv, OptionDef(), nullptr);
    // The option counts milliseconds; the setting is in seconds.
    if (ret >= 0 && rdftspeed_ms >= 0) rdftspeed = rdftspeed_ms / 1000.0;
    if (ret < 0) {
      text = CmdUtils::print_error(ret);
      Log(llError, text);
    }
  } catch (const CmdUtils::FFmpegException&) {
    ret = -1;
  } catch (const std::exception& e) {
    ret = -1;
    text = e.what();
    Log(llFatal, text);
  }
  if (!text.empty()) {
    const std::string handler_msg = LastErrMsg();
    SetLastErrMsg(handler_msg.empty() ? text : handler_msg + "\r\n" + text);
  }
  return ret;
}

// ---- Libraries and SDL -------------------------------------------------------------------

namespace {

FFLoad::TLibraries PlayerLibraries() {
  return FFLoad::TLibraries{FFLoad::avUtil,  FFLoad::swScale,  FFLoad::swResample,
                            FFLoad::avCodec, FFLoad::avFormat, FFLoad::avFilter,
                            FFLoad::avDevice, FFLoad::myUtil,  FFLoad::SDL2};
}

}  // namespace

bool TFFBasePlayer::LibrariesLoaded() const { return FFLoad::FFLoader->Loaded(PlayerLibraries()); }

bool TFFBasePlayer::LoadLibraries(const std::string& APath) {
  if (Designing() || LibrariesLoaded()) return true;
  FFLoad::FFLoader->SetLibraryPath(APath);
  if (!FFLoad::FFLoader->Load(PlayerLibraries())) {
    ReportError(FFLoad::FFLoader->GetLastErrMsg(), true);
    return false;
  }
  if (!FFLoad::FFLoader->Load(FFLoad::TLibraries{FFLoad::libSoundTouch}))
    Log(llWarning, FFLoad::FFLoader->GetLastErrMsg());
  for (int i = 0; i < SDLLoader->AudioDrivers().Count(); ++i)
    Log(llInfo, Format("Available audio driver [index %d]: %s", i, SDLLoader->AudioDrivers()[i].c_str()));
  if (!display_disable) {
    for (int i = 0; i < SDLLoader->VideoDrivers().Count(); ++i)
      Log(llInfo, Format("Available video driver [index %d]: %s", i, SDLLoader->VideoDrivers()[i].c_str()));
    const int n = SDL2Stubs::SDL_GetNumRenderDrivers();
    for (int i = 0; i < n; ++i) {
      SDL_RendererInfo info{};
      if (SDL2Stubs::SDL_GetRenderDriverInfo(i, &info) == 0)
        Log(llInfo, Format("Available render driver [index %d]: %s", i, info.name));
    }
  }
  return true;
}

bool TFFBasePlayer::StartSDL() {
  if (SDLLoader->WasInit(this)) return true;
  std::string audio, video;
  {
    std::lock_guard<std::mutex> g(FDriversLock);
    audio = FAudioDriver;
    video = FVideoDriver;
  }
  if (!SDLLoader->Init(this, audio, video, true)) {
    ReportError(SDLLoader->LastErrMsg(), true);
    return false;
  }
  if (!display_disable) Log(llInfo, "Current video driver: " + SDLLoader->CurrentVideoDriver());
  Log(llInfo, "Current audio driver: " + SDLLoader->CurrentAudioDriver());
  for (int i = 0; i < SDLLoader->AudioDevices().Count(); ++i)
    Log(llInfo, Format("Available audio device [index %d]: %s", i, SDLLoader->AudioDevices()[i].c_str()));
  return true;
}

// ---- Open --------------------------------------------------------------------------------

bool TFFBasePlayer::Open(const std::string& AFileName, Platform::HWND AScreenHandle,
                         const std::string& AOptions) {
  return DoOpen(AFileName, AScreenHandle, AOptions, true);
}

bool TFFBasePlayer::TryOpen(const std::string& AFileName, Platform::HWND AScreenHandle,
                            const std::string& AOptions) {
  return DoOpen(AFileName, AScreenHandle, AOptions, false);
}

// The threads are taken out before they are waited for: a handler that runs meanwhile (the
// wait serves the main thread's queue) may free the player.
void TFFBasePlayer::JoinWorkerThreads() {
  const std::unique_ptr<TPlayThread> play = std::move(FPlayThread);
  if (play) play->WaitFor();
  JoinFailThread();
}

void TFFBasePlayer::JoinFailThread() {
  std::unique_ptr<TFailThread> fail;
  {
    std::lock_guard<std::mutex> g(FFailLock);
    fail = std::move(FFailThread);
  }
  if (!fail) return;
  if (MyUtils::InHandler(this, COpenFailedHandler)) {
    // It waits for the handler this call comes from: it ends by itself once that returns.
    fail->Orphan();
    (void)fail.release();
    return;
  }
  fail->WaitFor();
}

void TFFBasePlayer::StartFailThread(TVideoState* is) {
  if (is->wait_open) {
    // The caller of Open closes the stream and raises OnOpenFailed itself, once nothing of
    // the open is left (a handler may free the player). From here it may free the stream.
    FOpenFailedOnReadThread = true;
    is->open_result = -2;
    return;
  }
  std::lock_guard<std::mutex> g(FFailLock);
  if (FFailThread) FFailThread->WaitFor();
  FFailThread = std::make_unique<TFailThread>(this, is);
  FFailThread->Start();
}

void TFFBasePlayer::StopEventThread() {
  std::unique_ptr<TFFEventThread> t = std::move(FEventThread);
  if (!t) return;
  t->Terminate();
  const TFFEventThread* sender = t.get();
  if (!MyUtils::FindHandler([this, sender](const MyUtils::THandlerFrame& AFrame) {
        return AFrame.Object == this && AFrame.Kind == CStateHandler && AFrame.About == sender;
      })) {
    t->WaitFor();
    return;
  }
  // It waits for the state handler this call comes from: it ends by itself once that
  // returns, delivering nothing more. So the end of its stream is reported here, as the
  // thread would have reported it, unless that handler is the end's own.
  const bool stop_delivered = t->Delivering() == psStop;
  t->Orphan();
  (void)t.release();
  if (stop_delivered || GAppTerminated || !OnState.Assigned()) return;
  FDeliveredState = psStop;
  Platform::TMessage m{WM_PLAYER_STATE, 0, 0, 0};
  WndProc(m);
}

bool TFFBasePlayer::DoOpen(const std::string& AFileName, Platform::HWND AScreenHandle,
                           const std::string& AOptions, bool AWaitOpen) {
  if (MyUtils::InHandler(this, CFileOpenHandler)) {
    // The open whose OnFileOpen this is completes only after the handler.
    ReportError("Cannot open from OnFileOpen: the current open completes after it.", true);
    return false;
  }
  if (const MyUtils::THandlerFrame* f = MyUtils::FindHandler([this](const MyUtils::THandlerFrame& AFrame) {
        return AFrame.Object == this &&
               (IsStreamThreadHandler(AFrame.Kind) || AFrame.Kind == CBeforeFindStreamInfoHandler);
      })) {
    // The stream (or the open) that this handler belongs to goes on once it returns, and
    // must end before another one opens.
    ReportError(Format("Cannot open from the %s: the current stream goes on only once it has "
                       "returned.",
                       f->Kind),
                true);
    return false;
  }
  // Learns whether a handler run in one of the waits below freed the player.
  const MyUtils::THandlerScope waits(this, nullptr);
  // 1. An open still in progress gets about a second to finish. Its completion and its
  // events run on the main thread meanwhile, as the host expects them there.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  if (!ServeUntil([&] { return !FOpening || std::chrono::steady_clock::now() >= give_up; }))
    return false;
  if (FOpening) {
    ReportError("Current trying open is not completed.", true);
    return false;
  }
  SetLastErrMsg("");
  if (!FFLoad::FFLoader->Loaded(PlayerLibraries() - FFLoad::TLibraries{FFLoad::SDL2})) {
    ReportError("FFmpeg libraries not loaded.", true);
    return false;
  }
  if (!FFLoad::FFLoader->Loaded(FFLoad::TLibraries{FFLoad::SDL2}) || !SDL2Stubs::SDL_Init) {
    ReportError("SDL2 not loaded.", true);
    return false;
  }

  // The waits below serve the main thread's queue: a handler run there may free the
  // player, or open another stream, which then stays (this open fails).
  // AEventThreadGone, APlayThreadGone: the previous stream's threads have been joined,
  // so a thread found now belongs to another open.
  auto overtaken = [&](bool AEventThreadGone, bool APlayThreadGone) {
    if (waits.Freed()) return true;
    if (!FOpening && !FStream.load() && !(AEventThreadGone && FEventThread) &&
        !(APlayThreadGone && FPlayThread))
      return false;
    FKeepRange = false;
    ReportError("Another open began while the previous stream was closing.", true);
    return true;
  };
  bool ok = StartSDL();
  if (ok) {
    // A stream still open is closed first, keeping the range ("ss", "t" and the
    // range-end action): its threads read the option targets that the per-open defaults
    // and the parse below write. Its play thread is joined too: a stream that closed by
    // itself may still be releasing the options context.
    FKeepRange = true;
    Stop(true);
    if (overtaken(false, false)) return false;
    FKeepRange = false;
    StopEventThread();
    if (overtaken(true, false)) return false;
    JoinWorkerThreads();
    if (overtaken(true, true)) return false;

    // Per-open defaults; "ss", "t", "framedrop" and "rdftspeed" stay as they are.
    audio_disable = video_disable = subtitle_disable = display_disable = 0;
    FreeOptionStrings();
    seek_by_bytes = -1;
    fast = genpts = lowres = 0;
    decoder_reorder_pts = -1;
    infinite_buffer = -1;
    autorotate = 1;
    find_stream_info = 1;
    filter_nbthreads = 0;
    start_paused = 0;
    convert_colorspace = 0;
    max_frame_duration = 0.0;
    memory_stream = 0;
    file_iformat = nullptr;
    FCustomFormat = false;
    ok = ParseOptions(AOptions);
  }
  if (ok && audio_disable && (video_disable || display_disable)) {
    ReportError("Cannot disable audio and video/display at the same time.", true);
    ok = false;
  }
  if (ok && duration != AV_NOPTS_VALUE && duration <= 0) {
    // A range that ends where it starts (or before) is passed at once, and seeking back
    // to its start would pass it again, for ever. The refused range is not kept for the
    // next open.
    ReportError(Format("Invalid playing range: the duration (-t) must be above 0, not %g s.",
                       static_cast<double>(duration) / AV_TIME_BASE),
                true);
    start_time = AV_NOPTS_VALUE;
    duration = AV_NOPTS_VALUE;
    ok = false;
  }
  if (!ok) {
    // Failures before the stream exists are raised on the caller's thread.
    OpenFailed();
    return false;
  }

  // The previous stream's reports and events.
  FReports.Clear();
  FLastPosition = AV_NOPTS_VALUE;
  FLastBytes = -1;
  (void)MyUtils::MyProcessMessages();
  if (overtaken(true, true)) return false;
  FEventQueue.Clear();

  // Stored first: once the read thread runs, the fail thread may raise OnOpenFailed
  // (whose handler may free the player) before this call returns. A stream that does not
  // open clears it.
  {
    std::lock_guard<std::mutex> g(FFileNameLock);
    FFileName = AFileName;
  }
  FOpening = true;
  try {
    SetScreenHandle(AScreenHandle);
    FOpenFailedOnReadThread = false;
    const bool opened = stream_open(AFileName, file_iformat, AWaitOpen, start_paused != 0);
    if (waits.Freed()) return false;
    if (!opened) {
      CloseStream();
      FOpening = false;
      // The read thread's failure of a waited open is raised here, with the stream gone.
      if (FOpenFailedOnReadThread) OpenFailed();
      return false;
    }
  } catch (...) {
    FOpening = false;
    throw;
  }
  // Nothing of the player is touched after the completion: OnFileOpen may free it.
  if (AWaitOpen) OpenCompleted(false);
  return true;
}

void TFFBasePlayer::OpenFailed() {
  // The open is over before the host hears of it: the handler may open again or free the
  // player.
  FOpening = false;
  if (!FDestroying && OnOpenFailed.Assigned()) OnOpenFailed(this);
}

void TFFBasePlayer::RaiseOpenFailedOf(TFFBasePlayer* APlayer) {
  // The fail thread waits for this handler.
  const MyUtils::THandlerScope mark(APlayer, COpenFailedHandler);
  APlayer->OpenFailed();
}

bool TFFBasePlayer::ServeUntil(const std::function<bool()>& ADone) {
  return MyUtils::WaitServing(
      [&ADone](Platform::Cardinal AMilliseconds) {
        for (;;) {
          if (GAppTerminated || ADone()) return true;
          if (AMilliseconds != Platform::INFINITE) return false;
          Platform::Sleep(1);
        }
      },
      this);
}

void TFFBasePlayer::SyncCall(void (*AFunc)(TFFBasePlayer*)) {
  if (TriggerEventInMainThread) {
    struct TCall {
      void (*F)(TFFBasePlayer*);
      TFFBasePlayer* P;
      static void Run(void* AData) {
        auto* c = static_cast<TCall*>(AData);
        c->F(c->P);
      }
    } call{AFunc, this};
    MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction(&TCall::Run, &call));
  } else {
    AFunc(this);
  }
}

void TFFBasePlayer::CompleteOpenLater(bool AOnReadThread) {
  if (AOnReadThread) {
    OpenCompleted(true);
    return;
  }
  // Raised from the main thread's queue: the read thread goes on reading, so that a
  // handler of OnFileOpen may stop the stream (joining the read thread) or free the player.
  const std::weak_ptr<std::atomic<bool>> life = FLife;
  Platform::PostToMainThread([this, life] {
    const TLife alive = life.lock();
    if (alive && *alive) OpenCompleted(false);
  });
}

bool TFFBasePlayer::HandOverStream(TVideoState* is, bool ACommit) {
  {
    std::lock_guard<std::mutex> o(FOpenLock);
    if (!is->abort_request) {
      FPlayDone.ResetEvent();
      FOpeningStream = nullptr;
      FStream = is;
      FOpenCommitted = ACommit;
      return true;
    }
  }
  ReportError(COpenCancelled, true);
  return false;
}

void TFFBasePlayer::CancelCompletion() {
  {
    std::unique_lock<std::recursive_mutex> g(FStreamLock);
    CloseStream();
  }
  // No play thread comes for this stream.
  FPlayDone.SetEvent();
  ReportError(COpenCancelled, true);
  // Nothing of the player is touched after the handler.
  OpenFailed();
}

void TFFBasePlayer::WaitOpenEnded() {
  if (!ServeUntil([this] { return !FOpening; })) return;
  // Raised off the main thread (TriggerEventInMainThread off), OnOpenFailed follows the
  // end of the open.
  JoinFailThread();
}

void TFFBasePlayer::RaiseBeforeFindStreamInfoOf(TFFBasePlayer* APlayer) {
  // A cancelled open raises nothing more but its failure.
  const TVideoState* opening = APlayer->FOpeningStream.load();
  if (!APlayer->FOpeningContext || APlayer->FDestroying || (opening && opening->abort_request)) return;
  const MyUtils::THandlerScope mark(APlayer, CBeforeFindStreamInfoHandler);
  APlayer->OnBeforeFindStreamInfo(APlayer, APlayer->FOpeningContext);
}

void TFFBasePlayer::RaiseFileOpenOf(TFFBasePlayer* APlayer) {
  const MyUtils::THandlerScope mark(APlayer, CFileOpenHandler);
  APlayer->DoFileOpen();
}

bool TFFBasePlayer::RaiseFileOpen(std::int64_t ADuration, int AFrameWidth, int AFrameHeight,
                                  int& AWidth, int& AHeight) {
  if (!OnFileOpen.Assigned()) return true;
  const MyUtils::THandlerScope call(this, nullptr);
  OnFileOpen(this, ADuration, AFrameWidth, AFrameHeight, AWidth, AHeight);
  return !call.Freed();
}

void TFFBasePlayer::OpenCompleted(bool AOnReadThread) {
  if (!AOnReadThread) {
    // A Stop from here on stops the stream; one before cancelled the open.
    bool cancelled;
    {
      std::lock_guard<std::mutex> o(FOpenLock);
      const TVideoState* open = FStream.load();
      cancelled = open && open->abort_request;
      FOpenCommitted = !cancelled;
    }
    if (cancelled) {
      CancelCompletion();
      return;
    }
  }
  // The handler may run on another thread (SyncCall from a caller of Open that is not
  // the main thread).
  const TLife life = FLife;
  struct TClear {
    TFFBasePlayer* P;
    const TLife& L;
    ~TClear() {
      if (*L) P->FOpening = false;
    }
  } clear{this, life};
  TVideoState* is = FStream.load();
  if (is) FDecoder->SetFormatContext(is->ic);
  // Once destruction has begun the open is only run out, raising nothing.
  if (!FDestroying) {
    FCompletionOnReadThread = AOnReadThread;
    SyncCall(&TFFBasePlayer::RaiseFileOpenOf);
    if (!*life) return;
  }

  FEventThread = std::make_unique<TFFEventThread>(this);
  FEventThread->Start();
  FPlayLoopStarted = false;
  FPlayThread = std::make_unique<TPlayThread>(this);
  FPlayThread->Start();
  while (!FPlayLoopStarted && !GAppTerminated) Platform::Sleep(1);
  EnsureSDLEventThread();
}

// ---- Stop, pause, resume, seek -----------------------------------------------------------

void TFFBasePlayer::RequestQuit() {
  FEventQueue.Push(MakeUserEvent(FF_QUIT_EVENT, FStream.load()));
}

void TFFBasePlayer::ForwardWindowEvent(const SDL_Event& AEvent) {
  if (FWindowID != 0 && AEvent.window.windowID == FWindowID) FEventQueue.Push(AEvent);
}

void TFFBasePlayer::PushEvent(const SDL_Event& AEvent) { FEventQueue.Push(AEvent); }

void TFFBasePlayer::Stop(bool AWait) {
  // The stream closes only once a handler on one of its threads has returned: from there
  // the stop is asked for, and psStop follows.
  if (StreamThreadHandler()) AWait = false;
  const bool holding = HoldsStreamLock();
  bool cancelled = false;  // an open in progress was cancelled
  TVideoState* is;
  {
    std::unique_lock<std::recursive_mutex> g(FStreamLock, std::defer_lock);
    if (!LockStreamFromCall(g)) return;
    {
      // Either the stream is open (and stays so under the stream lock), or its open is
      // in progress and cannot be handed over, completed or freed while it is cancelled.
      std::lock_guard<std::mutex> o(FOpenLock);
      is = FStream.load();
      TVideoState* opening = FOpeningStream.load();
      if (is && FOpening && !FOpenCommitted) {
        // Handed over by the read thread; its completion still waits in the main
        // thread's queue, and closes it instead.
        opening = is;
        is = nullptr;
      }
      if (!is) {
        // Nothing open: cancel an open that may be blocking in I/O.
        IOActivityTime = 0;
        if (opening) opening->abort_request = 1;
        // A waited Open fails in its caller (a handler run by its wait returns there); an
        // open whose completion has begun is over once that has ended.
        cancelled = FOpening && !FOpenCommitted && !(opening && opening->wait_open);
      }
    }
    if (is) {
      if (is->paused) stream_toggle_pause(is);
      is->step = 0;
      RequestQuit();
      if (AWait && MyUtils::InHandler(this, CFileOpenHandler)) {
        // The play thread starts only after this handler: nobody else would close.
        if (FCompletionOnReadThread) {
          // Closing joins the read thread, which runs this handler.
          ReportError("Cannot wait for the stop in OnFileOpen on the read thread: the stream "
                      "closes once the open has completed.", true);
          return;
        }
        CloseStream();
        return;
      }
      if (AWait && holding) {
        // The caller holds the stream lock, so the play loop cannot take the quit: the
        // stream is closed here, and the play thread ends once the caller lets go. An
        // open completed on the read thread is completed first (OnFileOpen is raised
        // for it).
        if (!ServeUntil([this] { return !FOpening; })) {
          // A handler run meanwhile freed the player, lock and all.
          (void)g.release();
          return;
        }
        CloseStream();
        return;
      }
    }
  }
  if (!is) {
    // The read thread waits for OnBeforeFindStreamInfo: its open cannot end meanwhile.
    if (AWait && cancelled && !MyUtils::InHandler(this, CBeforeFindStreamInfoHandler) &&
        !MyUtils::InHandler(this, CFileOpenHandler))
      WaitOpenEnded();
    return;
  }
  if (!AWait) return;

  TSynchronizeOff off;
  int passes = 1;
  // One pass of the wait; True when it is over. A handler run between passes may free
  // the player (on psStop, say).
  auto pass = [&] {
    if (FPlayDone.WaitFor(10) == Platform::TWaitResult::wrSignaled) return true;
    if (!FStream.load()) return true;
    std::unique_lock<std::recursive_mutex> g(FStreamLock, std::defer_lock);
    if (!TryLockStreamFor(g, 10)) return false;
    TVideoState* is = FStream.load();
    if (!is) return true;
    ++passes;
    // Give the play loop time to take the quit event; a read blocked in I/O gets longer.
    // A stream whose open is being completed (on the read thread) is never closed from
    // here: its completion starts the play thread, which takes the quit.
    if (FOpening || passes <= 10 || (passes <= 20 && !is->in_read)) {
      RequestQuit();
      return false;
    }
    CloseStream();
    return true;
  };
  if (!ServeUntil(pass)) return;
  if (GAppTerminated) {
    std::unique_lock<std::recursive_mutex> g(FStreamLock);
    CloseStream();
  }
  (void)ServeUntil([this] { return FPlayDone.WaitFor(0) == Platform::TWaitResult::wrSignaled; });
}

void TFFBasePlayer::Pause() {
  WithStream([this](TVideoState* is) {
    if (is->paused) return;
    stream_toggle_pause(is);
    is->step = 0;
    // Before the play loop has reported psPlay (from OnFileOpen) it reports the paused
    // state itself, after psPlay.
    if (is->play_reported) ReportState(psPause);
  });
}

void TFFBasePlayer::Resume() {
  WithStream([this](TVideoState* is) {
    if (!is->paused) return;
    stream_toggle_pause(is);
    is->step = 0;
    if (is->play_reported) ReportState(psResume);
  });
}

void TFFBasePlayer::ReportPlaying() {
  // Under the stream lock, as Pause and Resume: the host's last state is the stream's
  // own, however a pause (an open to start paused, Pause from OnFileOpen or right after
  // Open returned) and this report meet.
  std::unique_lock<std::recursive_mutex> g(FStreamLock);
  ReportState(psPlay);
  if (TVideoState* is = FStream.load()) {
    if (is->paused) ReportState(psPause);
    is->play_reported = true;
  }
}

void TFFBasePlayer::Seek(TSeekFlags AFlags, bool AWait, std::int64_t APosition) {
  if (APosition == AV_NOPTS_VALUE) return;
  TVideoState* sought = nullptr;
  bool has_video = false;
  // The request is made under the stream lock; the wait is not (the play loop must go on
  // showing pictures for the seek to complete).
  WithStream([&](TVideoState* is) {
    std::int64_t pos = APosition;
    if (!AFlags.Contains(FFBaseComponent::sfByte) && is->ic &&
        is->ic->start_time != AV_NOPTS_VALUE && is->ic->start_time != 0)
      pos += is->ic->start_time;
    if (stream_seek(is, FFBaseComponent::SeekFlagsToInt(AFlags), 0, pos)) {
      sought = is;
      has_video = is->video_st != nullptr;
    }
  });
  if (!sought || !AWait) return;
  if (MyUtils::InHandler(this, CFileOpenHandler)) {
    // Playback starts after this handler: neither the seek nor its picture would come.
    ReportError("Cannot wait for the seek in OnFileOpen: playback starts after it.", true);
    return;
  }
  if (const MyUtils::THandlerFrame* f = StreamThreadHandler()) {
    ReportError(Format("Cannot wait for the seek in the %s: the stream goes on only once it "
                       "has returned.",
                       f->Kind),
                true);
    return;
  }
  if (!ServeUntil([this] { return FSeekServed.WaitFor(0) == Platform::TWaitResult::wrSignaled; }))
    return;
  // Only the pointer is compared: the stream may have closed meanwhile.
  if (has_video)
    (void)ServeUntil([&] {
      return FStream.load() != sought ||
             FPictureArrived.WaitFor(0) == Platform::TWaitResult::wrSignaled;
    });
}

void TFFBasePlayer::RequestRefresh() {
  FEventQueue.Push(MakeUserEvent(FF_REFRESH_EVENT, FStream.load()));
}

// Polls with try_lock: the C++ library's timed lock goes through a call that the thread
// sanitizer does not follow, so it would misjudge every later unlock.
bool TFFBasePlayer::TryLockStreamFor(std::unique_lock<std::recursive_mutex>& ALock,
                                     Platform::Cardinal AMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  for (;;) {
    if (ALock.try_lock()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Platform::Sleep(1);
  }
}

const MyUtils::THandlerFrame* TFFBasePlayer::StreamThreadHandler() const {
  return MyUtils::FindHandler([this](const MyUtils::THandlerFrame& AFrame) {
    return AFrame.Object == this && IsStreamThreadHandler(AFrame.Kind);
  });
}

bool TFFBasePlayer::LockStreamFromCall(std::unique_lock<std::recursive_mutex>& ALock) {
  if (!StreamThreadHandler()) {
    ALock.lock();
    return true;
  }
  // The stream whose thread this is cannot be freed before this handler returns.
  while (!ALock.try_lock()) {
    const TVideoState* is = FStream.load();
    if (!is || is->abort_request) return false;
    Platform::Sleep(1);
  }
  return true;
}

Platform::TWaitResult TFFBasePlayer::LockStream(Platform::Cardinal ATimeout) {
  if (ATimeout == Platform::INFINITE) {
    std::unique_lock<std::recursive_mutex> g(FStreamLock, std::defer_lock);
    if (!LockStreamFromCall(g)) return Platform::TWaitResult::wrAbandoned;
    g.release();
  } else {
    std::unique_lock<std::recursive_mutex> g(FStreamLock, std::defer_lock);
    if (!TryLockStreamFor(g, ATimeout)) return Platform::TWaitResult::wrTimeout;
    g.release();
  }
  if (FHostLockDepth++ == 0) FHostLockOwner = std::this_thread::get_id();
  return Platform::TWaitResult::wrSignaled;
}

void TFFBasePlayer::UnlockStream() {
  if (--FHostLockDepth == 0) FHostLockOwner = std::thread::id();
  FStreamLock.unlock();
}

bool TFFBasePlayer::HoldsStreamLock() const {
  return FHostLockOwner.load() == std::this_thread::get_id();
}

void TFFBasePlayer::DoRangeEnd() {
  auto seek_back = [&] {
    if (start_time != AV_NOPTS_VALUE)
      Seek(TSeekFlags{}, false, start_time);
    else
      Seek(TSeekFlags{FFBaseComponent::sfBackward}, false, 0);
  };
  switch (RangeEndAction.load()) {
    case reStop: Stop(false); break;
    case reSeekBack: seek_back(); break;
    case rePause: Pause(); break;
    case rePauseSeekBack:
      Pause();
      seek_back();
      break;
    case reReportEnd: ReportState(psEnd); break;
    default: break;
  }
}

// ---- Reports -----------------------------------------------------------------------------

void TFFBasePlayer::PushReport(const TReport& AReport) { FReports.Push(AReport); }

void TFFBasePlayer::ReportState(TPlayState AState) {
  FState = AState;
  TReport r;
  if (OnState.Assigned()) {
    r.Kind = CReportState;
    r.State = AState;
  } else if (AState == psStop) {
    r.Kind = CReportEnd;
  } else {
    return;
  }
  PushReport(r);
}

bool TFFBasePlayer::ReadPosition(TVideoState* is, TPositionReading& AReading) {
  const bool has_video = is->video_st != nullptr;
  const bool has_audio = is->audio_st != nullptr;
  bool use_audio;
  if (!has_video)
    use_audio = true;
  else if (!has_audio)
    use_audio = false;
  else if (is->pictures_since_seek < 2)
    use_audio = true;
  else if (PreferAudioPosition)
    use_audio = !(get_master_sync_type(is) == AV_SYNC_EXTERNAL_CLOCK &&
                  get_clock_speed(&is->extclk) != 1.0);
  else
    use_audio = false;

  double clock;
  double current;  // the clock's reading when it belongs to the current position
  if (use_audio) {
    if (!is->audio_played_since_seek) return false;
    current = get_clock(&is->audclk);
    clock = get_clock_unchecked(&is->audclk);
  } else {
    TClock* c = &is->vidclk;
    if (std::isnan(get_clock_unchecked(c)))
      c = (!has_audio || get_master_sync_type(is) == AV_SYNC_VIDEO_MASTER) ? &is->extclk : &is->audclk;
    current = get_clock(c);
    clock = get_clock_unchecked(c);
  }
  // A clock that allows for the device's buffers reads a little before the start while
  // the first samples are on their way: the position does not go below the start.
  std::int64_t pos =
      std::isnan(clock) ? 0 : std::max<std::int64_t>(0, std::llround(clock * 1000000.0) - is->start_time);
  if (use_audio && !std::isnan(clock)) {
    // Once the audio has played out, the position is the end of the whole input, which
    // may run on longer than the audio does.
    const std::int64_t audio_end = is->audio_end_time;
    if (audio_end != AV_NOPTS_VALUE && audio_end - is->start_time > 0 &&
        pos >= audio_end - is->start_time)
      pos = std::max(pos, is->duration);
  }
  AReading.UseAudio = use_audio;
  AReading.Clock = clock;
  AReading.Current = current;
  AReading.Position = pos;
  return true;
}

std::int64_t TFFBasePlayer::BytePosition(TVideoState* is, bool AUseAudio) {
  TFrameQueue* own = AUseAudio ? &is->sampq : &is->pictq;
  TFrameQueue* other = AUseAudio ? &is->pictq : &is->sampq;
  std::int64_t bytes = own->max_size ? frame_queue_last_pos(own) : -1;
  if (bytes < 0 && other->max_size) bytes = frame_queue_last_pos(other);
  if (bytes < 0 && is->ic && is->ic->pb) bytes = AVFormatStubs::avio_seek(is->ic->pb, 0, SEEK_CUR);
  return bytes;
}

void TFFBasePlayer::ReportPosition() {
  TVideoState* is = FStream.load();
  if (!is || is->abort_request) return;
  std::lock_guard<std::mutex> g(FPositionLock);
  is->reports_positions = true;
  const int seeks = is->seeks_served;  // before any clock is read
  TPositionReading reading;
  if (!ReadPosition(is, reading)) return;
  const bool use_audio = reading.UseAudio;
  const double clock = reading.Clock;
  const double current = reading.Current;
  std::int64_t pos = reading.Position;

  const std::int64_t bytes = BytePosition(is, use_audio);

  std::int64_t last = FLastPosition;
  // During plain playback the position never goes back. The clocks may lag behind what
  // was reported: a late audio callback, or the video clock taking over from the audio
  // clock while pictures that came late are still catching up. Only a seek served since
  // the last report of a current reading (or a new open) takes the position back.
  const bool stale = std::isnan(current) && !std::isnan(clock);  // still before the last seek
  const bool hold = !stale && last != AV_NOPTS_VALUE && is->position_seeks == seeks && pos < last;
  if (hold) pos = last;
  if (is->duration > 0 && pos >= is->duration) {
    pos = is->duration;
    // The final position is always reported.
    if (last != pos) last = 0;
  }
  const bool skip = hold || (last != AV_NOPTS_VALUE && bytes == FLastBytes && FLastBytes >= 0 &&
                             std::llabs(pos - last) <= PositionThreshold);
  if (!skip) {
    if (!std::isnan(current)) is->position_seeks = seeks;
    FLastPosition = pos;
    FLastBytes = bytes;
    if (OnPosition.Assigned() || OnPosition2.Assigned()) {
      TReport r;
      r.Kind = CReportPosition;
      r.Position = pos;
      r.Bytes = bytes;
      PushReport(r);
    }
  }
}

void TFFBasePlayer::ReportEnd(TVideoState* is) {
  // The play loop may not have reported the final position yet when the audio has
  // played out (nor any position, while it still makes the display on a busy machine):
  // it goes ahead of psEnd here, and no report of the play loop comes in between (later
  // ones do not go below it), so a host that takes psEnd for "the bar is full" never
  // sees the bar go back. With a display the play loop reports positions.
  std::lock_guard<std::mutex> g(FPositionLock);
  TPositionReading reading;
  if ((is->reports_positions || !display_disable) && is->duration > 0 &&
      FLastPosition != is->duration) {
    // Where the play loop's next report would find the byte position: that report is
    // then the same, and is skipped.
    const bool use_audio = ReadPosition(is, reading) ? reading.UseAudio : !is->video_st;
    FLastPosition = is->duration;
    FLastBytes = BytePosition(is, use_audio);
    if (OnPosition.Assigned() || OnPosition2.Assigned()) {
      TReport r;
      r.Kind = CReportPosition;
      r.Position = is->duration;
      r.Bytes = FLastBytes;
      PushReport(r);
    }
  }
  ReportState(psEnd);
}

void TFFBasePlayer::CheckRangeEnd(TVideoState* is) {
  if (duration == AV_NOPTS_VALUE || is->abort_request) return;
  const int seeks = is->seeks_served;  // before any clock is read
  // The range-end action runs once per reached end; a seek makes the end reachable
  // again. A clock still showing the time before a seek does not count.
  if (is->range_end_seeks == seeks) return;
  TPositionReading reading;
  if (!ReadPosition(is, reading) || std::isnan(reading.Current)) return;
  const std::int64_t end = start_time != AV_NOPTS_VALUE ? start_time + duration : duration;
  if (reading.Position >= end) {
    is->range_end_seeks = seeks;
    DoRangeEnd();
  }
}

void TFFBasePlayer::WndProc(Platform::TMessage& AMessage) {
  AMessage.Result = 0;
  // Nothing reaches the host once destruction has begun. Nothing of the player is
  // touched after a handler: it may have freed the player.
  if (FDestroying) return;
  if (AMessage.Msg == WM_PLAYER_POSITION) {
    const std::int64_t pos = FDeliveredPosition;
    const std::int64_t bytes = FDeliveredBytes;
    const MyUtils::THandlerScope call(this, nullptr);
    if (OnPosition.Assigned()) OnPosition(this, pos);
    if (!call.Freed() && !FDestroying && OnPosition2.Assigned()) OnPosition2(this, pos, bytes);
  } else if (AMessage.Msg == WM_PLAYER_STATE) {
    if (!OnState.Assigned()) return;
    // The event thread that sent the state (its wParam), if any, waits for this handler.
    const MyUtils::THandlerScope mark(this, CStateHandler,
                                      reinterpret_cast<const void*>(AMessage.WParam));
    OnState(this, FDeliveredState.load());
  }
}

void TFFBasePlayer::DoError(FFBaseComponent::TErrorType AError, const std::string& AMessage) {
  if (FDestroying || !OnError.Assigned()) return;
  const MyUtils::THandlerScope mark(this, CErrorHandler);
  OnError(this, AError, AMessage);
}

void TFFBasePlayer::DoFrameHook(AVFrame* AFrame, double APts) {
  if (!FrameHook || FDestroying || !OnFrameHook.Assigned()) return;
  TVideoState* is = FStream.load();
  const std::int64_t pts =
      std::isnan(APts) ? AV_NOPTS_VALUE : std::llround(APts * 1000000.0) - (is ? is->start_time : 0);
  FFUtils::TAVPicture pic{};
  for (int i = 0; i < 3; ++i) {
    pic.data[i] = AFrame->data[i];
    pic.linesize[i] = AFrame->linesize[i];
  }
  try {
    const MyUtils::THandlerScope mark(this, CFrameHookHandler);
    OnFrameHook(this, &pic,
                static_cast<AVPixelFormat>(AFrame->format), AFrame->width, AFrame->height, pts);
  } catch (const std::exception& e) {
    Log(llError, std::string("Error occurs OnFrameHook: ") + e.what());
  }
}

std::string TFFBasePlayer::GetVideoFilters() const {
  std::lock_guard<std::mutex> g(FFiltersLock);
  return FVideoFilters;
}

void TFFBasePlayer::SetVideoFilters(const std::string& AValue) {
  std::lock_guard<std::mutex> g(FFiltersLock);
  FVideoFilters = AValue;
}

std::string TFFBasePlayer::GetAudioFilters() const {
  std::lock_guard<std::mutex> g(FFiltersLock);
  return FAudioFilters;
}

void TFFBasePlayer::SetAudioFilters(const std::string& AValue) {
  std::lock_guard<std::mutex> g(FFiltersLock);
  FAudioFilters = AValue;
}

void TFFBasePlayer::ClearPixelFormats() {
  for (int& f : PixelFormats) f = -1;
}

bool TFFBasePlayer::AddPixelFormat(int AFormat) {
  const int n = PixelFormatCount();
  // The last slot always holds the end mark.
  if (n >= CPixelFormatSlots - 1) return false;
  PixelFormats[n] = AFormat;
  PixelFormats[n + 1] = -1;
  return true;
}

int TFFBasePlayer::PixelFormatCount() const {
  int n = 0;
  while (n < CPixelFormatSlots && PixelFormats[n] != -1) ++n;
  return n;
}

void TFFBasePlayer::set_default_window_size(int width, int height, AVRational sar) {
  SDL_Rect rect;
  const int sw = ScreenWidth, sh = ScreenHeight;
  int max_width = sw > 0 ? sw : INT_MAX;
  int max_height = sh > 0 ? sh : INT_MAX;
  if (max_width == INT_MAX && max_height == INT_MAX) max_height = height;
  calculate_display_rect(&rect, 0, 0, max_width, max_height, width, height, sar, 0);
  default_width = rect.w;
  default_height = rect.h;
}

}  // namespace FFBasePlay
