// libswscale: headers and bound function slots.
#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_SWSCALE_FUNCTIONS(X)    \
  CORVANE_REQ(X, swscale_version)       \
  CORVANE_REQ(X, swscale_configuration) \
  CORVANE_REQ(X, swscale_license)       \
  CORVANE_REQ(X, sws_isSupportedInput)  \
  CORVANE_REQ(X, sws_isSupportedOutput) \
  CORVANE_REQ(X, sws_get_class)         \
  CORVANE_REQ(X, sws_alloc_context)     \
  CORVANE_REQ(X, sws_getCachedContext)  \
  CORVANE_REQ(X, sws_scale)             \
  CORVANE_REQ(X, sws_freeContext)

namespace ff {
CORVANE_SWSCALE_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
