// Entry points of SDL2, bound at run time by their C names.
#pragma once

// Every SDL2 entry point the player calls; XOPT marks the one optional entry point.
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
  XOPT(SDL_SetYUVConversionMode) \
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

#include <SDL.h>
#include <SDL_syswm.h>

#include "runtime/MyUtils.h"

namespace SDL2Stubs {

SDL2_ENTRY_POINTS(OSTREVAN_STUB_DECLARE, OSTREVAN_STUB_DECLARE)

void SDL2FixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
void SDL2UnfixStubs();

}  // namespace SDL2Stubs
#endif  // OSTREVAN_ENTRY_LIST_ONLY
