// The rendering half of the player component: TCustomPlayer draws what the engine
// (TFFBasePlayer) decodes and times. It binds SDL2 rendering to a window of the host
// (an X11 window id given as the screen handle) or opens a window of its own, keeps the
// renderer and the textures, shows pictures at their time and drops late ones, draws
// subtitles and the audio visualisation, runs the video and frame hooks and supplies the
// last shown picture as a bitmap. TZAVereve only publishes.
//
// Threads:
// - the play loop: video_refresh, video_display and everything that draws;
// - the video decoding thread: queue_picture (with the hooks), FillSupportedPixelFormats;
// - the subtitle thread: subtitle_thread;
// - the caller's thread (the main thread): the public operations, SetScreenHandle, and
//   the host binding's calls (a Qt event filter in the GUI part, see
//   components/gui/PlayerWindowBinding.h), which forwards resizes and exposes as window
//   events and releases the window before the host destroys it.
//
// Locks, in the order they may be taken:
// 1. the engine's stream lock (the play loop holds it around video_refresh, and lets go
//    of it while video_open makes the window and renderer);
// 2. FDisplayLock: window, renderer and textures. The play loop only tries it and skips
//    its work when it is busy; ChangeScreenHandle tries it and SetScreenHandle retries
//    every 10 ms, so neither side waits for the other. Outside it, no thread has an
//    OpenGL renderer's context current (ReleaseRenderContext), as any thread may close
//    the display;
// 3. FRenderLock: the renderer's draw calls that present (clear, fill, present);
// 4. a picture's own lock (TFrame::lock): queue_picture while filling it, GetCurrentBitmap
//    while converting it; FRectLock: the stored display rectangle (leaves).
#pragma once
#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "components/FFBasePlay.h"

struct SwsContext;

namespace FormatConvert {
class TFormatConverter;
}

namespace FFPlay {

using FFBasePlay::TVideoState;

// The FFmpeg pixel format -> SDL pixel format map, searched in this order.
struct TPixelFormatMapEntry {
  int AVFormat;
  Uint32 SDLFormat;
};
constexpr int CPixelFormatMapSize = 19;
extern const TPixelFormatMapEntry CPixelFormatMap[CPixelFormatMapSize];
// The SDL format of an FFmpeg pixel format; 0 (unknown) when the map has none.
Uint32 SDLFormatOf(int AVFormat);
// The FFmpeg pixel format of the first map row with ASDLFormat; -1 when none.
int AVFormatOf(Uint32 ASDLFormat);
// The YUV conversion mode SDL should use for AFrame (nullptr: automatic): JPEG (0) for
// full-range, BT601 (1), BT709 (2) or automatic (3) for 4:2:0, YUYV and UYVY pictures;
// automatic for every other picture.
int YUVConversionModeOf(const AVFrame* AFrame);

// The pure timing decision of one refresh step for the picture after the last shown one.
struct TRefreshTiming {
  double FrameTimer;  // in: the shown picture's start; out: the next picture's start
  bool Show;          // out: the next picture is due
  bool DropLate;      // out: it is due and already late (its successor is due too)
  double Wait;        // out: seconds until it is due (when not Show)
};
// AFrameTimer is when the last shown picture went up, ADelay how long it stays, ANow the
// time, ANextDuration the due picture's own duration (or NaN when it has no successor);
// ADropAllowed: late dropping may apply (framedrop, not stepping, no_late_drop off).
TRefreshTiming ComputeRefreshTiming(double AFrameTimer, double ADelay, double ANow,
                                    double ANextDuration, bool ADropAllowed);

class TCustomPlayer : public FFBasePlay::TFFBasePlayer {
 public:
  explicit TCustomPlayer(Platform::TComponent* AOwner = nullptr);
  ~TCustomPlayer() override;

  // ---- Operations of the engine that this side supplies ----
  int queue_picture(TVideoState* is, AVFrame* src_frame, double pts, double duration,
                    std::int64_t pos, int serial) override;
  int subtitle_thread(TVideoState* is) override;
  void video_refresh(TVideoState* is, double& remaining_time) override;
  // Fills PixelFormats from the renderer's texture formats (waits up to about one second
  // for the play loop to open the display); video thread.
  void FillSupportedPixelFormats(TVideoState* is) override;
  void show_usage() override;
  // Raises OnFileOpen; with a host window, unless both screen sizes are set, takes the
  // host window's client size (HostClientSize).
  void DoFileOpen() override;
  // 0 = video when the stream has video, else waves; 1 video, 2 waves, 3 spectrum.
  void SetShowMode(int AMode) override;
  // The last shown picture as a bitmap of the player's converter and its pts in
  // microseconds from the start (AV_NOPTS_VALUE when it has none); False when no
  // picture has been shown or the conversion failed (the reason is logged).
  bool GetCurrentBitmap(Platform::TBitmap*& ABitmap, std::int64_t& APTS) override;
  // Moves the display to AHandle (nullptr: a window of the player's own); retries every
  // 10 ms while the display is busy.
  void SetScreenHandle(Platform::HWND AHandle) override;
  // Closes the display when a stream closes (clears the window per ClearOnClose).
  void CloseDisplay() override;

  // ---- Public ----
  double GetAspectRatio() const { return FAspectRatio; }
  void SetAspectRatio(double AValue);
  // The last display rectangle (left, top, right, bottom).
  SDL_Rect DisplayRect() const;
  // The SDL window and the renderer's driver name (nullptr / empty while none).
  SDL_Window* Window() const;
  std::string RendererName() const;
  bool OwnWindow() const { return FOwnWindow; }

