// SoundTouch (C interface): headers and bound function slots.
//
// Debian's build takes float samples in putSamples/receiveSamples; 16-bit
// samples go through the _i16 entry points.
#pragma once

extern "C" {
#include <SoundTouchDLL.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_SOUNDTOUCH_FUNCTIONS(X)            \
  CORVANE_REQ(X, soundtouch_getVersionId)          \
  CORVANE_REQ(X, soundtouch_getVersionString)      \
  CORVANE_REQ(X, soundtouch_getVersionString2)     \
  CORVANE_REQ(X, soundtouch_createInstance)        \
  CORVANE_REQ(X, soundtouch_destroyInstance)       \
  CORVANE_REQ(X, soundtouch_setRate)               \
  CORVANE_REQ(X, soundtouch_setTempo)              \
  CORVANE_REQ(X, soundtouch_setRateChange)         \
  CORVANE_REQ(X, soundtouch_setTempoChange)        \
  CORVANE_REQ(X, soundtouch_setPitch)              \
  CORVANE_REQ(X, soundtouch_setPitchOctaves)       \
  CORVANE_REQ(X, soundtouch_setPitchSemiTones)     \
  CORVANE_REQ(X, soundtouch_setChannels)           \
  CORVANE_REQ(X, soundtouch_setSampleRate)         \
  CORVANE_REQ(X, soundtouch_flush)                 \
  CORVANE_REQ(X, soundtouch_putSamples)            \
  CORVANE_REQ(X, soundtouch_putSamples_i16)        \
  CORVANE_REQ(X, soundtouch_clear)                 \
  CORVANE_REQ(X, soundtouch_setSetting)            \
  CORVANE_REQ(X, soundtouch_getSetting)            \
  CORVANE_REQ(X, soundtouch_numUnprocessedSamples) \
  CORVANE_REQ(X, soundtouch_receiveSamples)        \
  CORVANE_REQ(X, soundtouch_receiveSamples_i16)    \
  CORVANE_REQ(X, soundtouch_numSamples)            \
  CORVANE_REQ(X, soundtouch_isEmpty)

namespace st {
CORVANE_SOUNDTOUCH_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace st
