// libavdevice: headers and bound function slots.
#pragma once

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_AVDEVICE_FUNCTIONS(X)    \
  CORVANE_REQ(X, avdevice_version)       \
  CORVANE_REQ(X, avdevice_configuration) \
  CORVANE_REQ(X, avdevice_license)       \
  CORVANE_REQ(X, avdevice_register_all)

namespace ff {
CORVANE_AVDEVICE_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
