#include "player/FFBasePlayer.h"

#include "foundation/ErrorText.h"
#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "foundation/api/sdl2.h"
#include "player/EngineScope.h"
#include "player/SDLLoader.h"

namespace corvane {

TFFBasePlayer::TFFBasePlayer(TComponent* AOwner)
    : TFFBaseComponent(AOwner),
      FEvents(std::make_shared<TSDLEventClient>([this](const SDL_Event& e) { MediaEvent(e); })) {
  FLive->Load(FSettings);
  if (AVLibLoaded()) FOptions.init_opts();
  AddSDLEventClient(FEvents);
}

void TFFBasePlayer::MediaEvent(const SDL_Event& e) {
  if (e.type == SDL_QUIT) PostRequest({FF_QUIT_EVENT, nullptr});
}

TFFBasePlayer::~TFFBasePlayer() {
  StopPlayerThreads();
  // A player that joined the media layer through SDLWasInit leaves it too.
  if (FSDLClient) SDLLoader().Quit(this);
}

void TFFBasePlayer::ClearHandlers() {
  OnFileOpen = nullptr;
  OnPosition = nullptr;
  OnPosition2 = nullptr;
  OnState = nullptr;
  OnError = nullptr;
  OnOpenFailed = nullptr;
  OnFrameHook = nullptr;
  OnVideoHook = nullptr;
  OnAudioHook = nullptr;
  OnBeforeFindStreamInfo = nullptr;
}

void TFFBasePlayer::StopPlayerThreads() {
  if (FDestroying.exchange(true)) return;
  // No media-layer event reaches the derived player from here on.
  FEvents->Detach();
  RemoveSDLEventClient(FEvents.get());
  ClearHandlers();
  Stop(true);
  std::vector<std::shared_ptr<TPlaySession>> sessions;
  {
    std::lock_guard g(FSessionLock);
    sessions.swap(FSessions);
    FSession.reset();
  }
  for (const std::shared_ptr<TPlaySession>& s : sessions) {
    // A thread that cannot be joined from here returns into the player only
    // to leave.
    s->orphaned = true;
    s->pump.stop = true;
    s->pump.ring.Reset();
    for (TPlayerThread* t : {&s->result, &s->events, &s->play})
      if (t->Joinable()) t->Join();
  }
}

bool TFFBasePlayer::OnEngineThread() const { return EngineScope::On(this); }

// ---------------------------------------------------------------------------
// Libraries and the media layer

bool TFFBasePlayer::AVLibLoaded() { return FFLoader().Loaded(LibrarySet); }

bool TFFBasePlayer::LoadAVLib(const std::string& APath) {
  if (FLibLoaded) return true;
  if (!AVLibLoaded()) FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(LibrarySet)) {
    report(FFLoader().LastErrMsg());
    return false;
  }
  FLibLoaded = true;
  FOptions.init_opts();
  if (!FFLoader().Load(libSoundTouch)) FFLogger().Log(this, llWarning, FFLoader().LastErrMsg());
  logDrivers("audio", SDLLoader().AudioDrivers());
  if (HasScreen()) {
    logDrivers("video", SDLLoader().VideoDrivers());
    logRenderDrivers();
  }
  return true;
}

void TFFBasePlayer::logDrivers(const char* kind, const std::vector<std::string>& names) {
  for (std::size_t i = 0; i < names.size(); ++i)
    FFLogger().Log(this, llInfo, "Available %s driver [index %d]: %s", kind, static_cast<int>(i),
                   names[i].c_str());
}

void TFFBasePlayer::logRenderDrivers() {
  const int n = sdl::SDL_GetNumRenderDrivers();
  for (int i = 0; i < n; ++i) {
    SDL_RendererInfo info{};
    if (sdl::SDL_GetRenderDriverInfo(i, &info) < 0) continue;
    FFLogger().Log(this, llInfo,
                   "Available render driver [index %d]: %s, flags: %d, formats num: %d, formats: "
                   "%d, width: %d, height: %d",
                   i, info.name ? info.name : "", static_cast<int>(info.flags),
                   static_cast<int>(info.num_texture_formats),
                   info.num_texture_formats ? static_cast<int>(info.texture_formats[0]) : 0,
                   info.max_texture_width, info.max_texture_height);
  }
}

void TFFBasePlayer::QuitSDL() {
  Stop(true);
  if (!FSDLClient.exchange(false)) return;
  // Players still playing keep the media layer; the last one shuts it down.
  if (SDLLoader().ClientCount() > 1)
    SDLLoader().Quit(this);
  else
    SDLLoader().QuitAll();
}

