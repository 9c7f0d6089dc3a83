// libswresample: headers and bound function slots.
#pragma once

extern "C" {
#include <libswresample/swresample.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_SWRESAMPLE_FUNCTIONS(X)    \
  CORVANE_REQ(X, swresample_version)       \
  CORVANE_REQ(X, swresample_configuration) \
  CORVANE_REQ(X, swresample_license)       \
  CORVANE_REQ(X, swr_get_class)            \
  CORVANE_REQ(X, swr_alloc)                \
  CORVANE_REQ(X, swr_free)                 \
  CORVANE_REQ(X, swr_alloc_set_opts2)      \
  CORVANE_REQ(X, swr_init)                 \
  CORVANE_REQ(X, swr_convert)              \
  CORVANE_REQ(X, swr_set_compensation)

namespace ff {
CORVANE_SWRESAMPLE_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
