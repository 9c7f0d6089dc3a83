// SDL2: headers and bound function slots.
#pragma once

#include <SDL.h>

#include "foundation/api/Slot.h"

#define CORVANE_SDL2_FUNCTIONS(X)           \
  CORVANE_REQ(X, SDL_GetVersion)            \
  CORVANE_REQ(X, SDL_GetRevision)           \
  CORVANE_REQ(X, SDL_GetError)              \
  CORVANE_REQ(X, SDL_Init)                  \
  CORVANE_REQ(X, SDL_WasInit)               \
  CORVANE_REQ(X, SDL_Quit)                  \
  CORVANE_REQ(X, SDL_getenv)                \
  CORVANE_REQ(X, SDL_GetHint)               \
  CORVANE_REQ(X, SDL_SetHint)               \
  CORVANE_REQ(X, SDL_SetHintWithPriority)   \
  CORVANE_REQ(X, SDL_EventState)            \
  CORVANE_REQ(X, SDL_GetNumAudioDrivers)    \
  CORVANE_REQ(X, SDL_GetAudioDriver)        \
  CORVANE_REQ(X, SDL_GetCurrentAudioDriver) \
  CORVANE_REQ(X, SDL_GetNumAudioDevices)    \
  CORVANE_REQ(X, SDL_GetAudioDeviceName)    \
  CORVANE_REQ(X, SDL_OpenAudioDevice)       \
  CORVANE_REQ(X, SDL_PauseAudioDevice)      \
  CORVANE_REQ(X, SDL_LockAudioDevice)       \
  CORVANE_REQ(X, SDL_UnlockAudioDevice)     \
  CORVANE_REQ(X, SDL_CloseAudioDevice)      \
  CORVANE_REQ(X, SDL_MixAudioFormat)        \
  CORVANE_REQ(X, SDL_GetNumVideoDrivers)    \
  CORVANE_REQ(X, SDL_GetVideoDriver)        \
  CORVANE_REQ(X, SDL_GetCurrentVideoDriver)

namespace sdl {
CORVANE_SDL2_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace sdl
