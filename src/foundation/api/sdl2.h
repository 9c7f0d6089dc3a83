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
  CORVANE_REQ(X, SDL_GetCurrentVideoDriver) \
  CORVANE_REQ(X, SDL_CreateWindow)          \
  CORVANE_REQ(X, SDL_CreateWindowFrom)      \
  CORVANE_REQ(X, SDL_DestroyWindow)         \
  CORVANE_REQ(X, SDL_GetWindowSize)         \
  CORVANE_REQ(X, SDL_SetWindowSize)         \
  CORVANE_REQ(X, SDL_GetWindowID)           \
  CORVANE_REQ(X, SDL_CreateRenderer)        \
  CORVANE_REQ(X, SDL_DestroyRenderer)       \
  CORVANE_REQ(X, SDL_GetRendererInfo)       \
  CORVANE_REQ(X, SDL_SetRenderDrawColor)    \
  CORVANE_REQ(X, SDL_RenderClear)           \
  CORVANE_REQ(X, SDL_RenderFillRect)        \
  CORVANE_REQ(X, SDL_RenderCopy)            \
  CORVANE_REQ(X, SDL_RenderCopyEx)          \
  CORVANE_REQ(X, SDL_RenderPresent)         \
  CORVANE_REQ(X, SDL_CreateTexture)         \
  CORVANE_REQ(X, SDL_QueryTexture)          \
  CORVANE_REQ(X, SDL_SetTextureBlendMode)   \
  CORVANE_REQ(X, SDL_LockTexture)           \
  CORVANE_REQ(X, SDL_UnlockTexture)         \
  CORVANE_REQ(X, SDL_UpdateTexture)         \
  CORVANE_REQ(X, SDL_UpdateYUVTexture)      \
  CORVANE_REQ(X, SDL_DestroyTexture)        \
  CORVANE_REQ(X, SDL_GetPixelFormatName)    \
  CORVANE_REQ(X, SDL_RenderReadPixels)      \
  CORVANE_REQ(X, SDL_GetRendererOutputSize) \
  CORVANE_REQ(X, SDL_PumpEvents)            \
  CORVANE_REQ(X, SDL_PeepEvents)            \
  CORVANE_REQ(X, SDL_SetYUVConversionMode)  \
  CORVANE_OPT(X, SDL_PushEvent)             \
  CORVANE_REQ(X, SDL_GetNumRenderDrivers)   \
  CORVANE_REQ(X, SDL_GetRenderDriverInfo)   \
  CORVANE_REQ(X, SDL_GL_GetCurrentContext)  \
  CORVANE_REQ(X, SDL_GL_GetProcAddress)     \
  CORVANE_OPT(X, SDL_ResetHint)

namespace sdl {
CORVANE_SDL2_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace sdl
