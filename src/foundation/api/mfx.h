// libmfx dispatcher: headers and bound function slots.
#pragma once

#include <mfxvideo.h>

#include "foundation/api/Slot.h"

#define CORVANE_MFX_FUNCTIONS(X) \
  CORVANE_REQ(X, MFXInit)        \
  CORVANE_REQ(X, MFXClose)       \
  CORVANE_REQ(X, MFXQueryVersion)

namespace mfx {
CORVANE_MFX_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace mfx
