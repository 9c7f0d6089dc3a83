#include "player/SDLLoader.h"

#include "foundation/Bindings.h"
#include "foundation/api/soundtouch.h"

namespace corvane {

bool TempoProcessorUsable(bool use_soundtouch, int version_id, int channels) {
  if (!use_soundtouch) return false;
  return version_id > 10799 || (version_id > 9999 && (channels == 1 || channels == 2));
}

bool TempoProcessorUsable(bool use_soundtouch, int channels) {
  if (!st::soundtouch_createInstance) return false;
  return TempoProcessorUsable(use_soundtouch, soundTouchVersionId(), channels);
}

}  // namespace corvane
