// SoundTouch (C interface): headers and bound function slots.
#pragma once

extern "C" {
#include <SoundTouchDLL.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_SOUNDTOUCH_FUNCTIONS(X)   \
  CORVANE_REQ(X, soundtouch_getVersionId) \
  CORVANE_REQ(X, soundtouch_getVersionString)

namespace st {
CORVANE_SOUNDTOUCH_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace st
