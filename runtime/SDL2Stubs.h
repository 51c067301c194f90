// Entry points of SDL2, bound at run time by their C names.
#pragma once

// Every SDL2 entry point the player calls; XOPT marks the optional ones (SDL2 releases
// that lack them).
#define SDL2_ENTRY_POINTS(X, XOPT) \
  X(SDL_CreateThread) \
  X(SDL_WaitThread) \
  X(SDL_CreateMutex) \
  X(SDL_LockMutex) \
  X(SDL_UnlockMutex) \
  X(SDL_DestroyMutex) \
  X(SDL_CreateCond) \
  X(SDL_DestroyCond) \
  X(SDL_CondSignal) \
  X(SDL_CondWait) \
  X(SDL_CondWaitTimeout) \
  X(SDL_GetNumAudioDrivers) \
  X(SDL_GetAudioDriver) \
  X(SDL_GetCurrentAudioDriver) \
  X(SDL_OpenAudio) \
  X(SDL_PauseAudio) \
  X(SDL_MixAudioFormat) \
  X(SDL_CloseAudio) \
  X(SDL_GetNumAudioDevices) \
  X(SDL_GetAudioDeviceName) \
  X(SDL_OpenAudioDevice) \
  X(SDL_PauseAudioDevice) \
  X(SDL_CloseAudioDevice) \
  X(SDL_GetNumVideoDrivers) \
  X(SDL_GetVideoDriver) \
  X(SDL_GetCurrentVideoDriver) \
  X(SDL_CreateWindow) \
  X(SDL_CreateWindowFrom) \
  X(SDL_SetWindowSize) \
  X(SDL_GetWindowSize) \
  X(SDL_GetWindowID) \
  X(SDL_DestroyWindow) \
  X(SDL_GetRenderer) \
  X(SDL_GetWindowData) \
  X(SDL_GetWindowFlags) \
  X(SDL_GetWindowGrab) \
  X(SDL_GetWindowPosition) \
  X(SDL_GetWindowTitle) \
  X(SDL_HideWindow) \
  X(SDL_MaximizeWindow) \
  X(SDL_MinimizeWindow) \
  X(SDL_RaiseWindow) \
  X(SDL_RestoreWindow) \
  X(SDL_SetWindowData) \
  X(SDL_SetWindowFullscreen) \
  X(SDL_SetWindowGrab) \
  X(SDL_SetWindowIcon) \
  X(SDL_SetWindowPosition) \
  X(SDL_SetWindowBordered) \
  X(SDL_SetWindowTitle) \
  X(SDL_ShowWindow) \
  X(SDL_GetWindowWMInfo) \
  X(SDL_GetHint) \
  X(SDL_SetHint) \
  X(SDL_SetHintWithPriority) \
  X(SDL_GetNumRenderDrivers) \
  X(SDL_GetRenderDriverInfo) \
  X(SDL_CreateRenderer) \
  X(SDL_GetRendererInfo) \
  X(SDL_CreateTexture) \
  X(SDL_QueryTexture) \
  X(SDL_SetTextureBlendMode) \
  X(SDL_UpdateTexture) \
  X(SDL_LockTexture) \
  X(SDL_UnlockTexture) \
  X(SDL_SetRenderDrawColor) \
  X(SDL_RenderClear) \
  X(SDL_RenderFillRect) \
  X(SDL_RenderCopy) \
  X(SDL_RenderCopyEx) \
  X(SDL_RenderPresent) \
  X(SDL_DestroyTexture) \
  X(SDL_DestroyRenderer) \
  X(SDL_UpdateYUVTexture) \
  XOPT(SDL_RenderFlush) \
  X(SDL_GL_MakeCurrent) \
  X(SDL_GL_GetCurrentWindow) \
  XOPT(SDL_SetYUVConversionMode) \
  XOPT(SDL_TLSCleanup) \
  X(SDL_GetPixelFormatName) \
  X(SDL_PumpEvents) \
  X(SDL_PeepEvents) \
  X(SDL_EventState) \
  X(SDL_GetVersion) \
  X(SDL_GetError) \
  X(SDL_Init) \
  X(SDL_WasInit) \
  X(SDL_Quit) \
  X(SDL_getenv)

