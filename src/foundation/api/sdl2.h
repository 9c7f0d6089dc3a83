// SDL2: headers and bound function slots.
#pragma once

#include <SDL.h>

#include "foundation/api/Slot.h"

#define CORVANE_SDL2_FUNCTIONS(X) \
  CORVANE_REQ(X, SDL_GetVersion)  \
  CORVANE_REQ(X, SDL_GetRevision) \
  CORVANE_REQ(X, SDL_GetError)    \
  CORVANE_REQ(X, SDL_WasInit)     \
  CORVANE_REQ(X, SDL_Quit)

namespace sdl {
CORVANE_SDL2_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace sdl