void TFFBasePlayer::UnloadAVLib() {
  // The player's own threads cannot wait for the stop that must come first.
  if (OnEngineThread() || !FLibLoaded.exchange(false)) return;
  // Nothing of this player may call into the libraries once they are gone.
  Stop(true);
  {
    std::lock_guard g(FShownLock);
    FShownFrame.reset();
  }
  FDecoder.CloseFile();
  // Option dictionaries are the libraries' memory: freed while they are bound.
  FOptions.uninit_opts();
  // The media layer is among the libraries: leave it first.
  if (FSDLClient.exchange(false)) SDLLoader().Quit(this);
  FFLoader().Unload(LibrarySet);
  if (FFLoader().Loaded(libSoundTouch)) FFLoader().Unload(libSoundTouch);
}

bool TFFBasePlayer::SDLWasInit() {
  if (!FFLoader().Loaded(SDL2)) {
    report("SDL2 not loaded.");
    return false;
  }
  // Joining the running media layer makes this player a client.
  if (!SDLLoader().WasInit(this)) return false;
  FSDLClient = true;
  return true;
}

bool TFFBasePlayer::InitSDL() {
  if (FSDLClient && SDLLoader().WasInit(this)) return true;
  FNoScreen = !HasScreen();
  std::string audioDriver, videoDriver;
  {
    std::lock_guard g(FSettingsLock);
    audioDriver = FAudioDriver;
    videoDriver = FVideoDriver;
  }
  if (!SDLLoader().Init(this, audioDriver, videoDriver, HasScreen())) {
    if (!HasScreen() || ScreenRequired()) {
      report(SDLLoader().LastErrMsg());
      return false;
    }
    const std::string why = SDLLoader().LastErrMsg();
    if (!SDLLoader().Init(this, audioDriver, "", false)) {
      report(SDLLoader().LastErrMsg());
      return false;
    }
    FNoScreen = true;
    FFLogger().Log(this, llWarning, "No video output (%s): playing without display", why.c_str());
  }
  FSDLClient = true;
  if (HasScreen() && !FNoScreen)
    FFLogger().Log(this, llInfo, "Current video driver: %s",
                   SDLLoader().CurrentVideoDriver().c_str());
  FFLogger().Log(this, llInfo, "Current audio driver: %s",
                 SDLLoader().CurrentAudioDriver().c_str());
  const std::vector<std::string> devices = SDLLoader().AudioDevices();
  for (std::size_t i = 0; i < devices.size(); ++i)
    FFLogger().Log(this, llInfo, "Available audio device [index %d]: %s", static_cast<int>(i),
                   devices[i].c_str());
  return true;
}

void TFFBasePlayer::SetReadTimeout(std::int32_t v) {
  TFFBaseComponent::SetReadTimeout(v);
  put(&TPlayerSettings::ReadTimeout, v);
}

// ---------------------------------------------------------------------------
// Reporting and delivery

void TFFBasePlayer::report(const std::string& msg, TLogLevel level, bool storeLast) {
  if (storeLast) {
    std::lock_guard g(FErrLock);
    FLastErrMsg = msg;
  }
  FFLogger().Log(this, level, msg);
}

void TFFBasePlayer::ReportError(const std::string& msg, TLogLevel level, bool storeLast) {
  report(msg, level, storeLast);
}

std::string TFFBasePlayer::LastErrMsg() const {
  std::lock_guard g(FErrLock);
  return FLastErrMsg;
}

std::string TFFBasePlayer::FileName() const {
  std::lock_guard g(FErrLock);
  return FFileName;
}

std::shared_ptr<TPlaySession> TFFBasePlayer::session() const {
  std::lock_guard g(FSessionLock);
  return FSession;
}

std::shared_ptr<TPlaySession> TFFBasePlayer::sessionOf(const TVideoState* is) const {
  std::lock_guard g(FSessionLock);
  // Newest first: an address freed by an older session may be reused.
  for (auto s = FSessions.rbegin(); s != FSessions.rend(); ++s)
    if ((*s)->Created() == is) return *s;
  return nullptr;
}

bool TFFBasePlayer::isCurrent(const TPlaySession& s) const {
  std::lock_guard g(FSessionLock);
  return FSession.get() == &s;
}

std::shared_ptr<TVideoState> TFFBasePlayer::State() const {
  std::lock_guard g(FSessionLock);
  return FSession ? FSession->state : nullptr;
}

void TFFBasePlayer::PostRequest(TPlayRecord r) {
  if (std::shared_ptr<TPlaySession> s = session()) {
    if (!r.state) r.state = s->stored;
    s->queue.Push(r);
  }
}

void TFFBasePlayer::postTo(TPlaySession& s, TPlayState st) {
  FPlayState = st;
  if (OnState)
    s.pump.ring.Post({2, st, 0, {}});
  else if (st == psStop)
    s.pump.ring.Post({3, 0, 0, {}});
}

void TFFBasePlayer::PostPlayState(TPlayState st) {
  if (std::shared_ptr<TPlaySession> s = session())
    postTo(*s, st);
  else
    FPlayState = st;
}

}  // namespace corvane