  // ---- For the host binding (main thread) ----
  // The host window got a new client size: forwarded to the play loop as a resize.
  void HostResized(int AWidth, int AHeight);
  // The host window needs repainting.
  void HostExposed();
  // A renderer draws into the host window (the host's own paint is then swallowed).
  bool HasRenderer() const { return FHasRenderer.load(); }
  // The host window is about to be destroyed: the SDL window and renderer are dropped
  // first; the stream plays on without a display until SetScreenHandle gives a new one.
  void ReleaseHostWindow();
  // Set by the binding: the host window's client size; False when unknown.
  std::function<bool(int& AWidth, int& AHeight)> HostClientSize;

  // Clear the window when the display closes: > 0 always, < 0 unless an open is in
  // progress, 0 never.
  int ClearOnClose = -1;
  // Kept for the host binding: forward the host window's input to the player.
  bool FSubclass = true;
  // Published events.
  FFBaseComponent::TVideoHookEvent OnVideoHook;
  FFBasePlay::TNotifyEvent OnVideoRender;

 protected:
  int video_open(TVideoState* is);
  bool CreateDisplay(Platform::HWND AHandle, int& W, int& H);
  bool ChangeScreenHandle(Platform::HWND AHandle);
  void video_display(TVideoState* is);
  void video_image_display(TVideoState* is);
  void video_audio_display(TVideoState* is);
  int realloc_texture(SDL_Texture** texture, Uint32 new_format, int new_width, int new_height,
                      SDL_BlendMode blendmode, bool init_texture);
  // 0, or -1 (a texture that cannot be made, or planes of mixed line-size signs).
  int upload_texture(SDL_Texture** tex, AVFrame* frame);
  void set_sdl_yuv_conversion_mode(AVFrame* frame);
  void fill_rectangle(int x, int y, int w, int h);
  void DoVideoHook(AVFrame* AFrame, double APts);
  // Play loop: wipes a subtitle that goes off the screen from the subtitle texture.
  void ClearSubtitle(FFBasePlay::TFrame* sp);
  void UpdateDisplayRect(const SDL_Rect& ARect);
  // Under FDisplayLock: the textures and the renderer; DestroyDisplay the window too.
  void DestroyRenderer();
  void DestroyDisplay();
  // Ends a section under FDisplayLock that drew with the renderer: an OpenGL renderer's
  // commands are flushed and its context is left current on no thread, so whichever
  // thread holds FDisplayLock next may use or destroy the renderer.
  void ReleaseRenderContext();
  // Frees the spectrum's transform and buffers; the next spectrum sets them up anew.
  void FreeSpectrumTransform();
  // Under FDisplayLock: takes the host window AHandle for this player's display; False
  // (this player waits for it) while another player's display holds it.
  bool ClaimHostWindow(Platform::HWND AHandle);
  // Under FDisplayLock: lets the claimed host window go; the players waiting for it are
  // asked to refresh.
  void ReleaseHostWindowClaim();
  // Leaves every host window's list (destructor).
  void ForgetHostWindows();

 private:
  // Guarded by FDisplayLock.
  SDL_Window* FWindow = nullptr;
  SDL_Renderer* FRenderer = nullptr;
  SDL_RendererInfo FRendererInfo{};
  SDL_Texture* FVidTexture = nullptr;
  SDL_Texture* FSubTexture = nullptr;
  SDL_Texture* FVisTexture = nullptr;
  SwsContext* FSubConvertCtx = nullptr;
  // A subtitle went off the screen while the display was busy: its pixels are still in
  // FSubTexture (play loop).
  bool FSubTextureStale = false;
  // The size of the last picture given to queue_picture (video thread).
  std::atomic<int> FLastWidth{0};
  std::atomic<int> FLastHeight{0};
  mutable std::mutex FRectLock;
  SDL_Rect FDisplayRect{};  // Guarded by FRectLock (x, y = left, top; w, h = right, bottom).
  std::string FRendererName;  // Guarded by FDisplayLock.
  mutable std::recursive_mutex FDisplayLock;
  std::mutex FRenderLock;
  std::atomic<bool> FChanging{false};
  bool FChangePending = false;
  std::atomic<bool> FHostReleased{false};  // the host window went away: no display
  bool FOwnWindow = false;
  std::atomic<bool> FHasRenderer{false};
  // Guarded by FDisplayLock: the host window this player's display holds, and whether
  // the last attempt found it held by another player (logged once per wait).
  Platform::HWND FClaimedHandle = nullptr;
  bool FHostWindowBusy = false;
  // (Play loop) a display step found the display busy: the forced refresh stays.
  bool FDisplayMissed = false;
  std::atomic<double> FAspectRatio{0.0};
  // The converters of the video hook and of GetCurrentBitmap.
  std::unique_ptr<FormatConvert::TFormatConverter> FHookConverter;
  std::unique_ptr<FormatConvert::TFormatConverter> FBitmapConverter;
  std::mutex FBitmapLock;  // GetCurrentBitmap's converter
  // The visualisation (play loop).
  int rdft_bits = 0;
  void* rdft = nullptr;  // AVTXContext
  void (*rdft_fn)(void*, void*, void*, std::ptrdiff_t) = nullptr;
  float* real_data = nullptr;
  void* rdft_data = nullptr;  // AVComplexFloat
  int xpos = 0;
  int last_i_start = 0;
};

class TZAVereve : public TCustomPlayer {
 public:
  explicit TZAVereve(Platform::TComponent* AOwner = nullptr) : TCustomPlayer(AOwner) {}
  // Freed with delete, the player has shut down already (BeforeDestruction). Otherwise
  // its threads end here, before the object stops being what they call into.
  ~TZAVereve() override { ShutDown(); }
};

}  // namespace FFPlay
