#include "components/FFPlay.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/tx.h>
#include <libswscale/swscale.h>
}

#include "components/FFBasePlayClock.h"
#include "engine/FormatConvert.h"
#include "platform/Format.h"
#include "platform/Threads.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SwScaleStubs.h"

namespace FFPlay {

namespace S = SDL2Stubs;
namespace U = AVUtilStubs;
using namespace FFBasePlay;
using FFLoad::llError;
using FFLoad::llFatal;
using FFLoad::llInfo;
using FFLoad::llWarning;
using Platform::Format;

static_assert(AV_PIX_FMT_0RGB == 118 && AV_PIX_FMT_RGB0 == 119 && AV_PIX_FMT_0BGR == 120 &&
                  AV_PIX_FMT_BGR0 == 121,
              "the map's packed 32-bit rows follow this numbering");

const TPixelFormatMapEntry CPixelFormatMap[CPixelFormatMapSize] = {
    {AV_PIX_FMT_YUV420P, SDL_PIXELFORMAT_IYUV},
    {AV_PIX_FMT_RGB8, SDL_PIXELFORMAT_RGB332},
    {AV_PIX_FMT_RGB444LE, SDL_PIXELFORMAT_RGB444},
    {AV_PIX_FMT_RGB555LE, SDL_PIXELFORMAT_RGB555},
    {AV_PIX_FMT_BGR555LE, SDL_PIXELFORMAT_BGR555},
    {AV_PIX_FMT_RGB565LE, SDL_PIXELFORMAT_RGB565},
    {AV_PIX_FMT_BGR565LE, SDL_PIXELFORMAT_BGR565},
    {AV_PIX_FMT_RGB24, SDL_PIXELFORMAT_RGB24},
    {AV_PIX_FMT_BGR24, SDL_PIXELFORMAT_BGR24},
    {AV_PIX_FMT_BGR0, SDL_PIXELFORMAT_XRGB8888},
    {AV_PIX_FMT_RGB0, SDL_PIXELFORMAT_XBGR8888},
    {AV_PIX_FMT_0BGR, SDL_PIXELFORMAT_RGBX8888},
    {AV_PIX_FMT_0RGB, SDL_PIXELFORMAT_BGRX8888},
    {AV_PIX_FMT_BGRA, SDL_PIXELFORMAT_ARGB8888},
    {AV_PIX_FMT_ABGR, SDL_PIXELFORMAT_RGBA8888},
    {AV_PIX_FMT_RGBA, SDL_PIXELFORMAT_ABGR8888},
    // The bytes A, R, G, B: SDL's ARGB32 (BGRA8888 as a packed word on this machine).
    {AV_PIX_FMT_ARGB, SDL_PIXELFORMAT_ARGB32},
    {AV_PIX_FMT_YUYV422, SDL_PIXELFORMAT_YUY2},
    {AV_PIX_FMT_UYVY422, SDL_PIXELFORMAT_UYVY},
};

Uint32 SDLFormatOf(int AVFormat) {
  for (const auto& e : CPixelFormatMap)
    if (e.AVFormat == AVFormat) return e.SDLFormat;
  return SDL_PIXELFORMAT_UNKNOWN;
}

int AVFormatOf(Uint32 ASDLFormat) {
  for (const auto& e : CPixelFormatMap)
    if (e.SDLFormat == ASDLFormat) return e.AVFormat;
  return -1;
}

int YUVConversionModeOf(const AVFrame* AFrame) {
  if (AFrame && (AFrame->format == AV_PIX_FMT_YUV420P || AFrame->format == AV_PIX_FMT_YUYV422 ||
                 AFrame->format == AV_PIX_FMT_UYVY422)) {
    if (AFrame->color_range == AVCOL_RANGE_JPEG) return SDL_YUV_CONVERSION_JPEG;
    if (AFrame->colorspace == AVCOL_SPC_BT709) return SDL_YUV_CONVERSION_BT709;
    if (AFrame->colorspace == AVCOL_SPC_BT470BG || AFrame->colorspace == AVCOL_SPC_SMPTE170M)
      return SDL_YUV_CONVERSION_BT601;
  }
  return SDL_YUV_CONVERSION_AUTOMATIC;
}

TRefreshTiming ComputeRefreshTiming(double AFrameTimer, double ADelay, double ANow,
                                    double ANextDuration, bool ADropAllowed) {
  TRefreshTiming r{AFrameTimer, false, false, 0.0};
  if (ANow < AFrameTimer + ADelay) {
    r.Wait = AFrameTimer + ADelay - ANow;
    return r;
  }
  r.Show = true;
  r.FrameTimer += ADelay;
  // Far behind (a stall, a slow display): restart the timing from now instead of
  // racing through the backlog.
  if (ADelay > 0 && ANow - r.FrameTimer > AV_SYNC_THRESHOLD_MAX) r.FrameTimer = ANow;
  r.DropLate = ADropAllowed && !std::isnan(ANextDuration) && ANow > r.FrameTimer + ANextDuration;
  return r;
}

// The tallest picture SDL converts as standard definition when the picture names no
// colour matrix.
constexpr int CSDHeightLimit = 576;

static double NowSeconds() { return U::av_gettime_relative() / 1000000.0; }

// ---- Host windows -----------------------------------------------------------------------------

// One player at a time draws into a host window: two SDL windows made from one native
// window, each with a renderer presenting into it, crash SDL. A player that finds its
// host window taken plays on without a display; once the holder lets the window go, the
// players that waited for it are asked to refresh and the first to come binds it.
// gHostWindowsLock is taken inside a player's FDisplayLock and takes only the event
// queue's lock inside (RequestRefresh).
namespace {
std::mutex gHostWindowsLock;
struct THostWindow {
  TCustomPlayer* Holder = nullptr;
  std::vector<TCustomPlayer*> Waiting;
};
std::map<Platform::HWND, THostWindow> gHostWindows;  // Guarded by gHostWindowsLock.
}  // namespace

bool TCustomPlayer::ClaimHostWindow(Platform::HWND AHandle) {
  std::lock_guard<std::mutex> g(gHostWindowsLock);
  THostWindow& w = gHostWindows[AHandle];
  if (w.Holder && w.Holder != this) {
    if (std::find(w.Waiting.begin(), w.Waiting.end(), this) == w.Waiting.end()) w.Waiting.push_back(this);
    return false;
  }
  w.Holder = this;
  std::erase(w.Waiting, this);
  FClaimedHandle = AHandle;
  return true;
}

void TCustomPlayer::ReleaseHostWindowClaim() {
  if (!FClaimedHandle) return;
  std::vector<TCustomPlayer*> waiting;
  {
    std::lock_guard<std::mutex> g(gHostWindowsLock);
    auto it = gHostWindows.find(FClaimedHandle);
    if (it != gHostWindows.end() && it->second.Holder == this) {
      waiting.swap(it->second.Waiting);
      gHostWindows.erase(it);
      // Under the lock: a waiting player leaves the list before it goes.
      for (TCustomPlayer* p : waiting) p->RequestRefresh();
    }
  }
  FClaimedHandle = nullptr;
}

void TCustomPlayer::ForgetHostWindows() {
  std::lock_guard<std::mutex> g(gHostWindowsLock);
  for (auto it = gHostWindows.begin(); it != gHostWindows.end();) {
    std::erase(it->second.Waiting, this);  // its display, and so its claim, is gone
    if (!it->second.Holder && it->second.Waiting.empty())
      it = gHostWindows.erase(it);
    else
      ++it;
  }
}

// ---- Construction ---------------------------------------------------------------------------

TCustomPlayer::TCustomPlayer(Platform::TComponent* AOwner) : TFFBasePlayer(AOwner) {
  default_width = 640;
  default_height = 480;
  ScreenWidth = 0;
  ScreenHeight = 0;
  rdftspeed = 0.02;
  // One background for the display: black.
  BackgroundColor[0] = BackgroundColor[1] = BackgroundColor[2] = 0;
  ClearPixelFormats();
  (void)AddPixelFormat(AV_PIX_FMT_YUV420P);
  FHookConverter = std::make_unique<FormatConvert::TFormatConverter>();
  FBitmapConverter = std::make_unique<FormatConvert::TFormatConverter>();
}

TCustomPlayer::~TCustomPlayer() {
  // The engine's threads call into this side: they end before anything here goes (freed
  // with delete, they have ended already), and no event reaches the host from here on.
  // The engine's own handlers stay.
  ShutDown();
  OnVideoHook = {};
  {
    std::lock_guard<std::recursive_mutex> g(FDisplayLock);
    DestroyDisplay();
  }
  ForgetHostWindows();
  if (FSubConvertCtx && SwScaleStubs::sws_freeContext) SwScaleStubs::sws_freeContext(FSubConvertCtx);
  FSubConvertCtx = nullptr;
  FreeSpectrumTransform();
}

void TCustomPlayer::FreeSpectrumTransform() {
  if (rdft && U::av_tx_uninit) {
    auto* ctx = static_cast<AVTXContext*>(rdft);
    U::av_tx_uninit(&ctx);
  }
  rdft = nullptr;
  if (U::av_freep) {
    U::av_freep(&real_data);
    U::av_freep(&rdft_data);
  }
  rdft_bits = 0;
}

void TCustomPlayer::show_usage() {
  TFFBasePlayer::show_usage();
  U::av_log(nullptr, AV_LOG_INFO, "usage: ZAVereve.Open/TryOpen(input_file, screen_handle, [options])\n\n");
}

// ---- Settings -------------------------------------------------------------------------------

void TCustomPlayer::SetAspectRatio(double AValue) {
  const double old = FAspectRatio.load();
  if (old == AValue || (std::isnan(old) && std::isnan(AValue))) return;
  FAspectRatio = AValue;
  if (Opened()) RequestRefresh();
}

SDL_Rect TCustomPlayer::DisplayRect() const {
  std::lock_guard<std::mutex> g(FRectLock);
  return FDisplayRect;
}

void TCustomPlayer::UpdateDisplayRect(const SDL_Rect& ARect) {
  const SDL_Rect r{ARect.x, ARect.y, ARect.x + ARect.w, ARect.y + ARect.h};
  std::lock_guard<std::mutex> g(FRectLock);
  if (std::memcmp(&r, &FDisplayRect, sizeof r) != 0) FDisplayRect = r;
}

SDL_Window* TCustomPlayer::Window() const {
  std::lock_guard<std::recursive_mutex> g(FDisplayLock);
  return FWindow;
}

std::string TCustomPlayer::RendererName() const {
  std::lock_guard<std::recursive_mutex> g(FDisplayLock);
  return FRendererName;
}

void TCustomPlayer::SetShowMode(int AMode) {
  ShowMode = AMode;
  // Under the stream lock: the stream may close by itself at any moment, and the play
  // loop owns the display area.
  WithStream([&](TVideoState* is) {
    int mode = AMode;
    if (mode == SHOW_MODE_NONE) mode = is->video_st ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    if (is->show_mode == mode) return;
    is->show_mode = mode;
    {
      std::unique_lock<std::recursive_mutex> d(FDisplayLock, std::try_to_lock);
      if (d.owns_lock() && FRenderer && !display_disable) {
        fill_rectangle(is->xleft, is->ytop, is->width, is->height);
        ReleaseRenderContext();
      }
    }
    is->force_refresh = 1;
  });
}

void TCustomPlayer::DoFileOpen() {
  TVideoState* is = Stream();
  if (is && OnFileOpen.Assigned()) {
    const std::int64_t dur = (is->is_image2 || is->duration < 0) ? 0 : is->duration;
    const int fw = is->video_st ? is->video_st->codecpar->width : -1;
    const int fh = is->video_st ? is->video_st->codecpar->height : -1;
    int w = ScreenWidth, h = ScreenHeight;
    if (!RaiseFileOpen(dur, fw, fh, w, h)) return;  // the handler freed the player
    ScreenWidth = w;
    ScreenHeight = h;
  }
  if (FScreenHandle && !FOwnWindow && !(ScreenWidth && ScreenHeight) && HostClientSize) {
    int w = 0, h = 0;
    if (HostClientSize(w, h)) {
      ScreenWidth = w;
      ScreenHeight = h;
    }
  }
}

void TCustomPlayer::FillSupportedPixelFormats(TVideoState* is) {
  auto formats = [this]() {
    std::lock_guard<std::recursive_mutex> g(FDisplayLock);
    return FRendererInfo.num_texture_formats;
  };
  if (formats() == 0) {
    is->force_refresh = 1;
    int tries = 0;
    while (formats() == 0) {
      if (is->abort_request || ++tries > 100) return;
      Platform::Sleep(10);
    }
  }
  std::lock_guard<std::recursive_mutex> g(FDisplayLock);
  std::vector<int> accepted;
  for (Uint32 i = 0; i < FRendererInfo.num_texture_formats; ++i) {
    const int f = AVFormatOf(FRendererInfo.texture_formats[i]);
    if (f >= 0) accepted.push_back(f);
  }
  // A renderer offering none of the mapped formats keeps the current list rather than
  // leaving the filters free to pick a format nothing here can upload.
  if (accepted.empty()) return;
  ClearPixelFormats();
  for (const int f : accepted)
    if (!AddPixelFormat(f)) break;
}

// ---- Display --------------------------------------------------------------------------------

void TCustomPlayer::ReleaseRenderContext() {
  // SDL's OpenGL renderers draw through a context that becomes current on the thread
  // that last used the renderer, and a context current on one thread can be neither made
  // current nor deleted on another: the renderer would leak, or worse, when the host's
  // thread closes the display. So no thread keeps it past its display section: the
  // pending commands go out, then the context is let go. The renderer makes it current
  // again on its next call.
  if (!FRenderer || !FWindow || FRendererName.compare(0, 6, "opengl") != 0) return;
  if (S::SDL_RenderFlush) S::SDL_RenderFlush(FRenderer);  // older SDL2 draws at once
  if (S::SDL_GL_GetCurrentWindow() == FWindow) S::SDL_GL_MakeCurrent(FWindow, nullptr);
}

void TCustomPlayer::DestroyRenderer() {
  // Textures belong to the renderer: they go first.
  if (FVisTexture) S::SDL_DestroyTexture(FVisTexture);
  if (FSubTexture) S::SDL_DestroyTexture(FSubTexture);
  if (FVidTexture) S::SDL_DestroyTexture(FVidTexture);
  FVisTexture = FSubTexture = FVidTexture = nullptr;
  if (FRenderer) S::SDL_DestroyRenderer(FRenderer);
  FRenderer = nullptr;
  FHasRenderer = false;
}

void TCustomPlayer::DestroyDisplay() {
  DestroyRenderer();
  FRendererInfo.num_texture_formats = 0;
  FRendererName.clear();
  if (FWindow) S::SDL_DestroyWindow(FWindow);
  FWindow = nullptr;
  FWindowID = 0;
  ReleaseHostWindowClaim();
  // A foreign window stays shown: SDL never hides what it did not create.
  FOwnWindow = false;
}

bool TCustomPlayer::CreateDisplay(Platform::HWND AHandle, int& W, int& H) {
  if (FWindow) {
    S::SDL_SetWindowSize(FWindow, W, H);
    if (FRenderer) return true;
  } else if (AHandle) {
    FOwnWindow = false;
    if (!ClaimHostWindow(AHandle)) {
      // Another player draws into this window: this one plays on without a display
      // until it is free (no error, no quit).
      if (!FHostWindowBusy)
        Log(llWarning, Format("The window %d is shown by another player: nothing is drawn until it is free",
                              static_cast<int>(reinterpret_cast<std::uintptr_t>(AHandle))));
      FHostWindowBusy = true;
      return false;
    }
    FHostWindowBusy = false;
    FWindow = S::SDL_CreateWindowFrom(reinterpret_cast<const void*>(AHandle));
    if (FWindow) S::SDL_GetWindowSize(FWindow, &W, &H);
  } else {
    std::string title = Format("%s @ %s.%s", FileName().c_str(), ClassName().c_str(), Name().c_str());
    Uint32 flags = SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE | SDL_WINDOW_INPUT_FOCUS |
                   SDL_WINDOW_ALLOW_HIGHDPI;
    if (is_full_screen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    FWindow = S::SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                  W, H, flags);
    if (FWindow) {
      SDL_SysWMinfo info;
      std::memset(&info, 0, sizeof info);
      SDL_VERSION(&info.version);
      if (S::SDL_GetWindowWMInfo(FWindow, &info)) {
        if (info.subsystem == SDL_SYSWM_X11)
          FScreenHandle = reinterpret_cast<Platform::HWND>(static_cast<std::uintptr_t>(info.info.x11.window));
      } else {
        ReportError(Format("SDL_GetWindowWMInfo(): %s", S::SDL_GetError()), false);
      }
      FOwnWindow = true;
    }
  }
  if (!FWindow) {
    ReleaseHostWindowClaim();
    ReportError(Format("Could not create SDL window: %s", S::SDL_GetError()), true);
    RequestQuit();
    return false;
  }
  FWindowID = S::SDL_GetWindowID(FWindow);
  S::SDL_SetHint("SDL_RENDER_SCALE_QUALITY", "linear");
  if (!FRenderer) {
    FRenderer = S::SDL_CreateRenderer(FWindow, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
    if (!FRenderer) {
      Log(llWarning, Format("Failed to initialize a hardware accelerated renderer: %s", S::SDL_GetError()));
      FRenderer = S::SDL_CreateRenderer(FWindow, -1, 0);
    }
  }
  if (FRenderer && S::SDL_GetRendererInfo(FRenderer, &FRendererInfo) == 0) {
    Log(llInfo, Format("Current render driver: %s, max width: %d, max height: %d, formats: %d -> %s",
                       FRendererInfo.name, FRendererInfo.max_texture_width,
                       FRendererInfo.max_texture_height, FRendererInfo.num_texture_formats,
                       S::SDLLoader->GetRendererTextureFormats(FRendererInfo).c_str()));
    FRendererName = FRendererInfo.name ? FRendererInfo.name : "";
    FHasRenderer = true;
    return true;
  }
  ReportError(Format("Could not create SDL renderer: %s", S::SDL_GetError()), true);
  if (FRenderer) S::SDL_DestroyRenderer(FRenderer);
  FRenderer = nullptr;
  std::memset(&FRendererInfo, 0, sizeof FRendererInfo);
  S::SDL_DestroyWindow(FWindow);
  FWindow = nullptr;
  FWindowID = 0;
  ReleaseHostWindowClaim();
  FOwnWindow = false;
  RequestQuit();
  return false;
}

int TCustomPlayer::video_open(TVideoState* is) {
  if (FChanging || FHostReleased) return -1;
  const int sw = ScreenWidth, sh = ScreenHeight;
  int w = sw > 0 ? sw : default_width.load();
  int h = sh > 0 ? sh : default_height.load();
  bool created = false;
  // Making a window and its renderer takes a tenth of a second and more: the host's
  // calls that take the stream lock do not wait for it. FDisplayLock guards the display.
  const bool open = WithoutStreamLock(is, [&] {
    std::unique_lock<std::recursive_mutex> d(FDisplayLock, std::try_to_lock);
    if (!d.owns_lock()) return;
    created = CreateDisplay(FScreenHandle, w, h);
    if (created) ReleaseRenderContext();
  });
  if (!open || !created) return -1;
  is->width = w;
  is->height = h;
  return 0;
}

bool TCustomPlayer::ChangeScreenHandle(Platform::HWND AHandle) {
  if (AHandle == FScreenHandle && !FChangePending) return true;
  std::unique_lock<std::recursive_mutex> d(FDisplayLock, std::try_to_lock);
  if (!d.owns_lock()) {
    Log(llError, Format("Failed to change ScreenHandle from %d to %d",
                        static_cast<int>(reinterpret_cast<std::uintptr_t>(FScreenHandle)),
                        static_cast<int>(reinterpret_cast<std::uintptr_t>(AHandle))));
    return false;
  }
  FChangePending = false;
  FHostReleased = false;
  if (FWindow) {
    FChanging = true;
    DestroyDisplay();
    Log(llInfo, Format("ScreenHandle changed from %d to %d",
                       static_cast<int>(reinterpret_cast<std::uintptr_t>(FScreenHandle)),
                       static_cast<int>(reinterpret_cast<std::uintptr_t>(AHandle))));
  }
  FScreenHandle = AHandle;
  FChanging = false;
  d.unlock();
  // The play loop opens the display on the new handle and draws: a paused stream, too,
  // and one whose display was closed (its host window gone). Asked once the change is
  // complete, so that the refresh does not find the display busy. (The stream lock comes
  // before FDisplayLock, so the stream is not touched here.)
  if (Opened()) RequestRefresh();
  return true;
}

void TCustomPlayer::SetScreenHandle(Platform::HWND AHandle) {
  while (!ChangeScreenHandle(AHandle)) Platform::Sleep(10);
}

void TCustomPlayer::CloseDisplay() {
  std::lock_guard<std::recursive_mutex> d(FDisplayLock);
  if (FRenderer) {
    FRendererInfo.num_texture_formats = 0;
    if (ClearOnClose > 0 || (ClearOnClose < 0 && !Opening())) {
      std::lock_guard<std::mutex> r(FRenderLock);
      S::SDL_SetRenderDrawColor(FRenderer, BackgroundColor[0], BackgroundColor[1], BackgroundColor[2], 255);
      S::SDL_RenderClear(FRenderer);
      S::SDL_RenderPresent(FRenderer);
    }
  }
  const bool keep = FRendererName.compare(0, 8, "direct3d") == 0;
  if (FWindow && !keep) {
    const bool own = FOwnWindow;
    DestroyDisplay();
    if (own) FScreenHandle = nullptr;
  } else {
    DestroyRenderer();
  }
}

void TCustomPlayer::HostResized(int AWidth, int AHeight) {
  SDL_Event e;
  std::memset(&e, 0, sizeof e);
  e.type = SDL_WINDOWEVENT;
  e.window.event = SDL_WINDOWEVENT_RESIZED;
  e.window.windowID = FWindowID;
  e.window.data1 = AWidth;
  e.window.data2 = AHeight;
  PushEvent(e);
}

void TCustomPlayer::HostExposed() {
  SDL_Event e;
  std::memset(&e, 0, sizeof e);
  e.type = SDL_WINDOWEVENT;
  e.window.event = SDL_WINDOWEVENT_EXPOSED;
  e.window.windowID = FWindowID;
  PushEvent(e);
}

void TCustomPlayer::ReleaseHostWindow() {
  // The X server ends the process on a request to a destroyed window: SDL lets go of
  // the window while it still exists.
  std::lock_guard<std::recursive_mutex> d(FDisplayLock);
  FChanging = true;
  DestroyDisplay();
  FScreenHandle = nullptr;
  FChangePending = true;
  // No window of the player's own pops up in its place: the display stays closed until
  // a new screen handle is given.
  FHostReleased = true;
  FChanging = false;
}

void TCustomPlayer::fill_rectangle(int x, int y, int w, int h) {
  if (w <= 0 || h <= 0) return;
  SDL_Rect rect{x, y, w, h};
  std::lock_guard<std::mutex> r(FRenderLock);
  S::SDL_RenderFillRect(FRenderer, &rect);
}

int TCustomPlayer::realloc_texture(SDL_Texture** texture, Uint32 new_format, int new_width,
                                   int new_height, SDL_BlendMode blendmode, bool init_texture) {
  Uint32 format;
  int access, w, h;
  if (!*texture || S::SDL_QueryTexture(*texture, &format, &access, &w, &h) < 0 ||
      new_width != w || new_height != h || new_format != format) {
    if (*texture) S::SDL_DestroyTexture(*texture);
    *texture = S::SDL_CreateTexture(FRenderer, new_format, SDL_TEXTUREACCESS_STREAMING, new_width, new_height);
    if (!*texture) return -1;
    if (S::SDL_SetTextureBlendMode(*texture, blendmode) < 0) return -1;
    if (init_texture) {
      void* pixels;
      int pitch;
      if (S::SDL_LockTexture(*texture, nullptr, &pixels, &pitch) < 0) return -1;
      std::memset(pixels, 0, static_cast<size_t>(pitch) * new_height);
      S::SDL_UnlockTexture(*texture);
    }
    Log(llInfo, Format("Created %dx%d texture with %s.", new_width, new_height,
                       S::SDL_GetPixelFormatName(new_format)));
  }
  return 0;
}

int TCustomPlayer::upload_texture(SDL_Texture** tex, AVFrame* frame) {
  Uint32 sdl_pix_fmt = SDLFormatOf(frame->format);
  const SDL_BlendMode blend = (frame->format == AV_PIX_FMT_RGB32 || frame->format == AV_PIX_FMT_RGB32_1 ||
                               frame->format == AV_PIX_FMT_BGR32 || frame->format == AV_PIX_FMT_BGR32_1)
                                  ? SDL_BLENDMODE_BLEND
                                  : SDL_BLENDMODE_NONE;
  if (sdl_pix_fmt == SDL_PIXELFORMAT_UNKNOWN) sdl_pix_fmt = SDL_PIXELFORMAT_ARGB8888;
  if (realloc_texture(tex, sdl_pix_fmt, frame->width, frame->height, blend, false) < 0) return -1;
  if (sdl_pix_fmt != SDL_PIXELFORMAT_IYUV) {
    if (frame->linesize[0] < 0)
      return S::SDL_UpdateTexture(*tex, nullptr, frame->data[0] + frame->linesize[0] * (frame->height - 1),
                                  -frame->linesize[0]);
    return S::SDL_UpdateTexture(*tex, nullptr, frame->data[0], frame->linesize[0]);
  }
  if (frame->linesize[0] > 0 && frame->linesize[1] > 0 && frame->linesize[2] > 0)
    return S::SDL_UpdateYUVTexture(*tex, nullptr, frame->data[0], frame->linesize[0], frame->data[1],
                                   frame->linesize[1], frame->data[2], frame->linesize[2]);
  if (frame->linesize[0] < 0 && frame->linesize[1] < 0 && frame->linesize[2] < 0) {
    const int ch = (frame->height + 1) / 2 - 1;
    return S::SDL_UpdateYUVTexture(*tex, nullptr, frame->data[0] + frame->linesize[0] * (frame->height - 1),
                                   -frame->linesize[0], frame->data[1] + frame->linesize[1] * ch,
                                   -frame->linesize[1], frame->data[2] + frame->linesize[2] * ch,
                                   -frame->linesize[2]);
  }
  Log(llError, "Mixed negative and positive linesizes are not supported.");
  return -1;
}

void TCustomPlayer::set_sdl_yuv_conversion_mode(AVFrame* frame) {
  if (S::SDL_SetYUVConversionMode)
    S::SDL_SetYUVConversionMode(static_cast<SDL_YUV_CONVERSION_MODE>(YUVConversionModeOf(frame)));
}

void TCustomPlayer::video_image_display(TVideoState* is) {
  TFrame* vp = frame_queue_peek_last(&is->pictq);
  if (!vp->width || !vp->height) return;
  TFrame* sp = nullptr;
  if (is->subtitle_st && frame_queue_nb_remaining(&is->subpq) > 0) {
    sp = frame_queue_peek(&is->subpq);
    if (vp->pts < sp->pts + static_cast<float>(sp->sub.start_display_time) / 1000) {
      sp = nullptr;
    } else if (!sp->uploaded || !FSubTexture) {
      if (!sp->width || !sp->height) {
        sp->width = vp->width;
        sp->height = vp->height;
      }
      // A subtitle that went while the display was busy left its pixels: start clean.
      if (FSubTextureStale && FSubTexture) {
        S::SDL_DestroyTexture(FSubTexture);
        FSubTexture = nullptr;
      }
      FSubTextureStale = false;
      if (realloc_texture(&FSubTexture, SDL_PIXELFORMAT_ARGB8888, sp->width, sp->height,
                          SDL_BLENDMODE_BLEND, true) < 0)
        return;
      for (unsigned i = 0; i < sp->sub.num_rects; i++) {
        AVSubtitleRect* sub_rect = sp->sub.rects[i];
        sub_rect->x = av_clip(sub_rect->x, 0, sp->width);
        sub_rect->y = av_clip(sub_rect->y, 0, sp->height);
        sub_rect->w = av_clip(sub_rect->w, 0, sp->width - sub_rect->x);
        sub_rect->h = av_clip(sub_rect->h, 0, sp->height - sub_rect->y);
        FSubConvertCtx = SwScaleStubs::sws_getCachedContext(
            FSubConvertCtx, sub_rect->w, sub_rect->h, AV_PIX_FMT_PAL8, sub_rect->w, sub_rect->h,
            AV_PIX_FMT_BGRA, 0, nullptr, nullptr, nullptr);
        if (!FSubConvertCtx) {
          Log(llFatal, "Cannot initialize the conversion context");
          return;
        }
        std::uint8_t* pixels[4] = {};
        int pitch[4] = {};
        SDL_Rect r{sub_rect->x, sub_rect->y, sub_rect->w, sub_rect->h};
        if (!S::SDL_LockTexture(FSubTexture, &r, reinterpret_cast<void**>(pixels), pitch)) {
          SwScaleStubs::sws_scale(FSubConvertCtx, sub_rect->data, sub_rect->linesize, 0, sub_rect->h,
                                  pixels, pitch);
          S::SDL_UnlockTexture(FSubTexture);
        }
      }
      sp->uploaded = 1;
    }
  }
  const double ar = FAspectRatio.load();
  double aspect = 0;
  if (ar > 0)
    aspect = ar;
  else if ((ar < 0 || std::isnan(ar)) && is->width > 0 && is->height > 0)
    aspect = static_cast<double>(is->width) / is->height;
  SDL_Rect rect;
  calculate_display_rect(&rect, is->xleft, is->ytop, is->width, is->height, vp->width, vp->height,
                         vp->sar, aspect);
  set_sdl_yuv_conversion_mode(vp->frame);
  // A renderer made afresh (a new or resized window) has no texture yet: the picture goes
  // up again.
  if (!vp->uploaded || !FVidTexture) {
    if (upload_texture(&FVidTexture, vp->frame) < 0) {
      set_sdl_yuv_conversion_mode(nullptr);
      return;
    }
    vp->uploaded = 1;
    vp->flip_v = vp->frame->linesize[0] < 0;
  }
  UpdateDisplayRect(rect);
  if (OnVideoRender.Assigned()) OnVideoRender(this);
  S::SDL_RenderCopyEx(FRenderer, FVidTexture, nullptr, &rect, 0, nullptr,
                      vp->flip_v ? SDL_FLIP_VERTICAL : SDL_FLIP_NONE);
  set_sdl_yuv_conversion_mode(nullptr);
  if (sp) S::SDL_RenderCopy(FRenderer, FSubTexture, nullptr, &rect);
}

void TCustomPlayer::ClearSubtitle(TFrame* sp) {
  // The texture belongs to the display: another thread may be replacing it right now.
  std::unique_lock<std::recursive_mutex> d(FDisplayLock, std::try_to_lock);
  if (!d.owns_lock()) {
    FSubTextureStale = true;
    return;
  }
  if (!FSubTexture) return;
  for (unsigned i = 0; i < sp->sub.num_rects; i++) {
    AVSubtitleRect* sub_rect = sp->sub.rects[i];
    std::uint8_t* pixels;
    int pitch;
    SDL_Rect r{sub_rect->x, sub_rect->y, sub_rect->w, sub_rect->h};
    if (!S::SDL_LockTexture(FSubTexture, &r, reinterpret_cast<void**>(&pixels), &pitch)) {
      for (int j = 0; j < sub_rect->h; j++, pixels += pitch) std::memset(pixels, 0, sub_rect->w << 2);
      S::SDL_UnlockTexture(FSubTexture);
    }
  }
  ReleaseRenderContext();
}

void TCustomPlayer::video_display(TVideoState* is) {
  // A display busy elsewhere (a change of screen handle, the host asking for the
  // renderer's name) is drawn at the next step: the forced refresh stays.
  if (FChanging) {
    FDisplayMissed = true;
    return;
  }
  std::unique_lock<std::recursive_mutex> d(FDisplayLock, std::try_to_lock);
  if (!d.owns_lock()) {
    FDisplayMissed = true;
    return;
  }
  if (FWindow && !FOwnWindow && is->width > 0 && is->height > 0) {
    // SDL learns a host window's size only when it binds the window: its renderer keeps
    // drawing into the old size. A host window of another size is bound afresh (resizing
    // it through SDL would fight the host over the window's size and hints).
    int w = 0, h = 0;
    S::SDL_GetWindowSize(FWindow, &w, &h);
    if (w != is->width || h != is->height) DestroyDisplay();
  }
  if (!FWindow || !FRenderer) {
    d.unlock();
    if (video_open(is) < 0) return;
    d.lock();
    if (!FRenderer) return;
  }
  S::SDL_SetRenderDrawColor(FRenderer, BackgroundColor[0], BackgroundColor[1], BackgroundColor[2], 255);
  {
    std::lock_guard<std::mutex> r(FRenderLock);
    S::SDL_RenderClear(FRenderer);
  }
  if (is->audio_st && is->show_mode != SHOW_MODE_VIDEO) {
    video_audio_display(is);
  } else if (is->video_st) {
    // Only a picture the queue has shown: before the first one, the slot it would give
    // is the one the video thread is filling (the last picture's size is known early,
    // and may even be the previous stream's).
    if (FRendererInfo.num_texture_formats > 0 && FLastWidth > 0 && FLastHeight > 0 &&
        is->pictq.rindex_shown) {
      video_image_display(is);
    } else {
      ReleaseRenderContext();
      return;
    }
  }
  {
    std::lock_guard<std::mutex> r(FRenderLock);
    S::SDL_RenderPresent(FRenderer);
  }
  ReleaseRenderContext();
  d.unlock();
  ReportPosition();
}

// ---- Timing ---------------------------------------------------------------------------------

void TCustomPlayer::video_refresh(TVideoState* is, double& remaining_time) {
  if (FChanging) return;
  FDisplayMissed = false;
  if (!is->paused && get_master_sync_type(is) == AV_SYNC_EXTERNAL_CLOCK && is->realtime)
    check_external_clock_speed(is);
  if (!display_disable && is->show_mode != SHOW_MODE_VIDEO && is->audio_st) {
    const double time = NowSeconds();
    if (is->force_refresh || is->last_vis_time + rdftspeed < time) {
      video_display(is);
      if (Stream() != is) return;
      is->last_vis_time = time;
    }
    remaining_time = std::min(remaining_time, is->last_vis_time + rdftspeed - time);
  }
  bool shown = false;  // a new picture went up in this step
  if (is->video_st) {
    for (;;) {
      // Read afresh for each picture: once the video thread has cleared it (the first
      // picture after a seek is queued), that picture is the one to show, not to drop.
      const bool drop = is->drop_to_latest;
      if (frame_queue_nb_remaining(&is->pictq) == 0) {
        // Nothing to time: a requested refresh still opens and redraws the display.
        if (is->force_refresh && !display_disable) {
          video_display(is);
          if (Stream() != is) return;
        }
        break;
      }
      TFrame* lastvp = frame_queue_peek_last(&is->pictq);
      TFrame* vp = frame_queue_peek(&is->pictq);
      if (is->seek_pending_while_paused == 1) vp->serial = -1;
      if (vp->serial != is->videoq.serial) {
        frame_queue_next(&is->pictq);
        continue;
      }
      if (lastvp->serial != vp->serial) is->frame_timer = NowSeconds();
      if (is->paused && !is->first_frame_while_paused && !is->seek_pending_while_paused) {
        S::SDL_LockMutex(is->pictq.mutex);
        update_video_pts(is, vp->pts, vp->serial);
        S::SDL_UnlockMutex(is->pictq.mutex);
        break;
      }
      const double last_duration = vp_duration(is, lastvp, vp);
      const double delay = compute_target_delay(last_duration, is);
      const double time = NowSeconds();
      double next_duration = NAN;
      if (frame_queue_nb_remaining(&is->pictq) > 1 && !is->step)
        next_duration = vp_duration(is, vp, frame_queue_peek_next(&is->pictq));
      const TPlayerCore* core = this;
      const bool drop_allowed =
          (core->framedrop > 0 || (core->framedrop && get_master_sync_type(is) != AV_SYNC_VIDEO_MASTER)) &&
          !is->no_late_drop;
      const TRefreshTiming t = ComputeRefreshTiming(is->frame_timer, delay, time, next_duration, drop_allowed);
      if (!t.Show) {
        remaining_time = std::min(t.Wait, remaining_time);
        break;
      }
      is->frame_timer = t.FrameTimer;
      S::SDL_LockMutex(is->pictq.mutex);
      if (!std::isnan(vp->pts)) update_video_pts(is, vp->pts, vp->serial);
      S::SDL_UnlockMutex(is->pictq.mutex);
      if (!std::isnan(next_duration) && (t.DropLate || drop)) {
        is->frame_drops_late++;
        frame_queue_next(&is->pictq);
        continue;
      }
      if (is->subtitle_st) {
        while (frame_queue_nb_remaining(&is->subpq) > 0) {
          TFrame* sp = frame_queue_peek(&is->subpq);
          TFrame* sp2 = frame_queue_nb_remaining(&is->subpq) > 1 ? frame_queue_peek_next(&is->subpq) : nullptr;
          if (sp->serial != is->subtitleq.serial ||
              is->vidclk.pts > sp->pts + static_cast<float>(sp->sub.end_display_time) / 1000 ||
              (sp2 && is->vidclk.pts > sp2->pts + static_cast<float>(sp2->sub.start_display_time) / 1000)) {
            if (sp->uploaded) ClearSubtitle(sp);
            frame_queue_next(&is->subpq);
          } else {
            break;
          }
        }
      }
      frame_queue_next(&is->pictq);
      shown = true;
      if (is->step && !is->paused && !is->force_refresh) {
        // The step is done: pause again (the engine's toggle, reached through Pause).
        Pause();
        if (Stream() != is) return;
      }
      is->force_refresh = 1;
      break;
    }
  }
  // The picture a paused open or a seek while paused waited for is up: the stream
  // holds from here.
  if (shown) {
    is->seek_pending_while_paused = 0;
    is->first_frame_while_paused = 0;
    // The position follows the video clock once pictures are up, not merely queued.
    is->pictures_since_seek += 1;
  }
  if (!display_disable && is->force_refresh && is->show_mode == SHOW_MODE_VIDEO && is->pictq.rindex_shown) {
    video_display(is);
    if (Stream() != is) return;
  }
  // Positions follow what is heard, not only what is drawn: while the video has shown no
  // picture (since the open or the last seek; a video that cannot be decoded never does)
  // the display steps that present nothing report the audio's position.
  if (!display_disable && is->audio_st && is->show_mode == SHOW_MODE_VIDEO && is->pictures_since_seek == 0)
    ReportPosition();
  is->force_refresh = FDisplayMissed ? 1 : 0;
}

// ---- Queueing -------------------------------------------------------------------------------

void TCustomPlayer::DoVideoHook(AVFrame* AFrame, double APts) {
  if (!VideoHook || !OnVideoHook.Assigned()) return;
  if (!FHookConverter->ToRGB(AFrame->data, AFrame->linesize, true, AFrame->height, AFrame->width,
                             static_cast<AVPixelFormat>(AFrame->format))) {
    Log(llError, FHookConverter->LastErrMsg());
    return;
  }
  TVideoState* is = Stream();
  const std::int64_t start = is ? is->start_time : 0;
  bool update = true;
  try {
    const MyUtils::THandlerScope mark(this, FFBasePlay::CVideoHookHandler);
    OnVideoHook(this, FHookConverter->Bitmap(), static_cast<std::int64_t>(std::llround(APts * 1000000)) - start,
                update);
  } catch (const std::exception& e) {
    Log(llError, std::string("Error occurs OnVideoHook: ") + e.what());
    return;
  }
  if (update) {
    FHookConverter->BitmapToPicture();
    if (U::av_frame_make_writable(AFrame) < 0 ||
        !FHookConverter->FromRGB(AFrame->data, AFrame->linesize, AFrame->height, AFrame->width,
                                 static_cast<AVPixelFormat>(AFrame->format)))
      Log(llError, FHookConverter->LastErrMsg());
  }
}

int TCustomPlayer::queue_picture(TVideoState* is, AVFrame* src_frame, double pts, double duration,
                                 std::int64_t pos, int serial) {
  // The video hook first: the frame hook sees the picture as the video hook left it.
  DoVideoHook(src_frame, pts);
  DoFrameHook(src_frame, pts);
  // The size is known before the picture can be shown: the display waits for it.
  FLastWidth = src_frame->width;
  FLastHeight = src_frame->height;
  set_default_window_size(src_frame->width, src_frame->height, src_frame->sample_aspect_ratio);
  return frame_queue_put_picture(&is->pictq, src_frame, pts, duration, pos, serial);
}

int TCustomPlayer::subtitle_thread(TVideoState* is) {
  for (;;) {
    TFrame* sp = frame_queue_peek_writable(&is->subpq);
    if (!sp) return 0;
    const int got = decoder_decode_frame(&is->subdec, nullptr, &sp->sub);
    if (got < 0) return 0;
    if (got && sp->sub.format == 0) {
      sp->pts = sp->sub.pts != AV_NOPTS_VALUE ? sp->sub.pts / 1000000.0 : 0;
      sp->serial = is->subdec.pkt_serial;
      sp->width = is->subdec.avctx->width;
      sp->height = is->subdec.avctx->height;
      sp->uploaded = 0;
      frame_queue_push(&is->subpq);
    } else if (got) {
      AVCodecStubs::avsubtitle_free(&sp->sub);
    }
  }
}

// ---- The current picture --------------------------------------------------------------------

bool TCustomPlayer::GetCurrentBitmap(Platform::TBitmap*& ABitmap, std::int64_t& APTS) {
  if (LockStream(1000) != Platform::TWaitResult::wrSignaled) return false;
  struct TUnlock {
    TCustomPlayer* P;
    ~TUnlock() { P->UnlockStream(); }
  } unlock{this};
  TVideoState* is = Stream();
  if (!is || !is->video_st || !is->pictq.rindex_shown) return false;
  TFrame* vp = frame_queue_peek_last(&is->pictq);
  std::lock_guard<std::mutex> b(FBitmapLock);
  std::lock_guard<std::mutex> g(vp->lock);
  if (!vp->uploaded || !vp->frame || !vp->frame->data[0] || vp->format < 0 || vp->format > 266) return false;
  // The colours the display shows: the picture's own matrix and range, and for a picture
  // that names no matrix, the one its size suggests (BT.709 above standard definition).
  AVColorSpace space = vp->frame->colorspace;
  if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED)
    space = vp->frame->height > CSDHeightLimit ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
  if (!FBitmapConverter->ToRGB(vp->frame->data, vp->frame->linesize, true, vp->frame->height,
                               vp->frame->width, static_cast<AVPixelFormat>(vp->format), space,
                               vp->frame->color_range)) {
    ReportError(FBitmapConverter->LastErrMsg(), false);
    return false;
  }
  if (ABitmap != FBitmapConverter->Bitmap()) ABitmap = FBitmapConverter->Bitmap();
  APTS = std::isnan(vp->pts) ? AV_NOPTS_VALUE
                             : static_cast<std::int64_t>(std::llround(vp->pts * 1000000)) - is->start_time;
  return true;
}

// ---- Visualisation --------------------------------------------------------------------------

static inline int compute_mod(int a, int b) { return a < 0 ? a % b + b : a % b; }

void TCustomPlayer::video_audio_display(TVideoState* s) {
  if (s->height < 5 || s->show_mode == SHOW_MODE_NB) return;
  int rdft_bits_new;
  for (rdft_bits_new = 1; (1 << rdft_bits_new) < 2 * s->height; rdft_bits_new++) {
  }
  const int nb_freq = 1 << (rdft_bits_new - 1);
  int channels = std::max(1, s->audio_tgt.ch_layout.nb_channels);
  int i_start;
  std::unique_lock<std::mutex> sl(s->sample_lock);
  const std::int16_t* sa = s->sample_array;
  if (!s->paused) {
    const int data_used = s->show_mode == SHOW_MODE_WAVES ? s->width : (2 * nb_freq);
    int n = 2 * channels;
    int delay = s->audio_write_buf_size / n;
    const std::int64_t cb_time = audio_callback_time;
    if (cb_time) {
      const std::int64_t time_diff = U::av_gettime_relative() - cb_time;
      delay -= static_cast<int>((time_diff * s->audio_tgt.freq) / 1000000);
    }
    delay += 2 * data_used;
    if (delay < data_used) delay = data_used;
    i_start = compute_mod(s->sample_array_index - delay * channels, SAMPLE_ARRAY_SIZE);
    int x = i_start;
    if (s->show_mode == SHOW_MODE_WAVES) {
      int h = INT_MIN;
      for (int i = 0; i < 1000; i += channels) {
        const int idx = (SAMPLE_ARRAY_SIZE + x - i) % SAMPLE_ARRAY_SIZE;
        const int a = sa[idx];
        const int b = sa[(idx + 4 * channels) % SAMPLE_ARRAY_SIZE];
        const int c = sa[(idx + 5 * channels) % SAMPLE_ARRAY_SIZE];
        const int d = sa[(idx + 9 * channels) % SAMPLE_ARRAY_SIZE];
        const int score = a - d;
        if (h < score && (b ^ c) < 0) {
          h = score;
          i_start = idx;
        }
      }
    }
    last_i_start = i_start;
  } else {
    i_start = last_i_start;
  }
  if (s->show_mode == SHOW_MODE_WAVES) {
    S::SDL_SetRenderDrawColor(FRenderer, 255, 255, 255, 255);
    const int h = s->height / channels;
    const int h2 = (h * 9) / 20;
    for (int ch = 0; ch < channels; ch++) {
      int i = (i_start + ch) % SAMPLE_ARRAY_SIZE;
      const int y1 = s->ytop + ch * h + (h / 2);
      for (int x = 0; x < s->width; x++) {
        const int y = (sa[i] * h2) >> 15;
        if (y < 0)
          fill_rectangle(s->xleft + x, y1 + y, 1, -y);
        else
          fill_rectangle(s->xleft + x, y1, 1, y);
        i += channels;
        if (i >= SAMPLE_ARRAY_SIZE) i -= SAMPLE_ARRAY_SIZE;
      }
    }
    S::SDL_SetRenderDrawColor(FRenderer, 0, 0, 255, 255);
    for (int ch = 1; ch < channels; ch++) fill_rectangle(s->xleft, s->ytop + ch * h, s->width, 1);
  } else {
    if (realloc_texture(&FVisTexture, SDL_PIXELFORMAT_ARGB8888, s->width, s->height, SDL_BLENDMODE_NONE, true) < 0)
      return;
    if (xpos >= s->width) xpos = 0;
    channels = std::min(channels, 2);
    bool ok = true;
    if (rdft_bits_new != rdft_bits) {
      FreeSpectrumTransform();
      rdft_bits = rdft_bits_new;
      real_data = static_cast<float*>(U::av_malloc_array(nb_freq, 4 * sizeof(*real_data)));
      // Two channels of nb_freq + 1 outputs each; the second starts on an aligned
      // boundary, as the transform's vector code requires.
      rdft_data = U::av_malloc_array(2 * (nb_freq + 8), 2 * sizeof(float));
      const float scale = 1.0f;
      AVTXContext* ctx = nullptr;
      av_tx_fn fn = nullptr;
      const int err = (real_data && rdft_data)
                          ? U::av_tx_init(&ctx, &fn, AV_TX_FLOAT_RDFT, 0, 1 << rdft_bits, &scale, 0)
                          : AVERROR(ENOMEM);
      rdft = ctx;
      rdft_fn = reinterpret_cast<void (*)(void*, void*, void*, std::ptrdiff_t)>(fn);
      ok = err >= 0;
    } else {
      ok = rdft && real_data && rdft_data;
    }
    if (!ok) {
      Log(llError, "Failed to initialize RDFT, switching to waves display");
      s->show_mode = SHOW_MODE_WAVES;
      // Drop what was made, so that asking for the spectrum again tries again.
      FreeSpectrumTransform();
    } else {
      AVComplexFloat* data_out[2] = {static_cast<AVComplexFloat*>(rdft_data),
                                     static_cast<AVComplexFloat*>(rdft_data) + nb_freq + 8};
      float* data_in[2] = {real_data, real_data + 2 * nb_freq};
      // Each channel has its half of the input and of the output buffer.
      for (int ch = 0; ch < channels; ch++) {
        int i = (i_start + ch) % SAMPLE_ARRAY_SIZE;
        for (int x = 0; x < 2 * nb_freq; x++) {
          const double w = (x - nb_freq) * (1.0 / nb_freq);
          data_in[ch][x] = static_cast<float>(sa[i] * (1.0 - w * w));
          i += channels;
          if (i >= SAMPLE_ARRAY_SIZE) i -= SAMPLE_ARRAY_SIZE;
        }
        rdft_fn(rdft, data_out[ch], data_in[ch], sizeof(float));
        data_out[ch][0].im = data_out[ch][nb_freq].re;
        data_out[ch][nb_freq].re = 0;
      }
      SDL_Rect rect{xpos, 0, 1, s->height};
      std::uint32_t* pixels;
      int pitch;
      if (!S::SDL_LockTexture(FVisTexture, &rect, reinterpret_cast<void**>(&pixels), &pitch)) {
        const double w = 1 / std::sqrt(static_cast<double>(nb_freq));
        pitch >>= 2;
        pixels += pitch * s->height;
        for (int y = 0; y < s->height; y++) {
          const int a = static_cast<int>(std::min(
              255.0, std::round(std::sqrt(w * std::hypot(data_out[0][y].re, data_out[0][y].im)))));
          const int b = channels == 2 ? static_cast<int>(std::min(
                                            255.0, std::round(std::sqrt(w * std::hypot(data_out[1][y].re,
                                                                                        data_out[1][y].im)))))
                                      : a;
          pixels -= pitch;
          *pixels = (a << 16) + (b << 8) + ((a + b) >> 1);
        }
        S::SDL_UnlockTexture(FVisTexture);
      }
      S::SDL_RenderCopy(FRenderer, FVisTexture, nullptr, nullptr);
    }
  }
  if (!s->paused) xpos++;
}

}  // namespace FFPlay
