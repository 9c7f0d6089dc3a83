// Process-wide set-up of the media layer (SDL2) on behalf of its clients
// (players, audio previews).
#pragma once

#include <SDL_version.h>

#include <mutex>
#include <string>
#include <vector>

#include "foundation/Library.h"

namespace corvane {

// Initialises SDL2 for any number of clients (players) and quits it when the
// last one leaves; chooses the audio and video drivers; keeps the lists of
// drivers and audio output devices. Its lock also serialises the opening of
// audio devices.
class TSDLLoader {
 public:
  using TClient = const void*;

  ~TSDLLoader();
  TSDLLoader(const TSDLLoader&) = delete;
  TSDLLoader& operator=(const TSDLLoader&) = delete;

  // Initialises SDL2 with the drivers (empty: SDL's own choice, whatever the
  // environment says) unless it already runs for other clients, in which case
  // the client only joins them. False with LastErrMsg on failure; SDL2 is then
  // left uninitialised.
  bool Init(TClient client, const std::string& audio_driver, const std::string& video_driver,
            bool init_video);
  // True when SDL2 runs for any client; the client then joins them.
  bool WasInit(TClient client);
  // The client leaves (null: every client); SDL2 quits when none is left.
  void Quit(TClient client);
  void QuitAll();

  // Held for the whole negotiation of an audio device.
  [[nodiscard]] std::unique_lock<std::mutex> Lock() { return std::unique_lock(FLock); }
  // The output devices, read while the caller holds Lock().
  const std::vector<std::string>& AudioDevices(const std::unique_lock<std::mutex>& held) const;

  // Reads the version and the driver lists from the bound library (empty when
  // unbound) and forgets the current drivers and devices.
  void RefreshLists();

  std::vector<std::string> AudioDrivers() const;
  std::vector<std::string> VideoDrivers() const;
  std::vector<std::string> AudioDevices() const;
  std::string CurrentAudioDriver() const;
  std::string CurrentVideoDriver() const;
  SDL_version SDLVersion() const;
  std::string LastErrMsg() const;
  int ClientCount() const;

 private:
  friend TSDLLoader& SDLLoader();
  TSDLLoader();
  static void onBinding(TLibrary lib, bool bound);
  bool wasInitLocked(TClient client);
  void quitLocked(TClient client);
  void shutdownLocked();
  void refreshListsLocked();

  mutable std::mutex FLock;
  std::vector<TClient> FClients;
  std::vector<std::string> FAudioDrivers;
  std::vector<std::string> FVideoDrivers;
  std::vector<std::string> FAudioDevices;
  std::string FCurrentAudioDriver;
  std::string FCurrentVideoDriver;
  SDL_version FSDLVersion{};
  std::string FLastErrMsg;
};

// The one instance, created on first use.
TSDLLoader& SDLLoader();

}  // namespace corvane
