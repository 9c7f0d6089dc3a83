// SDL2 set-up for the players, and whether tempo processing is usable.
#pragma once

#include "foundation/SDLLoader.h"

namespace corvane {

// SoundTouch can change tempo and pitch for `channels` channels: asked for,
// and a version that handles that many channels (any from 1.8; from 1.0 only
// mono and stereo).
bool TempoProcessorUsable(bool use_soundtouch, int version_id, int channels);
// The same for the bound library (false while SoundTouch is not loaded).
bool TempoProcessorUsable(bool use_soundtouch, int channels);

}  // namespace corvane
