#include "foundation/SDLLoader.h"

#include <algorithm>

#include "foundation/Bindings.h"
#include "foundation/StrFormat.h"
#include "foundation/SDLEventThread.h"
#include "foundation/api/sdl2.h"

namespace corvane {
namespace {

std::vector<std::string> names(int (*count)(), const char* (*name)(int)) {
  std::vector<std::string> list;
  if (!count || !name) return list;
  for (int i = 0, n = count(); i < n; ++i)
    if (const char* s = name(i)) list.emplace_back(s);
  return list;
}

template <class T>
bool contains(const std::vector<T>& list, const T& v) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

// Overrides the environment variable of the same name; null restores SDL's
// own choice and also hides the variable.
void chooseDriver(const char* hint, const std::string& driver) {
  sdl::SDL_SetHintWithPriority(hint, driver.empty() ? nullptr : driver.c_str(), SDL_HINT_OVERRIDE);
}

}  // namespace

TSDLLoader& SDLLoader() {
  static TSDLLoader instance;
  return instance;
}

TSDLLoader::TSDLLoader() {
  refreshListsLocked();
  setBindingObserver(SDL2, &TSDLLoader::onBinding);
}

TSDLLoader::~TSDLLoader() { setBindingObserver(SDL2, nullptr); }

void TSDLLoader::onBinding(TLibrary, bool bound) {
  TSDLLoader& self = SDLLoader();
  std::lock_guard g(self.FLock);
  // Unbinding already quit SDL2; the clients are gone with it.
  if (!bound) self.FClients.clear();
  self.refreshListsLocked();
}

void TSDLLoader::refreshListsLocked() {
  FCurrentAudioDriver.clear();
  FCurrentVideoDriver.clear();
  FAudioDevices.clear();
  FSDLVersion = {};
  if (sdl::SDL_GetVersion) sdl::SDL_GetVersion(&FSDLVersion);
  FAudioDrivers = names(sdl::SDL_GetNumAudioDrivers, sdl::SDL_GetAudioDriver);
  FVideoDrivers = names(sdl::SDL_GetNumVideoDrivers, sdl::SDL_GetVideoDriver);
}

void TSDLLoader::RefreshLists() {
  std::lock_guard g(FLock);
  refreshListsLocked();
}

bool TSDLLoader::wasInitLocked(TClient client) {
  if (FClients.empty()) return false;
  if (!contains(FClients, client)) FClients.push_back(client);
  return true;
}

bool TSDLLoader::WasInit(TClient client) {
  std::lock_guard g(FLock);
  return wasInitLocked(client);
}

bool TSDLLoader::Init(TClient client, const std::string& audio_driver,
                      const std::string& video_driver, bool init_video) {
  std::lock_guard g(FLock);
  if (!sdl::SDL_Init) {
    FLastErrMsg = "SDL2 not loaded.";
    return false;
  }
  if (wasInitLocked(client)) return true;
  if (!audio_driver.empty() && !contains(FAudioDrivers, audio_driver)) {
    FLastErrMsg = strprintf("Audio driver \"%s\" not available", audio_driver.c_str());
    return false;
  }
  if (!video_driver.empty() && !contains(FVideoDrivers, video_driver)) {
    FLastErrMsg = strprintf("Video driver \"%s\" not available", video_driver.c_str());
    return false;
  }
  chooseDriver(SDL_HINT_AUDIODRIVER, audio_driver);
  chooseDriver(SDL_HINT_VIDEODRIVER, video_driver);
  // Leave SIGINT and SIGTERM to the application.
  sdl::SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  const Uint32 flags = SDL_INIT_TIMER | SDL_INIT_AUDIO | (init_video ? SDL_INIT_VIDEO : 0);
  if (sdl::SDL_Init(flags) != 0) {
    FLastErrMsg = strprintf("Could not initialize SDL2: %s", sdl::SDL_GetError());
    quitLocked(client);
    return false;
  }
  FClients.push_back(client);
  sdl::SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
  sdl::SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
  sdl::SDL_EventState(SDL_USEREVENT, SDL_IGNORE);
  const char* driver = sdl::SDL_GetCurrentAudioDriver();
  FCurrentAudioDriver = driver ? driver : "";
  driver = sdl::SDL_GetCurrentVideoDriver();
  FCurrentVideoDriver = driver ? driver : "";
  FAudioDevices.clear();
  for (int i = 0, n = sdl::SDL_GetNumAudioDevices(0); i < n; ++i)
    if (const char* name = sdl::SDL_GetAudioDeviceName(i, 0)) FAudioDevices.emplace_back(name);
  return true;
}

void TSDLLoader::quitLocked(TClient client) {
  if (client)
    std::erase(FClients, client);
  else
    FClients.clear();
  if (FClients.empty()) shutdownLocked();
}

void TSDLLoader::Quit(TClient client) {
  std::lock_guard g(FLock);
  quitLocked(client);
}

void TSDLLoader::QuitAll() {
  std::lock_guard g(FLock);
  shutdownLocked();
}

void TSDLLoader::shutdownLocked() {
  // The event pump must not outlive the media layer.
  StopSDLEventThread();
  FClients.clear();
  FCurrentAudioDriver.clear();
  FCurrentVideoDriver.clear();
  FAudioDevices.clear();
  if (sdl::SDL_Quit) sdl::SDL_Quit();
}

const std::vector<std::string>& TSDLLoader::AudioDevices(
    const std::unique_lock<std::mutex>& held) const {
  (void)held;
  return FAudioDevices;
}

std::vector<std::string> TSDLLoader::AudioDrivers() const {
  std::lock_guard g(FLock);
  return FAudioDrivers;
}

std::vector<std::string> TSDLLoader::VideoDrivers() const {
  std::lock_guard g(FLock);
  return FVideoDrivers;
}

std::vector<std::string> TSDLLoader::AudioDevices() const {
  std::lock_guard g(FLock);
  return FAudioDevices;
}

std::string TSDLLoader::CurrentAudioDriver() const {
  std::lock_guard g(FLock);
  return FCurrentAudioDriver;
}

std::string TSDLLoader::CurrentVideoDriver() const {
  std::lock_guard g(FLock);
  return FCurrentVideoDriver;
}

SDL_version TSDLLoader::SDLVersion() const {
  std::lock_guard g(FLock);
  return FSDLVersion;
}

std::string TSDLLoader::LastErrMsg() const {
  std::lock_guard g(FLock);
  return FLastErrMsg;
}

int TSDLLoader::ClientCount() const {
  std::lock_guard g(FLock);
  return static_cast<int>(FClients.size());
}

}  // namespace corvane
