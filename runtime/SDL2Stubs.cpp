#include "runtime/SDL2Stubs.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/Format.h"

namespace SDL2Stubs {

SDL2_ENTRY_POINTS(OSTREVAN_STUB_DEFINE, OSTREVAN_STUB_DEFINE)

TSDLLoader* SDLLoader = nullptr;

void SDL2FixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  SDL2_ENTRY_POINTS(OSTREVAN_STUB_FIXUP, OSTREVAN_STUB_FIXUP_OPTIONAL)
  if (SDLLoader) SDLLoader->Refresh();
}

void SDL2UnfixStubs() {
  if (SDLLoader) SDLLoader->QuitAll();
  SDL2_ENTRY_POINTS(OSTREVAN_STUB_UNFIX, OSTREVAN_STUB_UNFIX)
  if (SDLLoader) SDLLoader->Refresh();
}

TThreadDataRelease::~TThreadDataRelease() {
  if (SDL_TLSCleanup) SDL_TLSCleanup();
}

// ---- TSDLLoader ------------------------------------------------------------------------

namespace {

bool ContainsText(const Platform::TStringList& AList, const std::string& AText) {
  for (const std::string& item : AList.Items())
    if (::strcasecmp(item.c_str(), AText.c_str()) == 0) return true;
  return false;
}

// Sets AName to AValue, or removes it when AValue is empty.
void SetDriverVariable(const char* AName, const std::string& AValue) {
  if (AValue.empty())
    ::unsetenv(AName);
  else
    ::setenv(AName, AValue.c_str(), 1);
}

std::string Text(const char* AText) { return AText ? std::string(AText) : std::string(); }

}  // namespace

TSDLLoader::TSDLLoader() { Refresh(); }

TSDLLoader::~TSDLLoader() { QuitAll(); }

void TSDLLoader::Refresh() {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  FCurrentAudioDriver.clear();
  FCurrentVideoDriver.clear();
  FAudioDevices.Clear();
  FSDLVersion = SDL_version{};
  if (SDL_GetVersion) SDL_GetVersion(&FSDLVersion);
  FAudioDrivers.Clear();
  if (SDL_GetNumAudioDrivers && SDL_GetAudioDriver)
    for (int i = 0, n = SDL_GetNumAudioDrivers(); i < n; ++i)
      FAudioDrivers.Add(Text(SDL_GetAudioDriver(i)));
  FVideoDrivers.Clear();
  if (SDL_GetNumVideoDrivers && SDL_GetVideoDriver)
    for (int i = 0, n = SDL_GetNumVideoDrivers(); i < n; ++i)
      FVideoDrivers.Add(Text(SDL_GetVideoDriver(i)));
}

bool TSDLLoader::Init(Platform::TObject* AClient, const std::string& AAudioDriver,
                      const std::string& AVideoDriver, bool AWithVideo) {
  // The whole start-up under the lock: two clients starting at once start SDL2 once.
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  if (!SDL_Init) {
    FLastErrMsg = "SDL2 not loaded.";
    return false;
  }
  if (WasInit(AClient)) return true;

  if (!AAudioDriver.empty() && !ContainsText(FAudioDrivers, AAudioDriver)) {
    FLastErrMsg = Platform::Format("Audio driver \"%s\" not available", AAudioDriver.c_str());
    return false;
  }
  SetDriverVariable("SDL_AUDIODRIVER", AAudioDriver);
  if (!AVideoDriver.empty() && !ContainsText(FVideoDrivers, AVideoDriver)) {
    FLastErrMsg = Platform::Format("Video driver \"%s\" not available", AVideoDriver.c_str());
    return false;
  }
  SetDriverVariable("SDL_VIDEODRIVER", AVideoDriver);
  SDL_SetHint("SDL_WINDOWS_DISABLE_THREAD_NAMING", "1");

  Uint32 flags = SDL_INIT_TIMER | SDL_INIT_AUDIO;
  if (AWithVideo) flags |= SDL_INIT_VIDEO;
  if (SDL_Init(flags) != 0) {
    FLastErrMsg = Platform::Format("Could not initialize SDL2: %s", Text(SDL_GetError()).c_str());
    Quit(AClient);
    return false;
  }
  FClients.push_back(AClient);
  SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
  SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
  SDL_EventState(SDL_USEREVENT, SDL_IGNORE);
  FCurrentAudioDriver = Text(SDL_GetCurrentAudioDriver());
  FCurrentVideoDriver = Text(SDL_GetCurrentVideoDriver());
  FAudioDevices.Clear();
  for (int i = 0, n = SDL_GetNumAudioDevices(0); i < n; ++i)
    FAudioDevices.Add(Text(SDL_GetAudioDeviceName(i, 0)));
  return true;
}

bool TSDLLoader::WasInit(Platform::TObject* AClient) {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  if (FClients.empty()) return false;
  if (std::find(FClients.begin(), FClients.end(), AClient) == FClients.end())
    FClients.push_back(AClient);
  return true;
}

void TSDLLoader::Quit(Platform::TObject* AClient) {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  if (AClient)
    FClients.erase(std::remove(FClients.begin(), FClients.end(), AClient), FClients.end());
  else
    FClients.clear();
  if (FClients.empty()) DoQuitAll();
}

void TSDLLoader::QuitAll() {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  DoQuitAll();
}

void TSDLLoader::DoQuitAll() {
  FClients.clear();
  FCurrentAudioDriver.clear();
  FCurrentVideoDriver.clear();
  FAudioDevices.Clear();
  if (SDL_Quit) SDL_Quit();
}

std::string TSDLLoader::GetRendererTextureFormats(const SDL_RendererInfo& AInfo) const {
  std::string result;
  if (!SDL_GetPixelFormatName) return result;
  for (Uint32 i = 0; i < AInfo.num_texture_formats && i < std::size(AInfo.texture_formats); ++i) {
    if (i > 0) result += ", ";
    result += Text(SDL_GetPixelFormatName(AInfo.texture_formats[i]));
  }
  return result;
}

std::string TSDLLoader::CurrentAudioDriver() const {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  return FCurrentAudioDriver;
}

std::string TSDLLoader::CurrentVideoDriver() const {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  return FCurrentVideoDriver;
}

std::string TSDLLoader::LastErrMsg() const {
  std::lock_guard<Platform::TCriticalSection> g(FLock);
  return FLastErrMsg;
}

// ---- Initialization and finalization ---------------------------------------------------

namespace {
int GInitCount = 0;  // constant-initialized: safe before any constructor runs
}

TUnitInit::TUnitInit() {
  if (GInitCount++ == 0) SDLLoader = new TSDLLoader;
}

TUnitInit::~TUnitInit() {
  if (--GInitCount == 0) {
    delete SDLLoader;
    SDLLoader = nullptr;
  }
}

}  // namespace SDL2Stubs