#ifndef OSTREVAN_ENTRY_LIST_ONLY
#include <string>
#include <vector>

#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/Object.h"
#include "platform/Strings.h"
#include "platform/Sync.h"
#include "runtime/MyUtils.h"

namespace SDL2Stubs {

SDL2_ENTRY_POINTS(OSTREVAN_STUB_DECLARE, OSTREVAN_STUB_DECLARE)

// Binds every entry point, then refreshes SDLLoader's version and driver lists.
void SDL2FixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Shuts SDL2 down (SDLLoader.QuitAll), clears every entry point and refreshes SDLLoader.
void SDL2UnfixStubs();

// Starts SDL2 for its first client and shuts it down when the last one leaves, checks
// and sets the audio and video drivers before start-up, and lists the drivers and the
// playback devices.
class TSDLLoader : public Platform::TObject {
 public:
  TSDLLoader();
  // Shuts SDL2 down whatever the clients.
  ~TSDLLoader() override;
  TSDLLoader(const TSDLLoader&) = delete;
  TSDLLoader& operator=(const TSDLLoader&) = delete;

  // The re-entrant lock of the client list and the start-up; a client may hold it
  // around its own SDL start-up and still call the methods below.
  void Lock() { FLock.Enter(); }
  void Unlock() { FLock.Leave(); }

  // Clears the current drivers and the devices; reads the version and the driver lists
  // from the bound SDL2 (zeros and empty lists when it is not bound).
  void Refresh();
  // Starts SDL2 with the timer and audio (and video) for AClient, or registers AClient
  // when SDL2 runs already. An empty driver name lets SDL2 choose. False with
  // LastErrMsg on failure; a failed start leaves AClient unregistered.
  bool Init(Platform::TObject* AClient, const std::string& AAudioDriver,
            const std::string& AVideoDriver, bool AWithVideo);
  // True when SDL2 runs for some client; AClient is then registered too.
  bool WasInit(Platform::TObject* AClient);
  // Removes AClient (nullptr: every client); shuts SDL2 down when none is left.
  void Quit(Platform::TObject* AClient);
  // Shuts SDL2 down whatever the clients.
  void QuitAll();
  // The names of the renderer's texture formats, joined with ", ".
  std::string GetRendererTextureFormats(const SDL_RendererInfo& AInfo) const;

  SDL_version SDLVersion() const { return FSDLVersion; }
  const Platform::TStringList& AudioDrivers() const { return FAudioDrivers; }
  const Platform::TStringList& VideoDrivers() const { return FVideoDrivers; }
  const Platform::TStringList& AudioDevices() const { return FAudioDevices; }
  std::string CurrentAudioDriver() const;
  std::string CurrentVideoDriver() const;
  std::string LastErrMsg() const;

 private:
  void DoQuitAll();

  mutable Platform::TCriticalSection FLock;
  SDL_version FSDLVersion{};
  Platform::TStringList FAudioDrivers;
  Platform::TStringList FVideoDrivers;
  Platform::TStringList FAudioDevices;
  std::string FCurrentAudioDriver;
  std::string FCurrentVideoDriver;
  std::string FLastErrMsg;
  std::vector<Platform::TObject*> FClients;  // not owned
};

// The process-wide SDL loader, alive from the unit's initialization to its finalization.
extern TSDLLoader* SDLLoader;

// Frees, when it goes, what SDL2 keeps for the calling thread (its error text, the
// current GL window). SDL2 frees that itself only on the threads it starts: a thread of
// ours that calls into SDL2 holds one of these for its whole run, or the data is lost
// when the thread ends.
class TThreadDataRelease {
 public:
  TThreadDataRelease() = default;
  ~TThreadDataRelease();
  TThreadDataRelease(const TThreadDataRelease&) = delete;
  TThreadDataRelease& operator=(const TThreadDataRelease&) = delete;
};

// Module initialization and finalization of the unit, counted over every source that
// includes this header: SDLLoader exists before the first of them and is freed after
// the last of them.
struct TUnitInit {
  TUnitInit();
  ~TUnitInit();
};
static TUnitInit GSDL2StubsInit;

}  // namespace SDL2Stubs
#endif  // OSTREVAN_ENTRY_LIST_ONLY
